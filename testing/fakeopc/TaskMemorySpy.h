// Counts the task-memory blocks allocated while it is registered and not yet
// freed. BSTRs do not pass through it (oleaut32 keeps its own cache).
#ifndef KIT_FAKEOPC_TASKMEMORYSPY_H
#define KIT_FAKEOPC_TASKMEMORYSPY_H

#include <windows.h>
#include <objidl.h>

#include <set>

#include "kit_com.h"

namespace fakeopc {

class TaskMemorySpy : public IMallocSpy {
public:
    TaskMemorySpy();
    ~TaskMemorySpy();
    TaskMemorySpy(const TaskMemorySpy&) = delete;
    TaskMemorySpy& operator=(const TaskMemorySpy&) = delete;

    bool Registered() const { return registered_; }
    size_t Outstanding();
    size_t Allocations();

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override;
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    SIZE_T STDMETHODCALLTYPE PreAlloc(SIZE_T cbRequest) override { return cbRequest; }
    void* STDMETHODCALLTYPE PostAlloc(void* actual) override;
    void* STDMETHODCALLTYPE PreFree(void* request, BOOL spyed) override;
    void STDMETHODCALLTYPE PostFree(BOOL) override {}
    SIZE_T STDMETHODCALLTYPE PreRealloc(void* request, SIZE_T cbRequest, void** newRequest, BOOL spyed) override;
    void* STDMETHODCALLTYPE PostRealloc(void* actual, BOOL spyed) override;
    void* STDMETHODCALLTYPE PreGetSize(void* request, BOOL) override { return request; }
    SIZE_T STDMETHODCALLTYPE PostGetSize(SIZE_T actual, BOOL) override { return actual; }
    void* STDMETHODCALLTYPE PreDidAlloc(void* request, BOOL) override { return request; }
    int STDMETHODCALLTYPE PostDidAlloc(void*, BOOL, int actual) override { return actual; }
    void STDMETHODCALLTYPE PreHeapMinimize() override {}
    void STDMETHODCALLTYPE PostHeapMinimize() override {}

private:
    kit::CritSec lock_;
    std::set<void*> live_;
    size_t allocations_;
    bool registered_;
};

}  // namespace fakeopc

#endif
