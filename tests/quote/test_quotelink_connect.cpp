// Connect sequence of the quote client against the quote-server program:
// order of requests, the commodity list, the one snapshot subscription of every
// contract, and the time-outs.

#include <future>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <google/protobuf/util/message_differencer.h>

#include <gtest/gtest.h>

#include <QMetaMethod>

#include "quoteclientkit.h"

namespace
{

using google::protobuf::util::MessageDifferencer;
using kit::Clock;
using kit::FrameRelay;
namespace pb = kw::pb::ostrel2;

using kit::Client;

// Keys as the subscription must carry them, built here independently of the client.
std::vector<std::string> ExpectedKeys(const pb::RspQryCommodityDetailField& reply)
{
    static const std::map<int, std::string> names { { 0, "UNKNOWN" }, { 1, "FO" }, { 2, "FI" }, { 3, "C" },
        { 4, "S" }, { 8, "D" }, { 9, "V" } };
    std::vector<std::string> keys;
    for (const pb::CommodityField& c : reply.commodity_list()) {
        const auto name = names.find(c.security_type());
        const std::string prefix = (name == names.end() ? "" : name->second) + "_" + c.commodity_no();
        if (c.contract_no_list_size() == 0)
            keys.push_back(prefix);
        for (const auto& contract : c.contract_no_list())
            keys.push_back(contract.contract_no().empty() ? prefix : prefix + "_" + contract.contract_no());
    }
    return keys;
}

// A port on which nothing listens.
int UnusedPort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    ::close(fd);
    return ntohs(addr.sin_port);
}

// The instance of each test is as if it had never connected.
TEST(NQuoteClientConnect, StopBeforeAnyConnectChangesNothing)
{
    Client()->Stop();
    std::vector<pb::CommodityField> list(1);
    EXPECT_FALSE(Client()->GetCommodityList(list));
    EXPECT_EQ(list.size(), 1u);
    const HeartBeatInfo beat = Client()->GetHeartBeatInfo();
    EXPECT_EQ(beat.sendTime, 0);
    EXPECT_EQ(beat.replyTime, 0);
    EXPECT_EQ(beat.latency, 0);
    // No API object: requests go nowhere and do not fail.
    Client()->SendHeartBeat();
    Client()->SubscribeDepth("FO_CL_2701");
    Client()->QueryKLine("FO_CL_2701", pb::KLINE_1MIN);
    EXPECT_EQ(Client()->GetHeartBeatInfo().replyTime, 0);
}

TEST(NQuoteClientConnect, MakeContractCode)
{
    struct Case {
        int type;
        std::string commodity, contract, key;
    };
    const Case cases[] = {
        { pb::FO, "CL", "2701", "FO_CL_2701" },
        { pb::FO, "CL", "", "FO_CL" },
        { pb::FI, "IF", "2612", "FI_IF_2612" },
        { pb::C, "EUR.USD", "", "C_EUR.USD" },
        { pb::S, "00700", "", "S_00700" },
        { pb::D, "BTC", "", "D_BTC" },
        { pb::V, "VX", "01", "V_VX_01" },
        { pb::UNKNOWN, "A", "", "UNKNOWN_A" },
        { 5, "X", "1", "_X_1" },
        { 6, "Y", "", "_Y" },
        { 7, "", "", "_" },
        { 1000, "Z", "9", "_Z_9" },
    };
    for (const Case& c : cases)
        EXPECT_EQ(Client()->MakeContractCode(c.type, c.commodity, c.contract), c.key)
            << c.type << " " << c.commodity << " " << c.contract;
}

