#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

#include <QDir>

#include <gtest/gtest.h>
#include <json/json.h>

#include "cloudrequest.h"
#include "cloudserverprocess.h"
#include "httpclient.h"
#include "tradeconfig.h"

// Each test gets a cloud-server of its own, the cloud requests pointed at it
// (trusting its CA), a fresh working folder and a known cloud identity.
class CloudFixture : public ::testing::Test
{
protected:
    void SetUp() override
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "cloud-work-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        m_workDir = pattern;
        m_oldDir = QDir::currentPath();
        ASSERT_TRUE(QDir::setCurrent(QString::fromStdString(m_workDir)));

        std::string error;
        ASSERT_TRUE(server.Start(&error)) << error;
        SetCloudService(server.BaseUrl(), server.CaFile());

        TradeConfig* config = TradeConfig::GetInstance();
        config->id = "app-id-1";
        config->key = "app-key-1";
        config->productID = "prod-1";
        config->channelName = "web";
        config->reg_class = "reg";
        config->bootPageList.clear();
        config->bannerList.clear();
        config->bannerSwitchFlag = false;
        BeginContentFetch();
    }

    void TearDown() override
    {
        HttpClient::SetLimits(HttpLimits {});
        QDir::setCurrent(m_oldDir);
        std::error_code ec;
        std::filesystem::remove_all(m_workDir, ec);
    }

    // The one request the server received since the last check (fails the
    // test when there was not exactly one).
    Json::Value OnlyRequest()
    {
        Json::Value requests = server.Requests();
        server.ClearRequests();
        EXPECT_EQ(requests.size(), 1u);
        return requests.size() == 1 ? requests[0] : Json::Value();
    }

    static bool HasLine(const Json::Value& request, const std::string& line)
    {
        for (const Json::Value& l : request["headerLines"])
            if (l.asString() == line)
                return true;
        return false;
    }

    static Json::Value Fault(const std::string& path, const std::string& body, int times = 1)
    {
        Json::Value f;
        f["path"] = path;
        f["body"] = body;
        f["times"] = times;
        return f;
    }

    CloudServerProcess server;
    std::string m_workDir;
    QString m_oldDir;
};
