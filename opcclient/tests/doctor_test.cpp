// The doctor against the fake server: each case breaks one link of the chain
// (through the activation table, a probe standing in for the network, the fake's
// script or a registry root of the test's own) and checks every step's verdict,
// the first failure's code and its fix. The port check runs for real on loopback.
#include <winsock2.h>

#include <cstring>
#include <map>

#include "client_fixture.h"
#include "Doctor.h"
#include "ErrorReport.h"
#include "opcconst.h"

using namespace ketra::opc;

namespace {

constexpr HRESULT Win32(unsigned long code) { return static_cast<HRESULT>(0x80070000UL | code); }
const char kTestRoot[] = "Software\\KrelDoctorTest";
// A proxy/stub class of the test's own registry root, for IOPCServer.
const char kTestProxy[] = "{0A5C9F1E-6B21-4C3D-9E8F-1234ABCD567F}";
const CLSID CLSID_Other = {0x0a5c9f1e, 0x6b21, 0x4c3d, {0x9e, 0x8f, 0x12, 0x34, 0xab, 0xcd, 0x56, 0x7e}};
const ProxyInterface kInterfaces[] = {
    {"IOPCServer", &IID_IOPCServer, true, false},
    {"IOPCBrowse", &IID_IOPCBrowse, false, false},  // not registered: only noted
};

fakeopc::FakeOpc* g_fake = nullptr;
HRESULT g_listResult = S_OK, g_serverResult = S_OK, g_probeResult = S_OK;
// A name server that never answers: the probe waits until the test lets it go.
bool g_probeSilent = false;
kit::Handle g_probeRelease;
std::vector<DWORD> g_contexts;

HRESULT WINAPI RemoteCreate(REFCLSID clsid, IUnknown*, DWORD context, COSERVERINFO*, DWORD, MULTI_QI* results) {
    g_contexts.push_back(context);
    void* p = nullptr;
    const bool list = IsEqualCLSID(clsid, CLSID_OpcServerList);
    HRESULT hr = list ? g_listResult : g_serverResult;
    if (SUCCEEDED(hr))
        hr = list ? g_fake->CreateServerList(*results[0].pIID, &p) : g_fake->CreateServer(*results[0].pIID, &p);
    results[0].hr = hr;
    results[0].pItf = static_cast<IUnknown*>(p);
    return hr;
}

HRESULT ProbeStandIn(const char*, unsigned short, DWORD, std::string* address) {
    if (g_probeSilent) WaitForSingleObject(g_probeRelease.get(), 30000);
    *address = g_probeResult == Win32(WSAHOST_NOT_FOUND) ? "" : "192.0.2.7";
    return g_probeResult;
}

struct Findings {
    std::string verdicts;  // P, F or S per step
    std::vector<KetraDiagStep> steps;
};
void __stdcall Record(const KetraDiagStep* step, void* context) {
    Findings* run = static_cast<Findings*>(context);
    run->steps.push_back(*step);
    run->verdicts += "PFS"[step->verdict];
}

using Script = void (*)(fakeopc::FakeOpc&, HKEY root);

struct DoctorCase {
    const char* what;
    const char* host;
    Script script;
    const char* verdicts;
    HRESULT code;        // of the first failed step
    const char* fixHas;  // in its fix
    const char* detailHas = nullptr;  // in its findings (step 8's when none failed)
};

// A failing case is named by what it breaks.
void PrintTo(const DoctorCase& c, std::ostream* out) { *out << c.what; }

void SetString(HKEY root, const char* key, const char* value, const char* data) {
    RegSetKeyValueA(root, key, value, REG_SZ, data, static_cast<DWORD>(strlen(data) + 1));
}

const DoctorCase kCases[] = {
    {"local route, every link sound", "", [](fakeopc::FakeOpc&, HKEY) {}, "PPSSPPPP", S_OK, "",
     "lectura de \"Bomba.Presion\": 2.5 (tipo 4), calidad 0xC0 (buena)"},
    {"remote, every link sound", "PLANTA-7", [](fakeopc::FakeOpc&, HKEY) {}, "PPPPPPPP", S_OK, ""},
    {"the shipped LocalHost without OPCEnum", "LocalHost",
     [](fakeopc::FakeOpc&, HKEY) { g_listResult = REGDB_E_CLASSNOTREG; }, "PPSFSSSS", REGDB_E_CLASSNOTREG,
     "deje HostName vacío"},
    {"OPCEnum does not know the ProgID", "PLANTA-7",
     [](fakeopc::FakeOpc& f, HKEY) {
         f.progIds.clear();
         f.MapProgId(L"Otro.Servidor.1", CLSID_Other);
     },
     "PPPFSSSS", REGDB_E_CLASSNOTREG, "no conoce el ProgID \"Kit.FakeOpc.Test.1\""},
    {"port 135 refused", "PLANTA-7", [](fakeopc::FakeOpc&, HKEY) { g_probeResult = Win32(WSAECONNREFUSED); },
     "PPFSSSSS", Win32(WSAECONNREFUSED), "En PLANTA-7: nadie atiende el puerto TCP 135"},
    {"name not found", "PLANTA-7", [](fakeopc::FakeOpc&, HKEY) { g_probeResult = Win32(WSAHOST_NOT_FOUND); },
     "PPFSSSSS", Win32(WSAHOST_NOT_FOUND), "el nombre PLANTA-7 no se resuelve"},
    {"the name server never answers", "PLANTA-7", [](fakeopc::FakeOpc&, HKEY) { g_probeSilent = true; },
     "PPFSSSSS", Win32(ERROR_TIMEOUT), "no resuelve el nombre PLANTA-7 en segundos", "getaddrinfo: sin respuesta"},
    {"activation refused", "PLANTA-7", [](fakeopc::FakeOpc&, HKEY) { g_serverResult = E_ACCESSDENIED; },
     "PPPPFSSS", E_ACCESSDENIED, "En PLANTA-7: dcomcnfg"},
    {"server never runs", "",
     [](fakeopc::FakeOpc& f, HKEY) { f.statusScript.assign(8, {S_OK, OPC_STATUS_NOCONFIG}); }, "PPSSPFSS",
     E_FAIL, "OPC_STATUS_RUNNING"},
    {"callbacks refused", "", [](fakeopc::FakeOpc& f, HKEY) { f.dataCallbackAdviseResult = E_ACCESSDENIED; },
     "PPSSPPFP", E_ACCESSDENIED, "ANONYMOUS LOGON"},
    {"callbacks never arrive", "", [](fakeopc::FakeOpc& f, HKEY) { f.sendsDataChange = false; }, "PPSSPPFP",
     Win32(ERROR_TIMEOUT), "/CltFireWall=1"},
    {"no item to browse", "", [](fakeopc::FakeOpc& f, HKEY) { f.hasBrowse20 = false; }, "PPSSPPSF",
     Win32(ERROR_NOT_FOUND), "configure sus tags"},
    {"a first leaf the server lists but refuses", "",
     [](fakeopc::FakeOpc& f, HKEY) {
         f.Item(L"Bomba.Presion")->addError = OPC_E_INVALIDITEMID;
         f.AddBrowseNode(L"Bomba", L"Caudal", false);
         kit::Variant value;
         value->vt = VT_I4;
         value->lVal = 12;
         f.SetValue(L"Bomba.Caudal", *value.get());
     },
     "PPSSPPPP", S_OK, "", "\"Bomba.Presion\" no sirve: 0xC0040008 OPC_E_INVALIDITEMID (IOPCItemMgt::AddItems)\n"
                          "lectura de \"Bomba.Caudal\": 12"},
    {"every leaf of bad quality", "", [](fakeopc::FakeOpc& f, HKEY) { f.Item(L"Bomba.Presion")->quality = 0x18; },
     "PPSSPPPF", E_FAIL, "calidad mala", "calidad 0x18 (mala, OPC_QUALITY_COMM_FAILURE)"},
    {"an empty value", "", [](fakeopc::FakeOpc& f, HKEY) { f.Item(L"Bomba.Presion")->value->Clear(); }, "PPSSPPPF",
     E_FAIL, "sin valor", "valor vacío"},
    {"DCOM switched off on a remote route", "PLANTA-7",
     [](fakeopc::FakeOpc&, HKEY root) { SetString(root, "SOFTWARE\\Microsoft\\Ole", "EnableDCOM", "N"); },
     "FPPPPPPP", E_ACCESSDENIED, "Habilitar COM distribuido"},
    {"proxy DLL gone", "",
     [](fakeopc::FakeOpc&, HKEY root) {
         SetString(root, (std::string("CLSID\\") + kTestProxy + "\\InprocServer32").c_str(), nullptr, "C:\\no\\ps.dll");
     },
     "PFSSPPPP", Win32(ERROR_MOD_NOT_FOUND), "OPC.Krel.Inst.exe /Proxy=1", sizeof(void*) == 8 ? "registro de 64 bits" : "registro de 32 bits"},
};

class DoctorTest : public ClientTest, public ::testing::WithParamInterface<DoctorCase> {
protected:
    void SetUp() override {
        ClientTest::SetUp();
        g_fake = fake.get();
        g_listResult = g_serverResult = g_probeResult = S_OK;
        g_contexts.clear();
        ketra::opc::Activation().coCreateInstanceEx = &RemoteCreate;
        fake->MapProgId(kFakeProgIdW, CLSID_FakeOpcTest);
        fake->dataCallbackAdviseResult = S_OK;
        fake->hasBrowse20 = true;
        fake->AddBrowseNode(L"", L"Bomba", true);
        fake->AddBrowseNode(L"Bomba", L"Presion", false);
        kit::Variant value;
        value->vt = VT_R4;
        value->fltVal = 2.5f;
        fake->SetValue(L"Bomba.Presion", *value.get());
        RegDeleteTreeA(HKEY_CURRENT_USER, kTestRoot);
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CURRENT_USER, kTestRoot, 0, nullptr, 0, KEY_ALL_ACCESS,
                                                 nullptr, root.put(), nullptr));
        wchar_t iid[40];
        StringFromGUID2(IID_IOPCServer, iid, 40);
        SetString(root.get(), ("Interface\\" + kit::AnsiFromWide(iid) + "\\ProxyStubClsid32").c_str(), nullptr,
                  kTestProxy);
        char self[MAX_PATH] = "";
        GetModuleFileNameA(nullptr, self, MAX_PATH);
        SetString(root.get(), (std::string("CLSID\\") + kTestProxy + "\\InprocServer32").c_str(), nullptr, self);
        options.machineRoot = options.classesRoot = root.get();
        options.interfaces = kInterfaces;
        options.interfaceCount = 2;
        options.probe = &ProbeStandIn;
        options.callbackWaitMs = 300;
        options.nameTimeoutMs = 200;
        g_probeSilent = false;
        g_probeRelease.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    }
    void TearDown() override {
        SetEvent(g_probeRelease.get());
        root.Reset();
        RegDeleteTreeA(HKEY_CURRENT_USER, kTestRoot);
        ClientTest::TearDown();
    }
    Findings Diagnose(const char* host) {
        Findings run;
        Doctor doctor(kFakeProgId, host, options, &Record, &run);
        result = doctor.Run();
        return run;
    }
    kit::RegKey root;
    DiagOptions options;
    LONG result = -1;
};

