// The class object Start publishes: every CreateInstance is a new OPC server
// object of its own (own groups, own browse position).
#include "engine.h"

namespace ketra {
namespace engine {

namespace {

class CClassFactory final : public IClassFactory {
public:
    explicit CClassFactory(const std::shared_ptr<EngineCore>& core) : ref_(1), core_(core) {}

    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        if (!out) return E_POINTER;
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IClassFactory)) {
            *out = static_cast<IClassFactory*>(this);
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

    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID iid, void** out) override try {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        if (!core_->running) return CO_E_SERVER_STOPPING;
        return CreateServerObject(core_, iid, out);
    }
    ENGINE_CATCH_ALL
    STDMETHODIMP LockServer(BOOL lock) override {
        if (lock)
            CoAddRefServerProcess();
        else
            CoReleaseServerProcess();
        return S_OK;
    }

private:
    virtual ~CClassFactory() {}
    LONG volatile ref_;
    std::shared_ptr<EngineCore> core_;
};

}  // namespace

IClassFactory* NewClassFactory(const std::shared_ptr<EngineCore>& core) {
    return new (std::nothrow) CClassFactory(core);
}

}  // namespace engine
}  // namespace ketra
