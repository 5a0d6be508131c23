// The engine's binary contract with its hosts (Visual C++ slot layout, reached
// through plain function-pointer tables) and what its registration exports
// leave in the registry.
#include <gtest/gtest.h>

#include <windows.h>
#include <comcat.h>
#include <olectl.h>
#include <sddl.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "KetraOPCServer.h"
#include "kit_com.h"
#include "opccomn.h"
#include "opcconst.h"
#include "opcda.h"
#include "kit_exports.h"

namespace {

// ---- Slot layout ------------------------------------------------------------

// The engine's table as a Visual C++ caller sees it.
typedef int(__thiscall* SetValueProviderFn)(void* self, void* provider);
typedef int(__thiscall* StartFn)(void* self, const CLSID* clsid);
typedef void(__thiscall* StopFn)(void* self);
typedef bool(__thiscall* AddTagFn)(void* self, const char* name, VARTYPE type, DWORD access);

// A provider built by hand as Visual C++ lays it out: slot 0 the one deleting
// destructor, slot 1 ReadTag.
struct RawProvider {
    void* const* vtable;
    LONG reads;
    LONG deletes;
    LONG readsAfterStop;
    bool stopped;
    char lastName[64];
};

// Visual C++ takes __thiscall only on member functions; __fastcall with an unused
// second (EDX) argument is the same convention for the callee.
#if defined(_MSC_VER)
#define RAW_METHOD(name, ...) __fastcall name(RawProvider* self, void*, __VA_ARGS__)
#else
#define RAW_METHOD(name, ...) __thiscall name(RawProvider* self, __VA_ARGS__)
#endif

void* RAW_METHOD(RawDeletingDestructor, unsigned) {
    InterlockedIncrement(&self->deletes);
    return self;
}

int RAW_METHOD(RawReadTag, const char* name, FILETIME* ts, DWORD* quality, VARIANT* value) {
    InterlockedIncrement(&self->reads);
    if (self->stopped) InterlockedIncrement(&self->readsAfterStop);
    lstrcpynA(self->lastName, name, sizeof(self->lastName));
    if (lstrcmpA(name, "Raw.Value") != 0) return 1;
    ts->dwLowDateTime = 1000;
    ts->dwHighDateTime = 0x01D00000;
    *quality = OPC_QUALITY_GOOD;
    if (value) {
        VariantClear(value);
        V_VT(value) = VT_I4;
        V_I4(value) = 1234;
    }
    return 0;
}

void* const kRawTable[] = {reinterpret_cast<void*>(&RawDeletingDestructor), reinterpret_cast<void*>(&RawReadTag)};

// A client in this process (COM hands it the engine's own objects) with one active group.
void ConnectInProcess(const CLSID& clsid, kit::ComPtr<IOPCServer>* server, kit::ComPtr<IOPCItemMgt>* items,
                      OPCHANDLE* group = nullptr) {
    ASSERT_EQ(S_OK, CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer, server->put_void()));
    OPCHANDLE groupHandle;
    DWORD rate;
    ASSERT_TRUE(SUCCEEDED((*server)->AddGroup(L"g", TRUE, 1000, 1, nullptr, nullptr, 0, &groupHandle, &rate,
                                              IID_IOPCItemMgt, reinterpret_cast<IUnknown**>(items->put()))));
    if (group) *group = groupHandle;
}

// {0B4C7A52-61E3-4D0F-8A2B-77C1D9E3F501}
const CLSID kLayoutClsid = {0x0B4C7A52, 0x61E3, 0x4D0F, {0x8A, 0x2B, 0x77, 0xC1, 0xD9, 0xE3, 0xF5, 0x01}};

