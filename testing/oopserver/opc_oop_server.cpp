// A small out-of-process OPC DA server for tests: COM starts it from its
// LocalServer32 entry ("-Embedding"), it publishes one class object, and it exits
// when the last of its objects is released. Values are fixed (or follow a simple
// counter), so a test can check every byte that crosses the process boundary.
//   opc_oop_server.exe /RegServer     register class and ProgID
//   opc_oop_server.exe /UnregServer   remove them
//   opc_oop_server.exe /RegServer /Da3Only   the same, for a server that COM starts
//                                     without the DA 2.0 browse interface
//   opc_oop_server.exe /Stop          ask the running server to shut down the way
//                                     a real one does: it withdraws its class,
//                                     sends ShutdownRequest to every client and exits
#include <windows.h>
#include <objbase.h>
#include <olectl.h>

#include <atomic>
#include <cstdio>
#include <cwchar>
#include <map>
#include <string>
#include <vector>

#include "kit_com.h"
#include "oop_server.h"
#include "opccomn.h"
#include "opcda.h"

namespace {

std::atomic<long> g_objects{0};
std::atomic<bool> g_everCreated{false};
std::atomic<long> g_simulReads{0};
// Started with -Da3Only: browsing is offered through IOPCBrowse alone.
bool g_da3Only = false;
HANDLE g_idle = nullptr;

struct Tag {
    const wchar_t* id;
    VARTYPE type;
};
const Tag kTags[] = {
    {L"Fixed.Real", VT_R4}, {L"Fixed.Text", VT_BSTR}, {L"Fixed.Byte", VT_UI1},
    {L"Simul.Real", VT_R4}, {L"Simul.Count", VT_I4},
};
const size_t kTagCount = sizeof(kTags) / sizeof(kTags[0]);

LPWSTR CoString(const std::wstring& s) {
    size_t bytes = (s.size() + 1) * sizeof(wchar_t);
    LPWSTR p = static_cast<LPWSTR>(CoTaskMemAlloc(bytes));
    if (p) memcpy(p, s.c_str(), bytes);
    return p;
}

std::vector<std::wstring> Split(const std::wstring& id) {
    std::vector<std::wstring> parts;
    size_t start = 0;
    for (;;) {
        size_t dot = id.find(L'.', start);
        parts.push_back(id.substr(start, dot == std::wstring::npos ? std::wstring::npos : dot - start));
        if (dot == std::wstring::npos) break;
        start = dot + 1;
    }
    return parts;
}

int FindTag(const wchar_t* id) {
    if (!id) return -1;
    for (size_t i = 0; i < kTagCount; ++i)
        if (wcscmp(kTags[i].id, id) == 0) return static_cast<int>(i);
    return -1;
}

void ReadTag(int index, VARIANT* value) {
    VariantInit(value);
    switch (index) {
    case 0: value->vt = VT_R4; value->fltVal = KIT_OOP_FIXED_REAL; break;
    case 1: value->vt = VT_BSTR; value->bstrVal = SysAllocString(KIT_OOP_FIXED_TEXT); break;
    case 2: value->vt = VT_UI1; value->bVal = KIT_OOP_FIXED_BYTE; break;
    case 3: {
        long n = g_simulReads++;
        value->vt = VT_R4;
        value->fltVal = 1.0f + static_cast<float>(n % 10) / 10.0f;
        break;
    }
    default: value->vt = VT_I4; value->lVal = g_simulReads.load(); break;
    }
}

// Every object of the server counts towards its lifetime.
class Counted {
protected:
    Counted() { ++g_objects; g_everCreated = true; }
    virtual ~Counted() { if (--g_objects == 0) SetEvent(g_idle); }
    ULONG AddRefImpl() { return ++refs_; }
    ULONG ReleaseImpl() {
        ULONG r = --refs_;
        if (r == 0) delete this;
        return r;
    }
    std::atomic<ULONG> refs_{1};
};

class EnumStrings final : public IEnumString, Counted {
public:
    explicit EnumStrings(std::vector<std::wstring> items, ULONG pos = 0) : items_(std::move(items)), pos_(pos) {}
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        if (!out) return E_POINTER;
        if (iid == IID_IUnknown || iid == IID_IEnumString) { *out = this; AddRef(); return S_OK; }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return AddRefImpl(); }
    STDMETHODIMP_(ULONG) Release() override { return ReleaseImpl(); }
    STDMETHODIMP Next(ULONG celt, LPOLESTR* rgelt, ULONG* fetched) override {
        ULONG n = 0;
        while (n < celt && pos_ < items_.size()) rgelt[n++] = CoString(items_[pos_++]);
        if (fetched) *fetched = n;
        return n == celt ? S_OK : S_FALSE;
    }
    STDMETHODIMP Skip(ULONG celt) override {
        pos_ = pos_ + celt > items_.size() ? static_cast<ULONG>(items_.size()) : pos_ + celt;
        return pos_ < items_.size() ? S_OK : S_FALSE;
    }
    STDMETHODIMP Reset() override { pos_ = 0; return S_OK; }
    STDMETHODIMP Clone(IEnumString** out) override {
        if (!out) return E_POINTER;
        *out = new EnumStrings(items_, pos_);
        return S_OK;
    }
private:
    std::vector<std::wstring> items_;
    ULONG pos_;
};

