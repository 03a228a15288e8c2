#include <QApplication>
#include <QCommonStyle>
#include <QImage>
#include <QPainter>
#include <QStyleOptionButton>
#include <QStyleOptionTab>
#include <QTabBar>
#include <QWheelEvent>

#include <gtest/gtest.h>

#include "customtabstyle.h"
#include "mytabwidget.h"
#include "mywidget.h"

namespace
{

// Counts the wheel events that reach it from its children.
class WheelCounter : public QWidget
{
public:
    int wheels = 0;

protected:
    void wheelEvent(QWheelEvent* event) override
    {
        ++wheels;
        event->accept();
    }
};

QWheelEvent WheelDown(const QWidget* target)
{
    const QPointF pos(target->width() / 2.0, target->height() / 2.0);
    return QWheelEvent(pos, target->mapToGlobal(pos.toPoint()), QPoint(), QPoint(0, -120), Qt::NoButton,
        Qt::NoModifier, Qt::NoScrollPhase, false);
}

void AddTabs(QTabWidget& tabs)
{
    for (const char* text : { "自定义", "外盘", "期货", "外汇" })
        tabs.addTab(new QWidget, QString::fromUtf8(text));
}

} // namespace

TEST(MyTabWidget, WheelOverBarOrWidgetKeepsTheTabAndStopsThere)
{
    WheelCounter parent;
    auto* tabs = new MyTabWidget(&parent);
    AddTabs(*tabs);
    parent.resize(400, 400);
    tabs->resize(400, 400);
    tabs->setCurrentIndex(1);
    ASSERT_NE(dynamic_cast<MyTabBar*>(tabs->tabBar()), nullptr);
    EXPECT_EQ(tabs->tabBar()->parent(), tabs);

    for (QWidget* target : { static_cast<QWidget*>(tabs->tabBar()), static_cast<QWidget*>(tabs) }) {
        for (int i = 0; i < 3; ++i) {
            QWheelEvent wheel = WheelDown(target);
            wheel.setAccepted(false);
            QApplication::sendEvent(target, &wheel);
            EXPECT_TRUE(wheel.isAccepted());
            EXPECT_EQ(tabs->currentIndex(), 1);
        }
    }
    EXPECT_EQ(parent.wheels, 0);
}

TEST(MyTabWidget, PlainTabBarWouldSwitchOnTheWheel)
{
    // Shows the wheel test above can fail: Qt's own tab bar moves on.
    QTabWidget tabs;
    AddTabs(tabs);
    tabs.resize(400, 400);
    tabs.setCurrentIndex(1);
    QWheelEvent wheel = WheelDown(tabs.tabBar());
    QApplication::sendEvent(tabs.tabBar(), &wheel);
    EXPECT_NE(tabs.currentIndex(), 1);
}

TEST(CustomTabStyle, EveryTabMeasures28By88AndOtherContentsKeepTheBaseSize)
{
    CustomTabStyle style;
    QTabBar bar;
    for (const char* text : { "", "外盘", "数字货币", "a much longer caption than fits" }) {
        QStyleOptionTab tab;
        tab.text = QString::fromUtf8(text);
        tab.shape = QTabBar::TriangularWest;
        const QSize size = style.sizeFromContents(QStyle::CT_TabBarTab, &tab, QSize(200, 40), &bar);
        EXPECT_EQ(size, QSize(28, 88)) << text;
    }
    QStyleOptionButton button;
    button.text = QStringLiteral("OK");
    QStyle* base = style.baseStyle();
    EXPECT_EQ(style.sizeFromContents(QStyle::CT_PushButton, &button, QSize(30, 12), nullptr),
        base->sizeFromContents(QStyle::CT_PushButton, &button, QSize(30, 12), nullptr));
}

TEST(CustomTabStyle, CaptionOffsetCentresTheColumnInTheSlantedPart)
{
    const struct {
        int characters;
        int offset;
    } cases[] = { { 0, 29 }, { 1, 22 }, { 2, 15 }, { 3, 8 }, { 4, 1 }, { 5, -6 }, { 6, -13 } };
    for (const auto& c : cases)
        EXPECT_EQ(CustomTabStyle::CaptionOffset(c.characters), c.offset) << c.characters;
}

namespace
{

const QRgb kBlank = qRgb(255, 255, 255);

QImage PaintLabel(const QString& text, bool selected)
{
    CustomTabStyle style;
    QImage image(28, 88, QImage::Format_RGB32);
    image.fill(kBlank);
    QStyleOptionTab tab;
    tab.rect = QRect(0, 0, 28, 88);
    tab.text = text;
    tab.shape = QTabBar::TriangularWest;
    tab.state = QStyle::State_Enabled | (selected ? QStyle::State_Selected : QStyle::State_None);
    QPainter painter(&image);
    style.drawControl(QStyle::CE_TabBarTabLabel, &tab, &painter, nullptr);
    return image;
}

// Rows holding caption pixels: light grey over the dark body.
std::pair<int, int> CaptionRows(const QImage& image)
{
    int first = -1;
    int last = -1;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 2; x < image.width() - 2; ++x) {
            const QRgb p = image.pixel(x, y);
            if (qRed(p) > 110 && qRed(p) < 250 && qRed(p) == qGreen(p) && qGreen(p) == qBlue(p)) {
                if (first < 0)
                    first = y;
                last = y;
            }
        }
    }
    return { first, last };
}

} // namespace

