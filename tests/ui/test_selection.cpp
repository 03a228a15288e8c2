#include <algorithm>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include <QLabel>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "helpers.h"
#include "selectionpeer.h"

using kw::pb::ostrel2::CommodityField;
using kw::pb::ostrel2::DepthQuoteField;
using kw::pb::ostrel2::KlineDataField;
using kw::pb::ostrel2::QuoteDetailField;
using kw::pb::ostrel2::RspReqQryHistoryField;
using kw::pb::ostrel2::TickerField;
using testing::_;
using Kind = RecordingWindow::ContractRequest;
using Request = RecordingWindow::Request;

namespace
{

const QString kUp = QStringLiteral("color: rgb( 255,60, 60);");
const QString kDown = QStringLiteral("color: rgb(0, 220, 0);");
const QString kNeutral = QStringLiteral("color: rgb(220, 220, 10);");
const QString kFont = QStringLiteral("font: 11pt \"宋体\";");
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

class MockChartell : public IChartell
{
public:
    MOCK_METHOD(const char*, GetVersion, (), (const, override));
    MOCK_METHOD(int, AttachWindow, (std::uintptr_t), (override));
    MOCK_METHOD(void, Release, (), (override));
    MOCK_METHOD(void, ShowKlines,
        (const CommodityField&, const std::string&, const QuoteDetailField&, int,
            const std::vector<KlineDataField>&),
        (override));
    MOCK_METHOD(void, UpdateQuote, (const QuoteDetailField&), (override));
};

std::vector<CommodityField> Board()
{
    return {
        MakeCommodity(1, "NYMEX", "CL", "美原油", { { "1906", 0 }, { "1907", 1 } }),
        MakeCommodity(1, "COMEX", "GC", "美黄金", { { "2612", 1 } }),
        MakeCommodity(2, "CFFEX", "IF", "沪深300", { { "2701", 1 } }),
    };
}

// The 14 labels of the quote-detail table, in table order.
std::vector<QLabel*> DetailLabels(Ui_KwTradeClientClass& ui)
{
    return { ui.last_price_2, ui.last_vol, ui.vol, ui.position_vol, ui.open_price, ui.high_price,
        ui.low_price, ui.presttle, ui.ask_price_2, ui.bid_price_2, ui.ask_price, ui.ask_vol, ui.bid_price,
        ui.bid_vol };
}

std::vector<QLabel*> DepthLabels(Ui_KwTradeClientClass& ui)
{
    return { ui.ask_price2, ui.ask_vol2, ui.bid_price2, ui.bid_vol2, ui.ask_price3, ui.ask_vol3,
        ui.bid_price3, ui.bid_vol3, ui.ask_price4, ui.ask_vol4, ui.bid_price4, ui.bid_vol4, ui.ask_price5,
        ui.ask_vol5, ui.bid_price5, ui.bid_vol5 };
}

std::vector<QLabel*> TickerLabels(Ui_KwTradeClientClass& ui)
{
    return { ui.ticker_time_0, ui.ticker_price_0, ui.ticker_vol_0, ui.ticker_time_1, ui.ticker_price_1,
        ui.ticker_vol_1, ui.ticker_time_2, ui.ticker_price_2, ui.ticker_vol_2, ui.ticker_time_3,
        ui.ticker_price_3, ui.ticker_vol_3, ui.ticker_time_4, ui.ticker_price_4, ui.ticker_vol_4,
        ui.ticker_time_5, ui.ticker_price_5, ui.ticker_vol_5, ui.ticker_time_6, ui.ticker_price_6,
        ui.ticker_vol_6, ui.ticker_time_7, ui.ticker_price_7, ui.ticker_vol_7 };
}

TickerField Tick(const std::string& key, std::uint64_t ms, double price, double volume)
{
    TickerField t;
    t.set_contract_code(key);
    t.set_time_flag(ms);
    t.set_price(price);
    t.set_volume(volume);
    return t;
}

DepthQuoteField Depth(
    const std::string& key, unsigned level, double ask, double askVol, double bid, double bidVol)
{
    DepthQuoteField d;
    d.set_contract_code(key);
    d.set_level(level);
    d.set_ask_price(ask);
    d.set_ask_vol(askVol);
    d.set_bid_price(bid);
    d.set_bid_vol(bidVol);
    return d;
}

RspReqQryHistoryField Kline(const std::string& key, int period, int bars, double price = 10)
{
    RspReqQryHistoryField k;
    k.set_contract_code(key);
    k.set_period(static_cast<kw::pb::ostrel2::EnumKLineType>(period));
    for (int i = 0; i < bars; ++i) {
        auto* line = k.add_lines();
        line->set_time_flag(1700000000000ULL + static_cast<std::uint64_t>(i) * 60000);
        line->set_open(price);
        line->set_high(price + 1);
        line->set_low(price - 1);
        line->set_close(price + 0.5);
        line->set_volume(i);
    }
    return k;
}

class SelectionTest : public testing::Test
{
protected:
    SelectionTest()
    {
        NQuoteClientProbe::ForgetQuotes();
        window.setCommodities(Board());
    }
    ~SelectionTest() override
    {
        window.close();
        // A chart view the test made is the window's to release on close.
        if (IChartell* view = window.chartView()) {
            view->Release();
            DeleteChartell(view);
            window.chartView() = nullptr;
        }
    }

