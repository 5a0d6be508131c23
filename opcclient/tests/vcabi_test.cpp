// The DLL as a Visual C++ program sees it: two decorated __stdcall exports and
// objects whose vtables are read in Visual C++ slot order with __thiscall calls.
// Nothing of the library's own headers is used for the calls, so a slot that
// moved (GCC's two-slot destructor, for one) fails here.
#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <vector>

#include "FakeOpcServer.h"
#include "TaskMemorySpy.h"
// For the appended structures only; their layout is pinned below.
#include "IOPCClient.h"
#include "kit_com.h"
#include "kit_exports.h"
#include "opcconst.h"

namespace {

typedef void (*LogFn)(const char*);
typedef void* (__stdcall* CreateFn)();
typedef BOOL(__stdcall* DestroyFn)(void*);

struct VcClientVtbl {
    HRESULT(__thiscall* Connect)(void* self, const char* progId, const char* host, LogFn callback);
    int(__thiscall* Disconnect)(void* self);
    HRESULT(__thiscall* GetServerState)(void* self, DWORD* state);
    void*(__thiscall* EnumerateItems)(void* self, const char* branchPath);
    void(__thiscall* ReleaseEnumerator)(void* self, void* enumerator);
    bool(__thiscall* ReadValue)(void* self, const char* itemId, FILETIME* ts, VARIANT* value, DWORD* quality);
    HRESULT(__thiscall* ReadValues)(void* self, DWORD count, const char* const* ids, KetraItemValue* values);
};

struct VcEnumeratorVtbl {
    void*(__thiscall* DeletingDestructor)(void* self, unsigned int flags);
    const char*(__thiscall* CurrentItemID)(void* self);
    bool(__thiscall* IsBranch)(void* self);
    bool(__thiscall* MoveNext)(void* self);
};

template <class Vtbl>
const Vtbl* VtblOf(void* object) {
    return *static_cast<const Vtbl* const*>(object);
}

const CLSID CLSID_AbiFake = {0x0a5c9f1e, 0x6b21, 0x4c3d, {0x9e, 0x8f, 0x12, 0x34, 0xab, 0xcd, 0x56, 0x79}};

std::vector<std::string> g_lines;
void Capture(const char* line) { g_lines.push_back(line); }

class DllAbiTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(com.result()));
        ASSERT_EQ(S_OK, fake.Register(CLSID_AbiFake, L"Kit.FakeOpc.Abi.1"));
        dll = LoadLibraryA("KetraOPCClient.dll");
        ASSERT_NE(nullptr, dll);
        create = reinterpret_cast<CreateFn>(reinterpret_cast<void*>(GetProcAddress(dll, KIT_STDCALL_NAME(CreateNewOPCClientObject, 0))));
        destroy = reinterpret_cast<DestroyFn>(reinterpret_cast<void*>(GetProcAddress(dll, KIT_STDCALL_NAME(DestroyOPCClientObject, 4))));
        ASSERT_NE(nullptr, create);
        ASSERT_NE(nullptr, destroy);
        g_lines.clear();
    }
    void TearDown() override {
        if (dll) FreeLibrary(dll);
        EXPECT_EQ(0, fake.OutstandingRefs());
        EXPECT_EQ(0, fake.LiveObjects());
        EXPECT_EQ(0, fake.HeldClientRefs());
    }
    kit::ComInit com{COINIT_MULTITHREADED};
    fakeopc::FakeOpc fake;
    HMODULE dll = nullptr;
    CreateFn create = nullptr;
    DestroyFn destroy = nullptr;
};

TEST_F(DllAbiTest, ExportsOnlyTheDecoratedNames) {
#ifdef _WIN64
    // x64 has no decoration: the plain names are the exports (found in SetUp).
    GTEST_SKIP() << "x86 decorated names: the kit's 32-bit build checks them";
#endif
    EXPECT_EQ(nullptr, GetProcAddress(dll, "CreateNewOPCClientObject"));
    EXPECT_EQ(nullptr, GetProcAddress(dll, "CreateNewOPCClientObject@0"));
    EXPECT_EQ(nullptr, GetProcAddress(dll, "DestroyOPCClientObject"));
    EXPECT_EQ(FALSE, destroy(nullptr));
}

