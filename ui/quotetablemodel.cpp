#include "quotetablemodel.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include <QStandardItem>

#include "boardstyle.h"

namespace
{

const Qt::Alignment kRightAligned = Qt::AlignRight | Qt::AlignVCenter;
// A cell of a row: not editable, like every cell FillRow writes.
constexpr Qt::ItemFlags kCellFlags
    = Qt::ItemIsSelectable | Qt::ItemIsEnabled | Qt::ItemIsDragEnabled | Qt::ItemIsDropEnabled;

using BoardStyle::Amount;
using BoardStyle::ChangeRateText;
using BoardStyle::Price;

double ChangeRate(const kw::pb::ostrel2::QuoteDetailField& q)
{
    return BoardStyle::ChangeRate(q.last(), q.pre_settle());
}

std::uint64_t Bits(double v)
{
    std::uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    return bits;
}

} // namespace

QuoteTableModel::QuoteTableModel(int columns, bool stock, QObject* parent)
    : QStandardItemModel(0, columns, parent)
    , m_stock(stock)
{
    // clear() takes the rows away without ClearRows.
    connect(this, &QAbstractItemModel::modelReset, this, [this] { m_cells.clear(); });
}

void QuoteTableModel::SetMeasure(Measure measure, std::function<void()> changed)
{
    m_measure = std::move(measure);
    m_widthsChange = std::move(changed);
}

int QuoteTableModel::TextWidth(int column) const
{
    return column >= 0 && static_cast<size_t>(column) < m_textWidths.size()
        ? m_textWidths[static_cast<size_t>(column)]
        : 0;
}

void QuoteTableModel::Note(int row, int column, const QString& text)
{
    if (!m_measure || row < 0 || column < 0 || column >= QuoteColumn::StockCount)
        return;
    const size_t cell = static_cast<size_t>(row) * QuoteColumn::StockCount + static_cast<size_t>(column);
    if (m_cellWidths.size() <= cell)
        m_cellWidths.resize((static_cast<size_t>(row) + 1) * QuoteColumn::StockCount, 0);
    if (m_textWidths.size() < QuoteColumn::StockCount) {
        m_textWidths.resize(QuoteColumn::StockCount, 0);
        m_mayNarrow.resize(QuoteColumn::StockCount, false);
    }
    const int width = text.isEmpty() ? 0 : std::clamp(m_measure(text), 0, int { UINT16_MAX });
    std::uint16_t& was = m_cellWidths[cell];
    if (was == width)
        return;
    int& widest = m_textWidths[static_cast<size_t>(column)];
    if (width > widest) {
        widest = width;
        m_widthsChanged = true;
    } else if (was == widest) {
        m_mayNarrow[static_cast<size_t>(column)] = true;
    }
    was = static_cast<std::uint16_t>(width);
}

void QuoteTableModel::ReportWidths()
{
    // A column whose widest text was overwritten is measured again over its
    // rows, once per write of the table rather than once per cell.
    for (size_t column = 0; column < m_mayNarrow.size(); ++column) {
        if (!m_mayNarrow[column])
            continue;
        m_mayNarrow[column] = false;
        int widest = 0;
        for (size_t cell = column; cell < m_cellWidths.size(); cell += QuoteColumn::StockCount)
            widest = std::max<int>(widest, m_cellWidths[cell]);
        if (widest != m_textWidths[column]) {
            m_textWidths[column] = widest;
            m_widthsChanged = true;
        }
    }
    if (!m_widthsChanged)
        return;
    m_widthsChanged = false;
    if (m_widthsChange)
        m_widthsChange();
}

void QuoteTableModel::ClearRows()
{
    removeRows(0, rowCount());
    m_rows.clear();
    m_cells.clear();
    m_written.clear();
    m_cellWidths.clear();
    m_textWidths.clear();
    m_mayNarrow.clear();
    m_widthsChanged = false;
}

int QuoteTableModel::FigureSlot(int column)
{
    if (column >= QuoteColumn::Last && column <= QuoteColumn::Low)
        return column - QuoteColumn::Last;
    switch (column) {
    case QuoteColumn::PreSettle:
        return kFigures - 3;
    case QuoteColumn::Turnover:
        return kFigures - 2;
    case QuoteColumn::TurnoverRate:
        return kFigures - 1;
    default:
        return -1;
    }
}

