#include "platform.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <limits>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <mutex>
#include <vector>

#include <csignal>
#include <fcntl.h>
#include <iconv.h>
#include <langinfo.h>
#include <link.h>
#include <sys/auxv.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDesktopServices>
#include <QGuiApplication>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTextCodec>
#include <QUrl>

namespace platform
{

namespace
{

    constexpr wchar_t kReplacement = 0xFFFD;

    std::string NormalisedCharsetName(const std::string& name)
    {
        std::string out;
        for (char c : name) {
            if (c != '-' && c != '_')
                out.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
        }
        return out;
    }

    bool IsUtf8Name(const std::string& charset)
    {
        return NormalisedCharsetName(charset) == "UTF8";
    }

    // The charset the code page stands for, or empty when there is none.
    std::string CharsetOf(unsigned codePage)
    {
        if (codePage == kCodePageAnsi)
            return AnsiCharset();
        if (codePage == kCodePageUtf8)
            return "UTF-8";
        return "CP" + std::to_string(codePage);
    }

    // Strict UTF-8: overlong forms, surrogates and values above U+10FFFF are
    // rejected; each maximal ill-formed subsequence becomes one U+FFFD.
    std::wstring DecodeUtf8(const unsigned char* p, std::size_t n)
    {
        std::wstring out;
        out.reserve(n);
        std::size_t i = 0;
        while (i < n) {
            unsigned char b = p[i];
            if (b < 0x80) {
                out.push_back(static_cast<wchar_t>(b));
                ++i;
                continue;
            }
            int need = 0;
            std::uint32_t cp = 0;
            unsigned char lo = 0x80, hi = 0xBF;
            if (b >= 0xC2 && b <= 0xDF) {
                need = 1;
                cp = b & 0x1F;
            } else if (b >= 0xE0 && b <= 0xEF) {
                need = 2;
                cp = b & 0x0F;
                if (b == 0xE0)
                    lo = 0xA0;
                else if (b == 0xED)
                    hi = 0x9F;
            } else if (b >= 0xF0 && b <= 0xF4) {
                need = 3;
                cp = b & 0x07;
                if (b == 0xF0)
                    lo = 0x90;
                else if (b == 0xF4)
                    hi = 0x8F;
            } else {
                out.push_back(kReplacement);
                ++i;
                continue;
            }
            std::size_t j = i + 1;
            bool ok = true;
            for (int k = 0; k < need; ++k, ++j) {
                if (j >= n) {
                    ok = false;
                    break;
                }
                unsigned char c = p[j];
                unsigned char l = k == 0 ? lo : 0x80, h = k == 0 ? hi : 0xBF;
                if (c < l || c > h) {
                    ok = false;
                    break;
                }
                cp = (cp << 6) | (c & 0x3F);
            }
            if (ok) {
                out.push_back(static_cast<wchar_t>(cp));
                i = j;
            } else {
                out.push_back(kReplacement);
                i = j; // skip the maximal subpart, resume at the offending byte
            }
        }
        return out;
    }

    std::string EncodeUtf8(const std::wstring& text)
    {
        std::string out;
        out.reserve(text.size());
        for (wchar_t wc : text) {
            auto cp = static_cast<std::uint32_t>(wc);
            if (cp < 0x80) {
                out.push_back(static_cast<char>(cp));
            } else if (cp < 0x800) {
                out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
                out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
            } else if (cp < 0x10000) {
                if (cp >= 0xD800 && cp <= 0xDFFF) {
                    out.push_back('?');
                    continue;
                }
                out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
                out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
                out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
            } else if (cp <= 0x10FFFF) {
                out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
                out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
                out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
                out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
            } else {
                out.push_back('?');
            }
        }
        return out;
    }

    class Iconv
    {
    public:
        Iconv(const std::string& to, const std::string& from)
            : m_cd(iconv_open(to.c_str(), from.c_str()))
        {
        }
        ~Iconv()
        {
            if (ok())
                iconv_close(m_cd);
        }
        Iconv(const Iconv&) = delete;
        Iconv& operator=(const Iconv&) = delete;
        bool ok() const { return m_cd != reinterpret_cast<iconv_t>(-1); }
        iconv_t get() const { return m_cd; }

    private:
        iconv_t m_cd;
    };

    std::wstring DecodeWithIconv(const std::string& charset, const char* text, std::size_t length)
    {
        Iconv cv("WCHAR_T", charset);
        if (!cv.ok())
            return {};
        std::wstring out;
        std::vector<wchar_t> chunk(256);
        char* in = const_cast<char*>(text);
        std::size_t inLeft = length;
        while (inLeft > 0) {
            char* dst = reinterpret_cast<char*>(chunk.data());
            std::size_t dstLeft = chunk.size() * sizeof(wchar_t);
            std::size_t r = iconv(cv.get(), &in, &inLeft, &dst, &dstLeft);
            out.append(chunk.data(), reinterpret_cast<wchar_t*>(dst) - chunk.data());
            if (r != static_cast<std::size_t>(-1))
                break;
            if (errno == E2BIG)
                continue;
            out.push_back(kReplacement);
            if (errno == EILSEQ) {
                ++in;
                --inLeft;
                iconv(cv.get(), nullptr, nullptr, nullptr, nullptr);
            } else {
                break; // EINVAL: the text ends inside a character
            }
        }
        return out;
    }

