// FwSetup against the firewall of Vista and later (Wine's default version).
#include <windows.h>

#include <stdlib.h>

#include <string>
#include <thread>

#include "FwTestSupport.h"
#include "kit_exports.h"

using fwfake::FailMode;
using fwfake::Firewall;
using fwfake::Rule;
using fwtest::Bench;
using fwtest::FwTest;
using fwtest::Step;

namespace {

const char kServerPath[] = "C:\\Kit\\OPC.Krel.Server.exe";
const wchar_t kServerPathW[] = L"C:\\Kit\\OPC.Krel.Server.exe";

const std::vector<Step> kAddAppNewRule = {
    {L"NetFwPolicy2.Create", 2120, true},
    {L"Policy2.get_Rules", 2130, true},
    {L"Rules.Item(OPC.Krel.Server)", 0, false},
    {L"NetFwRule.Create", 2210, true},
    {L"Rule.put_Name(OPC.Krel.Server)", 2220, false},
    {L"Rule.put_Description(OPC.Krel.Server)", 2230, false},
    {L"Rule.put_ApplicationName(C:\\Kit\\OPC.Krel.Server.exe)", 2240, false},
    {L"Rule.put_Protocol(6)", 2250, false},
    {L"Rule.put_Enabled(-1)", 2260, false},
    {L"Rule.put_Profiles(2147483647)", 2270, false},
    {L"Rule.put_Action(1)", 2280, false},
    {L"Rules.Add(Rule)", 2290, false},
};

const std::vector<Step> kAddAppExistingRule = {
    {L"NetFwPolicy2.Create", 2120, true},
    {L"Policy2.get_Rules", 2130, true},
    {L"Rules.Item(OPC.Krel.Server)", 0, false},
    {L"Rule.put_Description(OPC.Krel.Server)", 2330, false},
    {L"Rule.put_ApplicationName(C:\\Kit\\OPC.Krel.Server.exe)", 2340, false},
    {L"Rule.put_Protocol(6)", 2350, false},
    {L"Rule.put_Enabled(-1)", 2360, false},
    {L"Rule.put_Profiles(2147483647)", 2370, false},
    {L"Rule.put_Action(1)", 2380, false},
};

const std::vector<Step> kAddPortNewRule = {
    {L"NetFwPolicy2.Create", 6120, true},
    {L"Policy2.get_Rules", 6130, true},
    {L"Rules.Item(OPC.TCP.Port)", 0, false},
    {L"NetFwRule.Create", 6210, true},
    {L"Rule.put_Name(OPC.TCP.Port)", 6220, false},
    {L"Rule.put_Description(OPC.TCP.Port)", 6230, false},
    {L"Rule.put_Protocol(6)", 6240, false},
    {L"Rule.put_LocalPorts(135)", 6250, false},
    {L"Rule.put_Enabled(-1)", 6260, false},
    {L"Rule.put_Profiles(2147483647)", 6270, false},
    {L"Rule.put_Action(1)", 6280, false},
    {L"Rules.Add(Rule)", 6290, false},
};

const std::vector<Step> kAddPortExistingRule = {
    {L"NetFwPolicy2.Create", 6120, true},
    {L"Policy2.get_Rules", 6130, true},
    {L"Rules.Item(OPC.TCP.Port)", 0, false},
    {L"Rule.put_Description(OPC.TCP.Port)", 6330, false},
    {L"Rule.put_Protocol(6)", 6340, false},
    {L"Rule.put_LocalPorts(135)", 6350, false},
    {L"Rule.put_Enabled(-1)", 6360, false},
    {L"Rule.put_Profiles(2147483647)", 6370, false},
    {L"Rule.put_Action(1)", 6380, false},
};

const std::vector<Step> kAllowExceptions = {
    {L"NetFwPolicy2.Create", 4120, true},
    {L"Policy2.put_BlockAllInboundTraffic(4,0)", 4130, false},
    {L"Policy2.put_BlockAllInboundTraffic(2,0)", 4140, false},
    {L"Policy2.put_BlockAllInboundTraffic(1,0)", 4150, false},
};

// A rule somebody made by hand for another program.
Rule HandMadeRule(const wchar_t* name) {
    Rule r;
    r.name = name;
    r.description = L"made by hand";
    r.application = L"C:\\Other\\other.exe";
    r.localPorts = L"80";
    r.grouping = L"Mine";
    r.protocol = NET_FW_IP_PROTOCOL_UDP;
    r.enabled = VARIANT_FALSE;
    r.profiles = NET_FW_PROFILE2_DOMAIN;
    r.action = NET_FW_ACTION_BLOCK;
    r.direction = NET_FW_RULE_DIR_OUT;
    return r;
}

void ExpectOpenForAll(const Rule& r) {
    EXPECT_EQ(NET_FW_IP_PROTOCOL_TCP, r.protocol);
    EXPECT_EQ(VARIANT_TRUE, r.enabled);
    EXPECT_EQ(0x7FFFFFFF, r.profiles);
    EXPECT_EQ(NET_FW_ACTION_ALLOW, r.action);
}

std::wstring Widened(const std::string& s) {
    std::wstring w;
    for (unsigned char c : s) w += static_cast<wchar_t>(c);
    return w;
}

}  // namespace

