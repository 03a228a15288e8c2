#include "timer.h"

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

using namespace std::chrono_literals;
using GenerTools::timer;

// The scheduler as one built on it sees it, so ordering can be checked
// without depending on how the OS orders freshly started threads.
struct Watched : timer {
    using timer::CollectDue;
    using timer::Records;
    using timer::WorkerCaughtUp;
    using timer::WorkerId;
};

namespace
{

// A count that tests can wait on instead of sleeping.
class Signal
{
public:
    void Raise()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            ++m_count;
        }
        m_cond.notify_all();
    }
    bool WaitFor(int count, std::chrono::milliseconds limit)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cond.wait_for(lock, limit, [&] { return m_count >= count; });
    }
    int Count()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_count;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cond;
    int m_count = 0;
};

// The worker has read the list after the last change: it now sleeps for the earliest task.
bool WaitWorkerIdle(Watched& t)
{
    const auto limit = std::chrono::steady_clock::now() + 5s;
    while (!t.WorkerCaughtUp()) {
        if (std::chrono::steady_clock::now() > limit)
            return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

using GenerTools::kTicksPerMs;
constexpr std::int64_t kFiveSeconds = 5000 * kTicksPerMs;

} // namespace

TEST(Timer, TicksAreHundredNanosecondsOfTheSystemClock)
{
    const auto before = std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::system_clock::now().time_since_epoch());
    const std::int64_t ticks = timer::NowTicks();
    const auto after = std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::system_clock::now().time_since_epoch());
    EXPECT_GE(ticks, before.count() / 100);
    EXPECT_LE(ticks, after.count() / 100);
    EXPECT_EQ(kTicksPerMs * 100, 1000000); // 100 ns a tick

    Watched t;
    const std::int64_t t0 = timer::NowTicks();
    const auto idMs = t.AddTask(5000, [] {});
    const auto idTicks = t.AddTaskAfter(timer::Ticks(kFiveSeconds), [] {});
    const auto idAt = t.AddTaskAt(timer::TimePoint(timer::Ticks(t0 + 123456789)), [] {});
    const auto idPast = t.AddTaskAt(timer::TimePoint(timer::Ticks(t0 - 25000)), [] {});
    const std::int64_t t1 = timer::NowTicks();

    std::map<timer::TaskId, std::shared_ptr<timer::stTaskField>> byId;
    for (const auto& task : t.Records()) {
        EXPECT_EQ(task->taskId, reinterpret_cast<timer::TaskId>(task.get()));
        EXPECT_EQ(task->runOnce, 1);
        byId[task->taskId] = task;
    }
    ASSERT_EQ(byId.size(), 4u);

    const auto& ms = byId.at(idMs);
    const auto& after5s = byId.at(idTicks);
    EXPECT_EQ(ms->interval, 5000);
    EXPECT_GE(ms->due, t0 + kFiveSeconds);
    EXPECT_LE(ms->due, t1 + kFiveSeconds);
    EXPECT_GE(after5s->due, t0 + kFiveSeconds);
    EXPECT_LE(after5s->due, t1 + kFiveSeconds);
    EXPECT_LE(after5s->due - ms->due, t1 - t0);

    const auto& at = byId.at(idAt);
    EXPECT_EQ(at->due, t0 + 123456789);
    // (due - now) / 10,000, truncated: 12345 ms when read at once, less when the clock moved on.
    EXPECT_LE(at->interval, 12345);
    EXPECT_GE(at->interval, (t0 + 123456789 - t1) / kTicksPerMs);
    EXPECT_GE(after5s->interval, (t0 + kFiveSeconds - t1) / kTicksPerMs);
    EXPECT_LE(after5s->interval, 5000);

    const auto& past = byId.at(idPast);
    EXPECT_EQ(past->due, t0 - 25000);
    EXPECT_LE(past->interval, -2);
}

