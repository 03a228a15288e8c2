// The process-wide data path and log level: set once per process, so this
// file holds one test, and each run of it checks in a process of its own.

#include <cstdio>
#include <filesystem>
#include <string>

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "ApiLogger.h"
#include "IKivQuoteAPI.h"
#include "TestLog.h"
#include "TestRecords.h"

using namespace kqtest;

namespace
{

void WriteMarkers(const std::string& tag)
{
    KQLOG_ERROR("marker-%s-error\n", tag.c_str());
    KQLOG_WARN("marker-%s-warn\n", tag.c_str());
    KQLOG_INFO("marker-%s-info\n", tag.c_str());
    KQLOG_DEBUG("marker-%s-debug\n", tag.c_str());
}

void CheckSetOnceAndLevelLetters()
{
    ApiLogger& logger = ApiLogger::GetInstance();
    ASSERT_EQ(logger.Path(), "") << "this test must run first in its process";
    TempDir dir;

    // Before any data path, nothing is written, whatever the level.
    WriteMarkers("early");

    const std::string tooLong(1024, 'p');
    EXPECT_EQ(SetKivQuoteAPIDataPath(nullptr), KQ_ERR_BAD_ARGUMENT);
    EXPECT_EQ(SetKivQuoteAPIDataPath(""), KQ_ERR_BAD_ARGUMENT);
    EXPECT_EQ(SetKivQuoteAPIDataPath(tooLong.c_str()), KQ_ERR_BAD_ARGUMENT);
    EXPECT_EQ(logger.Path(), "") << "a refused path leaves the path unset";

    // A level set before the data path is replaced by INFO when it is set.
    EXPECT_EQ(SetKivQuoteAPILogLevel('D'), 'D');
    EXPECT_EQ(logger.Level(), API_LOG_DEBUG);

    const std::string folder = dir.Path() + "/one/two/three";
    ASSERT_EQ(SetKivQuoteAPIDataPath(folder.c_str()), KQ_SUCCESS);
    EXPECT_TRUE(std::filesystem::is_directory(folder));
    const std::string logFile = folder + "/KivQuoteAPI_KeyOperation_" + TodayText() + ".log";
    EXPECT_EQ(logger.Path(), logFile);
    EXPECT_EQ(logger.Level(), API_LOG_INFO);
    EXPECT_TRUE(logger.Enabled());

    // A second path changes neither folder nor level; neither does the
    // implicit "API" path of CreateKivQuoteAPI.
    EXPECT_EQ(SetKivQuoteAPILogLevel('W'), 'W');
    const std::string other = dir.Path() + "/other";
    EXPECT_EQ(SetKivQuoteAPIDataPath(other.c_str()), KQ_SUCCESS);
    EXPECT_FALSE(std::filesystem::exists(other));
    EXPECT_EQ(logger.Path(), logFile);
    EXPECT_EQ(logger.Level(), API_LOG_WARN);

    const QuoteAppInfo info = AppInfo();
    int result = 77;
    IKivQuoteAPI* api = CreateKivQuoteAPI(&info, &result);
    ASSERT_NE(api, nullptr);
    EXPECT_EQ(result, KQ_SUCCESS);
    EXPECT_EQ(logger.Path(), logFile);
    EXPECT_EQ(logger.Level(), API_LOG_WARN);
    FreeKivQuoteAPI(api);

    result = 77;
    EXPECT_EQ(CreateKivQuoteAPI(nullptr, &result), nullptr);
    EXPECT_EQ(result, 77);
    FreeKivQuoteAPI(nullptr);
    EXPECT_STREQ(GetKivQuoteAPIVersion(), "V9.3.1.0");

    struct LetterCase {
        char letter;
        int level;
        bool error, warn, info, debug;
    };
    const LetterCase cases[] = {
        { 'D', API_LOG_DEBUG, true, true, true, true },
        { 'E', API_LOG_ERROR, true, false, false, false },
        { 'N', API_LOG_ERROR, true, false, false, false },
        { 'W', API_LOG_WARN, true, true, false, false },
        { 'd', API_LOG_INFO, true, true, true, false },
        { 'I', API_LOG_INFO, true, true, true, false },
        { 'e', API_LOG_INFO, true, true, true, false },
        { '\0', API_LOG_INFO, true, true, true, false },
    };
    for (const LetterCase& c : cases) {
        const std::string tag = std::string("letter") + std::to_string(static_cast<int>(c.letter));
        SCOPED_TRACE(tag);
        EXPECT_EQ(SetKivQuoteAPILogLevel(c.letter), c.letter);
        EXPECT_EQ(logger.Level(), c.level);
        LogWatch watch(folder);
        WriteMarkers(tag);
        EXPECT_EQ(watch.Contains("marker-" + tag + "-error"), c.error);
        EXPECT_EQ(watch.Contains("marker-" + tag + "-warn"), c.warn);
        EXPECT_EQ(watch.Contains("marker-" + tag + "-info"), c.info);
        EXPECT_EQ(watch.Contains("marker-" + tag + "-debug"), c.debug);
    }
    // The letter comes back widened as a signed char.
    EXPECT_EQ(SetKivQuoteAPILogLevel(static_cast<char>(0xE9)), -23);

    EXPECT_EQ(ReadWholeFile(logFile).find("marker-early"), std::string::npos);
}

} // namespace

TEST(DataPath, IsSetOnceAndTheLevelLettersFilterLines)
{
    // This process never sets the path itself, so a repeated run finds it unset too.
    const pid_t child = ::fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        CheckSetOnceAndLevelLetters();
        std::fflush(nullptr);
        ::_exit(::testing::Test::HasFailure() ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the checks above failed in the child";
}
