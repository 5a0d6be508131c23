// FwSetup against the firewall before Vista: this program runs with Wine
// reporting Windows XP (see FwTestMain.cpp).
#include <windows.h>

#include <string>

#include "FwTestSupport.h"

using fwfake::App;
using fwfake::FailMode;
using fwfake::Firewall;
using fwfake::Port;
using fwtest::Bench;
using fwtest::FwTest;
using fwtest::Step;

namespace {

const char kServerPath[] = "C:\\Kit\\OPC.Krel.Server.exe";
const wchar_t kServerPathW[] = L"C:\\Kit\\OPC.Krel.Server.exe";

const std::vector<Step> kAddAppNewEntry = {
    {L"NetFwMgr.Create", 1120, true},
    {L"Mgr.get_LocalPolicy", 1130, true},
    {L"Policy.get_CurrentProfile", 1140, true},
    {L"Profile.get_AuthorizedApplications", 1150, true},
    {L"Apps.Item(C:\\Kit\\OPC.Krel.Server.exe)", 0, false},
    {L"NetFwAuthorizedApplication.Create", 1310, true},
    {L"App.put_ProcessImageFileName(C:\\Kit\\OPC.Krel.Server.exe)", 1320, false},
    {L"App.put_Name(OPC.Krel.Server)", 1330, false},
    {L"App.put_Enabled(-1)", 1340, false},
    {L"Apps.Add(App)", 1350, false},
};

const std::vector<Step> kAddAppDisabledEntry = {
    {L"NetFwMgr.Create", 1120, true},
    {L"Mgr.get_LocalPolicy", 1130, true},
    {L"Policy.get_CurrentProfile", 1140, true},
    {L"Profile.get_AuthorizedApplications", 1150, true},
    {L"Apps.Item(C:\\Kit\\OPC.Krel.Server.exe)", 0, false},
    {L"App.get_Enabled", 1210, false},
    {L"App.put_Enabled(-1)", 1220, false},
};

const std::vector<Step> kAddPortNewEntry = {
    {L"NetFwMgr.Create", 5120, true},
    {L"Mgr.get_LocalPolicy", 5130, true},
    {L"Policy.get_CurrentProfile", 5140, true},
    {L"Profile.get_GloballyOpenPorts", 5150, true},
    {L"Ports.Item(135,6)", 0, false},
    {L"NetFwOpenPort.Create", 5310, true},
    {L"Port.put_Port(135)", 5320, false},
    {L"Port.put_Protocol(6)", 5330, false},
    {L"Port.put_Name(OPC.TCP.Port)", 5340, false},
    {L"Port.put_Enabled(-1)", 5350, false},
    {L"Ports.Add(Port)", 5360, false},
};

const std::vector<Step> kAddPortDisabledEntry = {
    {L"NetFwMgr.Create", 5120, true},
    {L"Mgr.get_LocalPolicy", 5130, true},
    {L"Policy.get_CurrentProfile", 5140, true},
    {L"Profile.get_GloballyOpenPorts", 5150, true},
    {L"Ports.Item(135,6)", 0, false},
    {L"Port.get_Enabled", 5210, false},
    {L"Port.put_Enabled(-1)", 5220, false},
};

const std::vector<Step> kAllowExceptions = {
    {L"NetFwMgr.Create", 3120, true},
    {L"Mgr.get_LocalPolicy", 3130, true},
    {L"Policy.get_CurrentProfile", 3140, true},
    {L"Profile.put_ExceptionsNotAllowed(0)", 3150, false},
};

App ServerEntry(const wchar_t* name, VARIANT_BOOL enabled) {
    App a;
    a.path = kServerPathW;
    a.name = name;
    a.enabled = enabled;
    return a;
}

Port PortEntry(LONG port, const wchar_t* name, VARIANT_BOOL enabled) {
    Port p;
    p.port = port;
    p.protocol = NET_FW_IP_PROTOCOL_TCP;
    p.name = name;
    p.enabled = enabled;
    return p;
}

}  // namespace

TEST(FwSetupLegacy, ProgramSeesAWindowsBeforeVista) {
    EXPECT_TRUE(fwtest::ReportsPreVista());
}

