#include "startup.h"

#include <unistd.h>

#include <csignal>

#include <fstream>
#include <string>

#include <QApplication>
#include <QBuffer>
#include <QDir>
#include <QImage>
#include <QMessageBox>
#include <QSplashScreen>
#include <QTemporaryDir>
#include <QTimer>
#include <QWindow>

#include <gtest/gtest.h>

#include "../quote/quoteclientkit.h"
#include "cloudrequest.h"
#include "cloudserverprocess.h"
#include "helpers.h"
#include "scratchdir.h"
#include "tradeconfig.h"

namespace
{

class StartupTest : public ScratchDirTest
{
protected:
    void WritePicture(const QString& name, QColor colour, QSize size = QSize(8, 8))
    {
        QImage image(size, QImage::Format_RGB32);
        image.fill(colour);
        ASSERT_TRUE(image.save(Path(name), "PNG"));
    }
};

// Watches every splash screen the sequence shows and records its texts,
// since the sequence processes no events while it runs.
class SplashWatcher : public QObject
{
public:
    SplashWatcher() { qApp->installEventFilter(this); }
    ~SplashWatcher() override { qApp->removeEventFilter(this); }
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Show) {
            if (auto* splash = qobject_cast<QSplashScreen*>(watched)) {
                ++splashesShown;
                connect(splash, &QSplashScreen::messageChanged, this,
                    [this](const QString& text) { texts << text; });
            }
        }
        if (event->type() == QEvent::Hide && qobject_cast<QSplashScreen*>(watched)) {
            for (QWidget* w : QApplication::topLevelWidgets()) {
                if (w->inherits("Quorvel") && w->windowHandle())
                    mainWindowOnScreenAtSplashHide = w->windowHandle()->isExposed();
            }
        }
        return false;
    }
    int splashesShown = 0;
    QStringList texts;
    bool mainWindowOnScreenAtSplashHide = false;
};

TEST_F(StartupTest, MissingConfigurationShowsTheBoxAndExitsWithoutSplash)
{
    std::string deep = "<root>", hidden = "<root><?x>";
    for (int i = 0; i < 1000000; ++i)
        deep += "<a>";
    for (int i = 0; i < 100000; ++i)
        hidden += "<a>";
    // No file at all, then ones nested far deeper than the parser can follow.
    const std::string* contents[] = { nullptr, &deep, &hidden };
    for (const std::string* content : contents) {
        SCOPED_TRACE(content ? content->substr(0, 12) : "missing");
        if (content)
            std::ofstream(Path("TradeConfig.xml").toStdString()) << *content;
        SplashWatcher watcher;
        QString boxTitle, boxText;
        // The warning box is modal: close it from the event loop it runs.
        QTimer closer;
        QObject::connect(&closer, &QTimer::timeout, [&] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                boxTitle = box->windowTitle();
                boxText = box->text();
                box->close();
            }
        });
        closer.start(20);

        EXPECT_EQ(RunStartupSequence(), -1);
        EXPECT_EQ(boxTitle, QStringLiteral("error"));
        EXPECT_EQ(boxText, QStringLiteral("加载配置文件失败"));
        EXPECT_EQ(watcher.splashesShown, 0);
    }
}

TEST_F(StartupTest, SplashPictureIsTheFirstLoadableFileInCaseInsensitiveOrder)
{
    const QString folder = QStringLiteral("BootPage/");
    ASSERT_TRUE(QDir().mkpath(Path(folder)));

    // Missing or empty folder: the fallback.
    EXPECT_EQ(ChooseSplashPicture(QStringLiteral("NoSuchFolder/")), kFallbackSplash);
    EXPECT_EQ(ChooseSplashPicture(folder), kFallbackSplash);

    WritePicture(folder + "b.png", Qt::blue);
    WritePicture(folder + "A.png", Qt::red);
    std::ofstream(Path(folder + "notes.txt").toStdString()) << "not a picture";
    EXPECT_EQ(ChooseSplashPicture(folder), folder + "A.png");

    // Something that does not load is skipped, whatever its name.
    std::ofstream(Path(folder + "0broken.png").toStdString()) << "garbage";
    EXPECT_EQ(ChooseSplashPicture(folder), folder + "A.png");

    // Pictures beyond the size bound are never decoded: skipped like broken ones.
    WritePicture(folder + "0wide.png", Qt::red, QSize(kMaxPictureSide + 1, 1));
    WritePicture(folder + "0tall.png", Qt::red, QSize(1, kMaxPictureSide + 1));
    EXPECT_EQ(ChooseSplashPicture(folder), folder + "A.png");

    // A symbolic link and a sub-folder never count; a hidden picture does.
    ASSERT_EQ(::symlink(Path(folder + "b.png").toLocal8Bit().constData(),
                  Path(folder + "0link.png").toLocal8Bit().constData()),
        0);
    ASSERT_TRUE(QDir().mkpath(Path(folder + "0folder.png")));
    EXPECT_EQ(ChooseSplashPicture(folder), folder + "A.png");
    WritePicture(folder + ".0hidden.png", Qt::green);
    EXPECT_EQ(ChooseSplashPicture(folder), folder + ".0hidden.png");
    WritePicture(folder + ".00edge.png", Qt::green, QSize(kMaxPictureSide, 1));
    EXPECT_EQ(ChooseSplashPicture(folder), folder + ".00edge.png");
    // Nor is one whose pixels together pass the decoded bound; a line says so.
    WritePicture(folder + ".000heavy.png", Qt::green, QSize(4096, 4097));
    testing::internal::CaptureStdout();
    EXPECT_EQ(ChooseSplashPicture(folder), folder + ".00edge.png");
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("图片解码后过大(4096x4097, 1帧"), std::string::npos) << out;
}

