#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <ctime>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include <gtest/gtest.h>

#include "logger.h"
#include "platform.h"
#include "testsupport.h"

using namespace std::chrono_literals;

namespace
{

std::string ReadAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        lines.push_back(line);
    return lines;
}

void MakeFileOfSize(const std::string& path, std::size_t size)
{
    std::ofstream out(path, std::ios::binary);
    const std::string block(64 * 1024, 'x');
    while (size > 0) {
        const std::size_t n = std::min(size, block.size());
        out.write(block.data(), static_cast<std::streamsize>(n));
        size -= n;
    }
}

// Runs the working directory somewhere else for the life of the object.
class ScopedCwd
{
public:
    explicit ScopedCwd(const std::string& dir)
    {
        char buf[4096];
        if (getcwd(buf, sizeof buf))
            m_old = buf;
        EXPECT_EQ(chdir(dir.c_str()), 0);
    }
    ~ScopedCwd() { EXPECT_EQ(chdir(m_old.c_str()), 0); }

private:
    std::string m_old;
};

// A logger writing under a scratch folder, as if the program lived there.
struct LoggerInScratch {
    ScratchDir dir;
    Logger logger { dir / "Quorvel" };
    std::string DayFile() const { return logger.DayFilePath(); }
};

// True when the text has the shape of the pattern, where '9' stands for any digit.
bool HasShape(const std::string& text, const std::string& pattern)
{
    if (text.size() != pattern.size())
        return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool ok = pattern[i] == '9' ? std::isdigit(static_cast<unsigned char>(text[i])) != 0
                                          : text[i] == pattern[i];
        if (!ok)
            return false;
    }
    return true;
}

const std::string kTimestampShape = "9999-99-99 99:99:99 999";

// The line's timestamp has the right shape; the rest (tag and message) is returned.
std::string AfterTimestamp(const std::string& line)
{
    if (line.size() < kTimestampShape.size() || !HasShape(line.substr(0, 23), kTimestampShape))
        return "<no timestamp: " + line.substr(0, 40) + ">";
    return line.substr(23);
}

} // namespace

TEST(Logger, CreatesLogsFolderBesideTheExecutable)
{
    ScratchDir exeRoot, elsewhere;
    ScopedCwd cwd(elsewhere.path());
    const std::string exe = exeRoot / "opt/quorvel/bin/Quorvel";

    testing::internal::CaptureStdout();
    Logger logger(exe);
    const std::string out = testing::internal::GetCapturedStdout();

    const std::string base = exeRoot / "opt/quorvel/bin/Logs/Quorvel";
    EXPECT_EQ(logger.BasePath(), base);
    EXPECT_EQ(out, "初始化日志  " + base + "\n");
    EXPECT_TRUE(platform::PathExists(exeRoot / "opt/quorvel/bin/Logs")) << "missing parents are made too";
    EXPECT_FALSE(platform::PathExists(elsewhere / "Logs"));

    logger.Log(LogDebug, "first line");
    const std::string day = logger.DayFilePath();
    EXPECT_EQ(day.rfind(base + "_", 0), 0u) << day;
    EXPECT_TRUE(HasShape(day, base + "_99999999.log")) << day;
    EXPECT_NE(ReadAll(day).find("first line"), std::string::npos);
}

TEST(Logger, StemIsTheFileNameWithoutItsExtension)
{
    ScratchDir dir;
    struct Case {
        std::string exe;
        std::string base;
    };
    const Case cases[] = {
        { dir / "Quorvel", dir / "Logs/Quorvel" },
        { dir / "Quorvel.exe", dir / "Logs/Quorvel" },
        { dir / "a.b.bin", dir / "Logs/a.b" },
        { dir / ".hidden", dir / "Logs/.hidden" },
    };
    for (const auto& c : cases) {
        testing::internal::CaptureStdout();
        Logger logger(c.exe);
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(logger.BasePath(), c.base);
    }
}

TEST(Logger, ProcessLoggerLivesBesideTheTestProgram)
{
    const std::string exe = platform::ExecutablePath();
    const std::string folder = exe.substr(0, exe.rfind('/') + 1);
    Logger* logger = Logger::GetInstance();
    ASSERT_NE(logger, nullptr);
    EXPECT_EQ(logger, Logger::GetInstance());
    EXPECT_EQ(logger->BasePath(), folder + "Logs/core_test_logger");
    EXPECT_TRUE(platform::PathExists(folder + "Logs"));
}

