// The engine as a client sees it: a separate host process serves it, every call
// crosses processes through the registered OPCKrelProxy.dll, exactly as a
// third-party OPC client would use the simulation service.
#include <gtest/gtest.h>

#include <windows.h>
#include <olectl.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "KetraOPCServer.h"
#include "host_shared.h"
#include "kit_com.h"
#include "opccomn.h"
#include "opcconst.h"
#include "opcda.h"
#include "kit_exports.h"

namespace {

// Counts what the server sends to a group's data callback.
class DataSink final : public IOPCDataCallback {
public:
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IOPCDataCallback)) {
            *out = static_cast<IOPCDataCallback*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&ref_)); }
    STDMETHODIMP_(ULONG) Release() override {
        LONG n = InterlockedDecrement(&ref_);
        // A client whose computer has gone: the server's last release of its proxy hangs.
        if (n == 1 && holdRelease) WaitForSingleObject(releaseHold.get(), INFINITE);
        if (n == 0) delete this;
        return static_cast<ULONG>(n);
    }
    // True once only the test's own reference is left (a callback in flight when
    // the sink was unadvised still holds one for a moment).
    bool OnlyOurs(DWORD ms = 3000) {
        for (DWORD waited = 0; ref_ != 1 && waited < ms; waited += 10) Sleep(10);
        return ref_ == 1;
    }

    STDMETHODIMP OnDataChange(DWORD trans, OPCHANDLE group, HRESULT, HRESULT, DWORD count, OPCHANDLE* items,
                              VARIANT* values, WORD* qualities, FILETIME*, HRESULT* errors) override {
        kit::CritSecLock lock(lock_);
        Record(trans == 0 ? &changes : &refreshes, trans, group, count, items, values, qualities, errors);
        return S_OK;
    }
    STDMETHODIMP OnReadComplete(DWORD trans, OPCHANDLE group, HRESULT, HRESULT, DWORD count, OPCHANDLE* items,
                                VARIANT* values, WORD* qualities, FILETIME*, HRESULT* errors) override {
        {
            kit::CritSecLock lock(lock_);
            Record(&reads, trans, group, count, items, values, qualities, errors);
        }
        // A client that hangs here (its computer gone) until `hold` is set again.
        InterlockedIncrement(&entered);
        WaitForSingleObject(hold.get(), INFINITE);
        return answer;
    }
    STDMETHODIMP OnWriteComplete(DWORD trans, OPCHANDLE group, HRESULT, DWORD count, OPCHANDLE* items,
                                 HRESULT* errors) override {
        kit::CritSecLock lock(lock_);
        Record(&writes, trans, group, count, items, nullptr, nullptr, errors);
        return S_OK;
    }
    STDMETHODIMP OnCancelComplete(DWORD trans, OPCHANDLE group) override {
        kit::CritSecLock lock(lock_);
        Record(&cancels, trans, group, 0, nullptr, nullptr, nullptr, nullptr);
        return S_OK;
    }

    struct Call {
        DWORD trans;
        OPCHANDLE group;
        std::vector<OPCHANDLE> items;
        std::vector<double> values;  // as numbers (VT_EMPTY gives -1)
        std::vector<WORD> qualities;
        std::vector<HRESULT> errors;
    };
    std::vector<Call> Get(std::vector<Call>* which) {
        kit::CritSecLock lock(lock_);
        return *which;
    }
    void Clear() {
        kit::CritSecLock lock(lock_);
        changes.clear();
        refreshes.clear();
        reads.clear();
        writes.clear();
        cancels.clear();
    }
    // Waits until `which` has at least n calls.
    bool WaitFor(std::vector<Call>* which, size_t n, DWORD ms) {
        for (DWORD waited = 0; waited < ms; waited += 10) {
            {
                kit::CritSecLock lock(lock_);
                if (which->size() >= n) return true;
            }
            Sleep(10);
        }
        return false;
    }

    std::vector<Call> changes, refreshes, reads, writes, cancels;
    LONG volatile ref_ = 1;
    kit::Handle hold{CreateEventW(nullptr, TRUE, TRUE, nullptr)};
    LONG volatile entered = 0;
    HRESULT answer = S_OK;  // of OnReadComplete
    bool holdRelease = false;
    kit::Handle releaseHold{CreateEventW(nullptr, TRUE, FALSE, nullptr)};

private:
    void Record(std::vector<Call>* to, DWORD trans, OPCHANDLE group, DWORD count, OPCHANDLE* items,
                VARIANT* values, WORD* qualities, HRESULT* errors) {
        Call c;
        c.trans = trans;
        c.group = group;
        for (DWORD i = 0; i < count; ++i) {
            c.items.push_back(items[i]);
            if (values) {
                kit::Variant d;
                c.values.push_back(SUCCEEDED(VariantChangeType(d.get(), &values[i], 0, VT_R8)) ? V_R8(d.get()) : -1);
            }
            if (qualities) c.qualities.push_back(qualities[i]);
            if (errors) c.errors.push_back(errors[i]);
        }
        to->push_back(c);
    }
    kit::CritSec lock_;
};

class ShutdownSink final : public IOPCShutdown {
public:
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IOPCShutdown)) {
            *out = static_cast<IOPCShutdown*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&ref_)); }
    STDMETHODIMP_(ULONG) Release() override {
        LONG n = InterlockedDecrement(&ref_);
        if (n == 0) delete this;
        return static_cast<ULONG>(n);
    }
    bool OnlyOurs(DWORD ms = 3000) {
        for (DWORD waited = 0; ref_ != 1 && waited < ms; waited += 10) Sleep(10);
        return ref_ == 1;
    }
    STDMETHODIMP ShutdownRequest(LPCWSTR reason) override {
        reason_ = reason ? reason : L"(null)";
        // The server is still fully usable while it announces its end.
        InterlockedIncrement(&calls_);
        WaitForSingleObject(hold.get(), INFINITE);  // a client that does not answer, until set
        return S_OK;
    }
    kit::Handle hold{CreateEventW(nullptr, TRUE, TRUE, nullptr)};
    LONG volatile ref_ = 1;
    LONG volatile calls_ = 0;
    std::wstring reason_;
};

// Sinks live on the heap: a callback still in flight may hold them past the test.
template <class T>
kit::ComPtr<T> Make() {
    kit::ComPtr<T> p;
    p.Attach(new T);
    return p;
}

struct Host {
    kit::Handle process;
    kit::Handle mapping;
    HostState* state = nullptr;
    kit::Handle stop, exitEvent;
};

Host* g_host = nullptr;

std::wstring ProgramDir() {
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring p(path);
    return p.substr(0, p.find_last_of(L"\\/") + 1);
}

class EngineEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        // Marshaling of the OPC interfaces between the processes.
        HMODULE proxy = LoadLibraryW((ProgramDir() + L"OPCKrelProxy.dll").c_str());
        ASSERT_NE(nullptr, proxy);
        typedef HRESULT(WINAPI * Reg)();
        Reg reg = reinterpret_cast<Reg>(reinterpret_cast<void*>(GetProcAddress(proxy, "DllRegisterServer")));
        ASSERT_NE(nullptr, reg);
        ASSERT_EQ(S_OK, reg());

        g_host = new Host;
        g_host->mapping.Reset(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(HostState),
                                                 HOST_SHARED_NAME));
        ASSERT_TRUE(static_cast<bool>(g_host->mapping));
        g_host->state = static_cast<HostState*>(
            MapViewOfFile(g_host->mapping.get(), FILE_MAP_ALL_ACCESS, 0, 0, sizeof(HostState)));
        ASSERT_NE(nullptr, g_host->state);
        memset(g_host->state, 0, sizeof(HostState));
        g_host->stop.Reset(CreateEventW(nullptr, TRUE, FALSE, HOST_STOP_EVENT));
        g_host->exitEvent.Reset(CreateEventW(nullptr, TRUE, FALSE, HOST_EXIT_EVENT));

        std::wstring cmd = L"\"" + ProgramDir() + L"engine_test_host.exe\"";
        STARTUPINFOW si = {};
        si.cb = sizeof(si);
        PROCESS_INFORMATION pi = {};
        ASSERT_TRUE(CreateProcessW(nullptr, &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
        CloseHandle(pi.hThread);
        g_host->process.Reset(pi.hProcess);
        for (int i = 0; i < 1000 && !g_host->state->ready; ++i) {
            DWORD code = 0;
            if (GetExitCodeProcess(pi.hProcess, &code) && code != STILL_ACTIVE) break;
            Sleep(10);
        }
        ASSERT_EQ(1, g_host->state->ready) << "host start result " << g_host->state->startResult;
    }
    void TearDown() override {
        if (!g_host) return;
        SetEvent(g_host->stop.get());
        SetEvent(g_host->exitEvent.get());
        if (g_host->process) WaitForSingleObject(g_host->process.get(), 10000);
        if (g_host->state) UnmapViewOfFile(g_host->state);
        delete g_host;
        g_host = nullptr;
    }
};

