// Loss of connection and reconnection of the quote client against a quote
// server that goes away and comes back on the same port.

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

long RetryMs()
{
    return static_cast<long>(NQuoteClientProbe::GetTimings().reconnectDelay.count());
}

// A log line's time of day ("YYYY-MM-DD hh:mm:ss mmm ..."), in milliseconds.
long MsOfDay(const std::string& line)
{
    const auto at
        = [&](std::size_t from, std::size_t length) { return std::stol(line.substr(from, length)); };
    return ((at(11, 2) * 60 + at(14, 2)) * 60 + at(17, 2)) * 1000 + at(20, 3);
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
    // A holder of the shared list keeps it whole through the loss and the new list.
    const auto shared = Client()->SharedCommodityList();
    ASSERT_NE(shared, nullptr);
    const size_t commodities = shared->size();
    ASSERT_TRUE(kit::WaitFor([&] { return CachedKeys(keys).size() >= 3; }, 5000));
    const std::int64_t firstBeat = Client()->GetHeartBeatInfo().sendTime;

    server.Kill();
    ASSERT_TRUE(kit::WaitFor([&] { return probe.Disconnects() == 1; }, 3000));
    EXPECT_EQ(probe.offGuiThread, 0);
    // Emptied on the loss: nothing cached, no commodity list.
    EXPECT_TRUE(kit::WaitFor([&] { return CachedKeys(keys).empty(); }, 1000));
    std::vector<pb::CommodityField> list;
    EXPECT_FALSE(Client()->GetCommodityList(list));
    EXPECT_EQ(Client()->SharedCommodityList(), nullptr);
    EXPECT_EQ(shared->size(), commodities);

    // The first attempt meets a closed port and is retried a retry interval
    // later; it is itself no sooner than that after the connect.
    ASSERT_TRUE(log.WaitForLine({ "[INFO]", "): 行情重连失败，稍候再试" }, 8000));
    EXPECT_TRUE(CachedKeys(keys).empty());
    // Back, but refusing the login: each attempt fails with its line and is retried.
    ASSERT_TRUE(server.Start({ "--refuse-login" }, port));
    const std::vector<std::string> refused { "[ERROR]", "): 行情服务器拒绝登录: 错误码 " };
    ASSERT_TRUE(kit::WaitFor([&] { return log.Matching(refused).size() >= 2; }, 8000));
    EXPECT_TRUE(CachedKeys(keys).empty());
    server.Kill();
    ASSERT_TRUE(server.Start({}, port));

    const auto restarted = Clock::now();
    ASSERT_TRUE(kit::WaitFor([&] { return !CachedKeys(keys).empty(); }, 9000));
    EXPECT_LT(kit::ElapsedMs(restarted), RetryMs() + 3000);
    EXPECT_TRUE(log.WaitForLine({ "[INFO]", "): 行情重连成功" }, 1000));
    EXPECT_GE(log.Matching({ "[INFO]", "nquoteclient.cpp(", "): 行情重连……" }).size(), 2u);
    EXPECT_TRUE(Client()->GetCommodityList(list));
    EXPECT_EQ(AllKeys(), keys);
    EXPECT_NE(Client()->SharedCommodityList(), shared);
    EXPECT_EQ(shared->size(), commodities);
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
// client is back as soon as the retry interval since its last attempt allows,
// since the server still listens, but not sooner: a server that drops every
// connection at once gets one attempt per interval, not a storm of them.
TEST(NQuoteClientReconnect, ServerDropsTheConnection)
{
    kit::QuoteServer server;
    ASSERT_TRUE(server.Start({ "--drop-after", "0.1" }));
    kit::FrameRelay relay(server.port());
    kit::UseServer(relay.port());
    kit::StopAtEnd stop;
    kit::SignalProbe probe(Client());

    ASSERT_TRUE(Client()->Connect());
    ASSERT_TRUE(kit::WaitFor([&] { return probe.Disconnects() >= 1; }, 4000));
    ASSERT_TRUE(kit::WaitFor([&] { return relay.Requests(pb::REQ_SUBSCRIBE, 2).size() == 1; }, 7000));
    // The renewed subscription is again the one of every contract.
    EXPECT_EQ(
        relay.Requests(pb::REQ_SUBSCRIBE, 2)[0].Payload<pb::ReqSubscribedField>().mode(), pb::MODE_SNAP);
    EXPECT_EQ(relay.Requests(pb::REQ_SUBSCRIBE, 1)[0].Payload<pb::ReqSubscribedField>().contract_list_size(),
        relay.Requests(pb::REQ_SUBSCRIBE, 2)[0].Payload<pb::ReqSubscribedField>().contract_list_size());
    const auto gap = relay.Requests(pb::REQ_LOGIN, 2)[0].at - relay.Requests(pb::REQ_LOGIN, 1)[0].at;
    EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(gap).count(), RetryMs() - 100);
    EXPECT_EQ(probe.Connects(), 0);
    Client()->Stop();
}

