// The handlers, the record cache and its key orders, driven without a
// connection: messages go straight to IKivQuoteAPIExtend::Dispatch.

#include <algorithm>
#include <string>
#include <vector>

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

WireMessage Msg(uint32_t command, const std::string& params, const std::string& body, bool withParams = true)
{
    return WireMessage::FromFrame(EncodeFrame(command, params, body, withParams).data());
}

class Dispatching : public ::testing::Test
{
protected:
    void SetUp() override
    {
        LogFolder();
        api.SetNotifyHandler(&events);
    }
    void Push(const QuoteCommodityRecord& record) { api.Dispatch(Msg(20002, "", Bytes(record), false)); }
    void Push(const QuoteContractRecord& record) { api.Dispatch(Msg(20003, "", Bytes(record))); }
    std::vector<std::string> ContractNumbers(const std::vector<Event>& items)
    {
        std::vector<std::string> numbers;
        for (const Event& e : items) {
            QuoteContractRecord record;
            std::memcpy(&record, e.data.data(), sizeof(record));
            numbers.push_back(record.ContractKey.CommodityKey.CommodityNo + std::string("/")
                + record.ContractKey.ContractNo1);
        }
        return numbers;
    }
    std::string IsLastMarks(const std::vector<Event>& items)
    {
        std::string marks;
        for (const Event& e : items)
            marks += e.isLast;
        return marks;
    }

    QuoteAppInfo info = AppInfo();
    IKivQuoteAPIExtend api { &info };
    RecordingEvents events;
};

} // namespace

TEST_F(Dispatching, ReadyAfterAllThreeCompletionsInAnyOrder)
{
    const std::vector<std::vector<uint32_t>> orders = {
        { 11003, 11001, 11002 },
        { 11001, 11002, 11003 },
        { 11002, 11003, 11001 },
        { 11003, 11002, 11001 },
    };
    for (const auto& order : orders) {
        QuoteAppInfo appInfo = AppInfo();
        IKivQuoteAPIExtend fresh(&appInfo);
        RecordingEvents recorder;
        fresh.SetNotifyHandler(&recorder);
        for (size_t i = 0; i < order.size(); ++i) {
            EXPECT_EQ(fresh.ReadyState(), -1);
            EXPECT_EQ(recorder.Count(EventKind::Ready), 0u);
            fresh.Dispatch(Msg(order[i], "", ""));
        }
        EXPECT_EQ(fresh.ReadyState(), 0);
        EXPECT_TRUE(fresh.AllCompleteFlagsSet());
        EXPECT_EQ(recorder.Count(EventKind::Ready), 1u);
        // A repeated completion announces readiness again.
        fresh.Dispatch(Msg(11002, "", ""));
        EXPECT_EQ(recorder.Count(EventKind::Ready), 2u);
    }
    LogWatch watch(LogFolder());
    api.Dispatch(Msg(11001, "", ""));
    api.Dispatch(Msg(11002, "", ""));
    api.Dispatch(Msg(11003, "", ""));
    EXPECT_TRUE(watch.Contains("[INFO] Received fwd login complete message.\n"));
    EXPECT_TRUE(watch.Contains("[INFO] Received fwd commodity complete message.\n"));
    EXPECT_TRUE(watch.Contains("[INFO] Received fwd contract complete message.\n"));
}

