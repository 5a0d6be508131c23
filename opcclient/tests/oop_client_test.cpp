// A user's program against a real out-of-process server: IOPCClient.h alone, the
// DLL's import library, OPCKrelProxy.dll for the wire and the kit's test server,
// which COM starts for the connect and which leaves when the client lets go.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "IOPCClient.h"

#include <tlhelp32.h>
#include "oop_server.h"

namespace {

std::vector<std::string> g_lines;
void Collect(const char* line) { g_lines.push_back(line); }

DWORD RunAndWait(const wchar_t* commandLine) {
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    std::wstring cmd = commandLine;
    if (!CreateProcessW(nullptr, &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return ~0u;
    WaitForSingleObject(pi.hProcess, 30000);
    DWORD code = ~0u;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return code;
}

// The test server's processes in this Wine prefix (or on this Windows machine).
std::vector<DWORD> ServerProcesses() {
    std::vector<DWORD> pids;
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snap == INVALID_HANDLE_VALUE) return pids;
    PROCESSENTRY32W pe;
    pe.dwSize = sizeof pe;
    for (BOOL ok = Process32FirstW(snap, &pe); ok; ok = Process32NextW(snap, &pe))
        if (_wcsicmp(pe.szExeFile, KIT_OOP_EXE) == 0) pids.push_back(pe.th32ProcessID);
    CloseHandle(snap);
    return pids;
}

HRESULT CallProxy(HMODULE proxy, const char* name) {
    typedef HRESULT(WINAPI * Fn)();
    Fn fn = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(proxy, name)));
    return fn ? fn() : E_NOTIMPL;
}

class OutOfProcessClient : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
        proxy = LoadLibraryW(L"OPCKrelProxy.dll");
        ASSERT_NE(nullptr, proxy);
        ASSERT_EQ(S_OK, CallProxy(proxy, "DllRegisterServer"));
        ASSERT_EQ(0u, RunAndWait(L"opc_oop_server.exe /RegServer"));
        g_lines.clear();
    }
    void TearDown() override {
        if (HasFailure())
            for (const auto& l : g_lines) std::printf("  log: %s\n", l.c_str());
        RunAndWait(L"opc_oop_server.exe /UnregServer");
        if (proxy) {
            CallProxy(proxy, "DllUnregisterServer");
            FreeLibrary(proxy);
        }
        CoUninitialize();
    }
    // Every leaf below `path`, depth first, the way the console walks.
    void Walk(ketra::opc::IOPCClient* client, const char* path, std::vector<std::pair<std::string, int>>& out,
              int depth) {
        ketra::opc::IItemEnumerator* e = client->EnumerateItems(path);
        ASSERT_NE(nullptr, e);
        if (*e->CurrentItemID()) {
            do {
                out.push_back(std::make_pair(std::string(e->CurrentItemID()), depth));
                if (e->IsBranch()) Walk(client, e->CurrentItemID(), out, depth + 1);
            } while (e->MoveNext());
        }
        client->ReleaseEnumerator(e);
    }
    HMODULE proxy = nullptr;
};

TEST_F(OutOfProcessClient, CreateConnectBrowseReadDisconnectDestroy) {
    ketra::opc::IOPCClient* client = CreateNewOPCClientObject();
    ASSERT_NE(nullptr, client);
    ASSERT_EQ(S_OK, client->Connect(KIT_OOP_PROGID_A, "", &Collect));
    OPCSERVERSTATE state = OPC_STATUS_FAILED;
    EXPECT_EQ(S_OK, client->GetServerState(&state));
    EXPECT_EQ(OPC_STATUS_RUNNING, state);

    // Item IDs come from GetItemID across the process boundary.
    std::vector<std::pair<std::string, int>> tree;
    Walk(client, nullptr, tree, 0);
    const std::vector<std::pair<std::string, int>> expected = {
        {"Fixed", 0}, {"Fixed.Real", 1}, {"Fixed.Text", 1}, {"Fixed.Byte", 1},
        {"Simul", 0}, {"Simul.Real", 1}, {"Simul.Count", 1}};
    EXPECT_EQ(expected, tree);

    FILETIME ts = {};
    VARIANT value;
    VariantInit(&value);
    DWORD quality = 0;
    ASSERT_TRUE(client->ReadValue("Fixed.Real", &ts, &value, &quality));
    EXPECT_EQ(VT_R4, value.vt);
    EXPECT_FLOAT_EQ(KIT_OOP_FIXED_REAL, value.fltVal);
    EXPECT_EQ(0xC0u, quality);
    ASSERT_TRUE(client->ReadValue("Fixed.Byte", &ts, &value, &quality));
    EXPECT_EQ(VT_UI1, value.vt);
    EXPECT_EQ(KIT_OOP_FIXED_BYTE, value.bVal);
    ASSERT_TRUE(client->ReadValue("Simul.Real", &ts, &value, &quality));
    float first = value.fltVal;
    ASSERT_TRUE(client->ReadValue("Simul.Real", &ts, &value, &quality));
    EXPECT_NE(first, value.fltVal) << "a value that changes on every read";
    VariantClear(&value);

    EXPECT_EQ(0, client->Disconnect());
    EXPECT_EQ(TRUE, DestroyOPCClientObject(client));
    for (const auto& l : g_lines) EXPECT_EQ(0u, l.rfind("DBG: ", 0)) << "only debug lines: " << l;
}