TEST_F(FwTest, LegacyAddAppAuthorisesANewProgramStepByStep) {
    fwtest::CheckEveryStep(
        kAddAppNewEntry, [](Firewall&) {}, [] { return FWAddApp(kServerPath); },
        [](const Firewall& fw, size_t) { EXPECT_TRUE(fw.apps.empty()) << "an entry was added before Add"; });

    Bench bench;
    ASSERT_EQ(0, bench.Run([] { return FWAddApp(kServerPath); }));
    ASSERT_EQ(1u, bench.fw.apps.size());
    EXPECT_EQ(kServerPathW, bench.fw.apps[0].path);
    EXPECT_EQ(L"OPC.Krel.Server", bench.fw.apps[0].name);
    EXPECT_EQ(VARIANT_TRUE, bench.fw.apps[0].enabled);
}

TEST_F(FwTest, LegacyAddAppEnablesADisabledEntryAndKeepsItsName) {
    fwtest::CheckEveryStep(
        kAddAppDisabledEntry, [](Firewall& fw) { fw.apps.push_back(ServerEntry(L"Old name", VARIANT_FALSE)); },
        [] { return FWAddApp(kServerPath); },
        [](const Firewall& fw, size_t) {
            ASSERT_EQ(1u, fw.apps.size());
            EXPECT_EQ(VARIANT_FALSE, fw.apps[0].enabled);
        });

    Bench bench;
    bench.fw.apps.push_back(ServerEntry(L"Old name", VARIANT_FALSE));
    ASSERT_EQ(0, bench.Run([] { return FWAddApp(kServerPath); }));
    ASSERT_EQ(1u, bench.fw.apps.size());
    EXPECT_EQ(L"Old name", bench.fw.apps[0].name);
    EXPECT_EQ(VARIANT_TRUE, bench.fw.apps[0].enabled);
}

TEST_F(FwTest, LegacyAddAppLeavesAnEnabledEntryAlone) {
    Bench bench;
    bench.fw.apps.push_back(ServerEntry(L"Old name", VARIANT_TRUE));
    ASSERT_EQ(0, bench.Run([] { return FWAddApp(kServerPath); }));
    EXPECT_EQ(fwfake::Joined(fwtest::Calls(kAddAppDisabledEntry, 6)), fwfake::Joined(bench.fw.calls));
    ASSERT_EQ(1u, bench.fw.apps.size());
    EXPECT_EQ(L"Old name", bench.fw.apps[0].name);
}

TEST_F(FwTest, LegacyAddAppAddsANewEntryWhenTheLookupFailsOrFindsNothing) {
    const FailMode modes[] = {FailMode::Error, FailMode::NullObject};
    for (FailMode mode : modes) {
        Bench bench;
        bench.fw.apps.push_back(ServerEntry(L"Old name", VARIANT_FALSE));
        bench.fw.FailAt(L"Apps.Item", mode);
        EXPECT_EQ(0, bench.Run([] { return FWAddApp(kServerPath); }));
        EXPECT_EQ(fwfake::Joined(fwtest::Calls(kAddAppNewEntry, kAddAppNewEntry.size())),
                  fwfake::Joined(bench.fw.calls));
        EXPECT_EQ(2u, bench.fw.apps.size());
    }
}

TEST_F(FwTest, LegacyTwoOpcEnumPathsAreTwoEntries) {
    Bench bench;
    EXPECT_EQ(0, bench.Run([] { return FWAddApp("C:\\windows\\System32\\OpcEnum.exe"); }));
    EXPECT_EQ(0, bench.Run([] { return FWAddApp("C:\\windows\\SysWOW64\\OpcEnum.exe"); }));
    ASSERT_EQ(2u, bench.fw.apps.size());
    EXPECT_EQ(L"C:\\windows\\System32\\OpcEnum.exe", bench.fw.apps[0].path);
    EXPECT_EQ(L"C:\\windows\\SysWOW64\\OpcEnum.exe", bench.fw.apps[1].path);
    EXPECT_EQ(L"OpcEnum", bench.fw.apps[0].name);
    EXPECT_EQ(L"OpcEnum", bench.fw.apps[1].name);
}

