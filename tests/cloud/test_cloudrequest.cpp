#include <chrono>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "cloudfixture.h"
#include "cloudrequest.h"
#include "tradeconfig.h"

namespace
{

using CloudRequestTest = CloudFixture;

TEST_F(CloudRequestTest, PostsCarryTheirAddressIdentityAndCompactBody)
{
    struct Case {
        std::string path;
        Json::Value body;
        std::string wireBody;
    };
    Json::Value sms;
    sms["mobilePhoneNumber"] = "13912345678";
    Json::Value user;
    user["username"] = "13912345678";
    user["phone"] = "13912345678";
    user["password"] = "secret 1";
    Json::Value login;
    login["username"] = "13912345678";
    login["password"] = "secret 1";
    const Case cases[] = {
        { "/1.1/requestSmsCode", sms, "{\"mobilePhoneNumber\":\"13912345678\"}\n" },
        { "/1.1/verifySmsCode/123456", sms, "{\"mobilePhoneNumber\":\"13912345678\"}\n" },
        { "/1.1/users", user,
            "{\"password\":\"secret 1\",\"phone\":\"13912345678\",\"username\":\"13912345678\"}\n" },
        { "/1.1/login", login, "{\"password\":\"secret 1\",\"username\":\"13912345678\"}\n" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(CloudBody(c.body), c.wireBody);
        const std::string reply = CloudPost(c.path, c.body);
        Json::Value request = OnlyRequest();
        EXPECT_EQ(request["method"].asString(), "POST");
        EXPECT_EQ(request["target"].asString(), c.path);
        EXPECT_EQ(request["body"].asString(), c.wireBody);
        EXPECT_TRUE(HasLine(request, "Content-Type:application/json"));
        EXPECT_TRUE(HasLine(request, "X-LC-Id:app-id-1"));
        EXPECT_TRUE(HasLine(request, "X-LC-Key:app-key-1"));
        EXPECT_FALSE(reply.empty()); // the service's answer, success or error object
    }
    // The SMS request's success reply arrives byte for byte.
    EXPECT_EQ(CloudPost("/1.1/requestSmsCode", sms), "{}");
}

TEST_F(CloudRequestTest, ClassQueriesUseTheExactAddressAndAllThreeHeaderLines)
{
    for (const char* className : { "BootPageConfig", "channelConfig", "BannerConfig" }) {
        SCOPED_TRACE(className);
        const std::string target = std::string("/1.1/classes/") + className
            + "?where=%7B%22productID%22%3A%22prod-1%22%7D&limit=1&&order=-updatedAt&&";
        const std::string url = CloudClassQueryUrl(className, "prod-1");
        EXPECT_EQ(url, server.BaseUrl() + target);
        EXPECT_EQ(CloudGet(TradeConfig::GetInstance(), url), "{\"results\":[]}");
        Json::Value request = OnlyRequest();
        EXPECT_EQ(request["method"].asString(), "GET");
        EXPECT_EQ(request["target"].asString(), target);
        EXPECT_EQ(request["body"].asString(), "");
        // A GET sends no body yet still carries the content type.
        EXPECT_TRUE(HasLine(request, "Content-Type:application/json"));
        EXPECT_TRUE(HasLine(request, "X-LC-Id:app-id-1"));
        EXPECT_TRUE(HasLine(request, "X-LC-Key:app-key-1"));
    }
}

TEST_F(CloudRequestTest, IdentityComesFromTheConfigurationGivenAndMayBeEmpty)
{
    TradeConfig* config = TradeConfig::GetInstance();
    config->id.clear();
    config->key.clear();
    CloudPost("/1.1/login", Json::Value(Json::objectValue));
    Json::Value post = OnlyRequest();
    EXPECT_TRUE(HasLine(post, "X-LC-Id:"));
    EXPECT_TRUE(HasLine(post, "X-LC-Key:"));

    // A GET takes the identity of the record it is handed.
    TradeConfig other;
    other.id = "other-id";
    other.key = "";
    CloudGet(&other, CloudClassQueryUrl("channelConfig", "x"));
    Json::Value get = OnlyRequest();
    EXPECT_TRUE(HasLine(get, "X-LC-Id:other-id"));
    EXPECT_TRUE(HasLine(get, "X-LC-Key:"));

    const std::vector<std::string> lines = CloudHeaderLines(other);
    EXPECT_EQ(lines,
        (std::vector<std::string> { "Content-Type:application/json", "X-LC-Id:other-id", "X-LC-Key:" }));
}

TEST_F(CloudRequestTest, ProductIdAndCodeGoIntoTheAddressUnencoded)
{
    CloudGet(TradeConfig::GetInstance(), CloudClassQueryUrl("BannerConfig", "a&b=c"));
    EXPECT_EQ(OnlyRequest()["target"].asString(),
        "/1.1/classes/BannerConfig?where=%7B%22productID%22%3A%22a&b=c%22%7D&limit=1&&order=-updatedAt&&");

    CloudPost("/1.1/verifySmsCode/12%2034", Json::Value(Json::objectValue));
    EXPECT_EQ(OnlyRequest()["target"].asString(), "/1.1/verifySmsCode/12%2034");

    // A blank makes an address the transfer refuses: no request, empty reply.
    const std::string url = CloudClassQueryUrl("BannerConfig", "a b");
    EXPECT_NE(url.find("%22a b%22"), std::string::npos);
    EXPECT_EQ(CloudGet(TradeConfig::GetInstance(), url), "");
    EXPECT_EQ(server.Requests().size(), 0u);
}

TEST_F(CloudRequestTest, FailedTransfersGiveAnEmptyReply)
{
    // A server the client cannot verify (the system store does not know our
    // CA) is refused before anything is sent.
    SetCloudService(server.BaseUrl(), "");
    EXPECT_EQ(CloudPost("/1.1/login", Json::Value(Json::objectValue)), "");
    EXPECT_EQ(CloudGet(TradeConfig::GetInstance(), CloudClassQueryUrl("BootPageConfig", "p")), "");
    EXPECT_EQ(server.Requests().size(), 0u);

    // Nobody listening: the reply is empty and comes back at once.
    const std::string base = server.BaseUrl();
    const std::string ca = server.CaFile();
    server.Stop();
    SetCloudService(base, ca);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(CloudPost("/1.1/requestSmsCode", Json::Value(Json::objectValue)), "");
    EXPECT_EQ(CloudGet(TradeConfig::GetInstance(), CloudClassQueryUrl("BootPageConfig", "p")), "");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(9));
}

TEST_F(CloudRequestTest, ThreadBodiesWriteOnlyTheReply)
{
    const std::string url = CloudUrl("/1.1/requestSmsCode");
    const std::string body = "{\"mobilePhoneNumber\":\"13912345678\"}\n";
    std::string reply = "kept:";
    std::thread worker(CloudPostThreadBody, std::cref(url), std::cref(body), std::ref(reply));
    worker.join();
    EXPECT_EQ(reply, "kept:{}"); // appended to what the caller held
    EXPECT_EQ(url, server.BaseUrl() + "/1.1/requestSmsCode");
    EXPECT_EQ(body, "{\"mobilePhoneNumber\":\"13912345678\"}\n");

    std::string getReply;
    const std::string getUrl = CloudClassQueryUrl("channelConfig", "prod-1");
    std::thread getter(CloudGetThreadBody, TradeConfig::GetInstance(), std::cref(getUrl), std::ref(getReply));
    getter.join();
    EXPECT_EQ(getReply, "{\"results\":[]}");
}

} // namespace