TEST(Timer, TasksStaySortedByDueWithTiesInInsertionOrder)
{
    struct Case {
        const char* name;
        std::vector<std::int64_t> dues; // offsets in ticks, in adding order
        std::vector<int> order; // expected list order as indices of dues
    };
    const std::vector<Case> cases = {
        { "already sorted", { 10, 20, 30 }, { 0, 1, 2 } },
        { "reversed", { 30, 20, 10 }, { 2, 1, 0 } },
        { "all equal", { 5, 5, 5, 5 }, { 0, 1, 2, 3 } },
        { "ties behind older ones", { 30, 10, 20, 10, 30, 10 }, { 1, 3, 5, 2, 0, 4 } },
    };
    const std::int64_t base = timer::NowTicks() + 1000000000;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Watched t;
        std::vector<timer::TaskId> ids;
        for (auto due : c.dues)
            ids.push_back(t.AddTaskAt(timer::TimePoint(timer::Ticks(base + due)), [] {}));
        const auto tasks = t.Records();
        ASSERT_EQ(tasks.size(), c.order.size());
        for (size_t i = 0; i < tasks.size(); ++i)
            EXPECT_EQ(tasks[i]->taskId, ids[c.order[i]]) << "position " << i;
    }
}

TEST(Timer, CollectingTakesTasksDueStrictlyBeforeNowInListOrder)
{
    Watched t;
    const std::int64_t now = timer::NowTicks() + 1000000000;
    std::vector<int> ran;
    // index: offset from `now`
    const std::vector<std::pair<int, std::int64_t>> adds
        = { { 0, -5 }, { 1, 0 }, { 2, -9 }, { 3, -5 }, { 4, 7 }, { 5, -9 }, { 6, -1 } };
    for (const auto& add : adds) {
        const int index = add.first;
        t.AddTaskAt(
            timer::TimePoint(timer::Ticks(now + add.second)), [&ran, index] { ran.push_back(index); });
    }
    auto batch = t.CollectDue(now);
    for (auto& callback : batch)
        callback();
    EXPECT_EQ(ran, (std::vector<int> { 2, 5, 0, 3, 6 }));

    // A due time equal to now is not yet due.
    const auto left = t.Records();
    ASSERT_EQ(left.size(), 2u);
    EXPECT_EQ(left[0]->due, now);
    EXPECT_EQ(left[1]->due, now + 7);

    // A repeating record stays, moved on to collection time plus its interval.
    left[0]->runOnce = 0;
    left[0]->interval = 3;
    ran.clear();
    batch = t.CollectDue(now + 1);
    ASSERT_EQ(batch.size(), 1u);
    batch[0]();
    EXPECT_EQ(ran, std::vector<int> { 1 });
    const auto kept = t.Records();
    ASSERT_EQ(kept.size(), 2u);
    EXPECT_EQ(kept[0]->due, now + 7);
    EXPECT_EQ(kept[1]->due, now + 1 + 3 * kTicksPerMs);
    EXPECT_EQ(kept[1]->runOnce, 0);
}

TEST(Timer, ZeroDelayTaskRunsOnAThreadOfItsOwn)
{
    Watched t;
    t.Start();
    const auto workerId = t.WorkerId();
    Signal done;
    std::thread::id ranOn;
    std::int64_t ranAt = 0;
    const std::int64_t added = timer::NowTicks();
    t.AddTask(0, [&] {
        ranOn = std::this_thread::get_id();
        ranAt = timer::NowTicks();
        done.Raise();
    });
    ASSERT_TRUE(done.WaitFor(1, 5s));
    EXPECT_NE(ranOn, std::this_thread::get_id());
    EXPECT_NE(ranOn, workerId);
    EXPECT_GT(ranAt, added);
    t.Stop();
    EXPECT_TRUE(t.Records().empty());
}

TEST(Timer, EarlierTaskWakesTheWorker)
{
    Watched t;
    t.Start();
    Signal late, early;
    t.AddTask(60000, [&] { late.Raise(); });
    ASSERT_TRUE(WaitWorkerIdle(t)); // asleep until the late task is due

    const auto added = std::chrono::steady_clock::now();
    t.AddTask(50, [&] { early.Raise(); });
    ASSERT_TRUE(early.WaitFor(1, 5s));
    EXPECT_GE(std::chrono::steady_clock::now() - added, 40ms);
    EXPECT_EQ(late.Count(), 0);

    const auto stopping = std::chrono::steady_clock::now();
    t.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - stopping, 1s);
    EXPECT_EQ(late.Count(), 0);
    EXPECT_EQ(t.Records().size(), 1u);
}

