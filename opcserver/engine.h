// Private declarations of the server engine: the tag space every client browses
// and reads, the update scheduler, the state all COM objects of one engine share,
// and the creators of the COM classes (one class per source file).
#ifndef KETRA_ENGINE_H
#define KETRA_ENGINE_H

#include <windows.h>
#include <objbase.h>
#include <ocidl.h>
#include <olectl.h>

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <new>
#include <set>
#include <string>
#include <vector>

#include "KetraOPCServer.h"
#include "kit_com.h"
#include "opccomn.h"
#include "opcconst.h"
#include "opcda.h"

namespace ketra {
namespace engine {

// Vendor text and version of GetStatus.
extern const wchar_t kVendorInfo[];
const WORD kMajorVersion = 3;
const WORD kMinorVersion = 0;
const WORD kBuildNumber = 1;
// The scheduler does not refresh a group faster than this (milliseconds).
const DWORD kMinUpdateRate = 50;
// How long a stop waits for clients still in a callback or hearing of the end
// (milliseconds): a healthy client answers in far less, one whose computer has
// gone would hold the stop until DCOM gives up on it.
const DWORD kClientGrace = 3000;

// Ends the function-try-block of every COM method: neither COM nor a client
// can catch a C++ exception, so none may leave. Out of memory is the one a
// client can act on.
#define ENGINE_CATCH_ALL                                     \
    catch (const std::bad_alloc&) { return E_OUTOFMEMORY; } \
    catch (...) { return E_UNEXPECTED; }

// Every COM object of the engine holds the server process while it lives, so the
// host knows when no client object is left (CoAddRefServerProcess count).
class ServerProcessRef {
public:
    ServerProcessRef() { CoAddRefServerProcess(); }
    ~ServerProcessRef() { CoReleaseServerProcess(); }
    ServerProcessRef(const ServerProcessRef&) = delete;
    ServerProcessRef& operator=(const ServerProcessRef&) = delete;
};

// Increments a COM reference count only while it is above zero: objects found
// through the engine's weak registries may be in their final release.
inline bool TryAddRef(LONG volatile* count) {
    for (;;) {
        LONG now = *count;
        if (now <= 0) return false;
        if (InterlockedCompareExchange(count, now + 1, now) == now) return true;
    }
}

FILETIME NowFileTime();
// Monotonic milliseconds (GetTickCount64 is missing on Windows XP).
ULONGLONG NowMs();
// Task-memory copy of a wide string (null on allocation failure).
wchar_t* CoTaskStrDup(const wchar_t* s);
// Text of an OPC or system code, in task memory; null for unknown codes.
wchar_t* ErrorText(HRESULT code, LCID lcid);
// True when `src` converts to `type`, tried on a default value of its own type.
bool TypeConvertible(VARTYPE canonical, VARTYPE requested);
// Converts into `dst` (cleared first); VT_EMPTY as requested type means "as is".
HRESULT ConvertValue(VARIANT* dst, const VARIANT* src, VARTYPE requested);
bool SameValue(const VARIANT& a, const VARIANT& b);
// OPC VB-style pattern: * ? # [set] [!set]; empty pattern matches everything.
bool MatchPattern(const wchar_t* text, const wchar_t* pattern);

// One declared tag. Name, type and access never change once declared; the
// written value exists only for tags a client may write.
struct Tag {
    std::string name;         // as the host declared it (provider's key)
    std::wstring id;          // the item ID clients use
    VARTYPE type;
    DWORD access;
    mutable kit::CritSec writeLock;
    mutable bool hasWritten = false;
    mutable kit::Variant written;
    mutable FILETIME writtenAt = {0, 0};
};

// Result of one read through the provider.
struct TagValue {
    kit::Variant value;       // canonical type, or VT_EMPTY when bad
    WORD quality = OPC_QUALITY_BAD;
    FILETIME timestamp = {0, 0};
};

// The tags and the provider. ReadTag calls are not serialised (the provider
// serialises what it must); only Close() waits for the calls in progress, so that
// after Close() returns the provider is never called again. (No slim
// reader/writer locks: the engine must load on Windows XP.)
class TagSpace {
public:
    TagSpace();
    ~TagSpace();
    TagSpace(const TagSpace&) = delete;
    TagSpace& operator=(const TagSpace&) = delete;

