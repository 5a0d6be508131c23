// OPC.Krel.Server with the real engine, run by the service manager, seen by an
// OPC DA client in another process: every tag read through the cache, the
// address space browsed, and a stop of the service announced to the client.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <set>
#include <string>
#include <vector>

#include "KetraOPCServer.h"
#include "ScmTestSupport.h"
#include "TagTable.h"
#include "kit_com.h"
#include "opccomn.h"
#include "opcconst.h"
#include "opcda.h"

namespace {

using kit::ComPtr;
using kit::CoTaskArray;
using simtest::FileTail;
using simtest::InstalledService;

const char* const kAccounts[] = {"Everyone", "SYSTEM", "NETWORK", "INTERACTIVE",
                                 "ANONYMOUS LOGON", nullptr};

// Counts the server's shutdown requests.
class CShutdownSink : public IOPCShutdown {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (!out) return E_POINTER;
        if (iid == IID_IUnknown || iid == IID_IOPCShutdown) {
            *out = static_cast<IOPCShutdown*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&refs_); }
    ULONG STDMETHODCALLTYPE Release() override { return InterlockedDecrement(&refs_); }
    HRESULT STDMETHODCALLTYPE ShutdownRequest(LPCWSTR) override {
        InterlockedIncrement(&requests_);
        return S_OK;
    }
    LONG requests() const { return InterlockedCompareExchange(const_cast<LONG*>(&requests_), 0, 0); }

private:
    LONG refs_ = 1;  // lives on the test's stack
    LONG requests_ = 0;
};

// The proxy/stub DLL marshals the OPC interfaces between client and service.
class ProxyRegistration {
public:
    ProxyRegistration() : dll_(LoadLibraryA("OPCKrelProxy.dll")) {
        if (auto reg = Entry("DllRegisterServer")) registered_ = SUCCEEDED(reg());
    }
    ~ProxyRegistration() {
        if (registered_) {
            if (auto unreg = Entry("DllUnregisterServer")) unreg();
        }
        if (dll_) FreeLibrary(dll_);
    }
    bool registered() const { return registered_; }

private:
    typedef HRESULT(STDAPICALLTYPE* Entry_t)();
    Entry_t Entry(const char* name) {
        return dll_ ? reinterpret_cast<Entry_t>(reinterpret_cast<void*>(GetProcAddress(dll_, name)))
                    : nullptr;
    }
    HMODULE dll_;
    bool registered_ = false;
};

class ServerRegistration {
public:
    ServerRegistration()
        : ok_(RegisterServer(&CLSID_KetraOPCKrelServer, KETRA_OPC_SERVER_NAME, KETRA_OPC_SERVER_NAME,
                             1, kAccounts)) {}
    ~ServerRegistration() { UnRegisterServer(&CLSID_KetraOPCKrelServer, KETRA_OPC_SERVER_NAME); }
    bool ok() const { return ok_; }

private:
    bool ok_;
};

// Item IDs of the whole address space, flat or hierarchical.
void CollectItemIds(IOPCBrowseServerAddressSpace* browse, bool flat, std::set<std::string>& ids) {
    ComPtr<IEnumString> leaves;
    HRESULT hr = browse->BrowseOPCItemIDs(flat ? OPC_FLAT : OPC_LEAF, L"", VT_EMPTY, 0, leaves.put());
    ASSERT_TRUE(SUCCEEDED(hr)) << std::hex << hr;
    if (leaves) {
        for (;;) {
            CoTaskArray<wchar_t> name;
            ULONG got = 0;
            if (leaves->Next(1, name.put(), &got) != S_OK || got != 1) break;
            CoTaskArray<wchar_t> id;
            ASSERT_EQ(S_OK, browse->GetItemID(name.get(), id.put()));
            ASSERT_TRUE(id);
            ids.insert(kit::AnsiFromWide(id.get()));
        }
    }
    if (flat) return;

    ComPtr<IEnumString> branches;
    hr = browse->BrowseOPCItemIDs(OPC_BRANCH, L"", VT_EMPTY, 0, branches.put());
    ASSERT_TRUE(SUCCEEDED(hr)) << std::hex << hr;
    if (!branches) return;
    std::vector<std::wstring> names;
    for (;;) {
        CoTaskArray<wchar_t> name;
        ULONG got = 0;
        if (branches->Next(1, name.put(), &got) != S_OK || got != 1) break;
        names.push_back(name.get());
    }
    for (const std::wstring& name : names) {
        ASSERT_EQ(S_OK, browse->ChangeBrowsePosition(OPC_BROWSE_DOWN, name.c_str()));
        CollectItemIds(browse, false, ids);
        ASSERT_EQ(S_OK, browse->ChangeBrowsePosition(OPC_BROWSE_UP, L""));
    }
}

