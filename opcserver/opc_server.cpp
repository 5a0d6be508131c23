// The OPC server object: groups, status, error texts, locale, item properties,
// address-space browsing and the shutdown connection point.
#include "opc_server.h"

#include <cwchar>

namespace ketra {
namespace engine {

namespace {

template <class T>
T* TaskAlloc(DWORD count) {
    T* p = static_cast<T*>(CoTaskMemAlloc(count * sizeof(T)));
    if (p) memset(p, 0, count * sizeof(T));
    return p;
}

struct PropertyInfo {
    DWORD id;
    const wchar_t* description;
    VARTYPE type;
};

// The OPC standard properties every tag has.
const PropertyInfo kProperties[] = {
    {OPC_PROPERTY_DATATYPE, L"Item Canonical DataType", VT_I2},
    {OPC_PROPERTY_VALUE, L"Item Value", VT_VARIANT},
    {OPC_PROPERTY_QUALITY, L"Item Quality", VT_I2},
    {OPC_PROPERTY_TIMESTAMP, L"Item Timestamp", VT_DATE},
    {OPC_PROPERTY_ACCESS_RIGHTS, L"Item Access Rights", VT_I4},
    {OPC_PROPERTY_SCAN_RATE, L"Server Scan Rate", VT_R4},
};

const PropertyInfo* FindProperty(DWORD id) {
    for (const PropertyInfo& p : kProperties)
        if (p.id == id) return &p;
    return nullptr;
}

bool SupportedLocale(LCID lcid) {
    return lcid == LOCALE_SYSTEM_DEFAULT || lcid == LOCALE_USER_DEFAULT || lcid == LOCALE_NEUTRAL ||
           lcid == MAKELCID(MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), SORT_DEFAULT);
}

std::wstring JoinPath(const std::vector<std::wstring>& path, const std::wstring& leaf) {
    std::wstring id;
    for (const std::wstring& p : path) {
        id += p;
        id += L'.';
    }
    return id + leaf;
}

}  // namespace

COPCServer::COPCServer(const std::shared_ptr<EngineCore>& core)
    : ref_(1),
      core_(core),
      shared_(std::make_shared<ServerShared>()),
      closing_(false),
      lcid_(LOCALE_SYSTEM_DEFAULT),
      shutdownPoint_(this, IID_IOPCShutdown, 0) {}

COPCServer::~COPCServer() {
    {
        kit::CritSecLock lock(core_->serversLock);
        core_->servers.erase(this);
    }
    // Groups the client still holds live on without us. A clone or a new group
    // on its way in (CloneGroup on another thread) is refused from now on.
    std::map<OPCHANDLE, GroupRef> groups;
    {
        kit::CritSecLock lock(lock_);
        closing_ = true;
        groups.swap(groups_);
    }
    for (auto& g : groups) g.second->Detach();
}

HRESULT CreateServerObject(const std::shared_ptr<EngineCore>& core, REFIID iid, void** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    kit::ComPtr<COPCServer> server;
    server.Attach(new (std::nothrow) COPCServer(core));
    if (!server) return E_OUTOFMEMORY;
    {
        // Checked and joined under the lock Stop takes to end serving: an object is
        // either among those Stop tells and cuts off, or refused here.
        kit::CritSecLock lock(core->serversLock);
        if (!core->running) return CO_E_SERVER_STOPPING;
        core->servers.insert(server.get());
    }
    return server->QueryInterface(iid, out);
}

// IUnknown

STDMETHODIMP COPCServer::QueryInterface(REFIID iid, void** out) {
    if (!out) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IOPCServer))
        *out = static_cast<IOPCServer*>(this);
    else if (IsEqualIID(iid, IID_IOPCCommon))
        *out = static_cast<IOPCCommon*>(this);
    else if (IsEqualIID(iid, IID_IConnectionPointContainer))
        *out = static_cast<IConnectionPointContainer*>(this);
    else if (IsEqualIID(iid, IID_IOPCItemProperties))
        *out = static_cast<IOPCItemProperties*>(this);
    else if (IsEqualIID(iid, IID_IOPCBrowseServerAddressSpace))
        *out = static_cast<IOPCBrowseServerAddressSpace*>(this);
    else {
        *out = nullptr;
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

STDMETHODIMP_(ULONG) COPCServer::AddRef() { return static_cast<ULONG>(InterlockedIncrement(&ref_)); }

STDMETHODIMP_(ULONG) COPCServer::Release() {
    LONG n = InterlockedDecrement(&ref_);
    if (n == 0) delete this;
    return static_cast<ULONG>(n);
}

// IOPCServer

bool COPCServer::NameTaken(const std::wstring& name, COPCGroup* except) {
    for (const auto& g : groups_)
        if (g.second.get() != except && g.second->Name() == name) return true;
    return false;
}

std::wstring COPCServer::UniqueName() {
    for (unsigned n = 1;; ++n) {
        wchar_t buffer[32];
        swprintf(buffer, 32, L"Group%u", n);
        if (!NameTaken(buffer, nullptr)) return buffer;
    }
}

HRESULT COPCServer::NewGroup(const GroupSettings& requested, GroupRef* group) {
    GroupSettings settings = requested;
    kit::CritSecLock lock(lock_);
    if (closing_) return E_FAIL;  // the server is going: its map would hold the group nowhere
    if (settings.name.empty())
        settings.name = UniqueName();
    else if (NameTaken(settings.name, nullptr))
        return OPC_E_DUPLICATENAME;
    OPCHANDLE handle = static_cast<OPCHANDLE>(InterlockedIncrement(&core_->nextGroupHandle));
    COPCGroup* g = new (std::nothrow) COPCGroup(core_, shared_, this, handle, settings);
    if (!g) return E_OUTOFMEMORY;
    group->Adopt(g);
    groups_[handle] = *group;
    return S_OK;
}

STDMETHODIMP COPCServer::AddGroup(LPCWSTR name, BOOL active, DWORD requestedRate, OPCHANDLE clientGroup,
                                  LONG* timeBias, FLOAT* deadband, DWORD lcid, OPCHANDLE* serverGroup,
                                  DWORD* revisedRate, REFIID iid, IUnknown** out) try {
    if (!serverGroup || !revisedRate || !out) return E_POINTER;
    *out = nullptr;
    *serverGroup = 0;
    *revisedRate = 0;
    if (deadband && (*deadband < 0.0f || *deadband > 100.0f)) return E_INVALIDARG;
    GroupSettings s;
    s.name = name ? name : L"";
    s.active = active ? TRUE : FALSE;
    s.updateRate = requestedRate < kMinUpdateRate ? kMinUpdateRate : requestedRate;
    s.clientHandle = clientGroup;
    if (timeBias) {
        s.timeBias = *timeBias;
    } else {
        TIME_ZONE_INFORMATION tz;
        s.timeBias = GetTimeZoneInformation(&tz) == TIME_ZONE_ID_INVALID ? 0 : tz.Bias;
    }
    s.deadband = deadband ? *deadband : 0.0f;
    s.lcid = lcid;
    GroupRef group;
    HRESULT hr = NewGroup(s, &group);
    if (FAILED(hr)) return hr;
    hr = group->QueryInterface(iid, reinterpret_cast<void**>(out));
    if (FAILED(hr)) {
        RemoveGroup(group->ServerHandle(), TRUE);
        return hr;
    }
    *serverGroup = group->ServerHandle();
    *revisedRate = s.updateRate;
    return s.updateRate != requestedRate ? OPC_S_UNSUPPORTEDRATE : S_OK;
}
ENGINE_CATCH_ALL

STDMETHODIMP COPCServer::GetErrorString(HRESULT error, LCID locale, LPWSTR* text) try {
    if (!text) return E_POINTER;
    *text = nullptr;
    // Any locale is answered: the OPC texts exist in English only, the system's
    // in whatever languages Windows has; a text beats an error about the locale.
    *text = ErrorText(error, locale);
    return *text ? S_OK : E_INVALIDARG;
}
ENGINE_CATCH_ALL

STDMETHODIMP COPCServer::GetGroupByName(LPCWSTR name, REFIID iid, IUnknown** out) try {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (!name) return E_INVALIDARG;
    GroupRef found;
    {
        kit::CritSecLock lock(lock_);
        for (const auto& g : groups_)
            if (g.second->Name() == name) found = g.second;
    }
    if (!found) return E_INVALIDARG;
    return found->QueryInterface(iid, reinterpret_cast<void**>(out));
}
ENGINE_CATCH_ALL

STDMETHODIMP COPCServer::GetStatus(OPCSERVERSTATUS** status) try {
    if (!status) return E_POINTER;
    *status = nullptr;
    kit::CoTaskArray<OPCSERVERSTATUS> s(TaskAlloc<OPCSERVERSTATUS>(1));
    if (!s) return E_OUTOFMEMORY;
    s->szVendorInfo = CoTaskStrDup(kVendorInfo);
    if (!s->szVendorInfo) return E_OUTOFMEMORY;
    s->ftStartTime = core_->startTime;
    s->ftCurrentTime = NowFileTime();
    {
        kit::CritSecLock lock(shared_->lock);
        s->ftLastUpdateTime = shared_->lastUpdate;
    }
    s->dwServerState = core_->running ? OPC_STATUS_RUNNING : OPC_STATUS_SUSPENDED;
    {
        kit::CritSecLock lock(lock_);
        s->dwGroupCount = static_cast<DWORD>(groups_.size());
    }
    s->dwBandWidth = 0xFFFFFFFF;  // not known
    s->wMajorVersion = kMajorVersion;
    s->wMinorVersion = kMinorVersion;
    s->wBuildNumber = kBuildNumber;
    *status = s.Detach();
    return S_OK;
}
ENGINE_CATCH_ALL

STDMETHODIMP COPCServer::RemoveGroup(OPCHANDLE serverGroup, BOOL force) try {
    GroupRef group;
    {
        kit::CritSecLock lock(lock_);
        auto it = groups_.find(serverGroup);
        if (it == groups_.end()) return E_INVALIDARG;
        group = it->second;
        groups_.erase(it);
    }
    group->Detach();
    // Only the clients' references count: a refresh in flight or queued work
    // holds the group too, for a moment, and is no reason to keep it.
    bool inUse = group->InUse();
    if (inUse && force) {
        group->Disconnect();
        return S_OK;
    }
    // Without force the group stays usable by whoever holds it, and goes with
    // their last reference.
    return inUse ? OPC_S_INUSE : S_OK;
}
ENGINE_CATCH_ALL

STDMETHODIMP COPCServer::CreateGroupEnumerator(OPCENUMSCOPE scope, REFIID iid, IUnknown** out) try {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (scope < OPC_ENUM_PRIVATE_CONNECTIONS || scope > OPC_ENUM_ALL) return E_INVALIDARG;
    // The engine has no public groups: those scopes enumerate nothing.
    bool privateOnes = scope != OPC_ENUM_PUBLIC_CONNECTIONS && scope != OPC_ENUM_PUBLIC;
    std::vector<GroupRef> groups;
    if (privateOnes) {
        kit::CritSecLock lock(lock_);
        for (const auto& g : groups_) groups.push_back(g.second);
    }
    HRESULT hr;
    if (IsEqualIID(iid, IID_IEnumString)) {
        std::vector<std::wstring> names;
        for (auto& g : groups) names.push_back(g->Name());
        IEnumString* e = nullptr;
        hr = NewStringEnum(names, &e);
        *out = e;
    } else if (IsEqualIID(iid, IID_IEnumUnknown)) {
        std::vector<kit::ComPtr<IUnknown>> units;
        for (auto& g : groups) units.push_back(kit::ComPtr<IUnknown>(static_cast<IOPCGroupStateMgt*>(g.get())));
        IEnumUnknown* e = nullptr;
        hr = NewUnknownEnum(units, &e);
        *out = e;
    } else {
        return E_NOINTERFACE;
    }
    if (FAILED(hr)) return hr;
    return groups.empty() ? S_FALSE : S_OK;
}
ENGINE_CATCH_ALL

// IOPCCommon

STDMETHODIMP COPCServer::SetLocaleID(LCID lcid) try {
    if (!SupportedLocale(lcid)) return E_INVALIDARG;
    kit::CritSecLock lock(lock_);
    lcid_ = lcid;
    return S_OK;
}
ENGINE_CATCH_ALL

STDMETHODIMP COPCServer::GetLocaleID(LCID* lcid) try {
    if (!lcid) return E_POINTER;
    kit::CritSecLock lock(lock_);
    *lcid = lcid_;
    return S_OK;
}
ENGINE_CATCH_ALL

STDMETHODIMP COPCServer::QueryAvailableLocaleIDs(DWORD* count, LCID** lcids) try {
    if (!count || !lcids) return E_POINTER;
    *count = 0;
    *lcids = nullptr;
    const LCID list[] = {LOCALE_SYSTEM_DEFAULT, LOCALE_USER_DEFAULT, LOCALE_NEUTRAL,
                         MAKELCID(MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), SORT_DEFAULT)};
    const DWORD n = sizeof(list) / sizeof(list[0]);
    LCID* out = TaskAlloc<LCID>(n);
    if (!out) return E_OUTOFMEMORY;
    memcpy(out, list, sizeof(list));
    *count = n;
    *lcids = out;
    return S_OK;
}
ENGINE_CATCH_ALL

