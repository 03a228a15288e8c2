// The current contract: its quote detail, depth and trade panels, the rows
// that select it, and the chart view that draws its K-lines.
#include "quorvel.h"

#include <algorithm>
#include <utility>

#include <QLabel>
#include <QModelIndex>

#include "boardstyle.h"
#include "chartell.h"
#include "helpers.h"
#include "mywidget.h"
#include "nquoteclient.h"

namespace
{

constexpr size_t kMaxTicks = 8;
const QString kNoValue = QStringLiteral("---");

using BoardStyle::Amount;
using BoardStyle::Price;

} // namespace

void Quorvel::SendContractRequest(ContractRequest request, const std::string& key, int period)
{
    NQuoteClient* client = NQuoteClient::Instance();
    switch (request) {
    case ContractRequest::SubscribeDepth:
        client->SubscribeDepth(key);
        break;
    case ContractRequest::SubscribeTicker:
        client->SubscribeTicker(key);
        break;
    case ContractRequest::UnSubscribeDepth:
        client->UnSubscribeDepth(key);
        break;
    case ContractRequest::UnSubscribeTicker:
        client->UnSubscribeTicker(key);
        break;
    case ContractRequest::QueryKLine:
        client->QueryKLine(key, period);
        break;
    }
}

void Quorvel::SelectContract(const std::string& selected, int period)
{
    if (selected.empty())
        return;
    // The key may be a member that this selection overwrites.
    const std::string key = selected;
    if (key == m_currentKey) {
        // Asked for again, the contract's depth and trades are renewed: a
        // server that stopped sending them starts again.
        SendContractRequest(ContractRequest::SubscribeDepth, key, 0);
        SendContractRequest(ContractRequest::SubscribeTicker, key, 0);
        SendContractRequest(ContractRequest::QueryKLine, key, period);
        return;
    }

    QuoteDetailField quote;
    const bool found = NQuoteClient::Instance()->GetQuote(key, &quote);
    UpdateQuotePanel(quote, found);
    // Coloured now, not at the next quote, which a quiet market may not send.
    ColourQuotePanel(found ? &quote : nullptr);
    ResetTickerPanel();
    ResetDepthPanel();

    const int type = ContractKeyType(key);
    const std::string commodityNo = ContractKeyPart1(key);
    const std::vector<CommodityField>& commodities = Commodities();
    const auto commodity = std::find_if(commodities.begin(), commodities.end(), [&](const CommodityField& c) {
        return c.security_type() == type && c.commodity_no() == commodityNo;
    });
    // The label names the contract whose prices the panel shows, which need
    // not be the commodity's main contract.
    if (commodity != commodities.end()) {
        ui.current_contract->setText(QString::fromUtf8(commodity->commodity_name().c_str()) + QLatin1Char(' ')
            + QString::fromStdString(commodity->commodity_no() + ContractKeyPart2(key)));
    }

    if (!m_currentKey.empty()) {
        SendContractRequest(ContractRequest::UnSubscribeDepth, m_currentKey, 0);
        SendContractRequest(ContractRequest::UnSubscribeTicker, m_currentKey, 0);
    }
    m_ticks.clear();
    SendContractRequest(ContractRequest::SubscribeDepth, key, 0);
    SendContractRequest(ContractRequest::SubscribeTicker, key, 0);
    m_currentKey = key;
    SendContractRequest(ContractRequest::QueryKLine, key, period);
}

void Quorvel::UpdateQuotePanel(const QuoteDetailField& q, bool found)
{
    const std::pair<QLabel*, QString> texts[] = {
        { ui.last_price_2, Price(q.last()) },
        { ui.last_vol, Amount(q.last_vol()) },
        { ui.vol, Amount(q.volume()) },
        { ui.position_vol, Amount(q.position()) },
        { ui.open_price, Price(q.open()) },
        { ui.high_price, Price(q.high()) },
        { ui.low_price, Price(q.low()) },
        { ui.presttle, Price(q.pre_settle()) },
        { ui.ask_price_2, Price(q.ask_price()) },
        { ui.bid_price_2, Price(q.bid_price()) },
        { ui.ask_price, Price(q.ask_price()) },
        { ui.ask_vol, Amount(q.ask_vol()) },
        { ui.bid_price, Price(q.bid_price()) },
        { ui.bid_vol, Amount(q.bid_vol()) },
    };
    for (const auto& label : texts)
        label.first->setText(found ? label.second : kNoValue);
}

