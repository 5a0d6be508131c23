// Asynchronous requests (IOPCAsyncIO2) and how a callback reaches the client: the
// group's one IOPCDataCallback sink, the arrays of one callback, the subscription's
// OnDataChange (Tick) and the completions of the requests the scheduler runs in
// order per group. The group's state is reached only under its lock, through the
// items' cache (RefreshItems, FillFromCache) and the client group handle.
#include "opc_group.h"

namespace ketra {
namespace engine {

namespace {

template <class T>
T* TaskAlloc(DWORD count) {
    T* p = static_cast<T*>(CoTaskMemAlloc(count * sizeof(T)));
    if (p) memset(p, 0, count * sizeof(T));
    return p;
}

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

// Delivery

kit::ComPtr<IOPCDataCallback> COPCGroup::Callback() {
    std::vector<kit::ComPtr<IUnknown>> sinks;
    dataPoint_.Sinks(&sinks);
    kit::ComPtr<IOPCDataCallback> cb;
    // The point stores each sink as queried for IOPCDataCallback.
    if (!sinks.empty()) cb = static_cast<IOPCDataCallback*>(sinks.front().get());
    return cb;
}

void COPCGroup::Delivered(HRESULT hr) {
    if (ClientGone(hr)) dataPoint_.DropAll();
}

void COPCGroup::NotifyCancelled(DWORD transactionId) {
    kit::ComPtr<IOPCDataCallback> cb = Callback();
    OPCHANDLE group;
    {
        kit::CritSecLock lock(lock_);
        group = clientHandle_;
    }
    if (cb) Delivered(cb->OnCancelComplete(transactionId, group));
}

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

// Subscription: the changes of one refresh, at the group's update rate (thread pool).

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

// IOPCAsyncIO2

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

}  // namespace engine
}  // namespace ketra