    ScopedPictureFolder pictures;
    RecordingWindow window;
};

} // namespace

TEST_F(SelectionTest, SelectContractFollowsItsThreeCases)
{
    auto& ui = window.ui();
    const QuoteDetailField gold = [] {
        QuoteDetailField q = MakeQuote("FO_GC_2612", 2045.5, 2040);
        q.set_volume(1234);
        return q;
    }();
    PushQuote(gold);

    struct Step {
        const char* what;
        std::string key;
        int period;
        std::vector<Request> requests; // sent by this step
        std::string current; // m_currentKey afterwards
        QString contract; // current_contract afterwards
        QString lastPrice; // last_price_2 afterwards
    } steps[] = {
        { "empty key", "", 1, {}, "", QString(), QStringLiteral("kept") },
        { "first selection: no unsubscription", "FO_CL_1907", 1,
            { { Kind::SubscribeDepth, "FO_CL_1907", 0 }, { Kind::SubscribeTicker, "FO_CL_1907", 0 },
                { Kind::QueryKLine, "FO_CL_1907", 1 } },
            "FO_CL_1907", QStringLiteral("美原油 CL1907"), QStringLiteral("---") },
        { "same key, other period: depth and trades renewed, panels kept", "FO_CL_1907", 5,
            { { Kind::SubscribeDepth, "FO_CL_1907", 0 }, { Kind::SubscribeTicker, "FO_CL_1907", 0 },
                { Kind::QueryKLine, "FO_CL_1907", 5 } },
            "FO_CL_1907", QStringLiteral("美原油 CL1907"), QStringLiteral("kept") },
        { "new key with a cached quote", "FO_GC_2612", 2,
            { { Kind::UnSubscribeDepth, "FO_CL_1907", 0 }, { Kind::UnSubscribeTicker, "FO_CL_1907", 0 },
                { Kind::SubscribeDepth, "FO_GC_2612", 0 }, { Kind::SubscribeTicker, "FO_GC_2612", 0 },
                { Kind::QueryKLine, "FO_GC_2612", 2 } },
            "FO_GC_2612", QStringLiteral("美黄金 GC2612"), QStringLiteral("2045.5") },
        { "key without commodity keeps the caption", "FO_XX_1", 9,
            { { Kind::UnSubscribeDepth, "FO_GC_2612", 0 }, { Kind::UnSubscribeTicker, "FO_GC_2612", 0 },
                { Kind::SubscribeDepth, "FO_XX_1", 0 }, { Kind::SubscribeTicker, "FO_XX_1", 0 },
                { Kind::QueryKLine, "FO_XX_1", 9 } },
            "FO_XX_1", QStringLiteral("美黄金 GC2612"), QStringLiteral("---") },
    };
    for (const auto& s : steps) {
        window.ticker(Tick(s.current, 1, 1, 1));
        // Marks that a real switch must wipe and a repeated key must keep.
        ui.last_price_2->setText(QStringLiteral("kept"));
        for (QLabel* l : DepthLabels(ui))
            l->setText(QStringLiteral("d"));
        for (QLabel* l : TickerLabels(ui))
            l->setText(QStringLiteral("t"));
        const size_t ticksBefore = window.tickCount();
        const size_t before = window.requests.size();
        const bool switched = !s.key.empty() && s.key != window.currentKey();

        window.select(s.key, s.period);

        const std::vector<Request> sent(
            window.requests.begin() + static_cast<long>(before), window.requests.end());
        EXPECT_EQ(sent, s.requests) << s.what;
        EXPECT_EQ(window.currentKey(), s.current) << s.what;
        EXPECT_EQ(ui.current_contract->text(), s.contract) << s.what;
        EXPECT_EQ(ui.last_price_2->text(), s.lastPrice) << s.what;
        if (s.lastPrice == QStringLiteral("---")) {
            for (QLabel* l : DetailLabels(ui))
                EXPECT_EQ(l->text(), QStringLiteral("---")) << s.what << " " << l->objectName().toStdString();
        }
        for (QLabel* l : DepthLabels(ui))
            EXPECT_EQ(l->text(), switched ? QStringLiteral("---") : QStringLiteral("d")) << s.what;
        for (QLabel* l : TickerLabels(ui))
            EXPECT_EQ(l->text(), switched ? QString() : QStringLiteral("t")) << s.what;
        EXPECT_EQ(window.tickCount(), switched ? 0u : ticksBefore) << s.what;
    }
    // The detail panel of the quoted contract was filled from the cache.
    window.select("FO_GC_2612", 1);
    EXPECT_EQ(ui.presttle->text(), QStringLiteral("2040"));
    EXPECT_EQ(ui.vol->text(), QStringLiteral("1234"));
}