TEST(EngineLayout, HostsCallEverySlotThroughAVisualCppTable) {
    kit::ComInit com(COINIT_MULTITHREADED);
    IOPCServerObject* engine = CreateNewOPCServerObject();
    ASSERT_NE(nullptr, engine);
    EXPECT_EQ(nullptr, CreateNewOPCServerObject());  // one per process

    void* const* table = *reinterpret_cast<void* const* const*>(engine);
    RawProvider provider = {kRawTable, 0, 0, 0, false, {0}};
    EXPECT_EQ(0, reinterpret_cast<SetValueProviderFn>(table[0])(engine, &provider));
    AddTagFn addTag = reinterpret_cast<AddTagFn>(table[3]);
    EXPECT_TRUE(addTag(engine, "Raw.Value", VT_I4, OPC_READABLE));
    EXPECT_FALSE(addTag(engine, "Raw.Value", VT_I4, OPC_READABLE));     // declared already
    EXPECT_FALSE(addTag(engine, "Raw.Bad", VT_DISPATCH, OPC_READABLE)); // no value type
    EXPECT_FALSE(addTag(engine, "", VT_I4, OPC_READABLE));
    EXPECT_FALSE(addTag(engine, "Raw..Gap", VT_I4, OPC_READABLE));
    EXPECT_FALSE(addTag(engine, "Raw.NoRights", VT_I4, 0));
    EXPECT_TRUE(addTag(engine, "Raw.Unknown", VT_R4, OPC_READABLE));

    StartFn start = reinterpret_cast<StartFn>(table[1]);
    EXPECT_NE(0, start(engine, nullptr));
    ASSERT_EQ(0, start(engine, &kLayoutClsid));
    EXPECT_NE(0, start(engine, &kLayoutClsid));  // already serving

    // A client in this very process: the values come through slot 1.
    kit::ComPtr<IOPCServer> server;
    kit::ComPtr<IOPCItemMgt> items;
    ASSERT_NO_FATAL_FAILURE(ConnectInProcess(kLayoutClsid, &server, &items));
    OPCITEMDEF defs[2] = {};
    defs[0].szAccessPath = defs[1].szAccessPath = const_cast<wchar_t*>(L"");
    defs[0].szItemID = const_cast<wchar_t*>(L"Raw.Value");
    defs[1].szItemID = const_cast<wchar_t*>(L"Raw.Unknown");
    defs[0].bActive = defs[1].bActive = TRUE;
    kit::CoTaskArray<OPCITEMRESULT> results;
    kit::CoTaskArray<HRESULT> errors;
    ASSERT_EQ(S_OK, items->AddItems(2, defs, results.put(), errors.put()));
    EXPECT_GE(provider.reads, 2);
    kit::ComPtr<IOPCSyncIO> io;
    ASSERT_EQ(S_OK, items.As(IID_IOPCSyncIO, io));
    OPCHANDLE handles[2] = {results[0].hServer, results[1].hServer};
    kit::CoTaskArray<OPCITEMSTATE> states;
    kit::CoTaskArray<HRESULT> readErrors;
    ASSERT_EQ(S_OK, io->Read(OPC_DS_CACHE, 2, handles, states.put(), readErrors.put()));
    EXPECT_EQ(VT_I4, V_VT(&states[0].vDataValue));
    EXPECT_EQ(1234, V_I4(&states[0].vDataValue));
    EXPECT_EQ(1000u, states[0].ftTimeStamp.dwLowDateTime);
    // The provider said "no such tag": a bad quality, not a made-up value.
    EXPECT_EQ(OPC_QUALITY_BAD | OPC_QUALITY_CONFIG_ERROR, states[1].wQuality);
    EXPECT_EQ(VT_EMPTY, V_VT(&states[1].vDataValue));

    reinterpret_cast<StopFn>(table[2])(engine);
    provider.stopped = true;
    // In-process pointers are not cut off by COM: the engine itself must keep
    // them away from the provider.
    kit::CoTaskArray<OPCITEMSTATE> after;
    kit::CoTaskArray<HRESULT> afterErrors;
    if (SUCCEEDED(io->Read(OPC_DS_DEVICE, 2, handles, after.put(), afterErrors.put()))) {
        EXPECT_NE(OPC_QUALITY_GOOD, after[0].wQuality & OPC_QUALITY_MASK);
        VariantClear(&after[0].vDataValue);
    }
    Sleep(100);
    kit::ComPtr<IOPCServer> late;
    EXPECT_TRUE(FAILED(CoCreateInstance(kLayoutClsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer, late.put_void())));
    io.Reset();
    items.Reset();
    server.Reset();
    DestroyOPCServerObject();
    EXPECT_EQ(0, provider.readsAfterStop);
    EXPECT_EQ(0, provider.deletes);  // the host owns and deletes its provider
    // A new engine may be created once the old one is destroyed.
    IOPCServerObject* again = CreateNewOPCServerObject();
    EXPECT_NE(nullptr, again);
    DestroyOPCServerObject();
}

// Hosts link by the decorated names, from either compiler: exactly these five.
TEST(EngineLayout, ExportsExactlyTheFiveDecoratedNames) {
    HMODULE m = GetModuleHandleA("KetraOPCServer.dll");
    ASSERT_NE(nullptr, m);
    const BYTE* base = reinterpret_cast<const BYTE*>(m);
    const IMAGE_DOS_HEADER* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const IMAGE_NT_HEADERS* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    ASSERT_NE(0u, dir.VirtualAddress);
    const IMAGE_EXPORT_DIRECTORY* exp = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + dir.VirtualAddress);
    const DWORD* names = reinterpret_cast<const DWORD*>(base + exp->AddressOfNames);
    std::vector<std::string> found;
    for (DWORD i = 0; i < exp->NumberOfNames; ++i) found.push_back(reinterpret_cast<const char*>(base + names[i]));
    EXPECT_EQ(std::vector<std::string>({KIT_STDCALL_NAME(ConfigureOpcEnumACL, 4),
                                        KIT_STDCALL_NAME(CreateNewOPCServerObject, 0),
                                        KIT_STDCALL_NAME(DestroyOPCServerObject, 0),
                                        KIT_STDCALL_NAME(RegisterServer, 20), KIT_STDCALL_NAME(UnRegisterServer, 8)}),
              found);
    EXPECT_EQ(5u, exp->NumberOfFunctions);
}

