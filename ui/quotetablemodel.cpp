#include "quotetablemodel.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include <QStandardItem>

#include "boardstyle.h"

namespace
{

// The role under which Reorder hands each row its new place to the model's sort.
constexpr int kOrderRole = Qt::UserRole + 1;
// The role under which QStandardItem keeps an item's flags.
constexpr int kFlagsRole = Qt::UserRole - 1;

const Qt::Alignment kRightAligned = Qt::AlignRight | Qt::AlignVCenter;

using BoardStyle::Amount;
using BoardStyle::ChangeRateText;
using BoardStyle::Price;

double ChangeRate(const kw::pb::ostrel2::QuoteDetailField& q)
{
    return BoardStyle::ChangeRate(q.last(), q.pre_settle());
}

const QIcon& ArrowIcon(const kw::pb::ostrel2::QuoteDetailField& q, const QuotePaint& paint)
{
    switch (BoardStyle::ArrowOf(q.last(), q.pre_settle())) {
    case BoardStyle::Arrow::Up:
        return paint.up;
    case BoardStyle::Arrow::Down:
        return paint.down;
    case BoardStyle::Arrow::None:
        break;
    }
    return paint.none;
}

std::uint64_t Bits(double v)
{
    std::uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    return bits;
}

// A cell of a quote table. Its text lives in the item itself rather than
// among the item's role values, so that the refresh can rewrite it without
// the comparison and the change notice that QStandardItem::setData makes for
// every write; the refresh tells the views of all its writes at once. Any
// other writer goes through setData as usual. A figure's cell keeps the
// figure and its format and makes the text when asked: a board of a whole
// market has millions of cells, and only those on screen are ever read.
class QuoteCell : public QStandardItem
{
public:
    using Format = QString (*)(double);
    static constexpr int kType = QStandardItem::UserType + 1;

    explicit QuoteCell(const QString& text) { new (&m_text) QString(text); }
    QuoteCell(double figure, Format format)
        : m_format(format)
        , m_figure(figure)
    {
    }
    ~QuoteCell() override { DropText(); }
    QuoteCell(const QuoteCell&) = delete;
    QuoteCell& operator=(const QuoteCell&) = delete;

    int type() const override { return kType; }
    QVariant data(int role) const override
    {
        if (role == Qt::DisplayRole || role == Qt::EditRole)
            return Text();
        if (role == Qt::ForegroundRole && m_hasForeground)
            return m_foreground;
        if (role == kOrderRole)
            return m_order;
        if (role == Qt::TextAlignmentRole && m_alignment != 0)
            return static_cast<int>(m_alignment);
        if (role == kFlagsRole && m_hasFlags)
            return static_cast<int>(m_flags);
        return QStandardItem::data(role);
    }
    void setData(const QVariant& value, int role) override
    {
        if (role == Qt::ForegroundRole) {
            const bool has = value.isValid();
            const QBrush brush = has ? qvariant_cast<QBrush>(value) : QBrush();
            if (has == m_hasForeground && brush == m_foreground)
                return;
            m_hasForeground = has;
            m_foreground = brush;
            emitDataChanged();
            return;
        }
        // Alignment and flags, which every cell has, kept as plain numbers:
        // among the role values they would take an allocation per cell.
        if (role == Qt::TextAlignmentRole && value.isValid() && value.toInt() != 0) {
            const auto alignment = static_cast<quint16>(value.toInt());
            if (alignment != m_alignment) {
                m_alignment = alignment;
                emitDataChanged();
            }
            return;
        }
        if (role == kFlagsRole && value.isValid()) {
            const auto flags = static_cast<quint16>(value.toInt());
            if (!m_hasFlags || flags != m_flags) {
                m_hasFlags = true;
                m_flags = flags;
                emitDataChanged();
            }
            return;
        }
        if (role != Qt::DisplayRole && role != Qt::EditRole) {
            QStandardItem::setData(value, role);
            return;
        }
        QString text = value.toString();
        if (text == Text())
            return;
        SetTextUnannounced(std::move(text));
        emitDataChanged();
    }
    // The model's sort compares rows by their cells in the arrow column: their
    // places, handed over by Reorder, compared without going through QVariant.
    bool operator<(const QStandardItem& other) const override
    {
        if (other.type() == kType)
            return m_order < static_cast<const QuoteCell&>(other).m_order;
        return QStandardItem::operator<(other);
    }
    QStandardItem* clone() const override
    {
        auto* copy = m_format ? new QuoteCell(m_figure, m_format) : new QuoteCell(m_text);
        copy->QStandardItem::operator=(*this);
        copy->m_hasForeground = m_hasForeground;
        copy->m_foreground = m_foreground;
        copy->m_alignment = m_alignment;
        copy->m_hasFlags = m_hasFlags;
        copy->m_flags = m_flags;
        return copy;
    }
    QString Text() const { return m_format ? m_format(m_figure) : m_text; }
    void SetTextUnannounced(QString text)
    {
        if (m_format) {
            new (&m_text) QString(std::move(text));
            m_format = nullptr;
        } else {
            m_text = std::move(text);
        }
    }
    void SetFigureUnannounced(double figure, Format format)
    {
        DropText();
        m_format = format;
        m_figure = figure;
    }
    void SetForegroundUnannounced(const QBrush& brush)
    {
        m_hasForeground = true;
        m_foreground = brush;
    }
    void SetOrder(int order) { m_order = order; }

private:
    void DropText()
    {
        if (!m_format)
            m_text.~QString();
    }

