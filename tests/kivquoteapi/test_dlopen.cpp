// libKivQuoteAPI as another program uses it: loaded at run time and driven
// through the public header alone.

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <set>
#include <string>

#include <dlfcn.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include "IKivQuoteAPI.h"
#include "QuoteServer.h"
#include "RecordingEvents.h"
#include "TestLog.h"
#include "TestRecords.h"

using namespace kqtest;

namespace
{

struct Library {
    void* handle = nullptr;
    decltype(&CreateKivQuoteAPI) create = nullptr;
    decltype(&FreeKivQuoteAPI) release = nullptr;
    decltype(&GetKivQuoteAPIVersion) version = nullptr;
    decltype(&SetKivQuoteAPIDataPath) setDataPath = nullptr;
    decltype(&SetKivQuoteAPILogLevel) setLogLevel = nullptr;

    Library()
    {
        handle = dlopen(KIVQUOTEAPI_LIBRARY, RTLD_NOW | RTLD_LOCAL);
        if (!handle)
            return;
        create = reinterpret_cast<decltype(create)>(dlsym(handle, "CreateKivQuoteAPI"));
        release = reinterpret_cast<decltype(release)>(dlsym(handle, "FreeKivQuoteAPI"));
        version = reinterpret_cast<decltype(version)>(dlsym(handle, "GetKivQuoteAPIVersion"));
        setDataPath = reinterpret_cast<decltype(setDataPath)>(dlsym(handle, "SetKivQuoteAPIDataPath"));
        setLogLevel = reinterpret_cast<decltype(setLogLevel)>(dlsym(handle, "SetKivQuoteAPILogLevel"));
    }
    bool Complete() const { return handle && create && release && version && setDataPath && setLogLevel; }
};

Library& Lib()
{
    static Library library;
    return library;
}

const std::string& LogFolder()
{
    static TempDir dir;
    static const int set = Lib().setDataPath(dir.Path().c_str());
    EXPECT_EQ(set, KQ_SUCCESS);
    return dir.Path();
}

class Loaded : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(Lib().Complete()) << dlerror();
        LogFolder();
        server.AddUser("trader", "secret");
        server.SetLoginBody("WELCOME!");
        server.SetCompletionOrder({ 11003, 11001, 11002 });
        server.AddCommodity(Commodity("SHFE", 'F', "cu"));
        server.AddContract(Contract("SHFE", 'F', "cu", "2501"));
        server.AddContract(Contract("SHFE", 'F', "cu", "2502"));
        server.AddContract(Contract("CME", 'F', "GC", "2512"));
        events.loginInfoSize = 8;
        events.quoteSize = 8;
        int result = -99;
        api = Lib().create(&info, &result);
        ASSERT_NE(api, nullptr);
        EXPECT_EQ(result, KQ_SUCCESS);
    }
    void TearDown() override { Lib().release(api); }

    QuoteServer server;
    RecordingEvents events;
    QuoteAppInfo info = AppInfo();
    QuoteLoginRecord login = Login("trader", "secret");
    IKivQuoteAPI* api = nullptr;
};

} // namespace

TEST(Exports, ExactlyTheFiveCFunctionsAreVisible)
{
    const std::string command = std::string("nm -D --defined-only ") + KIVQUOTEAPI_LIBRARY;
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::set<std::string> names;
    char line[512];
    while (std::fgets(line, sizeof(line), pipe)) {
        char address[64], type[8], name[400];
        if (std::sscanf(line, "%63s %7s %399s", address, type, name) == 3)
            names.insert(name);
    }
    ASSERT_EQ(pclose(pipe), 0);
    // All five in the library's one version node, which shows as a symbol of its own.
    EXPECT_EQ(names,
        (std::set<std::string> { "CreateKivQuoteAPI@@KIVQUOTEAPI_1", "FreeKivQuoteAPI@@KIVQUOTEAPI_1",
            "GetKivQuoteAPIVersion@@KIVQUOTEAPI_1", "SetKivQuoteAPIDataPath@@KIVQUOTEAPI_1",
            "SetKivQuoteAPILogLevel@@KIVQUOTEAPI_1", "KIVQUOTEAPI_1" }));
    ASSERT_TRUE(Lib().Complete()) << dlerror();
    EXPECT_STREQ(Lib().version(), "V9.3.1.0");
    EXPECT_EQ(dlsym(Lib().handle, "_ZN18IKivQuoteAPIExtend15ConnectAndLoginEPK16QuoteLoginRecord"), nullptr);
}