// The sinks advised on one object, for one connection point interface.
class SinkList {
public:
    HRESULT Add(IUnknown* sink, REFIID iid, DWORD* cookie) {
        if (!sink || !cookie) return E_POINTER;
        kit::ComPtr<IUnknown> typed;
        if (FAILED(sink->QueryInterface(iid, typed.put_void()))) return CONNECT_E_CANNOTCONNECT;
        kit::CritSecLock lock(cs_);
        *cookie = ++last_;
        sinks_[*cookie] = typed;
        return S_OK;
    }
    HRESULT Remove(DWORD cookie) {
        kit::ComPtr<IUnknown> gone;
        kit::CritSecLock lock(cs_);
        auto it = sinks_.find(cookie);
        if (it == sinks_.end()) return CONNECT_E_NOCONNECTION;
        gone = it->second;
        sinks_.erase(it);
        return S_OK;
    }
    // Tells every advised IOPCShutdown sink that the server is going.
    void NotifyShutdown(const wchar_t* reason) {
        std::vector<kit::ComPtr<IUnknown>> sinks;
        {
            kit::CritSecLock lock(cs_);
            for (auto& s : sinks_) sinks.push_back(s.second);
        }
        for (auto& s : sinks) static_cast<IOPCShutdown*>(s.get())->ShutdownRequest(reason);
    }
    void Clear() {
        std::map<DWORD, kit::ComPtr<IUnknown>> gone;
        kit::CritSecLock lock(cs_);
        gone.swap(sinks_);
    }
private:
    kit::CritSec cs_;
    std::map<DWORD, kit::ComPtr<IUnknown>> sinks_;
    DWORD last_ = 0;
};

// The shutdown sink lists of the live server objects, for /Stop.
kit::CritSec g_serversLock;
std::vector<SinkList*> g_shutdownLists;

class ConnectionPoint final : public IConnectionPoint, Counted {
public:
    ConnectionPoint(IConnectionPointContainer* owner, SinkList* sinks, REFIID iid)
        : owner_(owner), sinks_(sinks), iid_(iid) {}
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        if (!out) return E_POINTER;
        if (iid == IID_IUnknown || iid == IID_IConnectionPoint) { *out = this; AddRef(); return S_OK; }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return AddRefImpl(); }
    STDMETHODIMP_(ULONG) Release() override { return ReleaseImpl(); }
    STDMETHODIMP GetConnectionInterface(IID* iid) override { if (!iid) return E_POINTER; *iid = iid_; return S_OK; }
    STDMETHODIMP GetConnectionPointContainer(IConnectionPointContainer** out) override {
        if (!out) return E_POINTER;
        *out = owner_.get();
        owner_->AddRef();
        return S_OK;
    }
    STDMETHODIMP Advise(IUnknown* sink, DWORD* cookie) override { return sinks_->Add(sink, iid_, cookie); }
    STDMETHODIMP Unadvise(DWORD cookie) override { return sinks_->Remove(cookie); }
    STDMETHODIMP EnumConnections(IEnumConnections**) override { return E_NOTIMPL; }
