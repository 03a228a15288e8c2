// The API object against the test quote server over real sockets.

#include <atomic>
#include <chrono>
#include <filesystem>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "IKivQuoteAPIExtend.h"
#include "InternalLog.h"
#include "QuoteServer.h"
#include "RecordingEvents.h"
#include "TestLog.h"
#include "TestRecords.h"

using namespace kqtest;

namespace
{

const std::string& LogFolder()
{
    return TemporaryLogFolder();
}

size_t OpenDescriptors()
{
    size_t count = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        (void)entry;
        ++count;
    }
    return count;
}

class ApiAgainstServer : public ::testing::Test
{
protected:
    void SetUp() override
    {
        LogFolder();
        server.AddUser("u1", "p1");
        server.SetLoginBody("LOGIN-INFO");
        events.loginInfoSize = 10;
        events.quoteSize = 8;
        api = std::make_unique<IKivQuoteAPIExtend>(&info);
        ASSERT_EQ(api->SetNotifyHandler(&events), KQ_SUCCESS);
        ASSERT_EQ(api->SetServerAddress("127.0.0.1", server.Port()), KQ_SUCCESS);
    }
    void TearDown() override { api.reset(); }

    // Logs in and waits for the given number of OnReadyForRequests in total.
    void LoginAndWaitReady(size_t readyCount = 1)
    {
        ASSERT_EQ(api->ConnectAndLogin(&login), KQ_SUCCESS);
        ASSERT_TRUE(events.WaitFor(EventKind::Ready, readyCount));
        ASSERT_EQ(api->ReadyState(), 0);
    }

    QuoteServer server;
    RecordingEvents events;
    QuoteAppInfo info = AppInfo();
    QuoteLoginRecord login = Login("u1", "p1");
    std::unique_ptr<IKivQuoteAPIExtend> api;
};

} // namespace

