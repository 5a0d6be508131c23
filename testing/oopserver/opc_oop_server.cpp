// A small out-of-process OPC DA server for tests: COM starts it from its
// LocalServer32 entry ("-Embedding"), it publishes one class object, and it exits
// when the last of its objects is released. Values are fixed (or follow a simple
// counter), so a test can check every byte that crosses the process boundary.
// Every method of every interface OPCKrelProxy.dll carries is answered here (the
// server object also answers the server-list interfaces of OPCEnum); what comes
// in is either checked against the samples of oop_server.h or sent back, so a
// test sees both directions. Two rules of its own make that deterministic:
// asynchronous requests are answered before the call returns while the group is
// active, and wait (cancellable) while it is not; a client name that begins with
// "shutdown:" sends the rest as ShutdownRequest to the clients of that object.
// GetStatus reports in dwBandWidth the task-memory blocks the process holds, and in
// wReserved its bitness.
//   opc_oop_server.exe /RegServer     register class and ProgID
//   opc_oop_server.exe /UnregServer   remove them
//   opc_oop_server.exe /RegServer /Da3Only   the same, for a server that COM starts
//                                     without the DA 2.0 browse interface
//   opc_oop_server.exe /RegServer /NoCallbacks   the same, for a server whose
//                                     callbacks never arrive, as when the client
//                                     computer's firewall or rights refuse them
//   opc_oop_server.exe /RegServer /AllTypes   the same, for a server that also
//                                     lists "Types.*": a tag of each VARIANT type a
//                                     client must show, arrays, a 200-character text,
//                                     one with CR/LF and one that shrinks on every read
//   opc_oop_server.exe /RegServer /DelayMs=<n>   the same, for a server behind a
//                                     slow link: every incoming call is answered n ms late
//   opc_oop_server.exe /RegServer /Hang=<Interface>::<Method>   the same, for a
//                                     server that never answers that one call (e.g.
//                                     IOPCServer::GetStatus): it is held until the
//                                     server is stopped (/Stop), ten minutes at most
//   opc_oop_server.exe /Stop          ask the running server to shut down the way
//                                     a real one does: it withdraws its class,
//                                     sends ShutdownRequest to every client and exits
#include <windows.h>
#include <objbase.h>
#include <olectl.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <map>
#include <string>
#include <vector>

#include "TaskMemorySpy.h"
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
// Started with -NoCallbacks: no IOPCDataCallback call is made.
bool g_noCallbacks = false;
HANDLE g_idle = nullptr;
// Set by /Stop; also ends a held call.
HANDLE g_stopping = nullptr;

struct Tag {
    const wchar_t* id;
    VARTYPE type;
};
const Tag kTags[] = {
    {L"Fixed.Real", VT_R4}, {L"Fixed.Text", VT_BSTR}, {L"Fixed.Byte", VT_UI1},
    {L"Simul.Real", VT_R4}, {L"Simul.Count", VT_I4},
    // Served only with -AllTypes: a value of every type a console must show.
    {L"Types.I1", VT_I1}, {L"Types.UI2", VT_UI2}, {L"Types.UI4", VT_UI4}, {L"Types.I8", VT_I8},
    {L"Types.UI8", VT_UI8}, {L"Types.INT", VT_INT}, {L"Types.UINT", VT_UINT}, {L"Types.DATE", VT_DATE},
    {L"Types.CY", VT_CY}, {L"Types.DECIMAL", VT_DECIMAL}, {L"Types.ERROR", VT_ERROR},
    {L"Types.ArrayR4", VT_ARRAY | VT_R4}, {L"Types.LongText", VT_BSTR}, {L"Types.CrLf", VT_BSTR},
    {L"Types.Shrinking", VT_BSTR},
};
const size_t kTagCount = sizeof(kTags) / sizeof(kTags[0]);
const size_t kBasicTags = 5;
// The tags this server knows and lists: the basic five, or all with -AllTypes.
size_t g_tagCount = kBasicTags;
// Reads of "Types.Shrinking", which alternates between a long and a short text.
std::atomic<long> g_shrinkReads{0};
const FILETIME kTime = {KIT_OOP_TIME_LOW, KIT_OOP_TIME_HIGH};

LPWSTR CoString(const std::wstring& s) {
    size_t bytes = (s.size() + 1) * sizeof(wchar_t);
    LPWSTR p = static_cast<LPWSTR>(CoTaskMemAlloc(bytes));
    if (p) memcpy(p, s.c_str(), bytes);
    return p;
}

// A zeroed task-memory array; null for none.
template <class T>
T* CoArray(size_t n) {
    T* p = n ? static_cast<T*>(CoTaskMemAlloc(n * sizeof(T))) : nullptr;
    if (p) memset(p, 0, n * sizeof(T));
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

// Tags 0 to g_tagCount - 1 are the browsable ones, kTagCount + n is "Var.<n>".
int FindTag(const wchar_t* id) {
    if (!id) return -1;
    for (size_t i = 0; i < g_tagCount; ++i)
        if (wcscmp(kTags[i].id, id) == 0) return static_cast<int>(i);
    wchar_t* end = nullptr;
    unsigned long n = wcsncmp(id, L"Var.", 4) == 0 && iswdigit(id[4]) ? wcstoul(id + 4, &end, 10) : KIT_OOP_SAMPLES;
    return n < KIT_OOP_SAMPLES && !*end ? static_cast<int>(kTagCount + n) : -1;
}
bool IsSample(int tag) { return tag >= static_cast<int>(kTagCount); }
VARTYPE TagType(int tag) { return IsSample(tag) ? kKitOopSampleTypes[tag - kTagCount] : kTags[tag].type; }
DWORD TagRights(int tag) { return IsSample(tag) ? OPC_READABLE | OPC_WRITEABLE : OPC_READABLE; }

HRESULT WriteResult(int tag, const VARIANT& value) {
    if (!(TagRights(tag) & OPC_WRITEABLE)) return OPC_E_BADRIGHTS;
    if (V_VT(&value) != TagType(tag)) return OPC_E_BADTYPE;
    kit::Variant sample;
    KitOopSample(tag - kTagCount, sample.get());
    return KitOopSameValue(value, *sample.get()) ? S_OK : OPC_E_RANGE;
}

// The -AllTypes tags: the samples of oop_server.h where there is one.
void ReadTypesTag(int index, VARIANT* value) {
    const VARTYPE type = kTags[index].type;
    for (size_t n = 0; n < KIT_OOP_SAMPLES; ++n)
        if (kKitOopSampleTypes[n] == type && type != VT_BSTR) return KitOopSample(n, value);
    V_VT(value) = type;
    switch (type) {
    case VT_DECIMAL: {
        DECIMAL d = {};
        d.scale = 4;
        d.sign = DECIMAL_NEG;
        d.Lo64 = 12345678;  // -1234.5678
        V_DECIMAL(value) = d;
        V_VT(value) = VT_DECIMAL;  // the DECIMAL covers the type field
        break;
    }
    case VT_ERROR: V_ERROR(value) = static_cast<SCODE>(0x80040154); break;
    case VT_ARRAY | VT_R4: {
        V_ARRAY(value) = SafeArrayCreateVector(VT_R4, 0, 4);
        for (LONG i = 0; V_ARRAY(value) && i < 4; ++i) {
            float f = 1.5f * static_cast<float>(i);
            SafeArrayPutElement(V_ARRAY(value), &i, &f);
        }
        break;
    }
    default: {
        std::wstring text;
        if (wcscmp(kTags[index].id, L"Types.LongText") == 0) {
            for (int i = 0; i < 200; ++i) text += static_cast<wchar_t>(L'a' + i % 26);
        } else if (wcscmp(kTags[index].id, L"Types.CrLf") == 0) {
            text = L"Linea 1\r\nLinea 2";
        } else {
            text = g_shrinkReads++ % 2 ? L"7" : L"1234567890.123456789";
        }
        V_BSTR(value) = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
        break;
    }
    }
}

void ReadTag(int index, VARIANT* value) {
    VariantInit(value);
    if (IsSample(index)) return KitOopSample(index - kTagCount, value);
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
    case 4: value->vt = VT_I4; value->lVal = g_simulReads.load(); break;
    default: ReadTypesTag(index, value); break;
    }
}

