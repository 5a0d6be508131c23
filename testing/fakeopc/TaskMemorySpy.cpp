#include "TaskMemorySpy.h"

namespace fakeopc {

TaskMemorySpy::TaskMemorySpy() : sequence_(0), registered_(false) {
    registered_ = SUCCEEDED(CoRegisterMallocSpy(this));
}

TaskMemorySpy& TaskMemorySpy::Instance() {
    // Never destroyed: COM may call it until the process ends.
    static TaskMemorySpy* spy = new TaskMemorySpy();
    return *spy;
}

bool TaskMemorySpy::Registered() {
    if (!registered_) return false;
    const unsigned long long mark = Mark();
    void* probe = CoTaskMemAlloc(1);
    const bool seen = OutstandingSince(mark) == 1;
    CoTaskMemFree(probe);
    return seen && OutstandingSince(mark) == 0;
}

unsigned long long TaskMemorySpy::Mark() {
    kit::CritSecLock lock(lock_);
    return sequence_;
}

size_t TaskMemorySpy::OutstandingSince(unsigned long long mark) {
    kit::CritSecLock lock(lock_);
    size_t n = 0;
    for (const auto& block : live_)
        if (block.second >= mark) ++n;
    return n;
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
        live_[actual] = sequence_++;
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
        live_[actual] = sequence_++;
    }
    return actual;
}

}  // namespace fakeopc