TEST_F(SelectionTest, DetailColoursFollowThePreviousSettlement)
{
    auto& ui = window.ui();
    window.select("FO_CL_1907", 1);
    struct Case {
        const char* what;
        double price;
        const QString& style;
        const char* text;
    } cases[] = {
        { "at", 100.0, kUp, "100" },
        { "above", 100.5, kUp, "100.5" },
        { "below", 99.5, kDown, "99.5" },
        { "below within the tolerance", 100.0 - 1e-11, kUp, "100" },
        { "below beyond the tolerance", 100.0 - 1e-9, kDown, "100" },
        { "NaN", kNaN, kDown, "--" },
        { "infinite", kInf, kUp, "--" },
        { "huge", -1e308, kDown, "-1e+308" },
    };
    for (const auto& c : cases) {
        QuoteDetailField q = MakeQuote("FO_CL_1907", c.price, 100);
        q.set_open(c.price);
        q.set_high(c.price);
        q.set_low(c.price);
        q.set_ask_price(c.price);
        q.set_bid_price(c.price);
        q.set_volume(42);
        window.quote(q);
        EXPECT_EQ(ui.last_price_2->styleSheet(), c.style + kFont) << c.what;
        for (QLabel* l : { ui.open_price, ui.high_price, ui.low_price, ui.ask_price_2, ui.bid_price_2,
                 ui.ask_price, ui.bid_price })
            EXPECT_EQ(l->styleSheet(), c.style) << c.what << " " << l->objectName().toStdString();
        for (QLabel* l : { ui.last_vol, ui.vol, ui.position_vol, ui.presttle, ui.ask_vol, ui.bid_vol })
            EXPECT_EQ(l->styleSheet(), kNeutral) << c.what;
        EXPECT_EQ(ui.last_price_2->text(), QString::fromLatin1(c.text)) << c.what;
        EXPECT_EQ(ui.vol->text(), QStringLiteral("42")) << c.what;
    }

    // Ask and bid follow their own prices.
    QuoteDetailField q = MakeQuote("FO_CL_1907", 100, 100);
    q.set_ask_price(101);
    q.set_bid_price(99);
    window.quote(q);
    EXPECT_EQ(ui.ask_price->styleSheet(), kUp);
    EXPECT_EQ(ui.ask_price_2->styleSheet(), kUp);
    EXPECT_EQ(ui.bid_price->styleSheet(), kDown);
    EXPECT_EQ(ui.bid_price_2->styleSheet(), kDown);
    EXPECT_EQ(ui.ask_price->text(), QStringLiteral("101"));

    // Another contract's quote changes no label.
    window.quote(MakeQuote("FO_GC_2612", 1, 5));
    EXPECT_EQ(ui.last_price_2->text(), QStringLiteral("100"));
    EXPECT_EQ(ui.presttle->text(), QStringLiteral("100"));

    // A selection colours from the cached quote at once, as the quote would;
    // without one the "---" figures are neutral.
    QuoteDetailField gold = MakeQuote("FO_GC_2612", 2035.5, 2040);
    gold.set_ask_price(2036);
    gold.set_bid_price(2040);
    PushQuote(gold);
    window.select("FO_GC_2612", 1);
    EXPECT_EQ(ui.last_price_2->styleSheet(), kDown + kFont);
    EXPECT_EQ(ui.ask_price->styleSheet(), kDown);
    EXPECT_EQ(ui.ask_price_2->styleSheet(), kDown);
    EXPECT_EQ(ui.bid_price->styleSheet(), kUp);
    window.select("FO_SI_1", 1);
    for (QLabel* l : { ui.last_price_2, ui.ask_price, ui.bid_price, ui.open_price })
        EXPECT_EQ(l->styleSheet().left(kNeutral.size()), kNeutral) << l->objectName().toStdString();
}

