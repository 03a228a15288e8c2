#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "chartfixtures.h"
#include "chartmodel.h"

using chartell::ChartGeometry;
using chartell::ChartModel;
using kw::pb::ostrel2::CommodityField;
using kw::pb::ostrel2::KlineDataField;
using kw::pb::ostrel2::QuoteDetailField;

namespace
{

ChartModel Shown(const std::vector<KlineDataField>& lines, int period = 1,
    const QuoteDetailField& quote = QuoteDetailField())
{
    ChartModel m;
    m.Show(Crude(), "FO_CL_1907", quote, period, lines);
    return m;
}

// Plot 800 px wide (the price axis takes the rest), 100 candles fit.
const QSize kCanvas(800 + ChartGeometry::kAxisWidth, 600);

} // namespace

TEST(ChartGeometryTest, BarsMapToPixels)
{
    const ChartModel m = Shown({ Line(10, 12, 9, 11), Line(11, 14, 10, 13), Line(13, 13, 8, 9) });
    const ChartGeometry g = ChartGeometry::Compute(kCanvas, m);
    ASSERT_EQ(g.first, 0);
    ASSERT_EQ(g.count, 3);
    EXPECT_EQ(g.pricePane.width(), 800);

    // Lowest low 8, highest high 14, five per cent room on each side.
    EXPECT_DOUBLE_EQ(g.priceLow, 8 - 0.3);
    EXPECT_DOUBLE_EQ(g.priceHigh, 14 + 0.3);

    struct Case {
        double price;
        double fraction;
    } cases[] = {
        { 14.3, 0.0 },
        { 7.7, 1.0 },
        { 11.0, 0.5 },
        { 14.0, 0.3 / 6.6 },
        { 8.0, 6.3 / 6.6 },
    };
    for (const auto& c : cases)
        EXPECT_NEAR(g.YOfPrice(c.price), g.pricePane.top() + c.fraction * g.pricePane.height(), 1e-9)
            << c.price;
    EXPECT_LT(g.YOfPrice(13), g.YOfPrice(12)) << "a higher price is drawn higher up";

    for (int i = 0; i < 3; ++i)
        EXPECT_DOUBLE_EQ(g.XOf(i), (i + 0.5) * ChartGeometry::kCandleStep);
    EXPECT_GE(g.volumePane.top(), g.pricePane.bottom());
    EXPECT_DOUBLE_EQ(g.YOfVolume(10), g.volumePane.top());
    EXPECT_DOUBLE_EQ(g.YOfVolume(0), g.volumePane.top() + g.volumePane.height());
}

TEST(ChartGeometryTest, ThousandsOfBarsKeepTheNewestInView)
{
    std::vector<KlineDataField> lines;
    lines.push_back(Line(100, 1000, 1, 100)); // a spike that scrolls out of view
    for (int i = 1; i < 5000; ++i)
        lines.push_back(Line(100 + i % 7, 110, 95, 101, i));
    const ChartModel m = Shown(lines);
    const ChartGeometry g = ChartGeometry::Compute(kCanvas, m);
    EXPECT_EQ(g.count, 100);
    EXPECT_EQ(g.first, 4900);
    EXPECT_LT(g.priceHigh, 200) << "range from the visible bars only";
    EXPECT_GT(g.priceLow, 50);
    EXPECT_DOUBLE_EQ(g.XOf(4999), 800 - ChartGeometry::kCandleStep / 2);
    EXPECT_DOUBLE_EQ(g.volumeHigh, 4999);
}

TEST(ChartGeometryTest, TimeSharingSpreadsClosesAndCentresTheReference)
{
    std::vector<KlineDataField> lines;
    for (int i = 0; i < 400; ++i)
        lines.push_back(Line(0, 0, 0, 50 + (i % 3)));
    const ChartModel m = Shown(lines, 0, Quote("FO_CL_1907", 51, 0, 48));
    const ChartGeometry g = ChartGeometry::Compute(kCanvas, m);
    EXPECT_EQ(g.count, 400);
    EXPECT_DOUBLE_EQ(g.step, 2.0);
    // Closes run 50..52 against a reference of 48: the range is 44..52 plus room.
    EXPECT_NEAR(g.YOfPrice(48), g.pricePane.top() + g.pricePane.height() / 2.0, 1e-9);
    EXPECT_LT(g.priceLow, 44.0);
    EXPECT_GT(g.priceHigh, 52.0);

    // More points than pixels: the newest ones, one a pixel.
    std::vector<KlineDataField> many(3000, Line(1, 1, 1, 1));
    const ChartGeometry dense = ChartGeometry::Compute(kCanvas, Shown(many, 0));
    EXPECT_EQ(dense.count, 800);
    EXPECT_EQ(dense.first, 2200);
}

