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

// Depth and trade texts of the selected contract, to tell fresh pushes from
// what the panels kept through the loss.
QStringList PanelTexts(QWidget* window)
{
    QStringList texts;
    for (const Level& level : kDepthLevels) {
        for (const char* name : { level.askPrice, level.askVol, level.bidPrice, level.bidVol })
            texts << Text(window, name);
    }
    return texts;
}

QStringList TradeTexts(QWidget* window)
{
    QStringList texts;
    for (int row = 0; row < kTradeRows; ++row) {
        for (const char* column : { "time", "price", "vol" })
            texts << window->findChild<QLabel*>(TradeLabel(column, row))->text();
    }
    return texts;
}

// After the restart the board fills again through the subscription of every
// contract, but the selected contract's depth and trades are not subscribed
// anew: its panels keep what they showed until a contract is selected again.
TEST_F(EndToEndTest, ServerRestartRefillsTheBoardAndTheSelectedContractsPanelsOnReselection)
{
    kit::QuoteServer server;
    const std::vector<std::string> options = { "--rate", "20" };
    ASSERT_TRUE(server.Start(options));
    const int port = server.port();
    WriteConfig(m_dir.filePath(QStringLiteral("TradeConfig.xml")), port);

    enum class Step { WaitWindow, WaitPanels, Down, WaitRefill, Quiet, Reselect, WaitPanelsAgain, Done };
    Step step = Step::WaitWindow;
    bool panelsFilled = false, restarted = false, boardRefilled = false;
    bool panelsKept = false, otherSelected = false, panelsBack = false;
    bool lossSeen = false;
    int quotesSeen = 0;
    QString quoteShown;
    QStringList depthAtRestart, tradesAtRestart;
    std::unique_ptr<kit::LogMark> log;
    QPersistentModelIndex row;
    QElapsedTimer clock;
    const int code = RunDriven(
        [&] {
            for (QWidget* w : QApplication::topLevelWidgets()) {
                if (qobject_cast<LoginDialog*>(w) && w->isVisible())
                    w->hide();
            }
            QWidget* window = VisibleMainWindow();
            if (!window)
                return;
            const auto finish = [&] {
                step = Step::Done;
                window->close();
            };
            switch (step) {
            case Step::WaitWindow:
                row = DoubleClickCl(window);
                if (!row.isValid())
                    return finish();
                clock.start();
                step = Step::WaitPanels;
                return;
            case Step::WaitPanels:
                if (!PanelsFilled(window) && clock.elapsed() < 10000)
                    return;
                panelsFilled = PanelsFilled(window);
                if (!panelsFilled)
                    return finish();
                server.Kill();
                clock.start();
                step = Step::Down;
                return;
            case Step::Down:
                // Every push sent before the loss has landed once the client
                // has seen the loss and the loop has run once more.
                if (!lossSeen) {
                    lossSeen = NQuoteClientProbe::GetState() != NQuoteClientProbe::State::Connected;
                    return;
                }
                depthAtRestart = PanelTexts(window);
                tradesAtRestart = TradeTexts(window);
                log = std::make_unique<kit::LogMark>();
                restarted = server.Start(options, port);
                if (!restarted)
                    return finish();
                clock.start();
                step = Step::WaitRefill;
                return;
            case Step::WaitRefill: {
                // Reconnected, and the last price column of the CL row shows a figure again.
                const QModelIndex last = row.isValid() ? row.sibling(row.row(), 4) : QModelIndex();
                boardRefilled = !log->Matching({ "): 行情重连成功" }).empty() && last.isValid()
                    && IsFigure(last.data().toString());
                if (!boardRefilled) {
                    if (clock.elapsed() >= 20000)
                        finish();
                    return;
                }
                clock.start();
                step = Step::Quiet;
                return;
            }
            case Step::Quiet: {
                // Pushes of the contract's depth and trades would come with
                // its quotes; nothing asked for them. Watched over several
                // quotes of the contract, which its detail panel shows.
                panelsKept = PanelTexts(window) == depthAtRestart && TradeTexts(window) == tradesAtRestart;
                if (!panelsKept)
                    return finish();
                const QString quote = Text(window, "last_price_2") + " " + Text(window, "vol");
                if (quote != quoteShown) {
                    quoteShown = quote;
                    ++quotesSeen;
                }
                if (quotesSeen < 6) {
                    if (clock.elapsed() >= 20000)
                        finish();
                    return;
                }
                step = Step::Reselect;
                return;
            }
            case Step::Reselect: {
                // Another contract first: selecting the current one again only asks for K-lines.
                QTreeView* view = CurrentQuoteView(window);
                const QModelIndex other = view && row.isValid()
                    ? view->model()->index(row.row() == 0 ? 1 : 0, row.column())
                    : QModelIndex();
                otherSelected = other.isValid();
                if (!otherSelected)
                    return finish();
                DoubleClick(view, other);
                DoubleClick(view, row);
                clock.start();
                step = Step::WaitPanelsAgain;
                return;
            }
            case Step::WaitPanelsAgain:
                panelsBack = PanelsFilled(window) && PanelTexts(window) != depthAtRestart
                    && TradeTexts(window) != tradesAtRestart;
                if (panelsBack || clock.elapsed() >= 15000)
                    finish();
                return;
            case Step::Done:
                return;
            }
        },
        80000);

    EXPECT_EQ(code, 0);
    ASSERT_TRUE(panelsFilled);
    ASSERT_TRUE(restarted);
    ASSERT_TRUE(boardRefilled);
    EXPECT_TRUE(panelsKept) << "depth or trades of the selected contract arrived without a new selection";
    ASSERT_TRUE(otherSelected);
    EXPECT_TRUE(panelsBack) << "panels not filled again after selecting the contract anew";
}

} // namespace