// Item properties 1 to 6, and from 5000 on one for every ID, each an item of its
// own named "<item>#<id>" with that name as its value.
const DWORD kPropertyIds[] = {1, 2, 3, 4, 5, 6, 5000};
const wchar_t* const kPropertyNames[] = {L"Item Canonical DataType", L"Item Value", L"Item Quality",
                                         L"Item Timestamp", L"Item Access Rights", L"Server Scan Rate",
                                         L"Descripci\u00f3n"};
const VARTYPE kPropertyTypes[] = {VT_I2, VT_VARIANT, VT_I2, VT_DATE, VT_I4, VT_R4, VT_BSTR};
int PropertyIndex(DWORD id) { return id >= 5000 ? 6 : id >= 1 && id <= 6 ? static_cast<int>(id) - 1 : -1; }

// The value of property `id` (value may be null), or with `itemId` the item that
// names it: OPC_E_INVALID_PID for a property that is no item.
HRESULT Property(int tag, const wchar_t* item, DWORD id, VARIANT* value, LPWSTR* itemId) {
    int index = PropertyIndex(id);
    if (index < 0 || (itemId && index < 6)) return OPC_E_INVALID_PID;
    std::wstring name = std::wstring(item) + L"#" + std::to_wstring(id);
    if (itemId) return (*itemId = CoString(name)) ? S_OK : E_OUTOFMEMORY;
    if (!value) return S_OK;
    VariantInit(value);
    V_VT(value) = kPropertyTypes[index];
    switch (index) {
    case 0: V_I2(value) = static_cast<SHORT>(TagType(tag)); break;
    case 1: ReadTag(tag, value); break;
    case 2: V_I2(value) = OPC_QUALITY_GOOD; break;
    case 3: V_DATE(value) = 45000.5; break;
    case 4: V_I4(value) = static_cast<LONG>(TagRights(tag)); break;
    case 5: V_R4(value) = 1000.0f; break;
    default: V_BSTR(value) = SysAllocString(name.c_str()); break;
    }
    return S_OK;
}

