// The connectivity doctor: walks the chain from this computer to the server's
// data one link at a time, timing each, and says which link is broken, with its
// code and what to change. Steps 4 to 8 go through the engine's own connect steps
// (and so through the activation table), so a route fails here exactly where a
// Connect would. Every call to another process is made on a thread of its own,
// so that a server (or a network) that never answers costs the step its time
// limit and the whole run stays within a minute.
#ifndef KETRA_DOCTOR_H
#define KETRA_DOCTOR_H

#include <windows.h>

#include <atomic>
#include <functional>
#include <memory>
#include <set>
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
// `address` receives the address tried ("" when the name did not resolve). The
// name resolution itself has no time limit of its own: the doctor bounds it.
typedef HRESULT (*HostProbe)(const char* host, unsigned short port, DWORD timeoutMs, std::string* address);
HRESULT ProbeHost(const char* host, unsigned short port, DWORD timeoutMs, std::string* address);

// Whether `host` names this computer (COM then reaches it without the network).
bool IsThisComputer(const std::string& host);

// Runs `work` on a thread of its own in the multithreaded apartment and waits at
// most `ms` for it: S_OK when it ended in time, ERROR_TIMEOUT (as an HRESULT)
// when not, or why no thread could be made. A thread that outlives its wait runs
// on until its call returns, keeping what `work` holds and this module loaded.
HRESULT RunBounded(std::function<void()> work, DWORD ms);

// What the doctor reads and how long it waits; tests point the registry roots at
// keys of their own, replace the probe (no test may resolve another computer) and
// shorten the limits.
struct DiagOptions {
    HKEY machineRoot = HKEY_LOCAL_MACHINE;  // holds SOFTWARE\Microsoft\Ole
    HKEY classesRoot = HKEY_CLASSES_ROOT;   // holds Interface\ and CLSID\ and AppID\ (the process's view)
    const ProxyInterface* interfaces = nullptr;  // null: the kit's own list
    size_t interfaceCount = 0;
    HostProbe probe = &ProbeHost;
    unsigned short rpcPort = 135;
    DWORD portTimeoutMs = 2000;
    DWORD nameTimeoutMs = 4000;  // the server computer's name
    DWORD callbackWaitMs = 5000;
    // Each step's limit, by step number (steps 1 and 2 only read this computer's
    // registry; step 3's is the name and port limits above), and the whole run's,
    // so that the sum stays within a minute whichever steps are slow.
    DWORD stepMs[KETRA_STEP_DATA + 1] = {0, 0, 0, 0, 10000, 12000, 8000, 14000, 8000};
    DWORD totalMs = 52000;
    // What is left to finish (the group removed, the server released) when the
    // run ends; a server that does not answer keeps none of the run's time.
    DWORD cleanupMs = 3000;
    // Leaves tried in order until one can be added and read with good quality;
    // the walk lists no more of a level and enters no more levels than this needs.
    size_t triedLeaves = 20;
    int browseDepth = 16;
    int browseLevels = 32;
};

// The engine's log goes nowhere: the doctor reports through its steps.
class QuietReceiver : public COPCReceiveData {
public:
    void ReceiveData(DWORD, DWORD, DWORD, DWORD, DWORD) override {}
    void StateChanged(int, const char*) override {}
};

// One leaf tried by steps 7 and 8, and how far it got.
struct LeafTrial {
    std::string itemId;
    HRESULT code = S_OK;  // of the call it failed at
    const char* call = "";
    bool added = false;
    OPCHANDLE handle = 0;
    bool good = false;
    std::string reading;  // what the read found
};

// What the steps share with the threads that make their calls. Each thread holds
// the session, so one that outlived its step's limit still finds everything it
// touches when its call finally returns; the last holder removes the group and
// releases the server (the engine's destruction).
struct DiagSession {
    QuietReceiver receiver;  // declared first: it outlives the engine
    OPCClient engine;
    // The leaves found by step 7's walk, in its order, and those tried so far.
    std::vector<std::string> leaves;
    int levels = 0;
    std::vector<LeafTrial> trials;

    void Walk(const std::string& path, int depth, const DiagOptions& options, std::set<std::string>& seen,
              const std::atomic<bool>& abandoned);
    // Adds leaves[trials.size()] to the group.
    LeafTrial& AddNextLeaf(IOPCItemMgt* items);
    void Read(IOPCSyncIO* sync, LeafTrial& trial);
};

// What a step's thread hands back: findings, and the call that failed with its code.
struct Outcome {
    HRESULT hr = S_OK;
    const char* call = "";
    std::vector<std::string> notes;
    // Set when the step stopped waiting: the thread makes no more calls than it
    // must to let go of what it holds.
    std::atomic<bool> abandoned{false};
    void Note(const std::string& line) { notes.push_back(line); }
    void Fail(HRESULT code, const char* failing) {
        hr = code;
        call = failing;
    }
};

class Doctor {
public:
    Doctor(const char* progId, const char* host, const DiagOptions& options, KetraDiagCallback callback,
           void* context);
    ~Doctor();
    Doctor(const Doctor&) = delete;
    Doctor& operator=(const Doctor&) = delete;

    // All eight steps; 0, or the number of the first failed step.
    LONG Run();

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
    // Runs `work` (the step's calls to other processes) within what is left of the
    // step's limit; false, with the step failed (ERROR_TIMEOUT and the call it
    // waited for), when it did not end in time.
    bool Within(Step& step, std::function<void(Outcome&)> work);
    DWORD Remaining(const Step& step) const;

    // Each returns false when the step failed.
    bool CheckComputer();
    bool CheckProxies();
    bool CheckHost();
    bool CheckServerList();
    bool CheckServer();
    bool CheckStatus();
    bool CheckCallbacks();
    bool CheckData();
    void Finish();

    std::string RemoteServerName();

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
    DWORD deadline;
    // Step 7 created the group and settled which leaves it took: step 8 reads them.
    bool itemsReady;
    std::shared_ptr<DiagSession> session;
};

}  // namespace opc
}  // namespace ketra

#endif
