#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include <malloc.h>

#include <QGuiApplication>
#include <QLineEdit>
#include <QMouseEvent>
#include <QMovie>
#include <QRegularExpression>
#include <QScreen>
#include <QStatusBar>
#include <QStyle>
#include <QStyleOptionButton>
#include <QTime>

#include <gtest/gtest.h>

#include "logger.h"
#include "selectionpeer.h"

using Kind = RecordingWindow::ContractRequest;
using Request = RecordingWindow::Request;

namespace
{

const QColor kRed(220, 0, 0);
const QColor kGreen(0, 120, 0);

QColor PictureColour(const QPixmap& pixmap)
{
    return pixmap.isNull() ? QColor() : pixmap.toImage().pixelColor(0, 0);
}

// Bytes malloc hands out at present, over all arenas.
[[maybe_unused]] std::size_t HeapInUse()
{
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}

QColor TextColour(const QLabel& label)
{
    return label.palette().color(QPalette::WindowText);
}

void Press(QObject* target, QEvent::Type type = QEvent::MouseButtonPress)
{
    QMouseEvent event(type, QPointF(2, 2), Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &event);
}

class StatusBarTest : public testing::Test
{
protected:
    StatusBarTest() { NQuoteClientProbe::ForgetQuotes(); }
    ~StatusBarTest() override { window.close(); }

    // Builds the tables of every category from `list`, as at start.
    void Build(const std::vector<Quorvel::CommodityField>& list)
    {
        window.setCommodities(list);
        for (int type : { 2, 3, 4, 8, 1 })
            window.rebuild(type);
    }

    ScopedPictureFolder pictures;
    RecordingWindow window;
};

} // namespace

TEST(StatusBarLatencyTest, PictureAndFigure)
{
    struct Case {
        std::int32_t latency;
        int level; // 0: 04.png .. 3: 01.png
    } cases[] = {
        { -20, 0 },
        { 0, 0 },
        { 100, 0 },
        { 101, 1 },
        { 200, 1 },
        { 201, 2 },
        { 400, 2 },
        { 401, 3 },
        { 100000, 3 },
    };
    for (const auto& c : cases)
        EXPECT_EQ(Quorvel::LatencyLevel(c.latency), c.level) << c.latency;

    struct Figure {
        std::int32_t latency;
        std::int64_t sent, replied, now;
        std::int32_t shown;
    } figures[] = {
        { 37, 1000, 1037, 999999, 37 }, // a reply came: its latency
        { 0, 1700000000000, 1700000000000, 1700000003681, 0 }, // answered within the millisecond
        { 0, 1700000000000, 0, 1700000000250, 250 }, // outstanding: the wait so far
        { 0, 0xFFFFFFF0LL, 0, 0x100000010LL, 0x20 }, // the 32-bit clock wrapped meanwhile
        { -5, 5, 1, 0, -5 }, // a reply time before the send time is a reply all the same
    };
    for (const auto& f : figures) {
        EXPECT_EQ(Quorvel::LatencyFigure(f.latency, f.sent, f.replied, f.now), f.shown)
            << f.latency << " " << f.sent;
    }
}

