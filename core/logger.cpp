#include "logger.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "helpers.h"
#include "platform.h"

namespace
{

constexpr std::int64_t kRollOverBytes = 5L * 1024 * 1024;
constexpr int kMaxSequence = 10000;
constexpr auto kSlowWrite = std::chrono::milliseconds(50);

// The lead-byte walk: true when every multi-byte lead is followed by as many
// 10xxxxxx bytes as it announces. Looser than strict UTF-8 on purpose: only
// text passing it is run through the conversion.
bool LooksLikeUtf8(const std::string& text)
{
    int owed = 0;
    for (unsigned char b : text) {
        if (owed > 0) {
            if ((b & 0xC0) != 0x80)
                return false;
            --owed;
            continue;
        }
        if (b < 0x80)
            owed = 0;
        else if (b <= 0xBF)
            return false;
        else if (b <= 0xDF)
            owed = 1;
        else if (b <= 0xEF)
            owed = 2;
        else if (b <= 0xF7)
            owed = 3;
        else if (b == 0xFC || b == 0xFD)
            owed = 5;
        else
            owed = 4;
    }
    return owed == 0;
}

// The whole text, NULs included, so a line never loses its line feed.
std::string ToLocalCharset(const std::string& text)
{
    const std::wstring wide = platform::MultiByteToWide(text.data(), text.size(), platform::kCodePageUtf8);
    return platform::WideToMultiByte(wide, platform::kCodePageAnsi);
}

void PrintToStdout(const std::string& text)
{
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

std::string FileName(const char* base, const platform::LocalTime& t)
{
    std::vector<char> buf(std::strlen(base) + 32);
    std::snprintf(buf.data(), buf.size(), "%s_%04d%02d%02d.log", base, t.year, t.month, t.day);
    return buf.data();
}

std::string RolledFileName(const char* base, const platform::LocalTime& t, int sequence)
{
    std::vector<char> buf(std::strlen(base) + 48);
    std::snprintf(buf.data(), buf.size(), "%s_%04d%02d%02d_%02d.log", base, t.year, t.month, t.day, sequence);
    return buf.data();
}

void RollOverIfLarge(const char* base, const platform::LocalTime& t, const std::string& name)
{
    if (platform::RegularFileSize(name) <= kRollOverBytes)
        return;
    for (int seq = 1; seq <= kMaxSequence; ++seq) {
        if (platform::RenameNoReplace(name, RolledFileName(base, t, seq)))
            return;
    }
}

} // namespace

Logger* Logger::GetInstance()
{
    // Never destroyed: detached worker threads may still log while the
    // process exits, and the logger holds no open file that would need closing.
    static Logger* const instance = new Logger();
    return instance;
}

Logger::Logger()
{
    Init(platform::ExecutablePath());
}

Logger::Logger(const std::string& executablePath)
{
    Init(executablePath);
}

void Logger::Init(const std::string& executablePath)
{
    const std::size_t slash = executablePath.rfind('/');
    const std::string folder
        = slash == std::string::npos ? std::string() : executablePath.substr(0, slash + 1);
    const std::string logFolder = folder + "Logs/";
    std::string stem = slash == std::string::npos ? executablePath : executablePath.substr(slash + 1);
    const std::size_t dot = stem.rfind('.');
    if (dot != std::string::npos && dot > 0)
        stem.resize(dot);

    for (std::size_t i = 1; i < logFolder.size(); ++i) {
        if (logFolder[i] != '/')
            continue;
        const std::string part = logFolder.substr(0, i);
        if (!platform::PathExists(part))
            platform::MakeDirectory(part);
    }

    const std::string base = logFolder + stem;
    std::snprintf(m_basePath, sizeof m_basePath, "%s", base.c_str());
    PrintToStdout(ToLocalCharset(std::string("初始化日志  ") + m_basePath + "\n"));
}

void Logger::SetClock(Clock clock)
{
    m_clock = std::move(clock);
}

std::chrono::system_clock::time_point Logger::Now() const
{
    return m_clock ? m_clock() : std::chrono::system_clock::now();
}

std::string Logger::DayFilePath() const
{
    return FileName(m_basePath, platform::LocalTimeNow());
}

void Logger::Log(int level, const std::string& message)
{
    WriteToFile(level, FormatTimestamp() + LevelTag(level) + message);
}

void Logger::WriteToFile(int level, const std::string& line)
{
    const auto t1 = Now();
    std::lock_guard<std::mutex> lock(m_fileMutex);

    const platform::LocalTime today = platform::LocalTimeNow();
    const std::string name = FileName(m_basePath, today);
    RollOverIfLarge(m_basePath, today, name);

    std::string text = line + "\n";
    if (LooksLikeUtf8(text))
        text = ToLocalCharset(text);
    const auto t2 = Now();

    if (level <= LogInfo)
        PrintToStdout(text);
    const auto t3 = Now();

    if (FILE* f = std::fopen(name.c_str(), "a")) {
        std::fwrite(text.data(), 1, text.size(), f);
        std::fclose(f);
    } else {
        PrintToStdout(ToLocalCharset("@@@@@@@写日志文件失败@@@@@@\n"));
    }
    const auto t4 = Now();

    if (t4 - t1 > kSlowWrite) {
        if (FILE* f = std::fopen(name.c_str(), "a")) {
            const std::string note = "t1 = " + TimePointToString(t1) + ", " + "t2 = " + TimePointToString(t2)
                + ", " + "t3 = " + TimePointToString(t3) + ", " + "t4 = " + TimePointToString(t4) + "\n";
            std::fwrite(note.data(), 1, note.size(), f);
            std::fclose(f);
        }
    }
}

std::string Logger::FormatTimestamp()
{
    const platform::LocalTime t = platform::LocalTimeNow();
    char buf[64];
    std::snprintf(buf, sizeof buf, "%4d-%02d-%02d %02d:%02d:%02d %03d", t.year, t.month, t.day, t.hour,
        t.minute, t.second, t.millisecond);
    return buf;
}

std::string Logger::LevelTag(int level)
{
    switch (level) {
    case LogError:
        return " [ERROR] ";
    case LogWarn:
        return " [WARN] ";
    case LogInfo:
        return " [INFO] ";
    case LogTrace:
        return " [TRACE] ";
    default:
        return " [DEBUG] ";
    }
}

std::string TimePointToString(const std::chrono::system_clock::time_point& tp)
{
    return MsToString(std::chrono::duration_cast<std::chrono::milliseconds>(tp.time_since_epoch()).count());
}

void WriteLogAt(const char* file, int line, int level, const char* format, ...)
{
    char small[4096];
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int needed = std::vsnprintf(small, sizeof small, format, args);
    va_end(args);

    std::string message;
    if (needed >= static_cast<int>(sizeof small)) {
        std::vector<char> large(static_cast<std::size_t>(needed) + 1);
        std::vsnprintf(large.data(), large.size(), format, again);
        message.assign(large.data(), static_cast<std::size_t>(needed));
    } else if (needed > 0) {
        message.assign(small, static_cast<std::size_t>(needed));
    }
    va_end(again);

    const char* base = file ? file : "";
    for (const char* p = base; *p; ++p) {
        if (*p == '/' || *p == '\\')
            base = p + 1;
    }
    Logger::GetInstance()->Log(level, std::string(base) + "(" + std::to_string(line) + "): " + message);
}

std::string CutForLog(const std::string& text, std::size_t limit)
{
    if (text.size() <= limit)
        return text;
    std::size_t end = limit;
    // Back to the lead byte of a sequence cut in two, so the rest stays
    // well-formed and is still converted; at most the longest sequence back.
    for (int step = 0; step < 6 && end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80; ++step)
        --end;
    return text.substr(0, end) + "...(cut, " + std::to_string(text.size()) + " bytes)";
}
