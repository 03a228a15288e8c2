#include "columnfitter.h"

#include <algorithm>

#include <QAbstractItemModel>
#include <QEvent>
#include <QFont>
#include <QFontMetricsF>
#include <QHeaderView>
#include <QLayout>
#include <QPaintEvent>
#include <QSplitter>
#include <QStyle>
#include <QTreeView>
#include <QtMath>

ColumnFitter::ColumnFitter(QTreeView* view)
    : QObject(view)
    , m_view(view)
{
    view->viewport()->installEventFilter(this);
    view->header()->viewport()->installEventFilter(this);
}

bool ColumnFitter::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::Paint) {
        // The header's own paints come with a header text change (a sort
        // arrow); they fit the header only.
        const bool rows = watched == m_view->viewport();
        Fit(rows ? static_cast<QPaintEvent*>(event)->rect() : QRect());
    }
    return QObject::eventFilter(watched, event);
}

void ColumnFitter::Fit(const QRect& area)
{
    const QAbstractItemModel* model = m_view->model();
    QHeaderView* header = m_view->header();
    if (!model)
        return;
    const int columns = std::min(model->columnCount(), header->count());
    std::vector<int> needed(static_cast<size_t>(std::max(columns, 0)), 0);

    for (int column = 0; column < columns; ++column) {
        if (!header->isSectionHidden(column))
            needed[static_cast<size_t>(column)] = header->sectionSizeHint(column);
    }

    const QModelIndex top = area.isEmpty() ? QModelIndex() : m_view->indexAt(QPoint(0, area.top()));
    if (top.isValid()) {
        const QModelIndex bottom = m_view->indexAt(QPoint(0, area.bottom()));
        const int lastRow = bottom.isValid() ? bottom.row() : model->rowCount(top.parent()) - 1;
        // The style draws a cell's text inside this margin on each side and
        // elides what is wider than the rest.
        const int margins
            = 2 * (m_view->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, m_view) + 1);
        const QFontMetricsF viewMetrics(m_view->font());
        for (int row = top.row(); row <= lastRow; ++row) {
            for (int column = 0; column < columns; ++column) {
                if (header->isSectionHidden(column))
                    continue;
                const QModelIndex index = model->index(row, column, top.parent());
                const QString text = index.data(Qt::DisplayRole).toString();
                if (text.isEmpty())
                    continue;
                const QVariant font = index.data(Qt::FontRole);
                const qreal width = font.isValid()
                    ? QFontMetricsF(font.value<QFont>()).horizontalAdvance(text)
                    : viewMetrics.horizontalAdvance(text);
                int& need = needed[static_cast<size_t>(column)];
                need = std::max(need, qCeil(width) + margins);
            }
        }
    }

    for (int column = 0; column < columns; ++column) {
        const int need = needed[static_cast<size_t>(column)];
        if (need > header->sectionSize(column))
            header->resizeSection(column, need);
    }
}

PanelFitter::PanelFitter(QWidget* panel)
    : QObject(panel)
    , m_panel(panel)
{
    // A label whose text grows asks its own layout again, and that request
    // climbs from container to container; any of them may be the one told.
    panel->installEventFilter(this);
    for (QWidget* child : panel->findChildren<QWidget*>()) {
        if (child->layout() || qobject_cast<QSplitter*>(child))
            child->installEventFilter(this);
    }
}

bool PanelFitter::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::LayoutRequest)
        Fit();
    return QObject::eventFilter(watched, event);
}

void PanelFitter::Fit()
{
    // Only ever wider: a panel that shrank back whenever a figure got
    // shorter would make the chart beside it jump.
    const int need = m_panel->minimumSizeHint().width();
    if (need > m_panel->minimumWidth())
        m_panel->setMinimumWidth(need);
}
