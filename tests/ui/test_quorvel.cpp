#include <limits>

#include <QCloseEvent>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGridLayout>
#include <QGuiApplication>
#include <QMenu>
#include <QSizeGrip>
#include <QStatusBar>
#include <QToolButton>
#include <QHeaderView>
#include <QScreen>
#include <QStandardItemModel>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "customtabstyle.h"
#include "../guiwait.h"
#include "mywidget.h"
#include "quorvelpeer.h"
#include "tradeconfig.h"

TEST(QuorvelScale, LogicalDpiPicksTheFactor)
{
    const struct {
        double dpi;
        double scale;
    } cases[] = {
        { 96, 1.0 },
        { 96.00000000001, 1.0 },
        { 95.99999999999, 1.0 },
        { 120, 1.25 },
        { 144, 1.5 },
        { 72, 1.75 },
        { 110, 1.75 },
        { 192, 1.75 },
        // Screens report their DPI from a size in millimetres: the whole
        // number counts.
        { 96.001, 1.0 },
        { 96.49, 1.0 },
        { 96.5, 1.75 },
        { 95.5, 1.0 },
        { 119.954, 1.25 },
        { 143.741, 1.5 },
        { 191.9, 1.75 },
        { 0, 1.75 },
        { -96, 1.75 },
        { std::numeric_limits<double>::quiet_NaN(), 1.75 },
        { std::numeric_limits<double>::infinity(), 1.75 },
        { 1e300, 1.75 },
    };
    for (const auto& c : cases)
        EXPECT_EQ(Quorvel::ScaleForDpi(c.dpi), c.scale) << c.dpi;
}

TEST(QuorvelScale, InitUiUsesThePrimaryScreen)
{
    QuorvelTestPeer window;
    window.InitUi();
    const double dpi = QGuiApplication::primaryScreen()->logicalDotsPerInch();
    EXPECT_EQ(window.scale(), Quorvel::ScaleForDpi(dpi));
    EXPECT_EQ(window.widthFactor(), 1.0);
}

TEST(QuorvelScale, EveryScaledSizeAtEachFactor)
{
    const struct {
        double scale;
        int item, section, col0, col1, col2, col5, splitter, full;
    } cases[] = {
        // full: the widths of all columns added up.
        { 1.0, 28, 70, 30, 40, 100, 50, 340, 1550 },
        { 1.25, 35, 87, 37, 50, 125, 62, 425, 1927 },
        { 1.5, 42, 105, 45, 60, 150, 75, 510, 2325 },
        { 1.75, 49, 122, 52, 70, 175, 87, 595, 2702 },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.scale);
        QuorvelTestPeer window;
        window.initUiAtScale(c.scale);
        auto& ui = window.ui();
        for (QTreeView* view : { ui.FO_View, ui.FI_View, ui.C_View, ui.S_View, ui.D_View, ui.any_View }) {
            SCOPED_TRACE(view->objectName().toStdString());
            EXPECT_EQ(view->styleSheet(), QStringLiteral("QTreeView::item{height:%1px; } ").arg(c.item));
            EXPECT_EQ(view->header()->defaultSectionSize(), c.section);
            EXPECT_FALSE(view->header()->sectionsMovable());
            EXPECT_EQ(view->columnWidth(0), c.col0);
            EXPECT_EQ(view->columnWidth(1), c.col1);
            EXPECT_EQ(view->columnWidth(2), c.col2);
            EXPECT_EQ(view->columnWidth(3), c.section);
            EXPECT_EQ(view->columnWidth(5), c.col5);
        }
        EXPECT_EQ(ui.splitter->minimumSize(), QSize(c.splitter, 0));

        // The columns' width decides the ">>" button: shown while the list is narrower.
        ui.quote_tabwidget->setCurrentIndex(1);
        ui.FO_View->resize(c.full, 400);
        window.replaceArrows();
        EXPECT_TRUE(window.expandButton()->isHidden());
        ui.FO_View->resize(c.full - 1, 400);
        window.replaceArrows();
        EXPECT_FALSE(window.expandButton()->isHidden());
    }
}