TEST_F(ApiAgainstServer, LogsInQueriesAndSubscribes)
{
    server.AddCommodity(Commodity("SHFE", 'F', "cu"));
    server.AddCommodity(Commodity("CME", 'F', "GC"));
    server.AddContract(Contract("SHFE", 'F', "cu", "2502"));
    server.AddContract(Contract("SHFE", 'F', "cu", "2501"));
    server.AddContract(Contract("CME", 'F', "GC", "2512"));
    server.AddKeyedRecord(Keyed("k"));
    server.SetCompletionOrder({ 11003, 11001, 11002 });
    LogWatch watch(LogFolder());
    LoginAndWaitReady();

    const auto logins = server.Frames(10002);
    ASSERT_EQ(logins.size(), 1u);
    EXPECT_TRUE(logins[0].hasParams);
    EXPECT_EQ(logins[0].params, "account=u1;pwd=p1;");
    EXPECT_EQ(logins[0].body, "");
    const auto replies = events.Of(EventKind::LoginReply);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].code, 0);
    EXPECT_EQ(replies[0].data, "LOGIN-INFO");
    // The login reply comes first and readiness only after the last completion.
    const auto all = events.Events();
    EXPECT_EQ(all.front().kind, EventKind::LoginReply);
    EXPECT_EQ(all.back().kind, EventKind::Ready);
    EXPECT_EQ(api->Cache().KeyedRecordCount(), 1u);

    uint32_t session = 99;
    ASSERT_EQ(api->QryCommodity(&session), KQ_SUCCESS);
    EXPECT_EQ(session, 0u);
    ASSERT_TRUE(events.WaitFor(EventKind::Commodity, 2));
    const QuoteCommodityKey filter = CommodityKey("SHFE", 'F', "cu");
    ASSERT_EQ(api->QryContract(&session, &filter), KQ_SUCCESS);
    EXPECT_EQ(session, 1u);
    ASSERT_TRUE(events.WaitFor(EventKind::Contract, 2));
    const QuoteContractKey contract = ContractKey("SHFE", 'F', "cu", "2501");
    ASSERT_EQ(api->SubscribeQuote(&session, &contract), KQ_SUCCESS);
    EXPECT_EQ(session, 2u);
    ASSERT_EQ(api->UnSubscribeQuote(&session, &contract), KQ_SUCCESS);
    EXPECT_EQ(session, 3u);
    ASSERT_TRUE(events.WaitFor(EventKind::Unsubscribe, 1));

    const auto commodities = events.Of(EventKind::Commodity);
    EXPECT_EQ(commodities[0].data, Bytes(Commodity("CME", 'F', "GC")));
    EXPECT_EQ(commodities[1].data, Bytes(Commodity("SHFE", 'F', "cu")));
    EXPECT_EQ(commodities[1].isLast, 'Y');
    const auto contracts = events.Of(EventKind::Contract);
    EXPECT_EQ(contracts[0].data, Bytes(Contract("SHFE", 'F', "cu", "2501")));
    EXPECT_EQ(contracts[0].isLast, 'N');
    EXPECT_EQ(contracts[1].data, Bytes(Contract("SHFE", 'F', "cu", "2502")));
    EXPECT_EQ(contracts[1].isLast, 'Y');
    EXPECT_EQ(contracts[1].sessionID, 1u);
    const auto subscribed = events.Of(EventKind::Subscribe);
    ASSERT_EQ(subscribed.size(), 1u);
    EXPECT_EQ(subscribed[0].sessionID, 2u);
    EXPECT_EQ(subscribed[0].data, Bytes(contract));
    EXPECT_EQ(events.Of(EventKind::Unsubscribe)[0].sessionID, 3u);

    // What went over the wire.
    const std::string commodityQuery(
        "\x91\xFC\x56\x7B\x18\x27\x00\x80\x10\x00\x00\x00\x0C\x00\x00\x00sessionID=0;", 28);
    ASSERT_EQ(server.Frames(10008).size(), 1u);
    EXPECT_EQ(server.Frames(10008)[0].raw, commodityQuery);
    EXPECT_EQ(server.Frames(10010)[0].params, "sessionID=1;");
    EXPECT_EQ(server.Frames(10010)[0].body, Bytes(filter));
    EXPECT_EQ(server.Frames(10004)[0].body, Bytes(contract));
    EXPECT_EQ(server.Frames(10006)[0].params, "sessionID=3;");

    ASSERT_TRUE(watch.WaitFor("Successfully recv unsubscribe response message"));
    for (const char* line : {
             "[INFO] Connecting to server...\n",
             "[INFO] Connected to server.\n",
             "[INFO] Sent login information to server.\n",
             "[INFO] Waiting for response...\n",
             "[INFO] Start thread for receiving and processing messages.\n",
             "[INFO] Succeed in Logining.\n",
             "[INFO] QryCommodity action is called sucessfully.\n",
             "[INFO] Find all commodities with count 2.\n",
             "[INFO] QryContract action is called sucessfully. Command detail: Ex-SHFE, Type-F, No-cu: \n",
             "[INFO] Recv query contract response, begin to find all matched contracts.\n",
             "[INFO] Send subscribe command to server sucessfully. Command detail: Ex-SHFE, Type-F, No-cu, "
             "ContractNo1-2501.\n",
             "[INFO] Send unsubscribe command to server sucessfully. Command detail: Ex-SHFE, Type-F, No-cu, "
             "ContractNo1-2501.\n",
         })
        EXPECT_TRUE(watch.Contains(line)) << line;
}

