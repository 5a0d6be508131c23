// The server list stand-in, OPC.Krel.Enum.exe. Clients ask a computer's server
// list (OPCEnum's class) which CLSID a ProgID has, and most computers without the
// OPC Core Components have none. The kit registers its own under OPCEnum's class
// and AppID, so that clients and "/OpcEnum=1" find it where they look, but only
// where no server list is registered in either registry view: another vendor's is
// never replaced. /Uninstall removes the registration only while it still names
// the kit's service (Core Components installed after the kit take the class over,
// and theirs stays); the kit's service goes in any case.
#include "Installer.h"

#include <string.h>

#include <string>

#include "EnumIdentity.h"

namespace krelinst {

namespace {

const char kClsid[] = "{13486D51-4821-11D2-A494-3CB306C10000}";
const char kAppId[] = "{13486D44-4821-11D2-A494-3CB306C10000}";
const char kClassKey[] = "SOFTWARE\\Classes\\CLSID\\{13486D51-4821-11D2-A494-3CB306C10000}";
const char kAppIdKey[] = "SOFTWARE\\Classes\\AppID\\{13486D44-4821-11D2-A494-3CB306C10000}";
const char kExeAppIdKey[] = "SOFTWARE\\Classes\\AppID\\" KRELENUM_FILE_NAME;
const char kProgId[] = "OPC.ServerList.1";
const char kIndependentProgId[] = "OPC.ServerList";
const char kUserType[] = "OPC Krel Enum";
// The name DCOM's configuration tools list the AppID under, as for OPCEnum.
const char kAppIdName[] = "OpcEnum";
// Written into an AppID key the install created: only then is the whole key the
// kit's to remove (an older one keeps what others wrote into it).
const char kMarkCreated[] = "KetraEnumCreated";
// The service reads the registry and answers COM: it needs no more rights.
const char kAccount[] = "NT AUTHORITY\\LocalService";
const char kDescription[] = "Lista de servidores OPC de Kreleo (Versión 3.0)";
const char kInstallWarning[] = "No se pudo instalar la lista de servidores OPC";
const char kUninstallWarning[] = "No se pudo desinstalar la lista de servidores OPC";
// The server list lets clients in unauthenticated unless an administrator chose
// otherwise, as OPCEnum does: clients of every security setting ask it.
const DWORD kAuthnNone = 1;

// A registry key closed through the platform table on every path.
class Key {
public:
    explicit Key(const InstallerPlatform& p) : p_(p), k_(nullptr) {}
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    ~Key() {
        if (k_) p_.RegCloseKey(k_);
    }
    HKEY* put() { return &k_; }
    HKEY get() const { return k_; }

private:
    const InstallerPlatform& p_;
    HKEY k_;
};

bool ReadString(const InstallerPlatform& p, HKEY key, const char* name, std::string* out) {
    char buffer[264];
    DWORD type = 0, size = sizeof(buffer) - 1;
    if (p.RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) !=
            ERROR_SUCCESS ||
        type != REG_SZ)
        return false;
    buffer[size] = '\0';
    *out = buffer;
    return true;
}

bool ReadString(const InstallerPlatform& p, const std::string& path, REGSAM view, const char* name,
                std::string* out) {
    Key key(p);
    return p.RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ | view, key.put()) ==
               ERROR_SUCCESS &&
           ReadString(p, key.get(), name, out);
}

LONG SetString(const InstallerPlatform& p, HKEY key, const char* name, const char* value) {
    return p.RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value),
                            static_cast<DWORD>(strlen(value) + 1));
}

// Creates the key (in this process's own view) and sets one string value in it.
LONG WriteString(const InstallerPlatform& p, const std::string& path, const char* name,
                 const char* value) {
    Key key(p);
    LONG rc = p.RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_WRITE,
                                nullptr, key.put(), nullptr);
    return rc != ERROR_SUCCESS ? rc : SetString(p, key.get(), name, value);
}

// A key that is not there counts as deleted.
LONG DeleteKey(const InstallerPlatform& p, const std::string& path) {
    LONG rc = p.RegDeleteKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, 0);
    return rc == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : rc;
}

}  // namespace

