#include "logbudget.h"

#include <algorithm>
#include <utility>

#include "logger.h"

namespace
{

std::int64_t SteadyMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

LogBudget::LogBudget(int burst, std::string what)
    : m_burst(burst)
    , m_what(std::move(what))
{
    Reset(std::chrono::milliseconds(1), std::chrono::milliseconds(0));
    m_timer.Start();
}

LogBudget::~LogBudget()
{
    m_timer.Stop();
}

bool LogBudget::Take(int level)
{
    std::uint64_t summary = 0;
    bool admitted = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        Budget& budget = m_budgets[Kind(level)];
        const std::int64_t now = SteadyMs();
        summary = TakeSummaryLocked(Kind(level), now);
        admitted = budget.credit >= 2 * m_lineEveryMs;
        if (admitted)
            budget.credit -= m_lineEveryMs;
        else
            LeaveOutLocked(Kind(level), 1, now);
    }
    WriteSummary(summary);
    return admitted;
}

void LogBudget::LeaveOut(int level, std::uint64_t lines)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    LeaveOutLocked(Kind(level), lines, SteadyMs());
}

void LogBudget::Reset(std::chrono::milliseconds lineEvery, std::chrono::milliseconds summaryDelay)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_generation;
    m_lineEveryMs = std::max<std::int64_t>(1, lineEvery.count());
    m_summaryDelayMs = std::max<std::int64_t>(0, summaryDelay.count());
    // Empty since long enough to be full again at the next look.
    const std::int64_t longAgo = SteadyMs() - Capacity();
    for (Budget& budget : m_budgets)
        budget = Budget { 0, longAgo, 0, 0, false };
}

int LogBudget::Kind(int level)
{
    return level <= LogError ? 0 : (level == LogWarn ? 1 : 2);
}

void LogBudget::RefillLocked(Budget& budget, std::int64_t now)
{
    budget.credit = std::min(budget.credit + (now - budget.refilledMs), Capacity());
    budget.refilledMs = now;
}

// The count to write now, or 0: one is due and the budget has a line for it.
std::uint64_t LogBudget::TakeSummaryLocked(int kind, std::int64_t now)
{
    Budget& budget = m_budgets[kind];
    RefillLocked(budget, now);
    if (budget.leftOut == 0 || now < budget.summaryDueMs || budget.credit < m_lineEveryMs)
        return 0;
    budget.credit -= m_lineEveryMs;
    return std::exchange(budget.leftOut, 0);
}

void LogBudget::LeaveOutLocked(int kind, std::uint64_t lines, std::int64_t now)
{
    Budget& budget = m_budgets[kind];
    if (lines == 0)
        return;
    if (budget.leftOut == 0)
        budget.summaryDueMs = now + m_summaryDelayMs;
    budget.leftOut += lines;
    if (!budget.taskQueued)
        QueueLocked(kind, budget.summaryDueMs - now);
}

void LogBudget::QueueLocked(int kind, std::int64_t delayMs)
{
    m_budgets[kind].taskQueued = true;
    const std::uint64_t generation = m_generation;
    m_timer.AddTask(std::max<std::int64_t>(0, delayMs), [this, kind, generation] { Due(kind, generation); });
}

// The count's own task, for when no further line comes to carry it.
void LogBudget::Due(int kind, std::uint64_t generation)
{
    std::uint64_t summary = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (generation != m_generation)
            return;
        Budget& budget = m_budgets[kind];
        budget.taskQueued = false;
        const std::int64_t now = SteadyMs();
        summary = TakeSummaryLocked(kind, now);
        if (summary == 0 && budget.leftOut != 0)
            QueueLocked(kind, std::max(budget.summaryDueMs - now, m_lineEveryMs - budget.credit));
    }
    WriteSummary(summary);
}

void LogBudget::WriteSummary(std::uint64_t leftOut) const
{
    if (leftOut != 0)
        WriteLog(LogWarn, "%s，已略去 %llu 行", m_what.c_str(), static_cast<unsigned long long>(leftOut));
}