// The same walk through the OPC DA 3.0 browse, from a server that lacks the 2.0
// interface: OPCBROWSEELEMENT arrays with their item properties cross the wire.
TEST_F(OutOfProcessClient, Da3OnlyServerIsWalkedThroughIOPCBrowse) {
    // A server of an earlier test may still be on its way out; it would answer.
    for (int i = 0; i < 600 && !ServerProcesses().empty(); ++i) Sleep(100);
    ASSERT_TRUE(ServerProcesses().empty());
    ASSERT_EQ(0u, RunAndWait(L"opc_oop_server.exe /RegServer /Da3Only"));
    ketra::opc::IOPCClient* client = CreateNewOPCClientObject();
    ASSERT_NE(nullptr, client);
    ASSERT_EQ(S_OK, client->Connect(KIT_OOP_PROGID_A, "", &Collect));
    std::vector<std::pair<std::string, int>> tree;
    Walk(client, nullptr, tree, 0);
    const std::vector<std::pair<std::string, int>> expected = {
        {"Fixed", 0}, {"Fixed.Real", 1}, {"Fixed.Text", 1}, {"Fixed.Byte", 1},
        {"Simul", 0}, {"Simul.Real", 1}, {"Simul.Count", 1}};
    EXPECT_EQ(expected, tree);
    EXPECT_EQ(0, client->Disconnect());
    EXPECT_EQ(TRUE, DestroyOPCClientObject(client));
}

// The server shuts down under a connected client: its ShutdownRequest stops the
// reads, and a new client object connects to a server that COM starts again.
TEST_F(OutOfProcessClient, ServerShutDownThenStartedAgainByTheNextConnect) {
    ketra::opc::IOPCClient* client = CreateNewOPCClientObject();
    ASSERT_NE(nullptr, client);
    ASSERT_EQ(S_OK, client->Connect(KIT_OOP_PROGID_A, "", &Collect));
    FILETIME ts = {};
    VARIANT value;
    VariantInit(&value);
    DWORD quality = 0;
    ASSERT_TRUE(client->ReadValue("Fixed.Real", &ts, &value, &quality));
    std::vector<DWORD> before = ServerProcesses();
    ASSERT_EQ(1u, before.size());
    HANDLE server = OpenProcess(SYNCHRONIZE, FALSE, before[0]);
    ASSERT_NE(nullptr, server);
    ASSERT_EQ(0u, RunAndWait(L"opc_oop_server.exe /Stop"));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(server, 60000)) << "the server exits";
    CloseHandle(server);
    g_lines.clear();
    EXPECT_FALSE(client->ReadValue("Fixed.Real", &ts, &value, &quality));
    EXPECT_EQ(std::vector<std::string>{"ERR: ReadValue: Server not connected"}, g_lines)
        << "refused on the shutdown notice, before any call to the dead server";
    client->Disconnect();
    DestroyOPCClientObject(client);

    g_lines.clear();
    client = CreateNewOPCClientObject();
    ASSERT_EQ(S_OK, client->Connect(KIT_OOP_PROGID_A, "", &Collect));
    EXPECT_TRUE(client->ReadValue("Fixed.Real", &ts, &value, &quality));
    EXPECT_EQ(VT_R4, value.vt);
    std::vector<DWORD> after = ServerProcesses();
    ASSERT_EQ(1u, after.size());
    EXPECT_NE(before[0], after[0]) << "a new server process";
    VariantClear(&value);
    client->Disconnect();
    DestroyOPCClientObject(client);
}

