// OPC.Krel.Inst: registers the simulation service and its COM server, runs the
// DCOM / firewall / file-sharing configuration steps, and restarts itself
// elevated when it lacks administrator rights.
//
// Everything the installer asks of Windows, of FwSetup.dll and of the server
// engine goes through one table, InstallerPlatform. The program fills it with
// the real calls (platform_real.cpp); the tests fill it with recorders, so that
// every box and every service-manager call can be checked without an
// administrator, a display or the two libraries.
#ifndef KREL_INST_INSTALLER_H
#define KREL_INST_INSTALLER_H

#include <stdlib.h>
#include <windows.h>
#include <shellapi.h>

namespace krelinst {

struct InstallerPlatform {
    // Boxes and their owner window.
    HWND (WINAPI* FindWindowA)(LPCSTR className, LPCSTR title);
    int (WINAPI* MessageBoxA)(HWND owner, LPCSTR text, LPCSTR caption, UINT type);

    // Process, rights and the elevated restart.
    DWORD (WINAPI* GetLastError)();
    DWORD (WINAPI* GetModuleFileNameA)(HMODULE module, LPSTR path, DWORD size);
    BOOL (WINAPI* AllocateAndInitializeSid)(PSID_IDENTIFIER_AUTHORITY authority, BYTE count,
                                            DWORD sub0, DWORD sub1, DWORD sub2, DWORD sub3,
                                            DWORD sub4, DWORD sub5, DWORD sub6, DWORD sub7,
                                            PSID* sid);
    PVOID (WINAPI* FreeSid)(PSID sid);
    BOOL (WINAPI* CheckTokenMembership)(HANDLE token, PSID sid, PBOOL isMember);
    BOOL (WINAPI* ShellExecuteExA)(SHELLEXECUTEINFOA* info);
    DWORD (WINAPI* WaitForSingleObject)(HANDLE handle, DWORD milliseconds);
    BOOL (WINAPI* GetExitCodeProcess)(HANDLE process, LPDWORD exitCode);
    BOOL (WINAPI* CloseHandle)(HANDLE handle);

    // Service manager.
    SC_HANDLE (WINAPI* OpenSCManagerA)(LPCSTR machine, LPCSTR database, DWORD access);
    SC_HANDLE (WINAPI* CreateServiceA)(SC_HANDLE manager, LPCSTR name, LPCSTR displayName,
                                       DWORD access, DWORD serviceType, DWORD startType,
                                       DWORD errorControl, LPCSTR binaryPath,
                                       LPCSTR loadOrderGroup, LPDWORD tagId,
                                       LPCSTR dependencies, LPCSTR account, LPCSTR password);
    SC_HANDLE (WINAPI* OpenServiceA)(SC_HANDLE manager, LPCSTR name, DWORD access);
    BOOL (WINAPI* ControlService)(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status);
    BOOL (WINAPI* QueryServiceStatus)(SC_HANDLE service, LPSERVICE_STATUS status);
    BOOL (WINAPI* DeleteService)(SC_HANDLE service);
    BOOL (WINAPI* ChangeServiceConfig2A)(SC_HANDLE service, DWORD level, LPVOID info);
    BOOL (WINAPI* StartServiceA)(SC_HANDLE service, DWORD argc, LPCSTR* argv);
    BOOL (WINAPI* CloseServiceHandle)(SC_HANDLE handle);
    void (WINAPI* Sleep)(DWORD milliseconds);  // between polls of a service that is going

