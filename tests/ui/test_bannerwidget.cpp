#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QMouseEvent>
#include <QMovie>
#include <QPushButton>

#include <gtest/gtest.h>

#include "bannerwidget.h"
#include "helpers.h"
#include "platform.h"
#include "tradeconfig.h"

namespace
{

namespace fs = std::filesystem;

// A 1 x 1 GIF picture.
const unsigned char kGif[] = { 'G', 'I', 'F', '8', '9', 'a', 1, 0, 1, 0, 0x80, 0, 0, 0, 0, 0, 0xff, 0xff,
    0xff, '!', 0xf9, 4, 1, 0, 0, 0, 0, ',', 0, 0, 0, 0, 1, 0, 1, 0, 0, 2, 2, 'D', 1, 0, ';' };

class BannerWidgetTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "banner-work-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        m_workDir = pattern;
        m_oldDir = QDir::currentPath();
        ASSERT_TRUE(QDir::setCurrent(QString::fromStdString(m_workDir)));
        fs::create_directories("banner");

        TradeConfig* config = TradeConfig::GetInstance();
        config->bannerList.clear();
        config->channelName = "\xe6\xb8\xa0\xe9\x81\x93"
                              "A"; // UTF-8 "渠道A"
        config->id = "app-id";
        config->key = "app-key";
        config->reg_class = "vip";

        m_previous = platform::SetOpenUrlHandler([this](const std::string& url) {
            m_opened.push_back(url);
            return true;
        });
    }

    void TearDown() override
    {
        platform::SetOpenUrlHandler(m_previous);
        QDir::setCurrent(m_oldDir);
        std::error_code ec;
        fs::remove_all(m_workDir, ec);
    }

    static void WritePicture(const std::string& name)
    {
        std::ofstream("banner/" + name, std::ios::binary)
            .write(reinterpret_cast<const char*>(kGif), sizeof kGif);
    }

    static void AddRecord(const std::string& name, const std::string& url, int interval)
    {
        BannerRecord r;
        r.imageName = name;
        r.url = url;
        r.imageUrl = "https://127.0.0.1/" + name;
        r.interval = interval;
        TradeConfig::GetInstance()->bannerList.push_back(r);
    }

    static void Press(QWidget* target, Qt::MouseButton button)
    {
        QMouseEvent press(QEvent::MouseButtonPress, QPointF(10, 10), button, button, Qt::NoModifier);
        QApplication::sendEvent(target, &press);
        QMouseEvent release(
            QEvent::MouseButtonRelease, QPointF(10, 10), button, Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(target, &release);
    }

    static QLabel* Label(BannerWidgetClass& b) { return b.findChild<QLabel*>("label"); }
    static QPushButton* CloseButton(BannerWidgetClass& b) { return b.findChild<QPushButton*>(); }

    std::vector<std::string> m_opened;
    platform::OpenUrlHandler m_previous;
    std::string m_workDir;
    QString m_oldDir;
};

TEST_F(BannerWidgetTest, ShowsTheFirstPictureByNameIgnoringCase)
{
    WritePicture("b.gif");
    WritePicture("A.gif");
    WritePicture(".c.gif"); // hidden files count
    fs::create_directories("banner/0folder");
    QWidget window;
    BannerWidgetClass banner(&window);
    QLabel* label = Label(banner);
    ASSERT_NE(label, nullptr);
    ASSERT_NE(label->movie(), nullptr);
    EXPECT_EQ(label->movie()->fileName(), "banner/.c.gif");
    EXPECT_EQ(label->movie()->state(), QMovie::Running);

    fs::remove("banner/.c.gif");
    BannerWidgetClass second(&window);
    ASSERT_NE(Label(second)->movie(), nullptr);
    EXPECT_EQ(Label(second)->movie()->fileName(), "banner/A.gif");

    // The form and the pieces the constructor adds.
    EXPECT_EQ(second.objectName(), "BannerWidget");
    EXPECT_EQ(second.size(), QSize(400, 250));
    EXPECT_EQ(second.styleSheet(), "background-color: rgb(0, 0, 0);");
    EXPECT_TRUE(second.testAttribute(Qt::WA_TranslucentBackground));
    EXPECT_FALSE(second.isWindow());
    EXPECT_TRUE(Label(second)->hasScaledContents());
    EXPECT_EQ(Label(second)->alignment(), Qt::AlignCenter);
    QPushButton* close = CloseButton(second);
    ASSERT_NE(close, nullptr);
    EXPECT_EQ(close->text(), QStringLiteral("关闭"));
    EXPECT_EQ(close->geometry(), QRect(350, 0, 40, 25));
    EXPECT_EQ(close->styleSheet(), "border:none;color: rgb(255, 255, 255);background:transparent;");
    EXPECT_FALSE(second.ReshowTimer().isActive());
}

TEST_F(BannerWidgetTest, ClosingArmsTheReshowTimerOnlyForAPositiveInterval)
{
    struct Case {
        int interval;
        bool armed;
        int ms;
    };
    const Case cases[] = { { 2, true, 120000 }, { 1, true, 60000 }, { 0, false, 0 }, { -5, false, 0 },
        { 50000, true, INT_MAX } };
    WritePicture("ad.gif");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.interval);
        TradeConfig::GetInstance()->bannerList.clear();
        AddRecord("other.gif", "http://other", 7);
        AddRecord("ad.gif", "http://ad", c.interval);
        QWidget window;
        BannerWidgetClass banner(&window);
        window.show();
        EXPECT_TRUE(banner.isVisible());
        CloseButton(banner)->click();
        EXPECT_FALSE(banner.isVisible());
        EXPECT_EQ(banner.ReshowTimer().isActive(), c.armed);
        if (!c.armed)
            continue;
        EXPECT_EQ(banner.ReshowTimer().interval(), c.ms);
        banner.OnReshowTimer();
        EXPECT_TRUE(banner.isVisible());
        EXPECT_FALSE(banner.ReshowTimer().isActive()); // back once per close
    }
}

