// Connection of the engine: server creation by its three routes, the wait for the
// running state, the group, and the end of a connection.
#include "OPCClient.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <new>

#include "Activation.h"
#include "ComErrorText.h"
#include <olectl.h>

#include "opcconst.h"

using ketra::opc::Activation;
using ketra::opc::kNamedHostContext;
using ketra::opc::ComError;
using ketra::opc::ComErrorText;
using ketra::opc::HResultError;

namespace {

const char kDefaultGroupName[] = "Ketra.OPC.Client";
const DWORD kStatusPollMs = 500;
const int kStatusPolls = 3;

// COSERVERINFO wants a writable name that outlives the call.
struct ServerInfo {
    explicit ServerInfo(const std::string& host) : name(kit::WideFromAnsi(host.c_str())) {
        name.push_back(L'\0');
        info.dwReserved1 = 0;
        info.pwszName = &name[0];
        info.pAuthInfo = nullptr;
        info.dwReserved2 = 0;
    }
    std::wstring name;
    COSERVERINFO info;
};

// One MULTI_QI entry whose interface is released unless taken.
struct SingleQi {
    explicit SingleQi(const IID* iid) { qi.pIID = iid; qi.pItf = nullptr; qi.hr = E_FAIL; }
    ~SingleQi() { if (qi.pItf) qi.pItf->Release(); }
    SingleQi(const SingleQi&) = delete;
    SingleQi& operator=(const SingleQi&) = delete;
    MULTI_QI qi;
};

}  // namespace

OPCClient::OPCClient()
    : shutdownSink(new COPCShutdownImpl(&receiver)),
      receiver(nullptr),
      isLocal(true),
      serverGroupHandle(0),
      options(0),
      groupName(kDefaultGroupName),
      requestedUpdateRate(1000),
      addTogether(false),
      syncIOReady(false),
      pendingCall("") {}

OPCClient::~OPCClient() {
    if (server && group) Disconnect();
    // The Server-only state: the server must not keep a sink that is about to go.
    if (shutdownSink->IsAdvised()) shutdownSink->Unadvise();
    // Whoever still holds the sink may call it later; it must not reach us then.
    shutdownSink->Detach();
    shutdownSink.Reset();
    ClearItems();
    itemMgt.Reset();
    syncIO.Reset();
    group.Reset();
    server.Reset();
    dataCallbackPoint.Reset();
}

void OPCClient::Log(int level, const char* format, ...) {
    if (!receiver) return;
    char stackText[512];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(stackText, sizeof stackText, format, args);
    va_end(args);
    if (n < 0) return;
    if (static_cast<size_t>(n) < sizeof stackText) {
        receiver->Log(level, "%s", stackText);
        return;
    }
    // Engine lines carry item IDs and server texts of any length.
    std::string text(static_cast<size_t>(n) + 1, '\0');
    va_start(args, format);
    std::vsnprintf(&text[0], text.size(), format, args);
    va_end(args);
    receiver->Log(level, "%s", text.c_str());
}

HRESULT OPCClient::GetServerState(OPCSERVERSTATE* state) {
    if (!server) return E_FAIL;
    OPCSERVERSTATUS* status = nullptr;
    HRESULT hr;
    Calling("IOPCServer::GetStatus");
    try {
        hr = server->GetStatus(&status);
    } catch (...) {
        return E_FAIL;
    }
    kit::CoTaskArray<OPCSERVERSTATUS> record(status);
    if (FAILED(hr)) {
        Log(LogError, "IOPCServer::GetStatus returned error: %s", ComErrorText(ComError(hr)));
        if (record && record->szVendorInfo) CoTaskMemFree(record->szVendorInfo);
        return hr;
    }
    if (!record) return E_FAIL;
    if (state) *state = record->dwServerState;
    if (record->szVendorInfo) CoTaskMemFree(record->szVendorInfo);
    return S_OK;
}

