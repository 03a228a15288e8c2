#include <climits>
#include <fstream>
#include <string>
#include <vector>

#include <QMouseEvent>
#include <QResizeEvent>
#include <QStatusBar>
#include <QTabWidget>

#include <gtest/gtest.h>

#include "bannerwidget.h"
#include "selectionpeer.h"
#include "tradeconfig.h"

namespace
{

void Press(QObject* target)
{
    QMouseEvent event(
        QEvent::MouseButtonPress, QPointF(2, 2), Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &event);
}

std::vector<Quorvel::CommodityField> Board()
{
    return {
        MakeCommodity(1, "NYMEX", "CL", "美原油", { { "1906", 1 } }, "纽约商业"),
        MakeCommodity(2, "CFFEX", "IF", "沪深300", { { "2701", 1 } }, "中金所"),
    };
}

// The window's side of the login dialog and the banner pop-up. Every window
// is built after the configuration record says what the cloud gave.
class LoginHandOverTest : public testing::Test
{
protected:
    LoginHandOverTest()
    {
        TradeConfig* config = TradeConfig::GetInstance();
        config->bannerSwitchFlag = false;
        config->bannerList.clear();
        config->trigger_time = 30;
    }
    ~LoginHandOverTest() override
    {
        TradeConfig::GetInstance()->bannerSwitchFlag = false;
        TradeConfig::GetInstance()->bannerList.clear();
    }

    static void AddBanner(const std::string& name, int interval)
    {
        BannerRecord r;
        r.imageName = name;
        r.url = "http://ad";
        r.interval = interval;
        TradeConfig::GetInstance()->bannerList.push_back(r);
    }

