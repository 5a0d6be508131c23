#include "ErrorReport.h"

#include <olectl.h>

#include <cstdio>
#include <cstring>

#include "COPCClient.h"
#include "ComErrorText.h"
#include "opcconst.h"

namespace ketra {
namespace opc {

namespace {

constexpr HRESULT Win32(unsigned long code) { return static_cast<HRESULT>(0x80070000UL | code); }

struct CodeName {
    HRESULT code;
    const char* name;
};

// The codes users of DCOM and OPC meet, and those this library reports itself.
const CodeName kNames[] = {
    {E_ACCESSDENIED, "E_ACCESSDENIED"},
    {E_FAIL, "E_FAIL"},
    {E_NOINTERFACE, "E_NOINTERFACE"},
    {E_INVALIDARG, "E_INVALIDARG"},
    {E_OUTOFMEMORY, "E_OUTOFMEMORY"},
    {E_NOTIMPL, "E_NOTIMPL"},
    {E_POINTER, "E_POINTER"},
    {REGDB_E_CLASSNOTREG, "REGDB_E_CLASSNOTREG"},
    {REGDB_E_IIDNOTREG, "REGDB_E_IIDNOTREG"},
    {CO_E_CLASSSTRING, "CO_E_CLASSSTRING"},
    {CO_E_NOTINITIALIZED, "CO_E_NOTINITIALIZED"},
    {CO_E_SERVER_EXEC_FAILURE, "CO_E_SERVER_EXEC_FAILURE"},
    {CO_E_BAD_SERVER_NAME, "CO_E_BAD_SERVER_NAME"},
    {RPC_E_DISCONNECTED, "RPC_E_DISCONNECTED"},
    {RPC_E_SERVERFAULT, "RPC_E_SERVERFAULT"},
    {RPC_E_TIMEOUT, "RPC_E_TIMEOUT"},
    {RPC_E_CALL_CANCELED, "RPC_E_CALL_CANCELED"},
    {Win32(1722), "RPC_S_SERVER_UNAVAILABLE"},
    {Win32(1726), "RPC_S_CALL_FAILED"},
    {Win32(1727), "RPC_S_CALL_FAILED_DNE"},
    {Win32(1753), "EPT_S_NOT_REGISTERED"},
    {Win32(1825), "RPC_S_SEC_PKG_ERROR"},
    {Win32(1910), "OR_INVALID_OXID"},
    {Win32(1326), "ERROR_LOGON_FAILURE"},
    {Win32(126), "ERROR_MOD_NOT_FOUND"},
    {Win32(1168), "ERROR_NOT_FOUND"},
    {Win32(1460), "ERROR_TIMEOUT"},
    {Win32(10060), "WSAETIMEDOUT"},
    {Win32(10061), "WSAECONNREFUSED"},
    {Win32(10065), "WSAEHOSTUNREACH"},
    {Win32(11001), "WSAHOST_NOT_FOUND"},
    {Win32(11002), "WSATRY_AGAIN"},
    {Win32(11004), "WSANO_DATA"},
    {CONNECT_E_NOCONNECTION, "CONNECT_E_NOCONNECTION"},
    {CONNECT_E_ADVISELIMIT, "CONNECT_E_ADVISELIMIT"},
    {CONNECT_E_CANNOTCONNECT, "CONNECT_E_CANNOTCONNECT"},
    {OPC_E_INVALIDHANDLE, "OPC_E_INVALIDHANDLE"},
    {OPC_E_BADTYPE, "OPC_E_BADTYPE"},
    {OPC_E_BADRIGHTS, "OPC_E_BADRIGHTS"},
    {OPC_E_UNKNOWNITEMID, "OPC_E_UNKNOWNITEMID"},
    {OPC_E_INVALIDITEMID, "OPC_E_INVALIDITEMID"},
    {OPC_E_UNKNOWNPATH, "OPC_E_UNKNOWNPATH"},
    {OPC_E_DUPLICATENAME, "OPC_E_DUPLICATENAME"},
};

const char* const kTitles[] = {
    "Llamada",
    "Este equipo",
    "Proxies de las interfaces OPC",
    "Equipo servidor",
    "OPCEnum",
    "Servidor OPC",
    "Estado del servidor",
    "Grupo y llamadas de vuelta",
    "Ítems y lectura",
};

constexpr HRESULT kNoServer = Win32(1722);         // RPC_S_SERVER_UNAVAILABLE
constexpr HRESULT kCallFailed = Win32(1726);       // RPC_S_CALL_FAILED
constexpr HRESULT kTimeout = Win32(1460);          // ERROR_TIMEOUT: the doctor stopped waiting
constexpr HRESULT kCanceled = RPC_E_CALL_CANCELED;

// Fixes that several rows share.
const char kUnknownProgIdFix[] =
    "En {servidor}: OPCEnum no conoce el ProgID \"{progid}\": corrija OpcServerName en OPC.Krel.Client.ini "
    "(vea la lista de servidores) o registre ese servidor OPC en {servidor}.";
const char kNoContainerFix[] =
    "El servidor OPC \"{progid}\" de {servidor} no es OPC DA 2.0 (su grupo no admite suscripciones): use un "
    "servidor OPC DA 2.0.";
const char kNameFix[] =
    "En {cliente}: el nombre {servidor} no se resuelve: ponga su dirección IP en HostName "
    "(OPC.Krel.Client.ini) o corrija el DNS o el archivo hosts.";
const char kUnreachableFix[] =
    "En {servidor}: abra el cortafuegos para el puerto TCP 135 y para el programa (OPC.Krel.Inst.exe "
    "/SrvFireWall=1); compruebe el nombre {servidor} y que el equipo está en marcha.";
const char kEnumSilentFix[] =
    "En {servidor}: OPCEnum no contesta: el cortafuegos descarta los paquetes de su puerto (ábralo para "
    "OpcEnum.exe: OPC.Krel.Inst.exe /SrvFireWall=1) o el servicio OpcEnum está colgado (reinícielo).";
const char kEnumGoneFix[] =
    "En {servidor}: OPCEnum dejó de atender durante la llamada: compruebe que el servicio OpcEnum sigue en "
    "marcha (Visor de eventos) y repita el diagnóstico.";
const char kServerSilentFix[] =
    "En {servidor}: el servidor OPC \"{progid}\" no contesta: el cortafuegos descarta los paquetes de su puerto "
    "(ábralo para el programa del servidor, no solo para el puerto TCP 135; el de este kit: OPC.Krel.Inst.exe "
    "/SrvFireWall=1) o el servidor está colgado.";
const char kServerPortFix[] =
    "En {servidor}: el servidor OPC \"{progid}\" se creó, pero el cortafuegos bloquea su puerto: ábralo para el "
    "programa del servidor, no solo para el puerto TCP 135 (el de este kit: OPC.Krel.Inst.exe /SrvFireWall=1).";
const char kServerGoneFix[] =
    "En {servidor}: el servidor OPC \"{progid}\" se cerró o dejó de atender durante la llamada: revise el "
    "Visor de eventos y repita el diagnóstico.";
const char kAccessRightsFix[] =
    "En {servidor}: dcomcnfg > Mi PC > Propiedades > Seguridad COM > Permisos de acceso: conceda Acceso "
    "remoto a su usuario (límites y predeterminados).";
const char kGroupProxyFix[] =
    "En {cliente}: falta el proxy/stub de {bits} bits de las interfaces de grupo OPC (OPC.Krel.Inst.exe "
    "/Proxy=1, u OPC Core Components).";
const char kCallbackFix[] =
    "En {cliente}: abra el cortafuegos para este programa (OPC.Krel.Inst.exe /CltFireWall=1) y conceda "
    "Acceso remoto a ANONYMOUS LOGON en dcomcnfg > Mi PC > Seguridad COM > Permisos de acceso > Editar "
    "límites.";

const FixRow kFixes[] = {
    {KETRA_STEP_CALL, E_INVALIDARG, nullptr,
     "Indique el ProgID del servidor OPC (OpcServerName en OPC.Krel.Client.ini)."},
    {KETRA_STEP_CALL, 0, nullptr,
     "El cliente ya estaba conectado: llame a Disconnect antes de volver a conectarlo."},

    {KETRA_STEP_COMPUTER, 0, nullptr,
     "En {cliente}: dcomcnfg > Mi PC > Propiedades > Propiedades predeterminadas: marque \"Habilitar COM "
     "distribuido en este equipo\", autenticación \"Conectar\" o superior, suplantación \"Identificar\"."},

    {KETRA_STEP_PROXIES, Win32(126), nullptr,
     "En {cliente}: el DLL del proxy/stub registrado no existe: vuelva a registrar los del kit "
     "(OPC.Krel.Inst.exe /Proxy=1, como administrador) o reinstale los OPC Core Components."},
    {KETRA_STEP_PROXIES, 0, nullptr,
     "En {cliente}: registre el proxy/stub de {bits} bits de las interfaces OPC (OPC.Krel.Inst.exe /Proxy=1, "
     "como administrador, o instale los OPC Core Components)."},

    {KETRA_STEP_HOST, Win32(11001), nullptr, kNameFix},
    {KETRA_STEP_HOST, Win32(11002), nullptr, kNameFix},
    {KETRA_STEP_HOST, Win32(11004), nullptr, kNameFix},
    {KETRA_STEP_HOST, kTimeout, nullptr,
     "En {cliente}: el DNS no resuelve el nombre {servidor} en segundos: ponga su dirección IP en HostName "
     "(OPC.Krel.Client.ini) o revise el DNS."},
    {KETRA_STEP_HOST, Win32(10061), nullptr,
     "En {servidor}: nadie atiende el puerto TCP 135: inicie los servicios \"Asignador de extremos RPC\" e "
     "\"Iniciador de procesos de servidor DCOM\"."},
    {KETRA_STEP_HOST, 0, nullptr,
     "En {servidor}: abra el puerto TCP 135 en el cortafuegos (OPC.Krel.Inst.exe /SrvFireWall=1) y "
     "compruebe que el equipo está encendido y en la red."},

    {KETRA_STEP_SERVERLIST, REGDB_E_CLASSNOTREG, nullptr,
     "En {servidor}: instale OPCEnum (OPC Core Components) o la lista de servidores de este kit "
     "(OPC.Krel.Inst.exe /Install), o deje HostName vacío en OPC.Krel.Client.ini si el servidor OPC está en "
     "este equipo."},
    {KETRA_STEP_SERVERLIST, 0, "IOPCServerList::CLSIDFromProgID", kUnknownProgIdFix},
    {KETRA_STEP_SERVERLIST, REGDB_E_CLASSNOTREG, "IOPCServerList::CLSIDFromProgID", kUnknownProgIdFix},
    {KETRA_STEP_SERVERLIST, E_ACCESSDENIED, nullptr,
     "En {servidor}: dcomcnfg > Mi PC > Configuración DCOM > OpcEnum > Propiedades > Seguridad: conceda a "
     "su usuario Inicio, Activación y Acceso remotos (OPC.Krel.Inst.exe /OpcEnum=1)."},
    {KETRA_STEP_SERVERLIST, kNoServer, "CoCreateInstanceEx(OPCEnum)", kUnreachableFix},
    {KETRA_STEP_SERVERLIST, kNoServer, nullptr,
     "En {servidor}: OPCEnum se activó por el puerto TCP 135, pero el cortafuegos bloquea su propio puerto: "
     "ábralo para OpcEnum.exe (OPC.Krel.Inst.exe /SrvFireWall=1)."},
    {KETRA_STEP_SERVERLIST, kTimeout, nullptr, kEnumSilentFix},
    {KETRA_STEP_SERVERLIST, kCanceled, nullptr, kEnumSilentFix},
    {KETRA_STEP_SERVERLIST, kTimeout, "CoCreateInstanceEx(OPCEnum)",
     "En {servidor}: la activación no contesta: el cortafuegos descarta los paquetes del puerto TCP 135 "
     "(OPC.Krel.Inst.exe /SrvFireWall=1) o el servicio \"Iniciador de procesos de servidor DCOM\" no responde."},
    {KETRA_STEP_SERVERLIST, E_NOINTERFACE, nullptr,
     "En {cliente}: falta el proxy/stub de {bits} bits de IOPCServerList (OPC.Krel.Inst.exe /Proxy=1, u OPC "
     "Core Components)."},
    {KETRA_STEP_SERVERLIST, RPC_E_DISCONNECTED, nullptr, kEnumGoneFix},
    {KETRA_STEP_SERVERLIST, kCallFailed, nullptr, kEnumGoneFix},
    {KETRA_STEP_SERVERLIST, CO_E_SERVER_EXEC_FAILURE, nullptr,
     "En {servidor}: OPCEnum no arrancó: revise el servicio OpcEnum (services.msc) y el Visor de eventos."},
    {KETRA_STEP_SERVERLIST, 0, nullptr,
     "En {servidor}: compruebe que el servicio OpcEnum está instalado y en marcha, y abra el cortafuegos "
     "para OPCEnum y el puerto TCP 135 (OPC.Krel.Inst.exe /SrvFireWall=1)."},

    {KETRA_STEP_SERVER, REGDB_E_CLASSNOTREG, nullptr,
     "En {servidor}: el servidor OPC \"{progid}\" no está registrado: instálelo (el de este kit: "
     "OPC.Krel.Inst.exe /Install)."},
    {KETRA_STEP_SERVER, CO_E_CLASSSTRING, nullptr,
     "En {servidor}: no existe el ProgID \"{progid}\": corrija OpcServerName en OPC.Krel.Client.ini o "
     "instale ese servidor OPC."},
    {KETRA_STEP_SERVER, E_ACCESSDENIED, nullptr,
     "En {servidor}: dcomcnfg > Mi PC > Propiedades > Seguridad COM: conceda a su usuario Inicio y "
     "Activación remotos y Acceso remoto (límites y predeterminados); sin dominio, la misma cuenta y "
     "contraseña en ambos equipos."},
    {KETRA_STEP_SERVER, kNoServer, nullptr, kUnreachableFix},
    {KETRA_STEP_SERVER, E_NOINTERFACE, nullptr,
     "En {cliente}: falta el proxy/stub de {bits} bits de IOPCServer (OPC.Krel.Inst.exe /Proxy=1, u OPC Core "
     "Components); un proxy registrado solo para {otros} bits no sirve a este programa."},
    {KETRA_STEP_SERVER, CO_E_SERVER_EXEC_FAILURE, nullptr,
     "En {servidor}: el servidor OPC \"{progid}\" no arrancó: revise su identidad en dcomcnfg (usuario o "
     "cuenta) y el Visor de eventos."},
    {KETRA_STEP_SERVER, kTimeout, nullptr, kServerSilentFix},
    {KETRA_STEP_SERVER, kCanceled, nullptr, kServerSilentFix},
    // The server calls this computer back to take the sink.
    {KETRA_STEP_SERVER, kTimeout, "IConnectionPoint::Advise(IOPCShutdown)", kCallbackFix},
    {KETRA_STEP_SERVER, kCanceled, "IConnectionPoint::Advise(IOPCShutdown)", kCallbackFix},
    {KETRA_STEP_SERVER, RPC_E_DISCONNECTED, nullptr, kServerGoneFix},
    {KETRA_STEP_SERVER, kCallFailed, nullptr, kServerGoneFix},
    {KETRA_STEP_SERVER, 0, nullptr,
     "En {servidor}: compruebe que el servidor OPC \"{progid}\" está instalado y arranca (códigos en "
     "LEEME.txt)."},

    {KETRA_STEP_STATUS, E_ACCESSDENIED, nullptr, kAccessRightsFix},
    {KETRA_STEP_STATUS, kNoServer, nullptr, kServerPortFix},
    {KETRA_STEP_STATUS, kTimeout, nullptr, kServerSilentFix},
    {KETRA_STEP_STATUS, kCanceled, nullptr, kServerSilentFix},
    {KETRA_STEP_STATUS, RPC_E_DISCONNECTED, nullptr, kServerGoneFix},
    {KETRA_STEP_STATUS, kCallFailed, nullptr, kServerGoneFix},
    {KETRA_STEP_STATUS, 0, nullptr,
     "En {servidor}: el servidor OPC \"{progid}\" no está en marcha (OPC_STATUS_RUNNING): revise su "
     "configuración, su licencia y sus fuentes de datos."},

    {KETRA_STEP_CALLBACKS, E_NOINTERFACE, nullptr, kGroupProxyFix},
    {KETRA_STEP_CALLBACKS, 0, "IOPCServer::AddGroup",
     "En {servidor}: el servidor OPC \"{progid}\" no crea el grupo: revise sus límites de clientes y de "
     "grupos."},
    {KETRA_STEP_CALLBACKS, E_ACCESSDENIED, "IOPCServer::AddGroup", kAccessRightsFix},
    {KETRA_STEP_CALLBACKS, 0, "QueryInterface(IConnectionPointContainer)", kNoContainerFix},
    {KETRA_STEP_CALLBACKS, E_NOINTERFACE, "QueryInterface(IConnectionPointContainer)", kNoContainerFix},
    {KETRA_STEP_CALLBACKS, 0, "FindConnectionPoint(IOPCDataCallback)",
     "El servidor OPC \"{progid}\" de {servidor} no es OPC DA 2.0 (sin IOPCDataCallback): use un servidor "
     "OPC DA 2.0."},
    {KETRA_STEP_CALLBACKS, E_ACCESSDENIED, nullptr,
     "En {cliente}: dcomcnfg > Mi PC > Propiedades > Seguridad COM > Permisos de acceso > Editar límites: "
     "conceda Acceso remoto a ANONYMOUS LOGON y a Todos ({servidor} llama de vuelta a este equipo)."},
    {KETRA_STEP_CALLBACKS, kNoServer, nullptr, kServerPortFix},
    {KETRA_STEP_CALLBACKS, kTimeout, nullptr, kServerSilentFix},
    {KETRA_STEP_CALLBACKS, kCanceled, nullptr, kServerSilentFix},
    // Where the server calls this computer back, the fault is on this side.
    {KETRA_STEP_CALLBACKS, kNoServer, "IConnectionPoint::Advise(IOPCDataCallback)", kCallbackFix},
    {KETRA_STEP_CALLBACKS, kTimeout, "IConnectionPoint::Advise(IOPCDataCallback)", kCallbackFix},
    {KETRA_STEP_CALLBACKS, kCanceled, "IConnectionPoint::Advise(IOPCDataCallback)", kCallbackFix},
    {KETRA_STEP_CALLBACKS, kTimeout, "IOPCDataCallback::OnDataChange", kCallbackFix},
    {KETRA_STEP_CALLBACKS, kCanceled, "IOPCDataCallback::OnDataChange", kCallbackFix},
    {KETRA_STEP_CALLBACKS, RPC_E_DISCONNECTED, nullptr, kServerGoneFix},
    {KETRA_STEP_CALLBACKS, kCallFailed, nullptr, kServerGoneFix},
    {KETRA_STEP_CALLBACKS, 0, nullptr, kCallbackFix},

    {KETRA_STEP_DATA, Win32(1168), nullptr,
     "En {servidor}: el servidor OPC \"{progid}\" no ofrece ningún ítem legible al explorarlo: configure sus "
     "tags."},
    {KETRA_STEP_DATA, 0, "IOPCSyncIO::Read (calidad)",
     "En {servidor}: el servidor OPC \"{progid}\" da sus ítems con calidad mala: revise su conexión con la "
     "fuente de datos (PLC, red de campo) y su configuración."},
    {KETRA_STEP_DATA, 0, "IOPCSyncIO::Read (valor vacío)",
     "En {servidor}: el servidor OPC \"{progid}\" da sus ítems sin valor: revise su conexión con la fuente de "
     "datos (PLC, red de campo) y su configuración."},
    {KETRA_STEP_DATA, E_ACCESSDENIED, nullptr, kAccessRightsFix},
    {KETRA_STEP_DATA, E_NOINTERFACE, nullptr, kGroupProxyFix},
    {KETRA_STEP_DATA, kNoServer, nullptr, kServerPortFix},
    {KETRA_STEP_DATA, kTimeout, nullptr, kServerSilentFix},
    {KETRA_STEP_DATA, kCanceled, nullptr, kServerSilentFix},
    {KETRA_STEP_DATA, RPC_E_DISCONNECTED, nullptr, kServerGoneFix},
    {KETRA_STEP_DATA, kCallFailed, nullptr, kServerGoneFix},
    {KETRA_STEP_DATA, 0, nullptr,
     "En {servidor}: el servidor OPC \"{progid}\" rechaza el ítem o su lectura: revise el ítem y sus "
     "derechos de acceso en el servidor."},
};

void Replace(std::string& text, const char* token, const std::string& value) {
    const size_t length = std::strlen(token);
    for (size_t at = text.find(token); at != std::string::npos; at = text.find(token, at + value.size()))
        text.replace(at, length, value);
}

void CopyText(char* out, size_t size, const char* text) { std::snprintf(out, size, "%s", text ? text : ""); }

}  // namespace

const FixRow* FixRows(size_t* count) {
    *count = sizeof kFixes / sizeof kFixes[0];
    return kFixes;
}

const char* HResultName(HRESULT code) {
    for (const CodeName& n : kNames)
        if (n.code == code) return n.name;
    return "";
}

const char* StepTitle(int step) {
    if (step < KETRA_STEP_CALL || step > KETRA_STEP_DATA) return "";
    return kTitles[step];
}

std::string FixText(int step, HRESULT code, const char* call, const std::string& server,
                    const std::string& client, const std::string& progId) {
    // The most specific row wins, and a row's code counts for more than its call:
    // the same call fails for different reasons, each with its own fix.
    const FixRow* best = nullptr;
    int bestRank = -1;
    for (const FixRow& row : kFixes) {
        if (row.step != step || (row.code != 0 && row.code != code)) continue;
        if (row.call && (!call || std::strcmp(row.call, call) != 0)) continue;
        const int rank = (row.code != 0 ? 2 : 0) + (row.call ? 1 : 0);
        if (rank > bestRank) {
            best = &row;
            bestRank = rank;
        }
    }
    if (!best) return std::string();
    std::string text = best->text;
    Replace(text, "{servidor}", server);
    Replace(text, "{cliente}", client);
    Replace(text, "{progid}", progId);
    // The proxies that matter are those of this process's bitness.
    Replace(text, "{bits}", sizeof(void*) == 8 ? "64" : "32");
    Replace(text, "{otros}", sizeof(void*) == 8 ? "32" : "64");
    return text;
}

std::string ThisComputerName() {
    char name[MAX_COMPUTERNAME_LENGTH + 1] = "";
    DWORD size = sizeof name;
    if (!GetComputerNameA(name, &size)) return "este equipo";
    return name;
}

std::string ServerComputer(bool isLocal, const std::string& host) {
    if (isLocal) return ThisComputerName();
    if (host == "DCOM") return "el equipo de la configuración DCOM de la clase";
    return host;
}

void FillError(const ChainFailure& failure, const std::string& server, const std::string& progId,
               KetraOPCError* out) {
    out->step = failure.step;
    out->code = failure.code;
    CopyText(out->call, sizeof out->call, failure.call);
    CopyText(out->name, sizeof out->name, HResultName(failure.code));
    CopyText(out->stepTitle, sizeof out->stepTitle, StepTitle(failure.step));
    out->text[0] = out->fix[0] = '\0';
    if (SUCCEEDED(failure.code)) return;
    ComError error(failure.code);
    CopyText(out->text, sizeof out->text, ComErrorText(error));
    std::string fix = FixText(failure.step, failure.code, failure.call, server, ThisComputerName(), progId);
    CopyText(out->fix, sizeof out->fix, fix.c_str());
}

}  // namespace opc
}  // namespace ketra

extern "C" BOOL __stdcall GetOPCClientLastError(ketra::opc::IOPCClient* client, KetraOPCError* error) {
    if (!client || !error || error->size < sizeof(KetraOPCError)) return FALSE;
    try {
        OPCClient& engine = static_cast<ketra::opc::COPCClient*>(client)->Engine();
        ketra::opc::FillError(engine.lastFailure, ketra::opc::ServerComputer(engine.isLocal, engine.host),
                              engine.progId, error);
        return TRUE;
    } catch (...) {
        return FALSE;
    }
}