TEST_P(DoctorTest, ABrokenLinkFailsItsStepWithItsCodeAndFix) {
    const DoctorCase& c = GetParam();
    c.script(*fake, root.get());
    Findings run = Diagnose(c.host);
    ASSERT_EQ(8u, run.steps.size());
    EXPECT_EQ(c.verdicts, run.verdicts);
    const size_t failed = run.verdicts.find('F');
    EXPECT_EQ(failed == std::string::npos ? 0 : static_cast<LONG>(failed) + 1, result);
    for (size_t i = 0; i < run.steps.size(); ++i) EXPECT_EQ(static_cast<LONG>(i) + 1, run.steps[i].step);
    if (c.detailHas) {
        EXPECT_NE(nullptr, std::strstr(run.steps[failed == std::string::npos ? 7 : failed].detail, c.detailHas));
    }
    if (failed == std::string::npos) return;
    const KetraOPCError& e = run.steps[failed].error;
    EXPECT_EQ(c.code, e.code) << std::hex << e.code;
    EXPECT_STRNE("", e.name) << "every code a user meets has its name";
    EXPECT_NE(nullptr, std::strstr(e.fix, c.fixHas)) << e.fix;
    if (HasFailure())
        for (const KetraDiagStep& s : run.steps) std::printf("  %ld %ld %s\n%s", s.step, s.verdict, s.title, s.detail);
}