    bool Add(const char* name, VARTYPE type, DWORD access);
    const Tag* Find(const wchar_t* id) const;
    // Syntax check of an item ID: not empty, no empty '.'-separated part.
    static bool ValidId(const wchar_t* id);

    // Address space: children of a branch (path of branch names from the root).
    bool BranchExists(const std::vector<std::wstring>& path) const;
    void Children(const std::vector<std::wstring>& path, std::vector<std::wstring>* branches,
                  std::vector<const Tag*>* leaves) const;
    void AllTags(std::vector<const Tag*>* tags) const;

    void SetProvider(IValueProvider* provider);
    void Close();
    void Read(const Tag& tag, TagValue* out);
    HRESULT Write(const Tag& tag, const VARIANT& value);

private:
    struct Node {
        std::map<std::wstring, std::unique_ptr<Node>> children;
        const Tag* tag = nullptr;  // a leaf of this name (a name may be branch and leaf)
    };
    const Node* NodeAt(const std::vector<std::wstring>& path) const;

    mutable kit::CritSec tagsLock_;  // held only for map lookups, never around a call
    std::map<std::wstring, std::unique_ptr<Tag>> tags_;
    Node root_;

    kit::CritSec providerLock_;  // guards the fields below, not the calls
    IValueProvider* provider_;
    bool closed_;
    LONG activeCalls_;
    kit::Handle idle_;           // set when the last call in progress returns
};

class COPCGroup;
class COPCServer;

// A reference the engine itself holds on a group (its server's list, queued
// requests, a refresh in flight). It keeps the group alive like a COM reference
// but is nobody's hold on it: RemoveGroup counts only the clients'.
class GroupRef {
public:
    GroupRef() : p_(nullptr) {}
    explicit GroupRef(COPCGroup* group);  // a new hold
    GroupRef(const GroupRef& other);
    GroupRef(GroupRef&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    GroupRef& operator=(GroupRef other) noexcept {
        COPCGroup* p = p_;
        p_ = other.p_;
        other.p_ = p;
        return *this;
    }
    ~GroupRef() { Reset(); }
    void Reset();
    // Takes over a hold already counted (a new group's first, or TryHold's).
    void Adopt(COPCGroup* group);
    COPCGroup* get() const { return p_; }
    COPCGroup* operator->() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }

private:
    COPCGroup* p_;
};

// Counts work running on the system thread pool (refreshes, completions of
// asynchronous requests, shutdown notices), so that a stop can wait for it.
// Shared with each work item: the last one may outlive the scheduler.
struct WorkGate {
    kit::CritSec lock;
    LONG running = 0;
    kit::Handle idle{CreateEventW(nullptr, TRUE, TRUE, nullptr)};
    void Enter() {
        kit::CritSecLock l(lock);
        if (running++ == 0) ResetEvent(idle.get());
    }
    void Leave() {
        kit::CritSecLock l(lock);
        if (--running == 0) SetEvent(idle.get());
    }
    // False when work still runs after `ms`.
    bool WaitIdle(DWORD ms) { return WaitForSingleObject(idle.get(), ms) == WAIT_OBJECT_0; }
};

// Runs `work` on the system thread pool, counted by `gate`, in the
// multithreaded apartment. An exception `work` throws ends only that work.
// False when the pool refuses; throws std::bad_alloc.
bool RunOnPool(std::function<void()> work, const std::shared_ptr<WorkGate>& gate);

// Decides when each subscribed group is due; the refreshes run on the system
// thread pool, so a slow tag in one group does not hold back the others. The
// asynchronous requests of IOPCAsyncIO2 run there too, in the order they came
// per group, one at a time per group: a client that does not answer its
// callbacks holds back only its own group, never the ticks of the others.
class Scheduler {
public:
    Scheduler();
    ~Scheduler();
    Scheduler(const Scheduler&) = delete;
    Scheduler& operator=(const Scheduler&) = delete;

    bool Start();
    // Ends the worker and drops the queued requests (their groups released);
    // waits up to kClientGrace for work still on the pool.
    void Stop();