void QuoteTableModel::Forget(int row, int column, int role)
{
    if (m_written.empty())
        return;
    const auto cell = m_written.find(CellKey(row, column));
    if (cell == m_written.end())
        return;
    cell->second.remove(role);
    if (cell->second.isEmpty())
        m_written.erase(cell);
}

void QuoteTableModel::ForgetRow(int row)
{
    for (int column = 0; column < QuoteColumn::StockCount && !m_written.empty(); ++column)
        m_written.erase(CellKey(row, column));
}

void QuoteTableModel::KeepPaint(const QuotePaint& paint)
{
    if (&paint == m_paintFrom)
        return;
    m_paint = paint;
    m_paintFrom = &paint;
}

const QuoteTableModel::RowCells* QuoteTableModel::CellsOf(const QModelIndex& index) const
{
    // Only the rows of the table itself; the cells past a row's last column
    // (the closing empty one of a table other than the stock table) hold
    // nothing, as an item never made for them would.
    if (!index.isValid() || index.model() != this || index.internalPointer() != invisibleRootItem())
        return nullptr;
    const size_t row = static_cast<size_t>(index.row());
    const int last = m_stock ? QuoteColumn::StockEnd : QuoteColumn::PreClose;
    if (row >= m_cells.size() || !m_cells[row].filled || index.column() > last)
        return nullptr;
    return &m_cells[row];
}

QString QuoteTableModel::CellText(const RowCells& cells, int row, int column) const
{
    const int slot = FigureSlot(column);
    if (slot >= 0) {
        if (cells.blank)
            return QString();
        const double figure = cells.figures[static_cast<size_t>(slot)];
        switch (column) {
        case QuoteColumn::LastVolume:
        case QuoteColumn::BidVolume:
        case QuoteColumn::Volume:
        case QuoteColumn::OpenInterest:
            return Amount(figure);
        case QuoteColumn::AskVolume:
            return cells.askCents ? BoardStyle::AmountWithCents(figure) : Amount(figure);
        case QuoteColumn::ChangeRate:
            return ChangeRateText(figure);
        default:
            return Price(figure);
        }
    }
    switch (column) {
    case QuoteColumn::Number:
        return QString::number(row + 1);
    case QuoteColumn::Name:
        return cells.record < m_rows.size() ? QString::fromLocal8Bit(m_rows[cells.record].name.c_str())
                                            : QString();
    case QuoteColumn::Code:
        return cells.record < m_rows.size() ? QString::fromStdString(m_rows[cells.record].code) : QString();
    case QuoteColumn::Settle:
    case QuoteColumn::FastRise:
    case QuoteColumn::NowRise:
    case QuoteColumn::OpenInterestChange:
    case QuoteColumn::PreClose:
        return QStringLiteral("---");
    default:
        return QString();
    }
}

const QBrush* QuoteTableModel::CellBrush(const RowCells& cells, int column) const
{
    const int slot = FigureSlot(column);
    if (slot < 0) {
        const bool yellow = column == QuoteColumn::Number || column == QuoteColumn::Name
            || column == QuoteColumn::Code || column == QuoteColumn::StockEnd;
        return yellow ? &m_paint.yellow : nullptr;
    }
    switch ((cells.brushes >> (2 * slot)) & 3u) {
    case Yellow:
        return &m_paint.yellow;
    case Green:
        return &m_paint.green;
    case Red:
        return &m_paint.red;
    default:
        return nullptr;
    }
}

QVariant QuoteTableModel::data(const QModelIndex& index, int role) const
{
    const RowCells* cells = CellsOf(index);
    if (!cells)
        return QStandardItemModel::data(index, role);
    const int column = index.column();
    if (role == Qt::EditRole)
        role = Qt::DisplayRole;
    if (!m_written.empty()) {
        const auto cell = m_written.find(CellKey(index.row(), column));
        if (cell != m_written.end() && cell->second.contains(role))
            return cell->second.value(role);
    }
    switch (role) {
    case Qt::DisplayRole:
    case Qt::EditRole:
        return CellText(*cells, index.row(), column);
    case Qt::ForegroundRole:
        if (const QBrush* brush = CellBrush(*cells, column))
            return *brush;
        return QVariant();
    case Qt::DecorationRole:
        if (column == QuoteColumn::Arrow && cells->icon == UpIcon)
            return m_paint.up;
        if (column == QuoteColumn::Arrow && cells->icon == DownIcon)
            return m_paint.down;
        return QVariant();
    case Qt::TextAlignmentRole:
        if (column >= QuoteColumn::Name && column != QuoteColumn::StockEnd)
            return static_cast<int>(kRightAligned);
        return QVariant();
    default:
        return QVariant();
    }
}

