// The connectivity doctor: walks the chain from this computer to the server's
// data one link at a time, timing each, and says which link is broken, with its
// code and what to change. Steps 4 to 8 go through the engine's own connect steps
// (and so through the activation table), so a route fails here exactly where a
// Connect would.
#ifndef KETRA_DOCTOR_H
#define KETRA_DOCTOR_H

#include <windows.h>

#include <string>
#include <vector>

#include "OPCClient.h"

namespace ketra {
namespace opc {

// An interface whose proxy/stub step 2 looks for.
struct ProxyInterface {
    const char* name;
    const IID* iid;
    bool required;        // a missing optional one is only noted
    bool serverListOnly;  // needed only when the route asks OPCEnum
};

// A TCP connection to `port` of `host` within `timeoutMs`: S_OK, or the Winsock
// error as an HRESULT (WSAHOST_NOT_FOUND, WSAECONNREFUSED, WSAETIMEDOUT...).
// `address` receives the address tried ("" when the name did not resolve).
typedef HRESULT (*HostProbe)(const char* host, unsigned short port, DWORD timeoutMs, std::string* address);
HRESULT ProbeHost(const char* host, unsigned short port, DWORD timeoutMs, std::string* address);

// Whether `host` names this computer (COM then reaches it without the network).
bool IsThisComputer(const std::string& host);

// What the doctor reads and how long it waits; tests point the registry roots at
// keys of their own and replace the probe (no test may resolve another computer).
struct DiagOptions {
    HKEY machineRoot = HKEY_LOCAL_MACHINE;  // holds SOFTWARE\Microsoft\Ole
    HKEY classesRoot = HKEY_CLASSES_ROOT;   // holds Interface\ and CLSID\ and AppID\ (the process's view)
    const ProxyInterface* interfaces = nullptr;  // null: the kit's own list
    size_t interfaceCount = 0;
    HostProbe probe = &ProbeHost;
    unsigned short rpcPort = 135;
    DWORD portTimeoutMs = 2000;
    DWORD callbackWaitMs = 5000;
    int browseLimit = 1000;
    int browseDepth = 16;
};

class Doctor : public COPCReceiveData {
public:
    Doctor(const char* progId, const char* host, const DiagOptions& options, KetraDiagCallback callback,
           void* context);
    ~Doctor() override;
    Doctor(const Doctor&) = delete;
    Doctor& operator=(const Doctor&) = delete;

    // All eight steps; 0, or the number of the first failed step.
    LONG Run();

    void ReceiveData(DWORD, DWORD, DWORD, DWORD, DWORD) override {}
    void StateChanged(int, const char*) override {}

private:
    enum Route { RouteLocal, RouteDcom, RouteServerList };

    // One step's record while it runs; Pass/Fail/Skip deliver it.
    struct Step {
        int number;
        DWORD start;
        std::string detail;
    };
    Step Begin(int number);
    void Note(Step& step, const std::string& line);
    void Pass(Step& step);
    void Fail(Step& step, HRESULT code, const char* call);
    void Skip(int number, const std::string& reason);
    void Deliver(const Step& step, LONG verdict, const ChainFailure& failure);

    // Each returns false when the step failed.
    bool CheckComputer();
    bool CheckProxies();
    bool CheckHost();
    bool CheckServerList();
    bool CheckServer();
    bool CheckStatus();
    bool CheckCallbacks();
    bool CheckData();

    std::string RemoteServerName();
    void Walk(const std::string& path, int depth);
    void EnsureWalk();
    HRESULT AddDiagItem();

    std::string progId;
    std::string host;
    Route route;
    // The computer the route crosses the network to; "" when it stays on this one.
    std::string networkHost;
    std::string serverComputer;
    std::string clientComputer;
    DiagOptions options;
    KetraDiagCallback callback;
    void* context;
    LONG firstFailed;
    OPCClient engine;
    bool walked;
    int itemCount;
    std::string firstLeaf;
    bool itemAdded;
    OPCHANDLE itemHandle;
    HRESULT itemResult;
};

}  // namespace opc
}  // namespace ketra

#endif
