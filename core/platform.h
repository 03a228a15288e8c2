#pragma once

// The few operating-system services the terminal needs, behind one interface.
// The implementation for Linux lives in platform_posix.cpp; nothing else in the
// program talks to the system for these.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <functional>
#include <string>

namespace platform
{

// Code pages as the conversion functions take them.
constexpr unsigned kCodePageAnsi = 0; // the process locale's character set
constexpr unsigned kCodePageUtf8 = 65001; // UTF-8, whatever the locale

// Calendar time with milliseconds.
struct LocalTime {
    int year = 0; // e.g. 2026
    int month = 0; // 1..12
    int day = 0; // 1..31
    int hour = 0; // 0..23
    int minute = 0; // 0..59
    int second = 0; // 0..60
    int millisecond = 0;
};

// Full path of the running executable; empty when the system cannot say.
std::string ExecutablePath();

// The current local time, to the millisecond.
LocalTime LocalTimeNow();

// Breaks seconds since 1970-01-01 00:00:00 UTC down into local calendar time.
// Returns false (and leaves *out untouched) when the value cannot be represented.
bool ToLocalCalendar(std::int64_t secondsSinceEpoch, std::tm* out);

// True when something (file, folder, link target) exists at the path.
bool PathExists(const std::string& path);

// Size in bytes of the regular file at the path; -1 when there is none
// (missing, a folder, a device, ...).
std::int64_t RegularFileSize(const std::string& path);

// Creates one folder level; false when it could not (parent missing, name taken, ...).
bool MakeDirectory(const std::string& path);

// Renames a file, never replacing an existing target: false when the target
// exists or the rename fails for any other reason.
bool RenameNoReplace(const std::string& from, const std::string& to);

// Renames a file over the target in one step: a reader of the target sees the
// old file or the new one, never a mix or none. False when it could not.
bool RenameReplacing(const std::string& from, const std::string& to);

// Name of the character set that stands for the "ANSI code page": the process
// locale's charset (LC_CTYPE). The plain "C"/"POSIX" locale names only ASCII;
// it counts as UTF-8, the same choice the Qt runtime makes for it.
std::string AnsiCharset();

// Decodes `length` bytes in the given code page into wide characters (Unicode
// code points). Byte sequences that are not valid in the code page decode as
// U+FFFD. An unknown code page gives an empty result.
std::wstring MultiByteToWide(const char* text, std::size_t length, unsigned codePage);

// Encodes wide characters in the given code page; characters the code page
// cannot represent come out as '?'. An unknown code page gives an empty result.
std::string WideToMultiByte(const std::wstring& text, unsigned codePage);

// Makes the C library and Qt agree on the locale's character set: adopts the
// environment's locale (setlocale(LC_ALL, "")) and points Qt's local 8-bit codec
// at the same charset, so QString::fromLocal8Bit reads what the conversions
// above produce. Call once at start, after the QApplication exists.
void InitLocale();

// Opens a link in the user's default browser. Returns false when no browser
// could be started. The address is UTF-8, or wide characters for the overload.
bool OpenUrl(const std::string& url);
bool OpenUrl(const std::wstring& url);

// Replaces what OpenUrl does (tests watch the calls without starting a browser);
// an empty handler restores the browser. Returns the handler it replaces.
using OpenUrlHandler = std::function<bool(const std::string& url)>;
OpenUrlHandler SetOpenUrlHandler(OpenUrlHandler handler);

// The requests to stop the program that come from outside it (on Linux
// SIGTERM, SIGINT and SIGHUP), turned into something an event loop can wait
// for: while an object of this class lives, each such request makes the
// descriptor ReadyDescriptor() readable instead of ending the process, and
// the previous handling comes back when it is destroyed. The handler itself
// only writes to a pipe, so it is safe whatever the program was doing. One
// object at a time; made and destroyed on one thread.
class StopRequests
{
public:
    StopRequests();
    ~StopRequests();
    StopRequests(const StopRequests&) = delete;
    StopRequests& operator=(const StopRequests&) = delete;

    // -1 when the requests could not be caught (they then end the process as before).
    int ReadyDescriptor() const { return m_read; }
    // The name of the next request that came ("SIGTERM"), or empty when none is waiting.
    std::string Take();

private:
    int m_read = -1;
    int m_write = -1;
};

} // namespace platform
