// The OPC group: items, their cache, subscriptions and reads/writes.
#ifndef KETRA_OPC_GROUP_H
#define KETRA_OPC_GROUP_H

#include "engine.h"

namespace ketra {
namespace engine {

// Per-client figures the groups report back to their server object.
struct ServerShared {
    kit::CritSec lock;
    FILETIME lastUpdate = {0, 0};
    void Touch() {
        FILETIME now = NowFileTime();
        kit::CritSecLock l(lock);
        lastUpdate = now;
    }
};

struct GroupSettings {
    std::wstring name;
    BOOL active;
    DWORD updateRate;  // already revised
    OPCHANDLE clientHandle;
    LONG timeBias;
    FLOAT deadband;
    DWORD lcid;
};

class COPCGroup final : public IOPCGroupStateMgt,
                  public IOPCItemMgt,
                  public IOPCSyncIO,
                  public IOPCAsyncIO2,
                  public IConnectionPointContainer {
public:
    COPCGroup(const std::shared_ptr<EngineCore>& core, const std::shared_ptr<ServerShared>& shared,
              COPCServer* owner, OPCHANDLE serverHandle, const GroupSettings& settings);

    // IUnknown
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    // IOPCGroupStateMgt
    STDMETHODIMP GetState(DWORD* updateRate, BOOL* active, LPWSTR* name, LONG* timeBias,
                          FLOAT* deadband, DWORD* lcid, OPCHANDLE* clientGroup,
                          OPCHANDLE* serverGroup) override;
    STDMETHODIMP SetState(DWORD* requestedRate, DWORD* revisedRate, BOOL* active, LONG* timeBias,
                          FLOAT* deadband, DWORD* lcid, OPCHANDLE* clientGroup) override;
    STDMETHODIMP SetName(LPCWSTR name) override;
    STDMETHODIMP CloneGroup(LPCWSTR name, REFIID iid, IUnknown** out) override;

    // IOPCItemMgt
    STDMETHODIMP AddItems(DWORD count, OPCITEMDEF* items, OPCITEMRESULT** results, HRESULT** errors) override;
    STDMETHODIMP ValidateItems(DWORD count, OPCITEMDEF* items, BOOL blobUpdate, OPCITEMRESULT** results,
                               HRESULT** errors) override;
    STDMETHODIMP RemoveItems(DWORD count, OPCHANDLE* serverHandles, HRESULT** errors) override;
    STDMETHODIMP SetActiveState(DWORD count, OPCHANDLE* serverHandles, BOOL active, HRESULT** errors) override;
    STDMETHODIMP SetClientHandles(DWORD count, OPCHANDLE* serverHandles, OPCHANDLE* clientHandles,
                                  HRESULT** errors) override;
    STDMETHODIMP SetDatatypes(DWORD count, OPCHANDLE* serverHandles, VARTYPE* types, HRESULT** errors) override;
    STDMETHODIMP CreateEnumerator(REFIID iid, IUnknown** out) override;

    // IOPCSyncIO
    STDMETHODIMP Read(OPCDATASOURCE source, DWORD count, OPCHANDLE* serverHandles, OPCITEMSTATE** values,
                      HRESULT** errors) override;
    STDMETHODIMP Write(DWORD count, OPCHANDLE* serverHandles, VARIANT* values, HRESULT** errors) override;

    // IOPCAsyncIO2
    STDMETHODIMP Read(DWORD count, OPCHANDLE* serverHandles, DWORD transactionId, DWORD* cancelId,
                      HRESULT** errors) override;
    STDMETHODIMP Write(DWORD count, OPCHANDLE* serverHandles, VARIANT* values, DWORD transactionId,
                       DWORD* cancelId, HRESULT** errors) override;
    STDMETHODIMP Refresh2(OPCDATASOURCE source, DWORD transactionId, DWORD* cancelId) override;
    STDMETHODIMP Cancel2(DWORD cancelId) override;
    STDMETHODIMP SetEnable(BOOL enable) override;
    STDMETHODIMP GetEnable(BOOL* enable) override;

    // IConnectionPointContainer
    STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints** out) override;
    STDMETHODIMP FindConnectionPoint(REFIID iid, IConnectionPoint** out) override;