TEST_F(StartupTest, FailedQuoteConnectionEndsWithMinusOneAfterItsText)
{
    kit::QuoteServer refusing;
    ASSERT_TRUE(refusing.Start({ "--refuse-login" }));
    const struct {
        const char* what;
        std::string port;
        std::string logged; // a line that says why
    } cases[] = {
        // A port nobody listens on.
        { "no server", "1", "" },
        { "login refused", std::to_string(refusing.port()), "): 行情服务器拒绝登录: 错误码 " },
        { "port not a number", std::to_string(refusing.port()) + "x", "Quote 的 port 值 \"" },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::ofstream(Path("TradeConfig.xml").toStdString())
            << "<root><Quote ip=\"127.0.0.1\" port=\"" << c.port << "\" username=\"u\" password=\"p\"/>"
            << "<LeanCloud id=\"i\" key=\"k\" productID=\"p\" channelName=\"c\" trigger_time=\"5\"/></root>";
        SplashWatcher watcher;
        kit::LogMark log;
        EXPECT_EQ(RunStartupSequence(), -1);
        EXPECT_EQ(watcher.splashesShown, 1);
        ASSERT_FALSE(watcher.texts.isEmpty());
        EXPECT_EQ(watcher.texts.first(), QStringLiteral("     正在加载配置文件....."));
        EXPECT_EQ(watcher.texts.last(), QStringLiteral("     连接行情服务器失败....."));
        EXPECT_TRUE(c.logged.empty() || log.Matching({ c.logged }).size() == 1u);
        // The cloud service is not reachable from this test either: its text
        // shows and the sequence goes on to the quote connection.
        EXPECT_TRUE(watcher.texts.contains(QStringLiteral("     获取LC banner配置失败!!!")));
        EXPECT_TRUE(watcher.texts.contains(QStringLiteral("     正在连接行情服务器......")));
        for (QWidget* w : QApplication::topLevelWidgets())
            EXPECT_FALSE(w->inherits("Quorvel") && w->isVisible());
    }
}

TEST_F(StartupTest, BannerBranchAndBootPageWarning)
{
    CloudServerProcess cloud;
    std::string error;
    ASSERT_TRUE(cloud.Start(&error)) << error;
    SetCloudService(cloud.BaseUrl(), cloud.CaFile());
    const std::string picture = [] {
        QByteArray bytes;
        QBuffer buffer(&bytes);
        QImage image(8, 8, QImage::Format_RGB32);
        image.fill(Qt::yellow);
        image.save(&buffer, "PNG");
        return bytes.toStdString();
    }();
    cloud.WriteFile("pic.png", picture);
    const std::string row = "{\"productID\":\"p\",\"url\":\"http://link\",\"interval\":5,"
                            "\"image\":{\"name\":\"pic.png\",\"url\":\"/files/pic.png\"}}";
    // A port nobody listens on ends each run after the banner steps.
    std::ofstream(Path("TradeConfig.xml").toStdString())
        << "<root><Quote ip=\"127.0.0.1\" port=\"1\" username=\"u\" password=\"p\"/>"
           "<LeanCloud id=\"i\" key=\"k\" productID=\"p\" channelName=\"c\" trigger_time=\"5\"/></root>";

    const QString loading = QStringLiteral("     正在加载配置文件.....");
    const QString bannerFailed = QStringLiteral("     获取LC banner失败!!!");
    const QString connecting = QStringLiteral("     正在连接行情服务器......");
    const QString failed = QStringLiteral("     连接行情服务器失败.....");
    const std::string warning = "获取LC启动页失败,从本地加载";
    struct Case {
        const char* what;
        bool bannersOn;
        bool bannerRow; // BannerConfig holds a banner with its picture
        bool bootRow; // BootPageConfig holds a boot page with its picture
        QStringList texts;
        bool bannerQueried;
        bool warned;
    };
    const Case cases[] = {
        { "banners on, no banner", true, false, false, { loading, bannerFailed, connecting, failed }, true,
            true },
        { "banners on, one banner", true, true, true, { loading, connecting, failed }, true, false },
        { "banners off", false, true, false, { loading, connecting, failed }, false, true },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        cloud.WriteClass("channelConfig",
            std::string("[{\"productID\":\"p\",\"bannerSwitchFlag\":") + (c.bannersOn ? "true" : "false")
                + "}]");
        cloud.WriteClass("BannerConfig", c.bannerRow ? "[" + row + "]" : "[]");
        cloud.WriteClass("BootPageConfig", c.bootRow ? "[" + row + "]" : "[]");
        cloud.ClearRequests();
        TradeConfig* config = TradeConfig::GetInstance();
        config->bannerList.clear();
        config->bootPageList.clear();

        SplashWatcher watcher;
        testing::internal::CaptureStdout();
        EXPECT_EQ(RunStartupSequence(), -1);
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(watcher.texts, c.texts);
        EXPECT_EQ(config->bannerSwitchFlag, c.bannersOn);
        EXPECT_EQ(config->bannerList.size(), c.bannerRow && c.bannersOn ? 1u : 0u);

        bool bannerQueried = false;
        for (const Json::Value& request : cloud.Requests())
            bannerQueried |= request["target"].asString().rfind("/1.1/classes/BannerConfig", 0) == 0;
        EXPECT_EQ(bannerQueried, c.bannerQueried);
        const bool warned = out.find(" [WARN] startup.cpp(") != std::string::npos
            && out.find("): " + warning + "\n") != std::string::npos;
        EXPECT_EQ(warned, c.warned) << out;
    }
    TradeConfig::GetInstance()->bannerSwitchFlag = false;
    TradeConfig::GetInstance()->bannerList.clear();
}

