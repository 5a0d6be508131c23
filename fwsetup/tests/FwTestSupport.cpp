#include "FwTestSupport.h"

#include <objidl.h>

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <map>

#include "kit_com.h"

namespace fwtest {

namespace {

// Sees every CoTaskMemAlloc/CoTaskMemFree of the process; remembers the blocks
// allocated while watching, with their requested sizes.
class MallocSpy : public IMallocSpy {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IMallocSpy)) {
            *ppv = static_cast<IMallocSpy*>(this);
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }

    SIZE_T STDMETHODCALLTYPE PreAlloc(SIZE_T cb) override {
        kit::CritSecLock lock(cs_);
        pending_[GetCurrentThreadId()] = cb;
        return cb;
    }
    void* STDMETHODCALLTYPE PostAlloc(void* actual) override {
        kit::CritSecLock lock(cs_);
        SIZE_T cb = pending_[GetCurrentThreadId()];
        if (watching_ && actual) blocks_[actual] = cb;
        return actual;
    }
    void* STDMETHODCALLTYPE PreFree(void* request, BOOL) override {
        kit::CritSecLock lock(cs_);
        blocks_.erase(request);
        return request;
    }
    void STDMETHODCALLTYPE PostFree(BOOL) override {}
    SIZE_T STDMETHODCALLTYPE PreRealloc(void* request, SIZE_T cb, void** newRequest, BOOL) override {
        kit::CritSecLock lock(cs_);
        blocks_.erase(request);
        pending_[GetCurrentThreadId()] = cb;
        *newRequest = request;
        return cb;
    }
    void* STDMETHODCALLTYPE PostRealloc(void* actual, BOOL) override { return PostAlloc(actual); }
    void* STDMETHODCALLTYPE PreGetSize(void* request, BOOL) override { return request; }
    SIZE_T STDMETHODCALLTYPE PostGetSize(SIZE_T cb, BOOL) override { return cb; }
    void* STDMETHODCALLTYPE PreDidAlloc(void* request, BOOL) override { return request; }
    int STDMETHODCALLTYPE PostDidAlloc(void*, BOOL, int actual) override { return actual; }
    void STDMETHODCALLTYPE PreHeapMinimize() override {}
    void STDMETHODCALLTYPE PostHeapMinimize() override {}

    void Start() {
        kit::CritSecLock lock(cs_);
        blocks_.clear();
        watching_ = true;
    }

    // Blocks laid out as a BSTR: a byte length, that many bytes of text without
    // a zero character, and the terminator, all inside the block. The text starts
    // pointer-aligned, so on 64-bit four bytes of padding come before the length.
    std::vector<std::wstring> Leftovers() {
        const size_t textAt = sizeof(void*), lengthAt = textAt - sizeof(DWORD);
        kit::CritSecLock lock(cs_);
        std::vector<std::wstring> found;
        for (const auto& b : blocks_) {
            if (b.second < textAt + sizeof(wchar_t)) continue;
            DWORD bytes;
            std::memcpy(&bytes, static_cast<const char*>(b.first) + lengthAt, sizeof bytes);
            if (bytes == 0 || bytes % 2 != 0 || bytes + textAt + sizeof(wchar_t) > b.second) continue;
            const wchar_t* text = reinterpret_cast<const wchar_t*>(static_cast<const char*>(b.first) + textAt);
            const size_t chars = bytes / 2;
            if (text[chars] != L'\0' || std::find(text, text + chars, L'\0') != text + chars) continue;
            found.emplace_back(text, chars);
        }
        return found;
    }

private:
    kit::CritSec cs_;
    bool watching_ = false;
    std::map<DWORD, SIZE_T> pending_;
    std::map<void*, SIZE_T> blocks_;
};

MallocSpy g_spy;

}  // namespace

bool InstallBstrWatch() {
    // oleaut32 keeps freed BSTRs in a cache instead of freeing them; without
    // the cache a freed BSTR reaches CoTaskMemFree, where the spy sees it.
    typedef void(WINAPI * SetOaNoCacheFn)();
    HMODULE oleaut = GetModuleHandleA("oleaut32.dll");
    SetOaNoCacheFn noCache =
        oleaut ? reinterpret_cast<SetOaNoCacheFn>(reinterpret_cast<void*>(GetProcAddress(oleaut, "SetOaNoCache")))
               : nullptr;
    if (!noCache) return false;
    noCache();
    return SUCCEEDED(CoRegisterMallocSpy(&g_spy));
}