    ScopedPictureFolder pictures;
};

TEST_F(LoginHandOverTest, LoginActionAndPromptShowTheDialogForTheListPage)
{
    RecordingWindow window;
    LoginDialog& dialog = window.loginDialog();
    EXPECT_EQ(dialog.parent(), nullptr);
    EXPECT_FALSE(dialog.isVisible());

    ModalWatcher watcher;
    dialog.need_changge = true;
    window.ui().login_action->trigger();
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_FALSE(dialog.need_changge);
    EXPECT_TRUE(watcher.boxes.empty());
    dialog.hide();

    dialog.need_changge = true;
    emit window.loginDialog().login_sig(false);
    ASSERT_TRUE(window.loggedIn());
    window.ui().login_action->trigger();
    ASSERT_EQ(watcher.boxes.size(), 1u);
    EXPECT_EQ(watcher.boxes[0].title, "warn");
    EXPECT_EQ(watcher.boxes[0].text, QStringLiteral("你已经登录!"));
    EXPECT_EQ(watcher.boxes[0].icon, QMessageBox::Warning);
    EXPECT_FALSE(dialog.isVisible());

    // The prompt comes only while nobody is logged in.
    QMetaObject::invokeMethod(&window.loginPromptTimer(), "timeout");
    EXPECT_FALSE(dialog.isVisible());
    window.ui().logout_action->trigger();
    ASSERT_FALSE(window.loggedIn());
    dialog.need_changge = true;
    QMetaObject::invokeMethod(&window.loginPromptTimer(), "timeout");
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_FALSE(dialog.need_changge);
    window.close();
    EXPECT_FALSE(dialog.isVisible()); // closed with the window
}

TEST_F(LoginHandOverTest, PromptTimerStartsWithTheConfiguredSeconds)
{
    struct Case {
        int seconds;
        bool active;
        int ms;
    };
    for (const Case& c : { Case { 30, true, 30000 }, Case { 0, true, 0 }, Case { 5000000, true, INT_MAX },
             Case { -1, false, 0 } }) {
        SCOPED_TRACE(c.seconds);
        TradeConfig::GetInstance()->trigger_time = c.seconds;
        RecordingWindow window;
        EXPECT_FALSE(window.loginPromptTimer().isActive());
        window.initUi();
        EXPECT_EQ(window.loginPromptTimer().isActive(), c.active);
        EXPECT_TRUE(window.loginPromptTimer().isSingleShot());
        if (c.active) {
            EXPECT_EQ(window.loginPromptTimer().interval(), c.ms);
        }
        window.close();
    }
    // With 0 s the prompt shows on the first pass of the event loop, once.
    TradeConfig::GetInstance()->trigger_time = 0;
    RecordingWindow window;
    window.initUi();
    ASSERT_TRUE(WaitFor([&] { return window.loginDialog().isVisible(); }));
    EXPECT_FALSE(window.loginDialog().need_changge);
    EXPECT_FALSE(window.loginPromptTimer().isActive());
    window.close();
}

TEST_F(LoginHandOverTest, PickingAContractWhileLoggedOutAsksForTheLoginForTheChart)
{
    RecordingWindow window;
    window.rebuildBoard(Board());
    LoginDialog& dialog = window.loginDialog();

    // A quote-row double click: the dialog, flagged for the chart, and the selection.
    window.rowDoubleClicked(1, 0);
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_TRUE(dialog.need_changge);
    EXPECT_EQ(window.currentKey(), "FO_CL_1906");
    dialog.hide();
    dialog.need_changge = false;

    // An index label press: the same.
    ASSERT_EQ(window.indexKey(1), "FI_IF_2701");
    Press(&window.indexLabel(1));
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_TRUE(dialog.need_changge);
    EXPECT_EQ(window.currentKey(), "FI_IF_2701");
    dialog.hide();

    // The login comes back with the flag: the chart page is shown.
    window.ui().tabWidget->setCurrentIndex(0);
    emit dialog.login_sig(true);
    EXPECT_TRUE(window.loggedIn());
    EXPECT_EQ(window.ui().tabWidget->currentIndex(), 1);

    // Logged in: the selection alone.
    dialog.need_changge = false;
    window.rowDoubleClicked(1, 0);
    Press(&window.indexLabel(1));
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_FALSE(dialog.need_changge);
    window.close();
}

TEST_F(LoginHandOverTest, BannerPopUpExistsOnlyWhenSwitchedOnWithBanners)
{
    struct Case {
        bool on;
        int banners;
        bool exists;
    };
    for (const Case& c : { Case { false, 1, false }, Case { true, 0, false }, Case { true, 1, true } }) {
        SCOPED_TRACE(std::to_string(c.on) + "/" + std::to_string(c.banners));
        TradeConfig::GetInstance()->bannerSwitchFlag = c.on;
        TradeConfig::GetInstance()->bannerList.clear();
        for (int i = 0; i < c.banners; ++i)
            AddBanner("ad.gif", 1);
        RecordingWindow window;
        EXPECT_EQ(window.banner() != nullptr, c.exists);
        if (window.banner()) {
            EXPECT_EQ(window.banner()->parent(), &window);
        }
        // Without a pop-up the find action, resizing and closing do nothing to it.
        window.ui().find_action->trigger();
        window.resize(900, 700);
        window.close();
    }
}

TEST_F(LoginHandOverTest, BannerSitsInTheCornerComesBackOnFindAndClosesWithTheWindow)
{
    QDir().mkpath(QStringLiteral("banner"));
    std::ofstream("banner/ad.gif") << "GIF89a";
    TradeConfig::GetInstance()->bannerSwitchFlag = true;
    AddBanner("ad.gif", 2);
    RecordingWindow window;
    BannerWidgetClass* banner = window.banner();
    ASSERT_NE(banner, nullptr);
    window.resize(1000, 700);
    window.show();
    ASSERT_TRUE(WaitFor([&] { return window.isVisible(); }));
    QResizeEvent resize(window.size(), QSize());
    QApplication::sendEvent(&window, &resize);
    const QRect frame = window.frameGeometry();
    EXPECT_EQ(banner->geometry(), QRect(frame.width() - 400, frame.height() - 250, 400, 250));
    EXPECT_TRUE(banner->isVisible());

    // Closed by its button, back through "find" at once, its timer stopped.
    banner->findChild<QPushButton*>()->click();
    EXPECT_FALSE(banner->isVisible());
    EXPECT_TRUE(banner->ReshowTimer().isActive());
    window.ui().find_action->trigger();
    EXPECT_TRUE(banner->isVisible());
    EXPECT_FALSE(banner->ReshowTimer().isActive());

    banner->findChild<QPushButton*>()->click();
    window.close();
    EXPECT_FALSE(banner->ReshowTimer().isActive());
    EXPECT_FALSE(QDir(QStringLiteral("banner")).exists()); // the window removes the pictures
}

} // namespace
