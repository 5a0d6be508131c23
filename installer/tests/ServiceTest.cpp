// Install and uninstall against the modelled service manager and engine.
#include "InstallerFixture.h"

using fake::ErrorText;
using fake::IndexOf;

namespace {

const char kInstallError[] = "Error al instalar el servicio";
const char kUninstallError[] = "Error al desinstalar el servicio";

TEST_F(InstallerTest, InstallRegistersAndStartsTheService) {
    w.modulePath = "C:\\Kit\\OPC.Krel.Inst.exe";
    EXPECT_EQ(0, Run("/Install"));
    EXPECT_TRUE(w.boxes.empty());
    EXPECT_TRUE(w.serviceExists);
    EXPECT_TRUE(w.serviceRunning);
    EXPECT_TRUE(w.comRegistered);

    EXPECT_EQ(std::vector<std::string>{"<null>,<null>,0xF003F"}, w.scmArgs);
    EXPECT_EQ((std::vector<std::string>{"manager", "OPC Krel Server", "OPC Krel Server",
                                        "0xF003F,0x10,2,1", "C:\\Kit\\OPC.Krel.Server.exe",
                                        "<null>", "<null>", "<null>", "<null>", "<null>"}),
              w.createArgs);
    EXPECT_EQ("Servidor OPC de Kreleo (Versi\xF3n 3.0)", w.serviceDescription);
    EXPECT_EQ((std::vector<std::string>{"5C473C23-71FF-47A5-997C", "OPC Krel Server",
                                        "OPC Krel Server", "1"}),
              w.registerArgs);
    EXPECT_EQ((std::vector<std::string>{"Everyone", "SYSTEM", "NETWORK", "INTERACTIVE",
                                        "ANONYMOUS LOGON"}),
              w.accountsSeen);
    EXPECT_EQ((std::vector<std::string>{"OpenSCManagerA", "CreateServiceA",
                                        "ChangeServiceConfig2A(description)", "RegisterServer",
                                        "StartServiceA", "CloseServiceHandle",
                                        "CloseServiceHandle(manager)"}),
              fake::Only(w.calls, {"OpenSCManagerA", "CreateServiceA", "ChangeServiceConfig2A",
                                   "RegisterServer", "StartServiceA", "CloseServiceHandle"}));
}

TEST_F(InstallerTest, InstallReplacesAnExistingRunningService) {
    w.serviceExists = true;
    w.serviceRunning = true;
    w.servicePath = "C:\\Old\\OPC.Krel.Server.exe";
    EXPECT_EQ(0, Run("/Install"));
    EXPECT_TRUE(w.boxes.empty());
    EXPECT_EQ((std::vector<std::string>{
                  "CreateServiceA", "OpenServiceA(manager,OPC Krel Server,0xF003F)",
                  "ControlService(stop)", "DeleteService", "CloseServiceHandle", "CreateServiceA",
                  "StartServiceA", "CloseServiceHandle", "CloseServiceHandle(manager)"}),
              fake::Only(w.calls, {"CreateServiceA", "OpenServiceA", "ControlService",
                                   "DeleteService", "CloseServiceHandle", "StartServiceA"}));
    EXPECT_EQ("C:\\Kit\\OPC.Krel.Server.exe", w.servicePath);
    EXPECT_TRUE(w.serviceRunning);
    EXPECT_TRUE(w.comRegistered);
}

// The old service is deleted only once it has stopped, and the new one created
// only once the old entry has gone: no run is left without a service.
TEST_F(InstallerTest, InstallWaitsForTheOldServiceToStopAndGo) {
    struct Case {
        const char* name;
        DWORD stopTakesMs;
        bool markedByUninstall;
    } cases[] = {
        {"stops at once", 0, false},
        {"stop takes five seconds", 5000, false},
        {"an uninstall is still removing it", 2000, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        w = fake::World();
        p = fake::MakePlatform();
        w.serviceExists = true;
        w.serviceRunning = true;
        w.stopTakesMs = c.stopTakesMs;
        w.serviceMarkedForDelete = c.markedByUninstall;
        w.servicePath = "C:\\Old\\OPC.Krel.Server.exe";
        EXPECT_EQ(0, Run("/Install"));
        EXPECT_TRUE(w.boxes.empty());
        EXPECT_EQ("C:\\Kit\\OPC.Krel.Server.exe", w.servicePath);
        EXPECT_TRUE(w.serviceRunning);
        EXPECT_EQ(-1, IndexOf(w.calls, "DeleteService(running)")) << "deleted while stopping";
        EXPECT_GE(w.clock, c.stopTakesMs);
        EXPECT_LE(w.clock, c.stopTakesMs + krelinst::kReplacePollMs);
    }
}

// A stop that never ends: the wait is bounded and the user asked to restart.
TEST_F(InstallerTest, ReplacingAServiceThatIsStillStoppingAsksForARestart) {
    w.serviceExists = true;
    w.serviceRunning = true;
    w.stopTakesMs = fake::World::kNever;
    EXPECT_EQ(-1, Run("/Install /OpcEnum=1"));
    ExpectBoxes({{ErrorText("Error al instalar el servicio\nReinicie la PC y vuelva a intentar "
                            "la instalaci\xF3n",
                            "CreateService2", ERROR_SERVICE_MARKED_FOR_DELETE),
                  kErrorBox}});
    EXPECT_EQ(krelinst::kReplaceWaitMs, w.clock);
    EXPECT_FALSE(w.comRegistered);
    EXPECT_EQ(-1, IndexOf(w.calls, "ConfigureOpcEnumACL")) << "a failed install ends the run";
}

// Every way install can fail: the box, what is cleaned up, and that the run stops.
TEST_F(InstallerTest, InstallFailuresCleanUpAndStopTheRun) {
    struct Case {
        const char* name;
        void (*arrange)(fake::World&);
        ExpectedBox box;
        bool serviceLeft;  // whatever existed before is still there
    } cases[] = {
        {"manager", [](fake::World& x) { x.scmOk = false; x.scmError = ERROR_ACCESS_DENIED; },
         {ErrorText(kInstallError, "OpenSCManager", 5), kErrorBox}, false},
        {"create", [](fake::World& x) { x.createError = ERROR_INVALID_NAME; },
         {ErrorText(kInstallError, "CreateService", 123), kErrorBox}, false},
        // An earlier uninstall left the service marked, and it never stops.
        {"create, marked",
         [](fake::World& x) {
             x.serviceExists = true;
             x.serviceMarkedForDelete = true;
             x.serviceRunning = true;
             x.stopTakesMs = fake::World::kNever;
         },
         {"Reinicie la PC y vuelva a intentar la instalaci\xF3n", kInfoBox}, true},
        {"open existing",
         [](fake::World& x) {
             x.serviceExists = true;
             x.openServiceError = ERROR_ACCESS_DENIED;
         },
         {ErrorText(kInstallError, "OpenService", 5), kErrorBox}, true},
        {"delete existing, marked",
         [](fake::World& x) {
             x.serviceExists = true;
             x.deleteError = ERROR_SERVICE_MARKED_FOR_DELETE;
         },
         {"Reinicie la PC y vuelva a intentar la instalaci\xF3n", kInfoBox}, true},
        {"delete existing",
         [](fake::World& x) {
             x.serviceExists = true;
             x.deleteError = ERROR_ACCESS_DENIED;
         },
         {ErrorText(kInstallError, "DeleteService", 5), kErrorBox}, true},
        {"description", [](fake::World& x) { x.configError = ERROR_INVALID_LEVEL; },
         {ErrorText(kInstallError, "ChangeServiceConfig2", 124), kErrorBox}, false},
        {"register", [](fake::World& x) { x.registerOk = false; },
         {ErrorText(kInstallError, "RegisterServer", 0), kErrorBox}, false},
        {"start", [](fake::World& x) { x.startError = ERROR_FILE_NOT_FOUND; },
         {ErrorText(kInstallError, "StartService", 2), kErrorBox}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        w = fake::World();
        p = fake::MakePlatform();
        c.arrange(w);
        EXPECT_EQ(-1, Run("/Install /OpcEnum=1 /Install"));
        ExpectBoxes({c.box});
        EXPECT_EQ(c.serviceLeft, w.serviceExists);
        EXPECT_FALSE(w.comRegistered) << "no COM registration outlives a failed install";
        EXPECT_EQ(1u, fake::Only(w.calls, {"OpenSCManagerA"}).size()) << "run went on";
        EXPECT_EQ(-1, IndexOf(w.calls, "ConfigureOpcEnumACL")) << "run went on";
        // Clean-up comes before the box, so the box is the last thing the user sees.
        int box = IndexOf(w.calls, "MessageBoxA");
        for (size_t i = box + 1; i < w.calls.size(); ++i)
            EXPECT_EQ(0u, w.calls[i].find("CloseServiceHandle")) << w.calls[i];
    }
}

TEST_F(InstallerTest, FailedStartUnregistersBeforeDeleting) {
    w.startError = ERROR_SERVICE_LOGON_FAILED;
    EXPECT_EQ(-1, Run("/Install"));
    EXPECT_EQ((std::vector<std::string>{"RegisterServer", "StartServiceA",
                                        "UnRegisterServer(5C473C23,OPC Krel Server)",
                                        "DeleteService", "MessageBoxA"}),
              fake::Only(w.calls, {"RegisterServer", "StartServiceA", "UnRegisterServer",
                                   "DeleteService", "MessageBoxA"}));
}

TEST_F(InstallerTest, InstallThenUninstallAndTheReverse) {
    EXPECT_EQ(0, Run("/Install /Uninstall"));
    EXPECT_TRUE(w.boxes.empty());
    EXPECT_FALSE(w.serviceExists);
    EXPECT_FALSE(w.comRegistered);

    // Over an existing, running installation: removed, then installed afresh.
    w = fake::World();
    p = fake::MakePlatform();
    w.serviceExists = true;
    w.serviceRunning = true;
    w.comRegistered = true;
    w.servicePath = "C:\\Old\\OPC.Krel.Server.exe";
    EXPECT_EQ(0, Run("/Uninstall /Install"));
    EXPECT_TRUE(w.boxes.empty());
    EXPECT_TRUE(w.serviceExists);
    EXPECT_TRUE(w.serviceRunning);
    EXPECT_TRUE(w.comRegistered);
    EXPECT_EQ("C:\\Kit\\OPC.Krel.Server.exe", w.servicePath);
    int opened = IndexOf(w.calls, "OpenServiceA");
    ASSERT_NE(-1, opened);
    EXPECT_LT(opened, IndexOf(w.calls, "CreateServiceA")) << "install ran before uninstall";
    EXPECT_EQ(2u, fake::Only(w.calls, {"CreateServiceA", "OpenServiceA"}).size());
}

TEST_F(InstallerTest, InstallTwiceReplacesTheFirst) {
    EXPECT_EQ(0, Run("/Install /install"));
    EXPECT_TRUE(w.boxes.empty());
    EXPECT_EQ(2u, fake::Only(w.calls, {"StartServiceA"}).size());
    EXPECT_EQ(1u, fake::Only(w.calls, {"DeleteService"}).size());
    EXPECT_TRUE(w.serviceRunning);
}

TEST_F(InstallerTest, UninstallStopsAndRemovesServiceAndRegistration) {
    w.serviceExists = true;
    w.serviceRunning = true;
    w.comRegistered = true;
    EXPECT_EQ(0, Run("/Uninstall"));
    EXPECT_TRUE(w.boxes.empty());
    EXPECT_FALSE(w.serviceExists);
    EXPECT_FALSE(w.comRegistered);
    EXPECT_EQ((std::vector<std::string>{"UnRegisterServer(5C473C23,OPC Krel Server)",
                                        "OpenSCManagerA",
                                        "OpenServiceA(manager,OPC Krel Server,0xF003F)",
                                        "ControlService(stop)", "DeleteService"}),
              fake::Only(w.calls, {"UnRegisterServer", "OpenSCManagerA", "OpenServiceA",
                                   "ControlService", "DeleteService"}));
}

TEST_F(InstallerTest, UninstallOutcomes) {
    struct Case {
        const char* name;
        void (*arrange)(fake::World&);
        int exitCode;
        std::vector<ExpectedBox> boxes;
    } cases[] = {
        {"nothing installed", [](fake::World&) {}, 0, {}},
        {"unregister fails, no service", [](fake::World& x) { x.unregisterOk = false; }, 0,
         {{ErrorText(kUninstallError, "UnRegisterServer", 0), kWarningBox}}},
        {"unregister fails, service removed",
         [](fake::World& x) {
             x.unregisterOk = false;
             x.serviceExists = true;
         },
         0, {{ErrorText(kUninstallError, "UnRegisterServer", 0), kWarningBox}}},
        {"manager", [](fake::World& x) { x.scmOk = false; x.scmError = ERROR_ACCESS_DENIED; },
         -1, {{ErrorText(kUninstallError, "OpenSCManager", 5), kErrorBox}}},
        {"open",
         [](fake::World& x) {
             x.serviceExists = true;
             x.openServiceError = ERROR_ACCESS_DENIED;
         },
         -1, {{ErrorText(kUninstallError, "OpenService", 5), kErrorBox}}},
        {"already marked for delete",
         [](fake::World& x) {
             x.serviceExists = true;
             x.serviceRunning = true;
             x.serviceMarkedForDelete = true;
         },
         0, {{"Reinicie la PC para completar la desinstalaci\xF3n", kInfoBox}}},
        {"delete",
         [](fake::World& x) {
             x.serviceExists = true;
             x.deleteError = ERROR_ACCESS_DENIED;
         },
         -1, {{ErrorText(kUninstallError, "DeleteService", 5), kErrorBox}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        w = fake::World();
        p = fake::MakePlatform();
        w.comRegistered = true;
        c.arrange(w);
        EXPECT_EQ(c.exitCode, Run("/Uninstall /OpcEnum=1"));
        ExpectBoxes(c.boxes);
        // The COM registration goes first, whatever follows.
        EXPECT_EQ(0, IndexOf(fake::Only(w.calls, {"UnRegisterServer", "OpenSCManagerA"}),
                             "UnRegisterServer"));
        EXPECT_EQ(c.exitCode == 0 ? 1u : 0u, fake::Only(w.calls, {"ConfigureOpcEnumACL"}).size());
    }
}

// ---- The server list stand-in ----------------------------------------------

const char kListClass[] = "SOFTWARE\\Classes\\CLSID\\{13486D51-4821-11D2-A494-3CB306C10000}";
const char kListAppId[] = "SOFTWARE\\Classes\\AppID\\{13486D44-4821-11D2-A494-3CB306C10000}";
const char kEnum[] = "OPC Krel Enum";
// The installer's own registry view, where it registers, and the other one.
const char* const kOwnView = sizeof(void*) == 8 ? "64" : "32";
const char* const kOtherView = sizeof(void*) == 8 ? "32" : "64";

void OtherVendorsList(const char* view) {
    fake::SetRegString(view, kListClass, "AppID", "{13486D44-4821-11D2-A494-3CB306C10000}");
    fake::SetRegString(view, std::string(kListClass) + "\\LocalServer32", nullptr, "C:\\Otro\\OpcEnum.exe");
}

TEST_F(InstallerTest, ServerListRegisteredOnlyWhereNoneIsAndRemovedOnlyWhileOurs) {
    struct Case {
        const char* name;
        void (*arrange)();
        bool ours;
    } cases[] = {
        {"no server list", [] {}, true},
        {"32-bit Windows", [] { fake::world->twoViews = false; }, true},
        {"another vendor's, own view", [] { OtherVendorsList(kOwnView); }, false},
        {"another vendor's, other view", [] { OtherVendorsList(kOtherView); }, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        w = fake::World();
        p = fake::MakePlatform();
        c.arrange();
        const char* own = w.twoViews ? kOwnView : "32";
        const auto before = w.registry;
        EXPECT_EQ(0, Run("/Install /SrvFireWall=1"));
        EXPECT_EQ(c.ours, w.services.count(kEnum) == 1);
        EXPECT_EQ(c.ours ? 1 : -1, IndexOf(w.calls, "FWAddApp(C:\\Kit\\OPC.Krel.Enum.exe)") >= 0 ? 1 : -1);
        if (c.ours) {
            const fake::World::Service& s = w.services[kEnum];
            EXPECT_EQ("C:\\Kit\\OPC.Krel.Enum.exe", s.path);
            EXPECT_EQ(static_cast<DWORD>(SERVICE_DEMAND_START), s.startType);
            EXPECT_EQ("NT AUTHORITY\\LocalService", s.account);
            EXPECT_EQ("Lista de servidores OPC de Kreleo (Versi\xF3n 3.0)", s.description);
            EXPECT_EQ("{13486D44-4821-11D2-A494-3CB306C10000}", fake::RegString(own, kListClass, "AppID"));
            EXPECT_EQ(kEnum, fake::RegString(own, kListAppId, "LocalService"));
            EXPECT_EQ("{13486D51-4821-11D2-A494-3CB306C10000}",
                      fake::RegString(own, "SOFTWARE\\Classes\\OPC.ServerList\\CLSID", nullptr));
        } else {
            EXPECT_TRUE(before == w.registry) << "another vendor's registration is left as it was";
        }
        w.boxes.clear();  // no OpcEnum.exe to open the firewall for
        EXPECT_EQ(0, Run("/Uninstall"));
        EXPECT_TRUE(w.boxes.empty());
        EXPECT_EQ(0u, w.services.size());
        EXPECT_EQ("<none>", fake::RegString(own, kListAppId, "LocalService"));
        if (!c.ours) {
            EXPECT_TRUE(before == w.registry);
        }
        for (const auto& key : w.registry)
            EXPECT_TRUE(key.second.empty() || before.count(key.first)) << key.first << " left behind";
    }
}

TEST_F(InstallerTest, ServerListUpgradeAndCoreComponentsArrivingLater) {
    // An AppID key from before (rights someone gave) keeps what it held.
    fake::SetRegString(kOwnView, kListAppId, "Note", "kept");
    EXPECT_EQ(0, Run("/Install"));
    w.services[kEnum].running = true;
    w.modulePath = "C:\\Kit2\\OPC.Krel.Inst.exe";
    EXPECT_EQ(0, Run("/Install"));
    EXPECT_TRUE(w.boxes.empty());
    EXPECT_EQ("C:\\Kit2\\OPC.Krel.Enum.exe", w.services[kEnum].path) << "the upgrade points at the new folder";
    EXPECT_FALSE(w.services[kEnum].running) << "the old program is stopped";
    EXPECT_EQ(1u, fake::Only(w.calls, {"OPC Krel Enum/DeleteService"}).size()) << "the old one replaced";
    EXPECT_EQ(0, Run("/Uninstall"));
    EXPECT_EQ("kept", fake::RegString(kOwnView, kListAppId, "Note"));
    EXPECT_EQ("<none>", fake::RegString(kOwnView, kListAppId, "LocalService"));
    EXPECT_EQ("<none>", fake::RegString(kOwnView, kListClass, "AppID"));

    // The Core Components installed after the kit take the class over: the kit's
    // service goes on uninstall, their registration stays.
    EXPECT_EQ(0, Run("/Install"));
    fake::SetRegString(kOwnView, kListAppId, "LocalService", "OpcEnum");
    w.files = {"C:\\windows\\System32\\OpcEnum.exe"};
    const auto theirs = w.registry;
    EXPECT_EQ(0, Run("/Uninstall /SrvFireWall=1"));
    EXPECT_TRUE(w.boxes.empty());
    EXPECT_EQ(0u, w.services.size());
    EXPECT_TRUE(theirs == w.registry);
    EXPECT_EQ(-1, IndexOf(w.calls, "FWAddApp(C:\\Kit2\\OPC.Krel.Enum.exe)"));
}

TEST_F(InstallerTest, ServerListFailuresOnlyWarnAndLeaveNothingHalfMade) {
    const char kWarning[] = "No se pudo instalar la lista de servidores OPC";
    w.regCreateResult = ERROR_ACCESS_DENIED;
    EXPECT_EQ(0, Run("/Install"));
    ExpectBoxes({{ErrorText(kWarning, "RegCreateKeyEx", 5), kWarningBox}});
    EXPECT_TRUE(w.serviceRunning) << "the kit's own server is installed";
    EXPECT_EQ(0u, w.services.size());

    w = fake::World();
    p = fake::MakePlatform();
    w.otherCreateError = ERROR_ACCESS_DENIED;
    EXPECT_EQ(0, Run("/Install"));
    ExpectBoxes({{ErrorText(kWarning, "CreateService", 5), kWarningBox}});
    EXPECT_EQ("<none>", fake::RegString(kOwnView, kListClass, "AppID"));

    w = fake::World();
    p = fake::MakePlatform();
    EXPECT_EQ(0, Run("/Install"));
    w.otherDeleteError = ERROR_ACCESS_DENIED;
    EXPECT_EQ(0, Run("/Uninstall"));
    ExpectBoxes({{ErrorText("No se pudo desinstalar la lista de servidores OPC", "DeleteService", 5),
                  kWarningBox}});
    EXPECT_FALSE(w.serviceExists);
}

}  // namespace

// ---- The proxy/stubs -------------------------------------------------------

TEST_F(InstallerTest, ProxiesWhereTheyBelongInBothViewsAndOnlyWarnWhenTheyFail) {
    const std::string regsvr = "\"C:\\windows\\Sysnative\\regsvr32.exe\" /s ";
    const std::string dll64 = "\"C:\\Kit\\x64\\OPCKrelProxy.dll\"";
    const char k32[] = "No se pudo registrar el proxy/stub OPC de 32 bits";
    const char k64[] = "No se pudo registrar el proxy/stub OPC de 64 bits";
    const char kUn64[] = "No se pudo quitar el registro del proxy/stub OPC de 64 bits";
    struct Case {
        const char* commandLine;
        void (*arrange)(fake::World&);
        std::vector<std::string> calls;  // in-process entries and programs started
        std::vector<ExpectedBox> boxes;
    } cases[] = {
        {"/Proxy=1", [](fake::World&) {}, {"Proxy(DllRegisterServer,C:\\Kit\\OPCKrelProxy.dll)"},
         {{"Proxy/stub OPC registrado para los programas de 32 bits", kInfoBox}}},
        {"/proxy=1", [](fake::World& x) { x.wow64 = TRUE; },
         {"Proxy(DllRegisterServer,C:\\Kit\\OPCKrelProxy.dll)", "CreateProcessA(" + regsvr + dll64 + ")"},
         {{"Proxy/stub OPC registrado para los programas de 32 y 64 bits", kInfoBox}}},
        {"/Proxy=1", [](fake::World& x) { x.wow64 = TRUE; x.proxyResult = E_ACCESSDENIED; x.regsvrExitCode = 3; },
         {"Proxy(DllRegisterServer,C:\\Kit\\OPCKrelProxy.dll)", "CreateProcessA(" + regsvr + dll64 + ")"},
         {{ErrorText(k32, "DllRegisterServer", 0x80070005), kWarningBox},
          {ErrorText(k64, "regsvr32", 3), kWarningBox}}},
        {"/Proxy=1", [](fake::World& x) { x.wow64 = TRUE; x.createProcessOk = false; },
         {"Proxy(DllRegisterServer,C:\\Kit\\OPCKrelProxy.dll)", "CreateProcessA(" + regsvr + dll64 + ")"},
         {{ErrorText(k64, "CreateProcess", ERROR_FILE_NOT_FOUND), kWarningBox}}},
        {"/Proxy=1", [](fake::World& x) { x.wow64 = TRUE; x.regsvrWait = WAIT_TIMEOUT; },
         {"Proxy(DllRegisterServer,C:\\Kit\\OPCKrelProxy.dll)", "CreateProcessA(" + regsvr + dll64 + ")"},
         {{ErrorText(k64, "WaitForSingleObject", WAIT_TIMEOUT), kWarningBox}}},
        // The engine registers the 32-bit one; /Install adds the 64-bit one.
        {"/Install", [](fake::World& x) { x.wow64 = TRUE; }, {"CreateProcessA(" + regsvr + dll64 + ")"}, {}},
        {"/Install", [](fake::World&) {}, {}, {}},
        {"/Install", [](fake::World& x) { x.wow64 = TRUE; x.regsvrExitCode = 5; },
         {"CreateProcessA(" + regsvr + dll64 + ")"}, {{ErrorText(k64, "regsvr32", 5), kWarningBox}}},
        // Ours go from both views, also where the service is gone already.
        {"/Uninstall", [](fake::World& x) { x.wow64 = TRUE; },
         {"CreateProcessA(" + regsvr + "/u " + dll64 + ")", "Proxy(DllUnregisterServer,C:\\Kit\\OPCKrelProxy.dll)"},
         {}},
        {"/Uninstall", [](fake::World& x) { x.wow64 = TRUE; x.regsvrExitCode = 3; x.scmOk = false; },
         {"CreateProcessA(" + regsvr + "/u " + dll64 + ")", "Proxy(DllUnregisterServer,C:\\Kit\\OPCKrelProxy.dll)"},
         {{ErrorText("Error al desinstalar el servicio", "OpenSCManager", 0), kErrorBox},
          {ErrorText(kUn64, "regsvr32", 3), kWarningBox}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.commandLine) + " " + std::to_string(&c - cases));
        w = fake::World();
        p = fake::MakePlatform();
        c.arrange(w);
        Run(c.commandLine);
        EXPECT_EQ(c.calls, fake::Only(w.calls, {"Proxy", "CreateProcessA"}));
        ExpectBoxes(c.boxes);
        EXPECT_EQ(0, w.processHandlesOpen);
        if (std::string(c.commandLine) == "/Proxy=1") {
            EXPECT_FALSE(w.serviceExists);
        }
    }
}