TEST(QuorvelInitUi, SetsUpTabsChartHostAndWindow)
{
    QuorvelTestPeer window;
    window.initUiAtScale(1.0);
    auto& ui = window.ui();
    EXPECT_EQ(window.contextMenuPolicy(), Qt::NoContextMenu);
    EXPECT_EQ(ui.quote_tabwidget->tabBar()->shape(), QTabBar::TriangularWest);
    EXPECT_EQ(ui.quote_tabwidget->tabBar()->tabRect(1).size(), QSize(28, 88));
    // The chart page's style sheet decides the font shown; the window's own setting is there all the same.
    EXPECT_TRUE(ui.splitter_2->testAttribute(Qt::WA_SetFont));
    EXPECT_EQ(ui.quote_tabwidget->currentIndex(), 1);
    EXPECT_TRUE(window.windowState() & Qt::WindowMaximized);
    EXPECT_TRUE(ui.tabWidget->tabBar()->isHidden());
    EXPECT_EQ(ui.tabWidget->currentIndex(), 0);

    MyWidget* host = window.chartHost();
    ASSERT_NE(host, nullptr);
    EXPECT_EQ(host->objectName(), QStringLiteral("Kline_widget"));
    EXPECT_EQ(host->parentWidget(), ui.widget_2);
    EXPECT_EQ(host->minimumSize(), QSize(0, 0));
    EXPECT_TRUE(host->testAttribute(Qt::WA_PaintOnScreen));
    auto* grid = qobject_cast<QGridLayout*>(ui.widget_2->layout());
    ASSERT_NE(grid, nullptr);
    EXPECT_EQ(grid->objectName(), QStringLiteral("Kline_gridLayout"));
    EXPECT_EQ(grid->spacing(), 0);
    EXPECT_EQ(grid->itemAtPosition(0, 0)->widget(), host);

    // Stretch: the chart takes almost all of the width.
    window.resize(1400, 900);
    window.show();
    ui.tabWidget->setCurrentIndex(1);
    QCoreApplication::processEvents();
    EXPECT_GT(ui.splitter_2->sizes().at(0), ui.splitter_2->sizes().at(1));
    window.hide();
}

TEST(QuorvelScreen, LegibleWithinTheScreenAtItsDpi)
{
    ScopedPictureFolder pictures;
    QuorvelTestPeer window;
    std::vector<Quorvel::CommodityField> board;
    for (const char* no : { "NYMEX", "ICE", "COMEX", "CME", "CBOT", "EUREX", "HKEX", "SGX" })
        board.push_back(
            MakeCommodity(1, no, std::string(no) + "1", "美原油", { { "2701", 1 } }, "芝加哥商业交易所"));
    board.push_back(MakeCommodity(1, "NYMEX", "CL", "美原油", { { "2701", 1 } }));
    board.push_back(MakeCommodity(2, "CFFEX", "IF", "沪深300", { { "2701", 1 } }));
    board.push_back(MakeCommodity(3, "FX", "EUR.USD", "欧元/美元"));
    window.rebuildBoard(board);
    window.InitUi();
    auto& ui = window.ui();
    ui.tabWidget->setCurrentIndex(1);
    window.show();
    QCoreApplication::processEvents();

    // Inside a 1366 x 768 screen less a panel, or 1920 x 1080 less one at 192 DPI.
    const bool large = QGuiApplication::primaryScreen()->logicalDotsPerInch() > 150;
    const QSize screen = large ? QSize(1920, 1040) : QSize(1366, 728);
    const QSize least = window.minimumSizeHint();
    EXPECT_LE(least.width(), screen.width());
    EXPECT_LE(least.height(), screen.height());

    // At the least size and at the screen's, nothing is cut: the panels scroll,
    // the status bar folds, the account menu keeps its button.
    QStatusBar* bar = ui.statusBar;
    for (const QSize size : { least, screen }) {
        window.resize(size);
        const auto fits = [&] {
            for (QObject* child : bar->children()) {
                auto* w = qobject_cast<QWidget*>(child);
                // Texts show whole; the empty input box may narrow.
                if (w && w->isVisible() && (qobject_cast<QLabel*>(w) || qobject_cast<QAbstractButton*>(w))
                    && (w->width() < std::min(w->sizeHint().width(), w->maximumWidth())
                        || w->geometry().right() > bar->width()))
                    return false;
            }
            return true;
        };
        EXPECT_TRUE(WaitFor(fits, 2000)) << size.width();
        EXPECT_TRUE(ui.rToolsBar->widgetForAction(ui.account_action)->isVisible()) << size.width();
        EXPECT_GE(ui.splitter->height(), ui.splitter->minimumSizeHint().height()) << size.width();
        EXPECT_GE(window.panelColumn()->width(), ui.splitter->minimumWidth()) << size.width();
    }
    // What folded is one press away.
    window.resize(least);
    ASSERT_TRUE(WaitFor([&] { return window.statusFolder()->IsFolded(2); }, 2000));
    EXPECT_FALSE(ui.statusBar->findChild<QPushButton*>()->toolTip().isEmpty());
    QMenu* menu = window.statusFolder()->MoreButton()->menu();
    emit menu->aboutToShow();
    ASSERT_FALSE(menu->actions().isEmpty());
    menu->actions().last()->trigger();
    EXPECT_EQ(window.selectedKey(), "C_EUR.USD");
    EXPECT_EQ(window.currentKey(), "C_EUR.USD");
    window.close();
}