    // Files, version and registry for the configuration steps.
    DWORD (WINAPI* ExpandEnvironmentStringsA)(LPCSTR source, LPSTR dest, DWORD size);
    HANDLE (WINAPI* FindFirstFileA)(LPCSTR pattern, LPWIN32_FIND_DATAA data);
    BOOL (WINAPI* FindClose)(HANDLE search);
    BOOL (WINAPI* VerifyVersionInfoA)(LPOSVERSIONINFOEXA info, DWORD typeMask,
                                      DWORDLONG conditionMask);
    LONG (WINAPI* RegOpenKeyExA)(HKEY parent, LPCSTR subKey, DWORD options, REGSAM access,
                                 PHKEY key);
    LONG (WINAPI* RegQueryValueExA)(HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD type,
                                    LPBYTE data, LPDWORD size);
    LONG (WINAPI* RegSetValueExA)(HKEY key, LPCSTR name, DWORD reserved, DWORD type,
                                  const BYTE* data, DWORD size);
    LONG (WINAPI* RegCloseKey)(HKEY key);
    // The server list's registration, in one registry view or the other.
    LONG (WINAPI* RegCreateKeyExA)(HKEY parent, LPCSTR subKey, DWORD reserved, LPSTR keyClass,
                                   DWORD options, REGSAM access, LPSECURITY_ATTRIBUTES security,
                                   PHKEY key, LPDWORD disposition);
    // RegDeleteKeyExA where the system has it (not 32-bit Windows XP, whose one
    // view RegDeleteKeyA serves).
    LONG (WINAPI* RegDeleteKeyExA)(HKEY parent, LPCSTR subKey, REGSAM view, DWORD reserved);
    LONG (WINAPI* RegDeleteValueA)(HKEY key, LPCSTR name);

    // The proxy/stubs: the one of the installer's own bitness in this process, the
    // 64-bit one through the 64-bit regsvr32 on 64-bit Windows.
    HRESULT (__stdcall* CallProxyEntry)(const char* dllPath, const char* entry);  // Dll[Un]RegisterServer
    BOOL (WINAPI* IsWow64Process)(HANDLE process, PBOOL wow64);  // FALSE where the system lacks it
    BOOL (WINAPI* CreateProcessA)(LPCSTR application, LPSTR commandLine, LPSECURITY_ATTRIBUTES process,
                                  LPSECURITY_ATTRIBUTES thread, BOOL inherit, DWORD flags, LPVOID environment,
                                  LPCSTR directory, LPSTARTUPINFOA startup, LPPROCESS_INFORMATION info);

    // Server engine (KetraOPCServer.dll); only the low byte of each result counts.
    bool (__stdcall* RegisterServer)(const GUID* clsid, const char* name, const char* name2,
                                     int flag, const char* const* accounts);
    bool (__stdcall* UnRegisterServer)(const GUID* clsid, const char* name);
    bool (__stdcall* ConfigureOpcEnumACL)(const char* const* accounts);

    // FwSetup.dll: 0 or a four-digit failure code.
    int (__stdcall* FWAddApp)(const char* imagePath);
    int (__stdcall* FWAddPort)(const char* name, int port);
    int (__stdcall* FWAllowExc)();
};

// A service-manager handle closed through the platform table on every path.
class ScHandle {
public:
    explicit ScHandle(const InstallerPlatform& p, SC_HANDLE h = nullptr) : p_(p), h_(h) {}
    ScHandle(const ScHandle&) = delete;
    ScHandle& operator=(const ScHandle&) = delete;
    ~ScHandle() { Reset(); }
    void Reset(SC_HANDLE h = nullptr) {
        if (h_) p_.CloseServiceHandle(h_);
        h_ = h;
    }
    SC_HANDLE get() const { return h_; }
    explicit operator bool() const { return h_ != nullptr; }

private:
    const InstallerPlatform& p_;
    SC_HANDLE h_;
};

// 0xF003F: SC_MANAGER_ALL_ACCESS for the manager; for a service the standard
// required rights plus query/change configuration, status, dependents, start, stop.
const DWORD kAccess = 0xF003F;

// The table of real calls; defined only in the program itself.
const InstallerPlatform& RealPlatform();

// Texts and identities the installer shows or registers.
extern const char* const kCaption;          // "OPC Krel 3.0", also the owner window's title
extern const char* const kServiceName;      // "OPC Krel Server"
extern const char* const kAccounts[];       // null-terminated account list

// Icons of the error box.
const UINT kIconError = MB_ICONERROR;
const UINT kIconWarning = MB_ICONWARNING;

// How long replacing a service waits, all told, for the old one to stop and for
// its entry to go (milliseconds), and how often it looks.
const DWORD kReplaceWaitMs = 30000;
const DWORD kReplacePollMs = 250;
// How long the 64-bit regsvr32 may take.
const DWORD kRegsvrWaitMs = 60000;

// A service of the kit as the installer registers it (own process, display name =
// service name), and how its failures are told.
struct ServiceSpec {
    const char* name;
    const char* binaryPath;
    DWORD startType;
    const char* account;  // null: LocalSystem
    const char* failure;  // the message of its failure boxes
    UINT icon;            // and their icon
};

// Process-wide paths, set once at start.
struct InstallerPaths {
    char modulePath[MAX_PATH];
    char drive[_MAX_DRIVE];
    char dir[_MAX_DIR];
    char fname[_MAX_FNAME];
    char ext[_MAX_EXT];
    char serverPath[264];
    char clientPath[264];
    char enumPath[264];  // the server list stand-in, OPC.Krel.Enum.exe
    char proxyPath[264];    // OPCKrelProxy.dll beside the installer
    char proxy64Path[264];  // x64\OPCKrelProxy.dll, the 64-bit one
};

class Installer {
public:
    Installer(const InstallerPlatform& platform, const char* commandLine);