TEST_F(SelectionTest, DepthLevelsTwoToFiveAgainstTheShownSettlement)
{
    auto& ui = window.ui();
    window.select("FO_CL_1907", 1);
    ASSERT_EQ(ui.presttle->text(), QStringLiteral("---"));

    // With "---" shown the reference is 0.
    window.depth(Depth("FO_CL_1907", 2, 0, 5, -1, 6));
    EXPECT_EQ(ui.ask_price2->text(), QStringLiteral("0"));
    EXPECT_EQ(ui.ask_price2->styleSheet(), QStringLiteral("color: rgb( 255,60, 60)"));
    EXPECT_EQ(ui.bid_price2->styleSheet(), QStringLiteral("color: rgb(0, 220, 0)"));
    EXPECT_EQ(ui.ask_vol2->text(), QStringLiteral("5"));
    EXPECT_EQ(ui.bid_vol2->styleSheet(), QStringLiteral("color: rgb(220, 220, 10)"));

    window.quote(MakeQuote("FO_CL_1907", 56.23, 56.64));
    ASSERT_EQ(ui.presttle->text(), QStringLiteral("56.64"));
    struct Case {
        unsigned level;
        QLabel *askPrice, *askVol, *bidPrice, *bidVol;
    } cases[] = {
        { 2, ui.ask_price2, ui.ask_vol2, ui.bid_price2, ui.bid_vol2 },
        { 3, ui.ask_price3, ui.ask_vol3, ui.bid_price3, ui.bid_vol3 },
        { 4, ui.ask_price4, ui.ask_vol4, ui.bid_price4, ui.bid_vol4 },
        { 5, ui.ask_price5, ui.ask_vol5, ui.bid_price5, ui.bid_vol5 },
    };
    for (const auto& c : cases) {
        window.depth(Depth("FO_CL_1907", c.level, 56.64 + c.level / 100.0, 10 + c.level,
            56.64 - c.level / 100.0, 20 + c.level));
        EXPECT_EQ(c.askPrice->text(), QString::number(56.64 + c.level / 100.0, 'g', 6));
        EXPECT_EQ(c.askPrice->styleSheet(), QStringLiteral("color: rgb( 255,60, 60)"));
        EXPECT_EQ(c.bidPrice->styleSheet(), QStringLiteral("color: rgb(0, 220, 0)"));
        EXPECT_EQ(c.askVol->text(), QString::number(10 + c.level));
        EXPECT_EQ(c.bidVol->text(), QString::number(20 + c.level));
        EXPECT_EQ(c.askVol->styleSheet(), QStringLiteral("color: rgb(220, 220, 10)"));
    }

    // Levels 0, 1, 6 and pushes of other contracts change nothing; level 1
    // labels belong to the quote detail.
    std::vector<QString> before;
    for (QLabel* l : DepthLabels(ui))
        before.push_back(l->text() + l->styleSheet());
    const QString level1 = ui.ask_price->text();
    for (const DepthQuoteField& d : { Depth("FO_CL_1907", 0, 1, 1, 1, 1), Depth("FO_CL_1907", 1, 2, 2, 2, 2),
             Depth("FO_CL_1907", 6, 3, 3, 3, 3), Depth("FO_GC_2612", 3, 4, 4, 4, 4),
             Depth("", 2, kNaN, kInf, -kInf, kNaN) })
        window.depth(d);
    std::vector<QString> after;
    for (QLabel* l : DepthLabels(ui))
        after.push_back(l->text() + l->styleSheet());
    EXPECT_EQ(after, before);
    EXPECT_EQ(ui.ask_price->text(), level1);

    // Prices that are not numbers still land without fault.
    window.depth(Depth("FO_CL_1907", 4, kNaN, kInf, -kInf, kNaN));
    EXPECT_EQ(ui.ask_price4->text() + ui.ask_vol4->text() + ui.bid_price4->text(), QStringLiteral("------"));
    EXPECT_EQ(ui.ask_price4->styleSheet(), QStringLiteral("color: rgb(0, 220, 0)"));
    // Figures too large for fixed notation come in their exponent form.
    window.depth(Depth("FO_CL_1907", 5, 1e308, 1e308, -1e308, 9223372036854775807.0));
    EXPECT_EQ(ui.ask_vol5->text() + ' ' + ui.bid_price5->text() + ' ' + ui.bid_vol5->text(),
        QStringLiteral("1e+308 -1e+308 9.22337e+18"));
}

