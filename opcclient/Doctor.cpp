// The doctor's order of steps, and the steps that speak OPC: OPCEnum, the
// server, its status, the group and its callbacks, the items.
#include "Doctor.h"

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <set>

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
// The calls a leaf fails at when it was read, but not well.
const char kQualityCall[] = "IOPCSyncIO::Read (calidad)";
const char kEmptyCall[] = "IOPCSyncIO::Read (valor vacío)";

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

// "0xC0 (buena)", "0x18 (mala, OPC_QUALITY_COMM_FAILURE)": the quality and its
// published name (the low two bits are limit bits).
std::string QualityText(WORD quality) {
    static const struct {
        WORD value;
        const char* name;
    } names[] = {{OPC_QUALITY_BAD, "OPC_QUALITY_BAD"},
                 {OPC_QUALITY_CONFIG_ERROR, "OPC_QUALITY_CONFIG_ERROR"},
                 {OPC_QUALITY_NOT_CONNECTED, "OPC_QUALITY_NOT_CONNECTED"},
                 {OPC_QUALITY_DEVICE_FAILURE, "OPC_QUALITY_DEVICE_FAILURE"},
                 {OPC_QUALITY_SENSOR_FAILURE, "OPC_QUALITY_SENSOR_FAILURE"},
                 {OPC_QUALITY_LAST_KNOWN, "OPC_QUALITY_LAST_KNOWN"},
                 {OPC_QUALITY_COMM_FAILURE, "OPC_QUALITY_COMM_FAILURE"},
                 {OPC_QUALITY_OUT_OF_SERVICE, "OPC_QUALITY_OUT_OF_SERVICE"},
                 {OPC_QUALITY_WAITING_FOR_INITIAL_DATA, "OPC_QUALITY_WAITING_FOR_INITIAL_DATA"},
                 {OPC_QUALITY_UNCERTAIN, "OPC_QUALITY_UNCERTAIN"},
                 {OPC_QUALITY_LAST_USABLE, "OPC_QUALITY_LAST_USABLE"},
                 {OPC_QUALITY_SENSOR_CAL, "OPC_QUALITY_SENSOR_CAL"},
                 {OPC_QUALITY_EGU_EXCEEDED, "OPC_QUALITY_EGU_EXCEEDED"},
                 {OPC_QUALITY_SUB_NORMAL, "OPC_QUALITY_SUB_NORMAL"},
                 {OPC_QUALITY_LOCAL_OVERRIDE, "OPC_QUALITY_LOCAL_OVERRIDE"}};
    const WORD kind = quality & OPC_QUALITY_MASK;
    if (kind == OPC_QUALITY_GOOD) return kit::Format("0x%02X (buena)", static_cast<unsigned>(quality));
    const char* name = "";
    for (const auto& n : names)
        if (n.value == (quality & 0xFC)) name = n.name;
    return kit::Format("0x%02X (%s%s%s)", static_cast<unsigned>(quality),
                       kind == OPC_QUALITY_UNCERTAIN ? "incierta" : "mala", *name ? ", " : "", name);
}