kit::ComPtr<IOPCServer> Connect() {
    kit::ComPtr<IOPCServer> server;
    HRESULT hr = CoCreateInstance(CLSID_EngineTestHost, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer, server.put_void());
    EXPECT_EQ(S_OK, hr);
    return server;
}

std::vector<std::wstring> Strings(IEnumString* e) {
    std::vector<std::wstring> out;
    if (!e) return out;
    LPOLESTR s[4];
    ULONG n = 0;
    while (SUCCEEDED(e->Next(4, s, &n)) && n > 0) {
        for (ULONG i = 0; i < n; ++i) {
            out.push_back(s[i]);
            CoTaskMemFree(s[i]);
        }
        if (n < 4) break;
    }
    std::sort(out.begin(), out.end());
    return out;
}

std::vector<std::wstring> Browse(IOPCBrowseServerAddressSpace* b, OPCBROWSETYPE type, const wchar_t* filter = L"") {
    kit::ComPtr<IEnumString> e;
    HRESULT hr = b->BrowseOPCItemIDs(type, filter, VT_EMPTY, 0, e.put());
    EXPECT_TRUE(hr == S_OK || hr == S_FALSE) << std::hex << hr;
    return Strings(e.get());
}

struct Group {
    kit::ComPtr<IOPCItemMgt> items;
    OPCHANDLE handle = 0;
    DWORD rate = 0;
};

Group AddGroup(IOPCServer* server, const wchar_t* name, BOOL active, DWORD rate, OPCHANDLE client) {
    Group g;
    HRESULT hr = server->AddGroup(name, active, rate, client, nullptr, nullptr, 0, &g.handle, &g.rate,
                                  IID_IOPCItemMgt, reinterpret_cast<IUnknown**>(g.items.put()));
    EXPECT_TRUE(SUCCEEDED(hr)) << std::hex << hr;
    return g;
}

struct Added {
    std::vector<OPCHANDLE> handles;
    std::vector<HRESULT> errors;
    std::vector<VARTYPE> canonical;
    std::vector<DWORD> access;
    HRESULT hr;
};

Added AddItems(IOPCItemMgt* mgt, const std::vector<std::wstring>& ids, VARTYPE requested = VT_EMPTY,
               OPCHANDLE firstClient = 100) {
    std::vector<OPCITEMDEF> defs(ids.size());
    for (size_t i = 0; i < ids.size(); ++i) {
        defs[i] = OPCITEMDEF();
        defs[i].szAccessPath = const_cast<wchar_t*>(L"");
        defs[i].szItemID = const_cast<wchar_t*>(ids[i].c_str());
        defs[i].bActive = TRUE;
        defs[i].hClient = firstClient + static_cast<OPCHANDLE>(i);
        defs[i].vtRequestedDataType = requested;
    }
    kit::CoTaskArray<OPCITEMRESULT> results;
    kit::CoTaskArray<HRESULT> errors;
    Added a;
    a.hr = mgt->AddItems(static_cast<DWORD>(defs.size()), defs.data(), results.put(), errors.put());
    if (FAILED(a.hr)) return a;
    for (size_t i = 0; i < ids.size(); ++i) {
        a.handles.push_back(results[i].hServer);
        a.errors.push_back(errors[i]);
        a.canonical.push_back(results[i].vtCanonicalDataType);
        a.access.push_back(results[i].dwAccessRights);
        CoTaskMemFree(results[i].pBlob);
    }
    return a;
}

struct ReadResult {
    HRESULT hr;
    std::vector<HRESULT> errors;
    std::vector<WORD> qualities;
    std::vector<FILETIME> times;
    std::vector<OPCHANDLE> clients;
    std::vector<VARTYPE> types;
    std::vector<double> numbers;
    std::vector<std::wstring> texts;
};

ReadResult SyncRead(IOPCItemMgt* mgt, OPCDATASOURCE source, const std::vector<OPCHANDLE>& handles) {
    kit::ComPtr<IOPCSyncIO> io;
    ReadResult r;
    r.hr = mgt->QueryInterface(IID_IOPCSyncIO, io.put_void());
    if (FAILED(r.hr)) return r;
    kit::CoTaskArray<OPCITEMSTATE> states;
    kit::CoTaskArray<HRESULT> errors;
    r.hr = io->Read(source, static_cast<DWORD>(handles.size()), const_cast<OPCHANDLE*>(handles.data()), states.put(),
                    errors.put());
    if (FAILED(r.hr)) return r;
    for (size_t i = 0; i < handles.size(); ++i) {
        r.errors.push_back(errors[i]);
        r.qualities.push_back(states[i].wQuality);
        r.times.push_back(states[i].ftTimeStamp);
        r.clients.push_back(states[i].hClient);
        r.types.push_back(V_VT(&states[i].vDataValue));
        kit::Variant d;
        r.numbers.push_back(SUCCEEDED(VariantChangeType(d.get(), &states[i].vDataValue, 0, VT_R8)) ? V_R8(d.get())
                                                                                                      : -1);
        r.texts.push_back(V_VT(&states[i].vDataValue) == VT_BSTR ? V_BSTR(&states[i].vDataValue) : L"");
        VariantClear(&states[i].vDataValue);
    }
    return r;
}

// A client whose completion callback hangs (its computer gone): a group whose
// sink blocks in OnReadComplete until released, as it also is when this goes.
struct HungClient {
    kit::ComPtr<DataSink> sink = Make<DataSink>();
    Group group;
    kit::ComPtr<IOPCAsyncIO2> async;
    OPCHANDLE item = 0;
    ~HungClient() { SetEvent(sink->hold.get()); }

    HRESULT Read() {
        DWORD cancel = 0;
        kit::CoTaskArray<HRESULT> errors;
        return async->Read(1, &item, 9, &cancel, errors.put());
    }
    bool Start(IOPCServer* server) {
        group = AddGroup(server, L"Hung", TRUE, 1000, 9);
        Added a = AddItems(group.items.get(), {L"Plant.Tank.Level"});
        kit::ComPtr<IConnectionPointContainer> cpc;
        kit::ComPtr<IConnectionPoint> cp;
        DWORD cookie;
        if (a.hr != S_OK || FAILED(group.items.As(IID_IConnectionPointContainer, cpc)) ||
            FAILED(cpc->FindConnectionPoint(IID_IOPCDataCallback, cp.put())) ||
            FAILED(cp->Advise(static_cast<IOPCDataCallback*>(sink.get()), &cookie)) ||
            FAILED(group.items.As(IID_IOPCAsyncIO2, async)))
            return false;
        item = a.handles[0];
        ResetEvent(sink->hold.get());
        if (Read() != S_OK) return false;
        for (int i = 0; i < 1000 && !sink->entered; ++i) Sleep(10);
        return sink->entered == 1;
    }
};

ULONGLONG Ticks(const FILETIME& f) { return (static_cast<ULONGLONG>(f.dwHighDateTime) << 32) | f.dwLowDateTime; }

ULONGLONG NowTicks() {
    FILETIME f;
    GetSystemTimeAsFileTime(&f);
    return Ticks(f);
}

const ULONGLONG kSecond = 10000000ULL;

// Advises `sink` on the connection point `iid` of `object`.
HRESULT Advise(IUnknown* object, REFIID iid, IUnknown* sink) {
    kit::ComPtr<IConnectionPointContainer> cpc;
    kit::ComPtr<IConnectionPoint> cp;
    DWORD cookie;
    HRESULT hr = object->QueryInterface(IID_IConnectionPointContainer, cpc.put_void());
    if (SUCCEEDED(hr)) hr = cpc->FindConnectionPoint(iid, cp.put());
    return SUCCEEDED(hr) ? cp->Advise(sink, &cookie) : hr;
}

class EngineOutOfProcess : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(g_host && g_host->state->ready && !g_host->state->stopRequested); }
    kit::ComInit com_{COINIT_MULTITHREADED};
};

TEST_F(EngineOutOfProcess, StatusIsRunningWithRealTimes) {
    kit::ComPtr<IOPCServer> server = Connect();
    ASSERT_TRUE(server);
    kit::CoTaskArray<OPCSERVERSTATUS> status;
    ASSERT_EQ(S_OK, server->GetStatus(status.put()));
    EXPECT_EQ(OPC_STATUS_RUNNING, status->dwServerState);
    ULONGLONG now = NowTicks();
    EXPECT_LE(Ticks(status->ftStartTime), Ticks(status->ftCurrentTime));
    EXPECT_GT(Ticks(status->ftStartTime), now - 120 * kSecond);
    EXPECT_LT(Ticks(status->ftCurrentTime), now + 5 * kSecond);
    EXPECT_GT(Ticks(status->ftCurrentTime), now - 5 * kSecond);
    EXPECT_EQ(0u, status->dwGroupCount);
    ASSERT_NE(nullptr, status->szVendorInfo);
    EXPECT_GT(wcslen(status->szVendorInfo), 0u);
    CoTaskMemFree(status->szVendorInfo);

    // The error text crosses processes (the proxy's [out, string] fix) and names the fault.
    kit::CoTaskString text;
    ASSERT_EQ(S_OK, server->GetErrorString(OPC_E_UNKNOWNITEMID, 0, text.put()));
    ASSERT_TRUE(text);
    EXPECT_NE(nullptr, wcsstr(text.get(), L"address space"));
    kit::ComPtr<IOPCCommon> common;
    ASSERT_EQ(S_OK, server.As(IID_IOPCCommon, common));
    EXPECT_EQ(E_INVALIDARG, common->SetLocaleID(0x0C0A));  // not offered
    kit::CoTaskString sys;
    EXPECT_EQ(S_OK, common->GetErrorString(E_OUTOFMEMORY, sys.put()));
    EXPECT_TRUE(sys);
    kit::CoTaskString none;
    EXPECT_EQ(E_INVALIDARG, common->GetErrorString(static_cast<HRESULT>(0xC0047777), none.put()));
}

