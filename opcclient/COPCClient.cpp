#include "COPCClient.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "opcconst.h"

namespace ketra {
namespace opc {

namespace {
const char kGroupName[] = "Ketra.OPC.Client";
const VARTYPE kRegisteredType = VT_UNKNOWN;
// Taken and advanced in one step, so first reads on two threads never share one.
volatile LONG g_nextClientHandle = 200000;
}  // namespace

OPCHANDLE NextClientHandle() {
    return static_cast<OPCHANDLE>(InterlockedIncrement(&g_nextClientHandle) - 1);
}

COPCClient::COPCClient() : connected(false), shutdownRequested(false), logCallback(nullptr) {}

COPCClient::~COPCClient() {}

HRESULT COPCClient::Connect(const char* progId, const char* host, LogCallback callback) {
    try {
        return ConnectEngine(progId, host, callback);
    } catch (...) {
        Log(LogError, "EXCEPTION: COPCClient::Connect");
        return E_FAIL;
    }
}

HRESULT COPCClient::ConnectEngine(const char* progId, const char* host, LogCallback callback) {
    engine.options |= OPCClient::kOptionAdviseMayFail;
    engine.SetReceiver(this);
    if (!progId) {
        // Nothing to connect to; refuse rather than dereference it.
        logCallback = callback;
        engine.lastFailure = {KETRA_STEP_CALL, E_INVALIDARG, "Connect"};
        Log(LogError, "Unable to connect to server %s on host %s", "(null)", host ? host : "(null)");
        return E_INVALIDARG;
    }
    engine.progId = progId;
    if (host) engine.host = host;
    engine.groupName = kGroupName;
    engine.addTogether = true;
    logCallback = callback;
    {
        // A new connection starts without the last one's shutdown notice, but
        // one that arrives while this connect runs must outlast it.
        kit::CritSecLock lock(stateLock);
        if (!engine.IsConnected()) shutdownRequested = false;
    }
    HRESULT hr = engine.CreateServerObject(progId, host);
    if (FAILED(hr)) {
        Log(LogError, "Unable to connect to server %s on host %s", progId, host ? host : "(null)");
        return hr;
    }
    return S_OK;
}

int COPCClient::Disconnect() {
    try {
        engine.Disconnect();
    } catch (...) {
        Log(LogError, "EXCEPTION: COPCClient::Disconnect");
    }
    return 0;
}

HRESULT COPCClient::GetServerState(OPCSERVERSTATE* state) {
    {
        // A server on its way out may still answer "running" to a client that
        // can no longer read from it.
        kit::CritSecLock lock(stateLock);
        if (shutdownRequested) {
            Log(LogError, "Unable to get server state");
            return E_FAIL;
        }
    }
    OPCSERVERSTATE current = OPC_STATUS_TEST;
    HRESULT hr = engine.GetServerState(&current);
    if (FAILED(hr)) {
        Log(LogError, "Unable to get server state");
        return hr;
    }
    if (state) *state = current;
    return S_OK;
}

// Takes no lock and ignores the connected flag: a browse only needs the server
// pointer, and callers never browse while they connect or disconnect.
IItemEnumerator* COPCClient::EnumerateItems(const char* branchPath) {
    try {
        COPCBrowser browser(branchPath, &engine);
        browser.Browse();
        return new CItemEmumerator(std::move(browser.entries));
    } catch (...) {
        // Out of memory: an exception must not cross into a caller built by
        // another compiler; null is what callers already treat as "stop here".
        return nullptr;
    }
}

void COPCClient::ReleaseEnumerator(IItemEnumerator* enumerator) {
    if (!enumerator) return;
#if defined(_MSC_VER)
    delete enumerator;
#else
    enumerator->VcDeletingDestructor(1);
#endif
}

bool COPCClient::ConnectedOrLog(const char* refusal) {
    // Reads of a connected client skip the lock; only a refusal takes it, so
    // the refusal is logged while the flag cannot change under it.
    if (connected.load(std::memory_order_acquire)) return true;
    kit::CritSecLock lock(stateLock);
    if (connected.load(std::memory_order_relaxed)) return true;
    Log(LogError, "%s", refusal);
    return false;
}

bool COPCClient::ReadValue(const char* itemId, FILETIME* timestamp, VARIANT* value, DWORD* quality) {
    if (!ConnectedOrLog("ReadValue: Server not connected")) return false;
    if (!itemId || !timestamp || !value || !quality) {
        // Nothing to look up (registering it would make an item without a name)
        // or nowhere to put the answer.
        Log(LogError, "ReadValue: Failed to read value %s", itemId ? itemId : "(null)");
        return false;
    }
    try {
        WORD itemQuality = 0;
        bool read;
        if (COPCItem* item = engine.FindByName(itemId)) {
            read = engine.ReadItem(item, timestamp, value, &itemQuality);
        } else {
            OPCHANDLE handle = engine.AddParam(NextClientHandle(), itemId, kRegisteredType);
            read = engine.ReadValue(handle, timestamp, value, &itemQuality);
        }
        if (!read) {
            Log(LogError, "ReadValue: Failed to read value %s", itemId);
            return false;
        }
        *quality = itemQuality;
        return true;
    } catch (...) {
        return false;
    }
}

HRESULT COPCClient::ReadValues(DWORD count, const char* const* itemIds, KetraItemValue* values) {
    if (count && (!itemIds || !values)) {
        Log(LogError, "ReadValues: Failed to read values");
        return E_INVALIDARG;
    }
    for (DWORD i = 0; i < count; ++i) values[i].error = E_FAIL;
    if (!ConnectedOrLog("ReadValues: Server not connected")) return E_FAIL;
    if (count == 0) return S_OK;
    HRESULT hr;
    try {
        hr = ReadRegistered(count, itemIds, values);
    } catch (...) {
        hr = E_FAIL;  // out of memory: nothing was read
    }
    if (FAILED(hr)) {
        for (DWORD i = 0; i < count; ++i) values[i].error = hr;
        Log(LogError, "ReadValues: Failed to read values");
        return hr;
    }
    hr = S_OK;
    for (DWORD i = 0; i < count; ++i) {
        if (SUCCEEDED(values[i].error)) continue;
        Log(LogError, "ReadValue: Failed to read value %s", itemIds[i] ? itemIds[i] : "(null)");
        hr = S_FALSE;
    }
    return hr;
}

HRESULT COPCClient::ReadRegistered(DWORD count, const char* const* itemIds, KetraItemValue* values) {
    // Registration as a first ReadValue does it, but the new items go to the
    // server together.
    std::vector<COPCItem*> items(count, nullptr);
    std::vector<COPCItem*> fresh;
    for (DWORD i = 0; i < count; ++i) {
        if (!itemIds[i]) {
            values[i].error = E_INVALIDARG;  // registering it would make an item without a name
            continue;
        }
        items[i] = engine.FindByName(itemIds[i]);
        if (!items[i]) {
            items[i] = engine.NewParam(NextClientHandle(), itemIds[i], kRegisteredType);
            fresh.push_back(items[i]);
        }
    }
    std::vector<HRESULT> added;
    engine.AddNewParams(fresh, added);
    if (!engine.group) return E_FAIL;
    std::vector<OPCClient::ItemRead> reads;
    for (DWORD i = 0; i < count; ++i) {
        COPCItem* item = items[i];
        if (!item) continue;
        if (item->inGroup.load(std::memory_order_acquire)) {
            reads.push_back({item, &values[i]});
            continue;
        }
        // Never read: its handle may name another item of the group. A new one
        // says what its add said; one refused before, what the server would
        // answer for a handle of no item of its group.
        auto it = std::find(fresh.begin(), fresh.end(), item);
        HRESULT code = it == fresh.end() ? OPC_E_INVALIDHANDLE : added[static_cast<size_t>(it - fresh.begin())];
        values[i].error = FAILED(code) ? code : E_FAIL;
        if (it == fresh.end()) engine.LogItemError(OPC_E_INVALIDHANDLE, item->itemId.c_str());
    }
    if (reads.empty()) return S_FALSE;
    return engine.ReadItems(reads);
}

void COPCClient::Log(int level, const char* format, ...) {
    char buffer[kLineBuffer];
    std::memset(buffer, 0, sizeof buffer);
    size_t prefixLength = 0;
    if (const char* prefix = LevelPrefix(level)) {
        prefixLength = std::strlen(prefix);
        std::memcpy(buffer, prefix, prefixLength);
    }
    va_list args;
    va_start(args, format);
    // Cut at kTextLimit - 1 characters: the line never outgrows the buffer.
    std::vsnprintf(buffer + prefixLength, kTextLimit, format ? format : "", args);
    va_end(args);
    kit::CritSecLock lock(logLock);
    if (logCallback) logCallback(buffer);
}

void COPCClient::StateChanged(int state, const char*) {
    kit::CritSecLock lock(stateLock);
    if (state == -1) shutdownRequested = true;
    // A server that asked its clients to go while they connected is not connected to.
    connected.store(state != -1 && !shutdownRequested, std::memory_order_release);
}

bool COPCClient::IsConnectedFlag() {
    kit::CritSecLock lock(stateLock);
    return connected.load();
}

}  // namespace opc
}  // namespace ketra

extern "C" {

ketra::opc::IOPCClient* __stdcall CreateNewOPCClientObject() {
    try {
        return new ketra::opc::COPCClient();
    } catch (...) {
        return nullptr;
    }
}

HRESULT __stdcall ReadOPCValues(ketra::opc::IOPCClient* client, DWORD count, const char* const* itemIds,
                                KetraItemValue* values) {
    return client ? client->ReadValues(count, itemIds, values) : E_POINTER;
}

BOOL __stdcall DestroyOPCClientObject(ketra::opc::IOPCClient* client) {
    if (!client) return FALSE;
    try {
        delete static_cast<ketra::opc::COPCClient*>(client);
    } catch (...) {
    }
    return TRUE;
}

}  // extern "C"