TEST(Logger, LineShapeTagsAndEcho)
{
    LoggerInScratch s;
    struct Case {
        int level;
        const char* tag;
        bool echoed;
    };
    const Case cases[] = {
        { 0, " [ERROR] ", true },
        { 1, " [WARN] ", true },
        { 2, " [INFO] ", true },
        { 3, " [DEBUG] ", false },
        { 4, " [TRACE] ", false },
        { 7, " [DEBUG] ", false },
        { -1, " [DEBUG] ", true },
        { -2, " [DEBUG] ", true },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.level);
        const std::string message = "level " + std::to_string(c.level) + " message";
        testing::internal::CaptureStdout();
        s.logger.Log(c.level, message);
        const std::string out = testing::internal::GetCapturedStdout();

        const auto lines = Lines(ReadAll(s.DayFile()));
        ASSERT_FALSE(lines.empty());
        const std::string& last = lines.back();
        EXPECT_EQ(AfterTimestamp(last), c.tag + message);
        EXPECT_EQ(out, c.echoed ? last + "\n" : "");
    }
    EXPECT_EQ(Lines(ReadAll(s.DayFile())).size(), std::size(cases));
}

TEST(Logger, RollOverPastFiveMebibytes)
{
    LoggerInScratch s;
    const std::string day = s.DayFile();
    const std::string rolled = day.substr(0, day.size() - 4) + "_01.log";

    MakeFileOfSize(day, 5242880);
    s.logger.Log(LogDebug, "exactly five MiB: appended");
    EXPECT_FALSE(platform::PathExists(rolled));
    const std::string grown = ReadAll(day);
    EXPECT_GT(grown.size(), 5242880u);
    EXPECT_NE(grown.find("appended"), std::string::npos);

    ScratchDir fresh;
    Logger other(fresh / "Quorvel");
    const std::string day2 = other.DayFilePath();
    const std::string rolled2 = day2.substr(0, day2.size() - 4) + "_01.log";
    MakeFileOfSize(day2, 5242881);
    other.Log(LogDebug, "one byte more: new file");
    ASSERT_TRUE(platform::PathExists(rolled2));
    EXPECT_EQ(ReadAll(rolled2).size(), 5242881u);
    const auto lines = Lines(ReadAll(day2));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("one byte more: new file"), std::string::npos);
}

TEST(Logger, RollOverTakesTheFirstFreeSequenceNumber)
{
    LoggerInScratch s;
    const std::string day = s.DayFile();
    const std::string stem = day.substr(0, day.size() - 4);
    for (const char* taken : { "_01.log", "_02.log", "_03.log", "_05.log" })
        std::ofstream(stem + taken) << "taken " << taken;

    MakeFileOfSize(day, 5242881);
    s.logger.Log(LogDebug, "after roll-over");
    EXPECT_EQ(ReadAll(stem + "_04.log").size(), 5242881u);
    EXPECT_EQ(ReadAll(stem + "_01.log"), "taken _01.log") << "a taken name is never overwritten";
    EXPECT_EQ(ReadAll(stem + "_05.log"), "taken _05.log");
    EXPECT_EQ(Lines(ReadAll(day)).size(), 1u);
}

TEST(Logger, SlowWriteNoteAfterMoreThanFiftyMilliseconds)
{
    struct Case {
        std::chrono::milliseconds total;
        bool noted;
    };
    const Case cases[] = { { 50ms, false }, { 51ms, true }, { 0ms, false }, { 500ms, true } };
    ScopedEnv tz("TZ", "UTC0");
    tzset();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.total.count());
        LoggerInScratch s;
        // t1, t2, t3, t4 as the write takes them.
        const auto start = std::chrono::system_clock::time_point(1234567890123ms);
        std::vector<std::chrono::system_clock::time_point> ticks
            = { start, start + 1ms, start + 2ms, start + c.total };
        std::size_t next = 0;
        s.logger.SetClock([&] { return ticks[std::min(next++, ticks.size() - 1)]; });
        s.logger.Log(LogDebug, "timed line");
        const auto lines = Lines(ReadAll(s.DayFile()));
        ASSERT_EQ(lines.size(), c.noted ? 2u : 1u);
        EXPECT_NE(lines[0].find("timed line"), std::string::npos);
        if (c.noted) {
            EXPECT_EQ(lines[1],
                "t1 = " + TimePointToString(ticks[0]) + ", t2 = " + TimePointToString(ticks[1])
                    + ", t3 = " + TimePointToString(ticks[2]) + ", t4 = " + TimePointToString(ticks[3]));
            EXPECT_EQ(lines[1].substr(0, 28), "t1 = 2009-02-13 23:31:30.123");
        }
    }
    tzset();
}

