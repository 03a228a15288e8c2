// The quote API library against a scripted server on 127.0.0.1 that sends
// exactly the bytes each case needs.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "framedsocket.h"
#include "ostrelapi.h"
#include "ostrelfeed.h"
#include "ostrelwire.h"
#include "spirecorder.h"

namespace pb = kw::pb::ostrel2;
using namespace std::chrono_literals;

namespace
{

// Listens on 127.0.0.1 and plays the server's part with hand-made frames.
class ScriptedServer
{
public:
    ScriptedServer()
    {
        m_listen = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr {};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(m_listen, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        ::listen(m_listen, 4);
        socklen_t len = sizeof addr;
        ::getsockname(m_listen, reinterpret_cast<sockaddr*>(&addr), &len);
        m_port = ntohs(addr.sin_port);
    }
    ~ScriptedServer() { ::close(m_listen); }

    int Port() const { return m_port; }

    bool Accept()
    {
        pollfd p { m_listen, POLLIN, 0 };
        if (::poll(&p, 1, 5000) != 1)
            return false;
        m_client.Reset(::accept(m_listen, nullptr, nullptr));
        return m_client.Valid();
    }

    void CloseClient() { m_client.Close(); }
    void SendRaw(const std::string& bytes) const { m_client.SendRaw(bytes); }
    bool ReadRequest(pb::KwBaseMessage* msg) { return m_client.Read(msg); }
    bool PeerClosed() { return m_client.PeerClosed(); }

    static std::string Frame(const google::protobuf::MessageLite& msg) { return FramedSocket::Frame(msg); }
    static std::string RspFrame(pb::EnumMethods method, const google::protobuf::Message* payload,
        int errorCode = 0, const std::string& errorText = "", const std::string& reqId = "")
    {
        pb::KwBaseMessage_Rsp rsp;
        rsp.set_method(method);
        rsp.set_req_id(reqId);
        rsp.set_error_code(errorCode);
        rsp.set_error_message(errorText);
        if (payload)
            rsp.mutable_data()->PackFrom(*payload);
        return Frame(rsp);
    }

private:
    int m_listen = -1;
    int m_port = 0;
    FramedSocket m_client;
};

std::mutex g_logMutex;
std::vector<std::string> g_log;

void CaptureLog(int, const char* text)
{
    std::lock_guard<std::mutex> lock(g_logMutex);
    g_log.emplace_back(text);
}

bool LogContains(const std::string& part)
{
    std::lock_guard<std::mutex> lock(g_logMutex);
    for (const auto& line : g_log)
        if (line.find(part) != std::string::npos)
            return true;
    return false;
}

struct ApiDeleter {
    void operator()(COstrelApi* api) const { COstrelApi::DeleteApi(api); }
};
using ApiPtr = std::unique_ptr<COstrelApi, ApiDeleter>;

class OstrelApiTest : public testing::Test
{
protected:
    void SetUp() override
    {
        COstrelApi::SetLogHandler(&CaptureLog);
        std::lock_guard<std::mutex> lock(g_logMutex);
        g_log.clear();
    }
    void TearDown() override
    {
        api.reset();
        COstrelApi::SetLogHandler(nullptr);
    }

    void ConnectUp()
    {
        api.reset(COstrelApi::CreateApi());
        api->RegisterSpi(&spi);
        ASSERT_EQ(api->Connect("127.0.0.1", server.Port()), OSTREL_OK);
        ASSERT_TRUE(server.Accept());
        ASSERT_TRUE(spi.WaitFor("connected"));
    }

    pb::QuoteDetailField Quote(const std::string& code, double last)
    {
        pb::QuoteDetailField q;
        q.set_contract_code(code);
        q.set_last(last);
        return q;
    }

