#include "ApiLogger.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

#include <sys/stat.h>
#include <sys/time.h>

#include "Immortal.h"

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
}

std::string ApiLogger::Path() const
{
    std::lock_guard<std::mutex> lock(m_pathMutex);
    return m_path;
}

void ApiLogger::Write(const char* sourceFile, int line, int level, const char* format, ...)
{
    if (!m_enabled || level > m_level)
        return;
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
    va_list args;
    va_start(args, format);
    std::vfprintf(file, format, args);
    va_end(args);
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