// The properties of one item as IOPCBrowse hands them out: the ones asked for, or
// all of them when none are.
void FillProperties(const wchar_t* item, BOOL values, DWORD count, const DWORD* ids, OPCITEMPROPERTIES* out) {
    memset(out, 0, sizeof(*out));
    int tag = FindTag(item);
    if (tag < 0) { out->hrErrorID = OPC_E_UNKNOWNITEMID; return; }
    if (count == 0) { count = sizeof(kPropertyIds) / sizeof(kPropertyIds[0]); ids = kPropertyIds; }
    if (!(out->pItemProperties = CoArray<OPCITEMPROPERTY>(count))) { out->hrErrorID = E_OUTOFMEMORY; return; }
    out->dwNumProperties = count;
    for (DWORD i = 0; i < count; ++i) {
        OPCITEMPROPERTY& p = out->pItemProperties[i];
        p.dwPropertyID = ids[i];
        p.hrErrorID = Property(tag, item, ids[i], values ? &p.vValue : nullptr, nullptr);
        if (FAILED(p.hrErrorID)) { out->hrErrorID = S_FALSE; continue; }
        p.vtDataType = kPropertyTypes[PropertyIndex(ids[i])];
        p.szDescription = CoString(kPropertyNames[PropertyIndex(ids[i])]);
        Property(tag, item, ids[i], nullptr, &p.szItemID);
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

// The list and position of an enumerator, shared by the three below.
template <typename T>
class Cursor {
protected:
    Cursor(std::vector<T> items, ULONG pos) : items_(std::move(items)), pos_(pos) {}
    // How many of `celt` elements are still to come.
    ULONG Left(ULONG celt) const { return static_cast<ULONG>(std::min<size_t>(celt, items_.size() - pos_)); }
    HRESULT SkipBy(ULONG celt) {
        pos_ += Left(celt);
        return pos_ < items_.size() ? S_OK : S_FALSE;
    }
    std::vector<T> items_;
    ULONG pos_;
};

class EnumStrings final : public IEnumString, Counted, Cursor<std::wstring> {
public:
    explicit EnumStrings(std::vector<std::wstring> items, ULONG pos = 0) : Cursor(std::move(items), pos) {}
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        if (!out) return E_POINTER;
        if (iid == IID_IUnknown || iid == IID_IEnumString) { *out = this; AddRef(); return S_OK; }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return AddRefImpl(); }
    STDMETHODIMP_(ULONG) Release() override { return ReleaseImpl(); }
    STDMETHODIMP Next(ULONG celt, LPOLESTR* rgelt, ULONG* fetched) override {
        ULONG n = Left(celt);
        for (ULONG i = 0; i < n; ++i) rgelt[i] = CoString(items_[pos_++]);
        if (fetched) *fetched = n;
        return n == celt ? S_OK : S_FALSE;
    }
    STDMETHODIMP Skip(ULONG celt) override { return SkipBy(celt); }
    STDMETHODIMP Reset() override { pos_ = 0; return S_OK; }
    STDMETHODIMP Clone(IEnumString** out) override {
        if (!out) return E_POINTER;
        *out = new EnumStrings(items_, pos_);
        return S_OK;
    }
};

// Both GUID enumerators (IEnumGUID and the server list's IOPCEnumGUID) share one
// vtable shape.
class EnumGuids final : public IOPCEnumGUID, public IEnumGUID, Counted, Cursor<GUID> {
public:
    explicit EnumGuids(std::vector<GUID> items, ULONG pos = 0) : Cursor(std::move(items), pos) {}
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (iid == IID_IUnknown || iid == IID_IOPCEnumGUID) *out = static_cast<IOPCEnumGUID*>(this);
        else if (iid == IID_IEnumGUID) *out = static_cast<IEnumGUID*>(this);
        else return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return AddRefImpl(); }
    STDMETHODIMP_(ULONG) Release() override { return ReleaseImpl(); }
    STDMETHODIMP Next(ULONG celt, GUID* rgelt, ULONG* fetched) override {
        ULONG n = Left(celt);
        for (ULONG i = 0; i < n; ++i) rgelt[i] = items_[pos_++];
        if (fetched) *fetched = n;
        return n == celt ? S_OK : S_FALSE;
    }
    STDMETHODIMP Skip(ULONG celt) override { return SkipBy(celt); }
    STDMETHODIMP Reset() override { pos_ = 0; return S_OK; }
    STDMETHODIMP Clone(IOPCEnumGUID** out) override {
        if (!out) return E_POINTER;
        *out = new EnumGuids(items_, pos_);
        return S_OK;
    }
    STDMETHODIMP Clone(IEnumGUID** out) override {
        if (!out) return E_POINTER;
        *out = new EnumGuids(items_, pos_);
        return S_OK;
    }
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
    // The advised sinks, to be called with no lock held.
    std::vector<kit::ComPtr<IUnknown>> Snapshot() {
        std::vector<kit::ComPtr<IUnknown>> sinks;
        kit::CritSecLock lock(cs_);
        for (auto& s : sinks_) sinks.push_back(s.second);
        return sinks;
    }
    // Tells every advised IOPCShutdown sink that the server is going.
    void NotifyShutdown(const wchar_t* reason) {
        for (auto& s : Snapshot()) static_cast<IOPCShutdown*>(s.get())->ShutdownRequest(reason);
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

// One item of a group, as the enumerator and the reads report it.
struct Item {
    int tag;
    OPCHANDLE client;
    BOOL active;
    VARTYPE requested;
    std::wstring path, id;
    std::vector<BYTE> blob;
};

class EnumItems final : public IEnumOPCItemAttributes, Counted, Cursor<std::pair<OPCHANDLE, Item>> {
public:
    EnumItems(std::vector<std::pair<OPCHANDLE, Item>> items, ULONG pos = 0) : Cursor(std::move(items), pos) {}
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        if (!out) return E_POINTER;
        if (iid == IID_IUnknown || iid == IID_IEnumOPCItemAttributes) { *out = this; AddRef(); return S_OK; }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return AddRefImpl(); }
    STDMETHODIMP_(ULONG) Release() override { return ReleaseImpl(); }
    STDMETHODIMP Next(ULONG celt, OPCITEMATTRIBUTES** out, ULONG* fetched) override {
        if (!out || !fetched) return E_POINTER;
        ULONG n = Left(celt);
        *out = CoArray<OPCITEMATTRIBUTES>(n);
        if (n && !*out) return E_OUTOFMEMORY;
        for (ULONG i = 0; i < n; ++i, ++pos_) {
            const Item& item = items_[pos_].second;
            OPCITEMATTRIBUTES& a = (*out)[i];
            a.szAccessPath = item.path.empty() ? nullptr : CoString(item.path);
            a.szItemID = CoString(item.id);
            a.bActive = item.active;
            a.hClient = item.client;
            a.hServer = items_[pos_].first;
            a.dwAccessRights = TagRights(item.tag);
            a.dwBlobSize = static_cast<DWORD>(item.blob.size());
            if ((a.pBlob = CoArray<BYTE>(item.blob.size()))) memcpy(a.pBlob, item.blob.data(), item.blob.size());
            a.vtRequestedDataType = item.requested;
            a.vtCanonicalDataType = TagType(item.tag);
            // Floating-point samples are analog with a range: a SAFEARRAY crosses.
            a.dwEUType = TagType(item.tag) == VT_R8 ? OPC_ANALOG : OPC_NOENUM;
            if (a.dwEUType == OPC_ANALOG) {
                V_VT(&a.vEUInfo) = VT_ARRAY | VT_R8;
                V_ARRAY(&a.vEUInfo) = SafeArrayCreateVector(VT_R8, 0, 2);
                static_cast<double*>(V_ARRAY(&a.vEUInfo)->pvData)[1] = 100.0;
            }
        }
        *fetched = n;
        return n == celt ? S_OK : S_FALSE;
    }
    STDMETHODIMP Skip(ULONG celt) override { return SkipBy(celt); }
    STDMETHODIMP Reset() override { pos_ = 0; return S_OK; }
    STDMETHODIMP Clone(IEnumOPCItemAttributes** out) override {
        if (!out) return E_POINTER;
        *out = new EnumItems(items_, pos_);
        return S_OK;
    }
};

class Group final : public IOPCItemMgt, public IOPCSyncIO, public IOPCAsyncIO2, public IOPCGroupStateMgt,
                    public IConnectionPointContainer, Counted {
public:
    Group(const std::wstring& name, DWORD rate, OPCHANDLE client, OPCHANDLE server, DWORD lcid, BOOL active,
          LONG bias, FLOAT deadband)
        : name_(name), rate_(rate), client_(client), server_(server), lcid_(lcid), active_(active), bias_(bias),
          deadband_(deadband) {}
    ~Group() override { callbacks_.Clear(); }

    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (iid == IID_IUnknown || iid == IID_IOPCItemMgt) *out = static_cast<IOPCItemMgt*>(this);
        else if (iid == IID_IOPCSyncIO) *out = static_cast<IOPCSyncIO*>(this);
        else if (iid == IID_IOPCAsyncIO2) *out = static_cast<IOPCAsyncIO2*>(this);
        else if (iid == IID_IOPCGroupStateMgt) *out = static_cast<IOPCGroupStateMgt*>(this);
        else if (iid == IID_IConnectionPointContainer) *out = static_cast<IConnectionPointContainer*>(this);
        else return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return AddRefImpl(); }
    STDMETHODIMP_(ULONG) Release() override { return ReleaseImpl(); }

    // IOPCItemMgt: the blob of an item definition comes back in its result.
    STDMETHODIMP AddItems(DWORD count, OPCITEMDEF* defs, OPCITEMRESULT** results, HRESULT** errors) override {
        return Define(count, defs, TRUE, true, results, errors);
    }
    STDMETHODIMP ValidateItems(DWORD count, OPCITEMDEF* defs, BOOL blobUpdate, OPCITEMRESULT** results,
                               HRESULT** errors) override {
        return Define(count, defs, blobUpdate, false, results, errors);
    }
    STDMETHODIMP RemoveItems(DWORD count, OPCHANDLE* handles, HRESULT** errors) override {
        return ForEach(count, handles, errors, [&](OPCHANDLE h, DWORD) {
            return items_.erase(h) ? S_OK : OPC_E_INVALIDHANDLE;
        });
    }
    STDMETHODIMP SetActiveState(DWORD count, OPCHANDLE* handles, BOOL active, HRESULT** errors) override {
        return ForEach(count, handles, errors, [&](OPCHANDLE h, DWORD) { return Find(h, &Item::active, active); });
    }
    STDMETHODIMP SetClientHandles(DWORD count, OPCHANDLE* handles, OPCHANDLE* clients, HRESULT** errors) override {
        if (!clients) return E_INVALIDARG;
        return ForEach(count, handles, errors, [&](OPCHANDLE h, DWORD i) { return Find(h, &Item::client, clients[i]); });
    }
    STDMETHODIMP SetDatatypes(DWORD count, OPCHANDLE* handles, VARTYPE* types, HRESULT** errors) override {
        if (!types) return E_INVALIDARG;
        return ForEach(count, handles, errors, [&](OPCHANDLE h, DWORD i) {
            auto it = items_.find(h);
            if (it == items_.end()) return OPC_E_INVALIDHANDLE;
            if (types[i] != VT_EMPTY && types[i] != TagType(it->second.tag)) return OPC_E_BADTYPE;
            it->second.requested = types[i];
            return S_OK;
        });
    }
    STDMETHODIMP CreateEnumerator(REFIID iid, LPUNKNOWN* out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        kit::ComPtr<EnumItems> e;
        {
            kit::CritSecLock lock(cs_);
            if (items_.empty()) return S_FALSE;
            e.Attach(new EnumItems(std::vector<std::pair<OPCHANDLE, Item>>(items_.begin(), items_.end())));
        }
        return e->QueryInterface(iid, reinterpret_cast<void**>(out));
    }

    // IOPCSyncIO
    STDMETHODIMP Read(OPCDATASOURCE, DWORD count, OPCHANDLE* handles, OPCITEMSTATE** values, HRESULT** errors) override {
        if (!handles || !values || !errors || count == 0) return E_INVALIDARG;
        kit::CoTaskArray<OPCITEMSTATE> vals(CoArray<OPCITEMSTATE>(count));
        if (!vals) return E_OUTOFMEMORY;
        HRESULT hr = ForEach(count, handles, errors, [&](OPCHANDLE h, DWORD i) {
            auto it = items_.find(h);
            if (it == items_.end()) return OPC_E_INVALIDHANDLE;
            State(it->second, &vals[i]);
            return S_OK;
        });
        if (SUCCEEDED(hr)) *values = vals.Detach();
        return hr;
    }
    STDMETHODIMP Write(DWORD count, OPCHANDLE* handles, VARIANT* values, HRESULT** errors) override {
        if (!values) return E_INVALIDARG;
        return ForEach(count, handles, errors, [&](OPCHANDLE h, DWORD i) {
            auto it = items_.find(h);
            return it == items_.end() ? OPC_E_INVALIDHANDLE : WriteResult(it->second.tag, values[i]);
        });
    }

    // IOPCAsyncIO2
    STDMETHODIMP Read(DWORD count, OPCHANDLE* handles, DWORD trans, DWORD* cancel, HRESULT** errors) override {
        return Queue(kRead, count, handles, nullptr, trans, cancel, errors);
    }
    STDMETHODIMP Write(DWORD count, OPCHANDLE* handles, VARIANT* values, DWORD trans, DWORD* cancel,
                       HRESULT** errors) override {
        if (!values) return E_INVALIDARG;
        return Queue(kWrite, count, handles, values, trans, cancel, errors);
    }
    STDMETHODIMP Refresh2(OPCDATASOURCE, DWORD trans, DWORD* cancel) override {
        if (!cancel) return E_INVALIDARG;
        std::vector<OPCHANDLE> handles;
        {
            kit::CritSecLock lock(cs_);
            if (!active_) return E_FAIL;
            for (auto& it : items_)
                if (it.second.active) handles.push_back(it.first);
        }
        if (handles.empty()) return E_FAIL;
        HRESULT* errors = nullptr;
        HRESULT hr = Queue(kRefresh, static_cast<DWORD>(handles.size()), handles.data(), nullptr, trans, cancel, &errors);
        CoTaskMemFree(errors);
        return hr;
    }
    STDMETHODIMP Cancel2(DWORD cancel) override {
        Request gone;
        {
            kit::CritSecLock lock(cs_);
            size_t i = 0;
            while (i < queue_.size() && queue_[i].cancel != cancel) ++i;
            if (i == queue_.size()) return E_FAIL;
            gone = queue_[i];
            queue_.erase(queue_.begin() + i);
        }
        for (auto& s : callbacks_.Snapshot()) static_cast<IOPCDataCallback*>(s.get())->OnCancelComplete(gone.trans, client_);
        return S_OK;
    }
    STDMETHODIMP SetEnable(BOOL enable) override { enabled_ = enable; return S_OK; }
    STDMETHODIMP GetEnable(BOOL* enable) override { if (!enable) return E_INVALIDARG; *enable = enabled_; return S_OK; }

    // IOPCGroupStateMgt
    STDMETHODIMP GetState(DWORD* rate, BOOL* active, LPWSTR* name, LONG* bias, FLOAT* deadband, DWORD* lcid,
                          OPCHANDLE* client, OPCHANDLE* server) override {
        if (!rate || !active || !name || !bias || !deadband || !lcid || !client || !server) return E_INVALIDARG;
        kit::CritSecLock lock(cs_);
        *rate = rate_;
        *active = active_;
        *name = CoString(name_);
        *bias = bias_;
        *deadband = deadband_;
        *lcid = lcid_;
        *client = client_;
        *server = server_;
        return *name ? S_OK : E_OUTOFMEMORY;
    }
    STDMETHODIMP SetState(DWORD* requested, DWORD* revised, BOOL* active, LONG* bias, FLOAT* deadband, DWORD* lcid,
                          OPCHANDLE* client) override {
        if (!revised) return E_INVALIDARG;
        bool wakes = false;
        {
            kit::CritSecLock lock(cs_);
            if (requested) rate_ = *requested;
            if (active) { wakes = *active && !active_; active_ = *active; }
            if (bias) bias_ = *bias;
            if (deadband) deadband_ = *deadband;
            if (lcid) lcid_ = *lcid;
            if (client) client_ = *client;
            *revised = rate_;
        }
        // A group that becomes active answers what waited, then reports every active item.
        if (wakes) Deliver();
        if (wakes && enabled_) {
            std::vector<OPCHANDLE> handles;
            {
                kit::CritSecLock lock(cs_);
                for (auto& it : items_)
                    if (it.second.active) handles.push_back(it.first);
            }
            if (!handles.empty()) Send(Request{kChange, 0, 0, handles, {}});
        }
        return S_OK;
    }
    STDMETHODIMP SetName(LPCWSTR name) override {
        if (!name || !*name) return E_INVALIDARG;
        kit::CritSecLock lock(cs_);
        name_ = name;
        return S_OK;
    }
    STDMETHODIMP CloneGroup(LPCWSTR name, REFIID iid, LPUNKNOWN* out) override {
        if (!name || !out) return E_INVALIDARG;
        *out = nullptr;
        kit::ComPtr<Group> clone;
        kit::CritSecLock lock(cs_);
        // Inactive with the same items, as a clone starts; the server does not list it.
        clone.Attach(new Group(*name ? name : name_ + L" 2", rate_, client_, server_ + 1000, lcid_, FALSE, bias_,
                               deadband_));
        clone->items_ = items_;
        clone->lastItem_ = lastItem_;
        return clone->QueryInterface(iid, reinterpret_cast<void**>(out));
    }

    // IConnectionPointContainer: one point, for IOPCDataCallback.
    STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints**) override { return E_NOTIMPL; }
    STDMETHODIMP FindConnectionPoint(REFIID iid, IConnectionPoint** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (iid != IID_IOPCDataCallback) return CONNECT_E_NOCONNECTION;
        *out = new ConnectionPoint(this, &callbacks_, iid);
        return S_OK;
    }

    std::wstring Name() {
        kit::CritSecLock lock(cs_);
        return name_;
    }