// ---- Under pressure -----------------------------------------------------------

// Points one import of the engine DLL elsewhere while it lives: the test fails or
// watches what the engine asks of the system, with no hook in the engine.
struct ImportPatch {
    void** slot = nullptr;
    void* original = nullptr;
    ImportPatch(const char* dll, const char* function, void* with) {
        BYTE* base = reinterpret_cast<BYTE*>(GetModuleHandleA("KetraOPCServer.dll"));
        auto nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + reinterpret_cast<IMAGE_DOS_HEADER*>(base)->e_lfanew);
        auto d = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(
            base + nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress);
        for (; d->Name && !slot; ++d) {
            if (lstrcmpiA(reinterpret_cast<char*>(base + d->Name), dll)) continue;
            auto name = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->OriginalFirstThunk);
            auto s = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->FirstThunk);
            for (; name->u1.AddressOfData; ++name, ++s)
                if (!IMAGE_SNAP_BY_ORDINAL(name->u1.Ordinal) &&
                    !lstrcmpA(reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + name->u1.AddressOfData)->Name, function))
                    slot = reinterpret_cast<void**>(&s->u1.Function);
        }
        if (slot) original = Swap(with);
    }
    ~ImportPatch() { if (slot) Swap(original); }
    void* Swap(void* with) {
        DWORD old;
        VirtualProtect(slot, sizeof(with), PAGE_READWRITE, &old);
        void* was = *slot;
        *slot = with;
        VirtualProtect(slot, sizeof(with), old, &old);
        return was;
    }
};

// The n-th allocation the engine makes on the arming thread fails.
void*(__cdecl* g_malloc)(size_t) = nullptr;
DWORD volatile g_failThread = 0;
int g_failIn = 0;
bool g_failed = false;

void* __cdecl FailingMalloc(size_t size) {
    if (GetCurrentThreadId() != g_failThread || g_failIn <= 0 || --g_failIn > 0) return g_malloc(size);
    g_failed = true;
    return nullptr;
}

// The first allocation the engine makes on the arming thread waits until released,
// so that another thread acts at exactly that point of a call.
DWORD volatile g_pauseThread = 0;
HANDLE g_paused = nullptr, g_resume = nullptr;

void* __cdecl PausingMalloc(size_t size) {
    if (GetCurrentThreadId() == g_pauseThread) {
        g_pauseThread = 0;
        SetEvent(g_paused);
        WaitForSingleObject(g_resume, INFINITE);
    }
    return g_malloc(size);
}

HRESULT(WINAPI* g_register)(REFCLSID, IUnknown*, DWORD, DWORD, DWORD*) = nullptr;
ULONG g_heldAtPublish = 0;

HRESULT WINAPI WatchedRegister(REFCLSID clsid, IUnknown* factory, DWORD context, DWORD flags, DWORD* cookie) {
    g_heldAtPublish = CoAddRefServerProcess() - 1;  // references on the process as the class goes public
    CoReleaseServerProcess();
    return g_register(clsid, factory, context, flags, cookie);
}

// Counts completed asynchronous reads (and holds them while `hold` is not set);
// lives on the test's stack.
struct ReadSink final : IOPCDataCallback {
    LONG volatile reads = 0;
    HANDLE hold = nullptr;
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        bool ok = IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IOPCDataCallback);
        *out = ok ? this : nullptr;
        return ok ? S_OK : E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP OnDataChange(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD, OPCHANDLE*, VARIANT*, WORD*, FILETIME*,
                              HRESULT*) override { return S_OK; }
    STDMETHODIMP OnReadComplete(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD, OPCHANDLE*, VARIANT*, WORD*, FILETIME*,
                                HRESULT*) override {
        InterlockedIncrement(&reads);
        if (hold) WaitForSingleObject(hold, INFINITE);
        return S_OK;
    }
    STDMETHODIMP OnWriteComplete(DWORD, OPCHANDLE, HRESULT, DWORD, OPCHANDLE*, HRESULT*) override { return S_OK; }
    STDMETHODIMP OnCancelComplete(DWORD, OPCHANDLE) override { return S_OK; }
};

// {2D9E4F61-7A3B-4C85-9E10-5F6A7B8C9D01}
const CLSID kPressureClsid = {0x2D9E4F61, 0x7A3B, 0x4C85, {0x9E, 0x10, 0x5F, 0x6A, 0x7B, 0x8C, 0x9D, 0x01}};

