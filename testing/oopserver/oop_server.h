// Identity and address space of the out-of-process OPC DA test server
// (opc_oop_server.exe). Tests that talk to it across processes share these.
#ifndef KIT_OOP_SERVER_H
#define KIT_OOP_SERVER_H

#include <windows.h>
#include <oleauto.h>

#include <cstring>

// {B7A4E1D2-5C3F-4A9B-8E61-0F2D7C94A315}
static const CLSID CLSID_KitOopTestServer =
    {0xB7A4E1D2, 0x5C3F, 0x4A9B, {0x8E, 0x61, 0x0F, 0x2D, 0x7C, 0x94, 0xA3, 0x15}};
#define KIT_OOP_PROGID L"Krel.OopTest.1"
#define KIT_OOP_PROGID_A "Krel.OopTest.1"
#define KIT_OOP_EXE L"opc_oop_server.exe"

// Fixed values, so that a test can check every byte that crosses.
#define KIT_OOP_FIXED_REAL 2.5f
#define KIT_OOP_FIXED_TEXT L"Texto \u00f1and\u00fa"
#define KIT_OOP_FIXED_BYTE 65
#define KIT_OOP_TIME_LOW 0x89ABCDEFu
#define KIT_OOP_TIME_HIGH 0x01D9ABCDu
#define KIT_OOP_VENDOR L"Krel out-of-process test server"
#define KIT_OOP_MAJOR 3
#define KIT_OOP_MINOR 0
#define KIT_OOP_BUILD 7

// "Simul.Real" of row k changes on every read: 1.0 + (reads % 10) / 10.

// Hidden items (never browsed): "Var.<n>" holds KitOopSample(n), one value of each
// VARIANT type the kit uses; the VT_BSTR one is 64 KB. Only they are writable, and
// only with their own sample: anything else of their type answers OPC_E_RANGE, so
// the server checks every value that reaches it.
static const VARTYPE kKitOopSampleTypes[] = {VT_EMPTY, VT_I1, VT_UI1, VT_I2, VT_UI2, VT_I4, VT_UI4, VT_INT, VT_UINT,
                                             VT_R4, VT_R8, VT_CY, VT_DATE, VT_BSTR, VT_BOOL, VT_I8, VT_UI8};
#define KIT_OOP_SAMPLES (sizeof(kKitOopSampleTypes) / sizeof(kKitOopSampleTypes[0]))
#define KIT_OOP_LONG_CHARS 32767  // with its terminator, a 64 KB string

// A 64 KB text whose every character depends on its place, with non-ASCII ones.
inline BSTR KitOopLongText(wchar_t seed) {
    BSTR s = SysAllocStringLen(nullptr, KIT_OOP_LONG_CHARS);
    for (UINT i = 0; s && i < KIT_OOP_LONG_CHARS; ++i)
        s[i] = static_cast<wchar_t>(i % 97 == 0 ? 0x00F1 : seed + i % 26);
    return s;
}

inline void KitOopSample(size_t n, VARIANT* v) {
    VariantInit(v);
    V_VT(v) = kKitOopSampleTypes[n % KIT_OOP_SAMPLES];
    switch (V_VT(v)) {
    case VT_I1: V_I1(v) = -5; break;
    case VT_UI1: V_UI1(v) = 200; break;
    case VT_I2: V_I2(v) = -12345; break;
    case VT_UI2: V_UI2(v) = 54321; break;
    case VT_I4: V_I4(v) = -123456789; break;
    case VT_UI4: V_UI4(v) = 3000000000u; break;
    case VT_INT: V_INT(v) = -77; break;
    case VT_UINT: V_UINT(v) = 77; break;
    case VT_R4: V_R4(v) = 2.5f; break;
    case VT_R8: V_R8(v) = -1.25e100; break;
    case VT_CY: V_CY(v).int64 = 123456789012345LL; break;
    case VT_DATE: V_DATE(v) = 45000.25; break;
    case VT_BSTR: V_BSTR(v) = KitOopLongText(L'A'); break;
    case VT_BOOL: V_BOOL(v) = VARIANT_TRUE; break;
    case VT_I8: V_I8(v) = -1234567890123456789LL; break;
    case VT_UI8: V_UI8(v) = 12345678901234567890ULL; break;
    default: break;
    }
}

// Same type and the same bytes of the value.
inline bool KitOopSameValue(const VARIANT& a, const VARIANT& b) {
    if (V_VT(&a) != V_VT(&b)) return false;
    switch (V_VT(&a)) {
    case VT_EMPTY: return true;
    case VT_BSTR:
        return SysStringLen(V_BSTR(&a)) == SysStringLen(V_BSTR(&b)) &&
               memcmp(V_BSTR(&a), V_BSTR(&b), SysStringByteLen(V_BSTR(&a))) == 0;
    case VT_I1: case VT_UI1: return V_UI1(&a) == V_UI1(&b);
    case VT_I2: case VT_UI2: case VT_BOOL: return V_UI2(&a) == V_UI2(&b);
    case VT_R8: case VT_CY: case VT_DATE: case VT_I8: case VT_UI8: return V_UI8(&a) == V_UI8(&b);
    default: return V_UI4(&a) == V_UI4(&b);
    }
}

#endif
