// The server object the host drives (IOPCServerObject) and the two exports that
// create and destroy it.
#include "engine.h"
#include "opc_group.h"
#include "opc_server.h"

namespace ketra {
namespace engine {

namespace {

const wchar_t kShutdownReason[] = L"The OPC server is shutting down.";

// The process security comes from the class's AppID (access rights, and the
// authentication level the installer writes), so it must be set before COM
// marshals anything. A host that set it already keeps its own.
void InitProcessSecurity(const CLSID& clsid) {
    GUID appId = clsid;
    CoInitializeSecurity(&appId, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT, RPC_C_IMP_LEVEL_IDENTIFY,
                         nullptr, EOAC_APPID, nullptr);
}

class CEngine final : public IOPCServerObject {
public:
    CEngine() : core_(std::make_shared<EngineCore>()), cookie_(0), started_(false), processHeld_(false) {}
    ~CEngine() {
        if (started_) Stop();
        // Objects a client of this process may still hold must not reach the
        // provider, which the host destroys next.
        core_->scheduler.Stop();
        core_->tags.Close();
    }

    int SetValueProvider(IValueProvider* provider) override {
        core_->tags.SetProvider(provider);
        return 0;
    }

    int Start(const CLSID* clsid) override {
        kit::CritSecLock lock(lock_);
        if (!clsid) return 1;
        if (started_) return 2;
        if (stopped_) return 3;  // a stopped engine does not come back: its provider is gone
        InitProcessSecurity(*clsid);
        if (!core_->scheduler.Start()) return 4;
        core_->startTime = NowFileTime();
        InterlockedExchange(&core_->running, 1);
        kit::ComPtr<IClassFactory> factory;
        factory.Attach(NewClassFactory(core_));
        if (!factory) {
            Undo();
            return 5;
        }
        // Serving does not end when the last client leaves: the host decides. Held
        // before the class goes public: a client that came and went at once would
        // otherwise drop the count to zero, and COM would suspend the class objects
        // and refuse every later client with CO_E_SERVER_STOPPING.
        CoAddRefServerProcess();
        processHeld_ = true;
        HRESULT hr = CoRegisterClassObject(*clsid, factory.get(), CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER,
                                           REGCLS_MULTIPLEUSE, &cookie_);
        if (FAILED(hr))  // hosts without remote activation take the local one alone
            hr = CoRegisterClassObject(*clsid, factory.get(), CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &cookie_);
        if (FAILED(hr)) {
            Undo();
            return 6;
        }
        started_ = true;
        return 0;
    }

    void Stop() override {
        kit::CritSecLock lock(lock_);
        if (!started_) return;
        started_ = false;
        stopped_ = true;

        // Out of memory on the way only costs clients their notice or their cut:
        // the stop itself goes through, and the provider is left alone after it.
        std::vector<kit::ComPtr<COPCServer>> servers;
        try {
            {
                // Under the lock a new server object joins with: each one is either
                // in this list or refused (CreateServerObject).
                kit::CritSecLock l(core_->serversLock);
                InterlockedExchange(&core_->running, 0);
                for (COPCServer* s : core_->servers) {
                    if (TryAddRef(s->RefCount())) {
                        kit::ComPtr<COPCServer> held;
                        held.Attach(s);
                        servers.push_back(std::move(held));
                    }
                }
            }
            NotifyShutdown(servers);
        } catch (...) {
        }
        CoRevokeClassObject(cookie_);
        cookie_ = 0;
        // Waits a bounded time for refreshes and completions still with their clients.
        const ULONGLONG deadline = NowMs() + kClientGrace;
        core_->scheduler.Stop();
        std::vector<kit::ComPtr<IUnknown>> sinks;
        for (auto& s : servers) s->Disconnect(&sinks);
        // Groups a client kept after their server object went away.
        std::vector<GroupRef> groups;
        try {
            core_->scheduler.SnapshotGroups(&groups);
        } catch (...) {
        }
        for (auto& g : groups) g->Disconnect(&sinks);
        groups.clear();
        servers.clear();
        ReleaseSinks(&sinks, deadline);
        // Last: waits for any ReadTag still running on an RPC thread.
        core_->tags.Close();
        ReleaseProcess();
    }

    bool AddTag(const char* name, VARTYPE type, DWORD access) override {
        try {
            return core_->tags.Add(name, type, access);
        } catch (...) {
            return false;  // nothing may reach the host, which cannot catch it
        }
    }

private:
    void Undo() {
        InterlockedExchange(&core_->running, 0);
        core_->scheduler.Stop();
        ReleaseProcess();
    }
    void ReleaseProcess() {
        if (processHeld_) {
            processHeld_ = false;
            CoReleaseServerProcess();
        }
    }
    // Each client hears of the end on a pool thread of its own: one that does
    // not answer (its computer gone) holds up neither the others nor the stop
    // for longer than kClientGrace.
    void NotifyShutdown(const std::vector<kit::ComPtr<COPCServer>>& servers) {
        std::shared_ptr<WorkGate> notices = std::make_shared<WorkGate>();
        for (const kit::ComPtr<COPCServer>& s : servers) {
            kit::ComPtr<COPCServer> held = s;
            if (!RunOnPool([held]() { held->SendShutdown(kShutdownReason); }, notices))
                s->SendShutdown(kShutdownReason);
        }
        notices->WaitIdle(kClientGrace);
    }
    // The last release of a client's sink is a call to the client's computer, and
    // one that has gone holds it for as long as DCOM waits: even an idle group's
    // sink, which no callback tried and dropped. Released on pool threads, waited
    // for until `deadline` at most; later they finish on their own, never here.
    static void ReleaseSinks(std::vector<kit::ComPtr<IUnknown>>* sinks, ULONGLONG deadline) {
        std::shared_ptr<WorkGate> gate;
        try {
            gate = std::make_shared<WorkGate>();
        } catch (...) {
        }
        for (auto& s : *sinks) {
            IUnknown* sink = s.Detach();  // abandoned, not released here, if the pool refuses
            try {
                if (gate) RunOnPool([sink]() { sink->Release(); }, gate);
            } catch (...) {
            }
        }
        sinks->clear();
        const ULONGLONG now = NowMs();
        if (gate) gate->WaitIdle(deadline > now ? static_cast<DWORD>(deadline - now) : 0);
    }

    kit::CritSec lock_;
    std::shared_ptr<EngineCore> core_;
    DWORD cookie_;
    bool started_;
    bool stopped_ = false;
    bool processHeld_;
};

kit::CritSec g_engineLock;
CEngine* g_engine = nullptr;

}  // namespace

}  // namespace engine
}  // namespace ketra

using ketra::engine::CEngine;
using ketra::engine::g_engine;
using ketra::engine::g_engineLock;

// One server object per process: the host hosts one OPC server.
extern "C" IOPCServerObject* __stdcall CreateNewOPCServerObject() {
    kit::CritSecLock lock(g_engineLock);
    if (g_engine) return nullptr;
    try {
        g_engine = new CEngine();
    } catch (...) {
        g_engine = nullptr;  // out of memory: the host gets no object, not an exception
    }
    return g_engine;
}

extern "C" void __stdcall DestroyOPCServerObject() {
    CEngine* engine;
    {
        kit::CritSecLock lock(g_engineLock);
        engine = g_engine;
        g_engine = nullptr;
    }
    delete engine;  // stops first when still serving
}
