// The service main routine run inside the test process, with a recording
// service manager and the fake engine behind it.
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "FakeEngine.h"
#include "ServiceLog.h"
#include "SimService.h"
#include "TagTable.h"
#include "TagValueProvider.h"
#include "TestDirs.h"

// The provider is the one nothrow allocation the service makes; tests fail it on demand.
static volatile bool g_failNothrowNew = false;
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    if (g_failNothrowNew) return nullptr;
    try {
        return ::operator new(size);
    } catch (...) {
        return nullptr;
    }
}

namespace {

using simserver::ServiceControlApi;

// What the fake service manager saw.
std::mutex g_mutex;
std::condition_variable g_changed;
std::vector<SERVICE_STATUS> g_reports;
std::string g_registeredName;
LPHANDLER_FUNCTION g_handler = nullptr;
bool g_refuseRegistration = false;
SERVICE_STATUS_HANDLE const kStatusHandle = reinterpret_cast<SERVICE_STATUS_HANDLE>(0x5151);
bool g_wrongHandle = false;
std::string g_logWhenStopped;  // the log as it was when SERVICE_STOPPED was reported
const char kLogFile[] = "LOGGS\\ZubOpcSrv@14-02-2026.log";

SERVICE_STATUS_HANDLE WINAPI RecordRegistration(LPCSTR name, LPHANDLER_FUNCTION handler) {
    std::lock_guard<std::mutex> hold(g_mutex);
    g_registeredName = name ? name : "(null)";
    g_handler = handler;
    return g_refuseRegistration ? nullptr : kStatusHandle;
}

BOOL WINAPI RecordStatus(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS status) {
    std::lock_guard<std::mutex> hold(g_mutex);
    if (handle != kStatusHandle) g_wrongHandle = true;
    if (status->dwCurrentState == SERVICE_STOPPED) g_logWhenStopped = simtest::ReadFileBytes(kLogFile);
    g_reports.push_back(*status);
    g_changed.notify_all();
    return TRUE;
}

const ServiceControlApi kRecordingScm = {RecordRegistration, RecordStatus};

// What the fake engine's destroy probe saw: providers alive while the engine went.
long g_providersAtDestroy = -1;
void __cdecl ProbeAtDestroy() { g_providersAtDestroy = simserver::CTagValueProvider::LiveCount(); }

}  // namespace

namespace {

std::vector<std::string> Calls() {
    char buffer[8192];
    FakeEngine_Calls(buffer, sizeof buffer);
    std::vector<std::string> lines;
    std::string all = buffer;
    size_t start = 0;
    for (size_t nl; (nl = all.find('\n', start)) != std::string::npos; start = nl + 1) {
        lines.push_back(all.substr(start, nl - start));
    }
    return lines;
}

std::vector<std::string> ExpectedStartCalls(size_t tags) {
    std::vector<std::string> calls = {"Create", "SetValueProvider",
                                      "Start {5C473C23-71FF-47A5-9911-9BD1EC36847C}"};
    for (size_t i = 0; i < tags; ++i) {
        calls.push_back(std::string("AddTag ") + simserver::kSimulatedTags[i].name + " 4 1");
    }
    return calls;
}

SYSTEMTIME g_logTime;
void LogClock(SYSTEMTIME* now) { *now = g_logTime; }

class ServiceMainTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(simserver::InitServiceProcess());
        simserver::SetServiceControlApi(&kRecordingScm);
        ZeroMemory(&g_logTime, sizeof g_logTime);
        g_logTime.wYear = 2026;
        g_logTime.wMonth = 2;
        g_logTime.wDay = 14;
        g_logTime.wHour = 8;
        g_logTime.wMinute = 30;
        simserver::SetLogClock(LogClock);
        {
            std::lock_guard<std::mutex> hold(g_mutex);
            g_reports.clear();
            g_registeredName.clear();
            g_handler = nullptr;
            g_refuseRegistration = false;
            g_wrongHandle = false;
            g_logWhenStopped.clear();
        }
        g_failNothrowNew = false;
        g_providersAtDestroy = -1;
        FakeEngine_SetDestroyProbe(ProbeAtDestroy);
    }
    void TearDown() override {
        if (service_.joinable()) {
            Control(SERVICE_CONTROL_STOP);
            service_.join();
        }
        FakeEngine_SetDestroyProbe(nullptr);
        simserver::SetServiceControlApi(nullptr);
        simserver::SetLogClock(nullptr);
        EXPECT_FALSE(g_wrongHandle);
    }

    void StartService(const char* engineConfig) {
        FakeEngine_Configure(engineConfig);
        service_ = std::thread([] { simserver::ServiceMain(0, nullptr); });
    }

    // Waits for a report of `state`; false after 10 s.
    bool WaitFor(DWORD state) {
        std::unique_lock<std::mutex> hold(g_mutex);
        return g_changed.wait_for(hold, std::chrono::seconds(10), [state] {
            for (const SERVICE_STATUS& s : g_reports) {
                if (s.dwCurrentState == state) return true;
            }
            return false;
        });
    }

    void Control(DWORD control) {
        LPHANDLER_FUNCTION handler;
        {
            std::lock_guard<std::mutex> hold(g_mutex);
            handler = g_handler;
        }
        ASSERT_NE(nullptr, handler);
        handler(control);
    }

    // The routine logs "INICIADO" just after it reported RUNNING.
    std::string WaitForLog(const std::string& ending) {
        std::string text;
        for (int i = 0; i < 200; ++i) {
            text = simtest::ReadFileBytes(kLogFile);
            if (text.size() >= ending.size() &&
                text.compare(text.size() - ending.size(), ending.size(), ending) == 0) {
                break;
            }
            Sleep(10);
        }
        return text;
    }

    std::vector<SERVICE_STATUS> Reports() {
        std::lock_guard<std::mutex> hold(g_mutex);
        return g_reports;
    }

    // Every report: own-process type 0x30, stop and shutdown accepted, no progress hints.
    void ExpectStates(const std::vector<DWORD>& states) {
        std::vector<SERVICE_STATUS> reports = Reports();
        ASSERT_EQ(states.size(), reports.size());
        for (size_t i = 0; i < reports.size(); ++i) {
            EXPECT_EQ(states[i], reports[i].dwCurrentState) << "report " << i;
            EXPECT_EQ(0x30u, reports[i].dwServiceType);
            EXPECT_EQ(5u, reports[i].dwControlsAccepted);
            EXPECT_EQ(0u, reports[i].dwCheckPoint);
            EXPECT_EQ(0u, reports[i].dwWaitHint);
        }
    }

    void RunFailingStart(const char* engineConfig) {
        StartService(engineConfig);
        service_.join();
        ExpectStates({SERVICE_START_PENDING, SERVICE_STOPPED});
    }

    // The last line is on disk before the manager hears "stopped".
    void ExpectLogBeforeStopped(const std::string& log) {
        EXPECT_EQ(log, simtest::ReadFileBytes(kLogFile));
        std::lock_guard<std::mutex> hold(g_mutex);
        EXPECT_EQ(log, g_logWhenStopped);
    }

    void ExpectExitCodes(DWORD win32, DWORD specific) {
        std::vector<SERVICE_STATUS> reports = Reports();
        ASSERT_FALSE(reports.empty());
        EXPECT_EQ(win32, reports.back().dwWin32ExitCode);
        EXPECT_EQ(specific, reports.back().dwServiceSpecificExitCode);
        for (size_t i = 0; i + 1 < reports.size(); ++i) EXPECT_EQ(0u, reports[i].dwWin32ExitCode);
    }

    simtest::ScratchCurrentDir scratch_;
    std::thread service_;
};

