#include <QAction>
#include <QBoxLayout>
#include <QDir>
#include <QGridLayout>
#include <QImage>
#include <QMainWindow>
#include <QSplitter>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "mytabwidget.h"
#include "ui_kwtradeclient.h"

namespace
{

struct ActionSpec {
    const char* name;
    const char* text;
    const char* icon; // number of the picture, or null
    const char* toolBar;
};

const ActionSpec kActions[] = {
    { "return_action", "后退", "003", "mainToolBar" },
    { "ask_action", "报价", "004", "mainToolBar" },
    { "min_action", "分时", "005", "mainToolBar" },
    { "kline_action", "K线", "006", "mainToolBar" },
    { "order_action", "下单主窗口", "007", "mainToolBar" },
    { "order_action2", "画线下单", "008", "mainToolBar" },
    { "save_action", "保存", "009", "mainToolBar" },
    { "update_action", "刷新", "010", "mainToolBar" },
    { "one_min_action", "1分钟", "011", "mainToolBar" },
    { "thr_min_action", "3分钟", "012", "mainToolBar" },
    { "five_min_action", "5分钟", "013", "mainToolBar" },
    { "fif_min_action", "15分钟", "014", "mainToolBar" },
    { "one_hour_action", "1小时", "015", "mainToolBar" },
    { "one_day_action", "日线", "016", "mainToolBar" },
    { "one_week_action", "周线", "017", "mainToolBar" },
    { "one_month_action", "月线", "018", "mainToolBar" },
    { "self_action", "自定义周期", "019", "mainToolBar" },
    { "pull_action", "水平放大", "020", "mainToolBar" },
    { "push_action", "水平压缩", "021", "mainToolBar" },
    { "left_action", "左翻K线", "022", "mainToolBar" },
    { "right_action", "右翻K线", "023", "mainToolBar" },
    { "top_action", "上翻合约", "024", "mainToolBar" },
    { "down_action", "下翻合约", "025", "mainToolBar" },
    { "other_action", "其他按钮", "027", "mainToolBar" },
    { "sys_action", "系统工具", nullptr, "rToolsBar" },
    { "help_action", "帮助", nullptr, "rToolsBar" },
    { "per_action", "个性化", nullptr, "rToolsBar" },
    { "zixun_action", "资讯", nullptr, "rToolsBar" },
    { "account_action", "账户", nullptr, "rToolsBar" },
    { "bankuai_action", "板块", nullptr, "rToolsBar" },
    { "find_action", "发现", nullptr, "rToolsBar" },
    { "login_action", "登录", nullptr, nullptr },
    { "logout_action", "登出", nullptr, nullptr },
};

QString U(const char* text)
{
    return QString::fromUtf8(text);
}

// A distinct colour per icon number, so the test can tell which file an icon came from.
QColor IconColour(int number)
{
    return QColor(number * 9 % 256, 255 - number * 7 % 256, number * 3 % 256);
}

class FormTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_previous = QDir::currentPath();
        QDir(m_dir.path()).mkpath(QStringLiteral("Resources"));
        for (int n = 3; n <= 27; ++n) {
            QImage image(4, 4, QImage::Format_RGB32);
            image.fill(IconColour(n));
            image.save(m_dir.filePath(QStringLiteral("Resources/%1.png").arg(n, 3, 10, QLatin1Char('0'))));
        }
        QDir::setCurrent(m_dir.path());
        ui.setupUi(&window);
    }
    void TearDown() override { QDir::setCurrent(m_previous); }

    template <typename T> T* Find(const char* name)
    {
        T* found = window.findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(found, nullptr) << name;
        return found;
    }

    QTemporaryDir m_dir;
    QString m_previous;
    QMainWindow window;
    Ui_KwTradeClientClass ui;
};

void ExpectMargins(QLayout* layout, int left, int top, int right, int bottom)
{
    ASSERT_NE(layout, nullptr);
    EXPECT_EQ(layout->contentsMargins(), QMargins(left, top, right, bottom))
        << layout->objectName().toStdString();
}

} // namespace

