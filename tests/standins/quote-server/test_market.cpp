// The simulated market on its own: the built-in commodity list, the walk, the
// history and the JSON market files.

#include <algorithm>
#include <cmath>
#include <ctime>
#include <map>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "market.h"
#include "ostrelwire.h"

using namespace quoteserver;

namespace
{

// 2026-12-09, a fixed day for the contract months.
constexpr std::time_t kDecember2026 = 1796774400;

bool OnTick(double price, double tick, unsigned decimals)
{
    const double ticks = price / tick;
    const double scaled = price * std::pow(10.0, decimals);
    return std::fabs(ticks - std::round(ticks)) < 1e-6 && std::fabs(scaled - std::round(scaled)) < 1e-6;
}

const CommoditySpec* FindSpec(const std::vector<CommoditySpec>& specs, const std::string& no)
{
    for (const auto& s : specs)
        if (s.field.commodity_no() == no)
            return &s;
    return nullptr;
}

} // namespace

TEST(BuiltinMarket, FillsEveryTab)
{
    const auto specs = BuiltinMarket(kDecember2026);
    std::map<int, int> perType;
    std::map<int, std::set<std::string>> exchanges;
    std::set<std::string> keys;
    int emptyLists = 0;
    for (const auto& s : specs) {
        const auto& f = s.field;
        ++perType[f.security_type()];
        exchanges[f.security_type()].insert(f.exchange_no());
        EXPECT_TRUE(ostrelwire::IsUtf8(f.commodity_name())) << f.commodity_no();
        EXPECT_TRUE(ostrelwire::IsUtf8(f.exchange_name())) << f.commodity_no();
        // Chinese names: at least one character beyond ASCII.
        EXPECT_TRUE(std::any_of(f.exchange_name().begin(), f.exchange_name().end(), [](char c) {
            return static_cast<unsigned char>(c) >= 0x80;
        })) << f.exchange_name();
        EXPECT_GT(s.price, 0);
        EXPECT_TRUE(OnTick(s.price, f.mini_ticker_size(), f.dot_size()))
            << f.commodity_no() << " " << s.price;
        int mains = 0;
        for (const auto& c : f.contract_no_list()) {
            mains += c.flags() == 1;
            EXPECT_TRUE(
                keys.insert(ContractKey(f.security_type(), f.commodity_no(), c.contract_no())).second);
        }
        if (f.contract_no_list_size() == 0) {
            ++emptyLists;
            EXPECT_TRUE(keys.insert(ContractKey(f.security_type(), f.commodity_no(), "")).second);
        } else {
            EXPECT_EQ(mains, 1) << f.commodity_no();
        }
        if (f.security_type() == kw::pb::ostrel2::S) {
            EXPECT_GT(s.floatShares, 0) << f.commodity_no();
        }
    }
    for (int type : { 1, 2, 3, 4, 8 }) {
        EXPECT_GE(perType[type], 3) << type;
        EXPECT_GE(exchanges[type].size(), 2u) << type;
    }
    EXPECT_GE(perType[4], 12);
    EXPECT_GT(emptyLists, 0);

    // The reference contracts of the status bar and the examples of the board.
    for (const char* no : { "CL", "IF", "EUR.USD", "GC", "SI", "HG", "NG", "ES", "NQ", "IC", "IH", "rb", "cu",
             "au", "m", "SR", "GBP.USD", "USD.JPY", "AUD.USD", "USD.CNH", "BTC", "ETH", "LTC" })
        EXPECT_NE(FindSpec(specs, no), nullptr) << no;

    const auto* cl = FindSpec(specs, "CL");
    ASSERT_EQ(cl->field.contract_no_list_size(), 12);
    EXPECT_EQ(cl->field.contract_no_list(0).contract_no(), "2701");
    EXPECT_EQ(cl->field.contract_no_list(11).contract_no(), "2712");
    EXPECT_EQ(cl->field.exchange_name(), "纽约商业交易所");
    const auto* iF = FindSpec(specs, "IF");
    ASSERT_EQ(iF->field.contract_no_list_size(), 4);
    EXPECT_EQ(iF->field.contract_no_list(0).contract_no(), "2612");
    EXPECT_EQ(iF->field.contract_no_list(3).contract_no(), "2706");
    EXPECT_EQ(FindSpec(specs, "SR")->field.contract_no_list(0).contract_no(), "701"); // Zhengzhou style
    EXPECT_EQ(FindSpec(specs, "EUR.USD")->field.contract_no_list_size(), 0);
}