TEST(QuorvelInitUi, StartsTheLoginPromptWithTheConfiguredDelay)
{
    TradeConfig* config = TradeConfig::GetInstance();
    const int saved = config->trigger_time;
    const struct {
        int seconds;
        int interval; // -1: not started
    } cases[] = { { 0, 0 }, { 3, 3000 }, { 120, 120000 }, { 5000000, std::numeric_limits<int>::max() },
        { -5, -1 } };
    for (const auto& c : cases) {
        config->trigger_time = c.seconds;
        QuorvelTestPeer window;
        EXPECT_FALSE(window.loginPromptTimer().isActive());
        window.initUiAtScale(1.0);
        EXPECT_TRUE(window.loginPromptTimer().isSingleShot());
        EXPECT_EQ(window.loginPromptTimer().isActive(), c.interval >= 0) << c.seconds;
        if (c.interval >= 0) {
            EXPECT_EQ(window.loginPromptTimer().interval(), c.interval) << c.seconds;
        }
    }
    config->trigger_time = saved;
}

TEST(QuorvelConstruction, StartsWithTablesTimersAndArrowButtons)
{
    QuorvelTestPeer window;
    auto& ui = window.ui();
    EXPECT_EQ(window.windowTitle(), QStringLiteral("Brisvane  v1.0.0"));
    EXPECT_TRUE(window.currentKey().empty());
    EXPECT_TRUE(window.selectedKey().empty());
    EXPECT_TRUE(window.refreshTimer().isActive());
    EXPECT_EQ(window.refreshTimer().interval(), 500);
    EXPECT_FALSE(window.refreshTimer().isSingleShot());
    EXPECT_TRUE(window.statusTimer().isActive());
    EXPECT_EQ(window.statusTimer().interval(), 1000);
    EXPECT_TRUE(window.loginPromptTimer().isSingleShot());
    EXPECT_FALSE(window.loginPromptTimer().isActive());
    EXPECT_EQ(window.chartHost(), nullptr);

    ASSERT_NE(window.expandButton(), nullptr);
    ASSERT_NE(window.collapseButton(), nullptr);
    EXPECT_EQ(window.expandButton()->text(), QStringLiteral(">>"));
    EXPECT_EQ(window.collapseButton()->text(), QStringLiteral("<<"));
    for (QPushButton* b : { window.expandButton(), window.collapseButton() }) {
        EXPECT_EQ(b->parent(), &window);
        EXPECT_EQ(b->styleSheet(), QStringLiteral("border:none;color: rgb(220, 220, 10)"));
    }
    EXPECT_TRUE(window.collapseButton()->isHidden());
    EXPECT_EQ(ui.tabWidget->currentIndex(), 0);
    EXPECT_EQ(ui.quote_tabwidget->currentIndex(), 0);
}

TEST(QuorvelResize, NullEventPlacesTheArrowButtons)
{
    const struct {
        double scale;
        int width;
        bool expandShown;
    } cases[] = { { 1.0, 1600, false }, { 1.0, 1550, false }, { 1.0, 1549, true }, { 1.25, 1900, true },
        { 1.5, 2400, false } };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.width);
        QuorvelTestPeer window;
        window.initUiAtScale(c.scale);
        auto& ui = window.ui();
        ui.quote_tabwidget->setCurrentIndex(1);
        ui.FO_View->setGeometry(7, 11, c.width, 300);
        ui.FO_View->header()->resize(c.width, 31);
        window.replaceArrows();
        const int y = static_cast<int>(c.scale * 30 + (11 + 31 / 2));
        EXPECT_EQ(window.expandButton()->geometry(), QRect(7 + c.width, y, 40, 30));
        EXPECT_EQ(window.collapseButton()->geometry(), QRect(static_cast<int>(c.scale * 30) + 7, y, 40, 30));
        EXPECT_EQ(!window.expandButton()->isHidden(), c.expandShown);
        // "<<" is never shown by the placement, nor ">>" over the chart page.
        EXPECT_TRUE(window.collapseButton()->isHidden());
        ui.tabWidget->setCurrentIndex(1);
        window.replaceArrows();
        EXPECT_TRUE(window.expandButton()->isHidden());
        ui.tabWidget->setCurrentIndex(0);
        window.moved();
    }
}