TEST_F(StatusBarTest, NineWidgetsInTheirOrder)
{
    auto& ui = window.ui();
    window.resize(1600, 800);
    window.show();
    ASSERT_TRUE(WaitFor([&] { return ui.statusBar->isVisible(); }));
    QApplication::processEvents();

    // The bar's own widgets, left to right.
    std::vector<QWidget*> bar;
    for (QObject* child : ui.statusBar->children()) {
        auto* w = qobject_cast<QWidget*>(child);
        if (w && w->isVisible()
            && (qobject_cast<QLabel*>(w) || qobject_cast<QPushButton*>(w) || qobject_cast<QLineEdit*>(w)))
            bar.push_back(w);
    }
    std::sort(bar.begin(), bar.end(), [](QWidget* a, QWidget* b) { return a->x() < b->x(); });
    ASSERT_EQ(bar.size(), 9u);

    auto* logo = qobject_cast<QLabel*>(bar[0]);
    ASSERT_NE(logo, nullptr);
    EXPECT_EQ(PictureColour(logo->pixmap(Qt::ReturnByValue)), QColor(10, 10, 10));

    auto* notice = qobject_cast<QPushButton*>(bar[1]);
    ASSERT_NE(notice, nullptr);
    EXPECT_EQ(notice->text(), QStringLiteral("  提醒:有不法网站冒充本软件进行诈骗  "));
    EXPECT_EQ(notice->styleSheet(), QStringLiteral("border:none;color: rgb(0, 0, 192);font: 10pt \"宋体\";"));
    EXPECT_EQ(notice->sizePolicy().horizontalPolicy(), QSizePolicy::Minimum);
    EXPECT_EQ(notice->sizePolicy().verticalPolicy(), QSizePolicy::Minimum);

    auto* edit = qobject_cast<QLineEdit*>(bar[2]);
    ASSERT_NE(edit, nullptr);
    EXPECT_EQ(edit->maximumSize(), QSize(55, 18));
    EXPECT_TRUE(edit->text().isEmpty());

    auto* futures = qobject_cast<QPushButton*>(bar[3]);
    ASSERT_NE(futures, nullptr);
    EXPECT_EQ(futures->text(), QStringLiteral("期货户"));
    EXPECT_EQ(futures->styleSheet(),
        QStringLiteral("color: rgb(240, 240, 240); background-color: rgb(122, 122,122);"));
    EXPECT_EQ(futures->maximumSize(), QSize(45, 17));

    auto* foreign = qobject_cast<QPushButton*>(bar[4]);
    ASSERT_NE(foreign, nullptr);
    EXPECT_EQ(foreign->text(), QStringLiteral("外盘户"));
    EXPECT_EQ(foreign->styleSheet(),
        QStringLiteral("color: rgb(240, 240, 240);background-color: rgb(122, 122,122);"));
    EXPECT_EQ(foreign->maximumSize(), QSize(45, 17));

    auto* busy = qobject_cast<QLabel*>(bar[5]);
    ASSERT_NE(busy, nullptr);
    EXPECT_EQ(busy->minimumSize(), QSize(20, 20));
    ASSERT_NE(busy->movie(), nullptr);
    EXPECT_EQ(busy->movie()->fileName(), QStringLiteral("Resources/rotate.gif"));

    auto* picture = qobject_cast<QLabel*>(bar[6]);
    ASSERT_NE(picture, nullptr);
    EXPECT_EQ(PictureColour(picture->pixmap(Qt::ReturnByValue)), QColor(20, 20, 20));

    EXPECT_EQ(bar[7], &window.latencyLabel());
    // No quote connection here: the loss shows from the start.
    EXPECT_EQ(window.latencyLabel().toolTip(), QStringLiteral("行情连接已断开，正在重新连接……"));
    EXPECT_FALSE(window.latencyLabel().pixmap(Qt::ReturnByValue).isNull());

    EXPECT_EQ(bar[8], &window.clockButton());
    EXPECT_EQ(window.clockButton().styleSheet(), QStringLiteral("border:none;"));
    EXPECT_EQ(window.clockButton().sizePolicy().horizontalPolicy(), QSizePolicy::Minimum);
}

TEST_F(StatusBarTest, ClockShowsTheTimeOfDay)
{
    const QRegularExpression atStart(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d-Local $"));
    EXPECT_TRUE(atStart.match(window.clockButton().text()).hasMatch())
        << window.clockButton().text().toStdString();

    const std::string before = TimePointToString(std::chrono::system_clock::now()).substr(11, 8);
    window.statusTick();
    const std::string after = TimePointToString(std::chrono::system_clock::now()).substr(11, 8);
    const std::string shown = window.clockButton().text().toStdString();
    EXPECT_TRUE(shown == before + "-Local" || shown == after + "-Local") << shown;

    // The window's own timer ticks the clock once a second.
    window.clockButton().setText(QString());
    EXPECT_TRUE(window.statusTimer().isActive());
    EXPECT_EQ(window.statusTimer().interval(), 1000);
    EXPECT_TRUE(
        WaitFor([&] { return window.clockButton().text().endsWith(QStringLiteral("-Local")); }, 3000));
}

TEST_F(StatusBarTest, LatencyPictureAndToolTip)
{
    struct Case {
        std::int32_t latency;
        QColor picture;
    } cases[] = {
        { 100, QColor(0, 255, 0) }, // 04.png
        { 101, QColor(0, 0, 255) }, // 03.png
        { 200, QColor(0, 0, 255) }, // 03.png
        { 400, QColor(255, 255, 0) }, // 02.png
        { 401, QColor(255, 0, 0) }, // 01.png
        { -3, QColor(0, 255, 0) },
    };
    for (const auto& c : cases) {
        window.showLatency(c.latency);
        EXPECT_EQ(PictureColour(window.latencyLabel().pixmap(Qt::ReturnByValue)), c.picture) << c.latency;
        EXPECT_EQ(window.latencyLabel().toolTip(), QStringLiteral("延时:%1ms").arg(c.latency));
    }
    // While the link is down the last figure says nothing: the worst picture,
    // whatever the figure, and the tool tip tells of the loss; the tick shows
    // the same while the quote client has no connection.
    for (const bool tick : { false, true }) {
        if (tick)
            window.statusTick();
        else
            window.showLatency(5, false);
        EXPECT_EQ(PictureColour(window.latencyLabel().pixmap(Qt::ReturnByValue)), QColor(255, 0, 0));
        EXPECT_EQ(window.latencyLabel().toolTip(), QStringLiteral("行情连接已断开，正在重新连接……"));
    }
}

TEST_F(StatusBarTest, IndexLabelsAbsentWithoutTheirCommodities)
{
    Build({ MakeCommodity(1, "COMEX", "GC", "美黄金", { { "2612", 1 } }),
        MakeCommodity(2, "SHFE", "CU", "沪铜", { { "2702", 1 } }),
        MakeCommodity(3, "FX", "USD.JPY", "美元日元", {}), MakeCommodity(1, "X", "cl", "lower case", {}) });
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(window.indexLabel(i).parent(), nullptr) << i;
        EXPECT_TRUE(window.indexKey(i).empty()) << i;
    }
    // The tick writes them all the same; they stay out of sight.
    window.statusTick();
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(window.indexLabel(i).text(), QStringLiteral("  --- --- ")) << i;
        EXPECT_TRUE(window.indexLabel(i).isHidden());
    }
}

