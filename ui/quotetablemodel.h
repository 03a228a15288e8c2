#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <QBrush>
#include <QIcon>
#include <QStandardItemModel>

#include "kw.pb.ostrel2.pb.h"
#include "quotecolumns.h"

// One row of a quote table.
struct ContractRow {
    int row = 0; // position in its table; renumbered 0..n-1 after a sort
    std::string name; // commodity name in the locale's character set
    std::string key; // contract key, e.g. FO_CL_1906 or FO_CL
    std::string code; // code shown in the table, e.g. CL1906
};

// Colours and icons of the quote cells.
struct QuotePaint {
    QBrush yellow, green, red;
    QIcon up, down, none;
};

// The model of one quote table: its rows, each a ContractRow in table order,
// and what the cells of each row show. Row i of the model always shows the
// i-th record. GUI thread only.
class QuoteTableModel : public QStandardItemModel
{
public:
    using QuoteDetailField = kw::pb::ostrel2::QuoteDetailField;
    // Width in pixels that a text takes in the views of this model.
    using Measure = std::function<int(const QString&)>;

    QuoteTableModel(int columns, bool stock, QObject* parent);

    const std::vector<ContractRow>& Rows() const { return m_rows; }

    // Removes every row and record.
    void ClearRows();
    // Writes every cell of a new row at `row` from the quote and appends its
    // record. A row beyond the end leaves empty rows before it.
    void FillRow(int row, ContractRow record, const QuoteDetailField& q, const QuotePaint& paint);
    // Rewrites the live cells of an existing row without a change notice per
    // cell; only the cells whose figure or colour changed since the row's
    // last write are touched. False when the model has no such row.
    bool UpdateRow(int row, const QuoteDetailField& q, const ContractRow& record, const QuotePaint& paint);
    // Empties the figures and the arrow of a row that has no quote (none came
    // yet, or the link was lost): a figure the server did not send is not shown
    // as a price. Announced with AnnounceRows like UpdateRow.
    void BlankRow(int row);
    // Tells the views once that the first `rows` rows changed, when UpdateRow
    // wrote any cell since the last call; nothing when no cell changed, so a
    // still board is not repainted.
    void AnnounceRows(int rows);
    // The same for the rows first to last (after UpdateRow of just those).
    void AnnounceRowSpan(int first, int last);
    // Puts the rows in a new order: row i takes the row that was at order[i].
    // Views keep their selection and current row on the same contracts, and
    // show the new order at once; the sequence numbers stay 1, 2, 3 from the top.
    void Reorder(const std::vector<size_t>& order);

    // Measures every text written from now on; `changed` is called after a
    // write that made some column's widest text wider or narrower.
    void SetMeasure(Measure measure, std::function<void()> changed);
    // Width of the widest text that a column shows now.
    int TextWidth(int column) const;

private:
    // What the refresh last wrote into a row: the figure behind each cell's
    // text (as bits, so that -0 and 0, which print differently, differ) and
    // its brush. Each write costs far more than this comparison.
    struct ShownRow {
        bool known = false;
        bool blank = false; // BlankRow emptied it and nothing was written since
        std::array<std::uint64_t, QuoteColumn::StockCount> figures {};
        std::array<const QBrush*, QuoteColumn::StockCount> brushes {};
        const QIcon* icon = nullptr;
        std::string name;
        std::string code;
    };

    void Note(int row, int column, const QString& text);
    void ReportWidths();

    bool m_stock;
    std::vector<ContractRow> m_rows;
    std::vector<ShownRow> m_shown;
    Measure m_measure;
    std::function<void()> m_widthsChange;
    // Width of each cell's text, QuoteColumn::StockCount a row, so that a
    // column can narrow again once its widest text is gone.
    std::vector<std::uint16_t> m_cellWidths;
    std::vector<int> m_textWidths;
    std::vector<bool> m_mayNarrow;
    bool m_widthsChanged = false;
    // UpdateRow wrote a cell since the last AnnounceRows.
    bool m_unannounced = false;
};