// Queued delivery needs the payload types registered under the names the
// signal declarations carry.
TEST(NQuoteClientConnect, MetaObjectSignalsTypesAndCasts)
{
    NQuoteClient* client = Client();
    const QMetaObject* meta = client->metaObject();
    const char* signatures[] = {
        "quote_sig(nsquote::QuoteDetailField)",
        "disconnect_sig()",
        "connect_sig()",
        "Kline_sig(nsquote::RspReqQryHistoryField)",
        "depth_quote_sig(nsquote::DepthQuoteField)",
        "ticker_quote_sig(nsquote::TickerField)",
    };
    ASSERT_EQ(meta->methodCount() - meta->methodOffset(), 6);
    for (int i = 0; i < 6; ++i) {
        const QMetaMethod method = meta->method(meta->methodOffset() + i);
        EXPECT_EQ(method.methodType(), QMetaMethod::Signal);
        EXPECT_EQ(method.methodSignature().toStdString(), signatures[i]);
    }
    for (const char* name : { "nsquote::QuoteDetailField", "nsquote::RspReqQryHistoryField",
             "nsquote::DepthQuoteField", "nsquote::TickerField" })
        EXPECT_NE(QMetaType::type(name), static_cast<int>(QMetaType::UnknownType)) << name;
    EXPECT_EQ(client->qt_metacast("NQuoteClient"), static_cast<void*>(client));
    EXPECT_EQ(client->qt_metacast("COstrelSpi"), static_cast<void*>(static_cast<COstrelSpi*>(client)));
    EXPECT_EQ(client->qt_metacast("QObject"), static_cast<void*>(static_cast<QObject*>(client)));
    EXPECT_EQ(client->qt_metacast("Quorvel"), nullptr);
}

