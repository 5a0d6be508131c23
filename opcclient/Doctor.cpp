// The doctor's order of steps, and the steps that speak OPC: OPCEnum, the
// server, its status, the group and its callbacks, the items.
#include "Doctor.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "Activation.h"
#include "OPCBrowser.h"
#include "opcconst.h"

namespace ketra {
namespace opc {

namespace {

const char kDiagGroupName[] = "Ketra.OPC.Diag";
const DWORD kRefreshTransaction = 1717;
const size_t kListedServersShown = 20;
const size_t kListedServersRead = 200;
constexpr HRESULT kTimeout = static_cast<HRESULT>(0x800705B4L);   // ERROR_TIMEOUT
constexpr HRESULT kNotFound = static_cast<HRESULT>(0x80070490L);  // ERROR_NOT_FOUND

std::string GuidText(const GUID& guid) {
    wchar_t text[40] = L"";
    StringFromGUID2(guid, text, 40);
    return kit::AnsiFromWide(text);
}

const char* StateName(DWORD state) {
    static const char* const names[] = {"?", "OPC_STATUS_RUNNING", "OPC_STATUS_FAILED", "OPC_STATUS_NOCONFIG",
                                        "OPC_STATUS_SUSPENDED", "OPC_STATUS_TEST", "OPC_STATUS_COMM_FAULT"};
    return state < sizeof names / sizeof names[0] ? names[state] : "?";
}

const char* QualityName(WORD quality) {
    switch (quality & OPC_QUALITY_MASK) {
    case OPC_QUALITY_GOOD: return "buena";
    case OPC_QUALITY_UNCERTAIN: return "incierta";
    default: return "mala";
    }
}

long long FileTimeTicks(const FILETIME& t) {
    return static_cast<long long>((static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime);
}

// Only proves that the server can call into this process: the first change
// wakes the doctor.
class DiagDataSink : public IOPCDataCallback {
public:
    DiagDataSink() : refs_(1), event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IOPCDataCallback)) return E_NOINTERFACE;
        *out = static_cast<IOPCDataCallback*>(this);
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&refs_)); }
    ULONG STDMETHODCALLTYPE Release() override {
        LONG n = InterlockedDecrement(&refs_);
        if (n == 0) delete this;
        return static_cast<ULONG>(n);
    }
    HRESULT STDMETHODCALLTYPE OnDataChange(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD, OPCHANDLE*, VARIANT*, WORD*,
                                           FILETIME*, HRESULT*) override {
        SetEvent(event_.get());
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnReadComplete(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD, OPCHANDLE*, VARIANT*,
                                             WORD*, FILETIME*, HRESULT*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnWriteComplete(DWORD, OPCHANDLE, HRESULT, DWORD, OPCHANDLE*, HRESULT*) override {
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnCancelComplete(DWORD, OPCHANDLE) override { return S_OK; }

    // Waits without blocking the calls a single-threaded apartment must let in.
    bool Wait(DWORD ms) {
        HANDLE h = event_.get();
        DWORD index = 0;
        return h && CoWaitForMultipleHandles(0, ms, 1, &h, &index) == S_OK;
    }

private:
    virtual ~DiagDataSink() {}
    LONG refs_;
    kit::Handle event_;
};

}  // namespace

Doctor::Doctor(const char* progIdText, const char* hostText, const DiagOptions& opts, KetraDiagCallback cb,
               void* ctx)
    : progId(progIdText ? progIdText : ""),
      host(hostText ? hostText : ""),
      route(host.empty() ? RouteLocal : host == "DCOM" ? RouteDcom : RouteServerList),
      clientComputer(ThisComputerName()),
      options(opts),
      callback(cb),
      context(ctx),
      firstFailed(0),
      walked(false),
      itemCount(0),
      itemAdded(false),
      itemHandle(0),
      itemResult(S_OK) {
    serverComputer = route == RouteServerList ? host : clientComputer;
    engine.SetReceiver(this);
    engine.progId = progId;
    engine.host = host;
    engine.isLocal = route == RouteLocal;
    engine.options |= OPCClient::kOptionAdviseMayFail;
    engine.groupName = kDiagGroupName;
}

Doctor::~Doctor() {}

LONG Doctor::Run() {
    if (route == RouteServerList && !IsThisComputer(host)) networkHost = host;
    if (route == RouteDcom) {
        std::string remote = RemoteServerName();
        if (!remote.empty()) serverComputer = remote;
        if (!IsThisComputer(remote)) networkHost = remote;
    }
    CheckComputer();
    CheckProxies();
    const char* reason = nullptr;
    int next = KETRA_STEP_SERVERLIST;
    if (!CheckHost()) {
        reason = "el equipo servidor no responde (paso 3)";
    } else if (!CheckServerList()) {
        next = KETRA_STEP_SERVER;
        reason = "sin OPCEnum no hay CLSID del servidor (paso 4)";
    } else if (!CheckServer()) {
        next = KETRA_STEP_STATUS;
        reason = "no se pudo crear el servidor (paso 5)";
    } else if (!CheckStatus()) {
        next = KETRA_STEP_CALLBACKS;
        reason = "el servidor no está en marcha (paso 6)";
    } else {
        CheckCallbacks();
        CheckData();
    }
    if (reason)
        for (int n = next; n <= KETRA_STEP_DATA; ++n) Skip(n, reason);
    return firstFailed;
}

Doctor::Step Doctor::Begin(int number) { return Step{number, GetTickCount(), std::string()}; }

void Doctor::Note(Step& step, const std::string& line) { step.detail += line + "\n"; }

void Doctor::Pass(Step& step) { Deliver(step, KETRA_DIAG_PASSED, ChainFailure{step.number, S_OK, ""}); }

void Doctor::Fail(Step& step, HRESULT code, const char* call) {
    if (!firstFailed) firstFailed = step.number;
    Deliver(step, KETRA_DIAG_FAILED, ChainFailure{step.number, code, call});
}

void Doctor::Skip(int number, const std::string& reason) {
    Step step = Begin(number);
    Note(step, reason);
    Deliver(step, KETRA_DIAG_SKIPPED, ChainFailure{number, S_OK, ""});
}

void Doctor::Deliver(const Step& step, LONG verdict, const ChainFailure& failure) {
    KetraDiagStep record;
    std::memset(&record, 0, sizeof record);
    record.size = sizeof record;
    record.step = step.number;
    record.verdict = verdict;
    record.elapsedMs = verdict == KETRA_DIAG_SKIPPED ? 0 : GetTickCount() - step.start;
    std::snprintf(record.title, sizeof record.title, "%s", StepTitle(step.number));
    std::snprintf(record.detail, sizeof record.detail, "%s", step.detail.c_str());
    record.error.size = sizeof record.error;
    FillError(failure, serverComputer, progId, &record.error);
    if (callback) callback(&record, context);
}

bool Doctor::CheckServerList() {
    if (route != RouteServerList) {
        Skip(KETRA_STEP_SERVERLIST, route == RouteLocal ? "la ruta local (HostName vacío) no usa OPCEnum"
                                                        : "la ruta DCOM usa la configuración DCOM de la clase");
        return true;
    }
    Step step = Begin(KETRA_STEP_SERVERLIST);
    std::wstring name = kit::WideFromAnsi(host.c_str());
    name.push_back(L'\0');
    COSERVERINFO where = {0, &name[0], nullptr, 0};
    MULTI_QI entry = {&IID_IOPCServerList, nullptr, E_FAIL};
    HRESULT hr = Activation().coCreateInstanceEx(CLSID_OpcServerList, nullptr, kNamedHostContext, &where, 1,
                                                 &entry);
    kit::ComPtr<IUnknown> unknown;
    unknown.Attach(entry.pItf);
    if (SUCCEEDED(hr) && FAILED(entry.hr)) hr = entry.hr;
    if (FAILED(hr) || !unknown) {
        Fail(step, FAILED(hr) ? hr : E_NOINTERFACE, "CoCreateInstanceEx(OPCEnum)");
        return false;
    }
    kit::ComPtr<IOPCServerList> list;
    hr = unknown.As(IID_IOPCServerList, list);
    if (FAILED(hr) || !list) {
        Fail(step, FAILED(hr) ? hr : E_NOINTERFACE, "QueryInterface(IOPCServerList)");
        return false;
    }

    std::vector<CLSID> listed;
    kit::ComPtr<IEnumGUID> classes;
    CATID category = CATID_OPCDAServer20;
    hr = list->EnumClassesOfCategories(1, &category, 0, nullptr, classes.put());
    if (SUCCEEDED(hr) && classes) {
        GUID clsid;
        ULONG fetched = 0;
        while (listed.size() < kListedServersRead && classes->Next(1, &clsid, &fetched) == S_OK && fetched == 1)
            listed.push_back(clsid);
        Note(step, kit::Format("servidores OPC DA 2.0 en %s: %u", host.c_str(), static_cast<unsigned>(listed.size())));
    } else {
        Note(step, kit::Format("no se pudo listar los servidores OPC DA 2.0 (0x%08lX)",
                               static_cast<unsigned long>(hr)));
    }
    for (size_t i = 0; i < listed.size() && i < kListedServersShown; ++i) {
        LPOLESTR listedProgId = nullptr, userType = nullptr;
        hr = list->GetClassDetails(listed[i], &listedProgId, &userType);
        kit::CoTaskString progText(listedProgId), typeText(userType);
        if (FAILED(hr)) continue;
        Note(step, "  " + kit::AnsiFromWide(progText.get()) + " - " + kit::AnsiFromWide(typeText.get()));
    }
    if (listed.size() > kListedServersShown)
        Note(step, kit::Format("  ... y %u más", static_cast<unsigned>(listed.size() - kListedServersShown)));

    CLSID clsid = GUID_NULL;
    std::wstring wideProgId = kit::WideFromAnsi(progId.c_str());
    hr = list->CLSIDFromProgID(wideProgId.c_str(), &clsid);
    if (FAILED(hr) || IsEqualCLSID(clsid, GUID_NULL)) {
        Fail(step, FAILED(hr) ? hr : REGDB_E_CLASSNOTREG, "IOPCServerList::CLSIDFromProgID");
        return false;
    }
    bool inList = false;
    for (const CLSID& c : listed) inList = inList || IsEqualCLSID(c, clsid);
    Note(step, "\"" + progId + "\" = " + GuidText(clsid) +
                   (inList ? ", en la lista" : ", fuera de la lista de OPC DA 2.0 (OPCEnum lo resuelve igualmente)"));
    Pass(step);
    return true;
}

bool Doctor::CheckServer() {
    Step step = Begin(KETRA_STEP_SERVER);
    engine.lastFailure = ChainFailure();
    HRESULT hr = engine.CreateServer();
    if (FAILED(hr)) {
        const ChainFailure& f = engine.lastFailure;
        Fail(step, FAILED(f.code) ? f.code : hr, *f.call ? f.call : "CreateServer");
        return false;
    }
    switch (route) {
    case RouteLocal: Note(step, "\"" + progId + "\" creado en este equipo (CoCreateInstance, CLSCTX_ALL)"); break;
    case RouteDcom:
        Note(step, "\"" + progId + "\" creado con la configuración DCOM de la clase (CLSCTX_REMOTE_SERVER)");
        break;
    case RouteServerList:
        Note(step, "\"" + progId + "\" creado en " + host + " (CoCreateInstanceEx con el CLSID de OPCEnum)");
        break;
    }
    Pass(step);
    return true;
}

bool Doctor::CheckStatus() {
    Step step = Begin(KETRA_STEP_STATUS);
    OPCSERVERSTATE state = OPC_STATUS_TEST;
    HRESULT hr = engine.GetServerState(&state);
    // A server still starting gets the time a connect gives it.
    if (FAILED(hr) || state != OPC_STATUS_RUNNING) {
        engine.lastFailure = ChainFailure();
        hr = engine.WaitUntilRunning();
    }
    const ChainFailure waited = engine.lastFailure;
    OPCSERVERSTATUS* raw = nullptr;
    FILETIME before, after;
    GetSystemTimeAsFileTime(&before);
    HRESULT statusHr = engine.server->GetStatus(&raw);
    GetSystemTimeAsFileTime(&after);
    kit::CoTaskArray<OPCSERVERSTATUS> status(raw);
    kit::CoTaskString vendor(status ? status->szVendorInfo : nullptr);
    if (SUCCEEDED(statusHr) && status) {
        Note(step, kit::Format("estado %s; fabricante \"%s\"; versión %u.%u.%u", StateName(status->dwServerState),
                          kit::AnsiFromWide(vendor.get()).c_str(), status->wMajorVersion, status->wMinorVersion,
                          status->wBuildNumber));
        // Against the middle of the call: half the round trip is the error bound.
        const long long here = (FileTimeTicks(before) + FileTimeTicks(after)) / 2;
        const double seconds = static_cast<double>(FileTimeTicks(status->ftCurrentTime) - here) / 1e7;
        Note(step, kit::Format("reloj del servidor: %+.1f s respecto a este equipo%s", seconds,
                          std::fabs(seconds) > 300 ? " (más de 5 minutos: sincronice los relojes)" : ""));
    }
    if (FAILED(hr)) {
        Fail(step, FAILED(waited.code) ? waited.code : hr, *waited.call ? waited.call : "IOPCServer::GetStatus");
        return false;
    }
    if (FAILED(statusHr) || !status) {
        Fail(step, FAILED(statusHr) ? statusHr : E_FAIL, "IOPCServer::GetStatus");
        return false;
    }
    Pass(step);
    return true;
}

void Doctor::Walk(const std::string& path, int depth) {
    COPCBrowser browser(path.c_str(), &engine);
    browser.Browse();
    for (const BrowseEntry& entry : browser.entries) {
        if (itemCount >= options.browseLimit) return;
        if (entry.itemId.empty()) continue;
        if (entry.isBranch) {
            if (depth < options.browseDepth) Walk(entry.itemId, depth + 1);
        } else {
            if (firstLeaf.empty()) firstLeaf = entry.itemId;
            ++itemCount;
        }
    }
}

void Doctor::EnsureWalk() {
    if (walked) return;
    walked = true;
    Walk(std::string(), 0);
}

HRESULT Doctor::AddDiagItem() {
    if (itemAdded) return S_OK;
    kit::ComPtr<IOPCItemMgt> items;
    HRESULT hr = engine.group.As(IID_IOPCItemMgt, items);
    if (FAILED(hr) || !items) return FAILED(hr) ? hr : E_NOINTERFACE;
    std::wstring id = kit::WideFromAnsi(firstLeaf.c_str());
    std::wstring accessPath;
    id.push_back(L'\0');
    accessPath.push_back(L'\0');
    OPCITEMDEF def = {};
    def.szItemID = &id[0];
    def.szAccessPath = &accessPath[0];
    def.bActive = TRUE;
    def.hClient = 1;
    def.vtRequestedDataType = VT_EMPTY;
    OPCITEMRESULT* results = nullptr;
    HRESULT* errors = nullptr;
    hr = items->AddItems(1, &def, &results, &errors);
    kit::CoTaskArray<OPCITEMRESULT> resultArray(results);
    kit::CoTaskArray<HRESULT> errorArray(errors);
    if (results && results[0].pBlob) CoTaskMemFree(results[0].pBlob);
    if (SUCCEEDED(hr) && errors && FAILED(errors[0])) hr = errors[0];
    if (SUCCEEDED(hr) && !results) hr = E_FAIL;
    if (FAILED(hr)) return hr;
    itemHandle = results[0].hServer;
    itemAdded = true;
    return S_OK;
}

bool Doctor::CheckCallbacks() {
    Step step = Begin(KETRA_STEP_CALLBACKS);
    engine.lastFailure = ChainFailure();
    if (FAILED(engine.CreateGroup())) {
        Fail(step, engine.lastFailure.code, engine.lastFailure.call);
        return false;
    }
    Note(step, "grupo \"" + engine.groupName + "\" creado, con punto de conexión IOPCDataCallback");
    EnsureWalk();
    if (firstLeaf.empty()) {
        Skip(KETRA_STEP_CALLBACKS, "el servidor no ofrece ítems a los que suscribirse (paso 8)");
        return true;
    }
    itemResult = AddDiagItem();
    if (FAILED(itemResult)) {
        Skip(KETRA_STEP_CALLBACKS, "no se pudo añadir \"" + firstLeaf + "\" al grupo (paso 8)");
        return true;
    }
    kit::ComPtr<DiagDataSink> sink;
    sink.Attach(new DiagDataSink());
    DWORD cookie = 0;
    HRESULT hr = engine.dataCallbackPoint->Advise(static_cast<IOPCDataCallback*>(sink.get()), &cookie);
    if (FAILED(hr)) {
        Fail(step, hr, "IConnectionPoint::Advise(IOPCDataCallback)");
        return false;
    }
    const DWORD asked = GetTickCount();
    kit::ComPtr<IOPCAsyncIO2> async;
    engine.group.As(IID_IOPCAsyncIO2, async);
    DWORD cancelId = 0;
    HRESULT refresh = async ? async->Refresh2(OPC_DS_CACHE, kRefreshTransaction, &cancelId) : E_NOINTERFACE;
    const bool called = sink->Wait(options.callbackWaitMs);
    const DWORD waited = GetTickCount() - asked;
    engine.dataCallbackPoint->Unadvise(cookie);
    if (!async)
        Note(step, "el grupo no ofrece IOPCAsyncIO2: se esperó su actualización periódica");
    else if (FAILED(refresh))
        Note(step, kit::Format("IOPCAsyncIO2::Refresh2: 0x%08lX", static_cast<unsigned long>(refresh)));
    if (!called) {
        Note(step, kit::Format("ningún OnDataChange en %lu ms", static_cast<unsigned long>(waited)));
        Fail(step, kTimeout, "IOPCDataCallback::OnDataChange");
        return false;
    }
    Note(step, kit::Format("OnDataChange recibido a los %lu ms (ítem \"%s\")", static_cast<unsigned long>(waited),
                      firstLeaf.c_str()));
    Pass(step);
    return true;
}

bool Doctor::CheckData() {
    if (!engine.group) {
        Skip(KETRA_STEP_DATA, "sin grupo no hay lectura (paso 7)");
        return true;
    }
    Step step = Begin(KETRA_STEP_DATA);
    EnsureWalk();
    std::string counted = kit::Format("%d ítems al explorar", itemCount);
    if (itemCount >= options.browseLimit) counted += " (no se cuentan más)";
    Note(step, counted);
    if (firstLeaf.empty()) {
        Fail(step, kNotFound, "EnumerateItems");
        return false;
    }
    if (FAILED(itemResult) || FAILED(itemResult = AddDiagItem())) {
        Fail(step, itemResult, "IOPCItemMgt::AddItems");
        return false;
    }
    kit::ComPtr<IOPCSyncIO> sync;
    HRESULT hr = engine.group.As(IID_IOPCSyncIO, sync);
    if (FAILED(hr) || !sync) {
        Fail(step, FAILED(hr) ? hr : E_NOINTERFACE, "QueryInterface(IOPCSyncIO)");
        return false;
    }
    OPCHANDLE handle = itemHandle;
    OPCITEMSTATE* states = nullptr;
    HRESULT* errors = nullptr;
    hr = sync->Read(OPC_DS_CACHE, 1, &handle, &states, &errors);
    kit::CoTaskArray<OPCITEMSTATE> stateArray(states);
    kit::CoTaskArray<HRESULT> errorArray(errors);
    kit::Variant value;
    if (states) {
        // The value is ours to free, on every path.
        *value.get() = states[0].vDataValue;
        VariantInit(&states[0].vDataValue);
    }
    if (SUCCEEDED(hr) && errors && FAILED(errors[0])) hr = errors[0];
    if (SUCCEEDED(hr) && !states) hr = E_FAIL;
    if (FAILED(hr)) {
        Fail(step, hr, "IOPCSyncIO::Read");
        return false;
    }
    kit::Variant text;
    std::string shown = "(sin texto)";
    if (SUCCEEDED(VariantChangeType(text.get(), value.get(), VARIANT_ALPHABOOL, VT_BSTR)))
        shown = kit::AnsiFromWide(text->bstrVal);
    Note(step, kit::Format("lectura de \"%s\": %s (tipo %u), calidad 0x%02X (%s)", firstLeaf.c_str(), shown.c_str(),
                      static_cast<unsigned>(value->vt), static_cast<unsigned>(states[0].wQuality),
                      QualityName(states[0].wQuality)));
    Pass(step);
    return true;
}

}  // namespace opc
}  // namespace ketra

extern "C" LONG __stdcall RunOPCDiagnosis(const char* progId, const char* host, KetraDiagCallback callback,
                                          void* context) {
    try {
        ketra::opc::Doctor doctor(progId, host, ketra::opc::DiagOptions(), callback, context);
        return doctor.Run();
    } catch (...) {
        return -1;
    }
}
