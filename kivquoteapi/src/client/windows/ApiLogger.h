#pragma once

#include <atomic>
#include <cstddef>
#include <mutex>
#include <string>

template <typename T> class Immortal;

enum ApiLogLevel : int { API_LOG_ERROR = 0, API_LOG_WARN = 1, API_LOG_INFO = 2, API_LOG_DEBUG = 3 };

// The library's one log: appends lines to the file named by SetPath, each
// line through a stream of its own so the file may be moved between lines.
// It is never destroyed while the library is loaded and holds no heap memory,
// so that neither a late caller nor an unload finds it half gone.
class ApiLogger
{
public:
    static ApiLogger& GetInstance();

    void Write(const char* sourceFile, int line, int level, const char* format, ...)
        __attribute__((format(printf, 5, 6)));

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

    // The path is set while receive threads may already be writing.
    mutable std::mutex m_pathMutex;
    char m_path[kMaxPath + 1] = {};
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
