// Test entry for both FwSetup test programs. The legacy program must see a
// Windows before Vista: under Wine that is the per-program version setting,
// which is read when a process starts, so the program sets it for its own file
// name and runs itself again.
#include <windows.h>

#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "FwTestSupport.h"
#include "kit_com.h"

namespace {

#ifdef FWSETUP_TEST_LEGACY
const char kRelaunchedVar[] = "FWSETUP_TEST_AS_WINXP";

bool UnderWine() {
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

// Runs this program again as "winxp" and passes its exit code on.
int RunAgainAsWinXp() {
    wchar_t self[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
    if (n == 0 || n == MAX_PATH) return 1;
    std::wstring exeName(self);
    exeName = exeName.substr(exeName.find_last_of(L"\\/") + 1);
    const std::wstring keyPath = L"Software\\Wine\\AppDefaults\\" + exeName;

    kit::RegKey key;
    DWORD disposition = 0;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, keyPath.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, key.put(),
                        &disposition) != ERROR_SUCCESS) {
        std::fprintf(stderr, "cannot write HKCU\\%ls\n", keyPath.c_str());
        return 1;
    }
    const wchar_t version[] = L"winxp";
    RegSetValueExW(key.get(), L"Version", 0, REG_SZ, reinterpret_cast<const BYTE*>(version), sizeof(version));

    SetEnvironmentVariableA(kRelaunchedVar, "1");
    std::fflush(stdout);
    std::fflush(stderr);
    STARTUPINFOW si;
    ZeroMemory(&si, sizeof(si));
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    const DWORD streams[] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
    HANDLE* slots[] = {&si.hStdInput, &si.hStdOutput, &si.hStdError};
    for (int i = 0; i < 3; ++i) {
        *slots[i] = GetStdHandle(streams[i]);
        if (*slots[i] && *slots[i] != INVALID_HANDLE_VALUE)
            SetHandleInformation(*slots[i], HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    }
    PROCESS_INFORMATION pi;
    std::wstring commandLine = GetCommandLineW();
    DWORD exitCode = 1;
    if (CreateProcessW(self, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) {
        kit::Handle process(pi.hProcess);
        kit::Handle thread(pi.hThread);
        WaitForSingleObject(process.get(), INFINITE);
        GetExitCodeProcess(process.get(), &exitCode);
    } else {
        std::fprintf(stderr, "cannot start %ls again (%lu)\n", self, GetLastError());
    }

    // The setting is this test's own: take it away again.
    if (disposition == REG_CREATED_NEW_KEY) {
        key.Reset();
        RegDeleteKeyW(HKEY_CURRENT_USER, keyPath.c_str());
    } else {
        RegDeleteValueW(key.get(), L"Version");
    }
    return static_cast<int>(exitCode);
}
#endif

}  // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
#ifdef FWSETUP_TEST_LEGACY
    if (!fwtest::ReportsPreVista()) {
        if (!UnderWine()) {
            std::printf("The firewall before Vista cannot be reached on this Windows: legacy tests skipped.\n");
            return 0;
        }
        if (GetEnvironmentVariableA(kRelaunchedVar, nullptr, 0) != 0) {
            std::fprintf(stderr, "Wine's per-program version setting did not take effect.\n");
            return 1;
        }
        return RunAgainAsWinXp();
    }
#else
    if (fwtest::ReportsPreVista()) {
        std::fprintf(stderr, "These tests need Windows Vista or later.\n");
        return 1;
    }
#endif
    if (!fwtest::InstallBstrWatch()) {
        std::fprintf(stderr, "cannot watch BSTR allocations (malloc spy or SetOaNoCache missing)\n");
        return 1;
    }
    return RUN_ALL_TESTS();
}