TEST_F(ApiAgainstServer, ArgumentChecksComeInTheirOrder)
{
    EXPECT_EQ(api->SetNotifyHandler(nullptr), KQ_ERR_BAD_ARGUMENT);
    EXPECT_EQ(api->SetServerAddress(nullptr, 80), KQ_ERR_BAD_ARGUMENT);
    EXPECT_EQ(api->SetServerAddress("127.0.0.2", 0), KQ_ERR_BAD_ARGUMENT);
    EXPECT_EQ(api->SetServerAddress(std::string(128, '1').c_str(), 80), KQ_ERR_BAD_ARGUMENT);
    EXPECT_EQ(api->ConnectAndLogin(nullptr), KQ_ERR_BAD_ARGUMENT);

    const QuoteCommodityKey filter = CommodityKey("SHFE", 'F', "cu");
    const QuoteContractKey contract = ContractKey("SHFE", 'F', "cu", "2501");
    uint32_t session = 0;
    struct Request {
        const char* name;
        std::function<int(uint32_t*, bool)> call; // bool: pass a null key
    };
    const Request requests[] = {
        { "QryCommodity", [&](uint32_t* id, bool) { return api->QryCommodity(id); } },
        { "QryContract",
            [&](uint32_t* id, bool nullKey) { return api->QryContract(id, nullKey ? nullptr : &filter); } },
        { "SubscribeQuote",
            [&](uint32_t* id, bool nullKey) {
                return api->SubscribeQuote(id, nullKey ? nullptr : &contract);
            } },
        { "UnSubscribeQuote",
            [&](uint32_t* id, bool nullKey) {
                return api->UnSubscribeQuote(id, nullKey ? nullptr : &contract);
            } },
    };

    // Not connected and not ready: -17 first, whatever else is wrong.
    for (const Request& r : requests) {
        SCOPED_TRACE(r.name);
        LogWatch watch(LogFolder());
        EXPECT_EQ(r.call(&session, false), KQ_ERR_NOT_READY);
        EXPECT_EQ(r.call(&session, true), KQ_ERR_NOT_READY);
        EXPECT_EQ(r.call(nullptr, true), KQ_ERR_NOT_READY);
        EXPECT_EQ(watch.Count(std::string("[ERROR] ") + r.name
                      + " action cannot be called, since API is not ready.\n"),
            3u);
    }

    // Connected (the port-0 call kept the good address), but the completions are held back.
    server.SetCompletionOrder({ 11001, 11002 });
    ASSERT_EQ(api->ConnectAndLogin(&login), KQ_SUCCESS);
    ASSERT_TRUE(events.WaitFor(EventKind::LoginReply, 1));
    EXPECT_EQ(events.Of(EventKind::LoginReply)[0].code, 0);
    for (const Request& r : requests)
        EXPECT_EQ(r.call(&session, true), KQ_ERR_NOT_READY) << r.name;
    server.SendFrame(11003, "", "");
    ASSERT_TRUE(events.WaitFor(EventKind::Ready, 1));

    // Ready: null keys and null session pointers are bad arguments and use up no session id.
    const char* emptyLines[]
        = { nullptr, "qryReq param is empty", "contract param is empty", "contract param is empty" };
    for (size_t i = 0; i < 4; ++i) {
        SCOPED_TRACE(requests[i].name);
        LogWatch watch(LogFolder());
        if (emptyLines[i]) {
            EXPECT_EQ(requests[i].call(&session, true), KQ_ERR_BAD_ARGUMENT);
            EXPECT_TRUE(watch.Contains(std::string("[ERROR] ") + requests[i].name
                + " action cannot be called, since " + emptyLines[i] + ".\n"));
        }
        EXPECT_EQ(requests[i].call(nullptr, false), KQ_ERR_BAD_ARGUMENT);
    }
    EXPECT_EQ(api->RequestCounter(), 0u);
    for (uint32_t expected = 0; expected < 4; ++expected) {
        ASSERT_EQ(requests[expected].call(&session, false), KQ_SUCCESS);
        EXPECT_EQ(session, expected);
    }

    // Ready but the socket already gone: -1. A callback sees that state
    // deterministically, before the receive thread resets the session.
    std::promise<std::vector<int>> results;
    events.SetOnEvent([&](const Event& e) {
        if (e.kind != EventKind::Quote)
            return;
        api->Disconnect();
        std::vector<int> codes;
        for (const Request& r : requests)
            codes.push_back(r.call(&session, false));
        results.set_value(codes);
    });
    LogWatch watch(LogFolder());
    server.PushQuote("12345678");
    auto future = results.get_future();
    ASSERT_EQ(future.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(future.get(), (std::vector<int> { -1, -1, -1, -1 }));
    ASSERT_TRUE(events.WaitFor(EventKind::ConnectionLost, 1));
    events.SetOnEvent(nullptr);
    for (const Request& r : requests) {
        EXPECT_TRUE(watch.Contains(std::string("[ERROR] ") + r.name
            + " action cannot be called, since connection is in disconnected.\n"))
            << r.name;
    }
}

TEST_F(ApiAgainstServer, ConnectFailuresReturnMinusOne)
{
    uint16_t closedPort = 0;
    {
        QuoteServer gone;
        closedPort = gone.Port();
    }
    struct Case {
        const char* address;
        uint16_t port;
    };
    const Case cases[]
        = { { "127.0.0.1", closedPort }, { "localhost", server.Port() }, { "", server.Port() } };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.address);
        ASSERT_EQ(api->SetServerAddress(c.address, c.port), KQ_SUCCESS);
        LogWatch watch(LogFolder());
        EXPECT_EQ(api->ConnectAndLogin(&login), KQ_ERR_NETWORK);
        EXPECT_TRUE(watch.Contains(std::string("[ERROR] Cannot connect to server ip:") + c.address
            + ", port:" + std::to_string(c.port) + ".\n"))
            << watch.Text();
        EXPECT_EQ(api->Socket(), -1);
    }
    EXPECT_EQ(server.Connections(), 0);
}

