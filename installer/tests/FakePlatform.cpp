#include "FakePlatform.h"

#include <stdio.h>
#include <string.h>

namespace fake {

World* world = nullptr;

namespace {

const SC_HANDLE kManager = reinterpret_cast<SC_HANDLE>(0x100);
const HANDLE kProcess = reinterpret_cast<HANDLE>(0x777);
const HANDLE kRegsvr = reinterpret_cast<HANDLE>(0x778);
const HANDLE kRegsvrThread = reinterpret_cast<HANDLE>(0x779);
const HANDLE kSearch = reinterpret_cast<HANDLE>(0x888);
const HKEY kKey = reinterpret_cast<HKEY>(0x999);
std::set<SC_HANDLE> openSc;
std::map<SC_HANDLE, std::string> otherHandles;  // handles of services other than the main one
UINT_PTR nextService = 0x200;
const char kMainService[] = "OPC Krel Server";
BYTE sidStorage[64];

void Call(const std::string& name) { world->calls.push_back(name); }
std::string S(const char* s) { return s ? std::string(s) : std::string("<null>"); }
void Succeed() { world->lastError = World::kJunkError; }
template <class T>
T Fail(DWORD error, T result) {
    world->lastError = error;
    return result;
}

HWND WINAPI FindWindowA_(LPCSTR cls, LPCSTR title) {
    Call("FindWindowA");
    ++world->findWindowCalls;
    world->findWindowClass = cls ? cls : "<null>";
    world->findWindowTitle = S(title);
    Succeed();
    return world->ownerWindow;
}

int WINAPI MessageBoxA_(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
    Call("MessageBoxA");
    world->boxes.push_back(Box{S(text), S(caption), type, owner});
    Succeed();
    return IDOK;
}

DWORD WINAPI GetLastError_() { return world->lastError; }

DWORD WINAPI GetModuleFileNameA_(HMODULE module, LPSTR path, DWORD size) {
    Call(module ? "GetModuleFileNameA(module)" : "GetModuleFileNameA");
    if (world->moduleError) return Fail<DWORD>(world->moduleError, 0);
    const std::string& m = world->modulePath;
    if (m.size() >= size) {
        // Vista and later: cut, terminated, the buffer size returned.
        memcpy(path, m.data(), size - 1);
        path[size - 1] = '\0';
        return Fail<DWORD>(ERROR_INSUFFICIENT_BUFFER, size);
    }
    memcpy(path, m.c_str(), m.size() + 1);
    Succeed();
    return static_cast<DWORD>(m.size());
}

BOOL WINAPI AllocateAndInitializeSid_(PSID_IDENTIFIER_AUTHORITY authority, BYTE count, DWORD s0,
                                      DWORD s1, DWORD s2, DWORD s3, DWORD s4, DWORD s5, DWORD s6,
                                      DWORD s7, PSID* sid) {
    Call("AllocateAndInitializeSid");
    memcpy(world->sidAuthority, authority->Value, 6);
    world->sidCount = count;
    DWORD subs[8] = {s0, s1, s2, s3, s4, s5, s6, s7};
    memcpy(world->sidSub, subs, sizeof(subs));
    if (world->allocSidOk || world->allocSidReturnsSid) {
        *sid = sidStorage;
        ++world->sidsAllocated;
    } else {
        *sid = nullptr;
    }
    if (!world->allocSidOk) return Fail<BOOL>(world->allocSidError, FALSE);
    Succeed();
    return TRUE;
}

PVOID WINAPI FreeSid_(PSID sid) {
    Call("FreeSid");
    if (sid == sidStorage) ++world->sidsFreed;
    Succeed();
    return nullptr;
}

BOOL WINAPI CheckTokenMembership_(HANDLE token, PSID sid, PBOOL member) {
    Call("CheckTokenMembership");
    world->membershipToken = token;
    if (sid != sidStorage) Call("CheckTokenMembership(bad sid)");
    if (!world->checkMembershipOk) return Fail<BOOL>(world->checkMembershipError, FALSE);
    *member = world->isAdmin;
    Succeed();
    return TRUE;
}

BOOL WINAPI ShellExecuteExA_(SHELLEXECUTEINFOA* info) {
    Call("ShellExecuteExA");
    ++world->shellCalls;
    world->shellInfo = *info;
    world->shellVerb = S(info->lpVerb);
    world->shellFile = S(info->lpFile);
    world->shellParameters = S(info->lpParameters);
    world->shellDirectoryNull = info->lpDirectory == nullptr;
    if (!world->shellOk) return Fail<BOOL>(world->shellError, FALSE);
    info->hProcess = kProcess;
    ++world->processHandlesOpen;
    Succeed();
    return TRUE;
}

DWORD WINAPI WaitForSingleObject_(HANDLE handle, DWORD timeout) {
    Call("WaitForSingleObject");
    world->waitedHandle = handle;
    world->waitTimeout = timeout;
    Succeed();
    return handle == kRegsvr ? world->regsvrWait : WAIT_OBJECT_0;
}

BOOL WINAPI GetExitCodeProcess_(HANDLE process, LPDWORD code) {
    Call("GetExitCodeProcess");
    if (process != kProcess && process != kRegsvr) return Fail<BOOL>(ERROR_INVALID_HANDLE, FALSE);
    if (!world->exitCodeOk) return Fail<BOOL>(world->exitCodeError, FALSE);
    *code = process == kRegsvr ? world->regsvrExitCode : world->childExitCode;
    Succeed();
    return TRUE;
}

BOOL WINAPI CloseHandle_(HANDLE handle) {
    Call("CloseHandle");
    if (handle == kProcess || handle == kRegsvr || handle == kRegsvrThread) --world->processHandlesOpen;
    Succeed();
    return TRUE;
}

HRESULT __stdcall CallProxyEntry_(const char* path, const char* entry) {
    Call("Proxy(" + S(entry) + "," + S(path) + ")");
    Succeed();
    return world->proxyResult;
}

BOOL WINAPI IsWow64Process_(HANDLE, PBOOL wow64) {
    *wow64 = world->wow64;
    Succeed();
    return TRUE;
}

BOOL WINAPI CreateProcessA_(LPCSTR, LPSTR commandLine, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL, DWORD,
                            LPVOID, LPCSTR, LPSTARTUPINFOA, LPPROCESS_INFORMATION info) {
    Call("CreateProcessA(" + S(commandLine) + ")");
    if (!world->createProcessOk) return Fail<BOOL>(ERROR_FILE_NOT_FOUND, FALSE);
    info->hProcess = kRegsvr;
    info->hThread = kRegsvrThread;
    world->processHandlesOpen += 2;
    Succeed();
    return TRUE;
}

// Handles of the main service (another service's do not hold its entry).
size_t ServiceHandlesOpen() { return openSc.size() - openSc.count(kManager) - otherHandles.size(); }

// What time did on its own: a stop ends, and a deleted entry goes once it has
// stopped and nobody holds a handle to it any more.
void Settle() {
    if (world->serviceStopping && world->clock >= world->stopDoneAt) {
        world->serviceStopping = false;
        world->serviceRunning = false;
    }
    if (world->serviceMarkedForDelete && !world->serviceRunning && ServiceHandlesOpen() == 0) {
        world->serviceMarkedForDelete = false;
        world->serviceExists = false;
    }
}

SC_HANDLE NewService(const std::string& other = std::string()) {
    SC_HANDLE h = reinterpret_cast<SC_HANDLE>(nextService++);
    openSc.insert(h);
    if (!other.empty()) otherHandles[h] = other;
    ++world->scHandlesOpen;
    return h;
}

// The service another handle names, or null for the main one's handles.
World::Service* Other(SC_HANDLE h, const char* call) {
    auto it = otherHandles.find(h);
    if (it == otherHandles.end()) return nullptr;
    Call(it->second + "/" + call);
    auto service = world->services.find(it->second);
    static World::Service gone;  // deleted meanwhile: calls still find a handle
    return service == world->services.end() ? &gone : &service->second;
}

SC_HANDLE WINAPI OpenSCManagerA_(LPCSTR machine, LPCSTR database, DWORD access) {
    Call("OpenSCManagerA");
    char detail[80];
    snprintf(detail, sizeof(detail), "%s,%s,0x%lX", S(machine).c_str(), S(database).c_str(),
             static_cast<unsigned long>(access));
    world->scmArgs.push_back(detail);
    if (!world->scmOk) return Fail<SC_HANDLE>(world->scmError, nullptr);
    openSc.insert(kManager);
    ++world->scHandlesOpen;
    Succeed();
    return kManager;
}

SC_HANDLE WINAPI CreateServiceA_(SC_HANDLE manager, LPCSTR name, LPCSTR display, DWORD access,
                                 DWORD type, DWORD start, DWORD errorControl, LPCSTR path,
                                 LPCSTR group, LPDWORD tag, LPCSTR dependencies, LPCSTR account,
                                 LPCSTR password) {
    if (S(name) != kMainService) {
        Call(S(name) + "/CreateServiceA");
        if (world->otherCreateError) return Fail<SC_HANDLE>(world->otherCreateError, nullptr);
        if (world->services.count(S(name))) return Fail<SC_HANDLE>(ERROR_SERVICE_EXISTS, nullptr);
        World::Service& created = world->services[S(name)];
        created.startType = start;
        created.path = S(path);
        created.account = S(account);
        Succeed();
        return NewService(S(name));
    }
    Call("CreateServiceA");
    char numbers[80];
    snprintf(numbers, sizeof(numbers), "0x%lX,0x%lX,%lu,%lu", static_cast<unsigned long>(access),
             static_cast<unsigned long>(type), static_cast<unsigned long>(start),
             static_cast<unsigned long>(errorControl));
    world->createArgs = {manager == kManager ? "manager" : "?", S(name), S(display), numbers,
                         S(path), S(group), tag ? "tag" : "<null>", S(dependencies),
                         S(account), S(password)};
    Settle();
    if (world->createError) return Fail<SC_HANDLE>(world->createError, nullptr);
    if (world->serviceMarkedForDelete)
        return Fail<SC_HANDLE>(ERROR_SERVICE_MARKED_FOR_DELETE, nullptr);
    if (world->serviceExists) return Fail<SC_HANDLE>(ERROR_SERVICE_EXISTS, nullptr);
    world->serviceExists = true;
    world->serviceRunning = false;
    world->serviceStopping = false;
    world->servicePath = S(path);
    world->serviceDescription.clear();
    SC_HANDLE h = NewService();
    Succeed();
    return h;
}

SC_HANDLE WINAPI OpenServiceA_(SC_HANDLE manager, LPCSTR name, DWORD access) {
    if (S(name) != kMainService) {
        Call(S(name) + "/OpenServiceA");
        if (manager != kManager || !world->services.count(S(name)))
            return Fail<SC_HANDLE>(ERROR_SERVICE_DOES_NOT_EXIST, nullptr);
        Succeed();
        return NewService(S(name));
    }
    char detail[120];
    snprintf(detail, sizeof(detail), "OpenServiceA(%s,%s,0x%lX)",
             manager == kManager ? "manager" : "?", S(name).c_str(),
             static_cast<unsigned long>(access));
    Call(detail);
    Settle();
    if (world->openServiceError) return Fail<SC_HANDLE>(world->openServiceError, nullptr);
    if (!world->serviceExists) return Fail<SC_HANDLE>(ERROR_SERVICE_DOES_NOT_EXIST, nullptr);
    SC_HANDLE h = NewService();
    Succeed();
    return h;
}

bool IsService(SC_HANDLE h) { return h != kManager && openSc.count(h) != 0; }

BOOL WINAPI ControlService_(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status) {
    if (World::Service* other = Other(service, "ControlService")) {
        if (control != SERVICE_CONTROL_STOP || !other->running)
            return Fail<BOOL>(ERROR_SERVICE_NOT_ACTIVE, FALSE);
        other->running = false;
        Succeed();
        return TRUE;
    }
    Call(control == SERVICE_CONTROL_STOP ? "ControlService(stop)" : "ControlService(other)");
    if (!IsService(service) || !status) return Fail<BOOL>(ERROR_INVALID_HANDLE, FALSE);
    Settle();
    if (!world->serviceRunning) return Fail<BOOL>(ERROR_SERVICE_NOT_ACTIVE, FALSE);
    if (world->serviceStopping) return Fail<BOOL>(ERROR_SERVICE_CANNOT_ACCEPT_CTRL, FALSE);
    if (world->stopTakesMs == 0) {
        world->serviceRunning = false;
    } else {
        world->serviceStopping = true;
        world->stopDoneAt = world->stopTakesMs == World::kNever ? World::kNever
                                                                : world->clock + world->stopTakesMs;
    }
    Succeed();
    return TRUE;
}

BOOL WINAPI QueryServiceStatus_(SC_HANDLE service, LPSERVICE_STATUS status) {
    if (World::Service* other = Other(service, "QueryServiceStatus")) {
        memset(status, 0, sizeof(*status));
        status->dwCurrentState = other->running ? SERVICE_RUNNING : SERVICE_STOPPED;
        Succeed();
        return TRUE;
    }
    Call("QueryServiceStatus");
    if (!IsService(service) || !status) return Fail<BOOL>(ERROR_INVALID_HANDLE, FALSE);
    Settle();
    memset(status, 0, sizeof(*status));
    status->dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status->dwCurrentState = world->serviceStopping  ? SERVICE_STOP_PENDING
                             : world->serviceRunning ? SERVICE_RUNNING
                                                     : SERVICE_STOPPED;
    Succeed();
    return TRUE;
}

void WINAPI Sleep_(DWORD milliseconds) { world->clock += milliseconds; }

BOOL WINAPI DeleteService_(SC_HANDLE service) {
    if (Other(service, "DeleteService")) {
        if (world->otherDeleteError) return Fail<BOOL>(world->otherDeleteError, FALSE);
        world->services.erase(otherHandles[service]);
        Succeed();
        return TRUE;
    }
    Settle();
    Call(world->serviceRunning ? "DeleteService(running)" : "DeleteService");
    if (!IsService(service)) return Fail<BOOL>(ERROR_INVALID_HANDLE, FALSE);
    if (world->deleteError) return Fail<BOOL>(world->deleteError, FALSE);
    if (world->serviceMarkedForDelete)
        return Fail<BOOL>(ERROR_SERVICE_MARKED_FOR_DELETE, FALSE);
    if (world->serviceRunning) {
        world->serviceMarkedForDelete = true;  // gone once it has stopped
    } else {
        world->serviceExists = false;
    }
    Succeed();
    return TRUE;
}

BOOL WINAPI ChangeServiceConfig2A_(SC_HANDLE service, DWORD level, LPVOID info) {
    if (World::Service* other = Other(service, "ChangeServiceConfig2A")) {
        other->description = S(static_cast<SERVICE_DESCRIPTIONA*>(info)->lpDescription);
        Succeed();
        return TRUE;
    }
    Call(level == SERVICE_CONFIG_DESCRIPTION ? "ChangeServiceConfig2A(description)"
                                             : "ChangeServiceConfig2A(other)");
    if (!IsService(service)) return Fail<BOOL>(ERROR_INVALID_HANDLE, FALSE);
    if (world->configError) return Fail<BOOL>(world->configError, FALSE);
    if (level == SERVICE_CONFIG_DESCRIPTION)
        world->serviceDescription = S(static_cast<SERVICE_DESCRIPTIONA*>(info)->lpDescription);
    Succeed();
    return TRUE;
}

BOOL WINAPI StartServiceA_(SC_HANDLE service, DWORD argc, LPCSTR* argv) {
    Call(argc == 0 && argv == nullptr ? "StartServiceA" : "StartServiceA(args)");
    if (!IsService(service)) return Fail<BOOL>(ERROR_INVALID_HANDLE, FALSE);
    if (world->startError) return Fail<BOOL>(world->startError, FALSE);
    world->serviceRunning = true;
    Succeed();
    return TRUE;
}

BOOL WINAPI CloseServiceHandle_(SC_HANDLE h) {
    if (!otherHandles.count(h)) Call(h == kManager ? "CloseServiceHandle(manager)" : "CloseServiceHandle");
    Other(h, "CloseServiceHandle");
    otherHandles.erase(h);
    if (!openSc.erase(h)) return Fail<BOOL>(ERROR_INVALID_HANDLE, FALSE);
    --world->scHandlesOpen;
    Succeed();
    return TRUE;
}

DWORD WINAPI ExpandEnvironmentStringsA_(LPCSTR source, LPSTR dest, DWORD size) {
    std::string src = S(source);
    Call("ExpandEnvironmentStringsA(" + src + ")");
    if (world->expandFails.count(src)) return Fail<DWORD>(world->expandError, 0);
    if (world->expandTooLong.count(src)) {
        Succeed();
        return size + 40;  // the size it would need; nothing written
    }
    std::string out = src;
    const std::string var = "%SystemRoot%";
    size_t at = out.find(var);
    if (at != std::string::npos) out.replace(at, var.size(), world->systemRoot);
    if (out.size() + 1 > size) return static_cast<DWORD>(out.size() + 1);
    memcpy(dest, out.c_str(), out.size() + 1);
    Succeed();
    return static_cast<DWORD>(out.size() + 1);
}

HANDLE WINAPI FindFirstFileA_(LPCSTR pattern, LPWIN32_FIND_DATAA data) {
    Call("FindFirstFileA(" + S(pattern) + ")");
    if (!world->files.count(S(pattern)))
        return Fail<HANDLE>(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
    memset(data, 0, sizeof(*data));
    ++world->findHandlesOpen;
    Succeed();
    return kSearch;
}

BOOL WINAPI FindClose_(HANDLE search) {
    Call("FindClose");
    if (search != kSearch) return Fail<BOOL>(ERROR_INVALID_HANDLE, FALSE);
    --world->findHandlesOpen;
    Succeed();
    return TRUE;
}

BOOL WINAPI VerifyVersionInfoA_(LPOSVERSIONINFOEXA info, DWORD typeMask, DWORDLONG condition) {
    Call("VerifyVersionInfoA");
    world->versionMajor = info->dwMajorVersion;
    world->versionMinor = info->dwMinorVersion;
    world->versionSpMajor = info->wServicePackMajor;
    world->versionTypeMask = typeMask;
    world->versionCondition = condition;
    if (info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOEXA))
        return Fail<BOOL>(ERROR_INVALID_PARAMETER, FALSE);
    if (!world->vistaOrLater) return Fail<BOOL>(ERROR_OLD_WIN_VERSION, FALSE);
    Succeed();
    return TRUE;
}

// ---- The modelled registry below HKEY_LOCAL_MACHINE -------------------------

std::map<HKEY, std::string> modelKeys;  // open handles and the key each names
UINT_PTR nextModelKey = 0x5000;
const char kLsa[] = "SYSTEM\\CurrentControlSet\\Control\\Lsa";

std::string Lower(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

// A key opened without a view flag lies in the view of the installer's own bitness.
std::string ViewOf(REGSAM access) {
    if (!world->twoViews) return "32";
    if (access & KEY_WOW64_64KEY) return "64";
    if (access & KEY_WOW64_32KEY) return "32";
    return sizeof(void*) == 8 ? "64" : "32";
}

// The key a path names below HKLM or below an open key of the model; empty if neither.
std::string Resolve(HKEY root, LPCSTR path, REGSAM access) {
    if (root == HKEY_LOCAL_MACHINE) return ViewOf(access) + "|" + Lower(S(path));
    auto it = modelKeys.find(root);
    if (it == modelKeys.end()) return std::string();
    return path && *path ? it->second + "\\" + Lower(path) : it->second;
}

HKEY OpenModelKey(const std::string& full) {
    HKEY h = reinterpret_cast<HKEY>(nextModelKey++);
    modelKeys[h] = full;
    ++world->regKeysOpen;
    return h;
}

// Creates a key and every key above it, as the registry does.
bool CreateModelKey(const std::string& full) {
    bool created = !world->registry.count(full);
    for (size_t at = full.find('\\'); at != std::string::npos; at = full.find('\\', at + 1))
        world->registry[full.substr(0, at)];
    world->registry[full];
    return created;
}

LONG WINAPI RegOpenKeyExA_(HKEY root, LPCSTR path, DWORD, REGSAM access, PHKEY key) {
    if (!(root == HKEY_LOCAL_MACHINE && S(path) == kLsa)) {
        std::string full = Resolve(root, path, access);
        Call("HKLM/RegOpenKeyExA(" + full + ")");
        if (full.empty()) return ERROR_INVALID_HANDLE;
        if (!world->registry.count(full)) return ERROR_FILE_NOT_FOUND;
        *key = OpenModelKey(full);
        return ERROR_SUCCESS;
    }
    Call("RegOpenKeyExA");
    world->regRoot = root;
    world->regPath = S(path);
    world->regAccess = access;
    if (world->regOpenResult != ERROR_SUCCESS) return world->regOpenResult;
    *key = kKey;
    ++world->regKeysOpen;
    return ERROR_SUCCESS;
}

LONG WINAPI RegQueryValueExA_(HKEY key, LPCSTR name, LPDWORD, LPDWORD type, LPBYTE data,
                              LPDWORD size) {
    if (modelKeys.count(key)) {
        Call("HKLM/RegQueryValueExA(" + modelKeys[key] + "," + S(name) + ")");
        auto& values = world->registry[modelKeys[key]];
        auto it = values.find(name ? name : "");
        if (it == values.end()) return ERROR_FILE_NOT_FOUND;
        if (type) *type = it->second.type;
        DWORD need = static_cast<DWORD>(it->second.data.size());
        if (data && need > *size) {
            *size = need;
            return ERROR_MORE_DATA;
        }
        if (data && need) memcpy(data, it->second.data.data(), need);
        *size = need;
        return ERROR_SUCCESS;
    }
    Call("RegQueryValueExA(" + S(name) + ")");
    if (key != kKey) return ERROR_INVALID_HANDLE;
    if (!world->valueExists) return ERROR_FILE_NOT_FOUND;
    if (type) *type = world->valueType;
    DWORD need = static_cast<DWORD>(world->valueData.size());
    if (data && need > *size) {
        *size = need;
        return ERROR_MORE_DATA;
    }
    if (data && need) memcpy(data, world->valueData.data(), need);
    *size = need;
    return ERROR_SUCCESS;
}

LONG WINAPI RegSetValueExA_(HKEY key, LPCSTR name, DWORD, DWORD type, const BYTE* data,
                            DWORD size) {
    if (modelKeys.count(key)) {
        Call("HKLM/RegSetValueExA(" + modelKeys[key] + "," + S(name) + ")");
        if (world->regSetResult != ERROR_SUCCESS) return world->regSetResult;
        world->registry[modelKeys[key]][name ? name : ""] =
            World::Value{type, std::string(reinterpret_cast<const char*>(data), size)};
        return ERROR_SUCCESS;
    }
    Call("RegSetValueExA(" + S(name) + ")");
    if (key != kKey) return ERROR_INVALID_HANDLE;
    if (world->regSetResult != ERROR_SUCCESS) return world->regSetResult;
    world->valueExists = true;
    world->valueType = type;
    world->valueData.assign(data, data + size);
    return ERROR_SUCCESS;
}

LONG WINAPI RegCloseKey_(HKEY key) {
    if (modelKeys.erase(key)) {
        --world->regKeysOpen;
        return ERROR_SUCCESS;
    }
    Call("RegCloseKey");
    if (key != kKey) return ERROR_INVALID_HANDLE;
    --world->regKeysOpen;
    return ERROR_SUCCESS;
}

LONG WINAPI RegCreateKeyExA_(HKEY root, LPCSTR path, DWORD, LPSTR, DWORD, REGSAM access,
                             LPSECURITY_ATTRIBUTES, PHKEY key, LPDWORD disposition) {
    std::string full = Resolve(root, path, access);
    Call("HKLM/RegCreateKeyExA(" + full + ")");
    if (full.empty()) return ERROR_INVALID_HANDLE;
    if (world->regCreateResult != ERROR_SUCCESS) return world->regCreateResult;
    bool created = CreateModelKey(full);
    if (disposition) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    *key = OpenModelKey(full);
    return ERROR_SUCCESS;
}

LONG WINAPI RegDeleteKeyExA_(HKEY root, LPCSTR path, REGSAM view, DWORD) {
    std::string full = Resolve(root, path, view);
    Call("HKLM/RegDeleteKeyExA(" + full + ")");
    if (full.empty()) return ERROR_INVALID_HANDLE;
    auto it = world->registry.find(full);
    if (it == world->registry.end()) return ERROR_FILE_NOT_FOUND;
    auto child = world->registry.lower_bound(full + "\\");
    if (child != world->registry.end() && child->first.compare(0, full.size() + 1, full + "\\") == 0)
        return ERROR_ACCESS_DENIED;  // a key with subkeys is not deleted
    world->registry.erase(it);
    return ERROR_SUCCESS;
}

LONG WINAPI RegDeleteValueA_(HKEY key, LPCSTR name) {
    if (!modelKeys.count(key)) return ERROR_INVALID_HANDLE;
    Call("HKLM/RegDeleteValueA(" + modelKeys[key] + "," + S(name) + ")");
    return world->registry[modelKeys[key]].erase(name ? name : "") ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
}

bool __stdcall RegisterServer_(const GUID* clsid, const char* name, const char* name2, int flag,
                               const char* const* accounts) {
    Call("RegisterServer");
    char f[16];
    snprintf(f, sizeof(f), "%d", flag);
    char id[40] = "<null>";
    if (clsid)
        snprintf(id, sizeof(id), "%08lX-%04X-%04X-%02X%02X",
                 static_cast<unsigned long>(clsid->Data1), clsid->Data2, clsid->Data3,
                 clsid->Data4[0], clsid->Data4[7]);
    world->registerArgs = {id, S(name), S(name2), f};
    world->accountsSeen.clear();
    for (const char* const* a = accounts; a && *a; ++a) world->accountsSeen.push_back(*a);
    Succeed();
    if (!world->registerOk) return false;
    world->comRegistered = true;
    return true;
}

bool __stdcall UnRegisterServer_(const GUID* clsid, const char* name) {
    char id[20] = "<null>";
    if (clsid) snprintf(id, sizeof(id), "%08lX", static_cast<unsigned long>(clsid->Data1));
    Call(std::string("UnRegisterServer(") + id + "," + S(name) + ")");
    Succeed();
    if (!world->unregisterOk) return false;
    world->comRegistered = false;
    return true;
}

bool __stdcall ConfigureOpcEnumACL_(const char* const* accounts) {
    Call("ConfigureOpcEnumACL");
    world->accountsSeen.clear();
    for (const char* const* a = accounts; a && *a; ++a) world->accountsSeen.push_back(*a);
    Succeed();
    return world->aclOk;
}

int __stdcall FWAddApp_(const char* path) {
    Call("FWAddApp(" + S(path) + ")");
    Succeed();
    auto it = world->addAppResult.find(S(path));
    return it == world->addAppResult.end() ? 0 : it->second;
}

int __stdcall FWAddPort_(const char* name, int port) {
    Call("FWAddPort(" + S(name) + "," + std::to_string(port) + ")");
    Succeed();
    return world->addPortResult;
}

int __stdcall FWAllowExc_() {
    Call("FWAllowExc");
    Succeed();
    return world->allowExcResult;
}

}  // namespace

krelinst::InstallerPlatform MakePlatform() {
    krelinst::InstallerPlatform p = {};
    p.FindWindowA = FindWindowA_;
    p.MessageBoxA = MessageBoxA_;
    p.GetLastError = GetLastError_;
    p.GetModuleFileNameA = GetModuleFileNameA_;
    p.AllocateAndInitializeSid = AllocateAndInitializeSid_;
    p.FreeSid = FreeSid_;
    p.CheckTokenMembership = CheckTokenMembership_;
    p.ShellExecuteExA = ShellExecuteExA_;
    p.WaitForSingleObject = WaitForSingleObject_;
    p.GetExitCodeProcess = GetExitCodeProcess_;
    p.CloseHandle = CloseHandle_;
    p.OpenSCManagerA = OpenSCManagerA_;
    p.CreateServiceA = CreateServiceA_;
    p.OpenServiceA = OpenServiceA_;
    p.ControlService = ControlService_;
    p.QueryServiceStatus = QueryServiceStatus_;
    p.DeleteService = DeleteService_;
    p.ChangeServiceConfig2A = ChangeServiceConfig2A_;
    p.StartServiceA = StartServiceA_;
    p.CloseServiceHandle = CloseServiceHandle_;
    p.Sleep = Sleep_;
    p.ExpandEnvironmentStringsA = ExpandEnvironmentStringsA_;
    p.FindFirstFileA = FindFirstFileA_;
    p.FindClose = FindClose_;
    p.VerifyVersionInfoA = VerifyVersionInfoA_;
    p.RegOpenKeyExA = RegOpenKeyExA_;
    p.RegQueryValueExA = RegQueryValueExA_;
    p.RegSetValueExA = RegSetValueExA_;
    p.RegCloseKey = RegCloseKey_;
    p.RegCreateKeyExA = RegCreateKeyExA_;
    p.RegDeleteKeyExA = RegDeleteKeyExA_;
    p.RegDeleteValueA = RegDeleteValueA_;
    p.CallProxyEntry = CallProxyEntry_;
    p.IsWow64Process = IsWow64Process_;
    p.CreateProcessA = CreateProcessA_;
    p.RegisterServer = RegisterServer_;
    p.UnRegisterServer = UnRegisterServer_;
    p.ConfigureOpcEnumACL = ConfigureOpcEnumACL_;
    p.FWAddApp = FWAddApp_;
    p.FWAddPort = FWAddPort_;
    p.FWAllowExc = FWAllowExc_;
    openSc.clear();
    otherHandles.clear();
    modelKeys.clear();
    nextService = 0x200;
    return p;
}

std::vector<std::string> Only(const std::vector<std::string>& calls,
                              const std::set<std::string>& names) {
    std::vector<std::string> out;
    for (const auto& c : calls) {
        std::string name = c.substr(0, c.find('('));
        if (names.count(name) || names.count(c)) out.push_back(c);
    }
    return out;
}

int IndexOf(const std::vector<std::string>& calls, const std::string& prefix) {
    for (size_t i = 0; i < calls.size(); ++i)
        if (calls[i].compare(0, prefix.size(), prefix) == 0) return static_cast<int>(i);
    return -1;
}

std::string KeyPath(const char* view, const std::string& path) {
    return std::string(view) + "|" + Lower(path);
}

void SetRegString(const char* view, const std::string& path, const char* name, const std::string& value) {
    std::string full = KeyPath(view, path);
    CreateModelKey(full);
    world->registry[full][name ? name : ""] = World::Value{REG_SZ, value + '\0'};
}

std::string RegString(const char* view, const std::string& path, const char* name) {
    auto key = world->registry.find(KeyPath(view, path));
    if (key == world->registry.end()) return "<none>";
    auto value = key->second.find(name ? name : "");
    if (value == key->second.end() || value->second.type != REG_SZ) return "<none>";
    std::string text = value->second.data;
    while (!text.empty() && text.back() == '\0') text.pop_back();
    return text;
}

std::string ErrorText(const std::string& message, const std::string& label, unsigned code) {
    return message + "\n\n    Función: " + label + "\n    Código: " + std::to_string(code);
}

}  // namespace fake
