// The doctor's steps that need no OPC: this computer's DCOM settings, the
// proxy/stub DLLs, and the server computer's name and RPC port.
#include <winsock2.h>
#include <ws2tcpip.h>

#include "Doctor.h"

#include <cstdio>
#include <map>
#include <memory>

#include "Activation.h"

namespace ketra {
namespace opc {

namespace {

constexpr HRESULT Win32(unsigned long code) { return static_cast<HRESULT>(0x80070000UL | code); }

// Every OPC interface the library and the doctor call across a process boundary.
const ProxyInterface kKitInterfaces[] = {
    {"IOPCServer", &IID_IOPCServer, true, false},
    {"IOPCShutdown", &IID_IOPCShutdown, true, false},
    {"IOPCGroupStateMgt", &IID_IOPCGroupStateMgt, true, false},
    {"IOPCItemMgt", &IID_IOPCItemMgt, true, false},
    {"IOPCSyncIO", &IID_IOPCSyncIO, true, false},
    {"IOPCAsyncIO2", &IID_IOPCAsyncIO2, true, false},
    {"IOPCDataCallback", &IID_IOPCDataCallback, true, false},
    {"IOPCBrowseServerAddressSpace", &IID_IOPCBrowseServerAddressSpace, true, false},
    {"IOPCBrowse", &IID_IOPCBrowse, false, false},
    {"IOPCServerList", &IID_IOPCServerList, true, true},
};

// The registry view of this process's own bitness, named rather than left to
// redirection: a 32-bit program on 64-bit Windows uses the proxies and settings
// of the 32-bit view, a 64-bit program those of the 64-bit one.
const REGSAM kOwnView = sizeof(void*) == 8 ? KEY_WOW64_64KEY : KEY_WOW64_32KEY;
const int kOwnBits = static_cast<int>(sizeof(void*) * 8);

bool ReadString(HKEY root, const std::string& path, const char* value, std::string* out) {
    kit::RegKey key;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_QUERY_VALUE | kOwnView, key.put()) != ERROR_SUCCESS) return false;
    char text[MAX_PATH * 2] = "";
    DWORD type = 0, size = sizeof text - 1;
    if (RegQueryValueExA(key.get(), value, nullptr, &type, reinterpret_cast<BYTE*>(text), &size) != ERROR_SUCCESS)
        return false;
    if (type != REG_SZ && type != REG_EXPAND_SZ) return false;
    text[size < sizeof text ? size : sizeof text - 1] = '\0';
    *out = text;
    if (type == REG_EXPAND_SZ) {
        char expanded[MAX_PATH * 2] = "";
        DWORD n = ExpandEnvironmentStringsA(text, expanded, sizeof expanded);
        if (n > 0 && n <= sizeof expanded) *out = expanded;
    }
    return true;
}

bool ReadDword(HKEY root, const std::string& path, const char* value, DWORD* out) {
    kit::RegKey key;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_QUERY_VALUE | kOwnView, key.put()) != ERROR_SUCCESS) return false;
    DWORD type = 0, size = sizeof *out;
    return RegQueryValueExA(key.get(), value, nullptr, &type, reinterpret_cast<BYTE*>(out), &size) ==
               ERROR_SUCCESS &&
           type == REG_DWORD;
}

std::string GuidKey(const GUID& guid) {
    wchar_t text[40] = L"";
    StringFromGUID2(guid, text, 40);
    return kit::AnsiFromWide(text);
}

const char* AuthenticationName(DWORD level) {
    static const char* const names[] = {"predeterminado", "Ninguno", "Conectar", "Llamada", "Paquete",
                                        "Integridad de paquete", "Privacidad de paquete"};
    return level < sizeof names / sizeof names[0] ? names[level] : "?";
}

const char* ImpersonationName(DWORD level) {
    static const char* const names[] = {"predeterminado", "Anónimo", "Identificar", "Suplantar", "Delegar"};
    return level < sizeof names / sizeof names[0] ? names[level] : "?";
}

class Winsock {
public:
    Winsock() : rc_(WSAStartup(MAKEWORD(2, 2), &data_)) {}
    ~Winsock() { if (rc_ == 0) WSACleanup(); }
    int Result() const { return rc_; }
private:
    WSADATA data_;
    int rc_;
};

}  // namespace

bool IsThisComputer(const std::string& host) {
    if (host.empty() || host == "." || host == "::1" || host.compare(0, 4, "127.") == 0) return true;
    if (lstrcmpiA(host.c_str(), "localhost") == 0) return true;
    const COMPUTER_NAME_FORMAT formats[] = {ComputerNameNetBIOS, ComputerNameDnsHostname,
                                            ComputerNameDnsFullyQualified};
    for (COMPUTER_NAME_FORMAT format : formats) {
        char name[256] = "";
        DWORD size = sizeof name;
        if (GetComputerNameExA(format, name, &size) && lstrcmpiA(name, host.c_str()) == 0) return true;
    }
    return false;
}