TEST_F(Dispatching, LoginReplyIsAcceptedUnlessErrorCodeIsOne)
{
    events.loginInfoSize = 4;
    struct Case {
        std::string params;
        int reported;
        bool hasInfo;
        const char* line;
    };
    const Case cases[] = {
        { "errorCode=0;", 0, true, "[INFO] Succeed in Logining.\n" },
        { "errorCode=2;", 0, true, "[INFO] Succeed in Logining.\n" },
        { "errorCode=-7;", 0, true, "[INFO] Succeed in Logining.\n" },
        { "errorCode=1;", -2, false, "[ERROR] Failed to login, invalid user information.\n" },
        // No errorCode, or one that is not a number, is a failed login, not garbage read as success.
        { "", -2, false, "[ERROR] Failed to login, the login response carries no valid errorCode.\n" },
        { "errorCode=;", -2, false,
            "[ERROR] Failed to login, the login response carries no valid errorCode.\n" },
        { "errorCode=abc;", -2, false,
            "[ERROR] Failed to login, the login response carries no valid errorCode.\n" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.params);
        events.Clear();
        LogWatch watch(LogFolder());
        api.Dispatch(Msg(10003, c.params, "info"));
        const auto replies = events.Of(EventKind::LoginReply);
        ASSERT_EQ(replies.size(), 1u);
        EXPECT_EQ(replies[0].code, c.reported);
        EXPECT_EQ(replies[0].hasData, c.hasInfo);
        if (c.hasInfo) {
            EXPECT_EQ(replies[0].data, "info");
        }
        EXPECT_TRUE(watch.Contains(c.line)) << watch.Text();
    }
}

TEST_F(Dispatching, CommodityReplyDeliversTheCacheInKeyOrder)
{
    LogWatch empty(LogFolder());
    api.Dispatch(Msg(10009, "sessionID=4;", ""));
    EXPECT_TRUE(events.Events().empty()) << "an empty cache gives no callback";
    EXPECT_TRUE(empty.Contains("[INFO] Recv query commodity response, begin to find all commodities.\n"));
    EXPECT_TRUE(empty.Contains("[INFO] Find all commodities with count 0.\n"));

    Push(Commodity("SHFE", 'F', "cu"));
    LogWatch one(LogFolder());
    api.Dispatch(Msg(10009, "sessionID=5;", ""));
    auto items = events.Of(EventKind::Commodity);
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].sessionID, 5u);
    EXPECT_EQ(items[0].code, 0);
    EXPECT_EQ(items[0].isLast, 'Y');
    EXPECT_EQ(items[0].data, Bytes(Commodity("SHFE", 'F', "cu")));
    EXPECT_TRUE(one.Contains("[INFO] Find all commodities with count 1.\n"));

    Push(Commodity("CME", 'F', "GC"));
    Push(Commodity("SHFE", 'F', "al"));
    Push(Commodity("SHFE", 'F', "cu", 'z')); // same key: replaces the stored record
    events.Clear();
    api.Dispatch(Msg(10009, "sessionID=6;", ""));
    items = events.Of(EventKind::Commodity);
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(IsLastMarks(items), "NNY");
    EXPECT_EQ(items[0].data, Bytes(Commodity("CME", 'F', "GC")));
    EXPECT_EQ(items[1].data, Bytes(Commodity("SHFE", 'F', "al")));
    EXPECT_EQ(items[2].data, Bytes(Commodity("SHFE", 'F', "cu", 'z')));

    // Once the object is being freed, the rest of a reply is not delivered.
    for (const char* number : { "2501", "2502", "2503" })
        Push(Contract("SHFE", 'F', "cu", number));
    events.SetOnEvent([this](const Event&) { api.MarkDestroying(); });
    api.Dispatch(Msg(10011, "sessionID=7;", Bytes(CommodityKey("", 0, ""))));
    api.Dispatch(Msg(10009, "sessionID=8;", ""));
    ASSERT_EQ(events.Events().size(), 4u);
    EXPECT_EQ(events.Events()[3].kind, EventKind::Contract) << "and nothing after the first";
    events.SetOnEvent(nullptr);
}