void StartBstrWatch() { g_spy.Start(); }

std::vector<std::wstring> LeftoverBstrs() { return g_spy.Leftovers(); }

bool ReportsPreVista() {
    OSVERSIONINFOEXA wanted;
    ZeroMemory(&wanted, sizeof(wanted));
    wanted.dwOSVersionInfoSize = sizeof(wanted);
    wanted.dwMajorVersion = 6;
    DWORDLONG condition = 0;
    condition = VerSetConditionMask(condition, VER_MAJORVERSION, VER_GREATER_EQUAL);
    condition = VerSetConditionMask(condition, VER_MINORVERSION, VER_GREATER_EQUAL);
    condition = VerSetConditionMask(condition, VER_SERVICEPACKMAJOR, VER_GREATER_EQUAL);
    return !VerifyVersionInfoA(&wanted, VER_MAJORVERSION | VER_MINORVERSION | VER_SERVICEPACKMAJOR, condition);
}

Bench::Bench() { fw.RegisterClasses(); }

Bench::~Bench() { fw.RevokeClasses(); }

int Bench::Run(const std::function<int()>& call) {
    StartBstrWatch();
    const size_t problemsBefore = fw.problems.size();
    const size_t createdBefore = fw.created.size();
    const size_t releasedBefore = fw.released.size();
    const int result = call();

    EXPECT_EQ(0u, fw.OutstandingReferences()) << "interface references left on the fakes";
    std::vector<std::wstring> created(fw.created.begin() + createdBefore, fw.created.end());
    std::vector<std::wstring> released(fw.released.begin() + releasedBefore, fw.released.end());
    std::reverse(created.begin(), created.end());
    EXPECT_EQ(fwfake::Joined(created), fwfake::Joined(released)) << "not released in reverse order of acquisition";
    std::vector<std::wstring> problems(fw.problems.begin() + problemsBefore, fw.problems.end());
    EXPECT_EQ(L"", fwfake::Joined(problems));
    EXPECT_EQ(L"", fwfake::Joined(LeftoverBstrs())) << "BSTRs not freed";
    return result;
}

void FwTest::SetUp() {
    ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
}

void FwTest::TearDown() {
    CoUninitialize();
    // Balanced: the thread is back to no apartment at all. A missing
    // CoUninitialize in FwSetup would leave it a single-threaded apartment.
    HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    EXPECT_EQ(S_OK, hr) << "COM initialisation of the thread not balanced";
    if (SUCCEEDED(hr)) CoUninitialize();
    if (hr == RPC_E_CHANGED_MODE) CoUninitialize();  // leave the next test a clean thread
}

std::vector<std::wstring> Calls(const std::vector<Step>& steps, size_t count) {
    std::vector<std::wstring> calls;
    for (size_t i = 0; i < count && i < steps.size(); ++i) calls.push_back(steps[i].call);
    return calls;
}

void CheckEveryStep(const std::vector<Step>& steps, const std::function<void(fwfake::Firewall&)>& prepare,
                    const std::function<int()>& call,
                    const std::function<void(const fwfake::Firewall&, size_t)>& verifyAfterFailure) {
    {
        SCOPED_TRACE("no failure");
        Bench bench;
        prepare(bench.fw);
        EXPECT_EQ(0, bench.Run(call));
        EXPECT_EQ(fwfake::Joined(Calls(steps, steps.size())), fwfake::Joined(bench.fw.calls));
    }
    for (size_t k = 0; k < steps.size(); ++k) {
        if (steps[k].code == 0) continue;
        const fwfake::FailMode modes[] = {fwfake::FailMode::Error, fwfake::FailMode::NullObject};
        for (fwfake::FailMode mode : modes) {
            if (mode == fwfake::FailMode::NullObject && !steps[k].object) continue;
            std::string trace = "failing ";
            for (const wchar_t* c = steps[k].call; *c; ++c) trace += static_cast<char>(*c);
            trace += mode == fwfake::FailMode::Error ? " with an error" : " with no object";
            SCOPED_TRACE(trace);
            Bench bench;
            prepare(bench.fw);
            bench.fw.FailAt(steps[k].call, mode);
            EXPECT_EQ(steps[k].code, bench.Run(call));
            EXPECT_EQ(fwfake::Joined(Calls(steps, k + 1)), fwfake::Joined(bench.fw.calls));
            verifyAfterFailure(bench.fw, k);
        }
    }
}

}  // namespace fwtest