TEST(EngineUnderPressure, PublishedHeldAndEveryFailedAllocationIsOutOfMemoryWithNothingHalfDone) {
    kit::ComInit com(COINIT_MULTITHREADED);
    ReadSink sink;
    IOPCServerObject* engine = CreateNewOPCServerObject();
    ASSERT_NE(nullptr, engine);
    RawProvider provider = {kRawTable, 0, 0, 0, false, {0}};
    engine->SetValueProvider(reinterpret_cast<IValueProvider*>(&provider));
    ASSERT_TRUE(engine->AddTag("Raw.Value", VT_I4, OPC_READABLE));
    {
        ImportPatch watch("ole32.dll", "CoRegisterClassObject", reinterpret_cast<void*>(&WatchedRegister));
        g_register = reinterpret_cast<decltype(g_register)>(watch.original);
        ASSERT_NE(nullptr, g_register);
        ASSERT_EQ(0, engine->Start(&kPressureClsid));
    }
    // A client that came and went at once could not drop the count to zero.
    EXPECT_GE(g_heldAtPublish, 1u);

    kit::ComPtr<IOPCServer> server;
    kit::ComPtr<IOPCItemMgt> items;
    ASSERT_NO_FATAL_FAILURE(ConnectInProcess(kPressureClsid, &server, &items));
    OPCITEMDEF defs[3] = {};
    for (OPCITEMDEF& d : defs) d.szItemID = const_cast<wchar_t*>(L"Raw.Value");
    kit::CoTaskArray<OPCITEMRESULT> r;
    kit::CoTaskArray<HRESULT> e;
    ASSERT_EQ(S_OK, items->AddItems(2, defs, r.put(), e.put()));  // inactive
    OPCHANDLE handles[2] = {r[0].hServer, r[1].hServer};
    kit::ComPtr<IOPCSyncIO> io;
    kit::ComPtr<IOPCAsyncIO2> async;
    kit::ComPtr<IOPCGroupStateMgt> state;
    kit::ComPtr<IConnectionPointContainer> cpc;
    kit::ComPtr<IConnectionPoint> cp;
    DWORD cookie, cancel, rate;
    ASSERT_TRUE(SUCCEEDED(items.As(IID_IOPCSyncIO, io)) && SUCCEEDED(items.As(IID_IOPCAsyncIO2, async)) &&
                SUCCEEDED(items.As(IID_IOPCGroupStateMgt, state)) &&
                SUCCEEDED(items.As(IID_IConnectionPointContainer, cpc)) &&
                SUCCEEDED(cpc->FindConnectionPoint(IID_IOPCDataCallback, cp.put())));
    ASSERT_EQ(S_OK, cp->Advise(&sink, &cookie));

    // Groups, items and active items, as a client sees them.
    auto whole = [&]() {
        kit::CoTaskArray<OPCSERVERSTATUS> status;
        server->GetStatus(status.put());
        CoTaskMemFree(status->szVendorInfo);
        kit::ComPtr<IEnumOPCItemAttributes> list;
        items->CreateEnumerator(IID_IEnumOPCItemAttributes, reinterpret_cast<IUnknown**>(list.put()));
        kit::CoTaskArray<OPCITEMATTRIBUTES> attrs;
        ULONG n = 0, active = 0;
        list->Next(100, attrs.put(), &n);
        for (ULONG i = 0; i < n; ++i) {
            active += attrs[i].bActive;
            CoTaskMemFree(attrs[i].szAccessPath);
            CoTaskMemFree(attrs[i].szItemID);
        }
        return std::make_tuple(status->dwGroupCount, n, active);
    };
    kit::CoTaskArray<OPCITEMSTATE> v;
    kit::ComPtr<IUnknown> g;
    OPCHANDLE h;
    const std::pair<const char*, std::function<HRESULT()>> calls[] = {
        {"AddGroup",
         [&] { return server->AddGroup(L"More", 1, 100, 2, nullptr, nullptr, 0, &h, &rate, IID_IUnknown, g.put()); }},
        {"AddItems", [&] {
             HRESULT hr = items->AddItems(3, defs, r.put(), e.put());
             return FAILED(hr) && (r || e) ? E_UNEXPECTED : hr;  // no half-filled outputs either
         }},
        {"SetActiveState", [&] { return items->SetActiveState(2, handles, TRUE, e.put()); }},
        {"device Read", [&] { return io->Read(OPC_DS_DEVICE, 2, handles, v.put(), e.put()); }},
        {"asynchronous Read", [&] { return async->Read(2, handles, 1, &cancel, e.put()); }},
        {"CloneGroup", [&] { return state->CloneGroup(L"Copy", IID_IUnknown, g.put()); }},
    };
    {
        ImportPatch failing("msvcrt.dll", "malloc", reinterpret_cast<void*>(&FailingMalloc));
        g_malloc = reinterpret_cast<decltype(g_malloc)>(failing.original);
        ASSERT_NE(nullptr, g_malloc);
        for (const auto& c : calls) {
            int n = 1;
            for (;; ++n) {  // fails the call's first allocation, then its second... until it needs no more
                auto before = whole();
                g_failed = false;
                g_failIn = n;
                g_failThread = GetCurrentThreadId();
                HRESULT hr = c.second();
                g_failThread = 0;
                if (!g_failed) {
                    EXPECT_TRUE(SUCCEEDED(hr)) << c.first << std::hex << hr;
                    break;
                }
                EXPECT_EQ(E_OUTOFMEMORY, hr) << c.first << ", allocation " << n;
                EXPECT_EQ(before, whole()) << c.first << ", allocation " << n;
            }
            EXPECT_GT(n, 1) << c.first;
        }
    }
    engine->Stop();  // lets the queued reads run first
    EXPECT_EQ(1, sink.reads);  // a read the client was told failed never completes
    DestroyOPCServerObject();
}