TEST_F(EngineOutOfProcess, BrowsesTheDottedNamesAsATree) {
    kit::ComPtr<IOPCServer> server = Connect();
    kit::ComPtr<IOPCBrowseServerAddressSpace> browse;
    ASSERT_EQ(S_OK, server.As(IID_IOPCBrowseServerAddressSpace, browse));
    OPCNAMESPACETYPE org;
    ASSERT_EQ(S_OK, browse->QueryOrganization(&org));
    EXPECT_EQ(OPC_NS_HIERARCHIAL, org);

    EXPECT_EQ(std::vector<std::wstring>({L"Plant"}), Browse(browse.get(), OPC_BRANCH));
    EXPECT_EQ(std::vector<std::wstring>({L"Counter"}), Browse(browse.get(), OPC_LEAF));
    EXPECT_EQ(E_FAIL, browse->ChangeBrowsePosition(OPC_BROWSE_UP, L""));  // already at the root
    ASSERT_EQ(S_OK, browse->ChangeBrowsePosition(OPC_BROWSE_DOWN, L"Plant"));
    EXPECT_EQ(std::vector<std::wstring>({L"Pump", L"Tank"}), Browse(browse.get(), OPC_BRANCH));
    EXPECT_EQ(std::vector<std::wstring>({L"Ghost", L"Slow"}), Browse(browse.get(), OPC_LEAF));
    ASSERT_EQ(S_OK, browse->ChangeBrowsePosition(OPC_BROWSE_DOWN, L"Tank"));
    EXPECT_EQ(std::vector<std::wstring>({L"Level", L"Status", L"Temp"}), Browse(browse.get(), OPC_LEAF));
    EXPECT_EQ(std::vector<std::wstring>({L"Temp"}), Browse(browse.get(), OPC_LEAF, L"T*"));
    EXPECT_TRUE(Browse(browse.get(), OPC_BRANCH).empty());

    kit::CoTaskString id;
    ASSERT_EQ(S_OK, browse->GetItemID(const_cast<wchar_t*>(L"Level"), id.put()));
    ASSERT_TRUE(id);
    EXPECT_STREQ(L"Plant.Tank.Level", id.get());
    kit::CoTaskString missing;
    EXPECT_EQ(E_INVALIDARG, browse->GetItemID(const_cast<wchar_t*>(L"Nope"), missing.put()));

    // A leaf is no branch; an unknown branch leaves the position where it was.
    EXPECT_EQ(E_INVALIDARG, browse->ChangeBrowsePosition(OPC_BROWSE_DOWN, L"Level"));
    EXPECT_EQ(E_INVALIDARG, browse->ChangeBrowsePosition(OPC_BROWSE_TO, L"Plant.Nowhere"));
    EXPECT_EQ(std::vector<std::wstring>({L"Level", L"Status", L"Temp"}), Browse(browse.get(), OPC_LEAF));
    ASSERT_EQ(S_OK, browse->ChangeBrowsePosition(OPC_BROWSE_UP, L""));
    EXPECT_EQ(std::vector<std::wstring>({L"Pump", L"Tank"}), Browse(browse.get(), OPC_BRANCH));
    ASSERT_EQ(S_OK, browse->ChangeBrowsePosition(OPC_BROWSE_TO, L"Plant.Pump"));
    EXPECT_EQ(std::vector<std::wstring>({L"Running"}), Browse(browse.get(), OPC_LEAF));
    ASSERT_EQ(S_OK, browse->ChangeBrowsePosition(OPC_BROWSE_TO, L""));
    EXPECT_EQ(std::vector<std::wstring>({L"Plant"}), Browse(browse.get(), OPC_BRANCH));

    std::vector<std::wstring> flat = Browse(browse.get(), OPC_FLAT);
    EXPECT_EQ(7u, flat.size());
    EXPECT_EQ(std::vector<std::wstring>({L"Plant.Tank.Level"}), Browse(browse.get(), OPC_FLAT, L"*.Level"));
    // Access filter: only the pump may be written.
    kit::ComPtr<IEnumString> writable;
    ASSERT_EQ(S_OK, browse->BrowseOPCItemIDs(OPC_FLAT, L"", VT_EMPTY, OPC_WRITEABLE, writable.put()));
    EXPECT_EQ(std::vector<std::wstring>({L"Plant.Pump.Running"}), Strings(writable.get()));
    // Readable or writable, as the kit's client asks: every leaf of the level.
    ASSERT_EQ(S_OK, browse->ChangeBrowsePosition(OPC_BROWSE_TO, L"Plant.Tank"));
    // Flat from a branch: what lies at and below it, by full item IDs.
    EXPECT_EQ(std::vector<std::wstring>({L"Plant.Tank.Level", L"Plant.Tank.Status", L"Plant.Tank.Temp"}),
              Browse(browse.get(), OPC_FLAT));
    kit::ComPtr<IEnumString> either;
    ASSERT_EQ(S_OK, browse->BrowseOPCItemIDs(OPC_LEAF, L"", VT_EMPTY, OPC_READABLE | OPC_WRITEABLE, either.put()));
    EXPECT_EQ(std::vector<std::wstring>({L"Level", L"Status", L"Temp"}), Strings(either.get()));
    // Branch names give their item IDs too: clients browse into them by it.
    ASSERT_EQ(S_OK, browse->ChangeBrowsePosition(OPC_BROWSE_TO, L"Plant"));
    kit::CoTaskString branchId;
    ASSERT_EQ(S_OK, browse->GetItemID(const_cast<wchar_t*>(L"Tank"), branchId.put()));
    EXPECT_STREQ(L"Plant.Tank", branchId.get());
    ASSERT_EQ(S_OK, browse->ChangeBrowsePosition(OPC_BROWSE_TO, L""));

    // Each client object browses on its own.
    kit::ComPtr<IOPCServer> other = Connect();
    kit::ComPtr<IOPCBrowseServerAddressSpace> otherBrowse;
    ASSERT_EQ(S_OK, other.As(IID_IOPCBrowseServerAddressSpace, otherBrowse));
    ASSERT_EQ(S_OK, browse->ChangeBrowsePosition(OPC_BROWSE_TO, L"Plant.Tank"));
    EXPECT_EQ(std::vector<std::wstring>({L"Plant"}), Browse(otherBrowse.get(), OPC_BRANCH));
}

TEST_F(EngineOutOfProcess, ItemPropertiesOneToSix) {
    kit::ComPtr<IOPCServer> server = Connect();
    kit::ComPtr<IOPCItemProperties> props;
    ASSERT_EQ(S_OK, server.As(IID_IOPCItemProperties, props));
    DWORD count = 0;
    kit::CoTaskArray<DWORD> ids;
    kit::CoTaskArray<LPWSTR> texts;
    kit::CoTaskArray<VARTYPE> types;
    ASSERT_EQ(S_OK, props->QueryAvailableProperties(const_cast<wchar_t*>(L"Plant.Tank.Level"), &count, ids.put(),
                                                    texts.put(), types.put()));
    ASSERT_EQ(6u, count);
    for (DWORD i = 0; i < count; ++i) {
        EXPECT_EQ(i + 1, ids[i]);
        CoTaskMemFree(texts[i]);
    }
    DWORD wanted[] = {1, 2, 3, 4, 5, 6, 999};
    kit::CoTaskArray<VARIANT> data;
    kit::CoTaskArray<HRESULT> errors;
    ASSERT_EQ(S_FALSE, props->GetItemProperties(const_cast<wchar_t*>(L"Plant.Tank.Level"), 7, wanted, data.put(),
                                                errors.put()));
    EXPECT_EQ(VT_R8, V_I2(&data[0]));
    EXPECT_EQ(VT_R8, V_VT(&data[1]));
    EXPECT_DOUBLE_EQ(42.5, V_R8(&data[1]));
    EXPECT_EQ(OPC_QUALITY_GOOD, V_I2(&data[2]));
    EXPECT_EQ(VT_DATE, V_VT(&data[3]));
    EXPECT_EQ(OPC_READABLE, V_I4(&data[4]));
    EXPECT_EQ(VT_R4, V_VT(&data[5]));
    EXPECT_EQ(OPC_E_INVALID_PID, errors[6]);
    for (int i = 0; i < 7; ++i) VariantClear(&data[i]);

    DWORD c2 = 0;
    kit::CoTaskArray<DWORD> i2;
    kit::CoTaskArray<LPWSTR> t2;
    kit::CoTaskArray<VARTYPE> v2;
    EXPECT_EQ(OPC_E_UNKNOWNITEMID,
              props->QueryAvailableProperties(const_cast<wchar_t*>(L"Plant.Nope"), &c2, i2.put(), t2.put(), v2.put()));
    EXPECT_EQ(0u, c2);
}

