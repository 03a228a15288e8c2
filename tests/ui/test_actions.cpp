#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

#include <QFrame>
#include <QHeaderView>
#include <QImage>
#include <QListView>
#include <QMenu>
#include <QScreen>
#include <QStyleOptionButton>
#include <QStandardItem>
#include <QTreeView>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "selectionpeer.h"

using kw::pb::ostrel2::DepthQuoteField;
using kw::pb::ostrel2::RspReqQryHistoryField;
using kw::pb::ostrel2::TickerField;
using Kind = RecordingWindow::ContractRequest;
using Request = RecordingWindow::Request;

namespace
{

// What the user sees of a bar button: the colour behind its caption, whether
// the caption is darker than that, and whether its sides keep an edge.
using Look = std::tuple<QRgb, bool, bool>;
const Look kChosen { qRgb(219, 219, 219), true, false };
const Look kOther { qRgb(77, 77, 77), false, false };
const Look kChosenEdge { qRgb(219, 219, 219), true, true };
const Look kOtherEdge { qRgb(77, 77, 77), false, true };

Look LookOf(QPushButton* button)
{
    const QImage image = button->grab().toImage();
    const int back = qGray(image.pixel(image.width() / 2, 0));
    int darkest = 255, lightest = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            darkest = std::min(darkest, qGray(image.pixel(x, y)));
            lightest = std::max(lightest, qGray(image.pixel(x, y)));
        }
    QStyleOptionButton option;
    option.initFrom(button);
    const QRect contents = button->style()->subElementRect(QStyle::SE_PushButtonContents, &option, button);
    return { image.pixel(image.width() / 2, 0), back - darkest > lightest - back, contents.left() > 0 };
}

// Five exchanges of type 1, three of type 2, one of type 0.
std::vector<Quorvel::CommodityField> Board()
{
    return {
        MakeCommodity(1, "NYMEX", "CL", "美原油", { { "1906", 0 }, { "1907", 1 } }, "纽约商业"),
        MakeCommodity(1, "COMEX", "GC", "美黄金", { { "2612", 1 } }, "纽约金属"),
        MakeCommodity(1, "CBOT", "ZS", "美大豆", { { "2701", 1 } }, "芝加哥"),
        MakeCommodity(1, "LME", "CA", "伦铜", { { "2703", 1 } }, "伦敦金属"),
        MakeCommodity(1, "SGX", "CN", "A50", { { "2612", 1 } }, "新加坡"),
        MakeCommodity(1, "NYMEX", "NG", "天然气", { { "2701", 1 } }, "纽约商业"),
        MakeCommodity(2, "CFFEX", "IF", "沪深300", { { "2701", 1 }, { "2703", 0 } }, "中金所"),
        MakeCommodity(2, "SHFE", "CU", "沪铜", { { "2702", 1 } }, "上期所"),
        MakeCommodity(2, "DCE", "M", "豆粕", { { "2705", 1 } }, "大商所"),
        MakeCommodity(0, "OWN", "X", "自选", {}, "自选所"),
    };
}

// `count` futures, each on an exchange of its own.
std::vector<Quorvel::CommodityField> Exchanges(int count, const std::string& name)
{
    std::vector<Quorvel::CommodityField> list;
    for (int i = 0; i < count; ++i) {
        const std::string n = std::to_string(i);
        list.push_back(MakeCommodity(1, "X" + n, "C" + n, "品种", { { "2701", 1 } }, name));
    }
    return list;
}

std::vector<std::string> Keys(QStandardItemModel* model)
{
    std::vector<std::string> keys;
    for (int row = 0; row < model->rowCount(); ++row)
        keys.push_back(model->index(row, 3).data().toString().toStdString());
    return keys;
}

class ActionsTest : public testing::Test
{
protected:
    ~ActionsTest() override { window.close(); }

    ScopedPictureFolder pictures;
    RecordingWindow window;
};

} // namespace