// {2D9E4F62-7A3B-4C85-9E10-5F6A7B8C9D01}
const CLSID kLifetimeClsid = {0x2D9E4F62, 0x7A3B, 0x4C85, {0x9E, 0x10, 0x5F, 0x6A, 0x7B, 0x8C, 0x9D, 0x01}};

TEST(EngineLifetime, RemoveCountsTheClientsHoldsAndNothingJoinsAServerOrEngineOnItsWayOut) {
    kit::ComInit com(COINIT_MULTITHREADED);
    IOPCServerObject* engine = CreateNewOPCServerObject();
    ASSERT_NE(nullptr, engine);
    RawProvider provider = {kRawTable, 0, 0, 0, false, {0}};
    engine->SetValueProvider(reinterpret_cast<IValueProvider*>(&provider));
    ASSERT_TRUE(engine->AddTag("Raw.Value", VT_I4, OPC_READABLE));
    ASSERT_EQ(0, engine->Start(&kLifetimeClsid));
    kit::ComPtr<IOPCServer> server;
    kit::ComPtr<IOPCItemMgt> items;
    OPCHANDLE groupHandle = 0;
    ASSERT_NO_FATAL_FAILURE(ConnectInProcess(kLifetimeClsid, &server, &items, &groupHandle));

    // A completion still in the client's callback holds the group for the engine,
    // not for the client: with the client's references gone it is removed outright.
    OPCITEMDEF def = {};
    def.szItemID = const_cast<wchar_t*>(L"Raw.Value");
    kit::CoTaskArray<OPCITEMRESULT> r;
    kit::CoTaskArray<HRESULT> e;
    ASSERT_EQ(S_OK, items->AddItems(1, &def, r.put(), e.put()));
    ReadSink sink;
    kit::Handle hold(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    sink.hold = hold.get();
    {
        kit::ComPtr<IOPCAsyncIO2> async;
        kit::ComPtr<IConnectionPointContainer> cpc;
        kit::ComPtr<IConnectionPoint> cp;
        DWORD cookie, cancel;
        ASSERT_TRUE(SUCCEEDED(items.As(IID_IOPCAsyncIO2, async)) &&
                    SUCCEEDED(items.As(IID_IConnectionPointContainer, cpc)) &&
                    SUCCEEDED(cpc->FindConnectionPoint(IID_IOPCDataCallback, cp.put())));
        ASSERT_EQ(S_OK, cp->Advise(&sink, &cookie));
        ASSERT_EQ(S_OK, async->Read(1, &r[0].hServer, 1, &cancel, e.put()));
    }
    for (int i = 0; i < 500 && !sink.reads; ++i) Sleep(10);
    ASSERT_EQ(1, sink.reads);
    items.Reset();
    EXPECT_EQ(S_OK, server->RemoveGroup(groupHandle, FALSE));
    SetEvent(hold.get());

    kit::Handle paused(CreateEventW(nullptr, FALSE, FALSE, nullptr)), resume(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    g_paused = paused.get();
    g_resume = resume.get();
    ImportPatch pausing("msvcrt.dll", "malloc", reinterpret_cast<void*>(&PausingMalloc));
    g_malloc = reinterpret_cast<decltype(g_malloc)>(pausing.original);
    ASSERT_NE(nullptr, g_malloc);

    // A clone made while its server's last reference goes: paused in the clone's
    // name (the source's owner held), the server's destructor runs meanwhile.
    kit::ComPtr<IOPCGroupStateMgt> source;
    OPCHANDLE h;
    DWORD rate;
    ASSERT_EQ(S_OK, server->AddGroup(L"s", FALSE, 1000, 2, nullptr, nullptr, 0, &h, &rate, IID_IOPCGroupStateMgt,
                                     reinterpret_cast<IUnknown**>(source.put())));
    kit::ComPtr<IUnknown> clone;
    HRESULT cloned = E_UNEXPECTED;
    std::thread cloning([&] {
        g_pauseThread = GetCurrentThreadId();
        cloned = source->CloneGroup(L"A clone with a long name", IID_IUnknown, clone.put());
    });
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(paused.get(), 5000));
    std::thread releasing([&] { server.Reset(); });
    Sleep(300);  // the destructor has emptied the server's list and waits for the source
    SetEvent(resume.get());
    cloning.join();
    releasing.join();
    EXPECT_EQ(E_FAIL, cloned);  // a server on its way out takes no group
    EXPECT_FALSE(clone);

    // A client whose server object is being made as the engine stops: paused past
    // the class object's running check, Stop runs to its end meanwhile.
    ResetEvent(resume.get());
    kit::ComPtr<IOPCServer> late;
    HRESULT created = E_UNEXPECTED;
    std::thread connecting([&] {
        kit::ComInit c(COINIT_MULTITHREADED);
        g_pauseThread = GetCurrentThreadId();
        created = CoCreateInstance(kLifetimeClsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer, late.put_void());
    });
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(paused.get(), 5000));
    std::atomic<bool> stopped(false);
    std::thread stopping([&] {
        engine->Stop();
        stopped = true;
    });
    for (int i = 0; i < 1000 && !stopped; ++i) Sleep(10);
    SetEvent(resume.get());
    connecting.join();
    stopping.join();
    EXPECT_EQ(CO_E_SERVER_STOPPING, created);  // never a server the stop did not cut off
    late.Reset();
    DestroyOPCServerObject();
}