TEST_F(SelectionTest, TradeListSlidesEightRows)
{
    auto& ui = window.ui();
    window.select("FO_CL_1907", 1);
    const QLabel* const prices[] = { ui.ticker_price_0, ui.ticker_price_1, ui.ticker_price_2,
        ui.ticker_price_3, ui.ticker_price_4, ui.ticker_price_5, ui.ticker_price_6, ui.ticker_price_7 };
    const std::uint64_t base = 1700000000000ULL;
    for (int i = 1; i <= 9; ++i) {
        // A tick of another contract is listed like any other.
        const std::string key = i == 5 ? "FO_GC_2612" : "FO_CL_1907";
        window.ticker(Tick(key, base + static_cast<std::uint64_t>(i) * 1000, i, i * 10));
        // The list fills from the top row down, oldest first; from the
        // eighth tick on the newest sits on the bottom row.
        const int shown = std::min(i, 8);
        const int oldest = i - shown + 1;
        for (int row = 0; row < 8; ++row) {
            const int k = 7 - row; // position in the list
            const QString expected = k < shown ? QString::number(oldest + k) : QString();
            EXPECT_EQ(prices[row]->text(), expected) << "after tick " << i << ", row " << row;
        }
    }
    EXPECT_EQ(window.tickCount(), 8u);
    EXPECT_EQ(ui.ticker_vol_0->text(), QStringLiteral("90"));
    EXPECT_EQ(ui.ticker_time_0->text(), QString::fromStdString(MsToString(base + 9000)).mid(11, 8));
    EXPECT_EQ(ui.ticker_time_7->text(), QString::fromStdString(MsToString(base + 2000)).mid(11, 8));
    EXPECT_EQ(ui.ticker_time_0->text().size(), 8);
    EXPECT_EQ(ui.ticker_time_0->text()[2], QLatin1Char(':'));

    // After a switch the first tick lands on the top row.
    window.select("FO_GC_2612", 1);
    window.ticker(Tick("FO_GC_2612", base, 2045.25, 3));
    EXPECT_EQ(ui.ticker_price_7->text(), QStringLiteral("2045.25"));
    EXPECT_EQ(ui.ticker_vol_7->text(), QStringLiteral("3"));
    EXPECT_EQ(ui.ticker_price_0->text(), QString());

    // Times far outside the calendar and prices that are not numbers.
    for (const TickerField& t : { Tick("FO_GC_2612", std::numeric_limits<std::uint64_t>::max(), kNaN, kInf),
             Tick("FO_GC_2612", 0, -kInf, -1) })
        window.ticker(t);
    EXPECT_EQ(window.tickCount(), 3u);
    EXPECT_EQ(ui.ticker_price_6->text() + ui.ticker_vol_6->text(), QStringLiteral("----"));
    EXPECT_LE(ui.ticker_time_6->text().size(), 8);
    window.ticker(Tick("FO_GC_2612", 0, 1e308, -9223372036854775807.0));
    EXPECT_EQ(
        ui.ticker_price_4->text() + ' ' + ui.ticker_vol_4->text(), QStringLiteral("1e+308 -9.22337e+18"));
}

TEST_F(SelectionTest, KlineRepliesCreateTheChartViewOnceAndShowThePageWhenLoggedIn)
{
    auto& ui = window.ui();
    window.initUi();
    ui.tabWidget->setCurrentIndex(0);
    ASSERT_NE(window.chartHost(), nullptr);
    ASSERT_EQ(window.chartView(), nullptr);

    struct Step {
        const char* what;
        bool loggedIn;
        RspReqQryHistoryField reply;
        int page;
    } steps[] = {
        { "first reply, logged out", false, Kline("FO_CL_1907", 1, 30), 0 },
        { "no bars", false, Kline("FO_CL_1907", 1, 0), 0 },
        { "thousands of bars", false, Kline("FO_CL_1907", 2, 5000), 0 },
        { "NaN prices", false, Kline("FO_CL_1907", 1, 20, kNaN), 0 },
        { "infinite prices", false, Kline("FO_CL_1907", 1, 20, kInf), 0 },
        { "time-sharing", false, Kline("FO_CL_1907", 0, 200), 0 },
        { "unknown commodity", false, Kline("FO_ZZ_1", 1, 10), 0 },
        { "logged in", true, Kline("FO_GC_2612", 9, 10), 1 },
    };
    IChartell* first = nullptr;
    for (const auto& s : steps) {
        window.setLoggedIn(s.loggedIn);
        window.expandButton()->show();
        window.kline(s.reply);
        ASSERT_NE(window.chartView(), nullptr) << s.what;
        if (!first)
            first = window.chartView();
        EXPECT_EQ(window.chartView(), first) << "created once: " << s.what;
        EXPECT_EQ(window.chartHost()->ChartView(), first) << s.what;
        EXPECT_EQ(window.chartHost()->findChildren<QWidget*>().size(), 1)
            << "drawn inside the host: " << s.what;
        EXPECT_EQ(ui.tabWidget->currentIndex(), s.page) << s.what;
        EXPECT_EQ(window.expandButton()->isVisibleTo(&window), !s.loggedIn) << s.what;
        // Quotes of any contract reach the real view without fault.
        window.quote(MakeQuote(s.reply.contract_code(), 11, 10));
        window.quote(MakeQuote("FO_CL_1907", kNaN, kInf));
        QApplication::processEvents();
    }
}

