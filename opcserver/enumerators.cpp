// Enumerators the engine hands out: browse results and group names (IEnumString),
// groups (IEnumUnknown), connections and connection points, and the items of a
// group (IEnumOPCItemAttributes). Each takes a snapshot when it is made; clones
// share the snapshot and keep their own position.
#include "engine.h"

namespace ketra {
namespace engine {

namespace {

struct StringTraits {
    typedef IEnumString Interface;
    typedef std::wstring Stored;
    typedef LPOLESTR Out;
    static const IID& Iid() { return IID_IEnumString; }
    static HRESULT Copy(Out* out, const Stored& s) {
        *out = CoTaskStrDup(s.c_str());
        return *out ? S_OK : E_OUTOFMEMORY;
    }
    static void Free(Out* out) { CoTaskMemFree(*out); *out = nullptr; }
};

struct UnknownTraits {
    typedef IEnumUnknown Interface;
    typedef kit::ComPtr<IUnknown> Stored;
    typedef IUnknown* Out;
    static const IID& Iid() { return IID_IEnumUnknown; }
    static HRESULT Copy(Out* out, const Stored& s) { *out = s.get(); if (*out) (*out)->AddRef(); return S_OK; }
    static void Free(Out* out) { if (*out) (*out)->Release(); *out = nullptr; }
};

struct ConnectionTraits {
    typedef IEnumConnections Interface;
    typedef Connection Stored;
    typedef CONNECTDATA Out;
    static const IID& Iid() { return IID_IEnumConnections; }
    static HRESULT Copy(Out* out, const Stored& s) {
        out->pUnk = s.sink.get();
        out->dwCookie = s.cookie;
        if (out->pUnk) out->pUnk->AddRef();
        return S_OK;
    }
    static void Free(Out* out) { if (out->pUnk) out->pUnk->Release(); out->pUnk = nullptr; }
};

struct PointTraits {
    typedef IEnumConnectionPoints Interface;
    typedef kit::ComPtr<IConnectionPoint> Stored;
    typedef IConnectionPoint* Out;
    static const IID& Iid() { return IID_IEnumConnectionPoints; }
    static HRESULT Copy(Out* out, const Stored& s) { *out = s.get(); if (*out) (*out)->AddRef(); return S_OK; }
    static void Free(Out* out) { if (*out) (*out)->Release(); *out = nullptr; }
};

template <class Traits>
class CEnum final : public Traits::Interface {
public:
    typedef typename Traits::Interface Interface;
    typedef std::vector<typename Traits::Stored> Items;

    CEnum(std::shared_ptr<const Items> items, size_t pos) : ref_(1), items_(std::move(items)), pos_(pos) {}
    virtual ~CEnum() {}

    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        if (!out) return E_POINTER;
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, Traits::Iid())) {
            *out = static_cast<Interface*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&ref_)); }
    STDMETHODIMP_(ULONG) Release() override {
        LONG n = InterlockedDecrement(&ref_);
        if (n == 0) delete this;
        return static_cast<ULONG>(n);
    }

    STDMETHODIMP Next(ULONG count, typename Traits::Out* out, ULONG* fetched) override {
        if (!out) return E_POINTER;
        if (count != 1 && !fetched) return E_POINTER;
        kit::CritSecLock lock(lock_);
        ULONG n = 0;
        while (n < count && pos_ < items_->size()) {
            HRESULT hr = Traits::Copy(&out[n], (*items_)[pos_]);
            if (FAILED(hr)) {
                while (n > 0) Traits::Free(&out[--n]);
                if (fetched) *fetched = 0;
                return hr;
            }
            ++n;
            ++pos_;
        }
        if (fetched) *fetched = n;
        return n == count ? S_OK : S_FALSE;
    }
    STDMETHODIMP Skip(ULONG count) override {
        kit::CritSecLock lock(lock_);
        size_t left = items_->size() - pos_;
        if (count > left) { pos_ = items_->size(); return S_FALSE; }
        pos_ += count;
        return S_OK;
    }
    STDMETHODIMP Reset() override {
        kit::CritSecLock lock(lock_);
        pos_ = 0;
        return S_OK;
    }
    STDMETHODIMP Clone(Interface** out) override {
        if (!out) return E_POINTER;
        kit::CritSecLock lock(lock_);
        *out = new (std::nothrow) CEnum(items_, pos_);
        return *out ? S_OK : E_OUTOFMEMORY;
    }

private:
    LONG volatile ref_;
    ServerProcessRef process_;
    std::shared_ptr<const Items> items_;
    kit::CritSec lock_;
    size_t pos_;
};