TEST(KeyOrders, CommodityAndContractKeysCompareLikeZeroTerminatedTexts)
{
    CommodityKeyLess commodityLess;
    struct CommodityCase {
        QuoteCommodityKey a, b;
        bool less;
    };
    const CommodityCase commodityCases[] = {
        { CommodityKey("A", 'F', "z"), CommodityKey("B", 'F', "a"), true }, // exchange first
        { CommodityKey("B", 'F', "a"), CommodityKey("A", 'F', "z"), false },
        { CommodityKey("A", 'Z', "a"), CommodityKey("A", 'F', "b"), true }, // then commodity number
        { CommodityKey("A", 'F', "x"), CommodityKey("A", 'O', "x"), true }, // then type
        { CommodityKey("A", '\x80', "x"), CommodityKey("A", 'F', "x"), true }, // type as signed 8-bit
        { CommodityKey("A", 'F', "x"), CommodityKey("A", 'F', "x"), false },
        { CommodityKey("AB", 'F', "x"), CommodityKey("A", 'F', "x"), false }, // "A" < "AB"
        { CommodityKey("\xE0", 'F', "x"), CommodityKey("z", 'F', "x"), false }, // unsigned bytes
    };
    for (const auto& c : commodityCases)
        EXPECT_EQ(commodityLess(c.a, c.b), c.less)
            << c.a.ExchangeNo << c.a.CommodityNo << " vs " << c.b.ExchangeNo;

    // Bytes after a text's terminator take no part.
    QuoteCommodityKey padded = CommodityKey("A", 'F', "x");
    padded.ExchangeNo[5] = 'q';
    EXPECT_FALSE(commodityLess(padded, CommodityKey("A", 'F', "x")));
    EXPECT_FALSE(commodityLess(CommodityKey("A", 'F', "x"), padded));

    ContractKeyLess contractLess;
    EXPECT_TRUE(contractLess(ContractKey("A", 'F', "x", "2501"), ContractKey("A", 'F', "x", "2502")));
    EXPECT_TRUE(contractLess(ContractKey("A", 'F', "x", "9"), ContractKey("A", 'F', "y", "1")));
    QuoteContractKey tail = ContractKey("A", 'F', "x", "2501");
    tail.ContractNo1[30] = 'T';
    EXPECT_FALSE(contractLess(tail, ContractKey("A", 'F', "x", "2501")));
    EXPECT_FALSE(contractLess(ContractKey("A", 'F', "x", "2501"), tail));

    // A field filled to its width without a terminator is read no further.
    QuoteCommodityKey full = CommodityKey("ABCDEFGHIJK", 'F', "x");
    QuoteCommodityKey fullOther = CommodityKey("ABCDEFGHIJK", 'F', "y");
    EXPECT_TRUE(commodityLess(full, fullOther));
}

TEST(QuoteDataCache, PutAndReadByPosition)
{
    QuoteDataCache cache;
    EXPECT_FALSE(cache.PutCommodity(nullptr));
    EXPECT_FALSE(cache.PutContract(nullptr));
    EXPECT_FALSE(cache.PutKeyedRecord(nullptr));

    QuoteContractRecord out;
    bool isLast = true;
    EXPECT_FALSE(cache.ContractAt(0, &out, &isLast));
    EXPECT_FALSE(isLast) << "isLast is cleared before the lookup";
    isLast = true;
    EXPECT_FALSE(cache.ContractAt(0, nullptr, &isLast));
    EXPECT_TRUE(isLast) << "untouched when out is null";

    // Two keys differing only after ContractNo1's terminator name one entry.
    QuoteContractRecord first = Contract("X", 'F', "a", "1", '1');
    QuoteContractRecord second = Contract("X", 'F', "a", "1", '2');
    second.ContractKey.ContractNo1[20] = 'w';
    EXPECT_TRUE(cache.PutContract(&first));
    EXPECT_TRUE(cache.PutContract(&second));
    EXPECT_EQ(cache.ContractCount(), 1u);
    ASSERT_TRUE(cache.ContractAt(0, &out, &isLast));
    EXPECT_TRUE(isLast);
    EXPECT_EQ(Bytes(out), Bytes(second));

    // Position reads stay right when inserts land before and after the last one read.
    const std::vector<std::string> numbers = { "5", "3", "8", "1", "9", "0", "7" };
    for (const auto& number : numbers) {
        QuoteContractRecord record = Contract("X", 'F', "b", number);
        cache.PutContract(&record);
        ASSERT_TRUE(cache.ContractAt(static_cast<int>(cache.ContractCount()) - 1, &out, &isLast));
        EXPECT_TRUE(isLast);
        ASSERT_TRUE(cache.ContractAt(1, &out, &isLast));
    }
    std::vector<std::string> seen;
    for (int n = 0; cache.ContractAt(n, &out, &isLast); ++n) {
        seen.push_back(out.ContractKey.CommodityKey.CommodityNo + std::string(out.ContractKey.ContractNo1));
        EXPECT_EQ(isLast, n + 1 == static_cast<int>(cache.ContractCount()));
    }
    EXPECT_EQ(seen, (std::vector<std::string> { "a1", "b0", "b1", "b3", "b5", "b7", "b8", "b9" }));
    EXPECT_FALSE(cache.ContractAt(-1, &out, &isLast));
    EXPECT_FALSE(cache.ContractAt(8, &out, &isLast));

    QuoteKeyedRecord keyed = Keyed("key-1", 'a');
    EXPECT_TRUE(cache.PutKeyedRecord(&keyed));
    keyed = Keyed("key-1", 'b');
    EXPECT_TRUE(cache.PutKeyedRecord(&keyed));
    QuoteKeyedRecord found;
    ASSERT_TRUE(cache.FindKeyedRecord("key-1", &found));
    EXPECT_EQ(Bytes(found), Bytes(Keyed("key-1", 'b')));
    EXPECT_EQ(cache.KeyedRecordCount(), 1u);
}

