// The real OPC.Krel.Inst.exe, run as a separate process beside the real service
// program and engine: install, reach the server through COM, read a tag,
// uninstall, and install over a running installation.
#include <gtest/gtest.h>

#include <string>

#include "opcda.h"  // before IOPCClient.h: one OPCSERVERSTATE
#include "IOPCClient.h"
#include "KetraOPCServer.h"
#include "kit_com.h"
#include "opcconst.h"

namespace {

const char kService[] = "OPC Krel Server";

void IgnoreLog(const char*) {}

std::string OwnDirectory() {
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string s(path, n);
    return s.substr(0, s.find_last_of('\\') + 1);
}

// Runs the installer and returns its exit code (-2 if it could not be run or hung).
int RunInstallerExe(const std::string& switches) {
    std::string line = "\"" + OwnDirectory() + "OPC.Krel.Inst.exe\" " + switches;
    STARTUPINFOA si;
    memset(&si, 0, sizeof(si));
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi;
    if (!CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                        &pi))
        return -2;
    kit::Handle process(pi.hProcess), thread(pi.hThread);
    if (WaitForSingleObject(pi.hProcess, 300000) != WAIT_OBJECT_0) {
        TerminateProcess(pi.hProcess, 1);
        return -2;
    }
    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    return static_cast<int>(code);
}

// SERVICE_* state, 0 when the service does not exist.
DWORD ServiceState() {
    SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (!scm) return 0;
    DWORD state = 0;
    SC_HANDLE s = OpenServiceA(scm, kService, SERVICE_QUERY_STATUS);
    if (s) {
        SERVICE_STATUS status;
        if (QueryServiceStatus(s, &status)) state = status.dwCurrentState;
        CloseServiceHandle(s);
    }
    CloseServiceHandle(scm);
    return state;
}

bool WaitForState(DWORD wanted, DWORD milliseconds) {
    for (DWORD waited = 0; waited <= milliseconds; waited += 100) {
        if (ServiceState() == wanted) return true;
        Sleep(100);
    }
    return false;
}

bool WaitUntilGone(DWORD milliseconds) {
    for (DWORD waited = 0; waited <= milliseconds; waited += 100) {
        SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
        SC_HANDLE s = scm ? OpenServiceA(scm, kService, SERVICE_QUERY_STATUS) : nullptr;
        DWORD err = GetLastError();
        if (s) CloseServiceHandle(s);
        if (scm) CloseServiceHandle(scm);
        if (scm && !s && err == ERROR_SERVICE_DOES_NOT_EXIST) return true;
        Sleep(100);
    }
    return false;
}

class InstallerEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        proxy_ = LoadLibraryA("OPCKrelProxy.dll");
        ASSERT_NE(nullptr, proxy_);
        auto reg = reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(
            reinterpret_cast<void*>(GetProcAddress(proxy_, "DllRegisterServer")));
        ASSERT_NE(nullptr, reg);
        ASSERT_EQ(S_OK, reg());
    }
    void TearDown() override {
        if (ServiceState() != 0) RunInstallerExe("/Uninstall");
        WaitUntilGone(60000);
        if (proxy_) {
            auto unreg = reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(
                reinterpret_cast<void*>(GetProcAddress(proxy_, "DllUnregisterServer")));
            if (unreg) unreg();
            FreeLibrary(proxy_);
        }
    }
    HMODULE proxy_ = nullptr;
};

// One synchronous device read of a tag through the server the service publishes.
void ReadOneTag(const wchar_t* itemId, VARIANT* value, WORD* quality) {
    kit::ComPtr<IOPCServer> server;
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_KetraOPCKrelServer, nullptr, CLSCTX_LOCAL_SERVER,
                                     IID_IOPCServer, server.put_void()));
    OPCHANDLE group = 0;
    DWORD revised = 0;
    kit::ComPtr<IOPCItemMgt> items;
    ASSERT_EQ(S_OK, server->AddGroup(L"installer.e2e", TRUE, 1000, 1, nullptr, nullptr, 0,
                                     &group, &revised, IID_IOPCItemMgt, items.put_unknown()));
    OPCITEMDEF def;
    memset(&def, 0, sizeof(def));
    def.szAccessPath = const_cast<LPWSTR>(L"");
    def.szItemID = const_cast<LPWSTR>(itemId);
    def.bActive = TRUE;
    def.hClient = 1;
    def.vtRequestedDataType = VT_EMPTY;
    kit::CoTaskArray<OPCITEMRESULT> results;
    kit::CoTaskArray<HRESULT> errors;
    HRESULT hr = items->AddItems(1, &def, results.put(), errors.put());
    ASSERT_EQ(S_OK, hr);
    ASSERT_TRUE(results && errors);
    if (results[0].pBlob) CoTaskMemFree(results[0].pBlob);
    ASSERT_EQ(S_OK, errors[0]);
    OPCHANDLE item = results[0].hServer;

    kit::ComPtr<IOPCSyncIO> io;
    ASSERT_EQ(S_OK, items.As(IID_IOPCSyncIO, io));
    kit::CoTaskArray<OPCITEMSTATE> states;
    kit::CoTaskArray<HRESULT> readErrors;
    ASSERT_EQ(S_OK, io->Read(OPC_DS_DEVICE, 1, &item, states.put(), readErrors.put()));
    ASSERT_EQ(S_OK, readErrors[0]);
    *quality = states[0].wQuality;
    *value = states[0].vDataValue;  // ownership moves to the caller
    io.Reset();
    items.Reset();
    server->RemoveGroup(group, TRUE);
}

