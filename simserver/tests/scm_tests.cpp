// OPC.Krel.Server linked with the fake engine, run by Wine's service manager:
// states and exit codes as the manager sees them, the log in the Windows folder,
// and the engine calls the fake wrote beside itself.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "ScmTestSupport.h"
#include "TagTable.h"
#include "TagValueProvider.h"

namespace {

using simtest::ExeDir;
using simtest::FileTail;
using simtest::InstalledService;

const char kFakeServiceExe[] = "OPC.Krel.Server.fake.exe";

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

class ServiceUnderScmTest : public ::testing::Test {
protected:
    void SetUp() override {
        cfg_ = ExeDir() + "\\FakeKetraOPCServer.cfg";
        calls_ = ExeDir() + "\\FakeKetraOPCServer.calls";
        DeleteFileA(calls_.c_str());
    }
    void TearDown() override {
        service_.reset();  // stops and removes it
        DeleteFileA(cfg_.c_str());
        DeleteFileA(calls_.c_str());
    }

    void Install(const char* engineConfig) {
        FILE* f = std::fopen(cfg_.c_str(), "wb");
        ASSERT_NE(nullptr, f);
        std::fputs(engineConfig, f);
        std::fclose(f);
        service_.reset(new InstalledService(kFakeServiceExe));
        ASSERT_TRUE(service_->installed()) << GetLastError();
    }

    std::vector<std::string> Calls() const { return Lines(simtest::ReadFileBytes(calls_)); }

    std::string cfg_;
    std::string calls_;
    std::unique_ptr<InstalledService> service_;
};

TEST_F(ServiceUnderScmTest, StartsServesThroughTheProviderAndStopsWithExitCodeZero) {
    Install("read");
    FileTail log(simtest::TodaysServiceLog());
    ASSERT_TRUE(service_->Start()) << GetLastError();
    SERVICE_STATUS status = service_->WaitFor(SERVICE_RUNNING);
    ASSERT_EQ(static_cast<DWORD>(SERVICE_RUNNING), status.dwCurrentState);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN),
              status.dwControlsAccepted);
    std::string added = log.WaitFor("INICIADO");
    ASSERT_EQ(1u, Lines(added).size()) << added;
    EXPECT_EQ("\tINICIADO", Lines(added)[0].substr(19));

    // Each tag is declared, then read once through the service's provider: a fresh
    // process starts the one shared sequence at the default seed.
    std::vector<std::string> calls = Calls();
    ASSERT_EQ(3u + 2 * 16, calls.size());
    EXPECT_EQ("Create", calls[0]);
    EXPECT_EQ("SetValueProvider", calls[1]);
    EXPECT_EQ("Start {5C473C23-71FF-47A5-9911-9BD1EC36847C}", calls[2]);
    simserver::CSimRandom reference;
    for (int row = 0; row < 16; ++row) {
        const char* name = simserver::kSimulatedTags[row].name;
        EXPECT_EQ(std::string("AddTag ") + name + " 4 1", calls[3 + 2 * row]);
        char value[32];
        std::snprintf(value, sizeof value, "%.6g",
                      static_cast<double>(static_cast<float>(reference.Next() % 10 * 0.1f + (row + 1))));
        EXPECT_EQ(std::string("Read ") + name + " rc=0 vt=4 value=" + value + " quality=192 stamp=0.0",
                  calls[4 + 2 * row]);
    }

    FileTail stopLog(simtest::TodaysServiceLog());
    ASSERT_TRUE(service_->Control(SERVICE_CONTROL_STOP)) << GetLastError();
    status = service_->WaitFor(SERVICE_STOPPED);
    ASSERT_EQ(static_cast<DWORD>(SERVICE_STOPPED), status.dwCurrentState);
    EXPECT_EQ(0u, status.dwWin32ExitCode);
    EXPECT_EQ("\tDETENIDO", Lines(stopLog.WaitFor("DETENIDO")).at(0).substr(19));

    calls = Calls();
    ASSERT_EQ(3u + 2 * 16 + 2, calls.size());
    EXPECT_EQ("Stop", calls[calls.size() - 2]);
    EXPECT_EQ("Destroy com=1", calls.back());
}

