// The whole program against the real quote server: start-up, the main
// window's tables, a double click on a contract, the depth and trade panels
// filled from the server's pushes, and after the server has gone away and
// come back: the board again, and the panels once a contract is selected anew.
#include "startup.h"

#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <QAbstractItemView>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QLabel>
#include <QMouseEvent>
#include <QRegularExpression>
#include <QStandardItemModel>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTimer>
#include <QTreeView>

#include <gtest/gtest.h>

#include "../quote/quoteclientkit.h"
#include "logindialog.h"
#include "scratchdir.h"

namespace
{

void WriteConfig(const QString& path, int port)
{
    std::ofstream(path.toStdString())
        << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<root>\n"
           "  <Quote name=\"local\" ip=\"127.0.0.1\" port=\""
        << port
        << "\" username=\"demo\" password=\"demo\"/>\n"
           "  <LeanCloud id=\"demoAppId\" key=\"demoAppKey\" productID=\"quorvel-demo\"\n"
           "             channelName=\"official\" trigger_time=\"60\" reg_class=\"demo\"/>\n"
           "</root>\n";
}

QWidget* VisibleMainWindow()
{
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (w->inherits("Quorvel") && w->isVisible())
            return w;
    }
    return nullptr;
}

// The table of the tab on show; the tab page holds exactly one.
QTreeView* CurrentQuoteView(QWidget* window)
{
    auto* tabs = window->findChild<QTabWidget*>(QStringLiteral("quote_tabwidget"));
    if (!tabs || !tabs->currentWidget())
        return nullptr;
    const auto views = tabs->currentWidget()->findChildren<QTreeView*>();
    return views.size() == 1 ? views.first() : nullptr;
}

// Row of the commodity `code` (its main contract) in a quote table.
QModelIndex RowOf(const QAbstractItemModel* model, const QString& code)
{
    static const int kCodeColumn = 3;
    for (int row = 0; row < model->rowCount(); ++row) {
        const QModelIndex index = model->index(row, kCodeColumn);
        if (QRegularExpression(QStringLiteral("^%1\\d+$").arg(code))
                .match(index.data().toString())
                .hasMatch())
            return index;
    }
    return QModelIndex();
}

// What a user's double click sends: press, release, double click, release.
void DoubleClick(QAbstractItemView* view, const QModelIndex& index)
{
    view->scrollTo(index);
    const QPoint at = view->visualRect(index).center();
    for (QEvent::Type type : { QEvent::MouseButtonPress, QEvent::MouseButtonRelease,
             QEvent::MouseButtonDblClick, QEvent::MouseButtonRelease }) {
        const Qt::MouseButtons held = type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton;
        QMouseEvent event(type, at, view->viewport()->mapToGlobal(at), Qt::LeftButton, held, Qt::NoModifier);
        QApplication::sendEvent(view->viewport(), &event);
    }
}

QString Text(QWidget* window, const char* name)
{
    auto* label = window->findChild<QLabel*>(QString::fromLatin1(name));
    return label ? label->text() : QStringLiteral("<missing %1>").arg(QLatin1String(name));
}

// A figure the server sent: a number, not the panel's "---" or empty text.
bool IsFigure(const QString& text, double* value = nullptr)
{
    bool ok = false;
    const double v = text.toDouble(&ok);
    if (value)
        *value = v;
    return ok;
}

struct Level {
    const char *askPrice, *askVol, *bidPrice, *bidVol;
};
const Level kDepthLevels[] = {
    { "ask_price2", "ask_vol2", "bid_price2", "bid_vol2" },
    { "ask_price3", "ask_vol3", "bid_price3", "bid_vol3" },
    { "ask_price4", "ask_vol4", "bid_price4", "bid_vol4" },
    { "ask_price5", "ask_vol5", "bid_price5", "bid_vol5" },
};
constexpr int kTradeRows = 8;

QString TradeLabel(const char* column, int row)
{
    return QStringLiteral("ticker_%1_%2").arg(QLatin1String(column)).arg(row);
}

