#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "cloudfixture.h"
#include "logger.h"
#include "tradeconfig.h"

namespace
{

namespace fs = std::filesystem;

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class ContentFetchTest : public CloudFixture
{
protected:
    void SetUp() override
    {
        CloudFixture::SetUp();
        m_logPath = Logger::GetInstance()->DayFilePath();
        m_logStart = ReadFile(m_logPath).size();
    }

    // Log lines written since the test began.
    std::string NewLog() const { return ReadFile(m_logPath).substr(m_logStart); }

    // A reply the service gives for any class query, once per fetch.
    void ReplyWith(const std::string& body, int times = 1)
    {
        server.AddFault(Fault("/1.1/classes/", body, times));
    }

    // A picture row of the test's product.
    static std::string Row(const std::string& url, const std::string& imageName, const std::string& imageUrl,
        const std::string& extra = "")
    {
        return "{\"productID\":\"prod-1\",\"url\":\"" + url + "\",\"image\":{\"name\":\"" + imageName
            + "\",\"url\":\"" + imageUrl + "\"}" + extra + "}";
    }

    TradeConfig* config = TradeConfig::GetInstance();
    std::string m_logPath;
    size_t m_logStart = 0;
};

TEST_F(ContentFetchTest, BootPageIsListedAndItsPictureDownloaded)
{
    const std::string picture("\x89PNG\r\n\x1a\nboot", 12);
    server.WriteFile("boot.png", picture);
    server.WriteClass("BootPageConfig",
        "[" + Row("http://old", "old.png", "/files/old.png", ",\"updatedAt\":\"2024-01-01\"") + ","
            + Row("http://link", "boot.png", "/files/boot.png", ",\"updatedAt\":\"2024-06-01\"") + "]");
    EXPECT_TRUE(config->FetchBootPageConfig());
    ASSERT_EQ(config->bootPageList.size(), 1u);
    const BootPageRecord& r = config->bootPageList[0];
    EXPECT_EQ(r.imageName, "boot.png");
    EXPECT_EQ(r.url, "http://link");
    EXPECT_EQ(r.imageUrl, server.BaseUrl() + "/files/boot.png");
    EXPECT_EQ(ReadFile("BootPage/boot.png"), picture);

    Json::Value requests = server.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0]["target"].asString(),
        "/1.1/classes/BootPageConfig?where=%7B%22productID%22%3A%22prod-1%22%7D&limit=1&&order=-updatedAt&&");
    EXPECT_EQ(requests[1]["target"].asString(), "/files/boot.png");
}

TEST_F(ContentFetchTest, BootPageOutcomes)
{
    struct Case {
        const char* what;
        std::string reply; // "" : the stand-in's own answer from an empty class
        bool result;
        size_t listed;
        bool downloadError;
    };
    const Case cases[] = {
        { "no row", "", false, 0, false },
        { "picture fails", "{\"results\":[" + Row("u", "a.png", "https://127.0.0.1:1/a.png") + "]}", true, 1,
            true },
        { "two rows", "{\"results\":[" + Row("u", "", "") + "," + Row("v", "", "") + "]}", false, 2, false },
        { "not json", "<html>oops</html>", false, 0, false },
        { "results not a list", "{\"results\":{\"url\":\"u\"}}", false, 0, false },
        { "row not an object", "{\"results\":[\"u\",7]}", false, 0, false },
        { "url an array", "{\"results\":[{\"url\":[1],\"image\":{\"name\":\"a.png\"}}]}", false, 0, false },
        { "image a text", "{\"results\":[{\"url\":\"u\",\"image\":\"a.png\"}]}", false, 0, false },
        { "top level array", "[{\"results\":[]}]", false, 0, false },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        config->bootPageList.clear();
        fs::remove_all("BootPage");
        const size_t logBefore = NewLog().size();
        if (!c.reply.empty())
            ReplyWith(c.reply);
        EXPECT_EQ(config->FetchBootPageConfig(), c.result);
        EXPECT_EQ(config->bootPageList.size(), c.listed);
        EXPECT_TRUE(fs::is_directory("BootPage")); // made before the query
        const std::string log = NewLog().substr(logBefore);
        EXPECT_EQ(log.find("下载文件错误") != std::string::npos, c.downloadError) << log;
    }
    EXPECT_NE(NewLog().find("json parse error: <html>oops</html>"), std::string::npos);
}

