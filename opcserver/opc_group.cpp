// The OPC group. Its lock guards only its own state and items; the provider is
// never called with it held, so a slow tag does not stall other calls on the group.
#include "opc_group.h"

#include "opc_server.h"

namespace ketra {
namespace engine {

namespace {

template <class T>
T* TaskAlloc(DWORD count) {
    T* p = static_cast<T*>(CoTaskMemAlloc(count * sizeof(T)));
    if (p) memset(p, 0, count * sizeof(T));
    return p;
}

DWORD ReviseRate(DWORD requested) { return requested < kMinUpdateRate ? kMinUpdateRate : requested; }

// The client process is gone, or its computer no longer answers (the call
// timed out): every later callback would wait out the RPC timeout again.
bool ClientGone(HRESULT hr) {
    return hr == RPC_E_DISCONNECTED || hr == RPC_E_SERVER_DIED || hr == RPC_E_SERVER_DIED_DNE ||
           hr == CO_E_OBJNOTCONNECTED || hr == HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE) ||
           hr == HRESULT_FROM_WIN32(RPC_S_CALL_FAILED) || hr == HRESULT_FROM_WIN32(RPC_S_CALL_FAILED_DNE) ||
           hr == RPC_E_TIMEOUT || hr == RPC_E_CALL_CANCELED || hr == HRESULT_FROM_WIN32(RPC_S_CALL_CANCELLED);
}

}  // namespace

// Arrays for one OnDataChange/OnReadComplete call; owns its VARIANTs.
struct COPCGroup::Batch {
    std::vector<OPCHANDLE> clientHandles;
    std::vector<VARIANT> values;
    std::vector<WORD> qualities;
    std::vector<FILETIME> timestamps;
    std::vector<HRESULT> errors;

    Batch() {}
    Batch(const Batch&) = delete;
    Batch& operator=(const Batch&) = delete;
    ~Batch() { for (VARIANT& v : values) VariantClear(&v); }