TEST(QuoteDataCache, EachMapHoldsAtMostItsCapAndStillReplacesWhatItHolds)
{
    ApiLimits limits;
    limits.maxKeyedRecords = 2;
    limits.maxCommodities = 3;
    limits.maxContracts = 4;
    ScopedLimits capped(limits);
    QuoteDataCache cache;
    for (int i = 0; i < 100; ++i) {
        const std::string n = std::to_string(i);
        const QuoteKeyedRecord keyed = Keyed("k" + n);
        const QuoteCommodityRecord commodity = Commodity("X", 'F', "c" + n);
        const QuoteContractRecord contract = Contract("X", 'F', "c", n);
        EXPECT_EQ(cache.PutKeyedRecord(&keyed), i < 2) << i;
        EXPECT_EQ(cache.PutCommodity(&commodity), i < 3) << i;
        EXPECT_EQ(cache.PutContract(&contract), i < 4) << i;
    }
    EXPECT_EQ(cache.KeyedRecordCount(), 2u);
    EXPECT_EQ(cache.CommodityCount(), 3u);
    EXPECT_EQ(cache.ContractCount(), 4u);

    // A full map still takes new bytes for the keys it holds.
    const QuoteKeyedRecord keyed = Keyed("k1", 'z');
    const QuoteCommodityRecord commodity = Commodity("X", 'F', "c2", 'z');
    const QuoteContractRecord contract = Contract("X", 'F', "c", "0", 'z');
    EXPECT_TRUE(cache.PutKeyedRecord(&keyed));
    EXPECT_TRUE(cache.PutCommodity(&commodity));
    EXPECT_TRUE(cache.PutContract(&contract));
    QuoteKeyedRecord foundKeyed;
    ASSERT_TRUE(cache.FindKeyedRecord("k1", &foundKeyed));
    EXPECT_EQ(Bytes(foundKeyed), Bytes(keyed));
    QuoteCommodityRecord foundCommodity;
    bool isLast = false;
    ASSERT_TRUE(cache.CommodityAt(2, &foundCommodity, &isLast)); // c0, c1, c2
    EXPECT_EQ(Bytes(foundCommodity), Bytes(commodity));
    QuoteContractRecord foundContract;
    ASSERT_TRUE(cache.ContractAt(0, &foundContract, &isLast));
    EXPECT_EQ(Bytes(foundContract), Bytes(contract));
    EXPECT_EQ(cache.CommodityCount() + cache.ContractCount() + cache.KeyedRecordCount(), 9u);
}