INSTANTIATE_TEST_SUITE_P(Links, DoctorTest, ::testing::ValuesIn(kCases));

TEST_F(DoctorTest, ASoundRemoteRouteReportsWhatItFound) {
    Findings run = Diagnose("PLANTA-7");
    ASSERT_EQ("PPPPPPPP", run.verdicts);
    const DWORD named = CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER;
    EXPECT_EQ(std::vector<DWORD>(3, named), g_contexts) << "its server list, then the connect's list and server";
    auto has = [&](int step, const char* text) {
        return std::strstr(run.steps[step - 1].detail, text) != nullptr;
    };
    EXPECT_TRUE(has(2, "IOPCBrowse: sin proxy/stub registrado")) << run.steps[1].detail;
    EXPECT_TRUE(has(3, "PLANTA-7 = 192.0.2.7"));
    EXPECT_TRUE(has(4, "servidores OPC DA 2.0 en PLANTA-7: 1\n  Kit.FakeOpc.Test.1 - Servidor de prueba"))
        << run.steps[3].detail;
    EXPECT_TRUE(has(4, ", en la lista"));
    EXPECT_TRUE(has(6, "estado OPC_STATUS_RUNNING; fabricante \"Fake OPC server of the kit's tests\"; versión 2.0.0"));
    EXPECT_TRUE(has(7, "OnDataChange recibido")) << run.steps[6].detail;
    EXPECT_TRUE(has(7, "hojas halladas al explorar: 1 (2 niveles")) << run.steps[6].detail;
    EXPECT_TRUE(has(8, "lectura de \"Bomba.Presion\": 2")) << run.steps[7].detail;
    EXPECT_TRUE(has(8, "calidad 0xC0 (buena)"));
    EXPECT_EQ(1, fake->Calls("Refresh2"));
    EXPECT_EQ(fake->Calls("DataCallback.Advise"), fake->Calls("DataCallback.Unadvise"));
    EXPECT_EQ(0, fake->LiveGroups()) << "the doctor's group is removed";
}