TEST(CustomTabStyle, UnselectedTabIsDarkWithItsLowerLeftCornerCut)
{
    const QImage image = PaintLabel(QString(), false);
    EXPECT_EQ(image.pixel(14, 20), qRgb(77, 77, 77)); // body
    EXPECT_EQ(image.pixel(3, 84), qRgb(77, 77, 77)); // the cut corner
    EXPECT_EQ(image.pixel(0, 10), qRgb(0, 0, 0)); // outline of the body
}

TEST(CustomTabStyle, SelectedTabLeavesItsBodyUnpainted)
{
    const QImage image = PaintLabel(QString(), true);
    EXPECT_EQ(image.pixel(14, 20), kBlank);
    EXPECT_EQ(image.pixel(3, 84), qRgb(77, 77, 77));
    EXPECT_EQ(image.pixel(27, 0), qRgb(77, 77, 77)); // top edge line
}

TEST(CustomTabStyle, CaptionStandsVerticallyInTheTopPart)
{
    const struct {
        const char* text;
        int top;
        int bottom;
    } cases[] = { { "HH", 15, 43 }, { "HHHH", 1, 57 }, { "H", 22, 36 } };
    for (const auto& c : cases) {
        for (bool selected : { false, true }) {
            const QImage image = PaintLabel(QString::fromUtf8(c.text), selected);
            const auto rows = CaptionRows(image);
            ASSERT_GE(rows.first, 0) << c.text;
            EXPECT_GE(rows.first, c.top) << c.text;
            EXPECT_LE(rows.second, c.bottom) << c.text;
            // Characters stand one under the other: the column is taller than one.
            if (std::string(c.text).size() > 1) {
                EXPECT_GT(rows.second - rows.first, 14) << c.text;
            }
        }
    }
}

TEST(CustomTabStyle, OtherElementsAndOldOptionsPaintNothing)
{
    CustomTabStyle style;
    QImage image(28, 88, QImage::Format_RGB32);
    image.fill(kBlank);
    const QImage before = image;
    QPainter painter(&image);
    QStyleOptionTab tab;
    tab.rect = QRect(0, 0, 28, 88);
    tab.text = QStringLiteral("AB");
    for (QStyle::ControlElement element : { QStyle::CE_TabBarTabShape, QStyle::CE_PushButton,
             QStyle::CE_ShapedFrame, QStyle::CE_HeaderSection, QStyle::CE_ToolBar })
        style.drawControl(element, &tab, &painter, nullptr);
    QStyleOptionTab old;
    old.version = 2;
    old.rect = tab.rect;
    style.drawControl(QStyle::CE_TabBarTabLabel, &old, &painter, nullptr);
    QStyleOptionButton notATab;
    notATab.rect = tab.rect;
    style.drawControl(QStyle::CE_TabBarTabLabel, &notATab, &painter, nullptr);
    painter.end();
    EXPECT_EQ(image, before);
}

TEST(CustomTabStyle, WholeTabGoesThroughTheBaseStyleAndBackForItsLabel)
{
    QTabBar bar;
    auto* style = new CustomTabStyle;
    style->setParent(&bar);
    bar.setStyle(style);
    bar.setShape(QTabBar::TriangularWest);
    bar.setExpanding(false);
    bar.addTab(QStringLiteral("AB"));
    bar.addTab(QStringLiteral("CD"));
    bar.setCurrentIndex(0);
    EXPECT_EQ(bar.tabRect(1).size(), QSize(28, 88));
    QImage image(bar.sizeHint(), QImage::Format_RGB32);
    image.fill(kBlank);
    bar.render(&image);
    // The unselected second tab got its dark body from the label pass.
    const QRect second = bar.tabRect(1);
    EXPECT_EQ(image.pixel(second.left() + 14, second.top() + 5), qRgb(77, 77, 77));
}

TEST(MyWidget, PaintsNothingAndKeepsTheChartView)
{
    QWidget parent;
    auto* host = new MyWidget(&parent);
    host->setAttribute(Qt::WA_PaintOnScreen);
    EXPECT_EQ(host->paintEngine(), nullptr);
    EXPECT_STREQ(host->metaObject()->className(), "MyWidget");
    EXPECT_EQ(host->qt_metacast("MyWidget"), static_cast<void*>(host));
    EXPECT_EQ(host->qt_metacast("NotAClass"), nullptr);
    EXPECT_EQ(host->ChartView(), nullptr);
    auto* view = reinterpret_cast<IChartell*>(&parent);
    host->SetChartView(view);
    EXPECT_EQ(host->ChartView(), view);
    parent.resize(200, 100);
    host->resize(200, 100);
    parent.show();
    EXPECT_NE(host->winId(), WId(0));
    host->update();
    QCoreApplication::processEvents();
}
