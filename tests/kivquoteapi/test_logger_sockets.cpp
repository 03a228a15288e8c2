#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "ApiLogger.h"
#include "ApiSocket.h"
#include "InternalLog.h"
#include "TestLog.h"

using namespace kqtest;

namespace
{

constexpr std::chrono::milliseconds kWait { 5000 };

// A listening socket on 127.0.0.1 with an OS-chosen port.
struct Listener {
    int fd = -1;
    uint16_t port = 0;
    explicit Listener(int backlog = 4)
    {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
        ::listen(fd, backlog);
        socklen_t length = sizeof(address);
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
        port = ntohs(address.sin_port);
    }
    ~Listener() { ::close(fd); }
    int Accept() const { return ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC); }
};

} // namespace

TEST(ApiLogger, LineHasTheTimestampFileLineAndLevelPrefix)
{
    LogWatch watch(TemporaryLogFolder());
    const int line = __LINE__ + 1;
    KQLOG_ERROR("prefix check %d\n", 42);
    const std::string text = watch.Text();

    // "[%Y-%m-%d %H:%M:%S.mmm file:line][LEVEL] message"
    int year, month, day, hour, minute, second, millis, writtenLine, consumed = 0;
    char file[64] = {};
    ASSERT_EQ(std::sscanf(text.c_str(), "[%4d-%2d-%2d %2d:%2d:%2d.%3d %63[^:]:%d][ERROR] %n", &year, &month,
                  &day, &hour, &minute, &second, &millis, file, &writtenLine, &consumed),
        9)
        << text;
    ASSERT_GT(text.size(), 25u);
    EXPECT_EQ(text[0], '[');
    EXPECT_EQ(text[11], ' ');
    EXPECT_EQ(text[20], '.');
    EXPECT_EQ(text[24], ' ') << "three digits of milliseconds";
    EXPECT_STREQ(file, "test_logger_sockets.cpp") << "the base name, without folders";
    EXPECT_EQ(writtenLine, line);
    EXPECT_EQ(text.substr(static_cast<size_t>(consumed)), "prefix check 42\n");
    EXPECT_EQ(text.find('\n'), text.size() - 1) << "one line";

    // The stamp is local time, taken when the line was written.
    std::tm parsed {};
    parsed.tm_year = year - 1900;
    parsed.tm_mon = month - 1;
    parsed.tm_mday = day;
    parsed.tm_hour = hour;
    parsed.tm_min = minute;
    parsed.tm_sec = second;
    parsed.tm_isdst = -1;
    EXPECT_LE(std::abs(std::difftime(std::time(nullptr), std::mktime(&parsed))), 5.0);
}

TEST(ApiLogger, EachLineOpensTheFileAnewSoItCanBeMovedBetweenLines)
{
    TemporaryLogFolder();
    const std::string path = ApiLogger::GetInstance().Path();
    // Marked per run: a repeated run finds the lines of the one before in the file.
    static int run = 0;
    const std::string before = "before the move " + std::to_string(++run);
    const std::string after = "after the move " + std::to_string(run);
    KQLOG_ERROR("%s\n", before.c_str());
    const std::string moved = path + ".moved";
    ASSERT_EQ(std::rename(path.c_str(), moved.c_str()), 0);
    KQLOG_ERROR("%s\n", after.c_str());
    EXPECT_NE(ReadWholeFile(moved).find(before), std::string::npos);
    EXPECT_EQ(ReadWholeFile(moved).find(after), std::string::npos);
    EXPECT_NE(ReadWholeFile(path).find(after), std::string::npos);
    // Other tests look for the one log file in the folder.
    std::remove(moved.c_str());
}

TEST(ApiLogger, LevelNamesAndLetters)
{
    EXPECT_STREQ(ApiLogger::LevelName(0), "ERROR");
    EXPECT_STREQ(ApiLogger::LevelName(1), "WARN");
    EXPECT_STREQ(ApiLogger::LevelName(2), "INFO");
    EXPECT_STREQ(ApiLogger::LevelName(3), "DEBUG");

    for (int c = -128; c < 128; ++c) {
        const char letter = static_cast<char>(c);
        int expected = API_LOG_INFO;
        if (letter == 'D')
            expected = API_LOG_DEBUG;
        else if (letter == 'E' || letter == 'N')
            expected = API_LOG_ERROR;
        else if (letter == 'W')
            expected = API_LOG_WARN;
        EXPECT_EQ(ApiLogger::LevelFromLetter(letter), expected) << "letter " << c;
    }
}

