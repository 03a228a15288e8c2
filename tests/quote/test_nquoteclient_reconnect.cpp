// Loss of connection and reconnection of the quote client against a quote
// server that goes away and comes back on the same port.

#include <set>
#include <utility>

#include <gtest/gtest.h>

#include "quoteclientkit.h"

namespace
{

using kit::Clock;
namespace pb = kw::pb::ostrel2;

using kit::Client;

std::vector<std::string> CachedKeys(const std::vector<std::string>& keys)
{
    std::vector<std::string> cached;
    pb::QuoteDetailField quote;
    for (const std::string& key : keys)
        if (Client()->GetQuote(key, &quote))
            cached.push_back(key);
    return cached;
}

std::vector<std::string> AllKeys()
{
    std::vector<pb::CommodityField> list;
    Client()->GetCommodityList(list);
    std::vector<std::string> keys;
    for (const pb::CommodityField& c : list) {
        if (c.contract_no_list_size() == 0)
            keys.push_back(Client()->MakeContractCode(c.security_type(), c.commodity_no(), ""));
        for (const auto& contract : c.contract_no_list())
            keys.push_back(
                Client()->MakeContractCode(c.security_type(), c.commodity_no(), contract.contract_no()));
    }
    return keys;
}

TEST(NQuoteClientReconnect, ServerGoneAndBackOnTheSamePort)
{
    kit::QuoteServer server;
    ASSERT_TRUE(server.Start());
    const int port = server.port();
    kit::UseServer(port);
    kit::StopAtEnd stop;
    kit::SignalProbe probe(Client());
    kit::LogMark log;

    ASSERT_TRUE(Client()->Connect());
    const std::vector<std::string> keys = AllKeys();
    ASSERT_FALSE(keys.empty());
    ASSERT_TRUE(kit::WaitFor([&] { return CachedKeys(keys).size() >= 3; }, 5000));
    const std::int64_t firstBeat = Client()->GetHeartBeatInfo().sendTime;

    server.Kill();
    ASSERT_TRUE(kit::WaitFor([&] { return probe.Disconnects() == 1; }, 3000));
    EXPECT_EQ(probe.offGuiThread, 0);
    // Emptied on the loss: nothing cached, no commodity list.
    EXPECT_TRUE(kit::WaitFor([&] { return CachedKeys(keys).empty(); }, 1000));
    std::vector<pb::CommodityField> list;
    EXPECT_FALSE(Client()->GetCommodityList(list));

    // The first attempt meets a closed port and is retried 5 s later.
    ASSERT_TRUE(log.WaitForLine({ "[INFO]", "): 行情重连失败，稍候再试" }, 3000));
    EXPECT_TRUE(CachedKeys(keys).empty());
    ASSERT_TRUE(server.Start({}, port));

    const auto restarted = Clock::now();
    ASSERT_TRUE(kit::WaitFor([&] { return !CachedKeys(keys).empty(); }, 9000));
    EXPECT_LT(kit::ElapsedMs(restarted), 7000);
    EXPECT_TRUE(log.WaitForLine({ "[INFO]", "): 行情重连成功" }, 1000));
    EXPECT_GE(log.Matching({ "[INFO]", "nquoteclient.cpp(", "): 行情重连……" }).size(), 2u);
    EXPECT_TRUE(Client()->GetCommodityList(list));
    EXPECT_EQ(AllKeys(), keys);
    EXPECT_GT(Client()->GetHeartBeatInfo().sendTime, firstBeat);

    // Quotes flow again to the window; nothing announced the reconnection.
    const std::size_t quotes = probe.Count(probe.quotes);
    EXPECT_TRUE(kit::WaitFor([&] { return probe.Count(probe.quotes) > quotes + 5; }, 5000));
    EXPECT_EQ(probe.Disconnects(), 1);
    EXPECT_EQ(probe.Connects(), 0);
    EXPECT_EQ(probe.offGuiThread, 0);
    Client()->Stop();
}

// The server drops the connection on its own (its drop-after option); the
// client is back at once, since the server still listens.
TEST(NQuoteClientReconnect, ServerDropsTheConnection)
{
    kit::QuoteServer server;
    ASSERT_TRUE(server.Start({ "--drop-after", "1" }));
    kit::FrameRelay relay(server.port());
    kit::UseServer(relay.port());
    kit::StopAtEnd stop;
    kit::SignalProbe probe(Client());

    ASSERT_TRUE(Client()->Connect());
    ASSERT_TRUE(kit::WaitFor([&] { return probe.Disconnects() >= 1; }, 4000));
    ASSERT_TRUE(kit::WaitFor([&] { return relay.Requests(pb::REQ_SUBSCRIBE, 2).size() == 1; }, 3000));
    // The renewed subscription is again the one of every contract.
    EXPECT_EQ(
        relay.Requests(pb::REQ_SUBSCRIBE, 2)[0].Payload<pb::ReqSubscribedField>().mode(), pb::MODE_SNAP);
    EXPECT_EQ(relay.Requests(pb::REQ_SUBSCRIBE, 1)[0].Payload<pb::ReqSubscribedField>().contract_list_size(),
        relay.Requests(pb::REQ_SUBSCRIBE, 2)[0].Payload<pb::ReqSubscribedField>().contract_list_size());
    EXPECT_EQ(probe.Connects(), 0);
    Client()->Stop();
}

// The selected contract's depth and trade subscriptions are renewed on the new
// connection, so those panels do not freeze after a loss; what was
// unsubscribed stays so.
TEST(NQuoteClientReconnect, DepthAndTradeSubscriptionsAreRenewed)
{
    kit::QuoteServer server;
    ASSERT_TRUE(server.Start({ "--drop-after", "2" }));
    kit::FrameRelay relay(server.port());
    kit::UseServer(relay.port());
    kit::StopAtEnd stop;
    kit::SignalProbe probe(Client());

    ASSERT_TRUE(Client()->Connect());
    const std::vector<std::string> keys = AllKeys();
    ASSERT_GE(keys.size(), 2u);
    Client()->SubscribeDepth(keys[0]);
    Client()->SubscribeTicker(keys[0]);
    Client()->SubscribeDepth(keys[1]);
    Client()->UnSubscribeDepth(keys[1]);

    ASSERT_TRUE(kit::WaitFor([&] { return probe.Disconnects() >= 1; }, 5000));
    const std::size_t depthsBefore = probe.Count(probe.depths);
    ASSERT_TRUE(kit::WaitFor([&] { return relay.Requests(pb::REQ_SUBSCRIBE, 2).size() >= 3; }, 4000));
    const auto renewed = relay.Requests(pb::REQ_SUBSCRIBE, 2);
    ASSERT_EQ(renewed.size(), 3u);
    EXPECT_EQ(renewed[0].Payload<pb::ReqSubscribedField>().mode(), pb::MODE_SNAP);
    std::set<std::pair<int, std::string>> streams;
    for (std::size_t i = 1; i < renewed.size(); ++i) {
        const auto request = renewed[i].Payload<pb::ReqSubscribedField>();
        ASSERT_EQ(request.contract_list_size(), 1);
        streams.emplace(request.mode(), request.contract_list(0));
    }
    EXPECT_EQ(streams,
        (std::set<std::pair<int, std::string>> { { pb::MODE_DEPTH, keys[0] }, { pb::MODE_TICKER, keys[0] } }));
    // The server answers a depth subscription with the book at once.
    EXPECT_TRUE(kit::WaitFor([&] { return probe.Count(probe.depths) > depthsBefore; }, 3000));
    Client()->Stop();

    // Stop forgets them: a later session starts with the snapshot alone.
    kit::QuoteServer quiet;
    ASSERT_TRUE(quiet.Start());
    kit::FrameRelay fresh(quiet.port());
    kit::UseServer(fresh.port());
    ASSERT_TRUE(Client()->Connect());
    ASSERT_TRUE(kit::WaitFor([&] { return fresh.Requests(pb::REQ_HEARTBEAT).size() >= 1; }, 3000));
    EXPECT_EQ(fresh.Requests(pb::REQ_SUBSCRIBE).size(), 1u);
    Client()->Stop();
}

// A connected client whose server has just gone away; the tests stop it while
// it tries to reconnect.
class NQuoteClientStopWhileReconnecting : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_server.Start());
        m_port = m_server.port();
        kit::UseServer(m_port);
        ASSERT_TRUE(Client()->Connect());
        m_server.Kill();
    }
    void TearDown() override { Client()->Stop(); }

    std::size_t Lines(const char* text) const { return m_log.Matching({ text }).size(); }

    kit::QuoteServer m_server;
    int m_port = 0;
    kit::LogMark m_log;
};