// A new connection carries the snapshot subscription of every contract and
// the depth and trade subscriptions in force: those asked for while the line
// was down, not those given up meanwhile. Depth and trades then come by
// themselves; selecting the contract again renews them once more.
TEST(NQuoteClientReconnect, DepthAndTradeSubscriptionsAreRenewed)
{
    kit::QuoteServer server;
    ASSERT_TRUE(server.Start());
    kit::FrameRelay relay(server.port());
    kit::UseServer(relay.port());
    kit::StopAtEnd stop;
    kit::SignalProbe probe(Client());

    ASSERT_TRUE(Client()->Connect());
    const std::vector<std::string> keys = AllKeys();
    ASSERT_GE(keys.size(), 2u);
    const auto depthsOf = [&](const std::string& key) {
        std::lock_guard<std::mutex> lock(probe.mutex);
        return std::count_if(probe.depths.begin(), probe.depths.end(),
            [&](const pb::DepthQuoteField& d) { return d.contract_code() == key; });
    };
    Client()->SubscribeDepth(keys[0]);
    Client()->SubscribeTicker(keys[0]);
    ASSERT_TRUE(kit::WaitFor([&] { return depthsOf(keys[0]) > 0; }, 3000));

    relay.CloseAll();
    ASSERT_TRUE(kit::WaitFor([&] { return probe.Disconnects() == 1; }, 3000));
    // The user picks another contract while the line is down.
    Client()->UnSubscribeDepth(keys[0]);
    Client()->UnSubscribeTicker(keys[0]);
    Client()->SubscribeDepth(keys[1]);
    Client()->SubscribeTicker(keys[1]);
    ASSERT_TRUE(kit::WaitFor([&] { return relay.Requests(pb::REQ_HEARTBEAT, 2).size() >= 1; }, 8000));
    const auto pushesOnTheNewLine = [&](int method) {
        std::size_t count = 0;
        for (const kit::Frame& f : relay.Frames())
            count += !f.fromClient && f.connection == 2 && f.method == method;
        return count;
    };
    const std::size_t quotesAtStart = pushesOnTheNewLine(pb::ON_RTN_QUOTE);
    ASSERT_TRUE(
        kit::WaitFor([&] { return pushesOnTheNewLine(pb::ON_RTN_QUOTE) > quotesAtStart + 20; }, 5000));
    EXPECT_TRUE(kit::WaitFor([&] { return depthsOf(keys[1]) > 0; }, 3000));
    const auto depths1 = depthsOf(keys[1]);

    const auto subscribed = relay.Requests(pb::REQ_SUBSCRIBE, 2);
    ASSERT_EQ(subscribed.size(), 3u);
    EXPECT_EQ(subscribed[0].Payload<pb::ReqSubscribedField>().mode(), pb::MODE_SNAP);
    for (int i = 1; i <= 2; ++i) {
        const auto request = subscribed[static_cast<std::size_t>(i)].Payload<pb::ReqSubscribedField>();
        EXPECT_EQ(request.mode(), i == 1 ? pb::MODE_DEPTH : pb::MODE_TICKER);
        ASSERT_EQ(request.contract_list_size(), 1);
        EXPECT_EQ(request.contract_list(0), keys[1]);
    }
    EXPECT_TRUE(relay.Requests(pb::REQ_UNSUBSCRIBE, 2).empty());
    for (const kit::Frame& f : relay.Frames()) {
        if (!f.fromClient && f.connection == 2 && f.method == pb::ON_RTN_DEPTH) {
            EXPECT_EQ(f.Payload<pb::DepthQuoteField>().contract_code(), keys[1]);
        }
    }

    // Selected again: the server answers a depth subscription with the book at once.
    Client()->SubscribeDepth(keys[1]);
    Client()->SubscribeTicker(keys[1]);
    EXPECT_TRUE(kit::WaitFor([&] { return depthsOf(keys[1]) > depths1; }, 3000));
    EXPECT_EQ(relay.Requests(pb::REQ_SUBSCRIBE, 2).size(), 5u);
    Client()->Stop();
}

