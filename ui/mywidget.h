#pragma once

#include <QWidget>

class IChartell;
class QPaintEngine;

// Chart host `Kline_widget`: the outside chart view draws into this widget's
// native window, so Qt itself must paint nothing here.
class MyWidget : public QWidget
{
    Q_OBJECT

public:
    explicit MyWidget(QWidget* parent = nullptr);
    ~MyWidget() override;

    // No paint engine: Qt skips painting and leaves the surface to the view.
    QPaintEngine* paintEngine() const override;

    // The hosted chart view; null until the window creates it. The window
    // owns and releases the view; the host only keeps the pointer.
    void SetChartView(IChartell* view) { m_chartView = view; }
    IChartell* ChartView() const { return m_chartView; }

private:
    IChartell* m_chartView = nullptr;
};