// ---- Registration -----------------------------------------------------------

// {6A1D3E55-2F84-4B6C-9D07-3E8A5B1C2D90}
const CLSID kRegClsid = {0x6A1D3E55, 0x2F84, 0x4B6C, {0x9D, 0x07, 0x3E, 0x8A, 0x5B, 0x1C, 0x2D, 0x90}};
const char kRegClsidText[] = "{6A1D3E55-2F84-4B6C-9D07-3E8A5B1C2D90}";
const char kProgId[] = "Ketra.Engine.RegTest";
const char kOpcEnumAppKey[] = "AppID\\{13486D44-4821-11D2-A494-3CB306C10000}";
const char kProxyKey[] = "CLSID\\{7E3B8F52-4C1D-4F0A-9B6E-2D5A8C7F1E30}";
const char* const kAccounts[] = {"Everyone", "SYSTEM", "NETWORK", "INTERACTIVE", "ANONYMOUS LOGON", nullptr};
const char* const kAccountSids[] = {"S-1-1-0", "S-1-5-18", "S-1-5-2", "S-1-5-4", "S-1-5-7"};

bool KeyExists(const std::string& sub) {
    kit::RegKey k;
    return RegOpenKeyExA(HKEY_CLASSES_ROOT, sub.c_str(), 0, KEY_READ, k.put()) == ERROR_SUCCESS;
}

std::string ReadString(const std::string& sub, const char* name) {
    kit::RegKey k;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, sub.c_str(), 0, KEY_READ, k.put()) != ERROR_SUCCESS) return "<no key>";
    char buffer[512];
    DWORD size = sizeof(buffer) - 1, type = 0;
    if (RegQueryValueExA(k.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) != ERROR_SUCCESS)
        return "<no value>";
    buffer[size] = 0;
    return buffer;
}

std::vector<BYTE> ReadBinary(const std::string& sub, const char* name) {
    std::vector<BYTE> out;
    kit::RegKey k;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, sub.c_str(), 0, KEY_READ, k.put()) != ERROR_SUCCESS) return out;
    DWORD size = 0, type = 0;
    if (RegQueryValueExA(k.get(), name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS || type != REG_BINARY)
        return out;
    out.resize(size);
    RegQueryValueExA(k.get(), name, nullptr, &type, out.data(), &size);
    return out;
}

void DeleteTree(const std::string& sub) {
    {
        kit::RegKey k;
        if (RegOpenKeyExA(HKEY_CLASSES_ROOT, sub.c_str(), 0, KEY_READ | KEY_WRITE, k.put()) != ERROR_SUCCESS) return;
        char child[256];
        DWORD size = sizeof(child);
        while (size = sizeof(child), RegEnumKeyExA(k.get(), 0, child, &size, nullptr, nullptr, nullptr, nullptr) == 0)
            DeleteTree(sub + "\\" + child);
    }
    RegDeleteKeyA(HKEY_CLASSES_ROOT, sub.c_str());
}

// Allowed rights per SID text in a self-relative security descriptor.
std::vector<std::pair<std::string, DWORD>> Grants(const std::vector<BYTE>& sd) {
    std::vector<std::pair<std::string, DWORD>> out;
    PSECURITY_DESCRIPTOR p = const_cast<BYTE*>(sd.data());
    if (sd.empty() || !IsValidSecurityDescriptor(p)) return out;
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    if (!GetSecurityDescriptorDacl(p, &present, &dacl, &defaulted) || !present || !dacl) return out;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        ACCESS_ALLOWED_ACE* ace = nullptr;
        if (!GetAce(dacl, i, reinterpret_cast<void**>(&ace)) || ace->Header.AceType != ACCESS_ALLOWED_ACE_TYPE) continue;
        char* text = nullptr;
        if (ConvertSidToStringSidA(reinterpret_cast<PSID>(&ace->SidStart), &text)) {
            out.push_back(std::make_pair(std::string(text), ace->Mask));
            LocalFree(text);
        }
    }
    return out;
}

