// What every FwSetup test needs: a fake firewall in the test's apartment, a
// watch on the BSTRs allocated during a call, and tables of steps that list a
// call's exact journal with the code each step gives when it fails.
#ifndef FWSETUP_TESTS_FWTESTSUPPORT_H
#define FWSETUP_TESTS_FWTESTSUPPORT_H

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "FakeFirewall.h"
#include "FwSetup.h"

namespace fwtest {

// Installs the process's malloc spy and turns off oleaut32's BSTR cache, so
// that every BSTR allocation and free goes through the spy. Call once in main.
bool InstallBstrWatch();
// BSTRs allocated since the last StartBstrWatch() and not freed since.
void StartBstrWatch();
std::vector<std::wstring> LeftoverBstrs();

// True when this process is told it runs before Vista (version 6.0).
bool ReportsPreVista();

// One journalled call of a scenario. code is what the export must return when
// this call fails (0: a lookup, whose failure only changes the branch taken);
// object tells whether the call hands out an interface (it then also fails by
// handing out none).
struct Step {
    const wchar_t* call;
    int code;
    bool object;
};

// A fresh fake firewall registered in the calling thread's apartment for one
// call of an export; checks that the call leaves nothing behind.
class Bench {
public:
    Bench();
    ~Bench();
    fwfake::Firewall fw;

    // Runs the export and checks references, release order, misuse and BSTRs.
    int Run(const std::function<int()>& call);
};

// Test fixture: the thread is a single-threaded apartment, as the installer's
// is; afterwards COM must be exactly as initialised as before the test.
class FwTest : public testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
};

std::vector<std::wstring> Calls(const std::vector<Step>& steps, size_t count);

// Runs the scenario once without failure (exact journal, result 0), then once
// per failable step with that step failing (by error, and by a missing object
// where the step hands out one): the code, a journal that stops there, and the
// stored configuration checked by verifyAfterFailure (given the failed step).
void CheckEveryStep(const std::vector<Step>& steps, const std::function<void(fwfake::Firewall&)>& prepare,
                    const std::function<int()>& call,
                    const std::function<void(const fwfake::Firewall&, size_t)>& verifyAfterFailure);

}  // namespace fwtest

#endif