TEST_F(ActionsTest, PeriodActionsSelectThePickedContract)
{
    auto& ui = window.ui();
    window.setCommodities(Board());
    // Before any row was picked the key is empty: nothing happens.
    ui.kline_action->trigger();
    EXPECT_TRUE(window.requests.empty());

    window.setSelectedKey("FO_CL_1907");
    struct Case {
        QAction* action;
        int period;
    } cases[] = {
        { ui.min_action, 0 },
        { ui.kline_action, 1 },
        { ui.one_min_action, 1 },
        { ui.five_min_action, 2 },
        { ui.fif_min_action, 3 },
        { ui.one_hour_action, 5 },
        { ui.one_day_action, 9 },
    };
    for (const auto& c : cases) {
        const size_t before = window.requests.size();
        c.action->trigger();
        ASSERT_GT(window.requests.size(), before) << c.action->objectName().toStdString();
        EXPECT_EQ(window.requests.back(), (Request { Kind::QueryKLine, "FO_CL_1907", c.period }))
            << c.action->objectName().toStdString();
    }
    // Each press renews the contract's depth and trades beside its K-lines.
    EXPECT_EQ(window.requests.size(), 3 * std::size(cases));
}

TEST_F(ActionsTest, UnfinishedFeaturesSayDevelopmentIsUnderWay)
{
    auto& ui = window.ui();
    struct Case {
        QAction* action;
        size_t boxes;
    } cases[] = {
        { ui.ask_action, 1 },
        { ui.order_action, 1 },
        { ui.order_action2, 1 },
        { ui.save_action, 1 },
        { ui.update_action, 1 },
        { ui.thr_min_action, 1 },
        { ui.one_week_action, 1 },
        { ui.one_month_action, 1 },
        { ui.self_action, 1 },
        { ui.pull_action, 1 },
        { ui.push_action, 1 },
        { ui.left_action, 1 },
        { ui.right_action, 1 },
        { ui.top_action, 1 },
        { ui.down_action, 1 },
        { ui.other_action, 1 },
        { ui.help_action, 1 },
        { ui.sys_action, 1 },
        { ui.per_action, 1 },
        { ui.bankuai_action, 1 },
        { ui.zixun_action, 2 },
    };
    for (const auto& c : cases) {
        ModalWatcher watcher;
        c.action->trigger();
        ASSERT_EQ(watcher.boxes.size(), c.boxes) << c.action->objectName().toStdString();
        for (const auto& box : watcher.boxes) {
            EXPECT_EQ(box.title, QStringLiteral("info"));
            EXPECT_EQ(box.text, QStringLiteral("功能正在开发中"));
            EXPECT_EQ(box.icon, QMessageBox::Information);
            EXPECT_EQ(box.buttons, 1);
        }
    }
    EXPECT_TRUE(window.requests.empty());
}

TEST_F(ActionsTest, AccountMenuOffersLoginThenLogout)
{
    auto& ui = window.ui();
    ModalWatcher watcher;
    ui.account_action->trigger();
    ASSERT_EQ(watcher.menus.size(), 1u);
    EXPECT_EQ(watcher.menus[0], (std::vector<QAction*> { ui.login_action, ui.logout_action }));
    // The menu is gone once it closed.
    EXPECT_EQ(QApplication::activePopupWidget(), nullptr);
}

TEST_F(ActionsTest, LogoutClearsSilentlyThenWarns)
{
    auto& ui = window.ui();
    window.setLoggedIn(true);
    {
        ModalWatcher watcher;
        ui.logout_action->trigger();
        EXPECT_FALSE(window.loggedIn());
        QApplication::processEvents();
        EXPECT_TRUE(watcher.boxes.empty());
    }
    ModalWatcher watcher;
    ui.logout_action->trigger();
    ASSERT_EQ(watcher.boxes.size(), 1u);
    EXPECT_EQ(watcher.boxes[0].title, QStringLiteral("warn"));
    EXPECT_EQ(watcher.boxes[0].text, QStringLiteral("你尚未登录!"));
    EXPECT_EQ(watcher.boxes[0].icon, QMessageBox::Warning);
    EXPECT_EQ(watcher.boxes[0].buttons, 1);
    EXPECT_FALSE(window.loggedIn());
}

