#include "screenfit.h"

#include <algorithm>

#include <QEvent>
#include <QLabel>
#include <QLayout>
#include <QMenu>
#include <QPushButton>
#include <QScrollBar>
#include <QStatusBar>
#include <QStyle>
#include <QToolButton>

namespace
{

// The status bar's own layout: this much before its first widget and between
// any two of them.
constexpr int kBarLead = 2;
constexpr int kBarSpacing = 6;

// The room a widget takes in a layout that gives it its size hint.
int HintWidth(const QWidget* w)
{
    return std::clamp(w->sizeHint().width(), w->minimumWidth(), w->maximumWidth());
}

} // namespace

QIcon ScaledIcon(const QIcon& icon, const QSize& size)
{
    const QList<QSize> sizes = icon.availableSizes();
    if (sizes.isEmpty())
        return icon;
    const QSize largest = *std::max_element(sizes.begin(), sizes.end(),
        [](const QSize& a, const QSize& b) { return a.width() * a.height() < b.width() * b.height(); });
    if (largest.width() >= size.width() && largest.height() >= size.height())
        return icon;
    QIcon scaled = icon;
    scaled.addPixmap(icon.pixmap(largest).scaled(size, Qt::KeepAspectRatio, Qt::SmoothTransformation));
    return scaled;
}

PanelColumn::PanelColumn(QWidget* parent)
    : QScrollArea(parent)
{
    setFrameShape(QFrame::NoFrame);
    setWidgetResizable(true);
    // The width is kept by the minimum below; a scroll bar across would only
    // come when the window is narrower than its own minimum.
    setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
}

QSize PanelColumn::minimumSizeHint() const
{
    QSize size = QScrollArea::minimumSizeHint();
    if (const QWidget* panels = widget()) {
        const int need = std::max(panels->minimumWidth(), panels->minimumSizeHint().width())
            + verticalScrollBar()->sizeHint().width() + 2 * frameWidth();
        size.setWidth(std::max(size.width(), need));
    }
    return size;
}

bool PanelColumn::viewportEvent(QEvent* event)
{
    // The panels' minimum width grows with their figures; the column follows.
    if (event->type() == QEvent::LayoutRequest)
        updateGeometry();
    return QScrollArea::viewportEvent(event);
}

StatusBarFolder::StatusBarFolder(
    QStatusBar* bar, QPushButton* notice, std::vector<QLabel*> labels, std::function<void(int)> pick)
    : QObject(bar)
    , m_bar(bar)
    , m_notice(notice)
    , m_fullNotice(notice->text())
    , m_labels(std::move(labels))
    , m_pick(std::move(pick))
{
    // "  提醒:…" keeps the word before the colon, in the same blanks.
    const int colon = m_fullNotice.indexOf(QLatin1Char(':'));
    m_shortNotice = colon < 0 ? m_fullNotice : m_fullNotice.left(colon) + QStringLiteral("  ");

    m_more = new QToolButton(bar);
    m_more->setText(QStringLiteral("»"));
    m_more->setAutoRaise(true);
    m_more->setPopupMode(QToolButton::InstantPopup);
    // The "»" says there is more; the menu's own arrow beside it would only crowd it.
    m_more->setStyleSheet(QStringLiteral("QToolButton::menu-indicator { image: none; }"));
    m_menu = new QMenu(m_more);
    m_more->setMenu(m_menu);
    connect(m_menu, &QMenu::aboutToShow, this, &StatusBarFolder::FillMenu);
    bar->addWidget(m_more, 0);
    m_more->hide();

    m_notice->setText(m_shortNotice);
    m_shortNoticeWidth = m_notice->sizeHint().width();
    m_notice->setText(m_fullNotice);
    m_fullNoticeWidth = m_notice->sizeHint().width();
    // The bar's minimum is what it keeps whole: the notice in its short text,
    // no label (each can fold).
    m_notice->setMinimumWidth(m_shortNoticeWidth);
    for (QLabel* label : m_labels)
        label->setMinimumWidth(1);
    bar->installEventFilter(this);
}

void StatusBarFolder::LabelAdded()
{
    // The "»" button stays after the labels.
    m_bar->removeWidget(m_more);
    m_bar->addWidget(m_more, 0);
    Fit();
}

bool StatusBarFolder::IsFolded(int label) const
{
    int inBar = 0;
    for (int i = 0; i <= label && i < static_cast<int>(m_labels.size()); ++i) {
        if (m_labels[static_cast<size_t>(i)]->parentWidget() != m_bar)
            continue;
        if (i == label)
            return inBar >= m_shown;
        ++inBar;
    }
    return false;
}

int StatusBarFolder::Need(bool shortNotice, int labelsShown) const
{
    int need = kBarLead;
    int widgets = 0;
    const auto add = [&](int width) {
        need += width + (widgets > 0 ? kBarSpacing : 0);
        ++widgets;
    };
    int inBar = 0;
    for (QObject* child : m_bar->children()) {
        auto* w = qobject_cast<QWidget*>(child);
        if (!w || w->isWindow() || w == m_more)
            continue;
        const auto label = std::find(m_labels.begin(), m_labels.end(), w);
        if (label != m_labels.end()) {
            if (inBar++ < labelsShown)
                add(HintWidth(w));
        } else if (w == m_notice) {
            add(shortNotice ? m_shortNoticeWidth : m_fullNoticeWidth);
        } else if (!w->isHidden()) {
            add(HintWidth(w));
        }
    }
    if (labelsShown < inBar)
        add(m_more->sizeHint().width());
    return need;
}

void StatusBarFolder::Fit()
{
    if (m_fitting)
        return;
    m_fitting = true;
    int inBar = 0;
    for (QLabel* label : m_labels)
        inBar += label->parentWidget() == m_bar ? 1 : 0;
    const int room = m_bar->contentsRect().width();
    bool shortNotice = Need(false, inBar) > room;
    int shown = inBar;
    while (shortNotice && shown > 0 && Need(true, shown) > room)
        --shown;

    m_notice->setText(shortNotice ? m_shortNotice : m_fullNotice);
    m_notice->setToolTip(shortNotice ? m_fullNotice : QString());
    int index = 0;
    for (QLabel* label : m_labels) {
        if (label->parentWidget() != m_bar)
            continue;
        label->setVisible(index++ < shown);
    }
    m_more->setVisible(shown < inBar);
    m_shown = shown;
    m_fitting = false;
}

void StatusBarFolder::FillMenu()
{
    m_menu->clear();
    for (size_t i = 0; i < m_labels.size(); ++i) {
        const int index = static_cast<int>(i);
        if (m_labels[i]->parentWidget() != m_bar || !IsFolded(index))
            continue;
        QAction* entry = m_menu->addAction(m_labels[i]->text().trimmed());
        entry->setData(index);
        connect(entry, &QAction::triggered, this, [this, index] { m_pick(index); });
    }
}

bool StatusBarFolder::eventFilter(QObject* watched, QEvent* event)
{
    // A resize of the bar, or a label whose figures changed length.
    if (watched == m_bar && (event->type() == QEvent::Resize || event->type() == QEvent::LayoutRequest))
        Fit();
    return QObject::eventFilter(watched, event);
}