// What the tests of slow and silent servers stand on: the test server answers
// every call late when asked (/DelayMs), and holds one chosen call (/Hang) until
// it is stopped.
TEST_F(OutOfProcessClient, TestServerDelaysEveryCallAndHoldsTheChosenOne) {
    for (int i = 0; i < 600 && !ServerProcesses().empty(); ++i) Sleep(100);
    ASSERT_TRUE(ServerProcesses().empty());
    EXPECT_NE(0u, RunAndWait(L"opc_oop_server.exe /RegServer /Hang=IOPCServer::NoSuchCall"));
    ASSERT_EQ(0u, RunAndWait(L"opc_oop_server.exe /RegServer /DelayMs=200 /Hang=IOPCSyncIO::Read"));
    ketra::opc::IOPCClient* client = CreateNewOPCClientObject();
    ASSERT_EQ(S_OK, client->Connect(KIT_OOP_PROGID_A, "", &Collect));
    DWORD start = GetTickCount();
    OPCSERVERSTATE state = OPC_STATUS_FAILED;
    EXPECT_EQ(S_OK, client->GetServerState(&state));
    EXPECT_GE(GetTickCount() - start, 190u) << "one call, one delay";
    std::atomic<int> read{-1};
    std::thread reader([&] {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        FILETIME ts = {};
        VARIANT value;
        VariantInit(&value);
        DWORD quality = 0;
        read = client->ReadValue("Fixed.Real", &ts, &value, &quality);
        VariantClear(&value);
        CoUninitialize();
    });
    Sleep(2000);
    EXPECT_EQ(-1, read.load()) << "the read is held";
    EXPECT_EQ(0u, RunAndWait(L"opc_oop_server.exe /Stop"));
    reader.join();
    EXPECT_NE(-1, read.load()) << "and ends when the server is stopped";
    client->Disconnect();
    DestroyOPCClientObject(client);
}

// The diagnosis across the process boundary, against test servers that fail one
// link each: one that never calls back (as when this computer's firewall or rights
// refuse the callbacks), and servers that never answer a chosen call (as when the
// server's own port is blocked). Each ends at its link with the time-out and the
// fix for it, within the minute the doctor promises, and the reads still pass
// where the link is not on their way.
void __stdcall KeepStep(const KetraDiagStep* step, void* steps) {
    static_cast<std::vector<KetraDiagStep>*>(steps)->push_back(*step);
}

TEST_F(OutOfProcessClient, DiagnosisEndsAtTheBrokenLinkWithinAMinute) {
    const char* scale = std::getenv("KIT_TEST_TIMEOUT_SCALE");  // the emulated lane is slower
    const DWORD allowedMs = 60000 * static_cast<DWORD>(scale && std::atoi(scale) > 0 ? std::atoi(scale) : 1);
    const struct {
        const wchar_t* switches;
        const char* verdicts;
        const char* call;
        const char* fixHas;
    } cases[] = {
        {L" /NoCallbacks", "PPSSPPFP", "IOPCDataCallback::OnDataChange", "/CltFireWall=1"},
        {L" /Hang=IOPCServer::GetStatus", "PPSSPFSS", "IOPCServer::GetStatus", "\"Krel.OopTest.1\" no contesta"},
        {L" /Hang=IConnectionPoint::Advise", "PPSSFSSS", "IConnectionPoint::Advise(IOPCShutdown)", "/CltFireWall=1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.verdicts);
        for (int i = 0; i < 600 && !ServerProcesses().empty(); ++i) Sleep(100);
        ASSERT_TRUE(ServerProcesses().empty());
        ASSERT_EQ(0u, RunAndWait((std::wstring(L"opc_oop_server.exe /RegServer") + c.switches).c_str()));
        std::vector<KetraDiagStep> steps;
        const DWORD start = GetTickCount();
        const LONG failed = RunOPCDiagnosis(KIT_OOP_PROGID_A, "", &KeepStep, &steps);
        const DWORD took = GetTickCount() - start;
        RunAndWait(L"opc_oop_server.exe /Stop");  // the held call ends
        EXPECT_LT(took, allowedMs);
        ASSERT_EQ(8u, steps.size());
        std::string verdicts;
        for (const KetraDiagStep& s : steps) verdicts += "PFS"[s.verdict];
        EXPECT_EQ(c.verdicts, verdicts);
        ASSERT_EQ(static_cast<LONG>(verdicts.find('F')) + 1, failed);
        const KetraOPCError& e = steps[failed - 1].error;
        EXPECT_EQ(static_cast<HRESULT>(0x800705B4L), e.code) << "ERROR_TIMEOUT";
        EXPECT_STREQ(c.call, e.call);
        EXPECT_NE(nullptr, std::strstr(e.fix, c.fixHas)) << e.fix;
        EXPECT_NE(nullptr, std::strstr(steps[1].detail, "OPCKrelProxy.dll: IOPCServer")) << steps[1].detail;
        if (verdicts[7] == 'P') {
            EXPECT_NE(nullptr, std::strstr(steps[7].detail, "lectura de \"Fixed.Real\": 2.5 (tipo 4), calidad 0xC0"))
                << steps[7].detail;
        }
        if (HasFailure())
            for (const KetraDiagStep& s : steps) std::printf("  %ld %ld %s (%lu ms)\n%s", s.step, s.verdict, s.title, s.elapsedMs, s.detail);
    }
}

}  // namespace