HRESULT OPCClient::CreateServer() {
    auto& com = Activation();
    std::wstring wideProgId = kit::WideFromAnsi(progId.c_str());
    HRESULT hr;
    if (isLocal || host == "DCOM") {
        const bool remote = !isLocal;
        CLSID clsid = GUID_NULL;
        Calling("CLSIDFromProgID");
        hr = com.clsidFromProgId(wideProgId.c_str(), &clsid);
        Calling("CoCreateInstance");
        if (SUCCEEDED(hr))
            hr = com.coCreateInstance(clsid, nullptr, remote ? CLSCTX_REMOTE_SERVER : CLSCTX_ALL,
                                      IID_IOPCServer, server.put_void());
        if (remote && FAILED(hr)) {
            server.Reset();
            Failed(KETRA_STEP_SERVER, hr, IsEqualCLSID(clsid, GUID_NULL) ? "CLSIDFromProgID" : "CoCreateInstance");
            Log(LogError,
                "CComPtr<IOPCServer>::CoCreateInstance (REMOTE SERVER) failed for prog Id '%s', host "
                "'%s' (%s)",
                progId.c_str(), host.c_str(), ComErrorText(ComError(hr)));
            return E_FAIL;
        }
        if (!remote && (FAILED(hr) || !server)) {
            server.Reset();
            Failed(KETRA_STEP_SERVER, FAILED(hr) ? hr : E_NOINTERFACE,
                   IsEqualCLSID(clsid, GUID_NULL) ? "CLSIDFromProgID" : "CoCreateInstance");
            Log(LogError, "CComPtr<IOPCServer>::CoCreateInstance failed for prog Id '%s', host '%s' (%s)",
                progId.c_str(), host.c_str(), ComErrorText(ComError(hr)));
            return E_FAIL;
        }
    } else {
        // Any other host, this machine's own name included, resolves the ProgID
        // through that machine's server list, which knows the classes registered there.
        kit::ComPtr<IUnknown> listUnknown;
        {
            ServerInfo where(host);
            SingleQi entry(&IID_IOPCServerList);
            Calling("CoCreateInstanceEx(OPCEnum)");
            hr = com.coCreateInstanceEx(CLSID_OpcServerList, nullptr, kNamedHostContext, &where.info, 1,
                                        &entry.qi);
            if (SUCCEEDED(hr) && FAILED(entry.qi.hr)) hr = entry.qi.hr;
            if (FAILED(hr) || !entry.qi.pItf) {
                Failed(KETRA_STEP_SERVERLIST, FAILED(hr) ? hr : E_NOINTERFACE, "CoCreateInstanceEx(OPCEnum)");
                Log(LogError,
                    "CComPtr<IOPCServerList>::CoCreateInstance (REMOTE SERVER) failed for prog Id '%s', "
                    "host '%s' (%s)",
                    progId.c_str(), host.c_str(), ComErrorText(ComError(FAILED(hr) ? hr : E_NOINTERFACE)));
                return E_FAIL;
            }
            listUnknown.Attach(entry.qi.pItf);
            entry.qi.pItf = nullptr;
        }
        kit::ComPtr<IOPCServerList> serverList;
        Calling("QueryInterface(IOPCServerList)");
        hr = listUnknown.As(IID_IOPCServerList, serverList);
        if (FAILED(hr) || !serverList) {
            Failed(KETRA_STEP_SERVERLIST, FAILED(hr) ? hr : E_NOINTERFACE, "QueryInterface(IOPCServerList)");
            Log(LogError,
                "CComPtr<IOPCServerList>::QueryInterface (REMOTE SERVER) failed for prog Id '%s', host "
                "'%s' (%s)",
                progId.c_str(), host.c_str(), ComErrorText(ComError(FAILED(hr) ? hr : E_NOINTERFACE)));
            return E_FAIL;
        }
        listUnknown.Reset();
        CLSID clsid = GUID_NULL;
        Calling("IOPCServerList::CLSIDFromProgID");
        hr = serverList->CLSIDFromProgID(wideProgId.c_str(), &clsid);
        if (FAILED(hr) || IsEqualCLSID(clsid, GUID_NULL)) {
            Failed(KETRA_STEP_SERVERLIST, FAILED(hr) ? hr : REGDB_E_CLASSNOTREG, "IOPCServerList::CLSIDFromProgID");
            Log(LogError, "IOPCServerList::CLSIDFromProgID failed to get CLSID from ProgID (%s)",
                progId.c_str());
            return E_FAIL;
        }
        ServerInfo where(host);
        SingleQi entry(&IID_IOPCServer);
        Calling("CoCreateInstanceEx");
        hr = com.coCreateInstanceEx(clsid, nullptr, kNamedHostContext, &where.info, 1, &entry.qi);
        if (SUCCEEDED(hr) && FAILED(entry.qi.hr)) hr = entry.qi.hr;
        if (FAILED(hr) || !entry.qi.pItf) {
            Failed(KETRA_STEP_SERVER, FAILED(hr) ? hr : E_NOINTERFACE, "CoCreateInstanceEx");
            Log(LogError,
                "CComPtr<IOPCServer>::CoCreateInstance (REMOTE SERVER) failed for prog Id '%s', host "
                "'%s' (%s)",
                progId.c_str(), host.c_str(), ComErrorText(ComError(FAILED(hr) ? hr : E_NOINTERFACE)));
            return E_FAIL;
        }
        // The entry was asked for IID_IOPCServer, so its pointer is one.
        server.Attach(static_cast<IOPCServer*>(entry.qi.pItf));
        entry.qi.pItf = nullptr;
    }

    Calling("IConnectionPoint::Advise(IOPCShutdown)");
    hr = shutdownSink->Advise(server.get());
    if (FAILED(hr)) {
        Log(LogError, "COPCShutdownImpl::Advise returned error. (%s)", ComErrorText(ComError(hr)));
        if (!(options & kOptionAdviseMayFail)) {
            Failed(KETRA_STEP_CALLBACKS, hr, "IConnectionPoint::Advise(IOPCShutdown)");
            return E_FAIL;
        }
    }
    return S_OK;
}

