// Start-up, rights check, elevated restart, command line, install and uninstall.
#include "Installer.h"

#include <stdio.h>
#include <string.h>

#include "EnumIdentity.h"
#include "KetraOPCServer.h"

namespace krelinst {

const char* const kCaption = "OPC Krel 3.0";
const char* const kServiceName = KETRA_OPC_SERVER_NAME;
const char* const kAccounts[] = {"Everyone", "SYSTEM", "NETWORK", "INTERACTIVE",
                                 "ANONYMOUS LOGON", nullptr};

namespace {

const char kBoxFormat[] = "%s\n\n    Función: %s\n    Código: %u";
const char kDescription[] = "Servidor OPC de Kreleo (Versión 3.0)";
const char kNoRunAs[] = "/NoRunAs";

const char kInstallError[] = "Error al instalar el servicio";
const char kUninstallError[] = "Error al desinstalar el servicio";

// Windows keeps ASCII switches; a locale-aware comparison would only add surprises.
bool SameSwitch(const char* token, size_t length, const char* name) {
    if (strlen(name) != length) return false;
    for (size_t i = 0; i < length; ++i) {
        char a = token[i], b = name[i];
        if (a >= 'A' && a <= 'Z') a = static_cast<char>(a - 'A' + 'a');
        if (b >= 'A' && b <= 'Z') b = static_cast<char>(b - 'A' + 'a');
        if (a != b) return false;
    }
    return true;
}

}  // namespace

Installer::Installer(const InstallerPlatform& platform, const char* commandLine)
    : p_(platform), cmdLine_(commandLine ? commandLine : "") {
    memset(&paths_, 0, sizeof(paths_));
}

HWND Installer::Owner() { return p_.FindWindowA(nullptr, kCaption); }

void Installer::ErrorBox(const char* message, const char* label, DWORD code, UINT icon) {
    // snprintf always terminates and never writes past the buffer: an over-long
    // message is shown cut rather than corrupting the stack.
    char text[256];
    snprintf(text, sizeof(text), kBoxFormat, message, label, static_cast<unsigned>(code));
    p_.MessageBoxA(Owner(), text, kCaption, MB_OK | icon | MB_SETFOREGROUND);
}

void Installer::InfoBox(const char* message) {
    p_.MessageBoxA(Owner(), message, kCaption, MB_OK | MB_ICONINFORMATION | MB_SETFOREGROUND);
}

int Installer::StartupFailure(const char* label, DWORD code) {
    const char* message = strstr(cmdLine_, "/Uninstall")
                              ? "No se pudo iniciar la desinstalación del servicio"
                              : "No se pudo iniciar la instalación del servicio";
    ErrorBox(message, label, code, kIconError);
    return -1;
}

bool Installer::InitPaths() {
    DWORD n = p_.GetModuleFileNameA(nullptr, paths_.modulePath, sizeof(paths_.modulePath));
    if (n == 0) {
        StartupFailure("GetModuleFileName", p_.GetLastError());
        return false;
    }
    if (n >= sizeof(paths_.modulePath)) {
        // A full buffer means the path was cut (and, before Vista, left without
        // its terminator): registering a cut path would install a dead service.
        paths_.modulePath[0] = '\0';
        StartupFailure("GetModuleFileName", ERROR_INSUFFICIENT_BUFFER);
        return false;
    }
    _splitpath(paths_.modulePath, paths_.drive, paths_.dir, paths_.fname, paths_.ext);
    int s = snprintf(paths_.serverPath, sizeof(paths_.serverPath), "%s%sOPC.Krel.Server.exe",
                     paths_.drive, paths_.dir);
    int c = snprintf(paths_.clientPath, sizeof(paths_.clientPath), "%s%sOPC.Krel.Client.exe",
                     paths_.drive, paths_.dir);
    int e = snprintf(paths_.enumPath, sizeof(paths_.enumPath), "%s%s" KRELENUM_FILE_NAME,
                     paths_.drive, paths_.dir);
    int x = snprintf(paths_.proxyPath, sizeof(paths_.proxyPath), "%s%sOPCKrelProxy.dll", paths_.drive,
                     paths_.dir);
    int x64 = snprintf(paths_.proxy64Path, sizeof(paths_.proxy64Path), "%s%sx64\\OPCKrelProxy.dll",
                       paths_.drive, paths_.dir);
    if (s < 0 || c < 0 || e < 0 || x < 0 || x64 < 0 || static_cast<size_t>(s) >= sizeof(paths_.serverPath) ||
        static_cast<size_t>(c) >= sizeof(paths_.clientPath) ||
        static_cast<size_t>(e) >= sizeof(paths_.enumPath) || static_cast<size_t>(x) >= sizeof(paths_.proxyPath) ||
        static_cast<size_t>(x64) >= sizeof(paths_.proxy64Path)) {
        StartupFailure("GetModuleFileName", ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    return true;
}

int Installer::Run() {
    if (!InitPaths()) return -1;

    SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
    PSID admins = nullptr;
    if (!p_.AllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID,
                                     DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0, &admins)) {
        DWORD err = p_.GetLastError();
        if (admins) p_.FreeSid(admins);
        return StartupFailure("AllocateAndInitializeSid", err);
    }
    BOOL member = FALSE;
    if (!p_.CheckTokenMembership(nullptr, admins, &member)) {
        DWORD err = p_.GetLastError();
        p_.FreeSid(admins);
        return StartupFailure("CheckTokenMembership", err);
    }
    p_.FreeSid(admins);

    return member ? RunSwitches() : Elevate();
}

int Installer::Elevate() {
    if (strstr(cmdLine_, kNoRunAs)) {
        InfoBox("El instalador no tiene los permisos de administrador");
        return -1;
    }

    // A command line that does not fit would start the elevated instance with a
    // cut command line (a half switch, or the marker lost and a restart loop).
    char parameters[512];
    int n = snprintf(parameters, sizeof(parameters), "%s %s", cmdLine_, kNoRunAs);
    if (n < 0 || static_cast<size_t>(n) >= sizeof(parameters))
        return StartupFailure("ShellExecuteEx", ERROR_INSUFFICIENT_BUFFER);

    SHELLEXECUTEINFOA info;
    memset(&info, 0, sizeof(info));
    info.cbSize = sizeof(info);
    info.fMask = SEE_MASK_NOCLOSEPROCESS;
    info.hwnd = Owner();
    info.lpVerb = "runas";
    info.lpFile = paths_.modulePath;
    info.lpParameters = parameters;
    info.lpDirectory = nullptr;
    info.nShow = SW_SHOW;
    if (!p_.ShellExecuteExA(&info)) return StartupFailure("ShellExecuteEx", p_.GetLastError());

    p_.WaitForSingleObject(info.hProcess, INFINITE);
    DWORD exitCode = 0;
    int result;
    if (p_.GetExitCodeProcess(info.hProcess, &exitCode)) {
        result = static_cast<int>(exitCode);
    } else {
        StartupFailure("GetExitCodeProcess", p_.GetLastError());
        result = -1;
    }
    if (info.hProcess) p_.CloseHandle(info.hProcess);
    return result;
}

int Installer::RunSwitches() {
    const char* s = cmdLine_;
    for (;;) {
        while (*s == ' ') ++s;
        if (!*s) break;
        const char* token = s;
        while (*s && *s != ' ') ++s;
        size_t length = static_cast<size_t>(s - token);

        if (SameSwitch(token, length, "/Install")) {
            if (!Install()) return -1;
        } else if (SameSwitch(token, length, "/Uninstall")) {
            if (!Uninstall()) return -1;
        } else if (SameSwitch(token, length, "/OpcEnum=1")) {
            ConfigureOpcEnum();
        } else if (SameSwitch(token, length, "/SrvFireWall=1")) {
            ServerFirewall();
        } else if (SameSwitch(token, length, "/CltFireWall=1")) {
            ClientFirewall();
        } else if (SameSwitch(token, length, "/DisableSFS=1")) {
            DisableSimpleFileSharing();
        } else if (SameSwitch(token, length, "/Proxy=1")) {
            RegisterProxies();
        }
        // Anything else, "/NoRunAs" included, is not ours to run.
    }
    return 0;
}

bool Installer::Install() {
    ScHandle manager(p_, p_.OpenSCManagerA(nullptr, nullptr, kAccess));
    if (!manager) {
        ErrorBox(kInstallError, "OpenSCManager", p_.GetLastError(), kIconError);
        return false;
    }
    const ServiceSpec wanted = {kServiceName, paths_.serverPath, SERVICE_AUTO_START, nullptr, kInstallError,
                              kIconError};
    ScHandle service(p_, CreateOrReplaceService(manager.get(), wanted));
    if (!service) return false;

    if (!Describe(service.get(), kDescription)) {
        DWORD err = p_.GetLastError();
        p_.DeleteService(service.get());
        ErrorBox(kInstallError, "ChangeServiceConfig2", err, kIconError);
        return false;
    }

    if (!p_.RegisterServer(&CLSID_KetraOPCKrelServer, kServiceName, kServiceName, 1,
                           kAccounts)) {
        p_.DeleteService(service.get());
        ErrorBox(kInstallError, "RegisterServer", 0, kIconError);
        return false;
    }

    if (!p_.StartServiceA(service.get(), 0, nullptr)) {
        DWORD err = p_.GetLastError();
        p_.UnRegisterServer(&CLSID_KetraOPCKrelServer, kServiceName);
        p_.DeleteService(service.get());
        ErrorBox(kInstallError, "StartService", err, kIconError);
        return false;
    }
    // The kit's own server runs: remote clients now need a server list to find it,
    // and 64-bit ones a 64-bit proxy (the engine registered the 32-bit one).
    InstallServerList(manager.get());
    Proxy64(false);
    return true;
}

bool Installer::Describe(SC_HANDLE service, const char* text) {
    char description[256];
    snprintf(description, sizeof(description), "%s", text);
    SERVICE_DESCRIPTIONA info;
    info.lpDescription = description;
    return p_.ChangeServiceConfig2A(service, SERVICE_CONFIG_DESCRIPTION, &info) != FALSE;
}

void Installer::WaitUntilStopped(SC_HANDLE service, DWORD* waited) {
    for (;;) {
        SERVICE_STATUS status;
        memset(&status, 0, sizeof(status));
        if (!p_.QueryServiceStatus(service, &status) || status.dwCurrentState == SERVICE_STOPPED) return;
        // One caught starting refused the first stop; now it can take one.
        if (status.dwCurrentState == SERVICE_RUNNING)
            p_.ControlService(service, SERVICE_CONTROL_STOP, &status);
        if (*waited >= kReplaceWaitMs) return;
        p_.Sleep(kReplacePollMs);
        *waited += kReplacePollMs;
    }
}

SC_HANDLE Installer::CreateOrReplaceService(SC_HANDLE manager, const ServiceSpec& wanted) {
    auto create = [&]() {
        return p_.CreateServiceA(manager, wanted.name, wanted.name, kAccess, SERVICE_WIN32_OWN_PROCESS,
                                 wanted.startType, SERVICE_ERROR_NORMAL, wanted.binaryPath, nullptr, nullptr,
                                 nullptr, wanted.account, wanted.account ? "" : nullptr);
    };
    auto oldOneThere = [](DWORD err) {
        return err == ERROR_SERVICE_EXISTS || err == ERROR_SERVICE_MARKED_FOR_DELETE;
    };
    SC_HANDLE created = create();
    if (created) return created;
    DWORD err = p_.GetLastError();
    if (!oldOneThere(err)) {
        ErrorBox(wanted.failure, "CreateService", err, wanted.icon);
        return nullptr;
    }

    // The old service's stop takes its engine up to seconds, and its entry goes
    // only once its process has ended and every handle to it is closed: creating
    // the new one at once would fail and leave no service at all.
    DWORD waited = 0;
    bool deletedHere = false;
    {
        ScHandle old(p_, p_.OpenServiceA(manager, wanted.name, kAccess));
        if (!old) {
            err = p_.GetLastError();
            // Gone, or going, since the create: nothing left to stop.
            if (err != ERROR_SERVICE_DOES_NOT_EXIST && err != ERROR_SERVICE_MARKED_FOR_DELETE) {
                ErrorBox(wanted.failure, "OpenService", err, wanted.icon);
                return nullptr;
            }
        } else {
            SERVICE_STATUS status;
            memset(&status, 0, sizeof(status));
            p_.ControlService(old.get(), SERVICE_CONTROL_STOP, &status);
            WaitUntilStopped(old.get(), &waited);
            if (p_.DeleteService(old.get())) {
                deletedHere = true;
            } else {
                err = p_.GetLastError();
                // Marked already (an uninstall under way): it goes all the same.
                if (err != ERROR_SERVICE_MARKED_FOR_DELETE) {
                    ErrorBox(wanted.failure, "DeleteService", err, wanted.icon);
                    return nullptr;
                }
            }
        }
    }  // closed here: the entry cannot go while our handle is open

    for (;;) {
        created = create();
        if (created) return created;
        err = p_.GetLastError();
        if (!oldOneThere(err) || waited >= kReplaceWaitMs) break;
        p_.Sleep(kReplacePollMs);
        waited += kReplacePollMs;
    }
    if (deletedHere) {
        char message[160];
        snprintf(message, sizeof(message), "%s\nReinicie la PC y vuelva a intentar la instalación", wanted.failure);
        ErrorBox(message, "CreateService2", err, wanted.icon);
    } else if (oldOneThere(err)) {
        InfoBox("Reinicie la PC y vuelva a intentar la instalación");
    } else {
        ErrorBox(wanted.failure, "CreateService", err, wanted.icon);
    }
    return nullptr;
}

bool Installer::Uninstall() {
    // The COM registration goes first, whatever happens to the service after it.
    if (!p_.UnRegisterServer(&CLSID_KetraOPCKrelServer, kServiceName))
        ErrorBox(kUninstallError, "UnRegisterServer", 0, kIconWarning);
    bool removed = UninstallService();
    UnregisterProxies();
    return removed;
}

bool Installer::UninstallService() {
    ScHandle manager(p_, p_.OpenSCManagerA(nullptr, nullptr, kAccess));
    if (!manager) {
        ErrorBox(kUninstallError, "OpenSCManager", p_.GetLastError(), kIconError);
        return false;
    }
    UninstallServerList(manager.get());
    ScHandle service(p_, p_.OpenServiceA(manager.get(), kServiceName, kAccess));
    if (!service) {
        DWORD err = p_.GetLastError();
        if (err == ERROR_SERVICE_DOES_NOT_EXIST) return true;
        ErrorBox(kUninstallError, "OpenService", err, kIconError);
        return false;
    }
    SERVICE_STATUS status;
    memset(&status, 0, sizeof(status));
    p_.ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
    if (p_.DeleteService(service.get())) return true;
    DWORD err = p_.GetLastError();
    if (err == ERROR_SERVICE_MARKED_FOR_DELETE) {
        InfoBox("Reinicie la PC para completar la desinstalación");
        return true;
    }
    ErrorBox(kUninstallError, "DeleteService", err, kIconError);
    return false;
}

int RunInstaller(const InstallerPlatform& platform, const char* commandLine) {
    Installer installer(platform, commandLine);
    return installer.Run();
}

}  // namespace krelinst