TEST_F(StartupTest, BannerPopUpShowsWithTheMainWindowWhenBannersAreOn)
{
    CloudServerProcess cloud;
    std::string error;
    ASSERT_TRUE(cloud.Start(&error)) << error;
    SetCloudService(cloud.BaseUrl(), cloud.CaFile());
    QByteArray picture;
    QBuffer buffer(&picture);
    QImage image(8, 8, QImage::Format_RGB32);
    image.fill(Qt::yellow);
    ASSERT_TRUE(image.save(&buffer, "PNG"));
    cloud.WriteFile("pic.png", picture.toStdString());
    cloud.WriteClass("channelConfig", "[{\"productID\":\"p\",\"bannerSwitchFlag\":true}]");
    cloud.WriteClass("BannerConfig",
        "[{\"productID\":\"p\",\"url\":\"http://link\",\"interval\":5,"
        "\"image\":{\"name\":\"pic.png\",\"url\":\"/files/pic.png\"}}]");
    kit::QuoteServer quotes;
    ASSERT_TRUE(quotes.Start());
    std::ofstream(Path("TradeConfig.xml").toStdString())
        << "<root><Quote ip=\"127.0.0.1\" port=\"" << quotes.port()
        << "\" username=\"demo\" password=\"demo\"/>"
           "<LeanCloud id=\"i\" key=\"k\" productID=\"p\" channelName=\"c\" trigger_time=\"60\"/></root>";

    SplashWatcher watcher;
    bool windowShown = false;
    bool bannerShown = false;
    QTimer driver;
    // Looked at once the sequence has finished the splash (step 13), while
    // the event loop runs.
    QObject::connect(&driver, &QTimer::timeout, [&] {
        const QWidgetList windows = QApplication::topLevelWidgets();
        for (QWidget* w : windows)
            if (qobject_cast<QSplashScreen*>(w) && w->isVisible())
                return;
        for (QWidget* w : windows) {
            if (!w->inherits("Quorvel") || !w->isVisible())
                continue;
            windowShown = true;
            for (QWidget* child : w->findChildren<QWidget*>())
                bannerShown |= child->inherits("BannerWidgetClass") && child->isVisible();
            // A request to stop from outside takes the way of closing the window.
            std::raise(SIGHUP);
        }
    });
    driver.start(20);
    QTimer limit;
    limit.setSingleShot(true);
    QObject::connect(&limit, &QTimer::timeout, [] { QApplication::exit(99); });
    limit.start(30000);
    testing::internal::CaptureStdout();
    EXPECT_EQ(RunStartupSequence(), 0);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(windowShown);
    EXPECT_TRUE(bannerShown);
    // Step 13: the splash goes only once the main window is on screen.
    EXPECT_TRUE(watcher.mainWindowOnScreenAtSplashHide);
    EXPECT_NE(out.find("): SIGHUP received, closing the main window\n"), std::string::npos) << out;
    EXPECT_NE(out.find("): shut-down done, exit code 0\n"), std::string::npos) << out;
    struct sigaction now {};
    sigaction(SIGHUP, nullptr, &now);
    EXPECT_EQ(now.sa_handler, SIG_DFL); // outside the event loop it ends the process again
}

} // namespace