// Everything the test reads off the window before closing it.
struct Seen {
    bool windowShown = false;
    bool rowFound = false;
    bool loginDialogShown = false;
    bool panelsFilled = false;
    QString rowCode;
    QString contract;
    QString lastPrice;
    QString depth[4][4];
    QString trades[kTradeRows][3];
};

bool PanelsFilled(QWidget* window)
{
    for (const Level& level : kDepthLevels) {
        for (const char* name : { level.askPrice, level.askVol, level.bidPrice, level.bidVol }) {
            if (!IsFigure(Text(window, name)))
                return false;
        }
    }
    for (int row = 0; row < kTradeRows; ++row) {
        for (const char* column : { "time", "price", "vol" }) {
            auto* label = window->findChild<QLabel*>(TradeLabel(column, row));
            if (!label || label->text().isEmpty())
                return false;
        }
    }
    return IsFigure(Text(window, "last_price_2"));
}

void Record(QWidget* window, Seen* seen)
{
    seen->contract = Text(window, "current_contract");
    seen->lastPrice = Text(window, "last_price_2");
    for (int i = 0; i < 4; ++i) {
        const Level& level = kDepthLevels[i];
        seen->depth[i][0] = Text(window, level.askPrice);
        seen->depth[i][1] = Text(window, level.askVol);
        seen->depth[i][2] = Text(window, level.bidPrice);
        seen->depth[i][3] = Text(window, level.bidVol);
    }
    for (int row = 0; row < kTradeRows; ++row) {
        const char* columns[] = { "time", "price", "vol" };
        for (int c = 0; c < 3; ++c)
            seen->trades[row][c] = window->findChild<QLabel*>(TradeLabel(columns[c], row))->text();
    }
}

// Runs the program with `act` called every 20 ms from its event loop. The
// program must end within limitMs; otherwise the loop is ended with 99.
int RunDriven(const std::function<void()>& act, int limitMs)
{
    QTimer driver;
    QObject::connect(&driver, &QTimer::timeout, act);
    driver.start(20);
    // An object, not a single shot: it must not outlive this run and end the next.
    QTimer limit;
    limit.setSingleShot(true);
    QObject::connect(&limit, &QTimer::timeout, [] { QApplication::exit(99); });
    limit.start(limitMs);
    const int code = RunStartupSequence();
    driver.stop();
    limit.stop();
    return code;
}

// Double-clicks the CL row of the table on show, as a user would; the row, or
// an invalid index when there is none.
QModelIndex DoubleClickCl(QWidget* window)
{
    QTreeView* view = CurrentQuoteView(window);
    const QModelIndex index = view ? RowOf(view->model(), QStringLiteral("CL")) : QModelIndex();
    if (index.isValid())
        DoubleClick(view, index);
    return index;
}

class EndToEndTest : public ScratchDirTest
{
};