TEST_F(DllAbiTest, ClientSlotsInVisualCppOrder) {
    fakeopc::TaskMemorySpy& spy = fakeopc::TaskMemorySpy::Instance();
    ASSERT_TRUE(spy.Registered());
    const unsigned long long mark = spy.Mark();
    void* client = create();
    ASSERT_NE(nullptr, client);
    const VcClientVtbl* vt = VtblOf<VcClientVtbl>(client);

    DWORD state = 0;
    EXPECT_EQ(E_FAIL, vt->GetServerState(client, &state)) << "slot 2 before any connect";
    ASSERT_EQ(S_OK, vt->Connect(client, "Kit.FakeOpc.Abi.1", nullptr, &Capture));
    EXPECT_EQ(std::vector<std::string>{"DBG: 1020: 0 Items added, Current Items count is 0."}, g_lines);
    EXPECT_EQ(S_OK, vt->GetServerState(client, &state));
    EXPECT_EQ(1u, state);
    EXPECT_EQ(1, fake.LiveGroups());

    // Slot 5 on an item the server does not know: a clean false and two lines.
    g_lines.clear();
    FILETIME ts = {};
    kit::Variant value;
    DWORD quality = 5;
    EXPECT_FALSE(vt->ReadValue(client, "No.Such.Tag", &ts, value.get(), &quality));
    EXPECT_EQ(5u, quality);
    ASSERT_FALSE(g_lines.empty());
    EXPECT_EQ("ERR: No.Such.Tag - OPC_E_UNKNOWNITEMID:The ItemID is not in the server address space.", g_lines[0]);

    // Slot 6, and the export that stands for it, on the same item.
    typedef HRESULT(__stdcall * ReadValuesFn)(void*, DWORD, const char* const*, KetraItemValue*);
    auto readValues = reinterpret_cast<ReadValuesFn>(
        reinterpret_cast<void*>(GetProcAddress(dll, KIT_STDCALL_NAME(ReadOPCValues, 16))));
    ASSERT_NE(nullptr, readValues);
    const char* ids[] = {"No.Such.Tag", nullptr};
    KetraItemValue values[2] = {};
    EXPECT_EQ(S_FALSE, vt->ReadValues(client, 2, ids, values));
    EXPECT_EQ(OPC_E_INVALIDHANDLE, values[0].error) << "refused by its add before";
    EXPECT_EQ(E_INVALIDARG, values[1].error);
    EXPECT_EQ(S_FALSE, readValues(client, 1, ids, values));
    EXPECT_EQ(E_POINTER, readValues(nullptr, 1, ids, values));

    g_lines.clear();
    EXPECT_EQ(0, vt->Disconnect(client));
    EXPECT_TRUE(g_lines.empty());
    EXPECT_EQ(0, fake.LiveGroups());
    EXPECT_EQ(0, vt->Disconnect(client));
    EXPECT_EQ(std::vector<std::string>{"ERR: OPCClient::Disconnect: Already disconnected."}, g_lines);

    EXPECT_EQ(TRUE, destroy(client));
    EXPECT_EQ(0u, spy.OutstandingSince(mark));
}

TEST_F(DllAbiTest, EnumeratorSlotsAndItsDeletingDestructor) {
    void* client = create();
    ASSERT_NE(nullptr, client);
    const VcClientVtbl* vt = VtblOf<VcClientVtbl>(client);

    void* first = vt->EnumerateItems(client, nullptr);
    ASSERT_NE(nullptr, first) << "an enumerator even when nothing can be browsed";
    const VcEnumeratorVtbl* et = VtblOf<VcEnumeratorVtbl>(first);
    EXPECT_STREQ("", et->CurrentItemID(first));
    EXPECT_FALSE(et->IsBranch(first));
    EXPECT_FALSE(et->MoveNext(first));
    EXPECT_STREQ("", et->CurrentItemID(first));
    vt->ReleaseEnumerator(client, first);
    vt->ReleaseEnumerator(client, nullptr);

    // What `delete e` compiles to in Visual C++: slot 0 with flags 1. It must run
    // the destructor and free the memory in the DLL's own heap; the heap check
    // below would trip over a free of the wrong block.
    void* second = vt->EnumerateItems(client, "");
    ASSERT_NE(nullptr, second);
    EXPECT_EQ(second, VtblOf<VcEnumeratorVtbl>(second)->DeletingDestructor(second, 1));
    EXPECT_TRUE(HeapValidate(GetProcessHeap(), 0, nullptr));

    EXPECT_EQ(TRUE, destroy(client));
}

