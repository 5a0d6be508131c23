// The real OPC.Krel.Inst.exe, run as a separate process beside the real service
// program and engine: install, reach the server through COM, read a tag,
// uninstall, and install over a running installation.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "opcda.h"  // before IOPCClient.h: one OPCSERVERSTATE
#include "IOPCClient.h"
#include "KetraOPCServer.h"
#include "ServerList.h"
#include "kit_com.h"
#include "opcconst.h"
#include "opccomn.h"

namespace {

const char kService[] = "OPC Krel Server";
const char kEnumService[] = "OPC Krel Enum";

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
DWORD ServiceState(const char* name = kService) {
    SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (!scm) return 0;
    DWORD state = 0;
    SC_HANDLE s = OpenServiceA(scm, name, SERVICE_QUERY_STATUS);
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

bool WaitUntilGone(DWORD milliseconds, const char* name = kService) {
    for (DWORD waited = 0; waited <= milliseconds; waited += 100) {
        SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
        SC_HANDLE s = scm ? OpenServiceA(scm, name, SERVICE_QUERY_STATUS) : nullptr;
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
        if (ServiceState() != 0 || ServiceState(kEnumService) != 0) RunInstallerExe("/Uninstall");
        WaitUntilGone(60000);
        WaitUntilGone(60000, kEnumService);
        for (const std::string& key : testKeys_) DropKey(key);
        if (proxy_) {
            auto unreg = reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(
                reinterpret_cast<void*>(GetProcAddress(proxy_, "DllUnregisterServer")));
            if (unreg) unreg();
            FreeLibrary(proxy_);
        }
    }
    // A key below HKLM\SOFTWARE\Classes ("32|" or "64|" names the view) and one
    // string value in it.
    static void SetKey(const std::string& key, const char* name, const std::string& value) {
        kit::RegKey k;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, Path(key).c_str(), 0, nullptr, 0,
                                                 KEY_WRITE | View(key), nullptr, k.put(), nullptr));
        RegSetValueExA(k.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                       static_cast<DWORD>(value.size() + 1));
    }
    static std::string GetKey(const std::string& key, const char* name) {
        kit::RegKey k;
        char value[260] = "";
        DWORD size = sizeof(value) - 1, type = 0;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, Path(key).c_str(), 0, KEY_READ | View(key), k.put()) != ERROR_SUCCESS ||
            RegQueryValueExA(k.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(value), &size) != ERROR_SUCCESS)
            return "<none>";
        return value;
    }
    // A key tree the test makes: gone now (a killed run's) and again at the end.
    void Owns(const std::string& key) {
        testKeys_.push_back(key);
        DropKey(key);
    }
    static std::string Path(const std::string& key) { return "SOFTWARE\\Classes\\" + key.substr(3); }
    static REGSAM View(const std::string& key) { return key[0] == '3' ? KEY_WOW64_32KEY : KEY_WOW64_64KEY; }
    static void DropKey(const std::string& key) {
        kit::RegKey classes;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Classes", 0, KEY_ALL_ACCESS | View(key), classes.put()) ==
            ERROR_SUCCESS)
            RegDeleteTreeA(classes.get(), key.substr(3).c_str());
    }
    HMODULE proxy_ = nullptr;
    std::vector<std::string> testKeys_;
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

// ---- The server list stand-in, installed by the real program ---------------

const char kDa20[] = "{63D5F432-CFE4-11D1-B2C8-0060083BA1FB}";
const char kDa30[] = "{CC603642-66D7-48F1-B69A-B625E73652D7}";
const char kSpecial[] = "{95AD4A47-7862-4867-A312-AF8C7D031D28}";  // a category few clients name
// Test servers: A in both views, B only in the 32-bit one, C (requires kSpecial)
// only in the 64-bit one, D a DA 1.0 server known only by its ProgID's "OPC" key.
const struct {
    char letter;
    const char* clsid;
    const char* views;
    const char* implemented;
    const char* required;
} kTestServers[] = {
    {'A', "{C8374AA1-048F-448D-AA78-5A3C457B3B0E}", "64|32|", kDa20, nullptr},
    {'B', "{89152C8D-EE7A-416E-80E5-C1BC9502E774}", "32|", kDa30, nullptr},
    {'C', "{D96FAB93-4C51-4DC8-BCA1-1D575862FF83}", "64|", kDa20, kSpecial},
    {'D', "{B3B86C43-A7C7-4765-959F-1F5D65CDEE10}", "32|", nullptr, nullptr},
};

GUID Guid(const char* text) {
    GUID g = GUID_NULL;
    CLSIDFromString(kit::WideFromAnsi(text).c_str(), &g);
    return g;
}

// The classes an enumerator hands out, fetched three at a time.
template <class E>
std::vector<GUID> Drain(E* e) {
    std::vector<GUID> all;
    GUID batch[3];
    ULONG n = 0;
    HRESULT hr;
    do {
        hr = e->Next(3, batch, &n);
        all.insert(all.end(), batch, batch + n);
    } while (hr == S_OK);
    EXPECT_EQ(S_FALSE, hr);
    return all;
}

