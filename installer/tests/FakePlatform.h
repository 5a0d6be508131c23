// A recording stand-in for everything the installer asks of Windows, FwSetup
// and the server engine. The service manager and the registry value are small
// models rather than scripted answers, so a test states the situation (service
// running, marked for deletion, value missing...) and checks the end state, the
// boxes and the order of the calls.
#ifndef KREL_INST_FAKE_PLATFORM_H
#define KREL_INST_FAKE_PLATFORM_H

#include <map>
#include <set>
#include <string>
#include <vector>

#include "Installer.h"

namespace fake {

struct Box {
    std::string text;
    std::string caption;
    UINT type;
    HWND owner;
};

struct World {
    // Every call in order, as "Name" or "Name(detail)".
    std::vector<std::string> calls;
    std::vector<Box> boxes;

    // What any call not scripted to fail leaves in the last-error slot, so a
    // code read after the wrong call shows up as this value.
    DWORD lastError = 0;
    static const DWORD kJunkError = 0xDEAD;

    HWND ownerWindow = nullptr;
    int findWindowCalls = 0;
    std::string findWindowClass = "?";
    std::string findWindowTitle;

    // Start-up.
    std::string modulePath = "C:\\Kit\\OPC.Krel.Inst.exe";
    DWORD moduleResult = 0xFFFFFFFF;  // 0xFFFFFFFF: the path's length
    DWORD moduleError = 0;
    bool allocSidOk = true;
    bool allocSidReturnsSid = false;  // a SID even though the call failed
    DWORD allocSidError = 0;
    BYTE sidCount = 0;
    DWORD sidSub[8] = {};
    BYTE sidAuthority[6] = {};
    bool checkMembershipOk = true;
    DWORD checkMembershipError = 0;
    BOOL isAdmin = TRUE;
    HANDLE membershipToken = reinterpret_cast<HANDLE>(1);
    int sidsAllocated = 0;
    int sidsFreed = 0;

    // Elevated restart.
    bool shellOk = true;
    DWORD shellError = 0;
    bool exitCodeOk = true;
    DWORD exitCodeError = 0;
    DWORD childExitCode = 0;
    SHELLEXECUTEINFOA shellInfo = {};
    std::string shellVerb, shellFile, shellParameters;
    bool shellDirectoryNull = false;
    int shellCalls = 0;
    DWORD waitTimeout = 0;
    HANDLE waitedHandle = nullptr;
    int processHandlesOpen = 0;

    // Service manager model.
    bool scmOk = true;
    DWORD scmError = 0;
    bool serviceExists = false;
    bool serviceRunning = false;
    bool serviceMarkedForDelete = false;  // deleted: gone once stopped and no handle is open
    DWORD stopTakesMs = 0;                // after a stop request it reports STOP_PENDING this long
    static const DWORD kNever = 0xFFFFFFFF;
    bool serviceStopping = false;
    DWORD stopDoneAt = 0;
    DWORD clock = 0;                      // milliseconds, advanced only by Sleep
    DWORD createError = 0;                // non-zero: CreateService fails with it
    DWORD openServiceError = 0;           // non-zero: OpenService fails with it
    DWORD deleteError = 0;                // non-zero: DeleteService fails with it
    DWORD configError = 0;
    DWORD startError = 0;
    std::string servicePath;
    std::string serviceDescription;
    std::vector<std::string> createArgs;  // of the last CreateService call
    int scHandlesOpen = 0;
    std::vector<std::string> scmArgs;
    // Services other than "OPC Krel Server" (the server list's), by name. Their
    // calls are recorded as "<name>/<call>", apart from the main service's.
    struct Service {
        bool running = false;
        DWORD startType = 0;
        std::string path, account, description;
    };
    std::map<std::string, Service> services;
    DWORD otherCreateError = 0;  // non-zero: CreateService of another service fails with it
    DWORD otherDeleteError = 0;  // non-zero: DeleteService of another service fails with it

    // Engine.
    bool registerOk = true;
    bool unregisterOk = true;
    bool aclOk = true;
    bool comRegistered = false;
    std::vector<std::string> registerArgs;
    std::vector<std::string> accountsSeen;

    // FwSetup.
    std::map<std::string, int> addAppResult;  // by path; missing: 0
    int addPortResult = 0;
    int allowExcResult = 0;

    // Files.
    std::string systemRoot = "C:\\windows";
    std::set<std::string> expandFails;    // sources whose expansion returns 0
    std::set<std::string> expandTooLong;  // sources whose expansion needs a bigger buffer
    DWORD expandError = 0;
    std::set<std::string> files;
    int findHandlesOpen = 0;

    // Version and registry.
    bool vistaOrLater = true;
    DWORD versionMajor = 0, versionMinor = 0, versionTypeMask = 0;
    WORD versionSpMajor = 0xFFFF;
    DWORDLONG versionCondition = 0;
    LONG regOpenResult = ERROR_SUCCESS;
    REGSAM regAccess = 0;
    std::string regPath;
    HKEY regRoot = nullptr;
    bool valueExists = false;
    DWORD valueType = REG_DWORD;
    std::vector<BYTE> valueData;
    LONG regSetResult = ERROR_SUCCESS;
    int regKeysOpen = 0;

    // HKEY_LOCAL_MACHINE apart from the Lsa key above: 64-bit Windows has the views
    // "64" and "32" (a key opened without a view flag lies in the installer's own),
    // 32-bit Windows only "32". Keys as "<view>|<path in lower case>"; values by
    // name ("" for the default one): type and bytes. Calls are recorded as
    // "HKLM/<call>(<key>[,<value>])".
    bool twoViews = true;
    struct Value {
        DWORD type;
        std::string data;
        bool operator==(const Value& o) const { return type == o.type && data == o.data; }
    };
    std::map<std::string, std::map<std::string, Value>> registry;
    LONG regCreateResult = ERROR_SUCCESS;  // non-zero: every RegCreateKeyExA fails with it

    // Proxy/stubs: the in-process entry (recorded "Proxy(<entry>,<path>)") and the
    // programs started (recorded "CreateProcessA(<command line>)"), whose exit
    // code is regsvrExitCode.
    BOOL wow64 = FALSE;  // a 32-bit program on 64-bit Windows
    HRESULT proxyResult = S_OK;
    bool createProcessOk = true;
    DWORD regsvrExitCode = 0;
    DWORD regsvrWait = WAIT_OBJECT_0;
};

extern World* world;

// A table of recorders bound to `world`.
krelinst::InstallerPlatform MakePlatform();

// The calls whose names are in `names`, in order.
std::vector<std::string> Only(const std::vector<std::string>& calls,
                              const std::set<std::string>& names);
// The position of the first call starting with `prefix`, or -1.
int IndexOf(const std::vector<std::string>& calls, const std::string& prefix);

// A key of the modelled registry ("64" or "32" view) and its string values.
std::string KeyPath(const char* view, const std::string& path);
void SetRegString(const char* view, const std::string& path, const char* name, const std::string& value);
// The string, or "<none>" when the key or the value is missing.
std::string RegString(const char* view, const std::string& path, const char* name);

// The formatted text of an error or warning box, written out independently of
// the installer's own format string.
std::string ErrorText(const std::string& message, const std::string& label, unsigned code);

}  // namespace fake

#endif