// `present`: the view holds a registration of the server list's class at all.
// Ours names the kit's service through OPCEnum's AppID and no program of its own.
bool Installer::IsOurServerList(REGSAM view, bool* present) {
    Key cls(p_);
    *present = p_.RegOpenKeyExA(HKEY_LOCAL_MACHINE, kClassKey, 0, KEY_READ | view, cls.put()) ==
               ERROR_SUCCESS;
    if (!*present) return false;
    std::string appId, service;
    Key program(p_);
    return ReadString(p_, cls.get(), "AppID", &appId) && _stricmp(appId.c_str(), kAppId) == 0 &&
           p_.RegOpenKeyExA(cls.get(), "LocalServer32", 0, KEY_READ | view, program.put()) !=
               ERROR_SUCCESS &&
           ReadString(p_, kAppIdKey, view, "LocalService", &service) &&
           _stricmp(service.c_str(), KRELENUM_SERVICE_NAME) == 0;
}

Installer::ServerListOwner Installer::FindServerList() {
    // This process's own view first, then both by name: on 32-bit Windows the
    // flags are ignored and all three are the one view.
    const REGSAM views[] = {0, KEY_WOW64_64KEY, KEY_WOW64_32KEY};
    bool ours = false;
    for (REGSAM view : views) {
        bool present = false;
        bool mine = IsOurServerList(view, &present);
        if (present && !mine) return kOtherServerList;
        ours = ours || mine;
    }
    return ours ? kOurServerList : kNoServerList;
}

void Installer::InstallServerList(SC_HANDLE manager) {
    if (FindServerList() == kOtherServerList) return;  // another vendor's serves this computer

    // The service before the class: COM must never find the class without it. An
    // earlier installation's is replaced the way the kit's server is, so that it
    // runs this folder's program.
    const ServiceSpec wanted = {KRELENUM_SERVICE_NAME, paths_.enumPath, SERVICE_DEMAND_START, kAccount,
                              kInstallWarning, kIconWarning};
    ScHandle service(p_, CreateOrReplaceService(manager, wanted));
    if (!service) return;
    LONG rc = ERROR_SUCCESS;
    const char* label = "ChangeServiceConfig2";
    if (!Describe(service.get(), kDescription))
        rc = static_cast<LONG>(p_.GetLastError());
    else if (WriteServerListKeys(&rc, &label))
        return;
    else
        RemoveServerListKeys();
    p_.DeleteService(service.get());
    ErrorBox(kInstallWarning, label, static_cast<DWORD>(rc), kIconWarning);
}

// The AppID first and the class last: the class is what makes the list visible.
bool Installer::WriteServerListKeys(LONG* rc, const char** label) {
    *label = "RegCreateKeyEx";
    Key app(p_);
    DWORD disposition = 0;
    if ((*rc = p_.RegCreateKeyExA(HKEY_LOCAL_MACHINE, kAppIdKey, 0, nullptr, 0,
                                  KEY_READ | KEY_WRITE, nullptr, app.put(), &disposition)) !=
        ERROR_SUCCESS)
        return false;
    *label = "RegSetValueEx";
    if (disposition == REG_CREATED_NEW_KEY) {
        const DWORD one = 1;
        if ((*rc = SetString(p_, app.get(), nullptr, kAppIdName)) != ERROR_SUCCESS ||
            (*rc = p_.RegSetValueExA(app.get(), kMarkCreated, 0, REG_DWORD,
                                     reinterpret_cast<const BYTE*>(&one), sizeof(one))) !=
                ERROR_SUCCESS)
            return false;
    }
    DWORD type = 0, level = 0, size = sizeof(level);
    if (p_.RegQueryValueExA(app.get(), "AuthenticationLevel", nullptr, &type,
                            reinterpret_cast<BYTE*>(&level), &size) != ERROR_SUCCESS &&
        (*rc = p_.RegSetValueExA(app.get(), "AuthenticationLevel", 0, REG_DWORD,
                                 reinterpret_cast<const BYTE*>(&kAuthnNone),
                                 sizeof(kAuthnNone))) != ERROR_SUCCESS)
        return false;
    if ((*rc = SetString(p_, app.get(), "LocalService", KRELENUM_SERVICE_NAME)) != ERROR_SUCCESS)
        return false;

    const std::string classes = "SOFTWARE\\Classes\\", cls = kClassKey;
    const struct {
        std::string key;
        const char* name;
        const char* value;
    } values[] = {
        {kExeAppIdKey, "AppID", kAppId},
        {classes + kProgId, nullptr, kUserType},
        {classes + kProgId + "\\CLSID", nullptr, kClsid},
        {classes + kIndependentProgId, nullptr, kUserType},
        {classes + kIndependentProgId + "\\CLSID", nullptr, kClsid},
        {classes + kIndependentProgId + "\\CurVer", nullptr, kProgId},
        {cls + "\\ProgID", nullptr, kProgId},
        {cls + "\\VersionIndependentProgID", nullptr, kIndependentProgId},
        {cls, nullptr, kUserType},
        {cls, "AppID", kAppId},
    };
    *label = "RegCreateKeyEx";
    for (const auto& v : values)
        if ((*rc = WriteString(p_, v.key, v.name, v.value)) != ERROR_SUCCESS) return false;
    return true;
}