    std::string EncodeWithIconv(const std::string& charset, const std::wstring& text)
    {
        Iconv cv(charset, "WCHAR_T");
        if (!cv.ok())
            return {};
        std::string out;
        std::vector<char> chunk(1024);
        char* in = reinterpret_cast<char*>(const_cast<wchar_t*>(text.data()));
        std::size_t inLeft = text.size() * sizeof(wchar_t);
        while (inLeft > 0) {
            char* dst = chunk.data();
            std::size_t dstLeft = chunk.size();
            std::size_t r = iconv(cv.get(), &in, &inLeft, &dst, &dstLeft);
            out.append(chunk.data(), dst - chunk.data());
            if (r != static_cast<std::size_t>(-1) || errno == E2BIG)
                continue;
            if (errno != EILSEQ || inLeft < sizeof(wchar_t))
                break;
            out.push_back('?');
            in += sizeof(wchar_t);
            inLeft -= sizeof(wchar_t);
        }
        // Stateful charsets may owe a closing shift sequence.
        char* dst = chunk.data();
        std::size_t dstLeft = chunk.size();
        if (iconv(cv.get(), nullptr, nullptr, &dst, &dstLeft) != static_cast<std::size_t>(-1))
            out.append(chunk.data(), dst - chunk.data());
        return out;
    }

    std::mutex g_urlMutex;
    OpenUrlHandler g_urlHandler;

    bool OpenInBrowser(const std::string& url)
    {
        const QString text = QString::fromStdString(url);
        if (qobject_cast<QGuiApplication*>(QCoreApplication::instance())
            && QDesktopServices::openUrl(QUrl(text, QUrl::TolerantMode)))
            return true;
        return QProcess::startDetached(QStringLiteral("xdg-open"), QStringList { text });
    }

    std::string RealPath(const char* path)
    {
        char* resolved = path != nullptr ? realpath(path, nullptr) : nullptr;
        if (resolved == nullptr)
            return {};
        std::string out(resolved);
        std::free(resolved);
        return out;
    }

    // The dynamic loader the main program names (its PT_INTERP), resolved.
    std::string ProgramInterpreter()
    {
        std::string interp;
        dl_iterate_phdr(
            [](dl_phdr_info* info, std::size_t, void* out) {
                for (int i = 0; i < info->dlpi_phnum; ++i)
                    if (info->dlpi_phdr[i].p_type == PT_INTERP)
                        *static_cast<std::string*>(out)
                            = reinterpret_cast<const char*>(info->dlpi_addr + info->dlpi_phdr[i].p_vaddr);
                return 1; // the main program comes first
            },
            &interp);
        return interp.empty() ? std::string {} : RealPath(interp.c_str());
    }

    std::string ReadProcSelfExe()
    {
        std::vector<char> buf(PATH_MAX);
        for (;;) {
            ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size());
            if (n < 0)
                return {};
            if (static_cast<std::size_t>(n) < buf.size())
                return std::string(buf.data(), static_cast<std::size_t>(n));
            buf.resize(buf.size() * 2);
        }
    }
} // namespace

std::string ExecutablePath()
{
    std::string exe = ReadProcSelfExe();
    // When the loader was run as a command ("ld-linux.so ./Quorvel"), the
    // kernel ran the loader and /proc/self/exe names it; the loader then
    // records the program it mapped as the executable's file name.
    if (!exe.empty() && exe == ProgramInterpreter()) {
        std::string given = RealPath(reinterpret_cast<const char*>(getauxval(AT_EXECFN)));
        if (!given.empty() && given != exe)
            return given;
    }
    return exe;
}

LocalTime LocalTimeNow()
{
    timespec ts {};
    clock_gettime(CLOCK_REALTIME, &ts);
    std::tm tm {};
    LocalTime out;
    if (!ToLocalCalendar(ts.tv_sec, &tm))
        return out;
    out.year = tm.tm_year + 1900;
    out.month = tm.tm_mon + 1;
    out.day = tm.tm_mday;
    out.hour = tm.tm_hour;
    out.minute = tm.tm_min;
    out.second = tm.tm_sec;
    out.millisecond = static_cast<int>(ts.tv_nsec / 1000000);
    return out;
}

bool ToLocalCalendar(std::int64_t secondsSinceEpoch, std::tm* out)
{
    if (secondsSinceEpoch < std::numeric_limits<time_t>::min()
        || secondsSinceEpoch > std::numeric_limits<time_t>::max())
        return false;
    const time_t t = static_cast<time_t>(secondsSinceEpoch);
    std::tm tm {};
    if (!localtime_r(&t, &tm))
        return false;
    *out = tm;
    return true;
}

