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

}  // namespace

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