TEST(NQuoteClientConnect, SequenceLoadsCommoditiesAndSubscribesEveryContractOnce)
{
    kit::QuoteServer server;
    ASSERT_TRUE(server.Start());
    FrameRelay relay(server.port());
    // Two commodities the built-in market may lack: one without contracts and
    // one of a security type that has no name.
    relay.SetServerHook([](pb::KwBaseMessage_Rsp& rsp) {
        if (rsp.method() == pb::ON_RSP_COMMODITY_DETAIL) {
            pb::RspQryCommodityDetailField reply;
            rsp.data().UnpackTo(&reply);
            pb::CommodityField* bare = reply.add_commodity_list();
            bare->set_security_type(pb::FO);
            bare->set_commodity_no("ZZBARE");
            bare->set_commodity_name("无合约品种");
            pb::CommodityField* nameless = reply.add_commodity_list();
            nameless->set_security_type(static_cast<pb::EnumSecurityType>(6));
            nameless->set_commodity_no("ODD");
            nameless->add_contract_no_list()->set_contract_no("2701");
            nameless->add_contract_no_list()->set_contract_no("2702");
            rsp.mutable_data()->PackFrom(reply);
        }
        return FrameRelay::Verdict {};
    });
    kit::UseServer(relay.port());
    kit::StopAtEnd stop;

    ASSERT_TRUE(Client()->Connect());

    // Requests in order, with their tags and contents.
    ASSERT_TRUE(kit::WaitFor([&] { return relay.Requests(pb::REQ_HEARTBEAT).size() == 1; }, 3000));
    const std::vector<kit::Frame> requests = [&] {
        std::vector<kit::Frame> out;
        for (const kit::Frame& f : relay.Frames())
            if (f.fromClient)
                out.push_back(f);
        return out;
    }();
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_EQ(requests[0].method, pb::REQ_LOGIN);
    EXPECT_EQ(requests[0].reqId, "321456");
    const auto login = requests[0].Payload<pb::ReqLoginField>();
    EXPECT_EQ(login.user_name(), "tester");
    EXPECT_EQ(login.password(), "secret");
    EXPECT_EQ(login.protoc_version(), "2.0");
    EXPECT_EQ(requests[1].method, pb::REQ_COMMODITY_DETAIL);
    EXPECT_EQ(requests[1].reqId, "123456");
    EXPECT_EQ(requests[1].Payload<pb::ReqQryCommodityField>().security_type(), pb::UNKNOWN);
    EXPECT_EQ(requests[2].method, pb::REQ_SUBSCRIBE);
    EXPECT_EQ(requests[2].reqId, "321456");
    EXPECT_EQ(requests[3].method, pb::REQ_HEARTBEAT);
    EXPECT_EQ(requests[3].reqId, "fdff");
    EXPECT_EQ(requests[3].Payload<pb::HeartBeatField>().ref(), "11222");

    // The commodity list is the reply's, in reply order.
    const std::vector<kit::Frame> replies = relay.Replies(pb::ON_RSP_COMMODITY_DETAIL);
    ASSERT_EQ(replies.size(), 1u);
    const auto reply = replies[0].Payload<pb::RspQryCommodityDetailField>();
    ASSERT_GT(reply.commodity_list_size(), 10);
    std::vector<pb::CommodityField> list(1);
    list[0].set_commodity_no("kept");
    ASSERT_TRUE(Client()->GetCommodityList(list));
    ASSERT_EQ(list.size(), static_cast<std::size_t>(reply.commodity_list_size()) + 1);
    EXPECT_EQ(list[0].commodity_no(), "kept");
    for (int i = 0; i < reply.commodity_list_size(); ++i)
        EXPECT_TRUE(MessageDifferencer::Equals(list[i + 1], reply.commodity_list(i))) << i;

    // One snapshot subscription holding every key, in commodity order.
    const std::vector<kit::Frame> subscriptions = relay.Requests(pb::REQ_SUBSCRIBE);
    ASSERT_EQ(subscriptions.size(), 1u);
    const auto subscribe = subscriptions[0].Payload<pb::ReqSubscribedField>();
    EXPECT_EQ(subscribe.mode(), pb::MODE_SNAP);
    const std::vector<std::string> keys(subscribe.contract_list().begin(), subscribe.contract_list().end());
    EXPECT_EQ(keys, ExpectedKeys(reply));
    const auto has
        = [&](const std::string& key) { return std::find(keys.begin(), keys.end(), key) != keys.end(); };
    EXPECT_TRUE(has("FO_ZZBARE"));
    EXPECT_TRUE(has("_ODD_2701"));
    EXPECT_TRUE(has("_ODD_2702"));
    EXPECT_TRUE(std::any_of(keys.begin(), keys.end(),
        [](const std::string& k) { return k.rfind("FO_CL_", 0) == 0 && k.size() == 10; }));

    // Quotes of the subscribed contracts reach the cache.
    pb::QuoteDetailField quote;
    EXPECT_TRUE(kit::WaitFor(
        [&] {
            return std::any_of(keys.begin(), keys.end(),
                [&](const std::string& k) { return Client()->GetQuote(k, &quote); });
        },
        5000));
    EXPECT_TRUE(has(quote.contract_code()));

    Client()->Stop();
}

TEST(NQuoteClientConnect, EmptyCommodityListGivesEmptySubscriptionAndStartedClient)
{
    kit::QuoteServer server;
    ASSERT_TRUE(server.Start());
    FrameRelay relay(server.port());
    relay.SetServerHook([](pb::KwBaseMessage_Rsp& rsp) {
        if (rsp.method() == pb::ON_RSP_COMMODITY_DETAIL)
            rsp.mutable_data()->PackFrom(pb::RspQryCommodityDetailField());
        return FrameRelay::Verdict {};
    });
    kit::UseServer(relay.port());
    kit::StopAtEnd stop;

    ASSERT_TRUE(Client()->Connect());
    ASSERT_TRUE(kit::WaitFor([&] { return relay.Requests(pb::REQ_HEARTBEAT).size() == 1; }, 3000));
    const std::vector<kit::Frame> subscriptions = relay.Requests(pb::REQ_SUBSCRIBE);
    ASSERT_EQ(subscriptions.size(), 1u);
    EXPECT_EQ(subscriptions[0].Payload<pb::ReqSubscribedField>().contract_list_size(), 0);
    std::vector<pb::CommodityField> list;
    EXPECT_FALSE(Client()->GetCommodityList(list));
    EXPECT_TRUE(list.empty());
    // Started: the heartbeat chain runs.
    EXPECT_TRUE(kit::WaitFor([] { return Client()->GetHeartBeatInfo().replyTime != 0; }, 3000));
    // One connection at a time: a second connect changes nothing.
    EXPECT_FALSE(Client()->Connect());
    EXPECT_EQ(relay.Requests(pb::REQ_LOGIN).size(), 1u);
    EXPECT_EQ(NQuoteClientProbe::GetState(), NQuoteClientProbe::State::Connected);
    Client()->Stop();
}

