// What every client test shares: COM in the multithreaded apartment, the fake
// server registered under a ProgID, the log lines the client wrote, and the
// checks that nothing was left behind.
#ifndef KETRA_CLIENT_FIXTURE_H
#define KETRA_CLIENT_FIXTURE_H

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "Activation.h"
#include "COPCClient.h"
#include "FakeOpcServer.h"
#include "TaskMemorySpy.h"

// {0A5C9F1E-6B21-4C3D-9E8F-1234ABCD5678}
extern const CLSID CLSID_FakeOpcTest;
extern const char kFakeProgId[];
extern const wchar_t kFakeProgIdW[];
// The sleeps of the connect wait, in milliseconds (they do not really sleep).
extern std::vector<DWORD> g_sleeps;

// Lines the client handed to its callback, in order.
std::vector<std::string> Lines();
void ClearLines();
void CaptureLine(const char* line);
// Number of captured lines equal to `line`.
size_t CountLine(const std::string& line);
bool HasLine(const std::string& line);

class ClientTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    ketra::opc::COPCClient* NewClient();
    void DestroyClient();
    HRESULT ConnectLocal() { return client->Connect(kFakeProgId, nullptr, &CaptureLine); }

    std::unique_ptr<kit::ComInit> com;
    std::unique_ptr<fakeopc::FakeOpc> fake;
    unsigned long long memoryMark = 0;
    ketra::opc::COPCClient* client = nullptr;
    ketra::opc::ActivationTable saved;
};

#endif