TEST_F(SelectionTest, EveryQuoteReachesTheChartViewOnceItExists)
{
    // Before the view exists quotes go nowhere, without fault.
    window.quote(MakeQuote("FO_CL_1907", 1, 1));

    testing::StrictMock<MockChartell> chart;
    ScopedChartView scoped(window, &chart);
    window.select("FO_CL_1907", 1);

    {
        testing::InSequence order;
        EXPECT_CALL(chart,
            ShowKlines(testing::Truly([](const CommodityField& c) {
                return c.commodity_no() == "CL" && c.security_type() == 1;
            }),
                "FO_CL_1907", testing::Truly([](const QuoteDetailField& q) { return q.last() == 57.5; }), 5,
                testing::SizeIs(3)));
        EXPECT_CALL(chart,
            ShowKlines(_, "FI_IF_2701", testing::Truly([](const QuoteDetailField& q) {
                return q.contract_code().empty() && q.last() == 0;
            }),
                1, testing::IsEmpty()));
    }
    EXPECT_CALL(chart, UpdateQuote(testing::Truly([](const QuoteDetailField& q) {
        return q.contract_code() == "FO_CL_1907";
    }))).Times(2);
    EXPECT_CALL(chart, UpdateQuote(testing::Truly([](const QuoteDetailField& q) {
        return q.contract_code() != "FO_CL_1907";
    }))).Times(3);

    PushQuote(MakeQuote("FO_CL_1907", 57.5, 56.64)); // reaches the view through the quote signal
    EXPECT_TRUE(WaitFor([&] { return window.ui().last_price_2->text() == QStringLiteral("57.5"); }));
    window.kline(Kline("FO_CL_1907", 5, 3));
    window.kline(Kline("FO_ZZ_9", 1, 3)); // no such commodity: not shown
    window.kline(Kline("XX", 1, 3)); // not a key at all
    window.kline(Kline("FI_IF_2701", 1, 0)); // nothing cached: a default quote
    window.quote(MakeQuote("FO_CL_1907", 57.75, 56.64));
    window.quote(MakeQuote("FO_GC_2612", 1, 1));
    window.quote(MakeQuote("", 0, 0));
    window.quote(QuoteDetailField());
}

TEST_F(SelectionTest, RowClicksPickAndDoubleClicksSelect)
{
    window.rebuild(1);
    // Rows of type 1: 0 = FO_CL_1907, 1 = FO_GC_2612.
    window.rowClicked(1, 1);
    EXPECT_EQ(window.selectedKey(), "FO_GC_2612");
    EXPECT_TRUE(window.requests.empty()) << "a click only picks";

    window.rowDoubleClicked(1, 0);
    EXPECT_EQ(window.selectedKey(), "FO_CL_1907");
    EXPECT_EQ(window.currentKey(), "FO_CL_1907");
    ASSERT_FALSE(window.requests.empty());
    EXPECT_EQ(window.requests.back(), (Request { Kind::QueryKLine, "FO_CL_1907", 1 }));

    // A row the table does not have, or a table without rows: nothing.
    const size_t sent = window.requests.size();
    window.rowClicked(1, 7);
    window.rowDoubleClicked(1, 7);
    window.rowDoubleClicked(3, 0);
    EXPECT_EQ(window.requests.size(), sent);
    EXPECT_EQ(window.selectedKey(), "FO_CL_1907");
}

TEST_F(SelectionTest, LoginShowsTheChartPageOnlyWhenAsked)
{
    auto& ui = window.ui();
    struct Case {
        bool needChange;
        int page;
    } cases[] = { { false, 0 }, { true, 1 } };
    for (const auto& c : cases) {
        window.setLoggedIn(false);
        ui.tabWidget->setCurrentIndex(0);
        window.expandButton()->show();
        window.login(c.needChange);
        EXPECT_TRUE(window.loggedIn());
        EXPECT_EQ(ui.tabWidget->currentIndex(), c.page);
        EXPECT_EQ(window.expandButton()->isVisibleTo(&window), !c.needChange);
        EXPECT_FALSE(window.collapseButton()->isVisibleTo(&window));
    }
}