TEST_F(ApiAgainstServer, RejectedLoginReportsMinusTwoThenTheLoss)
{
    // The refusal and, in the same write behind it, a record, the completions
    // and a quote: dropped with the connection. Many times over, so that
    // every way the bytes are split between reads has its chance.
    server.SetAcceptCode(1);
    server.AddCommodity(Commodity("SHFE", 'F', "cu"));
    server.SetCompletionOrder({ 11001, 11002, 11003, 20000 });
    const ScopedLimits budgetRefilledAfterwards { ApiLimits() };
    LogWatch watch(LogFolder());
    for (int run = 1; run <= 1000; ++run) {
        events.Clear();
        ASSERT_EQ(api->ConnectAndLogin(&login), KQ_SUCCESS);
        ASSERT_TRUE(events.WaitFor(EventKind::ConnectionLost, 1));
        const auto all = events.Events();
        ASSERT_EQ(all.size(), 2u) << "run " << run;
        EXPECT_EQ(all[0].kind, EventKind::LoginReply);
        EXPECT_EQ(all[0].code, -2);
        EXPECT_FALSE(all[0].hasData);
        EXPECT_EQ(all[1].code, -1);
    }
    EXPECT_TRUE(server.WaitForClosedConnections(1000));
    EXPECT_EQ(api->Socket(), -1);
    EXPECT_EQ(api->Cache().CommodityCount(), 0u);
    EXPECT_TRUE(watch.Contains("[ERROR] Failed to login, invalid user information.\n"));
    EXPECT_TRUE(watch.Contains("[INFO] Disconnect action is called.\n"));
    EXPECT_TRUE(watch.Contains("[ERROR] Connection is disconnected.\n"));
    EXPECT_FALSE(watch.Contains("complete message"));
}

TEST_F(ApiAgainstServer, EveryLineOfTheCallersOwnCallsIsWrittenWhateverTheBudget)
{
    LoginAndWaitReady();
    ApiLimits limits;
    limits.logBurst = 3;
    limits.logLinesPerSecond = 0;
    ScopedLimits shortened(limits);
    LogWatch watch(LogFolder());
    const QuoteContractKey contract = ContractKey("SHFE", 'F', "cu", "2501");
    for (int i = 0; i < 20; ++i) {
        uint32_t session = 0;
        ASSERT_EQ(api->SubscribeQuote(&session, &contract), KQ_SUCCESS);
    }
    ASSERT_TRUE(events.WaitFor(EventKind::Subscribe, 20));
    EXPECT_EQ(watch.Count("[INFO] Send subscribe command to server sucessfully."), 20u);
    EXPECT_EQ(watch.Count("[INFO] Successfully recv subscribe"), 3u)
        << "what the server causes has its budget";
}

TEST_F(ApiAgainstServer, AnyErrorCodeButOneIsAnAcceptedLogin)
{
    server.SetAcceptCode(2);
    LoginAndWaitReady();
    EXPECT_EQ(events.Of(EventKind::LoginReply)[0].code, 0);
}

