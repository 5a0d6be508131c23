#include "TaskMemorySpy.h"

namespace fakeopc {

TaskMemorySpy::TaskMemorySpy() : allocations_(0), registered_(false) {
    registered_ = SUCCEEDED(CoRegisterMallocSpy(this));
}

TaskMemorySpy::~TaskMemorySpy() {
    if (registered_) CoRevokeMallocSpy();
}

size_t TaskMemorySpy::Outstanding() {
    kit::CritSecLock lock(lock_);
    return live_.size();
}

size_t TaskMemorySpy::Allocations() {
    kit::CritSecLock lock(lock_);
    return allocations_;
}

HRESULT STDMETHODCALLTYPE TaskMemorySpy::QueryInterface(REFIID riid, void** out) {
    if (!out) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IMallocSpy)) {
        *out = static_cast<IMallocSpy*>(this);
        return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
}

void* STDMETHODCALLTYPE TaskMemorySpy::PostAlloc(void* actual) {
    if (actual) {
        kit::CritSecLock lock(lock_);
        live_.insert(actual);
        ++allocations_;
    }
    return actual;
}

void* STDMETHODCALLTYPE TaskMemorySpy::PreFree(void* request, BOOL) {
    if (request) {
        kit::CritSecLock lock(lock_);
        live_.erase(request);
    }
    return request;
}

SIZE_T STDMETHODCALLTYPE TaskMemorySpy::PreRealloc(void* request, SIZE_T cbRequest, void** newRequest, BOOL) {
    if (request) {
        kit::CritSecLock lock(lock_);
        live_.erase(request);
    }
    *newRequest = request;
    return cbRequest;
}

void* STDMETHODCALLTYPE TaskMemorySpy::PostRealloc(void* actual, BOOL) {
    if (actual) {
        kit::CritSecLock lock(lock_);
        live_.insert(actual);
        ++allocations_;
    }
    return actual;
}

}  // namespace fakeopc