TEST_F(EngineOutOfProcess, GroupsHaveUniqueNamesAndTheRemoveRule) {
    kit::ComPtr<IOPCServer> server = Connect();
    Group g1 = AddGroup(server.get(), L"Main", TRUE, 0, 1);
    ASSERT_TRUE(g1.items);
    EXPECT_GE(g1.rate, 1u);

    OPCHANDLE h = 0;
    DWORD rate = 0;
    kit::ComPtr<IUnknown> dup;
    EXPECT_EQ(OPC_E_DUPLICATENAME, server->AddGroup(L"Main", TRUE, 1000, 2, nullptr, nullptr, 0, &h, &rate,
                                                    IID_IOPCItemMgt, dup.put()));
    EXPECT_FALSE(dup);
    // An unnamed group gets a name of its own.
    Group anon = AddGroup(server.get(), L"", TRUE, 1000, 3);
    kit::ComPtr<IOPCGroupStateMgt> anonState;
    ASSERT_EQ(S_OK, anon.items.As(IID_IOPCGroupStateMgt, anonState));
    DWORD r;
    BOOL active;
    kit::CoTaskString name;
    LONG bias;
    FLOAT dead;
    DWORD lcid;
    OPCHANDLE client, serverHandle;
    ASSERT_EQ(S_OK, anonState->GetState(&r, &active, name.put(), &bias, &dead, &lcid, &client, &serverHandle));
    ASSERT_TRUE(name);
    EXPECT_GT(wcslen(name.get()), 0u);
    EXPECT_STRNE(L"Main", name.get());
    EXPECT_EQ(3u, client);
    EXPECT_EQ(anon.handle, serverHandle);
    EXPECT_EQ(OPC_E_DUPLICATENAME, anonState->SetName(L"Main"));
    EXPECT_EQ(S_OK, anonState->SetName(L"Second"));

    kit::ComPtr<IUnknown> byName;
    ASSERT_EQ(S_OK, server->GetGroupByName(L"Second", IID_IUnknown, byName.put()));
    EXPECT_EQ(E_INVALIDARG, server->GetGroupByName(L"Absent", IID_IUnknown, byName.put()));

    kit::ComPtr<IEnumString> names;
    ASSERT_EQ(S_OK, server->CreateGroupEnumerator(OPC_ENUM_ALL, IID_IEnumString,
                                                  reinterpret_cast<IUnknown**>(names.put())));
    EXPECT_EQ(std::vector<std::wstring>({L"Main", L"Second"}), Strings(names.get()));
    kit::ComPtr<IEnumUnknown> publics;
    EXPECT_EQ(S_FALSE, server->CreateGroupEnumerator(OPC_ENUM_PUBLIC, IID_IEnumUnknown,
                                                     reinterpret_cast<IUnknown**>(publics.put())));

    // Still held by this client: removed by name, but alive until released.
    EXPECT_EQ(OPC_S_INUSE, server->RemoveGroup(g1.handle, FALSE));
    EXPECT_EQ(E_INVALIDARG, server->RemoveGroup(g1.handle, FALSE));
    kit::CoTaskArray<OPCSERVERSTATUS> status;
    ASSERT_EQ(S_OK, server->GetStatus(status.put()));
    EXPECT_EQ(1u, status->dwGroupCount);
    CoTaskMemFree(status->szVendorInfo);
    Added a = AddItems(g1.items.get(), {L"Plant.Tank.Level"});
    EXPECT_EQ(S_OK, a.hr);  // the removed group keeps working for its holder
    // The name is free again.
    Group again = AddGroup(server.get(), L"Main", TRUE, 1000, 4);
    EXPECT_TRUE(again.items);

    // Forced removal cuts the holder off.
    EXPECT_EQ(S_OK, server->RemoveGroup(again.handle, TRUE));
    Added b = AddItems(again.items.get(), {L"Plant.Tank.Level"});
    EXPECT_TRUE(FAILED(b.hr));
}

TEST_F(EngineOutOfProcess, AddItemsReportsEachItemAndCacheReadIsGoodAtOnce) {
    kit::ComPtr<IOPCServer> server = Connect();
    Group g = AddGroup(server.get(), L"Items", TRUE, 1000, 7);
    Added a = AddItems(g.items.get(),
                       {L"Plant.Tank.Level", L"Plant.Tank.Nothing", L"Plant..Level", L"", L"Plant.Tank.Status",
                        L"Plant.Ghost", L"Plant.Pump.Running", L"Counter"});
    ASSERT_EQ(S_FALSE, a.hr);
    EXPECT_EQ(S_OK, a.errors[0]);
    EXPECT_EQ(OPC_E_UNKNOWNITEMID, a.errors[1]);
    EXPECT_EQ(OPC_E_INVALIDITEMID, a.errors[2]);
    EXPECT_EQ(OPC_E_INVALIDITEMID, a.errors[3]);
    EXPECT_EQ(VT_R8, a.canonical[0]);
    EXPECT_EQ(static_cast<DWORD>(OPC_READABLE), a.access[0]);
    EXPECT_EQ(static_cast<DWORD>(OPC_READABLE | OPC_WRITEABLE), a.access[6]);

    Added bad = AddItems(g.items.get(), {L"Plant.Tank.Level"}, VT_DISPATCH);
    EXPECT_EQ(S_FALSE, bad.hr);
    EXPECT_EQ(OPC_E_BADTYPE, bad.errors[0]);

    ReadResult r = SyncRead(g.items.get(), OPC_DS_CACHE,
                            {a.handles[0], a.handles[4], a.handles[5], a.handles[6], a.handles[7], 0xDEAD});
    ASSERT_EQ(S_FALSE, r.hr);  // the made-up handle
    EXPECT_EQ(OPC_E_INVALIDHANDLE, r.errors[5]);
    EXPECT_EQ(S_OK, r.errors[0]);
    EXPECT_EQ(100u, r.clients[0]);
    EXPECT_EQ(OPC_QUALITY_GOOD, r.qualities[0]);
    EXPECT_EQ(VT_R8, r.types[0]);
    EXPECT_DOUBLE_EQ(42.5, r.numbers[0]);
    EXPECT_EQ(Ticks(kLevelTime), Ticks(r.times[0]));  // the provider's own time
    EXPECT_EQ(0x40, r.qualities[1]);                  // uncertain, as the provider said
    EXPECT_EQ(L"Low", r.texts[1]);
    EXPECT_EQ(OPC_QUALITY_BAD | OPC_QUALITY_CONFIG_ERROR, r.qualities[2]);  // unknown to the provider
    EXPECT_EQ(VT_EMPTY, r.types[2]);
    EXPECT_EQ(VT_BOOL, r.types[3]);
    // A provider that leaves the time to the server gets the time of the read.
    ULONGLONG now = NowTicks();
    EXPECT_GT(Ticks(r.times[4]), now - 10 * kSecond);
    EXPECT_LT(Ticks(r.times[4]), now + 10 * kSecond);

    // Requested types: the cache converts on the way out.
    Added asText = AddItems(g.items.get(), {L"Plant.Tank.Level"}, VT_BSTR, 300);
    ASSERT_EQ(S_OK, asText.hr);
    Added asInt = AddItems(g.items.get(), {L"Plant.Tank.Level"}, VT_I4, 301);
    ReadResult conv = SyncRead(g.items.get(), OPC_DS_CACHE, {asText.handles[0], asInt.handles[0]});
    EXPECT_EQ(VT_BSTR, conv.types[0]);
    EXPECT_EQ(VT_I4, conv.types[1]);
    EXPECT_EQ(42.0, conv.numbers[1]);  // banker's rounding of 42.5

    // SetDatatypes changes the type later, and refuses impossible ones.
    kit::CoTaskArray<HRESULT> errs;
    VARTYPE types[] = {VT_R4, VT_UNKNOWN};
    OPCHANDLE hs[] = {asInt.handles[0], asText.handles[0]};
    EXPECT_EQ(S_FALSE, g.items->SetDatatypes(2, hs, types, errs.put()));
    EXPECT_EQ(S_OK, errs[0]);
    EXPECT_EQ(OPC_E_BADTYPE, errs[1]);
    ReadResult conv2 = SyncRead(g.items.get(), OPC_DS_CACHE, {asInt.handles[0]});
    EXPECT_EQ(VT_R4, conv2.types[0]);

    // Device reads go to the provider each time: the counter moves.
    ReadResult d1 = SyncRead(g.items.get(), OPC_DS_DEVICE, {a.handles[7]});
    ReadResult d2 = SyncRead(g.items.get(), OPC_DS_DEVICE, {a.handles[7]});
    EXPECT_GT(d2.numbers[0], d1.numbers[0]);

    // Inactive items read from cache say so.
    kit::CoTaskArray<HRESULT> aerr;
    OPCHANDLE lvl = a.handles[0];
    ASSERT_EQ(S_OK, g.items->SetActiveState(1, &lvl, FALSE, aerr.put()));
    ReadResult off = SyncRead(g.items.get(), OPC_DS_CACHE, {lvl});
    EXPECT_EQ(OPC_QUALITY_BAD | OPC_QUALITY_OUT_OF_SERVICE, off.qualities[0]);

    // Removed items are gone; removing twice is an error per item.
    kit::CoTaskArray<HRESULT> rerr;
    OPCHANDLE rm[] = {a.handles[4], a.handles[4]};
    EXPECT_EQ(S_FALSE, g.items->RemoveItems(2, rm, rerr.put()));
    EXPECT_EQ(S_OK, rerr[0]);
    EXPECT_EQ(OPC_E_INVALIDHANDLE, rerr[1]);

    kit::ComPtr<IEnumOPCItemAttributes> e;
    ASSERT_EQ(S_OK, g.items->CreateEnumerator(IID_IEnumOPCItemAttributes, reinterpret_cast<IUnknown**>(e.put())));
    OPCITEMATTRIBUTES* attrs = nullptr;
    ULONG fetched = 0;
    EXPECT_EQ(S_FALSE, e->Next(100, &attrs, &fetched));
    EXPECT_EQ(6u, fetched);  // 5 good of the first call, less the removed one, plus two
    for (ULONG i = 0; i < fetched; ++i) {
        CoTaskMemFree(attrs[i].szAccessPath);
        CoTaskMemFree(attrs[i].szItemID);
        CoTaskMemFree(attrs[i].pBlob);
        VariantClear(&attrs[i].vEUInfo);
    }
    CoTaskMemFree(attrs);
}