    // Engine side.
    // Clients' references and the engine's holds together: the group goes at zero.
    LONG volatile* RefCount() { return &life_; }
    void Hold() { InterlockedIncrement(&life_); }
    void Unhold() {
        if (InterlockedDecrement(&life_) == 0) delete this;
    }
    DWORD UpdateRate() const { return static_cast<DWORD>(updateRate_); }
    OPCHANDLE ServerHandle() const { return serverHandle_; }
    std::wstring Name();
    void SetNameUnchecked(const std::wstring& name);
    GroupSettings Settings();
    // Refreshes the cache of active items and reports changes (thread pool); one
    // refresh of a group at a time.
    void Tick();
    bool TryBeginTick() { return InterlockedCompareExchange(&ticking_, 1, 0) == 0; }
    void EndTick() { InterlockedExchange(&ticking_, 0); }
    // The owning server object forgets this group (removed, or the server went away).
    void Detach();
    // Cuts off every client of this group (forced removal, engine stop); the sink
    // goes to `sinks` when given, for the caller to release.
    void Disconnect(std::vector<kit::ComPtr<IUnknown>>* sinks = nullptr);
    // A client still holds the group (the engine's own holds do not count).
    bool InUse() const { return clientRefs_ > 0; }
    // Copies the items of `source` into this (new) group, for CloneGroup; when it
    // throws, the caller drops the half-made group.
    void CopyItemsFrom(COPCGroup* source);

private:
    struct Item {
        OPCHANDLE serverHandle;
        OPCHANDLE clientHandle;
        const Tag* tag;
        VARTYPE requested;
        bool active;
        kit::Variant value;
        WORD quality;
        FILETIME timestamp;
        kit::Variant sentValue;
        WORD sentQuality;
        bool sentValid;
    };

    ~COPCGroup();
    HRESULT CheckItem(const OPCITEMDEF& def, OPCITEMRESULT* result, const Tag** tag);
    // Reads the provider for the given items and stores the result in their cache.
    void RefreshItems(const std::vector<OPCHANDLE>& handles);

    // group_async.cpp: the asynchronous requests and every callback to the client.
    struct Batch;
    // An item of an asynchronous request, as it was when the request came.
    struct Requested {
        OPCHANDLE handle;
        OPCHANDLE client;
    };
    kit::ComPtr<IOPCDataCallback> Callback();
    // Tells the advised client that an asynchronous request was cancelled.
    void NotifyCancelled(DWORD transactionId);
    // After each callback: a client that is gone or timed out loses its sink.
    void Delivered(HRESULT hr);
    void ReadDevice(const std::vector<Requested>& items, Batch* batch);
    static std::vector<OPCHANDLE> Handles(const std::vector<Requested>& items);
    // The answer for an item removed before its request ran.
    static void AppendRemoved(const Requested& item, Batch* batch);
    void FillFromCache(Item& item, Batch* batch, HRESULT* error);

    LONG volatile clientRefs_;  // COM references: the clients' (through COM or in process)
    LONG volatile life_;        // clientRefs_ plus the engine's GroupRef holds
    LONG volatile ticking_ = 0;
    ServerProcessRef process_;
    std::shared_ptr<EngineCore> core_;
    std::shared_ptr<ServerShared> shared_;
    const OPCHANDLE serverHandle_;

    kit::CritSec ownerLock_;
    COPCServer* owner_;  // weak: the server detaches before it goes

    kit::CritSec lock_;
    std::wstring name_;
    BOOL active_;
    LONG volatile updateRate_;
    OPCHANDLE clientHandle_;
    LONG timeBias_;
    FLOAT deadband_;
    DWORD lcid_;
    BOOL enable_;
    bool disconnected_;
    OPCHANDLE nextItemHandle_;
    std::map<OPCHANDLE, std::unique_ptr<Item>> items_;

    CConnectionPoint dataPoint_;
};

}  // namespace engine
}  // namespace ketra

#endif