TEST_F(ActionsTest, ExchangeBarFollowsTheCategory)
{
    auto& ui = window.ui();
    window.rebuildBoard(Board());
    ASSERT_EQ(window.exchangeSlots(), 5);
    ASSERT_EQ(window.buttons().size(), 5u);
    ASSERT_EQ(window.separators().size(), 6u) << "one more separator than buttons";
    const QString fiveNames[] = { QStringLiteral(" 纽约商业NYMEX "), QStringLiteral(" 纽约金属COMEX "),
        QStringLiteral(" 芝加哥CBOT "), QStringLiteral(" 伦敦金属LME "), QStringLiteral(" 新加坡SGX ") };
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(window.buttons()[i]->text(), fiveNames[i]);
        EXPECT_FALSE(window.buttons()[i]->isHidden());
        EXPECT_EQ(LookOf(window.buttons()[i]), kOther);
        EXPECT_EQ(window.buttons()[i]->minimumSize(), QSize(50, 25));
        EXPECT_EQ(window.separators()[i]->maximumSize(), i == 0 ? QSize(1, 24) : QSize(1, 12));
        EXPECT_EQ(window.separators()[i]->frameShape(), QFrame::VLine);
        EXPECT_EQ(window.separators()[i]->styleSheet(), QStringLiteral("color: rgb(211, 211, 211)"));
    }
    EXPECT_EQ(window.separators()[5]->maximumSize(), QSize(1, 12));

    // A sorted, folded list of type 2 gets its plain headers and columns back.
    window.model(2)->horizontalHeaderItem(4)->setText(QStringLiteral("最新价↓"));
    window.model(2)->horizontalHeaderItem(12)->setText(QStringLiteral("涨跌幅↑"));
    ui.FI_View->setColumnHidden(5, true);
    ui.FI_View->setColumnHidden(22, true);
    window.collapseButton()->show();

    ui.quote_tabwidget->setCurrentIndex(2); // "期货", three exchanges
    const QString threeNames[]
        = { QStringLiteral(" 中金所CFFEX "), QStringLiteral(" 上期所SHFE "), QStringLiteral(" 大商所DCE ") };
    for (size_t i = 0; i < 5; ++i) {
        const bool used = i < 3;
        EXPECT_EQ(window.buttons()[i]->isHidden(), !used) << i;
        EXPECT_EQ(window.separators()[i]->isHidden(), !used) << i;
        EXPECT_EQ(window.buttons()[i]->text(), used ? threeNames[i] : QString()) << i;
        EXPECT_EQ(window.separators()[i]->maximumSize(), i == 0 ? QSize(1, 24) : QSize(1, 12));
    }
    EXPECT_EQ(LookOf(ui.pushButton), kChosen);
    EXPECT_EQ(window.model(2)->horizontalHeaderItem(4)->text(), QStringLiteral("最新价"));
    EXPECT_EQ(window.model(2)->horizontalHeaderItem(12)->text(), QStringLiteral("涨跌幅"));
    for (int column = 3; column <= 22; ++column)
        EXPECT_FALSE(ui.FI_View->isColumnHidden(column)) << column;
    EXPECT_TRUE(window.collapseButton()->isHidden());
    EXPECT_EQ(Keys(window.model(2)), (std::vector<std::string> { "IF2701", "CU2702", "M2705" }));

    // Exchange button 0: its separators 0 and 1 tall, the list of that exchange.
    struct Pick {
        int button;
        std::vector<std::string> keys;
    } picks[] = {
        { 0, { "IF2701", "IF2703" } },
        { 1, { "CU2702" } },
        { 2, { "M2705" } },
    };
    for (const auto& pick : picks) {
        ui.tabWidget->setCurrentIndex(1);
        window.exchangeClicked(pick.button);
        EXPECT_EQ(ui.tabWidget->currentIndex(), 0);
        EXPECT_EQ(LookOf(ui.pushButton), kOther);
        for (size_t i = 0; i < 5; ++i)
            EXPECT_EQ(LookOf(window.buttons()[i]), static_cast<int>(i) == pick.button ? kChosen : kOther);
        for (size_t i = 0; i < 6; ++i) {
            const bool tall = static_cast<int>(i) == pick.button || static_cast<int>(i) == pick.button + 1;
            EXPECT_EQ(window.separators()[i]->maximumSize(), tall ? QSize(1, 24) : QSize(1, 12))
                << "button " << pick.button << " separator " << i;
        }
        EXPECT_EQ(Keys(window.model(2)), pick.keys);
    }

    // " 主力合约 ": one row per commodity again, only separator 0 tall.
    ui.tabWidget->setCurrentIndex(1);
    window.mainContractClicked();
    EXPECT_EQ(ui.tabWidget->currentIndex(), 0);
    EXPECT_EQ(LookOf(ui.pushButton), kChosenEdge);
    for (QPushButton* button : window.buttons())
        EXPECT_EQ(LookOf(button), kOtherEdge);
    for (size_t i = 0; i < 6; ++i)
        EXPECT_EQ(window.separators()[i]->maximumSize(), i == 0 ? QSize(1, 24) : QSize(1, 12));
    EXPECT_EQ(Keys(window.model(2)), (std::vector<std::string> { "IF2701", "CU2702", "M2705" }));

    // Back to five exchanges: all slots in use again.
    ui.quote_tabwidget->setCurrentIndex(1);
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_FALSE(window.buttons()[i]->isHidden());
        EXPECT_EQ(window.buttons()[i]->text(), fiveNames[i]);
    }

    // On the custom tab the buttons refill the custom list (category 0).
    ui.quote_tabwidget->setCurrentIndex(0);
    ASSERT_EQ(window.exchanges().size(), 1u);
    EXPECT_EQ(window.buttons()[0]->text(), QStringLiteral(" 自选所OWN "));
    window.exchangeClicked(0);
    EXPECT_EQ(Keys(window.model(0)), (std::vector<std::string> { "X" }));
    window.mainContractClicked();
    EXPECT_EQ(Keys(window.model(0)), (std::vector<std::string> { "X" }));
    // A hidden slot pressed by code does nothing to the list.
    window.exchangeClicked(4);
    EXPECT_EQ(Keys(window.model(0)), (std::vector<std::string> { "X" }));
}

