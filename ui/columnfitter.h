#pragma once

#include <climits>
#include <functional>
#include <memory>
#include <vector>

#include <QFontMetricsF>
#include <QObject>
#include <QPointer>

class QTreeView;
class QWidget;
class QuoteTableModel;

// The column layout of a quote list: columns fit their header and the widest
// text they show, growing with it and narrowing again once it is gone (never
// below the widths the window or the user gives them); a text takes at most
// a third of the list's width, beyond which it is elided. Only columns that
// fit whole in the room the list has are shown. Those out of room wait, hidden, until ">>" folds the leading
// ones away (Fold) or the list grows; "<<" brings the folded ones back (Unfold). The view owns it. GUI thread
// only.
class ColumnFitter : public QObject
{
public:
    ColumnFitter(QTreeView* view, QuoteTableModel* model);
    ~ColumnFitter() override;

    // Called whenever the room the columns need or have may have changed: a
    // column grew, the user resized one, the list was resized or shown. The
    // window answers with SetLimit.
    void SetRelayout(std::function<void()> relayout) { m_relayout = std::move(relayout); }
    // The room for the columns, in pixels from the list's left edge.
    void SetLimit(int width);
    // Whether some columns are out of room. The columns are hidden only while
    // the list is visible: a list off screen has no room to speak of.
    bool HasParked() const { return m_firstParked >= 0; }
    bool IsFolded() const;
    // ">>": folds the leading foldable columns so that those out of room come
    // in: as few as lets every column fit, else up to the first one out of
    // room, so that each press brings the next ones. False when none was out
    // of room.
    bool Fold();
    // "<<": shows the folded columns again.
    void Unfold();
    // Widens the columns whose header or texts need more room and narrows
    // those that need less; true when some width changed (the columns are
    // then laid out again).
    bool Fit();
    // Stops measuring the model's texts (it goes away first).
    void Detach();

    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    int MeasureText(const QString& text);
    // Hides the folded columns and those out of room; shows the others.
    void Apply();
    void Relayout();
    int Margins() const;

    QTreeView* m_view;
    QPointer<QuoteTableModel> m_model;
    std::function<void()> m_relayout;
    int m_limit = INT_MAX;
    // Columns QuoteColumn::FirstFold .. m_foldEnd - 1 are folded.
    int m_foldEnd = 0;
    int m_firstParked = -1;
    // Width of each column as the latest layout found it, hidden ones included.
    std::vector<int> m_widths;
    // Per column: the width it was given, and the width Fit last gave it.
    std::vector<int> m_floors;
    std::vector<int> m_fitted;
    static constexpr int kShareOfView = 3;
    bool m_applying = false;
    // The view's font, and the advance of each ASCII character in it,
    // measured on first use.
    std::unique_ptr<QFontMetricsF> m_metrics;
    std::vector<double> m_advances;
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