HRESULT OPCClient::WaitUntilRunning() {
    OPCSERVERSTATE state = OPC_STATUS_TEST;  // anything but running
    const clock_t start = clock();
    HRESULT hr = GetServerState(&state);
    if (state == OPC_STATUS_RUNNING) return S_OK;
    if (SUCCEEDED(hr)) Log(LogWarning, "Wait while server status not OPC_STATUS_RUNNING.");
    for (int poll = 0; poll < kStatusPolls; ++poll) {
        Activation().sleep(kStatusPollMs);
        hr = GetServerState(&state);
        if (FAILED(hr)) {
            Failed(KETRA_STEP_STATUS, hr, "IOPCServer::GetStatus");
            return hr;
        }
        if (state == OPC_STATUS_RUNNING) return S_OK;
    }
    const double elapsedMs = static_cast<double>(clock() - start) * 1000.0 / CLOCKS_PER_SEC;
    Log(LogWarning, "%.2f ms passed and the OPC Server it's still not in state OPC_STATUS_RUNNING.",
        elapsedMs);
    Failed(KETRA_STEP_STATUS, E_FAIL, "IOPCServer::GetStatus (OPC_STATUS_RUNNING)");
    return E_FAIL;
}

HRESULT OPCClient::CreateGroup() {
    HRESULT hr;
    DWORD revisedRate = 0;
    for (int collisions = 0;; ++collisions) {
        LONG timeBias = 0;
        FLOAT deadband = 0.0f;
        revisedRate = 0;
        std::wstring name = kit::WideFromAnsi(groupName.c_str());
        Calling("IOPCServer::AddGroup");
        hr = server->AddGroup(name.c_str(), TRUE, requestedUpdateRate, 1, &timeBias, &deadband,
                              GetSystemDefaultLCID(), &serverGroupHandle, &revisedRate,
                              IID_IOPCGroupStateMgt, reinterpret_cast<IUnknown**>(group.put()));
        if (hr == E_NOINTERFACE) {
            group.Reset();
            Failed(KETRA_STEP_CALLBACKS, hr, "IOPCServer::AddGroup");
            Log(LogError, "IOPCServer::AddGroup returned E_NOINTERFACE (IID_IOPCGroupStateMgt)");
            return E_FAIL;
        }
        if (hr != OPC_E_DUPLICATENAME || collisions == kMaxGroupNameRetries) break;
        group.Reset();
        groupName += "_" + std::to_string(std::rand());
        Log(LogError, "IOPCServer::AddGroup returned OPC_E_DUPLICATENAME for group name %s.",
            groupName.c_str());
    }
    if (FAILED(hr) || !group) {
        group.Reset();
        Failed(KETRA_STEP_CALLBACKS, FAILED(hr) ? hr : E_NOINTERFACE, "IOPCServer::AddGroup");
        Log(LogError, "1003:IOPCServer::AddGroup failed for group name %s.", groupName.c_str());
        return E_FAIL;
    }
    if (revisedRate != requestedUpdateRate)
        Log(LogWarning, "1004: revisted update rate( %d ms ) differs from the requested.",
            static_cast<int>(revisedRate));

    kit::ComPtr<IConnectionPointContainer> container;
    Calling("QueryInterface(IConnectionPointContainer)");
    hr = group.As(IID_IConnectionPointContainer, container);
    if (FAILED(hr) || !container) {
        Failed(KETRA_STEP_CALLBACKS, FAILED(hr) ? hr : E_NOINTERFACE, "QueryInterface(IConnectionPointContainer)");
        Log(LogError, "1008: failed obtaining the IConnectionPointContainer interface from the Group (%s).",
            ComErrorText(ComError(FAILED(hr) ? hr : E_NOINTERFACE)));
        return E_FAIL;
    }
    Calling("FindConnectionPoint(IOPCDataCallback)");
    hr = container->FindConnectionPoint(IID_IOPCDataCallback, dataCallbackPoint.put());
    if (FAILED(hr) || !dataCallbackPoint) {
        dataCallbackPoint.Reset();
        Failed(KETRA_STEP_CALLBACKS, FAILED(hr) ? hr : CONNECT_E_NOCONNECTION, "FindConnectionPoint(IOPCDataCallback)");
        Log(LogError,
            "1009: failed obtaining the  IOPCDataCallback interface. Server not compliant with OPC DA 2.0 "
            "(%s).",
            ComErrorText(ComError(FAILED(hr) ? hr : CONNECT_E_NOCONNECTION)));
        return E_FAIL;
    }
    return S_OK;
}