TEST(ChartGeometryTest, DegenerateInputsGiveAUsableRange)
{
    struct Case {
        const char* what;
        std::vector<KlineDataField> lines;
        QSize size;
        int count;
    } cases[] = {
        { "no bars", {}, kCanvas, 0 },
        { "one flat bar", { Line(5, 5, 5, 5) }, kCanvas, 1 },
        { "all zero", { Line(0, 0, 0, 0) }, kCanvas, 1 },
        { "huge spread", { Line(-1e308, 1e308, -1e308, 1e308) }, kCanvas, 1 },
        { "tiny canvas", { Line(1, 2, 0, 1), Line(1, 2, 0, 1) }, QSize(3, 3), 1 },
        { "empty canvas", { Line(1, 2, 0, 1) }, QSize(0, 0), 1 },
    };
    for (const auto& c : cases) {
        const ChartGeometry g = ChartGeometry::Compute(c.size, Shown(c.lines));
        EXPECT_EQ(g.count, c.count) << c.what;
        EXPECT_LT(g.priceLow, g.priceHigh) << c.what;
        EXPECT_TRUE(std::isfinite(g.YOfPrice(0))) << c.what;
        EXPECT_GT(g.pricePane.height(), 0) << c.what;
    }
}

TEST(ChartModelTest, ShowKeepsFiniteBarsAndTheirTitle)
{
    const ChartModel m = Shown({ Line(1, 2, 0.5, 1.5, 7), Line(kNaN, 2, 1, 1), Line(1, kInf, 1, 1),
                                   Line(1, 2, -kInf, 1), Line(1, 2, 1, kNaN), Line(3, 2, 4, 1, kNaN) },
        5);
    ASSERT_EQ(m.Bars().size(), 2u);
    EXPECT_DOUBLE_EQ(m.Bars()[0].volume, 7);
    // High and low that do not enclose open and close are widened.
    EXPECT_DOUBLE_EQ(m.Bars()[1].high, 4);
    EXPECT_DOUBLE_EQ(m.Bars()[1].low, 1);
    EXPECT_DOUBLE_EQ(m.Bars()[1].volume, 0);
    EXPECT_EQ(m.Decimals(), 2);
    EXPECT_EQ(m.Title(), QStringLiteral("美原油 FO_CL_1907 1小时"));
    EXPECT_EQ(ChartModel::PeriodName(0), QStringLiteral("分时"));
    EXPECT_EQ(ChartModel::PeriodName(9), QStringLiteral("日线"));
}

TEST(ChartModelTest, QuotesMoveTheLastBarOfTheContractOnScreen)
{
    struct Step {
        const char* what;
        QuoteDetailField quote;
        bool moved;
        double close, high, low, volume;
    } steps[] = {
        // The bar starts at open 10, high 12, low 9, close 11, volume 5; the
        // first quote's total volume 1000 was given with the bars.
        { "other contract", Quote("FO_CL_1908", 50, 2000), false, 11, 12, 9, 5 },
        { "default quote", QuoteDetailField(), false, 11, 12, 9, 5 },
        { "inside the bar", Quote("FO_CL_1907", 10.5, 1003), true, 10.5, 12, 9, 8 },
        { "new high", Quote("FO_CL_1907", 13, 1010), true, 13, 13, 9, 15 },
        { "new low", Quote("FO_CL_1907", 8.25, 1010), true, 8.25, 13, 8.25, 15 },
        { "NaN last", Quote("FO_CL_1907", kNaN, 1100), false, 8.25, 13, 8.25, 15 },
        { "infinite last", Quote("FO_CL_1907", kInf, 1100), false, 8.25, 13, 8.25, 15 },
        { "no trade yet", Quote("FO_CL_1907", 0, 1100), false, 8.25, 13, 8.25, 15 },
        { "total falls: new day", Quote("FO_CL_1907", 9, 4), true, 9, 13, 8.25, 15 },
        { "grows from new base", Quote("FO_CL_1907", 9, 6), true, 9, 13, 8.25, 17 },
        { "NaN volume", Quote("FO_CL_1907", 9.5, kNaN), true, 9.5, 13, 8.25, 17 },
    };
    ChartModel m = Shown({ Line(1, 1, 1, 1), Line(10, 12, 9, 11, 5) }, 1, Quote("FO_CL_1907", 11, 1000));
    for (const auto& s : steps) {
        EXPECT_EQ(m.ApplyQuote(s.quote), s.moved) << s.what;
        const auto& bar = m.Bars().back();
        EXPECT_DOUBLE_EQ(bar.close, s.close) << s.what;
        EXPECT_DOUBLE_EQ(bar.high, s.high) << s.what;
        EXPECT_DOUBLE_EQ(bar.low, s.low) << s.what;
        EXPECT_DOUBLE_EQ(bar.volume, s.volume) << s.what;
        EXPECT_DOUBLE_EQ(bar.open, 10) << s.what;
        EXPECT_DOUBLE_EQ(m.Bars().front().close, 1) << "older bars never move: " << s.what;
    }
}

TEST(ChartModelTest, QuotesWithoutBarsChangeNothing)
{
    ChartModel m = Shown({});
    EXPECT_FALSE(m.ApplyQuote(Quote("FO_CL_1907", 10, 10)));
    EXPECT_TRUE(m.Bars().empty());
    ChartModel blank;
    EXPECT_FALSE(blank.ApplyQuote(QuoteDetailField()));
    EXPECT_TRUE(blank.Title().isEmpty());
}