    VARIANT* Append(OPCHANDLE client, WORD quality, const FILETIME& ts, HRESULT error) {
        clientHandles.push_back(client);
        VARIANT v;
        VariantInit(&v);
        values.push_back(v);
        qualities.push_back(quality);
        timestamps.push_back(ts);
        errors.push_back(error);
        return &values.back();
    }
    // After this, Append of up to n entries allocates nothing.
    void Reserve(size_t n) {
        clientHandles.reserve(n);
        values.reserve(n);
        qualities.reserve(n);
        timestamps.reserve(n);
        errors.reserve(n);
    }
    DWORD Count() const { return static_cast<DWORD>(clientHandles.size()); }
    HRESULT MasterQuality() const {
        for (WORD q : qualities)
            if ((q & OPC_QUALITY_MASK) != OPC_QUALITY_GOOD) return S_FALSE;
        return S_OK;
    }
    HRESULT MasterError() const {
        for (HRESULT e : errors)
            if (e != S_OK) return S_FALSE;
        return S_OK;
    }
};

COPCGroup::COPCGroup(const std::shared_ptr<EngineCore>& core, const std::shared_ptr<ServerShared>& shared,
                     COPCServer* owner, OPCHANDLE serverHandle, const GroupSettings& settings)
    : clientRefs_(0),
      life_(1),  // the creator's GroupRef
      core_(core),
      shared_(shared),
      serverHandle_(serverHandle),
      owner_(owner),
      name_(settings.name),
      active_(settings.active),
      updateRate_(static_cast<LONG>(settings.updateRate)),
      clientHandle_(settings.clientHandle),
      timeBias_(settings.timeBias),
      deadband_(settings.deadband),
      lcid_(settings.lcid),
      enable_(TRUE),
      disconnected_(false),
      nextItemHandle_(1),
      dataPoint_(this, IID_IOPCDataCallback, 1) {
    core_->scheduler.AddGroup(this);
}

COPCGroup::~COPCGroup() { core_->scheduler.RemoveGroup(this); }

// IUnknown

STDMETHODIMP COPCGroup::QueryInterface(REFIID iid, void** out) {
    if (!out) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IOPCGroupStateMgt))
        *out = static_cast<IOPCGroupStateMgt*>(this);
    else if (IsEqualIID(iid, IID_IOPCItemMgt))
        *out = static_cast<IOPCItemMgt*>(this);
    else if (IsEqualIID(iid, IID_IOPCSyncIO))
        *out = static_cast<IOPCSyncIO*>(this);
    else if (IsEqualIID(iid, IID_IOPCAsyncIO2))
        *out = static_cast<IOPCAsyncIO2*>(this);
    else if (IsEqualIID(iid, IID_IConnectionPointContainer))
        *out = static_cast<IConnectionPointContainer*>(this);
    else {
        *out = nullptr;
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

STDMETHODIMP_(ULONG) COPCGroup::AddRef() {
    InterlockedIncrement(&life_);
    return static_cast<ULONG>(InterlockedIncrement(&clientRefs_));
}

STDMETHODIMP_(ULONG) COPCGroup::Release() {
    LONG n = InterlockedDecrement(&clientRefs_);
    Unhold();
    return static_cast<ULONG>(n);
}

GroupRef::GroupRef(COPCGroup* group) : p_(group) {
    if (p_) p_->Hold();
}

GroupRef::GroupRef(const GroupRef& other) : p_(other.p_) {
    if (p_) p_->Hold();
}

void GroupRef::Reset() {
    COPCGroup* p = p_;
    p_ = nullptr;
    if (p) p->Unhold();
}

void GroupRef::Adopt(COPCGroup* group) {
    Reset();
    p_ = group;
}

// IOPCGroupStateMgt

STDMETHODIMP COPCGroup::GetState(DWORD* updateRate, BOOL* active, LPWSTR* name, LONG* timeBias,
                                 FLOAT* deadband, DWORD* lcid, OPCHANDLE* clientGroup,
                                 OPCHANDLE* serverGroup) try {
    if (!updateRate || !active || !name || !timeBias || !deadband || !lcid || !clientGroup || !serverGroup)
        return E_POINTER;
    kit::CritSecLock lock(lock_);
    *name = CoTaskStrDup(name_.c_str());
    if (!*name) return E_OUTOFMEMORY;
    *updateRate = UpdateRate();
    *active = active_;
    *timeBias = timeBias_;
    *deadband = deadband_;
    *lcid = lcid_;
    *clientGroup = clientHandle_;
    *serverGroup = serverHandle_;
    return S_OK;
}
ENGINE_CATCH_ALL

STDMETHODIMP COPCGroup::SetState(DWORD* requestedRate, DWORD* revisedRate, BOOL* active, LONG* timeBias,
                                 FLOAT* deadband, DWORD* lcid, OPCHANDLE* clientGroup) try {
    if (!revisedRate) return E_POINTER;
    if (deadband && (*deadband < 0.0f || *deadband > 100.0f)) return E_INVALIDARG;
    bool wake = false;
    // A revised rate is reported the way AddGroup reports it.
    const HRESULT result = requestedRate && ReviseRate(*requestedRate) != *requestedRate ? OPC_S_UNSUPPORTEDRATE : S_OK;
    {
        kit::CritSecLock lock(lock_);
        if (requestedRate) {
            DWORD rate = ReviseRate(*requestedRate);
            if (rate != UpdateRate()) wake = true;
            InterlockedExchange(&updateRate_, static_cast<LONG>(rate));
        }
        if (active) {
            BOOL now = *active ? TRUE : FALSE;
            if (now && !active_) {
                // A group that becomes active reports all its active items anew.
                for (auto& it : items_) it.second->sentValid = false;
                wake = true;
            }
            active_ = now;
        }
        if (timeBias) timeBias_ = *timeBias;
        if (deadband) deadband_ = *deadband;
        if (lcid) lcid_ = *lcid;
        if (clientGroup) clientHandle_ = *clientGroup;
        *revisedRate = UpdateRate();
    }
    if (wake) core_->scheduler.Reschedule(this);
    return result;
}
ENGINE_CATCH_ALL

STDMETHODIMP COPCGroup::SetName(LPCWSTR name) try {
    if (!name || !*name) return E_INVALIDARG;
    kit::CritSecLock owner(ownerLock_);
    if (owner_) return owner_->RenameGroup(this, name);
    SetNameUnchecked(name);
    return S_OK;
}
ENGINE_CATCH_ALL

STDMETHODIMP COPCGroup::CloneGroup(LPCWSTR name, REFIID iid, IUnknown** out) try {
    if (!out) return E_POINTER;
    *out = nullptr;
    kit::CritSecLock owner(ownerLock_);
    if (!owner_) return E_FAIL;  // a removed group has no server to hold its clone
    return owner_->CloneGroup(this, name, iid, out);
}
ENGINE_CATCH_ALL

// IOPCItemMgt

HRESULT COPCGroup::CheckItem(const OPCITEMDEF& def, OPCITEMRESULT* result, const Tag** tag) {
    *tag = nullptr;
    if (!TagSpace::ValidId(def.szItemID)) return OPC_E_INVALIDITEMID;
    const Tag* t = core_->tags.Find(def.szItemID);
    if (!t) return OPC_E_UNKNOWNITEMID;
    if (!TypeConvertible(t->type, def.vtRequestedDataType)) return OPC_E_BADTYPE;
    result->vtCanonicalDataType = t->type;
    result->dwAccessRights = t->access;
    result->dwBlobSize = 0;
    result->pBlob = nullptr;
    *tag = t;
    return S_OK;
}

STDMETHODIMP COPCGroup::AddItems(DWORD count, OPCITEMDEF* defs, OPCITEMRESULT** results, HRESULT** errors) try {
    if (!results || !errors) return E_POINTER;
    *results = nullptr;
    *errors = nullptr;
    if (count == 0 || !defs) return E_INVALIDARG;
    kit::CoTaskArray<OPCITEMRESULT> res(TaskAlloc<OPCITEMRESULT>(count));
    kit::CoTaskArray<HRESULT> err(TaskAlloc<HRESULT>(count));
    if (!res || !err) return E_OUTOFMEMORY;

    // Check and read first, outside the lock: the first cache read after
    // AddItems must already return the tag's value.
    std::vector<const Tag*> tags(count, nullptr);
    std::vector<std::unique_ptr<TagValue>> initial(count);
    bool anyFailed = false;
    for (DWORD i = 0; i < count; ++i) {
        err[i] = CheckItem(defs[i], &res[i], &tags[i]);
        if (FAILED(err[i])) {
            anyFailed = true;
            continue;
        }
        initial[i].reset(new TagValue);
        core_->tags.Read(*tags[i], initial[i].get());
    }
    bool wake = false;
    {
        kit::CritSecLock lock(lock_);
        // The items join the group all at once or not at all: a client told
        // E_OUTOFMEMORY has no handle of any of them.
        std::map<OPCHANDLE, std::unique_ptr<Item>> added;
        OPCHANDLE next = nextItemHandle_;
        for (DWORD i = 0; i < count; ++i) {
            if (!tags[i]) continue;
            std::unique_ptr<Item> item(new Item);
            item->serverHandle = next++;
            item->clientHandle = defs[i].hClient;
            item->tag = tags[i];
            item->requested = defs[i].vtRequestedDataType;
            item->active = defs[i].bActive != FALSE;
            initial[i]->value.MoveTo(item->value.get());
            item->quality = initial[i]->quality;
            item->timestamp = initial[i]->timestamp;
            item->sentQuality = 0;
            item->sentValid = false;
            res[i].hServer = item->serverHandle;
            if (item->active && active_) wake = true;
            added[item->serverHandle] = std::move(item);
        }
        items_.merge(added);  // moves the nodes: allocates nothing
        nextItemHandle_ = next;
    }
    if (wake) core_->scheduler.Reschedule(this);
    *results = res.Detach();
    *errors = err.Detach();
    return anyFailed ? S_FALSE : S_OK;
}
ENGINE_CATCH_ALL

STDMETHODIMP COPCGroup::ValidateItems(DWORD count, OPCITEMDEF* defs, BOOL, OPCITEMRESULT** results,
                                      HRESULT** errors) try {
    if (!results || !errors) return E_POINTER;
    *results = nullptr;
    *errors = nullptr;
    if (count == 0 || !defs) return E_INVALIDARG;
    kit::CoTaskArray<OPCITEMRESULT> res(TaskAlloc<OPCITEMRESULT>(count));
    kit::CoTaskArray<HRESULT> err(TaskAlloc<HRESULT>(count));
    if (!res || !err) return E_OUTOFMEMORY;
    bool anyFailed = false;
    for (DWORD i = 0; i < count; ++i) {
        const Tag* tag;
        err[i] = CheckItem(defs[i], &res[i], &tag);
        if (FAILED(err[i])) anyFailed = true;
    }
    *results = res.Detach();
    *errors = err.Detach();
    return anyFailed ? S_FALSE : S_OK;
}
ENGINE_CATCH_ALL

STDMETHODIMP COPCGroup::RemoveItems(DWORD count, OPCHANDLE* handles, HRESULT** errors) try {
    if (!errors) return E_POINTER;
    *errors = nullptr;
    if (count == 0 || !handles) return E_INVALIDARG;
    kit::CoTaskArray<HRESULT> err(TaskAlloc<HRESULT>(count));
    if (!err) return E_OUTOFMEMORY;
    bool anyFailed = false;
    {
        kit::CritSecLock lock(lock_);
        for (DWORD i = 0; i < count; ++i) {
            err[i] = items_.erase(handles[i]) ? S_OK : OPC_E_INVALIDHANDLE;
            if (FAILED(err[i])) anyFailed = true;
        }
    }
    *errors = err.Detach();
    return anyFailed ? S_FALSE : S_OK;
}
ENGINE_CATCH_ALL

STDMETHODIMP COPCGroup::SetActiveState(DWORD count, OPCHANDLE* handles, BOOL active, HRESULT** errors) try {
    if (!errors) return E_POINTER;
    *errors = nullptr;
    if (count == 0 || !handles) return E_INVALIDARG;
    kit::CoTaskArray<HRESULT> err(TaskAlloc<HRESULT>(count));
    if (!err) return E_OUTOFMEMORY;
    bool anyFailed = false, wake = false;
    // The cache of an item that was inactive is stale: refresh it before the
    // client can read it, and before anything changes (the refresh allocates).
    if (active) {
        std::vector<OPCHANDLE> activated;
        {
            kit::CritSecLock lock(lock_);
            for (DWORD i = 0; i < count; ++i) {
                auto it = items_.find(handles[i]);
                if (it != items_.end() && !it->second->active) activated.push_back(handles[i]);
            }
        }
        if (!activated.empty()) RefreshItems(activated);
    }
    {
        kit::CritSecLock lock(lock_);
        for (DWORD i = 0; i < count; ++i) {
            auto it = items_.find(handles[i]);
            if (it == items_.end()) {
                err[i] = OPC_E_INVALIDHANDLE;
                anyFailed = true;
                continue;
            }
            Item& item = *it->second;
            err[i] = S_OK;
            if (active && !item.active) {
                item.sentValid = false;  // reported again once active
                if (active_) wake = true;
            }
            item.active = active != FALSE;
        }
    }
    if (wake) core_->scheduler.Reschedule(this);
    *errors = err.Detach();
    return anyFailed ? S_FALSE : S_OK;
}
ENGINE_CATCH_ALL

STDMETHODIMP COPCGroup::SetClientHandles(DWORD count, OPCHANDLE* handles, OPCHANDLE* clientHandles,
                                         HRESULT** errors) try {
    if (!errors) return E_POINTER;
    *errors = nullptr;
    if (count == 0 || !handles || !clientHandles) return E_INVALIDARG;
    kit::CoTaskArray<HRESULT> err(TaskAlloc<HRESULT>(count));
    if (!err) return E_OUTOFMEMORY;
    bool anyFailed = false;
    {
        kit::CritSecLock lock(lock_);
        for (DWORD i = 0; i < count; ++i) {
            auto it = items_.find(handles[i]);
            if (it == items_.end()) {
                err[i] = OPC_E_INVALIDHANDLE;
                anyFailed = true;
                continue;
            }
            it->second->clientHandle = clientHandles[i];
            err[i] = S_OK;
        }
    }
    *errors = err.Detach();
    return anyFailed ? S_FALSE : S_OK;
}
ENGINE_CATCH_ALL

STDMETHODIMP COPCGroup::SetDatatypes(DWORD count, OPCHANDLE* handles, VARTYPE* types, HRESULT** errors) try {
    if (!errors) return E_POINTER;
    *errors = nullptr;
    if (count == 0 || !handles || !types) return E_INVALIDARG;
    kit::CoTaskArray<HRESULT> err(TaskAlloc<HRESULT>(count));
    if (!err) return E_OUTOFMEMORY;
    bool anyFailed = false;
    {
        kit::CritSecLock lock(lock_);
        for (DWORD i = 0; i < count; ++i) {
            auto it = items_.find(handles[i]);
            if (it == items_.end()) {
                err[i] = OPC_E_INVALIDHANDLE;
            } else if (!TypeConvertible(it->second->tag->type, types[i])) {
                err[i] = OPC_E_BADTYPE;
            } else {
                it->second->requested = types[i];
                it->second->sentValid = false;
                err[i] = S_OK;
            }
            if (FAILED(err[i])) anyFailed = true;
        }
    }
    *errors = err.Detach();
    return anyFailed ? S_FALSE : S_OK;
}
ENGINE_CATCH_ALL

STDMETHODIMP COPCGroup::CreateEnumerator(REFIID iid, IUnknown** out) try {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (!IsEqualIID(iid, IID_IEnumOPCItemAttributes)) return E_NOINTERFACE;
    struct Attributes {
        std::vector<OPCITEMATTRIBUTES> list;
        ~Attributes() { for (OPCITEMATTRIBUTES& a : list) FreeItemAttributes(&a); }
    } owned;
    std::vector<OPCITEMATTRIBUTES>& list = owned.list;
    {
        kit::CritSecLock lock(lock_);
        list.reserve(items_.size());  // no push_back below can fail and lose a's strings
        for (const auto& it : items_) {
            const Item& item = *it.second;
            OPCITEMATTRIBUTES a;
            memset(&a, 0, sizeof(a));
            a.szAccessPath = CoTaskStrDup(L"");
            a.szItemID = CoTaskStrDup(item.tag->id.c_str());
            a.bActive = item.active ? TRUE : FALSE;
            a.hClient = item.clientHandle;
            a.hServer = item.serverHandle;
            a.dwAccessRights = item.tag->access;
            a.vtRequestedDataType = item.requested;
            a.vtCanonicalDataType = item.tag->type;
            a.dwEUType = OPC_NOENUM;
            VariantInit(&a.vEUInfo);
            list.push_back(a);
            if (!a.szAccessPath || !a.szItemID) return E_OUTOFMEMORY;
        }
    }
    if (list.empty()) return S_FALSE;  // nothing to enumerate: no enumerator
    IEnumOPCItemAttributes* e = nullptr;
    HRESULT hr = NewItemAttributesEnum(std::move(list), &e);
    if (FAILED(hr)) return hr;
    *out = e;
    return S_OK;
}
ENGINE_CATCH_ALL

// Values

void COPCGroup::FillFromCache(Item& item, Batch* batch, HRESULT* error) {
    WORD quality = item.quality;
    bool inService = active_ && item.active;
    if (!inService) quality = OPC_QUALITY_BAD | OPC_QUALITY_OUT_OF_SERVICE;
    VARIANT* v = batch->Append(item.clientHandle, quality, item.timestamp, S_OK);
    HRESULT e = S_OK;
    if (inService && V_VT(item.value.get()) != VT_EMPTY) {
        if (FAILED(ConvertValue(v, item.value.get(), item.requested))) e = OPC_E_BADTYPE;
    }
    batch->errors.back() = e;
    *error = e;
}

void COPCGroup::RefreshItems(const std::vector<OPCHANDLE>& handles) {
    std::vector<std::pair<OPCHANDLE, const Tag*>> wanted;
    {
        kit::CritSecLock lock(lock_);
        for (OPCHANDLE h : handles) {
            auto it = items_.find(h);
            if (it != items_.end()) wanted.push_back(std::make_pair(h, it->second->tag));
        }
    }
    std::vector<TagValue> values(wanted.size());
    for (size_t i = 0; i < wanted.size(); ++i) core_->tags.Read(*wanted[i].second, &values[i]);
    kit::CritSecLock lock(lock_);
    for (size_t i = 0; i < wanted.size(); ++i) {
        auto it = items_.find(wanted[i].first);
        if (it == items_.end() || it->second->tag != wanted[i].second) continue;
        values[i].value.MoveTo(it->second->value.get());
        it->second->quality = values[i].quality;
        it->second->timestamp = values[i].timestamp;
    }
}

std::vector<OPCHANDLE> COPCGroup::Handles(const std::vector<Requested>& items) {
    std::vector<OPCHANDLE> handles;
    handles.reserve(items.size());
    for (const Requested& r : items) handles.push_back(r.handle);
    return handles;
}

void COPCGroup::AppendRemoved(const Requested& item, Batch* batch) {
    static const FILETIME never = {0, 0};
    batch->Append(item.client, OPC_QUALITY_BAD, never, OPC_E_INVALIDHANDLE);
}

void COPCGroup::ReadDevice(const std::vector<Requested>& items, Batch* batch) {
    RefreshItems(Handles(items));
    kit::CritSecLock lock(lock_);
    for (const Requested& r : items) {
        auto it = items_.find(r.handle);
        if (it == items_.end()) {
            AppendRemoved(r, batch);
            continue;
        }
        // A device read serves the fresh value even for inactive items.
        Item& item = *it->second;
        VARIANT* v = batch->Append(item.clientHandle, item.quality, item.timestamp, S_OK);
        if (V_VT(item.value.get()) != VT_EMPTY && FAILED(ConvertValue(v, item.value.get(), item.requested)))
            batch->errors.back() = OPC_E_BADTYPE;
    }
}

// IOPCSyncIO

STDMETHODIMP COPCGroup::Read(OPCDATASOURCE source, DWORD count, OPCHANDLE* handles, OPCITEMSTATE** values,
                             HRESULT** errors) try {
    if (!values || !errors) return E_POINTER;
    *values = nullptr;
    *errors = nullptr;
    if (count == 0 || !handles) return E_INVALIDARG;
    if (source != OPC_DS_CACHE && source != OPC_DS_DEVICE) return E_INVALIDARG;
    kit::CoTaskArray<OPCITEMSTATE> states(TaskAlloc<OPCITEMSTATE>(count));
    kit::CoTaskArray<HRESULT> err(TaskAlloc<HRESULT>(count));
    if (!states || !err) return E_OUTOFMEMORY;
    if (source == OPC_DS_DEVICE) {
        std::vector<OPCHANDLE> list(handles, handles + count);
        RefreshItems(list);
    }
    bool anyFailed = false;
    kit::CritSecLock lock(lock_);
    for (DWORD i = 0; i < count; ++i) {
        VariantInit(&states[i].vDataValue);
        auto it = items_.find(handles[i]);
        if (it == items_.end()) {
            err[i] = OPC_E_INVALIDHANDLE;
            anyFailed = true;
            continue;
        }
        Item& item = *it->second;
        bool inService = source == OPC_DS_DEVICE || (active_ && item.active);
        states[i].hClient = item.clientHandle;
        states[i].ftTimeStamp = item.timestamp;
        states[i].wQuality = inService ? item.quality : static_cast<WORD>(OPC_QUALITY_BAD | OPC_QUALITY_OUT_OF_SERVICE);
        err[i] = S_OK;
        if (inService && V_VT(item.value.get()) != VT_EMPTY &&
            FAILED(ConvertValue(&states[i].vDataValue, item.value.get(), item.requested))) {
            err[i] = OPC_E_BADTYPE;
            anyFailed = true;
        }
    }
    *values = states.Detach();
    *errors = err.Detach();
    return anyFailed ? S_FALSE : S_OK;
}
ENGINE_CATCH_ALL

STDMETHODIMP COPCGroup::Write(DWORD count, OPCHANDLE* handles, VARIANT* values, HRESULT** errors) try {
    if (!errors) return E_POINTER;
    *errors = nullptr;
    if (count == 0 || !handles || !values) return E_INVALIDARG;
    kit::CoTaskArray<HRESULT> err(TaskAlloc<HRESULT>(count));
    if (!err) return E_OUTOFMEMORY;
    std::vector<const Tag*> tags(count, nullptr);
    {
        kit::CritSecLock lock(lock_);
        for (DWORD i = 0; i < count; ++i) {
            auto it = items_.find(handles[i]);
            if (it != items_.end()) tags[i] = it->second->tag;
        }
    }
    bool anyFailed = false;
    std::vector<OPCHANDLE> written;
    written.reserve(count);  // once the first value is written, nothing may fail the call
    for (DWORD i = 0; i < count; ++i) {
        err[i] = tags[i] ? core_->tags.Write(*tags[i], values[i]) : OPC_E_INVALIDHANDLE;
        if (FAILED(err[i]))
            anyFailed = true;
        else
            written.push_back(handles[i]);
    }
    try {
        if (!written.empty()) RefreshItems(written);
    } catch (const std::bad_alloc&) {
        // The values are written; the cache catches up at the next refresh.
    }
    *errors = err.Detach();
    return anyFailed ? S_FALSE : S_OK;
}
ENGINE_CATCH_ALL

// IOPCAsyncIO2

void COPCGroup::NotifyCancelled(DWORD transactionId) {
    kit::ComPtr<IOPCDataCallback> cb = Callback();
    OPCHANDLE group;
    {
        kit::CritSecLock lock(lock_);
        group = clientHandle_;
    }
    if (cb) Delivered(cb->OnCancelComplete(transactionId, group));
}

void COPCGroup::Delivered(HRESULT hr) {
    if (ClientGone(hr)) dataPoint_.DropAll();
}

kit::ComPtr<IOPCDataCallback> COPCGroup::Callback() {
    std::vector<kit::ComPtr<IUnknown>> sinks;
    dataPoint_.Sinks(&sinks);
    kit::ComPtr<IOPCDataCallback> cb;
    // The point stores each sink as queried for IOPCDataCallback.
    if (!sinks.empty()) cb = static_cast<IOPCDataCallback*>(sinks.front().get());
    return cb;
}

STDMETHODIMP COPCGroup::Read(DWORD count, OPCHANDLE* handles, DWORD transactionId, DWORD* cancelId,
                             HRESULT** errors) try {
    if (!cancelId || !errors) return E_POINTER;
    *cancelId = 0;
    *errors = nullptr;
    if (count == 0 || !handles) return E_INVALIDARG;
    if (!dataPoint_.HasSinks()) return CONNECT_E_NOCONNECTION;
    kit::CoTaskArray<HRESULT> err(TaskAlloc<HRESULT>(count));
    if (!err) return E_OUTOFMEMORY;
    std::vector<Requested> valid;
    {
        kit::CritSecLock lock(lock_);
        for (DWORD i = 0; i < count; ++i) {
            auto it = items_.find(handles[i]);
            err[i] = it != items_.end() ? S_OK : OPC_E_INVALIDHANDLE;
            if (SUCCEEDED(err[i])) valid.push_back(Requested{handles[i], it->second->clientHandle});
        }
    }
    bool anyFailed = valid.size() != count;
    if (!valid.empty()) {
        Scheduler::Task task;
        task.cancelId = core_->scheduler.NewCancelId();
        task.group = GroupRef(this);
        task.run = [this, valid, transactionId]() {
            // Every item asked for is answered, one removed since with an error:
            // an accepted request always completes.
            Batch batch;
            ReadDevice(valid, &batch);
            kit::ComPtr<IOPCDataCallback> cb = Callback();
            OPCHANDLE group;
            {
                kit::CritSecLock lock(lock_);
                group = clientHandle_;
            }
            if (cb)
                Delivered(cb->OnReadComplete(transactionId, group, batch.MasterQuality(), batch.MasterError(),
                                             batch.Count(), batch.clientHandles.data(), batch.values.data(),
                                             batch.qualities.data(), batch.timestamps.data(), batch.errors.data()));
        };
        task.cancelled = [this, transactionId]() { NotifyCancelled(transactionId); };
        DWORD id = task.cancelId;
        if (!core_->scheduler.Post(std::move(task))) return E_FAIL;
        *cancelId = id;
    }
    *errors = err.Detach();
    return anyFailed ? S_FALSE : S_OK;
}
ENGINE_CATCH_ALL

STDMETHODIMP COPCGroup::Write(DWORD count, OPCHANDLE* handles, VARIANT* values, DWORD transactionId,
                              DWORD* cancelId, HRESULT** errors) try {
    if (!cancelId || !errors) return E_POINTER;
    *cancelId = 0;
    *errors = nullptr;
    if (count == 0 || !handles || !values) return E_INVALIDARG;
    if (!dataPoint_.HasSinks()) return CONNECT_E_NOCONNECTION;
    kit::CoTaskArray<HRESULT> err(TaskAlloc<HRESULT>(count));
    if (!err) return E_OUTOFMEMORY;
    struct Pending {
        OPCHANDLE handle;
        OPCHANDLE client;
        std::shared_ptr<kit::Variant> value;
    };
    std::vector<Pending> valid;
    {
        kit::CritSecLock lock(lock_);
        for (DWORD i = 0; i < count; ++i) {
            auto it = items_.find(handles[i]);
            if (it == items_.end()) {
                err[i] = OPC_E_INVALIDHANDLE;
            } else if (!(it->second->tag->access & OPC_WRITEABLE)) {
                err[i] = OPC_E_BADRIGHTS;
            } else {
                err[i] = S_OK;
                Pending p;
                p.handle = handles[i];
                p.client = it->second->clientHandle;
                p.value = std::make_shared<kit::Variant>();
                if (FAILED(VariantCopy(p.value->get(), &values[i])))
                    err[i] = E_OUTOFMEMORY;
                else
                    valid.push_back(p);
            }
        }
    }
    bool anyFailed = valid.size() != count;
    if (!valid.empty()) {
        Scheduler::Task task;
        task.cancelId = core_->scheduler.NewCancelId();
        task.group = GroupRef(this);
        task.run = [this, valid, transactionId]() {
            std::vector<OPCHANDLE> clients;
            std::vector<HRESULT> errs;
            std::vector<OPCHANDLE> written;
            for (const Pending& p : valid) {
                const Tag* tag = nullptr;
                OPCHANDLE client = p.client;
                {
                    kit::CritSecLock lock(lock_);
                    auto it = items_.find(p.handle);
                    if (it != items_.end()) {
                        tag = it->second->tag;
                        client = it->second->clientHandle;
                    }
                }
                // Removed meanwhile: still answered, so that the request completes.
                HRESULT e = tag ? core_->tags.Write(*tag, *p.value->get()) : OPC_E_INVALIDHANDLE;
                clients.push_back(client);
                errs.push_back(e);
                if (SUCCEEDED(e)) written.push_back(p.handle);
            }
            if (!written.empty()) RefreshItems(written);
            kit::ComPtr<IOPCDataCallback> cb = Callback();
            OPCHANDLE group;
            HRESULT master = S_OK;
            for (HRESULT e : errs)
                if (e != S_OK) master = S_FALSE;
            {
                kit::CritSecLock lock(lock_);
                group = clientHandle_;
            }
            if (cb)
                Delivered(cb->OnWriteComplete(transactionId, group, master, static_cast<DWORD>(clients.size()),
                                              clients.data(), errs.data()));
        };
        task.cancelled = [this, transactionId]() { NotifyCancelled(transactionId); };
        DWORD id = task.cancelId;
        if (!core_->scheduler.Post(std::move(task))) return E_FAIL;
        *cancelId = id;
    }
    *errors = err.Detach();
    return anyFailed ? S_FALSE : S_OK;
}
ENGINE_CATCH_ALL

STDMETHODIMP COPCGroup::Refresh2(OPCDATASOURCE source, DWORD transactionId, DWORD* cancelId) try {
    if (!cancelId) return E_POINTER;
    *cancelId = 0;
    if (source != OPC_DS_CACHE && source != OPC_DS_DEVICE) return E_INVALIDARG;
    if (!dataPoint_.HasSinks()) return CONNECT_E_NOCONNECTION;
    std::vector<Requested> active;
    {
        kit::CritSecLock lock(lock_);
        if (active_)
            for (const auto& it : items_)
                if (it.second->active) active.push_back(Requested{it.first, it.second->clientHandle});
        if (active.empty()) return E_FAIL;  // nothing a refresh could report
    }
    Scheduler::Task task;
    task.cancelId = core_->scheduler.NewCancelId();
    task.group = GroupRef(this);
    task.run = [this, source, transactionId, active]() {
        // The items active when it was asked for, each answered: one removed since
        // with an error, one made inactive (or in a group made inactive) as out of
        // service. An accepted refresh always completes.
        if (source == OPC_DS_DEVICE) RefreshItems(Handles(active));
        Batch batch;
        OPCHANDLE group;
        {
            kit::CritSecLock lock(lock_);
            group = clientHandle_;
            for (const Requested& r : active) {
                auto it = items_.find(r.handle);
                if (it == items_.end()) {
                    AppendRemoved(r, &batch);
                    continue;
                }
                HRESULT e;
                FillFromCache(*it->second, &batch, &e);
            }
        }
        kit::ComPtr<IOPCDataCallback> cb = Callback();
        if (cb)
            Delivered(cb->OnDataChange(transactionId, group, batch.MasterQuality(), batch.MasterError(),
                                       batch.Count(), batch.clientHandles.data(), batch.values.data(),
                                       batch.qualities.data(), batch.timestamps.data(), batch.errors.data()));
    };
    task.cancelled = [this, transactionId]() { NotifyCancelled(transactionId); };
    DWORD id = task.cancelId;
    if (!core_->scheduler.Post(std::move(task))) return E_FAIL;
    *cancelId = id;
    return S_OK;
}
ENGINE_CATCH_ALL

STDMETHODIMP COPCGroup::Cancel2(DWORD cancelId) try {
    return core_->scheduler.Cancel(cancelId, this) ? S_OK : E_FAIL;
}
ENGINE_CATCH_ALL

STDMETHODIMP COPCGroup::SetEnable(BOOL enable) try {
    if (!dataPoint_.HasSinks()) return CONNECT_E_NOCONNECTION;
    kit::CritSecLock lock(lock_);
    enable_ = enable ? TRUE : FALSE;
    return S_OK;
}
ENGINE_CATCH_ALL

STDMETHODIMP COPCGroup::GetEnable(BOOL* enable) try {
    if (!enable) return E_POINTER;
    if (!dataPoint_.HasSinks()) return CONNECT_E_NOCONNECTION;
    kit::CritSecLock lock(lock_);
    *enable = enable_;
    return S_OK;
}
ENGINE_CATCH_ALL

// IConnectionPointContainer

STDMETHODIMP COPCGroup::EnumConnectionPoints(IEnumConnectionPoints** out) try {
    if (!out) return E_POINTER;
    std::vector<kit::ComPtr<IConnectionPoint>> points;
    points.push_back(kit::ComPtr<IConnectionPoint>(&dataPoint_));
    return NewConnectionPointsEnum(points, out);
}
ENGINE_CATCH_ALL

STDMETHODIMP COPCGroup::FindConnectionPoint(REFIID iid, IConnectionPoint** out) try {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (!IsEqualIID(iid, IID_IOPCDataCallback)) return CONNECT_E_NOCONNECTION;
    *out = &dataPoint_;
    dataPoint_.AddRef();
    return S_OK;
}
ENGINE_CATCH_ALL

// Engine side

std::wstring COPCGroup::Name() {
    kit::CritSecLock lock(lock_);
    return name_;
}

void COPCGroup::SetNameUnchecked(const std::wstring& name) {
    kit::CritSecLock lock(lock_);
    name_ = name;
}

GroupSettings COPCGroup::Settings() {
    kit::CritSecLock lock(lock_);
    GroupSettings s;
    s.name = name_;
    s.active = active_;
    s.updateRate = UpdateRate();
    s.clientHandle = clientHandle_;
    s.timeBias = timeBias_;
    s.deadband = deadband_;
    s.lcid = lcid_;
    return s;
}

void COPCGroup::Tick() {
    kit::ComPtr<IOPCDataCallback> cb = Callback();
    std::vector<OPCHANDLE> active;
    {
        kit::CritSecLock lock(lock_);
        if (!active_ || disconnected_) return;
        for (const auto& it : items_)
            if (it.second->active) active.push_back(it.first);
    }
    if (active.empty()) return;
    RefreshItems(active);
    Batch batch;
    // An item marked sent must reach the client: nothing in the loop below may fail.
    batch.Reserve(active.size());
    OPCHANDLE group;
    {
        kit::CritSecLock lock(lock_);
        group = clientHandle_;
        // Without a sink (or with callbacks disabled) nothing counts as sent,
        // so a client that advises later gets every value first.
        if (!cb || !enable_ || disconnected_) return;
        for (OPCHANDLE h : active) {
            auto it = items_.find(h);
            if (it == items_.end() || !it->second->active) continue;
            Item& item = *it->second;
            if (item.sentValid && item.sentQuality == item.quality && SameValue(*item.sentValue.get(), *item.value.get()))
                continue;
            HRESULT e;
            FillFromCache(item, &batch, &e);
            VariantCopy(item.sentValue.get(), item.value.get());
            item.sentQuality = item.quality;
            item.sentValid = true;
        }
    }
    if (batch.Count() == 0) return;
    HRESULT hr = cb->OnDataChange(0, group, batch.MasterQuality(), batch.MasterError(), batch.Count(),
                                  batch.clientHandles.data(), batch.values.data(), batch.qualities.data(),
                                  batch.timestamps.data(), batch.errors.data());
    Delivered(hr);
    shared_->Touch();
}

void COPCGroup::Detach() {
    kit::CritSecLock owner(ownerLock_);
    owner_ = nullptr;
}

void COPCGroup::Disconnect(std::vector<kit::ComPtr<IUnknown>>* sinks) {
    {
        kit::CritSecLock lock(lock_);
        disconnected_ = true;
    }
    CoDisconnectObject(static_cast<IConnectionPoint*>(&dataPoint_), 0);
    CoDisconnectObject(static_cast<IOPCGroupStateMgt*>(this), 0);
    dataPoint_.DropAll(sinks);
}

void COPCGroup::CopyItemsFrom(COPCGroup* source) {
    std::vector<std::unique_ptr<Item>> copies;
    {
        kit::CritSecLock lock(source->lock_);
        for (const auto& it : source->items_) {
            const Item& from = *it.second;
            std::unique_ptr<Item> item(new Item);
            item->serverHandle = 0;
            item->clientHandle = from.clientHandle;
            item->tag = from.tag;
            item->requested = from.requested;
            item->active = from.active;
            VariantCopy(item->value.get(), const_cast<VARIANT*>(from.value.get()));
            item->quality = from.quality;
            item->timestamp = from.timestamp;
            item->sentQuality = 0;
            item->sentValid = false;
            copies.push_back(std::move(item));
        }
    }
    kit::CritSecLock lock(lock_);
    for (auto& item : copies) {
        item->serverHandle = nextItemHandle_++;
        items_[item->serverHandle] = std::move(item);
    }
}

}  // namespace engine
}  // namespace ketra
