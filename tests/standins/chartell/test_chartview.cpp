#include <chrono>
#include <functional>
#include <limits>
#include <memory>
#include <thread>
#include <vector>

#include <QApplication>
#include <QElapsedTimer>
#include <QImage>
#include <QWidget>

#include <gtest/gtest.h>

#include "../../guiwait.h"
#include "chartell.h"
#include "chartfixtures.h"
#include "chartellview.h"

using chartell::ChartellView;
using chartell::ChartGeometry;
using kw::pb::ostrel2::CommodityField;
using kw::pb::ostrel2::KlineDataField;
using kw::pb::ostrel2::QuoteDetailField;

namespace
{

// A native host as the terminal gives one: shown, with a window id.
std::unique_ptr<QWidget> Host(int w = 600, int h = 400)
{
    auto host = std::make_unique<QWidget>();
    host->resize(w, h);
    host->show();
    host->winId();
    return host;
}

} // namespace

TEST(ChartViewTest, AttachFillsTheHostAndFollowsItsSize)
{
    ChartellView view;
    EXPECT_EQ(view.AttachWindow(0), -1);
    EXPECT_EQ(view.Canvas(), nullptr);

    auto host = Host();
    ASSERT_EQ(view.AttachWindow(host->winId()), 0);
    ASSERT_NE(view.Canvas(), nullptr);
    EXPECT_EQ(view.Canvas()->parentWidget(), host.get());
    EXPECT_EQ(view.Canvas()->geometry(), host->rect());

    host->resize(900, 500);
    QApplication::processEvents();
    EXPECT_EQ(view.Canvas()->geometry(), QRect(0, 0, 900, 500));

    // Attaching again moves the view; the old canvas goes.
    auto other = Host(300, 200);
    ASSERT_EQ(view.AttachWindow(other->winId()), 0);
    EXPECT_EQ(view.Canvas()->parentWidget(), other.get());
    EXPECT_TRUE(host->findChildren<chartell::ChartCanvas*>().isEmpty());
}

TEST(ChartViewTest, CandlesAreRedUpGreenDownOnBlack)
{
    auto host = Host(400 + ChartGeometry::kAxisWidth, 400);
    ChartellView view;
    ASSERT_EQ(view.AttachWindow(host->winId()), 0);
    // Bar 0 rises 10 -> 20, bar 1 falls 20 -> 10.
    view.ShowKlines(
        Crude(), "FO_CL_1907", QuoteDetailField(), 1, { Line(10, 20, 10, 20), Line(20, 20, 10, 10) });
    ASSERT_TRUE(WaitFor([&] { return view.Canvas()->PaintCount() > 0; }));

    const QImage image = view.Canvas()->grab().toImage();
    const ChartGeometry g = ChartGeometry::Compute(view.Canvas()->size(), view.Model());
    const int mid = static_cast<int>(g.YOfPrice(15));
    EXPECT_EQ(image.pixelColor(static_cast<int>(g.XOf(0)), mid), QColor(255, 60, 60));
    EXPECT_EQ(image.pixelColor(static_cast<int>(g.XOf(1)), mid), QColor(0, 220, 0));
    EXPECT_EQ(image.pixelColor(static_cast<int>(g.XOf(3)), mid), QColor(0, 0, 0));
    const int volumeRow = g.volumePane.bottom() - 1;
    EXPECT_EQ(image.pixelColor(static_cast<int>(g.XOf(0)), volumeRow), QColor(255, 60, 60));
}