TEST(FwSetupLibrary, ExportsExactlyTheThreeDecoratedNames) {
    HMODULE dll = GetModuleHandleA("FwSetup.dll");
    ASSERT_NE(nullptr, dll);
    const BYTE* base = reinterpret_cast<const BYTE*>(dll);
    const IMAGE_NT_HEADERS* nt =
        reinterpret_cast<const IMAGE_NT_HEADERS*>(base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
    #ifdef _WIN64
    EXPECT_EQ(IMAGE_FILE_MACHINE_AMD64, nt->FileHeader.Machine);
#else
    EXPECT_EQ(IMAGE_FILE_MACHINE_I386, nt->FileHeader.Machine);
#endif
    const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    ASSERT_NE(0u, dir.VirtualAddress);
    const IMAGE_EXPORT_DIRECTORY* exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + dir.VirtualAddress);
    EXPECT_EQ(3u, exports->NumberOfFunctions);
    std::vector<std::string> names;
    const DWORD* nameRvas = reinterpret_cast<const DWORD*>(base + exports->AddressOfNames);
    for (DWORD i = 0; i < exports->NumberOfNames; ++i) names.emplace_back(reinterpret_cast<const char*>(base + nameRvas[i]));
    EXPECT_EQ((std::vector<std::string>{KIT_STDCALL_NAME(FWAddApp, 4), KIT_STDCALL_NAME(FWAddPort, 8),
                                          KIT_STDCALL_NAME(FWAllowExc, 0)}), names);
}

TEST_F(FwTest, AddAppWritesANewRuleStepByStep) {
    fwtest::CheckEveryStep(
        kAddAppNewRule, [](Firewall&) {}, [] { return FWAddApp(kServerPath); },
        [](const Firewall& fw, size_t) { EXPECT_TRUE(fw.rules.empty()) << "a rule was added before Add"; });

    Bench bench;
    ASSERT_EQ(0, bench.Run([] { return FWAddApp(kServerPath); }));
    ASSERT_EQ(1u, bench.fw.rules.size());
    const Rule& r = bench.fw.rules[0];
    EXPECT_EQ(L"OPC.Krel.Server", r.name);
    EXPECT_EQ(L"OPC.Krel.Server", r.description);
    EXPECT_EQ(kServerPathW, r.application);
    EXPECT_EQ(L"", r.localPorts);
    ExpectOpenForAll(r);
}

TEST_F(FwTest, AddAppTakesOverARuleOfTheSameName) {
    fwtest::CheckEveryStep(
        kAddAppExistingRule, [](Firewall& fw) { fw.rules.push_back(HandMadeRule(L"OPC.Krel.Server")); },
        [] { return FWAddApp(kServerPath); },
        [](const Firewall& fw, size_t failed) {
            ASSERT_EQ(1u, fw.rules.size());
            // What was written before the failing step stays written.
            EXPECT_EQ(failed > 3 ? L"OPC.Krel.Server" : L"made by hand", fw.rules[0].description);
            EXPECT_EQ(failed > 4 ? kServerPathW : L"C:\\Other\\other.exe", fw.rules[0].application);
        });

    Bench bench;
    bench.fw.rules.push_back(HandMadeRule(L"OPC.Krel.Server"));
    ASSERT_EQ(0, bench.Run([] { return FWAddApp(kServerPath); }));
    ASSERT_EQ(1u, bench.fw.rules.size());
    const Rule& r = bench.fw.rules[0];
    EXPECT_EQ(L"OPC.Krel.Server", r.name);
    EXPECT_EQ(L"OPC.Krel.Server", r.description);
    EXPECT_EQ(kServerPathW, r.application);
    ExpectOpenForAll(r);
    EXPECT_EQ(NET_FW_RULE_DIR_OUT, r.direction);
    EXPECT_EQ(L"Mine", r.grouping);
    EXPECT_EQ(L"80", r.localPorts);
}