TEST_F(ActionsTest, ExchangeButtonsAreWiredToTheirSlots)
{
    auto& ui = window.ui();
    window.rebuildBoard(Board());
    ui.quote_tabwidget->setCurrentIndex(1);
    window.buttons()[1]->click();
    EXPECT_EQ(Keys(window.model(1)), (std::vector<std::string> { "GC2612" }));
    EXPECT_EQ(LookOf(window.buttons()[1]), kChosen);
    ui.pushButton->click();
    EXPECT_EQ(window.model(1)->rowCount(), 6);
}

TEST_F(ActionsTest, FoldingHidesFromColumnThreeUp)
{
    auto& ui = window.ui();
    ui.quote_tabwidget->setCurrentIndex(1);
    // At scale 1 the columns are 30, 40, 100, 70, 70, 50 and then 70 wide:
    // 1550 in all. ">>" folds the columns from 3 up to the first one out of
    // room, or fewer when that lets all the rest fit.
    struct Case {
        int width;
        int presses;
        int foldEnd; // columns 3 .. foldEnd - 1 hidden
        bool collapseShown;
    } cases[] = {
        { 1600, 1, 0, false },
        { 1550, 1, 0, false },
        { 1549, 1, 4, true },
        { 500, 1, 8, true },
        { 500, 2, 12, true },
        { 290, 1, 4, true },
        { 200, 1, 4, true },
        { 150, 1, 4, true },
        { 150, 2, 5, true },
    };
    window.initUiAtScale(1.0);
    ui.quote_tabwidget->setCurrentIndex(1);
    for (const auto& c : cases) {
        window.collapseClicked();
        ui.FO_View->resize(c.width, 300);
        for (int i = 0; i < c.presses; ++i)
            window.expandClicked();
        for (int column = 0; column < 24; ++column) {
            const bool hidden = column >= 3 && column < c.foldEnd;
            EXPECT_EQ(ui.FO_View->isColumnHidden(column), hidden)
                << "width " << c.width << " presses " << c.presses << " column " << column;
        }
        EXPECT_EQ(!window.collapseButton()->isHidden(), c.collapseShown) << c.width;
    }

    // "<<" shows every column again and hides itself.
    window.setScale(1.0);
    ui.FO_View->resize(500, 300);
    window.expandClicked();
    window.collapseClicked();
    for (int column = 3; column <= 22; ++column)
        EXPECT_FALSE(ui.FO_View->isColumnHidden(column));
    EXPECT_TRUE(window.collapseButton()->isHidden());

    // On the custom tab "<<" hides itself and touches no column.
    ui.quote_tabwidget->setCurrentIndex(0);
    ui.any_View->setColumnHidden(4, true);
    window.collapseButton()->show();
    window.collapseClicked();
    EXPECT_TRUE(ui.any_View->isColumnHidden(4));
    EXPECT_TRUE(window.collapseButton()->isHidden());

    // "后退" goes to the list page from any tab and unfolds the list.
    for (int tab : { 0, 1, 5 }) {
        ui.quote_tabwidget->setCurrentIndex(tab);
        ui.tabWidget->setCurrentIndex(1);
        ui.D_View->setColumnHidden(7, true);
        window.collapseButton()->show();
        window.returnAction();
        EXPECT_EQ(ui.tabWidget->currentIndex(), 0) << tab;
        EXPECT_TRUE(window.collapseButton()->isHidden()) << tab;
        EXPECT_EQ(ui.D_View->isColumnHidden(7), tab != 5) << tab;
    }
    ui.D_View->setColumnHidden(7, false);

    // The two buttons are wired to the folding.
    ui.quote_tabwidget->setCurrentIndex(1);
    ui.FO_View->resize(500, 300);
    window.expandButton()->click();
    EXPECT_TRUE(ui.FO_View->isColumnHidden(3));
    window.collapseButton()->click();
    EXPECT_FALSE(ui.FO_View->isColumnHidden(3));
}

