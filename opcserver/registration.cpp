// COM registration of the server class (RegisterServer/UnRegisterServer) and
// OPCEnum's DCOM rights (ConfigureOpcEnumACL).
//
// What RegisterServer writes:
//   HKCR\CLSID\{clsid}                  = description; AppID = {clsid}
//   HKCR\CLSID\{clsid}\ProgID           = ProgID (also VersionIndependentProgID)
//   HKCR\CLSID\{clsid}\Implemented Categories\{CATID_OPCDAServer20}
//   HKCR\<ProgID>                       = description; \CLSID = {clsid}; \OPC
//   HKCR\AppID\{clsid}                  = description; LocalService = ProgID (when
//                                         bound to the service); AuthenticationLevel;
//                                         AccessPermission; LaunchPermission
// plus the OPC proxy/stub entries of OPCKrelProxy.dll for interfaces that have
// none. Two bookkeeping values in the AppID key remember whether the proxy and
// the category description were ours to write, so that UnRegisterServer removes
// exactly what was written and leaves other vendors' entries alone.
#include <windows.h>
#include <objbase.h>
#include <comcat.h>
#include <sddl.h>

#include <memory>
#include <string>
#include <vector>

#include "KetraOPCServer.h"
#include "kit_com.h"
#include "opcconst.h"
#include "opccomn.h"
#include "opcda.h"

