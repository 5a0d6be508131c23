// IConnectionPoint for the server's IOPCShutdown point and each group's
// IOPCDataCallback point. Sinks are called outside the lock, from a snapshot,
// so a slow or dead client never blocks Advise/Unadvise of another.
#include "engine.h"

namespace ketra {
namespace engine {

CConnectionPoint::CConnectionPoint(IConnectionPointContainer* container, REFIID iid, DWORD maxConnections)
    : container_(container), iid_(iid), max_(maxConnections), nextCookie_(1) {}

CConnectionPoint::~CConnectionPoint() {}

// IUnknown

STDMETHODIMP CConnectionPoint::QueryInterface(REFIID iid, void** out) {
    if (!out) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IConnectionPoint)) {
        *out = static_cast<IConnectionPoint*>(this);
        AddRef();
        return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) CConnectionPoint::AddRef() { return container_->AddRef(); }

STDMETHODIMP_(ULONG) CConnectionPoint::Release() { return container_->Release(); }

// IConnectionPoint

STDMETHODIMP CConnectionPoint::GetConnectionInterface(IID* iid) try {
    if (!iid) return E_POINTER;
    *iid = iid_;
    return S_OK;
}
ENGINE_CATCH_ALL

STDMETHODIMP CConnectionPoint::GetConnectionPointContainer(IConnectionPointContainer** out) try {
    if (!out) return E_POINTER;
    *out = container_;
    container_->AddRef();
    return S_OK;
}
ENGINE_CATCH_ALL

STDMETHODIMP CConnectionPoint::Advise(IUnknown* sink, DWORD* cookie) try {
    if (!cookie) return E_POINTER;
    *cookie = 0;
    if (!sink) return E_POINTER;
    kit::ComPtr<IUnknown> typed;
    if (FAILED(sink->QueryInterface(iid_, typed.put_void())) || !typed) return CONNECT_E_CANNOTCONNECT;
    kit::CritSecLock lock(lock_);
    if (max_ && sinks_.size() >= max_) return CONNECT_E_ADVISELIMIT;
    DWORD c = nextCookie_++;
    sinks_[c] = typed;
    *cookie = c;
    return S_OK;
}
ENGINE_CATCH_ALL

STDMETHODIMP CConnectionPoint::Unadvise(DWORD cookie) try {
    kit::ComPtr<IUnknown> gone;
    {
        kit::CritSecLock lock(lock_);
        auto it = sinks_.find(cookie);
        if (it == sinks_.end()) return CONNECT_E_NOCONNECTION;
        gone = it->second;
        sinks_.erase(it);
    }
    return S_OK;  // `gone` is released outside the lock: it may be a remote call
}
ENGINE_CATCH_ALL

STDMETHODIMP CConnectionPoint::EnumConnections(IEnumConnections** out) try {
    if (!out) return E_POINTER;
    std::vector<Connection> list;
    {
        kit::CritSecLock lock(lock_);
        for (const auto& s : sinks_) list.push_back(Connection{s.first, s.second});
    }
    return NewConnectionsEnum(list, out);
}
ENGINE_CATCH_ALL

void CConnectionPoint::Sinks(std::vector<kit::ComPtr<IUnknown>>* sinks) {
    kit::CritSecLock lock(lock_);
    for (const auto& s : sinks_) sinks->push_back(s.second);
}

bool CConnectionPoint::HasSinks() {
    kit::CritSecLock lock(lock_);
    return !sinks_.empty();
}

void CConnectionPoint::DropAll(std::vector<kit::ComPtr<IUnknown>>* into) {
    std::map<DWORD, kit::ComPtr<IUnknown>> gone;
    {
        kit::CritSecLock lock(lock_);
        gone.swap(sinks_);
    }
    if (!into) return;
    try {
        for (auto& s : gone) into->push_back(std::move(s.second));
    } catch (const std::bad_alloc&) {
        // Out of memory: the rest are released here after all.
    }
}

}  // namespace engine
}  // namespace ketra