long long FileTimeTicks(const FILETIME& t) {
    return static_cast<long long>((static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime);
}

// Waits for `h` without blocking the calls a single-threaded caller must let in.
bool WaitFor(HANDLE h, DWORD ms) {
    DWORD index = 0;
    HRESULT hr = CoWaitForMultipleHandles(0, ms, 1, &h, &index);
    if (hr == CO_E_NOTINITIALIZED) return WaitForSingleObject(h, ms) == WAIT_OBJECT_0;
    return hr == S_OK;
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

    bool Wait(DWORD ms) { return event_ && WaitFor(event_.get(), ms); }

private:
    virtual ~DiagDataSink() {}
    LONG refs_;
    kit::Handle event_;
};

// What RunBounded shares with its thread; the last of the two frees it.
struct BoundedWork {
    std::function<void()> work;
    kit::Handle done;
    HMODULE module = nullptr;
    std::atomic<LONG> refs{2};
    void Release() {
        if (refs.fetch_sub(1) == 1) delete this;
    }
};

DWORD WINAPI BoundedThread(void* param) {
    BoundedWork* w = static_cast<BoundedWork*>(param);
    const HMODULE module = w->module;
    {
        kit::ComInit com(COINIT_MULTITHREADED);
        try {
            w->work();
        } catch (...) {
        }
        // What the work held (the session and its proxies) goes while this thread
        // is still in the apartment.
        w->work = nullptr;
    }
    SetEvent(w->done.get());
    w->Release();
    // The module may be unloaded the moment this thread lets go of it.
    FreeLibraryAndExitThread(module, 0);
    return 0;
}

// Proxies live in the multithreaded apartment, which ends when its last thread
// leaves it. The doctor's threads come and go one step at a time, and the
// caller's own thread may be in another apartment or in none: this thread stays
// in it for the whole run, so that a proxy made in one step still works in the next.
class ApartmentKeeper {
public:
    ApartmentKeeper()
        : entered_(CreateEventW(nullptr, TRUE, FALSE, nullptr)), leave_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
        if (entered_ && leave_) thread_.Reset(CreateThread(nullptr, 0, &Keep, this, 0, nullptr));
        if (thread_) WaitForSingleObject(entered_.get(), INFINITE);
    }
    ~ApartmentKeeper() {
        if (!thread_) return;
        SetEvent(leave_.get());
        WaitForSingleObject(thread_.get(), INFINITE);
    }
    ApartmentKeeper(const ApartmentKeeper&) = delete;
    ApartmentKeeper& operator=(const ApartmentKeeper&) = delete;

private:
    static DWORD WINAPI Keep(void* param) {
        ApartmentKeeper* keeper = static_cast<ApartmentKeeper*>(param);
        kit::ComInit com(COINIT_MULTITHREADED);
        SetEvent(keeper->entered_.get());
        WaitForSingleObject(keeper->leave_.get(), INFINITE);
        return 0;
    }
    kit::Handle entered_, leave_, thread_;
};

}  // namespace

HRESULT RunBounded(std::function<void()> work, DWORD ms) {
    std::unique_ptr<BoundedWork> w(new BoundedWork);
    w->done.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!w->done) return HRESULT_FROM_WIN32(GetLastError());
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&BoundedThread),
                            &w->module))
        return HRESULT_FROM_WIN32(GetLastError());
    w->work = std::move(work);
    HANDLE thread = CreateThread(nullptr, 0, &BoundedThread, w.get(), 0, nullptr);
    if (!thread) {
        const HRESULT hr = HRESULT_FROM_WIN32(GetLastError());
        FreeLibrary(w->module);
        return hr;
    }
    CloseHandle(thread);
    BoundedWork* shared = w.release();
    const bool ended = WaitFor(shared->done.get(), ms);
    shared->Release();
    return ended ? S_OK : kTimeout;
}

void DiagSession::Walk(const std::string& path, int depth, const DiagOptions& options, std::set<std::string>& seen,
                       const std::atomic<bool>& abandoned) {
    if (leaves.size() >= options.triedLeaves || levels >= options.browseLevels || abandoned) return;
    ++levels;
    engine.Calling("EnumerateItems");
    COPCBrowser browser(path.c_str(), &engine);
    browser.maxEntries = options.triedLeaves;
    browser.Browse();
    for (const BrowseEntry& entry : browser.entries) {
        if (leaves.size() >= options.triedLeaves) return;
        // An ID listed before is a branch that leads back, or a level the server
        // lists again where it could not move.
        if (entry.itemId.empty() || !seen.insert(entry.itemId).second) continue;
        if (!entry.isBranch)
            leaves.push_back(entry.itemId);
        else if (depth < options.browseDepth)
            Walk(entry.itemId, depth + 1, options, seen, abandoned);
    }
}