namespace {

const char kProxyFile[] = "OPCKrelProxy.dll";
const char kProxyClsid[] = "{7E3B8F52-4C1D-4F0A-9B6E-2D5A8C7F1E30}";
const char kOpcEnumAppId[] = "{13486D44-4821-11D2-A494-3CB306C10000}";
const char kMarkProxy[] = "KetraProxyRegistered";
const char kMarkCategory[] = "KetraCategoryRegistered";

// COM_RIGHTS_* (objbase.h of newer SDKs only).
const DWORD kExecute = 0x1, kExecuteLocal = 0x2, kExecuteRemote = 0x4, kActivateLocal = 0x8,
            kActivateRemote = 0x10;
const DWORD kAccessMask = kExecute | kExecuteLocal | kExecuteRemote;
const DWORD kLaunchMask = kExecute | kExecuteLocal | kExecuteRemote | kActivateLocal | kActivateRemote;
const DWORD kAuthnPacketIntegrity = 5;  // RPC_C_AUTHN_LEVEL_PKT_INTEGRITY

extern "C" IMAGE_DOS_HEADER __ImageBase;

std::string GuidText(const GUID& g) {
    wchar_t w[40];
    if (!StringFromGUID2(g, w, 40)) return std::string();
    return kit::AnsiFromWide(w);
}

bool SetString(HKEY root, const std::string& sub, const char* name, const std::string& value) {
    kit::RegKey key;
    if (RegCreateKeyExA(root, sub.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, key.put(), nullptr) != ERROR_SUCCESS)
        return false;
    return RegSetValueExA(key.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                          static_cast<DWORD>(value.size() + 1)) == ERROR_SUCCESS;
}

bool SetValue(HKEY root, const std::string& sub, const char* name, DWORD type, const void* data, DWORD size) {
    kit::RegKey key;
    if (RegCreateKeyExA(root, sub.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, key.put(), nullptr) != ERROR_SUCCESS)
        return false;
    return RegSetValueExA(key.get(), name, 0, type, static_cast<const BYTE*>(data), size) == ERROR_SUCCESS;
}

bool KeyExists(HKEY root, const std::string& sub) {
    kit::RegKey key;
    return RegOpenKeyExA(root, sub.c_str(), 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

bool ReadString(HKEY root, const std::string& sub, const char* name, std::string* out) {
    kit::RegKey key;
    if (RegOpenKeyExA(root, sub.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS) return false;
    char buffer[512];
    DWORD size = sizeof(buffer) - 1, type = 0;
    if (RegQueryValueExA(key.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) != ERROR_SUCCESS ||
        type != REG_SZ)
        return false;
    buffer[size] = 0;
    *out = buffer;
    return true;
}

bool ReadBinary(HKEY root, const std::string& sub, const char* name, std::vector<BYTE>* out) {
    kit::RegKey key;
    if (RegOpenKeyExA(root, sub.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS) return false;
    DWORD size = 0, type = 0;
    if (RegQueryValueExA(key.get(), name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS || type != REG_BINARY)
        return false;
    out->resize(size);
    return size > 0 &&
           RegQueryValueExA(key.get(), name, nullptr, &type, out->data(), &size) == ERROR_SUCCESS;
}

DWORD ReadDword(HKEY root, const std::string& sub, const char* name) {
    kit::RegKey key;
    if (RegOpenKeyExA(root, sub.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS) return 0;
    DWORD value = 0, size = sizeof(value), type = 0;
    if (RegQueryValueExA(key.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) != ERROR_SUCCESS ||
        type != REG_DWORD)
        return 0;
    return value;
}

// RegDeleteTree is missing on Windows XP.
void DeleteTree(HKEY root, const std::string& sub) {
    {
        kit::RegKey key;
        if (RegOpenKeyExA(root, sub.c_str(), 0, KEY_READ | KEY_WRITE, key.put()) != ERROR_SUCCESS) return;
        for (;;) {
            char child[256];
            DWORD size = sizeof(child);
            if (RegEnumKeyExA(key.get(), 0, child, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
            DeleteTree(root, sub + "\\" + child);
            // A child that cannot go would loop for ever.
            kit::RegKey check;
            if (RegOpenKeyExA(root, (sub + "\\" + child).c_str(), 0, KEY_READ, check.put()) == ERROR_SUCCESS) return;
        }
    }
    RegDeleteKeyA(root, sub.c_str());
}

// Well-known accounts by their English names, so that a localised Windows
// (where "Everyone" is called otherwise) still resolves the installer's list.
bool SidOfAccount(const char* name, std::vector<BYTE>* sid) {
    static const struct {
        const char* name;
        const char* sid;
    } known[] = {
        {"Everyone", "S-1-1-0"},        {"SYSTEM", "S-1-5-18"},
        {"NETWORK", "S-1-5-2"},         {"INTERACTIVE", "S-1-5-4"},
        {"ANONYMOUS LOGON", "S-1-5-7"}, {"Administrators", "S-1-5-32-544"},
        {"Authenticated Users", "S-1-5-11"}, {"LOCAL SERVICE", "S-1-5-19"},
        {"NETWORK SERVICE", "S-1-5-20"}, {"Users", "S-1-5-32-545"},
    };
    for (const auto& k : known) {
        if (lstrcmpiA(k.name, name) != 0) continue;
        PSID p = nullptr;
        if (!ConvertStringSidToSidA(k.sid, &p)) return false;
        DWORD n = GetLengthSid(p);
        sid->assign(static_cast<BYTE*>(p), static_cast<BYTE*>(p) + n);
        LocalFree(p);
        return true;
    }
    BYTE buffer[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof(buffer);
    char domain[256];
    DWORD domainSize = sizeof(domain);
    SID_NAME_USE use;
    if (!LookupAccountNameA(nullptr, name, buffer, &size, domain, &domainSize, &use)) return false;
    sid->assign(buffer, buffer + GetLengthSid(buffer));
    return true;
}

bool SidsOfAccounts(const char* const* accounts, std::vector<std::vector<BYTE>>* sids) {
    if (!accounts) return true;
    for (; *accounts; ++accounts) {
        std::vector<BYTE> sid;
        if (!SidOfAccount(*accounts, &sid)) return false;
        sids->push_back(sid);
    }
    return true;
}

struct LocalSid {
    explicit LocalSid(PSID p) : p_(p) {}
    ~LocalSid() { LocalFree(p_); }
    LocalSid(const LocalSid&) = delete;
    LocalSid& operator=(const LocalSid&) = delete;
    PSID p_;
};

// A self-relative security descriptor granting `mask` to every SID, keeping the
// entries of `existing` (when given): rights others configured stay as they were.
bool BuildDescriptor(const std::vector<BYTE>* existing, const std::vector<std::vector<BYTE>>& sids, DWORD mask,
                     std::vector<BYTE>* out) {
    PACL oldDacl = nullptr;
    PSID owner = nullptr, group = nullptr;
    BOOL present = FALSE, defaulted = FALSE;
    PSECURITY_DESCRIPTOR oldSd = existing ? const_cast<BYTE*>(existing->data()) : nullptr;
    if (oldSd && !IsValidSecurityDescriptor(oldSd)) oldSd = nullptr;
    if (oldSd) {
        GetSecurityDescriptorDacl(oldSd, &present, &oldDacl, &defaulted);
        if (!present) oldDacl = nullptr;
        GetSecurityDescriptorOwner(oldSd, &owner, &defaulted);
        GetSecurityDescriptorGroup(oldSd, &group, &defaulted);
    }
    PSID admins = nullptr;
    if (!ConvertStringSidToSidA("S-1-5-32-544", &admins)) return false;
    LocalSid adminsHolder(admins);
    if (!owner) owner = admins;
    if (!group) group = admins;

    // Which SIDs already have an allow entry with at least our rights.
    std::vector<bool> covered(sids.size(), false);
    DWORD size = sizeof(ACL);
    if (oldDacl) {
        ACL_SIZE_INFORMATION info;
        if (!GetAclInformation(oldDacl, &info, sizeof(info), AclSizeInformation)) return false;
        size += info.AclBytesInUse;
        for (DWORD i = 0; i < info.AceCount; ++i) {
            ACE_HEADER* ace = nullptr;
            if (!GetAce(oldDacl, i, reinterpret_cast<void**>(&ace))) continue;
            if (ace->AceType != ACCESS_ALLOWED_ACE_TYPE) continue;
            ACCESS_ALLOWED_ACE* allowed = reinterpret_cast<ACCESS_ALLOWED_ACE*>(ace);
            for (size_t s = 0; s < sids.size(); ++s)
                if ((allowed->Mask & mask) == mask &&
                    EqualSid(reinterpret_cast<PSID>(&allowed->SidStart), const_cast<BYTE*>(sids[s].data())))
                    covered[s] = true;
        }
    }
    for (size_t s = 0; s < sids.size(); ++s)
        if (!covered[s]) size += sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD) + static_cast<DWORD>(sids[s].size());

    std::vector<BYTE> aclBuffer(size);
    PACL acl = reinterpret_cast<PACL>(aclBuffer.data());
    if (!InitializeAcl(acl, size, ACL_REVISION)) return false;
    if (oldDacl) {
        ACL_SIZE_INFORMATION info;
        GetAclInformation(oldDacl, &info, sizeof(info), AclSizeInformation);
        for (DWORD i = 0; i < info.AceCount; ++i) {
            ACE_HEADER* ace = nullptr;
            if (GetAce(oldDacl, i, reinterpret_cast<void**>(&ace)) && !AddAce(acl, ACL_REVISION, MAXDWORD, ace, ace->AceSize))
                return false;
        }
    }
    for (size_t s = 0; s < sids.size(); ++s)
        if (!covered[s] && !AddAccessAllowedAce(acl, ACL_REVISION, mask, const_cast<BYTE*>(sids[s].data())))
            return false;

    SECURITY_DESCRIPTOR sd;
    if (!InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(&sd, TRUE, acl, FALSE) || !SetSecurityDescriptorOwner(&sd, owner, FALSE) ||
        !SetSecurityDescriptorGroup(&sd, group, FALSE))
        return false;
    DWORD length = 0;
    MakeSelfRelativeSD(&sd, nullptr, &length);
    if (length == 0) return false;
    out->resize(length);
    return MakeSelfRelativeSD(&sd, out->data(), &length) != FALSE;
}

// Grants the SIDs access and launch rights in one AppID key.
bool GrantAppId(const std::string& appKey, const std::vector<std::vector<BYTE>>& sids) {
    std::vector<BYTE> oldAccess, oldLaunch, access, launch;
    bool hasAccess = ReadBinary(HKEY_CLASSES_ROOT, appKey, "AccessPermission", &oldAccess);
    bool hasLaunch = ReadBinary(HKEY_CLASSES_ROOT, appKey, "LaunchPermission", &oldLaunch);
    if (!BuildDescriptor(hasAccess ? &oldAccess : nullptr, sids, kAccessMask, &access) ||
        !BuildDescriptor(hasLaunch ? &oldLaunch : nullptr, sids, kLaunchMask, &launch))
        return false;
    return SetValue(HKEY_CLASSES_ROOT, appKey, "AccessPermission", REG_BINARY, access.data(),
                    static_cast<DWORD>(access.size())) &&
           SetValue(HKEY_CLASSES_ROOT, appKey, "LaunchPermission", REG_BINARY, launch.data(),
                    static_cast<DWORD>(launch.size()));
}

std::string ProxyPath() {
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(reinterpret_cast<HMODULE>(&__ImageBase), path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return std::string();
    std::string p(path, n);
    size_t slash = p.find_last_of("\\/");
    return (slash == std::string::npos ? std::string() : p.substr(0, slash + 1)) + kProxyFile;
}

bool CallProxy(const char* entry) {
    std::string path = ProxyPath();
    if (path.empty()) return false;
    HMODULE module = LoadLibraryA(path.c_str());
    if (!module) return false;
    typedef HRESULT(WINAPI * Entry)();
    Entry fn = reinterpret_cast<Entry>(reinterpret_cast<void*>(GetProcAddress(module, entry)));
    HRESULT hr = fn ? fn() : E_FAIL;
    FreeLibrary(module);
    return SUCCEEDED(hr);
}

bool OpcServerHasProxy() {
    std::string iid = GuidText(IID_IOPCServer);
    return KeyExists(HKEY_CLASSES_ROOT, "Interface\\" + iid + "\\ProxyStubClsid32");
}

bool RegisterCategory(const CLSID& clsid, bool* createdDescription) {
    std::string catid = GuidText(CATID_OPCDAServer20);
    *createdDescription = !KeyExists(HKEY_CLASSES_ROOT, "Component Categories\\" + catid);
    kit::ComInit com(COINIT_MULTITHREADED);
    kit::ComPtr<ICatRegister> cat;
    if (SUCCEEDED(CoCreateInstance(CLSID_StdComponentCategoriesMgr, nullptr, CLSCTX_INPROC_SERVER,
                                   IID_ICatRegister, cat.put_void()))) {
        if (*createdDescription) {
            CATEGORYINFO info;
            info.catid = CATID_OPCDAServer20;
            info.lcid = 0x409;
            lstrcpynW(info.szDescription, OPC_CATEGORY_DESCRIPTION_DA20, 128);
            cat->RegisterCategories(1, &info);
        }
        CATID id = CATID_OPCDAServer20;
        if (SUCCEEDED(cat->RegisterClassImplCategories(clsid, 1, &id))) return true;
    }
    // Without the category manager the keys it would write are written directly.
    if (*createdDescription &&
        !SetString(HKEY_CLASSES_ROOT, "Component Categories\\" + catid, "409",
                   kit::AnsiFromWide(OPC_CATEGORY_DESCRIPTION_DA20)))
        return false;
    return SetString(HKEY_CLASSES_ROOT, "CLSID\\" + GuidText(clsid) + "\\Implemented Categories\\" + catid, nullptr,
                     std::string());
}

// True when some class other than `except` still implements the category.
bool OtherImplementers(const CLSID& except) {
    kit::ComInit com(COINIT_MULTITHREADED);
    kit::ComPtr<ICatInformation> info;
    if (FAILED(CoCreateInstance(CLSID_StdComponentCategoriesMgr, nullptr, CLSCTX_INPROC_SERVER,
                                IID_ICatInformation, info.put_void())))
        return true;  // cannot tell: keep the shared description
    kit::ComPtr<IEnumGUID> classes;
    CATID id = CATID_OPCDAServer20;
    if (FAILED(info->EnumClassesOfCategories(1, &id, static_cast<ULONG>(-1), nullptr, classes.put())) || !classes)
        return true;
    GUID g;
    ULONG fetched = 0;
    while (classes->Next(1, &g, &fetched) == S_OK && fetched == 1)
        if (!IsEqualGUID(g, except)) return true;
    return false;
}

}  // namespace

// `name`: the ProgID, and the name of the Windows service that hosts the server.
// `name2`: the description (the class's user type name shown by OPC browsers).
// `flag`: non-zero binds the class to that service (AppID LocalService), so COM
// starts the service for a client when it is not running; 0 leaves activation
// to a host that is already running.
// `accounts`: null-terminated list of accounts granted DCOM access and launch.
extern "C" bool __stdcall RegisterServer(const GUID* clsid, const char* name, const char* name2, int flag,
                                         const char* const* accounts) {
    if (!clsid || !name || !*name) return false;
    if (!name2 || !*name2) name2 = name;
    std::vector<std::vector<BYTE>> sids;
    if (!SidsOfAccounts(accounts, &sids)) return false;

    const std::string id = GuidText(*clsid);
    const std::string clsKey = "CLSID\\" + id;
    const std::string appKey = "AppID\\" + id;
    const std::string progId = name;

    // The proxy first: without it no client outside this process can talk to us.
    bool proxyWasOurs = KeyExists(HKEY_CLASSES_ROOT, std::string("CLSID\\") + kProxyClsid);
    if (!CallProxy("DllRegisterServer") && !OpcServerHasProxy()) return false;

    bool ok = SetString(HKEY_CLASSES_ROOT, clsKey, nullptr, name2) &&
              SetString(HKEY_CLASSES_ROOT, clsKey, "AppID", id) &&
              SetString(HKEY_CLASSES_ROOT, clsKey + "\\ProgID", nullptr, progId) &&
              SetString(HKEY_CLASSES_ROOT, clsKey + "\\VersionIndependentProgID", nullptr, progId) &&
              SetString(HKEY_CLASSES_ROOT, progId, nullptr, name2) &&
              SetString(HKEY_CLASSES_ROOT, progId + "\\CLSID", nullptr, id) &&
              SetString(HKEY_CLASSES_ROOT, progId + "\\OPC", nullptr, std::string()) &&
              SetString(HKEY_CLASSES_ROOT, appKey, nullptr, name2) &&
              SetValue(HKEY_CLASSES_ROOT, appKey, "AuthenticationLevel", REG_DWORD, &kAuthnPacketIntegrity,
                       sizeof(DWORD));
    if (ok && flag) ok = SetString(HKEY_CLASSES_ROOT, appKey, "LocalService", progId);
    if (ok && !proxyWasOurs && KeyExists(HKEY_CLASSES_ROOT, std::string("CLSID\\") + kProxyClsid)) {
        DWORD one = 1;
        ok = SetValue(HKEY_CLASSES_ROOT, appKey, kMarkProxy, REG_DWORD, &one, sizeof(one));
    }
    if (ok && !sids.empty()) ok = GrantAppId(appKey, sids);
    if (ok) {
        bool created = false;
        ok = RegisterCategory(*clsid, &created);
        if (created) {
            DWORD one = 1;
            SetValue(HKEY_CLASSES_ROOT, appKey, kMarkCategory, REG_DWORD, &one, sizeof(one));
        }
    }
    if (!ok) {
        UnRegisterServer(clsid, name);
        return false;
    }
    return true;
}

extern "C" bool __stdcall UnRegisterServer(const GUID* clsid, const char* name) {
    if (!clsid) return false;
    const std::string id = GuidText(*clsid);
    const std::string clsKey = "CLSID\\" + id;
    const std::string appKey = "AppID\\" + id;

    bool proxyOurs = ReadDword(HKEY_CLASSES_ROOT, appKey, kMarkProxy) != 0;
    bool categoryOurs = ReadDword(HKEY_CLASSES_ROOT, appKey, kMarkCategory) != 0;

    // ProgIDs that name this class: the one given and the one the class names.
    std::vector<std::string> progIds;
    if (name && *name) progIds.push_back(name);
    std::string fromClass;
    if (ReadString(HKEY_CLASSES_ROOT, clsKey + "\\ProgID", nullptr, &fromClass) && !fromClass.empty())
        progIds.push_back(fromClass);
    for (const std::string& p : progIds) {
        std::string target;
        // A ProgID that now names another vendor's class is not ours to remove.
        if (ReadString(HKEY_CLASSES_ROOT, p + "\\CLSID", nullptr, &target) && lstrcmpiA(target.c_str(), id.c_str()) == 0)
            DeleteTree(HKEY_CLASSES_ROOT, p);
    }
    DeleteTree(HKEY_CLASSES_ROOT, clsKey);
    DeleteTree(HKEY_CLASSES_ROOT, appKey);

    if (categoryOurs && !OtherImplementers(*clsid))
        DeleteTree(HKEY_CLASSES_ROOT, "Component Categories\\" + GuidText(CATID_OPCDAServer20));
    if (proxyOurs) CallProxy("DllUnregisterServer");

    return !KeyExists(HKEY_CLASSES_ROOT, clsKey) && !KeyExists(HKEY_CLASSES_ROOT, appKey);
}

extern "C" bool __stdcall ConfigureOpcEnumACL(const char* const* accounts) {
    const std::string appKey = std::string("AppID\\") + kOpcEnumAppId;
    if (!KeyExists(HKEY_CLASSES_ROOT, appKey)) return false;  // OPCEnum is not installed
    std::vector<std::vector<BYTE>> sids;
    if (!accounts || !SidsOfAccounts(accounts, &sids) || sids.empty()) return false;
    return GrantAppId(appKey, sids);
}
