#pragma once

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

template <typename T> class Immortal;

enum ApiLogLevel : int { API_LOG_ERROR = 0, API_LOG_WARN = 1, API_LOG_INFO = 2, API_LOG_DEBUG = 3 };

// The library's one log: appends lines to the file named by SetPath, each
// line through a stream of its own so the file may be moved between lines.
// It is never destroyed while the library is loaded and holds no heap memory,
// so that neither a late caller nor an unload finds it half gone.
//
// Whatever a server sends, the log grows at a bounded pace: each level has a
// budget of lines (ApiLimits: a burst, then a steady pace), and lines beyond
// it are counted instead of written. Lines logged inside a caller's own call
// (a CallerLines scope) are always written and use no budget: the caller
// already bounds them, and whoever checks whether a request went out needs
// every one. The count is written as one line of its
// own, charged to the budget, once the first left-out line is
// logSummaryDelay old: by the next line logged after that, or by
// FlushLeftOut, which the receive threads call when their reads wait.
class ApiLogger
{
public:
    static ApiLogger& GetInstance();

    void Write(const char* sourceFile, int line, int level, const char* format, ...)
        __attribute__((format(printf, 5, 6)));

    // Marks the lines this thread logs while it lives as the caller's own.
    class CallerLines
    {
    public:
        CallerLines();
        ~CallerLines();
        CallerLines(const CallerLines&) = delete;
        CallerLines& operator=(const CallerLines&) = delete;
    };

    // Writes the count of left-out lines if it is due (or at once with
    // `now`). Cheap when nothing was left out.
    void FlushLeftOut(bool now = false);
    // A full budget with nothing counted, under the current ApiLimits.
    void ResetBudget();

    static const char* LevelName(int level);
    // The level a letter of SetKivQuoteAPILogLevel stands for (case-sensitive).
    static int LevelFromLetter(char letter);

    // The longest full name kept: a data path of up to 1023 characters and the file's own name.
    static constexpr size_t kMaxPath = 1024 + 64;

    // A name longer than kMaxPath leaves the path empty, so nothing is written.
    void SetPath(const std::string& path);
    std::string Path() const;
    void Enable() { m_enabled = true; }
    void SetLevel(int level) { m_level = level; }
    int Level() const { return m_level; }
    bool Enabled() const { return m_enabled; }

private:
    template <typename T> friend class Immortal;
    ApiLogger() = default;

    static constexpr int kLevels = 4;
    struct Bucket {
        double tokens = 0;
        uint64_t leftOut = 0;
    };
    struct LeftOut {
        uint64_t counts[kLevels] = {};
        int level = -1; // the most severe level left out; -1: nothing to write
    };
    using Clock = std::chrono::steady_clock;

    // Takes a line of `level` from its budget; fills `due` when the count of
    // left-out lines is to be written now.
    bool Admit(int level, LeftOut* due);
    // Under m_budgetMutex.
    void Refill(Clock::time_point now);
    void TakeLeftOut(LeftOut* due);
    void WriteLeftOut(const LeftOut& due);
    void WriteLine(const char* sourceFile, int line, int level, const char* format, va_list args);
    void WriteLineF(const char* sourceFile, int line, int level, const char* format, ...)
        __attribute__((format(printf, 5, 6)));

    // The path is set while receive threads may already be writing.
    mutable std::mutex m_pathMutex;
    char m_path[kMaxPath + 1] = {};
    std::atomic<bool> m_hasPath { false };
    std::atomic<int> m_level { API_LOG_DEBUG };
    std::atomic<bool> m_enabled { true };

    // Lines are logged from the caller's threads and every receive thread.
    std::mutex m_budgetMutex;
    std::atomic<bool> m_budgetStarted { false };
    Bucket m_buckets[kLevels];
    Clock::time_point m_lastRefill;
    Clock::time_point m_leftOutDue;
    double m_burst = 0;
    double m_linesPerSecond = 0;
    Clock::duration m_summaryDelay {};
    std::atomic<bool> m_leftOutPending { false };
};

// true when the folder exists or was made, parents included.
bool MakeDirectories(const char* path);
// Today's local date as "%Y%m%d".
std::string TodayText();

#define KQLOG(level, ...) ApiLogger::GetInstance().Write(__FILE__, __LINE__, (level), __VA_ARGS__)
#define KQLOG_ERROR(...) KQLOG(API_LOG_ERROR, __VA_ARGS__)
#define KQLOG_WARN(...) KQLOG(API_LOG_WARN, __VA_ARGS__)
#define KQLOG_INFO(...) KQLOG(API_LOG_INFO, __VA_ARGS__)
#define KQLOG_DEBUG(...) KQLOG(API_LOG_DEBUG, __VA_ARGS__)