TEST_F(SelectionTest, FindCommodityMatchesTypeAndNumber)
{
    const std::vector<CommodityField> list = {
        MakeCommodity(2, "X", "CL", "a"),
        MakeCommodity(1, "X", "CL", "b"),
        MakeCommodity(1, "X", "CL", "c"),
        MakeCommodity(0, "X", "", "d"),
    };
    struct Case {
        std::string key;
        long index; // -1: none
    } cases[] = {
        { "FO_CL_1907", 1 },
        { "FO_CL", 1 },
        { "FI_CL_1", 0 },
        { "C_CL_1", -1 },
        { "FO_GC_1", -1 },
        { "fo_CL_1", -1 },
        // Not a key: type 0 and no commodity number, like the commodity at 3.
        { "FO_CL_1_2", 3 },
        { "", 3 },
        { "CL", 3 },
    };
    for (const auto& c : cases) {
        RspReqQryHistoryField reply;
        reply.set_contract_code(c.key);
        const auto found = Quorvel::FindCommodity(list.cbegin(), list.cend(), reply);
        const long index = found == list.cend() ? -1 : found - list.cbegin();
        EXPECT_EQ(index, c.index) << c.key;
    }
    // An empty range finds nothing.
    RspReqQryHistoryField reply;
    reply.set_contract_code("FO_CL_1907");
    EXPECT_EQ(Quorvel::FindCommodity(list.cend(), list.cend(), reply), list.cend());
}

TEST_F(SelectionTest, ConnectionLossKeepsTheChartPageWorking)
{
    auto& ui = window.ui();
    window.initUi();
    window.setLoggedIn(true);
    window.select("FO_CL_1907", 1);
    window.kline(Kline("FO_CL_1907", 1, 50));
    ASSERT_EQ(ui.tabWidget->currentIndex(), 1);

    window.connected();
    EXPECT_TRUE(window.isConnected());
    window.quote(MakeQuote("FO_CL_1907", 60.5, 60));
    window.depth(Depth("FO_CL_1907", 2, 61, 1, 59, 1));
    window.ticker(Tick("FO_CL_1907", 1, 60.5, 2));
    window.disconnected();
    EXPECT_FALSE(window.isConnected());
    // Nothing of the lost connection stays as if it were live.
    for (QLabel* l : DetailLabels(ui))
        EXPECT_EQ(l->text(), QStringLiteral("---")) << l->objectName().toStdString();
    EXPECT_EQ(ui.last_price_2->styleSheet().left(25), QStringLiteral("color: rgb(220, 220, 10);"));
    for (QLabel* l : DepthLabels(ui))
        EXPECT_EQ(l->text(), QStringLiteral("---"));
    for (QLabel* l : TickerLabels(ui))
        EXPECT_EQ(l->text(), QString());
    EXPECT_EQ(window.tickCount(), 0u);
    // The page stays; pushes after the reconnection are shown again.
    EXPECT_EQ(ui.tabWidget->currentIndex(), 1);
    window.connected();
    window.depth(Depth("FO_CL_1907", 2, 60.4, 1, 59, 1));
    QuoteDetailField moved = MakeQuote("FO_CL_1907", 60.5, 60);
    moved.set_ask_price(60.6);
    window.quote(moved);
    EXPECT_EQ(ui.last_price_2->text(), QStringLiteral("60.5"));
    // A level 2 that crosses the new level 1 is dropped rather than shown,
    // and so is a depth push inside the level 1 on show.
    EXPECT_EQ(ui.ask_price2->text(), QStringLiteral("---"));
    window.depth(Depth("FO_CL_1907", 2, 60.7, 1, 59, 1));
    EXPECT_EQ(ui.ask_price2->text(), QStringLiteral("60.7"));
    window.depth(Depth("FO_CL_1907", 2, 60.6, 1, 59, 1));
    EXPECT_EQ(ui.ask_price2->text(), QStringLiteral("---"));
    // Selecting the same key again renews its depth and trades.
    const size_t sent = window.requests.size();
    window.select("FO_CL_1907", 1);
    ASSERT_EQ(window.requests.size(), sent + 3);
    EXPECT_EQ(window.requests[sent].kind, Kind::SubscribeDepth);
}

