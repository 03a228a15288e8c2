// The latest-quote cache, the per-contract requests and the log lines of
// their replies.

#include <sys/syscall.h>
#include <unistd.h>

#include <cctype>
#include <fstream>

#include "quotesfixture.h"

namespace
{

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