    ScriptedServer server;
    RecordingSpi spi;
    ApiPtr api;
};

TEST_F(OstrelApiTest, RequestsCarryMethodTagAndPayload)
{
    ConnectUp();
    pb::ReqLoginField login;
    login.set_user_name("\xe5\xbc\xa0\xe4\xb8\x89"); // 张三
    login.set_password("pw");
    login.set_protoc_version("2.0");
    pb::ReqQryCommodityField qry;
    pb::ReqQryHistoryField history;
    history.set_contract_code("FO_CL_2701");
    history.set_period(pb::KLINE_5MIN);
    history.set_count(500);
    pb::ReqHisMoneyFlowField flow;
    flow.set_contract_code("S_600519");
    pb::ReqSubscribedField sub;
    sub.set_mode(pb::MODE_SNAP);
    sub.add_contract_list("FO_CL_2701");
    pb::ReqUnSubscribedField unsub;
    unsub.set_mode(pb::MODE_DEPTH);
    unsub.add_contract_list("FO_CL_2701");
    pb::HeartBeatField hb;
    hb.set_ref("11222");

    struct Case {
        std::function<int()> call;
        pb::EnumMethods method;
        const char* tag;
        const google::protobuf::Message* payload;
    };
    const Case cases[] = {
        { [&] { return api->ReqLogin(&login, "321456"); }, pb::REQ_LOGIN, "321456", &login },
        { [&] { return api->ReqLogout("bye"); }, pb::REQ_LOGOUT, "bye", nullptr },
        { [&] { return api->ReqQryCommodity(&qry, "q"); }, pb::REQ_COMMODITY_LIST, "q", &qry },
        { [&] { return api->ReqQryCommodityDetail(&qry, "123456"); }, pb::REQ_COMMODITY_DETAIL, "123456",
            &qry },
        { [&] { return api->ReqQryHistory(&history, "hh"); }, pb::REQ_HISTORY_DATA, "hh", &history },
        { [&] { return api->ReqHisMoneyFlow(&flow, "mf"); }, pb::REQ_HSIMONEY_INFLOW, "mf", &flow },
        { [&] { return api->ReqSubscribe(&sub, "321456"); }, pb::REQ_SUBSCRIBE, "321456", &sub },
        { [&] { return api->ReqUnSubscribe(&unsub, "dev_wy"); }, pb::REQ_UNSUBSCRIBE, "dev_wy", &unsub },
        { [&] { return api->ReqHeartBeat(&hb, "fdff"); }, pb::REQ_HEARTBEAT, "fdff", &hb },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(pb::EnumMethods_Name(c.method));
        ASSERT_EQ(c.call(), OSTREL_OK);
        pb::KwBaseMessage got;
        ASSERT_TRUE(server.ReadRequest(&got));
        EXPECT_EQ(got.method(), c.method);
        EXPECT_EQ(got.req_id(), c.tag);
        if (!c.payload) {
            EXPECT_FALSE(got.has_data());
            continue;
        }
        std::unique_ptr<google::protobuf::Message> back(c.payload->New());
        ASSERT_TRUE(got.data().UnpackTo(back.get()));
        EXPECT_EQ(back->SerializeAsString(), c.payload->SerializeAsString());
    }
}

TEST_F(OstrelApiTest, RepliesReachTheirCallbacks)
{
    ConnectUp();
    pb::RspLoginField login;
    login.set_user_name("u1");
    pb::RspQryCommodityField commodities;
    commodities.add_commodity_list()->set_commodity_no("CL");
    pb::RspQryCommodityDetailField detail;
    detail.add_commodity_list()->set_commodity_no("CL");
    detail.add_commodity_list()->set_commodity_no("GC");
    pb::RspReqQryHistoryField history;
    history.add_lines()->set_close(1.5);
    pb::RspHisMoneyFlowField flow;
    flow.set_contract_code("S_600519");
    pb::RspSubscribedField sub;
    sub.add_succ_list("FO_CL_2701");
    auto* fail = sub.add_fail_list();
    fail->set_contract_code("FO_XX");
    fail->set_err_msg("\xe5\x90\x88\xe7\xba\xa6\xe4\xb8\x8d\xe5\xad\x98\xe5\x9c\xa8"); // 合约不存在
    pb::HeartBeatField hb;
    hb.set_ref("11222");
    pb::CommodityField commodity;
    commodity.set_commodity_no("SI");
    pb::DepthQuoteField depth;
    depth.set_contract_code("FO_CL_2701");
    depth.set_level(3);
    pb::TickerField ticker;
    ticker.set_contract_code("FO_CL_2701");
    const auto quote = Quote("FO_CL_2701", 72.5);

    struct Case {
        pb::EnumMethods method;
        const google::protobuf::Message* payload;
        int errorCode;
        std::string errorText;
        std::string expected;
    };
    const Case cases[] = {
        { pb::ON_RSP_LOGIN, &login, 0, "", "login u1" },
        { pb::ON_RSP_LOGIN, nullptr, 7, "refused", "login  err 7 refused" }, // no payload: a default message
        { pb::ON_RSP_LOGOUT, nullptr, 0, "", "logout" },
        { pb::ON_RSP_COMMODITY_LIST, &commodities, 0, "", "commodities 1" },
        { pb::ON_RSP_COMMODITY_DETAIL, &detail, 0, "", "detail 2" },
        { pb::ON_RSP_HISTORY_DATA, &history, 0, "", "history 1" },
        { pb::ON_RSP_HSIMONEY_INFLOW, &flow, 0, "", "moneyflow S_600519" },
        { pb::ON_RSP_SUBSCRIBE, &sub, 0, "", "subscribe 1/1" },
        { pb::ON_RSP_UNSUBSCRIBE, nullptr, 3, "\xe6\x9c\xaa\xe8\xae\xa2\xe9\x98\x85", // 未订阅
            "unsubscribe err 3 \xe6\x9c\xaa\xe8\xae\xa2\xe9\x98\x85" },
        { pb::ON_RSP_HEARTBEAT, &hb, 0, "", "heartbeat 11222" },
        { pb::ON_RTN_QUOTE, &quote, 0, "", "quote FO_CL_2701 72.500000" },
        { pb::ON_RTN_COMM, &commodity, 0, "", "commodity SI" },
        { pb::ON_RTN_DEPTH, &depth, 0, "", "depth FO_CL_2701 3" },
        { pb::ON_RTN_TICKER, &ticker, 0, "", "ticker FO_CL_2701" },
    };
    std::string all;
    for (const auto& c : cases)
        all += ScriptedServer::RspFrame(c.method, c.payload, c.errorCode, c.errorText);
    server.SendRaw(all);
    ASSERT_TRUE(spi.WaitCount(1 + std::size(cases)));
    const auto events = spi.Events();
    for (std::size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(events[i + 1], cases[i].expected);
}

TEST_F(OstrelApiTest, FramesCutIntoPiecesArriveWhole)
{
    ConnectUp();
    std::string stream;
    for (int i = 0; i < 20; ++i) {
        const auto q = Quote("FO_CL_27" + std::to_string(10 + i), i);
        stream += ScriptedServer::RspFrame(pb::ON_RTN_QUOTE, &q);
    }
    // Pieces of 1, 2, 3, ... bytes, each in its own segment.
    std::size_t off = 0;
    for (std::size_t piece = 1; off < stream.size(); ++piece) {
        const std::size_t n = std::min(piece, stream.size() - off);
        server.SendRaw(stream.substr(off, n));
        off += n;
        std::this_thread::sleep_for(200us);
    }
    ASSERT_TRUE(spi.WaitCount(21));
    const auto events = spi.Events();
    for (int i = 0; i < 20; ++i)
        EXPECT_EQ(events[static_cast<std::size_t>(i) + 1],
            "quote FO_CL_27" + std::to_string(10 + i) + " " + std::to_string(double(i)));
}

// Input the library drops with a log line while the connection stays up.
TEST_F(OstrelApiTest, BadPayloadsAreDroppedAndTheConnectionStays)
{
    ConnectUp();
    pb::TickerField ticker;
    ticker.set_contract_code("FO_CL_2701");

    // A quote whose contract_code is not UTF-8, packed by hand.
    pb::KwBaseMessage_Rsp badUtf8;
    badUtf8.set_method(pb::ON_RTN_QUOTE);
    badUtf8.mutable_data()->set_type_url("type.googleapis.com/kw.pb.ostrel2.QuoteDetailField");
    badUtf8.mutable_data()->set_value(std::string("\x0a\x02\xc8\xfd", 4));

    pb::KwBaseMessage_Rsp truncated;
    truncated.set_method(pb::ON_RSP_HEARTBEAT);
    truncated.mutable_data()->set_type_url("type.googleapis.com/kw.pb.ostrel2.HeartBeatField");
    truncated.mutable_data()->set_value(std::string("\x0a\x09"
                                                    "abc",
        5));

    pb::KwBaseMessage_Rsp unknown;
    unknown.set_method(static_cast<pb::EnumMethods>(555));
    unknown.set_req_id("odd");

    pb::KwBaseMessage_Rsp request; // a request method sent to the client
    request.set_method(pb::REQ_LOGIN);

    pb::KwBaseMessage_Rsp noPayload; // a push without its data
    noPayload.set_method(pb::ON_RTN_DEPTH);

    struct Case {
        std::string frame;
        std::string logPart;
    };
    const Case cases[] = {
        { ScriptedServer::RspFrame(pb::ON_RTN_QUOTE, &ticker), "expected kw.pb.ostrel2.QuoteDetailField" },
        { ScriptedServer::RspFrame(pb::ON_RSP_LOGIN, &ticker), "expected kw.pb.ostrel2.RspLoginField" },
        { ScriptedServer::Frame(badUtf8), "QuoteDetailField does not parse" },
        { ScriptedServer::Frame(truncated), "HeartBeatField does not parse" },
        { ScriptedServer::Frame(unknown), "method 555 (req_id \"odd\")" },
        { ScriptedServer::Frame(request), "method 1 " },
        { ScriptedServer::Frame(noPayload), "ON_RTN_DEPTH dropped: no payload" },
    };
    const auto gold = Quote("FO_GC_2702", 2650.5);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.logPart);
        const std::size_t seen = spi.Events().size();
        server.SendRaw(c.frame);
        server.SendRaw(ScriptedServer::RspFrame(pb::ON_RTN_QUOTE, &gold));
        ASSERT_TRUE(spi.WaitCount(seen + 1));
        EXPECT_EQ(spi.Events().back(), "quote FO_GC_2702 2650.500000");
        EXPECT_TRUE(LogContains(c.logPart));
    }
    EXPECT_EQ(spi.Count("disconnected"), 0u);
    EXPECT_EQ(spi.Events().size(), 1 + std::size(cases));
}

// Input after which the stream cannot be trusted: the library closes the
// connection, reports it once, and refuses requests afterwards.
TEST_F(OstrelApiTest, FatalInputClosesTheConnectionOnce)
{
    const auto quote = Quote("FO_CL_2701", 1);
    const std::string goodQuote = ScriptedServer::RspFrame(pb::ON_RTN_QUOTE, &quote);
    struct Case {
        const char* name;
        std::string bytes;
        bool serverCloses;
        int reason;
    };
    const std::string header17M("\x01\x00\x00\x01", 4); // 16 MiB + 1
    const std::string garbage = std::string("\x05\x00\x00\x00", 4) + "\xff\xff\xff\xff\xff";
    const std::string badReqId = std::string("\x05\x00\x00\x00", 4) + std::string("\x08\x63\x12\x01\xff", 5);
    const std::string cut = goodQuote.substr(0, goodQuote.size() - 3);
    const Case cases[] = {
        { "oversized", goodQuote + header17M + std::string(1000, 'x'), false, OSTREL_DISCONNECT_BAD_FRAME },
        { "garbage", goodQuote + garbage, false, OSTREL_DISCONNECT_BAD_FRAME },
        { "req_id not UTF-8", goodQuote + badReqId, false, OSTREL_DISCONNECT_BAD_FRAME },
        { "closed mid-frame", goodQuote + cut, true, OSTREL_DISCONNECT_CLOSED },
        { "closed between frames", goodQuote, true, OSTREL_DISCONNECT_CLOSED },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RecordingSpi local;
        ApiPtr client(COstrelApi::CreateApi());
        client->RegisterSpi(&local);
        ASSERT_EQ(client->Connect("127.0.0.1", server.Port()), OSTREL_OK);
        ASSERT_TRUE(server.Accept());
        ASSERT_TRUE(local.WaitFor("connected"));
        server.SendRaw(c.bytes);
        if (c.serverCloses)
            server.CloseClient();
        else
            EXPECT_TRUE(server.PeerClosed());
        ASSERT_TRUE(local.WaitFor("disconnected " + std::to_string(c.reason)));
        pb::HeartBeatField hb;
        EXPECT_EQ(client->ReqHeartBeat(&hb, "fdff"), OSTREL_ERR_NOT_CONNECTED);
        std::this_thread::sleep_for(50ms); // room for a wrong second report
        EXPECT_EQ(local.Count("disconnected"), 1u);
        // The frame before the fault was delivered.
        EXPECT_EQ(local.Count("quote FO_CL_2701"), 1u);
        client.reset();
        server.CloseClient();
    }
}

// A stream of frames that must be dropped: the first few get their own line,
// then the connection ends with one line, however long the stream; the
// server's texts in those lines are cut. A few such frames now and then do
// not end it.
TEST_F(OstrelApiTest, StreamOfDroppedFramesClosesTheConnectionOnce)
{
    const auto quote = Quote("FO_CL_2701", 1);
    pb::KwBaseMessage_Rsp unknown;
    unknown.set_method(static_cast<pb::EnumMethods>(555));
    unknown.set_req_id(std::string(100000, 'r'));
    const std::string oneUnknown = ScriptedServer::Frame(unknown);
    const std::string oneEmpty(4, '\0');

    ConnectUp();
    // A handful is tolerated.
    for (int i = 0; i < 20; ++i)
        server.SendRaw(oneEmpty);
    server.SendRaw(ScriptedServer::RspFrame(pb::ON_RTN_QUOTE, &quote));
    ASSERT_TRUE(spi.WaitFor("quote FO_CL_2701"));
    EXPECT_EQ(spi.Count("disconnected"), 0u);

    std::string flood;
    for (int i = 0; i < 100; ++i)
        flood += oneUnknown;
    for (int i = 0; i < 100000; ++i)
        flood += oneEmpty;
    server.SendRaw(flood);
    EXPECT_TRUE(server.PeerClosed());
    ASSERT_TRUE(spi.WaitFor("disconnected " + std::to_string(OSTREL_DISCONNECT_BAD_FRAME)));
    std::this_thread::sleep_for(50ms); // room for a wrong second report
    EXPECT_EQ(spi.Count("disconnected"), 1u);

    std::lock_guard<std::mutex> lock(g_logMutex);
    std::size_t closing = 0, bytes = 0;
    for (const auto& line : g_log) {
        bytes += line.size();
        EXPECT_LT(line.size(), 1200u) << line.substr(0, 100);
        if (line.find("too many; closing the connection") != std::string::npos)
            ++closing;
    }
    EXPECT_EQ(closing, 1u);
    EXPECT_LE(g_log.size(), 10u);
    EXPECT_LT(bytes, 12000u);
}

TEST_F(OstrelApiTest, ConnectResults)
{
    api.reset(COstrelApi::CreateApi());
    api->RegisterSpi(&spi);
    EXPECT_EQ(api->Connect(nullptr, server.Port()), OSTREL_ERR_BAD_ARGUMENT);
    EXPECT_EQ(api->Connect("127.0.0.1", 0), OSTREL_ERR_BAD_ARGUMENT);
    EXPECT_EQ(api->Connect("127.0.0.1", 70000), OSTREL_ERR_BAD_ARGUMENT);
    EXPECT_EQ(api->Connect("no-such-host.invalid", 1), OSTREL_ERR_NOT_CONNECTED);

    // A closed port on this machine is refused at once, without a callback.
    int closedPort;
    {
        ScriptedServer gone;
        closedPort = gone.Port();
    }
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(api->Connect("127.0.0.1", closedPort), OSTREL_ERR_REFUSED);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);

