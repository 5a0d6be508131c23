// RAII holders for the COM and Win32 resources the kit touches. Every holder
// frees exactly once, on every path, so call sites never release by hand and an
// early return cannot leak a reference, a BSTR, a VARIANT or a task-memory block.
// Shared by every deliverable; keep it header-only and free of compiler-specific
// constructs (it must build with MinGW-w64 and Visual C++ alike).
#ifndef KIT_COM_H
#define KIT_COM_H

#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

#include <cstdarg>
#include <cstdio>
#include <string>
#include <utility>

namespace kit {

// A counted interface reference. put() hands out the slot for an [out] parameter
// after releasing whatever the holder had.
template <class T>
class ComPtr {
public:
    ComPtr() : p_(nullptr) {}
    ComPtr(T* p) : p_(p) { if (p_) p_->AddRef(); }  // NOLINT: implicit from raw like CComPtr
    ComPtr(const ComPtr& o) : p_(o.p_) { if (p_) p_->AddRef(); }
    ComPtr(ComPtr&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    ~ComPtr() { Reset(); }
    ComPtr& operator=(const ComPtr& o) { if (this != &o) { ComPtr tmp(o); Swap(tmp); } return *this; }
    ComPtr& operator=(ComPtr&& o) noexcept { if (this != &o) { Reset(); p_ = o.p_; o.p_ = nullptr; } return *this; }
    ComPtr& operator=(T* p) { ComPtr tmp(p); Swap(tmp); return *this; }

    void Reset() { if (p_) { T* p = p_; p_ = nullptr; p->Release(); } }
    void Attach(T* p) { Reset(); p_ = p; }
    T* Detach() { T* p = p_; p_ = nullptr; return p; }
    void Swap(ComPtr& o) { std::swap(p_, o.p_); }
    T** put() { Reset(); return &p_; }
    void** put_void() { Reset(); return reinterpret_cast<void**>(&p_); }
    IUnknown** put_unknown() { Reset(); return reinterpret_cast<IUnknown**>(&p_); }
    T* get() const { return p_; }
    T* operator->() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }

