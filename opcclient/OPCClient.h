// The connection engine: one OPC DA server, its one group, and the items read
// through it. COPCClient embeds one engine and forwards to it; every message goes
// to the engine's receiver.
#ifndef KETRA_OPCCLIENT_ENGINE_H
#define KETRA_OPCCLIENT_ENGINE_H

#include <windows.h>
#include <ocidl.h>

#include <atomic>
#include <map>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "kit_com.h"
#include "opccomn.h"
#include "opcda.h"
#include "ErrorReport.h"
#include "IOPCClient.h"
#include "ReceiveData.h"

namespace ketra {
namespace opc {
class Doctor;
}
}  // namespace ketra

// One registered item. The engine creates and owns it.
struct COPCItem {
    std::string itemId;
    VARIANT value;
    WORD quality;
    OPCHANDLE serverHandle;
    OPCHANDLE clientHandle;
    FILETIME timestamp;
    VARTYPE dataType;
    // serverHandle names this item in the current group. Servers number items
    // per group, so a handle of an earlier group, or one handed back with a
    // rejection, may name another item: such an item is never read. Set after
    // serverHandle, so a reader on another thread that sees it sees the handle.
    std::atomic<bool> inGroup;

    COPCItem(OPCHANDLE handle, const char* id, VARTYPE type);
    ~COPCItem();
    COPCItem(const COPCItem&) = delete;
    COPCItem& operator=(const COPCItem&) = delete;
};

// The item store. Position 0 of itemList is reserved (null), so n items occupy
// positions 1..n and the item count is itemList.size() - 1.
class COpcDaAbstractor {
public:
    COpcDaAbstractor();
    virtual ~COpcDaAbstractor();
    // The first item registered under exactly this ID (case-sensitive), or null.
    virtual COPCItem* FindByName(const char* itemId);

    void ClearItems();
    size_t ItemCount();

protected:
    std::vector<COPCItem*> itemList;
    std::map<OPCHANDLE, COPCItem*> itemsByHandle;
    // Index of itemList by ID: FindByName must not walk ten thousand items on
    // every read. Holds the first item registered under each ID; the key views
    // that item's own itemId, which lives exactly as long as the entry.
    std::unordered_map<std::string_view, COPCItem*> itemsById;
    kit::CritSec itemLock;
};

// The sink the server calls when it is going down. A COM object of its own,
// freed by its last Release: a server whose process died keeps its references,
// and COM keeps the stub that stands for them, after the engine is gone. The
// engine detaches it before it goes, so that no late request reaches a
// receiver that no longer exists.
class COPCShutdownImpl : public IOPCShutdown {
public:
    explicit COPCShutdownImpl(COPCReceiveData** receiverSlot);
    COPCShutdownImpl(const COPCShutdownImpl&) = delete;
    COPCShutdownImpl& operator=(const COPCShutdownImpl&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE ShutdownRequest(LPCWSTR reason) override;

    HRESULT Advise(IOPCServer* server);
    void Unadvise();
    bool IsAdvised() const { return cookie != 0 || connectionPoint; }
    // Once this returns no request reaches the receiver (one under way has
    // ended), and COM has dropped the references it held for other processes.
    void Detach();

private:
    virtual ~COPCShutdownImpl();

    kit::ComPtr<IConnectionPoint> connectionPoint;
    // Guards receiverSlot: a request arrives on a COM thread at any time.
    kit::CritSec detachLock;
    COPCReceiveData** receiverSlot;
    DWORD cookie;
    LONG refCount;
};

class OPCClient : public COpcDaAbstractor {
public:
    OPCClient();
    ~OPCClient() override;
    OPCClient(const OPCClient&) = delete;
    OPCClient& operator=(const OPCClient&) = delete;

    virtual HRESULT CreateServerObject(const char* progId, const char* host);
    virtual void Disconnect();

    void SetReceiver(COPCReceiveData* r) { receiver = r; }
    HRESULT GetServerState(OPCSERVERSTATE* state);