TEST_F(FormTest, WindowProperties)
{
    EXPECT_EQ(window.objectName(), QStringLiteral("KwTradeClientClass"));
    EXPECT_EQ(window.windowTitle(), QStringLiteral("Brisvane  v1.0.0"));
    EXPECT_EQ(window.size(), QSize(1260, 853));
    EXPECT_EQ(window.windowModality(), Qt::NonModal);
    EXPECT_EQ(window.font().family(), U("宋体"));
    EXPECT_EQ(window.font().pointSize(), 9);
    EXPECT_EQ(window.font().weight(), 50);
    EXPECT_FALSE(window.font().bold());
    EXPECT_FALSE(window.font().italic());
    EXPECT_TRUE(window.styleSheet().isEmpty());
    EXPECT_EQ(window.tabShape(), QTabWidget::Rounded);
    EXPECT_EQ(window.dockOptions(), QMainWindow::AnimatedDocks | QMainWindow::AllowTabbedDocks);
    EXPECT_EQ(window.menuWidget(), nullptr);
    EXPECT_EQ(window.centralWidget(), ui.centralWidget);
    EXPECT_EQ(window.statusBar(), ui.statusBar);
}

TEST_F(FormTest, ActionsWithTextsIconsAndToolBars)
{
    int count = 0;
    for (QObject* child : window.children())
        count += qobject_cast<QAction*>(child) ? 1 : 0;
    EXPECT_EQ(count, 33);

    QList<QAction*> mainActions;
    for (const ActionSpec& def : kActions) {
        QAction* action = Find<QAction>(def.name);
        ASSERT_NE(action, nullptr);
        EXPECT_EQ(action->parent(), &window);
        EXPECT_EQ(action->text(), U(def.text)) << def.name;
        EXPECT_FALSE(action->isCheckable()) << def.name;
        if (def.icon) {
            const QImage icon = action->icon().pixmap(4, 4).toImage();
            ASSERT_FALSE(icon.isNull()) << def.name;
            EXPECT_EQ(icon.pixelColor(1, 1), IconColour(QString::fromLatin1(def.icon).toInt())) << def.name;
        } else {
            EXPECT_TRUE(action->icon().isNull()) << def.name;
        }
        const bool onMain = ui.mainToolBar->actions().contains(action);
        const bool onRight = ui.rToolsBar->actions().contains(action);
        EXPECT_EQ(onMain, def.toolBar && std::string(def.toolBar) == "mainToolBar") << def.name;
        EXPECT_EQ(onRight, def.toolBar && std::string(def.toolBar) == "rToolsBar") << def.name;
        if (onMain)
            mainActions.append(action);
    }
    EXPECT_EQ(ui.mainToolBar->actions(), mainActions);
    EXPECT_EQ(ui.rToolsBar->actions(),
        (QList<QAction*> { ui.help_action, ui.sys_action, ui.per_action, ui.zixun_action, ui.account_action,
            ui.bankuai_action, ui.find_action }));
    EXPECT_EQ(ui.login_action->toolTip(), U("登录"));
}

TEST_F(FormTest, ToolBarsAndStatusBar)
{
    EXPECT_EQ(window.toolBarArea(ui.mainToolBar), Qt::TopToolBarArea);
    EXPECT_EQ(window.toolBarArea(ui.rToolsBar), Qt::TopToolBarArea);
    EXPECT_EQ(ui.mainToolBar->sizePolicy().horizontalPolicy(), QSizePolicy::Preferred);
    EXPECT_EQ(ui.mainToolBar->sizePolicy().verticalPolicy(), QSizePolicy::Fixed);
    EXPECT_EQ(ui.mainToolBar->minimumHeight(), 30);
    EXPECT_EQ(ui.mainToolBar->styleSheet(), U("background-color: rgb(229, 229, 229);\nborder-right:0"));
    EXPECT_EQ(ui.rToolsBar->styleSheet(), U("background-color: rgb(229, 229, 229);\nborder-left:0"));
    for (QToolBar* bar : { ui.mainToolBar, ui.rToolsBar }) {
        EXPECT_FALSE(bar->isMovable());
        EXPECT_FALSE(bar->isFloatable());
        EXPECT_EQ(bar->allowedAreas(), Qt::AllToolBarAreas);
    }
    EXPECT_EQ(ui.rToolsBar->font().family(), U("宋体"));
    EXPECT_EQ(ui.rToolsBar->font().pointSize(), 9);
    EXPECT_EQ(ui.rToolsBar->layoutDirection(), Qt::RightToLeft);
    EXPECT_FALSE(ui.rToolsBar->autoFillBackground());
    EXPECT_EQ(ui.rToolsBar->toolButtonStyle(), Qt::ToolButtonTextBesideIcon);
    EXPECT_EQ(ui.rToolsBar->windowTitle(), U("toolBar"));
    EXPECT_EQ(ui.statusBar->styleSheet(), U("background-color: rgb(230, 230, 230);"));
}