void Quorvel::ColourQuotePanel(const QuoteDetailField* quote)
{
    // Without a quote the panel shows "---", which is no price to colour.
    const auto priceStyle = [quote](double v) {
        if (!quote)
            return BoardStyle::kDetailNeutral;
        return BoardStyle::AtOrAbove(v, quote->pre_settle()) ? BoardStyle::kDetailUp
                                                             : BoardStyle::kDetailDown;
    };
    const QuoteDetailField none;
    const QuoteDetailField& q = quote ? *quote : none;
    for (QLabel* label : { ui.last_vol, ui.vol, ui.position_vol, ui.presttle, ui.ask_vol, ui.bid_vol })
        label->setStyleSheet(BoardStyle::kDetailNeutral);
    const std::pair<QLabel*, double> prices[] = {
        { ui.open_price, q.open() },
        { ui.high_price, q.high() },
        { ui.low_price, q.low() },
        { ui.ask_price_2, q.ask_price() },
        { ui.ask_price, q.ask_price() },
        { ui.bid_price_2, q.bid_price() },
        { ui.bid_price, q.bid_price() },
    };
    for (const auto& price : prices)
        price.first->setStyleSheet(priceStyle(price.second));
    ui.last_price_2->setStyleSheet(priceStyle(q.last()) + BoardStyle::kLastPriceFont);
}

void Quorvel::ResetDepthPanel()
{
    for (QLabel* label : { ui.ask_price2, ui.ask_vol2, ui.bid_price2, ui.bid_vol2, ui.ask_price3, ui.ask_vol3,
             ui.bid_price3, ui.bid_vol3, ui.ask_price4, ui.ask_vol4, ui.bid_price4, ui.bid_vol4,
             ui.ask_price5, ui.ask_vol5, ui.bid_price5, ui.bid_vol5 })
        label->setText(kNoValue);
}

void Quorvel::ResetTickerPanel()
{
    for (QLabel* label : { ui.ticker_time_0, ui.ticker_price_0, ui.ticker_vol_0, ui.ticker_time_1,
             ui.ticker_price_1, ui.ticker_vol_1, ui.ticker_time_2, ui.ticker_price_2, ui.ticker_vol_2,
             ui.ticker_time_3, ui.ticker_price_3, ui.ticker_vol_3, ui.ticker_time_4, ui.ticker_price_4,
             ui.ticker_vol_4, ui.ticker_time_5, ui.ticker_price_5, ui.ticker_vol_5, ui.ticker_time_6,
             ui.ticker_price_6, ui.ticker_vol_6, ui.ticker_time_7, ui.ticker_price_7, ui.ticker_vol_7 })
        label->setText(QString());
}

void Quorvel::ClearSelectedPanels()
{
    QuoteDetailField none;
    UpdateQuotePanel(none, false);
    for (QLabel* label :
        { ui.last_vol, ui.vol, ui.position_vol, ui.presttle, ui.ask_vol, ui.bid_vol, ui.open_price,
            ui.high_price, ui.low_price, ui.ask_price_2, ui.ask_price, ui.bid_price_2, ui.bid_price })
        label->setStyleSheet(BoardStyle::kDetailNeutral);
    ui.last_price_2->setStyleSheet(BoardStyle::kDetailNeutral + BoardStyle::kLastPriceFont);
    ResetDepthPanel();
    m_ticks.clear();
    ResetTickerPanel();
}

// Levels 2 to 5 shown beside a new level 1 that they cross or touch are older
// than it: they go until the next depth push rather than show a crossed book.
void Quorvel::DropCrossedDepth(const QuoteDetailField& quote)
{
    bool askOk = false, bidOk = false;
    const double ask2 = ui.ask_price2->text().toDouble(&askOk);
    const double bid2 = ui.bid_price2->text().toDouble(&bidOk);
    const bool crossed = (askOk && ask2 > 0 && quote.ask_price() > 0 && ask2 <= quote.ask_price())
        || (bidOk && quote.bid_price() > 0 && bid2 >= quote.bid_price());
    if (crossed)
        ResetDepthPanel();
}