    // Null while the cell holds a text.
    Format m_format = nullptr;
    union {
        QString m_text;
        double m_figure;
    };
    int m_order = 0;
    bool m_hasForeground = false;
    bool m_hasFlags = false;
    quint16 m_alignment = 0;
    quint16 m_flags = 0;
    QBrush m_foreground;
};

// Rewrites a cell's text for the refresh, which announces its writes itself.
void WriteText(QStandardItem* item, QString text)
{
    if (item->type() == QuoteCell::kType)
        static_cast<QuoteCell*>(item)->SetTextUnannounced(std::move(text));
    else
        item->setText(text);
}

// The same for a figure's cell.
void WriteFigure(QStandardItem* item, double figure, QuoteCell::Format format)
{
    if (item->type() == QuoteCell::kType)
        static_cast<QuoteCell*>(item)->SetFigureUnannounced(figure, format);
    else
        item->setText(format(figure));
}

// The same for a cell's colour.
void WriteForeground(QStandardItem* item, const QBrush& brush)
{
    if (item->type() == QuoteCell::kType)
        static_cast<QuoteCell*>(item)->SetForegroundUnannounced(brush);
    else
        item->setForeground(brush);
}

} // namespace

QuoteTableModel::QuoteTableModel(int columns, bool stock, QObject* parent)
    : QStandardItemModel(0, columns, parent)
    , m_stock(stock)
{
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
    m_rows.clear();
    m_shown.clear();
    m_cellWidths.clear();
    m_textWidths.clear();
    m_mayNarrow.clear();
    m_widthsChanged = false;
    removeRows(0, rowCount());
}