TEST_F(ActionsTest, QuoteClientSignalsAndRowSignalsReachTheWindow)
{
    auto& ui = window.ui();
    window.rebuildBoard(Board());
    NQuoteClient* client = NQuoteClient::Instance();

    // Row signals of the five category views, each with its own type.
    struct View {
        QTreeView* view;
        int type;
        std::string firstKey;
    } views[] = {
        { ui.FO_View, 1, "FO_CL_1907" },
        { ui.FI_View, 2, "FI_IF_2701" },
    };
    for (const auto& v : views) {
        emit v.view->clicked(window.model(v.type)->index(0, 0));
        EXPECT_EQ(window.selectedKey(), v.firstKey);
        window.setSelectedKey("");
        window.setLoggedIn(true);
        emit v.view->doubleClicked(window.model(v.type)->index(0, 0));
        EXPECT_EQ(window.currentKey(), v.firstKey);
        EXPECT_EQ(window.selectedKey(), v.firstKey);
    }
    // The custom view has no click connections.
    window.rebuild(0);
    emit ui.any_View->doubleClicked(window.model(0)->index(0, 0));
    EXPECT_EQ(window.currentKey(), "FI_IF_2701");

    DepthQuoteField depth;
    depth.set_contract_code("FI_IF_2701");
    depth.set_level(3);
    depth.set_ask_price(4000.2);
    emit client->depth_quote_sig(depth);
    EXPECT_EQ(ui.ask_price3->text(), QStringLiteral("4000.2"));

    TickerField tick;
    tick.set_contract_code("FI_IF_2701");
    tick.set_price(3999.8);
    emit client->ticker_quote_sig(tick);
    EXPECT_EQ(ui.ticker_price_7->text(), QStringLiteral("3999.8"));

    emit client->connect_sig();
    EXPECT_TRUE(window.isConnected());
    emit client->disconnect_sig();
    EXPECT_FALSE(window.isConnected());

    window.initUi();
    RspReqQryHistoryField kline;
    kline.set_contract_code("FI_IF_2701");
    emit client->Kline_sig(kline);
    EXPECT_NE(window.chartView(), nullptr);
    EXPECT_EQ(ui.tabWidget->currentIndex(), 1);
    window.close();
    if (IChartell* view = window.chartView()) {
        view->Release();
        DeleteChartell(view);
        window.chartView() = nullptr;
    }
}

TEST_F(ActionsTest, ACategoryWithMoreExchangesThanButtonsUsesTheButtonsThereAre)
{
    auto& ui = window.ui();
    // Five exchanges in the built categories, six in the custom one, which
    // no start-up build lists.
    std::vector<Quorvel::CommodityField> board = Board();
    for (const char* exchange : { "A", "B", "C", "D", "E" })
        board.push_back(MakeCommodity(0, exchange, std::string("X") + exchange, "自选"));
    window.rebuildBoard(board);
    ASSERT_EQ(window.buttons().size(), 5u);

    ui.quote_tabwidget->setCurrentIndex(1);
    ui.quote_tabwidget->setCurrentIndex(0);
    EXPECT_EQ(window.exchanges().size(), 6u);
    EXPECT_EQ(window.exchangeSlots(), 6);
    for (QPushButton* button : window.buttons())
        EXPECT_FALSE(button->isHidden());
    EXPECT_EQ(window.buttons()[4]->text(), QStringLiteral(" 交易所D "));
    window.exchangeClicked(5); // no button of its own, but its list exists
    EXPECT_EQ(Keys(window.model(0)), (std::vector<std::string> { "XE" }));
}

