#pragma once

#include <functional>
#include <vector>

#include <QIcon>
#include <QObject>
#include <QScrollArea>
#include <QString>

class QLabel;
class QMenu;
class QPushButton;
class QStatusBar;
class QToolButton;

// Pieces that let the window fit screens smaller than its contents at large
// DPIs: what does not fit scrolls or folds, and nothing is cut.

// The icon with a picture of the given size added when its largest one is
// smaller, so that it is drawn at that size rather than at its own.
QIcon ScaledIcon(const QIcon& icon, const QSize& size);

// A column of panels that scrolls up and down when the window is lower than
// the panels, and is never narrower than they need.
class PanelColumn : public QScrollArea
{
public:
    explicit PanelColumn(QWidget* parent = nullptr);
    QSize minimumSizeHint() const override;

protected:
    bool viewportEvent(QEvent* event) override;
};

// Folds the status bar's widgets that the bar's width cannot hold whole. The
// notice first takes its short text (the whole one as its tool tip); then the
// foldable labels, from the last, go behind a "»" button whose menu lists
// them, an entry doing what a press on its label does. Only labels in the bar
// take part: one that was never added stays out. GUI thread only.
class StatusBarFolder : public QObject
{
public:
    // `pick` is called with a label's index in `labels` when its menu entry is chosen.
    StatusBarFolder(
        QStatusBar* bar, QPushButton* notice, std::vector<QLabel*> labels, std::function<void(int)> pick);

    // Call after a label joined the bar.
    void LabelAdded();
    // Shows, shortens and hides to fit the bar's width now.
    void Fit();
    bool IsFolded(int label) const;
    QToolButton* MoreButton() const { return m_more; }

    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    int Need(bool shortNotice, int labelsShown) const;
    void FillMenu();

    QStatusBar* m_bar;
    QPushButton* m_notice;
    QString m_fullNotice;
    QString m_shortNotice;
    int m_fullNoticeWidth = 0;
    int m_shortNoticeWidth = 0;
    std::vector<QLabel*> m_labels;
    std::function<void(int)> m_pick;
    QToolButton* m_more;
    QMenu* m_menu;
    // Labels shown, counted from the first label in the bar.
    int m_shown = 0;
    bool m_fitting = false;
};