TEST_F(InstallerEndToEnd, InstallServeReadUninstallAndReinstall) {
    ASSERT_EQ(0, RunInstallerExe("/Install"));
    ASSERT_TRUE(WaitForState(SERVICE_RUNNING, 60000)) << "state " << ServiceState();

    {
        kit::ComInit com(COINIT_MULTITHREADED);
        CLSID clsid;
        ASSERT_EQ(S_OK, CLSIDFromProgID(L"OPC Krel Server", &clsid));
        EXPECT_TRUE(IsEqualCLSID(CLSID_KetraOPCKrelServer, clsid));

        kit::Variant value;
        WORD quality = 0;
        ReadOneTag(L"Bomba.1H.Aceleracion", value.get(), &quality);
        EXPECT_EQ(OPC_QUALITY_GOOD, quality & OPC_QUALITY_MASK);
        ASSERT_EQ(VT_R4, value->vt);
        EXPECT_GE(value->fltVal, 1.0f);
        EXPECT_LE(value->fltVal, 1.9f);
    }

    ASSERT_EQ(0, RunInstallerExe("/Uninstall"));
    EXPECT_TRUE(WaitUntilGone(60000));
    {
        kit::ComInit com(COINIT_MULTITHREADED);
        CLSID clsid;
        EXPECT_NE(S_OK, CLSIDFromProgID(L"OPC Krel Server", &clsid)) << "ProgID left behind";
    }

    // The upgrade: the same line again over a running installation, with a client
    // connected. The old service hears its stop, tells the client, goes, and the
    // new one is created and started; the client connects to it again.
    ASSERT_EQ(0, RunInstallerExe("/Install"));
    ASSERT_TRUE(WaitForState(SERVICE_RUNNING, 60000));
    {
        kit::ComInit com(COINIT_MULTITHREADED);
        ketra::opc::IOPCClient* client = CreateNewOPCClientObject();
        ASSERT_NE(nullptr, client);
        EXPECT_EQ(S_OK, client->Connect(kService, "", IgnoreLog));
        OPCSERVERSTATE state = OPC_STATUS_FAILED;
        EXPECT_EQ(S_OK, client->GetServerState(&state));
        EXPECT_EQ(0, RunInstallerExe("/Install")) << "the upgrade lost the service";
        EXPECT_TRUE(WaitForState(SERVICE_RUNNING, 60000)) << "state " << ServiceState();
        EXPECT_TRUE(FAILED(client->GetServerState(&state))) << "the old service never said it was going";
        client->Disconnect();
        EXPECT_EQ(S_OK, client->Connect(kService, "", IgnoreLog));
        kit::Variant value;
        FILETIME stamp;
        DWORD quality = 0;
        EXPECT_TRUE(client->ReadValue("Bomba.1H.Aceleracion", &stamp, value.get(), &quality));
        DestroyOPCClientObject(client);
    }
    EXPECT_EQ(0, RunInstallerExe("/Uninstall /Uninstall"));
    EXPECT_TRUE(WaitUntilGone(60000));
}

// The program starts with the invoking user's rights and elevates itself; a
// manifest asking for more would make Windows prompt before it even runs.
TEST(InstallerProgram, ManifestAsksForTheInvokersRights) {
    std::string exe = OwnDirectory() + "OPC.Krel.Inst.exe";
    HMODULE module = LoadLibraryExA(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(nullptr, module);
    HRSRC res = FindResourceA(module, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24));
    ASSERT_NE(nullptr, res);
    HGLOBAL data = LoadResource(module, res);
    std::string manifest(static_cast<const char*>(LockResource(data)), SizeofResource(module, res));
    FreeLibrary(module);
    EXPECT_NE(std::string::npos, manifest.find("level=\"asInvoker\""));
    EXPECT_NE(std::string::npos, manifest.find("uiAccess=\"false\""));
    EXPECT_NE(std::string::npos, manifest.find("name=\"OPC Server Krel\""));
    EXPECT_NE(std::string::npos, manifest.find("version=\"3.0.0.0\""));
}

}  // namespace
