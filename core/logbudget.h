#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>

#include "timer.h"

// Log lines that a peer sets off by what it sends draw on a budget per level
// (errors, warnings, everything else), so that a flood of one kind never
// hides a line of another. Each budget holds `burst` lines, the last of which
// only the count of what was left out may use, and regains a line every
// `lineEvery`. The count is written as a warning, "<what>，已略去 N 行",
// `summaryDelay` after the first line it counts, before any later line of its
// level, or by a task of its own when no further line comes. Lines of bounded
// length then grow the log by a bounded amount whatever the peer sends. Any
// thread may call it.
class LogBudget
{
public:
    LogBudget(int burst, std::string what);
    ~LogBudget();
    LogBudget(const LogBudget&) = delete;
    LogBudget& operator=(const LogBudget&) = delete;

    // True when the caller may write its line of `level` now; otherwise the
    // line is counted as left out.
    bool Take(int level);

    // Counts `lines` of `level` as left out without asking for each.
    void LeaveOut(int level, std::uint64_t lines);

    // Full budgets with the given pace, nothing left out; counts still
    // scheduled are dropped.
    void Reset(std::chrono::milliseconds lineEvery, std::chrono::milliseconds summaryDelay);

private:
    // Credit in milliseconds of refill: a line costs m_lineEveryMs.
    struct Budget {
        std::int64_t credit = 0;
        std::int64_t refilledMs = 0;
        std::uint64_t leftOut = 0;
        std::int64_t summaryDueMs = 0;
        bool taskQueued = false;
    };

    std::int64_t Capacity() const { return std::int64_t { m_burst } * m_lineEveryMs; }
    static int Kind(int level);
    void RefillLocked(Budget& budget, std::int64_t now);
    std::uint64_t TakeSummaryLocked(int kind, std::int64_t now);
    void LeaveOutLocked(int kind, std::uint64_t lines, std::int64_t now);
    void QueueLocked(int kind, std::int64_t delayMs);
    void Due(int kind, std::uint64_t generation);
    void WriteSummary(std::uint64_t leftOut) const;

    const int m_burst;
    const std::string m_what;
    std::mutex m_mutex;
    Budget m_budgets[3];
    std::int64_t m_lineEveryMs = 1;
    std::int64_t m_summaryDelayMs = 0;
    std::uint64_t m_generation = 0;
    GenerTools::timer m_timer;
};