    pb::HeartBeatField hb;
    EXPECT_EQ(api->ReqHeartBeat(&hb, "fdff"), OSTREL_ERR_NOT_CONNECTED);

    ASSERT_EQ(api->Connect("localhost", server.Port()), OSTREL_OK);
    ASSERT_TRUE(server.Accept());
    ASSERT_TRUE(spi.WaitFor("connected"));
    EXPECT_EQ(api->Connect("127.0.0.1", server.Port()), OSTREL_ERR_BUSY);

    // After a loss the same object connects again.
    server.CloseClient();
    ASSERT_TRUE(spi.WaitFor("disconnected 2"));
    ASSERT_EQ(api->Connect("127.0.0.1", server.Port()), OSTREL_OK);
    ASSERT_TRUE(server.Accept());
    ASSERT_TRUE(spi.WaitCount(3));
    EXPECT_EQ(spi.Events(), (std::vector<std::string> { "connected", "disconnected 2", "connected" }));
    EXPECT_EQ(api->ReqHeartBeat(&hb, "fdff"), OSTREL_OK);
}

TEST_F(OstrelApiTest, RequestsThatCannotBeSentAreRefused)
{
    ConnectUp();
    pb::ReqSubscribedField gbk;
    gbk.add_contract_list("FO_CL");
    gbk.add_contract_list("\xd4\xad\xd3\xcd");
    pb::ReqLoginField login;
    pb::ReqQryHistoryField nested;
    nested.set_contract_code(std::string("\xff", 1));
    pb::ReqSubscribedField huge;
    huge.add_contract_list(std::string(ostrelwire::kMaxFrameBytes, 'a'));

    EXPECT_EQ(api->ReqSubscribe(&gbk, "2356"), OSTREL_ERR_BAD_ARGUMENT);
    EXPECT_EQ(api->ReqLogin(&login, "\xc0\xaf"), OSTREL_ERR_BAD_ARGUMENT);
    EXPECT_EQ(api->ReqLogin(&login, nullptr), OSTREL_ERR_BAD_ARGUMENT);
    EXPECT_EQ(api->ReqLogin(nullptr, "321456"), OSTREL_ERR_BAD_ARGUMENT);
    EXPECT_EQ(api->ReqQryHistory(&nested, "hh"), OSTREL_ERR_BAD_ARGUMENT);
    EXPECT_EQ(api->ReqSubscribe(&huge, "2356"), OSTREL_ERR_BAD_ARGUMENT);
    EXPECT_TRUE(LogContains("not UTF-8"));

    // Nothing of the refused requests went out: the next frame is the heartbeat.
    pb::HeartBeatField hb;
    ASSERT_EQ(api->ReqHeartBeat(&hb, "fdff"), OSTREL_OK);
    pb::KwBaseMessage got;
    ASSERT_TRUE(server.ReadRequest(&got));
    EXPECT_EQ(got.method(), pb::REQ_HEARTBEAT);
}