void QuoteTableModel::FillRow(int row, ContractRow record, const QuoteDetailField& q, const QuotePaint& paint)
{
    const double pre = q.pre_settle();
    const auto priceBrush
        = [&](double v) -> const QBrush& { return BoardStyle::AtOrAbove(v, pre) ? paint.red : paint.green; };

    // The items are made whole first and go into the model together: an item
    // set into a model one by one announces a change of the model's layout
    // for each cell, which with a view attached costs more than the rest.
    QList<QStandardItem*> items;
    items.reserve(m_stock ? QuoteColumn::StockCount : QuoteColumn::Count);
    const auto put = [&](int column, const QString& text) {
        Q_ASSERT(column == items.size());
        auto* item = new QuoteCell(text);
        item->setEditable(false);
        items.append(item);
        Note(row, column, text);
        return item;
    };
    const auto putRight = [&](int column, const QString& text) {
        QStandardItem* item = put(column, text);
        item->setTextAlignment(kRightAligned);
        return item;
    };
    const auto putFigure = [&](int column, double figure, QuoteCell::Format format) {
        Q_ASSERT(column == items.size());
        auto* item = new QuoteCell(figure, format);
        item->setEditable(false);
        item->setTextAlignment(kRightAligned);
        items.append(item);
        if (m_measure)
            Note(row, column, format(figure));
        return item;
    };

    QStandardItem* arrow = put(QuoteColumn::Arrow, QString());
    const QIcon& icon = ArrowIcon(q, paint);
    if (&icon != &paint.none)
        arrow->setIcon(icon);

    put(QuoteColumn::Number, QString::number(row + 1))->setForeground(paint.yellow);
    putRight(QuoteColumn::Name, QString::fromLocal8Bit(record.name.c_str()))->setForeground(paint.yellow);
    putRight(QuoteColumn::Code, QString::fromStdString(record.code))->setForeground(paint.yellow);
    putFigure(QuoteColumn::Last, q.last(), Price);
    putFigure(QuoteColumn::LastVolume, q.last_vol(), Amount);
    putFigure(QuoteColumn::Bid, q.bid_price(), Price);
    putFigure(QuoteColumn::Ask, q.ask_price(), Price);
    putFigure(QuoteColumn::BidVolume, q.bid_vol(), Amount);
    // Two decimals at a rebuild; the refresh writes it without.
    putFigure(QuoteColumn::AskVolume, q.ask_vol(), BoardStyle::AmountWithCents);
    putFigure(QuoteColumn::Volume, q.volume(), Amount);
    putFigure(QuoteColumn::Change, q.last() - pre, Price);
    putFigure(QuoteColumn::ChangeRate, ChangeRate(q), ChangeRateText);
    putFigure(QuoteColumn::OpenInterest, q.position(), Amount);
    putFigure(QuoteColumn::Open, q.open(), Price)->setForeground(priceBrush(q.open()));
    putFigure(QuoteColumn::High, q.high(), Price)->setForeground(priceBrush(q.high()));
    putFigure(QuoteColumn::Low, q.low(), Price)->setForeground(priceBrush(q.low()));
    for (int column = QuoteColumn::Settle; column <= QuoteColumn::OpenInterestChange; ++column)
        putRight(column, QStringLiteral("---"));
    putFigure(QuoteColumn::PreSettle, pre, Price);
    putRight(QuoteColumn::PreClose, QStringLiteral("---"));
    if (m_stock) {
        putFigure(QuoteColumn::Turnover, q.turnover(), Price)->setForeground(paint.yellow);
        putFigure(QuoteColumn::TurnoverRate, q.turnover_rate(), Price)->setForeground(paint.yellow);
        put(QuoteColumn::StockEnd, QString())->setForeground(paint.yellow);
    }
    if (row >= rowCount()) {
        if (row > rowCount())
            setRowCount(row);
        insertRow(row, items);
    } else {
        for (int column = 0; column < items.size(); ++column)
            setItem(row, column, items[column]);
    }
    if (static_cast<size_t>(row) < m_shown.size())
        m_shown[static_cast<size_t>(row)].known = false;

    record.row = row;
    m_rows.push_back(std::move(record));
    ReportWidths();
}