TEST(ContractMatches, FilterTable)
{
    const QuoteContractRecord contract = Contract("SHFE", 'F', "cu", "2501");
    struct Case {
        QuoteCommodityKey filter;
        bool matches;
    };
    const Case cases[] = {
        { CommodityKey("", 0, ""), true },
        { CommodityKey("SHFE", 0, ""), true },
        { CommodityKey("DCE", 0, ""), false },
        { CommodityKey("SHFE", 'F', ""), true },
        { CommodityKey("SHFE", 'O', ""), false },
        { CommodityKey("SHFE", 'F', "cu"), true },
        { CommodityKey("SHFE", 'F', "al"), false },
        { CommodityKey("SHFE", 'O', "cu"), false },
        { CommodityKey("", 'F', ""), false }, // exchange empty, type given
        { CommodityKey("", 0, "cu"), false }, // exchange empty, commodity set
        { CommodityKey("", 'F', "cu"), false },
        { CommodityKey("SHFE", 0, "cu"), false }, // commodity set without type
        { CommodityKey("SHF", 0, ""), false },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(
            std::string(c.filter.ExchangeNo) + "|" + c.filter.CommodityType + "|" + c.filter.CommodityNo);
        EXPECT_EQ(IKivQuoteAPIExtend::ContractMatches(&c.filter, &contract), c.matches);
    }
    const QuoteCommodityKey any = CommodityKey("", 0, "");
    EXPECT_FALSE(IKivQuoteAPIExtend::ContractMatches(nullptr, &contract));
    EXPECT_FALSE(IKivQuoteAPIExtend::ContractMatches(&any, nullptr));
}

TEST_F(Dispatching, ContractReplyDeliversEveryMatchOnceInKeyOrderTheLastWithY)
{
    // Pushed out of order, with non-matching contracts between the matches.
    Push(Contract("SHFE", 'F', "cu", "2503"));
    Push(Contract("DCE", 'F', "m", "2501"));
    Push(Contract("SHFE", 'F', "cu", "2501"));
    Push(Contract("SHFE", 'F', "al", "2501"));
    Push(Contract("SHFE", 'F', "cu", "2502"));
    Push(Contract("ZCE", 'F', "SR", "2501"));
    Push(Contract("SHFE", 'O', "cu", "2501C"));

    struct Case {
        QuoteCommodityKey filter;
        std::vector<std::string> expected;
        std::string marks;
    };
    const Case cases[] = {
        { CommodityKey("SHFE", 'F', "cu"), { "cu/2501", "cu/2502", "cu/2503" }, "NNY" },
        { CommodityKey("SHFE", 'F', "al"), { "al/2501" }, "Y" },
        { CommodityKey("SHFE", 'F', ""), { "al/2501", "cu/2501", "cu/2502", "cu/2503" }, "NNNY" },
        { CommodityKey("SHFE", 0, ""), { "al/2501", "cu/2501", "cu/2502", "cu/2503", "cu/2501C" }, "NNNNY" },
        { CommodityKey("DCE", 'F', "m"), { "m/2501" }, "Y" },
        { CommodityKey("CME", 0, ""), {}, "" },
        { CommodityKey("", 'F', ""), {}, "" },
        { CommodityKey("", 0, ""),
            { "m/2501", "al/2501", "cu/2501", "cu/2502", "cu/2503", "cu/2501C", "SR/2501" }, "NNNNNNY" },
    };
    uint32_t session = 10;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.filter.ExchangeNo) + "|" + c.filter.CommodityNo);
        events.Clear();
        api.Dispatch(Msg(10011, "sessionID=" + std::to_string(session) + ";", Bytes(c.filter)));
        const auto items = events.Of(EventKind::Contract);
        EXPECT_EQ(ContractNumbers(items), c.expected);
        EXPECT_EQ(IsLastMarks(items), c.marks);
        for (const Event& e : items) {
            EXPECT_EQ(e.sessionID, session);
            EXPECT_EQ(e.code, 0);
        }
        ++session;
    }
}