Qt::ItemFlags QuoteTableModel::flags(const QModelIndex& index) const
{
    return CellsOf(index) ? kCellFlags : QStandardItemModel::flags(index);
}

bool QuoteTableModel::setData(const QModelIndex& index, const QVariant& value, int role)
{
    if (!CellsOf(index))
        return QStandardItemModel::setData(index, value, role);
    if (role == Qt::EditRole)
        role = Qt::DisplayRole;
    if (data(index, role) == value)
        return true;
    m_written[CellKey(index.row(), index.column())].insert(role, value);
    emit dataChanged(index, index, { role });
    return true;
}

QMap<int, QVariant> QuoteTableModel::itemData(const QModelIndex& index) const
{
    return CellsOf(index) ? QAbstractItemModel::itemData(index) : QStandardItemModel::itemData(index);
}

void QuoteTableModel::FillRow(int row, ContractRow record, const QuoteDetailField& q, const QuotePaint& paint)
{
    if (row < 0)
        return;
    KeepPaint(paint);
    const double pre = q.pre_settle();
    RowCells cells;
    cells.filled = true;
    cells.askCents = true; // two decimals at a rebuild; the refresh writes it without
    cells.record = static_cast<std::uint32_t>(m_rows.size());
    switch (BoardStyle::ArrowOf(q.last(), pre)) {
    case BoardStyle::Arrow::Up:
        cells.icon = UpIcon;
        break;
    case BoardStyle::Arrow::Down:
        cells.icon = DownIcon;
        break;
    case BoardStyle::Arrow::None:
        break;
    }
    const auto put = [&](int column, double figure, Brush brush) {
        const int slot = FigureSlot(column);
        cells.figures[static_cast<size_t>(slot)] = figure;
        cells.brushes |= static_cast<std::uint32_t>(brush) << (2 * slot);
    };
    const auto priceBrush = [&](double v) { return BoardStyle::AtOrAbove(v, pre) ? Red : Green; };
    put(QuoteColumn::Last, q.last(), NoBrush);
    put(QuoteColumn::LastVolume, q.last_vol(), NoBrush);
    put(QuoteColumn::Bid, q.bid_price(), NoBrush);
    put(QuoteColumn::Ask, q.ask_price(), NoBrush);
    put(QuoteColumn::BidVolume, q.bid_vol(), NoBrush);
    put(QuoteColumn::AskVolume, q.ask_vol(), NoBrush);
    put(QuoteColumn::Volume, q.volume(), NoBrush);
    put(QuoteColumn::Change, q.last() - pre, NoBrush);
    put(QuoteColumn::ChangeRate, ChangeRate(q), NoBrush);
    put(QuoteColumn::OpenInterest, q.position(), NoBrush);
    put(QuoteColumn::Open, q.open(), priceBrush(q.open()));
    put(QuoteColumn::High, q.high(), priceBrush(q.high()));
    put(QuoteColumn::Low, q.low(), priceBrush(q.low()));
    put(QuoteColumn::PreSettle, pre, NoBrush);
    if (m_stock) {
        put(QuoteColumn::Turnover, q.turnover(), Yellow);
        put(QuoteColumn::TurnoverRate, q.turnover_rate(), Yellow);
    }

    record.row = row;
    m_rows.push_back(std::move(record));
    const int rows = rowCount();
    if (m_cells.size() <= static_cast<size_t>(row))
        m_cells.resize(static_cast<size_t>(row) + 1);
    m_cells[static_cast<size_t>(row)] = cells;
    ForgetRow(row);
    if (m_measure) {
        const int last = m_stock ? QuoteColumn::StockEnd : QuoteColumn::PreClose;
        for (int column = 0; column <= last; ++column)
            Note(row, column, CellText(cells, row, column));
    }
    // The rows between the end and a row beyond it stay empty.
    if (row >= rows)
        insertRows(rows, row + 1 - rows);
    else
        emit dataChanged(index(row, 0), index(row, columnCount() - 1));
    ReportWidths();
}