DWORD GrantOf(const std::vector<std::pair<std::string, DWORD>>& grants, const char* sid) {
    DWORD mask = 0;
    for (const auto& g : grants)
        if (g.first == sid) mask |= g.second;
    return mask;
}

typedef HRESULT(WINAPI* ProxyEntry)();

HRESULT CallProxy(const char* entry) {
    HMODULE m = LoadLibraryA("OPCKrelProxy.dll");
    if (!m) return E_FAIL;
    ProxyEntry fn = reinterpret_cast<ProxyEntry>(reinterpret_cast<void*>(GetProcAddress(m, entry)));
    HRESULT hr = fn ? fn() : E_FAIL;
    FreeLibrary(m);
    return hr;
}

class EngineRegistration : public ::testing::Test {
protected:
    void SetUp() override {
        UnRegisterServer(&kRegClsid, kProgId);
        ASSERT_FALSE(KeyExists(std::string("CLSID\\") + kRegClsidText));
    }
    void TearDown() override {
        UnRegisterServer(&kRegClsid, kProgId);
        DeleteTree("Ketra.Engine.Other");
        CallProxy("DllRegisterServer");  // the other tests of this run marshal through it
    }
    kit::ComInit com_{COINIT_MULTITHREADED};
};

TEST_F(EngineRegistration, WritesClassProgIdCategoryAndRightsAndTakesThemAllBack) {
    ASSERT_EQ(S_OK, CallProxy("DllRegisterServer"));  // someone registered the proxy before us
    bool hadCategory = KeyExists("Component Categories\\{63D5F432-CFE4-11D1-B2C8-0060083BA1FB}");
    ASSERT_TRUE(RegisterServer(&kRegClsid, kProgId, "Ketra engine registration test", 1, kAccounts));

    const std::string cls = std::string("CLSID\\") + kRegClsidText;
    const std::string app = std::string("AppID\\") + kRegClsidText;
    EXPECT_EQ("Ketra engine registration test", ReadString(cls, nullptr));
    EXPECT_EQ(kRegClsidText, ReadString(cls, "AppID"));
    EXPECT_EQ(kProgId, ReadString(cls + "\\ProgID", nullptr));
    EXPECT_EQ(kRegClsidText, ReadString(std::string(kProgId) + "\\CLSID", nullptr));
    EXPECT_TRUE(KeyExists(std::string(kProgId) + "\\OPC"));
    EXPECT_EQ(kProgId, ReadString(app, "LocalService"));  // bound to the service of that name

    CLSID resolved;
    ASSERT_EQ(S_OK, CLSIDFromProgIDEx(L"Ketra.Engine.RegTest", &resolved));
    EXPECT_TRUE(IsEqualCLSID(kRegClsid, resolved));

    // OPCEnum lists servers by category.
    kit::ComPtr<ICatInformation> cats;
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_StdComponentCategoriesMgr, nullptr, CLSCTX_INPROC_SERVER,
                                     IID_ICatInformation, cats.put_void()));
    kit::ComPtr<IEnumGUID> classes;
    CATID da20 = CATID_OPCDAServer20;
    ASSERT_EQ(S_OK, cats->EnumClassesOfCategories(1, &da20, static_cast<ULONG>(-1), nullptr, classes.put()));
    bool listed = false;
    GUID g;
    ULONG n;
    while (classes->Next(1, &g, &n) == S_OK && n == 1)
        if (IsEqualCLSID(g, kRegClsid)) listed = true;
    EXPECT_TRUE(listed);

    // DCOM rights: every listed account may call and launch.
    auto access = Grants(ReadBinary(app, "AccessPermission"));
    auto launch = Grants(ReadBinary(app, "LaunchPermission"));
    for (const char* sid : kAccountSids) {
        EXPECT_EQ(0x7u, GrantOf(access, sid) & 0x7u) << sid;
        EXPECT_EQ(0x1Fu, GrantOf(launch, sid) & 0x1Fu) << sid;
    }
    EXPECT_EQ(5u, access.size());
    // The proxy for the OPC interfaces is in place.
    EXPECT_TRUE(KeyExists("Interface\\{39C13A4D-011E-11D0-9675-0020AFD8ADB3}\\ProxyStubClsid32"));

    ASSERT_TRUE(UnRegisterServer(&kRegClsid, kProgId));
    EXPECT_FALSE(KeyExists(cls));
    EXPECT_FALSE(KeyExists(app));
    EXPECT_FALSE(KeyExists(kProgId));
    EXPECT_NE(S_OK, CLSIDFromProgID(L"Ketra.Engine.RegTest", &resolved));
    EXPECT_EQ(hadCategory, KeyExists("Component Categories\\{63D5F432-CFE4-11D1-B2C8-0060083BA1FB}"));
    // Not ours to take: the proxy was registered before.
    EXPECT_TRUE(KeyExists(kProxyKey));
    EXPECT_TRUE(KeyExists("Interface\\{39C13A4D-011E-11D0-9675-0020AFD8ADB3}\\ProxyStubClsid32"));
}