void Quorvel::OnQuote(const QuoteDetailField& quote)
{
    if (quote.contract_code() == m_currentKey) {
        UpdateQuotePanel(quote, true);
        DropCrossedDepth(quote);
        ColourQuotePanel(&quote);
    }
    if (m_chartView)
        m_chartView->UpdateQuote(quote);
}

void Quorvel::OnDepthQuote(const DepthQuoteField& depth)
{
    if (depth.contract_code() != m_currentKey)
        return;
    struct Level {
        QLabel *askPrice, *askVol, *bidPrice, *bidVol;
    };
    const Level levels[] = {
        { ui.ask_price2, ui.ask_vol2, ui.bid_price2, ui.bid_vol2 },
        { ui.ask_price3, ui.ask_vol3, ui.bid_price3, ui.bid_vol3 },
        { ui.ask_price4, ui.ask_vol4, ui.bid_price4, ui.bid_vol4 },
        { ui.ask_price5, ui.ask_vol5, ui.bid_price5, ui.bid_vol5 },
    };
    // Level 1 is the quote detail's; other levels do not exist.
    if (depth.level() < 2 || depth.level() > 5)
        return;
    const Level& level = levels[depth.level() - 2];

    // The reference is the previous settlement as the panel shows it: "---"
    // (no quote yet) reads as 0.
    bool ok = false;
    double reference = ui.presttle->text().toDouble(&ok);
    if (!ok)
        reference = 0.0;
    const auto priceStyle = [&](double v) {
        return BoardStyle::AtOrAbove(v, reference) ? BoardStyle::kDepthUp : BoardStyle::kDepthDown;
    };

    // A level inside the level 1 on show is newer than it: it waits for the
    // quote that moves level 1 rather than show a crossed book.
    bool askOk = false, bidOk = false;
    const double ask1 = ui.ask_price->text().toDouble(&askOk);
    const double bid1 = ui.bid_price->text().toDouble(&bidOk);
    if ((askOk && ask1 > 0 && depth.ask_price() > 0 && depth.ask_price() <= ask1)
        || (bidOk && bid1 > 0 && depth.bid_price() > 0 && depth.bid_price() >= bid1)) {
        for (QLabel* label : { level.askPrice, level.askVol, level.bidPrice, level.bidVol })
            label->setText(kNoValue);
        return;
    }
    level.askPrice->setText(Price(depth.ask_price()));
    level.askPrice->setStyleSheet(priceStyle(depth.ask_price()));
    level.bidPrice->setText(Price(depth.bid_price()));
    level.bidPrice->setStyleSheet(priceStyle(depth.bid_price()));
    level.askVol->setText(Amount(depth.ask_vol()));
    level.askVol->setStyleSheet(BoardStyle::kDepthNeutral);
    level.bidVol->setText(Amount(depth.bid_vol()));
    level.bidVol->setStyleSheet(BoardStyle::kDepthNeutral);
}

void Quorvel::OnTickerQuote(const TickerField& ticker)
{
    m_ticks.push_back(ticker);
    if (m_ticks.size() > kMaxTicks)
        m_ticks.erase(m_ticks.begin());
    UpdateTickerPanel();
}

