#include <set>
#include <string>
#include <vector>

#include <QByteArray>
#include <QCryptographicHash>
#include <QIcon>
#include <QImage>
#include <QImageReader>
#include <QString>

#include <gtest/gtest.h>

namespace
{

QString Picture(const std::string& name)
{
    return QString::fromStdString(std::string(QUORVEL_RESOURCES_DIR) + "/" + name);
}

QByteArray PixelHash(const QImage& image)
{
    const QImage argb = image.convertToFormat(QImage::Format_ARGB32);
    return QCryptographicHash::hash(
        QByteArray(reinterpret_cast<const char*>(argb.constBits()), static_cast<int>(argb.sizeInBytes())),
        QCryptographicHash::Sha1);
}

} // namespace

// Every picture the program loads by name exists, decodes, and has the size
// its place on screen expects.
TEST(Resources, EveryPictureLoadsAtItsSize)
{
    struct Case {
        std::string name;
        int width;
        int height;
    };
    std::vector<Case> cases = {
        { "111.png", 600, 360 },
        { "up.png", 16, 16 },
        { "down.png", 16, 16 },
        { "webStock.png", 20, 20 },
        { "00005.png", 16, 16 },
        { "TolmarLOGO.png", 64, 64 },
        { "images/01.png", 16, 16 },
        { "images/02.png", 16, 16 },
        { "images/03.png", 16, 16 },
        { "images/04.png", 16, 16 },
        { "login_phone.png", 20, 20 },
        { "login_password.png", 20, 20 },
        { "register_phone.png", 20, 20 },
        { "register_code.png", 20, 20 },
        { "register_password.png", 20, 20 },
    };
    for (int n = 3; n <= 27; ++n) {
        if (n == 26)
            continue;
        char name[16];
        std::snprintf(name, sizeof name, "%03d.png", n);
        cases.push_back({ name, 32, 32 });
    }
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const QImage image(Picture(c.name));
        ASSERT_FALSE(image.isNull());
        EXPECT_EQ(image.width(), c.width);
        EXPECT_EQ(image.height(), c.height);
    }
}

TEST(Resources, ToolBarIconsAreDistinct)
{
    std::set<QByteArray> seen;
    int count = 0;
    for (int n = 3; n <= 27; ++n) {
        if (n == 26)
            continue;
        char name[16];
        std::snprintf(name, sizeof name, "%03d.png", n);
        seen.insert(PixelHash(QImage(Picture(name))));
        ++count;
    }
    EXPECT_EQ(static_cast<int>(seen.size()), count);

    std::set<QByteArray> latency;
    for (const char* name : { "images/01.png", "images/02.png", "images/03.png", "images/04.png" })
        latency.insert(PixelHash(QImage(Picture(name))));
    EXPECT_EQ(latency.size(), 4u);
}

TEST(Resources, WindowIconAndBusySpinner)
{
    const QIcon icon(Picture("logo(128).ico"));
    EXPECT_FALSE(icon.isNull());
    EXPECT_FALSE(icon.pixmap(128, 128).isNull());
    QImageReader ico(Picture("logo(128).ico"));
    EXPECT_EQ(ico.size(), QSize(128, 128));

    QImageReader gif(Picture("rotate.gif"));
    ASSERT_TRUE(gif.canRead());
    EXPECT_TRUE(gif.supportsAnimation());
    EXPECT_GE(gif.imageCount(), 8);
    std::set<QByteArray> frames;
    for (QImage frame = gif.read(); !frame.isNull(); frame = gif.read())
        frames.insert(PixelHash(frame));
    EXPECT_GE(frames.size(), 8u) << "every frame differs, so the spinner turns";
}
