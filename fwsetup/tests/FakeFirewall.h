// Fake firewall objects for the FwSetup tests. The test registers their class
// objects in its own apartment (CoRegisterClassObject, CLSCTX_INPROC_SERVER), so
// FwSetup's CoCreateInstance finds them before any system class. They keep a
// small firewall configuration, write every call they receive into a journal,
// fail a chosen call on request, count references and check the BSTRs they get.
#ifndef FWSETUP_TESTS_FAKEFIREWALL_H
#define FWSETUP_TESTS_FAKEFIREWALL_H

#include <windows.h>
#include <netfw.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace fwfake {

struct App {
    std::wstring path;
    std::wstring name;
    VARIANT_BOOL enabled = VARIANT_FALSE;
};

struct Port {
    LONG port = 0;
    LONG protocol = NET_FW_IP_PROTOCOL_TCP;
    std::wstring name;
    VARIANT_BOOL enabled = VARIANT_FALSE;
};

struct Rule {
    std::wstring name;
    std::wstring description;
    std::wstring application;
    std::wstring localPorts;
    std::wstring grouping;
    LONG protocol = 256;  // any protocol
    VARIANT_BOOL enabled = VARIANT_FALSE;
    LONG profiles = 0;
    LONG action = NET_FW_ACTION_BLOCK;
    LONG direction = NET_FW_RULE_DIR_IN;
};

enum class FailMode {
    Error,       // the call returns E_ACCESSDENIED
    NullObject,  // the call "succeeds" but hands out no object
};

class FakeObject;

class Firewall {
public:
    Firewall();
    ~Firewall();
    Firewall(const Firewall&) = delete;
    Firewall& operator=(const Firewall&) = delete;

    // Stored configuration.
    std::vector<App> apps;
    std::vector<Port> ports;
    std::vector<Rule> rules;
    VARIANT_BOOL exceptionsNotAllowed = VARIANT_TRUE;
    std::map<LONG, VARIANT_BOOL> blockAllInbound;

    // Every call received, as "Object.method(args)", in order.
    std::vector<std::wstring> calls;
    // Misuse seen by the fakes: bad BSTRs, over-release, foreign objects.
    std::vector<std::wstring> problems;
    // Object kinds in order of creation and of final release.
    std::vector<std::wstring> created;
    std::vector<std::wstring> released;

    // Makes the call named "Object.method" (any arguments) or the exact
    // "Object.method(args)" fail; the journal still records it.
    void FailAt(const std::wstring& call, FailMode mode = FailMode::Error);

    // Class objects for the five creatable classes, in the calling thread's apartment.
    void RegisterClasses();
    void RevokeClasses();

    // References still held on fake objects (0 once FwSetup returned).
    ULONG OutstandingReferences() const;

    // Used by the fakes.
    HRESULT Call(const std::wstring& op, const std::wstring& args = std::wstring());
    bool YieldsNull(const std::wstring& op) const;
    std::wstring Text(BSTR s, const std::wstring& op);
    void Track(FakeObject* object);
    template <class T>
    T* Find(IUnknown* p) const {
        for (const auto& o : objects_)
            if (T* t = dynamic_cast<T*>(o.get()))
                if (static_cast<IUnknown*>(t->Interface()) == p) return t;
        return nullptr;
    }

private:
    std::wstring failAt_;
    FailMode failMode_ = FailMode::Error;
    std::wstring lastFailing_;
    std::vector<std::unique_ptr<FakeObject>> objects_;
    std::vector<std::unique_ptr<IClassFactory>> factories_;
    std::vector<DWORD> cookies_;
};

// Reference counting of every fake. Objects stay allocated until the Firewall
// goes, so a Release after the last one is caught instead of touching freed memory.
class FakeObject {
public:
    FakeObject(Firewall& fw, std::wstring kind);
    virtual ~FakeObject() = default;
    virtual IUnknown* Interface() = 0;
    ULONG References() const { return refs_; }
    const std::wstring& Kind() const { return kind_; }

protected:
    ULONG AddRefImpl() { return ++refs_; }
    ULONG ReleaseImpl();
    Firewall& fw_;

private:
    std::wstring kind_;
    ULONG refs_ = 1;
};

// One line per element: journals compare and print readably as one text.
std::wstring Joined(const std::vector<std::wstring>& v);

}  // namespace fwfake

#endif
