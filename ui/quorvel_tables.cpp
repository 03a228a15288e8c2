// Quote tables: models, headers, rows built from the commodity list, and the
// periodic refresh of the table on screen.
#include "quorvel.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include <QFont>
#include <QHeaderView>
#include <QSignalBlocker>
#include <QStandardItem>
#include <QStandardItemModel>
#include <QTreeView>

#include "contractkey.h"
#include "helpers.h"
#include "logger.h"
#include "nquoteclient.h"
#include "quotecolumns.h"

namespace
{

constexpr unsigned kDecimals = 10;
constexpr int kStockType = kw::pb::ostrel2::S;
// Below this a last price counts as "no trade yet" and gets no arrow.
constexpr double kNoPrice = 0.000001;

const QColor kHeaderColour(0, 220, 220);
const QColor kYellow(220, 220, 10);
const QColor kGreen(0, 220, 0);
const QColor kRed(255, 60, 60);

const Qt::Alignment kRightAligned = Qt::AlignRight | Qt::AlignVCenter;

// Header texts of columns 0 to 22, common to every table.
const char* const kCommonHeaders[] = {
    " ",
    "序号",
    "品种名称",
    "编号",
    "最新价",
    "现手",
    "买价",
    "卖价",
    "买量",
    "卖量",
    "成交量",
    "涨跌",
    "涨跌幅%",
    "持仓",
    "开盘",
    "最高",
    "最低",
    "结算",
    "速涨",
    "现涨",
    "现增仓",
    "昨结算",
    "昨收盘",
};

// Sortable columns and their texts without arrow or "%".
const std::pair<int, const char*> kSortable[] = {
    { QuoteColumn::Last, "最新价" },
    { QuoteColumn::Volume, "成交量" },
    { QuoteColumn::Change, "涨跌" },
    { QuoteColumn::ChangeRate, "涨跌幅" },
    { QuoteColumn::OpenInterest, "持仓" },
};

int ColumnCount(int type)
{
    return type == kStockType ? QuoteColumn::StockCount : QuoteColumn::Count;
}

// A whole number below `limit`, which both formats below print as plain
// digits: printed as an integer, the same text comes several times faster.
// Negative zero prints as "-0" and takes the general way.
bool PlainWhole(double v, double limit)
{
    return std::fabs(v) < limit && v == std::trunc(v) && !(v == 0 && std::signbit(v));
}

QString Price(double v)
{
    if (PlainWhole(v, 1e6))
        return QString::number(static_cast<qlonglong>(v));
    return QString::number(v, 'g', 6);
}

QString Amount(double v)
{
    if (PlainWhole(v, 1e15))
        return QString::number(static_cast<qlonglong>(v));
    return QString::number(v, 'f', 0);
}

double ChangeRate(const kw::pb::ostrel2::QuoteDetailField& q)
{
    if (IsZero(q.pre_settle(), kDecimals))
        return 0.0;
    return (q.last() - q.pre_settle()) / q.pre_settle() * 100;
}

QString ChangeRateText(double rate)
{
    return QString::number(rate, 'f', 2) + QLatin1Char('%');
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
// other writer goes through setData as usual.
class QuoteCell : public QStandardItem
{
public:
    static constexpr int kType = QStandardItem::UserType + 1;

    explicit QuoteCell(const QString& text)
        : m_text(text)
    {
    }
    int type() const override { return kType; }
    QVariant data(int role) const override
    {
        if (role == Qt::DisplayRole || role == Qt::EditRole)
            return m_text;
        if (role == Qt::ForegroundRole && m_hasForeground)
            return m_foreground;
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
        if (role != Qt::DisplayRole && role != Qt::EditRole) {
            QStandardItem::setData(value, role);
            return;
        }
        QString text = value.toString();
        if (text == m_text)
            return;
        m_text = std::move(text);
        emitDataChanged();
    }
    QStandardItem* clone() const override
    {
        auto* copy = new QuoteCell(m_text);
        copy->QStandardItem::operator=(*this);
        copy->m_hasForeground = m_hasForeground;
        copy->m_foreground = m_foreground;
        return copy;
    }
    void SetTextUnannounced(QString text) { m_text = std::move(text); }
    void SetForegroundUnannounced(const QBrush& brush)
    {
        m_hasForeground = true;
        m_foreground = brush;
    }

private:
    QString m_text;
    bool m_hasForeground = false;
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

// The same for a cell's colour.
void WriteForeground(QStandardItem* item, const QBrush& brush)
{
    if (item->type() == QuoteCell::kType)
        static_cast<QuoteCell*>(item)->SetForegroundUnannounced(brush);
    else
        item->setForeground(brush);
}

NQuoteClient* Client()
{
    return NQuoteClient::Instance();
}

} // namespace

const Quorvel::RefreshPaint& Quorvel::Paint()
{
    if (!m_paint) {
        m_paint.reset(new RefreshPaint { QBrush(kYellow), QBrush(kGreen), QBrush(kRed),
            QIcon(QStringLiteral("Resources/up.png")), QIcon(QStringLiteral("Resources/down.png")),
            QIcon() });
    }
    return *m_paint;
}

bool Quorvel::IsStockModel(const QStandardItemModel* model) const
{
    return model && model == ModelOfCategory(kStockType);
}

void Quorvel::InitQuoteModels()
{
    for (int tab = 0; tab < kTabCount; ++tab) {
        const int type = CategoryOfTab(tab);
        m_models[static_cast<size_t>(tab)] = new QStandardItemModel(0, ColumnCount(type), this);
    }
    for (int tab = 0; tab < kTabCount; ++tab)
        InitModelHeader(m_models[static_cast<size_t>(tab)], CategoryOfTab(tab));

    ui.any_View->setModel(m_models[0]);
    // Every row has the one item height of the style sheet; without this the
    // view measures a row's every cell again whenever one of them changes,
    // which on screen costs far more than the refresh itself.
    for (int tab = 0; tab < kTabCount; ++tab)
        ViewOfTab(tab)->setUniformRowHeights(true);
    for (int tab = 1; tab < kTabCount; ++tab) {
        const int type = CategoryOfTab(tab);
        QTreeView* view = ViewOfTab(tab);
        view->setModel(m_models[static_cast<size_t>(tab)]);
        view->setSelectionMode(QAbstractItemView::SingleSelection);
        view->setSelectionBehavior(QAbstractItemView::SelectRows);
        view->header()->setSectionsClickable(true);
        // Each table keeps its own click counter, bound into its handler.
        connect(view->header(), &QHeaderView::sectionClicked, this,
            [this, type, clicks = 0u](int section) mutable { OnHeaderClicked(type, clicks, section); });
    }

    Client()->GetCommodityList(m_commodities);

    namespace pb = kw::pb::ostrel2;
    for (int type : { pb::FI, pb::C, pb::S, pb::D, pb::FO })
        RefreshQuoteList(ModelOfCategory(type), type, std::string());

    InitCategoryBar();
    ResetDepthPanel();
}

void Quorvel::InitModelHeader(QStandardItemModel* model, int type)
{
    if (!model)
        return;
    QFont font(QStringLiteral("Microsoft YaHei UI"));
    font.setPointSize(12);
    const QBrush brush(kHeaderColour);

    std::vector<QString> texts;
    for (const char* text : kCommonHeaders)
        texts.push_back(QString::fromUtf8(text));
    if (type == kStockType) {
        texts.push_back(QStringLiteral("日成交额"));
        texts.push_back(QStringLiteral("换手率"));
    }
    texts.push_back(QString()); // the closing empty column

    const int last = static_cast<int>(texts.size()) - 1;
    for (int column = 0; column <= last; ++column) {
        auto* item = new QStandardItem(texts[static_cast<size_t>(column)]);
        item->setForeground(brush);
        if (column != last)
            item->setFont(font);
        if (column >= QuoteColumn::Name)
            item->setTextAlignment(Qt::AlignRight);
        model->setHorizontalHeaderItem(column, item);
    }
    for (const auto& sortable : kSortable)
        m_sortHeaders.emplace_back(sortable.first, QString::fromUtf8(sortable.second));
}

void Quorvel::RefreshQuoteList(QStandardItemModel* model, int type, std::string exchangeNo)
{
    std::vector<ContractRow>& rows = m_contractRows[type];
    rows.clear();
    if (model)
        model->removeRows(0, model->rowCount());
    m_shownRows.erase(model);
    m_exchanges.clear();

    const std::string prefix = CategoryCode(type);
    int row = 0;
    for (const CommodityField& commodity : m_commodities) {
        if (commodity.security_type() != type)
            continue;
        const bool known = std::any_of(m_exchanges.begin(), m_exchanges.end(),
            [&](const auto& exchange) { return exchange.second == commodity.exchange_no(); });
        if (!known)
            m_exchanges.emplace_back(Utf8ToAnsi(commodity.exchange_name()), commodity.exchange_no());

        const std::string name = Utf8ToAnsi(commodity.commodity_name());
        if (exchangeNo.empty()) {
            std::string mainContract;
            for (const auto& contract : commodity.contract_no_list()) {
                if (contract.flags() == 1) {
                    mainContract = contract.contract_no();
                    break;
                }
            }
            const std::string key = ContractKey::Join(prefix, commodity.commodity_no(), mainContract);
            IndexLabelStep(commodity, key);
            FillQuoteRow(model, row++, key, name);
            continue;
        }
        if (commodity.exchange_no() != exchangeNo)
            continue;
        if (commodity.contract_no_list().empty()) {
            FillQuoteRow(
                model, row++, ContractKey::Join(prefix, commodity.commodity_no(), std::string()), name);
            continue;
        }
        // Each entry of the list is a row of its own, and keeps its "_" even
        // with an empty contract number.
        const std::string commodityKey = ContractKey::Join(prefix, commodity.commodity_no(), std::string());
        for (const auto& contract : commodity.contract_no_list())
            FillQuoteRow(model, row++, commodityKey + "_" + contract.contract_no(), name);
    }

    m_exchangeSlots = std::max(m_exchangeSlots, static_cast<int>(m_exchanges.size()));
}

void Quorvel::FillQuoteRow(QStandardItemModel* model, int row, std::string key, std::string name)
{
    if (!model)
        return;
    QuoteDetailField q;
    Client()->GetQuote(key, &q);
    const RefreshPaint& paint = Paint();
    const double pre = q.pre_settle();
    const auto priceBrush = [&](double v) -> const QBrush& {
        return IsGreaterOrEqual(v, pre, kDecimals) ? paint.red : paint.green;
    };

    // The items are made whole first and go into the model together: an item
    // set into a model one by one announces a change of the model's layout
    // for each cell, which with a view attached costs more than the rest.
    const bool stock = IsStockModel(model);
    QList<QStandardItem*> items;
    items.reserve(stock ? QuoteColumn::StockCount : QuoteColumn::Count);
    const auto put = [&](int column, const QString& text) {
        Q_ASSERT(column == items.size());
        (void)column;
        auto* item = new QuoteCell(text);
        item->setEditable(false);
        items.append(item);
        return item;
    };
    const auto putRight = [&](int column, const QString& text) {
        QStandardItem* item = put(column, text);
        item->setTextAlignment(kRightAligned);
        return item;
    };

    QStandardItem* arrow = put(QuoteColumn::Arrow, QString());
    if (q.last() > kNoPrice && IsGreaterOrEqual(q.last(), pre, kDecimals))
        arrow->setIcon(paint.up);
    else if (q.last() > kNoPrice && IsLess(q.last(), pre, kDecimals))
        arrow->setIcon(paint.down);

    put(QuoteColumn::Number, QString::number(row + 1))->setForeground(paint.yellow);
    putRight(QuoteColumn::Name, QString::fromLocal8Bit(name.c_str()))->setForeground(paint.yellow);
    const ContractKey::Parts parts = ContractKey::Parse(key);
    const std::string code = parts.commodityNo + parts.contractNo;
    putRight(QuoteColumn::Code, QString::fromStdString(code))->setForeground(paint.yellow);
    putRight(QuoteColumn::Last, Price(q.last()));
    putRight(QuoteColumn::LastVolume, Amount(q.last_vol()));
    putRight(QuoteColumn::Bid, Price(q.bid_price()));
    putRight(QuoteColumn::Ask, Price(q.ask_price()));
    putRight(QuoteColumn::BidVolume, Amount(q.bid_vol()));
    // Two decimals at a rebuild; the refresh writes it without.
    putRight(QuoteColumn::AskVolume, QString::number(q.ask_vol(), 'f', 2));
    putRight(QuoteColumn::Volume, Amount(q.volume()));
    putRight(QuoteColumn::Change, Price(q.last() - pre));
    putRight(QuoteColumn::ChangeRate, ChangeRateText(ChangeRate(q)));
    putRight(QuoteColumn::OpenInterest, Amount(q.position()));
    putRight(QuoteColumn::Open, Price(q.open()))->setForeground(priceBrush(q.open()));
    putRight(QuoteColumn::High, Price(q.high()))->setForeground(priceBrush(q.high()));
    putRight(QuoteColumn::Low, Price(q.low()))->setForeground(priceBrush(q.low()));
    for (int column = QuoteColumn::Settle; column <= QuoteColumn::OpenInterestChange; ++column)
        putRight(column, QStringLiteral("---"));
    putRight(QuoteColumn::PreSettle, Price(pre));
    putRight(QuoteColumn::PreClose, QStringLiteral("---"));
    if (stock) {
        putRight(QuoteColumn::Turnover, Price(q.turnover()))->setForeground(paint.yellow);
        putRight(QuoteColumn::TurnoverRate, Price(q.turnover_rate()))->setForeground(paint.yellow);
        put(QuoteColumn::StockEnd, QString())->setForeground(paint.yellow);
    }
    if (row >= model->rowCount()) {
        if (row > model->rowCount())
            model->setRowCount(row);
        model->insertRow(row, items);
    } else {
        for (int column = 0; column < items.size(); ++column)
            model->setItem(row, column, items[column]);
    }
    const auto shown = m_shownRows.find(model);
    if (shown != m_shownRows.end() && static_cast<size_t>(row) < shown->second.size())
        shown->second[static_cast<size_t>(row)].known = false;

    // The row belongs to the table being built. Reading the type back from
    // the key would misfile rows whose commodity number holds a "_", and the
    // refresh would then write every later row of that table from the wrong
    // record.
    const auto owner = std::find(m_models.begin(), m_models.end(), model);
    const int type = owner == m_models.end() ? parts.securityType
                                             : CategoryOfTab(static_cast<int>(owner - m_models.begin()));
    m_contractRows[type].push_back(ContractRow { row, std::move(name), std::move(key), code });
}

void Quorvel::UpdateQuoteRow(
    QStandardItemModel* model, int row, const QuoteDetailField* quote, const ContractRow* record)
{
    if (!model || !quote || !record || !model->item(row, QuoteColumn::Arrow))
        return;
    const QuoteDetailField& q = *quote;
    const RefreshPaint& paint = Paint();
    const double pre = q.pre_settle();
    const auto priceBrush = [&](double v) -> const QBrush& {
        return IsGreaterOrEqual(v, pre, kDecimals) ? paint.red : paint.green;
    };

    std::vector<ShownRow>& shownRows = m_shownRows[model];
    if (shownRows.size() <= static_cast<size_t>(row))
        shownRows.resize(static_cast<size_t>(row) + 1);
    ShownRow& shown = shownRows[static_cast<size_t>(row)];
    const bool known = shown.known;
    shown.known = true;

    // The text of a cell is its figure in the column's format: an unchanged
    // figure leaves the cell as it is.
    const auto set = [&](int column, double figure, QString (*format)(double)) {
        QStandardItem* item = model->item(row, column);
        if (!item)
            return item;
        const std::uint64_t bits = Bits(figure);
        if (!known || shown.figures[static_cast<size_t>(column)] != bits) {
            WriteText(item, format(figure));
            shown.figures[static_cast<size_t>(column)] = bits;
        }
        return item;
    };
    const auto setColoured = [&](int column, double figure, QString (*format)(double), const QBrush& brush) {
        QStandardItem* item = set(column, figure, format);
        if (item && (!known || shown.brushes[static_cast<size_t>(column)] != &brush)) {
            WriteForeground(item, brush);
            shown.brushes[static_cast<size_t>(column)] = &brush;
        }
        return item;
    };
    const auto setFixed = [&](int column, double figure, QString (*format)(double), const QBrush& brush) {
        QStandardItem* item = setColoured(column, figure, format, brush);
        if (item && item->isEditable())
            item->setEditable(false);
    };

    QStandardItem* arrow = model->item(row, QuoteColumn::Arrow);
    const QIcon* icon = &paint.none;
    if (q.last() > kNoPrice && IsGreaterOrEqual(q.last(), pre, kDecimals))
        icon = &paint.up;
    else if (q.last() > kNoPrice && IsLess(q.last(), pre, kDecimals))
        icon = &paint.down;
    if (!known || shown.icon != icon) {
        WriteText(arrow, QString());
        // Icons never compare equal as item data: rewriting an unchanged arrow
        // would report a change of every row on every tick.
        if (arrow->icon().cacheKey() != icon->cacheKey())
            arrow->setIcon(*icon);
        shown.icon = icon;
    }

    if (!known || shown.name != record->name) {
        if (QStandardItem* item = model->item(row, QuoteColumn::Name))
            WriteText(item, QString::fromLocal8Bit(record->name.c_str()));
        shown.name = record->name;
    }
    if (!known || shown.code != record->code) {
        if (QStandardItem* item = model->item(row, QuoteColumn::Code))
            WriteText(item, QString::fromStdString(record->code));
        shown.code = record->code;
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
    const QBrush& changeBrush = q.last() - pre >= 0.0 ? paint.red : paint.green;
    setColoured(QuoteColumn::Change, q.last() - pre, Price, changeBrush);
    setColoured(QuoteColumn::ChangeRate, ChangeRate(q), ChangeRateText, changeBrush);
    setColoured(QuoteColumn::OpenInterest, q.position(), Amount, paint.yellow);
    setColoured(QuoteColumn::Open, q.open(), Price, priceBrush(q.open()));
    setColoured(QuoteColumn::High, q.high(), Price, priceBrush(q.high()));
    setColoured(QuoteColumn::Low, q.low(), Price, priceBrush(q.low()));
    set(QuoteColumn::PreSettle, pre, Price);
    if (IsStockModel(model)) {
        setColoured(QuoteColumn::Turnover, q.turnover(), Price, paint.yellow);
        setColoured(QuoteColumn::TurnoverRate, q.turnover_rate(), Price, paint.yellow);
    }
}

void Quorvel::NoteRefreshTick()
{
    using namespace std::chrono;
    constexpr milliseconds kInterval(500);
    RefreshWatch& w = m_refreshWatch;
    const steady_clock::time_point now = steady_clock::now();
    if (w.since == steady_clock::time_point()) {
        // The first tick sets the schedule the later ones are held to.
        w.since = now;
        w.due = now + kInterval;
        return;
    }
    auto late = duration_cast<milliseconds>(now - w.due);
    // A tick later than a whole interval makes the timer start its schedule
    // again from that tick; an early one (the timer may round) moves it back.
    if (late > kInterval || late < milliseconds(0)) {
        w.due = now;
        late = std::max(late, milliseconds(0));
    }
    w.due += kInterval;
    w.lateMs[w.ticks++] = static_cast<int>(late.count());
    if (w.ticks < w.lateMs.size())
        return;
    std::string list;
    for (int ms : w.lateMs)
        list += ' ' + std::to_string(ms);
    WriteLog(LogTrace, "refresh: %llu quotes in %lld ms; ticks late (ms):%s",
        static_cast<unsigned long long>(w.quotes),
        static_cast<long long>(duration_cast<milliseconds>(now - w.since).count()), list.c_str());
    w.ticks = 0;
    w.quotes = 0;
    w.since = now;
}

void Quorvel::OnRefreshTimer()
{
    NoteRefreshTick();
    std::unique_lock<std::mutex> lock(m_listMutex);
    const int tab = ui.quote_tabwidget->currentIndex();
    // The custom list (tab 0) is never refreshed.
    if (tab < 1 || tab >= kTabCount)
        return;
    const int type = CategoryOfTab(tab);
    QStandardItemModel* model = m_models[static_cast<size_t>(tab)];
    const auto rows = m_contractRows.find(type);
    if (!model || rows == m_contractRows.end())
        return;
    // One change notice for the whole table instead of one per cell: the view
    // repaints what it shows either way, and a tick writes every row.
    {
        const QSignalBlocker quiet(model);
        int i = 0;
        // One message for every row: cleared, it keeps the room its texts
        // took, so reading a quote allocates nothing.
        QuoteDetailField q;
        for (const ContractRow& record : rows->second) {
            q.Clear();
            Client()->GetQuote(record.key, &q);
            UpdateQuoteRow(model, i++, &q, &record);
        }
    }
    const int written = std::min(static_cast<int>(rows->second.size()), model->rowCount());
    // Whatever the views do on hearing of it runs without the list lock.
    lock.unlock();
    if (written > 0)
        emit model->dataChanged(model->index(0, 0), model->index(written - 1, model->columnCount() - 1));
}

int Quorvel::ContractKeyType(const std::string& key)
{
    return ContractKey::Parse(key).securityType;
}

std::string Quorvel::ContractKeyPart1(const std::string& key)
{
    return ContractKey::Parse(key).commodityNo;
}

std::string Quorvel::ContractKeyPart2(const std::string& key)
{
    return ContractKey::Parse(key).contractNo;
}

// The window's rows of the custom list (type 0) have keys with an empty code,
// where the quote client would name the type.
std::string Quorvel::CategoryCode(int type)
{
    return type == kw::pb::ostrel2::UNKNOWN ? std::string() : ContractKey::TypeCode(type);
}