LeafTrial& DiagSession::AddNextLeaf(IOPCItemMgt* items) {
    LeafTrial trial;
    trial.itemId = leaves[trials.size()];
    std::wstring id = kit::WideFromAnsi(trial.itemId.c_str());
    std::wstring accessPath;
    id.push_back(L'\0');
    accessPath.push_back(L'\0');
    OPCITEMDEF def = {};
    def.szItemID = &id[0];
    def.szAccessPath = &accessPath[0];
    def.bActive = TRUE;
    def.hClient = static_cast<OPCHANDLE>(trials.size() + 1);
    def.vtRequestedDataType = VT_EMPTY;
    OPCITEMRESULT* results = nullptr;
    HRESULT* errors = nullptr;
    engine.Calling("IOPCItemMgt::AddItems");
    HRESULT hr = items->AddItems(1, &def, &results, &errors);
    kit::CoTaskArray<OPCITEMRESULT> resultArray(results);
    kit::CoTaskArray<HRESULT> errorArray(errors);
    if (results && results[0].pBlob) CoTaskMemFree(results[0].pBlob);
    if (SUCCEEDED(hr) && errors && FAILED(errors[0])) hr = errors[0];
    if (SUCCEEDED(hr) && !results) hr = E_FAIL;
    if (FAILED(hr)) {
        trial.code = hr;
        trial.call = "IOPCItemMgt::AddItems";
    } else {
        trial.added = true;
        trial.handle = results[0].hServer;
    }
    trials.push_back(trial);
    return trials.back();
}

void DiagSession::Read(IOPCSyncIO* sync, LeafTrial& trial) {
    OPCHANDLE handle = trial.handle;
    OPCITEMSTATE* states = nullptr;
    HRESULT* errors = nullptr;
    engine.Calling("IOPCSyncIO::Read");
    HRESULT hr = sync->Read(OPC_DS_CACHE, 1, &handle, &states, &errors);
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
        trial.code = hr;
        trial.call = "IOPCSyncIO::Read";
        return;
    }
    const WORD quality = states[0].wQuality;
    kit::Variant text;
    std::string shown = value->vt == VT_EMPTY ? "valor vacío" : "(sin texto)";
    if (value->vt != VT_EMPTY && SUCCEEDED(VariantChangeType(text.get(), value.get(), VARIANT_ALPHABOOL, VT_BSTR)))
        shown = kit::AnsiFromWide(text->bstrVal);
    trial.reading = kit::Format("%s (tipo %u), calidad %s", shown.c_str(), static_cast<unsigned>(value->vt),
                                QualityText(quality).c_str());
    // A value must come with good quality, and be one: a read that gives neither
    // has not shown that the console would see data.
    if ((quality & OPC_QUALITY_MASK) != OPC_QUALITY_GOOD) {
        trial.code = E_FAIL;
        trial.call = kQualityCall;
    } else if (value->vt == VT_EMPTY) {
        trial.code = E_FAIL;
        trial.call = kEmptyCall;
    } else {
        trial.good = true;
    }
}

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
      deadline(0),
      itemsReady(false),
      session(std::make_shared<DiagSession>()) {
    serverComputer = route == RouteServerList ? host : clientComputer;
    // The name and the port have limits of their own; the step waits for both.
    options.stepMs[KETRA_STEP_HOST] = options.nameTimeoutMs + options.portTimeoutMs + 500;
    OPCClient& engine = session->engine;
    engine.SetReceiver(&session->receiver);
    engine.progId = progId;
    engine.host = host;
    engine.isLocal = route == RouteLocal;
    engine.options |= OPCClient::kOptionAdviseMayFail;
    engine.groupName = kDiagGroupName;
}

Doctor::~Doctor() {}

LONG Doctor::Run() {
    ApartmentKeeper apartment;
    deadline = GetTickCount() + options.totalMs;
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
        reason = "el servidor no está en marcha o no contesta (paso 6)";
    } else {
        CheckCallbacks();
        CheckData();
    }
    if (reason)
        for (int n = next; n <= KETRA_STEP_DATA; ++n) Skip(n, reason);
    Finish();
    return firstFailed;
}