struct FailingStart {
    const char* engineConfig;
    DWORD specificCode;
    std::vector<std::string> callsAfterStart;  // after Create/SetValueProvider/Start
};

class FailingStartUnderScmTest : public ServiceUnderScmTest,
                                 public ::testing::WithParamInterface<FailingStart> {};

TEST_P(FailingStartUnderScmTest, EndsWith1066AndTheServiceSpecificCode) {
    const FailingStart& c = GetParam();
    Install(c.engineConfig);
    FileTail log(simtest::TodaysServiceLog());
    service_->Start();  // may already see the service gone again
    SERVICE_STATUS status = service_->WaitFor(SERVICE_STOPPED);
    ASSERT_EQ(static_cast<DWORD>(SERVICE_STOPPED), status.dwCurrentState);
    EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_SPECIFIC_ERROR), status.dwWin32ExitCode);
    EXPECT_EQ(c.specificCode, status.dwServiceSpecificExitCode);

    std::string expected = "\tNO INICIADO (" + std::to_string(c.specificCode) + ")";
    std::vector<std::string> lines = Lines(log.WaitFor(expected));
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ(expected, lines[0].substr(19));

    std::vector<std::string> calls = Calls();
    std::vector<std::string> tail(calls.begin() + std::min<size_t>(calls.size(), 3), calls.end());
    EXPECT_EQ(c.callsAfterStart, tail);
}

INSTANTIATE_TEST_SUITE_P(
    Codes, FailingStartUnderScmTest,
    ::testing::Values(FailingStart{"fail=create", 1002, {}},
                      FailingStart{"fail=start", 1004, {"Destroy com=1"}},
                      FailingStart{"fail=addtag:0", 1005,
                                   {"AddTag Bomba.1H.Aceleracion 4 1", "Stop", "Destroy com=1"}}));

BOOL CALLBACK CountResource(HMODULE, LPCSTR, LPSTR, LONG_PTR count) {
    ++*reinterpret_cast<int*>(count);
    return TRUE;
}

// What Windows and the service manager read from the program file itself.
TEST(ServiceProgramFile, IsAWindowedProgramWithManifestAndOneIconGroup) {
    std::string path = ExeDir() + "\\" + kFakeServiceExe;
    HMODULE image = LoadLibraryExA(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(nullptr, image);

    HRSRC found = FindResourceA(image, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24));  // RT_MANIFEST
    ASSERT_NE(nullptr, found);
    std::string manifest(static_cast<const char*>(LockResource(LoadResource(image, found))),
                         SizeofResource(image, found));
    EXPECT_NE(std::string::npos,
              manifest.find("<assemblyIdentity name=\"OPC Server Krel\" version=\"3.0.0.0\" "
                            "processorArchitecture=\"x86\""));
    EXPECT_NE(std::string::npos, manifest.find("<description>OPC Server Krel 3.0</description>"));
    EXPECT_NE(std::string::npos, manifest.find("level=\"asInvoker\""));

    int iconGroups = 0;
    EnumResourceNamesA(image, MAKEINTRESOURCEA(14), CountResource,  // RT_GROUP_ICON
                       reinterpret_cast<LONG_PTR>(&iconGroups));
    EXPECT_EQ(1, iconGroups);
    FreeLibrary(image);

    std::string bytes = simtest::ReadFileBytes(path);
    ASSERT_GT(bytes.size(), 0x200u);
    LONG peOffset;
    std::memcpy(&peOffset, bytes.data() + 0x3C, sizeof peOffset);
#ifdef _WIN64
    IMAGE_NT_HEADERS64 nt;
    const WORD machine = IMAGE_FILE_MACHINE_AMD64;
#else
    IMAGE_NT_HEADERS32 nt;
    const WORD machine = IMAGE_FILE_MACHINE_I386;
#endif
    std::memcpy(&nt, bytes.data() + peOffset, sizeof nt);
    EXPECT_EQ(machine, nt.FileHeader.Machine);
    EXPECT_EQ(static_cast<WORD>(IMAGE_SUBSYSTEM_WINDOWS_GUI), nt.OptionalHeader.Subsystem);
}

}  // namespace