template <class Traits, class Out>
HRESULT MakeEnum(const std::vector<typename Traits::Stored>& items, Out** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    try {
        auto shared = std::make_shared<const std::vector<typename Traits::Stored>>(items);
        *out = new CEnum<Traits>(shared, 0);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

// The items of a group. OPCITEMATTRIBUTES carries strings and a blob the client
// frees, so each Next copies into fresh task memory.
class CItemAttributesEnum final : public IEnumOPCItemAttributes {
public:
    typedef std::vector<OPCITEMATTRIBUTES> Items;

    struct Owned {
        Items items;
        ~Owned() { for (OPCITEMATTRIBUTES& a : items) FreeItemAttributes(&a); }
    };

    CItemAttributesEnum(std::shared_ptr<Owned> items, size_t pos) : ref_(1), items_(std::move(items)), pos_(pos) {}

    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        if (!out) return E_POINTER;
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IEnumOPCItemAttributes)) {
            *out = static_cast<IEnumOPCItemAttributes*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&ref_)); }
    STDMETHODIMP_(ULONG) Release() override {
        LONG n = InterlockedDecrement(&ref_);
        if (n == 0) delete this;
        return static_cast<ULONG>(n);
    }

    STDMETHODIMP Next(ULONG count, OPCITEMATTRIBUTES** out, ULONG* fetched) override {
        if (!out || !fetched) return E_POINTER;
        *out = nullptr;
        *fetched = 0;
        kit::CritSecLock lock(lock_);
        size_t left = items_->items.size() - pos_;
        ULONG n = count < left ? count : static_cast<ULONG>(left);
        if (n > 0) {
            OPCITEMATTRIBUTES* array =
                static_cast<OPCITEMATTRIBUTES*>(CoTaskMemAlloc(n * sizeof(OPCITEMATTRIBUTES)));
            if (!array) return E_OUTOFMEMORY;
            memset(array, 0, n * sizeof(OPCITEMATTRIBUTES));
            for (ULONG i = 0; i < n; ++i) {
                const OPCITEMATTRIBUTES& src = items_->items[pos_ + i];
                array[i] = src;
                array[i].szAccessPath = CoTaskStrDup(src.szAccessPath);
                array[i].szItemID = CoTaskStrDup(src.szItemID);
                array[i].pBlob = nullptr;
                array[i].dwBlobSize = 0;
                VariantInit(&array[i].vEUInfo);
                if (!array[i].szAccessPath || !array[i].szItemID) {
                    for (ULONG j = 0; j <= i; ++j) FreeItemAttributes(&array[j]);
                    CoTaskMemFree(array);
                    return E_OUTOFMEMORY;
                }
            }
            pos_ += n;
            *out = array;
        }
        *fetched = n;
        return n == count ? S_OK : S_FALSE;
    }
    STDMETHODIMP Skip(ULONG count) override {
        kit::CritSecLock lock(lock_);
        size_t left = items_->items.size() - pos_;
        if (count > left) { pos_ = items_->items.size(); return S_FALSE; }
        pos_ += count;
        return S_OK;
    }
    STDMETHODIMP Reset() override {
        kit::CritSecLock lock(lock_);
        pos_ = 0;
        return S_OK;
    }
    STDMETHODIMP Clone(IEnumOPCItemAttributes** out) override {
        if (!out) return E_POINTER;
        kit::CritSecLock lock(lock_);
        *out = new (std::nothrow) CItemAttributesEnum(items_, pos_);
        return *out ? S_OK : E_OUTOFMEMORY;
    }

private:
    virtual ~CItemAttributesEnum() {}
    LONG volatile ref_;
    ServerProcessRef process_;
    std::shared_ptr<Owned> items_;
    kit::CritSec lock_;
    size_t pos_;
};

}  // namespace

void FreeItemAttributes(OPCITEMATTRIBUTES* a) {
    CoTaskMemFree(a->szAccessPath);
    CoTaskMemFree(a->szItemID);
    CoTaskMemFree(a->pBlob);
    VariantClear(&a->vEUInfo);
    a->szAccessPath = a->szItemID = nullptr;
    a->pBlob = nullptr;
}

HRESULT NewStringEnum(const std::vector<std::wstring>& items, IEnumString** out) {
    return MakeEnum<StringTraits>(items, out);
}

HRESULT NewUnknownEnum(const std::vector<kit::ComPtr<IUnknown>>& items, IEnumUnknown** out) {
    return MakeEnum<UnknownTraits>(items, out);
}

HRESULT NewConnectionsEnum(const std::vector<Connection>& items, IEnumConnections** out) {
    return MakeEnum<ConnectionTraits>(items, out);
}

HRESULT NewConnectionPointsEnum(const std::vector<kit::ComPtr<IConnectionPoint>>& items,
                                IEnumConnectionPoints** out) {
    return MakeEnum<PointTraits>(items, out);
}

HRESULT NewItemAttributesEnum(std::vector<OPCITEMATTRIBUTES>&& items, IEnumOPCItemAttributes** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    auto owned = std::make_shared<CItemAttributesEnum::Owned>();
    owned->items = std::move(items);
    *out = new (std::nothrow) CItemAttributesEnum(owned, 0);
    return *out ? S_OK : E_OUTOFMEMORY;
}

}  // namespace engine
}  // namespace ketra