TEST_F(BannerWidgetTest, AnyButtonOnThePictureOpensTheLinkWithTheIdentifiers)
{
    WritePicture("ad.gif");
    AddRecord("x.gif", "http://x", 1);
    AddRecord("ad.gif", "https://promo.example/p", 1);
    AddRecord("ad.gif", "http://second-match", 1);
    QWidget window;
    BannerWidgetClass banner(&window);
    const std::string link = "https://promo.example/p?source=\xe6\xb8\xa0\xe9\x81\x93"
                             "A&id=app-id&key=app-key&class=vip";
    EXPECT_EQ(BannerWidgetClass::BannerLink("https://promo.example/p"), link);
    Press(Label(banner), Qt::LeftButton);
    Press(Label(banner), Qt::RightButton);
    Press(Label(banner), Qt::MiddleButton);
    EXPECT_EQ(m_opened, (std::vector<std::string> { link, link, link }));

    // Presses elsewhere, and other events on the picture, open nothing.
    m_opened.clear();
    Press(&banner, Qt::LeftButton);
    QMouseEvent dbl(
        QEvent::MouseButtonDblClick, QPointF(1, 1), Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(Label(banner), &dbl);
    EXPECT_TRUE(m_opened.empty());

    // Long identifiers make a long link, never a cut one.
    TradeConfig::GetInstance()->key = std::string(3000, 'k');
    Press(Label(banner), Qt::LeftButton);
    ASSERT_EQ(m_opened.size(), 1u);
    EXPECT_EQ(m_opened[0],
        "https://promo.example/p?source=\xe6\xb8\xa0\xe9\x81\x93"
        "A&id=app-id&key="
            + std::string(3000, 'k') + "&class=vip");
}

TEST_F(BannerWidgetTest, WithoutAMatchingRecordOrPictureNothingOpens)
{
    {
        QWidget window;
        BannerWidgetClass empty(&window);
        EXPECT_EQ(Label(empty)->text(), "TextLabel");
        EXPECT_EQ(Label(empty)->movie(), nullptr);
        window.show();
        Press(Label(empty), Qt::LeftButton);
        CloseButton(empty)->click();
        EXPECT_FALSE(empty.isVisible());
        EXPECT_FALSE(empty.ReshowTimer().isActive());
    }
    // A file that is no picture and has no record: shown as nothing, no link.
    std::ofstream("banner/notes.gif") << "not a picture";
    QWidget window;
    BannerWidgetClass banner(&window);
    ASSERT_NE(Label(banner)->movie(), nullptr);
    EXPECT_FALSE(Label(banner)->movie()->isValid());
    Press(Label(banner), Qt::LeftButton);
    CloseButton(banner)->click();
    EXPECT_TRUE(m_opened.empty());
    EXPECT_FALSE(banner.ReshowTimer().isActive());
}

// A GIF of `frames` 1 x 1 frames on a canvas of width x height.
std::string Gif(int width, int height, int frames)
{
    std::string gif = std::string("GIF89a") + char(width & 0xff) + char(width >> 8) + char(height & 0xff)
        + char(height >> 8) + std::string("\x80\0\0\0\0\0\xff\xff\xff", 9);
    for (int i = 0; i < frames; ++i)
        gif += std::string("!\xf9\x04\0\x0a\0\0\0,\0\0\0\0\x01\0\x01\0\0\x02\x02\x44\x01\0", 23);
    return gif + ";";
}

TEST_F(BannerWidgetTest, PicturesBeyondTheDecodedBoundAreLeftOutWithALine)
{
    struct Case {
        const char* what;
        std::string bytes;
        bool listed;
    };
    const Case cases[] = {
        { "four 2048 x 2048 frames: 64 MiB", Gif(2048, 2048, 4), true },
        { "five of them", Gif(2048, 2048, 5), false },
        { "one on a canvas beyond the side bound", Gif(kMaxPictureSide + 1, 1, 1), false },
    };
    QWidget window;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::ofstream("banner/0big.gif", std::ios::binary | std::ios::trunc) << c.bytes;
        testing::internal::CaptureStdout();
        BannerWidgetClass banner(&window);
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(Label(banner)->movie() != nullptr, c.listed);
        EXPECT_EQ(out.find("图片解码后过大") == std::string::npos, c.listed) << out;
        if (!c.listed) {
            EXPECT_EQ(Label(banner)->text(), "TextLabel"); // as with no picture at all
        }
    }
    // A refused picture gives way to the next one.
    WritePicture("1.gif");
    BannerWidgetClass banner(&window);
    ASSERT_NE(Label(banner)->movie(), nullptr);
    EXPECT_EQ(Label(banner)->movie()->fileName(), "banner/1.gif");
}

TEST_F(BannerWidgetTest, CloseStopsTheTimerAndReleasesTheShownMovie)
{
    WritePicture("ad.gif");
    AddRecord("ad.gif", "http://ad", 3);
    QWidget window;
    BannerWidgetClass banner(&window);
    window.show();
    CloseButton(banner)->click();
    ASSERT_TRUE(banner.ReshowTimer().isActive());
    banner.show();
    banner.close();
    EXPECT_FALSE(banner.ReshowTimer().isActive());
    EXPECT_EQ(Label(banner)->movie(), nullptr);
    EXPECT_FALSE(banner.isVisible());
    // Shown again afterwards (the window's "find" action): no picture, no crash.
    banner.show();
    Press(Label(banner), Qt::LeftButton);
    EXPECT_EQ(m_opened.size(), 1u);
}

} // namespace
