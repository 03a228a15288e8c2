// Heartbeat chain and latency of the quote client, and the one chain that
// runs after a reconnection.

#include <gtest/gtest.h>

#include "quoteclientkit.h"

namespace
{

using kit::Clock;
using kit::FrameRelay;
namespace pb = kw::pb::ostrel2;

using kit::Client;

std::int64_t NowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::system_clock::now().time_since_epoch())
        .count();
}

long Between(Clock::time_point a, Clock::time_point b)
{
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(b - a).count());
}

long HeartBeatDelayMs()
{
    return static_cast<long>(NQuoteClientProbe::GetTimings().heartBeatDelay.count());
}

// Beats of one chain leave a heartbeat delay apart at least: a second chain
// would put two beats close together.
void ExpectOneChain(const std::vector<kit::Frame>& beats)
{
    for (std::size_t i = 1; i < beats.size(); ++i)
        EXPECT_GE(Between(beats[i - 1].at, beats[i].at), HeartBeatDelayMs() - 50) << i;
}

TEST(NQuoteClientHeartBeat, LatencyIsZeroWhileOutstandingAndNextBeatFollowsTheLastByTheDelay)
{
    constexpr int kReplyDelayMs = 200;
    kit::QuoteServer server;
    ASSERT_TRUE(server.Start());
    FrameRelay relay(server.port());
    relay.SetServerHook([](pb::KwBaseMessage_Rsp& rsp) {
        FrameRelay::Verdict verdict;
        if (rsp.method() == pb::ON_RSP_HEARTBEAT)
            verdict.delayMs = kReplyDelayMs;
        return verdict;
    });
    kit::UseServer(relay.port());
    kit::StopAtEnd stop;

    const std::int64_t before = NowMs();
    ASSERT_TRUE(Client()->Connect());
    const std::int64_t after = NowMs();

    // The first heartbeat leaves at the end of the connect; its reply is held back.
    HeartBeatInfo beat = Client()->GetHeartBeatInfo();
    EXPECT_GE(beat.sendTime, before);
    EXPECT_LE(beat.sendTime, after);
    EXPECT_EQ(beat.replyTime, 0);
    EXPECT_EQ(beat.latency, 0);
    ASSERT_TRUE(kit::WaitFor([&] { return relay.Requests(pb::REQ_HEARTBEAT).size() == 1; }, 3000));
    EXPECT_EQ(Client()->GetHeartBeatInfo().latency, 0);

    ASSERT_TRUE(kit::WaitFor([] { return Client()->GetHeartBeatInfo().replyTime != 0; }, 3000));
    beat = Client()->GetHeartBeatInfo();
    EXPECT_GE(beat.latency, kReplyDelayMs - 50);
    EXPECT_LT(beat.latency, kReplyDelayMs + 2000);
    EXPECT_EQ(beat.latency, beat.replyTime - beat.sendTime);

    // The next one a heartbeat delay after the last send, whatever the reply.
    ASSERT_TRUE(kit::WaitFor([&] { return relay.Requests(pb::REQ_HEARTBEAT).size() >= 2; }, 7000));
    const HeartBeatInfo second = Client()->GetHeartBeatInfo();
    const auto beats = relay.Requests(pb::REQ_HEARTBEAT);
    const long gap = Between(beats[0].at, beats[1].at);
    EXPECT_GE(gap, HeartBeatDelayMs() - 50);
    EXPECT_LT(gap, HeartBeatDelayMs() + 2000); // loose: a loaded machine wakes late
    EXPECT_GT(second.sendTime, beat.replyTime);
    EXPECT_EQ(second.replyTime, 0);
    EXPECT_EQ(second.latency, 0);

    ASSERT_TRUE(kit::WaitFor([] { return Client()->GetHeartBeatInfo().replyTime != 0; }, 3000));
    EXPECT_GE(Client()->GetHeartBeatInfo().latency, kReplyDelayMs - 50);
    Client()->Stop();

    // Stopped: no chain goes on.
    EXPECT_FALSE(NQuoteClientProbe::HeartBeatsRunning());
}