STDMETHODIMP COPCServer::GetErrorString(HRESULT error, LPWSTR* text) try {
    LCID lcid;
    {
        kit::CritSecLock lock(lock_);
        lcid = lcid_;
    }
    return GetErrorString(error, lcid, text);
}
ENGINE_CATCH_ALL

STDMETHODIMP COPCServer::SetClientName(LPCWSTR name) try {
    kit::CritSecLock lock(lock_);
    clientName_ = name ? name : L"";
    return S_OK;
}
ENGINE_CATCH_ALL

// IConnectionPointContainer

STDMETHODIMP COPCServer::EnumConnectionPoints(IEnumConnectionPoints** out) try {
    if (!out) return E_POINTER;
    std::vector<kit::ComPtr<IConnectionPoint>> points;
    points.push_back(kit::ComPtr<IConnectionPoint>(&shutdownPoint_));
    return NewConnectionPointsEnum(points, out);
}
ENGINE_CATCH_ALL

STDMETHODIMP COPCServer::FindConnectionPoint(REFIID iid, IConnectionPoint** out) try {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (!IsEqualIID(iid, IID_IOPCShutdown)) return CONNECT_E_NOCONNECTION;
    *out = &shutdownPoint_;
    shutdownPoint_.AddRef();
    return S_OK;
}
ENGINE_CATCH_ALL

