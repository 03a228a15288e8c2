#include "ApiLogger.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

#include <sys/stat.h>
#include <sys/time.h>

#include "ApiLimits.h"
#include "Immortal.h"

namespace
{

// A count, not a flag: one call of the caller may make another (a failed
// start of ConnectAndLogin ends in Disconnect).
thread_local int t_callerLines = 0;

} // namespace

ApiLogger::CallerLines::CallerLines()
{
    ++t_callerLines;
}

ApiLogger::CallerLines::~CallerLines()
{
    --t_callerLines;
}

ApiLogger& ApiLogger::GetInstance()
{
    static Immortal<ApiLogger> instance;
    return instance.Get();
}

const char* ApiLogger::LevelName(int level)
{
    switch (level) {
    case API_LOG_ERROR:
        return "ERROR";
    case API_LOG_WARN:
        return "WARN";
    case API_LOG_INFO:
        return "INFO";
    default:
        return "DEBUG";
    }
}

int ApiLogger::LevelFromLetter(char letter)
{
    switch (letter) {
    case 'D':
        return API_LOG_DEBUG;
    case 'E':
    case 'N':
        return API_LOG_ERROR;
    case 'W':
        return API_LOG_WARN;
    default:
        return API_LOG_INFO;
    }
}

void ApiLogger::SetPath(const std::string& path)
{
    std::lock_guard<std::mutex> lock(m_pathMutex);
    const size_t length = path.size() <= kMaxPath ? path.size() : 0;
    std::memcpy(m_path, path.data(), length);
    m_path[length] = '\0';
    m_hasPath = length > 0;
}

std::string ApiLogger::Path() const
{
    std::lock_guard<std::mutex> lock(m_pathMutex);
    return m_path;
}

void ApiLogger::Write(const char* sourceFile, int line, int level, const char* format, ...)
{
    if (!m_enabled || level > m_level || !m_hasPath)
        return;
    LeftOut due;
    const bool admitted = t_callerLines > 0 || Admit(level, &due);
    if (due.level >= 0)
        WriteLeftOut(due);
    if (!admitted)
        return;
    va_list args;
    va_start(args, format);
    WriteLine(sourceFile, line, level, format, args);
    va_end(args);
}

namespace
{

int BucketOf(int level)
{
    return level < API_LOG_ERROR ? API_LOG_ERROR : (level > API_LOG_DEBUG ? API_LOG_DEBUG : level);
}

} // namespace

void ApiLogger::ResetBudget()
{
    const ApiLimits limits = ApiLimits::Current();
    std::lock_guard<std::mutex> lock(m_budgetMutex);
    m_burst = limits.logBurst;
    m_linesPerSecond = limits.logLinesPerSecond;
    m_summaryDelay = limits.logSummaryDelay;
    for (Bucket& bucket : m_buckets)
        bucket = Bucket { m_burst, 0 };
    m_lastRefill = Clock::now();
    m_leftOutPending = false;
    m_budgetStarted = true;
}

void ApiLogger::Refill(Clock::time_point now)
{
    const double seconds = std::chrono::duration<double>(now - m_lastRefill).count();
    m_lastRefill = now;
    if (seconds <= 0)
        return;
    for (Bucket& bucket : m_buckets) {
        bucket.tokens += seconds * m_linesPerSecond;
        if (bucket.tokens > m_burst)
            bucket.tokens = m_burst;
    }
}

void ApiLogger::TakeLeftOut(LeftOut* due)
{
    for (int level = 0; level < kLevels; ++level) {
        due->counts[level] = m_buckets[level].leftOut;
        m_buckets[level].leftOut = 0;
        if (due->counts[level] && due->level < 0)
            due->level = level;
    }
    m_leftOutPending = false;
    // The count is a line like any other: it uses up budget, and may run its
    // level into debt so that it is never itself left out.
    if (due->level >= 0)
        m_buckets[due->level].tokens -= 1;
}