TEST(FixTable, EveryStepHasAFixAndEveryFixNamesTheComputer) {
    for (int step = KETRA_STEP_CALL; step <= KETRA_STEP_DATA; ++step)
        EXPECT_NE("", FixText(step, static_cast<HRESULT>(0x8000FFFFL), "x", "SRV", "CLI", "P")) << step;
    size_t count = 0;
    const FixRow* rows = FixRows(&count);
    for (size_t i = 0; i < count; ++i) {
        std::string fix = FixText(rows[i].step, rows[i].code, rows[i].call, "SRV", "CLI", "P");
        EXPECT_EQ(std::string::npos, fix.find_first_of("{}\n")) << fix;
        EXPECT_LT(fix.size(), 300u) << fix;
        if (rows[i].step != KETRA_STEP_CALL) {
            EXPECT_TRUE(fix.find("SRV") != std::string::npos || fix.find("CLI") != std::string::npos) << fix;
        }
        if (rows[i].code) {
            EXPECT_STRNE("", HResultName(rows[i].code)) << std::hex << rows[i].code;
        }
    }
    // The codes users ask about most, at the steps where they meet them.
    const struct {
        int step;
        HRESULT code;
        const char* call;
        const char* name;
        const char* fix;
    } asked[] = {
        {KETRA_STEP_HOST, Win32(11001), "getaddrinfo", "WSAHOST_NOT_FOUND", "no se resuelve"},
        {KETRA_STEP_HOST, Win32(ERROR_TIMEOUT), "getaddrinfo", "ERROR_TIMEOUT", "en segundos"},
        {KETRA_STEP_HOST, Win32(10060), "connect (TCP 135)", "WSAETIMEDOUT", "abra el puerto TCP 135"},
        {KETRA_STEP_HOST, Win32(10061), "connect (TCP 135)", "WSAECONNREFUSED", "nadie atiende"},
        {KETRA_STEP_PROXIES, REGDB_E_IIDNOTREG, "IOPCServer", "REGDB_E_IIDNOTREG", "/Proxy=1"},
        {KETRA_STEP_DATA, Win32(ERROR_NOT_FOUND), "EnumerateItems", "ERROR_NOT_FOUND", "configure sus tags"},
        {KETRA_STEP_DATA, E_FAIL, "IOPCSyncIO::Read (calidad)", "E_FAIL", "calidad mala"},
        {KETRA_STEP_STATUS, E_FAIL, "IOPCServer::GetStatus (OPC_STATUS_RUNNING)", "E_FAIL", "OPC_STATUS_RUNNING"},
    };
    for (const auto& a : asked) {
        EXPECT_STREQ(a.name, HResultName(a.code));
        EXPECT_NE(std::string::npos, FixText(a.step, a.code, a.call, "SRV", "CLI", "P").find(a.fix)) << a.fix;
    }
}