TEST_F(ApiAgainstServer, DisconnectThenReconnectKeepsTheCachedRecords)
{
    server.AddCommodity(Commodity("SHFE", 'F', "cu"));
    server.AddContract(Contract("SHFE", 'F', "cu", "2501"));
    LoginAndWaitReady();
    uint32_t session = 0;
    ASSERT_EQ(api->QryCommodity(&session), KQ_SUCCESS);
    ASSERT_EQ(api->QryCommodity(&session), KQ_SUCCESS);
    EXPECT_EQ(session, 1u);

    LogWatch watch(LogFolder());
    EXPECT_EQ(api->Disconnect(), KQ_SUCCESS);
    ASSERT_TRUE(events.WaitFor(EventKind::ConnectionLost, 1));
    EXPECT_EQ(events.Of(EventKind::ConnectionLost)[0].code, -1);
    EXPECT_EQ(api->ReadyState(), -1);
    EXPECT_EQ(api->RequestCounter(), 0u);
    EXPECT_FALSE(api->AllCompleteFlagsSet());
    EXPECT_EQ(api->QryCommodity(&session), KQ_ERR_NOT_READY);
    // Disconnect while disconnected: 0, and nothing logged.
    EXPECT_EQ(api->Disconnect(), KQ_SUCCESS);
    EXPECT_EQ(watch.Count("Disconnect action is called."), 1u);
    EXPECT_TRUE(server.WaitForClosedConnections(1));

    // The second login pushes nothing: the queries answer from the records of the first.
    server.ClearRecords();
    events.Clear();
    LoginAndWaitReady();
    ASSERT_EQ(api->QryCommodity(&session), KQ_SUCCESS);
    EXPECT_EQ(session, 0u) << "session ids start at 0 again";
    const QuoteCommodityKey any = CommodityKey("", 0, "");
    ASSERT_EQ(api->QryContract(&session, &any), KQ_SUCCESS);
    ASSERT_TRUE(events.WaitFor(EventKind::Contract, 1));
    ASSERT_TRUE(events.WaitFor(EventKind::Commodity, 1));
    EXPECT_EQ(events.Of(EventKind::Commodity)[0].data, Bytes(Commodity("SHFE", 'F', "cu")));
    EXPECT_EQ(events.Of(EventKind::Contract)[0].data, Bytes(Contract("SHFE", 'F', "cu", "2501")));
}

TEST_F(ApiAgainstServer, ReconnectRightAfterDisconnectKeepsTheNewConnection)
{
    const size_t before = OpenDescriptors();
    const int rounds = 15;
    for (int round = 1; round <= rounds; ++round) {
        SCOPED_TRACE(round);
        ASSERT_EQ(api->ConnectAndLogin(&login), KQ_SUCCESS);
        ASSERT_TRUE(events.WaitFor(EventKind::Ready, static_cast<size_t>(round)));
        uint32_t session = 7;
        ASSERT_EQ(api->QryCommodity(&session), KQ_SUCCESS);
        EXPECT_EQ(session, 0u);
        // No waiting between the two: the old receive thread may not have
        // noticed the end yet when the new connection starts.
        ASSERT_EQ(api->Disconnect(), KQ_SUCCESS);
    }
    ASSERT_TRUE(events.WaitFor(EventKind::ConnectionLost, rounds));
    ASSERT_EQ(api->ConnectAndLogin(&login), KQ_SUCCESS);
    ASSERT_TRUE(events.WaitFor(EventKind::Ready, rounds + 1));
    uint32_t session = 7;
    ASSERT_EQ(api->QryCommodity(&session), KQ_SUCCESS);
    EXPECT_EQ(session, 0u);
    ASSERT_TRUE(server.WaitForFrames(10008, rounds + 1));
    EXPECT_TRUE(server.WaitForClosedConnections(rounds));
    EXPECT_EQ(server.ClosedConnections(), rounds) << "the newest connection stays open";
    EXPECT_EQ(events.Count(EventKind::ConnectionLost), static_cast<size_t>(rounds));
    api->Disconnect();
    ASSERT_TRUE(events.WaitFor(EventKind::ConnectionLost, rounds + 1));
    EXPECT_TRUE(server.WaitForClosedConnections(rounds + 1));
    EXPECT_EQ(OpenDescriptors(), before) << "every socket closed";
}