TEST(Market, SameSeedSamePricesOtherSeedOthers)
{
    auto run = [](std::uint64_t seed) {
        Market m(BuiltinMarket(kDecember2026), seed);
        std::vector<std::size_t> changed, traded;
        for (int i = 0; i < 50; ++i)
            m.Step(&changed, &traded);
        std::string all;
        for (std::size_t i = 0; i < m.Size(); ++i) {
            kw::pb::ostrel2::QuoteDetailField q;
            m.FillQuote(i, 1000, &q);
            all += q.SerializeAsString();
        }
        return all;
    };
    EXPECT_EQ(run(7), run(7));
    EXPECT_NE(run(7), run(8));

    // A contract's walk does not depend on the other contracts of the market.
    std::vector<CommoditySpec> alone;
    for (const auto& s : BuiltinMarket(kDecember2026))
        if (s.field.commodity_no() == "GC")
            alone.push_back(s);
    Market full(BuiltinMarket(kDecember2026), 3), single(alone, 3);
    std::vector<std::size_t> changed, traded;
    for (int i = 0; i < 30; ++i) {
        full.Step(&changed, &traded);
        single.Step(&changed, &traded);
    }
    for (std::size_t i = 0; i < single.Size(); ++i) {
        kw::pb::ostrel2::QuoteDetailField a, b;
        single.FillQuote(i, 5, &a);
        full.FillQuote(static_cast<std::size_t>(full.Find(single.Key(i))), 5, &b);
        EXPECT_EQ(a.SerializeAsString(), b.SerializeAsString()) << single.Key(i);
    }
}

TEST(Market, QuotesStayConsistent)
{
    const auto specs = BuiltinMarket(kDecember2026);
    Market m(specs, 11);
    std::vector<double> volumes(m.Size(), 0);
    std::vector<std::size_t> changed, traded;
    for (int step = 0; step < 400; ++step) {
        m.Step(&changed, &traded);
        std::set<std::size_t> changedSet(changed.begin(), changed.end());
        for (std::size_t i : traded)
            EXPECT_TRUE(changedSet.count(i));
        for (std::size_t i = 0; i < m.Size(); ++i) {
            kw::pb::ostrel2::QuoteDetailField q;
            m.FillQuote(i, 1, &q);
            SCOPED_TRACE(q.contract_code());
            ASSERT_EQ(q.contract_code(), m.Key(i));
            EXPECT_LE(q.low(), q.last());
            EXPECT_LE(q.last(), q.high());
            EXPECT_LE(q.low(), q.open());
            EXPECT_LE(q.open(), q.high());
            EXPECT_LT(q.bid_price(), q.ask_price());
            EXPECT_LE(q.bid_price(), q.last());
            EXPECT_GE(q.ask_price(), q.last());
            EXPECT_GE(q.volume(), volumes[i]);
            volumes[i] = q.volume();
            EXPECT_GT(q.pre_settle(), 0);
            // Within a plausible day's move of the settlement.
            EXPECT_LT(std::fabs(q.last() / q.pre_settle() - 1.0), 0.2);
        }
    }
    // Prices sit on the commodity's tick, at its decimals.
    for (std::size_t i = 0; i < m.Size(); ++i) {
        kw::pb::ostrel2::QuoteDetailField q;
        m.FillQuote(i, 1, &q);
        const auto key = m.Key(i);
        const CommoditySpec* def = nullptr;
        for (const auto& s : specs) {
            const std::string prefix = ContractKey(s.field.security_type(), s.field.commodity_no(), "");
            if (key == prefix || key.rfind(prefix + "_", 0) == 0)
                def = &s;
        }
        ASSERT_NE(def, nullptr) << key;
        for (double p :
            { q.last(), q.open(), q.high(), q.low(), q.bid_price(), q.ask_price(), q.pre_settle() })
            EXPECT_TRUE(OnTick(p, def->field.mini_ticker_size(), def->field.dot_size())) << key << " " << p;
        const bool stock = def->field.security_type() == kw::pb::ostrel2::S;
        EXPECT_EQ(q.turnover_rate() > 0, stock) << key;
        EXPECT_GT(q.turnover(), 0) << key;
        for (unsigned level = 2; level <= 5; ++level) {
            kw::pb::ostrel2::DepthQuoteField d;
            m.FillDepth(i, 1, level, &d);
            EXPECT_EQ(d.level(), level);
            EXPECT_GT(d.ask_price(), q.ask_price()) << key;
            EXPECT_LT(d.bid_price(), q.bid_price()) << key;
            EXPECT_GT(d.ask_vol(), 0);
        }
    }
}