TEST_F(Loaded, LogsInBecomesReadyQueriesAndSubscribes)
{
    LogWatch watch(LogFolder());
    uint32_t session = 99;
    const QuoteCommodityKey filter = CommodityKey("SHFE", 'F', "cu");
    const QuoteContractKey contract = ContractKey("SHFE", 'F', "cu", "2501");

    EXPECT_EQ(api->SetNotifyHandler(nullptr), KQ_ERR_BAD_ARGUMENT);
    EXPECT_EQ(api->SetNotifyHandler(&events), KQ_SUCCESS);
    EXPECT_EQ(api->SetServerAddress(nullptr, server.Port()), KQ_ERR_BAD_ARGUMENT);
    EXPECT_EQ(api->SetServerAddress("127.0.0.1", server.Port()), KQ_SUCCESS);
    EXPECT_EQ(api->SetServerAddress("127.0.0.9", 0), KQ_ERR_BAD_ARGUMENT) << "and the good address is kept";
    EXPECT_EQ(api->ConnectAndLogin(nullptr), KQ_ERR_BAD_ARGUMENT);
    EXPECT_EQ(api->QryCommodity(&session), KQ_ERR_NOT_READY);
    EXPECT_EQ(api->QryContract(&session, nullptr), KQ_ERR_NOT_READY) << "not ready comes before the null key";

    ASSERT_EQ(api->ConnectAndLogin(&login), KQ_SUCCESS);
    ASSERT_TRUE(events.WaitFor(EventKind::Ready, 1));
    const auto logins = events.Of(EventKind::LoginReply);
    ASSERT_EQ(logins.size(), 1u);
    EXPECT_EQ(logins[0].code, 0);
    EXPECT_EQ(logins[0].data, "WELCOME!");

    EXPECT_EQ(api->QryContract(&session, nullptr), KQ_ERR_BAD_ARGUMENT);
    EXPECT_EQ(api->SubscribeQuote(&session, nullptr), KQ_ERR_BAD_ARGUMENT);
    EXPECT_EQ(api->UnSubscribeQuote(&session, nullptr), KQ_ERR_BAD_ARGUMENT);
    ASSERT_EQ(api->QryCommodity(&session), KQ_SUCCESS);
    EXPECT_EQ(session, 0u);
    ASSERT_EQ(api->QryContract(&session, &filter), KQ_SUCCESS);
    EXPECT_EQ(session, 1u);
    ASSERT_EQ(api->SubscribeQuote(&session, &contract), KQ_SUCCESS);
    EXPECT_EQ(session, 2u);
    ASSERT_EQ(api->UnSubscribeQuote(&session, &contract), KQ_SUCCESS);
    EXPECT_EQ(session, 3u);
    ASSERT_TRUE(events.WaitFor(EventKind::Unsubscribe, 1));

    const auto commodities = events.Of(EventKind::Commodity);
    ASSERT_EQ(commodities.size(), 1u);
    EXPECT_EQ(commodities[0].isLast, 'Y');
    EXPECT_EQ(commodities[0].data, Bytes(Commodity("SHFE", 'F', "cu")));
    const auto contracts = events.Of(EventKind::Contract);
    ASSERT_EQ(contracts.size(), 2u);
    EXPECT_EQ(contracts[0].isLast, 'N');
    EXPECT_EQ(contracts[1].isLast, 'Y');
    EXPECT_EQ(contracts[1].sessionID, 1u);
    EXPECT_EQ(events.Of(EventKind::Subscribe)[0].data, Bytes(contract));
    EXPECT_EQ(events.Of(EventKind::Subscribe)[0].sessionID, 2u);
    EXPECT_EQ(events.Of(EventKind::Unsubscribe)[0].sessionID, 3u);

    server.PushQuote("QUOTE-01");
    ASSERT_TRUE(events.WaitFor(EventKind::Quote, 1));
    EXPECT_EQ(events.Of(EventKind::Quote)[0].data, "QUOTE-01");

    ASSERT_EQ(server.Frames(10008).size(), 1u);
    EXPECT_EQ(server.Frames(10008)[0].raw,
        std::string("\x91\xFC\x56\x7B\x18\x27\x00\x80\x10\x00\x00\x00\x0C\x00\x00\x00sessionID=0;", 28));
    EXPECT_TRUE(watch.Contains("[INFO] Connecting to server...\n"));
    EXPECT_TRUE(watch.Contains("IKivQuoteAPIExtend.cpp:"));
}