class StopControlTest : public ServiceMainTest, public ::testing::WithParamInterface<DWORD> {};

TEST_P(StopControlTest, RunsDeclaresTheTagsAndCleansUpInOrder) {
    const long providersBefore = simserver::CTagValueProvider::LiveCount();
    StartService("");
    ASSERT_TRUE(WaitFor(SERVICE_RUNNING));
    EXPECT_EQ("OPC Krel Server", g_registeredName);
    EXPECT_EQ(ExpectedStartCalls(16), Calls());
    EXPECT_EQ("14-02-2026 08:30:00\tINICIADO\r\n", WaitForLog("INICIADO\r\n"));
    EXPECT_EQ(providersBefore + 1, simserver::CTagValueProvider::LiveCount());
    EXPECT_NE(nullptr, FakeEngine_Provider());

    g_logTime.wMinute = 45;
    Control(GetParam());
    service_.join();

    std::vector<std::string> expected = ExpectedStartCalls(16);
    expected.push_back("Stop");
    expected.push_back("Destroy com=1");
    EXPECT_EQ(expected, Calls());
    // The engine went while the provider was still there; the provider went after.
    EXPECT_EQ(providersBefore + 1, g_providersAtDestroy);
    EXPECT_EQ(providersBefore, simserver::CTagValueProvider::LiveCount());
    ExpectStates({SERVICE_START_PENDING, SERVICE_RUNNING, SERVICE_STOP_PENDING, SERVICE_STOPPED});
    ExpectExitCodes(0, 0);
    ExpectLogBeforeStopped("14-02-2026 08:30:00\tINICIADO\r\n14-02-2026 08:45:00\tDETENIDO\r\n");
}

INSTANTIATE_TEST_SUITE_P(StopAndShutdown, StopControlTest,
                         ::testing::Values(static_cast<DWORD>(SERVICE_CONTROL_STOP),
                                           static_cast<DWORD>(SERVICE_CONTROL_SHUTDOWN)));

