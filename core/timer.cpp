#include "timer.h"

namespace
{

// Ticks beyond what the system clock can represent would overflow on the way
// into the condition variable; such a task is treated as due at the end of time.
std::chrono::system_clock::time_point Deadline(std::int64_t dueTicks)
{
    using std::chrono::system_clock;
    using Ticks = GenerTools::timer::Ticks;
    constexpr Ticks kLast = std::chrono::duration_cast<Ticks>(system_clock::duration::max());
    constexpr Ticks kFirst = std::chrono::duration_cast<Ticks>(system_clock::duration::min());
    if (dueTicks >= kLast.count())
        return system_clock::time_point::max();
    if (dueTicks <= kFirst.count())
        return system_clock::time_point::min();
    return system_clock::time_point(std::chrono::duration_cast<system_clock::duration>(Ticks(dueTicks)));
}

} // namespace

namespace GenerTools
{

timer::timer() = default;

timer::~timer()
{
    if (running)
        Stop();
}

std::int64_t timer::NowTicks()
{
    return std::chrono::time_point_cast<Ticks>(std::chrono::system_clock::now()).time_since_epoch().count();
}

timer::TaskId timer::AddTask(std::int64_t delayMs, const std::function<void()>& callback)
{
    return Insert(delayMs, NowTicks() + delayMs * kTicksPerMs, callback);
}

timer::TaskId timer::AddTaskAfter(Ticks delay, const std::function<void()>& callback)
{
    return AddTaskAt(TimePoint(Ticks(NowTicks()) + delay), callback);
}

timer::TaskId timer::AddTaskAt(TimePoint due, const std::function<void()>& callback)
{
    const std::int64_t dueTicks = due.time_since_epoch().count();
    return Insert((dueTicks - NowTicks()) / kTicksPerMs, dueTicks, callback);
}

timer::TaskId timer::Insert(std::int64_t intervalMs, std::int64_t due, const std::function<void()>& callback)
{
    auto task = std::make_shared<stTaskField>();
    task->taskId = reinterpret_cast<TaskId>(task.get());
    task->runOnce = 1;
    task->interval = intervalMs;
    task->due = due;
    task->callback = callback;
    {
        std::lock_guard<std::mutex> lock(mutex);
        tasks.push_back(task);
        SortTasks();
        changed = true;
    }
    cond.notify_one();
    return task->taskId;
}

void timer::SortTasks()
{
    // std::list::sort is stable: a task keeps its place behind older ones with the same due time.
    tasks.sort([](const std::shared_ptr<stTaskField>& a, const std::shared_ptr<stTaskField>& b) {
        return a->due < b->due;
    });
}

void timer::Start()
{
    if (running)
        return;
    worker = std::make_shared<std::thread>(&timer::Run, this);
    running = true;
}

void timer::Stop()
{
    if (!running)
        return;
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopRequested = true;
    }
    cond.notify_one();
    worker->join();
    worker.reset();
    running = false;
    while (inFlight.load() != 0)
        std::this_thread::sleep_until(std::chrono::system_clock::now() + std::chrono::milliseconds(100));
}

void timer::Run()
{
    std::shared_ptr<stTaskField> front;
    for (;;) {
        std::unique_lock<std::mutex> lock(mutex);
        const auto woken = [this] { return changed || stopRequested; };
        if (!front)
            cond.wait(lock, woken);
        else
            cond.wait_until(lock, Deadline(front->due), woken);

        if (changed) {
            front = tasks.empty() ? nullptr : tasks.front();
            changed = false;
            continue;
        }
        if (stopRequested) {
            stopRequested = false;
            lock.unlock();
            return;
        }

        front.reset();
        lock.unlock();
        Batch batch = CollectDue(NowTicks());
        Launch(batch);
    }
}

timer::Batch timer::CollectDue(std::int64_t now)
{
    std::lock_guard<std::mutex> lock(mutex);
    Batch batch;
    for (auto it = tasks.begin(); it != tasks.end();) {
        const auto& task = *it;
        if (task->due >= now) {
            ++it;
            continue;
        }
        batch.push_back(task->callback);
        if (task->runOnce == 1) {
            it = tasks.erase(it);
        } else {
            task->due = now + task->interval * kTicksPerMs;
            ++it;
        }
    }
    SortTasks();
    changed = true;
    return batch;
}

std::size_t timer::PendingCount()
{
    std::lock_guard<std::mutex> lock(mutex);
    return tasks.size();
}

bool timer::Idle()
{
    std::lock_guard<std::mutex> lock(mutex);
    return tasks.empty() && inFlight.load() == 0;
}

std::vector<std::shared_ptr<timer::stTaskField>> timer::Records()
{
    std::lock_guard<std::mutex> lock(mutex);
    return { tasks.begin(), tasks.end() };
}

bool timer::WorkerCaughtUp()
{
    std::lock_guard<std::mutex> lock(mutex);
    return !changed;
}

void timer::Launch(Batch& batch)
{
    inFlight.fetch_add(static_cast<int>(batch.size()));
    for (auto& callback : batch) {
        std::thread([this, callback = std::move(callback)]() mutable {
            callback();
            // Whatever the callback holds goes before Stop may return.
            callback = nullptr;
            inFlight.fetch_sub(1);
        }).detach();
    }
}

} // namespace GenerTools
