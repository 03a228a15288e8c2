// Quote tables: models, headers, rows built from the commodity list, and the
// periodic refresh of the table on screen.
#include "quorvel.h"

#include <algorithm>
#include <unordered_set>

#include <QFont>
#include <QHeaderView>
#include <QSignalBlocker>
#include <QStandardItem>
#include <QStandardItemModel>
#include <QTreeView>

#include "boardstyle.h"
#include "columnfitter.h"
#include "contractkey.h"
#include "helpers.h"
#include "logger.h"
#include "nquoteclient.h"
#include "quotecolumns.h"
#include "quotetablemodel.h"
#include "screenfit.h"

namespace
{

constexpr int kStockType = kw::pb::ostrel2::S;

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

// Rows a refresh tick rewrites besides those on screen; a list no longer is
// rewritten whole at every tick.
constexpr size_t kRefreshSlice = 2000;

int ColumnCount(int type)
{
    return type == kStockType ? QuoteColumn::StockCount : QuoteColumn::Count;
}

NQuoteClient* Client()
{
    return NQuoteClient::Instance();
}

} // namespace

const QuotePaint& Quorvel::Paint()
{
    if (!m_paint) {
        // The arrows carry a picture for the largest scale (an unlisted DPI's)
        // too: the cells keep these icons, whatever scale the window takes later.
        const int largest = ScaledSize(ScaleForDpi(0), kArrowIconSize);
        const auto arrow = [largest](const char* file) {
            return ScaledIcon(QIcon(QString::fromLatin1(file)), QSize(largest, largest));
        };
        m_paint.reset(new QuotePaint { QBrush(BoardStyle::kYellow), QBrush(BoardStyle::kGreen),
            QBrush(BoardStyle::kRed), arrow("Resources/up.png"), arrow("Resources/down.png"), QIcon() });
    }
    return *m_paint;
}

const std::vector<Quorvel::CommodityField>& Quorvel::Commodities() const
{
    static const std::vector<CommodityField> none;
    return m_commodities ? *m_commodities : none;
}

