// The client object behind IOPCClient: one engine, the caller's log callback and
// the "connected" flag that only the connect and the server's shutdown change.
#ifndef KETRA_COPCCLIENT_H
#define KETRA_COPCCLIENT_H

// opcda.h (through OPCClient.h) declares OPCSERVERSTATE first.
#include "OPCClient.h"
#include "IOPCClient.h"

#include <atomic>
#include "OPCBrowser.h"
#include "ReceiveData.h"

namespace ketra {
namespace opc {

class COPCClient : public IOPCClient, public COPCReceiveData {
public:
    COPCClient();
    virtual ~COPCClient();

    HRESULT Connect(const char* progId, const char* host, LogCallback callback) override;
    int Disconnect() override;
    HRESULT GetServerState(OPCSERVERSTATE* state) override;
    IItemEnumerator* EnumerateItems(const char* branchPath) override;
    void ReleaseEnumerator(IItemEnumerator* enumerator) override;
    bool ReadValue(const char* itemId, FILETIME* timestamp, VARIANT* value, DWORD* quality) override;
    HRESULT ReadValues(DWORD count, const char* const* itemIds, KetraItemValue* values) override;

    void ReceiveData(DWORD, DWORD, DWORD, DWORD, DWORD) override {}
    void Log(int level, const char* format, ...) override KETRA_PRINTF_MEMBER(3, 4);
    void StateChanged(int state, const char* text) override;

    bool IsConnectedFlag();
    OPCClient& Engine() { return engine; }

private:
    HRESULT ConnectEngine(const char* progId, const char* host, LogCallback callback);
    // The connected flag, logging `refusal` while it is false.
    bool ConnectedOrLog(const char* refusal);
    HRESULT ReadRegistered(DWORD count, const char* const* itemIds, KetraItemValue* values);

    kit::CritSec stateLock;
    // Written only under stateLock; atomic so that a read can look without it.
    std::atomic<bool> connected;
    // The server asked us to go (under stateLock); cleared by the next connection.
    bool shutdownRequested;
    LogCallback logCallback;
    // Last, so that it goes first: a shutdown request may reach StateChanged
    // until the engine's destruction has detached its sink.
    OPCClient engine;
};

// Takes the next client handle of the process; shared by every client object.
OPCHANDLE NextClientHandle();

}  // namespace opc
}  // namespace ketra

#endif