HRESULT ProbeHost(const char* host, unsigned short port, DWORD timeoutMs, std::string* address) {
    address->clear();
    Winsock winsock;
    if (winsock.Result() != 0) return Win32(static_cast<unsigned long>(winsock.Result()));
    char service[8];
    std::snprintf(service, sizeof service, "%u", static_cast<unsigned>(port));
    addrinfo hints = {};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* found = nullptr;
    // DCOM setups are IPv4 nearly always: an IPv4 address first, any other after.
    hints.ai_family = AF_INET;
    int rc = getaddrinfo(host, service, &hints, &found);
    if (rc != 0) {
        hints.ai_family = AF_UNSPEC;
        rc = getaddrinfo(host, service, &hints, &found);
    }
    if (rc != 0 || !found) return Win32(static_cast<unsigned long>(rc ? rc : WSAHOST_NOT_FOUND));
    std::unique_ptr<addrinfo, void (WSAAPI*)(addrinfo*)> first(found, &freeaddrinfo);
    char text[NI_MAXHOST] = "";
    if (getnameinfo(found->ai_addr, static_cast<int>(found->ai_addrlen), text, sizeof text, nullptr, 0,
                    NI_NUMERICHOST) == 0)
        *address = text;
    SOCKET s = socket(found->ai_family, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return Win32(static_cast<unsigned long>(WSAGetLastError()));
    // Non-blocking, so that a host that drops the packets costs the time-out and
    // not the system's own connect wait.
    u_long nonBlocking = 1;
    ioctlsocket(s, FIONBIO, &nonBlocking);
    HRESULT hr = S_OK;
    if (connect(s, found->ai_addr, static_cast<int>(found->ai_addrlen)) != 0) {
        int error = WSAGetLastError();
        if (error != WSAEWOULDBLOCK) {
            hr = Win32(static_cast<unsigned long>(error));
        } else {
            fd_set writable, failed;
            FD_ZERO(&writable);
            FD_ZERO(&failed);
            FD_SET(s, &writable);
            FD_SET(s, &failed);
            timeval wait = {static_cast<long>(timeoutMs / 1000), static_cast<long>(timeoutMs % 1000) * 1000};
            int n = select(0, nullptr, &writable, &failed, &wait);
            if (n == 0) {
                hr = Win32(WSAETIMEDOUT);
            } else if (n < 0) {
                hr = Win32(static_cast<unsigned long>(WSAGetLastError()));
            } else {
                int soError = 0;
                int length = sizeof soError;
                getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&soError), &length);
                if (soError) hr = Win32(static_cast<unsigned long>(soError));
                else if (!FD_ISSET(s, &writable)) hr = Win32(WSAECONNREFUSED);
            }
        }
    }
    closesocket(s);
    return hr;
}

std::string Doctor::RemoteServerName() {
    CLSID clsid = GUID_NULL;
    std::wstring wide = kit::WideFromAnsi(progId.c_str());
    if (FAILED(Activation().clsidFromProgId(wide.c_str(), &clsid))) return std::string();
    std::string appId, name;
    if (!ReadString(options.classesRoot, "CLSID\\" + GuidKey(clsid), "AppID", &appId)) return std::string();
    if (!ReadString(options.classesRoot, "AppID\\" + appId, "RemoteServerName", &name)) return std::string();
    return name;
}

bool Doctor::CheckComputer() {
    Step step = Begin(KETRA_STEP_COMPUTER);
    const std::string ole = "SOFTWARE\\Microsoft\\Ole";
    std::string enable;
    const bool enableSet = ReadString(options.machineRoot, ole, "EnableDCOM", &enable);
    const bool dcomOff = enableSet && (enable == "N" || enable == "n");
    DWORD authentication = 0, impersonation = 0, hardening = 0;
    const bool authSet = ReadDword(options.machineRoot, ole, "LegacyAuthenticationLevel", &authentication);
    const bool impSet = ReadDword(options.machineRoot, ole, "LegacyImpersonationLevel", &impersonation);
    const bool hardSet = ReadDword(options.machineRoot, ole + "\\AppCompat",
                                   "RequireIntegrityActivationAuthenticationLevel", &hardening);
    if (!authSet) authentication = 2;
    if (!impSet) impersonation = 2;
    Note(step, std::string("COM distribuido: ") + (dcomOff ? "deshabilitado" : "habilitado") +
                   (enableSet ? " (EnableDCOM=" + enable + ")" : " (EnableDCOM no definido)"));
    char line[256];
    std::snprintf(line, sizeof line, "autenticación: %s (%lu%s); suplantación: %s (%lu%s)",
                  AuthenticationName(authentication), static_cast<unsigned long>(authentication),
                  authSet ? "" : ", por omisión", ImpersonationName(impersonation),
                  static_cast<unsigned long>(impersonation), impSet ? "" : ", por omisión");
    Note(step, line);
    if (!hardSet)
        Note(step, "endurecimiento de activación DCOM: no definido "
                   "(las actualizaciones de Windows desde 2023 lo aplican)");
    else
        Note(step, std::string("endurecimiento de activación DCOM: ") + (hardening ? "activo" : "desactivado") +
                       " (RequireIntegrityActivationAuthenticationLevel=" + std::to_string(hardening) + ")");
    // Settings that stop remote DCOM matter only when the route leaves this computer.
    if (!networkHost.empty() && (dcomOff || authentication == 1 || impersonation == 1)) {
        Fail(step, E_ACCESSDENIED, "HKLM\\SOFTWARE\\Microsoft\\Ole");
        return false;
    }
    Pass(step);
    return true;
}

