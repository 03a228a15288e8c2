// Sorting of the quote tables by a click on a sortable column header.
#include "quorvel.h"

#include <algorithm>
#include <cmath>

#include <QStandardItem>
#include <QStandardItemModel>

#include "boardstyle.h"
#include "helpers.h"
#include "nquoteclient.h"
#include "quotecolumns.h"

namespace
{

// The figure a sortable column sorts by; false for a column that does not sort.
bool SortFigure(int column, const kw::pb::ostrel2::QuoteDetailField& q, double* figure)
{
    switch (column) {
    case QuoteColumn::Last:
        *figure = q.last();
        return true;
    case QuoteColumn::Volume:
        *figure = q.volume();
        return true;
    case QuoteColumn::Change:
        *figure = q.last() - q.pre_settle();
        return true;
    case QuoteColumn::ChangeRate:
        // A fraction here, not a percentage: only the order matters.
        *figure = IsZero(q.pre_settle(), BoardStyle::kDecimals)
            ? 0.0
            : (q.last() - q.pre_settle()) / q.pre_settle();
        return true;
    case QuoteColumn::OpenInterest:
        *figure = q.position();
        return true;
    default:
        return false;
    }
}

} // namespace

void Quorvel::OnHeaderClicked(int type, unsigned& clickCount, int section)
{
    const bool sortable = std::any_of(m_sortHeaders.begin(), m_sortHeaders.end(),
        [section](const auto& header) { return header.first == section; });
    if (!sortable)
        return;
    const bool ascending = clickCount % 2 == 1;
    ++clickCount;

    // The model is looked up now: after the window closed it is gone.
    if (QStandardItemModel* model = ModelOfCategory(type)) {
        const QString arrow = ascending ? QStringLiteral("↑") : QStringLiteral("↓");
        for (const auto& header : m_sortHeaders) {
            if (QStandardItem* item = model->horizontalHeaderItem(header.first))
                item->setText(header.first == section ? header.second + arrow : header.second);
        }
    }
    SortQuoteList(type, section, ascending);
}

void Quorvel::RestoreSortHeaderTexts(QStandardItemModel* model)
{
    if (!model)
        return;
    for (const auto& header : m_sortHeaders) {
        if (QStandardItem* item = model->horizontalHeaderItem(header.first))
            item->setText(header.second);
    }
}

void Quorvel::SortQuoteList(int type, int column, bool ascending)
{
    std::lock_guard<std::mutex> lock(m_listMutex);
    m_untouchedTab = -1;
    QuoteTableModel* model = ModelOfCategory(type);
    double unused = 0;
    if (!model || !SortFigure(column, QuoteDetailField(), &unused))
        return;
    const std::vector<ContractRow>& rows = model->Rows();

    // Quotes keep arriving on the quote API's thread while this runs. Each
    // row's figure is read once, up front, so the order compared is fixed for
    // the whole sort: a comparison that changes its answer midway would break
    // the sort's preconditions.
    std::vector<double> figures(rows.size(), 0.0);
    NQuoteClient* client = NQuoteClient::Instance();
    // One message for every row: cleared, it keeps its room.
    QuoteDetailField q;
    for (size_t i = 0; i < rows.size(); ++i) {
        q.Clear();
        client->GetQuote(rows[i].key, &q);
        SortFigure(column, q, &figures[i]);
    }

    // Exact comparison of the snapshot: a strict weak ordering in which no row
    // precedes one whose figure beats it by more than the display tolerance.
    // Not-a-number figures go last in either direction; ties keep list order.
    std::vector<size_t> order(rows.size());
    for (size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&figures, ascending](size_t a, size_t b) {
        const double fa = figures[a];
        const double fb = figures[b];
        const bool aNan = std::isnan(fa);
        const bool bNan = std::isnan(fb);
        if (aNan || bNan)
            return !aNan && bNan;
        return ascending ? fa < fb : fa > fb;
    });
    // The model moves the rows on screen at once, and the views' selection
    // moves with them.
    model->Reorder(order);
}