TEST_F(EndToEndTest, DoubleClickedContractFillsDepthAndTradePanelsFromTheServer)
{
    kit::QuoteServer server;
    ASSERT_TRUE(server.Start({ "--rate", "20" }));
    const int port = server.port();
    WriteConfig(m_dir.filePath(QStringLiteral("TradeConfig.xml")), port);

    // The sequence runs the event loop itself: the test acts from a timer.
    Seen seen;
    enum class Step { WaitWindow, WaitPanels, Done } step = Step::WaitWindow;
    QElapsedTimer clock;
    const int code = RunDriven(
        [&] {
            // A double click while logged out asks for a login; nobody answers it here.
            for (QWidget* w : QApplication::topLevelWidgets()) {
                if (qobject_cast<LoginDialog*>(w) && w->isVisible() && step == Step::WaitPanels) {
                    seen.loginDialogShown = true;
                    w->hide();
                }
            }
            QWidget* window = VisibleMainWindow();
            switch (step) {
            case Step::WaitWindow: {
                if (!window)
                    return;
                seen.windowShown = true;
                const QModelIndex index = DoubleClickCl(window);
                step = Step::Done;
                if (!index.isValid()) {
                    window->close();
                    return;
                }
                seen.rowFound = true;
                seen.rowCode = index.data().toString();
                clock.start();
                step = Step::WaitPanels;
                return;
            }
            case Step::WaitPanels:
                if (!window)
                    return;
                if (PanelsFilled(window))
                    seen.panelsFilled = true;
                else if (clock.elapsed() < 10000)
                    return;
                Record(window, &seen);
                step = Step::Done;
                window->close();
                return;
            case Step::Done:
                return;
            }
        },
        40000);

    EXPECT_EQ(code, 0);
    ASSERT_TRUE(seen.windowShown);
    ASSERT_TRUE(seen.rowFound) << "no CL row in the table on show";
    EXPECT_TRUE(seen.loginDialogShown);
    ASSERT_TRUE(seen.panelsFilled) << "panels not filled within 10 s; ask_price2="
                                   << seen.depth[0][0].toStdString()
                                   << " ticker_price_7=" << seen.trades[7][1].toStdString();

    EXPECT_EQ(seen.contract, QStringLiteral("美原油 ") + seen.rowCode);

    double last = 0;
    ASSERT_TRUE(IsFigure(seen.lastPrice, &last));
    ASSERT_GT(last, 0);

    // Each deeper level lies further from the market on both sides, and the
    // whole book stays close to the last price.
    double previousAsk = 0, previousBid = 1e300;
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(kDepthLevels[i].askPrice);
        double ask = 0, askVol = 0, bid = 0, bidVol = 0;
        ASSERT_TRUE(IsFigure(seen.depth[i][0], &ask));
        ASSERT_TRUE(IsFigure(seen.depth[i][1], &askVol));
        ASSERT_TRUE(IsFigure(seen.depth[i][2], &bid));
        ASSERT_TRUE(IsFigure(seen.depth[i][3], &bidVol));
        EXPECT_GT(ask, bid);
        EXPECT_GT(ask, previousAsk);
        EXPECT_LT(bid, previousBid);
        EXPECT_GT(askVol, 0);
        EXPECT_GT(bidVol, 0);
        EXPECT_NEAR(ask, last, last * 0.05);
        EXPECT_NEAR(bid, last, last * 0.05);
        previousAsk = ask;
        previousBid = bid;
    }

    // Eight trades: a time of day, a price near the last one, a volume; the
    // oldest sits highest, so times never go back from row 7 down to row 0.
    const QRegularExpression timeOfDay(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d$"));
    QString laterTime;
    for (int row = kTradeRows - 1; row >= 0; --row) {
        SCOPED_TRACE(row);
        const QString& time = seen.trades[row][0];
        EXPECT_TRUE(timeOfDay.match(time).hasMatch()) << time.toStdString();
        EXPECT_TRUE(time >= laterTime || laterTime.startsWith(QStringLiteral("23:59")))
            << time.toStdString() << " after " << laterTime.toStdString();
        laterTime = time;
        double price = 0, volume = 0;
        ASSERT_TRUE(IsFigure(seen.trades[row][1], &price));
        ASSERT_TRUE(IsFigure(seen.trades[row][2], &volume));
        EXPECT_NEAR(price, last, last * 0.05);
        EXPECT_GT(volume, 0);
    }
}