// Which fix each failing call of the doctor and of the connect route gets for each
// code LEEME.txt names and the codes of a broken or silent link: the code decides
// before the call, and the call decides between fixes of one code (OPCEnum's own
// port against port 135, a callback into this computer against a silent server).
// One letter per code, in the order of kCodes; '.' = any fix.
TEST(FixTable, TheCodeDecidesBeforeTheCall) {
    const HRESULT kCodes[] = {E_ACCESSDENIED,     Win32(1722),          REGDB_E_CLASSNOTREG,
                              E_NOINTERFACE,      Win32(ERROR_TIMEOUT), RPC_E_CALL_CANCELED,
                              RPC_E_DISCONNECTED, Win32(1726),          CO_E_SERVER_EXEC_FAILURE};
    const std::map<char, const char*> kFixHas = {
        {'a', "/OpcEnum=1"},          {'u', "compruebe el nombre SRV"}, {'p', "su propio puerto"},
        {'m', "instale OPCEnum"},     {'k', "no conoce el ProgID"},     {'l', "de IOPCServerList"},
        {'t', "la activación no"},    {'o', "OPCEnum no contesta"},     {'g', "OpcEnum sigue"},
        {'s', "OPCEnum no arrancó"},  {'r', "Inicio y Activación"},      {'n', "no está registrado"},
        {'i', "bits de IOPCServer"},  {'x', "revise su identidad"},      {'q', "\"P\" no contesta"},
        {'c', "/CltFireWall=1"},      {'d', "se cerró"},                 {'A', "Acceso remoto a su usuario"},
        {'w', "se creó, pero"},       {'N', "OPC_STATUS_RUNNING"},       {'G', "interfaces de grupo"},
        {'L', "no crea el grupo"},    {'C', "no admite suscripciones"}, {'D', "sin IOPCDataCallback"},
        {'B', "llama de vuelta"},     {'I', "rechaza el ítem"},
    };
    const struct {
        int step;
        const char* call;
        const char* fixes;
    } calls[] = {
        {KETRA_STEP_SERVERLIST, "CoCreateInstanceEx(OPCEnum)", "aumltoggs"},
        {KETRA_STEP_SERVERLIST, "QueryInterface(IOPCServerList)", "apmlooggs"},
        {KETRA_STEP_SERVERLIST, "IOPCServerList::CLSIDFromProgID", "apklooggs"},
        {KETRA_STEP_SERVERLIST, "IOPCServerList::EnumClassesOfCategories", "apm.oo..."},
        {KETRA_STEP_SERVER, "CLSIDFromProgID", "runiqqddx"},
        {KETRA_STEP_SERVER, "CoCreateInstance", "runiqqddx"},
        {KETRA_STEP_SERVER, "CoCreateInstanceEx", "runiqqddx"},
        {KETRA_STEP_SERVER, "IConnectionPoint::Advise(IOPCShutdown)", "....cc..."},
        {KETRA_STEP_STATUS, "IOPCServer::GetStatus", "AwNNqqddN"},
        {KETRA_STEP_CALLBACKS, "IOPCServer::AddGroup", "AwLGqqddL"},
        {KETRA_STEP_CALLBACKS, "QueryInterface(IConnectionPointContainer)", "BwCCqqddC"},
        {KETRA_STEP_CALLBACKS, "FindConnectionPoint(IOPCDataCallback)", "BwDGqqddD"},
        {KETRA_STEP_CALLBACKS, "EnumerateItems", "....qq..."},
        {KETRA_STEP_CALLBACKS, "IOPCItemMgt::AddItems", "....qq..."},
        {KETRA_STEP_CALLBACKS, "IConnectionPoint::Advise(IOPCDataCallback)", "BccGccddc"},
        {KETRA_STEP_CALLBACKS, "IOPCDataCallback::OnDataChange", "....cc..."},
        {KETRA_STEP_DATA, "QueryInterface(IOPCSyncIO)", "AwIGqqddI"},
        {KETRA_STEP_DATA, "IOPCItemMgt::AddItems", "AwIGqqddI"},
        {KETRA_STEP_DATA, "IOPCSyncIO::Read", "AwIGqqddI"},
    };
    for (const auto& c : calls) {
        for (size_t k = 0; k < sizeof kCodes / sizeof kCodes[0]; ++k) {
            const std::string fix = FixText(c.step, kCodes[k], c.call, "SRV", "CLI", "P");
            EXPECT_NE("", fix) << c.call << " " << HResultName(kCodes[k]);
            if (c.fixes[k] == '.') continue;
            EXPECT_NE(std::string::npos, fix.find(kFixHas.at(c.fixes[k])))
                << "step " << c.step << ", " << c.call << ", " << HResultName(kCodes[k]) << ": " << fix;
        }
    }
}