TEST(ChartViewTest, QuotesRepaintAtMostAboutThirtyTimesASecond)
{
    auto host = Host();
    ChartellView view;
    ASSERT_EQ(view.AttachWindow(host->winId()), 0);
    view.ShowKlines(Crude(), "FO_CL_1907", Quote("FO_CL_1907", 10, 100), 1, { Line(10, 12, 9, 11) });
    ASSERT_TRUE(WaitFor([&] { return view.Canvas()->PaintCount() > 0; }));
    const int before = view.Canvas()->PaintCount();

    // A fixed number of quotes, about a millisecond apart. However slow the
    // machine, each repaint needs an interval of its own (less 5 % for a
    // coarse timer), so the bound only widens under load.
    QElapsedTimer t;
    t.start();
    constexpr int quotes = 250;
    for (int i = 0; i < quotes; ++i) {
        view.UpdateQuote(Quote("FO_CL_1907", 10 + (i % 5) * 0.01, 100 + i));
        QApplication::processEvents();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const qint64 elapsed = t.elapsed();
    ASSERT_TRUE(WaitFor([&] { return view.Canvas()->PaintCount() > before; }));
    const int paints = view.Canvas()->PaintCount() - before;
    EXPECT_LE(paints, elapsed * 100 / (95 * chartell::ChartCanvas::kRepaintInterval) + 2);
    EXPECT_DOUBLE_EQ(view.Model().Bars().back().volume, 10 + (quotes - 1));
}

TEST(ChartViewTest, BadInputPaintsWithoutFault)
{
    std::vector<KlineDataField> thousands;
    for (int i = 0; i < 20000; ++i)
        thousands.push_back(Line(100 + i % 13, 120, 90, 101 + i % 11, i));
    struct Case {
        const char* what;
        int period;
        std::vector<KlineDataField> lines;
        size_t kept;
    } cases[] = {
        { "no bars", 1, {}, 0 },
        { "no bars, time-sharing", 0, {}, 0 },
        { "time-sharing", 0, { Line(0, 0, 0, 5), Line(0, 0, 0, 6), Line(0, 0, 0, 4) }, 3 },
        { "NaN and infinite prices", 1, { Line(kNaN, 1, 1, 1), Line(1, kInf, 1, 1), Line(1, 2, 0, 1, kInf) },
            1 },
        { "thousands of bars", 2, thousands, thousands.size() },
        { "thousands, time-sharing", 0, thousands, thousands.size() },
        { "unknown period", 77, { Line(1, 2, 0, 1) }, 1 },
    };
    auto host = Host();
    ChartellView view;
    ASSERT_EQ(view.AttachWindow(host->winId()), 0);
    for (const auto& c : cases) {
        const int before = view.Canvas()->PaintCount();
        view.ShowKlines(Crude(), "FO_CL_1907", QuoteDetailField(), c.period, c.lines);
        view.UpdateQuote(QuoteDetailField());
        view.UpdateQuote(Quote("FO_CL_1907", kNaN, kInf));
        view.UpdateQuote(Quote("FO_CL_1907", kInf));
        view.UpdateQuote(Quote("FO_CL_1907", 55.5, 1e300));
        EXPECT_EQ(view.Model().Bars().size(), c.kept) << c.what;
        EXPECT_TRUE(WaitFor([&] { return view.Canvas()->PaintCount() > before; })) << c.what;
        EXPECT_FALSE(view.Canvas()->grab().isNull()) << c.what;
    }
}

TEST(ChartViewTest, ExportsSurviveTheWindowsCloseOrder)
{
    IChartell* view = CreateChartell();
    ASSERT_NE(view, nullptr);
    EXPECT_STREQ(view->GetVersion(), "1.0.0");
    // Before attaching, data are kept and nothing is drawn.
    view->ShowKlines(Crude(), "FO_CL_1907", QuoteDetailField(), 1, { Line(1, 2, 0, 1) });
    view->UpdateQuote(Quote("FO_CL_1907", 1.5));

    auto host = Host();
    EXPECT_EQ(view->AttachWindow(host->winId()), 0);
    EXPECT_EQ(host->findChildren<QWidget*>().size(), 1);
    view->UpdateQuote(Quote("FO_CL_1907", 1.75));
    // The window destroys the host first, then releases and deletes the view.
    host.reset();
    view->UpdateQuote(Quote("FO_CL_1907", 1.8));
    view->Release();
    view->UpdateQuote(Quote("FO_CL_1907", 1.9));
    DeleteChartell(view);
    DeleteChartell(nullptr);

    // Deleted while still attached: the canvas goes with it.
    auto host2 = Host();
    IChartell* second = CreateChartell();
    ASSERT_EQ(second->AttachWindow(host2->winId()), 0);
    DeleteChartell(second);
    EXPECT_TRUE(host2->findChildren<QWidget*>().isEmpty());
    QApplication::processEvents();
}
