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
}

#endif
