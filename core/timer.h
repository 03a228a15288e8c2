#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <ratio>
#include <thread>
#include <vector>

namespace GenerTools
{

// The scheduler counts time in 100-ns ticks.
constexpr std::int64_t kTicksPerMs = 10000;

// Runs callbacks at wall-clock due times. One worker thread sleeps until the
// earliest task is due; every due callback then runs on a detached thread of
// its own, so a slow callback never delays the scheduler or another callback.
// Times are counted in 100-ns ticks of the system clock since 1970.
class timer
{
public:
    using Ticks = std::chrono::duration<std::int64_t, std::ratio<1, 10000000>>;
    using TimePoint = std::chrono::time_point<std::chrono::system_clock, Ticks>;
    using TaskId = std::uintptr_t;

    struct stTaskField {
        TaskId taskId = 0;
        int runOnce = 1;
        std::int64_t interval = 0; // milliseconds
        std::int64_t due = 0; // ticks since 1970
        std::function<void()> callback;
    };

    timer();
    // Stops the scheduler when it runs; tasks that never fell due are dropped.
    ~timer();
    timer(const timer&) = delete;
    timer& operator=(const timer&) = delete;

    // The add operations may be called from any thread, running or not.
    // A callback must not be empty and must not throw. The id is the task
    // record's address.
    TaskId AddTask(std::int64_t delayMs, const std::function<void()>& callback);
    TaskId AddTaskAfter(Ticks delay, const std::function<void()>& callback);
    TaskId AddTaskAt(TimePoint due, const std::function<void()>& callback);

    // Start and Stop belong to one controlling thread at a time. Start does
    // nothing while running. Stop ends the worker and returns only when every
    // callback it started has returned (polled every 100 ms); tasks not yet
    // due stay for a later Start. Stop from one of this scheduler's own
    // callbacks would wait for itself.
    void Start();
    void Stop();

    static std::int64_t NowTicks();

    // What a watcher may read from any thread: the tasks waiting, and whether
    // nothing waits and no callback runs. IsRunning belongs to the controlling
    // thread, as Start and Stop do.
    std::size_t PendingCount();
    bool Idle();
    bool IsRunning() const { return running; }

protected:
    using Batch = std::vector<std::function<void()>>;

    // For a scheduler built on this one: the waiting records themselves,
    // earliest first; whether the worker has read the latest change to the
    // list; the worker's id (none while stopped).
    std::vector<std::shared_ptr<stTaskField>> Records();
    bool WorkerCaughtUp();
    std::thread::id WorkerId() const { return worker ? worker->get_id() : std::thread::id(); }
    // Takes the tasks due strictly before `now` out of the list (runOnce) or
    // moves them on by their interval.
    Batch CollectDue(std::int64_t now);

private:
    TaskId Insert(std::int64_t intervalMs, std::int64_t due, const std::function<void()>& callback);
    void SortTasks();
    void Run();
    void Launch(Batch& batch);

    std::list<std::shared_ptr<stTaskField>> tasks;
    bool running = false;
    bool changed = false;
    bool stopRequested = false;
    std::shared_ptr<std::thread> worker;
    std::mutex mutex;
    std::condition_variable cond;
    std::atomic<int> inFlight { 0 };
};

} // namespace GenerTools