TEST(QuorvelResize, WidthComesFromTheListOnScreen)
{
    QuorvelTestPeer window;
    window.initUiAtScale(1.0);
    auto& ui = window.ui();
    ui.quote_tabwidget->setCurrentIndex(4);
    ui.FO_View->resize(2000, 300);
    ui.S_View->resize(1000, 300);
    window.replaceArrows();
    EXPECT_FALSE(window.expandButton()->isHidden());
    EXPECT_EQ(window.expandButton()->x(), ui.FO_View->x() + 1000);
    // The stock list has two columns more; the closing empty one takes what is left.
    int full = 0;
    for (int column = 0; column < ui.S_View->header()->count() - 1; ++column)
        full += ui.S_View->columnWidth(column);
    EXPECT_GT(full, 1550 + 2 * 70 - 1);
    ui.S_View->resize(full - 1, 300);
    window.replaceArrows();
    EXPECT_FALSE(window.expandButton()->isHidden());
    ui.S_View->resize(full, 300);
    ui.FO_View->resize(1000, 300);
    window.replaceArrows();
    EXPECT_TRUE(window.expandButton()->isHidden());
    EXPECT_EQ(window.expandButton()->x(), ui.FO_View->x() + full);
}

TEST(QuorvelResize, ArrowsFollowTheListOnceShown)
{
    QuorvelTestPeer window;
    window.initUiAtScale(1.0);
    window.setWindowState(Qt::WindowNoState);
    window.resize(1000, 700);
    window.show();
    QCoreApplication::processEvents();
    const QTreeView* fo = window.ui().FO_View;
    EXPECT_GT(fo->width(), 640);
    EXPECT_EQ(window.expandButton()->x(), fo->x() + fo->width());
    EXPECT_TRUE(window.expandButton()->isVisible());
    window.hide();
}

namespace
{

bool MakeFile(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write("x") == 1;
}

} // namespace

TEST(QuorvelRemoveDir, EmptyMissingAndNested)
{
    EXPECT_FALSE(Quorvel::RemoveDir(QString()));

    QTemporaryDir tmp;
    ASSERT_TRUE(tmp.isValid());
    ASSERT_TRUE(MakeFile(tmp.filePath(QStringLiteral("keep"))));
    EXPECT_TRUE(Quorvel::RemoveDir(tmp.filePath(QStringLiteral("missing"))));

    const QString root = tmp.filePath(QStringLiteral("BootPage"));
    ASSERT_TRUE(QDir().mkpath(root + QStringLiteral("/a/b/c")));
    ASSERT_TRUE(QDir().mkpath(root + QStringLiteral("/empty")));
    for (const char* file : { "/1.png", "/a/2.png", "/a/b/3.png", "/a/b/c/4.png", "/.hidden.png", "/a/.h" })
        ASSERT_TRUE(MakeFile(root + QString::fromLatin1(file)));
    EXPECT_TRUE(Quorvel::RemoveDir(root + QStringLiteral("/")));
    EXPECT_FALSE(QFileInfo::exists(root));
    // The parent still holds a file, so it stays.
    EXPECT_TRUE(QFileInfo::exists(tmp.filePath(QStringLiteral("keep"))));
}

TEST(QuorvelRemoveDir, LinksAreRemovedNotFollowed)
{
    QTemporaryDir tmp;
    ASSERT_TRUE(tmp.isValid());
    const QString outside = tmp.filePath(QStringLiteral("outside"));
    ASSERT_TRUE(QDir().mkpath(outside));
    ASSERT_TRUE(MakeFile(outside + QStringLiteral("/precious.txt")));
    const QString root = tmp.filePath(QStringLiteral("banner"));
    ASSERT_TRUE(QDir().mkpath(root));
    ASSERT_TRUE(MakeFile(root + QStringLiteral("/b.png")));
    ASSERT_TRUE(QFile::link(outside, root + QStringLiteral("/dirlink")));
    ASSERT_TRUE(QFile::link(outside + QStringLiteral("/precious.txt"), root + QStringLiteral("/filelink")));
    ASSERT_TRUE(QFile::link(tmp.filePath(QStringLiteral("nowhere")), root + QStringLiteral("/dangling")));

    EXPECT_TRUE(Quorvel::RemoveDir(root));
    EXPECT_FALSE(QFileInfo::exists(root));
    EXPECT_TRUE(QFileInfo::exists(outside + QStringLiteral("/precious.txt")));

    // A link standing in for the folder itself goes, its target stays.
    const QString linkedRoot = tmp.filePath(QStringLiteral("linked"));
    ASSERT_TRUE(QFile::link(outside, linkedRoot));
    EXPECT_TRUE(Quorvel::RemoveDir(linkedRoot + QStringLiteral("/")));
    EXPECT_FALSE(QFileInfo(linkedRoot).isSymLink());
    EXPECT_TRUE(QFileInfo::exists(outside + QStringLiteral("/precious.txt")));
}