TEST_F(OstrelApiTest, RequestsFromManyThreadsArriveWhole)
{
    ConnectUp();
    constexpr int kThreads = 8;
    constexpr int kEach = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            pb::ReqSubscribedField sub;
            sub.set_mode(pb::MODE_SNAP);
            for (int k = 0; k < 20; ++k)
                sub.add_contract_list("T" + std::to_string(t) + "_" + std::to_string(k));
            for (int i = 0; i < kEach; ++i)
                EXPECT_EQ(api->ReqSubscribe(&sub, std::to_string(t).c_str()), OSTREL_OK);
        });
    }
    int perThread[kThreads] = {};
    for (int i = 0; i < kThreads * kEach; ++i) {
        pb::KwBaseMessage got;
        ASSERT_TRUE(server.ReadRequest(&got)) << i;
        pb::ReqSubscribedField sub;
        ASSERT_TRUE(got.data().UnpackTo(&sub));
        ASSERT_EQ(sub.contract_list_size(), 20);
        EXPECT_EQ(sub.contract_list(19), "T" + got.req_id() + "_19");
        ++perThread[std::stoi(got.req_id())];
    }
    for (auto& t : threads)
        t.join();
    for (int n : perThread)
        EXPECT_EQ(n, kEach);
}

TEST_F(OstrelApiTest, DeleteFromInsideACallback)
{
    ConnectUp();
    std::atomic<int> after { 0 };
    std::atomic<bool> deleted { false };
    COstrelApi* raw = api.release(); // the callback owns it now
    spi.SetOnEvent([&](const std::string& e) {
        if (deleted)
            ++after;
        if (e.rfind("quote", 0) == 0 && !deleted) {
            // The request still goes out from inside the callback, then the object goes.
            pb::HeartBeatField hb;
            EXPECT_EQ(raw->ReqHeartBeat(&hb, "inside"), OSTREL_OK);
            COstrelApi::DeleteApi(raw);
            deleted = true;
        }
    });
    std::string burst;
    for (int i = 0; i < 50; ++i) {
        const auto q = Quote("FO_CL_2701", i);
        burst += ScriptedServer::RspFrame(pb::ON_RTN_QUOTE, &q);
    }
    server.SendRaw(burst);
    ASSERT_TRUE(server.PeerClosed());
    EXPECT_TRUE(deleted);
    EXPECT_EQ(after.load(), 0);
    EXPECT_EQ(spi.Count("quote"), 1u);
    EXPECT_EQ(spi.Count("disconnected"), 0u);
}