// A refused login fails the sequence, with the server's code and text in one
// log line; no commodity query follows.
TEST(NQuoteClientConnect, RefusedLoginFailsTheSequence)
{
    kit::QuoteServer server;
    ASSERT_TRUE(server.Start({ "--refuse-login" }));
    FrameRelay relay(server.port());
    kit::UseServer(relay.port());
    kit::StopAtEnd stop;
    kit::LogMark log;

    EXPECT_FALSE(Client()->Connect());
    const std::vector<kit::Frame> logins = relay.Replies(pb::ON_RSP_LOGIN);
    ASSERT_EQ(logins.size(), 1u);
    ASSERT_NE(logins[0].errorCode, 0);
    EXPECT_TRUE(relay.Requests(pb::REQ_COMMODITY_DETAIL).empty());
    EXPECT_EQ(
        log.Matching({ "[ERROR]", "): 行情服务器拒绝登录: 错误码 " + std::to_string(logins[0].errorCode),
                         "用户名或密码错误" })
            .size(),
        1u);
    EXPECT_EQ(NQuoteClientProbe::GetState(), NQuoteClientProbe::State::Idle);
    Client()->Stop();
}

// A commodity list that takes longer than the reply wait to arrive is still
// taken while its bytes keep coming; one that stops half-way is not.
TEST(NQuoteClientConnect, CommodityWaitRunsFromTheLastBytes)
{
    for (const bool stalls : { false, true }) {
        SCOPED_TRACE(stalls ? "stalls" : "keeps coming");
        NQuoteClientProbe::Timings timings = kit::TestTimings();
        timings.replyWait = std::chrono::milliseconds(400);
        NQuoteClientProbe::Fresh(timings);
        kit::QuoteServer server;
        ASSERT_TRUE(server.Start());
        FrameRelay relay(server.port());
        std::promise<std::string> held;
        relay.SetServerHook([&](pb::KwBaseMessage_Rsp& rsp) {
            FrameRelay::Verdict verdict;
            verdict.drop = rsp.method() == pb::ON_RSP_COMMODITY_DETAIL;
            if (verdict.drop) {
                std::string frame;
                ostrelwire::AppendMessage(frame, rsp);
                held.set_value(frame);
            }
            return verdict;
        });
        kit::UseServer(relay.port());
        kit::StopAtEnd stop;

        std::future<bool> connected = std::async(std::launch::async, [] { return Client()->Connect(); });
        std::future<std::string> reply = held.get_future();
        ASSERT_EQ(reply.wait_for(std::chrono::seconds(3)), std::future_status::ready);
        const std::string frame = reply.get();
        // Eight pieces 250 ms apart: two seconds in all, five reply waits.
        const std::size_t piece = frame.size() / 8 + 1;
        for (std::size_t at = 0; at < frame.size(); at += piece) {
            if (stalls && at >= frame.size() / 2)
                break;
            relay.InjectRaw(frame.substr(at, piece));
            std::this_thread::sleep_for(std::chrono::milliseconds(250));
        }
        EXPECT_EQ(connected.get(), !stalls);
        Client()->Stop();
    }
}