std::string Letters(const std::vector<GUID>& classes) {
    std::string found;
    for (const auto& t : kTestServers)
        for (const GUID& g : classes)
            if (IsEqualGUID(g, Guid(t.clsid))) found += t.letter;
    return found;
}

TEST_F(InstallerEndToEnd, ServerListStandInListsBothViewsResolvesAndEnumerates) {
    for (const auto& t : kTestServers) {
        const std::string progId = std::string("Krel.EnumTest.") + t.letter;
        for (const char* v = t.views; *v; v += 3) {
            const std::string view(v, 3), cls = view + "CLSID\\" + t.clsid;
            Owns(cls);
            Owns(view + progId + ".1");
            SetKey(cls, nullptr, std::string("Servidor de prueba ") + t.letter);
            SetKey(cls + "\\ProgID", nullptr, progId + ".1");
            SetKey(cls + "\\VersionIndependentProgID", nullptr, progId);
            if (t.implemented) SetKey(cls + "\\Implemented Categories\\" + t.implemented, nullptr, "");
            if (t.required) SetKey(cls + "\\Required Categories\\" + t.required, nullptr, "");
            SetKey(view + progId + ".1\\CLSID", nullptr, t.clsid);
            if (!t.implemented) SetKey(view + progId + ".1\\OPC", nullptr, "");
        }
    }
    ASSERT_EQ(0, RunInstallerExe("/Install /OpcEnum=1 /SrvFireWall=1"));
    kit::ComInit com(COINIT_MULTITHREADED);
    kit::ComPtr<IOPCServerList2> list;
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_OpcServerList, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServerList2,
                                     list.put_void()));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), ServiceState(kEnumService)) << "COM started the service";
    kit::ComPtr<IOPCServerList> first;
    ASSERT_EQ(S_OK, list.As(IID_IOPCServerList, first));

    // Any one of the implemented categories named; every required one named.
    struct Query {
        std::vector<const char*> implemented, required;
        const char* letters;
    } queries[] = {
        {{kDa20}, {}, "A"},
        {{kDa20, kDa30}, {kSpecial}, "ABC"},
        {{kDa30}, {}, "B"},
        {{"{63D5F430-CFE4-11D1-B2C8-0060083BA1FB}"}, {}, "D"},  // DA 1.0
        {{}, {}, "ABD"},  // no implemented category named: any
    };
    for (const Query& q : queries) {
        std::vector<CATID> impl, req;
        for (const char* c : q.implemented) impl.push_back(Guid(c));
        for (const char* c : q.required) req.push_back(Guid(c));
        kit::ComPtr<IOPCEnumGUID> e;
        ASSERT_EQ(S_OK, list->EnumClassesOfCategories(static_cast<ULONG>(impl.size()), impl.data(),
                                                      static_cast<ULONG>(req.size()), req.data(), e.put()));
        std::vector<GUID> classes = Drain(e.get());
        EXPECT_EQ(q.letters, Letters(classes)) << q.letters << ": each class once, from either view";
        if (q.implemented.size() == 1 && q.implemented[0] == kDa20) {
            bool kit = false;
            for (const GUID& g : classes) kit = kit || IsEqualGUID(g, CLSID_KetraOPCKrelServer);
            EXPECT_TRUE(kit) << "the kit's own server is a DA 2.0 server";
        }
    }

    // The enumerator's edges, through both interfaces.
    CATID da20 = Guid(kDa20);
    kit::ComPtr<IEnumGUID> plain;
    ASSERT_EQ(S_OK, first->EnumClassesOfCategories(1, &da20, 0, &da20, plain.put()));
    const std::vector<GUID> all = Drain(plain.get());
    ASSERT_GE(all.size(), 2u);
    GUID got[2];
    ULONG n = 99;
    EXPECT_EQ(S_FALSE, plain->Next(1, got, &n));
    EXPECT_EQ(0u, n);
    EXPECT_EQ(S_OK, plain->Reset());
    EXPECT_EQ(S_OK, plain->Skip(1));
    kit::ComPtr<IEnumGUID> copy;
    ASSERT_EQ(S_OK, plain->Clone(copy.put()));
    EXPECT_EQ(S_FALSE, plain->Skip(static_cast<ULONG>(all.size())));
    EXPECT_EQ(S_FALSE, plain->Next(1, got, &n));
    ASSERT_EQ(S_OK, copy->Next(1, got, &n));
    EXPECT_TRUE(IsEqualGUID(all[1], got[0])) << "a clone starts where its original was";

    kit::CoTaskString progId, userType, independent;
    ASSERT_EQ(S_OK, list->GetClassDetails(Guid(kTestServers[1].clsid), progId.put(), userType.put(), independent.put()));
    EXPECT_STREQ(L"Krel.EnumTest.B.1", progId.get());
    EXPECT_STREQ(L"Servidor de prueba B", userType.get());
    EXPECT_STREQ(L"Krel.EnumTest.B", independent.get());
    ASSERT_EQ(S_OK, first->GetClassDetails(Guid(kTestServers[2].clsid), progId.put(), userType.put()));
    EXPECT_STREQ(L"Krel.EnumTest.C.1", progId.get());
    EXPECT_EQ(REGDB_E_CLASSNOTREG, list->GetClassDetails(Guid(kSpecial), progId.put(), userType.put(), independent.put()));
    EXPECT_FALSE(progId || userType || independent);

    CLSID clsid;
    EXPECT_EQ(S_OK, first->CLSIDFromProgID(L"Krel.EnumTest.C.1", &clsid));
    EXPECT_TRUE(IsEqualCLSID(Guid(kTestServers[2].clsid), clsid));
    EXPECT_EQ(S_OK, list->CLSIDFromProgID(L"OPC Krel Server", &clsid));
    EXPECT_TRUE(IsEqualCLSID(CLSID_KetraOPCKrelServer, clsid));
    for (const wchar_t* unknown : {L"Krel.EnumTest.Z.1", L"", L"CLSID\\{C8374AA1-048F-448D-AA78-5A3C457B3B0E}"}) {
        EXPECT_EQ(CO_E_CLASSSTRING, list->CLSIDFromProgID(unknown, &clsid)) << unknown;
        EXPECT_TRUE(IsEqualCLSID(GUID_NULL, clsid));
    }
    list.Reset();
    first.Reset();
    plain.Reset();
    copy.Reset();

    ASSERT_EQ(0, RunInstallerExe("/Uninstall"));
    EXPECT_TRUE(WaitUntilGone(60000, kEnumService));
    EXPECT_EQ("<none>", GetKey(std::string(sizeof(void*) == 8 ? "64|" : "32|") +
                                   "CLSID\\{13486D51-4821-11D2-A494-3CB306C10000}", "AppID"));
}