TEST_F(StatusBarTest, IndexLabelsShowTheReferenceContracts)
{
    auto& ui = window.ui();
    PushQuote(MakeQuote("FO_CL_1907", 56.23, 56.64));
    PushQuote(MakeQuote("C_EUR.USD", 1.25, 1.25));
    Build(
        { MakeCommodity(2, "INE", "CL", "原油", { { "2701", 1 } }), // type 2 is built before type 1: it wins
            MakeCommodity(1, "NYMEX", "CL", "美原油", { { "1907", 1 } }),
            MakeCommodity(2, "CFFEX", "IF", "沪深300", { { "2701", 1 } }),
            MakeCommodity(3, "FX", "EUR.USD", "欧元美元", {}) });

    struct Case {
        int label;
        std::string key;
        QString text;
        QColor colour;
    } cases[] = {
        // No quote: no figure and no colour of a rise or a fall.
        { 0, "FI_CL_2701", QStringLiteral(" 原油 --- --- "), QColor(128, 128, 128) },
        { 1, "FI_IF_2701", QStringLiteral(" 沪深300 --- --- "), QColor(128, 128, 128) },
        { 2, "C_EUR.USD", QStringLiteral(" 欧元美元 1.250 0.000 "), kRed },
    };
    for (const auto& c : cases) {
        EXPECT_EQ(window.indexKey(c.label), c.key);
        EXPECT_EQ(window.indexLabel(c.label).parent(), ui.statusBar);
        EXPECT_EQ(window.indexLabel(c.label).text(), c.text);
        EXPECT_EQ(TextColour(window.indexLabel(c.label)), c.colour);
    }

    // Later builds neither move nor duplicate them.
    const int children = ui.statusBar->children().size();
    Build({ MakeCommodity(1, "NYMEX", "CL", "美原油", { { "1907", 1 } }) });
    window.rebuild(1, "NYMEX");
    EXPECT_EQ(ui.statusBar->children().size(), children);
    EXPECT_EQ(window.indexKey(0), "FI_CL_2701");

    // Every tick rewrites text and colour from the cache.
    PushQuote(MakeQuote("FI_CL_2701", 56.23, 56.64));
    PushQuote(MakeQuote("FI_IF_2701", 4012.5, 4000));
    window.statusTick();
    EXPECT_EQ(window.indexLabel(0).text(), QStringLiteral(" 原油 56.230 -0.410 "));
    EXPECT_EQ(TextColour(window.indexLabel(0)), kGreen);
    EXPECT_EQ(window.indexLabel(1).text(), QStringLiteral(" 沪深300 4012.500 12.500 "));
    EXPECT_EQ(TextColour(window.indexLabel(1)), kRed);

    // Figures the label could not hold in fixed notation.
    PushQuote(MakeQuote("FI_CL_2701", 1e308, -std::numeric_limits<double>::infinity()));
    PushQuote(MakeQuote("FI_IF_2701", std::nan(""), 0));
    window.statusTick();
    EXPECT_EQ(window.indexLabel(0).text(), QStringLiteral(" 原油 1e+308 -- "));
    EXPECT_EQ(window.indexLabel(1).text(), QStringLiteral(" 沪深300 -- -- "));
}