TEST_F(Dispatching, SubscriptionRepliesCarryTheKeyOrNull)
{
    const QuoteContractKey key = ContractKey("SHFE", 'F', "cu", "2501");
    std::string longer = Bytes(key) + "trailing";
    struct Case {
        uint32_t command;
        std::string params;
        std::string body;
        EventKind kind;
        int code;
        bool hasInfo;
        const char* line;
    };
    const Case cases[] = {
        { 10005, "sessionID=3;errorCode=0;", Bytes(key), EventKind::Subscribe, 0, true,
            "[INFO] Successfully recv subscribe response message with quote: Ex-SHFE, Type-F, No-cu, "
            "ContractNo1-2501.\n" },
        { 10007, "sessionID=4;errorCode=0;", longer, EventKind::Unsubscribe, 0, true,
            "[INFO] Successfully recv unsubscribe response message with quote: Ex-SHFE, Type-F, No-cu, "
            "ContractNo1-2501.\n" },
        { 10005, "sessionID=5;errorCode=5;", "", EventKind::Subscribe, 5, false, "" },
        { 10007, "sessionID=6;errorCode=-3;", Bytes(key), EventKind::Unsubscribe, -3, false, "" },
        // A missing errorCode is reported as a failure, not read as success.
        { 10005, "sessionID=7;", Bytes(key), EventKind::Subscribe, -1, false,
            "[ERROR] The subscribe response message of session 7 carries no valid errorCode, reported as "
            "failed.\n" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.params);
        events.Clear();
        LogWatch watch(LogFolder());
        api.Dispatch(Msg(c.command, c.params, c.body));
        const auto replies = events.Events();
        ASSERT_EQ(replies.size(), 1u);
        EXPECT_EQ(replies[0].kind, c.kind);
        EXPECT_EQ(replies[0].code, c.code);
        EXPECT_EQ(replies[0].isLast, 'Y');
        EXPECT_EQ(replies[0].hasData, c.hasInfo);
        if (c.hasInfo) {
            EXPECT_EQ(replies[0].data, Bytes(key));
        }
        EXPECT_EQ(replies[0].sessionID, static_cast<uint32_t>(std::stoul(c.params.substr(10))));
        if (*c.line) {
            EXPECT_TRUE(watch.Contains(c.line)) << watch.Text();
        }
    }
}

TEST_F(Dispatching, PushesFillTheCacheWithoutCallbacksAndQuotesPassThrough)
{
    events.quoteSize = 6;
    api.Dispatch(Msg(20001, "", Bytes(Keyed("k1")) + "extra"));
    api.Dispatch(Msg(20002, "", Bytes(Commodity("A", 'F', "x"))));
    api.Dispatch(Msg(20003, "", Bytes(Contract("A", 'F', "x", "1")), false));
    EXPECT_TRUE(events.Events().empty());
    EXPECT_EQ(api.Cache().KeyedRecordCount(), 1u);
    QuoteKeyedRecord keyed;
    ASSERT_TRUE(api.Cache().FindKeyedRecord("k1", &keyed));
    EXPECT_EQ(Bytes(keyed), Bytes(Keyed("k1")));
    EXPECT_EQ(api.Cache().CommodityCount(), 1u);
    EXPECT_EQ(api.Cache().ContractCount(), 1u);

    api.Dispatch(Msg(20000, "", "quote!", false));
    api.Dispatch(Msg(20000, "ignored=1;", "second"));
    const auto quotes = events.Of(EventKind::Quote);
    ASSERT_EQ(quotes.size(), 2u);
    EXPECT_EQ(quotes[0].data, "quote!");
    EXPECT_EQ(quotes[1].data, "second");
}

TEST_F(Dispatching, OtherCommandsAreDroppedSilently)
{
    LogWatch watch(LogFolder());
    for (uint32_t command :
        { 10002u, 10004u, 10006u, 10008u, 10010u, 0u, 11000u, 11004u, 19999u, 20004u, 0x7FFFFFFFu })
        api.Dispatch(Msg(command, "sessionID=1;errorCode=0;", std::string(300, 'x')));
    EXPECT_TRUE(events.Events().empty());
    EXPECT_EQ(
        api.Cache().ContractCount() + api.Cache().CommodityCount() + api.Cache().KeyedRecordCount(), 0u);
    EXPECT_EQ(watch.Text(), "");
}