TEST_F(FormTest, CentralAreaAndCategoryBar)
{
    EXPECT_EQ(ui.centralWidget->font().family(), U("宋体"));
    EXPECT_EQ(ui.centralWidget->font().pointSize(), 12);
    EXPECT_EQ(ui.centralWidget->styleSheet(), U("background-color: rgb(77, 77, 77);"));
    EXPECT_EQ(ui.gridLayout_7->spacing(), 0);
    ExpectMargins(ui.gridLayout_7, 0, 0, 0, 0);
    EXPECT_EQ(ui.verticalLayout->spacing(), 1);
    ASSERT_EQ(ui.verticalLayout->count(), 2);
    EXPECT_EQ(ui.verticalLayout->itemAt(0)->widget(), ui.frame_2);
    EXPECT_EQ(ui.verticalLayout->itemAt(1)->widget(), ui.widget);

    EXPECT_EQ(ui.frame_2->styleSheet(), U("background-color: rgb(77, 77,77);\n"));
    EXPECT_EQ(ui.frame_2->frameShape(), QFrame::StyledPanel);
    EXPECT_EQ(ui.frame_2->frameShadow(), QFrame::Raised);
    EXPECT_EQ(ui.gridLayout_6->spacing(), 6);
    ExpectMargins(ui.gridLayout_6, 4, 0, 4, 0);

    EXPECT_EQ(ui.tabWidget->styleSheet(),
        U("\nQTabWidget::pane { border:0;} \n/*background-color: rgb(0, 0, 0);*/\n"));
    ASSERT_EQ(ui.tabWidget->count(), 2);
    EXPECT_EQ(ui.tabWidget->widget(0), ui.tab_5);
    EXPECT_EQ(ui.tabWidget->tabText(0), U("Tab 1"));
    EXPECT_EQ(ui.tabWidget->widget(1), ui.tab_6);
    EXPECT_EQ(ui.tabWidget->tabText(1), U("页"));
    EXPECT_EQ(ui.tabWidget->currentIndex(), 0);
    EXPECT_EQ(ui.gridLayout_4->spacing(), 6);
    EXPECT_EQ(ui.gridLayout_4->contentsMargins().left(), 0);
    EXPECT_EQ(ui.gridLayout_4->contentsMargins().bottom(), 0);

    EXPECT_EQ(ui.widget->font().pointSize(), 10);
    EXPECT_EQ(ui.widget->styleSheet(),
        U("background-color: rgb(77, 77, 77);\ncolor: rgb(231, 231, 231);\nfont: 10pt \"宋体\";\n"));
    EXPECT_EQ(ui.horizontalLayout->spacing(), 0);
    ExpectMargins(ui.horizontalLayout, 0, 0, 0, 0);
    EXPECT_EQ(ui.horizontalLayout->sizeConstraint(), QLayout::SetDefaultConstraint);
    ASSERT_EQ(ui.horizontalLayout->count(), 2);
    EXPECT_EQ(ui.horizontalLayout->itemAt(0)->widget(), ui.label);
    EXPECT_EQ(ui.horizontalLayout->itemAt(1)->widget(), ui.pushButton);
    EXPECT_EQ(ui.label->minimumWidth(), 33);
    EXPECT_TRUE(ui.label->text().isEmpty());
    EXPECT_EQ(ui.pushButton->text(), U(" 主力合约 "));
    EXPECT_EQ(ui.pushButton->sizePolicy().horizontalPolicy(), QSizePolicy::Minimum);
    EXPECT_EQ(ui.pushButton->sizePolicy().verticalPolicy(), QSizePolicy::Minimum);
    EXPECT_EQ(ui.pushButton->styleSheet(),
        U("background-color: rgb(219, 219, 219);\nfont: 10pt \"宋体\";\ncolor: rgb(0, 0, "
          "0);\nborder:none;\n\n\n"));
}