HRESULT OPCClient::CreateServerObject(const char* newProgId, const char* newHost) {
    if (newProgId) progId = newProgId;
    isLocal = !newHost || !*newHost;
    if (!isLocal) host = newHost;
    lastFailure = ketra::opc::ChainFailure();
    if (!receiver) return E_FAIL;
    if (server && group) {
        Failed(KETRA_STEP_CALL, E_FAIL, "Already Connected");
        Log(LogError, "Already Connected");
        return E_FAIL;
    }
    HRESULT result = S_OK;
    int added = 0;
    try {
        HRESULT hr;
        if (!server) {
            hr = CreateServer();
            if (FAILED(hr)) return hr;
        }
        hr = WaitUntilRunning();
        if (FAILED(hr)) return hr;
        if (!group) {
            hr = CreateGroup();
            if (FAILED(hr)) return hr;
        }
        size_t size;
        {
            kit::CritSecLock lock(itemLock);
            size = itemList.size();
        }
        if (size > 1) result = AddParamsToGroup(&added);
        if (FAILED(result)) Failed(KETRA_STEP_DATA, result, "IOPCItemMgt::AddItems");
    } catch (const ComError& e) {
        Failed(KETRA_STEP_SERVER, e.Error(), "CreateServerObject");
        Log(LogError, "EXCEPTION: CVadProxyOPC::CreateServerObject (%s)", ComErrorText(e));
        return E_FAIL;
    } catch (const HResultError& e) {
        Failed(KETRA_STEP_SERVER, e.hr, "CreateServerObject");
        Log(LogError, "EXCEPTION: CVadProxyOPC::CreateServerObject (HR = %d)", static_cast<int>(e.hr));
        return E_FAIL;
    } catch (...) {
        Failed(KETRA_STEP_SERVER, E_FAIL, "CreateServerObject");
        Log(LogError, "EXCEPTION: CVadProxyOPC::CreateServerObject");
        return E_FAIL;
    }
    Log(LogDebug, "1020: %d Items added, Current Items count is %d.", added, static_cast<int>(ItemCount()));
    if (SUCCEEDED(result)) receiver->StateChanged(1, nullptr);
    return result;
}

void OPCClient::Disconnect() {
    if (!server || !group) {
        Log(LogError, "OPCClient::Disconnect: Already disconnected.");
        return;
    }
    shutdownSink->Unadvise();
    {
        // The next group numbers its items afresh.
        kit::CritSecLock lock(itemLock);
        for (COPCItem* item : itemList)
            if (item) item->inGroup.store(false, std::memory_order_relaxed);
    }
    // The group's own interfaces go before the server is asked to drop it.
    group.Reset();
    itemMgt.Reset();
    syncIOReady.store(false);
    syncIO.Reset();
    try {
        server->RemoveGroup(serverGroupHandle, TRUE);
    } catch (...) {
    }
    try {
        server.Reset();
    } catch (...) {
    }
}