TEST(Timer, StopWaitsForRunningCallbacks)
{
    timer t;
    t.Start();
    std::mutex gateMutex;
    std::condition_variable gate;
    bool open = false;
    bool finished = false;
    Signal started;
    t.AddTask(0, [&] {
        started.Raise();
        std::unique_lock<std::mutex> lock(gateMutex);
        gate.wait(lock, [&] { return open; });
        finished = true;
    });
    ASSERT_TRUE(started.WaitFor(1, 5s));

    Signal stopped;
    bool finishedWhenStopped = false;
    std::thread stopper([&] {
        t.Stop();
        {
            std::lock_guard<std::mutex> lock(gateMutex);
            finishedWhenStopped = finished;
        }
        stopped.Raise();
    });
    // Stop must still be waiting while the callback is held.
    EXPECT_FALSE(stopped.WaitFor(1, 250ms));
    const auto released = std::chrono::steady_clock::now();
    {
        std::lock_guard<std::mutex> lock(gateMutex);
        open = true;
    }
    gate.notify_all();
    EXPECT_TRUE(stopped.WaitFor(1, 5s));
    // Polled every 100 ms, so it returns soon after the callback.
    EXPECT_LT(std::chrono::steady_clock::now() - released, 1s);
    stopper.join();
    EXPECT_TRUE(finishedWhenStopped);
}

TEST(Timer, StopWithoutStartReturnsAtOnce)
{
    Watched t;
    Signal ran;
    t.AddTask(0, [&] { ran.Raise(); });
    const auto begin = std::chrono::steady_clock::now();
    t.Stop();
    t.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 50ms);
    EXPECT_EQ(t.WorkerId(), std::thread::id());
    EXPECT_EQ(t.Records().size(), 1u);

    // The waiting task still runs once a worker looks at the list.
    t.Start();
    EXPECT_TRUE(ran.WaitFor(1, 5s));
    t.Stop();
    const auto again = std::chrono::steady_clock::now();
    t.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - again, 50ms);
}

TEST(Timer, PendingTaskSurvivesStopAndRunsAfterRestart)
{
    Watched t;
    Signal pending, fresh;
    t.AddTask(200, [&] { pending.Raise(); });
    t.Start();
    ASSERT_TRUE(WaitWorkerIdle(t));
    t.Stop();
    // Past its due time while stopped: it must not have run.
    EXPECT_FALSE(pending.WaitFor(1, 400ms));
    ASSERT_EQ(t.Records().size(), 1u);

    t.Start();
    t.AddTask(0, [&] { fresh.Raise(); });
    EXPECT_TRUE(pending.WaitFor(1, 5s));
    EXPECT_TRUE(fresh.WaitFor(1, 5s));
    t.Stop();
    EXPECT_EQ(pending.Count(), 1);
    EXPECT_TRUE(t.Records().empty());
}

TEST(Timer, SecondStartKeepsTheWorker)
{
    // Declared first, so it outlives the scheduler, whose destruction waits
    // for the callback thread still notifying it.
    Signal ran;
    Watched t;
    t.Start();
    const auto firstId = t.WorkerId();
    t.Start();
    EXPECT_EQ(t.WorkerId(), firstId);
    t.AddTask(0, [&] { ran.Raise(); });
    EXPECT_TRUE(ran.WaitFor(1, 5s));
}

TEST(Timer, TasksFromManyThreadsEachRunOnce)
{
    constexpr int kThreads = 4;
    constexpr int kPerThread = 50;
    std::mutex seenMutex;
    std::multiset<int> seen;
    Signal ran;
    {
        timer t;
        t.Start();
        std::vector<std::thread> adders;
        for (int a = 0; a < kThreads; ++a) {
            adders.emplace_back([&, a] {
                for (int i = 0; i < kPerThread; ++i) {
                    const int id = a * kPerThread + i;
                    auto run = [&, id] {
                        {
                            std::lock_guard<std::mutex> lock(seenMutex);
                            seen.insert(id);
                        }
                        ran.Raise();
                    };
                    if (i % 2)
                        t.AddTask(i % 7, run);
                    else
                        t.AddTaskAfter(timer::Ticks((i % 5) * 20000), run);
                }
            });
        }
        for (auto& adder : adders)
            adder.join();
        ASSERT_TRUE(ran.WaitFor(kThreads * kPerThread, 10s));
    } // the destructor stops the running scheduler
    std::lock_guard<std::mutex> lock(seenMutex);
    ASSERT_EQ(seen.size(), static_cast<size_t>(kThreads * kPerThread));
    for (int id = 0; id < kThreads * kPerThread; ++id)
        EXPECT_EQ(seen.count(id), 1u) << id;
}