// IOPCItemProperties

STDMETHODIMP COPCServer::QueryAvailableProperties(LPWSTR itemId, DWORD* count, DWORD** ids,
                                                  LPWSTR** descriptions, VARTYPE** types) try {
    if (!count || !ids || !descriptions || !types) return E_POINTER;
    *count = 0;
    *ids = nullptr;
    *descriptions = nullptr;
    *types = nullptr;
    if (!TagSpace::ValidId(itemId)) return OPC_E_INVALIDITEMID;
    if (!core_->tags.Find(itemId)) return OPC_E_UNKNOWNITEMID;
    const DWORD n = sizeof(kProperties) / sizeof(kProperties[0]);
    kit::CoTaskArray<DWORD> idArray(TaskAlloc<DWORD>(n));
    kit::CoTaskArray<LPWSTR> textArray(TaskAlloc<LPWSTR>(n));
    kit::CoTaskArray<VARTYPE> typeArray(TaskAlloc<VARTYPE>(n));
    if (!idArray || !textArray || !typeArray) return E_OUTOFMEMORY;
    for (DWORD i = 0; i < n; ++i) {
        idArray[i] = kProperties[i].id;
        typeArray[i] = kProperties[i].type;
        textArray[i] = CoTaskStrDup(kProperties[i].description);
        if (!textArray[i]) {
            for (DWORD j = 0; j < i; ++j) CoTaskMemFree(textArray[j]);
            return E_OUTOFMEMORY;
        }
    }
    *count = n;
    *ids = idArray.Detach();
    *descriptions = textArray.Detach();
    *types = typeArray.Detach();
    return S_OK;
}
ENGINE_CATCH_ALL