// Run by CTest at the default DPI and again at 96, 120, 144 and 192 DPI.
TEST_F(SelectionTest, LegiblePanelFiguresAtTheScreensDpi)
{
    auto& ui = window.ui();
    window.InitUi();
    ui.tabWidget->setCurrentIndex(1);
    window.show();

    QuoteDetailField q = MakeQuote("FO_CL_1907", 6019.25, 6021.5);
    q.set_last_vol(12345);
    q.set_volume(123456789);
    q.set_position(12345678);
    q.set_open(6021.75);
    q.set_high(6088.25);
    q.set_low(5999.75);
    q.set_ask_price(6019.75);
    q.set_ask_vol(23456);
    q.set_bid_price(6019.25);
    q.set_bid_vol(34567);
    PushQuote(q);
    window.select("FO_CL_1907", 1);
    window.quote(q);
    for (unsigned level = 2; level <= 5; ++level)
        window.depth(Depth("FO_CL_1907", level, 6019.75 + level, 123456, 6019.25 - level, 234567));
    for (int i = 0; i < 8; ++i)
        window.ticker(
            Tick("FO_CL_1907", 1700000000000ULL + static_cast<std::uint64_t>(i) * 1000, 6019.25, 12345));

    std::vector<QLabel*> labels = DetailLabels(ui);
    for (const auto& more : { DepthLabels(ui), TickerLabels(ui) })
        labels.insert(labels.end(), more.begin(), more.end());
    labels.push_back(ui.current_contract);
    const auto whole = [](const QLabel* label) { return label->width() >= label->minimumSizeHint().width(); };
    // The panels are laid out again from the event loop.
    WaitFor([&] { return std::all_of(labels.begin(), labels.end(), whole); }, 2000);
    for (const QLabel* label : labels)
        EXPECT_TRUE(whole(label)) << label->objectName().toStdString() << " " << label->text().toStdString();
}

// A flood from the receiving thread while the GUI thread is busy wakes it once,
// and the panels show the latest values.
TEST_F(SelectionTest, AFloodFromTheReceivingThreadWakesTheWindowOnce)
{
    auto& ui = window.ui();
    window.select("FO_CL_1907", 1);
    NQuoteClientProbe::Subscribe("FO_CL_1907");
    QCoreApplication::processEvents();
    struct WakeCounter : QObject {
        int wakes = 0;
        bool eventFilter(QObject*, QEvent* e) override
        {
            wakes += e->type() == QEvent::MetaCall
                || (e->type() >= QEvent::User && e->type() <= QEvent::MaxUser);
            return false;
        }
    } counter;
    NQuoteClient::Instance()->installEventFilter(&counter);
    const int n = 100000;
    std::thread api([] {
        auto* spi = static_cast<COstrelSpi*>(NQuoteClient::Instance());
        for (int i = 1; i <= n; ++i) {
            const QuoteDetailField q = MakeQuote(i % 3 ? "FO_GC_2612" : "FO_CL_1907", i, 1);
            spi->OnRtnQuote(&q);
            const DepthQuoteField d = Depth("FO_CL_1907", 2 + i % 4, i, i, -i, i);
            spi->OnRtnDepthQuote(&d);
            const TickerField t = Tick("FO_CL_1907", 1700000000000ULL, i, 1);
            spi->OnRtnTicker(&t);
        }
    });
    api.join();
    EXPECT_TRUE(WaitFor([&] { return ui.ticker_price_0->text() == QString::number(n); }));
    NQuoteClient::Instance()->removeEventFilter(&counter);
    EXPECT_EQ(counter.wakes, 1);
    EXPECT_EQ(ui.last_price_2->text(), QString::number(n - 1)); // the last of FO_CL_1907
    for (const QLabel* label : { ui.ask_price2, ui.ask_price3, ui.ask_price4, ui.ask_price5 })
        EXPECT_GE(label->text().toInt(), n - 3);
    EXPECT_EQ(ui.ask_price2->text(), QString::number(n));
    EXPECT_EQ(ui.ticker_price_0->text(), QString::number(n));
    EXPECT_EQ(ui.ticker_price_7->text(), QString::number(n - 7));
}

TEST_F(SelectionTest, TheCaptionNamesTheContractWhosePricesItShows)
{
    const struct {
        const char* key;
        const char* caption;
    } cases[] = {
        { "FO_CL_1906", "美原油 CL1906" }, // not the main contract, 1907
        { "FO_CL_1907", "美原油 CL1907" },
        { "FO_CL", "美原油 CL" },
        { "FI_IF_2701", "沪深300 IF2701" },
    };
    for (const auto& c : cases) {
        window.select(c.key, 1);
        EXPECT_EQ(window.ui().current_contract->text(), QString::fromUtf8(c.caption)) << c.key;
    }
}