TEST_F(FwTest, AddAppWritesANewRuleWhenTheLookupFailsOrFindsNothing) {
    const FailMode modes[] = {FailMode::Error, FailMode::NullObject};
    for (FailMode mode : modes) {
        Bench bench;
        bench.fw.rules.push_back(HandMadeRule(L"OPC.Krel.Server"));
        bench.fw.FailAt(L"Rules.Item", mode);
        EXPECT_EQ(0, bench.Run([] { return FWAddApp(kServerPath); }));
        EXPECT_EQ(fwfake::Joined(fwtest::Calls(kAddAppNewRule, kAddAppNewRule.size())), fwfake::Joined(bench.fw.calls));
        ASSERT_EQ(2u, bench.fw.rules.size());
        EXPECT_EQ(L"C:\\Other\\other.exe", bench.fw.rules[0].application);
        EXPECT_EQ(kServerPathW, bench.fw.rules[1].application);
    }
}

TEST_F(FwTest, TwoOpcEnumPathsShareOneRuleThatNamesTheSecond) {
    Bench bench;
    EXPECT_EQ(0, bench.Run([] { return FWAddApp("C:\\windows\\System32\\OpcEnum.exe"); }));
    bench.fw.calls.clear();
    EXPECT_EQ(0, bench.Run([] { return FWAddApp("C:\\windows\\SysWOW64\\OpcEnum.exe"); }));
    ASSERT_EQ(1u, bench.fw.rules.size());
    EXPECT_EQ(L"OpcEnum", bench.fw.rules[0].name);
    EXPECT_EQ(L"C:\\windows\\SysWOW64\\OpcEnum.exe", bench.fw.rules[0].application);
    // The second call rewrites the rule in place; it does not add another.
    ASSERT_EQ(9u, bench.fw.calls.size());
    EXPECT_EQ(L"Rule.put_ApplicationName(C:\\windows\\SysWOW64\\OpcEnum.exe)", bench.fw.calls[4]);
}

