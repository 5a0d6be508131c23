// The OPC DA server engine the simulation service hosts (KetraOPCServer.dll):
// its exports, the server object and the value provider the service gives it.
//
// Both interfaces cross a DLL boundary between programs that may come from
// different compilers, so they have the Visual C++ vtable layout: __thiscall
// members, and a virtual destructor that takes exactly one slot (see
// common/kit_vcabi.h). Slot order is part of the contract; never reorder.
#ifndef KETRA_OPC_SERVER_H
#define KETRA_OPC_SERVER_H

#include <windows.h>
#include <oaidl.h>

#include "kit_vcabi.h"

// Supplies every tag value the server object hands to OPC clients. Owned and
// destroyed by the host, after the server object is gone.
class IValueProvider {
    KIT_VC_DESTRUCTOR_SLOT(IValueProvider)                   // slot 0
    // Slot 1. Returns 0 after writing the timestamp, the quality and (when `value`
    // is not null) the value; non-zero for a name that is no tag, writing nothing.
    virtual int ReadTag(const char* name, FILETIME* timestamp, DWORD* quality, VARIANT* value) = 0;
};

// One OPC DA server: created by CreateNewOPCServerObject, destroyed by
// DestroyOPCServerObject. No destructor slot: the engine owns its lifetime.
class IOPCServerObject {
public:
    virtual int SetValueProvider(IValueProvider* provider) = 0;                 // slot 0
    virtual int Start(const CLSID* clsid) = 0;                                  // slot 1: 0 = serving
    virtual void Stop() = 0;                                                    // slot 2
    virtual bool AddTag(const char* name, VARTYPE type, DWORD access) = 0;     // slot 3

protected:
    ~IOPCServerObject() {}
};

#if defined(KETRA_OPC_SERVER_BUILD) && !defined(_MSC_VER)
// GNU ld would export a dllexport'ed stdcall function under its undecorated
// name; the .def file alone gives the decorated names.
#define KETRA_OPC_SERVER_API
#elif defined(KETRA_OPC_SERVER_BUILD)
#define KETRA_OPC_SERVER_API __declspec(dllexport)
#else
#define KETRA_OPC_SERVER_API __declspec(dllimport)
#endif

extern "C" {
// Exported as _CreateNewOPCServerObject@0, _DestroyOPCServerObject@0,
// _RegisterServer@20, _UnRegisterServer@8 and _ConfigureOpcEnumACL@4.
KETRA_OPC_SERVER_API IOPCServerObject* __stdcall CreateNewOPCServerObject();
KETRA_OPC_SERVER_API void __stdcall DestroyOPCServerObject();
KETRA_OPC_SERVER_API bool __stdcall RegisterServer(const GUID* clsid, const char* name,
                                                   const char* name2, int flag,
                                                   const char* const* accounts);
KETRA_OPC_SERVER_API bool __stdcall UnRegisterServer(const GUID* clsid, const char* name);
KETRA_OPC_SERVER_API bool __stdcall ConfigureOpcEnumACL(const char* const* accounts);
}

// The kit's own server: the same CLSID for the service, the COM registration and
// the installer; the same text is the service name, the ProgID and the console
// client's default server name.
// {5C473C23-71FF-47A5-9911-9BD1EC36847C}
static const CLSID CLSID_KetraOPCKrelServer =
    {0x5C473C23, 0x71FF, 0x47A5, {0x99, 0x11, 0x9B, 0xD1, 0xEC, 0x36, 0x84, 0x7C}};
#define KETRA_OPC_SERVER_NAME "OPC Krel Server"

#endif