private:
    enum Kind { kRead, kWrite, kRefresh, kChange };
    struct Request {
        Kind kind;
        DWORD trans, cancel;
        std::vector<OPCHANDLE> handles;
        std::vector<HRESULT> results;  // of a write
    };

    // Runs `step` for each handle under the lock; the per-item errors go out.
    template <class Step>
    HRESULT ForEach(DWORD count, const OPCHANDLE* handles, HRESULT** errors, Step step) {
        if (!handles || !errors || count == 0) return E_INVALIDARG;
        kit::CoTaskArray<HRESULT> err(CoArray<HRESULT>(count));
        if (!err) return E_OUTOFMEMORY;
        bool allGood = true;
        kit::CritSecLock lock(cs_);
        for (DWORD i = 0; i < count; ++i) allGood = (err[i] = step(handles[i], i)) == S_OK && allGood;
        *errors = err.Detach();
        return allGood ? S_OK : S_FALSE;
    }
    template <class T>
    HRESULT Find(OPCHANDLE h, T Item::*field, T value) {
        auto it = items_.find(h);
        if (it == items_.end()) return OPC_E_INVALIDHANDLE;
        it->second.*field = value;
        return S_OK;
    }
    HRESULT Define(DWORD count, OPCITEMDEF* defs, BOOL blobs, bool add, OPCITEMRESULT** results, HRESULT** errors) {
        if (!defs || !results || !errors || count == 0) return E_INVALIDARG;
        kit::CoTaskArray<OPCITEMRESULT> res(CoArray<OPCITEMRESULT>(count));
        if (!res) return E_OUTOFMEMORY;
        std::vector<OPCHANDLE> handles(count);
        HRESULT hr = ForEach(count, handles.data(), errors, [&](OPCHANDLE, DWORD i) {
            const OPCITEMDEF& d = defs[i];
            int tag = FindTag(d.szItemID);
            if (tag < 0) return OPC_E_UNKNOWNITEMID;
            if (d.vtRequestedDataType != VT_EMPTY && d.vtRequestedDataType != TagType(tag)) return OPC_E_BADTYPE;
            OPCITEMRESULT& r = res[i];
            if (add) {
                r.hServer = ++lastItem_;
                items_[r.hServer] = Item{tag, d.hClient, d.bActive, d.vtRequestedDataType,
                                         d.szAccessPath ? d.szAccessPath : L"", d.szItemID,
                                         std::vector<BYTE>(d.pBlob, d.pBlob + (d.pBlob ? d.dwBlobSize : 0))};
            }
            r.vtCanonicalDataType = TagType(tag);
            r.dwAccessRights = TagRights(tag);
            if (blobs && d.pBlob && (r.pBlob = CoArray<BYTE>(d.dwBlobSize))) {
                memcpy(r.pBlob, d.pBlob, d.dwBlobSize);
                r.dwBlobSize = d.dwBlobSize;
            }
            return S_OK;
        });
        if (SUCCEEDED(hr)) *results = res.Detach();
        return hr;
    }
    void State(const Item& item, OPCITEMSTATE* s) {
        s->hClient = item.client;
        s->ftTimeStamp = kTime;
        s->wQuality = OPC_QUALITY_GOOD;
        ReadTag(item.tag, &s->vDataValue);
    }
    HRESULT Queue(Kind kind, DWORD count, OPCHANDLE* handles, VARIANT* values, DWORD trans, DWORD* cancel,
                  HRESULT** errors) {
        if (!cancel) return E_INVALIDARG;
        Request r{kind, trans, 0, {}, {}};
        HRESULT hr = ForEach(count, handles, errors, [&](OPCHANDLE h, DWORD i) {
            auto it = items_.find(h);
            if (it == items_.end()) return OPC_E_INVALIDHANDLE;
            r.handles.push_back(h);
            if (values) r.results.push_back(WriteResult(it->second.tag, values[i]));
            return S_OK;
        });
        if (FAILED(hr) || r.handles.empty()) return hr;
        {
            kit::CritSecLock lock(cs_);
            *cancel = r.cancel = ++lastCancel_;
            queue_.push_back(r);
        }
        Deliver();
        return hr;
    }
    // Answers every waiting request while the group is active.
    void Deliver() {
        for (;;) {
            Request r;
            {
                kit::CritSecLock lock(cs_);
                if (!active_ || queue_.empty()) return;
                r = queue_.front();
                queue_.erase(queue_.begin());
            }
            Send(r);
        }
    }
    void Send(const Request& r) {
        DWORD n = static_cast<DWORD>(r.handles.size());
        std::vector<OPCHANDLE> clients(n);
        std::vector<VARIANT> values(n);
        std::vector<WORD> qualities(n, OPC_QUALITY_GOOD);
        std::vector<FILETIME> times(n, kTime);
        std::vector<HRESULT> errors(r.results);
        errors.resize(n, S_OK);
        {
            kit::CritSecLock lock(cs_);
            for (DWORD i = 0; i < n; ++i) {
                auto it = items_.find(r.handles[i]);
                clients[i] = it == items_.end() ? 0 : it->second.client;
                if (it == items_.end() || r.kind == kWrite) VariantInit(&values[i]);
                else ReadTag(it->second.tag, &values[i]);
            }
        }
        for (auto& s : callbacks_.Snapshot()) {
            if (g_noCallbacks) break;
            IOPCDataCallback* sink = static_cast<IOPCDataCallback*>(s.get());
            if (r.kind == kWrite)
                sink->OnWriteComplete(r.trans, client_, S_OK, n, clients.data(), errors.data());
            else if (r.kind == kRead)
                sink->OnReadComplete(r.trans, client_, S_OK, S_OK, n, clients.data(), values.data(), qualities.data(),
                                     times.data(), errors.data());
            else
                sink->OnDataChange(r.trans, client_, S_OK, S_OK, n, clients.data(), values.data(), qualities.data(),
                                   times.data(), errors.data());
        }
        for (VARIANT& v : values) VariantClear(&v);
    }

    kit::CritSec cs_;
    std::wstring name_;
    DWORD rate_;
    OPCHANDLE client_, server_;
    DWORD lcid_;
    BOOL active_;
    LONG bias_;
    FLOAT deadband_;
    std::atomic<BOOL> enabled_{TRUE};
    std::map<OPCHANDLE, Item> items_;
    OPCHANDLE lastItem_ = 0;
    std::vector<Request> queue_;
    DWORD lastCancel_ = 0;
    SinkList callbacks_;
};