TEST_F(EngineRegistration, RegistersTheProxyOnlyWhenMissingAndRemovesOnlyWhatItWrote) {
    ASSERT_EQ(S_OK, CallProxy("DllUnregisterServer"));
    ASSERT_FALSE(KeyExists(kProxyKey));
    // Without a service binding, and with a ProgID another class takes over later.
    ASSERT_TRUE(RegisterServer(&kRegClsid, kProgId, nullptr, 0, kAccounts));
    EXPECT_TRUE(KeyExists(kProxyKey));
    EXPECT_EQ("<no value>", ReadString(std::string("AppID\\") + kRegClsidText, "LocalService"));
    EXPECT_EQ(kProgId, ReadString(std::string("CLSID\\") + kRegClsidText, nullptr));  // name2 defaults to name

    {
        kit::RegKey k;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CLASSES_ROOT, "Ketra.Engine.Other\\CLSID", 0, nullptr, 0,
                                                 KEY_WRITE, nullptr, k.put(), nullptr));
        const char other[] = "{00000000-1111-2222-3333-444444444444}";
        RegSetValueExA(k.get(), nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(other), sizeof(other));
    }
    EXPECT_TRUE(UnRegisterServer(&kRegClsid, "Ketra.Engine.Other"));  // a ProgID of someone else
    EXPECT_TRUE(KeyExists("Ketra.Engine.Other\\CLSID"));
    EXPECT_FALSE(KeyExists(kProgId));  // found through the class's own ProgID key
    EXPECT_FALSE(KeyExists(kProxyKey));
    EXPECT_FALSE(KeyExists("Interface\\{39C13A4D-011E-11D0-9675-0020AFD8ADB3}\\ProxyStubClsid32"));
}

TEST_F(EngineRegistration, RefusesUnknownAccountsAndWritesNothing) {
    const char* const accounts[] = {"Everyone", "No Such Account 4711", nullptr};
    EXPECT_FALSE(RegisterServer(&kRegClsid, kProgId, "x", 1, accounts));
    EXPECT_FALSE(KeyExists(std::string("CLSID\\") + kRegClsidText));
    EXPECT_FALSE(KeyExists(kProgId));
    EXPECT_FALSE(RegisterServer(nullptr, kProgId, "x", 1, kAccounts));
    EXPECT_FALSE(RegisterServer(&kRegClsid, "", "x", 1, kAccounts));
}

TEST_F(EngineRegistration, OpcEnumRightsOnlyWhenOpcEnumIsThere) {
    DeleteTree(kOpcEnumAppKey);
    EXPECT_FALSE(ConfigureOpcEnumACL(kAccounts));
    EXPECT_FALSE(KeyExists(kOpcEnumAppKey));  // nothing created for a missing OPCEnum

    // An OPCEnum that already grants the administrators: they keep their rights.
    PSECURITY_DESCRIPTOR sd = nullptr;
    ULONG size = 0;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA("O:BAG:BAD:(A;;0x3;;;BA)", SDDL_REVISION_1, &sd,
                                                                     &size));
    {
        kit::RegKey k;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CLASSES_ROOT, kOpcEnumAppKey, 0, nullptr, 0, KEY_WRITE, nullptr,
                                                 k.put(), nullptr));
        RegSetValueExA(k.get(), "AccessPermission", 0, REG_BINARY, static_cast<BYTE*>(sd), size);
    }
    LocalFree(sd);
    ASSERT_TRUE(ConfigureOpcEnumACL(kAccounts));
    auto access = Grants(ReadBinary(kOpcEnumAppKey, "AccessPermission"));
    auto launch = Grants(ReadBinary(kOpcEnumAppKey, "LaunchPermission"));
    EXPECT_EQ(0x3u, GrantOf(access, "S-1-5-32-544"));
    for (const char* sid : kAccountSids) {
        EXPECT_EQ(0x7u, GrantOf(access, sid) & 0x7u) << sid;
        EXPECT_EQ(0x1Fu, GrantOf(launch, sid) & 0x1Fu) << sid;
    }
    // Running the step again changes nothing.
    ASSERT_TRUE(ConfigureOpcEnumACL(kAccounts));
    EXPECT_EQ(access.size(), Grants(ReadBinary(kOpcEnumAppKey, "AccessPermission")).size());
    EXPECT_FALSE(ConfigureOpcEnumACL(nullptr));
    DeleteTree(kOpcEnumAppKey);
}

}  // namespace
