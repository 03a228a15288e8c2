#pragma once

#include <QProxyStyle>

// Look of the quote category tabs: dark slanted tabs, 28 x 88 pixels, with
// the caption written vertically, one character under the other.
class CustomTabStyle : public QProxyStyle
{
public:
    // Wraps the application's current style.
    CustomTabStyle();
    ~CustomTabStyle() override;

    // The whole tab goes to the base style, which calls back for the label;
    // the label is drawn here; every other element is left unpainted.
    void drawControl(ControlElement element, const QStyleOption* option, QPainter* painter,
        const QWidget* widget = nullptr) const override;

    // Every tab measures 28 x 88; other contents keep the base size.
    QSize sizeFromContents(ContentsType type, const QStyleOption* option, const QSize& size,
        const QWidget* widget) const override;

    static constexpr int kTabWidth = 28;
    static constexpr int kTabHeight = 88;
    // Height of the slanted part that carries the caption.
    static constexpr int kCaptionHeight = 58;
    static constexpr int kCharHeight = 14;

    // Top of the caption column below the tab's top, for a caption of n
    // characters (negative for five and more: the column is then clipped).
    static int CaptionOffset(int characters);
};