TEST_F(ApiAgainstServer, ConnectAndLoginFromInsideOnConnectionLost)
{
    LoginAndWaitReady();
    std::promise<int> reconnect;
    std::atomic<bool> once { false };
    events.SetOnEvent([&](const Event& e) {
        if (e.kind == EventKind::ConnectionLost && !once.exchange(true))
            reconnect.set_value(api->ConnectAndLogin(&login));
    });
    server.Cut();
    auto result = reconnect.get_future();
    ASSERT_EQ(result.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(result.get(), KQ_SUCCESS);
    ASSERT_TRUE(events.WaitFor(EventKind::Ready, 2));
    EXPECT_EQ(server.Connections(), 2);
    events.SetOnEvent(nullptr);
}

TEST_F(ApiAgainstServer, ConnectWhileConnectedIsRefused)
{
    LoginAndWaitReady();
    LogWatch watch(LogFolder());
    EXPECT_EQ(api->ConnectAndLogin(&login), KQ_ERR_NETWORK);
    EXPECT_TRUE(watch.Contains("[ERROR] ConnectAndLogin action cannot be called, since connection is already "
                               "established.\n"));
    EXPECT_EQ(server.Connections(), 1);
    uint32_t session = 0;
    EXPECT_EQ(api->QryCommodity(&session), KQ_SUCCESS) << "the open connection is untouched";
}

TEST_F(ApiAgainstServer, WithoutHandlerTheThreadEndsAndTheConnectionStaysUnread)
{
    IKivQuoteAPIExtend bare(&info);
    ASSERT_EQ(bare.SetServerAddress("127.0.0.1", server.Port()), KQ_SUCCESS);
    LogWatch watch(LogFolder());
    ASSERT_EQ(bare.ConnectAndLogin(&login), KQ_SUCCESS);
    ASSERT_TRUE(server.WaitForFrames(10002, 1));
    ASSERT_TRUE(watch.WaitFor("[INFO] Start thread for receiving and processing messages.\n"));
    EXPECT_NE(bare.Socket(), -1);
    EXPECT_EQ(server.ClosedConnections(), 0);
    EXPECT_EQ(bare.Disconnect(), KQ_SUCCESS);
    EXPECT_TRUE(server.WaitForClosedConnections(1));
    EXPECT_FALSE(watch.Contains("Connection is disconnected"));
}

TEST_F(ApiAgainstServer, ServerCutEndsTheSessionAndAPartialFrameDoesNotLeakIntoTheNext)
{
    LoginAndWaitReady();
    // Unanswered, so that no reply can slip in behind the partial frame.
    server.SetAnswerRequests(false);
    uint32_t session = 0;
    ASSERT_EQ(api->QryCommodity(&session), KQ_SUCCESS);
    ASSERT_TRUE(server.WaitForFrames(10008, 1));
    EXPECT_EQ(api->RequestCounter(), 1u);
    const std::string quote = EncodeFrame(20000, "", "AAAAAAAA", false);
    server.SendRaw(quote.substr(0, 15));
    server.Cut();
    ASSERT_TRUE(events.WaitFor(EventKind::ConnectionLost, 1));
    EXPECT_EQ(api->ReadyState(), -1);
    EXPECT_EQ(api->RequestCounter(), 0u);

    LoginAndWaitReady(2);
    // The rest of the old frame arrives first on the new connection and must
    // be skipped as garbage, not completed with the old bytes.
    server.SendRaw(quote.substr(15));
    server.PushQuote("BBBBBBBB");
    ASSERT_TRUE(events.WaitFor(EventKind::Quote, 1));
    const auto quotes = events.Of(EventKind::Quote);
    ASSERT_EQ(quotes.size(), 1u);
    EXPECT_EQ(quotes[0].data, "BBBBBBBB");
}

TEST_F(ApiAgainstServer, MalformedFramesEndTheConnectionWithAnErrorLine)
{
    const std::string magic("\x91\xFC\x56\x7B", 4);
    struct Case {
        const char* name;
        std::string bytes;
    };
    const Case cases[] = {
        { "length over 16 MiB",
            magic + std::string("\x20\x4E\x00\x00", 4) + std::string("\x01\x00\x00\x01", 4) },
        { "length near 4 GiB",
            magic + std::string("\x20\x4E\x00\x80", 4) + std::string("\xF8\xFF\xFF\xFF", 4) },
        { "params length beyond the frame",
            magic + std::string("\x15\x27\x00\x80", 4) + std::string("\x08\x00\x00\x00", 4)
                + std::string("\x00\x01\x00\x00", 4) + "abcd" },
    };
    int round = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ++round;
        LoginAndWaitReady(static_cast<size_t>(round));
        LogWatch watch(LogFolder());
        server.PushQuote("before!!");
        server.SendRaw(c.bytes);
        ASSERT_TRUE(events.WaitFor(EventKind::ConnectionLost, static_cast<size_t>(round)));
        EXPECT_TRUE(server.WaitForClosedConnections(round)) << "the library closed the connection";
        EXPECT_TRUE(watch.Contains("[ERROR] Received a malformed frame")) << watch.Text();
        EXPECT_TRUE(watch.Contains("[ERROR] Connection is disconnected.\n"));
        EXPECT_EQ(events.Count(EventKind::Quote), static_cast<size_t>(round));
    }
}