TEST_F(ContentFetchTest, ChannelSwitch)
{
    struct Case {
        const char* what;
        std::string rows; // the class's content
        bool before;
        bool result;
        bool after;
    };
    const Case cases[] = {
        { "on", "[{\"productID\":\"prod-1\",\"bannerSwitchFlag\":true}]", false, true, true },
        { "off", "[{\"productID\":\"prod-1\",\"bannerSwitchFlag\":false}]", true, true, false },
        { "missing flag", "[{\"productID\":\"prod-1\"}]", true, true, false },
        { "number flag", "[{\"productID\":\"prod-1\",\"bannerSwitchFlag\":1}]", false, true, true },
        { "text flag", "[{\"productID\":\"prod-1\",\"bannerSwitchFlag\":\"yes\"}]", false, false, false },
        { "other product", "[{\"productID\":\"prod-2\",\"bannerSwitchFlag\":true}]", false, false, false },
        { "no class", "", true, false, true },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.rows.empty())
            fs::remove(server.ContentDir() + "/channelConfig.json");
        else
            server.WriteClass("channelConfig", c.rows);
        config->bannerSwitchFlag = c.before;
        EXPECT_EQ(config->FetchChannelConfig(), c.result);
        EXPECT_EQ(config->bannerSwitchFlag, c.after);
    }
    EXPECT_FALSE(fs::exists("BootPage") || fs::exists("banner")); // no folder for the channel

    // Two rows (the service would send one at most) count as failure.
    config->bannerSwitchFlag = false;
    const size_t logBefore = NewLog().size();
    ReplyWith("{\"results\":[{\"bannerSwitchFlag\":true},{\"bannerSwitchFlag\":true}]}");
    EXPECT_FALSE(config->FetchChannelConfig());
    EXPECT_FALSE(config->bannerSwitchFlag);
    EXPECT_NE(NewLog().substr(logBefore).find("请求产品渠道配置失败！！"), std::string::npos);

    ReplyWith("not json");
    EXPECT_FALSE(config->FetchChannelConfig());
    EXPECT_NE(NewLog().find("json parse error: not json"), std::string::npos);

    // A reply of nearly the whole bound is not echoed whole.
    const size_t beforeLong = NewLog().size();
    const std::string longReply = "not json " + std::string(1000 * 1000, 'x');
    ReplyWith(longReply);
    EXPECT_FALSE(config->FetchChannelConfig());
    const std::string log = NewLog().substr(beforeLong);
    EXPECT_NE(log.find("json parse error: not json xxx"), std::string::npos);
    EXPECT_NE(log.find("...(cut, " + std::to_string(longReply.size()) + " bytes)"), std::string::npos);
    EXPECT_LT(log.size(), 2 * kLogTextLimit);
}

TEST_F(ContentFetchTest, BannerRowsAndTheirIntervals)
{
    const std::string gif = "GIF89a-banner";
    server.WriteFile("ad.gif", gif);
    server.WriteClass(
        "BannerConfig", "[" + Row("http://ad", "ad.gif", "/files/ad.gif", ",\"interval\":5") + "]");
    EXPECT_TRUE(config->FetchBannerConfig());
    ASSERT_EQ(config->bannerList.size(), 1u);
    EXPECT_EQ(config->bannerList[0].imageName, "ad.gif");
    EXPECT_EQ(config->bannerList[0].url, "http://ad");
    EXPECT_EQ(config->bannerList[0].imageUrl, server.BaseUrl() + "/files/ad.gif");
    EXPECT_EQ(config->bannerList[0].interval, 5);
    EXPECT_EQ(ReadFile("banner/ad.gif"), gif);

    struct Case {
        const char* what;
        std::string reply;
        bool result;
        size_t added;
        int interval;
    };
    const Case cases[] = {
        { "missing interval", "{\"results\":[" + Row("u", "b.gif", "/files/ad.gif") + "]}", true, 1, 0 },
        { "real interval", "{\"results\":[" + Row("u", "b.gif", "/files/ad.gif", ",\"interval\":2.7") + "]}",
            true, 1, 2 },
        { "text interval", "{\"results\":[" + Row("u", "b.gif", "", ",\"interval\":\"5\"") + "]}", false, 0,
            0 },
        { "huge interval", "{\"results\":[" + Row("u", "b.gif", "", ",\"interval\":99999999999") + "]}",
            false, 0, 0 },
        { "not json", "<html>", false, 0, 0 },
        { "empty reply", "", false, 0, 0 },
        // Cut short: the rows read before the fault are kept.
        { "truncated", "{\"results\":[{\"url\":\"u\",\"interval\":3,\"image\":{\"name\":\"ba", true, 1, 3 },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        config->bannerList.clear();
        ReplyWith(c.reply);
        EXPECT_EQ(config->FetchBannerConfig(), c.result);
        ASSERT_EQ(config->bannerList.size(), c.added);
        if (c.added) {
            EXPECT_EQ(config->bannerList[0].interval, c.interval);
        }
    }
    EXPECT_NE(NewLog().find("json parse error: <html>"), std::string::npos);
}

