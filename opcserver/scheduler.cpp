// The engine's worker thread: group refreshes at their update rates and the
// queued asynchronous requests, in the multithreaded apartment.
#include "engine.h"
#include "opc_group.h"

namespace ketra {
namespace engine {

namespace {

struct TickWork {
    std::shared_ptr<TickGate> gate;
    COPCGroup* group;  // holds one reference
};

}  // namespace

Scheduler::Scheduler() : gate_(std::make_shared<TickGate>()), stopping_(false), nextCancelId_(0) {
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
    {
        kit::CritSecLock lock(lock_);
        stopping_ = true;
        thread = thread_.get();
    }
    if (thread) {
        SetEvent(wake_.get());
        WaitForSingleObject(thread, INFINITE);
    }
    // Refreshes already handed to the pool finish (and call their clients) first.
    WaitForSingleObject(gate_->idle.get(), INFINITE);
    std::vector<Task> dropped;
    {
        kit::CritSecLock lock(lock_);
        thread_.Reset();
        dropped.swap(tasks_);
    }
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

void Scheduler::SnapshotGroups(std::vector<kit::ComPtr<COPCGroup>>* groups) {
    kit::CritSecLock lock(lock_);
    for (const auto& g : groups_) {
        if (TryAddRef(g.first->RefCount())) {
            kit::ComPtr<COPCGroup> held;
            held.Attach(g.first);
            groups->push_back(std::move(held));
        }
    }
}

bool Scheduler::Post(Task task) {
    {
        kit::CritSecLock lock(lock_);
        if (stopping_ || !thread_) return false;
        tasks_.push_back(std::move(task));
    }
    SetEvent(wake_.get());
    return true;
}

bool Scheduler::Cancel(DWORD cancelId, COPCGroup* group) {
    Task task;
    {
        kit::CritSecLock lock(lock_);
        auto it = tasks_.begin();
        for (; it != tasks_.end(); ++it)
            if (it->cancelId == cancelId && it->group.get() == group) break;
        if (it == tasks_.end()) return false;
        task = std::move(*it);
        tasks_.erase(it);
        if (task.cancelled) {
            Task note;
            note.cancelId = 0;
            note.group = task.group;
            note.run = task.cancelled;
            tasks_.push_back(std::move(note));
        }
    }
    SetEvent(wake_.get());
    return true;
}

DWORD WINAPI Scheduler::ThreadMain(void* self) {
    kit::ComInit com(COINIT_MULTITHREADED);
    static_cast<Scheduler*>(self)->Run();
    return 0;
}

void Scheduler::Run() {
    for (;;) {
        std::vector<Task> tasks;
        std::vector<kit::ComPtr<COPCGroup>> due;
        DWORD wait = INFINITE;
        {
            kit::CritSecLock lock(lock_);
            if (stopping_) return;
            tasks.swap(tasks_);
            ULONGLONG now = NowMs();
            for (auto& g : groups_) {
                if (g.second <= now) {
                    ULONGLONG rate = g.first->UpdateRate();
                    // Keep the cadence, but never try to catch up missed ticks.
                    g.second += rate;
                    if (g.second <= now) g.second = now + rate;
                    if (TryAddRef(g.first->RefCount())) {
                        kit::ComPtr<COPCGroup> held;
                        held.Attach(g.first);
                        due.push_back(std::move(held));
                    }
                }
                ULONGLONG left = g.second > now ? g.second - now : 0;
                if (left < wait) wait = static_cast<DWORD>(left);
            }
        }
        for (Task& t : tasks) {
            if (t.run) t.run();
            if (IsStopping()) return;
        }
        tasks.clear();
        for (auto& g : due) StartTick(std::move(g));
        due.clear();
        if (wait > 0) WaitForSingleObject(wake_.get(), wait);
    }
}

void Scheduler::StartTick(kit::ComPtr<COPCGroup> group) {
    // A group whose last refresh still runs skips this one.
    if (!group->TryBeginTick()) return;
    TickWork* work = new (std::nothrow) TickWork;
    if (!work) {
        group->EndTick();
        return;
    }
    work->gate = gate_;
    work->group = group.Detach();
    work->gate->Enter();
    if (!QueueUserWorkItem(&Scheduler::TickMain, work, WT_EXECUTEDEFAULT)) {
        TickMain(work);  // no pool: refresh right here
    }
}

DWORD WINAPI Scheduler::TickMain(void* param) {
    TickWork* work = static_cast<TickWork*>(param);
    {
        kit::ComInit com(COINIT_MULTITHREADED);
        work->group->Tick();
        work->group->EndTick();
    }
    std::shared_ptr<TickGate> gate = std::move(work->gate);
    COPCGroup* group = work->group;
    delete work;
    gate->Leave();
    // Last: may be the final reference to the group (and to the engine's state).
    group->Release();
    return 0;
}

bool Scheduler::IsStopping() {
    kit::CritSecLock lock(lock_);
    return stopping_;
}

}  // namespace engine
}  // namespace ketra
