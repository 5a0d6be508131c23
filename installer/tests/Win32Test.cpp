// The installer against Wine's real service manager, registry and file system;
// only the boxes, the module path, the elevation request, the engine and the
// firewall are recorded. Whatever a test creates it removes again.
#include "InstallerFixture.h"

#include "platform_win32.h"

namespace {

const char kService[] = "OPC Krel Server";

class Win32InstallerTest : public InstallerTest {
protected:
    void SetUp() override {
        InstallerTest::SetUp();
        krelinst::InstallerPlatform recorded = p;
        krelinst::FillWin32Calls(p);
        p.MessageBoxA = recorded.MessageBoxA;
        p.ShellExecuteExA = recorded.ShellExecuteExA;  // never start a second test run
        p.CallProxyEntry = recorded.CallProxyEntry;    // the proxy/stubs are the test prefix's own
        p.CreateProcessA = recorded.CreateProcessA;
        // A directory that does not exist: the service program can never start.
        p.GetModuleFileNameA = recorded.GetModuleFileNameA;
        w.modulePath = "C:\\no-such-kit-dir\\OPC.Krel.Inst.exe";
        RemoveService();
    }
    void TearDown() override {
        RemoveService();
        InstallerTest::TearDown();
    }

    static bool ServiceExists() {
        SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
        if (!scm) return false;
        SC_HANDLE s = OpenServiceA(scm, kService, SERVICE_QUERY_CONFIG);
        bool exists = s != nullptr;
        if (s) CloseServiceHandle(s);
        CloseServiceHandle(scm);
        return exists;
    }
    static std::string ServicePath() {
        std::string path;
        SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
        SC_HANDLE s = scm ? OpenServiceA(scm, kService, SERVICE_QUERY_CONFIG) : nullptr;
        if (s) {
            union {
                QUERY_SERVICE_CONFIGA config;
                BYTE raw[8192];
            } buffer;
            DWORD needed = 0;
            if (QueryServiceConfigA(s, &buffer.config, sizeof(buffer), &needed))
                path = buffer.config.lpBinaryPathName;
            CloseServiceHandle(s);
        }
        if (scm) CloseServiceHandle(scm);
        return path;
    }
    static void CreateOldService(const char* path) {
        SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        ASSERT_NE(nullptr, scm);
        SC_HANDLE s = CreateServiceA(scm, kService, kService, SERVICE_ALL_ACCESS,
                                     SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                                     SERVICE_ERROR_NORMAL, path, nullptr, nullptr, nullptr,
                                     nullptr, nullptr);
        ASSERT_NE(nullptr, s) << GetLastError();
        CloseServiceHandle(s);
        CloseServiceHandle(scm);
    }
    static void RemoveService() {
        SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        if (!scm) return;
        SC_HANDLE s = OpenServiceA(scm, kService, SERVICE_ALL_ACCESS);
        if (s) {
            SERVICE_STATUS status;
            ControlService(s, SERVICE_CONTROL_STOP, &status);
            DeleteService(s);
            CloseServiceHandle(s);
        }
        CloseServiceHandle(scm);
    }
};

TEST_F(Win32InstallerTest, WineUserIsAdministratorSoNothingIsElevated) {
    EXPECT_EQ(0, Run(""));
    EXPECT_EQ(0, w.shellCalls);
    EXPECT_TRUE(w.boxes.empty());
}

TEST_F(Win32InstallerTest, InstallWhoseServiceCannotStartLeavesNothingBehind) {
    EXPECT_EQ(-1, Run("/Install /OpcEnum=1"));
    ASSERT_EQ(1u, w.boxes.size());
    EXPECT_NE(std::string::npos, w.boxes[0].text.find("Funci\xF3n: StartService\n"))
        << w.boxes[0].text;
    EXPECT_EQ(std::string::npos, w.boxes[0].text.find("C\xF3" "digo: 0")) << w.boxes[0].text;
    EXPECT_FALSE(ServiceExists());
    EXPECT_FALSE(w.comRegistered);
    EXPECT_EQ(1u, fake::Only(w.calls, {"RegisterServer"}).size());
    EXPECT_EQ(-1, fake::IndexOf(w.calls, "ConfigureOpcEnumACL"));
}

TEST_F(Win32InstallerTest, InstallReplacesAnOlderServiceEntry) {
    CreateOldService("C:\\old-kit\\OPC.Krel.Server.exe");
    ASSERT_EQ("C:\\old-kit\\OPC.Krel.Server.exe", ServicePath());
    // The start still fails (no program), but it got that far: the old entry
    // was replaced rather than reported as existing.
    EXPECT_EQ(-1, Run("/Install"));
    ASSERT_EQ(1u, w.boxes.size());
    EXPECT_NE(std::string::npos, w.boxes[0].text.find("Funci\xF3n: StartService\n"))
        << w.boxes[0].text;
    EXPECT_FALSE(ServiceExists());
}

TEST_F(Win32InstallerTest, UninstallRemovesAnExistingServiceAndIgnoresAMissingOne) {
    EXPECT_EQ(0, Run("/Uninstall"));
    EXPECT_TRUE(w.boxes.empty());

    CreateOldService("C:\\old-kit\\OPC.Krel.Server.exe");
    ASSERT_TRUE(ServiceExists());
    EXPECT_EQ(0, Run("/Uninstall /Uninstall"));
    EXPECT_TRUE(w.boxes.empty());
    EXPECT_FALSE(ServiceExists());
}

BOOL WINAPI PretendXp(LPOSVERSIONINFOEXA, DWORD, DWORDLONG) {
    SetLastError(ERROR_OLD_WIN_VERSION);
    return FALSE;
}

TEST_F(Win32InstallerTest, FileSharingStepWritesForceguestInTheRegistry) {
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS,
              RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Control\\Lsa", 0,
                              nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr));
    // Keep what was there, to put it back.
    BYTE saved[64];
    DWORD savedSize = sizeof(saved), savedType = 0;
    bool hadValue = RegQueryValueExA(key, "forceguest", nullptr, &savedType, saved,
                                     &savedSize) == ERROR_SUCCESS;
    const char one[] = "1";
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key, "forceguest", 0, REG_SZ,
                                            reinterpret_cast<const BYTE*>(one), sizeof(one)));

    p.VerifyVersionInfoA = PretendXp;
    EXPECT_EQ(0, Run("/DisableSFS=1"));
    ExpectBoxes({{"Para completar la instalaci\xF3n\nes necesario que reinicie la PC", kInfoBox}});
    DWORD type = 0, value = 0xFF, size = sizeof(value);
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, "forceguest", nullptr, &type,
                                              reinterpret_cast<BYTE*>(&value), &size));
    EXPECT_EQ(static_cast<DWORD>(REG_DWORD), type);
    EXPECT_EQ(0u, value);
    EXPECT_EQ(4u, size);

    // Already 0: nothing more to do or say.
    w.boxes.clear();
    EXPECT_EQ(0, Run("/DisableSFS=1"));
    EXPECT_TRUE(w.boxes.empty());

    if (hadValue)
        RegSetValueExA(key, "forceguest", 0, savedType, saved, savedSize);
    else
        RegDeleteValueA(key, "forceguest");
    RegCloseKey(key);
}

TEST_F(Win32InstallerTest, ServerFirewallFindsOpcEnumInSystem32) {
    char path[MAX_PATH];
    ASSERT_NE(0u, ExpandEnvironmentStringsA("%SystemRoot%\\System32\\OpcEnum.exe", path,
                                            sizeof(path)));
    bool created = false;
    if (GetFileAttributesA(path) == INVALID_FILE_ATTRIBUTES) {
        HANDLE f = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, f) << GetLastError();
        CloseHandle(f);
        created = true;
    }
    EXPECT_EQ(0, Run("/SrvFireWall=1"));
    if (created) DeleteFileA(path);

    auto apps = fake::Only(w.calls, {"FWAddApp"});
    ASSERT_LE(2u, apps.size());
    EXPECT_EQ("FWAddApp(C:\\no-such-kit-dir\\OPC.Krel.Server.exe)", apps[0]);
    EXPECT_EQ(std::string("FWAddApp(") + path + ")", apps[1]);
    EXPECT_EQ(-1, fake::IndexOf(w.calls, "MessageBoxA")) << "no FileExists warning";
}

}  // namespace