STDMETHODIMP COPCServer::GetItemProperties(LPWSTR itemId, DWORD count, DWORD* ids, VARIANT** data,
                                           HRESULT** errors) try {
    if (!data || !errors) return E_POINTER;
    *data = nullptr;
    *errors = nullptr;
    if (count == 0 || !ids) return E_INVALIDARG;
    if (!TagSpace::ValidId(itemId)) return OPC_E_INVALIDITEMID;
    const Tag* tag = core_->tags.Find(itemId);
    if (!tag) return OPC_E_UNKNOWNITEMID;
    kit::CoTaskArray<VARIANT> values(TaskAlloc<VARIANT>(count));
    kit::CoTaskArray<HRESULT> err(TaskAlloc<HRESULT>(count));
    if (!values || !err) return E_OUTOFMEMORY;
    bool needValue = false;
    for (DWORD i = 0; i < count; ++i)
        if (ids[i] == OPC_PROPERTY_VALUE || ids[i] == OPC_PROPERTY_QUALITY || ids[i] == OPC_PROPERTY_TIMESTAMP)
            needValue = true;
    TagValue current;
    if (needValue) core_->tags.Read(*tag, &current);
    bool anyFailed = false;
    for (DWORD i = 0; i < count; ++i) {
        VARIANT* v = &values[i];
        VariantInit(v);
        err[i] = S_OK;
        switch (ids[i]) {
        case OPC_PROPERTY_DATATYPE:
            V_VT(v) = VT_I2;
            V_I2(v) = static_cast<SHORT>(tag->type);
            break;
        case OPC_PROPERTY_VALUE:
            VariantCopy(v, current.value.get());
            break;
        case OPC_PROPERTY_QUALITY:
            V_VT(v) = VT_I2;
            V_I2(v) = static_cast<SHORT>(current.quality);
            break;
        case OPC_PROPERTY_TIMESTAMP: {
            SYSTEMTIME st;
            DATE date = 0;
            if (FileTimeToSystemTime(&current.timestamp, &st) && SystemTimeToVariantTime(&st, &date)) {
                V_VT(v) = VT_DATE;
                V_DATE(v) = date;
            } else {
                err[i] = E_FAIL;
            }
            break;
        }
        case OPC_PROPERTY_ACCESS_RIGHTS:
            V_VT(v) = VT_I4;
            V_I4(v) = static_cast<LONG>(tag->access);
            break;
        case OPC_PROPERTY_SCAN_RATE:
            V_VT(v) = VT_R4;
            V_R4(v) = static_cast<FLOAT>(kMinUpdateRate);
            break;
        default:
            err[i] = OPC_E_INVALID_PID;
            break;
        }
        if (FAILED(err[i])) anyFailed = true;
    }
    *data = values.Detach();
    *errors = err.Detach();
    return anyFailed ? S_FALSE : S_OK;
}
ENGINE_CATCH_ALL

