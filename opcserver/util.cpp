// Small helpers of the engine: time, task-memory strings, value conversion,
// browse filters and the texts of the OPC result codes.
#include "engine.h"

#include <cwchar>

namespace ketra {
namespace engine {

const wchar_t kVendorInfo[] = L"Ketra OPC Krel Server 3.0";

FILETIME NowFileTime() {
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    return ft;
}

ULONGLONG NowMs() {
    static LARGE_INTEGER frequency;
    if (frequency.QuadPart == 0) QueryPerformanceFrequency(&frequency);
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<ULONGLONG>(now.QuadPart / (frequency.QuadPart / 1000));
}

wchar_t* CoTaskStrDup(const wchar_t* s) {
    if (!s) s = L"";
    size_t bytes = (wcslen(s) + 1) * sizeof(wchar_t);
    wchar_t* p = static_cast<wchar_t*>(CoTaskMemAlloc(bytes));
    if (p) memcpy(p, s, bytes);
    return p;
}

HRESULT ConvertValue(VARIANT* dst, const VARIANT* src, VARTYPE requested) {
    VariantClear(dst);
    if (requested == VT_EMPTY || requested == V_VT(src))
        return VariantCopy(dst, const_cast<VARIANT*>(src));
    return VariantChangeType(dst, const_cast<VARIANT*>(src), 0, requested);
}

bool TypeConvertible(VARTYPE canonical, VARTYPE requested) {
    if (requested == VT_EMPTY || requested == canonical) return true;
    kit::Variant sample;
    if (canonical == VT_BSTR) {
        // An empty text converts to nothing numeric; a digit shows the real rule.
        V_VT(sample.get()) = VT_BSTR;
        V_BSTR(sample.get()) = SysAllocString(L"0");
    } else {
        V_VT(sample.get()) = VT_I4;
        V_I4(sample.get()) = 0;
        kit::Variant typed;
        if (FAILED(VariantChangeType(typed.get(), sample.get(), 0, canonical))) return false;
        typed.MoveTo(sample.get());
    }
    kit::Variant out;
    return SUCCEEDED(VariantChangeType(out.get(), sample.get(), 0, requested));
}

bool SameValue(const VARIANT& a, const VARIANT& b) {
    if (V_VT(&a) != V_VT(&b)) return false;
    if (V_VT(&a) == VT_EMPTY || V_VT(&a) == VT_NULL) return true;
    if (V_VT(&a) & VT_ARRAY) return false;
    return VarCmp(const_cast<VARIANT*>(&a), const_cast<VARIANT*>(&b), LOCALE_USER_DEFAULT, 0) ==
           static_cast<HRESULT>(VARCMP_EQ);
}

namespace {

bool MatchSet(const wchar_t*& p, wchar_t c) {
    // p points after '['; leaves p after ']'.
    bool negate = false, hit = false;
    if (*p == L'!') { negate = true; ++p; }
    while (*p && *p != L']') {
        wchar_t lo = *p++;
        wchar_t hi = lo;
        if (*p == L'-' && p[1] && p[1] != L']') { hi = p[1]; p += 2; }
        if (c >= lo && c <= hi) hit = true;
    }
    if (*p == L']') ++p;
    return hit != negate;
}

bool Match(const wchar_t* t, const wchar_t* p) {
    while (*p) {
        if (*p == L'*') {
            while (*p == L'*') ++p;
            if (!*p) return true;
            for (; *t; ++t)
                if (Match(t, p)) return true;
            return false;
        }
        if (!*t) return false;
        if (*p == L'?') { ++p; ++t; continue; }
        if (*p == L'#') {
            if (*t < L'0' || *t > L'9') return false;
            ++p; ++t;
            continue;
        }
        if (*p == L'[') {
            ++p;
            if (!MatchSet(p, *t)) return false;
            ++t;
            continue;
        }
        if (*p != *t) return false;
        ++p; ++t;
    }
    return *t == 0;
}

struct CodeText {
    HRESULT code;
    const wchar_t* text;
};

const CodeText kOpcTexts[] = {
    {OPC_E_INVALIDHANDLE, L"The value of the handle is invalid."},
    {OPC_E_BADTYPE, L"The server cannot convert the data between the requested data type and the canonical data type."},
    {OPC_E_PUBLIC, L"The requested operation cannot be done on a public group."},
    {OPC_E_BADRIGHTS, L"The item's access rights do not allow the operation."},
    {OPC_E_UNKNOWNITEMID, L"The item is no longer available in the server address space."},
    {OPC_E_INVALIDITEMID, L"The item definition does not conform to the server's syntax."},
    {OPC_E_INVALIDFILTER, L"The filter string is not valid."},
    {OPC_E_UNKNOWNPATH, L"The item's access path is not known to the server."},
    {OPC_E_RANGE, L"The value was out of range."},
    {OPC_E_DUPLICATENAME, L"Duplicate name not allowed."},
    {OPC_S_UNSUPPORTEDRATE, L"The server does not support the requested data rate but will use the closest available rate."},
    {OPC_S_CLAMP, L"A value passed to write was accepted but the output was clamped."},
    {OPC_S_INUSE, L"The operation cannot be performed because the object is being referenced."},
    {OPC_E_INVALIDCONFIGFILE, L"The server's configuration file is an invalid format."},
    {OPC_E_NOTFOUND, L"The requested object (e.g. a public group) was not found."},
    {OPC_E_INVALID_PID, L"The specified property ID is not valid for the item."},
};

}  // namespace

bool MatchPattern(const wchar_t* text, const wchar_t* pattern) {
    if (!pattern || !*pattern) return true;
    return Match(text ? text : L"", pattern);
}

wchar_t* ErrorText(HRESULT code, LCID lcid) {
    for (const CodeText& t : kOpcTexts)
        if (t.code == code) return CoTaskStrDup(t.text);
    wchar_t* buffer = nullptr;
    DWORD language = LANGIDFROMLCID(lcid);
    DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
    DWORD n = FormatMessageW(flags, nullptr, static_cast<DWORD>(code), language,
                             reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    if (n == 0 && language != 0)
        n = FormatMessageW(flags, nullptr, static_cast<DWORD>(code), 0,
                           reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    if (n == 0 || !buffer) return nullptr;
    while (n > 0 && (buffer[n - 1] == L'\n' || buffer[n - 1] == L'\r' || buffer[n - 1] == L' '))
        buffer[--n] = 0;
    wchar_t* result = CoTaskStrDup(buffer);
    LocalFree(buffer);
    return result;
}

}  // namespace engine
}  // namespace ketra
