// Serves the engine (with a provider that answers at once) and a minimal
// IOPCSyncIO object from one process, so the benchmark compares like with like:
// same process, same proxy, same call.
#include <windows.h>
#include <objbase.h>

#include <cstdio>
#include <cstring>

#include "KetraOPCServer.h"
#include "bench_shared.h"
#include "kit_com.h"
#include "opcda.h"

namespace {

class FastProvider final : public IValueProvider {
    KIT_VC_DESTRUCTOR_IMPL(FastProvider)
public:
    int ReadTag(const char*, FILETIME* timestamp, DWORD* quality, VARIANT* value) override {
        timestamp->dwLowDateTime = timestamp->dwHighDateTime = 0;
        *quality = 0xC0;
        if (value) {
            VariantClear(value);
            V_VT(value) = VT_R4;
            V_R4(value) = 1.5f;
        }
        return 0;
    }
};

// Answers Read from one stored value: the floor any server's Read can reach.
class MinimalSyncIO final : public IOPCSyncIO {
public:
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IOPCSyncIO)) {
            *out = static_cast<IOPCSyncIO*>(this);
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
    STDMETHODIMP Read(OPCDATASOURCE, DWORD count, OPCHANDLE*, OPCITEMSTATE** values, HRESULT** errors) override {
        *values = static_cast<OPCITEMSTATE*>(CoTaskMemAlloc(count * sizeof(OPCITEMSTATE)));
        *errors = static_cast<HRESULT*>(CoTaskMemAlloc(count * sizeof(HRESULT)));
        memset(*values, 0, count * sizeof(OPCITEMSTATE));
        for (DWORD i = 0; i < count; ++i) {
            (*values)[i].wQuality = 0xC0;
            GetSystemTimeAsFileTime(&(*values)[i].ftTimeStamp);
            V_VT(&(*values)[i].vDataValue) = VT_R4;
            V_R4(&(*values)[i].vDataValue) = 1.5f;
            (*errors)[i] = S_OK;
        }
        return S_OK;
    }
    STDMETHODIMP Write(DWORD, OPCHANDLE*, VARIANT*, HRESULT**) override { return E_NOTIMPL; }

private:
    LONG volatile ref_ = 1;
};

class MinimalFactory final : public IClassFactory {
public:
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IClassFactory)) {
            *out = static_cast<IClassFactory*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
        if (outer) return CLASS_E_NOAGGREGATION;
        MinimalSyncIO* o = new MinimalSyncIO;
        HRESULT hr = o->QueryInterface(iid, out);
        o->Release();
        return hr;
    }
    STDMETHODIMP LockServer(BOOL) override { return S_OK; }
};

}  // namespace

int main() {
    kit::Handle ready(CreateEventW(nullptr, TRUE, FALSE, BENCH_READY_EVENT));
    kit::Handle exitEvent(CreateEventW(nullptr, TRUE, FALSE, BENCH_EXIT_EVENT));
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    IOPCServerObject* engine = CreateNewOPCServerObject();
    FastProvider provider;
    if (!engine) return 1;
    engine->SetValueProvider(&provider);
    if (engine->Start(&CLSID_BenchEngine) != 0) return 2;
    for (int i = 0; i < 16; ++i) {
        char name[32];
        snprintf(name, sizeof(name), "Bench.T%02d", i);
        engine->AddTag(name, VT_R4, 1);
    }
    MinimalFactory factory;
    DWORD cookie = 0;
    if (FAILED(CoRegisterClassObject(CLSID_BenchMinimal, &factory, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &cookie)))
        return 3;
    SetEvent(ready.get());
    WaitForSingleObject(exitEvent.get(), 600000);
    CoRevokeClassObject(cookie);
    engine->Stop();
    DestroyOPCServerObject();
    CoUninitialize();
    return 0;
}