// With the live pace known, a chart's earlier minute bars move and trade about
// as much as the live walk does in a minute, so the bar in progress does not
// tower over them.
TEST(Market, PacedMinuteBarsLookLikeLiveMinutes)
{
    constexpr double kPace = 2; // steps a second
    constexpr int kStepsPerMinute = 120;
    for (std::size_t contract : { std::size_t(0), std::size_t(40), std::size_t(90) }) {
        Market m(BuiltinMarket(kDecember2026), 11);
        m.SetPace(kPace);
        ASSERT_LT(contract, m.Size());
        SCOPED_TRACE(m.Key(contract));

        std::vector<std::size_t> changed, traded;
        kw::pb::ostrel2::QuoteDetailField q;
        m.FillQuote(contract, 0, &q);
        double liveMove = 0, liveVolume = 0;
        constexpr int kMinutes = 150;
        for (int minute = 0; minute < kMinutes; ++minute) {
            const double last = q.last(), volume = q.volume();
            for (int i = 0; i < kStepsPerMinute; ++i)
                m.Step(&changed, &traded);
            m.FillQuote(contract, 0, &q);
            liveMove += std::fabs(q.last() - last);
            liveVolume += q.volume() - volume;
        }
        liveMove /= kMinutes;
        liveVolume /= kMinutes;

        kw::pb::ostrel2::RspReqQryHistoryField rsp;
        ASSERT_TRUE(m.History(contract, kw::pb::ostrel2::KLINE_1MIN, 500, 1796800000000ull, &rsp));
        double barMove = 0, barVolume = 0;
        const int full = rsp.lines_size() - 1; // the last bar is still in progress
        for (int i = 0; i < full; ++i) {
            barMove += std::fabs(rsp.lines(i).close() - rsp.lines(i).open());
            barVolume += rsp.lines(i).volume();
        }
        barMove /= full;
        barVolume /= full;

        EXPECT_GT(barMove, liveMove / 2);
        EXPECT_LT(barMove, liveMove * 2);
        EXPECT_GT(barVolume, liveVolume / 2);
        EXPECT_LT(barVolume, liveVolume * 2);
        // The walk reverts to the settlement, and so does its past.
        for (const auto& bar : rsp.lines())
            EXPECT_LT(std::fabs(bar.close() - q.pre_settle()), q.pre_settle() * 0.05);
    }
}