TEST(NQuoteClientConnect, UnansweredLoginFailsAfterTheReplyWaitWithoutCommodityQuery)
{
    NQuoteClientProbe::Timings timings = kit::TestTimings();
    timings.replyWait = std::chrono::milliseconds(500);
    NQuoteClientProbe::SetTimings(timings);
    kit::QuoteServer server;
    ASSERT_TRUE(server.Start({ "--silent" }));
    FrameRelay relay(server.port());
    kit::UseServer(relay.port());
    kit::StopAtEnd stop;

    const auto start = Clock::now();
    EXPECT_FALSE(Client()->Connect());
    const long took = kit::ElapsedMs(start);
    EXPECT_GE(took, 490);
    EXPECT_LT(took, 2000);
    EXPECT_EQ(relay.Requests(pb::REQ_LOGIN).size(), 1u);
    EXPECT_TRUE(relay.Requests(pb::REQ_COMMODITY_DETAIL).empty());
    EXPECT_TRUE(relay.Requests(pb::REQ_SUBSCRIBE).empty());
    EXPECT_TRUE(relay.Requests(pb::REQ_HEARTBEAT).empty());
    std::vector<pb::CommodityField> list;
    EXPECT_FALSE(Client()->GetCommodityList(list));
    Client()->Stop();
}

// The server accepts and closes at once, after the client was connected and
// stopped before: the attempt fails without waiting out its reply wait, and it
// is not taken for the loss of a started connection (no signal, no retries).
TEST(NQuoteClientConnect, ServerClosingDuringTheSequenceFailsFast)
{
    kit::QuoteServer server;
    ASSERT_TRUE(server.Start());
    kit::UseServer(server.port());
    {
        kit::StopAtEnd stop;
        ASSERT_TRUE(Client()->Connect());
    }
    FrameRelay relay(UnusedPort()); // accepts, finds no server behind, closes
    kit::UseServer(relay.port());
    kit::StopAtEnd stop;
    kit::SignalProbe probe(Client());
    kit::LogMark log;

    const auto start = Clock::now();
    EXPECT_FALSE(Client()->Connect());
    EXPECT_LT(kit::ElapsedMs(start), 1500);
    EXPECT_EQ(relay.Connections(), 1);
    EXPECT_EQ(NQuoteClientProbe::GetState(), NQuoteClientProbe::State::Idle);
    EXPECT_TRUE(NQuoteClientProbe::ReconnectsIdle());
    QCoreApplication::processEvents();
    EXPECT_EQ(probe.Disconnects(), 0);
    EXPECT_TRUE(log.Matching({ "): 行情重连" }).empty());
    EXPECT_EQ(relay.Connections(), 1);
}

TEST(NQuoteClientConnect, NoServerFailsFast)
{
    kit::UseServer(UnusedPort());
    const auto start = Clock::now();
    EXPECT_FALSE(Client()->Connect());
    EXPECT_LT(kit::ElapsedMs(start), 1500);
    // The failed attempt leaves nothing running that a later connect would trip over.
    Client()->Stop();
    kit::QuoteServer server;
    ASSERT_TRUE(server.Start());
    kit::UseServer(server.port());
    kit::StopAtEnd stop;
    EXPECT_TRUE(Client()->Connect());
}

// Replies on loopback usually arrive before the connecting thread begins to
// wait; each must still be taken, so no attempt may sit out its 5 s wait.
TEST(NQuoteClientConnect, RepliesBeforeTheWaitAreTaken)
{
    kit::QuoteServer server;
    ASSERT_TRUE(server.Start());
    kit::UseServer(server.port());
    kit::StopAtEnd stop;
    for (int attempt = 0; attempt < 15; ++attempt) {
        const auto start = Clock::now();
        ASSERT_TRUE(Client()->Connect()) << attempt;
        EXPECT_LT(kit::ElapsedMs(start), 3500) << attempt;
        std::vector<pb::CommodityField> list;
        EXPECT_TRUE(Client()->GetCommodityList(list));
        Client()->Stop();
    }
}

} // namespace
