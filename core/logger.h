#pragma once

// The terminal's process logger: timestamped, levelled lines appended to a
// daily file under "Logs/" beside the executable, rolled over past 5 MiB.
// Every write is synchronous and finished when the call returns; failures are
// never reported to the caller. Call sites use WriteLog, not Logger directly.

#include <chrono>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>

// Levels: 0 ERROR, 1 WARN, 2 INFO, 3 DEBUG, 4 TRACE; any other value is tagged
// DEBUG. Levels up to 2 (compared as signed numbers) are echoed to stdout.
enum LogLevel : int { LogError = 0, LogWarn = 1, LogInfo = 2, LogDebug = 3, LogTrace = 4 };

class Logger
{
public:
    using Clock = std::function<std::chrono::system_clock::time_point()>;

    // The one logger of the process, created on first use; never null.
    static Logger* GetInstance();

    // A logger for the executable at the given path (its "Logs" folder is
    // created beside it). The process logger uses the running executable;
    // tests use this to write elsewhere.
    explicit Logger(const std::string& executablePath);

    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;

    // Writes the timestamp, the level's tag and the message as one line.
    void Log(int level, const std::string& message);

    // Appends a finished line under the file lock: roll-over, charset
    // conversion, echo, append and (for a write over 50 ms) the timing note.
    void WriteToFile(int level, const std::string& line);

    // Now, local: "YYYY-MM-DD hh:mm:ss mmm".
    static std::string FormatTimestamp();

    // " [ERROR] ", " [WARN] ", " [INFO] ", " [DEBUG] ", " [TRACE] ".
    static std::string LevelTag(int level);

    // The folder, "Logs/" and the executable's stem, e.g. "/opt/q/Logs/Quorvel".
    std::string BasePath() const { return m_basePath; }

    // Today's file, e.g. "/opt/q/Logs/Quorvel_20261208.log".
    std::string DayFilePath() const;

    // The clock that times the phases of a write (t1 to t4); tests replace it.
    void SetClock(Clock clock);

private:
    Logger();
    void Init(const std::string& executablePath);
    std::chrono::system_clock::time_point Now() const;

    char m_basePath[2048] = {};
    std::mutex m_fileMutex;
    Clock m_clock;
};

// A system-clock time point as local "YYYY-MM-DD hh:mm:ss.mmm".
std::string TimePointToString(const std::chrono::system_clock::time_point& tp);

// Formats the message (never cut, however long) and logs it, prefixed by the
// source file's base name and line: "file.cpp(42): message".
void WriteLogAt(const char* file, int line, int level, const char* format, ...)
    __attribute__((format(printf, 4, 5)));

#define WriteLog(level, ...) WriteLogAt(__FILE__, __LINE__, (level), __VA_ARGS__)

// Longest text from a peer (a server's contract code or error text) that one
// log line carries whole.
constexpr std::size_t kLogTextLimit = 1024;

// `text` unchanged when it is at most `limit` bytes; otherwise its first bytes
// up to `limit`, not splitting a UTF-8 sequence, followed by "...(cut, N bytes)"
// with N the full length. A peer's text then cannot make a log line huge.
std::string CutForLog(const std::string& text, std::size_t limit = kLogTextLimit);