namespace
{

// Records what still stands when the window stops the quote client.
class ClosingWindow : public QuorvelTestPeer
{
public:
    bool modelsAliveAtStop = false;
    bool refreshRunningAtStop = false;
    int stops = 0;

protected:
    void StopQuoteClient() override
    {
        modelsAliveAtStop = allModelsAlive();
        refreshRunningAtStop = refreshTimer().isActive();
        ++stops;
        Quorvel::StopQuoteClient();
    }
};

} // namespace

TEST(QuorvelClose, StopsTheQuoteClientFirstAndReleasesEverything)
{
    ScopedPictureFolder folder;
    ASSERT_TRUE(QDir().mkpath(QStringLiteral("BootPage/sub")));
    ASSERT_TRUE(MakeFile(QStringLiteral("BootPage/sub/1.png")));
    ASSERT_TRUE(QDir().mkpath(QStringLiteral("banner")));
    ASSERT_TRUE(MakeFile(QStringLiteral("banner/2.png")));

    ClosingWindow window;
    window.initUiAtScale(1.0);
    window.setCommodities({ MakeCommodity(1, "NYMEX", "CL", "原油", { { "1907", 1 } }) });
    window.rebuild(1);
    PushQuote(MakeQuote("FO_CL_1907", 60, 59));
    window.tick();

    // Any model that goes away must find the refresh stopped and the quote client stopped.
    int released = 0;
    bool refreshStoppedFirst = true;
    for (int type : { 0, 1, 2, 3, 4, 8 }) {
        QObject::connect(window.model(type), &QObject::destroyed, [&] {
            ++released;
            refreshStoppedFirst
                = refreshStoppedFirst && !window.refreshTimer().isActive() && window.stops == 1;
        });
    }

    QCloseEvent close;
    QApplication::sendEvent(&window, &close);
    EXPECT_TRUE(close.isAccepted());
    EXPECT_EQ(window.stops, 1);
    EXPECT_TRUE(window.modelsAliveAtStop);
    EXPECT_TRUE(window.refreshRunningAtStop);
    EXPECT_EQ(released, 6);
    EXPECT_TRUE(refreshStoppedFirst);
    EXPECT_FALSE(window.anyModelAlive());
    EXPECT_FALSE(window.refreshTimer().isActive());
    EXPECT_FALSE(window.statusTimer().isActive());
    EXPECT_FALSE(window.loginPromptTimer().isActive());
    EXPECT_EQ(window.expandButton(), nullptr);
    EXPECT_EQ(window.collapseButton(), nullptr);
    EXPECT_EQ(window.chartHost(), nullptr);
    EXPECT_FALSE(QFileInfo::exists(QStringLiteral("BootPage")));
    EXPECT_FALSE(QFileInfo::exists(QStringLiteral("banner")));

    // Whatever still arrives afterwards reaches no released model.
    PushQuote(MakeQuote("FO_CL_1907", 61, 59));
    QCoreApplication::processEvents();
    window.tick();
    auto& ui = window.ui();
    for (QTreeView* view : { ui.FO_View, ui.FI_View, ui.C_View, ui.S_View, ui.D_View })
        emit view->header()->sectionClicked(4);
    window.rebuild(1);
    window.replaceArrows();
    window.moved();

    // A second close finds nothing left to release.
    QCloseEvent again;
    QApplication::sendEvent(&window, &again);
    EXPECT_EQ(window.stops, 2);
}

TEST(QuorvelClose, WithoutInitUiOrChartView)
{
    ScopedPictureFolder folder;
    QuorvelTestPeer window;
    QCloseEvent close;
    QApplication::sendEvent(&window, &close);
    EXPECT_TRUE(close.isAccepted());
    EXPECT_FALSE(window.anyModelAlive());
}