// Stop while the client waits for its next attempt ends the attempts for good
// and promptly; a later connect works.
TEST_F(NQuoteClientStopWhileReconnecting, BetweenAttempts)
{
    ASSERT_TRUE(m_log.WaitForLine({ "): 行情重连失败，稍候再试" }, 3000));
    const auto start = Clock::now();
    Client()->Stop();
    EXPECT_LT(kit::ElapsedMs(start), 2000);

    ASSERT_TRUE(m_server.Start({}, m_port));
    kit::Pump(6000);
    EXPECT_EQ(Lines("): 行情重连……"), 1u);
    EXPECT_EQ(Lines("): 行情重连成功"), 0u);
    ASSERT_TRUE(Client()->Connect());
}

// Stop while an attempt is inside its connect waits (the server accepts but
// never answers the login) does not sit out the wait.
TEST_F(NQuoteClientStopWhileReconnecting, InsideAnAttempt)
{
    ASSERT_TRUE(m_server.Start({ "--silent" }, m_port));
    // An attempt under way: more attempts than failures, still so 300 ms on
    // (an attempt against the closed port fails within milliseconds).
    const auto underWay = [&] { return Lines("): 行情重连……") > Lines("): 行情重连失败，稍候再试"); };
    ASSERT_TRUE(kit::WaitFor(
        [&] {
            if (!underWay())
                return false;
            kit::Pump(300);
            return underWay();
        },
        12000));
    const auto start = Clock::now();
    Client()->Stop();
    EXPECT_LT(kit::ElapsedMs(start), 1500);
}

} // namespace
