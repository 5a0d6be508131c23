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

const FixRow kFixes[] = {
    {KETRA_STEP_CALL, E_INVALIDARG, nullptr,
     "Indique el ProgID del servidor OPC (OpcServerName en OPC.Krel.Client.ini)."},
    {KETRA_STEP_CALL, 0, nullptr,
     "El cliente ya estaba conectado: llame a Disconnect antes de volver a conectarlo."},

    {KETRA_STEP_COMPUTER, 0, nullptr,
     "En {cliente}: dcomcnfg > Mi PC > Propiedades > Propiedades predeterminadas: marque \"Habilitar COM "
     "distribuido en este equipo\", autenticación \"Conectar\" o superior, suplantación \"Identificar\"."},

    {KETRA_STEP_PROXIES, Win32(126), nullptr,
     "En {cliente}: el DLL del proxy/stub registrado no existe: vuelva a registrarlo (regsvr32 "
     "OPCKrelProxy.dll en la carpeta del kit) o reinstale los OPC Core Components."},
    {KETRA_STEP_PROXIES, 0, nullptr,
     "En {cliente}: registre el proxy/stub de 32 bits de las interfaces OPC (regsvr32 OPCKrelProxy.dll "
     "en la carpeta del kit, o instale los OPC Core Components)."},

    {KETRA_STEP_HOST, Win32(11001), nullptr,
     "En {cliente}: el nombre {servidor} no se resuelve: ponga su dirección IP en HostName "
     "(OPC.Krel.Client.ini) o corrija el DNS o el archivo hosts."},
    {KETRA_STEP_HOST, Win32(10061), nullptr,
     "En {servidor}: nadie atiende el puerto TCP 135: inicie los servicios \"Asignador de extremos RPC\" e "
     "\"Iniciador de procesos de servidor DCOM\"."},
    {KETRA_STEP_HOST, 0, nullptr,
     "En {servidor}: abra el puerto TCP 135 en el cortafuegos (OPC.Krel.Inst.exe /SrvFireWall=1) y "
     "compruebe que el equipo está encendido y en la red."},

    {KETRA_STEP_SERVERLIST, 0, "IOPCServerList::CLSIDFromProgID",
     "En {servidor}: OPCEnum no conoce el ProgID \"{progid}\": corrija OpcServerName en "
     "OPC.Krel.Client.ini (vea la lista de servidores) o registre ese servidor OPC en {servidor}."},
    {KETRA_STEP_SERVERLIST, REGDB_E_CLASSNOTREG, nullptr,
     "En {servidor}: instale OPCEnum (OPC Core Components), o deje HostName vacío en OPC.Krel.Client.ini "
     "si el servidor OPC está en este equipo."},
    {KETRA_STEP_SERVERLIST, E_ACCESSDENIED, nullptr,
     "En {servidor}: dcomcnfg > Mi PC > Configuración DCOM > OpcEnum > Propiedades > Seguridad: conceda a "
     "su usuario Inicio, Activación y Acceso remotos (OPC.Krel.Inst.exe /OpcEnum=1)."},
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
    {KETRA_STEP_SERVER, Win32(1722), nullptr,
     "En {servidor}: abra el cortafuegos para el servidor OPC y el puerto TCP 135 (OPC.Krel.Inst.exe "
     "/SrvFireWall=1); compruebe el nombre {servidor} y que el equipo está en marcha."},
    {KETRA_STEP_SERVER, E_NOINTERFACE, nullptr,
     "En {cliente}: falta el proxy/stub de 32 bits de IOPCServer (regsvr32 OPCKrelProxy.dll u OPC Core "
     "Components); un proxy registrado solo para 64 bits no sirve a este programa."},
    {KETRA_STEP_SERVER, CO_E_SERVER_EXEC_FAILURE, nullptr,
     "En {servidor}: el servidor OPC \"{progid}\" no arrancó: revise su identidad en dcomcnfg (usuario o "
     "cuenta) y el Visor de eventos."},
    {KETRA_STEP_SERVER, 0, nullptr,
     "En {servidor}: compruebe que el servidor OPC \"{progid}\" está instalado y arranca (códigos en "
     "LEEME.txt)."},

    {KETRA_STEP_STATUS, E_ACCESSDENIED, nullptr,
     "En {servidor}: dcomcnfg > Mi PC > Propiedades > Seguridad COM > Permisos de acceso: conceda Acceso "
     "remoto a su usuario (límites y predeterminados)."},
    {KETRA_STEP_STATUS, 0, nullptr,
     "En {servidor}: el servidor OPC \"{progid}\" no está en marcha (OPC_STATUS_RUNNING): revise su "
     "configuración, su licencia y sus fuentes de datos."},

    {KETRA_STEP_CALLBACKS, E_NOINTERFACE, "IOPCServer::AddGroup",
     "En {cliente}: falta el proxy/stub de 32 bits de las interfaces de grupo OPC (regsvr32 "
     "OPCKrelProxy.dll u OPC Core Components)."},
    {KETRA_STEP_CALLBACKS, 0, "IOPCServer::AddGroup",
     "En {servidor}: el servidor OPC \"{progid}\" no crea el grupo: revise sus límites de clientes y de "
     "grupos."},
    {KETRA_STEP_CALLBACKS, 0, "QueryInterface(IConnectionPointContainer)",
     "El servidor OPC \"{progid}\" de {servidor} no es OPC DA 2.0 (su grupo no admite suscripciones): use un "
     "servidor OPC DA 2.0."},
    {KETRA_STEP_CALLBACKS, 0, "FindConnectionPoint(IOPCDataCallback)",
     "El servidor OPC \"{progid}\" de {servidor} no es OPC DA 2.0 (sin IOPCDataCallback): use un servidor "
     "OPC DA 2.0."},
    {KETRA_STEP_CALLBACKS, E_ACCESSDENIED, nullptr,
     "En {cliente}: dcomcnfg > Mi PC > Propiedades > Seguridad COM > Permisos de acceso > Editar límites: "
     "conceda Acceso remoto a ANONYMOUS LOGON y a Todos ({servidor} llama de vuelta a este equipo)."},
    {KETRA_STEP_CALLBACKS, 0, nullptr,
     "En {cliente}: abra el cortafuegos para este programa (OPC.Krel.Inst.exe /CltFireWall=1) y conceda "
     "Acceso remoto a ANONYMOUS LOGON en dcomcnfg > Mi PC > Seguridad COM > Permisos de acceso > Editar "
     "límites."},

    {KETRA_STEP_DATA, Win32(1168), nullptr,
     "En {servidor}: el servidor OPC \"{progid}\" no ofrece ningún ítem al explorarlo: configure sus tags."},
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
    for (const FixRow& row : kFixes) {
        if (row.step != step || (row.code != 0 && row.code != code)) continue;
        if (row.call && (!call || std::strcmp(row.call, call) != 0)) continue;
        std::string text = row.text;
        Replace(text, "{servidor}", server);
        Replace(text, "{cliente}", client);
        Replace(text, "{progid}", progId);
        return text;
    }
    return std::string();
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
