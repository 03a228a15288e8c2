#include <climits>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include <gtest/gtest.h>

#include "tradeconfig.h"
#include "testsupport.h"

namespace
{

const char kNoRoot[] = "XML需要root根元素";
const char kNoCloud[] = "没有找到leancloud的配置";
const char kTooMuchMarkup[] = "配置文件含有超过1024个'<',不予解析";
const char kTooLarge[] = "配置文件超过1048576字节,不予解析";

struct Expect {
    bool result;
    const char* logged; // an ERROR line's text, or nullptr for none
    std::string ip;
    int port;
    std::string username;
    std::string password;
    std::string id;
    std::string key;
    std::string productID;
    std::string channelName;
    int trigger_time;
    std::string reg_class;
};

struct Case {
    const char* what;
    std::string xml;
    Expect expect;
};

// A record that already holds values, so "left unchanged" can be told from "reset".
TradeConfig Preloaded()
{
    TradeConfig c;
    c.ip = "old-ip";
    c.port = 1;
    c.username = "old-user";
    c.password = "old-pwd";
    c.id = "old-id";
    c.key = "old-key";
    c.productID = "old-product";
    c.channelName = "old-channel";
    c.trigger_time = 12;
    c.reg_class = "old-class";
    return c;
}

const std::string kCloud = R"(<LeanCloud id="app" key="secret" productID="P1" channelName="渠道A" )"
                           R"(trigger_time="30" reg_class="vip"/>)";

Expect Loaded(std::string ip, int port, std::string user, std::string pwd)
{
    return { true, nullptr, ip, port, user, pwd, "app", "secret", "P1", "渠道A", 30, "vip" };
}

Expect BadPort(const std::string& quoted)
{
    static std::vector<std::unique_ptr<std::string>> texts;
    texts.push_back(std::make_unique<std::string>(
        "Quote 的 port 值 " + quoted + " 无效: 须为 1 到 65535 的十进制数字"));
    Expect e = Loaded("old-ip", 0, "old-user", "old-pwd");
    e.logged = texts.back()->c_str();
    return e;
}

const Expect kUntouched = { false, kNoRoot, "old-ip", 1, "old-user", "old-pwd", "old-id", "old-key",
    "old-product", "old-channel", 12, "old-class" };

std::string Repeat(const std::string& piece, size_t times)
{
    std::string all;
    all.reserve(piece.size() * times);
    for (size_t i = 0; i < times; ++i)
        all += piece;
    return all;
}

std::vector<Case> Cases()
{
    const std::string quote
        = R"(<Quote name="main" ip="10.0.0.5" port="9000" username="u1" password="p&amp;1"/>)";
    Expect cloudMissing = kUntouched;
    cloudMissing.logged = kNoCloud;
    cloudMissing.ip = "10.0.0.5";
    cloudMissing.port = 9000;
    cloudMissing.username = "u1";
    cloudMissing.password = "p&1";
    Expect tooDeep = kUntouched;
    tooDeep.logged = kTooMuchMarkup;
    Expect tooLarge = kUntouched;
    tooLarge.logged = kTooLarge;
    const std::string flood = Repeat("<a>", 100000);
    Expect noIp = Loaded("", 1, "old-user", "old-pwd");
    noIp.logged = "Quote 的 ip 值 \"\" 无效: 缺少或为空";
    Expect notUtf8 = kUntouched;
    notUtf8.logged = "配置文件不是 UTF-8 编码的文本,不予解析";
    Expect onlyId = kUntouched;
    onlyId.result = true;
    onlyId.logged = nullptr;
    onlyId.id = "just-id";

    return {
        { "complete file", "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<root>" + quote + kCloud + "</root>",
            Loaded("10.0.0.5", 9000, "u1", "p&1") },
        { "comments and other elements first",
            "<!-- settings --><other/><root><x/>" + kCloud + quote + "</root>",
            Loaded("10.0.0.5", 9000, "u1", "p&1") },
        { "Root in other case", "<Root>" + quote + kCloud + "</Root>", kUntouched },
        { "root not at the top", "<cfg><root>" + quote + kCloud + "</root></cfg>", kUntouched },
        { "only LeanCloud", "<root>" + kCloud + "</root>", Loaded("old-ip", 1, "old-user", "old-pwd") },
        { "only Quote", "<root>" + quote + "</root>", cloudMissing },
        { "leancloud in lower case", "<root>" + quote + "<leancloud id=\"x\"/></root>", cloudMissing },
        { "two Quote elements: the first counts",
            "<root><Quote ip=\"1.1.1.1\" port=\"1111\"/><Quote ip=\"2.2.2.2\" port=\"2222\" username=\"u2\"/>"
                + kCloud + "</root>",
            Loaded("1.1.1.1", 1111, "old-user", "old-pwd") },
        { "absent attributes keep their fields", "<root><LeanCloud id=\"just-id\"/></root>", onlyId },
        // A port is digits only, 1 to 65535; anything else is 0 and logged.
        { "port with a leading blank", "<root><Quote port=\" 9000\"/>" + kCloud + "</root>",
            BadPort("\" 9000\"") },
        { "port followed by letters", "<root><Quote port=\"9000abc\"/>" + kCloud + "</root>",
            BadPort("\"9000abc\"") },
        { "port of letters only", "<root><Quote port=\"abc\"/>" + kCloud + "</root>", BadPort("\"abc\"") },
        { "port with a sign", "<root><Quote port=\"+8080\"/>" + kCloud + "</root>", BadPort("\"+8080\"") },
        { "empty port", "<root><Quote port=\"\"/>" + kCloud + "</root>", BadPort("\"\"") },
        { "port 0", "<root><Quote port=\"0\"/>" + kCloud + "</root>", BadPort("\"0\"") },
        { "port 65536", "<root><Quote port=\"65536\"/>" + kCloud + "</root>", BadPort("\"65536\"") },
        { "port 65535", "<root><Quote port=\"65535\"/>" + kCloud + "</root>",
            Loaded("old-ip", 65535, "old-user", "old-pwd") },
        { "empty ip", "<root><Quote ip=\"\"/>" + kCloud + "</root>", noIp },
        { "UTF-16", std::string("\xff\xfe<\0r\0o\0o\0t\0/\0>\0", 16), notUtf8 },
        { "a byte that is not UTF-8", "<root><Quote username=\"\xd3\xc3\"/>" + kCloud + "</root>", notUtf8 },
        { "syntax error after the root", "<root>" + quote + kCloud + "</root><broken",
            Loaded("10.0.0.5", 9000, "u1", "p&1") },
        { "not XML at all", "\x01\x02 this is not xml {", kUntouched },
        // Line ends of a Windows editor read as line feeds, inside values too.
        { "CR LF and CR line ends",
            "<root>\r\n<Quote ip=\"10.0.0.5\" port=\"9000\" username=\"u\r\n1\" password=\"p\r1\"/>\r\n"
                + kCloud + "\r\n</root>\r\n",
            Loaded("10.0.0.5", 9000, "u\n1", "p\n1") },
        // Every level the parser descends begins at a '<': 1,024 of them are
        // read however they nest, one more is refused unparsed, whatever
        // markup around them would make a scan of the text read them otherwise.
        { "1,024 '<', 511 levels",
            "<root>" + quote + kCloud + Repeat("<a>", 510) + Repeat("</a>", 510) + "</root>",
            Loaded("10.0.0.5", 9000, "u1", "p&1") },
        { "1,025 '<'", "<root>" + quote + kCloud + Repeat("<a x='1'/>", 1021) + "</root>", tooDeep },
        { "100,000 levels, closed", "<root>" + flood + Repeat("</a>", 100000) + quote + kCloud + "</root>",
            tooDeep },
        { "after a processing instruction", "<root>" + quote + kCloud + "<?x>" + flood, tooDeep },
        { "in a comment", "<root>" + quote + kCloud + "<!--" + flood + "-->", tooDeep },
        { "in CDATA", "<root>" + quote + kCloud + "<x><![CDATA[" + flood + "]]></x></root>", tooDeep },
        { "after a declaration with '>' inside",
            "<!DOCTYPE root [<!ENTITY g \">\">]>" + flood + "<root>" + quote + kCloud + "</root>", tooDeep },
        { "in attribute values", "<root>" + quote + kCloud + "<y v=\"" + flood + "\"/></root>", tooDeep },
        { "1,000,000 levels, never closed: too large", "<root>" + quote + kCloud + Repeat("<b>", 1000000),
            tooLarge },
        { "1 MiB and one byte of blanks", "<root>" + quote + kCloud + "</root>" + std::string(1 << 20, ' '),
            tooLarge },
        // Under the bound, what only looks like nesting does not count.
        { "markup in comments, CDATA, values and declarations",
            "<?xml version=\"1.0\"?><!DOCTYPE root><root>" + quote + kCloud + "<!--" + Repeat("<a>", 200)
                + "--><x><![CDATA[" + Repeat("<a>", 200) + "]]></x><y v=\"" + Repeat("<a>", 100)
                + "/>\" w='>'/><?pi " + Repeat("<a>", 100) + "?>" + Repeat("<e k=\"v\"/>", 200) + "</root>",
            Loaded("10.0.0.5", 9000, "u1", "p&1") },
        { "empty file", "", kUntouched },
    };
}

int TriggerTimeAfter(const std::string& value)
{
    ScratchDir dir;
    std::ofstream(dir / "TradeConfig.xml") << "<root><LeanCloud trigger_time=\"" << value << "\"/></root>";
    TradeConfig config = Preloaded();
    EXPECT_TRUE(config.LoadConfigFile(dir / "TradeConfig.xml"));
    return config.trigger_time;
}

} // namespace