TEST_F(EngineOutOfProcess, WritesRespectAccessRights) {
    kit::ComPtr<IOPCServer> server = Connect();
    Group g = AddGroup(server.get(), L"Writes", TRUE, 1000, 8);
    Added a = AddItems(g.items.get(), {L"Plant.Tank.Level", L"Plant.Pump.Running"});
    ASSERT_EQ(S_OK, a.hr);
    kit::ComPtr<IOPCSyncIO> io;
    ASSERT_EQ(S_OK, g.items.As(IID_IOPCSyncIO, io));
    VARIANT values[2];
    VariantInit(&values[0]);
    VariantInit(&values[1]);
    V_VT(&values[0]) = VT_R8;
    V_R8(&values[0]) = 1.0;
    V_VT(&values[1]) = VT_I4;
    V_I4(&values[1]) = 1;
    kit::CoTaskArray<HRESULT> errors;
    ASSERT_EQ(S_FALSE, io->Write(2, a.handles.data(), values, errors.put()));
    EXPECT_EQ(OPC_E_BADRIGHTS, errors[0]);
    EXPECT_EQ(S_OK, errors[1]);
    ReadResult r = SyncRead(g.items.get(), OPC_DS_CACHE, a.handles);
    EXPECT_DOUBLE_EQ(42.5, r.numbers[0]);
    EXPECT_EQ(-1.0, r.numbers[1]);  // VARIANT_TRUE as a number
    // An empty VARIANT is no value: refused, and the last one stays.
    VariantInit(&values[1]);
    ASSERT_EQ(S_FALSE, io->Write(1, &a.handles[1], &values[1], errors.put()));
    EXPECT_EQ(OPC_E_BADTYPE, errors[0]);
    EXPECT_EQ(-1.0, SyncRead(g.items.get(), OPC_DS_DEVICE, {a.handles[1]}).numbers[0]);
}