TEST(Logger, TimePointToStringTruncatesToMilliseconds)
{
    ScopedEnv tz("TZ", "UTC0");
    tzset();
    using std::chrono::microseconds;
    const std::chrono::system_clock::time_point tp(
        std::chrono::duration_cast<std::chrono::system_clock::duration>(microseconds(1234567890123999LL)));
    EXPECT_EQ(TimePointToString(tp), "2009-02-13 23:31:30.123");
    EXPECT_EQ(TimePointToString(std::chrono::system_clock::time_point()), "1970-01-01 00:00:00.000");
    tzset();
}

TEST(Logger, FormatTimestampShape)
{
    EXPECT_TRUE(HasShape(Logger::FormatTimestamp(), kTimestampShape)) << Logger::FormatTimestamp();
}

TEST(Logger, TextIsWrittenInTheLocaleCharset)
{
    {
        ScopedLocale utf8("C.UTF-8");
        ASSERT_TRUE(utf8.ok());
        LoggerInScratch s;
        s.logger.Log(LogDebug, "原油");
        EXPECT_EQ(AfterTimestamp(Lines(ReadAll(s.DayFile())).back()), " [DEBUG] 原油");
    }
    ScopedLocale gbk("zh_CN.GBK");
    if (!gbk.ok())
        GTEST_SKIP() << "zh_CN.GBK is not installed";
    LoggerInScratch s;
    s.logger.Log(LogDebug, "中文");
    s.logger.Log(LogDebug, "\xD6\xD0\xCE\xC4"); // already GBK: not UTF-8 by the lead-byte walk
    const auto lines = Lines(ReadAll(s.DayFile()));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(AfterTimestamp(lines[0]), " [DEBUG] \xD6\xD0\xCE\xC4");
    EXPECT_EQ(AfterTimestamp(lines[1]), " [DEBUG] \xD6\xD0\xCE\xC4");
}

TEST(Logger, FailuresAreReportedOnStdoutOnly)
{
    // The day file's name taken by a folder (never rolled over), or by a link
    // into a folder that does not exist: the append cannot open either.
    for (int how = 0; how < 2; ++how) {
        SCOPED_TRACE(how);
        LoggerInScratch s;
        if (how == 0)
            ASSERT_TRUE(platform::MakeDirectory(s.DayFile()));
        else
            ASSERT_EQ(symlink((s.dir / "missing/target.log").c_str(), s.DayFile().c_str()), 0);
        testing::internal::CaptureStdout();
        s.logger.Log(LogDebug, "lost line");
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "@@@@@@@写日志文件失败@@@@@@\n");
        const std::string day = s.DayFile();
        EXPECT_FALSE(platform::PathExists(day.substr(0, day.size() - 4) + "_01.log"));
    }
    // A log folder that cannot be made: a plain file stands where a parent should be.
    {
        ScratchDir dir;
        std::ofstream(dir / "file") << "not a folder";
        testing::internal::CaptureStdout();
        Logger logger(dir / "file/bin/Quorvel");
        logger.Log(LogWarn, "nowhere to go");
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_NE(out.find("初始化日志  " + (dir / "file/bin/Logs/Quorvel")), std::string::npos);
        EXPECT_NE(out.find(" [WARN] nowhere to go\n@@@@@@@写日志文件失败@@@@@@\n"), std::string::npos) << out;
    }
}