void Quorvel::InitQuoteModels()
{
    for (int tab = 0; tab < kTabCount; ++tab) {
        const int type = CategoryOfTab(tab);
        m_models[static_cast<size_t>(tab)] = new QuoteTableModel(ColumnCount(type), type == kStockType, this);
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
    for (int tab = 0; tab < kTabCount; ++tab) {
        auto* fitter = new ColumnFitter(ViewOfTab(tab), m_models[static_cast<size_t>(tab)]);
        fitter->SetRelayout([this] { FitListColumns(); });
        m_columnFitters[static_cast<size_t>(tab)] = fitter;
    }

    m_commodities = Client()->SharedCommodityList();

    namespace pb = kw::pb::ostrel2;
    for (int type : { pb::FI, pb::C, pb::S, pb::D, pb::FO })
        RefreshQuoteList(ModelOfCategory(type), type, std::string());
    m_untouchedTab = TabOfCategory(pb::FO);

    InitCategoryBar();
    ResetDepthPanel();
}

void Quorvel::InitModelHeader(QStandardItemModel* model, int type)
{
    if (!model)
        return;
    QFont font(QStringLiteral("Microsoft YaHei UI"));
    font.setPointSize(12);
    const QBrush brush(BoardStyle::kHeader);

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

void Quorvel::RefreshQuoteList(QuoteTableModel* model, int type, std::string exchangeNo)
{
    m_untouchedTab = -1;
    if (model)
        model->ClearRows();
    m_exchanges.clear();

    const std::string prefix = CategoryCode(type);
    // A server may list an exchange per commodity: one look-up each keeps the
    // build linear in the list.
    std::unordered_set<std::string> seen;
    int row = 0;
    for (const CommodityField& commodity : Commodities()) {
        if (commodity.security_type() != type)
            continue;
        if (seen.insert(commodity.exchange_no()).second)
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

void Quorvel::FillQuoteRow(QuoteTableModel* model, int row, std::string key, std::string name)
{
    m_untouchedTab = -1;
    if (!model)
        return;
    QuoteDetailField q;
    const bool found = Client()->GetQuote(key, &q);
    const ContractKey::Parts parts = ContractKey::Parse(key);
    std::string code = parts.commodityNo + parts.contractNo;
    model->FillRow(row, ContractRow { row, std::move(name), std::move(key), std::move(code) }, q, Paint());
    if (!found)
        model->BlankRow(row);
}

void Quorvel::UpdateQuoteRow(
    QuoteTableModel* model, int row, const QuoteDetailField* quote, const ContractRow* record)
{
    if (model && quote && record)
        model->UpdateRow(row, *quote, *record, Paint());
}

void Quorvel::BlankAllRows()
{
    m_untouchedTab = -1;
    {
        std::lock_guard<std::mutex> lock(m_listMutex);
        for (QuoteTableModel* model : m_models) {
            const QSignalBlocker quiet(model);
            const int rows = model ? static_cast<int>(model->Rows().size()) : 0;
            for (int row = 0; row < rows; ++row)
                model->BlankRow(row);
        }
    }
    // Told without the list lock, as the refresh does.
    for (QuoteTableModel* model : m_models) {
        if (model)
            model->AnnounceRows(static_cast<int>(model->Rows().size()));
    }
}

void Quorvel::OnRefreshTimer()
{
    std::unique_lock<std::mutex> lock(m_listMutex);
    const int tab = ui.quote_tabwidget->currentIndex();
    // The custom list (tab 0) is never refreshed.
    if (tab < 1 || tab >= kTabCount)
        return;
    QuoteTableModel* model = m_models[static_cast<size_t>(tab)];
    if (!model)
        return;
    // One change notice for the whole table instead of one per cell: the view
    // repaints what it shows either way.
    std::vector<std::pair<int, int>> spans;
    {
        const QSignalBlocker quiet(model);
        // One message for every row: cleared, it keeps the room its texts
        // took, so reading a quote allocates nothing.
        QuoteDetailField q;
        const std::vector<ContractRow>& rows = model->Rows();
        const auto write = [&](size_t i) {
            q.Clear();
            if (Client()->GetQuote(rows[i].key, &q))
                UpdateQuoteRow(model, static_cast<int>(i), &q, &rows[i]);
            else
                model->BlankRow(static_cast<int>(i));
        };
        const size_t count = rows.size();
        const auto writeSpan = [&](size_t first, size_t last) {
            for (size_t i = first; i <= last; ++i)
                write(i);
            spans.emplace_back(static_cast<int>(first), static_cast<int>(last));
        };
        if (count <= kRefreshSlice) {
            for (size_t i = 0; i < count; ++i)
                write(i);
        } else {
            // A list of a whole market: the rows on screen at every tick, the
            // others a slice at a time, so that a tick costs the same however
            // long the list is and every row still comes round within seconds.
            const QTreeView* view = ViewOfTab(tab);
            if (view && view->isVisible()) {
                const int top = std::max(view->indexAt(QPoint(0, 0)).row(), 0);
                int bottom = view->indexAt(QPoint(0, view->viewport()->height() - 1)).row();
                if (bottom < 0)
                    bottom = static_cast<int>(count) - 1;
                writeSpan(static_cast<size_t>(top), std::min(static_cast<size_t>(bottom), count - 1));
            }
            const size_t first = m_refreshTurn % count;
            const size_t end = first + kRefreshSlice;
            writeSpan(first, std::min(end, count) - 1);
            if (end > count)
                writeSpan(0, end - count - 1);
            m_refreshTurn = end % count;
        }
    }
    const int written = static_cast<int>(model->Rows().size());
    // Whatever the views do on hearing of it runs without the list lock.
    lock.unlock();
    if (spans.empty()) {
        model->AnnounceRows(written);
        return;
    }
    // Told of the whole table the model would visit every cell of it.
    model->AnnounceRowSpans(spans);
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
