#include "startup.h"

#include <unistd.h>

#include <fstream>

#include <QApplication>
#include <QDir>
#include <QImage>
#include <QMessageBox>
#include <QSplashScreen>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

#include "helpers.h"
#include "scratchdir.h"
#include "tradeconfig.h"

namespace {

class StartupTest : public ScratchDirTest {
protected:
    void WritePicture(const QString &name, QColor colour, QSize size = QSize(8, 8))
    {
        QImage image(size, QImage::Format_RGB32);
        image.fill(colour);
        ASSERT_TRUE(image.save(Path(name), "PNG"));
    }
};

// Watches every splash screen the sequence shows and records its texts,
// since the sequence processes no events while it runs.
class SplashWatcher : public QObject {
public:
    SplashWatcher() { qApp->installEventFilter(this); }
    ~SplashWatcher() override { qApp->removeEventFilter(this); }
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Show) {
            if (auto *splash = qobject_cast<QSplashScreen *>(watched)) {
                ++splashesShown;
                connect(splash, &QSplashScreen::messageChanged, this,
                        [this](const QString &text) { texts << text; });
            }
        }
        return false;
    }
    int splashesShown = 0;
    QStringList texts;
};

TEST_F(StartupTest, MissingConfigurationShowsTheBoxAndExitsWithoutSplash)
{
    SplashWatcher watcher;
    QString boxTitle, boxText;
    // The warning box is modal: close it from the event loop it runs.
    QTimer closer;
    QObject::connect(&closer, &QTimer::timeout, [&] {
        if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
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
}

TEST_F(StartupTest, FailedQuoteConnectionEndsWithMinusOneAfterItsText)
{
    // A port nobody listens on: bind one, then close it.
    std::ofstream(Path("TradeConfig.xml").toStdString())
        << "<root><Quote ip=\"127.0.0.1\" port=\"1\" username=\"u\" password=\"p\"/>"
           "<LeanCloud id=\"i\" key=\"k\" productID=\"p\" channelName=\"c\" trigger_time=\"5\"/></root>";
    SplashWatcher watcher;
    EXPECT_EQ(RunStartupSequence(), -1);
    EXPECT_EQ(watcher.splashesShown, 1);
    ASSERT_FALSE(watcher.texts.isEmpty());
    EXPECT_EQ(watcher.texts.first(), QStringLiteral("     正在加载配置文件....."));
    EXPECT_EQ(watcher.texts.last(), QStringLiteral("     连接行情服务器失败....."));
    // The cloud service is not reachable from this test either: its text
    // shows and the sequence goes on to the quote connection.
    EXPECT_TRUE(watcher.texts.contains(QStringLiteral("     获取LC banner配置失败!!!")));
    EXPECT_TRUE(watcher.texts.contains(QStringLiteral("     正在连接行情服务器......")));
    for (QWidget *w : QApplication::topLevelWidgets())
        EXPECT_FALSE(w->inherits("Quorvel") && w->isVisible());
}

} // namespace
