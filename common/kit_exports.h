// The name under which a DLL exports an extern "C" __stdcall function: decorated
// on 32-bit Windows, as Visual C++ spells it (_Name@argument-bytes), and plain on
// x64, which has a single calling convention (the test bed's 64-bit build).
#ifndef KIT_EXPORTS_H
#define KIT_EXPORTS_H

#ifdef _WIN64
#define KIT_STDCALL_NAME(name, bytes) #name
#else
#define KIT_STDCALL_NAME(name, bytes) "_" #name "@" #bytes
#endif

#endif