// The class first: from then on no client finds the list. What another vendor's
// ProgID or AppID holds stays.
LONG Installer::RemoveServerListKeys() {
    const std::string classes = "SOFTWARE\\Classes\\", cls = kClassKey;
    LONG failed = ERROR_SUCCESS;
    auto drop = [&](const std::string& path) {
        LONG rc = DeleteKey(p_, path);
        if (failed == ERROR_SUCCESS) failed = rc;
    };
    drop(cls + "\\ProgID");
    drop(cls + "\\VersionIndependentProgID");
    drop(cls);
    for (const char* progId : {kProgId, kIndependentProgId}) {
        std::string target;
        if (!ReadString(p_, classes + progId + "\\CLSID", 0, nullptr, &target) ||
            _stricmp(target.c_str(), kClsid) != 0)
            continue;
        drop(classes + progId + "\\CLSID");
        drop(classes + progId + "\\CurVer");
        drop(classes + progId);
    }
    drop(kExeAppIdKey);
    Key app(p_);
    if (p_.RegOpenKeyExA(HKEY_LOCAL_MACHINE, kAppIdKey, 0, KEY_READ | KEY_WRITE, app.put()) ==
        ERROR_SUCCESS) {
        DWORD type = 0, mark = 0, size = sizeof(mark);
        bool created = p_.RegQueryValueExA(app.get(), kMarkCreated, nullptr, &type,
                                           reinterpret_cast<BYTE*>(&mark), &size) == ERROR_SUCCESS &&
                       type == REG_DWORD && mark == 1;
        if (created) {
            drop(kAppIdKey);
        } else {
            LONG rc = p_.RegDeleteValueA(app.get(), "LocalService");
            if (rc != ERROR_FILE_NOT_FOUND && failed == ERROR_SUCCESS) failed = rc;
        }
    }
    return failed;
}

void Installer::UninstallServerList(SC_HANDLE manager) {
    if (FindServerList() == kOurServerList) {
        LONG rc = RemoveServerListKeys();
        if (rc != ERROR_SUCCESS)
            ErrorBox(kUninstallWarning, "RegDeleteKeyEx", static_cast<DWORD>(rc), kIconWarning);
    }
    ScHandle service(p_, p_.OpenServiceA(manager, KRELENUM_SERVICE_NAME, kAccess));
    if (!service) {
        DWORD err = p_.GetLastError();
        if (err != ERROR_SERVICE_DOES_NOT_EXIST)
            ErrorBox(kUninstallWarning, "OpenService", err, kIconWarning);
        return;
    }
    SERVICE_STATUS status;
    memset(&status, 0, sizeof(status));
    p_.ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
    // Marked for deletion: it goes once it has stopped, nothing to tell.
    if (!p_.DeleteService(service.get())) {
        DWORD err = p_.GetLastError();
        if (err != ERROR_SERVICE_MARKED_FOR_DELETE)
            ErrorBox(kUninstallWarning, "DeleteService", err, kIconWarning);
    }
}

void Installer::AddServerListToFirewall() {
    if (FindServerList() != kOurServerList) return;
    int rc = p_.FWAddApp(paths_.enumPath);
    if (rc != 0)
        ErrorBox("No se pudo configurar el FireWall de Windows para el OPC Krel Enum",
                 "FWAddApp Enum", static_cast<DWORD>(rc), kIconWarning);
}

}  // namespace krelinst
