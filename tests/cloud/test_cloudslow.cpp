#include <chrono>
#include <string>

#include <QLineEdit>
#include <QPushButton>

#include <gtest/gtest.h>

#include "boxwatcher.h"
#include "cloudfixture.h"
#include "logindialog.h"
#include "tradeconfig.h"

namespace
{

// A service slower than the client's time-out (shortened here to 500 ms):
// every caller gets its failure within the time-out, none waits for the reply.
class CloudSlowTest : public CloudFixture
{
protected:
    void SetUp() override
    {
        CloudFixture::SetUp();
        HttpLimits limits;
        limits.requestTimeout = std::chrono::milliseconds(500);
        HttpClient::SetLimits(limits);
    }
    void SlowReply(const std::string& path, const std::string& body)
    {
        Json::Value fault = Fault(path, body);
        fault["delayMs"] = 5000;
        server.AddFault(fault);
    }
    static double Seconds(std::chrono::steady_clock::time_point since)
    {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
    }
};

TEST_F(CloudSlowTest, LoginGivesUpAfterTheTimeOut)
{
    SlowReply("/1.1/login", "{\"sessionToken\":\"late\"}");
    BoxWatcher boxes;
    LoginDialog d;
    d.findChild<QLineEdit*>("phone_lineEdit")->setText("13912345678");
    d.findChild<QLineEdit*>("sec_lineEdit")->setText("pw");
    const auto start = std::chrono::steady_clock::now();
    d.findChild<QPushButton*>("pushButton")->click();
    const double waited = Seconds(start);
    EXPECT_EQ(boxes.Seen(), std::vector<std::string> { "warn|未知错误!" });
    EXPECT_GE(waited, 0.45);
    EXPECT_LT(waited, 4.9);
}

TEST_F(CloudSlowTest, ContentFetchGivesUpAfterTheTimeOut)
{
    SlowReply("/1.1/classes/", "{\"results\":[{\"bannerSwitchFlag\":true}]}");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(TradeConfig::GetInstance()->FetchChannelConfig());
    const double waited = Seconds(start);
    EXPECT_FALSE(TradeConfig::GetInstance()->bannerSwitchFlag);
    EXPECT_GE(waited, 0.45);
    EXPECT_LT(waited, 4.9);
}

} // namespace