TEST_F(OstrelApiTest, DeleteWhilePushesFlowAndSpiSwap)
{
    ConnectUp();
    std::atomic<bool> stop { false };
    const auto quote = Quote("FO_CL_2701", 1);
    std::thread pusher([&] {
        const std::string frame = ScriptedServer::RspFrame(pb::ON_RTN_QUOTE, &quote);
        std::string burst;
        for (int i = 0; i < 100; ++i)
            burst += frame;
        while (!stop)
            server.SendRaw(burst);
    });
    ASSERT_TRUE(spi.WaitCount(100));
    // Once RegisterSpi returns, the old object gets nothing more.
    RecordingSpi second;
    api->RegisterSpi(&second);
    const auto before = spi.Events().size();
    ASSERT_TRUE(second.WaitCount(10));
    EXPECT_EQ(spi.Events().size(), before);
    api.reset();
    const auto atDelete = second.Events().size();
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(second.Events().size(), atDelete);
    EXPECT_EQ(second.Count("disconnected"), 0u);
    stop = true;
    pusher.join();
    server.CloseClient();
}

TEST_F(OstrelApiTest, DeleteRightAfterConnect)
{
    // Deleting the object while the attempt may still be under way ends it
    // without a loss report, whichever the I/O thread reached.
    for (int i = 0; i < 20; ++i) {
        RecordingSpi local;
        ApiPtr client(COstrelApi::CreateApi());
        client->RegisterSpi(&local);
        ASSERT_EQ(client->Connect("127.0.0.1", server.Port()), OSTREL_OK);
        client.reset();
        EXPECT_EQ(local.Count("disconnected"), 0u);
        EXPECT_LE(local.Events().size(), 1u);
    }
}

} // namespace