    // The whole run: start-up, rights check, elevated restart or the switches.
    // Returns the process exit code (0 or -1, or the elevated instance's code).
    int Run();

    // Pieces of the run, public for the tests.
    bool InitPaths();                 // false: start-up failure already reported
    int RunSwitches();
    bool Install();
    bool Uninstall();
    void ConfigureOpcEnum();
    void ServerFirewall();
    void ClientFirewall();
    void DisableSimpleFileSharing();
    // "/Proxy=1" (ProxySteps.cpp): the kit's proxy/stubs for every interface that
    // has none, in the installer's own view and, on 64-bit Windows, in the 64-bit
    // one; no service. Failures warn.
    void RegisterProxies();
    // The 64-bit proxy/stub registered (or, with `remove`, unregistered: only
    // what is ours) on 64-bit Windows; true where there is nothing to do.
    bool Proxy64(bool remove);
    // /Uninstall: ours go from both views, others' stay.
    void UnregisterProxies();
    bool Is64BitWindows();

    // Creates the service. One of that name already there (an older installation,
    // or one an uninstall is still removing) is stopped, deleted and created anew,
    // waiting at most kReplaceWaitMs in all for it to stop and for its entry to go.
    // Failures are shown with the message and icon it names; null then.
    SC_HANDLE CreateOrReplaceService(SC_HANDLE manager, const ServiceSpec& wanted);
    // The service's description (ChangeServiceConfig2A); false with the last error set.
    bool Describe(SC_HANDLE service, const char* text);

    // The server list stand-in (ServerListSteps.cpp): registered by /Install only
    // where no server list is, removed by /Uninstall only while it is still ours.
    enum ServerListOwner { kNoServerList, kOurServerList, kOtherServerList };
    ServerListOwner FindServerList();
    void InstallServerList(SC_HANDLE manager);
    void UninstallServerList(SC_HANDLE manager);

    void ErrorBox(const char* message, const char* label, DWORD code, UINT icon);
    void InfoBox(const char* message);

    const InstallerPaths& paths() const { return paths_; }

private:
    int Elevate();
    int StartupFailure(const char* label, DWORD code);
    void WaitUntilStopped(SC_HANDLE service, DWORD* waited);
    bool UninstallService();
    void FirewallPortAndExceptions();
    void AddOpcEnum(const char* unexpanded, const char* label, unsigned flag,
                    unsigned& foundMask);
    bool WriteServerListKeys(LONG* rc, const char** label);
    LONG RemoveServerListKeys();
    bool IsOurServerList(REGSAM view, bool* present);
    void AddServerListToFirewall();
    HWND Owner();

    const InstallerPlatform& p_;
    const char* cmdLine_;
    InstallerPaths paths_;
};

// The switches of one command line, split at spaces and run left to right.
int RunInstaller(const InstallerPlatform& platform, const char* commandLine);

}  // namespace krelinst

#endif