STDMETHODIMP COPCServer::LookupItemIDs(LPWSTR itemId, DWORD count, DWORD* ids, LPWSTR** newIds,
                                       HRESULT** errors) try {
    if (!newIds || !errors) return E_POINTER;
    *newIds = nullptr;
    *errors = nullptr;
    if (count == 0 || !ids) return E_INVALIDARG;
    if (!TagSpace::ValidId(itemId)) return OPC_E_INVALIDITEMID;
    if (!core_->tags.Find(itemId)) return OPC_E_UNKNOWNITEMID;
    kit::CoTaskArray<LPWSTR> idArray(TaskAlloc<LPWSTR>(count));
    kit::CoTaskArray<HRESULT> err(TaskAlloc<HRESULT>(count));
    if (!idArray || !err) return E_OUTOFMEMORY;
    // The standard properties are parts of the item itself, not items of their own.
    for (DWORD i = 0; i < count; ++i) err[i] = FindProperty(ids[i]) ? E_FAIL : OPC_E_INVALID_PID;
    *newIds = idArray.Detach();
    *errors = err.Detach();
    return S_FALSE;
}
ENGINE_CATCH_ALL

// IOPCBrowseServerAddressSpace

STDMETHODIMP COPCServer::QueryOrganization(OPCNAMESPACETYPE* type) try {
    if (!type) return E_POINTER;
    *type = OPC_NS_HIERARCHIAL;
    return S_OK;
}
ENGINE_CATCH_ALL