TEST_F(ApiAgainstServer, ShortBodiesFromTheServerAreDroppedAndTheConnectionGoesOn)
{
    server.AddContract(Contract("SHFE", 'F', "cu", "2501"));
    LoginAndWaitReady();
    LogWatch watch(LogFolder());
    server.SendFrame(20003, "", std::string(100, 'x'));
    server.SendFrame(20002, "", std::string(10, 'x'));
    server.SendFrame(20001, "", "");
    server.SendFrame(10005, "sessionID=0;errorCode=0;", "short");
    server.SendFrame(10011, "sessionID=0;", "short");
    server.SendFrame(10009, "", "");
    server.SendFrame(10007, "errorCode=0;", Bytes(ContractKey("SHFE", 'F', "cu", "2501")));
    server.PushQuote("after!!!");
    ASSERT_TRUE(events.WaitFor(EventKind::Quote, 1));
    EXPECT_EQ(events.Of(EventKind::Quote)[0].data, "after!!!");
    EXPECT_EQ(events.Count(EventKind::Subscribe) + events.Count(EventKind::Unsubscribe)
            + events.Count(EventKind::Contract) + events.Count(EventKind::Commodity),
        0u);
    EXPECT_EQ(watch.Count("[ERROR] Dropped"), 7u) << watch.Text();
    EXPECT_EQ(api->Cache().ContractCount(), 1u);
    uint32_t session = 0;
    EXPECT_EQ(api->QryCommodity(&session), KQ_SUCCESS) << "still connected and ready";
}

// The ERROR lines that "Left out" lines of the text count.
uint64_t LeftOutErrors(const std::string& text)
{
    uint64_t sum = 0;
    const std::string mark = "over the log budget (ERROR ";
    for (size_t at = text.find(mark); at != std::string::npos; at = text.find(mark, at + 1))
        sum += std::stoull(text.substr(at + mark.size()));
    return sum;
}

TEST_F(ApiAgainstServer, AFloodOfNewRecordsAndBadFramesLeavesTheCacheAndTheLogBounded)
{
    ApiLimits limits;
    limits.maxKeyedRecords = 5;
    limits.maxCommodities = 6;
    limits.maxContracts = 7;
    limits.logBurst = 20;
    limits.logLinesPerSecond = 0;
    limits.logSummaryDelay = std::chrono::milliseconds(20);
    ScopedLimits capped(limits);
    // Made after the limits: an object reads the caps when it is made.
    RecordingEvents flood;
    flood.quoteSize = 8;
    auto flooded = std::make_unique<IKivQuoteAPIExtend>(&info);
    flooded->SetNotifyHandler(&flood);
    flooded->SetServerAddress("127.0.0.1", server.Port());
    ASSERT_EQ(flooded->ConnectAndLogin(&login), KQ_SUCCESS);
    ASSERT_TRUE(flood.WaitFor(EventKind::Ready, 1));
    LogWatch watch(LogFolder());

    const int frames = 3000;
    std::string bytes;
    for (int i = 0; i < frames; ++i) {
        const std::string n = std::to_string(i);
        bytes += EncodeFrame(20001, "", Bytes(Keyed("key" + n)), false);
        bytes += EncodeFrame(20002, "", Bytes(Commodity("X", 'F', "c" + n)), false);
        bytes += EncodeFrame(20003, "", Bytes(Contract("X", 'F', "c", n)), false);
        bytes += EncodeFrame(20003, "", "short", false); // an ERROR line each
    }
    server.SendRaw(bytes);
    server.PushQuote("the last");
    ASSERT_TRUE(flood.WaitFor(EventKind::Quote, 1));

    // Memory: what the caps allow, however many new keys came.
    EXPECT_EQ(flooded->Cache().KeyedRecordCount(), 5u);
    EXPECT_EQ(flooded->Cache().CommodityCount(), 6u);
    EXPECT_EQ(flooded->Cache().ContractCount(), 7u);
    for (const char* kind : { "5 keyed", "6 commodity", "7 contract" })
        EXPECT_EQ(watch.Count(std::string("[WARN] The record cache holds its cap of ") + kind), 1u) << kind;
    // The log: the burst of ERROR lines, then the count of the others soon after the flood.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (LeftOutErrors(watch.Text()) < frames - 20u && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_EQ(LeftOutErrors(watch.Text()), frames - 20u) << watch.Text();
    EXPECT_EQ(watch.Count("[ERROR] Dropped contract push message"), 20u);

    // An ERROR flood does not hide the lines of another level.
    server.SendFrame(10009, "sessionID=0;", "");
    ASSERT_TRUE(flood.WaitFor(EventKind::Commodity, 6));
    EXPECT_TRUE(watch.WaitFor("[INFO] Find all commodities with count 6.\n"));

    // The connection's end counts what the caps refused, and writes what was
    // left out at once ("Connection is disconnected." among it).
    server.Cut();
    ASSERT_TRUE(flood.WaitFor(EventKind::ConnectionLost, 1));
    EXPECT_TRUE(watch.Contains(
        "[WARN] Dropped 2995 new keyed records over the record cache's cap during this connection.\n"));
    EXPECT_TRUE(watch.Contains("[WARN] Dropped 2994 new commodity records"));
    EXPECT_TRUE(watch.Contains("[WARN] Dropped 2993 new contract records"));
    EXPECT_EQ(LeftOutErrors(watch.Text()), frames - 20u + 1) << watch.Text();
    EXPECT_FALSE(watch.Contains("Connection is disconnected"));
    EXPECT_LT(watch.Text().size(), 50u * 200) << "a few dozen lines for 12,000 frames";
    flooded.reset();
}