    void AddGroup(COPCGroup* group);
    void RemoveGroup(COPCGroup* group);
    void Reschedule(COPCGroup* group);
    // Live groups, each held for the caller.
    void SnapshotGroups(std::vector<GroupRef>* groups);

    struct Task {
        DWORD cancelId;
        GroupRef group;
        std::function<void()> run;
        std::function<void()> cancelled;  // runs (queued again) when Cancel2 wins
    };
    // False when stopping or the pool refused, and std::bad_alloc: nothing is queued then.
    bool Post(Task task);
    bool Cancel(DWORD cancelId, COPCGroup* group);
    DWORD NewCancelId() { return static_cast<DWORD>(InterlockedIncrement(&nextCancelId_)); }

private:
    struct Queue {
        std::deque<Task> tasks;
        bool running = false;  // a drain is on the pool; set whenever tasks is not empty
    };
    static DWORD WINAPI ThreadMain(void* self);
    void Run();
    void StartTick(GroupRef group);
    void Drain(COPCGroup* group);

    kit::CritSec lock_;
    std::map<COPCGroup*, ULONGLONG> groups_;  // weak; next due tick
    std::map<COPCGroup*, Queue> queues_;      // groups with requests queued or running
    kit::Handle wake_;
    kit::Handle thread_;
    std::shared_ptr<WorkGate> gate_;
    bool stopping_;
    LONG volatile nextCancelId_;
};

// What every COM object of one engine shares; outlives the engine object while
// any client object is still referenced.
struct EngineCore {
    TagSpace tags;
    Scheduler scheduler;
    FILETIME startTime = {0, 0};
    LONG volatile running = 0;
    LONG volatile nextGroupHandle = 0;

    kit::CritSec serversLock;
    std::set<COPCServer*> servers;  // weak
};

// Creators.
HRESULT CreateServerObject(const std::shared_ptr<EngineCore>& core, REFIID iid, void** out);
IClassFactory* NewClassFactory(const std::shared_ptr<EngineCore>& core);

// Generic enumerators (enumerators.cpp): strings and unknowns, copied at creation.
HRESULT NewStringEnum(const std::vector<std::wstring>& items, IEnumString** out);
HRESULT NewUnknownEnum(const std::vector<kit::ComPtr<IUnknown>>& items, IEnumUnknown** out);
struct Connection {
    DWORD cookie;
    kit::ComPtr<IUnknown> sink;
};
HRESULT NewConnectionsEnum(const std::vector<Connection>& items, IEnumConnections** out);
HRESULT NewConnectionPointsEnum(const std::vector<kit::ComPtr<IConnectionPoint>>& items,
                                IEnumConnectionPoints** out);
HRESULT NewItemAttributesEnum(std::vector<OPCITEMATTRIBUTES>&& items, IEnumOPCItemAttributes** out);
void FreeItemAttributes(OPCITEMATTRIBUTES* a);

// One outgoing interface of a container object. It has no count of its own: its
// references are the container's, so a sink cannot keep a dead container's point.
class CConnectionPoint : public IConnectionPoint {
public:
    CConnectionPoint(IConnectionPointContainer* container, REFIID iid, DWORD maxConnections);
    ~CConnectionPoint();

    // IUnknown
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;
    // IConnectionPoint
    STDMETHODIMP GetConnectionInterface(IID* iid) override;
    STDMETHODIMP GetConnectionPointContainer(IConnectionPointContainer** out) override;
    STDMETHODIMP Advise(IUnknown* sink, DWORD* cookie) override;
    STDMETHODIMP Unadvise(DWORD cookie) override;
    STDMETHODIMP EnumConnections(IEnumConnections** out) override;

    // Current sinks (already queried for the point's interface), for firing outside the lock.
    void Sinks(std::vector<kit::ComPtr<IUnknown>>* sinks);
    bool HasSinks();
    // Forgets every sink; they go to `into` when given (released here otherwise).
    void DropAll(std::vector<kit::ComPtr<IUnknown>>* into = nullptr);

private:
    IConnectionPointContainer* container_;
    IID iid_;
    DWORD max_;
    kit::CritSec lock_;
    std::map<DWORD, kit::ComPtr<IUnknown>> sinks_;
    DWORD nextCookie_;
};

}  // namespace engine
}  // namespace ketra

#endif