TEST(ApiLogger, EachLevelHasABudgetAndTheLeftOutLinesAreCountedInOneLineOfTheirOwn)
{
    TemporaryLogFolder();
    ApiLimits limits;
    limits.logBurst = 3;
    limits.logLinesPerSecond = 0;
    limits.logSummaryDelay = std::chrono::hours(1);
    ScopedLimits shortened(limits);
    LogWatch watch(TemporaryLogFolder());
    for (int i = 0; i < 10; ++i)
        KQLOG_ERROR("flood %d\n", i);
    KQLOG_INFO("info after the flood\n");
    KQLOG_INFO("info after the flood\n");
    EXPECT_EQ(watch.Count("] flood "), 3u) << watch.Text();
    EXPECT_TRUE(watch.Contains("[ERROR] flood 2\n"));
    EXPECT_EQ(watch.Count("[INFO] info after the flood\n"), 2u)
        << "the ERROR flood does not use up INFO lines";

    ApiLogger::GetInstance().FlushLeftOut();
    EXPECT_FALSE(watch.Contains("Left out")) << "not due before the delay";
    ApiLogger::GetInstance().FlushLeftOut(true);
    const std::string count
        = "[ERROR] Left out 7 log lines over the log budget (ERROR 7, WARN 0, INFO 0, DEBUG 0).\n";
    EXPECT_EQ(watch.Count(count), 1u) << watch.Text();
    ApiLogger::GetInstance().FlushLeftOut(true);
    EXPECT_EQ(watch.Count("Left out"), 1u) << "nothing more left out, nothing more written";

    // The count line used up budget of its own level: the next ERROR line is left out.
    KQLOG_ERROR("flood after the count\n");
    KQLOG_INFO("third info\n");
    KQLOG_INFO("fourth info\n");
    EXPECT_FALSE(watch.Contains("flood after the count"));
    EXPECT_TRUE(watch.Contains("[INFO] third info\n"));
    EXPECT_FALSE(watch.Contains("fourth info"));
    ApiLogger::GetInstance().FlushLeftOut(true);
    EXPECT_TRUE(watch.Contains(
        "[ERROR] Left out 2 log lines over the log budget (ERROR 1, WARN 0, INFO 1, DEBUG 0).\n"))
        << watch.Text();

    // Once the delay has passed, the next line logged, of any level, writes the count first.
    limits.logSummaryDelay = std::chrono::milliseconds(0);
    ScopedLimits noDelay(limits);
    for (int i = 0; i < 4; ++i)
        KQLOG_WARN("warn %d\n", i);
    KQLOG_INFO("info after the warnings\n");
    EXPECT_EQ(watch.Count("] warn "), 3u);
    const std::string text = watch.Text();
    const size_t countAt
        = text.find("[WARN] Left out 1 log lines over the log budget (ERROR 0, WARN 1, INFO 0, DEBUG 0).\n");
    ASSERT_NE(countAt, std::string::npos) << text;
    EXPECT_LT(countAt, text.find("[INFO] info after the warnings\n"));
}

TEST(ApiLogger, ALongQuietRefillsTheBudgetNoFurtherThanItsBurst)
{
    ApiLimits limits;
    limits.logBurst = 3;
    limits.logLinesPerSecond = 500;
    ScopedLimits shortened(limits);
    LogWatch watch(TemporaryLogFolder());
    for (int i = 0; i < 3; ++i)
        KQLOG_WARN("spent\n");
    // The quiet itself is what is tested: at this pace it is worth 150 lines.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 100; ++i)
        KQLOG_WARN("after the quiet\n");
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    // The burst, and what the pace refilled while these lines were written.
    EXPECT_LE(watch.Count("] after the quiet"), 4 + static_cast<size_t>(seconds * 500)) << seconds;
}

TEST(ApiLogger, TodayTextIsTheLocalDate)
{
    const std::time_t now = std::time(nullptr);
    std::tm local {};
    localtime_r(&now, &local);
    char expected[16];
    std::strftime(expected, sizeof(expected), "%Y%m%d", &local);
    EXPECT_EQ(TodayText(), expected);
    EXPECT_EQ(TodayText().size(), 8u);
}