TEST_F(FwTest, LegacyAddPortOpensANewPortStepByStep) {
    fwtest::CheckEveryStep(
        kAddPortNewEntry, [](Firewall&) {}, [] { return FWAddPort("OPC.TCP.Port", 135); },
        [](const Firewall& fw, size_t) { EXPECT_TRUE(fw.ports.empty()) << "an entry was added before Add"; });

    Bench bench;
    // Only the low 16 bits count: 65536 + 135 is port 135.
    ASSERT_EQ(0, bench.Run([] { return FWAddPort("OPC.TCP.Port", 65536 + 135); }));
    EXPECT_EQ(fwfake::Joined(fwtest::Calls(kAddPortNewEntry, kAddPortNewEntry.size())), fwfake::Joined(bench.fw.calls));
    ASSERT_EQ(1u, bench.fw.ports.size());
    EXPECT_EQ(135, bench.fw.ports[0].port);
    EXPECT_EQ(NET_FW_IP_PROTOCOL_TCP, bench.fw.ports[0].protocol);
    EXPECT_EQ(L"OPC.TCP.Port", bench.fw.ports[0].name);
    EXPECT_EQ(VARIANT_TRUE, bench.fw.ports[0].enabled);
}

TEST_F(FwTest, LegacyAddPortOnlyEnsuresAnExistingEntryUnderAnotherNameIsOn) {
    fwtest::CheckEveryStep(
        kAddPortDisabledEntry, [](Firewall& fw) { fw.ports.push_back(PortEntry(135, L"DCOM", VARIANT_FALSE)); },
        [] { return FWAddPort("OPC.TCP.Port", 135); },
        [](const Firewall& fw, size_t) {
            ASSERT_EQ(1u, fw.ports.size());
            EXPECT_EQ(VARIANT_FALSE, fw.ports[0].enabled);
        });

    Bench bench;
    bench.fw.ports.push_back(PortEntry(135, L"DCOM", VARIANT_FALSE));
    ASSERT_EQ(0, bench.Run([] { return FWAddPort("OPC.TCP.Port", 135); }));
    ASSERT_EQ(1u, bench.fw.ports.size());
    EXPECT_EQ(L"DCOM", bench.fw.ports[0].name);
    EXPECT_EQ(VARIANT_TRUE, bench.fw.ports[0].enabled);

    bench.fw.calls.clear();
    ASSERT_EQ(0, bench.Run([] { return FWAddPort("OPC.TCP.Port", 135); }));
    EXPECT_EQ(fwfake::Joined(fwtest::Calls(kAddPortDisabledEntry, 6)), fwfake::Joined(bench.fw.calls))
        << "an enabled entry must be left alone";
}

TEST_F(FwTest, LegacyAllowExcClearsExceptionsNotAllowed) {
    fwtest::CheckEveryStep(
        kAllowExceptions, [](Firewall&) {}, [] { return FWAllowExc(); },
        [](const Firewall& fw, size_t) { EXPECT_EQ(VARIANT_TRUE, fw.exceptionsNotAllowed); });

    Bench bench;
    ASSERT_EQ(0, bench.Run([] { return FWAllowExc(); }));
    EXPECT_EQ(VARIANT_FALSE, bench.fw.exceptionsNotAllowed);
}

TEST_F(FwTest, LegacyTextsLongerThan260CharactersAreRefusedBeforeAnyCall) {
    const std::string path260 = "C:\\" + std::string(253, 'a') + ".exe";
    {
        Bench bench;
        EXPECT_EQ(0, bench.Run([&] { return FWAddApp(path260.c_str()); }));
        ASSERT_EQ(1u, bench.fw.apps.size());
        EXPECT_EQ(260u, bench.fw.apps[0].path.size());
    }
    Bench bench;
    EXPECT_EQ(1010, bench.Run([&] { return FWAddApp((path260 + "x").c_str()); }));
    EXPECT_EQ(1010, bench.Run([] { return FWAddApp(nullptr); }));
    EXPECT_EQ(5010, bench.Run([] { return FWAddPort(std::string(261, 'n').c_str(), 135); }));
    EXPECT_EQ(5010, bench.Run([] { return FWAddPort(nullptr, 135); }));
    EXPECT_EQ(L"", fwfake::Joined(bench.fw.calls)) << "a refused text reached the firewall";
}