    // QueryInterface into another holder; the holder is emptied on failure.
    template <class U>
    HRESULT As(REFIID iid, ComPtr<U>& out) const {
        if (!p_) { out.Reset(); return E_POINTER; }
        return p_->QueryInterface(iid, out.put_void());
    }

private:
    T* p_;
};

class Bstr {
public:
    Bstr() : s_(nullptr) {}
    explicit Bstr(const wchar_t* s) : s_(s ? SysAllocString(s) : nullptr) {}
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    Bstr(Bstr&& o) noexcept : s_(o.s_) { o.s_ = nullptr; }
    ~Bstr() { Reset(); }
    void Reset() { if (s_) { SysFreeString(s_); s_ = nullptr; } }
    BSTR* put() { Reset(); return &s_; }
    BSTR get() const { return s_; }
    BSTR Detach() { BSTR s = s_; s_ = nullptr; return s; }
    UINT Length() const { return s_ ? SysStringLen(s_) : 0; }
private:
    BSTR s_;
};

class Variant {
public:
    Variant() { VariantInit(&v_); }
    Variant(const Variant&) = delete;
    Variant& operator=(const Variant&) = delete;
    ~Variant() { VariantClear(&v_); }
    void Clear() { VariantClear(&v_); }
    VARIANT* get() { return &v_; }
    const VARIANT* get() const { return &v_; }
    VARIANT* operator->() { return &v_; }
    const VARIANT* operator->() const { return &v_; }
    // Hands the value over to a caller-owned VARIANT (whose old content is cleared).
    void MoveTo(VARIANT* dst) { VariantClear(dst); *dst = v_; VariantInit(&v_); }
private:
    VARIANT v_;
};

// An array (or single struct) allocated by a COM callee with CoTaskMemAlloc.
// Embedded strings, blobs and variants are the owner's job before this goes.
template <class T>
class CoTaskArray {
public:
    CoTaskArray() : p_(nullptr) {}
    explicit CoTaskArray(T* p) : p_(p) {}
    CoTaskArray(const CoTaskArray&) = delete;
    CoTaskArray& operator=(const CoTaskArray&) = delete;
    CoTaskArray(CoTaskArray&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    ~CoTaskArray() { Reset(); }
    void Reset() { if (p_) { CoTaskMemFree(p_); p_ = nullptr; } }
    T** put() { Reset(); return &p_; }
    T* get() const { return p_; }
    T* Detach() { T* p = p_; p_ = nullptr; return p; }
    T& operator[](size_t i) const { return p_[i]; }
    T* operator->() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
private:
    T* p_;
};

using CoTaskString = CoTaskArray<wchar_t>;

class CritSec {
public:
    CritSec() { InitializeCriticalSection(&cs_); }
    CritSec(const CritSec&) = delete;
    CritSec& operator=(const CritSec&) = delete;
    ~CritSec() { DeleteCriticalSection(&cs_); }
    void Enter() { EnterCriticalSection(&cs_); }
    void Leave() { LeaveCriticalSection(&cs_); }
private:
    CRITICAL_SECTION cs_;
};

class CritSecLock {
public:
    explicit CritSecLock(CritSec& cs) : cs_(cs) { cs_.Enter(); }
    CritSecLock(const CritSecLock&) = delete;
    CritSecLock& operator=(const CritSecLock&) = delete;
    ~CritSecLock() { cs_.Leave(); }
private:
    CritSec& cs_;
};

// A kernel handle; both NULL and INVALID_HANDLE_VALUE mean "none".
class Handle {
public:
    Handle() : h_(nullptr) {}
    explicit Handle(HANDLE h) : h_(h) {}
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    Handle(Handle&& o) noexcept : h_(o.h_) { o.h_ = nullptr; }
    ~Handle() { Reset(); }
    void Reset(HANDLE h = nullptr) {
        if (h_ && h_ != INVALID_HANDLE_VALUE) CloseHandle(h_);
        h_ = h;
    }
    HANDLE get() const { return h_; }
    HANDLE* put() { Reset(); return &h_; }
    explicit operator bool() const { return h_ && h_ != INVALID_HANDLE_VALUE; }
private:
    HANDLE h_;
};

class RegKey {
public:
    RegKey() : k_(nullptr) {}
    RegKey(const RegKey&) = delete;
    RegKey& operator=(const RegKey&) = delete;
    ~RegKey() { Reset(); }
    void Reset() { if (k_) { RegCloseKey(k_); k_ = nullptr; } }
    HKEY* put() { Reset(); return &k_; }
    HKEY get() const { return k_; }
    explicit operator bool() const { return k_ != nullptr; }
private:
    HKEY k_;
};

// COM initialisation of the current thread, undone only if it took effect.
class ComInit {
public:
    explicit ComInit(DWORD model = COINIT_MULTITHREADED) : hr_(CoInitializeEx(nullptr, model)) {}
    ComInit(const ComInit&) = delete;
    ComInit& operator=(const ComInit&) = delete;
    ~ComInit() { if (SUCCEEDED(hr_)) CoUninitialize(); }
    HRESULT result() const { return hr_; }
private:
    HRESULT hr_;
};

// Narrow text crosses the kit's boundaries in the calling thread's ANSI code page.
inline std::wstring WideFromAnsi(const char* s) {
    if (!s || !*s) return std::wstring();
    int n = MultiByteToWideChar(CP_THREAD_ACP, 0, s, -1, nullptr, 0);
    if (n <= 0) return std::wstring();
    std::wstring w(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_THREAD_ACP, 0, s, -1, &w[0], n);
    w.resize(static_cast<size_t>(n - 1));
    return w;
}

// printf into a string, for the short lines the kit shows (cut at 1,023 characters).
#if defined(__GNUC__)
inline std::string Format(const char* format, ...) __attribute__((format(gnu_printf, 1, 2)));
#endif
inline std::string Format(const char* format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return n < 0 ? std::string() : std::string(text);
}

inline std::string AnsiFromWide(const wchar_t* w) {
    if (!w || !*w) return std::string();
    int n = WideCharToMultiByte(CP_THREAD_ACP, 0, w, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 0) return std::string();
    std::string s(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_THREAD_ACP, 0, w, -1, &s[0], n, nullptr, nullptr);
    s.resize(static_cast<size_t>(n - 1));
    return s;
}

}  // namespace kit

#endif