STDMETHODIMP COPCServer::ChangeBrowsePosition(OPCBROWSEDIRECTION direction, LPCWSTR name) try {
    kit::CritSecLock lock(lock_);
    switch (direction) {
    case OPC_BROWSE_UP:
        if (browsePath_.empty()) return E_FAIL;
        browsePath_.pop_back();
        return S_OK;
    case OPC_BROWSE_DOWN: {
        if (!name || !*name) return E_INVALIDARG;
        std::vector<std::wstring> path = browsePath_;
        path.push_back(name);
        if (!core_->tags.BranchExists(path)) return E_INVALIDARG;
        browsePath_.swap(path);
        return S_OK;
    }
    case OPC_BROWSE_TO: {
        std::vector<std::wstring> path;
        if (name && *name) {
            std::wstring s(name);
            size_t start = 0;
            for (;;) {
                size_t dot = s.find(L'.', start);
                path.push_back(s.substr(start, dot == std::wstring::npos ? std::wstring::npos : dot - start));
                if (dot == std::wstring::npos) break;
                start = dot + 1;
            }
            for (const std::wstring& p : path)
                if (p.empty()) return E_INVALIDARG;
            if (!core_->tags.BranchExists(path)) return E_INVALIDARG;
        }
        browsePath_.swap(path);
        return S_OK;
    }
    default:
        return E_INVALIDARG;
    }
}
ENGINE_CATCH_ALL

STDMETHODIMP COPCServer::BrowseOPCItemIDs(OPCBROWSETYPE type, LPCWSTR filter, VARTYPE dataType, DWORD access,
                                          IEnumString** out) try {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (type != OPC_BRANCH && type != OPC_LEAF && type != OPC_FLAT) return E_INVALIDARG;
    std::vector<std::wstring> path;
    {
        kit::CritSecLock lock(lock_);
        path = browsePath_;
    }
    auto leafPasses = [&](const Tag* t) {
        if (dataType != VT_EMPTY && !TypeConvertible(t->type, dataType)) return false;
        // OPC rule: the filter bits are ANDed with the item's rights; any common bit passes.
        if (access != 0 && (t->access & access) == 0) return false;
        return true;
    };
    std::vector<std::wstring> names;
    if (type == OPC_FLAT) {
        // The items at and below the current position, by their full item IDs.
        const std::wstring prefix = JoinPath(path, L"");
        std::vector<const Tag*> tags;
        core_->tags.AllTags(&tags);
        for (const Tag* t : tags)
            if (t->id.compare(0, prefix.size(), prefix) == 0 && leafPasses(t) && MatchPattern(t->id.c_str(), filter))
                names.push_back(t->id);
    } else {
        std::vector<std::wstring> branches;
        std::vector<const Tag*> leaves;
        core_->tags.Children(path, type == OPC_BRANCH ? &branches : nullptr, type == OPC_LEAF ? &leaves : nullptr);
        for (const std::wstring& b : branches)
            if (MatchPattern(b.c_str(), filter)) names.push_back(b);
        for (const Tag* t : leaves) {
            std::wstring leaf = t->id.substr(t->id.rfind(L'.') == std::wstring::npos ? 0 : t->id.rfind(L'.') + 1);
            if (leafPasses(t) && MatchPattern(leaf.c_str(), filter)) names.push_back(leaf);
        }
    }
    HRESULT hr = NewStringEnum(names, out);
    if (FAILED(hr)) return hr;
    return names.empty() ? S_FALSE : S_OK;
}
ENGINE_CATCH_ALL

