#pragma once

#include <atomic>
#include <mutex>
#include <string>

enum ApiLogLevel : int { API_LOG_ERROR = 0, API_LOG_WARN = 1, API_LOG_INFO = 2, API_LOG_DEBUG = 3 };

// The library's one log: appends lines to the file named by SetPath, each
// line through a stream of its own so the file may be moved between lines.
class ApiLogger
{
public:
    static ApiLogger& GetInstance();

    void Write(const char* sourceFile, int line, int level, const char* format, ...)
        __attribute__((format(printf, 5, 6)));

    static const char* LevelName(int level);
    // The level a letter of SetKivQuoteAPILogLevel stands for (case-sensitive).
    static int LevelFromLetter(char letter);

    void SetPath(const std::string& path);
    std::string Path() const;
    void Enable() { m_enabled = true; }
    void SetLevel(int level) { m_level = level; }
    int Level() const { return m_level; }
    bool Enabled() const { return m_enabled; }

private:
    ApiLogger() = default;

    // The path is set while receive threads may already be writing.
    mutable std::mutex m_pathMutex;
    std::string m_path;
    std::atomic<int> m_level { API_LOG_DEBUG };
    std::atomic<bool> m_enabled { true };
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