TEST(TradeConfig, StartsEmpty)
{
    const TradeConfig config;
    EXPECT_TRUE(config.ip.empty() && config.username.empty() && config.password.empty());
    EXPECT_TRUE(config.id.empty() && config.key.empty() && config.productID.empty());
    EXPECT_TRUE(config.channelName.empty() && config.reg_class.empty());
    EXPECT_EQ(config.port, 0);
    EXPECT_EQ(config.trigger_time, 0);
    EXPECT_FALSE(config.bannerSwitchFlag);
    EXPECT_TRUE(config.bootPageList.empty());
    EXPECT_TRUE(config.bannerList.empty());
    const BannerRecord banner;
    EXPECT_EQ(banner.interval, 0);
}

TEST(TradeConfig, LoadConfigFile)
{
    for (const auto& c : Cases()) {
        SCOPED_TRACE(c.what);
        ScratchDir dir;
        std::ofstream(dir / "TradeConfig.xml", std::ios::binary) << c.xml;
        TradeConfig config = Preloaded();

        testing::internal::CaptureStdout();
        const bool result = config.LoadConfigFile(dir / "TradeConfig.xml");
        const std::string out = testing::internal::GetCapturedStdout();

        const Expect& e = c.expect;
        EXPECT_EQ(result, e.result);
        if (e.logged) {
            EXPECT_NE(out.find(std::string(" [ERROR] tradeconfig.cpp(")), std::string::npos) << out;
            EXPECT_NE(out.find(std::string("): ") + e.logged + "\n"), std::string::npos) << out;
        } else {
            EXPECT_EQ(out, "");
        }
        EXPECT_EQ(config.ip, e.ip);
        EXPECT_EQ(config.port, e.port);
        EXPECT_EQ(config.username, e.username);
        EXPECT_EQ(config.password, e.password);
        EXPECT_EQ(config.id, e.id);
        EXPECT_EQ(config.key, e.key);
        EXPECT_EQ(config.productID, e.productID);
        EXPECT_EQ(config.channelName, e.channelName);
        EXPECT_EQ(config.trigger_time, e.trigger_time);
        EXPECT_EQ(config.reg_class, e.reg_class);
    }
}