TEST(Market, HistoryMatchesLivePrices)
{
    Market m(BuiltinMarket(kDecember2026), 5);
    std::vector<std::size_t> changed, traded;
    for (int i = 0; i < 20; ++i)
        m.Step(&changed, &traded);
    const std::size_t cl = static_cast<std::size_t>(m.Find(m.Key(0)));
    kw::pb::ostrel2::QuoteDetailField q;
    m.FillQuote(cl, 0, &q);
    const std::uint64_t now = 1796800000123ull;

    struct Case {
        int period;
        std::uint64_t count;
        std::uint64_t expectCount;
        std::int64_t spanMs;
    };
    const Case cases[] = {
        { kw::pb::ostrel2::KLINE_1MIN, 500, 500, 60'000 },
        { kw::pb::ostrel2::KLINE_UNKNOWN, 10, 10, 60'000 },
        { kw::pb::ostrel2::KLINE_5MIN, 1, 1, 300'000 },
        { kw::pb::ostrel2::KLINE_1HR, 30, 30, 3'600'000 },
        { kw::pb::ostrel2::KLINE_12HR, 7, 7, 43'200'000 },
        { kw::pb::ostrel2::KLINE_1DAY, 0, Market::kDefaultHistoryBars, 86'400'000 },
        { kw::pb::ostrel2::KLINE_1DAY, 1'000'000, Market::kMaxHistoryBars, 86'400'000 },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.period);
        kw::pb::ostrel2::RspReqQryHistoryField rsp;
        ASSERT_TRUE(m.History(cl, c.period, c.count, now, &rsp));
        EXPECT_EQ(rsp.contract_code(), m.Key(cl));
        EXPECT_EQ(rsp.period(), c.period);
        ASSERT_EQ(static_cast<std::uint64_t>(rsp.lines_size()), c.expectCount);
        const auto& lastBar = rsp.lines(rsp.lines_size() - 1);
        EXPECT_EQ(lastBar.close(), q.last());
        EXPECT_LE(lastBar.time_flag(), now);
        EXPECT_GT(lastBar.time_flag() + static_cast<std::uint64_t>(c.spanMs), now);
        EXPECT_LE(lastBar.high(), q.high());
        EXPECT_GE(lastBar.low(), q.low());
        for (int i = 0; i < rsp.lines_size(); ++i) {
            const auto& b = rsp.lines(i);
            EXPECT_GE(b.high(), std::max(b.open(), b.close()));
            EXPECT_LE(b.low(), std::min(b.open(), b.close()));
            EXPECT_GT(b.low(), 0);
            EXPECT_GE(b.volume(), 0);
            if (i > 0) {
                EXPECT_EQ(b.time_flag() - rsp.lines(i - 1).time_flag(), static_cast<std::uint64_t>(c.spanMs));
                EXPECT_EQ(b.open(), rsp.lines(i - 1).close());
            }
        }
        if (c.period == kw::pb::ostrel2::KLINE_1DAY) {
            EXPECT_EQ(lastBar.open(), q.open());
            EXPECT_EQ(lastBar.high(), q.high());
            EXPECT_EQ(lastBar.low(), q.low());
            EXPECT_EQ(lastBar.volume(), q.volume());
        }
        // Asked again within the same bar: the same answer.
        kw::pb::ostrel2::RspReqQryHistoryField again;
        m.History(cl, c.period, c.count, now + 1, &again);
        EXPECT_EQ(again.SerializeAsString(), rsp.SerializeAsString());
    }
    kw::pb::ostrel2::RspReqQryHistoryField none;
    EXPECT_FALSE(m.History(cl, 10, 5, now, &none));
    EXPECT_EQ(none.lines_size(), 0);
}

TEST(MarketJson, ReadsAndRefuses)
{
    struct Case {
        const char* name;
        std::string json;
        bool ok;
        std::string errorPart;
    };
    const Case cases[] = {
        { "minimal", R"({"commodities": [{"commodity_no": "X"}]})", true, "" },
        { "bare list", R"([{"commodity_no": "X", "security_type": "FO"}])", true, "" },
        { "full",
            R"({"commodities": [{"security_type": "FO", "exchange_no": "NYMEX", "exchange_name": "纽约商业交易所",
             "commodity_no": "CL", "commodity_name": "美原油", "currency_no": "USD", "category": "GATEGORY_ENERGY",
             "region": 1, "dot_size": 2, "mini_ticker_size": 0.01, "contract_size": 1000, "price": 68.42,
             "contract_no_list": [{"contract_no": "2701", "flags": 0}, {"contract_no": "2702", "flags": 1}, "2703"],
             "tradingtime_Seg": [{"date_flag": "DATE_CUR", "begin_time": "06:00:00", "trading_state": 3}]}]})",
            true, "" },
        { "nameless type", R"([{"commodity_no": "Y", "security_type": 6}])", true, "" },
        { "not JSON", "{", false, "not valid JSON" },
        { "no list", R"({"things": []})", false, "commodities" },
        { "no number", R"([{"commodity_name": "x"}])", false, "\"commodity_no\" missing" },
        { "empty number", R"([{"commodity_no": ""}])", false, "\"commodity_no\" is empty" },
        { "unknown member", R"([{"commodity_no": "X", "colour": 1}])", false, "unknown member \"colour\"" },
        { "unknown type name", R"([{"commodity_no": "X", "security_type": "ZZ"}])", false,
            "no value \"ZZ\"" },
        { "type out of range", R"([{"commodity_no": "X", "security_type": 100}])", false, "security_type" },
        { "tick off decimals", R"([{"commodity_no": "X", "dot_size": 0, "mini_ticker_size": 0.5}])", false,
            "mini_ticker_size" },
        { "negative price", R"([{"commodity_no": "X", "price": -1}])", false, "positive" },
        { "twice", R"([{"commodity_no": "X"}, {"commodity_no": "X"}])", false, "_X given twice" },
        { "contract twice", R"([{"commodity_no": "X", "contract_no_list": ["1", "1"]}])", false,
            "given twice" },
        { "not UTF-8", "[{\"commodity_no\": \"X\", \"commodity_name\": \"\xd4\xad\xd3\xcd\"}]", false,
            "UTF-8" },
        { "bad contract", R"([{"commodity_no": "X", "contract_no_list": [5]}])", false, "neither a text" },
        { "bad flags", R"([{"commodity_no": "X", "contract_no_list": [{"contract_no": "1", "flags": "a"}]}])",
            false, "flags" },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<CommoditySpec> specs;
        std::string error;
        EXPECT_EQ(ParseMarketJson(c.json, &specs, &error), c.ok) << error;
        if (!c.ok) {
            EXPECT_NE(error.find(c.errorPart), std::string::npos) << error;
        }
    }

    std::vector<CommoditySpec> specs;
    std::string error;
    ASSERT_TRUE(ParseMarketJson(cases[2].json, &specs, &error)) << error;
    ASSERT_EQ(specs.size(), 1u);
    const auto& f = specs[0].field;
    EXPECT_EQ(f.security_type(), kw::pb::ostrel2::FO);
    EXPECT_EQ(f.category(), kw::pb::ostrel2::GATEGORY_ENERGY);
    EXPECT_EQ(f.commodity_name(), "美原油");
    ASSERT_EQ(f.contract_no_list_size(), 3);
    EXPECT_EQ(f.contract_no_list(1).flags(), 1);
    EXPECT_EQ(f.contract_no_list(2).contract_no(), "2703");
    ASSERT_EQ(f.tradingtime_seg_size(), 1);
    EXPECT_EQ(f.tradingtime_seg(0).date_flag(), kw::pb::ostrel2::CommodityField::DATE_CUR);
    EXPECT_DOUBLE_EQ(specs[0].price, 68.42);

    // Defaults: tick from the decimals, index from the position, a key of a nameless type.
    ASSERT_TRUE(ParseMarketJson(R"([{"commodity_no": "A", "dot_size": 3}, {"commodity_no": "B",
        "security_type": 6, "mini_ticker_size": 0.25}])",
        &specs, &error));
    EXPECT_DOUBLE_EQ(specs[0].field.mini_ticker_size(), 0.001);
    EXPECT_EQ(specs[1].field.index(), 2u);
    EXPECT_EQ(specs[1].field.dot_size(), 2u);
    Market m(specs, 1);
    EXPECT_GE(m.Find("UNKNOWN_A"), 0);
    EXPECT_GE(m.Find("_B"), 0);
}

TEST(Market, MovesPerStepTakeTurns)
{
    Market m(BuiltinMarket(kDecember2026), 5);
    const std::size_t size = m.Size();
    ASSERT_GT(size, 7u);
    m.SetMovesPerStep(7);
    std::vector<std::size_t> changed, traded;
    std::set<std::size_t> moved;
    // Each step's indexes are in order, at most 7 of them, and in turn every
    // contract comes up.
    for (std::size_t step = 0; step < size; ++step) {
        m.Step(&changed, &traded);
        EXPECT_LE(changed.size(), 7u);
        EXPECT_TRUE(std::is_sorted(changed.begin(), changed.end()));
        EXPECT_TRUE(std::is_sorted(traded.begin(), traded.end()));
        moved.insert(changed.begin(), changed.end());
    }
    EXPECT_GT(moved.size(), size / 2);
}