bool QuoteTableModel::UpdateRow(
    int row, const QuoteDetailField& q, const ContractRow& record, const QuotePaint& paint)
{
    if (row < 0 || static_cast<size_t>(row) >= m_cells.size() || !m_cells[static_cast<size_t>(row)].filled)
        return false;
    KeepPaint(paint);
    RowCells& cells = m_cells[static_cast<size_t>(row)];
    // After BlankRow every cell is written again.
    const bool all = cells.blank;
    cells.blank = false;
    const double pre = q.pre_settle();
    // Each write below marks the row as one to announce.
    bool wrote = all;

    // The text of a cell is its figure in the column's format: an unchanged
    // figure (compared as bits, so that -0 and 0, which print differently,
    // differ) leaves the cell as it is.
    const auto set = [&](int column, double figure) {
        const size_t slot = static_cast<size_t>(FigureSlot(column));
        bool changed = all || Bits(cells.figures[slot]) != Bits(figure);
        if (column == QuoteColumn::AskVolume && cells.askCents) {
            cells.askCents = false;
            changed = true;
        }
        if (!changed)
            return;
        cells.figures[slot] = figure;
        Forget(row, column, Qt::DisplayRole);
        if (m_measure)
            Note(row, column, CellText(cells, row, column));
        wrote = true;
    };
    const auto setColoured = [&](int column, double figure, Brush brush) {
        set(column, figure);
        const int shift = 2 * FigureSlot(column);
        const std::uint32_t was = cells.brushes;
        cells.brushes = (was & ~(3u << shift)) | (static_cast<std::uint32_t>(brush) << shift);
        if (cells.brushes != was) {
            Forget(row, column, Qt::ForegroundRole);
            wrote = true;
        }
    };
    const auto priceBrush = [&](double v) { return BoardStyle::AtOrAbove(v, pre) ? Red : Green; };

    Icon icon = NoIcon;
    switch (BoardStyle::ArrowOf(q.last(), pre)) {
    case BoardStyle::Arrow::Up:
        icon = UpIcon;
        break;
    case BoardStyle::Arrow::Down:
        icon = DownIcon;
        break;
    case BoardStyle::Arrow::None:
        break;
    }
    if (icon != cells.icon) {
        cells.icon = icon;
        Forget(row, QuoteColumn::Arrow, Qt::DecorationRole);
        wrote = true;
    }

    if (!m_rows.empty() && &record >= m_rows.data() && &record < m_rows.data() + m_rows.size()) {
        const auto index = static_cast<std::uint32_t>(&record - m_rows.data());
        if (index != cells.record) {
            cells.record = index;
            Forget(row, QuoteColumn::Name, Qt::DisplayRole);
            Forget(row, QuoteColumn::Code, Qt::DisplayRole);
            if (m_measure) {
                Note(row, QuoteColumn::Name, CellText(cells, row, QuoteColumn::Name));
                Note(row, QuoteColumn::Code, CellText(cells, row, QuoteColumn::Code));
            }
            wrote = true;
        }
    }
    setColoured(QuoteColumn::Last, q.last(), priceBrush(q.last()));
    setColoured(QuoteColumn::LastVolume, q.last_vol(), Yellow);
    setColoured(QuoteColumn::Bid, q.bid_price(), priceBrush(q.bid_price()));
    setColoured(QuoteColumn::Ask, q.ask_price(), priceBrush(q.ask_price()));
    setColoured(QuoteColumn::BidVolume, q.bid_vol(), Yellow);
    setColoured(QuoteColumn::AskVolume, q.ask_vol(), Yellow);
    setColoured(QuoteColumn::Volume, q.volume(), Yellow);
    // Plain sign test here, unlike the prices: a change inside the tolerance
    // but below zero is green.
    const Brush changeBrush = BoardStyle::ChangeUp(q.last() - pre) ? Red : Green;
    setColoured(QuoteColumn::Change, q.last() - pre, changeBrush);
    setColoured(QuoteColumn::ChangeRate, ChangeRate(q), changeBrush);
    setColoured(QuoteColumn::OpenInterest, q.position(), Yellow);
    setColoured(QuoteColumn::Open, q.open(), priceBrush(q.open()));
    setColoured(QuoteColumn::High, q.high(), priceBrush(q.high()));
    setColoured(QuoteColumn::Low, q.low(), priceBrush(q.low()));
    set(QuoteColumn::PreSettle, pre);
    if (m_stock) {
        setColoured(QuoteColumn::Turnover, q.turnover(), Yellow);
        setColoured(QuoteColumn::TurnoverRate, q.turnover_rate(), Yellow);
    }
    if (wrote)
        NoteWritten(row);
    return true;
}