    // Item registration and reads.
    OPCHANDLE AddParam(OPCHANDLE clientHandle, const char* itemId, VARTYPE dataType);
    // Makes and registers an item without adding it to the group.
    COPCItem* NewParam(OPCHANDLE clientHandle, const char* itemId, VARTYPE dataType);
    OPCHANDLE RegisterParam(COPCItem* item);
    COPCItem* ParamByHandle(OPCHANDLE clientHandle);
    HRESULT AddParamToGroup(COPCItem* item);
    HRESULT AddParamsToGroup(int* added);
    HRESULT AddParamsTogetherToGroup(IOPCItemMgt* mgt, int* added);
    // One AddItems call for `items`; `codes`, when given, gets each item's own
    // answer (left as it was where the server gave none).
    HRESULT AddItemsTogether(IOPCItemMgt* mgt, const std::vector<COPCItem*>& items, int* added,
                             std::vector<HRESULT>* codes);
    // Items a batched read registered, into the group of this connection: one
    // AddItems call, or one per item when that call fails as a whole. `codes[k]`
    // gets items[k]'s result. Not connected: nothing is added (the next
    // connection adds them), every code E_FAIL.
    void AddNewParams(const std::vector<COPCItem*>& items, std::vector<HRESULT>& codes);
    void FillItemDef(COPCItem* item, OPCITEMDEF* def);
    void RefreshGroup();
    bool ReadValue(OPCHANDLE clientHandle, FILETIME* timestamp, VARIANT* value, WORD* quality);
    // The read itself, for a caller that already holds the item (items live
    // until the engine goes, so the pointer stays valid without the lock).
    bool ReadItem(COPCItem* item, FILETIME* timestamp, VARIANT* value, WORD* quality);
    // One IOPCSyncIO::Read from the cache for every item of `reads`, all in the
    // group. Each answer goes to its KetraItemValue. S_OK or S_FALSE (some items
    // refused), or the failure of the call itself (every error set to it).
    struct ItemRead {
        COPCItem* item;
        KetraItemValue* out;
    };
    HRESULT ReadItems(const std::vector<ItemRead>& reads);
    void LogItemError(HRESULT code, const char* name);

    bool IsConnected() const { return server && group; }

    // Bit 0 of options: a failed shutdown advise does not fail the connect.
    static const DWORD kOptionAdviseMayFail = 1;
    // A server that keeps refusing names would otherwise keep the caller forever.
    static const int kMaxGroupNameRetries = 16;

    kit::ComPtr<COPCShutdownImpl> shutdownSink;
    COPCReceiveData* receiver;
    bool isLocal;
    OPCHANDLE serverGroupHandle;
    kit::ComPtr<IConnectionPoint> dataCallbackPoint;
    DWORD options;
    std::string host;
    std::string progId;
    std::string groupName;
    DWORD requestedUpdateRate;
    bool addTogether;
    kit::ComPtr<IOPCServer> server;
    kit::ComPtr<IOPCGroupStateMgt> group;
    kit::ComPtr<IOPCItemMgt> itemMgt;
    // The group's IOPCSyncIO, asked for on the first read of a connection and
    // kept until it ends: one QueryInterface and Release per read cost a tenth
    // of an in-process read, and a remote server may see each as a round trip.
    kit::ComPtr<IOPCSyncIO> syncIO;
    // syncIO is set: a read looks here instead of taking the lock.
    std::atomic<bool> syncIOReady;
    // Where the last connect failed and with which code (the result is mostly E_FAIL).
    ketra::opc::ChainFailure lastFailure;
    // The call to the server (or OPCEnum) that the connect steps are making, a
    // literal: the doctor names it when it stops waiting for one.
    std::atomic<const char*> pendingCall;
    void Calling(const char* call) { pendingCall.store(call, std::memory_order_relaxed); }

private:
    // The doctor walks the connect's own steps one at a time.
    friend class ketra::opc::Doctor;
    void Failed(int step, HRESULT code, const char* call) { lastFailure = {step, code, call}; }
    // itemMgt or syncIO, asked for on first need. Reads on several threads may
    // need one first at the same time: one asks while the others wait, instead
    // of each replacing (and releasing) what another is using.
    template <class T>
    HRESULT GroupInterface(kit::ComPtr<T>& slot, REFIID iid);
    kit::CritSec groupInterfaceLock;

    void Log(int level, const char* format, ...) KETRA_PRINTF_MEMBER(3, 4);
    // The group's IOPCSyncIO, asked for on first need; null when it has none.
    IOPCSyncIO* SyncIO();
    HRESULT CreateServer();
    HRESULT WaitUntilRunning();
    HRESULT CreateGroup();
};

// The library's exception for a failed registration; the message is cut to fit.
class opcError {
public:
    opcError(const char* format, ...) KETRA_PRINTF_MEMBER(2, 3);
    const char* Message() const { return message; }
    long long Time() const { return when; }

private:
    long long when;
    char message[2048];
};

#endif
