#include "ServerList.h"

#include <memory>
#include <new>
#include <string>
#include <vector>

#include "ClassRegistry.h"
#include "kit_com.h"
#include "opccomn.h"

namespace krelenum {

namespace {

// Neither COM nor a client can catch a C++ exception: none may leave a method.
#define ENUM_CATCH_ALL                                       \
    catch (const std::bad_alloc&) { return E_OUTOFMEMORY; } \
    catch (...) { return E_UNEXPECTED; }

// The IUnknown of an object with two interfaces, the first of which is also its
// IUnknown; it is born with the one reference its creator hands on.
template <class First, class Second>
class TwoInterfaces : public First, public Second {
public:
    TwoInterfaces(const IID& first, const IID& second) : first_(first), second_(second) {}
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, first_))
            *out = static_cast<First*>(this);
        else if (IsEqualIID(iid, second_))
            *out = static_cast<Second*>(this);
        else
            return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&refs_)); }
    STDMETHODIMP_(ULONG) Release() override {
        LONG n = InterlockedDecrement(&refs_);
        if (n == 0) delete this;
        return static_cast<ULONG>(n);
    }

protected:
    virtual ~TwoInterfaces() {}

private:
    LONG volatile refs_ = 1;
    const IID& first_;
    const IID& second_;
};

// The classes of one EnumClassesOfCategories call and a position in them. The two
// interfaces have the same methods; each Clone answers with its caller's own.
class CEnumClasses final : public TwoInterfaces<IOPCEnumGUID, IEnumGUID> {
public:
    CEnumClasses(std::shared_ptr<const std::vector<CLSID>> classes, size_t pos)
        : TwoInterfaces(IID_IOPCEnumGUID, IID_IEnumGUID), classes_(std::move(classes)), pos_(pos) {}

    STDMETHODIMP Next(ULONG celt, GUID* rgelt, ULONG* fetched) override {
        if (fetched) *fetched = 0;
        if (celt == 0) return S_OK;
        if (!rgelt) return E_POINTER;
        if (!fetched && celt != 1) return E_INVALIDARG;  // the caller could not learn how many came
        kit::CritSecLock lock(lock_);
        ULONG n = 0;
        while (n < celt && pos_ < classes_->size()) rgelt[n++] = (*classes_)[pos_++];
        if (fetched) *fetched = n;
        return n == celt ? S_OK : S_FALSE;
    }
    STDMETHODIMP Skip(ULONG celt) override {
        kit::CritSecLock lock(lock_);
        const size_t left = classes_->size() - pos_;
        if (celt > left) {
            pos_ = classes_->size();
            return S_FALSE;
        }
        pos_ += celt;
        return S_OK;
    }
    STDMETHODIMP Reset() override {
        kit::CritSecLock lock(lock_);
        pos_ = 0;
        return S_OK;
    }
    STDMETHODIMP Clone(IOPCEnumGUID** out) override { return CloneAs(out); }
    STDMETHODIMP Clone(IEnumGUID** out) override { return CloneAs(out); }

private:
    template <class I>
    HRESULT CloneAs(I** out) {
        if (!out) return E_POINTER;
        kit::CritSecLock lock(lock_);
        CEnumClasses* copy = new (std::nothrow) CEnumClasses(classes_, pos_);
        *out = copy;  // the new object's one reference is the caller's
        return copy ? S_OK : E_OUTOFMEMORY;
    }

    std::shared_ptr<const std::vector<CLSID>> classes_;
    size_t pos_;
    kit::CritSec lock_;
};

// A task-memory copy of a string for an [out] parameter.
HRESULT CoTaskCopy(const std::wstring& text, kit::CoTaskString* out) {
    const size_t bytes = (text.size() + 1) * sizeof(wchar_t);
    wchar_t* copy = static_cast<wchar_t*>(CoTaskMemAlloc(bytes));
    if (!copy) return E_OUTOFMEMORY;
    memcpy(copy, text.c_str(), bytes);
    *out->put() = copy;
    return S_OK;
}

class CServerList final : public TwoInterfaces<IOPCServerList2, IOPCServerList> {
public:
    CServerList() : TwoInterfaces(IID_IOPCServerList2, IID_IOPCServerList) {}