// Outages of two kinds, one after the other: the server dies and comes back
// on its port, or a server that stays connected but sends nothing at all. In
// each, while the link is down, the board shows no price the server did not
// send and the status bar the loss; after it the board and the selected
// contract's depth and trades come back by themselves, and level 2 never
// lies inside level 1.
TEST_F(EndToEndTest, OutagesShowAsSuchAndTheSelectedContractComesBackLive)
{
    NQuoteClientProbe::Timings timings = kit::TestTimings();
    timings.silenceLimit = std::chrono::milliseconds(1500);
    timings.replyWait = std::chrono::milliseconds(1000);
    NQuoteClientProbe::SetTimings(timings);
    kit::QuoteServer server;
    const std::vector<std::string> options = { "--rate", "20" };
    ASSERT_TRUE(server.Start(options));
    const int port = server.port();
    kit::FrameRelay relay(port);
    std::atomic<bool> mute { false };
    relay.SetServerHook([&](kw::pb::ostrel2::KwBaseMessage_Rsp&) {
        kit::FrameRelay::Verdict verdict;
        verdict.drop = mute.load();
        return verdict;
    });
    WriteConfig(m_dir.filePath(QStringLiteral("TradeConfig.xml")), relay.port());

    constexpr int kOutages = 10;
    enum class Step { WaitWindow, WaitPanels, Down, Refill, Done };
    Step step = Step::WaitWindow;
    int outage = 0, refilled = 0, crossed = 0, falsePrices = 0, lossShown = 0;
    std::unique_ptr<kit::LogMark> log;
    QPersistentModelIndex row;
    QElapsedTimer clock, down;
    const auto number = [](QWidget* w, const char* name) {
        double v = 0;
        return IsFigure(Text(w, name), &v) ? v : -1;
    };
    const int code = RunDriven(
        [&] {
            for (QWidget* w : QApplication::topLevelWidgets()) {
                if (qobject_cast<LoginDialog*>(w) && w->isVisible())
                    w->hide();
            }
            QWidget* window = VisibleMainWindow();
            if (!window || step == Step::Done)
                return;
            const auto finish = [&] {
                step = Step::Done;
                window->close();
            };
            const double ask1 = number(window, "ask_price"), ask2 = number(window, "ask_price2");
            const double bid1 = number(window, "bid_price"), bid2 = number(window, "bid_price2");
            crossed += (ask1 > 0 && ask2 > 0 && ask2 <= ask1) || (bid1 > 0 && bid2 > 0 && bid2 >= bid1);
            const QModelIndex last = row.isValid() ? row.sibling(row.row(), 4) : QModelIndex();
            switch (step) {
            case Step::WaitWindow:
                row = DoubleClickCl(window);
                if (!row.isValid())
                    return finish();
                clock.start();
                step = Step::WaitPanels;
                return;
            case Step::WaitPanels:
                if (!PanelsFilled(window))
                    return clock.elapsed() < 10000 ? void() : finish();
                log = std::make_unique<kit::LogMark>();
                if (outage % 2 == 0)
                    server.Kill();
                else
                    mute = true;
                clock.start();
                step = Step::Down;
                return;
            case Step::Down: {
                if (!down.isValid()) {
                    if (NQuoteClientProbe::GetState() == NQuoteClientProbe::State::Connected)
                        return clock.elapsed() < 10000 ? void() : finish();
                    down.start();
                }
                // Down a while: what the board shows meanwhile is watched,
                // once the window has had its turn to hear of the loss.
                if (down.elapsed() > 200)
                    falsePrices
                        += !last.data().toString().isEmpty() || IsFigure(Text(window, "last_price_2"));
                if (down.elapsed() < 1500)
                    return;
                down.invalidate();
                for (QLabel* label : window->findChildren<QLabel*>())
                    lossShown += label->toolTip() == QStringLiteral("行情连接已断开，正在重新连接……");
                if (outage % 2 == 0 && !server.Start(options, port))
                    return finish();
                mute = false;
                clock.start();
                step = Step::Refill;
                return;
            }
            case Step::Refill:
                if (log->Matching({ "): 行情重连成功" }).empty() || !IsFigure(last.data().toString())
                    || !PanelsFilled(window))
                    return clock.elapsed() < 20000 ? void() : finish();
                ++refilled;
                ++outage;
                step = outage < kOutages ? Step::WaitPanels : Step::Done;
                if (step == Step::Done)
                    window->close();
                return;
            case Step::Done:
                return;
            }
        },
        240000);

    EXPECT_EQ(code, 0);
    EXPECT_EQ(refilled, kOutages) << "outage " << outage << " did not end with a live board and panels";
    EXPECT_EQ(lossShown, refilled + (refilled < kOutages ? 1 : 0));
    EXPECT_EQ(falsePrices, 0);
    EXPECT_EQ(crossed, 0);
    NQuoteClientProbe::SetTimings(kit::TestTimings());
}

} // namespace