TEST(MakeDirectories, CreatesEveryMissingFolder)
{
    TempDir dir;
    const std::string base = dir.Path();
    {
        std::ofstream file(base + "/plainfile");
    }
    struct Case {
        std::string path;
        bool result;
        std::vector<std::string> folders;
    };
    const Case cases[] = {
        { base + "/a/b/c", true, { base + "/a", base + "/a/b", base + "/a/b/c" } },
        { base + "/t/", true, { base + "/t" } },
        { base + "/a/b", true, { base + "/a/b" } },
        { base + "/p\\q", true, { base + "/p", base + "/p\\q" } },
        { base + "/plainfile/sub/deeper", false, {} },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(MakeDirectories(c.path.c_str()), c.result);
        for (const std::string& folder : c.folders)
            EXPECT_TRUE(std::filesystem::is_directory(folder)) << folder;
    }
    EXPECT_FALSE(std::filesystem::exists(base + "/plainfile/sub"));
    EXPECT_FALSE(MakeDirectories(nullptr));
}

TEST(Sockets, ConnectRefusesWhatIsNotADottedIPv4Address)
{
    Listener listener;
    EXPECT_EQ(SocketStartup(), 0);
    for (const char* address :
        { "", "localhost", "256.0.0.1", "127.0.0", "::1", "127.0.0.1 ", "0x7f.0.0.1" }) {
        SCOPED_TRACE(address);
        EXPECT_EQ(SocketConnect(address, listener.port, kWait), -1);
    }
    EXPECT_EQ(SocketConnect(nullptr, listener.port, kWait), -1);
}

TEST(Sockets, ConnectSendReceiveAndPeerClose)
{
    Listener listener;
    const int client = SocketConnect("127.0.0.1", listener.port, kWait);
    ASSERT_GE(client, 0);
    EXPECT_EQ(::fcntl(client, F_GETFL) & O_NONBLOCK, 0) << "connected, it reads and sends blocking";
    const int server = listener.Accept();
    ASSERT_GE(server, 0);

    EXPECT_EQ(SocketSend(client, "hello", 5), 5);
    char buffer[16] = {};
    std::string received;
    while (received.size() < 5) {
        const ssize_t n = ::recv(server, buffer, sizeof(buffer), 0);
        ASSERT_GT(n, 0);
        received.append(buffer, static_cast<size_t>(n));
    }
    EXPECT_EQ(received, "hello");

    ASSERT_EQ(::send(server, "abc", 3, 0), 3);
    EXPECT_EQ(SocketRecv(client, buffer, 2), 2) << "one read takes at most the size given";
    EXPECT_EQ(SocketRecv(client, buffer, sizeof(buffer)), 1);

    ::close(server);
    EXPECT_EQ(SocketRecv(client, buffer, sizeof(buffer)), 0);
    // Sending to a peer that has gone fails, and does not raise SIGPIPE.
    int result = 0;
    for (int i = 0; i < 100 && result >= 0; ++i)
        result = SocketSend(client, "x", 1);
    EXPECT_EQ(result, -1);
    SocketClose(client);
}

TEST(Sockets, ConnectToAClosedPortFails)
{
    uint16_t port = 0;
    {
        Listener listener;
        port = listener.port;
    }
    EXPECT_EQ(SocketConnect("127.0.0.1", port, kWait), -1);
}

TEST(Sockets, ConnectGivesUpOnAHostThatDropsTheRequest)
{
    // Nobody accepts: once the queue is full, the kernel drops connection
    // requests unanswered, as for a host that has gone.
    Listener dropping(0);
    std::vector<int> queued;
    while (queued.size() < 64 && (queued.empty() || queued.back() >= 0))
        queued.push_back(SocketConnect("127.0.0.1", dropping.port, std::chrono::milliseconds(300)));
    EXPECT_EQ(queued.back(), -1);
    for (int fd : queued)
        SocketClose(fd);
}

TEST(Sockets, ShutdownWakesABlockedReaderAndKeepsTheHandle)
{
    Listener listener;
    const int client = SocketConnect("127.0.0.1", listener.port, kWait);
    ASSERT_GE(client, 0);
    const int server = listener.Accept();
    int result = 99;
    std::thread reader([&] {
        char buffer[8];
        result = SocketRecv(client, buffer, sizeof(buffer));
    });
    // The reader may or may not be inside recv yet; either way it must end.
    SocketShutdown(client);
    reader.join();
    EXPECT_EQ(result, 0);
    EXPECT_NE(::fcntl(client, F_GETFD), -1) << "the handle stays valid until closed";
    SocketClose(client);
    EXPECT_EQ(::fcntl(client, F_GETFD), -1);
    EXPECT_EQ(errno, EBADF);
    ::close(server);
}
