// Latest-quote cache, the signals to the GUI thread, the per-contract requests
// and the log lines of their replies.

#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>

#include <google/protobuf/util/message_differencer.h>
#include <gtest/gtest.h>

#include "quoteclientkit.h"

namespace
{

using google::protobuf::util::MessageDifferencer;
using kit::FrameRelay;
namespace pb = kw::pb::ostrel2;

using kit::Client;

pb::QuoteDetailField FullQuote(const std::string& code)
{
    pb::QuoteDetailField q;
    q.set_contract_code(code);
    q.set_time_flag(1765000000123);
    q.set_pre_settle(70.5);
    q.set_pre_closing(70.25);
    q.set_last(71.5);
    q.set_open(70.75);
    q.set_low(70.0);
    q.set_high(72.0);
    q.set_last_vol(3);
    q.set_volume(12345);
    q.set_position(67890);
    q.set_ask_price(71.51);
    q.set_ask_vol(7);
    q.set_bid_price(71.49);
    q.set_bid_vol(9);
    q.set_src_type("sim");
    q.set_gw_recv_time(1765000000100);
    q.set_gw_send_time(1765000000110);
    q.set_front_recv_time(1765000000120);
    q.set_turnover(8.8e6);
    q.set_turnover_rate(0.12);
    return q;
}

template <typename T>
std::vector<T> Of(const kit::SignalProbe& probe, const std::vector<T>& list, const std::string& key)
{
    std::lock_guard<std::mutex> lock(probe.mutex);
    std::vector<T> mine;
    std::copy_if(list.begin(), list.end(), std::back_inserter(mine),
        [&](const T& m) { return m.contract_code() == key; });
    return mine;
}

std::size_t QuotesOf(const kit::SignalProbe& probe, const std::string& key)
{
    return Of(probe, probe.quotes, key).size();
}

class NQuoteClientQuotes : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_server.Start());
        m_relay = std::make_unique<FrameRelay>(m_server.port());
        kit::UseServer(m_relay->port());
        ASSERT_TRUE(Client()->Connect());
        // The relay may still be passing on the connect's own subscription;
        // tests that count requests start after it.
        ASSERT_TRUE(kit::WaitFor([&] { return m_relay->Requests(pb::REQ_SUBSCRIBE).size() == 1; }, 3000));
        // A subscribed contract whose quotes come only from the test.
        const auto request = m_relay->Requests(pb::REQ_SUBSCRIBE)[0].Payload<pb::ReqSubscribedField>();
        ASSERT_GT(request.contract_list_size(), 0);
        m_quietKey = request.contract_list(request.contract_list_size() - 1);
        m_relay->SetServerHook([key = m_quietKey](pb::KwBaseMessage_Rsp& rsp) {
            FrameRelay::Verdict verdict;
            verdict.drop = rsp.method() == pb::ON_RTN_QUOTE && rsp.data().Is<pb::QuoteDetailField>() && [&] {
                pb::QuoteDetailField q;
                return rsp.data().UnpackTo(&q) && q.contract_code() == key;
            }();
            return verdict;
        });
        // Whatever the relay passed on before is handled once this is: no
        // quote of the contract from the server reaches a later receiver.
        ASSERT_TRUE(Settle());
    }
    void TearDown() override { Client()->Stop(); }

    // Waits until the client has handled everything injected so far: a quote
    // injected last is cached once the ones before it were handled.
    bool Settle()
    {
        static int serial = 0;
        pb::QuoteDetailField marker = FullQuote(m_quietKey);
        marker.set_last(-(++serial));
        m_relay->InjectRsp(FrameRelay::MakeRsp(pb::ON_RTN_QUOTE, marker));
        // Emitted too, so no receiver of a test gets it.
        bool emitted = false;
        QObject context;
        QObject::connect(Client(), &NQuoteClient::quote_sig, &context,
            [&](const nsquote::QuoteDetailField& q) { emitted = emitted || q.last() == marker.last(); });
        pb::QuoteDetailField q;
        return kit::WaitFor(
            [&] { return emitted && Client()->GetQuote(m_quietKey, &q) && q.last() == marker.last(); }, 3000);
    }

    kit::QuoteServer m_server;
    std::unique_ptr<FrameRelay> m_relay;
    std::string m_quietKey;
};