bool ApiLogger::Admit(int level, LeftOut* due)
{
    if (!m_budgetStarted)
        ResetBudget();
    const Clock::time_point now = Clock::now();
    std::lock_guard<std::mutex> lock(m_budgetMutex);
    Refill(now);
    if (m_leftOutPending && now >= m_leftOutDue)
        TakeLeftOut(due);
    Bucket& bucket = m_buckets[BucketOf(level)];
    if (bucket.tokens >= 1) {
        bucket.tokens -= 1;
        return true;
    }
    ++bucket.leftOut;
    if (!m_leftOutPending) {
        m_leftOutPending = true;
        m_leftOutDue = now + m_summaryDelay;
    }
    return false;
}

void ApiLogger::FlushLeftOut(bool now)
{
    if (!m_leftOutPending)
        return;
    LeftOut due;
    {
        const Clock::time_point at = Clock::now();
        std::lock_guard<std::mutex> lock(m_budgetMutex);
        if (m_leftOutPending && (now || at >= m_leftOutDue)) {
            Refill(at);
            TakeLeftOut(&due);
        }
    }
    if (due.level >= 0 && m_hasPath)
        WriteLeftOut(due);
}

void ApiLogger::WriteLeftOut(const LeftOut& due)
{
    uint64_t total = 0;
    for (uint64_t count : due.counts)
        total += count;
    WriteLineF(__FILE__, __LINE__, due.level,
        "Left out %llu log lines over the log budget (ERROR %llu, WARN %llu, INFO %llu, DEBUG %llu).\n",
        static_cast<unsigned long long>(total), static_cast<unsigned long long>(due.counts[API_LOG_ERROR]),
        static_cast<unsigned long long>(due.counts[API_LOG_WARN]),
        static_cast<unsigned long long>(due.counts[API_LOG_INFO]),
        static_cast<unsigned long long>(due.counts[API_LOG_DEBUG]));
}

void ApiLogger::WriteLineF(const char* sourceFile, int line, int level, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    WriteLine(sourceFile, line, level, format, args);
    va_end(args);
}

void ApiLogger::WriteLine(const char* sourceFile, int line, int level, const char* format, va_list args)
{
    const std::string path = Path();
    if (path.empty())
        return;
    FILE* file = std::fopen(path.c_str(), "a+");
    if (!file)
        return;

    timeval now {};
    gettimeofday(&now, nullptr);
    tm local {};
    localtime_r(&now.tv_sec, &local);
    char stamp[64];
    std::strftime(stamp, sizeof(stamp), "%Y-%m-%d %H:%M:%S", &local);

    const char* base = sourceFile ? sourceFile : "";
    for (const char* p = base; *p; ++p) {
        if (*p == '/' || *p == '\\')
            base = p + 1;
    }
    std::fprintf(file, "[%s.%03d %s:%d][%s] ", stamp, static_cast<int>(now.tv_usec / 1000), base, line,
        LevelName(level));
    std::vfprintf(file, format, args);
    std::fclose(file);
}

namespace
{

bool Exists(const std::string& path)
{
    struct stat info {
    };
    return ::stat(path.c_str(), &info) == 0;
}

bool CreateFolder(const std::string& path)
{
    return ::mkdir(path.c_str(), 0755) == 0 || Exists(path);
}

} // namespace

bool MakeDirectories(const char* path)
{
    if (!path)
        return false;
    const std::string whole(path);
    if (Exists(whole))
        return true;
    // A separator in the first position is the root, not a folder to make.
    for (size_t i = 1; i < whole.size(); ++i) {
        if (whole[i] != '/' && whole[i] != '\\')
            continue;
        const std::string prefix = whole.substr(0, i);
        if (!Exists(prefix) && !CreateFolder(prefix))
            return false;
    }
    if (!Exists(whole))
        CreateFolder(whole);
    return true;
}

std::string TodayText()
{
    const std::time_t now = std::time(nullptr);
    tm local {};
    localtime_r(&now, &local);
    char text[16];
    std::strftime(text, sizeof(text), "%Y%m%d", &local);
    return text;
}