// The line drops while a heartbeat of the old connection waits in the
// scheduler; after the reconnection exactly one chain may run.
TEST(NQuoteClientHeartBeat, ReconnectionRunsExactlyOneChain)
{
    kit::QuoteServer server;
    ASSERT_TRUE(server.Start());
    FrameRelay relay(server.port());
    kit::UseServer(relay.port());
    kit::StopAtEnd stop;
    kit::SignalProbe probe(Client());
    kit::LogMark log;

    ASSERT_TRUE(Client()->Connect());
    // The next beat waits in the scheduler when the line drops.
    ASSERT_TRUE(kit::WaitFor([] { return Client()->GetHeartBeatInfo().replyTime != 0; }, 3000));
    ASSERT_TRUE(kit::WaitFor([] { return NQuoteClientProbe::PendingHeartBeats() == 1; }, 3000));
    relay.CloseAll();

    ASSERT_TRUE(kit::WaitFor([&] { return relay.Requests(pb::REQ_HEARTBEAT, 2).size() >= 1; }, 5000));
    EXPECT_TRUE(kit::WaitFor([&] { return probe.Disconnects() == 1; }, 1000));
    ASSERT_EQ(relay.Requests(pb::REQ_SUBSCRIBE, 2).size(), 1u);

    // The stale beat of the old connection comes due as soon as the new
    // connection starts the scheduler: beside the new chain it would put two
    // beats close together.
    ASSERT_TRUE(kit::WaitFor([&] { return relay.Requests(pb::REQ_HEARTBEAT, 2).size() >= 4; }, 8000));
    ExpectOneChain(relay.Requests(pb::REQ_HEARTBEAT, 2));
    EXPECT_EQ(probe.Disconnects(), 1);
    EXPECT_EQ(probe.Connects(), 0);
    EXPECT_EQ(probe.offGuiThread, 0);
    EXPECT_EQ(log.Matching({ "[INFO]", "nquoteclient.cpp(", "): 行情重连……" }).size(), 1u);
    EXPECT_EQ(log.Matching({ "[INFO]", "): 行情重连成功" }).size(), 1u);
    Client()->Stop();
}

// Heartbeat replies nobody asked for, in bulk: they neither move the latency
// nor start chains of their own. One beat at most waits in the scheduler and
// beats still leave a heartbeat delay apart.
TEST(NQuoteClientHeartBeat, UnaskedRepliesDoNotMultiplyTheBeats)
{
    kit::QuoteServer server;
    ASSERT_TRUE(server.Start());
    FrameRelay relay(server.port());
    kit::UseServer(relay.port());
    kit::StopAtEnd stop;
    kit::LogMark log;

    ASSERT_TRUE(Client()->Connect());
    ASSERT_TRUE(kit::WaitFor([] { return Client()->GetHeartBeatInfo().replyTime != 0; }, 3000));
    const HeartBeatInfo answered = Client()->GetHeartBeatInfo();
    ASSERT_TRUE(kit::WaitFor([&] { return relay.Requests(pb::REQ_SUBSCRIBE).size() == 1; }, 3000));
    const std::string code
        = relay.Requests(pb::REQ_SUBSCRIBE)[0].Payload<pb::ReqSubscribedField>().contract_list(0);

    pb::HeartBeatField beat;
    beat.set_ref("11222");
    std::string one;
    ostrelwire::AppendMessage(one, FrameRelay::MakeRsp(pb::ON_RSP_HEARTBEAT, beat, "fdff"));
    // The follow-up of the answered beat, and perhaps a beat left behind by
    // an earlier client run that comes due and does nothing.
    const std::size_t pendingBefore = NQuoteClientProbe::PendingHeartBeats();
    std::string flood;
    for (int i = 0; i < 2000; ++i)
        flood += one;
    relay.InjectRaw(flood);
    // A quote behind the flood: once it is cached, the flood has been read.
    pb::QuoteDetailField marker;
    marker.set_contract_code(code);
    marker.set_last(42);
    relay.InjectRsp(FrameRelay::MakeRsp(pb::ON_RTN_QUOTE, marker));
    pb::QuoteDetailField cached;
    ASSERT_TRUE(
        kit::WaitFor([&] { return Client()->GetQuote(code, &cached) && cached.last() == 42; }, 10000));

    EXPECT_LE(NQuoteClientProbe::PendingHeartBeats(), pendingBefore);
    HeartBeatInfo now = Client()->GetHeartBeatInfo();
    if (relay.Requests(pb::REQ_HEARTBEAT).size() == 1) {
        EXPECT_EQ(now.replyTime, answered.replyTime);
        EXPECT_EQ(now.latency, answered.latency);
    }

    // The chain goes on as one, each beat a heartbeat delay after the one before.
    const std::size_t sent = relay.Requests(pb::REQ_HEARTBEAT).size();
    ASSERT_TRUE(kit::WaitFor([&] { return relay.Requests(pb::REQ_HEARTBEAT).size() >= sent + 3; }, 7000));
    ExpectOneChain(relay.Requests(pb::REQ_HEARTBEAT));
    EXPECT_LE(NQuoteClientProbe::PendingHeartBeats(), 1u);
    now = Client()->GetHeartBeatInfo();
    EXPECT_GT(now.sendTime, answered.replyTime);
    EXPECT_GE(now.latency, 0);
    EXPECT_EQ(log.Matching({ "[WARN]", "nquoteclient.cpp(", "): 丢弃未请求的心跳回复" }).size(), 1u);
    Client()->Stop();
}

