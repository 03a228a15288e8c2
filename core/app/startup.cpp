#include "startup.h"

#include <chrono>
#include <memory>
#include <thread>

#include <QApplication>
#include <QColor>
#include <QDeadlineTimer>
#include <QDir>
#include <QFontDatabase>
#include <QMessageBox>
#include <QPixmap>
#include <QSocketNotifier>
#include <QSplashScreen>
#include <QTimer>
#include <QWindow>

#include "bannerwidget.h"
#include "helpers.h"
#include "logger.h"
#include "nquoteclient.h"
#include "platform.h"
#include "quorvel.h"
#include "tradeconfig.h"

namespace
{

StartupPauses g_pauses;

// Pauses hold the GUI thread on purpose: nothing may be processed before the
// main window exists, yet each status text must stay readable.
void Pause(std::chrono::milliseconds length)
{
    std::this_thread::sleep_for(length);
}

void ShowStatus(QSplashScreen& splash, const QString& text)
{
    splash.showMessage(text, Qt::AlignBottom, QColor(80, 80, 255, 255));
}

// QSplashScreen::finish waits for the window in passes of events followed by
// a 10 ms sleep each, even when the window came on screen during the pass.
// Taking the events here as they arrive, until the window is on screen,
// leaves finish nothing to wait for; it keeps finish's limit of one second.
void WaitUntilOnScreen(QWidget& window)
{
    const QWindow* handle = window.windowHandle();
    if (handle == nullptr)
        return;
    const QDeadlineTimer deadline(1000);
    // Wakes the wait below while no event comes from the display.
    QTimer wake;
    wake.start(100);
    while (!handle->isExposed() && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

} // namespace

QString ChooseSplashPicture(const QString& folder)
{
    const QDir dir(folder);
    const QStringList entries
        = dir.entryList(QDir::Files | QDir::Hidden | QDir::NoSymLinks, QDir::Name | QDir::IgnoreCase);
    for (const QString& entry : entries) {
        const QString path = folder + entry;
        QPixmap picture;
        if (CheckPictureSize(path) == PictureSize::Fits && picture.load(path))
            return path;
    }
    return kFallbackSplash;
}

void SetStartupPauses(const StartupPauses& pauses)
{
    g_pauses = pauses;
}

int RunStartupSequence()
{
    TradeConfig* config = TradeConfig::GetInstance();
    if (!config->LoadConfigFile("TradeConfig.xml")) {
        QMessageBox::warning(nullptr, QStringLiteral("error"), QStringLiteral("加载配置文件失败"),
            QMessageBox::Ok, QMessageBox::NoButton);
        return -1;
    }

    if (!config->FetchBootPageConfig())
        WriteLog(LogWarn, "获取LC启动页失败,从本地加载");

    auto picture = std::make_unique<QPixmap>(ChooseSplashPicture());
    auto splash = std::make_unique<QSplashScreen>(*picture);
    splash->show();
    ShowStatus(*splash, QStringLiteral("     正在加载配置文件....."));
    Pause(g_pauses.status);

    if (!config->FetchChannelConfig())
        ShowStatus(*splash, QStringLiteral("     获取LC banner配置失败!!!"));
    if (config->bannerSwitchFlag && !config->FetchBannerConfig())
        ShowStatus(*splash, QStringLiteral("     获取LC banner失败!!!"));

    ShowStatus(*splash, QStringLiteral("     正在连接行情服务器......"));
    Pause(g_pauses.status);

    if (!NQuoteClient::Instance()->Connect()) {
        ShowStatus(*splash, QStringLiteral("     连接行情服务器失败....."));
        Pause(g_pauses.status);
        return -1;
    }

    ShowStatus(*splash, QStringLiteral("     服务器连接成功! 初始化数据......"));
    Pause(g_pauses.connected);

    // From here on a request to stop from outside takes the way of closing
    // the window, so the quote client stops and the picture folders go as
    // they do then; one that comes before the event loop waits for it.
    platform::StopRequests stopRequests;
    auto window = std::make_unique<Quorvel>();
    window->InitUi();
    window->show();
    if (config->bannerSwitchFlag && window->Banner())
        window->Banner()->show();
    WaitUntilOnScreen(*window);
    splash->finish(window.get());
    // The first pass of the event loop: start-up can be timed from the log.
    QTimer::singleShot(0, [] { WriteLog(LogDebug, "start-up done, event loop running"); });

    std::unique_ptr<QSocketNotifier> stopNotifier;
    if (stopRequests.ReadyDescriptor() >= 0) {
        stopNotifier
            = std::make_unique<QSocketNotifier>(stopRequests.ReadyDescriptor(), QSocketNotifier::Read);
        QSocketNotifier* notifier = stopNotifier.get();
        QObject::connect(
            notifier, &QSocketNotifier::activated, window.get(), [&stopRequests, &window, notifier] {
                const std::string request = stopRequests.Take();
                if (request.empty())
                    return;
                // The first request closes the window; a second (Ctrl-C and kill at once) changes nothing.
                notifier->setEnabled(false);
                WriteLog(LogInfo, "%s received, closing the main window", request.c_str());
                window->close();
                // A box still open (with its own event loop) would hold the program.
                QApplication::closeAllWindows();
            });
    }

    const int code = QApplication::exec();
    stopNotifier.reset();
    window.reset();
    splash.reset();
    picture.reset();
    WriteLog(LogInfo, "shut-down done, exit code %d", code);
    return code;
}

bool WarnIfNoChineseFont()
{
    if (!QFontDatabase().families(QFontDatabase::SimplifiedChinese).isEmpty())
        return false;
    WriteLog(
        LogWarn, "no Chinese-capable font found: Chinese texts show as boxes (install fonts-wqy-zenhei)");
    return true;
}

int RunQuorvel(int argc, char* argv[])
{
    // No widget draws with OpenGL. Without this every top-level window is
    // made GL-capable, and the first one (the splash) loads the GL driver
    // stack, which costs a good part of the start-up before anything shows.
    QCoreApplication::setAttribute(Qt::AA_ForceRasterWidgets);
    QApplication app(argc, argv);
    // Qt and the C library must agree on the character set that stands in for
    // the ANSI code page.
    platform::InitLocale();
    WarnIfNoChineseFont();
    return RunStartupSequence();
}