TEST_F(EngineOutOfProcess, SubscriptionReportsChangesAtTheUpdateRate) {
    kit::ComPtr<IOPCServer> server = Connect();
    Group g = AddGroup(server.get(), L"Subscribed", TRUE, 100, 55);
    ASSERT_EQ(100u, g.rate);
    kit::ComPtr<DataSink> sink = Make<DataSink>();
    kit::ComPtr<IConnectionPointContainer> cpc;
    ASSERT_EQ(S_OK, g.items.As(IID_IConnectionPointContainer, cpc));
    kit::ComPtr<IConnectionPoint> cp;
    ASSERT_EQ(S_OK, cpc->FindConnectionPoint(IID_IOPCDataCallback, cp.put()));
    kit::ComPtr<IConnectionPoint> none;
    EXPECT_EQ(CONNECT_E_NOCONNECTION, cpc->FindConnectionPoint(IID_IOPCShutdown, none.put()));
    DWORD cookie = 0;
    ASSERT_EQ(S_OK, cp->Advise(static_cast<IOPCDataCallback*>(sink.get()), &cookie));
    kit::ComPtr<DataSink> second = Make<DataSink>();
    DWORD cookie2 = 0;
    EXPECT_EQ(CONNECT_E_ADVISELIMIT, cp->Advise(static_cast<IOPCDataCallback*>(second.get()), &cookie2));

    Added a = AddItems(g.items.get(), {L"Plant.Tank.Temp", L"Plant.Tank.Level"}, VT_EMPTY, 900);
    ASSERT_EQ(S_OK, a.hr);
    Sleep(3000);
    std::vector<DataSink::Call> calls = sink->Get(&sink->changes);
    // 100 ms for three seconds: about thirty reports (Wine's timers are coarse, and
    // an emulated machine is slow), where the default rate of a second gives four.
    EXPECT_GE(calls.size(), 10u);
    EXPECT_LE(calls.size(), 32u);
    size_t levelReports = 0;
    double lastTemp = 0;
    for (const DataSink::Call& c : calls) {
        EXPECT_EQ(55u, c.group);
        for (size_t i = 0; i < c.items.size(); ++i) {
            if (c.items[i] == 901) ++levelReports;
            if (c.items[i] == 900) {
                EXPECT_GT(c.values[i], lastTemp);
                lastTemp = c.values[i];
                EXPECT_EQ(OPC_QUALITY_GOOD, c.qualities[i]);
            }
        }
    }
    EXPECT_EQ(1u, levelReports);  // it never changes: reported once

    // A slower rate: fewer reports.
    kit::ComPtr<IOPCGroupStateMgt> state;
    ASSERT_EQ(S_OK, g.items.As(IID_IOPCGroupStateMgt, state));
    DWORD tooFast = 10, slow = 400, revised = 0;
    EXPECT_EQ(OPC_S_UNSUPPORTEDRATE, state->SetState(&tooFast, &revised, nullptr, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(50u, revised);
    ASSERT_EQ(S_OK, state->SetState(&slow, &revised, nullptr, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(400u, revised);
    Sleep(500);
    sink->Clear();
    Sleep(3000);
    size_t slowCount = sink->Get(&sink->changes).size();
    EXPECT_GE(slowCount, 2u);
    EXPECT_LE(slowCount, 9u);

    // An inactive group reports nothing.
    BOOL off = FALSE;
    ASSERT_EQ(S_OK, state->SetState(nullptr, &revised, &off, nullptr, nullptr, nullptr, nullptr));
    // (A report already on its way may still land in the first moments.)
    Sleep(1000);
    sink->Clear();
    Sleep(1000);
    EXPECT_EQ(0u, sink->Get(&sink->changes).size());

    // Asynchronous requests answer through the same sink with their transaction IDs.
    BOOL on = TRUE;
    ASSERT_EQ(S_OK, state->SetState(nullptr, &revised, &on, nullptr, nullptr, nullptr, nullptr));
    kit::ComPtr<IOPCAsyncIO2> async;
    ASSERT_EQ(S_OK, g.items.As(IID_IOPCAsyncIO2, async));
    DWORD cancel = 0;
    sink->Clear();
    ASSERT_EQ(S_OK, async->Refresh2(OPC_DS_CACHE, 4711, &cancel));
    ASSERT_TRUE(sink->WaitFor(&sink->refreshes, 1, 3000));
    std::vector<DataSink::Call> refresh = sink->Get(&sink->refreshes);
    EXPECT_EQ(4711u, refresh[0].trans);
    EXPECT_EQ(2u, refresh[0].items.size());  // all active items, changed or not

    kit::CoTaskArray<HRESULT> errs;
    OPCHANDLE readHandles[] = {a.handles[1], 0xBEEF};
    ASSERT_EQ(S_FALSE, async->Read(2, readHandles, 4712, &cancel, errs.put()));
    EXPECT_EQ(OPC_E_INVALIDHANDLE, errs[1]);
    ASSERT_TRUE(sink->WaitFor(&sink->reads, 1, 3000));
    std::vector<DataSink::Call> reads = sink->Get(&sink->reads);
    EXPECT_EQ(4712u, reads[0].trans);
    ASSERT_EQ(1u, reads[0].items.size());
    EXPECT_EQ(901u, reads[0].items[0]);
    EXPECT_DOUBLE_EQ(42.5, reads[0].values[0]);

    VARIANT v;
    VariantInit(&v);
    V_VT(&v) = VT_R8;
    V_R8(&v) = 3.0;
    kit::CoTaskArray<HRESULT> werr;
    OPCHANDLE wh = a.handles[1];
    EXPECT_EQ(S_FALSE, async->Write(1, &wh, &v, 4713, &cancel, werr.put()));
    EXPECT_EQ(OPC_E_BADRIGHTS, werr[0]);

    ASSERT_EQ(S_OK, cp->Unadvise(cookie));
    EXPECT_EQ(CONNECT_E_NOCONNECTION, cp->Unadvise(cookie));
    EXPECT_EQ(CONNECT_E_NOCONNECTION, async->Refresh2(OPC_DS_CACHE, 1, &cancel));
    EXPECT_TRUE(sink->OnlyOurs());  // the server let go of the sink
}

TEST_F(EngineOutOfProcess, ASlowTagStallsNoOtherCallAndManyClientsRunAtOnce) {
    kit::ComPtr<IOPCServer> server = Connect();
    Group g = AddGroup(server.get(), L"Mixed", TRUE, 1000, 1);
    Added a = AddItems(g.items.get(), {L"Plant.Slow", L"Plant.Tank.Level"});
    ASSERT_EQ(S_OK, a.hr);
    kit::ComPtr<IOPCServer> other = Connect();
    Group og = AddGroup(other.get(), L"Other", TRUE, 1000, 1);
    Added oa = AddItems(og.items.get(), {L"Plant.Tank.Level"});

    // Device reads of the slow tag (a second in the provider) on two threads...
    std::atomic<int> slowDone(0);
    std::vector<std::thread> slow;
    for (int t = 0; t < 2; ++t) {
        slow.emplace_back([&]() {
            kit::ComInit com(COINIT_MULTITHREADED);
            ReadResult r = SyncRead(g.items.get(), OPC_DS_DEVICE, {a.handles[0]});
            EXPECT_EQ(S_OK, r.hr);
            EXPECT_EQ(7.0, r.numbers.empty() ? 0 : r.numbers[0]);
            ++slowDone;
        });
    }
    Sleep(50);
    // ...while cache reads on the same group and on another client answer at once.
    LARGE_INTEGER f, t0, t1;
    QueryPerformanceFrequency(&f);
    double worst = 0;
    int fastReads = 0;
    while (slowDone < 2 && fastReads < 400) {
        QueryPerformanceCounter(&t0);
        ReadResult same = SyncRead(g.items.get(), OPC_DS_CACHE, {a.handles[1]});
        ReadResult diff = SyncRead(og.items.get(), OPC_DS_CACHE, {oa.handles[0]});
        QueryPerformanceCounter(&t1);
        EXPECT_DOUBLE_EQ(42.5, same.numbers[0]);
        EXPECT_DOUBLE_EQ(42.5, diff.numbers[0]);
        worst = std::max(worst, static_cast<double>(t1.QuadPart - t0.QuadPart) * 1000.0 / f.QuadPart);
        ++fastReads;
    }
    for (auto& t : slow) t.join();
    EXPECT_GE(fastReads, 3);  // reads got through while the provider was busy
    EXPECT_LT(worst, 500.0);  // well under the slow tag's second

    // A subscription to the slow tag does not slow down another group's subscription.
    Group slowSub = AddGroup(server.get(), L"SlowSubscription", TRUE, 50, 2);
    AddItems(slowSub.items.get(), {L"Plant.Slow"});
    // Nor does a client that hangs in a completion callback.
    HungClient hung;
    ASSERT_TRUE(hung.Start(server.get()));
    Group fastSub = AddGroup(other.get(), L"FastSubscription", TRUE, 100, 3);
    kit::ComPtr<DataSink> sink = Make<DataSink>();
    kit::ComPtr<IConnectionPointContainer> cpc;
    ASSERT_EQ(S_OK, fastSub.items.As(IID_IConnectionPointContainer, cpc));
    kit::ComPtr<IConnectionPoint> cp;
    ASSERT_EQ(S_OK, cpc->FindConnectionPoint(IID_IOPCDataCallback, cp.put()));
    DWORD cookie;
    ASSERT_EQ(S_OK, cp->Advise(static_cast<IOPCDataCallback*>(sink.get()), &cookie));
    AddItems(fastSub.items.get(), {L"Plant.Tank.Temp"});
    Sleep(3000);
    // About thirty at 100 ms; behind the slow tag's ticks it would be three.
    size_t fastReports = sink->Get(&sink->changes).size();
    EXPECT_GE(fastReports, 10u);
    ASSERT_EQ(S_OK, cp->Unadvise(cookie));
    // When it answers with a failure, as the proxy of a dead client does, it loses its sink.
    hung.sink->answer = RPC_E_DISCONNECTED;
    SetEvent(hung.sink->hold.get());
    EXPECT_TRUE(hung.sink->OnlyOurs());
    EXPECT_EQ(CONNECT_E_NOCONNECTION, hung.Read());
    kit::ComPtr<IOPCGroupStateMgt> slowState;
    ASSERT_EQ(S_OK, slowSub.items.As(IID_IOPCGroupStateMgt, slowState));
    BOOL off = FALSE;
    DWORD revised;
    slowState->SetState(nullptr, &revised, &off, nullptr, nullptr, nullptr, nullptr);

    // Several clients adding, reading and removing at the same time.
    // (Created one after the other: Wine's activation of a local server races with
    // itself when several threads create at once.)
    std::atomic<int> errors(0);
    std::vector<kit::ComPtr<IOPCServer>> clients;
    for (int t = 0; t < 4; ++t) clients.push_back(Connect());
    std::vector<std::thread> pool;
    for (int t = 0; t < 4; ++t) {
        pool.emplace_back([&, t]() {
            kit::ComInit com(COINIT_MULTITHREADED);
            kit::ComPtr<IOPCServer> s = clients[static_cast<size_t>(t)];
            if (!s) {
                ++errors;
                return;
            }
            Group mine = AddGroup(s.get(), L"Stress", TRUE, 50, static_cast<OPCHANDLE>(t));
            for (int round = 0; round < 20; ++round) {
                Added add = AddItems(mine.items.get(), {L"Plant.Tank.Temp", L"Counter", L"Plant.Tank.Level"});
                if (add.hr != S_OK) ++errors;
                ReadResult r = SyncRead(mine.items.get(), round % 2 ? OPC_DS_DEVICE : OPC_DS_CACHE, add.handles);
                if (r.hr != S_OK || r.qualities[2] != OPC_QUALITY_GOOD) ++errors;
                kit::CoTaskArray<HRESULT> rerr;
                if (mine.items->RemoveItems(3, add.handles.data(), rerr.put()) != S_OK) ++errors;
            }
            if (s->RemoveGroup(mine.handle, FALSE) != OPC_S_INUSE) ++errors;  // still held here
        });
    }
    for (auto& t : pool) t.join();
    EXPECT_EQ(0, errors.load());
}

TEST_F(EngineOutOfProcess, Cancel2WithdrawsAQueuedRequestAndClonesCarryTheItems) {
    kit::ComPtr<IOPCServer> server = Connect();
    Group g = AddGroup(server.get(), L"Queue", TRUE, 1000, 77);
    Added a = AddItems(g.items.get(), {L"Plant.Slow", L"Plant.Tank.Level"});
    ASSERT_EQ(S_OK, a.hr);
    kit::ComPtr<DataSink> sink = Make<DataSink>();
    kit::ComPtr<IConnectionPointContainer> cpc;
    ASSERT_EQ(S_OK, g.items.As(IID_IConnectionPointContainer, cpc));
    kit::ComPtr<IConnectionPoint> cp;
    ASSERT_EQ(S_OK, cpc->FindConnectionPoint(IID_IOPCDataCallback, cp.put()));
    DWORD cookie;
    ASSERT_EQ(S_OK, cp->Advise(static_cast<IOPCDataCallback*>(sink.get()), &cookie));
    kit::ComPtr<IOPCAsyncIO2> async;
    ASSERT_EQ(S_OK, g.items.As(IID_IOPCAsyncIO2, async));

    // The first request keeps the worker in the slow tag; the second waits behind it.
    DWORD first = 0, second = 0;
    kit::CoTaskArray<HRESULT> e1, e2;
    OPCHANDLE slow = a.handles[0], level = a.handles[1];
    ASSERT_EQ(S_OK, async->Read(1, &slow, 501, &first, e1.put()));
    ASSERT_EQ(S_OK, async->Read(1, &level, 502, &second, e2.put()));
    EXPECT_NE(first, second);
    EXPECT_EQ(S_OK, async->Cancel2(second));
    EXPECT_EQ(E_FAIL, async->Cancel2(second));  // gone already
    ASSERT_TRUE(sink->WaitFor(&sink->cancels, 1, 3000));
    ASSERT_TRUE(sink->WaitFor(&sink->reads, 1, 3000));
    Sleep(200);
    std::vector<DataSink::Call> reads = sink->Get(&sink->reads);
    ASSERT_EQ(1u, reads.size());  // only the first one ran
    EXPECT_EQ(501u, reads[0].trans);
    EXPECT_EQ(502u, sink->Get(&sink->cancels)[0].trans);
    EXPECT_EQ(77u, sink->Get(&sink->cancels)[0].group);

    // Requests whose items go, or whose group goes inactive, before they run still
    // complete, each once: the removed items with an error, under their client handles.
    OPCHANDLE pump = AddItems(g.items.get(), {L"Plant.Pump.Running"}, VT_EMPTY, 200).handles[0];
    VARIANT on;
    VariantInit(&on);
    V_VT(&on) = VT_BOOL;
    V_BOOL(&on) = VARIANT_TRUE;
    DWORD third = 0, fourth = 0;
    kit::CoTaskArray<HRESULT> e3, e4;
    sink->Clear();
    ASSERT_EQ(S_OK, async->Read(1, &slow, 503, &first, e1.put()));  // holds the queue for a second
    ASSERT_EQ(S_OK, async->Read(1, &level, 504, &second, e2.put()));
    ASSERT_EQ(S_OK, async->Write(1, &pump, &on, 505, &third, e3.put()));
    ASSERT_EQ(S_OK, async->Refresh2(OPC_DS_CACHE, 506, &fourth));
    OPCHANDLE gone[] = {level, pump};
    ASSERT_EQ(S_OK, g.items->RemoveItems(2, gone, e4.put()));
    kit::ComPtr<IOPCGroupStateMgt> queueState;
    ASSERT_EQ(S_OK, g.items.As(IID_IOPCGroupStateMgt, queueState));
    BOOL inactive = FALSE;
    DWORD revised;
    ASSERT_EQ(S_OK, queueState->SetState(nullptr, &revised, &inactive, nullptr, nullptr, nullptr, nullptr));
    ASSERT_TRUE(sink->WaitFor(&sink->refreshes, 1, 5000));
    Sleep(200);
    reads = sink->Get(&sink->reads);
    ASSERT_EQ(2u, reads.size());
    EXPECT_EQ(504u, reads[1].trans);
    EXPECT_EQ(std::vector<OPCHANDLE>({101}), reads[1].items);
    EXPECT_EQ(std::vector<HRESULT>({OPC_E_INVALIDHANDLE}), reads[1].errors);
    std::vector<DataSink::Call> writes = sink->Get(&sink->writes);
    ASSERT_EQ(1u, writes.size());
    EXPECT_EQ(std::vector<OPCHANDLE>({200}), writes[0].items);
    EXPECT_EQ(std::vector<HRESULT>({OPC_E_INVALIDHANDLE}), writes[0].errors);
    std::vector<DataSink::Call> refreshes = sink->Get(&sink->refreshes);
    ASSERT_EQ(1u, refreshes.size());
    EXPECT_EQ(506u, refreshes[0].trans);
    EXPECT_EQ(3u, refreshes[0].items.size());
    EXPECT_EQ(E_FAIL, async->Cancel2(fourth));  // completed: nothing left to cancel
    ASSERT_EQ(S_OK, cp->Unadvise(cookie));

    kit::ComPtr<IOPCGroupStateMgt> state;
    ASSERT_EQ(S_OK, g.items.As(IID_IOPCGroupStateMgt, state));
    kit::ComPtr<IOPCItemMgt> clone;
    ASSERT_EQ(S_OK, state->CloneGroup(L"QueueCopy", IID_IOPCItemMgt, reinterpret_cast<IUnknown**>(clone.put())));
    kit::ComPtr<IOPCGroupStateMgt> cloneState;
    ASSERT_EQ(S_OK, clone.As(IID_IOPCGroupStateMgt, cloneState));
    DWORD r;
    BOOL active = TRUE;
    kit::CoTaskString name;
    LONG bias;
    FLOAT dead;
    DWORD lcid;
    OPCHANDLE client, serverHandle;
    ASSERT_EQ(S_OK, cloneState->GetState(&r, &active, name.put(), &bias, &dead, &lcid, &client, &serverHandle));
    EXPECT_STREQ(L"QueueCopy", name.get());
    EXPECT_FALSE(active);  // a clone starts inactive
    EXPECT_NE(g.handle, serverHandle);
    kit::ComPtr<IEnumOPCItemAttributes> e;
    ASSERT_EQ(S_OK, clone->CreateEnumerator(IID_IEnumOPCItemAttributes, reinterpret_cast<IUnknown**>(e.put())));
    OPCITEMATTRIBUTES* attrs = nullptr;
    ULONG fetched = 0;
    e->Next(10, &attrs, &fetched);
    EXPECT_EQ(1u, fetched);  // the slow tag (the others were removed above)
    for (ULONG i = 0; i < fetched; ++i) {
        CoTaskMemFree(attrs[i].szAccessPath);
        CoTaskMemFree(attrs[i].szItemID);
        VariantClear(&attrs[i].vEUInfo);
    }
    CoTaskMemFree(attrs);
    kit::ComPtr<IOPCItemMgt> dup;
    EXPECT_EQ(OPC_E_DUPLICATENAME,
              state->CloneGroup(L"Queue", IID_IOPCItemMgt, reinterpret_cast<IUnknown**>(dup.put())));
}

TEST_F(EngineOutOfProcess, NoObjectOutlivesItsLastClientReference) {
    // Other tests' objects must be gone before counting.
    for (int i = 0; i < 200 && g_host->state->liveObjects != 0; ++i) Sleep(10);
    ASSERT_EQ(0, g_host->state->liveObjects);
    {
        kit::ComPtr<IOPCServer> server = Connect();
        Group g = AddGroup(server.get(), L"Temp", TRUE, 100, 1);
        AddItems(g.items.get(), {L"Plant.Tank.Temp"});
        kit::ComPtr<IOPCBrowseServerAddressSpace> browse;
        ASSERT_EQ(S_OK, server.As(IID_IOPCBrowseServerAddressSpace, browse));
        Browse(browse.get(), OPC_FLAT);
        kit::ComPtr<DataSink> sink = Make<DataSink>();
        kit::ComPtr<IConnectionPointContainer> cpc;
        ASSERT_EQ(S_OK, g.items.As(IID_IConnectionPointContainer, cpc));
        kit::ComPtr<IConnectionPoint> cp;
        ASSERT_EQ(S_OK, cpc->FindConnectionPoint(IID_IOPCDataCallback, cp.put()));
        DWORD cookie;
        ASSERT_EQ(S_OK, cp->Advise(static_cast<IOPCDataCallback*>(sink.get()), &cookie));
        Sleep(100);
        EXPECT_GE(g_host->state->liveObjects, 2);
        // Released without Unadvise or RemoveGroup, as a crashing client would.
        cp.Reset();
        cpc.Reset();
        browse.Reset();
        g.items.Reset();
        server.Reset();
        EXPECT_TRUE(sink->OnlyOurs());
    }
    for (int i = 0; i < 300 && g_host->state->liveObjects != 0; ++i) Sleep(10);
    EXPECT_EQ(0, g_host->state->liveObjects);
}

TEST_F(EngineOutOfProcess, ResolvesThroughRegistrationAndCanBeCreatedByProgId) {
    typedef bool(__stdcall * RegisterFn)(const GUID*, const char*, const char*, int, const char* const*);
    typedef bool(__stdcall * UnregisterFn)(const GUID*, const char*);
    HMODULE engine = LoadLibraryW((ProgramDir() + L"KetraOPCServer.dll").c_str());
    ASSERT_NE(nullptr, engine);
    RegisterFn reg = reinterpret_cast<RegisterFn>(reinterpret_cast<void*>(GetProcAddress(engine, KIT_STDCALL_NAME(RegisterServer, 20))));
    UnregisterFn unreg =
        reinterpret_cast<UnregisterFn>(reinterpret_cast<void*>(GetProcAddress(engine, KIT_STDCALL_NAME(UnRegisterServer, 8))));
    ASSERT_TRUE(reg && unreg);
    const char* accounts[] = {"Everyone", "SYSTEM", nullptr};
    ASSERT_TRUE(reg(&CLSID_EngineTestHost, "Ketra.Engine.TestHost", "Engine test host", 0, accounts));
    CLSID clsid;
    ASSERT_EQ(S_OK, CLSIDFromProgID(L"Ketra.Engine.TestHost", &clsid));
    EXPECT_TRUE(IsEqualCLSID(CLSID_EngineTestHost, clsid));
    kit::ComPtr<IOPCServer> server;
    EXPECT_EQ(S_OK, CoCreateInstance(clsid, nullptr, CLSCTX_ALL, IID_IOPCServer, server.put_void()));
    EXPECT_TRUE(server);
    server.Reset();
    EXPECT_TRUE(unreg(&CLSID_EngineTestHost, "Ketra.Engine.TestHost"));
    EXPECT_NE(S_OK, CLSIDFromProgID(L"Ketra.Engine.TestHost", &clsid));
    FreeLibrary(engine);
}

// The installer's road: the class is bound to a service, and creating it starts
// the service, which publishes the class object with Start.
TEST_F(EngineOutOfProcess, RegisteredClassStartsItsServiceOnDemand) {
    SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    ASSERT_NE(nullptr, scm);
    std::wstring cmd = L"\"" + ProgramDir() + L"engine_test_host.exe\" --service";
    SC_HANDLE svc = CreateServiceW(scm, L"" HOST_SERVICE_NAME, L"" HOST_SERVICE_NAME, SERVICE_ALL_ACCESS,
                                   SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, cmd.c_str(),
                                   nullptr, nullptr, nullptr, nullptr, nullptr);
    if (!svc) svc = OpenServiceW(scm, L"" HOST_SERVICE_NAME, SERVICE_ALL_ACCESS);
    ASSERT_NE(nullptr, svc);
    const char* accounts[] = {"Everyone", "SYSTEM", "NETWORK", "INTERACTIVE", "ANONYMOUS LOGON", nullptr};
    ASSERT_TRUE(RegisterServer(&CLSID_EngineTestService, HOST_SERVICE_NAME, "Engine service test", 1, accounts));

    SERVICE_STATUS st = {};
    QueryServiceStatus(svc, &st);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), st.dwCurrentState);
    CLSID clsid = CLSID_NULL;
    EXPECT_EQ(S_OK, CLSIDFromProgID(L"" HOST_SERVICE_NAME, &clsid));
    kit::ComPtr<IOPCServer> server;
    EXPECT_EQ(S_OK, CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer, server.put_void()));
    if (server) {
        kit::CoTaskArray<OPCSERVERSTATUS> status;
        EXPECT_EQ(S_OK, server->GetStatus(status.put()));
        if (status) {
            EXPECT_EQ(OPC_STATUS_RUNNING, status->dwServerState);
            CoTaskMemFree(status->szVendorInfo);
        }
        Group g = AddGroup(server.get(), L"Svc", TRUE, 1000, 1);
        Added a = AddItems(g.items.get(), {L"Service.Value"});
        EXPECT_EQ(S_OK, a.hr);
    }
    server.Reset();
    QueryServiceStatus(svc, &st);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), st.dwCurrentState);

    ControlService(svc, SERVICE_CONTROL_STOP, &st);
    for (int i = 0; i < 500 && QueryServiceStatus(svc, &st) && st.dwCurrentState != SERVICE_STOPPED; ++i) Sleep(10);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), st.dwCurrentState);
    DeleteService(svc);
    CloseServiceHandle(svc);
    CloseServiceHandle(scm);
    EXPECT_TRUE(UnRegisterServer(&CLSID_EngineTestService, HOST_SERVICE_NAME));
}