bool PathExists(const std::string& path)
{
    return access(path.c_str(), F_OK) == 0;
}

std::int64_t RegularFileSize(const std::string& path)
{
    struct stat st {
    };
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return -1;
    return static_cast<std::int64_t>(st.st_size);
}

bool MakeDirectory(const std::string& path)
{
    return mkdir(path.c_str(), 0755) == 0;
}

bool RenameNoReplace(const std::string& from, const std::string& to)
{
    if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS)
        return false;
    // File systems without the no-replace flag: a hard link fails on an
    // existing name just the same, and the old name is then dropped.
    if (link(from.c_str(), to.c_str()) != 0)
        return false;
    unlink(from.c_str());
    return true;
}

bool RenameReplacing(const std::string& from, const std::string& to)
{
    return std::rename(from.c_str(), to.c_str()) == 0;
}

std::string AnsiCharset()
{
    const char* codeset = nl_langinfo(CODESET);
    std::string name = codeset ? codeset : "";
    const std::string norm = NormalisedCharsetName(name);
    if (norm.empty() || norm == "ANSIX3.41968" || norm == "ASCII" || norm == "USASCII" || IsUtf8Name(name))
        return "UTF-8";
    return name;
}

std::wstring MultiByteToWide(const char* text, std::size_t length, unsigned codePage)
{
    if (!text || length == 0)
        return {};
    const std::string charset = CharsetOf(codePage);
    if (IsUtf8Name(charset))
        return DecodeUtf8(reinterpret_cast<const unsigned char*>(text), length);
    return DecodeWithIconv(charset, text, length);
}

std::string WideToMultiByte(const std::wstring& text, unsigned codePage)
{
    if (text.empty())
        return {};
    const std::string charset = CharsetOf(codePage);
    if (IsUtf8Name(charset))
        return EncodeUtf8(text);
    return EncodeWithIconv(charset, text);
}

void InitLocale()
{
    std::setlocale(LC_ALL, "");
    const std::string charset = AnsiCharset();
    if (QTextCodec* codec = QTextCodec::codecForName(charset.c_str()))
        QTextCodec::setCodecForLocale(codec);
}

bool OpenUrl(const std::string& url)
{
    OpenUrlHandler handler;
    {
        std::lock_guard<std::mutex> lock(g_urlMutex);
        handler = g_urlHandler;
    }
    if (handler)
        return handler(url);
    return OpenInBrowser(url);
}

bool OpenUrl(const std::wstring& url)
{
    return OpenUrl(EncodeUtf8(url));
}

OpenUrlHandler SetOpenUrlHandler(OpenUrlHandler handler)
{
    std::lock_guard<std::mutex> lock(g_urlMutex);
    std::swap(g_urlHandler, handler);
    return handler;
}

namespace
{

    constexpr int kStopSignals[] = { SIGTERM, SIGINT, SIGHUP };
    // Written by the signal handler, read by the thread that owns the StopRequests.
    volatile std::sig_atomic_t g_stopPipe = -1;
    struct sigaction g_previous[std::size(kStopSignals)];

    void OnStopSignal(int signal)
    {
        const int savedErrno = errno;
        const unsigned char byte = static_cast<unsigned char>(signal);
        // A full pipe already holds a request the program has not taken yet.
        [[maybe_unused]] const ssize_t written = write(g_stopPipe, &byte, 1);
        errno = savedErrno;
    }

} // namespace

StopRequests::StopRequests()
{
    int ends[2];
    if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    m_read = ends[0];
    m_write = ends[1];
    g_stopPipe = m_write;
    struct sigaction action {
    };
    action.sa_handler = &OnStopSignal;
    sigemptyset(&action.sa_mask);
    // Interrupted system calls resume: the program goes on until its event loop takes the request.
    action.sa_flags = SA_RESTART;
    for (std::size_t i = 0; i < std::size(kStopSignals); ++i)
        sigaction(kStopSignals[i], &action, &g_previous[i]);
}

StopRequests::~StopRequests()
{
    if (m_read < 0)
        return;
    for (std::size_t i = 0; i < std::size(kStopSignals); ++i)
        sigaction(kStopSignals[i], &g_previous[i], nullptr);
    g_stopPipe = -1;
    close(m_read);
    close(m_write);
}

std::string StopRequests::Take()
{
    unsigned char byte = 0;
    if (m_read < 0 || read(m_read, &byte, 1) != 1)
        return {};
    switch (byte) {
    case SIGTERM:
        return "SIGTERM";
    case SIGINT:
        return "SIGINT";
    case SIGHUP:
        return "SIGHUP";
    default:
        return "signal " + std::to_string(byte);
    }
}

} // namespace platform