TEST_F(ApiAgainstServer, DestructionWaitsForTheCallbackThatIsRunning)
{
    LoginAndWaitReady();
    std::promise<void> entered;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<bool> callbackDone { false };
    events.SetOnEvent([&](const Event& e) {
        if (e.kind != EventKind::Quote)
            return;
        entered.set_value();
        released.wait();
        callbackDone = true;
    });
    server.PushQuote("12345678");
    server.PushQuote("87654321"); // queued behind: must not be delivered after destruction began
    ASSERT_EQ(entered.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);

    std::atomic<bool> destroyed { false };
    std::thread destroyer([&] {
        api.reset();
        destroyed = true;
    });
    // The destructor cannot finish while the callback holds the object.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(destroyed);
    release.set_value();
    destroyer.join();
    EXPECT_TRUE(callbackDone);
    EXPECT_EQ(events.Count(EventKind::Quote), 1u);
    EXPECT_EQ(events.Count(EventKind::ConnectionLost), 0u) << "no loss reported while being destroyed";
    EXPECT_TRUE(server.WaitForClosedConnections(1));
    events.SetOnEvent(nullptr);
}

TEST_F(ApiAgainstServer, DestructionRacingAFloodOfCallbacks)
{
    for (int round = 0; round < 10; ++round) {
        SCOPED_TRACE(round);
        RecordingEvents flood;
        flood.quoteSize = 8;
        std::atomic<bool> destroyed { false };
        std::atomic<int> late { 0 };
        flood.SetOnEvent([&](const Event&) {
            if (destroyed)
                ++late;
        });
        auto victim = std::make_unique<IKivQuoteAPIExtend>(&info);
        victim->SetNotifyHandler(&flood);
        victim->SetServerAddress("127.0.0.1", server.Port());
        ASSERT_EQ(victim->ConnectAndLogin(&login), KQ_SUCCESS);
        ASSERT_TRUE(flood.WaitFor(EventKind::Ready, 1));
        std::string burst;
        for (int i = 0; i < 200; ++i)
            burst += EncodeFrame(20000, "", "QQQQQQQQ", false);
        server.SendRaw(burst);
        if (round % 2) {
            ASSERT_TRUE(flood.WaitFor(EventKind::Quote, 1));
        }
        victim.reset();
        destroyed = true;
        EXPECT_TRUE(server.WaitForClosedConnections(round + 1));
        EXPECT_LE(flood.Count(EventKind::Quote), 200u);
        EXPECT_EQ(flood.Count(EventKind::ConnectionLost), 0u);
        EXPECT_EQ(late, 0);
    }
}
