#include "columnfitter.h"

#include <algorithm>

#include <QAbstractItemModel>
#include <QEvent>
#include <QFont>
#include <QFontMetricsF>
#include <QHeaderView>
#include <QLayout>
#include <QSplitter>
#include <QStyle>
#include <QTreeView>
#include <QtMath>

#include "quotecolumns.h"
#include "quotetablemodel.h"

ColumnFitter::ColumnFitter(QTreeView* view, QuoteTableModel* model)
    : QObject(view)
    , m_view(view)
    , m_model(model)
{
    view->installEventFilter(this);
    QHeaderView* header = view->header();
    // A column that the user widens or narrows. The closing column stretches
    // with the list and holds nothing; hidden ones are resized to nothing by
    // the header itself, later.
    connect(header, &QHeaderView::sectionResized, this, [this](int logical, int, int size) {
        const QHeaderView* header = m_view->header();
        if (!m_applying && size > 0 && logical != header->count() - 1 && !header->isSectionHidden(logical))
            Relayout();
    });
    if (model) {
        connect(model, &QAbstractItemModel::headerDataChanged, this, &ColumnFitter::Fit);
        model->SetMeasure([this](const QString& text) { return MeasureText(text); }, [this] { Fit(); });
    }
}

ColumnFitter::~ColumnFitter()
{
    Detach();
}

void ColumnFitter::Detach()
{
    if (m_model)
        m_model->SetMeasure({}, {});
    m_model = nullptr;
}

bool ColumnFitter::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == m_view) {
        switch (event->type()) {
        case QEvent::FontChange:
            m_metrics.reset();
            break;
        case QEvent::Resize:
        case QEvent::Show:
            // The share a column may take follows the list's width.
            if (!Fit())
                Relayout();
            break;
        default:
            break;
        }
    }
    return QObject::eventFilter(watched, event);
}

int ColumnFitter::MeasureText(const QString& text)
{
    // A figure is measured as the sum of its characters' advances, each
    // measured once: laying out every text that the refresh writes would
    // cost more than the refresh. Other texts are rare (names, codes) and
    // laid out whole.
    if (!m_metrics) {
        m_metrics = std::make_unique<QFontMetricsF>(m_view->font());
        m_advances.assign(128, 0.0);
        for (int c = 32; c < 127; ++c)
            m_advances[static_cast<size_t>(c)] = m_metrics->horizontalAdvance(QChar(c));
    }
    double width = 0;
    for (const QChar c : text) {
        const ushort u = c.unicode();
        if (u < 32 || u >= 127)
            return qCeil(m_metrics->horizontalAdvance(text));
        width += m_advances[u];
    }
    // One pixel for rounding of the advances.
    return qCeil(width) + 1;
}

int ColumnFitter::Margins() const
{
    // The style draws a cell's text inside this margin on each side and
    // elides what is wider than the rest.
    return 2 * (m_view->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, m_view) + 1);
}

bool ColumnFitter::Fit()
{
    QHeaderView* header = m_view->header();
    const int columns = header->count();
    if (columns == 0)
        return false;
    m_floors.resize(static_cast<size_t>(columns), 0);
    m_fitted.resize(static_cast<size_t>(columns), 0);
    const int margins = Margins();
    // Off screen a list has no width to share; it is fitted again when shown.
    const int share = m_view->isVisible() ? m_view->viewport()->width() / kShareOfView : INT_MAX;
    bool changed = false;
    m_applying = true;
    for (int column = 0; column < columns - 1; ++column) {
        // A hidden column has neither size nor size hint: it is measured shown.
        const bool hidden = header->isSectionHidden(column);
        if (hidden)
            header->setSectionHidden(column, false);
        const int size = header->sectionSize(column);
        int& floor = m_floors[static_cast<size_t>(column)];
        int& fitted = m_fitted[static_cast<size_t>(column)];
        // A width that this fitter did not set was given by the window or
        // the user: the column never narrows below it.
        if (size != fitted)
            floor = size;
        int need = header->sectionSizeHint(column);
        if (m_model && m_model->TextWidth(column) > 0)
            need = std::max(need, std::min(m_model->TextWidth(column) + margins, share));
        const int width = std::max(floor, need);
        if (width != size) {
            header->resizeSection(column, width);
            changed = true;
        }
        fitted = width;
        if (hidden)
            header->setSectionHidden(column, true);
    }
    m_applying = false;
    if (changed)
        Relayout();
    return changed;
}

void ColumnFitter::SetLimit(int width)
{
    m_limit = width;
    Apply();
}

bool ColumnFitter::IsFolded() const
{
    return m_foldEnd > QuoteColumn::FirstFold;
}

void ColumnFitter::Apply()
{
    QHeaderView* header = m_view->header();
    const int columns = header->count();
    m_firstParked = -1;
    m_widths.assign(static_cast<size_t>(columns), 0);
    if (columns == 0)
        return;
    m_applying = true;
    for (int column = 0; column < columns; ++column) {
        if (header->isSectionHidden(column))
            header->setSectionHidden(column, false);
        m_widths[static_cast<size_t>(column)] = header->sectionSize(column);
    }
    const bool onScreen = m_view->isVisible();
    int used = 0;
    // The closing column takes what room is left and is never hidden.
    for (int column = 0; column < columns - 1; ++column) {
        const bool folded = column >= QuoteColumn::FirstFold && column < m_foldEnd;
        bool hide = folded;
        if (!folded) {
            const int width = m_widths[static_cast<size_t>(column)];
            // Once one column is out of room, so are all after it: the order
            // of the columns holds.
            if (m_firstParked < 0 && used + width <= m_limit) {
                used += width;
            } else {
                if (m_firstParked < 0)
                    m_firstParked = column;
                hide = onScreen;
            }
        }
        if (hide)
            header->setSectionHidden(column, true);
    }
    m_applying = false;
}

bool ColumnFitter::Fold()
{
    if (m_firstParked < 0)
        return false;
    const int closing = static_cast<int>(m_widths.size()) - 1;
    const auto width = [this](int column) { return m_widths[static_cast<size_t>(column)]; };
    int kept = 0;
    for (int column = 0; column < closing; ++column) {
        if (column < QuoteColumn::FirstFold || column > QuoteColumn::LastFold)
            kept += width(column);
    }
    const int start = std::max(m_foldEnd, static_cast<int>(QuoteColumn::FirstFold));
    // At most the columns before the first one out of room go, so that none
    // is passed over: each press brings in the next ones.
    const int page = std::clamp(m_firstParked, start + 1, static_cast<int>(QuoteColumn::LastFold) + 1);
    // Fewer when that lets every other column fit.
    int foldable = 0;
    for (int column = start; column <= QuoteColumn::LastFold && column < closing; ++column)
        foldable += width(column);
    int end = page;
    for (int e = start; e < page; ++e) {
        if (kept + foldable <= m_limit) {
            end = e;
            break;
        }
        if (e < closing)
            foldable -= width(e);
    }
    m_foldEnd = end;
    Apply();
    return true;
}

void ColumnFitter::Unfold()
{
    m_foldEnd = 0;
    Apply();
}

void ColumnFitter::Relayout()
{
    if (m_relayout)
        m_relayout();
    else
        Apply();
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
