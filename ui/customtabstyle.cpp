#include "customtabstyle.h"

#include <QPainter>
#include <QPolygon>
#include <QStyleOptionTab>
#include <QTextOption>

CustomTabStyle::CustomTabStyle() = default;

CustomTabStyle::~CustomTabStyle() = default;

int CustomTabStyle::CaptionOffset(int characters)
{
    // Integer division truncates toward zero, also for negative values.
    return (kCaptionHeight - kCharHeight * characters) / 2;
}

void CustomTabStyle::drawControl(
    ControlElement element, const QStyleOption* option, QPainter* painter, const QWidget* widget) const
{
    if (element == CE_TabBarTab) {
        QProxyStyle::drawControl(element, option, painter, widget);
        return;
    }
    if (element != CE_TabBarTabLabel || !painter)
        return;
    const auto* tab = qstyleoption_cast<const QStyleOptionTab*>(option);
    if (!tab || tab->version < 3)
        return;

    const QRect r = tab->rect;
    const QColor dark(77, 77, 77);
    const QPoint topRight(r.right(), r.top());
    const QPoint topLeft(r.left(), r.top());
    const QPoint slantStart(r.left(), r.top() + kCaptionHeight);
    const QPoint bottomRight(r.right(), r.bottom());
    const QPoint bottomLeft(r.left(), r.bottom());

    painter->save();
    painter->setPen(dark);
    painter->drawLine(topRight, topLeft);
    painter->drawLine(topLeft, slantStart);
    painter->drawLine(slantStart, bottomRight);
    // Cut the lower-left corner off the tab.
    painter->setBrush(QBrush(dark, Qt::SolidPattern));
    painter->drawPolygon(QPolygon({ slantStart, bottomRight, bottomLeft }));
    painter->restore();

    if (!(tab->state & State_Selected)) {
        // A selected tab leaves its body unpainted so the bar's own
        // background shows through and marks it.
        painter->save();
        painter->setPen(QColor(0, 0, 0));
        painter->setBrush(QBrush(dark, Qt::SolidPattern));
        painter->drawPolygon(QPolygon({ topRight, topLeft, slantStart, bottomRight }));
        painter->restore();
    }

    painter->save();
    QTextOption textOption;
    textOption.setAlignment(Qt::AlignHCenter | Qt::AlignVCenter);
    painter->setPen(QColor(200, 200, 200));
    QFont font;
    font.setPixelSize(12);
    painter->setFont(font);

    // Code points, so that a character outside the basic plane stays whole.
    const QVector<uint> chars = tab->text.toUcs4();
    const int n = chars.size();
    const QRect captionRect = r.adjusted(0, 0, 0, -30);
    const int off = CaptionOffset(n);
    for (int i = 0; i < n; ++i) {
        const uint cp = chars.at(i);
        const QRect box = captionRect.adjusted(0, off + kCharHeight * i, 0, kCharHeight * (i - n + 1) - off);
        painter->drawText(box, QString::fromUcs4(&cp, 1), textOption);
    }
    painter->restore();
}

QSize CustomTabStyle::sizeFromContents(
    ContentsType type, const QStyleOption* option, const QSize& size, const QWidget* widget) const
{
    QSize s = QProxyStyle::sizeFromContents(type, option, size, widget);
    if (type == CT_TabBarTab) {
        s.transpose();
        s.setHeight(kTabHeight);
        s.setWidth(kTabWidth);
    }
    return s;
}