TEST_F(StatusBarTest, PressOnAnIndexLabelSelectsItsContract)
{
    auto& ui = window.ui();
    Build({ MakeCommodity(1, "NYMEX", "CL", "美原油", { { "1907", 1 } }),
        MakeCommodity(2, "CFFEX", "IF", "沪深300", { { "2701", 1 } }) });
    ASSERT_EQ(window.indexKey(0), "FO_CL_1907");
    window.setLoggedIn(true);

    // Only a press selects; releases, double clicks and moves do not, nor a
    // press elsewhere.
    for (QEvent::Type type : { QEvent::MouseButtonRelease, QEvent::MouseButtonDblClick, QEvent::MouseMove })
        Press(&window.indexLabel(0), type);
    Press(ui.last_price_2);
    Press(&window.clockButton());
    EXPECT_TRUE(window.requests.empty());
    EXPECT_TRUE(window.selectedKey().empty());

    Press(&window.indexLabel(0));
    EXPECT_EQ(window.selectedKey(), "FO_CL_1907");
    EXPECT_EQ(window.currentKey(), "FO_CL_1907");
    ASSERT_FALSE(window.requests.empty());
    EXPECT_EQ(window.requests.back(), (Request { Kind::QueryKLine, "FO_CL_1907", 1 }));

    Press(&window.indexLabel(1));
    EXPECT_EQ(window.selectedKey(), "FI_IF_2701");
    EXPECT_EQ(window.requests.back(), (Request { Kind::QueryKLine, "FI_IF_2701", 1 }));

    // The label that was never created has no filter: nothing happens.
    const size_t sent = window.requests.size();
    Press(&window.indexLabel(2));
    EXPECT_EQ(window.requests.size(), sent);
}

// The bar is repainted as a whole whenever one of its widgets asks for a new
// layout, which the tick's clock and latency picture do every second. A
// repaint must draw from what the styles already hold: one that stores a new
// picture each time makes the program grow by kilobytes a second for as long
// as it runs, with no quote arriving at all. A sanitizer's allocator is not
// the one mallinfo2 reports on, so those builds leave the check out.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
TEST_F(StatusBarTest, RepaintsOfTheBarKeepTheHeapFlat)
{
    auto& ui = window.ui();
    window.resize(1600, 800);
    window.show();
    ASSERT_TRUE(WaitFor([&] { return ui.statusBar->isVisible(); }));
    const auto tickAndRepaint = [&] {
        window.statusTick();
        QApplication::processEvents();
        ui.statusBar->repaint();
    };
    for (int i = 0; i < 20; ++i)
        tickAndRepaint();

    const std::size_t before = HeapInUse();
    for (int i = 0; i < 300; ++i)
        tickAndRepaint();
    const std::size_t after = HeapInUse();
    // Growing by a picture of the two account buttons per repaint came to
    // about 4.6 MB here.
    EXPECT_LT(after, before + 256 * 1024) << "grew by " << (after - before) << " bytes";
}
#endif

// Run by CTest at the default DPI and again at 96, 120, 144 and 192 DPI.
TEST_F(StatusBarTest, LegibleAccountCaptionsAtTheScreensDpi)
{
    const double dpi = QGuiApplication::primaryScreen()->logicalDotsPerInch();
    const double scale = Quorvel::ScaleForDpi(dpi);
    window.InitUi();
    window.show();
    ASSERT_TRUE(WaitFor([&] { return window.ui().statusBar->isVisible(); }));
    QApplication::processEvents();
    for (QPushButton* button : { &window.futuresButton(), &window.foreignButton() }) {
        SCOPED_TRACE(button->text().toStdString());
        // The room grows with the scale, and with the text where the scale falls short.
        EXPECT_GE(button->maximumWidth(), Quorvel::ScaledSize(scale, 45));
        EXPECT_GE(button->maximumHeight(), Quorvel::ScaledSize(scale, 17));
        QStyleOptionButton option;
        option.initFrom(button);
        option.text = button->text();
        const QRect label = button->style()->subElementRect(QStyle::SE_PushButtonContents, &option, button);
        const QFontMetrics metrics(button->font());
        EXPECT_GE(label.width(), metrics.horizontalAdvance(button->text())) << dpi;
        EXPECT_GE(button->height(), metrics.height()) << dpi;
    }
}
