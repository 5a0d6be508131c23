// Start-up, rights check, elevated restart, the box format and the command line.
#include "InstallerFixture.h"

using fake::ErrorText;

namespace {

const char kStartInstall[] = "No se pudo iniciar la instalación del servicio";
const char kStartUninstall[] = "No se pudo iniciar la desinstalación del servicio";

// ---- Paths -----------------------------------------------------------------

TEST_F(InstallerTest, SiblingPathsComeFromTheInstallersOwnDirectory) {
    w.modulePath = "D:\\Planta\\Kit OPC\\OPC.Krel.Inst.exe";
    krelinst::Installer installer(p, "");
    ASSERT_TRUE(installer.InitPaths());
    EXPECT_STREQ("D:\\Planta\\Kit OPC\\OPC.Krel.Inst.exe", installer.paths().modulePath);
    EXPECT_STREQ("D:\\Planta\\Kit OPC\\OPC.Krel.Server.exe", installer.paths().serverPath);
    EXPECT_STREQ("D:\\Planta\\Kit OPC\\OPC.Krel.Client.exe", installer.paths().clientPath);
    EXPECT_STREQ("D:\\Planta\\Kit OPC\\OPCKrelProxy.dll", installer.paths().proxyPath);
    EXPECT_STREQ("D:\\Planta\\Kit OPC\\x64\\OPCKrelProxy.dll", installer.paths().proxy64Path);
    EXPECT_EQ("GetModuleFileNameA", w.calls.at(0)) << "must ask for the running module itself";
    EXPECT_TRUE(w.boxes.empty());
}

// A module path at or past the 260-character buffer, or one whose sibling path
// would not fit its 264-byte buffer, is refused instead of being registered cut.
TEST_F(InstallerTest, OverlongModulePathIsAStartupFailureNotACutPath) {
    const std::string longDir = "C:\\" + std::string(300, 'd') + "\\";
    // 257 characters fit the module buffer, but the directory leaves no room
    // for "OPC.Krel.Server.exe" in 264 bytes.
    const std::string wideDir = "C:\\" + std::string(248, 'd') + "\\a.exe";
    struct Case {
        std::string modulePath;
        const char* commandLine;
        const char* message;
        DWORD code;
    } cases[] = {
        {longDir + "OPC.Krel.Inst.exe", "/Install", kStartInstall, ERROR_INSUFFICIENT_BUFFER},
        {longDir + "OPC.Krel.Inst.exe", "/Uninstall", kStartUninstall, ERROR_INSUFFICIENT_BUFFER},
        {std::string(260, 'x'), "/Install", kStartInstall, ERROR_INSUFFICIENT_BUFFER},
        {wideDir, "/Install", kStartInstall, ERROR_FILENAME_EXCED_RANGE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.modulePath.size());
        w = fake::World();
        p = fake::MakePlatform();
        w.modulePath = c.modulePath;
        EXPECT_EQ(-1, Run(c.commandLine));
        ExpectBoxes({{ErrorText(c.message, "GetModuleFileName", c.code), kErrorBox}});
        EXPECT_EQ(-1, fake::IndexOf(w.calls, "OpenSCManagerA"));
        EXPECT_EQ(-1, fake::IndexOf(w.calls, "UnRegisterServer"));
    }
}

TEST_F(InstallerTest, LongestModulePathThatFitsStillRuns) {
    // 259 characters in all, and the server path (2 + dir + 19) still below 264.
    w.modulePath = "C:\\" + std::string(230, 'd') + "\\" + std::string(25, 'f');
    ASSERT_EQ(259u, w.modulePath.size());
    EXPECT_EQ(0, Run("/OpcEnum=1"));
    EXPECT_TRUE(w.boxes.empty());
    EXPECT_EQ(1u, fake::Only(w.calls, {"ConfigureOpcEnumACL"}).size());
}

// ---- Rights check ----------------------------------------------------------

TEST_F(InstallerTest, AdministratorsGroupIsCheckedOnTheCallersOwnToken) {
    EXPECT_EQ(0, Run(""));
    const BYTE ntAuthority[6] = {0, 0, 0, 0, 0, 5};
    EXPECT_EQ(0, memcmp(ntAuthority, w.sidAuthority, 6));
    EXPECT_EQ(2, w.sidCount);
    EXPECT_EQ(32u, w.sidSub[0]);
    EXPECT_EQ(544u, w.sidSub[1]);
    EXPECT_EQ(nullptr, w.membershipToken);
    EXPECT_EQ(1, w.sidsFreed);
    // An administrator with no switches: nothing else happens at all.
    EXPECT_EQ((std::vector<std::string>{"GetModuleFileNameA", "AllocateAndInitializeSid",
                                        "CheckTokenMembership", "FreeSid"}),
              w.calls);
    EXPECT_TRUE(w.boxes.empty());
}

TEST_F(InstallerTest, StartupFailuresReportTheFailedCallAndItsCode) {
    struct Case {
        const char* name;
        void (*arrange)(fake::World&);
        const char* commandLine;
        const char* message;
        const char* label;
        DWORD code;
    } cases[] = {
        {"module", [](fake::World& x) { x.moduleError = 126; }, "/Install", kStartInstall,
         "GetModuleFileName", 126},
        {"module, uninstall", [](fake::World& x) { x.moduleError = 126; },
         "/OpcEnum=1 /Uninstall", kStartUninstall, "GetModuleFileName", 126},
        // The message test is a case-sensitive substring, not a switch match.
        {"module, lower case", [](fake::World& x) { x.moduleError = 126; }, "/uninstall",
         kStartInstall, "GetModuleFileName", 126},
        {"sid", [](fake::World& x) { x.allocSidOk = false; x.allocSidError = 8; }, "/Install",
         kStartInstall, "AllocateAndInitializeSid", 8},
        {"sid returned anyway",
         [](fake::World& x) {
             x.allocSidOk = false;
             x.allocSidReturnsSid = true;
             x.allocSidError = 87;
         },
         "/Uninstall", kStartUninstall, "AllocateAndInitializeSid", 87},
        {"membership",
         [](fake::World& x) {
             x.checkMembershipOk = false;
             x.checkMembershipError = 1008;
         },
         "/Install", kStartInstall, "CheckTokenMembership", 1008},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        w = fake::World();
        p = fake::MakePlatform();
        c.arrange(w);
        EXPECT_EQ(-1, Run(c.commandLine));
        ExpectBoxes({{ErrorText(c.message, c.label, c.code), kErrorBox}});
        EXPECT_EQ(w.sidsAllocated, w.sidsFreed);
        EXPECT_EQ(-1, fake::IndexOf(w.calls, "OpenSCManagerA"));
        EXPECT_EQ(-1, fake::IndexOf(w.calls, "ShellExecuteExA"));
        EXPECT_EQ(-1, fake::IndexOf(w.calls, "UnRegisterServer"));
    }
}

// ---- Elevated restart ------------------------------------------------------

TEST_F(InstallerTest, NonAdministratorRestartsItselfElevatedAndPassesOnTheExitCode) {
    const DWORD exitCodes[] = {0, 0xFFFFFFFF, 3};
    for (DWORD code : exitCodes) {
        SCOPED_TRACE(code);
        w = fake::World();
        p = fake::MakePlatform();
        w.isAdmin = FALSE;
        w.childExitCode = code;
        w.ownerWindow = reinterpret_cast<HWND>(0x4242);
        w.modulePath = "C:\\Kit\\OPC.Krel.Inst.exe";
        EXPECT_EQ(static_cast<int>(code), Run("/Install /SrvFireWall=1"));
        EXPECT_EQ(1, w.shellCalls);
        EXPECT_EQ("runas", w.shellVerb);
        EXPECT_EQ("C:\\Kit\\OPC.Krel.Inst.exe", w.shellFile);
        EXPECT_EQ("/Install /SrvFireWall=1 /NoRunAs", w.shellParameters);
        EXPECT_TRUE(w.shellDirectoryNull);
        EXPECT_EQ(SW_SHOW, w.shellInfo.nShow);
        EXPECT_EQ(static_cast<ULONG>(SEE_MASK_NOCLOSEPROCESS), w.shellInfo.fMask);
        EXPECT_EQ(sizeof(SHELLEXECUTEINFOA), w.shellInfo.cbSize);
        EXPECT_EQ(w.ownerWindow, w.shellInfo.hwnd) << "the request is owned by the kit window";
        EXPECT_EQ(INFINITE, w.waitTimeout);
        EXPECT_EQ(reinterpret_cast<HANDLE>(0x777), w.waitedHandle);
        // The first instance does no work and shows nothing of its own.
        EXPECT_TRUE(w.boxes.empty());
        EXPECT_EQ(-1, fake::IndexOf(w.calls, "OpenSCManagerA"));
        EXPECT_EQ(-1, fake::IndexOf(w.calls, "FWAddApp"));
    }
}

TEST_F(InstallerTest, NonAdministratorWithoutSwitchesStillAsksForElevation) {
    w.isAdmin = FALSE;
    EXPECT_EQ(0, Run(""));
    EXPECT_EQ(1, w.shellCalls);
    EXPECT_EQ(" /NoRunAs", w.shellParameters);
}

TEST_F(InstallerTest, ElevatedInstanceWithoutRightsGivesUpInsteadOfLooping) {
    const char* lines[] = {"/Install /NoRunAs", "/NoRunAs", "/x/NoRunAsy"};
    for (const char* line : lines) {
        SCOPED_TRACE(line);
        w = fake::World();
        p = fake::MakePlatform();
        w.isAdmin = FALSE;
        EXPECT_EQ(-1, Run(line));
        ExpectBoxes({{"El instalador no tiene los permisos de administrador", kInfoBox}});
        EXPECT_EQ(0, w.shellCalls);
        EXPECT_EQ(-1, fake::IndexOf(w.calls, "OpenSCManagerA"));
    }
    // The marker is case-sensitive: another spelling is not a restart.
    w = fake::World();
    p = fake::MakePlatform();
    w.isAdmin = FALSE;
    EXPECT_EQ(0, Run("/norunas"));
    EXPECT_EQ(1, w.shellCalls);
    EXPECT_TRUE(w.boxes.empty());
}

TEST_F(InstallerTest, ElevationFailuresAreStartupFailures) {
    struct Case {
        const char* commandLine;
        bool shellOk;
        bool exitCodeOk;
        const char* message;
        const char* label;
        DWORD code;
    } cases[] = {
        // The user declined the prompt.
        {"/Install", false, true, kStartInstall, "ShellExecuteEx", ERROR_CANCELLED},
        {"/Uninstall", false, true, kStartUninstall, "ShellExecuteEx", ERROR_CANCELLED},
        {"/Install", true, false, kStartInstall, "GetExitCodeProcess", ERROR_ACCESS_DENIED},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        w = fake::World();
        p = fake::MakePlatform();
        w.isAdmin = FALSE;
        w.shellOk = c.shellOk;
        w.shellError = c.code;
        w.exitCodeOk = c.exitCodeOk;
        w.exitCodeError = c.code;
        w.childExitCode = 0;
        EXPECT_EQ(-1, Run(c.commandLine));
        ExpectBoxes({{ErrorText(c.message, c.label, c.code), kErrorBox}});
    }
}

TEST_F(InstallerTest, CommandLineTooLongForTheElevationParametersIsRefused) {
    // "%s /NoRunAs" into 512 bytes: 502 characters fit, 503 do not.
    std::string fits(502, 'x');
    w.isAdmin = FALSE;
    EXPECT_EQ(0, Run(fits));
    EXPECT_EQ(fits + " /NoRunAs", w.shellParameters);
    EXPECT_EQ(511u, w.shellParameters.size());

    for (size_t length : {503u, 511u, 4000u}) {
        SCOPED_TRACE(length);
        w = fake::World();
        p = fake::MakePlatform();
        w.isAdmin = FALSE;
        std::string tooLong = "/Uninstall " + std::string(length - 11, 'y');
        EXPECT_EQ(-1, Run(tooLong));
        EXPECT_EQ(0, w.shellCalls) << "must not start a cut command line";
        ExpectBoxes(
            {{ErrorText(kStartUninstall, "ShellExecuteEx", ERROR_INSUFFICIENT_BUFFER), kErrorBox}});
    }
}

// ---- Boxes -------------------------------------------------------------------

TEST_F(InstallerTest, BoxTextIsWindows1252) {
    w.scmOk = false;
    w.scmError = 5;
    EXPECT_EQ(-1, Run("/Install"));
    ASSERT_EQ(1u, w.boxes.size());
    const std::string& text = w.boxes[0].text;
    EXPECT_NE(std::string::npos, text.find("Funci\xF3n: OpenSCManager")) << text;
    EXPECT_NE(std::string::npos, text.find("C\xF3" "digo: 5")) << text;
    EXPECT_EQ(std::string::npos, text.find("\xC3\xB3")) << "UTF-8 reached an ANSI call";
    EXPECT_EQ("Error al instalar el servicio\n\n    Funci\xF3n: OpenSCManager\n    C\xF3" "digo: 5",
              text);
}

TEST_F(InstallerTest, BoxesAreOwnedByTheKitWindowLookedUpEachTime) {
    krelinst::Installer installer(p, "");
    installer.ErrorBox("a", "b", 1, krelinst::kIconWarning);
    w.ownerWindow = reinterpret_cast<HWND>(0x1234);  // the window appears meanwhile
    installer.InfoBox("c");
    ASSERT_EQ(2u, w.boxes.size());
    EXPECT_EQ(nullptr, w.boxes[0].owner);
    EXPECT_EQ(reinterpret_cast<HWND>(0x1234), w.boxes[1].owner);
    EXPECT_EQ(2, w.findWindowCalls);
    EXPECT_EQ("<null>", w.findWindowClass) << "looked up by title alone";
    EXPECT_EQ("OPC Krel 3.0", w.findWindowTitle);
    ExpectBoxes({{ErrorText("a", "b", 1), kWarningBox}, {"c", kInfoBox}});
}

TEST_F(InstallerTest, ErrorBoxCodeIsUnsignedAndTextNeverOverrunsItsBuffer) {
    krelinst::Installer installer(p, "");
    installer.ErrorBox("m", "l", 0xFFFFFFFF, krelinst::kIconError);
    installer.ErrorBox(std::string(1000, 'M').c_str(), std::string(600, 'L').c_str(), 7,
                       krelinst::kIconError);
    ASSERT_EQ(2u, w.boxes.size());
    EXPECT_EQ(ErrorText("m", "l", 4294967295u), w.boxes[0].text);
    EXPECT_EQ(std::string(255, 'M'), w.boxes[1].text);
}

// ---- Command line ----------------------------------------------------------

// Which actions a command line sets off, in order, each named by its first call.
std::vector<std::string> Actions(const std::vector<std::string>& calls) {
    std::vector<std::string> out;
    for (const auto& c : calls) {
        if (c == "CreateServiceA") out.push_back("install");
        else if (c.compare(0, 16, "UnRegisterServer") == 0) out.push_back("uninstall");
        else if (c == "ConfigureOpcEnumACL") out.push_back("opcenum");
        else if (c == "FWAddApp(C:\\Kit\\OPC.Krel.Server.exe)") out.push_back("srvfw");
        else if (c == "FWAddApp(C:\\Kit\\OPC.Krel.Client.exe)") out.push_back("cltfw");
        else if (c == "VerifyVersionInfoA") out.push_back("sfs");
    }
    return out;
}

TEST_F(InstallerTest, SwitchesAreWholeSpaceSeparatedCaseInsensitiveTokensRunInOrder) {
    struct Case {
        std::string commandLine;
        std::vector<std::string> actions;
    } cases[] = {
        {"", {}},
        {"   ", {}},
        {"/install", {"install"}},
        {"/INSTALL", {"install"}},
        {"/Install=1 /OpcEnum=0 /Install1 Install /NoRunAs /SrvFireWall=10", {}},
        {"/opcenum=1 /DISABLESFS=1 /cltfirewall=1 /SrvFirewall=1",
         {"opcenum", "sfs", "cltfw", "srvfw"}},
        {"  /OpcEnum=1    /OpcEnum=1  ", {"opcenum", "opcenum"}},
        {"/bogus /OpcEnum=1 whatever", {"opcenum"}},
        // Only the space separates; quotes are part of the token.
        {"/OpcEnum=1\t/DisableSFS=1", {}},
        {"\"/OpcEnum=1\"", {}},
        {"/Install /Uninstall", {"install", "uninstall"}},
        {"/Uninstall /Install", {"uninstall", "install"}},
        {"/NoRunAs /CltFireWall=1", {"cltfw"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.commandLine);
        w = fake::World();
        p = fake::MakePlatform();
        EXPECT_EQ(0, Run(c.commandLine));
        EXPECT_EQ(c.actions, Actions(w.calls));
    }
}

}  // namespace