TEST(ServiceWithEngine, ClientReadsAllTagsBrowsesAndIsToldOfTheStop) {
    kit::ComInit com(COINIT_MULTITHREADED);
    ProxyRegistration proxy;
    ASSERT_TRUE(proxy.registered());
    InstalledService service("OPC.Krel.Server.exe");
    ASSERT_TRUE(service.installed()) << GetLastError();
    ServerRegistration registration;
    ASSERT_TRUE(registration.ok());

    FileTail log(simtest::TodaysServiceLog());
    ASSERT_TRUE(service.Start()) << GetLastError();
    ASSERT_EQ(static_cast<DWORD>(SERVICE_RUNNING), service.WaitFor(SERVICE_RUNNING).dwCurrentState);
    EXPECT_NE(std::string::npos, log.WaitFor("\tINICIADO").find("\tINICIADO"));

    CLSID clsid;
    ASSERT_EQ(S_OK, CLSIDFromProgID(L"OPC Krel Server", &clsid));
    EXPECT_TRUE(IsEqualCLSID(CLSID_KetraOPCKrelServer, clsid));
    ComPtr<IOPCServer> server;
    ASSERT_EQ(S_OK, CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer,
                                     server.put_void()));

    CShutdownSink sink;
    DWORD cookie = 0;
    {
        ComPtr<IConnectionPointContainer> container;
        ASSERT_EQ(S_OK, server.As(IID_IConnectionPointContainer, container));
        ComPtr<IConnectionPoint> point;
        ASSERT_EQ(S_OK, container->FindConnectionPoint(IID_IOPCShutdown, point.put()));
        ASSERT_EQ(S_OK, point->Advise(&sink, &cookie));
    }

    {
        CoTaskArray<OPCSERVERSTATUS> status;
        ASSERT_EQ(S_OK, server->GetStatus(status.put()));
        EXPECT_EQ(OPC_STATUS_RUNNING, status->dwServerState);
        CoTaskMemFree(status->szVendorInfo);
    }

    // All 16 tags in one group, read from the cache.
    OPCHANDLE groupHandle = 0;
    DWORD revisedRate = 0;
    ComPtr<IOPCItemMgt> items;
    ASSERT_EQ(S_OK, server->AddGroup(L"simserver", TRUE, 1000, 1, nullptr, nullptr, 0, &groupHandle,
                                     &revisedRate, IID_IOPCItemMgt, items.put_unknown()));
    std::vector<std::wstring> ids;
    std::vector<OPCITEMDEF> defs(simserver::kSimulatedTagCount + 1);
    for (size_t i = 0; i < simserver::kSimulatedTagCount; ++i) {
        ids.push_back(kit::WideFromAnsi(simserver::kSimulatedTags[i].name));
    }
    ids.push_back(L"bomba.1h.aceleracion");  // names are case-sensitive
    for (size_t i = 0; i < defs.size(); ++i) {
        ZeroMemory(&defs[i], sizeof defs[i]);
        defs[i].szItemID = const_cast<LPWSTR>(ids[i].c_str());
        defs[i].bActive = TRUE;
        defs[i].hClient = static_cast<OPCHANDLE>(100 + i);
        defs[i].vtRequestedDataType = VT_EMPTY;
    }
    CoTaskArray<OPCITEMRESULT> added;
    CoTaskArray<HRESULT> addErrors;
    items->AddItems(static_cast<DWORD>(defs.size()), defs.data(), added.put(), addErrors.put());
    ASSERT_TRUE(added && addErrors);
    std::vector<OPCHANDLE> handles;
    for (size_t i = 0; i < defs.size(); ++i) {
        if (added[i].pBlob) CoTaskMemFree(added[i].pBlob);
        if (i < simserver::kSimulatedTagCount) {
            EXPECT_EQ(S_OK, addErrors[i]) << simserver::kSimulatedTags[i].name;
            EXPECT_EQ(VT_R4, added[i].vtCanonicalDataType);
            handles.push_back(added[i].hServer);
        } else {
            EXPECT_TRUE(FAILED(addErrors[i]));
        }
    }

    ComPtr<IOPCSyncIO> sync;
    ASSERT_EQ(S_OK, items.As(IID_IOPCSyncIO, sync));
    for (int round = 0; round < 3; ++round) {
        CoTaskArray<OPCITEMSTATE> states;
        CoTaskArray<HRESULT> readErrors;
        ASSERT_EQ(S_OK, sync->Read(OPC_DS_DEVICE, static_cast<DWORD>(handles.size()), handles.data(),
                                   states.put(), readErrors.put()));
        for (size_t i = 0; i < handles.size(); ++i) {
            EXPECT_EQ(S_OK, readErrors[i]);
            EXPECT_EQ(OPC_QUALITY_GOOD, states[i].wQuality & OPC_QUALITY_MASK);
            ASSERT_EQ(VT_R4, states[i].vDataValue.vt) << simserver::kSimulatedTags[i].name;
            float v = states[i].vDataValue.fltVal;
            EXPECT_GE(v, static_cast<float>(i + 1) - 1e-4f) << simserver::kSimulatedTags[i].name;
            EXPECT_LE(v, static_cast<float>(i + 1) + 0.9f + 1e-4f) << simserver::kSimulatedTags[i].name;
            VariantClear(&states[i].vDataValue);
        }
    }

    ComPtr<IOPCBrowseServerAddressSpace> browse;
    ASSERT_EQ(S_OK, server.As(IID_IOPCBrowseServerAddressSpace, browse));
    OPCNAMESPACETYPE organisation = OPC_NS_FLAT;
    ASSERT_EQ(S_OK, browse->QueryOrganization(&organisation));
    std::set<std::string> browsed;
    CollectItemIds(browse.get(), organisation == OPC_NS_FLAT, browsed);
    std::set<std::string> expected;
    for (const simserver::SimulatedTag& tag : simserver::kSimulatedTags) expected.insert(tag.name);
    EXPECT_EQ(expected, browsed);

    // Stopping the service tells the connected client before the server goes.
    FileTail stopLog(simtest::TodaysServiceLog());
    ASSERT_TRUE(service.Control(SERVICE_CONTROL_STOP)) << GetLastError();
    SERVICE_STATUS stopped = service.WaitFor(SERVICE_STOPPED);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), stopped.dwCurrentState);
    EXPECT_EQ(0u, stopped.dwWin32ExitCode);
    EXPECT_EQ(1, sink.requests());
    EXPECT_NE(std::string::npos, stopLog.WaitFor("\tDETENIDO").find("\tDETENIDO"));
}

}  // namespace