void Doctor::Finish() {
    // The group is removed and the server released by whoever lets go of the
    // session last: here, or a thread still waiting for a call that never returned.
    std::shared_ptr<DiagSession> last = std::move(session);
    RunBounded([last]() mutable { last.reset(); }, options.cleanupMs);
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

DWORD Doctor::Remaining(const Step& step) const {
    const DWORD now = GetTickCount();
    const DWORD limit = options.stepMs[step.number], used = now - step.start;
    const DWORD left = limit > used ? limit - used : 0;
    const DWORD total = static_cast<LONG>(deadline - now) > 0 ? deadline - now : 0;
    return left < total ? left : total;
}

bool Doctor::Within(Step& step, std::function<void(Outcome&)> work) {
    auto outcome = std::make_shared<Outcome>();
    session->engine.Calling("");
    HRESULT hr = RunBounded([work, outcome] { work(*outcome); }, Remaining(step));
    if (hr == kTimeout) {
        outcome->abandoned = true;
        const char* call = session->engine.pendingCall.load();
        Note(step, kit::Format("%s: sin respuesta en %lu ms", *call ? call : "llamada",
                               static_cast<unsigned long>(GetTickCount() - step.start)));
        Fail(step, kTimeout, call);
        return false;
    }
    if (FAILED(hr)) {
        Fail(step, hr, "CreateThread");
        return false;
    }
    for (const std::string& line : outcome->notes) Note(step, line);
    if (FAILED(outcome->hr)) {
        Fail(step, outcome->hr, outcome->call);
        return false;
    }
    return true;
}

bool Doctor::CheckServerList() {
    if (route != RouteServerList) {
        Skip(KETRA_STEP_SERVERLIST, route == RouteLocal ? "la ruta local (HostName vacío) no usa OPCEnum"
                                                        : "la ruta DCOM usa la configuración DCOM de la clase");
        return true;
    }
    Step step = Begin(KETRA_STEP_SERVERLIST);
    std::shared_ptr<DiagSession> s = session;
    const std::string where = host, prog = progId;
    const bool listed = Within(step, [s, where, prog](Outcome& out) {
        OPCClient& engine = s->engine;
        std::wstring name = kit::WideFromAnsi(where.c_str());
        name.push_back(L'\0');
        COSERVERINFO serverInfo = {0, &name[0], nullptr, 0};
        MULTI_QI entry = {&IID_IOPCServerList, nullptr, E_FAIL};
        engine.Calling("CoCreateInstanceEx(OPCEnum)");
        HRESULT hr = Activation().coCreateInstanceEx(CLSID_OpcServerList, nullptr, kNamedHostContext,
                                                     &serverInfo, 1, &entry);
        kit::ComPtr<IUnknown> unknown;
        unknown.Attach(entry.pItf);
        if (SUCCEEDED(hr) && FAILED(entry.hr)) hr = entry.hr;
        if (FAILED(hr) || !unknown) return out.Fail(FAILED(hr) ? hr : E_NOINTERFACE, "CoCreateInstanceEx(OPCEnum)");
        kit::ComPtr<IOPCServerList> list;
        engine.Calling("QueryInterface(IOPCServerList)");
        hr = unknown.As(IID_IOPCServerList, list);
        if (FAILED(hr) || !list) return out.Fail(FAILED(hr) ? hr : E_NOINTERFACE, "QueryInterface(IOPCServerList)");
        if (out.abandoned) return;

        std::vector<CLSID> classes;
        kit::ComPtr<IEnumGUID> found;
        CATID category = CATID_OPCDAServer20;
        engine.Calling("IOPCServerList::EnumClassesOfCategories");
        hr = list->EnumClassesOfCategories(1, &category, 0, nullptr, found.put());
        if (SUCCEEDED(hr) && found) {
            GUID clsid;
            ULONG fetched = 0;
            while (classes.size() < kListedServersRead && !out.abandoned && found->Next(1, &clsid, &fetched) == S_OK &&
                   fetched == 1)
                classes.push_back(clsid);
            out.Note(kit::Format("servidores OPC DA 2.0 en %s: %u", where.c_str(), static_cast<unsigned>(classes.size())));
        } else {
            out.Note(kit::Format("no se pudo listar los servidores OPC DA 2.0 (0x%08lX)", static_cast<unsigned long>(hr)));
        }
        engine.Calling("IOPCServerList::GetClassDetails");
        for (size_t i = 0; i < classes.size() && i < kListedServersShown && !out.abandoned; ++i) {
            LPOLESTR listedProgId = nullptr, userType = nullptr;
            hr = list->GetClassDetails(classes[i], &listedProgId, &userType);
            kit::CoTaskString progText(listedProgId), typeText(userType);
            if (SUCCEEDED(hr))
                out.Note("  " + kit::AnsiFromWide(progText.get()) + " - " + kit::AnsiFromWide(typeText.get()));
        }
        if (classes.size() > kListedServersShown)
            out.Note(kit::Format("  ... y %u más", static_cast<unsigned>(classes.size() - kListedServersShown)));

        CLSID clsid = GUID_NULL;
        std::wstring wideProgId = kit::WideFromAnsi(prog.c_str());
        engine.Calling("IOPCServerList::CLSIDFromProgID");
        hr = list->CLSIDFromProgID(wideProgId.c_str(), &clsid);
        if (FAILED(hr) || IsEqualCLSID(clsid, GUID_NULL))
            return out.Fail(FAILED(hr) ? hr : REGDB_E_CLASSNOTREG, "IOPCServerList::CLSIDFromProgID");
        bool inList = false;
        for (const CLSID& c : classes) inList = inList || IsEqualCLSID(c, clsid);
        out.Note("\"" + prog + "\" = " + GuidText(clsid) +
                 (inList ? ", en la lista" : ", fuera de la lista de OPC DA 2.0 (OPCEnum lo resuelve igualmente)"));
    });
    if (!listed) return false;
    Pass(step);
    return true;
}

bool Doctor::CheckServer() {
    Step step = Begin(KETRA_STEP_SERVER);
    std::string created;
    switch (route) {
    case RouteLocal: created = "\"" + progId + "\" creado en este equipo (CoCreateInstance, CLSCTX_ALL)"; break;
    case RouteDcom:
        created = "\"" + progId + "\" creado con la configuración DCOM de la clase (CLSCTX_REMOTE_SERVER)";
        break;
    case RouteServerList:
        created = "\"" + progId + "\" creado en " + host + " (CoCreateInstanceEx con el CLSID de OPCEnum)";
        break;
    }
    std::shared_ptr<DiagSession> s = session;
    const bool made = Within(step, [s, created](Outcome& out) {
        OPCClient& engine = s->engine;
        engine.lastFailure = ChainFailure();
        HRESULT hr = engine.CreateServer();
        if (FAILED(hr)) {
            const ChainFailure& f = engine.lastFailure;
            return out.Fail(FAILED(f.code) ? f.code : hr, *f.call ? f.call : "CreateServer");
        }
        out.Note(created);
        out.Note(engine.shutdownSink->IsAdvised()
                     ? "aviso de cierre (IOPCShutdown) suscrito"
                     : "aviso de cierre (IOPCShutdown) no suscrito: el servidor no podrá avisar cuando se cierre");
    });
    if (!made) return false;
    Pass(step);
    return true;
}

bool Doctor::CheckStatus() {
    Step step = Begin(KETRA_STEP_STATUS);
    std::shared_ptr<DiagSession> s = session;
    const bool running = Within(step, [s](Outcome& out) {
        OPCClient& engine = s->engine;
        OPCSERVERSTATE state = OPC_STATUS_TEST;
        HRESULT hr = engine.GetServerState(&state);
        if (out.abandoned) return;
        // A server still starting gets the time a connect gives it.
        if (FAILED(hr) || state != OPC_STATUS_RUNNING) {
            engine.lastFailure = ChainFailure();
            hr = engine.WaitUntilRunning();
        }
        const ChainFailure waited = engine.lastFailure;
        if (out.abandoned) return;
        OPCSERVERSTATUS* raw = nullptr;
        FILETIME before, after;
        GetSystemTimeAsFileTime(&before);
        engine.Calling("IOPCServer::GetStatus");
        HRESULT statusHr = engine.server->GetStatus(&raw);
        GetSystemTimeAsFileTime(&after);
        kit::CoTaskArray<OPCSERVERSTATUS> status(raw);
        kit::CoTaskString vendor(status ? status->szVendorInfo : nullptr);
        if (SUCCEEDED(statusHr) && status) {
            out.Note(kit::Format("estado %s; fabricante \"%s\"; versión %u.%u.%u", StateName(status->dwServerState),
                                 kit::AnsiFromWide(vendor.get()).c_str(), status->wMajorVersion,
                                 status->wMinorVersion, status->wBuildNumber));
            // Against the middle of the call: half the round trip is the error bound.
            const long long here = (FileTimeTicks(before) + FileTimeTicks(after)) / 2;
            const double seconds = static_cast<double>(FileTimeTicks(status->ftCurrentTime) - here) / 1e7;
            out.Note(kit::Format("reloj del servidor: %+.1f s respecto a este equipo%s", seconds,
                                 std::fabs(seconds) > 300 ? " (más de 5 minutos: sincronice los relojes)" : ""));
        }
        if (FAILED(hr))
            return out.Fail(FAILED(waited.code) ? waited.code : hr, *waited.call ? waited.call : "IOPCServer::GetStatus");
        if (FAILED(statusHr) || !status) out.Fail(FAILED(statusHr) ? statusHr : E_FAIL, "IOPCServer::GetStatus");
    });
    if (!running) return false;
    Pass(step);
    return true;
}

bool Doctor::CheckCallbacks() {
    Step step = Begin(KETRA_STEP_CALLBACKS);
    std::shared_ptr<DiagSession> s = session;
    const DiagOptions limits = options;
    // The group, the walk for leaves, and the first leaf the group takes.
    const bool grouped = Within(step, [s, limits](Outcome& out) {
        OPCClient& engine = s->engine;
        engine.lastFailure = ChainFailure();
        if (FAILED(engine.CreateGroup())) return out.Fail(engine.lastFailure.code, engine.lastFailure.call);
        out.Note("grupo \"" + engine.groupName + "\" creado, con punto de conexión IOPCDataCallback");
        const DWORD start = GetTickCount();
        std::set<std::string> seen;
        s->Walk(std::string(), 0, limits, seen, out.abandoned);
        out.Note(kit::Format("hojas halladas al explorar: %u (%d niveles, %lu ms)",
                             static_cast<unsigned>(s->leaves.size()), s->levels,
                             static_cast<unsigned long>(GetTickCount() - start)));
        kit::ComPtr<IOPCItemMgt> items;
        HRESULT hr = engine.group.As(IID_IOPCItemMgt, items);
        if (FAILED(hr) || !items) return out.Fail(FAILED(hr) ? hr : E_NOINTERFACE, "QueryInterface(IOPCItemMgt)");
        while (s->trials.size() < s->leaves.size() && !out.abandoned && !s->AddNextLeaf(items.get()).added) {
        }
    });
    itemsReady = grouped;
    if (!grouped) return false;
    if (session->leaves.empty()) {
        Skip(KETRA_STEP_CALLBACKS, "el servidor no ofrece ítems a los que suscribirse (paso 8)");
        return true;
    }
    if (session->trials.empty() || !session->trials.back().added) {
        Skip(KETRA_STEP_CALLBACKS, "no se pudo añadir ningún ítem al grupo (paso 8)");
        return true;
    }
    const std::string item = session->trials.back().itemId;
    const DWORD waitMs = options.callbackWaitMs;
    const bool called = Within(step, [s, item, waitMs](Outcome& out) {
        OPCClient& engine = s->engine;
        kit::ComPtr<IConnectionPoint> point = engine.dataCallbackPoint;
        kit::ComPtr<DiagDataSink> sink;
        sink.Attach(new DiagDataSink());
        DWORD cookie = 0;
        engine.Calling("IConnectionPoint::Advise(IOPCDataCallback)");
        HRESULT hr = point->Advise(static_cast<IOPCDataCallback*>(sink.get()), &cookie);
        if (FAILED(hr)) return out.Fail(hr, "IConnectionPoint::Advise(IOPCDataCallback)");
        bool changed = false;
        DWORD waited = 0;
        if (!out.abandoned) {
            const DWORD asked = GetTickCount();
            kit::ComPtr<IOPCAsyncIO2> async;
            engine.group.As(IID_IOPCAsyncIO2, async);
            DWORD cancelId = 0;
            engine.Calling("IOPCAsyncIO2::Refresh2");
            HRESULT refresh = async ? async->Refresh2(OPC_DS_CACHE, kRefreshTransaction, &cancelId) : E_NOINTERFACE;
            if (!out.abandoned) engine.Calling("IOPCDataCallback::OnDataChange");
            changed = sink->Wait(waitMs);
            waited = GetTickCount() - asked;
            if (!async)
                out.Note("el grupo no ofrece IOPCAsyncIO2: se esperó su actualización periódica");
            else if (FAILED(refresh))
                out.Note(kit::Format("IOPCAsyncIO2::Refresh2: 0x%08lX", static_cast<unsigned long>(refresh)));
        }
        // Also after the step gave up: the server must not keep our sink.
        point->Unadvise(cookie);
        if (!changed) {
            out.Note(kit::Format("ningún OnDataChange en %lu ms", static_cast<unsigned long>(waited)));
            return out.Fail(kTimeout, "IOPCDataCallback::OnDataChange");
        }
        out.Note(kit::Format("OnDataChange recibido a los %lu ms (ítem \"%s\")", static_cast<unsigned long>(waited),
                             item.c_str()));
    });
    if (!called) return false;
    Pass(step);
    return true;
}

bool Doctor::CheckData() {
    if (!itemsReady) {
        Skip(KETRA_STEP_DATA, "sin grupo ni ítems no hay lectura (paso 7)");
        return true;
    }
    Step step = Begin(KETRA_STEP_DATA);
    if (session->leaves.empty()) {
        Note(step, "ningún ítem legible al explorar");
        Fail(step, kNotFound, "EnumerateItems");
        return false;
    }
    std::shared_ptr<DiagSession> s = session;
    const size_t tried = options.triedLeaves;
    const bool read = Within(step, [s, tried](Outcome& out) {
        OPCClient& engine = s->engine;
        kit::ComPtr<IOPCItemMgt> items;
        kit::ComPtr<IOPCSyncIO> sync;
        HRESULT hr = engine.group.As(IID_IOPCItemMgt, items);
        if (SUCCEEDED(hr) && items) hr = engine.group.As(IID_IOPCSyncIO, sync);
        if (FAILED(hr) || !sync) return out.Fail(FAILED(hr) ? hr : E_NOINTERFACE, "QueryInterface(IOPCSyncIO)");
        // The leaf step 7 added first, then the next ones, until one reads well.
        for (size_t i = 0; i < s->leaves.size() && i < tried && !out.abandoned; ++i) {
            LeafTrial& trial = i < s->trials.size() ? s->trials[i] : s->AddNextLeaf(items.get());
            if (trial.added && SUCCEEDED(trial.code) && !trial.good) s->Read(sync.get(), trial);
            if (trial.good) {
                out.Note("lectura de \"" + trial.itemId + "\": " + trial.reading);
                return;
            }
            // What each leaf that would not do gave: its code, or what its read found.
            out.Note("\"" + trial.itemId + "\" no sirve: " +
                     (!trial.reading.empty() ? trial.reading
                                             : kit::Format("0x%08lX %s (%s)", static_cast<unsigned long>(trial.code),
                                                           HResultName(trial.code), trial.call)));
        }
        if (s->trials.empty()) return out.Fail(kNotFound, "EnumerateItems");
        out.Fail(s->trials.front().code, s->trials.front().call);
    });
    if (!read) return false;
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
