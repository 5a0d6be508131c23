// Test controls of the fake server engine (FakeKetraOPCServer.dll), which
// exports the engine's five functions and records what the service does with
// them.
//
// In-process tests configure it with FakeEngine_Configure. A service started by
// the service manager cannot be reached that way, so when no test configured it,
// the fake reads FakeKetraOPCServer.cfg beside the DLL (if present) and appends
// every call to FakeKetraOPCServer.calls beside the DLL.
//
// Configuration text, words separated by blanks:
//   fail=create     CreateNewOPCServerObject returns null
//   fail=start      Start returns 5
//   fail=addtag:N   the AddTag call number N (0 = first) returns false
//   read            Start reads every declared-to-be tag once through the provider
//                   and records "Read <name> <value> <quality> <timestamp>"
#ifndef FAKE_ENGINE_H
#define FAKE_ENGINE_H

#include "KetraOPCServer.h"

#if defined(KETRA_OPC_SERVER_BUILD) && !defined(_MSC_VER)
// Exported through FakeKetraOPCServer.mingw.def, like the engine's functions.
#define FAKE_ENGINE_API
#elif defined(KETRA_OPC_SERVER_BUILD)
#define FAKE_ENGINE_API __declspec(dllexport)
#else
#define FAKE_ENGINE_API __declspec(dllimport)
#endif

extern "C" {
// Sets the configuration and clears the record; from now on the files are ignored.
FAKE_ENGINE_API void __cdecl FakeEngine_Configure(const char* config);
// The calls so far, one per line; returns the full length (the copy is cut to fit).
FAKE_ENGINE_API int __cdecl FakeEngine_Calls(char* buffer, int size);
// Called inside DestroyOPCServerObject, before the object goes; may be null.
FAKE_ENGINE_API void __cdecl FakeEngine_SetDestroyProbe(void(__cdecl* probe)(void));
// The provider the live server object was given, or null.
FAKE_ENGINE_API IValueProvider* __cdecl FakeEngine_Provider(void);
}

#endif
