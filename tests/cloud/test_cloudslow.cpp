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

// A service slower than the client's 10 s time-out: every caller gets its
// failure within the time-out, none waits for the reply.
class CloudSlowTest : public CloudFixture
{
protected:
    void SlowReply(const std::string& path, const std::string& body)
    {
        Json::Value fault = Fault(path, body);
        fault["delayMs"] = 12000;
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
    EXPECT_GE(waited, 9.5);
    EXPECT_LT(waited, 11.9);
}

TEST_F(CloudSlowTest, ContentFetchGivesUpAfterTheTimeOut)
{
    SlowReply("/1.1/classes/", "{\"results\":[{\"bannerSwitchFlag\":true}]}");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(TradeConfig::GetInstance()->FetchChannelConfig());
    const double waited = Seconds(start);
    EXPECT_FALSE(TradeConfig::GetInstance()->bannerSwitchFlag);
    EXPECT_GE(waited, 9.5);
    EXPECT_LT(waited, 11.9);
}

} // namespace
