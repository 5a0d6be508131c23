#include "FakeOpcServer.h"

#include <thread>

#include <olectl.h>

#include "opcconst.h"

namespace fakeopc {

namespace {

// Reference counting shared by every fake object: each reference handed out is
// counted in the FakeOpc, and an object goes when neither a caller nor its owner
// (the server for its groups) holds it.
class FakeObject {
public:
    explicit FakeObject(FakeOpc* fake) : fake_(fake) { fake_->ObjectDelta(1); }
    virtual ~FakeObject() { fake_->ObjectDelta(-1); }
    ULONG DoAddRef() {
        fake_->RefDelta(1);
        return static_cast<ULONG>(InterlockedIncrement(&refs_));
    }
    ULONG DoRelease() {
        fake_->RefDelta(-1);
        LONG n = InterlockedDecrement(&refs_);
        if (n == 0 && !held_) delete this;
        return static_cast<ULONG>(n);
    }
    void Hold() { held_ = true; }
    void Drop() {
        held_ = false;
        if (refs_ == 0) delete this;
    }

protected:
    FakeOpc* fake_;

private:
    LONG refs_ = 0;
    bool held_ = false;
};

#define FAKE_IUNKNOWN                                                                    \
    ULONG STDMETHODCALLTYPE AddRef() override { return DoAddRef(); }                     \
    ULONG STDMETHODCALLTYPE Release() override { return DoRelease(); }

template <class T>
HRESULT Hand(T* itf, void** out) {
    *out = itf;
    itf->AddRef();
    return S_OK;
}

wchar_t* CoTaskCopy(const wchar_t* s) {
    size_t n = wcslen(s) + 1;
    wchar_t* copy = static_cast<wchar_t*>(CoTaskMemAlloc(n * sizeof(wchar_t)));
    if (copy) memcpy(copy, s, n * sizeof(wchar_t));
    return copy;
}

// A connection point embedded in its container; its references are the container's.
class FakePoint : public IConnectionPoint {
public:
    FakePoint(IUnknown* owner, IConnectionPointContainer* container, const IID& iid, FakeOpc* fake,
              bool shutdown)
        : owner_(owner), container_(container), iid_(iid), fake_(fake), shutdown_(shutdown) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IConnectionPoint))
            return Hand(static_cast<IConnectionPoint*>(this), out);
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return owner_->AddRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return owner_->Release(); }
    HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* iid) override {
        *iid = iid_;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer** out) override {
        return Hand(container_, reinterpret_cast<void**>(out));
    }
    HRESULT STDMETHODCALLTYPE Advise(IUnknown* sink, DWORD* cookie) override {
        fake_->Count(shutdown_ ? "Shutdown.Advise" : "DataCallback.Advise");
        if (!sink || !cookie) return E_POINTER;
        *cookie = 0;
        kit::CritSecLock lock(fake_->lock);
        HRESULT scripted = shutdown_ ? fake_->shutdownAdviseResult : fake_->dataCallbackAdviseResult;
        if (FAILED(scripted)) return scripted;
        IUnknown* held = nullptr;
        if (FAILED(sink->QueryInterface(iid_, reinterpret_cast<void**>(&held))) || !held)
            return CONNECT_E_CANNOTCONNECT;
        fake_->ClientRefDelta(1);
        *cookie = fake_->nextCookie++;
        fake_->shutdownCookies[*cookie] = held;
        cookies_.insert(*cookie);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Unadvise(DWORD cookie) override {
        fake_->Count(shutdown_ ? "Shutdown.Unadvise" : "DataCallback.Unadvise");
        IUnknown* held = nullptr;
        {
            kit::CritSecLock lock(fake_->lock);
            auto it = fake_->shutdownCookies.find(cookie);
            if (it == fake_->shutdownCookies.end() || !cookies_.count(cookie)) return CONNECT_E_NOCONNECTION;
            if (FAILED(fake_->shutdownUnadviseResult)) return fake_->shutdownUnadviseResult;
            held = it->second;
            fake_->shutdownCookies.erase(it);
            cookies_.erase(cookie);
        }
        held->Release();
        fake_->ClientRefDelta(-1);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections** out) override {
        *out = nullptr;
        return E_NOTIMPL;
    }
    // The data callbacks advised here, each with a reference for the caller.
    std::vector<kit::ComPtr<IOPCDataCallback>> DataSinks() {
        std::vector<kit::ComPtr<IOPCDataCallback>> sinks;
        kit::CritSecLock lock(fake_->lock);
        for (DWORD c : cookies_) sinks.push_back(static_cast<IOPCDataCallback*>(fake_->shutdownCookies[c]));
        return sinks;
    }
    // A server going away drops the sinks still advised on it.
    void DropAll() {
        std::vector<DWORD> left(cookies_.begin(), cookies_.end());
        for (DWORD c : left) Unadvise(c);
    }

private:
    IUnknown* owner_;
    IConnectionPointContainer* container_;
    IID iid_;
    FakeOpc* fake_;
    bool shutdown_;
    std::set<DWORD> cookies_;
};