TEST_F(ContentFetchTest, PictureNamesThatLeaveTheFolderAreNotDownloaded)
{
    server.WriteFile("x.png", "picture");
    fs::create_directories("sub");
    const std::string names[] = { "../x.png", "", ".", "..", "sub/x.png", "..\\\\x.png", "/tmp/x.png",
        "sub/" + std::string(100000, 'n') };
    for (const std::string& name : names) {
        SCOPED_TRACE(name.substr(0, 40));
        config->bannerList.clear();
        config->bootPageList.clear();
        const size_t logBefore = NewLog().size();
        server.ClearRequests();
        const std::string reply = "{\"results\":[" + Row("u", name, "/files/x.png", ",\"interval\":1") + "]}";
        ReplyWith(reply, 2);
        EXPECT_TRUE(config->FetchBannerConfig()); // the entry is kept
        EXPECT_TRUE(config->FetchBootPageConfig());
        EXPECT_EQ(config->bannerList.size(), 1u);
        EXPECT_EQ(config->bootPageList.size(), 1u);
        EXPECT_EQ(server.Requests().size(), 2u); // the two queries, no download
        const std::string log = NewLog().substr(logBefore);
        EXPECT_NE(log.find("图片文件名无效,不下载"), std::string::npos);
        // Two lines, each cut to a sane length however long the name.
        EXPECT_LT(log.size(), 6 * kLogTextLimit);
    }
    EXPECT_FALSE(fs::exists("x.png"));
    EXPECT_FALSE(fs::exists("sub/x.png"));
    EXPECT_FALSE(fs::exists("/tmp/x.png") && ReadFile("/tmp/x.png") == "picture");
    EXPECT_TRUE(fs::is_empty("banner"));
    EXPECT_TRUE(fs::is_empty("BootPage"));
}

