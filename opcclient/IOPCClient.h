// KetraOPCClient: OPC DA client library, public interface.
//
// Include this header alone to use the library from any C++ compiler that builds
// 32-bit Windows code (Visual C++ or MinGW-w64). Objects cross the boundary as
// pointers to the abstract interfaces below; the library frees what it allocates:
// the client object through DestroyOPCClientObject, enumerators through
// IOPCClient::ReleaseEnumerator. Strings are narrow text in the calling thread's
// ANSI code page. The calling thread must have initialised COM.
#ifndef KETRA_IOPCCLIENT_H
#define KETRA_IOPCCLIENT_H

#include <windows.h>
#include <oaidl.h>

// The server state as the OPC DA interfaces number it. opcda.h declares the same
// type; include it before this header when you use both.
#if !defined(__opcda_h__) && !defined(KETRA_OPCSERVERSTATE_DEFINED)
#define KETRA_OPCSERVERSTATE_DEFINED
typedef enum tagOPCSERVERSTATE {
    OPC_STATUS_RUNNING = 1,
    OPC_STATUS_FAILED = 2,
    OPC_STATUS_NOCONFIG = 3,
    OPC_STATUS_SUSPENDED = 4,
    OPC_STATUS_TEST = 5,
    OPC_STATUS_COMM_FAULT = 6
} OPCSERVERSTATE;
#endif

// One item's answer to a batched read (IOPCClient::ReadValues, ReadOPCValues).
typedef struct KetraItemValue {
    VARIANT value;       // initialised by the caller; the caller clears it after use
    FILETIME timestamp;  // the server's time stamp of the value
    DWORD quality;       // the OPC quality word (0xC0 good), widened with zeros
    HRESULT error;       // S_OK when read; otherwise the server's or the library's code
} KetraItemValue;

namespace ketra {
namespace opc {

// Receives every finished log line ("ERR: ...", "WAR: ...", "DBG: ..."). The text
// is valid only during the call. Calls are serialised per client object.
typedef void (*LogCallback)(const char* line);

// One browsed level of the server's address space.
//
// Slot 0 is the deleting destructor in Visual C++'s layout (one slot). GCC would
// give a virtual destructor two slots, so under GCC the slot is declared as the
// function Visual C++ generates; never delete an enumerator yourself, hand it back
// with IOPCClient::ReleaseEnumerator.
class IItemEnumerator {
#if defined(_MSC_VER)
public:
    virtual ~IItemEnumerator() {}
#else
public:
    virtual void* VcDeletingDestructor(unsigned int flags) = 0;
protected:
    ~IItemEnumerator() {}
public:
#endif
    // The current entry's item ID; "" at the end of the enumeration.
    virtual const char* CurrentItemID() = 0;
    // Whether the current entry can be browsed into; false at the end.
    virtual bool IsBranch() = 0;
    // Moves to the next entry; false once the end is reached.
    virtual bool MoveNext() = 0;
};

// The client object. It has no destructor slot: destroy it only with
// DestroyOPCClientObject.
class IOPCClient {
public:
    // Connects to the OPC DA server `progId` on `host` (null or "" = this machine,
    // "DCOM" = the class's DCOM configuration, any other name = that machine through
    // its OPC server list) and creates the client's group. S_OK on success.
    virtual HRESULT Connect(const char* progId, const char* host, LogCallback callback) = 0;
    // Removes the group and releases the server. Always returns 0.
    virtual int Disconnect() = 0;
    // The server's current state (OPC_STATUS_RUNNING = 1). Fails without asking
    // once the server has asked the client to go, until the next Connect.
    virtual HRESULT GetServerState(OPCSERVERSTATE* state) = 0;
    // Lists one level of the server's address space below `branchPath` (null = root).
    virtual IItemEnumerator* EnumerateItems(const char* branchPath) = 0;
    // Destroys an enumerator returned by EnumerateItems; null is ignored.
    virtual void ReleaseEnumerator(IItemEnumerator* enumerator) = 0;
    // Reads one item from the server's cache; registers it on its first read.
    // `value` must be initialised; its old content is released on success.
    virtual bool ReadValue(const char* itemId, FILETIME* timestamp, VARIANT* value,
                           DWORD* quality) = 0;
    // ---- Appended after ReadValue; the slots above never move. A program that
    // must also run with an older KetraOPCClient.dll calls ReadOPCValues (below),
    // found with GetProcAddress, instead of this slot. ----
    // Reads `count` items in one round trip: items not read before are registered
    // and added to the group with one AddItems call, then all are read with one
    // IOPCSyncIO::Read from the cache. Each `values[i].value` must be initialised;
    // it is replaced only where `values[i].error` succeeds. S_OK when every item
    // was read, S_FALSE when some were not (their `error` says why), a failure
    // code when nothing could be read (not connected, no group, the read call
    // itself failed: every `error` then holds that code).
    virtual HRESULT ReadValues(DWORD count, const char* const* itemIds, KetraItemValue* values) = 0;

protected:
    ~IOPCClient() {}
};

}  // namespace opc
}  // namespace ketra