bool QuoteTableModel::UpdateRow(
    int row, const QuoteDetailField& q, const ContractRow& record, const QuotePaint& paint)
{
    QStandardItem* arrow = item(row, QuoteColumn::Arrow);
    if (!arrow)
        return false;
    const double pre = q.pre_settle();
    const auto priceBrush
        = [&](double v) -> const QBrush& { return BoardStyle::AtOrAbove(v, pre) ? paint.red : paint.green; };

    // Grown once to the table's size: grown row by row it would hold up to
    // twice the room, and a copy of it while it moves.
    if (m_shown.size() <= static_cast<size_t>(row))
        m_shown.resize(std::max(static_cast<size_t>(row) + 1, static_cast<size_t>(rowCount())));
    ShownRow& shown = m_shown[static_cast<size_t>(row)];
    const bool known = shown.known;
    shown.known = true;
    shown.blank = false;
    // Each write below marks the tick as one to announce.
    bool& wrote = m_unannounced;

    // The text of a cell is its figure in the column's format: an unchanged
    // figure leaves the cell as it is.
    const auto set = [&](int column, double figure, QString (*format)(double)) {
        QStandardItem* cell = item(row, column);
        if (!cell)
            return cell;
        const std::uint64_t bits = Bits(figure);
        if (!known || shown.figures[static_cast<size_t>(column)] != bits) {
            if (m_measure)
                Note(row, column, format(figure));
            WriteFigure(cell, figure, format);
            shown.figures[static_cast<size_t>(column)] = bits;
            wrote = true;
        }
        return cell;
    };
    const auto setColoured = [&](int column, double figure, QString (*format)(double), const QBrush& brush) {
        QStandardItem* cell = set(column, figure, format);
        if (cell && (!known || shown.brushes[static_cast<size_t>(column)] != &brush)) {
            WriteForeground(cell, brush);
            shown.brushes[static_cast<size_t>(column)] = &brush;
            wrote = true;
        }
        return cell;
    };
    const auto setFixed = [&](int column, double figure, QString (*format)(double), const QBrush& brush) {
        QStandardItem* cell = setColoured(column, figure, format, brush);
        // Made not editable at its first write; nothing makes it editable again.
        if (cell && !known && cell->isEditable()) {
            cell->setEditable(false);
            wrote = true;
        }
    };

    const QIcon* icon = &ArrowIcon(q, paint);
    if (!known || shown.icon != icon) {
        WriteText(arrow, QString());
        // Icons never compare equal as item data: rewriting an unchanged arrow
        // would report a change of every row on every tick.
        if (arrow->icon().cacheKey() != icon->cacheKey())
            arrow->setIcon(*icon);
        shown.icon = icon;
        wrote = true;
    }

    if (!known || shown.name != record.name) {
        if (QStandardItem* cell = item(row, QuoteColumn::Name)) {
            const QString text = QString::fromLocal8Bit(record.name.c_str());
            Note(row, QuoteColumn::Name, text);
            WriteText(cell, text);
        }
        shown.name = record.name;
        wrote = true;
    }
    if (!known || shown.code != record.code) {
        if (QStandardItem* cell = item(row, QuoteColumn::Code)) {
            const QString text = QString::fromStdString(record.code);
            Note(row, QuoteColumn::Code, text);
            WriteText(cell, text);
        }
        shown.code = record.code;
        wrote = true;
    }
    setColoured(QuoteColumn::Last, q.last(), Price, priceBrush(q.last()));
    setColoured(QuoteColumn::LastVolume, q.last_vol(), Amount, paint.yellow);
    setColoured(QuoteColumn::Bid, q.bid_price(), Price, priceBrush(q.bid_price()));
    setFixed(QuoteColumn::Ask, q.ask_price(), Price, priceBrush(q.ask_price()));
    setFixed(QuoteColumn::BidVolume, q.bid_vol(), Amount, paint.yellow);
    setFixed(QuoteColumn::AskVolume, q.ask_vol(), Amount, paint.yellow);
    setFixed(QuoteColumn::Volume, q.volume(), Amount, paint.yellow);
    // Plain sign test here, unlike the prices: a change inside the tolerance
    // but below zero is green.
    const QBrush& changeBrush = BoardStyle::ChangeUp(q.last() - pre) ? paint.red : paint.green;
    setColoured(QuoteColumn::Change, q.last() - pre, Price, changeBrush);
    setColoured(QuoteColumn::ChangeRate, ChangeRate(q), ChangeRateText, changeBrush);
    setColoured(QuoteColumn::OpenInterest, q.position(), Amount, paint.yellow);
    setColoured(QuoteColumn::Open, q.open(), Price, priceBrush(q.open()));
    setColoured(QuoteColumn::High, q.high(), Price, priceBrush(q.high()));
    setColoured(QuoteColumn::Low, q.low(), Price, priceBrush(q.low()));
    set(QuoteColumn::PreSettle, pre, Price);
    if (m_stock) {
        setColoured(QuoteColumn::Turnover, q.turnover(), Price, paint.yellow);
        setColoured(QuoteColumn::TurnoverRate, q.turnover_rate(), Price, paint.yellow);
    }
    return true;
}