// The appended exports, found by their decorated names, and their structures in
// the layout Visual C++ gives them (4-byte members and char arrays: no padding).
static_assert(offsetof(KetraOPCError, code) == 8 && offsetof(KetraOPCError, call) == 12 &&
                  offsetof(KetraOPCError, name) == 76 && offsetof(KetraOPCError, text) == 124 &&
                  offsetof(KetraOPCError, stepTitle) == 380 && offsetof(KetraOPCError, fix) == 428 &&
                  sizeof(KetraOPCError) == 940,
              "KetraOPCError as Visual C++ lays it out");
static_assert(offsetof(KetraDiagStep, elapsedMs) == 12 && offsetof(KetraDiagStep, title) == 16 &&
                  offsetof(KetraDiagStep, detail) == 80 && offsetof(KetraDiagStep, error) == 2128 &&
                  sizeof(KetraDiagStep) == 3068,
              "KetraDiagStep as Visual C++ lays it out");

static_assert(offsetof(KetraItemValue, timestamp) == sizeof(VARIANT) &&
                  offsetof(KetraItemValue, quality) == sizeof(VARIANT) + 8 &&
                  offsetof(KetraItemValue, error) == sizeof(VARIANT) + 12 &&
                  sizeof(KetraItemValue) == sizeof(VARIANT) + 16,
              "KetraItemValue as Visual C++ lays it out");

typedef BOOL(__stdcall* LastErrorFn)(void*, KetraOPCError*);
typedef LONG(__stdcall* DiagnoseFn)(const char*, const char*, KetraDiagCallback, void*);

std::vector<LONG> g_steps;
void __stdcall CollectStep(const KetraDiagStep* step, void*) { g_steps.push_back(step->step * 10 + step->verdict); }

TEST_F(DllAbiTest, AppendedExportsTellTheFailedStepAndDiagnose) {
    auto lastError = reinterpret_cast<LastErrorFn>(
        reinterpret_cast<void*>(GetProcAddress(dll, KIT_STDCALL_NAME(GetOPCClientLastError, 8))));
    auto diagnose = reinterpret_cast<DiagnoseFn>(
        reinterpret_cast<void*>(GetProcAddress(dll, KIT_STDCALL_NAME(RunOPCDiagnosis, 16))));
    ASSERT_NE(nullptr, lastError);
    ASSERT_NE(nullptr, diagnose);
    void* client = create();
    ASSERT_NE(nullptr, client);
    EXPECT_EQ(E_FAIL, VtblOf<VcClientVtbl>(client)->Connect(client, "No.Such.Server.1", nullptr, &Capture));
    KetraOPCError error = {};
    error.size = sizeof error;
    ASSERT_TRUE(lastError(client, &error));
    EXPECT_EQ(KETRA_STEP_SERVER, error.step);
    EXPECT_STREQ("CLSIDFromProgID", error.call);
    EXPECT_STREQ("Servidor OPC", error.stepTitle);
    EXPECT_NE('\0', error.fix[0]);
    EXPECT_EQ(TRUE, destroy(client));

    // The in-process fake: the local route, every step reported once, in order,
    // with the kit's proxies registered so that step 2 has what it looks for.
    HMODULE proxies = LoadLibraryA("OPCKrelProxy.dll");
    ASSERT_NE(nullptr, proxies);
    typedef HRESULT(WINAPI * RegisterFn)();
    auto registration = [proxies](const char* name) {
        return reinterpret_cast<RegisterFn>(reinterpret_cast<void*>(GetProcAddress(proxies, name)))();
    };
    ASSERT_EQ(S_OK, registration("DllRegisterServer"));
    g_steps.clear();
    LONG first = diagnose("Kit.FakeOpc.Abi.1", "", &CollectStep, nullptr);
    EXPECT_EQ(S_OK, registration("DllUnregisterServer"));
    FreeLibrary(proxies);
    ASSERT_EQ(8u, g_steps.size());
    for (LONG i = 0; i < 8; ++i) EXPECT_EQ(i + 1, g_steps[i] / 10);
    EXPECT_EQ(KETRA_DIAG_PASSED, g_steps[1] % 10) << "step 2, the proxies";
    EXPECT_EQ(KETRA_DIAG_PASSED, g_steps[4] % 10) << "step 5, the server";
    EXPECT_EQ(KETRA_DIAG_FAILED, g_steps[7] % 10) << "step 8: the fake offers no item";
    EXPECT_EQ(KETRA_STEP_DATA, first);
}

}  // namespace