#ifdef KETRA_OPCCLIENT_BUILD
#define KETRA_OPCCLIENT_API
#else
#define KETRA_OPCCLIENT_API __declspec(dllimport)
#endif

extern "C" {
// Returns a new client object, or null when it cannot be created.
KETRA_OPCCLIENT_API ketra::opc::IOPCClient* __stdcall CreateNewOPCClientObject();
// Destroys a client object (disconnecting it first); 0 for null, else 1.
KETRA_OPCCLIENT_API BOOL __stdcall DestroyOPCClientObject(ketra::opc::IOPCClient* client);

// ---- Diagnosis. Appended: the two functions above and the slots of IOPCClient
// are unchanged. A program that must also run with an older KetraOPCClient.dll
// looks these two up with GetProcAddress. ----

// The links of the chain from this computer to the server's data, numbered as
// OPC.Krel.Client.exe /Diag numbers its steps.
enum {
    KETRA_STEP_CALL = 0,        // the call itself (already connected, no ProgID)
    KETRA_STEP_COMPUTER = 1,    // this computer's DCOM settings
    KETRA_STEP_PROXIES = 2,     // proxy/stub DLLs of the OPC interfaces
    KETRA_STEP_HOST = 3,        // name and TCP port 135 of the server computer
    KETRA_STEP_SERVERLIST = 4,  // OPCEnum on the server computer
    KETRA_STEP_SERVER = 5,      // activation of the OPC server
    KETRA_STEP_STATUS = 6,      // the server's status (running)
    KETRA_STEP_CALLBACKS = 7,   // the group and the server's calls back into this computer
    KETRA_STEP_DATA = 8         // items and reads
};

// Why a Connect failed, with the failing call's own HRESULT (Connect itself mostly
// returns E_FAIL). Texts are narrow, in the calling thread's ANSI code page; the
// fix is one line of Spanish naming the computer and the setting to change.
typedef struct KetraOPCError {
    DWORD size;           // set by the caller: sizeof(KetraOPCError)
    LONG step;            // KETRA_STEP_*
    HRESULT code;         // S_OK when the last Connect succeeded or none ran
    char call[64];        // the failing call, e.g. "IOPCServerList::CLSIDFromProgID"
    char name[48];        // the code's symbolic name ("REGDB_E_CLASSNOTREG"), "" when unknown
    char text[256];       // the system's text for the code
    char stepTitle[48];   // what the step checks, e.g. "OPCEnum"
    char fix[512];        // what to change, on which computer
} KetraOPCError;

// Fills `error` with what the last Connect of `client` found. FALSE for a null
// argument or a `size` smaller than this header's structure.
KETRA_OPCCLIENT_API BOOL __stdcall GetOPCClientLastError(ketra::opc::IOPCClient* client, KetraOPCError* error);

enum { KETRA_DIAG_PASSED = 0, KETRA_DIAG_FAILED = 1, KETRA_DIAG_SKIPPED = 2 };

// One step of a diagnosis, as it finishes.
typedef struct KetraDiagStep {
    DWORD size;           // sizeof(KetraDiagStep)
    LONG step;            // 1 to 8, KETRA_STEP_*
    LONG verdict;         // KETRA_DIAG_*
    DWORD elapsedMs;      // time the step took
    char title[64];       // what the step checks
    char detail[2048];    // what it found (lines end in '\n'), or why it was skipped
    KetraOPCError error;  // for a failed step: call, code, name, text and fix
} KetraDiagStep;

typedef void(__stdcall* KetraDiagCallback)(const KetraDiagStep* step, void* context);

// Walks the chain from this computer to `progId` on `host` (the routes of
// IOPCClient::Connect), calling `callback` once per step in order. Returns 0 when
// no step failed, else the number of the first failed step (-1 if the diagnosis
// could not run at all). The calling thread must have initialised COM. Every
// step has a time limit and the whole run ends within a minute, also against a
// server or a network that never answers; a call it stopped waiting for goes on
// in a thread of its own until it returns.
KETRA_OPCCLIENT_API LONG __stdcall RunOPCDiagnosis(const char* progId, const char* host,
                                                   KetraDiagCallback callback, void* context);

// ---- Batched read. Appended after the diagnosis. ----

// IOPCClient::ReadValues of `client`, for a program that must also run with a
// DLL that has no such slot: when this export is found, the slot is there.
// E_POINTER for a null client.
KETRA_OPCCLIENT_API HRESULT __stdcall ReadOPCValues(ketra::opc::IOPCClient* client, DWORD count,
                                                    const char* const* itemIds, KetraItemValue* values);
}

#endif