private:
    kit::ComPtr<IConnectionPointContainer> owner_;  // keeps the sink list alive
    SinkList* sinks_;
    IID iid_;
};

class Group final : public IOPCItemMgt, public IOPCSyncIO, public IOPCGroupStateMgt,
                    public IConnectionPointContainer, Counted {
public:
    Group(const std::wstring& name, DWORD rate, OPCHANDLE client, OPCHANDLE server, DWORD lcid)
        : name_(name), rate_(rate), client_(client), server_(server), lcid_(lcid) {}
    ~Group() override { callbacks_.Clear(); }

    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (iid == IID_IUnknown || iid == IID_IOPCItemMgt) *out = static_cast<IOPCItemMgt*>(this);
        else if (iid == IID_IOPCSyncIO) *out = static_cast<IOPCSyncIO*>(this);
        else if (iid == IID_IOPCGroupStateMgt) *out = static_cast<IOPCGroupStateMgt*>(this);
        else if (iid == IID_IConnectionPointContainer) *out = static_cast<IConnectionPointContainer*>(this);
        else return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return AddRefImpl(); }
    STDMETHODIMP_(ULONG) Release() override { return ReleaseImpl(); }

    // IOPCItemMgt
    STDMETHODIMP AddItems(DWORD count, OPCITEMDEF* defs, OPCITEMRESULT** results, HRESULT** errors) override {
        if (!defs || !results || !errors || count == 0) return E_INVALIDARG;
        kit::CoTaskArray<OPCITEMRESULT> res(static_cast<OPCITEMRESULT*>(CoTaskMemAlloc(count * sizeof(OPCITEMRESULT))));
        kit::CoTaskArray<HRESULT> err(static_cast<HRESULT*>(CoTaskMemAlloc(count * sizeof(HRESULT))));
        if (!res || !err) return E_OUTOFMEMORY;
        memset(res.get(), 0, count * sizeof(OPCITEMRESULT));
        bool allGood = true;
        kit::CritSecLock lock(cs_);
        for (DWORD i = 0; i < count; ++i) {
            int tag = FindTag(defs[i].szItemID);
            if (tag < 0) { err[i] = OPC_E_UNKNOWNITEMID; allGood = false; continue; }
            OPCHANDLE h = ++lastItem_;
            items_[h] = Item{tag, defs[i].hClient};
            res[i].hServer = h;
            res[i].vtCanonicalDataType = kTags[tag].type;
            res[i].dwAccessRights = OPC_READABLE;
            err[i] = S_OK;
        }
        *results = res.Detach();
        *errors = err.Detach();
        return allGood ? S_OK : S_FALSE;
    }
    STDMETHODIMP ValidateItems(DWORD, OPCITEMDEF*, BOOL, OPCITEMRESULT**, HRESULT**) override { return E_NOTIMPL; }
    STDMETHODIMP RemoveItems(DWORD count, OPCHANDLE* handles, HRESULT** errors) override {
        if (!handles || !errors || count == 0) return E_INVALIDARG;
        HRESULT* err = static_cast<HRESULT*>(CoTaskMemAlloc(count * sizeof(HRESULT)));
        if (!err) return E_OUTOFMEMORY;
        bool allGood = true;
        kit::CritSecLock lock(cs_);
        for (DWORD i = 0; i < count; ++i) {
            err[i] = items_.erase(handles[i]) ? S_OK : OPC_E_INVALIDHANDLE;
            allGood = allGood && err[i] == S_OK;
        }
        *errors = err;
        return allGood ? S_OK : S_FALSE;
    }
    STDMETHODIMP SetActiveState(DWORD, OPCHANDLE*, BOOL, HRESULT**) override { return E_NOTIMPL; }
    STDMETHODIMP SetClientHandles(DWORD, OPCHANDLE*, OPCHANDLE*, HRESULT**) override { return E_NOTIMPL; }
    STDMETHODIMP SetDatatypes(DWORD, OPCHANDLE*, VARTYPE*, HRESULT**) override { return E_NOTIMPL; }
    STDMETHODIMP CreateEnumerator(REFIID, LPUNKNOWN*) override { return E_NOTIMPL; }

    // IOPCSyncIO
    STDMETHODIMP Read(OPCDATASOURCE, DWORD count, OPCHANDLE* handles, OPCITEMSTATE** values, HRESULT** errors) override {
        if (!handles || !values || !errors || count == 0) return E_INVALIDARG;
        kit::CoTaskArray<OPCITEMSTATE> vals(static_cast<OPCITEMSTATE*>(CoTaskMemAlloc(count * sizeof(OPCITEMSTATE))));
        kit::CoTaskArray<HRESULT> err(static_cast<HRESULT*>(CoTaskMemAlloc(count * sizeof(HRESULT))));
        if (!vals || !err) return E_OUTOFMEMORY;
        bool allGood = true;
        kit::CritSecLock lock(cs_);
        for (DWORD i = 0; i < count; ++i) {
            OPCITEMSTATE& s = vals[i];
            memset(&s, 0, sizeof(s));
            VariantInit(&s.vDataValue);
            auto it = items_.find(handles[i]);
            if (it == items_.end()) { err[i] = OPC_E_INVALIDHANDLE; allGood = false; continue; }
            s.hClient = it->second.client;
            s.ftTimeStamp.dwLowDateTime = KIT_OOP_TIME_LOW;
            s.ftTimeStamp.dwHighDateTime = KIT_OOP_TIME_HIGH;
            s.wQuality = OPC_QUALITY_GOOD;
            ReadTag(it->second.tag, &s.vDataValue);
            err[i] = S_OK;
        }
        *values = vals.Detach();
        *errors = err.Detach();
        return allGood ? S_OK : S_FALSE;
    }
    STDMETHODIMP Write(DWORD, OPCHANDLE*, VARIANT*, HRESULT**) override { return E_NOTIMPL; }

    // IOPCGroupStateMgt
    STDMETHODIMP GetState(DWORD* rate, BOOL* active, LPWSTR* name, LONG* bias, FLOAT* deadband, DWORD* lcid,
                          OPCHANDLE* client, OPCHANDLE* server) override {
        if (!rate || !active || !name || !bias || !deadband || !lcid || !client || !server) return E_INVALIDARG;
        *rate = rate_;
        *active = TRUE;
        *name = CoString(name_);
        *bias = 0;
        *deadband = 0.0f;
        *lcid = lcid_;
        *client = client_;
        *server = server_;
        return *name ? S_OK : E_OUTOFMEMORY;
    }
    STDMETHODIMP SetState(DWORD* requested, DWORD* revised, BOOL*, LONG*, FLOAT*, DWORD*, OPCHANDLE*) override {
        if (!revised) return E_INVALIDARG;
        if (requested) rate_ = *requested;
        *revised = rate_;
        return S_OK;
    }
    STDMETHODIMP SetName(LPCWSTR) override { return E_NOTIMPL; }
    STDMETHODIMP CloneGroup(LPCWSTR, REFIID, LPUNKNOWN*) override { return E_NOTIMPL; }

    // IConnectionPointContainer: one point, for IOPCDataCallback.
    STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints**) override { return E_NOTIMPL; }
    STDMETHODIMP FindConnectionPoint(REFIID iid, IConnectionPoint** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (iid != IID_IOPCDataCallback) return CONNECT_E_NOCONNECTION;
        *out = new ConnectionPoint(this, &callbacks_, iid);
        return S_OK;
    }

