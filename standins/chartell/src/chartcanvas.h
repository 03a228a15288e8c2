#pragma once

#include <QTimer>
#include <QWidget>

class QPainter;

namespace chartell
{

class ChartGeometry;
class ChartModel;

// The child widget that the view puts inside its host: it fills the host,
// follows its size and paints the model.
class ChartCanvas : public QWidget
{
public:
    // At most this many milliseconds between two repaints from quotes.
    static constexpr int kRepaintInterval = 33;

    ChartCanvas(const ChartModel* model, QWidget* host);

    // Asks for a repaint soon; requests within one interval make one repaint.
    void ScheduleRepaint();

    int PaintCount() const { return m_paintCount; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    void PaintCandles(QPainter& p, const ChartGeometry& g) const;
    void PaintLine(QPainter& p, const ChartGeometry& g) const;
    void PaintAxes(QPainter& p, const ChartGeometry& g) const;

    const ChartModel* m_model;
    QTimer m_repaintTimer;
    int m_paintCount = 0;
};

} // namespace chartell