    STDMETHODIMP EnumClassesOfCategories(ULONG cImplemented, CATID* rgcatidImpl, ULONG cRequired,
                                         CATID* rgcatidReq, IOPCEnumGUID** out) override {
        return Enumerate(cImplemented, rgcatidImpl, cRequired, rgcatidReq, out);
    }
    STDMETHODIMP EnumClassesOfCategories(ULONG cImplemented, CATID* rgcatidImpl, ULONG cRequired,
                                         CATID* rgcatidReq, IEnumGUID** out) override {
        return Enumerate(cImplemented, rgcatidImpl, cRequired, rgcatidReq, out);
    }

    STDMETHODIMP GetClassDetails(REFCLSID clsid, LPOLESTR* progId, LPOLESTR* userType) override {
        LPOLESTR verIndProgId = nullptr;
        HRESULT hr = GetClassDetails(clsid, progId, userType, &verIndProgId);
        CoTaskMemFree(verIndProgId);
        return hr;
    }
    STDMETHODIMP GetClassDetails(REFCLSID clsid, LPOLESTR* progId, LPOLESTR* userType,
                                 LPOLESTR* verIndProgId) override try {
        if (progId) *progId = nullptr;
        if (userType) *userType = nullptr;
        if (verIndProgId) *verIndProgId = nullptr;
        if (!progId || !userType || !verIndProgId) return E_INVALIDARG;
        std::wstring prog, type, independent;
        HRESULT hr = ClassDetails(clsid, &prog, &type, &independent);
        if (FAILED(hr)) return hr;
        // Nothing reaches the caller unless all three strings do.
        kit::CoTaskString a, b, c;
        if (FAILED(hr = CoTaskCopy(prog, &a)) || FAILED(hr = CoTaskCopy(type, &b)) ||
            FAILED(hr = CoTaskCopy(independent, &c)))
            return hr;
        *progId = a.Detach();
        *userType = b.Detach();
        *verIndProgId = c.Detach();
        return S_OK;
    }
    ENUM_CATCH_ALL

    // One method for both interfaces: their slots have the same signature.
    STDMETHODIMP CLSIDFromProgID(LPCOLESTR progId, LPCLSID clsid) override {
        if (!clsid) return E_INVALIDARG;
        *clsid = GUID_NULL;
        if (!progId) return E_INVALIDARG;
        return ClassFromProgId(progId, clsid);
    }

private:
    template <class I>
    HRESULT Enumerate(ULONG cImplemented, const CATID* implemented, ULONG cRequired, const CATID* required,
                      I** out) try {
        if (!out) return E_POINTER;
        *out = nullptr;
        const ULONG kAll = static_cast<ULONG>(-1);
        if ((cImplemented != kAll && cImplemented != 0 && !implemented) ||
            (cRequired != kAll && cRequired != 0 && !required))
            return E_INVALIDARG;
        CategoryFilter filter;
        filter.anyImplemented = cImplemented == 0 || cImplemented == kAll;
        if (!filter.anyImplemented) filter.implemented.assign(implemented, implemented + cImplemented);
        filter.anyRequired = cRequired == kAll;
        if (!filter.anyRequired && cRequired) filter.required.assign(required, required + cRequired);
        auto classes = std::make_shared<std::vector<CLSID>>();
        HRESULT hr = ClassesOfCategories(filter, classes.get());
        if (FAILED(hr)) return hr;
        *out = new CEnumClasses(std::move(classes), 0);
        return S_OK;
    }
    ENUM_CATCH_ALL
};

// One class object for the life of the process: its count does not govern it.
class CServerListFactory final : public IClassFactory {
public:
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        if (!out) return E_POINTER;
        *out = IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IClassFactory) ? this : nullptr;
        return *out ? S_OK : E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }

    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        kit::ComPtr<IOPCServerList2> list;
        list.Attach(new (std::nothrow) CServerList);
        if (!list) return E_OUTOFMEMORY;
        return list->QueryInterface(iid, out);
    }
    // The service, not its clients, decides how long the process runs.
    STDMETHODIMP LockServer(BOOL) override { return S_OK; }
};

}  // namespace

IClassFactory* ServerListFactory() {
    static CServerListFactory factory;
    return &factory;
}

}  // namespace krelenum
