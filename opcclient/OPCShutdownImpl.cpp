#include "OPCClient.h"

COPCShutdownImpl::COPCShutdownImpl(COPCReceiveData** slot)
    : receiverSlot(slot), cookie(0), refCount(0) {}

COPCShutdownImpl::~COPCShutdownImpl() {}

HRESULT STDMETHODCALLTYPE COPCShutdownImpl::QueryInterface(REFIID riid, void** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IOPCShutdown)) {
        *out = static_cast<IOPCShutdown*>(this);
        AddRef();
        return S_OK;
    }
    return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE COPCShutdownImpl::AddRef() { return static_cast<ULONG>(InterlockedIncrement(&refCount)); }

ULONG STDMETHODCALLTYPE COPCShutdownImpl::Release() {
    LONG n = InterlockedDecrement(&refCount);
    if (n == 0) delete this;
    return static_cast<ULONG>(n);
}

HRESULT STDMETHODCALLTYPE COPCShutdownImpl::ShutdownRequest(LPCWSTR reason) {
    std::string text = kit::AnsiFromWide(reason);
    // Held through the call, so that Detach waits for a request under way.
    kit::CritSecLock lock(detachLock);
    COPCReceiveData* receiver = receiverSlot ? *receiverSlot : nullptr;
    if (receiver)
        receiver->StateChanged(-1, text.c_str());
    else
        OutputDebugStringA("OPCClient ShutdownRequest CALLED !!!\n");
    return S_OK;
}

HRESULT COPCShutdownImpl::Advise(IOPCServer* server) {
    if (cookie != 0 || connectionPoint || !server) return E_FAIL;
    kit::ComPtr<IConnectionPointContainer> container;
    server->QueryInterface(IID_IConnectionPointContainer, container.put_void());
    if (!container) return E_FAIL;
    container->FindConnectionPoint(IID_IOPCShutdown, connectionPoint.put());
    if (!connectionPoint) return E_FAIL;
    return connectionPoint->Advise(static_cast<IOPCShutdown*>(this), &cookie);
}

void COPCShutdownImpl::Detach() {
    {
        kit::CritSecLock lock(detachLock);
        receiverSlot = nullptr;
    }
    // A server that could not be unadvised (its process died, the network went)
    // still has COM hold the sink for it; calls through that would come after
    // the engine is gone.
    CoDisconnectObject(static_cast<IOPCShutdown*>(this), 0);
}

void COPCShutdownImpl::Unadvise() {
    try {
        if (connectionPoint) {
            connectionPoint->Unadvise(cookie);
            cookie = 0;
        }
    } catch (...) {
    }
    cookie = 0;
    try {
        connectionPoint.Reset();
    } catch (...) {
    }
}
