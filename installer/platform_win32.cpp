// The Windows half of the installer's platform table. Kept apart from the two
// libraries' exports so that tests can drive the real service manager and
// registry through it with a recorded engine and firewall.
#include "platform_win32.h"

namespace krelinst {

namespace {

// RegDeleteKeyExA is missing from 32-bit Windows XP's advapi32 (it would keep the
// installer from starting there); that system has one registry view, the one
// RegDeleteKeyA deletes in.
LONG WINAPI DeleteKeyInView(HKEY parent, LPCSTR subKey, REGSAM view, DWORD reserved) {
    typedef LONG(WINAPI * DeleteKeyEx)(HKEY, LPCSTR, REGSAM, DWORD);
    static const DeleteKeyEx deleteKeyEx = reinterpret_cast<DeleteKeyEx>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("advapi32.dll"), "RegDeleteKeyExA")));
    return deleteKeyEx ? deleteKeyEx(parent, subKey, view, reserved) : ::RegDeleteKeyA(parent, subKey);
}

// IsWow64Process is missing from Windows XP before SP2: there, no 64-bit view.
BOOL WINAPI IsWow64(HANDLE process, PBOOL wow64) {
    typedef BOOL(WINAPI * IsWow64Process)(HANDLE, PBOOL);
    static const IsWow64Process isWow64 = reinterpret_cast<IsWow64Process>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "IsWow64Process")));
    if (!isWow64) {
        *wow64 = FALSE;
        return FALSE;
    }
    return isWow64(process, wow64);
}

// A DLL's self-registration entry, as regsvr32 calls it.
HRESULT __stdcall CallProxyEntry(const char* dllPath, const char* entry) {
    struct Loaded {
        HMODULE h;
        ~Loaded() {
            if (h) FreeLibrary(h);
        }
    } module = {LoadLibraryA(dllPath)};
    if (!module.h) return HRESULT_FROM_WIN32(GetLastError());
    typedef HRESULT(STDAPICALLTYPE * Entry)();
    Entry fn = reinterpret_cast<Entry>(reinterpret_cast<void*>(GetProcAddress(module.h, entry)));
    return fn ? fn() : HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);
}

}  // namespace

void FillWin32Calls(InstallerPlatform& p) {
    p.FindWindowA = ::FindWindowA;
    p.MessageBoxA = ::MessageBoxA;
    p.GetLastError = ::GetLastError;
    p.GetModuleFileNameA = ::GetModuleFileNameA;
    p.AllocateAndInitializeSid = ::AllocateAndInitializeSid;
    p.FreeSid = ::FreeSid;
    p.CheckTokenMembership = ::CheckTokenMembership;
    p.ShellExecuteExA = ::ShellExecuteExA;
    p.WaitForSingleObject = ::WaitForSingleObject;
    p.GetExitCodeProcess = ::GetExitCodeProcess;
    p.CloseHandle = ::CloseHandle;
    p.OpenSCManagerA = ::OpenSCManagerA;
    p.CreateServiceA = ::CreateServiceA;
    p.OpenServiceA = ::OpenServiceA;
    p.ControlService = ::ControlService;
    p.QueryServiceStatus = ::QueryServiceStatus;
    p.DeleteService = ::DeleteService;
    p.ChangeServiceConfig2A = ::ChangeServiceConfig2A;
    p.StartServiceA = ::StartServiceA;
    p.CloseServiceHandle = ::CloseServiceHandle;
    p.Sleep = ::Sleep;
    p.ExpandEnvironmentStringsA = ::ExpandEnvironmentStringsA;
    p.FindFirstFileA = ::FindFirstFileA;
    p.FindClose = ::FindClose;
    p.VerifyVersionInfoA = ::VerifyVersionInfoA;
    p.RegOpenKeyExA = ::RegOpenKeyExA;
    p.RegQueryValueExA = ::RegQueryValueExA;
    p.RegSetValueExA = ::RegSetValueExA;
    p.RegCloseKey = ::RegCloseKey;
    p.RegCreateKeyExA = ::RegCreateKeyExA;
    p.RegDeleteKeyExA = DeleteKeyInView;
    p.RegDeleteValueA = ::RegDeleteValueA;
    p.CallProxyEntry = CallProxyEntry;
    p.IsWow64Process = IsWow64;
    p.CreateProcessA = ::CreateProcessA;
}

}  // namespace krelinst