namespace
{

TEST_F(OstrelApiTest, ConnectAgainFromInsideTheLossCallback)
{
    ConnectUp();
    COstrelApi* raw = api.get();
    std::atomic<int> again { 1 };
    spi.SetOnEvent([&](const std::string& e) {
        if (e.rfind("disconnected", 0) == 0)
            again = raw->Connect("127.0.0.1", server.Port());
    });
    server.CloseClient();
    ASSERT_TRUE(server.Accept());
    ASSERT_TRUE(spi.WaitCount(3));
    EXPECT_EQ(again.load(), OSTREL_OK);
    EXPECT_EQ(spi.Events(), (std::vector<std::string> { "connected", "disconnected 2", "connected" }));
    pb::HeartBeatField hb;
    EXPECT_EQ(api->ReqHeartBeat(&hb, "fdff"), OSTREL_OK);
    pb::KwBaseMessage got;
    ASSERT_TRUE(server.ReadRequest(&got));
    EXPECT_EQ(got.req_id(), "fdff");
}

TEST_F(OstrelApiTest, CallbacksMayRequestWhileAnotherThreadDeletes)
{
    ConnectUp();
    COstrelApi* raw = api.get();
    std::atomic<int> requests { 0 };
    spi.SetOnEvent([&](const std::string&) {
        pb::HeartBeatField hb;
        raw->ReqHeartBeat(&hb, "x");
        ++requests;
    });
    const auto q = Quote("FO_CL_2701", 1);
    std::string burst;
    for (int i = 0; i < 200; ++i)
        burst += ScriptedServer::RspFrame(pb::ON_RTN_QUOTE, &q);
    server.SendRaw(burst);
    ASSERT_TRUE(spi.WaitCount(20));
    api.reset(); // must not wait forever on a callback that is making a request
    const int atDelete = requests.load();
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(requests.load(), atDelete);
}

// Without a network, the fuzz target's seeds (a piece size, then what a
// server sends) reach the callbacks as they would through a connection; a
// frame that does not parse ends the feed as it ends a connection.
TEST(OstrelFrameFeed, SeedsReachTheCallbacksAndBadFramesEndTheFeed)
{
    std::size_t seeds = 0;
    for (const auto& entry : std::filesystem::directory_iterator(QUOTE_FUZZ_SEEDS)) {
        SCOPED_TRACE(entry.path().filename().string());
        std::ifstream in(entry.path(), std::ios::binary);
        const std::string input((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        ASSERT_GE(input.size(), 2u);
        RecordingSpi recorder;
        ostrelapi::FrameFeed feed(&recorder);
        const std::size_t piece = input[0] == 0 ? input.size() : static_cast<unsigned char>(input[0]);
        for (std::size_t at = 1; at < input.size(); at += piece)
            ASSERT_TRUE(feed.Receive(input.data() + at, std::min(piece, input.size() - at)));
        EXPECT_GT(recorder.Events().size(), 0u);
        EXPECT_EQ(recorder.Count("disconnected"), 0u);
        ++seeds;
    }
    EXPECT_GE(seeds, 8u);

    RecordingSpi recorder;
    ostrelapi::FrameFeed feed(&recorder);
    std::string garbage;
    ostrelwire::AppendFrame(garbage, "\x08\x96\x01\xff\xff\xff");
    EXPECT_FALSE(feed.Receive(garbage.data(), garbage.size()));
    EXPECT_EQ(recorder.Events(),
        std::vector<std::string> { "disconnected " + std::to_string(OSTREL_DISCONNECT_BAD_FRAME) });
    EXPECT_FALSE(feed.Receive(garbage.data(), garbage.size()));
}

} // namespace
