// The engine's worker thread decides when groups are due; refreshes and the
// queued asynchronous requests run on the system thread pool, in the
// multithreaded apartment. Nothing that calls a client runs on the worker: one
// client that never answers must not stop the others' subscriptions.
#include "engine.h"
#include "opc_group.h"

namespace ketra {
namespace engine {

namespace {

struct PoolWork {
    std::shared_ptr<WorkGate> gate;
    std::function<void()> run;
};

DWORD WINAPI PoolMain(void* param) {
    kit::ComInit com(COINIT_MULTITHREADED);
    std::unique_ptr<PoolWork> work(static_cast<PoolWork*>(param));
    try {
        work->run();
    } catch (...) {
        // Out of memory: this refresh or completion is lost, not the service.
    }
    std::shared_ptr<WorkGate> gate = std::move(work->gate);
    gate->Leave();
    // Last, after leaving the gate: `run` may hold the final reference to a group
    // (and so to the engine's state, whose scheduler waits for the gate).
    work.reset();
    return 0;
}

}  // namespace

bool RunOnPool(std::function<void()> run, const std::shared_ptr<WorkGate>& gate) {
    PoolWork* work = new PoolWork;
    work->gate = gate;
    work->run = std::move(run);
    gate->Enter();
    // Long: the work may wait on a client, and the pool should not wait for it.
    if (QueueUserWorkItem(&PoolMain, work, WT_EXECUTELONGFUNCTION)) return true;
    gate->Leave();
    delete work;
    return false;
}

Scheduler::Scheduler() : gate_(std::make_shared<WorkGate>()), stopping_(false), nextCancelId_(0) {
    wake_.Reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
}

Scheduler::~Scheduler() { Stop(); }

bool Scheduler::Start() {
    kit::CritSecLock lock(lock_);
    if (thread_) return true;
    if (!wake_) return false;
    stopping_ = false;
    thread_.Reset(CreateThread(nullptr, 0, &Scheduler::ThreadMain, this, 0, nullptr));
    return static_cast<bool>(thread_);
}

void Scheduler::Stop() {
    HANDLE thread;
    bool first;
    {
        kit::CritSecLock lock(lock_);
        first = !stopping_;
        stopping_ = true;
        thread = thread_.get();
    }
    if (thread) {
        SetEvent(wake_.get());
        WaitForSingleObject(thread, INFINITE);  // it only hands work to the pool
    }
    // Refreshes and completions already on the pool finish (and reach their
    // clients) first, unless a client keeps one waiting; queued requests are
    // dropped by their drains, which see `stopping_`.
    if (first) gate_->WaitIdle(kClientGrace);
    kit::CritSecLock lock(lock_);
    thread_.Reset();
}

void Scheduler::AddGroup(COPCGroup* group) {
    kit::CritSecLock lock(lock_);
    groups_[group] = NowMs() + group->UpdateRate();
}

void Scheduler::RemoveGroup(COPCGroup* group) {
    kit::CritSecLock lock(lock_);
    groups_.erase(group);
}

void Scheduler::Reschedule(COPCGroup* group) {
    {
        kit::CritSecLock lock(lock_);
        auto it = groups_.find(group);
        if (it == groups_.end()) return;
        it->second = NowMs();  // at once: new rate or newly active items
    }
    SetEvent(wake_.get());
}

void Scheduler::SnapshotGroups(std::vector<GroupRef>* groups) {
    kit::CritSecLock lock(lock_);
    for (const auto& g : groups_) {
        if (TryAddRef(g.first->RefCount())) {
            GroupRef held;
            held.Adopt(g.first);
            groups->push_back(std::move(held));
        }
    }
}

bool Scheduler::Post(Task task) {
    GroupRef group = task.group;
    // Everything that allocates comes before anything is queued: a request the
    // client was told failed must never complete later.
    std::function<void()> drain = [this, group]() { Drain(group.get()); };
    kit::CritSecLock lock(lock_);
    if (stopping_ || !thread_) return false;
    Queue& queue = queues_[group.get()];
    queue.tasks.push_back(std::move(task));
    if (queue.running) return true;
    bool queued;
    try {
        queued = RunOnPool(std::move(drain), gate_);
    } catch (...) {
        queue.tasks.pop_back();
        throw;
    }
    if (!queued) queue.tasks.pop_back();
    queue.running = queued;
    return queued;
}

bool Scheduler::Cancel(DWORD cancelId, COPCGroup* group) {
    Task withdrawn;  // released after the lock
    kit::CritSecLock lock(lock_);
    auto q = queues_.find(group);
    if (q == queues_.end()) return false;
    std::deque<Task>& tasks = q->second.tasks;
    auto it = tasks.begin();
    for (; it != tasks.end(); ++it)
        if (it->cancelId == cancelId) break;
    if (it == tasks.end()) return false;
    if (it->cancelled) {
        // Queued behind the group's other requests; allocated before the request goes.
        Task note;
        note.cancelId = 0;
        note.group = it->group;
        note.run = it->cancelled;
        size_t at = static_cast<size_t>(it - tasks.begin());
        tasks.push_back(std::move(note));
        it = tasks.begin() + static_cast<std::ptrdiff_t>(at);
    }
    withdrawn = std::move(*it);
    tasks.erase(it);
    return true;
}

void Scheduler::Drain(COPCGroup* group) {
    for (;;) {
        Task task;
        std::deque<Task> dropped;  // released after the lock
        {
            kit::CritSecLock lock(lock_);
            auto q = queues_.find(group);
            if (q == queues_.end()) return;
            if (stopping_ || q->second.tasks.empty()) {
                dropped.swap(q->second.tasks);
                queues_.erase(q);
                return;
            }
            task = std::move(q->second.tasks.front());
            q->second.tasks.pop_front();
        }
        try {
            if (task.run) task.run();
        } catch (...) {
            // Out of memory: this completion is lost; the group's later ones are not.
        }
    }
}

DWORD WINAPI Scheduler::ThreadMain(void* self) {
    kit::ComInit com(COINIT_MULTITHREADED);
    static_cast<Scheduler*>(self)->Run();
    return 0;
}

void Scheduler::Run() {
    for (;;) {
        DWORD wait = INFINITE;
        try {
            std::vector<GroupRef> due;
            {
                kit::CritSecLock lock(lock_);
                if (stopping_) return;
                ULONGLONG now = NowMs();
                for (auto& g : groups_) {
                    if (g.second <= now) {
                        ULONGLONG rate = g.first->UpdateRate();
                        // Keep the cadence, but never try to catch up missed ticks.
                        g.second += rate;
                        if (g.second <= now) g.second = now + rate;
                        if (TryAddRef(g.first->RefCount())) {
                            GroupRef held;
                            held.Adopt(g.first);
                            due.push_back(std::move(held));
                        }
                    }
                    ULONGLONG left = g.second > now ? g.second - now : 0;
                    if (left < wait) wait = static_cast<DWORD>(left);
                }
            }
            for (auto& g : due) StartTick(std::move(g));
        } catch (...) {
            wait = kMinUpdateRate;  // out of memory: try again soon rather than end the worker
        }
        if (wait > 0) WaitForSingleObject(wake_.get(), wait);
    }
}

void Scheduler::StartTick(GroupRef group) {
    // A group whose last refresh still runs (or still waits on its client) skips this one.
    if (!group->TryBeginTick()) return;
    COPCGroup* g = group.get();
    bool queued = false;
    try {
        queued = RunOnPool(
            [group]() {
                try {
                    group->Tick();
                } catch (...) {
                    // Out of memory: the next tick tries again.
                }
                group->EndTick();
            },
            gate_);
    } catch (...) {
    }
    if (!queued) g->EndTick();
}

}  // namespace engine
}  // namespace ketra