private:
    struct Item {
        int tag;
        OPCHANDLE client;
    };
    kit::CritSec cs_;
    std::wstring name_;
    DWORD rate_;
    OPCHANDLE client_, server_;
    DWORD lcid_;
    std::map<OPCHANDLE, Item> items_;
    OPCHANDLE lastItem_ = 0;
    SinkList callbacks_;
};

class Server final : public IOPCServer, public IOPCCommon, public IOPCBrowseServerAddressSpace,
                     public IOPCBrowse, public IConnectionPointContainer, Counted {
public:
    Server() {
        GetSystemTimeAsFileTime(&start_);
        kit::CritSecLock lock(g_serversLock);
        g_shutdownLists.push_back(&shutdown_);
    }
    ~Server() override {
        {
            kit::CritSecLock lock(g_serversLock);
            for (size_t i = 0; i < g_shutdownLists.size(); ++i)
                if (g_shutdownLists[i] == &shutdown_) g_shutdownLists.erase(g_shutdownLists.begin() + i--);
        }
        shutdown_.Clear();
    }

    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (iid == IID_IUnknown || iid == IID_IOPCServer) *out = static_cast<IOPCServer*>(this);
        else if (iid == IID_IOPCCommon) *out = static_cast<IOPCCommon*>(this);
        else if (iid == IID_IOPCBrowseServerAddressSpace && !g_da3Only) *out = static_cast<IOPCBrowseServerAddressSpace*>(this);
        else if (iid == IID_IOPCBrowse) *out = static_cast<IOPCBrowse*>(this);
        else if (iid == IID_IConnectionPointContainer) *out = static_cast<IConnectionPointContainer*>(this);
        else return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return AddRefImpl(); }
    STDMETHODIMP_(ULONG) Release() override { return ReleaseImpl(); }

    // IOPCServer
    STDMETHODIMP AddGroup(LPCWSTR name, BOOL, DWORD rate, OPCHANDLE client, LONG*, FLOAT*, DWORD lcid,
                          OPCHANDLE* server, DWORD* revised, REFIID iid, LPUNKNOWN* out) override {
        if (!name || !server || !revised || !out) return E_INVALIDARG;
        *out = nullptr;
        kit::CritSecLock lock(cs_);
        std::wstring groupName = *name ? name : L"Group" + std::to_wstring(lastGroup_ + 1);
        for (auto& g : groups_)
            if (g.second.name == groupName) return OPC_E_DUPLICATENAME;
        OPCHANDLE h = ++lastGroup_;
        kit::ComPtr<Group> group;
        group.Attach(new Group(groupName, rate, client, h, lcid));
        HRESULT hr = group->QueryInterface(iid, reinterpret_cast<void**>(out));
        if (FAILED(hr)) return hr;
        groups_[h] = GroupEntry{groupName, group};
        *server = h;
        *revised = rate;
        return S_OK;
    }
    STDMETHODIMP GetErrorString(HRESULT error, LCID locale, LPWSTR* text) override {
        if (!text) return E_INVALIDARG;
        wchar_t buf[64];
        swprintf(buf, 64, L"Error 0x%08lX en %lu", static_cast<unsigned long>(error), static_cast<unsigned long>(locale));
        *text = CoString(buf);
        return *text ? S_OK : E_OUTOFMEMORY;
    }
    STDMETHODIMP GetGroupByName(LPCWSTR name, REFIID iid, LPUNKNOWN* out) override {
        if (!name || !out) return E_INVALIDARG;
        *out = nullptr;
        kit::CritSecLock lock(cs_);
        for (auto& g : groups_)
            if (g.second.name == name) return g.second.group->QueryInterface(iid, reinterpret_cast<void**>(out));
        return E_INVALIDARG;
    }
    STDMETHODIMP GetStatus(OPCSERVERSTATUS** status) override {
        if (!status) return E_INVALIDARG;
        OPCSERVERSTATUS* s = static_cast<OPCSERVERSTATUS*>(CoTaskMemAlloc(sizeof(OPCSERVERSTATUS)));
        if (!s) return E_OUTOFMEMORY;
        memset(s, 0, sizeof(*s));
        s->ftStartTime = start_;
        GetSystemTimeAsFileTime(&s->ftCurrentTime);
        s->ftLastUpdateTime = s->ftCurrentTime;
        s->dwServerState = OPC_STATUS_RUNNING;
        {
            kit::CritSecLock lock(cs_);
            s->dwGroupCount = static_cast<DWORD>(groups_.size());
        }
        s->wMajorVersion = KIT_OOP_MAJOR;
        s->wMinorVersion = KIT_OOP_MINOR;
        s->wBuildNumber = KIT_OOP_BUILD;
        s->szVendorInfo = CoString(KIT_OOP_VENDOR);
        *status = s;
        return S_OK;
    }
    STDMETHODIMP RemoveGroup(OPCHANDLE h, BOOL) override {
        kit::ComPtr<Group> gone;
        kit::CritSecLock lock(cs_);
        auto it = groups_.find(h);
        if (it == groups_.end()) return E_INVALIDARG;
        gone = it->second.group;
        groups_.erase(it);
        return S_OK;
    }
    STDMETHODIMP CreateGroupEnumerator(OPCENUMSCOPE, REFIID, LPUNKNOWN*) override { return E_NOTIMPL; }

    // IOPCCommon
    STDMETHODIMP SetLocaleID(LCID lcid) override { lcid_ = lcid; return S_OK; }
    STDMETHODIMP GetLocaleID(LCID* lcid) override { if (!lcid) return E_INVALIDARG; *lcid = lcid_; return S_OK; }
    STDMETHODIMP QueryAvailableLocaleIDs(DWORD* count, LCID** lcids) override {
        if (!count || !lcids) return E_INVALIDARG;
        *lcids = static_cast<LCID*>(CoTaskMemAlloc(sizeof(LCID)));
        if (!*lcids) return E_OUTOFMEMORY;
        (*lcids)[0] = 0x0409;
        *count = 1;
        return S_OK;
    }
    STDMETHODIMP GetErrorString(HRESULT error, LPWSTR* text) override {
        if (!text) return E_INVALIDARG;
        wchar_t buf[64];
        swprintf(buf, 64, L"Com\u00fan 0x%08lX", static_cast<unsigned long>(error));
        *text = CoString(buf);
        return *text ? S_OK : E_OUTOFMEMORY;
    }
    STDMETHODIMP SetClientName(LPCWSTR) override { return S_OK; }

    // IOPCBrowseServerAddressSpace: '.' separates the levels of the item IDs.
    STDMETHODIMP QueryOrganization(OPCNAMESPACETYPE* type) override {
        if (!type) return E_INVALIDARG;
        *type = OPC_NS_HIERARCHIAL;
        return S_OK;
    }
    STDMETHODIMP ChangeBrowsePosition(OPCBROWSEDIRECTION dir, LPCWSTR name) override {
        kit::CritSecLock lock(cs_);
        if (dir == OPC_BROWSE_UP) {
            if (position_.empty()) return E_FAIL;
            position_.pop_back();
            return S_OK;
        }
        if (!name) return E_INVALIDARG;
        std::vector<std::wstring> target = dir == OPC_BROWSE_TO ? std::vector<std::wstring>() : position_;
        if (*name) {
            for (auto& part : Split(name)) target.push_back(part);
        }
        if (!target.empty() && Children(target, true).empty() && Children(target, false).empty()) return E_INVALIDARG;
        position_ = target;
        return S_OK;
    }
    STDMETHODIMP BrowseOPCItemIDs(OPCBROWSETYPE type, LPCWSTR, VARTYPE, DWORD, LPENUMSTRING* out) override {
        if (!out) return E_INVALIDARG;
        std::vector<std::wstring> names;
        kit::CritSecLock lock(cs_);
        if (type == OPC_FLAT) {
            for (size_t i = 0; i < kTagCount; ++i) names.push_back(kTags[i].id);
        } else {
            names = Children(position_, type == OPC_BRANCH);
        }
        *out = new EnumStrings(names);
        return names.empty() ? S_FALSE : S_OK;
    }
    STDMETHODIMP GetItemID(LPWSTR name, LPWSTR* id) override {
        if (!name || !id) return E_INVALIDARG;
        std::wstring full;
        kit::CritSecLock lock(cs_);
        for (auto& part : position_) full += part + L".";
        *id = CoString(full + name);
        return *id ? S_OK : E_OUTOFMEMORY;
    }
    STDMETHODIMP BrowseAccessPaths(LPCWSTR, LPENUMSTRING*) override { return E_NOTIMPL; }

    // IOPCBrowse: one level under szItemID, pages of dwMaxElementsReturned with the
    // index of the next element as the continuation point.
    STDMETHODIMP GetProperties(DWORD, LPWSTR*, BOOL, DWORD, DWORD*, OPCITEMPROPERTIES**) override { return E_NOTIMPL; }
    STDMETHODIMP Browse(LPWSTR itemId, LPWSTR* cont, DWORD maxElements, OPCBROWSEFILTER filter, LPWSTR, LPWSTR,
                        BOOL, BOOL, DWORD, DWORD*, BOOL* more, DWORD* count, OPCBROWSEELEMENT** elements) override {
        if (!itemId || !cont || !more || !count || !elements) return E_INVALIDARG;
        std::vector<std::wstring> path;
        if (*itemId) path = Split(itemId);
        struct Entry { std::wstring name; bool branch; };
        std::vector<Entry> all;
        if (filter != OPC_BROWSE_FILTER_ITEMS)
            for (auto& n : Children(path, true)) all.push_back(Entry{n, true});
        if (filter != OPC_BROWSE_FILTER_BRANCHES)
            for (auto& n : Children(path, false)) all.push_back(Entry{n, false});
        size_t first = 0;
        if (*cont && **cont) first = static_cast<size_t>(_wtoi(*cont));
        CoTaskMemFree(*cont);
        *cont = nullptr;
        if (first > all.size()) return OPC_E_INVALIDCONTINUATIONPOINT;
        size_t n = all.size() - first;
        if (maxElements && n > maxElements) n = maxElements;
        *elements = nullptr;
        *count = 0;
        *more = FALSE;
        if (n) {
            *elements = static_cast<OPCBROWSEELEMENT*>(CoTaskMemAlloc(n * sizeof(OPCBROWSEELEMENT)));
            if (!*elements) return E_OUTOFMEMORY;
            memset(*elements, 0, n * sizeof(OPCBROWSEELEMENT));
        }
        std::wstring prefix;
        for (auto& part : path) prefix += part + L".";
        for (size_t i = 0; i < n; ++i) {
            const Entry& e = all[first + i];
            (*elements)[i].szName = CoString(e.name);
            (*elements)[i].szItemID = CoString(prefix + e.name);
            (*elements)[i].dwFlagValue = e.branch ? OPC_BROWSE_HASCHILDREN : OPC_BROWSE_ISITEM;
        }
        *count = static_cast<DWORD>(n);
        if (first + n < all.size()) *cont = CoString(std::to_wstring(first + n));
        return S_OK;
    }

    // IConnectionPointContainer: one point, for IOPCShutdown.
    STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints**) override { return E_NOTIMPL; }
    STDMETHODIMP FindConnectionPoint(REFIID iid, IConnectionPoint** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (iid != IID_IOPCShutdown) return CONNECT_E_NOCONNECTION;
        *out = new ConnectionPoint(this, &shutdown_, iid);
        return S_OK;
    }