TEST_F(FormTest, QuoteTabWidgetPagesAndViews)
{
    MyTabWidget* tabs = ui.quote_tabwidget;
    EXPECT_NE(dynamic_cast<MyTabBar*>(tabs->tabBar()), nullptr);
    EXPECT_TRUE(tabs->isEnabled());
    EXPECT_EQ(tabs->minimumSize(), QSize(0, 0));
    EXPECT_EQ(tabs->font().family(), U("宋体"));
    EXPECT_EQ(tabs->font().pointSize(), 12);
    EXPECT_FALSE(tabs->hasTabletTracking());
    EXPECT_EQ(tabs->focusPolicy(), Qt::TabFocus);
    EXPECT_EQ(tabs->contextMenuPolicy(), Qt::DefaultContextMenu);
    EXPECT_FALSE(tabs->acceptDrops());
    EXPECT_EQ(tabs->layoutDirection(), Qt::LeftToRight);
    EXPECT_FALSE(tabs->autoFillBackground());
    EXPECT_EQ(tabs->styleSheet(),
        U("\nQTabWidget::pane { border:0;} \nQTreeView {border:none;}\nQHeaderView::section {\n    "
          "background:transparent;}\nQScrollBar{\n\tbackground-color: rgb(75, 75, 0);\n};\nbackground-color: "
          "rgb(0, 0, 0);\ncolor: rgb(231, 231, 231);\n\n    \n\n\n\n\n\n\n\n\n"));
    EXPECT_EQ(tabs->tabPosition(), QTabWidget::West);
    EXPECT_EQ(tabs->tabShape(), QTabWidget::Triangular);
    EXPECT_FALSE(tabs->usesScrollButtons());
    EXPECT_FALSE(tabs->documentMode());
    EXPECT_FALSE(tabs->tabsClosable());
    EXPECT_FALSE(tabs->tabBarAutoHide());
    EXPECT_EQ(tabs->currentIndex(), 0);

    const struct {
        QWidget* page;
        QGridLayout* layout;
        QTreeView* view;
        const char* text;
        const char* pageName;
        const char* layoutName;
        const char* viewName;
        bool frameless;
        int headerSection; // default section size set by the form, 0 when left alone
    } pages[] = {
        { ui.tab, ui.gridLayout_2, ui.any_View, "自定义", "tab", "gridLayout_2", "any_View", true, 40 },
        { ui.tab_2, ui.gridLayout_3, ui.FO_View, "外盘", "tab_2", "gridLayout_3", "FO_View", true, 40 },
        { ui.tab_3, ui.gridLayout_5, ui.FI_View, "期货", "tab_3", "gridLayout_5", "FI_View", true, 40 },
        { ui.tab_18, ui.gridLayout_18, ui.C_View, "外汇", "tab_18", "gridLayout_18", "C_View", false, 40 },
        { ui.tab_4, ui.gridLayout_17, ui.S_View, "股票", "tab_4", "gridLayout_17", "S_View", false, 0 },
        { ui.tab_7, ui.gridLayout_8, ui.D_View, "数字货币", "tab_7", "gridLayout_8", "D_View", false, 0 },
    };
    ASSERT_EQ(tabs->count(), 6);
    const QTreeView plain;
    for (int i = 0; i < 6; ++i) {
        const auto& p = pages[i];
        SCOPED_TRACE(p.viewName);
        EXPECT_EQ(tabs->widget(i), p.page);
        EXPECT_EQ(tabs->tabText(i), U(p.text));
        EXPECT_EQ(p.page->objectName(), QString::fromLatin1(p.pageName));
        EXPECT_EQ(p.layout->objectName(), QString::fromLatin1(p.layoutName));
        EXPECT_EQ(p.view->objectName(), QString::fromLatin1(p.viewName));
        EXPECT_EQ(p.page->layout(), p.layout);
        EXPECT_EQ(p.layout->spacing(), 6);
        EXPECT_EQ(p.layout->contentsMargins().right(), 0);
        EXPECT_EQ(p.layout->contentsMargins().bottom(), 0);
        if (p.layout == ui.gridLayout_17) {
            EXPECT_EQ(p.layout->contentsMargins().top(), 9);
        }
        ASSERT_EQ(p.layout->count(), 1);
        EXPECT_EQ(p.layout->itemAtPosition(0, 0)->widget(), p.view);
        EXPECT_EQ(p.view->font().pointSize(), 12);
        EXPECT_EQ(p.view->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
        EXPECT_EQ(p.view->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
        EXPECT_EQ(p.view->indentation(), 5);
        EXPECT_EQ(p.view->frameShape() == QFrame::NoFrame, p.frameless);
        EXPECT_EQ(p.view->header()->defaultSectionSize(),
            p.headerSection ? p.headerSection : plain.header()->defaultSectionSize());
    }
    EXPECT_EQ(ui.any_View->frameShadow(), QFrame::Sunken);
    EXPECT_TRUE(ui.any_View->isHeaderHidden() == false);
    EXPECT_TRUE(ui.any_View->expandsOnDoubleClick());
    EXPECT_TRUE(ui.any_View->showDropIndicator());
    EXPECT_FALSE(ui.any_View->header()->highlightSections());
    EXPECT_FALSE(ui.FO_View->header()->highlightSections());
    EXPECT_EQ(ui.FO_View->sizeAdjustPolicy(), QAbstractScrollArea::AdjustIgnored);
    EXPECT_FALSE(ui.FO_View->header()->isSortIndicatorShown());
}

TEST_F(FormTest, ChartPageSplitterTree)
{
    EXPECT_EQ(ui.tab_6->styleSheet(),
        U("background-color: rgb(0, 0, 0);\nQSplitter::handle;\ncolor: rgb(231, 231,231);\nfont: 10pt "
          "\"宋体\";"));
    EXPECT_EQ(ui.gridLayout->spacing(), 6);
    ExpectMargins(ui.gridLayout, 0, 20, 0, 20);
    EXPECT_EQ(ui.gridLayout->itemAtPosition(0, 0)->widget(), ui.splitter_2);

    const struct {
        QSplitter* splitter;
        Qt::Orientation orientation;
        std::vector<QWidget*> children;
    } tree[] = {
        { ui.splitter_2, Qt::Horizontal, { ui.widget_2, ui.splitter } },
        { ui.splitter, Qt::Vertical, { ui.splitter_5, ui.layoutWidget_4 } },
        { ui.splitter_5, Qt::Vertical, { ui.layoutWidget_2, ui.splitter_4 } },
        { ui.splitter_4, Qt::Horizontal, { ui.layoutWidget_3 } },
    };
    for (const auto& node : tree) {
        SCOPED_TRACE(node.splitter->objectName().toStdString());
        EXPECT_EQ(node.splitter->orientation(), node.orientation);
        ASSERT_EQ(node.splitter->count(), static_cast<int>(node.children.size()));
        for (int i = 0; i < node.splitter->count(); ++i)
            EXPECT_EQ(node.splitter->widget(i), node.children[static_cast<size_t>(i)]);
    }
    EXPECT_EQ(ui.splitter->minimumSize(), QSize(320, 0));
    EXPECT_EQ(ui.splitter->font().family(), U("宋体"));
    EXPECT_EQ(ui.splitter->font().pointSize(), 10);
    EXPECT_EQ(ui.splitter_5->handleWidth(), 15);
    EXPECT_EQ(ui.splitter_4->handleWidth(), 6);
    EXPECT_EQ(ui.splitter_4->styleSheet(), U("QSplitter::handle"));
}

namespace
{

// The widgets of a box layout, in order.
std::vector<QWidget*> Widgets(QLayout* layout)
{
    std::vector<QWidget*> out;
    for (int i = 0; i < layout->count(); ++i) {
        if (QWidget* w = layout->itemAt(i)->widget())
            out.push_back(w);
    }
    return out;
}

} // namespace

TEST_F(FormTest, DetailPanel)
{
    EXPECT_EQ(ui.layoutWidget_2->layout(), ui.verticalLayout_7);
    ExpectMargins(ui.verticalLayout_7, 0, 0, 0, 0);
    const std::vector<QLayout*> rows
        = { ui.horizontalLayout_14, ui.horizontalLayout_15, ui.horizontalLayout_16, ui.horizontalLayout_17 };
    ASSERT_EQ(ui.verticalLayout_7->count(), 4);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(ui.verticalLayout_7->itemAt(i)->layout(), rows[static_cast<size_t>(i)]);
    EXPECT_EQ(
        Widgets(ui.horizontalLayout_14), (std::vector<QWidget*> { ui.current_contract, ui.last_price_2 }));
    EXPECT_EQ(ui.current_contract->minimumSize(), QSize(100, 25));
    EXPECT_EQ(ui.current_contract->font().pointSize(), 11);
    EXPECT_EQ(ui.current_contract->styleSheet(), U("font: 11pt \"宋体\";\ncolor: rgb(255, 255, 0);"));
    EXPECT_EQ(ui.last_price_2->minimumSize(), QSize(100, 25));
    EXPECT_EQ(ui.last_price_2->font().pointSize(), 10);

    const struct {
        QLayout* row;
        std::vector<QLabel*> labels;
        std::vector<const char*> captions;
    } lines[] = {
        { ui.horizontalLayout_15,
            { ui.label_16, ui.last_vol, ui.label_18, ui.vol, ui.label_20, ui.position_vol },
            { "现  手:", "成交量:", "持仓量:" } },
        { ui.horizontalLayout_16,
            { ui.label_22, ui.open_price, ui.label_24, ui.high_price, ui.label_26, ui.low_price },
            { "开盘价:", "最高价:", "最低价:" } },
        { ui.horizontalLayout_17,
            { ui.label_28, ui.presttle, ui.label_38, ui.ask_price_2, ui.label_15, ui.bid_price_2 },
            { "昨结算:", "卖一价:", "买一价:" } },
    };
    for (const auto& line : lines) {
        const std::vector<QWidget*> widgets = Widgets(line.row);
        ASSERT_EQ(widgets.size(), 6u);
        for (size_t i = 0; i < 6; ++i) {
            EXPECT_EQ(widgets[i], line.labels[i]);
            if (i % 2 == 0) {
                EXPECT_EQ(line.labels[i]->text(), U(line.captions[i / 2]));
            } else {
                EXPECT_TRUE(line.labels[i]->text().isEmpty()) << line.labels[i]->objectName().toStdString();
            }
        }
    }
    EXPECT_TRUE(ui.current_contract->text().isEmpty());
    EXPECT_TRUE(ui.last_price_2->text().isEmpty());
}

TEST_F(FormTest, DepthPanel)
{
    EXPECT_EQ(ui.layoutWidget_3->layout(), ui.verticalLayout_6);
    EXPECT_EQ(ui.verticalLayout_6->spacing(), 4);
    ExpectMargins(ui.verticalLayout_6, 0, 0, 0, 0);
    ASSERT_EQ(ui.verticalLayout_6->count(), 11);
    QLayout* title = ui.verticalLayout_6->itemAt(0)->layout();
    ASSERT_EQ(title, ui.horizontalLayout_18);
    ASSERT_EQ(title->count(), 3);
    EXPECT_EQ(title->itemAt(0)->spacerItem()->sizeHint(), QSize(58, 25));
    EXPECT_EQ(title->itemAt(1)->widget(), ui.label_30);
    EXPECT_EQ(title->itemAt(2)->spacerItem()->sizeHint(), QSize(40, 25));
    EXPECT_EQ(title->itemAt(0)->spacerItem()->sizePolicy().horizontalPolicy(), QSizePolicy::Expanding);
    EXPECT_EQ(ui.label_30->text(), U("深度行情     "));
    EXPECT_EQ(ui.label_30->styleSheet(), U("color: rgb(255, 255, 0);"));

    const struct {
        QLabel *caption, *price, *vol;
        const char* text;
    } rows[] = {
        { ui.label_25, ui.ask_price5, ui.ask_vol5, "卖 五" },
        { ui.label_27, ui.ask_price4, ui.ask_vol4, "卖 四" },
        { ui.label_29, ui.ask_price3, ui.ask_vol3, "卖 三" },
        { ui.label_31, ui.ask_price2, ui.ask_vol2, "卖 二" },
        { ui.label_32, ui.ask_price, ui.ask_vol, "卖 一" },
        { ui.label_33, ui.bid_price, ui.bid_vol, "买 一" },
        { ui.label_34, ui.bid_price2, ui.bid_vol2, "买 二" },
        { ui.label_35, ui.bid_price3, ui.bid_vol3, "买 三" },
        { ui.label_36, ui.bid_price4, ui.bid_vol4, "买 四" },
        { ui.label_37, ui.bid_price5, ui.bid_vol5, "买 五" },
    };
    for (int i = 0; i < 10; ++i) {
        const auto& r = rows[i];
        QLayout* row = ui.verticalLayout_6->itemAt(i + 1)->layout();
        ASSERT_NE(row, nullptr);
        EXPECT_EQ(row->objectName(), QStringLiteral("horizontalLayout_%1").arg(20 + i));
        EXPECT_EQ(Widgets(row), (std::vector<QWidget*> { r.caption, r.price, r.vol }));
        EXPECT_EQ(r.caption->text(), U(r.text));
        EXPECT_TRUE(r.price->text().isEmpty());
        EXPECT_TRUE(r.vol->text().isEmpty());
        for (QLabel* label : { r.caption, r.price, r.vol })
            EXPECT_EQ(label->alignment(), Qt::AlignLeading | Qt::AlignLeft | Qt::AlignVCenter);
    }
}

TEST_F(FormTest, TickPanel)
{
    EXPECT_EQ(ui.layoutWidget_4->layout(), ui.verticalLayout_2);
    ExpectMargins(ui.verticalLayout_2, 0, 0, 0, 0);
    ASSERT_EQ(ui.verticalLayout_2->count(), 10);
    QLayout* title = ui.verticalLayout_2->itemAt(0)->layout();
    ASSERT_EQ(title, ui.horizontalLayout_3);
    EXPECT_EQ(title->itemAt(0)->spacerItem()->sizeHint(), QSize(40, 20));
    EXPECT_EQ(title->itemAt(1)->widget(), ui.label_2);
    EXPECT_EQ(title->itemAt(2)->spacerItem()->sizeHint(), QSize(40, 20));
    EXPECT_EQ(ui.label_2->text(), U("逐笔成交    "));
    EXPECT_EQ(ui.label_2->styleSheet(), U("color: rgb(255, 255, 0);"));
    EXPECT_EQ(ui.verticalLayout_2->itemAt(1)->layout(), ui.horizontalLayout_4);
    EXPECT_EQ(Widgets(ui.horizontalLayout_4), (std::vector<QWidget*> { ui.label_3, ui.label_4, ui.label_5 }));
    EXPECT_EQ(ui.label_3->text(), U("时 间"));
    EXPECT_EQ(ui.label_4->text(), U("价 位"));
    EXPECT_EQ(ui.label_5->text(), U("现 手"));

    QLabel* const times[] = { ui.ticker_time_7, ui.ticker_time_6, ui.ticker_time_5, ui.ticker_time_4,
        ui.ticker_time_3, ui.ticker_time_2, ui.ticker_time_1, ui.ticker_time_0 };
    QLabel* const prices[] = { ui.ticker_price_7, ui.ticker_price_6, ui.ticker_price_5, ui.ticker_price_4,
        ui.ticker_price_3, ui.ticker_price_2, ui.ticker_price_1, ui.ticker_price_0 };
    QLabel* const vols[] = { ui.ticker_vol_7, ui.ticker_vol_6, ui.ticker_vol_5, ui.ticker_vol_4,
        ui.ticker_vol_3, ui.ticker_vol_2, ui.ticker_vol_1, ui.ticker_vol_0 };
    for (int i = 0; i < 8; ++i) {
        QLayout* row = ui.verticalLayout_2->itemAt(i + 2)->layout();
        ASSERT_NE(row, nullptr);
        EXPECT_EQ(row->objectName(), QStringLiteral("horizontalLayout_%1").arg(5 + i));
        EXPECT_EQ(Widgets(row), (std::vector<QWidget*> { times[i], prices[i], vols[i] }));
        EXPECT_EQ(prices[i]->alignment(), Qt::AlignLeading | Qt::AlignLeft | Qt::AlignVCenter);
        EXPECT_EQ(vols[i]->alignment(), Qt::AlignLeading | Qt::AlignLeft | Qt::AlignVCenter);
        for (QLabel* label : { times[i], prices[i], vols[i] })
            EXPECT_TRUE(label->text().isEmpty());
    }
}

TEST_F(FormTest, RetranslateRestoresTheTexts)
{
    ui.login_action->setText(QStringLiteral("x"));
    ui.pushButton->setText(QStringLiteral("x"));
    ui.quote_tabwidget->setTabText(5, QStringLiteral("x"));
    window.setWindowTitle(QStringLiteral("x"));
    ui.retranslateUi(&window);
    EXPECT_EQ(ui.login_action->text(), U("登录"));
    EXPECT_EQ(ui.pushButton->text(), U(" 主力合约 "));
    EXPECT_EQ(ui.quote_tabwidget->tabText(5), U("数字货币"));
    EXPECT_EQ(window.windowTitle(), QStringLiteral("Brisvane  v1.0.0"));
}
