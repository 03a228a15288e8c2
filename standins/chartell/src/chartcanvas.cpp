#include "chartcanvas.h"

#include <algorithm>
#include <cmath>

#include <QDateTime>
#include <QEvent>
#include <QPainter>
#include <QPainterPath>

#include "chartmodel.h"

namespace chartell
{

namespace
{

    const QColor kBackground(0, 0, 0);
    const QColor kUp(255, 60, 60);
    const QColor kDown(0, 220, 0);
    const QColor kGrid(60, 0, 0);
    const QColor kAxisText(200, 200, 200);
    const QColor kTitle(220, 220, 10);
    const QColor kLine(240, 240, 240);
    const QColor kReference(150, 150, 150);
    const QColor kLineVolume(220, 220, 10);

    QString TimeLabel(std::uint64_t ms, int period)
    {
        const QDateTime t = QDateTime::fromMSecsSinceEpoch(static_cast<qint64>(ms));
        if (period == 9)
            return t.toString(QStringLiteral("yyyy-MM-dd"));
        if (period >= 5)
            return t.toString(QStringLiteral("MM-dd HH:mm"));
        return t.toString(QStringLiteral("HH:mm"));
    }

} // namespace

ChartCanvas::ChartCanvas(const ChartModel* model, QWidget* host)
    : QWidget(host)
    , m_model(model)
{
    setAttribute(Qt::WA_OpaquePaintEvent);
    setGeometry(host->rect());
    host->installEventFilter(this);
    m_repaintTimer.setSingleShot(true);
    m_repaintTimer.setInterval(kRepaintInterval);
    connect(&m_repaintTimer, &QTimer::timeout, this, [this] { update(); });
}

void ChartCanvas::ScheduleRepaint()
{
    if (!m_repaintTimer.isActive())
        m_repaintTimer.start();
}

bool ChartCanvas::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == parent() && (event->type() == QEvent::Resize || event->type() == QEvent::Show))
        setGeometry(parentWidget()->rect());
    return QWidget::eventFilter(watched, event);
}

void ChartCanvas::paintEvent(QPaintEvent*)
{
    ++m_paintCount;
    QPainter p(this);
    p.fillRect(rect(), kBackground);
    const ChartGeometry g = ChartGeometry::Compute(size(), *m_model);

    QFont titleFont = font();
    titleFont.setPixelSize(14);
    p.setFont(titleFont);
    p.setPen(kTitle);
    p.drawText(QRect(6, 0, width() - 12, ChartGeometry::kTitleHeight), Qt::AlignLeft | Qt::AlignVCenter,
        m_model->Title());

    QFont axisFont = font();
    axisFont.setPixelSize(11);
    p.setFont(axisFont);
    PaintAxes(p, g);
    if (g.count == 0)
        return;
    p.setClipRect(g.pricePane.united(g.volumePane));
    if (m_model->Period() == 0)
        PaintLine(p, g);
    else
        PaintCandles(p, g);
}

void ChartCanvas::PaintAxes(QPainter& p, const ChartGeometry& g) const
{
    const int right = g.pricePane.right() + 1;
    p.setPen(QPen(kGrid, 1, Qt::DotLine));
    constexpr int kPriceLines = 5;
    for (int i = 0; i <= kPriceLines; ++i) {
        const int y = g.pricePane.top() + g.pricePane.height() * i / kPriceLines;
        p.drawLine(0, y, right, y);
    }
    p.drawLine(0, g.volumePane.top(), right, g.volumePane.top());
    p.setPen(QPen(kGrid.lighter(250), 1));
    p.drawLine(right, g.pricePane.top(), right, g.volumePane.bottom());

    p.setPen(kAxisText);
    for (int i = 0; i <= kPriceLines; ++i) {
        const int y = g.pricePane.top() + g.pricePane.height() * i / kPriceLines;
        const double price = g.PriceAtY(y);
        p.drawText(QRect(right + 4, y - 8, ChartGeometry::kAxisWidth - 6, 16),
            Qt::AlignLeft | Qt::AlignVCenter, QString::number(price, 'f', m_model->Decimals()));
    }
    p.drawText(QRect(right + 4, g.volumePane.top() - 2, ChartGeometry::kAxisWidth - 6, 16),
        Qt::AlignLeft | Qt::AlignVCenter, QString::number(g.volumeHigh, 'f', 0));

    if (g.count == 0)
        return;
    // One time label about every 120 pixels, none overlapping the axis.
    const auto& bars = m_model->Bars();
    const int every = std::max(1, static_cast<int>(120.0 / g.step));
    const int baseline = g.volumePane.bottom() + 2;
    for (int i = g.first; i < g.first + g.count; i += every) {
        const double x = g.XOf(i);
        if (x + 45 > right)
            break;
        if (x < 45)
            continue;
        p.setPen(QPen(kGrid, 1, Qt::DotLine));
        p.drawLine(QPointF(x, g.pricePane.top()), QPointF(x, g.volumePane.bottom()));
        p.setPen(kAxisText);
        p.drawText(QRectF(x - 45, baseline, 90, ChartGeometry::kTimeAxisHeight), Qt::AlignCenter,
            TimeLabel(bars[static_cast<size_t>(i)].time, m_model->Period()));
    }
}

void ChartCanvas::PaintCandles(QPainter& p, const ChartGeometry& g) const
{
    const auto& bars = m_model->Bars();
    const double body = std::max(1.0, g.step - 2.0);
    for (int i = g.first; i < g.first + g.count; ++i) {
        const Bar& b = bars[static_cast<size_t>(i)];
        const QColor colour = b.close >= b.open ? kUp : kDown;
        const double x = g.XOf(i);
        p.setPen(colour);
        p.drawLine(QPointF(x, g.YOfPrice(b.high)), QPointF(x, g.YOfPrice(b.low)));
        const double top = g.YOfPrice(std::max(b.open, b.close));
        const double bottom = g.YOfPrice(std::min(b.open, b.close));
        p.fillRect(QRectF(x - body / 2, top, body, std::max(1.0, bottom - top)), colour);
        const double vy = g.YOfVolume(b.volume);
        p.fillRect(QRectF(x - body / 2, vy, body, g.volumePane.bottom() + 1 - vy), colour);
    }
}

void ChartCanvas::PaintLine(QPainter& p, const ChartGeometry& g) const
{
    const auto& bars = m_model->Bars();
    if (m_model->Reference() != 0.0) {
        p.setPen(QPen(kReference, 1, Qt::DashLine));
        const double y = g.YOfPrice(m_model->Reference());
        p.drawLine(QPointF(g.pricePane.left(), y), QPointF(g.pricePane.right(), y));
    }
    QPainterPath path;
    for (int i = g.first; i < g.first + g.count; ++i) {
        const QPointF point(g.XOf(i), g.YOfPrice(bars[static_cast<size_t>(i)].close));
        if (i == g.first)
            path.moveTo(point);
        else
            path.lineTo(point);
    }
    p.setRenderHint(QPainter::Antialiasing, true);
    p.setPen(QPen(kLine, 1));
    p.drawPath(path);
    p.setRenderHint(QPainter::Antialiasing, false);

    p.setPen(kLineVolume);
    for (int i = g.first; i < g.first + g.count; ++i) {
        const double x = g.XOf(i);
        p.drawLine(
            QPointF(x, g.YOfVolume(bars[static_cast<size_t>(i)].volume)), QPointF(x, g.volumePane.bottom()));
    }
}

} // namespace chartell