private:
    // Names one level below `path`: branches (more levels follow) or leaves.
    static std::vector<std::wstring> Children(const std::vector<std::wstring>& path, bool branches) {
        std::vector<std::wstring> names;
        for (size_t i = 0; i < kTagCount; ++i) {
            std::vector<std::wstring> parts = Split(kTags[i].id);
            if (parts.size() <= path.size()) continue;
            bool under = true;
            for (size_t k = 0; k < path.size() && under; ++k) under = parts[k] == path[k];
            if (!under) continue;
            bool isBranch = parts.size() > path.size() + 1;
            if (isBranch != branches) continue;
            const std::wstring& n = parts[path.size()];
            bool seen = false;
            for (auto& existing : names) seen = seen || existing == n;
            if (!seen) names.push_back(n);
        }
        return names;
    }

    struct GroupEntry {
        std::wstring name;
        kit::ComPtr<Group> group;
    };
    kit::CritSec cs_;
    FILETIME start_;
    LCID lcid_ = 0x0409;
    std::map<OPCHANDLE, GroupEntry> groups_;
    OPCHANDLE lastGroup_ = 0;
    std::vector<std::wstring> position_;
    SinkList shutdown_;
};

class Factory final : public IClassFactory {
public:
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        if (!out) return E_POINTER;
        if (iid == IID_IUnknown || iid == IID_IClassFactory) { *out = this; return S_OK; }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        kit::ComPtr<Server> server;
        server.Attach(new Server());
        return server->QueryInterface(iid, out);
    }
    STDMETHODIMP LockServer(BOOL) override { return S_OK; }
};

