#pragma once

#include <QObject>

class QTreeView;
class QWidget;

// Keeps the columns of a quote list wide enough for what they show: just
// before the list paints, every column whose header or painted cells hold a
// text wider than the column grows to fit it. Columns never shrink, so the
// widths the window sets stay wherever the text fits. The list owns it.
class ColumnFitter : public QObject
{
public:
    explicit ColumnFitter(QTreeView* view);

    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // Grows columns for the header texts and for the cells of the rows that
    // intersect `area` of the viewport.
    void Fit(const QRect& area);

    QTreeView* m_view;
};

// Keeps a panel at least as wide as its contents need: the minimum width
// given to the panel holds while its labels fit, and is raised whenever
// their texts ask for more. The panel owns it.
class PanelFitter : public QObject
{
public:
    explicit PanelFitter(QWidget* panel);

    bool eventFilter(QObject* watched, QEvent* event) override;
    // Raises the panel's minimum width to what its contents need now; call
    // again after setting a new minimum width.
    void Fit();

private:
    QWidget* m_panel;
};