// Runs last (gtest keeps declaration order): stops the host under the clients' feet.
TEST_F(EngineOutOfProcess, ZStopSendsShutdownThenCutsClientsOffAndSparesTheProvider) {
    kit::ComPtr<IOPCServer> server = Connect();
    kit::ComPtr<ShutdownSink> shutdown = Make<ShutdownSink>();
    kit::ComPtr<IConnectionPointContainer> cpc;
    ASSERT_EQ(S_OK, server.As(IID_IConnectionPointContainer, cpc));
    kit::ComPtr<IConnectionPoint> cp;
    ASSERT_EQ(S_OK, cpc->FindConnectionPoint(IID_IOPCShutdown, cp.put()));
    DWORD cookie;
    ASSERT_EQ(S_OK, cp->Advise(static_cast<IOPCShutdown*>(shutdown.get()), &cookie));
    // A second client without a sink is cut off all the same.
    kit::ComPtr<IOPCServer> quiet = Connect();
    // A third hangs in a callback and in its shutdown notice, and letting go of its
    // idle group's sink hangs too (its computer gone): it holds up neither the
    // others' notice nor the stop.
    kit::ComPtr<IOPCServer> hanging = Connect();
    HungClient hung;
    ASSERT_TRUE(hung.Start(hanging.get()));
    kit::ComPtr<ShutdownSink> hungNotice = Make<ShutdownSink>();
    ResetEvent(hungNotice->hold.get());
    ASSERT_EQ(S_OK, Advise(hanging.get(), IID_IOPCShutdown, static_cast<IOPCShutdown*>(hungNotice.get())));
    Group idle = AddGroup(hanging.get(), L"Idle", FALSE, 1000, 10);
    kit::ComPtr<DataSink> idleSink = Make<DataSink>();
    ASSERT_EQ(S_OK, Advise(idle.items.get(), IID_IOPCDataCallback, static_cast<IOPCDataCallback*>(idleSink.get())));
    idleSink->holdRelease = true;

    Group g = AddGroup(server.get(), L"Busy", TRUE, 50, 1);
    Added a = AddItems(g.items.get(), {L"Plant.Slow", L"Counter"});
    ASSERT_EQ(S_OK, a.hr);
    // Keep device reads of the slow tag running on other threads while the host stops.
    std::atomic<bool> done(false);
    std::atomic<int> failures(0);
    kit::ComPtr<IOPCSyncIO> io;
    ASSERT_EQ(S_OK, g.items.As(IID_IOPCSyncIO, io));
    IStream* stream = nullptr;
    ASSERT_EQ(S_OK, CoMarshalInterThreadInterfaceInStream(IID_IOPCSyncIO, io.get(), &stream));
    std::thread reader([&]() {
        kit::ComInit com(COINIT_MULTITHREADED);
        kit::ComPtr<IOPCSyncIO> mine;
        CoGetInterfaceAndReleaseStream(stream, IID_IOPCSyncIO, mine.put_void());
        while (!done) {
            kit::CoTaskArray<OPCITEMSTATE> states;
            kit::CoTaskArray<HRESULT> errors;
            OPCHANDLE h = a.handles[0];
            HRESULT hr = mine->Read(OPC_DS_DEVICE, 1, &h, states.put(), errors.put());
            if (FAILED(hr)) {
                ++failures;
                Sleep(20);
            } else {
                VariantClear(&states[0].vDataValue);
            }
        }
    });
    Sleep(400);
    SetEvent(g_host->stop.get());
    for (int i = 0; i < 3000 && !g_host->state->stopReturned; ++i) Sleep(10);
    ASSERT_EQ(1, g_host->state->stopReturned);
    SetEvent(hung.sink->hold.get());  // only now
    SetEvent(hungNotice->hold.get());
    SetEvent(idleSink->releaseHold.get());
    EXPECT_EQ(1, hungNotice->calls_);
    EXPECT_TRUE(idleSink->OnlyOurs());
    EXPECT_EQ(1, shutdown->calls_);
    EXPECT_FALSE(shutdown->reason_.empty());
    Sleep(300);
    done = true;
    reader.join();
    EXPECT_GT(failures.load(), 0);

    // Every call now fails cleanly, with nothing reaching the provider.
    kit::CoTaskArray<OPCSERVERSTATUS> status;
    EXPECT_TRUE(FAILED(server->GetStatus(status.put())));
    EXPECT_TRUE(FAILED(quiet->GetStatus(status.put())));
    ReadResult r = SyncRead(g.items.get(), OPC_DS_DEVICE, a.handles);
    EXPECT_TRUE(FAILED(r.hr));
    kit::ComPtr<IOPCServer> late;
    EXPECT_TRUE(FAILED(CoCreateInstance(CLSID_EngineTestHost, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer,
                                        late.put_void())));
    EXPECT_EQ(0, g_host->state->callsAfterStop);
    EXPECT_EQ(0, g_host->state->callsInFlight);
    EXPECT_EQ(0, g_host->state->destructorCalls);
    // The server dropped the shutdown sink with the connection.
    EXPECT_TRUE(shutdown->OnlyOurs());
    // Cut off means released: no engine object lives on for the clients' proxies.
    for (int i = 0; i < 300 && g_host->state->liveObjects != 0; ++i) Sleep(10);
    EXPECT_EQ(0, g_host->state->liveObjects);

    SetEvent(g_host->exitEvent.get());
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(g_host->process.get(), 10000));
    DWORD code = 1;
    GetExitCodeProcess(g_host->process.get(), &code);
    EXPECT_EQ(0u, code);
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    kit::ComInit com(COINIT_MULTITHREADED);
    ::testing::AddGlobalTestEnvironment(new EngineEnvironment);
    return RUN_ALL_TESTS();
}