class FakeGroup : public FakeObject,
                  public IOPCGroupStateMgt,
                  public IOPCItemMgt,
                  public IOPCSyncIO,
                  public IOPCAsyncIO2,
                  public IConnectionPointContainer {
public:
    FakeGroup(FakeOpc* fake, const std::wstring& name, OPCHANDLE handle)
        : FakeObject(fake),
          name_(name),
          handle_(handle),
          dataPoint_(static_cast<IOPCItemMgt*>(this), this, IID_IOPCDataCallback, fake, false),
          nextItem_(fake->nextItemHandle) {}

    const std::wstring& Name() const { return name_; }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if ((IsEqualIID(riid, IID_IOPCItemMgt) || IsEqualIID(riid, IID_IOPCSyncIO)) && fake_->groupQueryDelayMs)
            Sleep(fake_->groupQueryDelayMs);
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IOPCItemMgt))
            return Hand(static_cast<IOPCItemMgt*>(this), out);
        if (IsEqualIID(riid, IID_IOPCGroupStateMgt)) return Hand(static_cast<IOPCGroupStateMgt*>(this), out);
        if (IsEqualIID(riid, IID_IOPCSyncIO)) return Hand(static_cast<IOPCSyncIO*>(this), out);
        if (IsEqualIID(riid, IID_IOPCAsyncIO2) && fake_->groupHasAsyncIO2)
            return Hand(static_cast<IOPCAsyncIO2*>(this), out);
        if (IsEqualIID(riid, IID_IConnectionPointContainer) && fake_->groupHasContainer)
            return Hand(static_cast<IConnectionPointContainer*>(this), out);
        return E_NOINTERFACE;
    }
    FAKE_IUNKNOWN

    // IOPCGroupStateMgt
    HRESULT STDMETHODCALLTYPE GetState(DWORD*, BOOL*, LPWSTR*, LONG*, FLOAT*, DWORD*, OPCHANDLE*,
                                       OPCHANDLE*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetState(DWORD*, DWORD*, BOOL*, LONG*, FLOAT*, DWORD*, OPCHANDLE*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE SetName(LPCWSTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE CloneGroup(LPCWSTR, REFIID, LPUNKNOWN* out) override {
        *out = nullptr;
        return E_NOTIMPL;
    }

    // IOPCItemMgt
    HRESULT STDMETHODCALLTYPE AddItems(DWORD count, OPCITEMDEF* defs, OPCITEMRESULT** results,
                                       HRESULT** errors) override {
        fake_->Count("AddItems");
        *results = nullptr;
        *errors = nullptr;
        kit::CritSecLock lock(fake_->lock);
        std::vector<ItemDefRecord> record;
        for (DWORD i = 0; i < count; ++i)
            record.push_back({defs[i].szItemID ? defs[i].szItemID : L"",
                              defs[i].szAccessPath ? defs[i].szAccessPath : L"", defs[i].szAccessPath == nullptr,
                              defs[i].bActive, defs[i].hClient, defs[i].vtRequestedDataType});
        if (fake_->recordCalls) fake_->addItemsCalls.push_back(record);
        if (!fake_->addItemsScript.empty()) {
            HRESULT scripted = fake_->addItemsScript.front();
            fake_->addItemsScript.pop_front();
            if (FAILED(scripted)) return scripted;
        }
        if (count == 0) return E_INVALIDARG;
        *results = static_cast<OPCITEMRESULT*>(CoTaskMemAlloc(sizeof(OPCITEMRESULT) * count));
        *errors = static_cast<HRESULT*>(CoTaskMemAlloc(sizeof(HRESULT) * count));
        HRESULT hr = S_OK;
        for (DWORD i = 0; i < count; ++i) {
            OPCITEMRESULT& r = (*results)[i];
            r = OPCITEMRESULT();
            auto it = fake_->items.find(record[i].itemId);
            HRESULT e = it == fake_->items.end() ? OPC_E_UNKNOWNITEMID : it->second.addError;
            if (SUCCEEDED(e)) {
                r.hServer = nextItem_++;
                r.vtCanonicalDataType = it->second.canonicalType;
                r.dwAccessRights = OPC_READABLE;
                serverItems_[r.hServer] = record[i].itemId;
            } else {
                // A rejected item still gets a handle back from some servers; keep
                // one the client can tell apart.
                r.hServer = 0xBAD0 + i;
                hr = S_FALSE;
            }
            (*errors)[i] = e;
        }
        return hr;
    }
    HRESULT STDMETHODCALLTYPE ValidateItems(DWORD, OPCITEMDEF*, BOOL, OPCITEMRESULT** r, HRESULT** e) override {
        *r = nullptr;
        *e = nullptr;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE RemoveItems(DWORD, OPCHANDLE*, HRESULT** e) override {
        *e = nullptr;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE SetActiveState(DWORD, OPCHANDLE*, BOOL, HRESULT** e) override {
        *e = nullptr;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE SetClientHandles(DWORD, OPCHANDLE*, OPCHANDLE*, HRESULT** e) override {
        *e = nullptr;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE SetDatatypes(DWORD, OPCHANDLE*, VARTYPE*, HRESULT** e) override {
        *e = nullptr;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE CreateEnumerator(REFIID, LPUNKNOWN* out) override {
        *out = nullptr;
        return E_NOTIMPL;
    }

    // IOPCSyncIO
    HRESULT STDMETHODCALLTYPE Read(OPCDATASOURCE source, DWORD count, OPCHANDLE* handles, OPCITEMSTATE** states,
                                   HRESULT** errors) override {
        fake_->Count("Read");
        *states = nullptr;
        *errors = nullptr;
        kit::CritSecLock lock(fake_->lock);
        if (fake_->recordCalls) fake_->reads.push_back({source, std::vector<OPCHANDLE>(handles, handles + count)});
        if (!fake_->readScript.empty()) {
            HRESULT scripted = fake_->readScript.front();
            fake_->readScript.pop_front();
            if (FAILED(scripted) && fake_->readReturnsNoErrors) return scripted;
            if (FAILED(scripted)) {
                *errors = static_cast<HRESULT*>(CoTaskMemAlloc(sizeof(HRESULT) * count));
                for (DWORD i = 0; i < count; ++i) (*errors)[i] = scripted;
                return scripted;
            }
        }
        if (count == 0) return E_INVALIDARG;
        *states = static_cast<OPCITEMSTATE*>(CoTaskMemAlloc(sizeof(OPCITEMSTATE) * count));
        *errors = static_cast<HRESULT*>(CoTaskMemAlloc(sizeof(HRESULT) * count));
        HRESULT hr = S_OK;
        for (DWORD i = 0; i < count; ++i) {
            OPCITEMSTATE& s = (*states)[i];
            s = OPCITEMSTATE();
            VariantInit(&s.vDataValue);
            auto h = serverItems_.find(handles[i]);
            FakeItem* item = h == serverItems_.end() ? nullptr : fake_->Item(h->second);
            HRESULT e = !item ? OPC_E_INVALIDHANDLE : item->readError;
            if (SUCCEEDED(e)) {
                s.wQuality = item->quality;
                s.ftTimeStamp = item->timestamp;
                if (item->value) VariantCopy(&s.vDataValue, item->value->get());
            } else {
                hr = S_FALSE;
            }
            (*errors)[i] = e;
        }
        return hr;
    }
    HRESULT STDMETHODCALLTYPE Write(DWORD, OPCHANDLE*, VARIANT*, HRESULT** e) override {
        *e = nullptr;
        return E_NOTIMPL;
    }

    // IOPCAsyncIO2
    HRESULT STDMETHODCALLTYPE Read(DWORD, OPCHANDLE*, DWORD, DWORD*, HRESULT** e) override {
        *e = nullptr;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Write(DWORD, OPCHANDLE*, VARIANT*, DWORD, DWORD*, HRESULT** e) override {
        *e = nullptr;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Refresh2(OPCDATASOURCE source, DWORD transaction, DWORD* cancel) override {
        fake_->Count("Refresh2");
        {
            kit::CritSecLock lock(fake_->lock);
            fake_->refreshes.push_back({source, transaction});
        }
        if (cancel) *cancel = 1;
        auto sinks = dataPoint_.DataSinks();
        // No callback is advised: a real server says so.
        if (sinks.empty()) return CONNECT_E_NOCONNECTION;
        if (fake_->sendsDataChange)
            for (auto& sink : sinks)
                sink->OnDataChange(transaction, handle_, S_OK, S_OK, 0, nullptr, nullptr, nullptr, nullptr, nullptr);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Cancel2(DWORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetEnable(BOOL) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetEnable(BOOL*) override { return E_NOTIMPL; }

    // IConnectionPointContainer
    HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints** out) override {
        *out = nullptr;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID riid, IConnectionPoint** out) override {
        fake_->Count("Group.FindConnectionPoint");
        *out = nullptr;
        if (IsEqualIID(riid, IID_IOPCDataCallback) && fake_->groupHasDataCallbackPoint)
            return Hand(static_cast<IConnectionPoint*>(&dataPoint_), reinterpret_cast<void**>(out));
        return CONNECT_E_NOCONNECTION;
    }

private:
    std::wstring name_;
    OPCHANDLE handle_;
    FakePoint dataPoint_;
    OPCHANDLE nextItem_;
    std::map<OPCHANDLE, std::wstring> serverItems_;
};

LPOLESTR EnumCopy(const std::wstring& s) { return CoTaskCopy(s.c_str()); }
GUID EnumCopy(const GUID& g) { return g; }

// The enumerators the fake hands out (the names of a 2.0 browse, the CLSIDs of
// EnumClassesOfCategories), each over a copy of its list. `resets` names the
// counter of Reset calls, where a test asks for one.
template <class I, class T, class E>
class FakeEnum : public FakeObject, public I {
public:
    FakeEnum(FakeOpc* fake, const IID& iid, std::vector<T> items, const char* resets = nullptr)
        : FakeObject(fake), iid_(iid), items_(std::move(items)), resets_(resets) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, iid_)) return Hand(static_cast<I*>(this), out);
        return E_NOINTERFACE;
    }
    FAKE_IUNKNOWN
    HRESULT STDMETHODCALLTYPE Next(ULONG count, E* out, ULONG* fetched) override {
        ULONG n = 0;
        while (n < count && pos_ < items_.size()) out[n++] = EnumCopy(items_[pos_++]);
        if (fetched) *fetched = n;
        return n == count ? S_OK : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE Skip(ULONG count) override {
        pos_ += count;
        return pos_ <= items_.size() ? S_OK : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE Reset() override {
        if (resets_) fake_->Count(resets_);
        pos_ = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Clone(I** out) override {
        *out = nullptr;
        return E_NOTIMPL;
    }

private:
    const IID& iid_;
    std::vector<T> items_;
    const char* resets_;
    size_t pos_ = 0;
};
using FakeEnumString = FakeEnum<IEnumString, std::wstring, LPOLESTR>;
using FakeEnumGuid = FakeEnum<IEnumGUID, GUID, GUID>;

class FakeServer : public FakeObject, public IOPCServer, public IConnectionPointContainer,
                   public IOPCBrowseServerAddressSpace, public IOPCBrowse {
public:
    explicit FakeServer(FakeOpc* fake)
        : FakeObject(fake), shutdownPoint_(static_cast<IOPCServer*>(this), this, IID_IOPCShutdown, fake, true) {}
    ~FakeServer() override {
        shutdownPoint_.DropAll();
        for (auto& g : groups_) ForgetGroup(g.second);
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IOPCServer))
            return Hand(static_cast<IOPCServer*>(this), out);
        if (IsEqualIID(riid, IID_IConnectionPointContainer) && fake_->serverHasShutdownPoint)
            return Hand(static_cast<IConnectionPointContainer*>(this), out);
        if (IsEqualIID(riid, IID_IOPCBrowseServerAddressSpace) && fake_->hasBrowse20)
            return Hand(static_cast<IOPCBrowseServerAddressSpace*>(this), out);
        if (IsEqualIID(riid, IID_IOPCBrowse) && fake_->hasBrowse30)
            return Hand(static_cast<IOPCBrowse*>(this), out);
        return E_NOINTERFACE;
    }
    FAKE_IUNKNOWN

    // ---- IOPCBrowseServerAddressSpace ----
    HRESULT STDMETHODCALLTYPE QueryOrganization(OPCNAMESPACETYPE* type) override {
        fake_->Count("QueryOrganization");
        if (FAILED(fake_->queryOrganizationResult)) return fake_->queryOrganizationResult;
        *type = fake_->organization;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE ChangeBrowsePosition(OPCBROWSEDIRECTION dir, LPCWSTR name) override {
        fake_->Count("ChangeBrowsePosition");
        kit::CritSecLock lock(fake_->lock);
        if (dir != OPC_BROWSE_TO) return E_NOTIMPL;
        std::wstring target = name ? name : L"";
        fake_->browsePositions.push_back(target);
        if (!target.empty() && !fake_->browseLevels.count(target)) return E_INVALIDARG;
        position_ = target;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE BrowseOPCItemIDs(OPCBROWSETYPE type, LPCWSTR filter, VARTYPE dataType, DWORD access,
                                               LPENUMSTRING* out) override {
        fake_->Count("BrowseOPCItemIDs");
        *out = nullptr;
        std::vector<std::wstring> names;
        {
            kit::CritSecLock lock(fake_->lock);
            fake_->browseIdsCalls.push_back({type, filter ? filter : L"", filter == nullptr, dataType, access, position_});
            auto failure = fake_->browseIdsResult.find(type);
            if (failure != fake_->browseIdsResult.end()) return failure->second;
            if (fake_->browseIdsWithoutEnumerator) return S_OK;
            if (type == OPC_FLAT) {
                CollectLeaves(L"", names);
            } else {
                for (const BrowseNode& n : fake_->browseLevels[position_])
                    if (n.branch == (type == OPC_BRANCH)) names.push_back(n.name);
            }
        }
        FakeEnumString* e = new FakeEnumString(fake_, IID_IEnumString, names, "EnumString.Reset");
        Hand(static_cast<IEnumString*>(e), reinterpret_cast<void**>(out));
        return names.empty() ? S_FALSE : S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetItemID(LPWSTR name, LPWSTR* itemId) override {
        fake_->Count("GetItemID");
        *itemId = nullptr;
        kit::CritSecLock lock(fake_->lock);
        const BrowseNode* found = nullptr;
        for (const BrowseNode& n : fake_->browseLevels[position_])
            if (n.name == name) found = &n;
        // A flat listing names its elements by their full item IDs.
        for (auto& level : fake_->browseLevels)
            for (const BrowseNode& n : level.second)
                if (!found && !n.branch && n.itemId == name) found = &n;
        if (!found) return E_INVALIDARG;
        if (found->itemIdFails) return E_FAIL;
        *itemId = CoTaskCopy(found->itemId.c_str());
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE BrowseAccessPaths(LPCWSTR, LPENUMSTRING* out) override {
        *out = nullptr;
        return E_NOTIMPL;
    }

    // ---- IOPCBrowse ----
    HRESULT STDMETHODCALLTYPE GetProperties(DWORD, LPWSTR*, BOOL, DWORD, DWORD*, OPCITEMPROPERTIES** out) override {
        *out = nullptr;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Browse(LPWSTR itemId, LPWSTR* continuation, DWORD maxElements, OPCBROWSEFILTER filter,
                                     LPWSTR nameFilter, LPWSTR vendorFilter, BOOL allProperties, BOOL propertyValues,
                                     DWORD propertyCount, DWORD* propertyIds, BOOL* more, DWORD* count,
                                     OPCBROWSEELEMENT** elements) override {
        fake_->Count("Browse");
        *more = FALSE;
        *count = 0;
        *elements = nullptr;
        std::vector<BrowseNode> level;
        {
            kit::CritSecLock lock(fake_->lock);
            Da3BrowseRecord r;
            r.itemId = itemId ? itemId : L"<null>";
            r.continuationNull = *continuation == nullptr;
            r.maxElements = maxElements;
            r.filter = filter;
            r.nameFilter = nameFilter ? nameFilter : L"<null>";
            r.vendorFilter = vendorFilter ? vendorFilter : L"<null>";
            r.allProperties = allProperties;
            r.propertyValues = propertyValues;
            r.propertyIds.assign(propertyIds, propertyIds + propertyCount);
            fake_->da3Browses.push_back(r);
            if (FAILED(fake_->da3BrowseResult)) return fake_->da3BrowseResult;
            std::wstring key = itemId ? itemId : L"";
            if (!key.empty() && !fake_->browseLevels.count(key)) return OPC_E_UNKNOWNITEMID;
            level = fake_->browseLevels[key];
        }
        if (fake_->da3HandsContinuation) *continuation = CoTaskCopy(L"more");
        if (level.empty()) return S_OK;
        OPCBROWSEELEMENT* e = static_cast<OPCBROWSEELEMENT*>(CoTaskMemAlloc(level.size() * sizeof(OPCBROWSEELEMENT)));
        memset(e, 0, level.size() * sizeof(OPCBROWSEELEMENT));
        for (size_t i = 0; i < level.size(); ++i) {
            const BrowseNode& n = level[i];
            e[i].szName = CoTaskCopy(n.name.c_str());
            e[i].szItemID = CoTaskCopy(n.itemId.c_str());
            e[i].dwFlagValue = n.da3Flags ? n.da3Flags : (n.branch ? OPC_BROWSE_HASCHILDREN : OPC_BROWSE_ISITEM);
            // The one property asked for, with strings and a value the caller must free.
            OPCITEMPROPERTY* p = static_cast<OPCITEMPROPERTY*>(CoTaskMemAlloc(sizeof(OPCITEMPROPERTY)));
            memset(p, 0, sizeof(OPCITEMPROPERTY));
            p->dwPropertyID = 2;
            p->vtDataType = VT_BSTR;
            p->szItemID = CoTaskCopy(n.itemId.c_str());
            p->szDescription = CoTaskCopy(L"Item Canonical DataType");
            p->vValue.vt = VT_BSTR;
            p->vValue.bstrVal = SysAllocString(L"VT_R4");
            e[i].ItemProperties.dwNumProperties = 1;
            e[i].ItemProperties.pItemProperties = p;
        }
        *elements = e;
        *count = static_cast<DWORD>(level.size());
        *more = fake_->da3HandsContinuation;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE AddGroup(LPCWSTR name, BOOL active, DWORD rate, OPCHANDLE clientGroup, LONG*,
                                       FLOAT*, DWORD lcid, OPCHANDLE* serverGroup, DWORD* revised, REFIID riid,
                                       LPUNKNOWN* out) override {
        fake_->Count("AddGroup");
        *out = nullptr;
        std::wstring groupName = name ? name : L"";
        HRESULT hr = S_OK;
        {
            kit::CritSecLock lock(fake_->lock);
            fake_->addGroups.push_back({groupName, active, rate, clientGroup, riid});
            fake_->lastGroupLcid = lcid;
            if (!fake_->addGroupScript.empty()) {
                hr = fake_->addGroupScript.front();
                fake_->addGroupScript.pop_front();
            } else if (fake_->liveGroupNames.count(groupName)) {
                hr = OPC_E_DUPLICATENAME;
            }
        }
        if (FAILED(hr)) return hr;
        FakeGroup* g;
        {
            kit::CritSecLock lock(fake_->lock);
            g = new FakeGroup(fake_, groupName, fake_->nextGroupHandle);
            *serverGroup = fake_->nextGroupHandle++;
            fake_->liveGroupNames.insert(groupName);
            ++fake_->liveGroups;
        }
        g->Hold();
        groups_[*serverGroup] = g;
        HRESULT q = g->QueryInterface(riid, reinterpret_cast<void**>(out));
        if (FAILED(q)) {
            RemoveGroup(*serverGroup, TRUE);
            return E_NOINTERFACE;
        }
        DWORD granted = fake_->revisedRate ? fake_->revisedRate : rate;
        *revised = granted;
        return granted != rate ? OPC_S_UNSUPPORTEDRATE : S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetErrorString(HRESULT, LCID, LPWSTR* out) override {
        *out = nullptr;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetGroupByName(LPCWSTR, REFIID, LPUNKNOWN* out) override {
        *out = nullptr;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetStatus(OPCSERVERSTATUS** out) override {
        fake_->Count("GetStatus");
        *out = nullptr;
        StatusStep step = {S_OK, fake_->defaultState};
        {
            kit::CritSecLock lock(fake_->lock);
            if (!fake_->statusScript.empty()) {
                step = fake_->statusScript.front();
                fake_->statusScript.pop_front();
            }
        }
        if (FAILED(step.hr)) return step.hr;
        OPCSERVERSTATUS* s = static_cast<OPCSERVERSTATUS*>(CoTaskMemAlloc(sizeof(OPCSERVERSTATUS)));
        if (!s) return E_OUTOFMEMORY;
        *s = OPCSERVERSTATUS();
        GetSystemTimeAsFileTime(&s->ftStartTime);
        s->ftCurrentTime = s->ftStartTime;
        s->dwServerState = step.state;
        s->wMajorVersion = 2;
        s->szVendorInfo = CoTaskCopy(L"Fake OPC server of the kit's tests");
        *out = s;
        return step.hr;
    }
    HRESULT STDMETHODCALLTYPE RemoveGroup(OPCHANDLE handle, BOOL force) override {
        fake_->Count("RemoveGroup");
        {
            kit::CritSecLock lock(fake_->lock);
            fake_->removeGroups.push_back({handle, force});
        }
        auto it = groups_.find(handle);
        if (it == groups_.end()) return E_INVALIDARG;
        FakeGroup* g = it->second;
        groups_.erase(it);
        ForgetGroup(g);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE CreateGroupEnumerator(OPCENUMSCOPE, REFIID, LPUNKNOWN* out) override {
        *out = nullptr;
        return E_NOTIMPL;
    }

    HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints** out) override {
        *out = nullptr;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID riid, IConnectionPoint** out) override {
        fake_->Count("Server.FindConnectionPoint");
        *out = nullptr;
        if (IsEqualIID(riid, IID_IOPCShutdown))
            return Hand(static_cast<IConnectionPoint*>(&shutdownPoint_), reinterpret_cast<void**>(out));
        return CONNECT_E_NOCONNECTION;
    }

private:
    void ForgetGroup(FakeGroup* g) {
        {
            kit::CritSecLock lock(fake_->lock);
            fake_->liveGroupNames.erase(g->Name());
            --fake_->liveGroups;
        }
        g->Drop();
    }

    // Every leaf below `level`, depth first: what a flat listing gives.
    void CollectLeaves(const std::wstring& level, std::vector<std::wstring>& out) {
        auto it = fake_->browseLevels.find(level);
        if (it == fake_->browseLevels.end()) return;
        for (const BrowseNode& n : it->second) {
            if (n.branch) CollectLeaves(n.itemId, out);
            else out.push_back(n.itemId);
        }
    }

    FakePoint shutdownPoint_;
    std::map<OPCHANDLE, FakeGroup*> groups_;
    std::wstring position_;
};

class FakeServerList : public FakeObject, public IOPCServerList {
public:
    explicit FakeServerList(FakeOpc* fake) : FakeObject(fake) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IOPCServerList))
            return Hand(static_cast<IOPCServerList*>(this), out);
        return E_NOINTERFACE;
    }
    FAKE_IUNKNOWN
    HRESULT STDMETHODCALLTYPE EnumClassesOfCategories(ULONG, CATID[], ULONG, CATID[], IEnumGUID** out) override {
        *out = nullptr;
        kit::CritSecLock lock(fake_->lock);
        if (FAILED(fake_->serverListEnumResult)) return fake_->serverListEnumResult;
        std::vector<GUID> listed;
        for (auto& p : fake_->progIds) listed.push_back(p.second);
        return Hand(static_cast<IEnumGUID*>(new FakeEnumGuid(fake_, IID_IEnumGUID, listed)),
                    reinterpret_cast<void**>(out));
    }
    HRESULT STDMETHODCALLTYPE GetClassDetails(REFCLSID clsid, LPOLESTR* progId, LPOLESTR* userType) override {
        *progId = *userType = nullptr;
        kit::CritSecLock lock(fake_->lock);
        for (auto& p : fake_->progIds) {
            if (!IsEqualCLSID(p.second, clsid)) continue;
            *progId = CoTaskCopy(p.first.c_str());
            *userType = CoTaskCopy((L"Servidor de prueba " + p.first).c_str());
            return S_OK;
        }
        return REGDB_E_CLASSNOTREG;
    }
    HRESULT STDMETHODCALLTYPE CLSIDFromProgID(LPCOLESTR progId, LPCLSID clsid) override {
        fake_->Count("ServerList.CLSIDFromProgID");
        kit::CritSecLock lock(fake_->lock);
        auto it = fake_->progIds.find(progId ? progId : L"");
        if (it == fake_->progIds.end()) return REGDB_E_CLASSNOTREG;
        *clsid = it->second;
        return S_OK;
    }
};

class FakeFactory : public IClassFactory {
public:
    explicit FakeFactory(FakeOpc* fake) : fake_(fake) {}
    virtual ~FakeFactory() {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory))
            return Hand(static_cast<IClassFactory*>(this), out);
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&refs_)); }
    ULONG STDMETHODCALLTYPE Release() override {
        LONG n = InterlockedDecrement(&refs_);
        if (n == 0) delete this;
        return static_cast<ULONG>(n);
    }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        return fake_->CreateServer(riid, out);
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

private:
    FakeOpc* fake_;
    LONG refs_ = 1;
};

}  // namespace

FakeOpc::FakeOpc() {}

FakeOpc::~FakeOpc() {
    DropSinks();
    Unregister();
    for (auto& item : items) delete item.second.value;
}

HRESULT FakeOpc::Register(const CLSID& clsid, const wchar_t* progId) {
    Unregister();
    factory_ = new FakeFactory(this);
    HRESULT hr = CoRegisterClassObject(clsid, factory_, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &registerCookie_);
    if (FAILED(hr)) {
        registerCookie_ = 0;
        return hr;
    }
    if (progId) {
        progId_ = progId;
        wchar_t text[64];
        StringFromGUID2(clsid, text, 64);
        std::wstring key = L"Software\\Classes\\" + progId_ + L"\\CLSID";
        const DWORD bytes = static_cast<DWORD>((wcslen(text) + 1) * sizeof(wchar_t));
        LONG rc = RegSetKeyValueW(HKEY_CURRENT_USER, key.c_str(), nullptr, REG_SZ, text, bytes);
        if (rc != ERROR_SUCCESS) return HRESULT_FROM_WIN32(rc);
        // Windows merges the user's classes into HKCR; Wine 8 does not, so there
        // the entry also goes to HKCR itself (and is removed with the other).
        CLSID resolved;
        if (FAILED(CLSIDFromProgID(progId, &resolved))) {
            rc = RegSetKeyValueW(HKEY_CLASSES_ROOT, (progId_ + L"\\CLSID").c_str(), nullptr, REG_SZ, text, bytes);
            if (rc != ERROR_SUCCESS) return HRESULT_FROM_WIN32(rc);
            classesRootEntry_ = true;
        }
    }
    return S_OK;
}

void FakeOpc::Unregister() {
    if (registerCookie_) CoRevokeClassObject(registerCookie_);
    registerCookie_ = 0;
    if (factory_) factory_->Release();
    factory_ = nullptr;
    if (!progId_.empty()) {
        std::wstring key = L"Software\\Classes\\" + progId_;
        RegDeleteTreeW(HKEY_CURRENT_USER, key.c_str());
        if (classesRootEntry_) RegDeleteTreeW(HKEY_CLASSES_ROOT, progId_.c_str());
        classesRootEntry_ = false;
        progId_.clear();
    }
}

HRESULT FakeOpc::CreateServer(REFIID iid, void** out) {
    {
        kit::CritSecLock l(lock);
        ++serversCreated;
    }
    Count("CreateServer");
    FakeServer* s = new FakeServer(this);
    s->AddRef();
    HRESULT hr = s->QueryInterface(iid, out);
    s->Release();
    return hr;
}

HRESULT FakeOpc::CreateServerList(REFIID iid, void** out) {
    Count("CreateServerList");
    FakeServerList* s = new FakeServerList(this);
    s->AddRef();
    HRESULT hr = s->QueryInterface(iid, out);
    s->Release();
    return hr;
}

void FakeOpc::MapProgId(const std::wstring& progId, const CLSID& clsid) {
    kit::CritSecLock l(lock);
    progIds[progId] = clsid;
}

BrowseNode& FakeOpc::AddBrowseNode(const std::wstring& parent, const std::wstring& name, bool branch) {
    kit::CritSecLock l(lock);
    BrowseNode n;
    n.name = name;
    n.itemId = parent.empty() ? name : parent + L"." + name;
    n.branch = branch;
    if (branch) browseLevels[n.itemId];  // a branch is a level, even when empty
    std::vector<BrowseNode>& level = browseLevels[parent];
    level.push_back(n);
    return level.back();
}

void FakeOpc::DefineItem(const std::wstring& itemId, const FakeItem& item) {
    kit::CritSecLock l(lock);
    FakeItem& slot = items[itemId];
    kit::Variant* keep = slot.value;
    slot = item;
    slot.value = keep;
}

FakeItem* FakeOpc::Item(const std::wstring& itemId) {
    auto it = items.find(itemId);
    return it == items.end() ? nullptr : &it->second;
}

void FakeOpc::SetValue(const std::wstring& itemId, const VARIANT& value) {
    kit::CritSecLock l(lock);
    FakeItem& slot = items[itemId];
    if (!slot.value) slot.value = new kit::Variant();
    VariantCopy(slot.value->get(), const_cast<VARIANT*>(&value));
}

void FakeOpc::SendShutdownFromThread(const wchar_t* reason) {
    std::vector<IOPCShutdown*> sinks;
    {
        kit::CritSecLock l(lock);
        for (auto& c : shutdownCookies) {
            IOPCShutdown* s = nullptr;
            c.second->QueryInterface(IID_IOPCShutdown, reinterpret_cast<void**>(&s));
            if (s) sinks.push_back(s);
        }
    }
    std::thread caller([&sinks, reason] {
        kit::ComInit com(COINIT_MULTITHREADED);
        for (IOPCShutdown* s : sinks) s->ShutdownRequest(reason);
    });
    caller.join();
    for (IOPCShutdown* s : sinks) s->Release();
}

void FakeOpc::DropSinks() {
    std::map<DWORD, IUnknown*> held;
    {
        kit::CritSecLock l(lock);
        held.swap(shutdownCookies);
    }
    for (auto& h : held) {
        h.second->Release();
        ClientRefDelta(-1);
    }
}

void FakeOpc::Count(const char* method) {
    kit::CritSecLock l(lock);
    ++calls_[method];
}

int FakeOpc::Calls(const std::string& method) {
    kit::CritSecLock l(lock);
    auto it = calls_.find(method);
    return it == calls_.end() ? 0 : it->second;
}

void FakeOpc::RefDelta(LONG delta) { InterlockedExchangeAdd(&refs_, delta); }
void FakeOpc::ObjectDelta(LONG delta) { InterlockedExchangeAdd(&objects_, delta); }
void FakeOpc::ClientRefDelta(LONG delta) { InterlockedExchangeAdd(&clientRefs_, delta); }
LONG FakeOpc::OutstandingRefs() { return InterlockedCompareExchange(&refs_, 0, 0); }
LONG FakeOpc::LiveObjects() { return InterlockedCompareExchange(&objects_, 0, 0); }
LONG FakeOpc::HeldClientRefs() { return InterlockedCompareExchange(&clientRefs_, 0, 0); }

LONG FakeOpc::LiveGroups() {
    kit::CritSecLock l(lock);
    return liveGroups;
}

int FakeOpc::ServersCreated() {
    kit::CritSecLock l(lock);
    return serversCreated;
}

std::vector<AddGroupRecord> FakeOpc::AddGroups() {
    kit::CritSecLock l(lock);
    return addGroups;
}

std::vector<std::pair<OPCHANDLE, BOOL>> FakeOpc::RemoveGroups() {
    kit::CritSecLock l(lock);
    return removeGroups;
}

std::vector<std::vector<ItemDefRecord>> FakeOpc::AddItemsCalls() {
    kit::CritSecLock l(lock);
    return addItemsCalls;
}

std::vector<ReadRecord> FakeOpc::Reads() {
    kit::CritSecLock l(lock);
    return reads;
}

std::vector<std::pair<OPCDATASOURCE, DWORD>> FakeOpc::Refreshes() {
    kit::CritSecLock l(lock);
    return refreshes;
}

}  // namespace fakeopc
