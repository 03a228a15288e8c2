// FreeKivQuoteAPI against a live connection: from another thread while a
// callback runs, from inside the object's own callbacks, and with pointers
// the library did not make.

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "IKivQuoteAPI.h"
#include "QuoteServer.h"
#include "RecordingEvents.h"
#include "TestLog.h"
#include "TestRecords.h"

using namespace kqtest;

namespace
{

const std::string& LogFolder()
{
    static TempDir dir;
    static const int set = SetKivQuoteAPIDataPath(dir.Path().c_str());
    EXPECT_EQ(set, KQ_SUCCESS);
    return dir.Path();
}

class Lifetime : public ::testing::Test
{
protected:
    void SetUp() override
    {
        LogFolder();
        server.AddUser("u1", "p1");
        events.quoteSize = 8;
    }

    IKivQuoteAPI* MakeReady()
    {
        int result = -99;
        IKivQuoteAPI* api = CreateKivQuoteAPI(&info, &result);
        EXPECT_EQ(result, KQ_SUCCESS);
        EXPECT_EQ(api->SetNotifyHandler(&events), KQ_SUCCESS);
        EXPECT_EQ(api->SetServerAddress("127.0.0.1", server.Port()), KQ_SUCCESS);
        EXPECT_EQ(api->ConnectAndLogin(&login), KQ_SUCCESS);
        EXPECT_TRUE(events.WaitFor(EventKind::Ready, 1));
        return api;
    }

    QuoteServer server;
    RecordingEvents events;
    QuoteAppInfo info = AppInfo();
    QuoteLoginRecord login = Login("u1", "p1");
};

// An IKivQuoteAPI the library did not make.
class Foreign : public IKivQuoteAPI
{
public:
    int calls = 0;
    int SetNotifyHandler(IKivQuoteEvents*) override { return ++calls; }
    int SetServerAddress(const char*, uint16_t) override { return ++calls; }
    int ConnectAndLogin(const QuoteLoginRecord*) override { return ++calls; }
    int Disconnect() override { return ++calls; }
    int QryCommodity(uint32_t*) override { return ++calls; }
    int QryContract(uint32_t*, const QuoteCommodityKey*) override { return ++calls; }
    int SubscribeQuote(uint32_t*, const QuoteContractKey*) override { return ++calls; }
    int UnSubscribeQuote(uint32_t*, const QuoteContractKey*) override { return ++calls; }
};

} // namespace

TEST_F(Lifetime, FreeLeavesAloneWhatTheLibraryDidNotMake)
{
    FreeKivQuoteAPI(nullptr);
    Foreign foreign;
    FreeKivQuoteAPI(&foreign);
    EXPECT_EQ(foreign.Disconnect(), 1) << "still alive and untouched";

    IKivQuoteAPI* api = MakeReady();
    FreeKivQuoteAPI(api);
    EXPECT_TRUE(server.WaitForClosedConnections(1));
    // A second free of the same pointer finds it gone and touches nothing.
    FreeKivQuoteAPI(api);
}

TEST_F(Lifetime, FreeFromAnotherThreadWaitsForTheRunningCallback)
{
    IKivQuoteAPI* api = MakeReady();
    std::promise<void> entered;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<bool> inCallback { false };
    events.SetOnEvent([&](const Event& e) {
        if (e.kind != EventKind::Quote)
            return;
        inCallback = true;
        entered.set_value();
        released.wait();
        // Still inside: the object must be alive for the library's own use after this returns.
        inCallback = false;
    });
    server.PushQuote("11111111");
    server.PushQuote("22222222");
    ASSERT_EQ(entered.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);

    std::atomic<bool> freed { false };
    std::thread freer([&] {
        FreeKivQuoteAPI(api);
        freed = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(freed) << "FreeKivQuoteAPI returned while a callback still ran";
    release.set_value();
    freer.join();
    EXPECT_FALSE(inCallback);
    EXPECT_EQ(events.Count(EventKind::Quote), 1u) << "nothing delivered once the free began";
    EXPECT_EQ(events.Count(EventKind::ConnectionLost), 0u);
    EXPECT_TRUE(server.WaitForClosedConnections(1));
    events.SetOnEvent(nullptr);
}

TEST_F(Lifetime, FreeFromInsideItsOwnCallbacks)
{
    // Amid a reply of five records, many times over, so that every
    // interleaving of the receive thread and the release has its chance.
    struct Case {
        const char* name;
        EventKind trigger;
        int runs;
    };
    const Case cases[] = { { "quote", EventKind::Quote, 1 }, { "ready", EventKind::Ready, 1 },
        { "connection lost", EventKind::ConnectionLost, 1 }, { "commodity", EventKind::Commodity, 500 },
        { "contract", EventKind::Contract, 500 } };
    for (const char* number : { "1", "2", "3", "4", "5" }) {
        server.AddCommodity(Commodity("SHFE", 'F', number));
        server.AddContract(Contract("SHFE", 'F', "cu", number));
    }
    const QuoteCommodityKey any = CommodityKey("", 0, "");
    std::vector<Case> rounds;
    for (const Case& c : cases)
        rounds.insert(rounds.end(), static_cast<size_t>(c.runs), c);
    int round = 0;
    for (const Case& c : rounds) {
        SCOPED_TRACE(c.name);
        ++round;
        events.Clear();
        std::atomic<IKivQuoteAPI*> target { nullptr };
        std::promise<void> freed;
        std::atomic<bool> once { false };
        std::atomic<int> after { 0 };
        events.SetOnEvent([&](const Event& e) {
            if (once) {
                ++after;
                return;
            }
            if (e.kind == c.trigger && target.load()) {
                once = true;
                FreeKivQuoteAPI(target.load());
                freed.set_value();
            }
        });
        int result = -99;
        IKivQuoteAPI* api = CreateKivQuoteAPI(&info, &result);
        target = api;
        api->SetNotifyHandler(&events);
        api->SetServerAddress("127.0.0.1", server.Port());
        ASSERT_EQ(api->ConnectAndLogin(&login), KQ_SUCCESS);
        if (c.trigger == EventKind::Quote) {
            ASSERT_TRUE(events.WaitFor(EventKind::Ready, 1));
            server.PushQuote("33333333");
            server.PushQuote("44444444");
        } else if (c.trigger == EventKind::ConnectionLost) {
            ASSERT_TRUE(events.WaitFor(EventKind::Ready, 1));
            server.Cut();
        } else if (c.trigger != EventKind::Ready) {
            ASSERT_TRUE(events.WaitFor(EventKind::Ready, 1));
            uint32_t id = 0;
            ASSERT_EQ(
                c.trigger == EventKind::Commodity ? api->QryCommodity(&id) : api->QryContract(&id, &any), 0);
        }
        ASSERT_EQ(freed.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
        EXPECT_TRUE(server.WaitForClosedConnections(round));
        // The release happens on another thread once the receive thread is
        // done; a fresh object works meanwhile.
        IKivQuoteAPI* next = CreateKivQuoteAPI(&info, &result);
        ASSERT_NE(next, nullptr);
        FreeKivQuoteAPI(next);
        EXPECT_EQ(after, 0) << "no callback after the free";
        events.SetOnEvent(nullptr);
    }
}