STDMETHODIMP COPCServer::GetItemID(LPWSTR itemDataId, LPWSTR* itemId) try {
    if (!itemId) return E_POINTER;
    *itemId = nullptr;
    std::vector<std::wstring> path;
    {
        kit::CritSecLock lock(lock_);
        path = browsePath_;
    }
    std::wstring id;
    if (!itemDataId || !*itemDataId) {
        // The current position itself.
        if (path.empty()) return E_INVALIDARG;
        id = path.back();
        path.pop_back();
        id = JoinPath(path, id);
    } else {
        id = JoinPath(path, itemDataId);
        std::vector<std::wstring> asBranch = path;
        asBranch.push_back(itemDataId);
        if (!core_->tags.Find(id.c_str()) && !core_->tags.BranchExists(asBranch)) {
            // Clients may pass a full item ID as well.
            if (!core_->tags.Find(itemDataId)) return E_INVALIDARG;
            id = itemDataId;
        }
    }
    *itemId = CoTaskStrDup(id.c_str());
    return *itemId ? S_OK : E_OUTOFMEMORY;
}
ENGINE_CATCH_ALL

STDMETHODIMP COPCServer::BrowseAccessPaths(LPCWSTR, IEnumString** out) try {
    if (!out) return E_POINTER;
    *out = nullptr;
    return E_NOTIMPL;  // the engine has no access paths
}
ENGINE_CATCH_ALL

// Engine side

HRESULT COPCServer::RenameGroup(COPCGroup* group, LPCWSTR name) {
    kit::CritSecLock lock(lock_);
    if (NameTaken(name, group)) return OPC_E_DUPLICATENAME;
    group->SetNameUnchecked(name);
    return S_OK;
}

HRESULT COPCServer::CloneGroup(COPCGroup* source, LPCWSTR name, REFIID iid, IUnknown** out) {
    GroupSettings s = source->Settings();
    s.name = name ? name : L"";
    s.active = FALSE;  // a clone starts inactive
    GroupRef group;
    HRESULT hr = NewGroup(s, &group);
    if (FAILED(hr)) return hr;
    try {
        group->CopyItemsFrom(source);
        hr = group->QueryInterface(iid, reinterpret_cast<void**>(out));
    } catch (const std::bad_alloc&) {
        hr = E_OUTOFMEMORY;
    }
    if (FAILED(hr)) RemoveGroup(group->ServerHandle(), TRUE);
    return hr;
}

void COPCServer::SendShutdown(const wchar_t* reason) {
    std::vector<kit::ComPtr<IUnknown>> sinks;
    shutdownPoint_.Sinks(&sinks);
    for (auto& s : sinks) static_cast<IOPCShutdown*>(s.get())->ShutdownRequest(reason);
}

void COPCServer::Disconnect(std::vector<kit::ComPtr<IUnknown>>* sinks) {
    std::vector<GroupRef> groups;
    {
        kit::CritSecLock lock(lock_);
        for (auto& g : groups_) groups.push_back(g.second);
    }
    for (auto& g : groups) g->Disconnect(sinks);
    CoDisconnectObject(static_cast<IConnectionPoint*>(&shutdownPoint_), 0);
    CoDisconnectObject(static_cast<IOPCServer*>(this), 0);
    shutdownPoint_.DropAll(sinks);
}

}  // namespace engine
}  // namespace ketra