// The line drops right after the commodity reply, before the attempt has
// finished: the attempt fails, or the client sees the loss; either way the
// client goes on reconnecting and is back once the server behaves.
TEST(NQuoteClientReconnect, LossRightAfterTheCommodityReplyIsNotMissed)
{
    kit::QuoteServer server;
    ASSERT_TRUE(server.Start());
    kit::FrameRelay relay(server.port());
    std::atomic<int> commodityReplies { 0 };
    relay.SetServerHook([&](pb::KwBaseMessage_Rsp& rsp) {
        kit::FrameRelay::Verdict verdict;
        verdict.closeAfter = rsp.method() == pb::ON_RSP_COMMODITY_DETAIL && ++commodityReplies == 2;
        return verdict;
    });
    kit::UseServer(relay.port());
    kit::StopAtEnd stop;
    kit::SignalProbe probe(Client());

    ASSERT_TRUE(Client()->Connect());
    const std::vector<std::string> keys = AllKeys();
    ASSERT_FALSE(keys.empty());
    relay.CloseAll();
    ASSERT_TRUE(kit::WaitFor([&] { return commodityReplies == 2; }, 8000));
    ASSERT_TRUE(kit::WaitFor([&] { return relay.Requests(pb::REQ_SUBSCRIBE, 3).size() == 1; }, 12000))
        << relay.Connections() << " connections";
    EXPECT_TRUE(kit::WaitFor([&] { return !CachedKeys(keys).empty(); }, 5000));
    Client()->Stop();
}

// A connected client whose server has just gone away; the tests stop it while
// it tries to reconnect.
class NQuoteClientStopWhileReconnecting : public ::testing::Test
{
protected:
    void SetUp() override
    {
        // Long enough that a retry still waits when the test stops the client.
        NQuoteClientProbe::Timings timings = kit::TestTimings();
        timings.reconnectDelay = std::chrono::milliseconds(1000);
        NQuoteClientProbe::SetTimings(timings);
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
    // The first attempt comes a retry interval after the connect.
    ASSERT_TRUE(m_log.WaitForLine({ "): 行情重连失败，稍候再试" }, 8000));
    const auto start = Clock::now();
    Client()->Stop();
    EXPECT_LT(kit::ElapsedMs(start), 2000);
    EXPECT_EQ(NQuoteClientProbe::GetState(), NQuoteClientProbe::State::Idle);

    ASSERT_TRUE(m_server.Start({}, m_port));
    ASSERT_TRUE(Client()->Connect());
    EXPECT_EQ(Lines("): 行情重连……"), 1u);
    EXPECT_EQ(Lines("): 行情重连成功"), 0u);
    EXPECT_EQ(NQuoteClientProbe::GetState(), NQuoteClientProbe::State::Connected);

    // A newer loss before the stopped attempts' retry falls due: that retry
    // stays out of it, so the attempts keep a retry interval apart.
    kit::LogMark later;
    m_server.Kill();
    ASSERT_TRUE(kit::WaitFor([&] { return later.Matching({ "): 行情重连……" }).size() >= 2; }, 8000));
    const std::vector<std::string> attempts = later.Matching({ "): 行情重连……" });
    EXPECT_GE((MsOfDay(attempts[1]) - MsOfDay(attempts[0]) + 86400000) % 86400000, RetryMs() - 100);
}

// Stop while an attempt is inside its connect waits (the server accepts but
// never answers the login) does not sit out the wait.
TEST_F(NQuoteClientStopWhileReconnecting, InsideAnAttempt)
{
    ASSERT_TRUE(m_server.Start({ "--silent" }, m_port));
    ASSERT_TRUE(kit::WaitFor([] { return NQuoteClientProbe::AwaitingLogin(); }, 12000));
    const auto start = Clock::now();
    Client()->Stop();
    EXPECT_LT(kit::ElapsedMs(start), 1500);
}

} // namespace