TEST_F(Loaded, RejectedLoginThenDisconnectAndReconnectKeepTheRecords)
{
    api->SetNotifyHandler(&events);
    api->SetServerAddress("127.0.0.1", server.Port());

    const QuoteLoginRecord wrong = Login("trader", "guess");
    ASSERT_EQ(api->ConnectAndLogin(&wrong), KQ_SUCCESS);
    ASSERT_TRUE(events.WaitFor(EventKind::ConnectionLost, 1));
    auto all = events.Events();
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0].kind, EventKind::LoginReply);
    EXPECT_EQ(all[0].code, KQ_ERR_LOGIN_REJECTED);
    EXPECT_FALSE(all[0].hasData);
    EXPECT_EQ(all[1].kind, EventKind::ConnectionLost);
    EXPECT_EQ(all[1].code, -1);

    // Records arrive with the first good login, then the connection goes away.
    ASSERT_EQ(api->ConnectAndLogin(&login), KQ_SUCCESS);
    ASSERT_TRUE(events.WaitFor(EventKind::Ready, 1));
    uint32_t session = 0;
    ASSERT_EQ(api->QryCommodity(&session), KQ_SUCCESS);
    EXPECT_EQ(session, 0u);
    EXPECT_EQ(api->Disconnect(), KQ_SUCCESS);
    ASSERT_TRUE(events.WaitFor(EventKind::ConnectionLost, 2));
    EXPECT_EQ(api->QryCommodity(&session), KQ_ERR_NOT_READY);
    EXPECT_EQ(api->Disconnect(), KQ_SUCCESS);

    server.ClearRecords();
    events.Clear();
    ASSERT_EQ(api->ConnectAndLogin(&login), KQ_SUCCESS);
    ASSERT_TRUE(events.WaitFor(EventKind::Ready, 1));
    const QuoteCommodityKey filter = CommodityKey("SHFE", 'F', "cu");
    ASSERT_EQ(api->QryContract(&session, &filter), KQ_SUCCESS);
    EXPECT_EQ(session, 0u) << "ids start at 0 on the new connection";
    ASSERT_TRUE(events.WaitFor(EventKind::Contract, 2));
    const auto contracts = events.Of(EventKind::Contract);
    EXPECT_EQ(contracts[0].data, Bytes(Contract("SHFE", 'F', "cu", "2501")));
    EXPECT_EQ(contracts[1].data, Bytes(Contract("SHFE", 'F', "cu", "2502")));

    // Ready, but the socket just closed from inside a callback: -1.
    std::promise<int> disconnected;
    std::atomic<bool> once { false };
    events.SetOnEvent([&](const Event& e) {
        if (e.kind == EventKind::Quote && !once.exchange(true)) {
            api->Disconnect();
            uint32_t id = 0;
            disconnected.set_value(api->QryCommodity(&id));
        }
    });
    server.PushQuote("QUOTE-02");
    auto result = disconnected.get_future();
    ASSERT_EQ(result.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(result.get(), KQ_ERR_NETWORK);
    ASSERT_TRUE(events.WaitFor(EventKind::ConnectionLost, 1));
    events.SetOnEvent(nullptr);
}

TEST_F(Loaded, LevelLettersDecideWhatReachesTheFile)
{
    api->SetNotifyHandler(&events);
    api->SetServerAddress("127.0.0.1", server.Port());
    struct Case {
        char letter;
        bool info;
    };
    const Case cases[]
        = { { 'E', false }, { 'N', false }, { 'W', false }, { 'D', true }, { 'd', true }, { 'I', true } };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.letter);
        EXPECT_EQ(Lib().setLogLevel(c.letter), c.letter);
        LogWatch watch(LogFolder());
        uint32_t session = 0;
        EXPECT_EQ(api->QryCommodity(&session), KQ_ERR_NOT_READY);
        EXPECT_EQ(api->Disconnect(), KQ_SUCCESS);
        ASSERT_EQ(api->ConnectAndLogin(&login), KQ_SUCCESS);
        EXPECT_TRUE(
            watch.Contains("[ERROR] QryCommodity action cannot be called, since API is not ready.\n"));
        EXPECT_EQ(watch.Contains("[INFO] Connecting to server...\n"), c.info);
        EXPECT_EQ(api->Disconnect(), KQ_SUCCESS);
        ASSERT_TRUE(events.WaitFor(EventKind::ConnectionLost, 1));
        events.Clear();
    }
    Lib().setLogLevel('I');
}

namespace
{

// Runs the host program of unload_client.cpp; its exit status, or -1 when it did not exit (a crash).
int RunHost(const std::string& mode, const std::string& more = "")
{
    static TempDir folder;
    const std::string command = std::string(KIVQUOTEAPI_UNLOAD_CLIENT) + " " + mode + " "
        + KIVQUOTEAPI_LIBRARY + " " + folder.Path() + " " + more;
    const int status = std::system(command.c_str());
    return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace

TEST(Unload, FreeThenUnloadAtOnceLeavesNoThreadInTheLibrary)
{
    EXPECT_EQ(RunHost("unload", "40"), 0);
}

TEST(Unload, FreeFromAGlobalDestructorAfterMain)
{
    EXPECT_EQ(RunHost("free-at-exit"), 0);
}
