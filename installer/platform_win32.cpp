// The Windows half of the installer's platform table. Kept apart from the two
// libraries' exports so that tests can drive the real service manager and
// registry through it with a recorded engine and firewall.
#include "platform_win32.h"

namespace krelinst {

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
}

}  // namespace krelinst