TEST_F(ServiceMainTest, OtherControlsAreIgnoredWithoutAReport) {
    StartService("");
    ASSERT_TRUE(WaitFor(SERVICE_RUNNING));
    const DWORD others[] = {SERVICE_CONTROL_INTERROGATE, SERVICE_CONTROL_PAUSE,
                            SERVICE_CONTROL_CONTINUE, SERVICE_CONTROL_PARAMCHANGE, 128, 255};
    for (DWORD control : others) {
        Control(control);
    }
    Sleep(200);
    ExpectStates({SERVICE_START_PENDING, SERVICE_RUNNING});
    EXPECT_EQ(ExpectedStartCalls(16), Calls());

    Control(SERVICE_CONTROL_STOP);
    service_.join();
    ExpectStates({SERVICE_START_PENDING, SERVICE_RUNNING, SERVICE_STOP_PENDING, SERVICE_STOPPED});
}

TEST_F(ServiceMainTest, NoServerObjectGives1002AndTouchesNothingElse) {
    const long providersBefore = simserver::CTagValueProvider::LiveCount();
    RunFailingStart("fail=create");
    ExpectExitCodes(ERROR_SERVICE_SPECIFIC_ERROR, 1002);
    EXPECT_EQ(std::vector<std::string>{"Create"}, Calls());
    EXPECT_EQ(providersBefore, simserver::CTagValueProvider::LiveCount());
    ExpectLogBeforeStopped("14-02-2026 08:30:00\tNO INICIADO (1002)\r\n");
}

TEST_F(ServiceMainTest, NoProviderGives1003AndDestroysTheServerWithoutStop) {
    // A full run first: a stale Start result must not make the next clean-up call Stop.
    StartService("");
    ASSERT_TRUE(WaitFor(SERVICE_RUNNING));
    Control(SERVICE_CONTROL_STOP);
    service_.join();
    {
        std::lock_guard<std::mutex> hold(g_mutex);
        g_reports.clear();
    }

    g_failNothrowNew = true;
    RunFailingStart("");
    g_failNothrowNew = false;
    ExpectExitCodes(ERROR_SERVICE_SPECIFIC_ERROR, 1003);
    EXPECT_EQ((std::vector<std::string>{"Create", "Destroy com=1"}), Calls());
    ExpectLogBeforeStopped("14-02-2026 08:30:00\tINICIADO\r\n14-02-2026 08:30:00\tDETENIDO\r\n"
                           "14-02-2026 08:30:00\tNO INICIADO (1003)\r\n");
}

TEST_F(ServiceMainTest, FailedStartGives1004WithoutStopAndProviderOutlivesServer) {
    const long providersBefore = simserver::CTagValueProvider::LiveCount();
    RunFailingStart("fail=start");
    ExpectExitCodes(ERROR_SERVICE_SPECIFIC_ERROR, 1004);
    EXPECT_EQ((std::vector<std::string>{"Create", "SetValueProvider",
                                        "Start {5C473C23-71FF-47A5-9911-9BD1EC36847C}",
                                        "Destroy com=1"}),
              Calls());
    EXPECT_EQ(providersBefore + 1, g_providersAtDestroy);
    EXPECT_EQ(providersBefore, simserver::CTagValueProvider::LiveCount());
    ExpectLogBeforeStopped("14-02-2026 08:30:00\tNO INICIADO (1004)\r\n");
}

class RefusedTagTest : public ServiceMainTest, public ::testing::WithParamInterface<int> {};

TEST_P(RefusedTagTest, Gives1005AfterStopAndDeclaresNoLaterRow) {
    const int refused = GetParam();
    const long providersBefore = simserver::CTagValueProvider::LiveCount();
    RunFailingStart(("fail=addtag:" + std::to_string(refused)).c_str());
    ExpectExitCodes(ERROR_SERVICE_SPECIFIC_ERROR, 1005);
    std::vector<std::string> expected = ExpectedStartCalls(static_cast<size_t>(refused) + 1);
    expected.push_back("Stop");
    expected.push_back("Destroy com=1");
    EXPECT_EQ(expected, Calls());
    EXPECT_EQ(providersBefore + 1, g_providersAtDestroy);
    EXPECT_EQ(providersBefore, simserver::CTagValueProvider::LiveCount());
    ExpectLogBeforeStopped("14-02-2026 08:30:00\tNO INICIADO (1005)\r\n");
}

INSTANTIATE_TEST_SUITE_P(FirstMiddleLast, RefusedTagTest, ::testing::Values(0, 7, 15));

TEST_F(ServiceMainTest, RefusedRegistrationEndsSilently) {
    g_refuseRegistration = true;
    StartService("");
    service_.join();
    EXPECT_EQ("OPC Krel Server", g_registeredName);
    EXPECT_TRUE(Reports().empty());
    EXPECT_TRUE(Calls().empty());
    EXPECT_FALSE(simtest::FileExists("LOGGS"));
}

// Windows refuses at once; Wine waits about 10 s for the service manager first.
TEST(ServiceProgram, DispatcherReturnsOutsideTheServiceManager) {
    ASSERT_TRUE(simserver::InitServiceProcess());
    FakeEngine_Configure("");
    DWORD started = GetTickCount();
    EXPECT_EQ(0, simserver::RunServiceDispatcher());
    EXPECT_LT(GetTickCount() - started, 30000u);
    EXPECT_TRUE(Calls().empty());
}

}  // namespace
