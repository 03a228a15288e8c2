// The signals to the GUI thread: what the hand-off keeps while the GUI thread
// is busy, and the order of what it delivers against a loss of connection.

#include "quotesfixture.h"

namespace
{

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

} // namespace
