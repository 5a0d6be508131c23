// Counts the task-memory blocks allocated while it is registered and not yet
// freed. BSTRs pass through it only with oleaut32's cache off (OANOCACHE=1).
//
// One spy serves the whole process and stays registered: COM refuses to revoke a
// spy while blocks it saw are live, so a leak in one test would otherwise leave
// the next test without a spy. Tests take a Mark() and count what is left since.
#ifndef KIT_FAKEOPC_TASKMEMORYSPY_H
#define KIT_FAKEOPC_TASKMEMORYSPY_H

#include <windows.h>
#include <objidl.h>

#include <map>

#include "kit_com.h"

namespace fakeopc {

class TaskMemorySpy : public IMallocSpy {
public:
    static TaskMemorySpy& Instance();
    TaskMemorySpy(const TaskMemorySpy&) = delete;
    TaskMemorySpy& operator=(const TaskMemorySpy&) = delete;

    // Whether the spy really sees CoTaskMemAlloc now (one probe block).
    bool Registered();
    unsigned long long Mark();
    size_t OutstandingSince(unsigned long long mark);

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
    TaskMemorySpy();
    std::map<void*, unsigned long long> live_;
    unsigned long long sequence_;
    bool registered_;
};

}  // namespace fakeopc

#endif