void QuoteTableModel::NoteWritten(int row)
{
    m_writtenFirst = std::min(m_writtenFirst, row);
    m_writtenLast = std::max(m_writtenLast, row);
}

void QuoteTableModel::BlankRow(int row)
{
    if (row < 0 || static_cast<size_t>(row) >= m_cells.size())
        return;
    RowCells& cells = m_cells[static_cast<size_t>(row)];
    if (!cells.filled || cells.blank)
        return;
    cells.blank = true;
    cells.icon = NoIcon;
    NoteWritten(row);
    Forget(row, QuoteColumn::Arrow, Qt::DecorationRole);
    for (int column = QuoteColumn::Arrow; column <= QuoteColumn::StockEnd && !m_written.empty(); ++column) {
        if (FigureSlot(column) >= 0)
            Forget(row, column, Qt::DisplayRole);
    }
}

void QuoteTableModel::AnnounceRows(int rows)
{
    rows = std::min(rows, rowCount());
    if (rows > 0 && m_writtenFirst <= m_writtenLast)
        emit dataChanged(index(0, 0), index(rows - 1, columnCount() - 1));
    m_writtenFirst = INT_MAX;
    m_writtenLast = -1;
    ReportWidths();
}

void QuoteTableModel::AnnounceRowSpans(const std::vector<std::pair<int, int>>& spans)
{
    const int writtenFirst = m_writtenFirst;
    const int writtenLast = m_writtenLast;
    m_writtenFirst = INT_MAX;
    m_writtenLast = -1;
    for (const auto& span : spans) {
        const int first = std::max({ span.first, writtenFirst, 0 });
        const int last = std::min({ span.second, writtenLast, rowCount() - 1 });
        if (first <= last)
            emit dataChanged(index(first, 0), index(last, columnCount() - 1));
    }
    ReportWidths();
}

void QuoteTableModel::Reorder(const std::vector<size_t>& order)
{
    const size_t count = order.size();
    if (count != m_rows.size() || count != m_cells.size() || static_cast<int>(count) != rowCount())
        return;
    // Where each row goes; anything but a reordering of every row is refused.
    std::vector<std::uint32_t> place(count, UINT32_MAX);
    for (size_t i = 0; i < count; ++i) {
        if (order[i] >= count || place[order[i]] != UINT32_MAX)
            return;
        place[order[i]] = static_cast<std::uint32_t>(i);
    }

    // One change of layout, which carries the views' selection and current
    // row along with the rows; the sequence numbers belong to the places and
    // so stay 1, 2, 3 from the top.
    emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
    std::vector<ContractRow> rows;
    rows.reserve(count);
    std::vector<RowCells> cells;
    cells.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        rows.push_back(std::move(m_rows[order[i]]));
        rows.back().row = static_cast<int>(i);
        cells.push_back(m_cells[order[i]]);
        if (cells.back().record < count)
            cells.back().record = place[cells.back().record];
    }
    m_rows.swap(rows);
    m_cells.swap(cells);
    if (!m_written.empty()) {
        std::unordered_map<std::uint64_t, QMap<int, QVariant>> written;
        for (auto& cell : m_written) {
            const auto row = static_cast<size_t>(cell.first >> 32);
            const auto column = static_cast<int>(cell.first & UINT32_MAX);
            if (row < count)
                written.emplace(CellKey(static_cast<int>(place[row]), column), std::move(cell.second));
        }
        m_written.swap(written);
    }
    if (!m_cellWidths.empty()) {
        std::vector<std::uint16_t> widths(count * QuoteColumn::StockCount, 0);
        for (size_t i = 0; i < count; ++i) {
            const size_t from = order[i] * QuoteColumn::StockCount;
            if (from < m_cellWidths.size())
                std::copy_n(
                    &m_cellWidths[from], QuoteColumn::StockCount, &widths[i * QuoteColumn::StockCount]);
        }
        m_cellWidths.swap(widths);
    }
    const QModelIndexList from = persistentIndexList();
    QModelIndexList to;
    to.reserve(from.size());
    for (const QModelIndex& was : from) {
        const bool mine
            = was.internalPointer() == invisibleRootItem() && static_cast<size_t>(was.row()) < count;
        to.append(mine ? index(static_cast<int>(place[static_cast<size_t>(was.row())]), was.column()) : was);
    }
    changePersistentIndexList(from, to);
    emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}