// What cannot cross the wire (null pointers; the proxy refuses them) is refused
// by the object itself for callers in its own process.
TEST(ServerListObject, RefusesNullArguments) {
    kit::ComInit com(COINIT_MULTITHREADED);
    kit::ComPtr<IOPCServerList2> list;
    ASSERT_EQ(S_OK, krelenum::ServerListFactory()->CreateInstance(nullptr, IID_IOPCServerList2, list.put_void()));
    CATID da20 = CATID_OPCDAServer20;
    kit::ComPtr<IOPCEnumGUID> e;
    EXPECT_EQ(E_INVALIDARG, list->EnumClassesOfCategories(1, nullptr, 0, nullptr, e.put()));
    EXPECT_EQ(E_POINTER, list->EnumClassesOfCategories(1, &da20, 0, nullptr, nullptr));
    LPOLESTR progId = nullptr, userType = reinterpret_cast<LPOLESTR>(1);
    EXPECT_EQ(E_INVALIDARG, list->GetClassDetails(CLSID_KetraOPCKrelServer, &progId, &userType, nullptr));
    EXPECT_EQ(nullptr, userType) << "no garbage left in an [out] string";
    CLSID clsid = CLSID_KetraOPCKrelServer;
    EXPECT_EQ(E_INVALIDARG, list->CLSIDFromProgID(nullptr, &clsid));
    EXPECT_TRUE(IsEqualCLSID(GUID_NULL, clsid));
    EXPECT_EQ(E_INVALIDARG, list->CLSIDFromProgID(L"OPC Krel Server", nullptr));
    // ~0: every class, whatever it requires (only a caller in this process can say so).
    ASSERT_EQ(S_OK, list->EnumClassesOfCategories(1, &da20, ~0UL, nullptr, e.put()));
    GUID two[2];
    EXPECT_EQ(E_INVALIDARG, e->Next(2, two, nullptr));
    EXPECT_EQ(E_POINTER, e->Next(1, nullptr, nullptr));
    EXPECT_EQ(E_POINTER, e->Clone(nullptr));
}

// A server list of another vendor (here: a registration pointing at a program
// elsewhere) is neither replaced by /Install nor touched by /Uninstall.
TEST_F(InstallerEndToEnd, AnotherVendorsServerListIsLeftAsItWas) {
    const std::string own = sizeof(void*) == 8 ? "64|" : "32|";
    const std::string cls = own + "CLSID\\{13486D51-4821-11D2-A494-3CB306C10000}";
    Owns(cls);
    SetKey(cls, nullptr, "OPC Server List (otro fabricante)");
    SetKey(cls + "\\LocalServer32", nullptr, "C:\\Otro\\OpcEnum.exe");
    for (const char* switches : {"/Install /SrvFireWall=1", "/Uninstall"}) {
        ASSERT_EQ(0, RunInstallerExe(switches)) << switches;
        EXPECT_EQ(0u, ServiceState(kEnumService)) << switches;
        EXPECT_EQ("C:\\Otro\\OpcEnum.exe", GetKey(cls + "\\LocalServer32", nullptr)) << switches;
        EXPECT_EQ("OPC Server List (otro fabricante)", GetKey(cls, nullptr)) << switches;
        EXPECT_EQ("<none>", GetKey(cls, "AppID")) << switches;
    }
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