TEST_F(NQuoteClientQuotes, LaterQuoteReplacesTheEntryWhole)
{
    kit::SignalProbe probe(Client());
    const std::string key = m_quietKey;
    const pb::QuoteDetailField first = FullQuote(key);
    m_relay->InjectRsp(FrameRelay::MakeRsp(pb::ON_RTN_QUOTE, first));
    pb::QuoteDetailField cached;
    // The server's own quote of the contract may have been cached before the relay held them back.
    ASSERT_TRUE(kit::WaitFor(
        [&] { return Client()->GetQuote(key, &cached) && MessageDifferencer::Equals(cached, first); }, 3000));
    // Handed on before the next one comes: a later quote would replace it in the batch.
    ASSERT_TRUE(kit::WaitFor([&] { return QuotesOf(probe, key) == 1; }, 3000));

    pb::QuoteDetailField second;
    second.set_contract_code(key);
    second.set_last(99.5);
    m_relay->InjectRsp(FrameRelay::MakeRsp(pb::ON_RTN_QUOTE, second));
    ASSERT_TRUE(
        kit::WaitFor([&] { return Client()->GetQuote(key, &cached) && cached.last() == 99.5; }, 3000));
    EXPECT_TRUE(MessageDifferencer::Equals(cached, second));
    EXPECT_EQ(cached.volume(), 0);
    EXPECT_EQ(cached.src_type(), "");

    // Unknown keys, the empty key: false, the caller's message untouched.
    pb::QuoteDetailField untouched = FullQuote("mine");
    std::string lower = key;
    std::transform(
        lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    for (const std::string& other : { std::string(), std::string("ZZ_NEVER_QUOTED"), lower }) {
        EXPECT_FALSE(Client()->GetQuote(other, &untouched)) << other;
        EXPECT_TRUE(MessageDifferencer::Equals(untouched, FullQuote("mine"))) << other;
    }

    // Both quotes reached the GUI thread as copies, in order.
    ASSERT_TRUE(kit::WaitFor([&] { return QuotesOf(probe, key) == 2; }, 3000));
    EXPECT_EQ(probe.offGuiThread, 0);
    std::vector<pb::QuoteDetailField> mine;
    {
        std::lock_guard<std::mutex> lock(probe.mutex);
        for (const pb::QuoteDetailField& q : probe.quotes)
            if (q.contract_code() == key)
                mine.push_back(q);
    }
    EXPECT_TRUE(MessageDifferencer::Equals(mine[0], first));
    EXPECT_TRUE(MessageDifferencer::Equals(mine[1], second));
}

// The cache keeps the contracts of this connection's subscriptions only: a
// server pushing ever-new codes gets them dropped, with one log line for the
// connection, not one per quote.
TEST_F(NQuoteClientQuotes, QuotesOfContractsNotSubscribedAreDropped)
{
    kit::SignalProbe probe(Client());
    kit::LogMark log;
    const std::string longCode = "ZZ_LONG_" + std::string(100000, 'x');
    for (int i = 0; i < 2000; ++i) {
        const std::string code = i == 0 ? longCode : "ZZ_STRAY_" + std::to_string(i);
        m_relay->InjectRsp(FrameRelay::MakeRsp(pb::ON_RTN_QUOTE, FullQuote(code)));
    }
    ASSERT_TRUE(Settle());
    pb::QuoteDetailField cached;
    for (const std::string& code : { longCode, std::string("ZZ_STRAY_1"), std::string("ZZ_STRAY_1999") })
        EXPECT_FALSE(Client()->GetQuote(code, &cached)) << code.substr(0, 20);
    const std::vector<std::string> dropped
        = log.Matching({ "[WARN]", "nquoteclient.cpp(", "丢弃未订阅合约的行情" });
    ASSERT_EQ(dropped.size(), 1u);
    EXPECT_NE(dropped[0].find("ZZ_STRAY_1 "), std::string::npos);
    // A code longer than any real one is refused as it enters.
    EXPECT_EQ(
        log.Matching({ "[WARN]", "quotetextbounds.cpp(", "拒收代码过长的记录 1 条", "100008 字节" }).size(),
        1u);
    {
        std::lock_guard<std::mutex> lock(probe.mutex);
        EXPECT_TRUE(std::all_of(probe.quotes.begin(), probe.quotes.end(),
            [](const pb::QuoteDetailField& q) { return q.contract_code().compare(0, 3, "ZZ_") != 0; }));
    }

    // A contract subscribed for its depth or trades alone is kept while it is subscribed.
    const std::string extra = "ZZ_EXTRA_1";
    Client()->SubscribeTicker(extra);
    Client()->SubscribeDepth(extra);
    m_relay->InjectRsp(FrameRelay::MakeRsp(pb::ON_RTN_QUOTE, FullQuote(extra)));
    ASSERT_TRUE(Settle());
    EXPECT_TRUE(Client()->GetQuote(extra, &cached));
    Client()->UnSubscribeTicker(extra);
    EXPECT_TRUE(Client()->GetQuote(extra, &cached));
    Client()->UnSubscribeDepth(extra);
    EXPECT_FALSE(Client()->GetQuote(extra, &cached));
    m_relay->InjectRsp(FrameRelay::MakeRsp(pb::ON_RTN_QUOTE, FullQuote(extra)));
    ASSERT_TRUE(Settle());
    EXPECT_FALSE(Client()->GetQuote(extra, &cached));
    EXPECT_EQ(log.Matching({ "丢弃未订阅合约的行情" }).size(), 1u);
}

TEST_F(NQuoteClientQuotes, ServerQuotesDepthTradesAndKLinesReachTheGuiThread)
{
    kit::SignalProbe probe(Client());
    kit::LogMark log;
    std::vector<pb::CommodityField> list;
    ASSERT_TRUE(Client()->GetCommodityList(list));
    const pb::CommodityField& first = list.front();
    ASSERT_GT(first.contract_no_list_size(), 0);
    const std::string key = Client()->MakeContractCode(
        first.security_type(), first.commodity_no(), first.contract_no_list(0).contract_no());

    Client()->SubscribeDepth(key);
    Client()->SubscribeTicker(key);
    Client()->QueryKLine(key, pb::KLINE_5MIN);

    const auto depthOf = [&] {
        std::lock_guard<std::mutex> lock(probe.mutex);
        return std::count_if(probe.depths.begin(), probe.depths.end(),
            [&](const pb::DepthQuoteField& d) { return d.contract_code() == key; });
    };
    const auto tickersOf = [&] {
        std::lock_guard<std::mutex> lock(probe.mutex);
        return std::count_if(probe.tickers.begin(), probe.tickers.end(),
            [&](const pb::TickerField& t) { return t.contract_code() == key; });
    };
    EXPECT_TRUE(kit::WaitFor([&] { return depthOf() > 0; }, 5000));
    EXPECT_TRUE(kit::WaitFor([&] { return tickersOf() > 0; }, 10000));
    ASSERT_TRUE(kit::WaitFor([&] { return probe.Count(probe.klines) == 1; }, 5000));
    {
        std::lock_guard<std::mutex> lock(probe.mutex);
        EXPECT_EQ(probe.klines[0].contract_code(), key);
        EXPECT_EQ(probe.klines[0].period(), pb::KLINE_5MIN);
        EXPECT_GT(probe.klines[0].lines_size(), 0);
        EXPECT_LE(probe.klines[0].lines_size(), 500);
    }
    pb::QuoteDetailField quote;
    EXPECT_TRUE(kit::WaitFor([&] { return Client()->GetQuote(key, &quote); }, 5000));
    EXPECT_EQ(quote.contract_code(), key);
    EXPECT_EQ(probe.offGuiThread, 0);

    EXPECT_EQ(log.Matching({ "[INFO]", "nquoteclient.cpp(", "): 开始查询K线性数据，K线类型: 2" }).size(), 1u);
    EXPECT_EQ(log.Matching({ "[INFO]", "nquoteclient.cpp(", "): 查询K线性数据返回，K线类型: 2" }).size(), 1u);

    // Unsubscribed: the depth and trade pushes of that contract stop.
    Client()->UnSubscribeDepth(key);
    Client()->UnSubscribeTicker(key);
    EXPECT_TRUE(kit::WaitFor(
        [&] {
            return log.Matching({ "[WARN]", "): 取消订阅成功" }).size() == 2;
        },
        3000));
    // Once the server has confirmed both, its market steps bring quotes and no
    // depth or trades of that contract.
    std::size_t confirmed = 0;
    ASSERT_TRUE(kit::WaitFor(
        [&] {
            const std::vector<kit::Frame> frames = m_relay->Frames();
            int replies = 0;
            for (std::size_t i = 0; i < frames.size(); ++i) {
                if (!frames[i].fromClient && frames[i].method == pb::ON_RSP_UNSUBSCRIBE && ++replies == 2) {
                    confirmed = i + 1;
                    return true;
                }
            }
            return false;
        },
        3000));
    const auto pushedSince = [&](int method, bool ofKeyOnly) {
        const std::vector<kit::Frame> frames = m_relay->Frames();
        std::size_t count = 0;
        for (std::size_t i = confirmed; i < frames.size(); ++i) {
            const kit::Frame& f = frames[i];
            if (f.fromClient || f.method != method)
                continue;
            const std::string code = method == pb::ON_RTN_DEPTH
                ? f.Payload<pb::DepthQuoteField>().contract_code()
                : method == pb::ON_RTN_TICKER ? f.Payload<pb::TickerField>().contract_code()
                                              : std::string();
            count += !ofKeyOnly || code == key;
        }
        return count;
    };
    ASSERT_TRUE(kit::WaitFor([&] { return pushedSince(pb::ON_RTN_QUOTE, false) > 20; }, 5000));
    EXPECT_EQ(pushedSince(pb::ON_RTN_DEPTH, true), 0u);
    EXPECT_EQ(pushedSince(pb::ON_RTN_TICKER, true), 0u);
}

TEST_F(NQuoteClientQuotes, RequestsCarryTheirModesTagsAndFields)
{
    struct Case {
        const char* name;
        std::function<void()> call;
        int method;
        const char* tag;
        int mode; // subscription requests
    };
    const std::string key = "FO_CL_2701";
    const Case cases[] = {
        { "SubscribeDepth", [&] { Client()->SubscribeDepth(key); }, pb::REQ_SUBSCRIBE, "2356",
            pb::MODE_DEPTH },
        { "SubscribeTicker", [&] { Client()->SubscribeTicker(key); }, pb::REQ_SUBSCRIBE, "2356",
            pb::MODE_TICKER },
        { "UnSubscribeDepth", [&] { Client()->UnSubscribeDepth(key); }, pb::REQ_UNSUBSCRIBE, "dev_wy",
            pb::MODE_DEPTH },
        { "UnSubscribeTicker", [&] { Client()->UnSubscribeTicker(key); }, pb::REQ_UNSUBSCRIBE, "dev_wy",
            pb::MODE_TICKER },
        { "QueryKLine", [&] { Client()->QueryKLine(key, pb::KLINE_1DAY); }, pb::REQ_HISTORY_DATA, "hh", 0 },
    };
    for (const Case& c : cases) {
        const std::size_t before = m_relay->Requests(c.method).size();
        c.call();
        ASSERT_TRUE(kit::WaitFor([&] { return m_relay->Requests(c.method).size() == before + 1; }, 3000))
            << c.name;
        const kit::Frame frame = m_relay->Requests(c.method).back();
        EXPECT_EQ(frame.reqId, c.tag) << c.name;
        if (c.method == pb::REQ_SUBSCRIBE) {
            const auto request = frame.Payload<pb::ReqSubscribedField>();
            EXPECT_EQ(request.mode(), c.mode) << c.name;
            ASSERT_EQ(request.contract_list_size(), 1) << c.name;
            EXPECT_EQ(request.contract_list(0), key) << c.name;
        } else if (c.method == pb::REQ_UNSUBSCRIBE) {
            const auto request = frame.Payload<pb::ReqUnSubscribedField>();
            EXPECT_EQ(request.mode(), c.mode) << c.name;
            ASSERT_EQ(request.contract_list_size(), 1) << c.name;
            EXPECT_EQ(request.contract_list(0), key) << c.name;
        } else {
            const auto request = frame.Payload<pb::ReqQryHistoryField>();
            EXPECT_EQ(request.contract_code(), key);
            EXPECT_EQ(request.period(), pb::KLINE_1DAY);
            EXPECT_EQ(request.count(), 500u);
            EXPECT_EQ(request.begin_time(), 0u);
            EXPECT_EQ(request.end_time(), 0u);
            EXPECT_FALSE(request.ask_or_bid());
        }
    }

    // Without a connection the requests send nothing and do not fail.
    Client()->Stop();
    // Only the client's frames count: a push of the server may still be on its way.
    const auto sent = [&] {
        const auto frames = m_relay->Frames();
        return std::count_if(frames.begin(), frames.end(), [](const kit::Frame& f) { return f.fromClient; });
    };
    const auto frames = sent();
    for (const Case& c : cases)
        c.call();
    EXPECT_EQ(sent(), frames);
}

TEST_F(NQuoteClientQuotes, SubscriptionFailuresWriteOneErrorLineEach)
{
    kit::LogMark log;
    // The real server refuses an unknown contract.
    Client()->SubscribeDepth("FO_NOSUCH_9999");
    EXPECT_TRUE(kit::WaitFor(
        [&] {
            return log.Matching({ "[ERROR]", "nquoteclient.cpp(", "): FO_NOSUCH_9999订阅失败原因:" }).size()
                == 1;
        },
        3000));

    struct Case {
        std::vector<std::pair<std::string, std::string>> failures;
    };
    const Case cases[] = {
        { { { "ZZ_A_1", "合约不存在" }, { "ZZ_B_2", "no such contract" }, { "ZZ_C_3", "" } } },
        { {} },
        { { { "ZZ_D_4", "权限不足" } } },
    };
    for (const Case& c : cases) {
        kit::LogMark mark;
        pb::RspSubscribedField reply;
        reply.add_succ_list("FO_CL_2701");
        for (const auto& [code, reason] : c.failures) {
            auto* failed = reply.add_fail_list();
            failed->set_contract_code(code);
            failed->set_err_msg(reason);
        }
        m_relay->InjectRsp(FrameRelay::MakeRsp(pb::ON_RSP_SUBSCRIBE, reply, "2356", 1, "partly failed"));
        ASSERT_TRUE(Settle());
        const std::vector<std::string> errors = mark.Matching({ "[ERROR]" });
        ASSERT_EQ(errors.size(), c.failures.size());
        for (std::size_t i = 0; i < errors.size(); ++i) {
            const std::string tail = "): " + c.failures[i].first + "订阅失败原因:" + c.failures[i].second;
            EXPECT_EQ(errors[i].substr(errors[i].size() - tail.size()), tail) << errors[i];
        }
    }
}

TEST_F(NQuoteClientQuotes, UnsubscriptionRepliesWriteOneWarnLine)
{
    struct Case {
        int errorCode;
        std::string errorText;
        std::string tail;
    };
    const Case cases[] = {
        { 0, "", "): 取消订阅成功" },
        { 0, "ignored when it worked", "): 取消订阅成功" },
        { 7, "", "): 取消订阅失败,失败原因" },
        { -3, "未订阅该合约", "): 取消订阅失败,失败原因未订阅该合约" },
    };
    for (const Case& c : cases) {
        kit::LogMark mark;
        pb::KwBaseMessage_Rsp rsp;
        rsp.set_method(pb::ON_RSP_UNSUBSCRIBE);
        rsp.set_req_id("dev_wy");
        rsp.set_error_code(c.errorCode);
        rsp.set_error_message(c.errorText);
        m_relay->InjectRsp(rsp);
        ASSERT_TRUE(Settle());
        const std::vector<std::string> warnings = mark.Matching({ "[WARN]", "nquoteclient.cpp(" });
        ASSERT_EQ(warnings.size(), 1u) << c.errorCode;
        EXPECT_EQ(warnings[0].substr(warnings[0].size() - c.tail.size()), c.tail);
    }
}

TEST_F(NQuoteClientQuotes, EmptyKLineReplyIsLoggedAndEmitted)
{
    kit::SignalProbe probe(Client());
    kit::LogMark log;
    pb::RspReqQryHistoryField reply;
    reply.set_contract_code("FO_CL_2701");
    reply.set_period(pb::KLINE_1HR);
    // The server's own reply is held back; the test answers.
    m_relay->SetServerHook([](pb::KwBaseMessage_Rsp& rsp) {
        FrameRelay::Verdict verdict;
        verdict.drop = rsp.method() == pb::ON_RSP_HISTORY_DATA;
        return verdict;
    });
    Client()->QueryKLine("FO_CL_2701", pb::KLINE_1HR);
    ASSERT_TRUE(kit::WaitFor([&] { return m_relay->Requests(pb::REQ_HISTORY_DATA).size() == 1; }, 3000));
    m_relay->InjectRsp(FrameRelay::MakeRsp(pb::ON_RSP_HISTORY_DATA, reply, "hh"));
    ASSERT_TRUE(kit::WaitFor([&] { return probe.Count(probe.klines) == 1; }, 3000));
    {
        std::lock_guard<std::mutex> lock(probe.mutex);
        EXPECT_TRUE(MessageDifferencer::Equals(probe.klines[0], reply));
    }
    EXPECT_EQ(log.Matching({ "[INFO]", "): 查询K线性数据返回，K线类型: 5" }).size(), 1u);
    EXPECT_EQ(probe.offGuiThread, 0);
}

// Whatever the server sends while the GUI thread is busy waits as one batch of
// the latest values: one quote and one depth per level of a contract, the last
// eight trades in order, and only the K-line reply that was asked for.
TEST_F(NQuoteClientQuotes, AFloodWaitsAsOneBatchOfLatestValues)
{
    // Only the test's pushes count here.
    const std::string key = m_quietKey;
    m_relay->SetServerHook([key](pb::KwBaseMessage_Rsp& rsp) {
        FrameRelay::Verdict verdict;
        pb::QuoteDetailField q;
        verdict.drop = rsp.method() == pb::ON_RTN_DEPTH || rsp.method() == pb::ON_RTN_TICKER
            || rsp.method() == pb::ON_RSP_HISTORY_DATA
            || (rsp.method() == pb::ON_RTN_QUOTE && rsp.data().UnpackTo(&q) && q.contract_code() == key);
        return verdict;
    });
    ASSERT_TRUE(Settle());
    kit::SignalProbe probe(Client());
    kit::LogMark log;
    Client()->SubscribeDepth(key);
    Client()->SubscribeTicker(key);
    Client()->QueryKLine(key, pb::KLINE_1HR);

    const int n = 2000;
    for (int i = 1; i <= n; ++i) {
        pb::DepthQuoteField other;
        other.set_contract_code("ZZ_DEPTH_" + std::to_string(i));
        m_relay->InjectRsp(FrameRelay::MakeRsp(pb::ON_RTN_DEPTH, other));
        pb::QuoteDetailField q = FullQuote(key);
        q.set_last(i);
        m_relay->InjectRsp(FrameRelay::MakeRsp(pb::ON_RTN_QUOTE, q));
        // Subscribed: it has room even after other contracts took theirs.
        pb::DepthQuoteField depth;
        depth.set_contract_code(key);
        depth.set_level(2 + i % 4);
        depth.set_ask_price(i);
        if (i > static_cast<int>(QuoteHandoff::kOtherDepthContracts))
            m_relay->InjectRsp(FrameRelay::MakeRsp(pb::ON_RTN_DEPTH, depth));
        pb::TickerField tick;
        tick.set_contract_code(key);
        tick.set_price(i);
        m_relay->InjectRsp(FrameRelay::MakeRsp(pb::ON_RTN_TICKER, tick));
        // Trades nobody asked for never crowd the subscribed ones out.
        tick.set_contract_code("ZZ_TRADE");
        m_relay->InjectRsp(FrameRelay::MakeRsp(pb::ON_RTN_TICKER, tick));
        pb::RspReqQryHistoryField kline;
        kline.set_contract_code(i == n / 2 ? key : "ZZ_UNASKED");
        kline.set_period(pb::KLINE_1HR);
        m_relay->InjectRsp(FrameRelay::MakeRsp(pb::ON_RSP_HISTORY_DATA, kline, "hh"));
    }
    // Handled by the receiving thread while the GUI thread runs no event.
    const auto deadline = kit::Clock::now() + std::chrono::seconds(10);
    pb::QuoteDetailField cached;
    while (!(Client()->GetQuote(key, &cached) && cached.last() == n) && kit::Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    ASSERT_EQ(cached.last(), n);
    ASSERT_TRUE(kit::WaitFor([&] { return QuotesOf(probe, key) != 0; }, 3000));

    const auto quotes = Of(probe, probe.quotes, key);
    ASSERT_EQ(quotes.size(), 1u);
    EXPECT_EQ(quotes[0].last(), n);
    const auto depths = Of(probe, probe.depths, key);
    ASSERT_EQ(depths.size(), 4u);
    for (const pb::DepthQuoteField& d : depths)
        EXPECT_EQ(static_cast<int>(d.ask_price()), n - (6 - static_cast<int>(d.level())) % 4) << d.level();
    const auto ticks = Of(probe, probe.tickers, key);
    ASSERT_EQ(ticks.size(), 8u);
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(ticks[i].price(), n - 7 + i);
    EXPECT_EQ(probe.Count(probe.tickers), 16u);
    EXPECT_EQ(probe.Count(probe.depths) - depths.size(), QuoteHandoff::kOtherDepthContracts);
    ASSERT_EQ(probe.Count(probe.klines), 1u);
    EXPECT_EQ(probe.klines[0].contract_code(), key);
    EXPECT_EQ(probe.offGuiThread, 0);
    EXPECT_EQ(log.Matching({ "[WARN]", "丢弃未请求或重复的K线回复" }).size(), 1u);
    EXPECT_EQ(log.Matching({ "[WARN]", "丢弃深度行情" }).size(), 1u);
    EXPECT_EQ(log.Matching({ "查询K线性数据返回" }).size(), 1u);
}

// A loss of connection reaches receivers after what came before it and before
// what comes after the reconnection, even when the GUI thread saw none of it yet.
TEST_F(NQuoteClientQuotes, ALossIsEmittedBetweenWhatCameBeforeAndAfterIt)
{
    std::vector<std::string> order;
    QObject context;
    QObject::connect(Client(), &NQuoteClient::quote_sig, &context, [&](const nsquote::QuoteDetailField& q) {
        if (q.contract_code() == m_quietKey)
            order.push_back("quote " + std::to_string(static_cast<int>(q.last())));
    });
    QObject::connect(Client(), &NQuoteClient::disconnect_sig, &context, [&] { order.push_back("lost"); });
    // Runs no event while it waits: everything lands in the hand-off first.
    const auto cachedAs = [&](double last) {
        const auto deadline = kit::Clock::now() + std::chrono::seconds(20);
        pb::QuoteDetailField q;
        while (kit::Clock::now() < deadline) {
            const bool cached = Client()->GetQuote(m_quietKey, &q);
            if ((last == 0 && !cached) || (cached && q.last() == last))
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return false;
    };
    for (const double last : { 1.0, 2.0 }) {
        pb::QuoteDetailField q = FullQuote(m_quietKey);
        q.set_last(last);
        m_relay->InjectRsp(FrameRelay::MakeRsp(pb::ON_RTN_QUOTE, q));
        ASSERT_TRUE(cachedAs(last));
        if (last == 1.0) {
            m_relay->CloseAll();
            ASSERT_TRUE(cachedAs(0)); // the cache is emptied at the loss
            // Subscribed again: its quotes are taken once more.
            const auto deadline = kit::Clock::now() + std::chrono::seconds(20);
            while (m_relay->Requests(pb::REQ_SUBSCRIBE).size() < 2 && kit::Clock::now() < deadline)
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            ASSERT_EQ(m_relay->Requests(pb::REQ_SUBSCRIBE).size(), 2u);
        }
    }
    ASSERT_TRUE(kit::WaitFor([&] { return order.size() >= 3; }, 3000));
    EXPECT_EQ(order, (std::vector<std::string> { "quote 1", "lost", "quote 2" }));
}

// Whether the thread sleeps in a futex call: waiting for a lock.
bool WaitsForALock(pid_t tid)
{
    std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/syscall");
    long number = -1;
    return (in >> number) && number == SYS_futex;
}

// The window reads the cache on the GUI thread while quotes replace its
// entries on the API's thread: a read waits while the cache is held.
TEST(NQuoteClientQuoteCache, GetQuoteWaitsWhileTheCacheIsHeld)
{
    const pb::QuoteDetailField quote = FullQuote("FO_CL_2701");
    NQuoteClientProbe::Subscribe(quote.contract_code());
    static_cast<COstrelSpi*>(Client())->OnRtnQuote(&quote);

    std::unique_lock<std::mutex> held(NQuoteClientProbe::CacheMutex());
    std::atomic<pid_t> tid { 0 };
    std::atomic<bool> returned { false };
    pb::QuoteDetailField read;
    std::thread reader([&] {
        tid = static_cast<pid_t>(::syscall(SYS_gettid));
        Client()->GetQuote(quote.contract_code(), &read);
        returned = true;
    });
    EXPECT_TRUE(kit::WaitFor([&] { return returned || (tid != 0 && WaitsForALock(tid)); }, 10000));
    EXPECT_FALSE(returned);
    held.unlock();
    reader.join();
    EXPECT_TRUE(MessageDifferencer::Equals(read, quote));
}

// The hand-off names a contract by its slot in the cache. Once the list that
// made the slots is gone, they go to the contracts of the next one: each
// quote still reaches the window, and the cache, under its own contract.
TEST(NQuoteClientQuoteCache, SlotsOfAGoneListServeTheNextOne)
{
    kit::SignalProbe probe(Client());
    auto* spi = static_cast<COstrelSpi*>(Client());
    NQuoteClientProbe::Subscribe("FO_A");
    NQuoteClientProbe::Subscribe("FO_B");
    pb::QuoteDetailField a = FullQuote("FO_A");
    spi->OnRtnQuote(&a);
    ASSERT_TRUE(kit::WaitFor([&] { return probe.Count(probe.quotes) == 1; }, 3000));

    NQuoteClientProbe::Fresh(kit::TestTimings());
    NQuoteClientProbe::Subscribe("FO_C");
    NQuoteClientProbe::Subscribe("FO_A");
    pb::QuoteDetailField c = FullQuote("FO_C");
    c.set_last(1);
    spi->OnRtnQuote(&c);
    a.set_last(2);
    spi->OnRtnQuote(&a);
    pb::QuoteDetailField read;
    EXPECT_FALSE(Client()->GetQuote("FO_B", &read));
    ASSERT_TRUE(Client()->GetQuote("FO_C", &read));
    EXPECT_TRUE(MessageDifferencer::Equals(read, c));
    ASSERT_TRUE(Client()->GetQuote("FO_A", &read));
    EXPECT_TRUE(MessageDifferencer::Equals(read, a));
    ASSERT_TRUE(kit::WaitFor([&] { return probe.Count(probe.quotes) == 3; }, 3000));
    const auto received = Of(probe, probe.quotes, "FO_C");
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].last(), 1);
    EXPECT_EQ(Of(probe, probe.quotes, "FO_A").back().last(), 2);
}

} // namespace