void QuoteTableModel::BlankRow(int row)
{
    QStandardItem* arrow = item(row, QuoteColumn::Arrow);
    if (!arrow)
        return;
    if (m_shown.size() <= static_cast<size_t>(row))
        m_shown.resize(static_cast<size_t>(row) + 1);
    ShownRow& shown = m_shown[static_cast<size_t>(row)];
    if (shown.blank)
        return;
    shown.blank = true;
    shown.known = false;
    m_unannounced = true;
    if (!arrow->icon().isNull())
        arrow->setIcon(QIcon());
    const auto blank = [&](int column) {
        if (QStandardItem* cell = item(row, column))
            WriteText(cell, QString());
    };
    for (int column = QuoteColumn::Last; column <= QuoteColumn::Low; ++column)
        blank(column);
    blank(QuoteColumn::PreSettle);
    if (m_stock) {
        blank(QuoteColumn::Turnover);
        blank(QuoteColumn::TurnoverRate);
    }
}

void QuoteTableModel::AnnounceRows(int rows)
{
    rows = std::min(rows, rowCount());
    if (rows > 0 && m_unannounced)
        emit dataChanged(index(0, 0), index(rows - 1, columnCount() - 1));
    m_unannounced = false;
    ReportWidths();
}

void QuoteTableModel::AnnounceRowSpan(int first, int last)
{
    first = std::max(first, 0);
    last = std::min(last, rowCount() - 1);
    if (first <= last)
        emit dataChanged(index(first, 0), index(last, columnCount() - 1));
    ReportWidths();
}

void QuoteTableModel::Reorder(const std::vector<size_t>& order)
{
    const int count = rowCount();
    if (order.size() != m_rows.size() || static_cast<int>(order.size()) != count)
        return;
    // The places are handed over quietly: the move below tells the views.
    for (int i = 0; i < count; ++i) {
        QStandardItem* cell = item(static_cast<int>(order[static_cast<size_t>(i)]), QuoteColumn::Arrow);
        if (!cell || cell->type() != QuoteCell::kType)
            return;
        static_cast<QuoteCell*>(cell)->SetOrder(i);
    }
    // The model's own sort moves the items with their texts and tells the
    // views as one change of layout, which carries their selection and
    // current row along with the rows.
    setSortRole(kOrderRole);
    sort(QuoteColumn::Arrow, Qt::AscendingOrder);

    m_shown.resize(m_rows.size());
    std::vector<ContractRow> rows;
    rows.reserve(m_rows.size());
    std::vector<ShownRow> shown;
    shown.reserve(m_shown.size());
    for (size_t i = 0; i < order.size(); ++i) {
        rows.push_back(std::move(m_rows[order[i]]));
        rows.back().row = static_cast<int>(i);
        shown.push_back(std::move(m_shown[order[i]]));
    }
    m_rows.swap(rows);
    m_shown.swap(shown);
    if (!m_cellWidths.empty()) {
        std::vector<std::uint16_t> widths(order.size() * QuoteColumn::StockCount, 0);
        for (size_t i = 0; i < order.size(); ++i) {
            const size_t from = order[i] * QuoteColumn::StockCount;
            if (from < m_cellWidths.size())
                std::copy_n(
                    &m_cellWidths[from], QuoteColumn::StockCount, &widths[i * QuoteColumn::StockCount]);
        }
        m_cellWidths.swap(widths);
    }

    // The sequence numbers belong to the places, not to the rows that moved.
    for (int i = 0; i < count; ++i) {
        if (QStandardItem* cell = item(i, QuoteColumn::Number))
            WriteText(cell, QString::number(i + 1));
    }
    if (count > 0)
        emit dataChanged(index(0, QuoteColumn::Number), index(count - 1, QuoteColumn::Number));
}
