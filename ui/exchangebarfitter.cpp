#include "exchangebarfitter.h"

#include <algorithm>

#include <QEvent>
#include <QFrame>
#include <QHBoxLayout>
#include <QListView>
#include <QMenu>
#include <QPushButton>
#include <QScrollBar>
#include <QStringListModel>
#include <QWidgetAction>

namespace
{

// The width a widget takes in a row of a box layout that gives it no more
// than it asks for.
int Need(const QWidget* widget)
{
    const int hint = std::max(widget->sizeHint().width(), widget->minimumSizeHint().width());
    return std::min(std::max(hint, widget->minimumWidth()), widget->maximumWidth());
}

// A widget just added to a shown layout is shown later, by the layout,
// unless hidden on purpose: so every state is set on purpose.
void SetShown(QWidget* widget, bool shown)
{
    if (widget->isHidden() == shown || !widget->testAttribute(Qt::WA_WState_ExplicitShowHide))
        widget->setVisible(shown);
}

// Rows the overflow list shows at once; the rest scroll.
constexpr int kListRows = 16;

} // namespace

ExchangeBarFitter::ExchangeBarFitter(QWidget* bar, std::vector<QWidget*> lead, QPushButton* overflow,
    Looks looks, std::function<QString(std::size_t)> text, std::function<void(int)> pick)
    : QObject(bar)
    , m_bar(bar)
    , m_lead(std::move(lead))
    , m_overflow(overflow)
    , m_looks(std::move(looks))
    , m_text(std::move(text))
    , m_pick(std::move(pick))
{
    bar->installEventFilter(this);
    QObject::connect(m_overflow, &QPushButton::clicked, this, [this] {
        QMenu* menu = OverflowMenu();
        const QSize size = menu->sizeHint();
        menu->popup(m_overflow->mapToGlobal(QPoint(0, -size.height())));
    });
}

void ExchangeBarFitter::SetSlots(std::vector<QPushButton*> buttons, std::vector<QFrame*> separators)
{
    m_buttons = std::move(buttons);
    m_separators = std::move(separators);
    Fit();
}

void ExchangeBarFitter::SetCount(std::size_t count)
{
    m_count = count;
    Fit();
}

void ExchangeBarFitter::SetChosen(int index)
{
    m_chosen = index;
    StyleOverflow();
}

void ExchangeBarFitter::StyleOverflow()
{
    const bool folded = m_chosen >= 0 && static_cast<std::size_t>(m_chosen) >= m_shown;
    const QString& style = folded ? m_looks.chosen : m_looks.other;
    if (m_overflow->styleSheet() != style)
        m_overflow->setStyleSheet(style);
}

void ExchangeBarFitter::Fit()
{
    if (m_fitting)
        return;
    m_fitting = true;
    const std::size_t slotCount = std::min(m_buttons.size(), m_separators.size());
    const std::size_t used = std::min(m_count, slotCount);

    int room = m_bar->contentsRect().width();
    if (const QLayout* layout = m_bar->layout()) {
        const QMargins margins = layout->contentsMargins();
        room -= margins.left() + margins.right();
    }
    for (const QWidget* widget : m_lead)
        room -= Need(widget);
    if (m_separators.size() > slotCount)
        room -= Need(m_separators[slotCount]);

    // Every slot in use fits whole, or as many as leave room for the overflow
    // button; at least the lead and that button always fit, by the bar's
    // minimum width.
    std::vector<int> widths(used);
    int all = 0;
    for (std::size_t i = 0; i < used; ++i) {
        widths[i] = Need(m_separators[i]) + Need(m_buttons[i]);
        all += widths[i];
    }
    // A bar off screen has no room to speak of: it is fitted when shown.
    std::size_t shown = used;
    if (m_bar->isVisible() && (used < m_count || all > room)) {
        int left = room - Need(m_overflow);
        shown = 0;
        while (shown < used && widths[shown] <= left)
            left -= widths[shown++];
    }
    m_shown = shown;

    for (std::size_t i = 0; i < slotCount; ++i) {
        SetShown(m_buttons[i], i < shown);
        SetShown(m_separators[i], i < shown);
    }
    SetShown(m_overflow, shown < m_count);
    StyleOverflow();

    int minimum = 0;
    for (const QWidget* widget : m_lead)
        minimum += Need(widget);
    if (m_separators.size() > slotCount)
        minimum += Need(m_separators[slotCount]);
    minimum += Need(m_overflow);
    if (const QLayout* layout = m_bar->layout())
        minimum += layout->contentsMargins().left() + layout->contentsMargins().right();
    // Set on the bar, it stands for the layout's own minimum, which counts the
    // buttons on screen and would keep the window from narrowing.
    if (m_bar->minimumWidth() != minimum)
        m_bar->setMinimumWidth(minimum);
    m_fitting = false;
}

QMenu* ExchangeBarFitter::OverflowMenu()
{
    if (!m_menu) {
        m_menu = new QMenu(m_overflow);
        m_list = new QListView(m_menu);
        m_list->setModel(new QStringListModel(m_list));
        m_list->setUniformItemSizes(true);
        m_list->setEditTriggers(QAbstractItemView::NoEditTriggers);
        m_list->setFont(m_bar->font());
        // The bar's own colours: the menu would otherwise take the button's
        // grey text onto the menu's light ground.
        m_list->setStyleSheet(
            QStringLiteral("QListView { background-color: rgb(77, 77, 77); "
                           "color: rgb(231, 231, 231); border: 1px solid rgb(211, 211, 211); }"
                           "QListView::item:hover { background-color: rgb(219, 219, 219); "
                           "color: rgb(0, 0, 0); }"));
        auto* action = new QWidgetAction(m_menu);
        action->setDefaultWidget(m_list);
        m_menu->addAction(action);
        const auto pick = [this](const QModelIndex& index) {
            const std::size_t exchange = m_shown + static_cast<std::size_t>(index.row());
            m_menu->hide();
            if (exchange < m_count)
                m_pick(static_cast<int>(exchange));
        };
        QObject::connect(m_list, &QListView::clicked, this, pick);
        // A click is also an activation on some styles; the menu is gone by then.
        QObject::connect(m_list, &QListView::activated, this, [this, pick](const QModelIndex& index) {
            if (m_menu->isVisible())
                pick(index);
        });
    }
    QStringList texts;
    texts.reserve(static_cast<int>(m_count - std::min(m_shown, m_count)));
    int widest = 0;
    const QFontMetrics metrics(m_list->font());
    for (std::size_t i = m_shown; i < m_count; ++i) {
        texts.push_back(m_text(i));
        // Captions are bounded, so the widest of the first screens is wide enough.
        if (i - m_shown < static_cast<std::size_t>(kListRows) * 4)
            widest = std::max(widest, metrics.horizontalAdvance(texts.back()));
    }
    static_cast<QStringListModel*>(m_list->model())->setStringList(texts);
    const int rows = std::min(static_cast<int>(texts.size()), kListRows);
    const int rowHeight = std::max(m_list->sizeHintForRow(0), metrics.height());
    const int frame = 2 * m_list->frameWidth();
    m_list->setFixedSize(
        widest + frame + m_list->verticalScrollBar()->sizeHint().width() + 8, rows * rowHeight + frame);
    return m_menu;
}

bool ExchangeBarFitter::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == m_bar
        && (event->type() == QEvent::Resize || event->type() == QEvent::Show
            || event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange))
        Fit();
    return QObject::eventFilter(watched, event);
}
