#pragma once

#include <array>
#include <climits>
#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>
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
    // last write are touched. The row shows the name and code of `record`,
    // one of Rows(). False when the model has no such row.
    bool UpdateRow(int row, const QuoteDetailField& q, const ContractRow& record, const QuotePaint& paint);
    // Empties the figures and the arrow of a row that has no quote (none came
    // yet, or the link was lost): a figure the server did not send is not shown
    // as a price. Announced with AnnounceRows like UpdateRow.
    void BlankRow(int row);
    // Tells the views once that the first `rows` rows changed, when UpdateRow
    // wrote any cell since the last call; nothing when no cell changed, so a
    // still board is not repainted.
    void AnnounceRows(int rows);
    // The same for the rows of each span (first, last), after UpdateRow of
    // just those: only the rows between the first and the last row written
    // since the last announcement are told of, nothing when none was.
    void AnnounceRowSpans(const std::vector<std::pair<int, int>>& spans);
    // Puts the rows in a new order: row i takes the row that was at order[i].
    // Views keep their selection and current row on the same contracts, and
    // show the new order at once; the sequence numbers stay 1, 2, 3 from the top.
    void Reorder(const std::vector<size_t>& order);

    // Measures every text written from now on; `changed` is called after a
    // write that made some column's widest text wider or narrower.
    void SetMeasure(Measure measure, std::function<void()> changed);
    // Width of the widest text that a column shows now.
    int TextWidth(int column) const;

    // The views read the cells of the rows through these: a row holds no
    // item per cell (a board of a whole market would hold millions), only
    // what its cells show, in RowCells.
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role = Qt::EditRole) override;
    QMap<int, QVariant> itemData(const QModelIndex& index) const override;

private:
    // Brush of a cell, two bits a cell in RowCells::brushes.
    enum Brush : std::uint8_t { NoBrush, Yellow, Green, Red };
    // Arrow of column 0.
    enum Icon : std::uint8_t { NoIcon, UpIcon, DownIcon };
    // Figures a row keeps, in this order: the columns Last to Low, then
    // PreSettle, Turnover and TurnoverRate.
    static constexpr int kFigures = QuoteColumn::Low - QuoteColumn::Last + 4;
    // What the cells of one row show. The texts of the figures are made when
    // read; the name and code are those of the row's record.
    struct RowCells {
        std::array<double, kFigures> figures {};
        std::uint32_t brushes = 0;
        std::uint32_t record = 0; // index in m_rows
        Icon icon = NoIcon;
        bool filled = false; // FillRow wrote it
        bool blank = false; // figures and arrow emptied by BlankRow
        bool askCents = false; // AskVolume with two decimals, as FillRow writes it
    };

    static int FigureSlot(int column);
    const RowCells* CellsOf(const QModelIndex& index) const;
    QString CellText(const RowCells& cells, int row, int column) const;
    const QBrush* CellBrush(const RowCells& cells, int column) const;
    void KeepPaint(const QuotePaint& paint);
    // Values written into a cell from outside (setData), which it shows until
    // the table writes that part of the cell again.
    static std::uint64_t CellKey(int row, int column)
    {
        return (static_cast<std::uint64_t>(static_cast<std::uint32_t>(row)) << 32)
            | static_cast<std::uint32_t>(column);
    }
    void Forget(int row, int column, int role);
    void ForgetRow(int row);
    void Note(int row, int column, const QString& text);
    void ReportWidths();

    bool m_stock;
    std::vector<ContractRow> m_rows;
    // By model row.
    std::vector<RowCells> m_cells;
    // The brushes and icons the cells show; implicitly shared copies.
    QuotePaint m_paint;
    const QuotePaint* m_paintFrom = nullptr;
    std::unordered_map<std::uint64_t, QMap<int, QVariant>> m_written;
    Measure m_measure;
    std::function<void()> m_widthsChange;
    // Width of each cell's text, QuoteColumn::StockCount a row, so that a
    // column can narrow again once its widest text is gone.
    std::vector<std::uint16_t> m_cellWidths;
    std::vector<int> m_textWidths;
    std::vector<bool> m_mayNarrow;
    bool m_widthsChanged = false;
    // The first and last rows UpdateRow or BlankRow wrote since the last
    // announcement; first > last when none.
    void NoteWritten(int row);
    int m_writtenFirst = INT_MAX;
    int m_writtenLast = -1;
};