void Quorvel::UpdateTickerPanel()
{
    // Row 0 is the bottom row; the oldest tick sits highest.
    QLabel* const times[] = { ui.ticker_time_0, ui.ticker_time_1, ui.ticker_time_2, ui.ticker_time_3,
        ui.ticker_time_4, ui.ticker_time_5, ui.ticker_time_6, ui.ticker_time_7 };
    QLabel* const prices[] = { ui.ticker_price_0, ui.ticker_price_1, ui.ticker_price_2, ui.ticker_price_3,
        ui.ticker_price_4, ui.ticker_price_5, ui.ticker_price_6, ui.ticker_price_7 };
    QLabel* const volumes[] = { ui.ticker_vol_0, ui.ticker_vol_1, ui.ticker_vol_2, ui.ticker_vol_3,
        ui.ticker_vol_4, ui.ticker_vol_5, ui.ticker_vol_6, ui.ticker_vol_7 };
    for (size_t i = 0; i < m_ticks.size() && i < kMaxTicks; ++i) {
        const TickerField& tick = m_ticks[i];
        const size_t row = kMaxTicks - 1 - i;
        // The time of day, "hh:mm:ss", of "YYYY-MM-DD hh:mm:ss.mmm".
        const std::string stamp = MsToString(static_cast<std::int64_t>(tick.time_flag()));
        times[row]->setText(QString::fromStdString(stamp).mid(11, 8));
        prices[row]->setText(Price(tick.price()));
        volumes[row]->setText(Price(tick.volume()));
    }
}

std::vector<Quorvel::CommodityField>::const_iterator Quorvel::FindCommodity(
    std::vector<CommodityField>::const_iterator first, std::vector<CommodityField>::const_iterator last,
    const RspReqQryHistoryField& kline)
{
    const int type = ContractKeyType(kline.contract_code());
    const std::string commodityNo = ContractKeyPart1(kline.contract_code());
    return std::find_if(first, last, [&](const CommodityField& c) {
        return c.security_type() == type && c.commodity_no() == commodityNo;
    });
}

void Quorvel::OnKline(const RspReqQryHistoryField& kline)
{
    if (!m_chartView) {
        m_chartView = CreateChartell();
        if (m_chartHost) {
            m_chartHost->SetChartView(m_chartView);
            m_chartView->AttachWindow(static_cast<std::uintptr_t>(m_chartHost->winId()));
        }
    }

    std::vector<kw::pb::ostrel2::KlineDataField> bars(kline.lines().begin(), kline.lines().end());
    QuoteDetailField quote;
    NQuoteClient::Instance()->GetQuote(kline.contract_code(), &quote);
    const std::vector<CommodityField>& commodities = Commodities();
    const auto commodity = FindCommodity(commodities.cbegin(), commodities.cend(), kline);
    if (commodity != commodities.cend())
        m_chartView->ShowKlines(*commodity, kline.contract_code(), quote, kline.period(), bars);

    if (m_loggedIn) {
        ui.tabWidget->setCurrentIndex(1);
        if (m_expandButton)
            m_expandButton->hide();
        if (m_collapseButton)
            m_collapseButton->hide();
    }
}

void Quorvel::OnLogin(bool needChange)
{
    m_loggedIn = true;
    if (!needChange)
        return;
    ui.tabWidget->setCurrentIndex(1);
    if (m_expandButton)
        m_expandButton->hide();
    if (m_collapseButton)
        m_collapseButton->hide();
}

const ContractRow* Quorvel::FindRow(int type, int modelRow) const
{
    const QuoteTableModel* model = ModelOfCategory(type);
    if (!model)
        return nullptr;
    const std::vector<ContractRow>& rows = model->Rows();
    const auto row = std::find_if(
        rows.begin(), rows.end(), [modelRow](const ContractRow& r) { return r.row == modelRow; });
    return row == rows.end() ? nullptr : &*row;
}

void Quorvel::PromptLogin(bool needChange)
{
    if (m_loggedIn)
        return;
    // The dialog hands the flag back with its login signal: true opens the
    // chart page once the user is in.
    m_loginDialog.need_changge = needChange;
    m_loginDialog.show();
    m_loginDialog.activateWindow();
}

void Quorvel::OnQuoteRowDoubleClicked(const QModelIndex& index, int type)
{
    PromptLogin(true);
    const ContractRow* row = FindRow(type, index.row());
    if (!row)
        return;
    const std::string key = row->key;
    SelectContract(key, kw::pb::ostrel2::KLINE_1MIN);
    m_selectedKey = key;
}

void Quorvel::OnQuoteRowClicked(const QModelIndex& index, int type)
{
    if (const ContractRow* row = FindRow(type, index.row()))
        m_selectedKey = row->key;
}