std::wstring ClsidText() {
    wchar_t text[40];
    StringFromGUID2(CLSID_KitOopTestServer, text, 40);
    return text;
}

LONG SetDefault(const std::wstring& key, const std::wstring& value) {
    kit::RegKey k;
    LONG rc = RegCreateKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, k.put(), nullptr);
    if (rc != ERROR_SUCCESS) return rc;
    return RegSetValueExW(k.get(), nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                          static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

int Register(bool da3Only) {
    wchar_t path[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return 1;
    std::wstring clsid = L"CLSID\\" + ClsidText();
    bool ok = SetDefault(clsid, L"Krel out-of-process test server") == ERROR_SUCCESS &&
              SetDefault(clsid + L"\\LocalServer32",
                         std::wstring(L"\"") + path + L"\"" + (da3Only ? L" -Da3Only" : L"")) == ERROR_SUCCESS &&
              SetDefault(clsid + L"\\ProgID", KIT_OOP_PROGID) == ERROR_SUCCESS &&
              SetDefault(std::wstring(KIT_OOP_PROGID) + L"\\CLSID", ClsidText()) == ERROR_SUCCESS;
    return ok ? 0 : 1;
}

int Unregister() {
    RegDeleteTreeW(HKEY_CLASSES_ROOT, (L"CLSID\\" + ClsidText()).c_str());
    RegDeleteTreeW(HKEY_CLASSES_ROOT, KIT_OOP_PROGID);
    return 0;
}

}  // namespace

const wchar_t kStopEvent[] = L"KrelOopTestServerStop";

int Stop() {
    kit::Handle stop(OpenEventW(EVENT_MODIFY_STATE, FALSE, kStopEvent));
    if (!stop) return 1;
    return SetEvent(stop.get()) ? 0 : 1;
}

int main(int argc, char** argv) {
    bool regServer = false;
    for (int i = 1; i < argc; ++i)
        if (_stricmp(argv[i], "/Da3Only") == 0 || _stricmp(argv[i], "-Da3Only") == 0) g_da3Only = true;
    for (int i = 1; i < argc; ++i) {
        if (_stricmp(argv[i], "/Stop") == 0 || _stricmp(argv[i], "-Stop") == 0) return Stop();
        if (_stricmp(argv[i], "/RegServer") == 0 || _stricmp(argv[i], "-RegServer") == 0) regServer = true;
        if (_stricmp(argv[i], "/UnregServer") == 0 || _stricmp(argv[i], "-UnregServer") == 0) return Unregister();
    }
    if (regServer) return Register(g_da3Only);
    kit::ComInit com(COINIT_MULTITHREADED);
    if (FAILED(com.result())) return 2;
    kit::Handle idle(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    g_idle = idle.get();
    static Factory factory;
    DWORD cookie = 0;
    if (FAILED(CoRegisterClassObject(CLSID_KitOopTestServer, &factory, CLSCTX_LOCAL_SERVER,
                                     REGCLS_MULTIPLEUSE, &cookie)))
        return 3;
    kit::Handle stop(CreateEventW(nullptr, TRUE, FALSE, kStopEvent));
    // Leave when the last object goes, when nobody came at all, or when asked to.
    HANDLE waits[2] = {g_idle, stop.get()};
    for (;;) {
        DWORD rc = WaitForMultipleObjects(stop ? 2 : 1, waits, FALSE, 30000);
        if (rc == WAIT_TIMEOUT && !g_everCreated) break;
        if (rc == WAIT_OBJECT_0 && g_objects == 0) break;
        if (rc == WAIT_OBJECT_0 + 1) {
            // The class goes first, so that the clients' next activation starts
            // a new server rather than finding this one.
            CoRevokeClassObject(cookie);
            cookie = 0;
            {
                // Held throughout, so that no server object goes while its sinks are told.
                kit::CritSecLock lock(g_serversLock);
                for (SinkList* l : g_shutdownLists) l->NotifyShutdown(L"Stopped by request");
            }
            // Clients still holding objects are cut off when the process ends.
            ExitProcess(0);
        }
    }
    if (cookie) CoRevokeClassObject(cookie);
    return 0;
}
