// The DCOM, firewall and file-sharing steps.
#include "InstallerFixture.h"

using fake::ErrorText;

namespace {

const char kSys32[] = "C:\\windows\\System32\\OpcEnum.exe";
const char kWow64[] = "C:\\windows\\SysWOW64\\OpcEnum.exe";
const char kSrc32[] = "%SystemRoot%\\System32\\OpcEnum.exe";
const char kSrc64[] = "%SystemRoot%\\SysWOW64\\OpcEnum.exe";
const char kNotFound[] =
    "No se pudo configurar el FireWall de Windows adecuadamente\ndebido a que no se encuentra "
    "el archivo OPCEnum.exe";
const char kOpcEnumFw[] = "No se pudo configurar el FireWall de Windows para el OPCEnum";
const char kExpand[] = "Error al obtener el path del archivo OPCEnum.exe";
const char kSfs[] = "No se pudo deshabilitar el uso compartido simple de archivos";
const char kRestart[] = "Para completar la instalaci\xF3n\nes necesario que reinicie la PC";

TEST_F(InstallerTest, OpcEnumSecurityWarnsOnlyWhenTheEngineFails) {
    EXPECT_EQ(0, Run("/OpcEnum=1"));
    EXPECT_TRUE(w.boxes.empty());
    EXPECT_EQ((std::vector<std::string>{"Everyone", "SYSTEM", "NETWORK", "INTERACTIVE",
                                        "ANONYMOUS LOGON"}),
              w.accountsSeen);

    w = fake::World();
    p = fake::MakePlatform();
    w.aclOk = false;
    EXPECT_EQ(0, Run("/OpcEnum=1 /Install")) << "a failed step never ends the run";
    ExpectBoxes({{ErrorText("No se pudo configurar la seguridad DCOM para OPCEnum",
                            "ConfigureOpcEnumACL", 0),
                  kWarningBox}});
    EXPECT_TRUE(w.serviceRunning);
}

TEST_F(InstallerTest, ServerFirewallWithOpcEnumAt32At64BothOrNeither) {
    struct Case {
        const char* name;
        std::set<std::string> files;
        std::vector<std::string> apps;
        std::vector<ExpectedBox> boxes;
    } cases[] = {
        {"32 only", {kSys32}, {"C:\\Kit\\OPC.Krel.Server.exe", kSys32}, {}},
        {"64 only", {kWow64}, {"C:\\Kit\\OPC.Krel.Server.exe", kWow64}, {}},
        {"both", {kSys32, kWow64}, {"C:\\Kit\\OPC.Krel.Server.exe", kSys32, kWow64}, {}},
        {"neither", {}, {"C:\\Kit\\OPC.Krel.Server.exe"},
         {{ErrorText(kNotFound, "FileExists", 0), kWarningBox}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        w = fake::World();
        p = fake::MakePlatform();
        w.files = c.files;
        EXPECT_EQ(0, Run("/SrvFireWall=1"));
        std::vector<std::string> apps;
        for (const auto& call : fake::Only(w.calls, {"FWAddApp"}))
            apps.push_back(call.substr(9, call.size() - 10));
        EXPECT_EQ(c.apps, apps);
        ExpectBoxes(c.boxes);
        // Both places are looked at every time, and port and exceptions follow.
        EXPECT_EQ((std::vector<std::string>{std::string("FindFirstFileA(") + kSys32 + ")",
                                            std::string("FindFirstFileA(") + kWow64 + ")",
                                            "FWAddPort(OPC.TCP.Port,135)", "FWAllowExc"}),
                  fake::Only(w.calls, {"FindFirstFileA", "FWAddPort", "FWAllowExc"}));
    }
}

TEST_F(InstallerTest, ServerFirewallFailuresWarnAndCarryOn) {
    w.files = {kSys32, kWow64};
    w.addAppResult = {{"C:\\Kit\\OPC.Krel.Server.exe", 2150}, {kSys32, 1310}, {kWow64, 2320}};
    w.addPortResult = 6130;
    w.allowExcResult = 4120;
    EXPECT_EQ(0, Run("/SrvFireWall=1"));
    ExpectBoxes({
        {ErrorText("No se pudo configurar el FireWall de Windows para el OPC Krel Server",
                   "FWAddApp", 2150),
         kWarningBox},
        {ErrorText(kOpcEnumFw, "FWAddApp 32", 1310), kWarningBox},
        {ErrorText(kOpcEnumFw, "FWAddApp 64", 2320), kWarningBox},
        {ErrorText("No se pudo habilitar el puerto 135 en el FireWall de Windows", "FWAddPort",
                   6130),
         kWarningBox},
        {ErrorText("No se pudo deshabilitar el bloqueo de conexiones entrantes del FireWall de "
                   "Windows",
                   "FWAllowExc", 4120),
         kWarningBox},
    });
}

TEST_F(InstallerTest, OpcEnumPathThatCannotBeExpandedIsAnError) {
    struct Case {
        const char* name;
        std::set<std::string> fails, tooLong;
        std::vector<ExpectedBox> boxes;
    } cases[] = {
        {"32 fails, 64 found", {kSrc32}, {}, {{ErrorText(kExpand, "ExpandEnvironmentStrings", 203), kErrorBox}}},
        {"both fail",
         {kSrc32, kSrc64},
         {},
         {{ErrorText(kExpand, "ExpandEnvironmentStrings", 203), kErrorBox},
          {ErrorText(kExpand, "ExpandEnvironmentStrings", 203), kErrorBox},
          {ErrorText(kNotFound, "FileExists", 0), kWarningBox}}},
        // A result bigger than the buffer leaves nothing usable in it.
        {"32 too long",
         {},
         {kSrc32},
         {{ErrorText(kExpand, "ExpandEnvironmentStrings", ERROR_INSUFFICIENT_BUFFER), kErrorBox}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        w = fake::World();
        p = fake::MakePlatform();
        w.files = {kSys32, kWow64};
        w.expandFails = c.fails;
        w.expandTooLong = c.tooLong;
        w.expandError = ERROR_ENVVAR_NOT_FOUND;
        EXPECT_EQ(0, Run("/SrvFireWall=1"));
        ExpectBoxes(c.boxes);
        EXPECT_EQ(-1, fake::IndexOf(w.calls, std::string("FWAddApp(") + kSys32));
        EXPECT_EQ(c.fails.count(kSrc64) ? -1 : 1,
                  fake::IndexOf(w.calls, std::string("FWAddApp(") + kWow64) >= 0 ? 1 : -1);
    }
}

TEST_F(InstallerTest, AllowExceptionsMessageDependsOnTheFirewallGeneration) {
    const std::string legacy =
        "No se pudo deshabilitar la opci\xF3n \"No permitir excepciones\" del FireWall de Windows";
    const std::string advanced =
        "No se pudo deshabilitar el bloqueo de conexiones entrantes del FireWall de Windows";
    struct Case {
        int code;
        std::string message;
    } cases[] = {{3150, legacy}, {3999, legacy}, {4000, advanced}, {4130, advanced}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.code);
        w = fake::World();
        p = fake::MakePlatform();
        w.allowExcResult = c.code;
        EXPECT_EQ(0, Run("/CltFireWall=1"));
        ExpectBoxes({{ErrorText(c.message, "FWAllowExc", static_cast<unsigned>(c.code)),
                      kWarningBox}});
    }
}

TEST_F(InstallerTest, ClientFirewallAddsTheClientThenPortAndExceptions) {
    w.addAppResult = {{"C:\\Kit\\OPC.Krel.Client.exe", 1220}};
    EXPECT_EQ(0, Run("/CltFireWall=1"));
    ExpectBoxes({{ErrorText("No se pudo configurar el FireWall de Windows para el OPC Krel Client",
                            "FWAddApp", 1220),
                  kWarningBox}});
    EXPECT_EQ((std::vector<std::string>{"FWAddApp(C:\\Kit\\OPC.Krel.Client.exe)",
                                        "FWAddPort(OPC.TCP.Port,135)", "FWAllowExc"}),
              fake::Only(w.calls, {"FWAddApp", "FWAddPort", "FWAllowExc", "FindFirstFileA"}));
}

TEST_F(InstallerTest, BothFirewallStepsOpenThePortTwice) {
    w.files = {kSys32};
    EXPECT_EQ(0, Run("/CltFireWall=1 /SrvFireWall=1"));
    EXPECT_TRUE(w.boxes.empty());
    EXPECT_EQ(2u, fake::Only(w.calls, {"FWAddPort"}).size());
    EXPECT_EQ(2u, fake::Only(w.calls, {"FWAllowExc"}).size());
}

// ---- Simple file sharing ---------------------------------------------------

TEST_F(InstallerTest, FileSharingStepDoesNothingFromVistaOn) {
    w.vistaOrLater = true;
    EXPECT_EQ(0, Run("/DisableSFS=1"));
    EXPECT_TRUE(w.boxes.empty());
    EXPECT_EQ(-1, fake::IndexOf(w.calls, "Reg"));
    // Version 6.0 SP0 or later, every field compared "greater or equal" (3).
    EXPECT_EQ(6u, w.versionMajor);
    EXPECT_EQ(0u, w.versionMinor);
    EXPECT_EQ(0u, w.versionSpMajor);
    EXPECT_EQ(static_cast<DWORD>(VER_MAJORVERSION | VER_MINORVERSION | VER_SERVICEPACKMAJOR),
              w.versionTypeMask);
    EXPECT_EQ(static_cast<DWORDLONG>(3 | (3 << 3) | (3 << 15)), w.versionCondition);
}

std::vector<BYTE> Bytes(std::initializer_list<int> b) {
    std::vector<BYTE> out;
    for (int x : b) out.push_back(static_cast<BYTE>(x));
    return out;
}

TEST_F(InstallerTest, FileSharingStepOnXpWritesForceguestOnlyWhenNeeded) {
    struct Case {
        const char* name;
        bool exists;
        DWORD type;
        std::vector<BYTE> data;
        bool written;
    } cases[] = {
        {"already 0", true, REG_DWORD, Bytes({0, 0, 0, 0}), false},
        {"1", true, REG_DWORD, Bytes({1, 0, 0, 0}), true},
        {"high byte set", true, REG_DWORD, Bytes({0, 0, 0, 1}), true},
        {"missing", false, REG_DWORD, {}, true},
        {"string", true, REG_SZ, Bytes({'0', 0}), true},
        {"binary zero", true, REG_BINARY, Bytes({0, 0, 0, 0}), true},
        {"too long", true, REG_BINARY, Bytes({0, 0, 0, 0, 0, 0, 0, 0}), true},
        {"short dword", true, REG_DWORD, Bytes({0, 0}), true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        w = fake::World();
        p = fake::MakePlatform();
        w.vistaOrLater = false;
        w.valueExists = c.exists;
        w.valueType = c.type;
        w.valueData = c.data;
        EXPECT_EQ(0, Run("/DisableSFS=1"));
        EXPECT_EQ(HKEY_LOCAL_MACHINE, w.regRoot);
        EXPECT_EQ("SYSTEM\\CurrentControlSet\\Control\\Lsa", w.regPath);
        EXPECT_EQ(static_cast<REGSAM>(KEY_QUERY_VALUE | KEY_SET_VALUE), w.regAccess);
        EXPECT_EQ(c.written ? 1u : 0u, fake::Only(w.calls, {"RegSetValueExA"}).size());
        if (c.written) ExpectBoxes({{kRestart, kInfoBox}});
        else ExpectBoxes({});
        EXPECT_EQ(static_cast<DWORD>(REG_DWORD), w.valueType);
        EXPECT_EQ(Bytes({0, 0, 0, 0}), w.valueData);
    }
}

TEST_F(InstallerTest, FileSharingRegistryFailuresWarn) {
    w.vistaOrLater = false;
    w.regOpenResult = ERROR_ACCESS_DENIED;
    EXPECT_EQ(0, Run("/DisableSFS=1"));
    ExpectBoxes({{ErrorText(kSfs, "RegOpenKeyEx", 5), kWarningBox}});
    EXPECT_EQ(-1, fake::IndexOf(w.calls, "RegQueryValueExA"));

    w = fake::World();
    p = fake::MakePlatform();
    w.vistaOrLater = false;
    w.valueExists = true;
    w.valueData = Bytes({1, 0, 0, 0});
    w.regSetResult = ERROR_ACCESS_DENIED;
    EXPECT_EQ(0, Run("/DisableSFS=1 /OpcEnum=1"));
    ExpectBoxes({{ErrorText(kSfs, "RegSetValueEx", 5), kWarningBox}});
    EXPECT_EQ(1u, fake::Only(w.calls, {"ConfigureOpcEnumACL"}).size());
}

TEST_F(InstallerTest, RepeatingStepsReachTheSameEndState) {
    w.vistaOrLater = false;
    w.files = {kSys32, kWow64};
    EXPECT_EQ(0, Run("/DisableSFS=1 /DisableSFS=1 /SrvFireWall=1 /SrvFireWall=1"));
    // The second pass finds forceguest already 0: one write, one restart request.
    ExpectBoxes({{kRestart, kInfoBox}});
    EXPECT_EQ(1u, fake::Only(w.calls, {"RegSetValueExA"}).size());
    EXPECT_EQ(6u, fake::Only(w.calls, {"FWAddApp"}).size());
}

}  // namespace