TEST_F(ActionsTest, LegibleExchangeBarAtEveryWidth)
{
    auto& ui = window.ui();
    const double dpi = QGuiApplication::primaryScreen()->logicalDotsPerInch();
    window.initUiAtScale(Quorvel::ScaleForDpi(dpi));
    window.setWindowState(Qt::WindowNoState);
    window.show();
    ASSERT_TRUE(WaitFor([&] { return ui.widget->isVisible(); }));
    // The log's warnings echo on standard output.
    testing::internal::CaptureStdout();
    const struct {
        const char* what;
        std::vector<Quorvel::CommodityField> board;
    } cases[] = {
        { "five", Board() },
        { "forty", Exchanges(40, "洲际交易所") },
        { "twenty thousand", Exchanges(20000, "所") },
        { "10 KB names", Exchanges(3, std::string(10000, 'N')) },
        { "no names", Exchanges(30, "") },
        { "one", Exchanges(1, "纽约商业") },
    };
    for (const auto& c : cases) {
        window.rebuildBoard(c.board);
        const size_t count = window.exchanges().size();
        EXPECT_LE(window.buttons().size(), 24u) << c.what;
        for (int width : { 0, 1024, 1280, 1366, 1920, 2600 }) {
            SCOPED_TRACE(
                std::string(c.what) + " at " + std::to_string(width) + " px, " + std::to_string(dpi));
            window.resize(std::max(width, window.minimumSizeHint().width()), 700);
            ASSERT_TRUE(WaitFor([&] { return ui.widget->width() + 40 >= window.width(); }));
            QApplication::processEvents();
            // The bar never asks for more than its fixed part, so it never widens the window.
            EXPECT_LE(ui.widget->minimumWidth(), Quorvel::ScaledSize(dpi / 96.0, 300));
            std::vector<QPushButton*> shown { ui.pushButton };
            for (QPushButton* button : window.buttons()) {
                if (button->isVisible())
                    shown.push_back(button);
            }
            if (window.exchangeOverflow()->isVisible())
                shown.push_back(window.exchangeOverflow());
            const size_t onButtons = shown.size() - 1 - (window.exchangeOverflow()->isVisible() ? 1 : 0);
            EXPECT_EQ(window.exchangeBarFitter()->FirstFolded(), onButtons);
            for (size_t i = 0; i < shown.size(); ++i) {
                QPushButton* button = shown[i];
                EXPECT_TRUE(ui.widget->rect().contains(button->geometry())) << i;
                if (i > 0) {
                    EXPECT_LE(shown[i - 1]->geometry().right(), button->geometry().left()) << i;
                }
                QStyleOptionButton option;
                option.initFrom(button);
                option.text = button->text();
                const QRect label
                    = button->style()->subElementRect(QStyle::SE_PushButtonContents, &option, button);
                EXPECT_GE(label.width(), button->fontMetrics().horizontalAdvance(button->text().trimmed()))
                    << i;
                if (button->text().contains(QChar(0x2026))) {
                    EXPECT_FALSE(button->toolTip().isEmpty()) << i;
                }
            }
            // Whatever has no button is one click away, in the order of the list.
            ASSERT_EQ(window.exchangeOverflow()->isVisible(), onButtons < count);
            if (onButtons == count)
                continue;
            QMenu* menu = window.exchangeBarFitter()->OverflowMenu();
            auto* list = menu->findChild<QListView*>();
            ASSERT_TRUE(list);
            ASSERT_EQ(static_cast<size_t>(list->model()->rowCount()), count - onButtons);
            EXPECT_LE(list->width(), Quorvel::ScaledSize(dpi / 96.0, 400));
            emit list->clicked(list->model()->index(list->model()->rowCount() - 1, 0));
            EXPECT_EQ(window.model(1)->rowCount(), 1);
            // The list holds the last exchange's commodity.
            const std::string picked = Quorvel::ContractKeyPart1(window.model(1)->Rows()[0].key);
            const auto commodity = std::find_if(c.board.begin(), c.board.end(),
                [&](const Quorvel::CommodityField& f) { return f.commodity_no() == picked; });
            ASSERT_NE(commodity, c.board.end());
            EXPECT_EQ(commodity->exchange_no(), window.exchanges().back().second);
            window.mainContractClicked();
        }
    }
    const std::string out = testing::internal::GetCapturedStdout();
    const size_t first = out.find("exchange bar: 40 exchanges, buttons for the first 24");
    EXPECT_NE(first, std::string::npos) << out;
    EXPECT_EQ(out.find("exchange bar:", first + 1), std::string::npos) << "once, for all the lists";
}