// The probe for real, on loopback only: a listener, then the same port closed. A
// port that never answers is the stand-in's above ("the name server never
// answers"): no socket is silent by construction on both Linux, which drops an
// attempt the full queue of a listener cannot take, and Windows, which resets it.
TEST(HostProbe, AnswersForOpenAndClosedPorts) {
    WSADATA data;
    ASSERT_EQ(0, WSAStartup(MAKEWORD(2, 2), &data));
    SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in at = {};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof at;
    ASSERT_EQ(0, bind(listener, reinterpret_cast<sockaddr*>(&at), sizeof at));
    ASSERT_EQ(0, listen(listener, 4));
    ASSERT_EQ(0, getsockname(listener, reinterpret_cast<sockaddr*>(&at), &length));
    const unsigned short port = ntohs(at.sin_port);
    std::string address;
    EXPECT_EQ(S_OK, ProbeHost("127.0.0.1", port, 2000, &address));
    EXPECT_EQ("127.0.0.1", address);
    closesocket(listener);
    EXPECT_EQ(Win32(WSAECONNREFUSED), ProbeHost("127.0.0.1", port, 2000, &address));
    WSACleanup();
    const std::string self = ThisComputerName();
    for (const char* here : {"localhost", "LocalHost", "127.0.0.1", "::1", self.c_str()})
        EXPECT_TRUE(IsThisComputer(here)) << here;
    EXPECT_FALSE(IsThisComputer("PLANTA-7"));
}

}  // namespace