// Servers that keep the line open but send nothing, or one frame that never
// ends: beats go on unanswered, the wait shown runs from the first of them,
// and after the silence limit the line counts as lost, with its cause in the
// log, and the client reconnects.
TEST(NQuoteClientHeartBeat, SilenceEndsTheConnection)
{
    for (const bool incompleteFrame : { false, true }) {
        SCOPED_TRACE(incompleteFrame ? "a frame that never ends" : "nothing at all");
        NQuoteClientProbe::Timings timings = kit::TestTimings();
        timings.silenceLimit = std::chrono::milliseconds(1000);
        timings.replyWait = std::chrono::milliseconds(500);
        NQuoteClientProbe::Fresh(timings);
        kit::QuoteServer server;
        ASSERT_TRUE(server.Start());
        FrameRelay relay(server.port());
        std::atomic<bool> mute { false };
        relay.SetServerHook([&](pb::KwBaseMessage_Rsp&) {
            FrameRelay::Verdict verdict;
            verdict.drop = mute.load();
            return verdict;
        });
        kit::UseServer(relay.port());
        kit::StopAtEnd stop;
        kit::LogMark log;

        ASSERT_TRUE(Client()->Connect());
        ASSERT_TRUE(kit::WaitFor([] { return Client()->GetHeartBeatInfo().replyTime != 0; }, 3000));
        mute = true;
        const Clock::time_point muted = Clock::now();
        if (incompleteFrame)
            relay.InjectRaw(std::string("\xa0\x86\x01\x00", 4)); // 100,000 bytes announced
        ASSERT_TRUE(kit::WaitFor([&] { return relay.Requests(pb::REQ_HEARTBEAT, 1).size() >= 4; }, 3000));
        const HeartBeatInfo waiting = Client()->GetHeartBeatInfo();
        EXPECT_EQ(waiting.replyTime, 0);
        EXPECT_LE(waiting.sendTime, NowMs() - 2 * HeartBeatDelayMs() + 100);
        const std::vector<std::string> loss { "[WARN]",
            "): 行情连接断开: 行情服务器长时间无任何数据 (1000 毫秒)" };
        ASSERT_TRUE(kit::WaitFor([&] { return log.Matching(loss).size() == 1; }, 5000));
        EXPECT_GE(kit::ElapsedMs(muted), 900);
        EXPECT_FALSE(Client()->IsConnected());
        mute = false;
        EXPECT_TRUE(kit::WaitFor([] { return Client()->IsConnected(); }, 5000));
        EXPECT_GE(relay.Connections(), 2);
        EXPECT_EQ(log.Matching(loss).size(), 1u);
        Client()->Stop();
    }
}

} // namespace