bool Doctor::CheckProxies() {
    Step step = Begin(KETRA_STEP_PROXIES);
    const ProxyInterface* list = options.interfaces ? options.interfaces : kKitInterfaces;
    const size_t count =
        options.interfaces ? options.interfaceCount : sizeof kKitInterfaces / sizeof kKitInterfaces[0];
    std::map<std::string, std::string> byFile;  // DLL path -> interfaces it serves
    HRESULT failure = S_OK;
    const char* failedName = "";
    for (size_t i = 0; i < count; ++i) {
        const ProxyInterface& itf = list[i];
        if (itf.serverListOnly && route != RouteServerList) continue;
        std::string clsid, path;
        std::string problem;
        HRESULT code = S_OK;
        if (!ReadString(options.classesRoot, "Interface\\" + GuidKey(*itf.iid) + "\\ProxyStubClsid32", nullptr,
                        &clsid) ||
            !ReadString(options.classesRoot, "CLSID\\" + clsid + "\\InprocServer32", nullptr, &path) ||
            path.empty()) {
            code = REGDB_E_IIDNOTREG;
            problem = "sin proxy/stub registrado";
        } else {
            if (path.size() > 1 && path.front() == '"' && path.back() == '"') path = path.substr(1, path.size() - 2);
            // A bare file name is found the way the loader finds it.
            char found[MAX_PATH] = "";
            if (path.find_first_of("\\/") == std::string::npos &&
                SearchPathA(nullptr, path.c_str(), nullptr, MAX_PATH, found, nullptr))
                path = found;
            if (GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
                code = Win32(ERROR_MOD_NOT_FOUND);
                problem = path + " no existe";
            }
        }
        if (SUCCEEDED(code)) {
            std::string& names = byFile[path];
            names += (names.empty() ? "" : ", ") + std::string(itf.name);
            continue;
        }
        Note(step, std::string(itf.name) + ": " + problem +
                       (itf.required ? "" : " (solo lo usan servidores OPC DA 3.0)"));
        if (itf.required && SUCCEEDED(failure)) {
            failure = code;
            failedName = itf.name;
        }
    }
    for (const auto& file : byFile) Note(step, file.first + ": " + file.second);
    Note(step, kit::Format("registro de %d bits, el de este programa", kOwnBits));
    if (FAILED(failure)) {
        Fail(step, failure, failedName);
        return false;
    }
    Pass(step);
    return true;
}

bool Doctor::CheckHost() {
    if (route == RouteLocal) {
        Skip(KETRA_STEP_HOST, "ruta local (HostName vacío): COM llega al servidor sin la red");
        return true;
    }
    if (networkHost.empty()) {
        Skip(KETRA_STEP_HOST, route == RouteDcom
                                  ? "la configuración DCOM de la clase no nombra otro equipo (RemoteServerName)"
                                  : "\"" + host + "\" es este equipo: COM llega al servidor sin la red");
        return true;
    }
    Step step = Begin(KETRA_STEP_HOST);
    std::shared_ptr<DiagSession> s = session;
    const HostProbe probe = options.probe;
    const std::string name = networkHost;
    const unsigned short port = options.rpcPort;
    const DWORD portMs = options.portTimeoutMs;
    // The probe's own wait covers the port; a name server that never answers
    // is what the step's limit is for.
    const bool reached = Within(step, [s, probe, name, port, portMs](Outcome& out) {
        s->engine.Calling("getaddrinfo");
        std::string address;
        HRESULT hr = probe(name.c_str(), port, portMs, &address);
        if (address.empty() && FAILED(hr)) return out.Fail(hr, "getaddrinfo");
        if (!address.empty()) out.Note(name + " = " + address);
        if (FAILED(hr)) {
            out.Note(kit::Format("el puerto TCP %u no acepta la conexión (espera máxima %lu ms)",
                                 static_cast<unsigned>(port), static_cast<unsigned long>(portMs)));
            return out.Fail(hr, "connect (TCP 135)");
        }
        out.Note(kit::Format("puerto TCP %u abierto", static_cast<unsigned>(port)));
    });
    if (!reached) return false;
    Pass(step);
    return true;
}

}  // namespace opc
}  // namespace ketra