class Server final : public IOPCServer, public IOPCCommon, public IOPCBrowseServerAddressSpace,
                     public IOPCBrowse, public IOPCItemProperties, public IOPCServerList, public IOPCServerList2,
                     public IConnectionPointContainer, Counted {
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
        else if (iid == IID_IOPCItemProperties) *out = static_cast<IOPCItemProperties*>(this);
        else if (iid == IID_IOPCServerList) *out = static_cast<IOPCServerList*>(this);
        else if (iid == IID_IOPCServerList2) *out = static_cast<IOPCServerList2*>(this);
        else if (iid == IID_IConnectionPointContainer) *out = static_cast<IConnectionPointContainer*>(this);
        else return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return AddRefImpl(); }
    STDMETHODIMP_(ULONG) Release() override { return ReleaseImpl(); }

    // IOPCServer
    STDMETHODIMP AddGroup(LPCWSTR name, BOOL active, DWORD rate, OPCHANDLE client, LONG* bias, FLOAT* deadband,
                          DWORD lcid, OPCHANDLE* server, DWORD* revised, REFIID iid, LPUNKNOWN* out) override {
        if (!name || !server || !revised || !out) return E_INVALIDARG;
        *out = nullptr;
        kit::CritSecLock lock(cs_);
        std::wstring groupName = *name ? name : L"Group" + std::to_wstring(lastGroup_ + 1);
        for (auto& g : groups_)
            if (g.second->Name() == groupName) return OPC_E_DUPLICATENAME;
        OPCHANDLE h = ++lastGroup_;
        kit::ComPtr<Group> group;
        group.Attach(new Group(groupName, rate, client, h, lcid, active, bias ? *bias : 0, deadband ? *deadband : 0));
        HRESULT hr = group->QueryInterface(iid, reinterpret_cast<void**>(out));
        if (FAILED(hr)) return hr;
        groups_[h] = group;
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
            if (g.second->Name() == name) return g.second->QueryInterface(iid, reinterpret_cast<void**>(out));
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
        s->dwBandWidth = static_cast<DWORD>(fakeopc::TaskMemorySpy::Instance().OutstandingSince(0));
        s->wMajorVersion = KIT_OOP_MAJOR;
        s->wMinorVersion = KIT_OOP_MINOR;
        s->wBuildNumber = KIT_OOP_BUILD;
        s->szVendorInfo = CoString(KIT_OOP_VENDOR);
        // The server's bitness: what Wine's stubs keep of a call depends on it, and
        // a 64-bit client may call a 32-bit server.
        s->wReserved = static_cast<WORD>(sizeof(void*) * 8);
        *status = s;
        return S_OK;
    }
    STDMETHODIMP RemoveGroup(OPCHANDLE h, BOOL) override {
        kit::ComPtr<Group> gone;
        kit::CritSecLock lock(cs_);
        auto it = groups_.find(h);
        if (it == groups_.end()) return E_INVALIDARG;
        gone = it->second;
        groups_.erase(it);
        return S_OK;
    }
    STDMETHODIMP CreateGroupEnumerator(OPCENUMSCOPE, REFIID iid, LPUNKNOWN* out) override {
        if (!out) return E_INVALIDARG;
        *out = nullptr;
        if (iid != IID_IEnumString) return E_NOINTERFACE;
        std::vector<std::wstring> names;
        kit::CritSecLock lock(cs_);
        for (auto& g : groups_) names.push_back(g.second->Name());
        *out = new EnumStrings(names);
        return names.empty() ? S_FALSE : S_OK;
    }

    // IOPCCommon
    STDMETHODIMP SetLocaleID(LCID lcid) override { lcid_ = lcid; return S_OK; }
    STDMETHODIMP GetLocaleID(LCID* lcid) override { if (!lcid) return E_INVALIDARG; *lcid = lcid_; return S_OK; }
    STDMETHODIMP QueryAvailableLocaleIDs(DWORD* count, LCID** lcids) override {
        if (!count || !lcids) return E_INVALIDARG;
        static const LCID kLocales[] = {0x0409, 0x0C0A, 0x0407};
        if (!(*lcids = CoArray<LCID>(3))) return E_OUTOFMEMORY;
        memcpy(*lcids, kLocales, sizeof(kLocales));
        *count = 3;
        return S_OK;
    }
    STDMETHODIMP GetErrorString(HRESULT error, LPWSTR* text) override {
        if (!text) return E_INVALIDARG;
        wchar_t buf[64];
        swprintf(buf, 64, L"Com\u00fan 0x%08lX", static_cast<unsigned long>(error));
        kit::CritSecLock lock(cs_);
        *text = CoString(clientName_.empty() ? buf : buf + (L" para " + clientName_));
        return *text ? S_OK : E_OUTOFMEMORY;
    }
    STDMETHODIMP SetClientName(LPCWSTR name) override {
        if (!name) return E_INVALIDARG;
        if (wcsncmp(name, L"shutdown:", 9) == 0) {
            shutdown_.NotifyShutdown(name + 9);
            return S_OK;
        }
        kit::CritSecLock lock(cs_);
        clientName_ = name;
        return S_OK;
    }

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
    // A criterion "x*" keeps the names that begin with x, any other the name itself;
    // a data type keeps the leaves of that type.
    STDMETHODIMP BrowseOPCItemIDs(OPCBROWSETYPE type, LPCWSTR criteria, VARTYPE vt, DWORD, LPENUMSTRING* out) override {
        if (!out || !criteria) return E_INVALIDARG;
        std::vector<std::wstring> names;
        kit::CritSecLock lock(cs_);
        std::wstring prefix;
        for (auto& part : position_) prefix += part + L".";
        std::vector<std::wstring> candidates;
        if (type == OPC_FLAT) {
            for (size_t i = 0; i < g_tagCount; ++i) candidates.push_back(kTags[i].id);
        } else {
            candidates = Children(position_, type == OPC_BRANCH);
        }
        size_t star = wcscspn(criteria, L"*");
        for (auto& n : candidates) {
            if (criteria[star] ? n.compare(0, star, criteria, star) != 0 : *criteria && n != criteria) continue;
            int tag = FindTag((type == OPC_FLAT ? n : prefix + n).c_str());
            if (vt != VT_EMPTY && tag >= 0 && TagType(tag) != vt) continue;
            names.push_back(n);
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
    STDMETHODIMP BrowseAccessPaths(LPCWSTR id, LPENUMSTRING* out) override {
        if (!id || !out) return E_INVALIDARG;
        *out = nullptr;
        if (FindTag(id) < 0) return E_INVALIDARG;
        *out = new EnumStrings({L"\\\\Ruta\\" + std::wstring(id), L"COM1"});
        return S_OK;
    }

    // IOPCBrowse: one level under szItemID, pages of dwMaxElementsReturned with the
    // index of the next element as the continuation point.
    STDMETHODIMP GetProperties(DWORD count, LPWSTR* ids, BOOL values, DWORD propertyCount, DWORD* properties,
                               OPCITEMPROPERTIES** out) override {
        if (!ids || !properties || !out || count == 0) return E_INVALIDARG;
        if (!(*out = CoArray<OPCITEMPROPERTIES>(count))) return E_OUTOFMEMORY;
        bool allGood = true;
        for (DWORD i = 0; i < count; ++i) {
            FillProperties(ids[i], values, propertyCount, properties, &(*out)[i]);
            allGood = allGood && (*out)[i].hrErrorID == S_OK;
        }
        return allGood ? S_OK : S_FALSE;
    }
    STDMETHODIMP Browse(LPWSTR itemId, LPWSTR* cont, DWORD maxElements, OPCBROWSEFILTER filter, LPWSTR, LPWSTR,
                        BOOL allProperties, BOOL values, DWORD propertyCount, DWORD* properties, BOOL* more,
                        DWORD* count, OPCBROWSEELEMENT** elements) override {
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
            if (!e.branch && (allProperties || propertyCount))
                FillProperties((*elements)[i].szItemID, values, allProperties ? 0 : propertyCount, properties,
                               &(*elements)[i].ItemProperties);
        }
        *count = static_cast<DWORD>(n);
        if (first + n < all.size()) *cont = CoString(std::to_wstring(first + n));
        return S_OK;
    }

    // IOPCItemProperties
    STDMETHODIMP QueryAvailableProperties(LPWSTR id, DWORD* count, DWORD** ids, LPWSTR** names,
                                          VARTYPE** types) override {
        if (!id || !count || !ids || !names || !types) return E_INVALIDARG;
        if (FindTag(id) < 0) return OPC_E_UNKNOWNITEMID;
        const DWORD n = sizeof(kPropertyIds) / sizeof(kPropertyIds[0]);
        kit::CoTaskArray<DWORD> i(CoArray<DWORD>(n));
        kit::CoTaskArray<LPWSTR> d(CoArray<LPWSTR>(n));
        kit::CoTaskArray<VARTYPE> t(CoArray<VARTYPE>(n));
        if (!i || !d || !t) return E_OUTOFMEMORY;
        for (DWORD k = 0; k < n; ++k) {
            i[k] = kPropertyIds[k];
            d[k] = CoString(kPropertyNames[k]);
            t[k] = kPropertyTypes[k];
        }
        *count = n;
        *ids = i.Detach();
        *names = d.Detach();
        *types = t.Detach();
        return S_OK;
    }
    STDMETHODIMP GetItemProperties(LPWSTR id, DWORD count, DWORD* ids, VARIANT** values, HRESULT** errors) override {
        return EachProperty(id, count, ids, errors, values, nullptr);
    }
    STDMETHODIMP LookupItemIDs(LPWSTR id, DWORD count, DWORD* ids, LPWSTR** itemIds, HRESULT** errors) override {
        return EachProperty(id, count, ids, errors, nullptr, itemIds);
    }

    // IOPCServerList and IOPCServerList2: this server is the one class, and the
    // categories asked for come back after it, so both arrays are seen to cross.
    STDMETHODIMP EnumClassesOfCategories(ULONG nImpl, CATID* impl, ULONG nReq, CATID* req, IEnumGUID** out) override {
        return Classes(nImpl, impl, nReq, req, IID_IEnumGUID, reinterpret_cast<void**>(out));
    }
    STDMETHODIMP EnumClassesOfCategories(ULONG nImpl, CATID* impl, ULONG nReq, CATID* req,
                                         IOPCEnumGUID** out) override {
        return Classes(nImpl, impl, nReq, req, IID_IOPCEnumGUID, reinterpret_cast<void**>(out));
    }
    STDMETHODIMP GetClassDetails(REFCLSID clsid, LPOLESTR* progId, LPOLESTR* userType) override {
        return GetClassDetails(clsid, progId, userType, nullptr);
    }
    STDMETHODIMP GetClassDetails(REFCLSID clsid, LPOLESTR* progId, LPOLESTR* userType, LPOLESTR* verIndependent) override {
        if (!progId || !userType) return E_INVALIDARG;
        if (clsid != CLSID_KitOopTestServer) return REGDB_E_CLASSNOTREG;
        *progId = CoString(KIT_OOP_PROGID);
        *userType = CoString(L"Krel out-of-process test server");
        if (verIndependent) *verIndependent = CoString(L"Krel.OopTest");
        return S_OK;
    }
    STDMETHODIMP CLSIDFromProgID(LPCOLESTR progId, LPCLSID clsid) override {
        if (!progId || !clsid) return E_INVALIDARG;
        if (wcscmp(progId, KIT_OOP_PROGID) != 0) return CO_E_CLASSSTRING;
        *clsid = CLSID_KitOopTestServer;
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
    HRESULT EachProperty(LPWSTR id, DWORD count, DWORD* ids, HRESULT** errors, VARIANT** values, LPWSTR** itemIds) {
        if (!id || !ids || !errors || (!values && !itemIds) || count == 0) return E_INVALIDARG;
        int tag = FindTag(id);
        if (tag < 0) return OPC_E_UNKNOWNITEMID;
        kit::CoTaskArray<HRESULT> err(CoArray<HRESULT>(count));
        kit::CoTaskArray<VARIANT> v(values ? CoArray<VARIANT>(count) : nullptr);
        kit::CoTaskArray<LPWSTR> s(itemIds ? CoArray<LPWSTR>(count) : nullptr);
        if (!err || (values && !v) || (itemIds && !s)) return E_OUTOFMEMORY;
        bool allGood = true;
        for (DWORD i = 0; i < count; ++i)
            allGood = (err[i] = Property(tag, id, ids[i], values ? &v[i] : nullptr, itemIds ? &s[i] : nullptr)) == S_OK &&
                      allGood;
        if (values) *values = v.Detach();
        if (itemIds) *itemIds = s.Detach();
        *errors = err.Detach();
        return allGood ? S_OK : S_FALSE;
    }
    HRESULT Classes(ULONG nImpl, const CATID* impl, ULONG nReq, const CATID* req, REFIID iid, void** out) {
        if (!out || (nImpl && !impl) || (nReq && !req)) return E_INVALIDARG;
        std::vector<GUID> classes(1, CLSID_KitOopTestServer);
        classes.insert(classes.end(), impl, impl + nImpl);
        classes.insert(classes.end(), req, req + nReq);
        kit::ComPtr<EnumGuids> e;
        e.Attach(new EnumGuids(classes));
        return e->QueryInterface(iid, out);
    }

    // Names one level below `path`: branches (more levels follow) or leaves.
    static std::vector<std::wstring> Children(const std::vector<std::wstring>& path, bool branches) {
        std::vector<std::wstring> names;
        for (size_t i = 0; i < g_tagCount; ++i) {
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

    kit::CritSec cs_;
    FILETIME start_;
    LCID lcid_ = 0x0409;
    std::map<OPCHANDLE, kit::ComPtr<Group>> groups_;
    std::wstring clientName_;
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

// ---- Calls held back: -DelayMs=<n> and -Hang=<Interface>::<Method> ----

// The methods of every interface a client can call here, in slot order from slot 3,
// so that a call is named the way a reader names it.
struct CallNames {
    const char* name;
    const IID* iid;
    const char* methods;
};
const CallNames kCallNames[] = {
    {"IClassFactory", &IID_IClassFactory, "CreateInstance LockServer"},
    {"IOPCServer", &IID_IOPCServer, "AddGroup GetErrorString GetGroupByName GetStatus RemoveGroup CreateGroupEnumerator"},
    {"IOPCCommon", &IID_IOPCCommon, "SetLocaleID GetLocaleID QueryAvailableLocaleIDs GetErrorString SetClientName"},
    {"IOPCBrowseServerAddressSpace", &IID_IOPCBrowseServerAddressSpace,
     "QueryOrganization ChangeBrowsePosition BrowseOPCItemIDs GetItemID BrowseAccessPaths"},
    {"IOPCItemProperties", &IID_IOPCItemProperties, "QueryAvailableProperties GetItemProperties LookupItemIDs"},
    {"IOPCBrowse", &IID_IOPCBrowse, "GetProperties Browse"},
    {"IOPCServerList", &IID_IOPCServerList, "EnumClassesOfCategories GetClassDetails CLSIDFromProgID"},
    {"IOPCServerList2", &IID_IOPCServerList2, "EnumClassesOfCategories GetClassDetails CLSIDFromProgID"},
    {"IOPCEnumGUID", &IID_IOPCEnumGUID, "Next Skip Reset Clone"},
    {"IEnumGUID", &IID_IEnumGUID, "Next Skip Reset Clone"},
    {"IEnumString", &IID_IEnumString, "Next Skip Reset Clone"},
    {"IConnectionPointContainer", &IID_IConnectionPointContainer, "EnumConnectionPoints FindConnectionPoint"},
    {"IConnectionPoint", &IID_IConnectionPoint,
     "GetConnectionInterface GetConnectionPointContainer Advise Unadvise EnumConnections"},
    {"IOPCGroupStateMgt", &IID_IOPCGroupStateMgt, "GetState SetState SetName CloneGroup"},
    {"IOPCItemMgt", &IID_IOPCItemMgt,
     "AddItems ValidateItems RemoveItems SetActiveState SetClientHandles SetDatatypes CreateEnumerator"},
    {"IOPCSyncIO", &IID_IOPCSyncIO, "Read Write"},
    {"IOPCAsyncIO2", &IID_IOPCAsyncIO2, "Read Write Refresh2 Cancel2 SetEnable GetEnable"},
    {"IEnumOPCItemAttributes", &IID_IEnumOPCItemAttributes, "Next Skip Reset Clone"},
};

DWORD g_delayMs = 0;
bool g_hang = false;
IID g_hangIid = GUID_NULL;
ULONG g_hangMethod = 0;
// A held call is answered after this at the latest, so that a server whose client
// died does not hold a thread for ever.
const DWORD kHangLimitMs = 10 * 60 * 1000;

// "IOPCServer::GetStatus" into its IID and slot; false for a name not listed above.
bool ParseCall(const char* text, IID* iid, ULONG* method) {
    const char* colons = std::strstr(text, "::");
    if (!colons) return false;
    const std::string itf(text, colons), name(colons + 2);
    for (const CallNames& c : kCallNames) {
        if (itf != c.name) continue;
        ULONG slot = 3;
        for (const char* m = c.methods; *m; ++slot) {
            const char* end = std::strchr(m, ' ');
            const size_t length = end ? static_cast<size_t>(end - m) : std::strlen(m);
            if (name == std::string(m, length)) {
                *iid = *c.iid;
                *method = slot;
                return true;
            }
            m += length + (end ? 1 : 0);
        }
    }
    return false;
}

// Holds the call this thread is answering, once per call. Windows tells a channel
// hook of a call before it runs (ServerNotify); Wine 8 never did here (measured:
// not once in a run of the client's out-of-process tests), but asks every hook
// for the size of every reply (ServerGetSize), so there the reply is held
// instead: the client waits the same.
class CallHook final : public IChannelHook {
public:
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        if (!out) return E_POINTER;
        *out = iid == IID_IUnknown || iid == IID_IChannelHook ? this : nullptr;
        return *out ? S_OK : E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    void STDMETHODCALLTYPE ClientGetSize(REFGUID, REFIID, ULONG* size) override { *size = 0; }
    void STDMETHODCALLTYPE ClientFillBuffer(REFGUID, REFIID, ULONG* size, void*) override { *size = 0; }
    void STDMETHODCALLTYPE ClientNotify(REFGUID, REFIID, ULONG, void*, DWORD, HRESULT) override {}
    void STDMETHODCALLTYPE ServerNotify(REFGUID, REFIID call, ULONG, void*, DWORD) override {
        Hold(call);
        held_ = true;
    }
    void STDMETHODCALLTYPE ServerGetSize(REFGUID, REFIID call, HRESULT, ULONG* size) override {
        *size = 0;
        if (!held_) Hold(call);
        held_ = false;
    }
    void STDMETHODCALLTYPE ServerFillBuffer(REFGUID, REFIID, ULONG* size, void*, HRESULT) override { *size = 0; }

private:
    // COM hands a hook the call's SChannelHookCallInfo where the IID is asked for.
    static void Hold(REFIID call) {
        const SChannelHookCallInfo& info = reinterpret_cast<const SChannelHookCallInfo&>(call);
        if (g_delayMs) Sleep(g_delayMs);
        if (!g_hang || info.iMethod != g_hangMethod || !IsEqualIID(info.iid, g_hangIid)) return;
        // Not CoTestCancel: Wine 8 aborts the process on it (unimplemented), and a
        // client there cannot cancel a call anyway (CoCancelCall aborts as well).
        WaitForSingleObject(g_stopping, kHangLimitMs);
    }
    static thread_local bool held_;
};
thread_local bool CallHook::held_ = false;

// {8E0A3B52-6C1D-4F7A-9B2E-5D4C3A2B1F60}: the hook's own extension, never sent.
const GUID kCallHookExtension = {0x8E0A3B52, 0x6C1D, 0x4F7A, {0x9B, 0x2E, 0x5D, 0x4C, 0x3A, 0x2B, 0x1F, 0x60}};

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

// `switches`: what COM is to start the server with.
int Register(const std::wstring& switches) {
    wchar_t path[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return 1;
    std::wstring clsid = L"CLSID\\" + ClsidText();
    bool ok = SetDefault(clsid, L"Krel out-of-process test server") == ERROR_SUCCESS &&
              SetDefault(clsid + L"\\LocalServer32", std::wstring(L"\"") + path + L"\"" + switches) ==
                  ERROR_SUCCESS &&
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

// "/Name" or "-Name"; with `value`, "/Name=<value>".
bool IsSwitch(const char* arg, const char* name, const char** value = nullptr) {
    if (*arg != '/' && *arg != '-') return false;
    const size_t n = std::strlen(name);
    if (!value) return _stricmp(arg + 1, name) == 0;
    if (_strnicmp(arg + 1, name, n) != 0 || arg[1 + n] != '=') return false;
    *value = arg + 2 + n;
    return true;
}

int main(int argc, char** argv) {
    bool regServer = false, badSwitch = false;
    std::wstring switches;  // the server's own switches, as COM is to start it
    const char* value = nullptr;
    for (int i = 1; i < argc; ++i) {
        const std::wstring wide = kit::WideFromAnsi(argv[i] + 1);
        if (IsSwitch(argv[i], "Da3Only")) {
            g_da3Only = true;
        } else if (IsSwitch(argv[i], "NoCallbacks")) {
            g_noCallbacks = true;
        } else if (IsSwitch(argv[i], "AllTypes")) {
            g_tagCount = kTagCount;
        } else if (IsSwitch(argv[i], "DelayMs", &value)) {
            char* end = nullptr;
            g_delayMs = std::strtoul(value, &end, 10);
            badSwitch = badSwitch || end == value || *end;
        } else if (IsSwitch(argv[i], "Hang", &value)) {
            g_hang = ParseCall(value, &g_hangIid, &g_hangMethod);
            badSwitch = badSwitch || !g_hang;
        } else {
            continue;
        }
        switches += L" -" + wide;
    }
    for (int i = 1; i < argc; ++i) {
        if (IsSwitch(argv[i], "Stop")) return Stop();
        if (IsSwitch(argv[i], "RegServer")) regServer = true;
        if (IsSwitch(argv[i], "UnregServer")) return Unregister();
    }
    if (badSwitch) return 4;
    if (regServer) return Register(switches);
    kit::ComInit com(COINIT_MULTITHREADED);
    if (FAILED(com.result())) return 2;
    fakeopc::TaskMemorySpy::Instance();  // counts from here on, for GetStatus
    kit::Handle stopping(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    g_stopping = stopping.get();
    static CallHook hook;
    if ((g_delayMs || g_hang) && FAILED(CoRegisterChannelHook(kCallHookExtension, &hook))) return 5;
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
            SetEvent(g_stopping);  // a held call ends and is answered
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
    // Not through CoUninitialize: the last object usually goes inside a client's
    // Release call, which is still returning when this thread wakes, and Wine's
    // CoUninitialize can wait for that call for ever (a server seen left behind,
    // its class revoked, holding up every later test). Nothing is left to tell.
    ExitProcess(0);
}