TEST(TradeConfig, MissingFileFailsWithTheRootMessage)
{
    ScratchDir dir;
    TradeConfig config = Preloaded();
    testing::internal::CaptureStdout();
    EXPECT_FALSE(config.LoadConfigFile(dir / "absent.xml"));
    EXPECT_NE(testing::internal::GetCapturedStdout().find(kNoRoot), std::string::npos);
    EXPECT_EQ(config.ip, "old-ip");
    // A folder or a device where the file should be cannot be read either.
    for (const std::string& path : { dir.path(), std::string("/dev/zero") }) {
        SCOPED_TRACE(path);
        testing::internal::CaptureStdout();
        EXPECT_FALSE(config.LoadConfigFile(path));
        EXPECT_NE(testing::internal::GetCapturedStdout().find(kNoRoot), std::string::npos);
    }
}

TEST(TradeConfig, TriggerTimeIsReadLikeScanf)
{
    struct Case {
        const char* value;
        int expected;
    };
    const Case cases[] = {
        { "30", 30 },
        { "  45", 45 },
        { "60s", 60 },
        { "-5", -5 },
        { "+7", 7 },
        { "abc", 12 },
        { "", 12 },
        { "0x10", 0 },
        { "2147483647", INT_MAX },
        { "99999999999999999999", INT_MAX },
        { "-99999999999999999999", INT_MIN },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        EXPECT_EQ(TriggerTimeAfter(c.value), c.expected);
    }
    // Absent from a fresh record: stays 0.
    ScratchDir dir;
    std::ofstream(dir / "TradeConfig.xml") << "<root><LeanCloud id=\"a\"/></root>";
    TradeConfig config;
    EXPECT_TRUE(config.LoadConfigFile(dir / "TradeConfig.xml"));
    EXPECT_EQ(config.trigger_time, 0);
}

TEST(TradeConfig, RelativePathResolvesAgainstTheWorkingDirectory)
{
    ScratchDir dir;
    std::ofstream(dir / "TradeConfig.xml")
        << "<root><Quote ip=\"127.0.0.1\" port=\"7001\"/>" << kCloud << "</root>";
    char old[4096];
    ASSERT_NE(getcwd(old, sizeof old), nullptr);
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    TradeConfig config;
    const bool result = config.LoadConfigFile("TradeConfig.xml");
    ASSERT_EQ(chdir(old), 0);
    EXPECT_TRUE(result);
    EXPECT_EQ(config.ip, "127.0.0.1");
    EXPECT_EQ(config.port, 7001);
}

TEST(TradeConfig, OneInstanceForEveryThread)
{
    std::vector<TradeConfig*> seen(8, nullptr);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < seen.size(); ++i)
        threads.emplace_back([&seen, i] { seen[i] = TradeConfig::GetInstance(); });
    for (auto& t : threads)
        t.join();
    const std::set<TradeConfig*> distinct(seen.begin(), seen.end());
    ASSERT_EQ(distinct.size(), 1u);
    EXPECT_NE(*distinct.begin(), nullptr);
    EXPECT_EQ(*distinct.begin(), TradeConfig::GetInstance());
}
