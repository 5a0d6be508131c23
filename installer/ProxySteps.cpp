// The kit's proxy/stubs on a computer without another vendor's: OPCKrelProxy.dll
// beside the installer for programs of the installer's own bitness (in this
// process), and x64\OPCKrelProxy.dll for 64-bit programs on 64-bit Windows. The
// installer is a 32-bit program, so the 64-bit DLL is registered by the 64-bit
// regsvr32, reached through Sysnative (System32 would be redirected to SysWOW64).
// Each DLL claims only interfaces that have no proxy and gives up only its own.
#include "Installer.h"

#include <stdio.h>
#include <string.h>

namespace krelinst {

namespace {

const char kRegister32Failed[] = "No se pudo registrar el proxy/stub OPC de 32 bits";
const char kRegister64Failed[] = "No se pudo registrar el proxy/stub OPC de 64 bits";
const char kUnregister32Failed[] = "No se pudo quitar el registro del proxy/stub OPC de 32 bits";
const char kUnregister64Failed[] = "No se pudo quitar el registro del proxy/stub OPC de 64 bits";
const char kRegistered32[] = "Proxy/stub OPC registrado para los programas de 32 bits";
const char kRegistered64[] = "Proxy/stub OPC registrado para los programas de 32 y 64 bits";

// The two handles CreateProcess returns, closed through the platform table.
class ProcessHandles {
public:
    explicit ProcessHandles(const InstallerPlatform& p) : p_(p) { memset(&info, 0, sizeof(info)); }
    ProcessHandles(const ProcessHandles&) = delete;
    ProcessHandles& operator=(const ProcessHandles&) = delete;
    ~ProcessHandles() {
        if (info.hThread) p_.CloseHandle(info.hThread);
        if (info.hProcess) p_.CloseHandle(info.hProcess);
    }
    PROCESS_INFORMATION info;

private:
    const InstallerPlatform& p_;
};

}  // namespace

bool Installer::Is64BitWindows() {
    BOOL wow64 = FALSE;
    return p_.IsWow64Process(GetCurrentProcess(), &wow64) && wow64;
}

bool Installer::Proxy64(bool remove) {
    if (!Is64BitWindows()) return true;
    const char* failure = remove ? kUnregister64Failed : kRegister64Failed;
    char regsvr[MAX_PATH];
    DWORD n = p_.ExpandEnvironmentStringsA("%SystemRoot%\\Sysnative\\regsvr32.exe", regsvr, sizeof(regsvr));
    if (n == 0 || n > sizeof(regsvr)) {
        ErrorBox(failure, "ExpandEnvironmentStrings", n ? ERROR_INSUFFICIENT_BUFFER : p_.GetLastError(),
                 kIconWarning);
        return false;
    }
    char commandLine[2 * MAX_PATH + 32];
    snprintf(commandLine, sizeof(commandLine), "\"%s\" /s %s\"%s\"", regsvr, remove ? "/u " : "",
             paths_.proxy64Path);
    STARTUPINFOA startup;
    memset(&startup, 0, sizeof(startup));
    startup.cb = sizeof(startup);
    ProcessHandles process(p_);
    if (!p_.CreateProcessA(regsvr, commandLine, nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                           &startup, &process.info)) {
        ErrorBox(failure, "CreateProcess", p_.GetLastError(), kIconWarning);
        return false;
    }
    DWORD waited = p_.WaitForSingleObject(process.info.hProcess, kRegsvrWaitMs);
    DWORD code = 0;
    if (waited != WAIT_OBJECT_0) {
        ErrorBox(failure, "WaitForSingleObject", waited == WAIT_TIMEOUT ? WAIT_TIMEOUT : p_.GetLastError(),
                 kIconWarning);
        return false;
    }
    if (!p_.GetExitCodeProcess(process.info.hProcess, &code)) {
        ErrorBox(failure, "GetExitCodeProcess", p_.GetLastError(), kIconWarning);
        return false;
    }
    // regsvr32: 3 the DLL did not load (x64 folder missing), 4 no such entry,
    // 5 the entry failed.
    if (code != 0) {
        ErrorBox(failure, "regsvr32", code, kIconWarning);
        return false;
    }
    return true;
}

void Installer::RegisterProxies() {
    HRESULT hr = p_.CallProxyEntry(paths_.proxyPath, "DllRegisterServer");
    bool ok = SUCCEEDED(hr);
    if (!ok) ErrorBox(kRegister32Failed, "DllRegisterServer", static_cast<DWORD>(hr), kIconWarning);
    bool both = Is64BitWindows();
    if (!Proxy64(false)) ok = false;
    if (ok) InfoBox(both ? kRegistered64 : kRegistered32);
}

void Installer::UnregisterProxies() {
    Proxy64(true);
    HRESULT hr = p_.CallProxyEntry(paths_.proxyPath, "DllUnregisterServer");
    if (FAILED(hr)) ErrorBox(kUnregister32Failed, "DllUnregisterServer", static_cast<DWORD>(hr), kIconWarning);
}

}  // namespace krelinst