TEST_F(FwTest, EntryNameIsTheFileNameWithoutDirectoryAndLastExtension) {
    const struct {
        const char* path;
        const wchar_t* name;
    } cases[] = {
        {"C:\\Kit\\OPC.Krel.Server.exe", L"OPC.Krel.Server"},
        {"C:\\windows\\System32\\OpcEnum.exe", L"OpcEnum"},
        {"C:\\tools.v2\\probe", L"probe"},
        {"C:/Kit/forward.exe", L"forward"},
        {"D:archive.tar.gz", L"archive.tar"},
        {"plain.exe", L"plain"},
        {"C:\\Kit\\.profile", L""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        char splitName[_MAX_FNAME];
        _splitpath(c.path, nullptr, nullptr, splitName, nullptr);
        EXPECT_EQ(Widened(splitName), c.name) << "differs from the C library's splitter";
        Bench bench;
        EXPECT_EQ(0, bench.Run([&] { return FWAddApp(c.path); }));
        ASSERT_EQ(1u, bench.fw.rules.size());
        EXPECT_EQ(c.name, bench.fw.rules[0].name);
        EXPECT_EQ(c.name, bench.fw.rules[0].description);
        EXPECT_EQ(Widened(c.path), bench.fw.rules[0].application);
    }
}

TEST_F(FwTest, TextIsWidenedByteForByte) {
    // 0x80 is the euro sign in Windows-1252; byte for byte it stays U+0080.
    const char path[] = "C:\\Se\xF1" "al\\Op\xE9\x80\x9F.exe";
    Bench bench;
    EXPECT_EQ(0, bench.Run([&] { return FWAddApp(path); }));
    ASSERT_EQ(1u, bench.fw.rules.size());
    EXPECT_EQ(L"C:\\Se\u00F1al\\Op\u00E9\u0080\u009F.exe", bench.fw.rules[0].application);
    EXPECT_EQ(L"Op\u00E9\u0080\u009F", bench.fw.rules[0].name);

    bench.fw.rules.clear();
    EXPECT_EQ(0, bench.Run([] { return FWAddPort("Puerto \xD1" "o\x80", 135); }));
    ASSERT_EQ(1u, bench.fw.rules.size());
    EXPECT_EQ(L"Puerto \u00D1o\u0080", bench.fw.rules[0].name);
}

TEST_F(FwTest, TextsOfUpTo260CharactersAreAcceptedAndLongerOnesRefusedBeforeAnyCall) {
    const std::string path260 = "C:\\" + std::string(253, 'a') + ".exe";
    const std::string file260 = std::string(256, 'b') + ".exe";  // a file name longer than _MAX_FNAME
    ASSERT_EQ(260u, path260.size());
    ASSERT_EQ(260u, file260.size());
    {
        Bench bench;
        EXPECT_EQ(0, bench.Run([&] { return FWAddApp(path260.c_str()); }));
        ASSERT_EQ(1u, bench.fw.rules.size());
        EXPECT_EQ(Widened(path260), bench.fw.rules[0].application);
        EXPECT_EQ(std::wstring(253, L'a'), bench.fw.rules[0].name);
    }
    {
        Bench bench;
        EXPECT_EQ(0, bench.Run([&] { return FWAddApp(file260.c_str()); }));
        ASSERT_EQ(1u, bench.fw.rules.size());
        EXPECT_EQ(std::wstring(256, L'b'), bench.fw.rules[0].name);
    }
    {
        Bench bench;
        EXPECT_EQ(0, bench.Run([] { return FWAddPort(std::string(260, 'n').c_str(), 135); }));
        ASSERT_EQ(1u, bench.fw.rules.size());
        EXPECT_EQ(std::wstring(260, L'n'), bench.fw.rules[0].name);
    }
    Bench bench;
    EXPECT_EQ(2010, bench.Run([&] { return FWAddApp((path260 + "x").c_str()); }));
    EXPECT_EQ(2010, bench.Run([&] { return FWAddApp(std::string(1000, 'c').c_str()); }));
    EXPECT_EQ(2010, bench.Run([] { return FWAddApp(nullptr); }));
    EXPECT_EQ(6010, bench.Run([] { return FWAddPort(std::string(261, 'n').c_str(), 135); }));
    EXPECT_EQ(6010, bench.Run([] { return FWAddPort(nullptr, 135); }));
    EXPECT_EQ(L"", fwfake::Joined(bench.fw.calls)) << "a refused text reached the firewall";
}

TEST_F(FwTest, AddPortWritesANewRuleStepByStep) {
    fwtest::CheckEveryStep(
        kAddPortNewRule, [](Firewall&) {}, [] { return FWAddPort("OPC.TCP.Port", 135); },
        [](const Firewall& fw, size_t) { EXPECT_TRUE(fw.rules.empty()) << "a rule was added before Add"; });

    Bench bench;
    ASSERT_EQ(0, bench.Run([] { return FWAddPort("OPC.TCP.Port", 135); }));
    ASSERT_EQ(1u, bench.fw.rules.size());
    const Rule& r = bench.fw.rules[0];
    EXPECT_EQ(L"OPC.TCP.Port", r.name);
    EXPECT_EQ(L"OPC.TCP.Port", r.description);
    EXPECT_EQ(L"135", r.localPorts);
    EXPECT_EQ(L"", r.application);
    ExpectOpenForAll(r);
}

TEST_F(FwTest, AddPortRewritesARuleOfTheSameNameButNotItsProgram) {
    fwtest::CheckEveryStep(
        kAddPortExistingRule, [](Firewall& fw) { fw.rules.push_back(HandMadeRule(L"OPC.TCP.Port")); },
        [] { return FWAddPort("OPC.TCP.Port", 135); },
        [](const Firewall& fw, size_t failed) {
            ASSERT_EQ(1u, fw.rules.size());
            EXPECT_EQ(failed > 4 ? NET_FW_IP_PROTOCOL_TCP : NET_FW_IP_PROTOCOL_UDP, fw.rules[0].protocol);
        });

    Bench bench;
    bench.fw.rules.push_back(HandMadeRule(L"OPC.TCP.Port"));
    ASSERT_EQ(0, bench.Run([] { return FWAddPort("OPC.TCP.Port", 135); }));
    ASSERT_EQ(1u, bench.fw.rules.size());
    const Rule& r = bench.fw.rules[0];
    EXPECT_EQ(L"135", r.localPorts);
    EXPECT_EQ(L"C:\\Other\\other.exe", r.application);
    EXPECT_EQ(NET_FW_RULE_DIR_OUT, r.direction);
    ExpectOpenForAll(r);
}

TEST_F(FwTest, OnlyTheLow16BitsOfThePortCount) {
    const struct {
        int port;
        const wchar_t* text;
    } cases[] = {{65536 + 135, L"135"}, {-1, L"65535"}, {0x12345678, L"22136"}, {65535, L"65535"}, {0, L"0"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.port);
        Bench bench;
        EXPECT_EQ(0, bench.Run([&] { return FWAddPort("OPC.TCP.Port", c.port); }));
        ASSERT_EQ(1u, bench.fw.rules.size());
        EXPECT_EQ(c.text, bench.fw.rules[0].localPorts);
    }
}

TEST_F(FwTest, AllowExcUnblocksPublicPrivateAndDomainInThatOrder) {
    fwtest::CheckEveryStep(
        kAllowExceptions, [](Firewall&) {}, [] { return FWAllowExc(); },
        [](const Firewall& fw, size_t failed) {
            // Profiles switched before the failure stay switched.
            EXPECT_EQ(failed > 1 ? 1u : 0u, fw.blockAllInbound.count(NET_FW_PROFILE2_PUBLIC));
            EXPECT_EQ(failed > 2 ? 1u : 0u, fw.blockAllInbound.count(NET_FW_PROFILE2_PRIVATE));
            EXPECT_EQ(0u, fw.blockAllInbound.count(NET_FW_PROFILE2_DOMAIN));
        });

    Bench bench;
    ASSERT_EQ(0, bench.Run([] { return FWAllowExc(); }));
    ASSERT_EQ(0, bench.Run([] { return FWAllowExc(); }));  // written every time
    EXPECT_EQ(8u, bench.fw.calls.size());
    EXPECT_EQ(3u, bench.fw.blockAllInbound.size());
    for (const auto& p : bench.fw.blockAllInbound) EXPECT_EQ(VARIANT_FALSE, p.second);
}

// The caller's thread already lives in the multithreaded apartment: FwSetup
// works there and leaves that apartment as it was.
TEST(FwSetupThreads, CallsWorkOnAThreadAlreadyInTheMultithreadedApartment) {
    int app = -1, port = -1, allow = -1;
    HRESULT asSta = S_OK, asMta = S_OK;
    size_t rules = 0;
    std::thread worker([&] {
        if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return;
        {
            Bench bench;
            app = bench.Run([] { return FWAddApp(kServerPath); });
            port = bench.Run([] { return FWAddPort("OPC.TCP.Port", 135); });
            allow = bench.Run([] { return FWAllowExc(); });
            rules = bench.fw.rules.size();
        }
        asSta = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        if (SUCCEEDED(asSta)) CoUninitialize();
        asMta = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        if (SUCCEEDED(asMta)) CoUninitialize();
        CoUninitialize();
    });
    worker.join();
    EXPECT_EQ(0, app);
    EXPECT_EQ(0, port);
    EXPECT_EQ(0, allow);
    EXPECT_EQ(2u, rules);
    EXPECT_EQ(RPC_E_CHANGED_MODE, asSta) << "the thread left the multithreaded apartment";
    EXPECT_EQ(S_FALSE, asMta) << "COM was uninitialised on a thread FwSetup did not initialise";
}

TEST(FwSetupThreads, BstrWatchSeesAnUnfreedBstr) {
    // The BSTR checks of every test rest on this.
    fwtest::StartBstrWatch();
    BSTR s = SysAllocString(L"kept");
    EXPECT_EQ(L"kept\n", fwfake::Joined(fwtest::LeftoverBstrs()));
    SysFreeString(s);
    EXPECT_EQ(L"", fwfake::Joined(fwtest::LeftoverBstrs()));
}
