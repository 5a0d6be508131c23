// The configuration steps for remote OPC access: OPCEnum's DCOM security, the
// firewall for the server and the client side, and simple file sharing on XP.
// A step reports each problem and carries on; it never ends the run.
#include "Installer.h"

#include <string.h>

namespace krelinst {

namespace {

const unsigned kFound32 = 1;
const unsigned kFound64 = 2;

const char kSfsWarning[] = "No se pudo deshabilitar el uso compartido simple de archivos";

bool FileExists(const InstallerPlatform& p, const char* path) {
    WIN32_FIND_DATAA data;
    HANDLE search = p.FindFirstFileA(path, &data);
    if (search == INVALID_HANDLE_VALUE) return false;
    p.FindClose(search);
    return true;
}

}  // namespace

void Installer::ConfigureOpcEnum() {
    if (!p_.ConfigureOpcEnumACL(kAccounts))
        ErrorBox("No se pudo configurar la seguridad DCOM para OPCEnum", "ConfigureOpcEnumACL", 0,
                 kIconWarning);
}

void Installer::AddOpcEnum(const char* unexpanded, const char* label, unsigned flag,
                           unsigned& foundMask) {
    char path[MAX_PATH];
    DWORD n = p_.ExpandEnvironmentStringsA(unexpanded, path, sizeof(path));
    if (n == 0 || n > sizeof(path)) {
        // A result larger than the buffer means nothing usable was written.
        ErrorBox("Error al obtener el path del archivo OPCEnum.exe", "ExpandEnvironmentStrings",
                 n == 0 ? p_.GetLastError() : static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER),
                 kIconError);
        return;
    }
    if (!FileExists(p_, path)) return;
    foundMask |= flag;
    int rc = p_.FWAddApp(path);
    if (rc != 0)
        ErrorBox("No se pudo configurar el FireWall de Windows para el OPCEnum", label,
                 static_cast<DWORD>(rc), kIconWarning);
}

void Installer::FirewallPortAndExceptions() {
    int rc = p_.FWAddPort("OPC.TCP.Port", 135);
    if (rc != 0)
        ErrorBox("No se pudo habilitar el puerto 135 en el FireWall de Windows", "FWAddPort",
                 static_cast<DWORD>(rc), kIconWarning);

    rc = p_.FWAllowExc();
    if (rc != 0) {
        // Codes from 4000 up come from the firewall of Vista and later, which has
        // no "no exceptions" option but blocks all inbound connections instead.
        const char* message =
            rc >= 4000
                ? "No se pudo deshabilitar el bloqueo de conexiones entrantes del FireWall de "
                  "Windows"
                : "No se pudo deshabilitar la opción \"No permitir excepciones\" del FireWall "
                  "de Windows";
        ErrorBox(message, "FWAllowExc", static_cast<DWORD>(rc), kIconWarning);
    }
}

void Installer::ServerFirewall() {
    int rc = p_.FWAddApp(paths_.serverPath);
    if (rc != 0)
        ErrorBox("No se pudo configurar el FireWall de Windows para el OPC Krel Server",
                 "FWAddApp", static_cast<DWORD>(rc), kIconWarning);

    unsigned foundMask = 0;
    AddOpcEnum("%SystemRoot%\\System32\\OpcEnum.exe", "FWAddApp 32", kFound32, foundMask);
    AddOpcEnum("%SystemRoot%\\SysWOW64\\OpcEnum.exe", "FWAddApp 64", kFound64, foundMask);
    if (foundMask == 0)
        ErrorBox("No se pudo configurar el FireWall de Windows adecuadamente\n"
                 "debido a que no se encuentra el archivo OPCEnum.exe",
                 "FileExists", 0, kIconWarning);
    AddServerListToFirewall();

    FirewallPortAndExceptions();
}

void Installer::ClientFirewall() {
    int rc = p_.FWAddApp(paths_.clientPath);
    if (rc != 0)
        ErrorBox("No se pudo configurar el FireWall de Windows para el OPC Krel Client",
                 "FWAddApp", static_cast<DWORD>(rc), kIconWarning);
    FirewallPortAndExceptions();
}

void Installer::DisableSimpleFileSharing() {
    // Vista and later have no simple file sharing: same version test as FwSetup.
    OSVERSIONINFOEXA version;
    memset(&version, 0, sizeof(version));
    version.dwOSVersionInfoSize = sizeof(version);
    version.dwMajorVersion = 6;
    version.dwMinorVersion = 0;
    version.wServicePackMajor = 0;
    DWORDLONG condition = 0;
    condition = VerSetConditionMask(condition, VER_MAJORVERSION, VER_GREATER_EQUAL);
    condition = VerSetConditionMask(condition, VER_MINORVERSION, VER_GREATER_EQUAL);
    condition = VerSetConditionMask(condition, VER_SERVICEPACKMAJOR, VER_GREATER_EQUAL);
    if (p_.VerifyVersionInfoA(&version,
                              VER_MAJORVERSION | VER_MINORVERSION | VER_SERVICEPACKMAJOR,
                              condition))
        return;

    HKEY key = nullptr;
    LONG rc = p_.RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Control\\Lsa", 0,
                               KEY_QUERY_VALUE | KEY_SET_VALUE, &key);
    if (rc != ERROR_SUCCESS) {
        ErrorBox(kSfsWarning, "RegOpenKeyEx", static_cast<DWORD>(rc), kIconWarning);
        return;
    }

    DWORD type = 0;
    DWORD value = 0;
    DWORD size = sizeof(value);
    rc = p_.RegQueryValueExA(key, "forceguest", nullptr, &type, reinterpret_cast<BYTE*>(&value),
                             &size);
    if (rc == ERROR_SUCCESS && type == REG_DWORD && size == sizeof(value) && value == 0) {
        p_.RegCloseKey(key);
        return;
    }

    const DWORD zero = 0;
    rc = p_.RegSetValueExA(key, "forceguest", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&zero),
                           sizeof(zero));
    p_.RegCloseKey(key);
    if (rc != ERROR_SUCCESS)
        ErrorBox(kSfsWarning, "RegSetValueEx", static_cast<DWORD>(rc), kIconWarning);
    else
        InfoBox("Para completar la instalación\nes necesario que reinicie la PC");
}

}  // namespace krelinst