TEST_F(ContentFetchTest, OversizedRepliesAndPicturesAndLocalAddressesFail)
{
    const std::string secret = fs::absolute("secret.txt").string();
    std::ofstream(secret) << "local secret";
    const std::string row = Row("u", "p.png", "/files/p.png");
    struct Case {
        const char* what;
        std::string reply;
        std::string imageUrl; // with the reply "": the class holds one row with this picture
        std::int64_t pictureBytes; // > 0: the picture's size
        bool result;
        const char* logged;
    };
    const Case cases[] = {
        // A fitting row followed by padding still parses once cut short.
        { "reply past the bound", "{\"results\":[" + row + "]}" + std::string((1 << 20) + 1, ' '), "", 0,
            false, "reply larger than 1048576 bytes" },
        { "picture past the bound", "", "/files/p.png", (16 << 20) + 1, true,
            "download larger than 16777216 bytes" },
        { "local file", "", "file://" + secret, 0, true, "下载文件错误" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        config->bootPageList.clear();
        fs::remove_all("BootPage");
        const size_t logBefore = NewLog().size();
        if (!c.reply.empty())
            ReplyWith(c.reply);
        server.WriteClass("BootPageConfig", "[" + Row("u", "p.png", c.imageUrl) + "]");
        if (c.pictureBytes > 0) {
            Json::Value fault = Fault("/files/p.png", "x");
            fault["repeat"] = Json::Int64(c.pictureBytes);
            fault["contentType"] = "image/png";
            server.AddFault(fault);
        }
        EXPECT_EQ(config->FetchBootPageConfig(), c.result);
        const std::string log = NewLog().substr(logBefore);
        EXPECT_NE(log.find(c.logged), std::string::npos) << log;
        if (c.result) {
            EXPECT_NE(log.find("下载文件错误"), std::string::npos);
        }
        // Nothing partial, nothing copied.
        EXPECT_TRUE(fs::is_empty("BootPage"));
    }
}

TEST_F(ContentFetchTest, PicturesOfOtherServersAreNotTrustedWithTheServiceCa)
{
    // Another server with a CA of its own: the service's CA must not vouch for it.
    CloudServerProcess other;
    ASSERT_TRUE(other.Start());
    other.WriteFile("o.png", "other");
    const size_t logBefore = NewLog().size();
    ReplyWith(
        "{\"results\":[" + Row("u", "o.png", other.BaseUrl() + "/files/o.png", ",\"interval\":1") + "]}");
    EXPECT_TRUE(config->FetchBannerConfig());
    EXPECT_NE(NewLog().substr(logBefore).find("下载文件错误"), std::string::npos);
    EXPECT_EQ(other.Requests().size(), 0u);
}

TEST_F(ContentFetchTest, DeepOrFloodingRepliesEndInTheirFailurePathsWithFewLines)
{
    std::string zeros = "{\"results\":[0";
    for (int i = 0; i < 250000; ++i)
        zeros += ",0";
    zeros += "]}";
    const std::string row = Row("u", "b.gif", "/files/none.gif", ",\"interval\":1");
    std::string rows = "{\"results\":[" + row;
    for (int i = 1; i < 20; ++i)
        rows += "," + row;
    rows += "]}";
    struct Case {
        const char* what;
        std::string reply;
        const char* logged;
        size_t listed; // by the banner fetch
    };
    const Case cases[] = {
        { "1,001 levels", std::string(1001, '['), "json parse error: [[[", 0 },
        { "100,000 levels", std::string(100000, '[') + std::string(100000, ']'), "json parse error: [[[", 0 },
        { "250,001 faulty rows", zeros, "BannerConfig 另有5条数据格式错误,已跳过", 0 },
        { "20 rows", rows, "BannerConfig 返回20条,只处理前8条", 8 },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const size_t logBefore = NewLog().size();
        ReplyWith(c.reply, 3);
        config->bannerList.clear();
        config->bootPageList.clear();
        config->bannerSwitchFlag = false;
        EXPECT_FALSE(config->FetchBootPageConfig());
        EXPECT_FALSE(config->FetchChannelConfig());
        EXPECT_EQ(config->FetchBannerConfig(), c.listed > 0);
        EXPECT_EQ(config->bannerList.size(), c.listed);
        const std::string log = NewLog().substr(logBefore);
        EXPECT_NE(log.find(c.logged), std::string::npos) << log.substr(0, 2000);
        if (c.reply == zeros) {
            EXPECT_NE(log.find("BannerConfig 返回250001条,只处理前8条"), std::string::npos);
        }
        EXPECT_LT(log.size(), 48u * 1024);
    }
}

TEST_F(ContentFetchTest, AllPictureDownloadsShareOneBound)
{
    server.WriteFile("p.png", std::string(2000, 'p'));
    auto row = [&](const char* name) {
        return Row("u", name, server.BaseUrl() + "/files/p.png", ",\"interval\":1");
    };
    HttpLimits limits;
    limits.batchMaxBytes = 3000;
    HttpClient::SetLimits(limits);
    BeginContentFetch();
    ReplyWith("{\"results\":[" + row("1.png") + "," + row("2.png") + "," + row("3.png") + "]}", 2);
    const size_t logBefore = NewLog().size();
    server.ClearRequests();
    EXPECT_TRUE(config->FetchBannerConfig());
    EXPECT_EQ(server.Requests().size(), 3u); // the third picture is not asked for
    EXPECT_EQ(ReadFile("banner/1.png").size(), 2000u);
    EXPECT_FALSE(fs::exists("banner/2.png") || fs::exists("banner/3.png"));
    server.ClearRequests();
    EXPECT_TRUE(config->FetchBannerConfig());
    EXPECT_EQ(server.Requests().size(), 1u); // the query alone: the bound is spent
    std::string log = NewLog().substr(logBefore);
    EXPECT_NE(log.find("download larger than 1000 bytes"), std::string::npos);
    EXPECT_NE(log.find("download budget spent, not fetched: " + server.BaseUrl() + "/files/p.png"),
        std::string::npos);

    // A boot-page fetch begins the start-up's bound anew.
    server.WriteClass("BootPageConfig", "[" + row("p.png") + "]");
    EXPECT_TRUE(config->FetchBootPageConfig());
    EXPECT_EQ(ReadFile("BootPage/p.png").size(), 2000u);
}

} // namespace