TEST(Logger, LinesOfSeveralThreadsNeverInterleave)
{
    LoggerInScratch s;
    constexpr int kThreads = 8;
    constexpr int kLines = 150;
    const std::string filler(500, 'x');
    std::atomic<bool> go { false };
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            while (!go)
                std::this_thread::yield();
            for (int i = 0; i < kLines; ++i)
                s.logger.Log(
                    LogDebug, "T" + std::to_string(t) + "#" + std::to_string(i) + " " + filler + " end");
        });
    }
    go = true;
    for (auto& th : threads)
        th.join();

    // Under heavy contention a write may take over 50 ms; its timing note then
    // follows it directly, which the walk below checks as well.
    std::vector<std::string> lines;
    for (const auto& line : Lines(ReadAll(s.DayFile()))) {
        if (line.rfind("t1 = ", 0) == 0) {
            ASSERT_FALSE(lines.empty()) << "a note follows its line";
            EXPECT_NE(line.find(", t4 = "), std::string::npos) << line;
            continue;
        }
        lines.push_back(line);
    }
    ASSERT_EQ(lines.size(), static_cast<std::size_t>(kThreads * kLines));
    const std::string tail = " " + filler + " end";
    std::vector<int> nextOf(kThreads, 0);
    for (const auto& line : lines) {
        // " [DEBUG] T<thread>#<number> xxx...x end"
        const std::string rest = AfterTimestamp(line);
        ASSERT_EQ(rest.rfind(" [DEBUG] T", 0), 0u) << rest.substr(0, 60);
        ASSERT_GT(rest.size(), tail.size());
        ASSERT_EQ(rest.substr(rest.size() - tail.size()), tail) << "line cut or mixed with another";
        const std::string id = rest.substr(10, rest.size() - tail.size() - 10);
        const std::size_t hash = id.find('#');
        ASSERT_NE(hash, std::string::npos) << id;
        const int t = std::stoi(id.substr(0, hash));
        ASSERT_GE(t, 0);
        ASSERT_LT(t, kThreads);
        EXPECT_EQ(id.substr(hash + 1), std::to_string(nextOf[t]++)) << "each thread's lines keep their order";
    }
    EXPECT_EQ(nextOf, std::vector<int>(kThreads, kLines));
}

TEST(Logger, WriteLogKeepsLongMessagesWhole)
{
    const std::string day = Logger::GetInstance()->DayFilePath();
    const std::string marker = "run" + std::to_string(getpid()) + "-" + std::to_string(std::time(nullptr));
    for (std::size_t length : { 4094u, 4095u, 4096u, 4097u, 20000u }) {
        SCOPED_TRACE(length);
        const std::string body(length, 'q');
        const int line = __LINE__ + 1;
        WriteLog(LogDebug, "%s %zu %s|", marker.c_str(), length, body.c_str());
        const std::string expected = " [DEBUG] test_logger.cpp(" + std::to_string(line) + "): " + marker + " "
            + std::to_string(length) + " " + body + "|";
        bool found = false;
        for (const auto& l : Lines(ReadAll(day))) {
            if (AfterTimestamp(l) == expected)
                found = true;
        }
        EXPECT_TRUE(found);
    }
}

TEST(Logger, WriteLogPrefixesFileAndLine)
{
    const std::string day = Logger::GetInstance()->DayFilePath();
    testing::internal::CaptureStdout();
    const int line = __LINE__ + 1;
    WriteLog(LogInfo, "value %d and %s", 42, "text");
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string expected = " [INFO] test_logger.cpp(" + std::to_string(line) + "): value 42 and text\n";
    ASSERT_GT(out.size(), expected.size());
    EXPECT_EQ(AfterTimestamp(out), expected);
    EXPECT_EQ(Lines(ReadAll(day)).back() + "\n", out);
}

TEST(Logger, CutForLogKeepsShortTextsAndCutsLongOnesWhole)
{
    const std::string han = "\xe5\x90\x88"; // one three-byte character
    struct Case {
        std::string text;
        std::size_t limit;
        std::string expected;
    };
    const Case cases[] = {
        { "", 4, "" },
        { "abcd", 4, "abcd" },
        { "abcde", 4, "abcd...(cut, 5 bytes)" },
        // Never half a character: the cut goes back to the character's start.
        { "ab" + han + han, 4, "ab...(cut, 8 bytes)" },
        { "ab" + han + han, 5, "ab" + han + "...(cut, 8 bytes)" },
        { "a\xf0\x9f\x98\x80", 4, "a...(cut, 5 bytes)" }, // a four-byte character, three of it kept
        { std::string(5000, 'x'), kLogTextLimit, std::string(1024, 'x') + "...(cut, 5000 bytes)" },
    };
    for (const Case& c : cases)
        EXPECT_EQ(CutForLog(c.text, c.limit), c.expected) << c.text.size() << " " << c.limit;
}