TEST_F(Dispatching, ShortBodiesAndMissingSessionIdsAreDroppedWithAnErrorLine)
{
    const QuoteContractKey key = ContractKey("SHFE", 'F', "cu", "2501");
    struct Case {
        const char* name;
        uint32_t command;
        std::string params;
        std::string body;
        const char* line;
    };
    const Case cases[] = {
        { "keyed push", 20001, "", std::string(273, 'k'),
            "[ERROR] Dropped keyed record push message (command 20001): "
            "body of 273 bytes is shorter than the 274 bytes expected.\n" },
        { "commodity push", 20002, "", std::string(146, 'c'),
            "[ERROR] Dropped commodity push message (command 20002): body of 146 bytes is shorter than the "
            "147 bytes "
            "expected.\n" },
        { "contract push", 20003, "", std::string(184, 'k'),
            "[ERROR] Dropped contract push message (command 20003): body of 184 bytes is shorter than the "
            "185 bytes "
            "expected.\n" },
        { "empty contract push", 20003, "", "", "body of 0 bytes" },
        { "subscribe reply", 10005, "sessionID=1;errorCode=0;", Bytes(key).substr(0, 68),
            "[ERROR] Dropped subscribe message (command 10005): body of 68 bytes is shorter than the 69 "
            "bytes "
            "expected.\n" },
        { "unsubscribe reply", 10007, "sessionID=1;errorCode=0;", "",
            "[ERROR] Dropped unsubscribe message (command 10007): body of 0 bytes" },
        { "contract reply", 10011, "sessionID=1;", std::string(22, '\0'),
            "[ERROR] Dropped query contract response message (command 10011): body of 22 bytes is shorter "
            "than the 23 "
            "bytes expected.\n" },
        { "contract reply without session", 10011, "", std::string(23, '\0'),
            "[ERROR] Dropped query contract response without a valid sessionID.\n" },
        { "commodity reply without session", 10009, "errorCode=0;", "",
            "[ERROR] Dropped query commodity response without a valid sessionID.\n" },
        { "commodity reply with a bad session", 10009, "sessionID=x1;", "",
            "[ERROR] Dropped query commodity response without a valid sessionID.\n" },
        { "subscribe reply without session", 10005, "errorCode=0;", Bytes(key),
            "[ERROR] Dropped subscribe response message without a valid sessionID.\n" },
        { "unsubscribe reply with an overflowing session", 10007, "sessionID=4294967296;errorCode=0;",
            Bytes(key), "[ERROR] Dropped unsubscribe response message without a valid sessionID.\n" },
    };
    // Something in the cache, so that a wrongly accepted query reply would call back.
    Push(Commodity("A", 'F', "x"));
    Push(Contract("A", 'F', "x", "1"));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LogWatch watch(LogFolder());
        api.Dispatch(Msg(c.command, c.params, c.body));
        EXPECT_TRUE(events.Events().empty());
        EXPECT_TRUE(watch.Contains(c.line)) << watch.Text();
    }
    EXPECT_EQ(api.Cache().KeyedRecordCount(), 0u);
    EXPECT_EQ(api.Cache().CommodityCount(), 1u);
    EXPECT_EQ(api.Cache().ContractCount(), 1u);
}

TEST_F(Dispatching, MalformedFrameStopsDispatchAfterTheGoodOnes)
{
    events.quoteSize = 2;
    RecvBuffer buffer;
    std::string stream = EncodeFrame(20000, "", "q1", false);
    std::string bad = EncodeFrame(20000, "", "", false);
    bad[8] = '\xFF';
    bad[9] = '\xFF';
    bad[10] = '\xFF';
    bad[11] = '\x7F';
    stream += bad + EncodeFrame(20000, "", "q2", false);
    buffer.Feed(stream.data(), stream.size());
    LogWatch watch(LogFolder());
    EXPECT_FALSE(api.DispatchAll(buffer));
    const auto quotes = events.Of(EventKind::Quote);
    ASSERT_EQ(quotes.size(), 1u);
    EXPECT_EQ(quotes[0].data, "q1");
    EXPECT_TRUE(watch.Contains("[ERROR] Received a malformed frame"));
}
