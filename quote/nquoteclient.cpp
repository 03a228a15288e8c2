#include "nquoteclient.h"

#include "contractkey.h"
#include "helpers.h"
#include "logbudget.h"
#include "logger.h"

namespace pb = kw::pb::ostrel2;

namespace
{

constexpr const char* kTagHistory = "hh";

} // namespace

// The quote API's own diagnostics (dropped frames, unknown methods, closed
// connections) belong in the terminal's log beside the client's lines. The
// API calls this only while an API object exists, and the client releases
// every one before it goes.
void NQuoteClient::ForwardApiLog(int level, const char* text)
{
    if (Instance()->m_serverLog->Take(level))
        WriteLog(level, "OstrelApi: %s", CutForLog(text ? text : "", 2 * kLogTextLimit).c_str());
}

NQuoteClient* NQuoteClient::Instance()
{
    static NQuoteClient client;
    return &client;
}

NQuoteClient::NQuoteClient()
    : m_serverLog(std::make_unique<LogBudget>(kServerLogBurst, "行情服务器引发的日志过多"))
    , m_textBounds([this](int level) { return m_serverLog->Take(level); })
    , m_pump(*this, m_store,
          { [this](const pb::QuoteDetailField& q) { emit quote_sig(q); },
              [this](const pb::DepthQuoteField& d) { emit depth_quote_sig(d); },
              [this](const pb::TickerField& t) { emit ticker_quote_sig(t); },
              [this](const pb::RspReqQryHistoryField& k) { emit Kline_sig(k); } })
    , m_link(*this, m_store, *m_serverLog, m_textBounds, [this] {
        // The hand-off is sealed by this signal, which resolves the batch it
        // holds while the store still has this connection's quotes.
        emit disconnect_sig();
        // The depth and trade subscriptions stay, for the reconnection to renew.
        m_store.ClearKeepingStreams();
    })
{
    // Made first, so it runs before disconnect_sig is queued to anyone: what
    // came before the loss is emitted before it, what comes after behind it.
    connect(
        this, &NQuoteClient::disconnect_sig, this, [this] { m_pump.Seal(); }, Qt::DirectConnection);
    qRegisterMetaType<nsquote::QuoteDetailField>("nsquote::QuoteDetailField");
    qRegisterMetaType<nsquote::RspReqQryHistoryField>("nsquote::RspReqQryHistoryField");
    qRegisterMetaType<nsquote::DepthQuoteField>("nsquote::DepthQuoteField");
    qRegisterMetaType<nsquote::TickerField>("nsquote::TickerField");
    const Timings timings;
    m_serverLog->Reset(timings.logLineEvery, timings.logSummaryDelay);
    COstrelApi::SetLogHandler(&NQuoteClient::ForwardApiLog);
}

// The API's thread calls into this object; it must be gone, and no attempt
// left running, before the members are.
NQuoteClient::~NQuoteClient()
{
    Stop();
    COstrelApi::SetLogHandler(nullptr);
}

void NQuoteClient::SetTimings(const Timings& timings)
{
    m_link.SetTimings(timings);
    m_serverLog->Reset(timings.logLineEvery, timings.logSummaryDelay);
}

NQuoteClient::Timings NQuoteClient::GetTimings() const
{
    return m_link.Timings();
}

void NQuoteClient::Reset()
{
    Stop();
    m_link.Reset();
    m_store.Clear();
    m_textBounds.Rearm();
    SetTimings(Timings());
}

bool NQuoteClient::Connect()
{
    return m_link.Connect();
}

bool NQuoteClient::IsConnected() const
{
    return m_link.IsConnected();
}

void NQuoteClient::Stop()
{
    m_link.Stop();
    // Nothing of this connection reaches a receiver after Stop.
    m_pump.Clear();
    m_store.ClearStreams();
}

std::string NQuoteClient::MakeContractCode(
    int securityType, const std::string& commodityNo, const std::string& contractNo) const
{
    return ContractKey::Make(securityType, commodityNo, contractNo);
}

bool NQuoteClient::GetCommodityList(std::vector<pb::CommodityField>& out) const
{
    return m_link.GetCommodityList(out);
}

bool NQuoteClient::GetQuote(const std::string& key, pb::QuoteDetailField* out)
{
    return out && m_store.Read(key, out);
}

std::shared_ptr<const std::vector<pb::CommodityField>> NQuoteClient::SharedCommodityList() const
{
    return m_link.SharedCommodityList();
}

HeartBeatInfo NQuoteClient::GetHeartBeatInfo() const
{
    return m_link.GetHeartBeatInfo();
}

void NQuoteClient::SendHeartBeat()
{
    m_link.SendHeartBeat();
}

// ---- the quote API's callbacks ---------------------------------------------------------

void NQuoteClient::OnFrontConnected()
{
    m_link.OnFrontConnected();
}

void NQuoteClient::OnFrontDisconnected(int reason)
{
    m_link.OnFrontDisconnected(reason);
}

void NQuoteClient::OnRspLogin(const pb::RspLoginField*, const tagRspExParam& param)
{
    m_link.OnRspLogin(param);
}

void NQuoteClient::OnRspQryCommodityDetail(const pb::RspQryCommodityDetailField* rsp, const tagRspExParam&)
{
    m_link.OnRspQryCommodityDetail(m_textBounds.Enter(rsp));
}

void NQuoteClient::OnRspHeartBeat(const pb::HeartBeatField*, const tagRspExParam&)
{
    m_link.OnRspHeartBeat();
}

void NQuoteClient::OnRspLogout(const tagRspExParam&) { }

void NQuoteClient::OnRspQryCommodity(const pb::RspQryCommodityField*, const tagRspExParam&) { }

void NQuoteClient::OnRspHisMoneyFlow(const pb::RspHisMoneyFlowField*, const tagRspExParam&) { }

void NQuoteClient::OnRtnQuote(const pb::QuoteDetailField* quote)
{
    quote = m_textBounds.Enter(quote);
    if (!quote)
        return;
    bool logStray = false;
    // Handed on outside the cache lock: the GUI thread's refresh reads the
    // cache meanwhile. The hand-off keeps the slot only; the quote is copied
    // out of the cache when the GUI thread takes the batch.
    const std::uint32_t slot = m_store.Store(*quote, &logStray);
    if (slot != QuoteStore::kNoSlot)
        m_pump.PushQuote(slot);
    else if (logStray)
        WriteLog(
            LogWarn, "丢弃未订阅合约的行情: %s (本连接不再记录)", CutForLog(quote->contract_code()).c_str());
}

void NQuoteClient::OnRtnDepthQuote(const pb::DepthQuoteField* depth)
{
    depth = m_textBounds.Enter(depth);
    if (depth)
        m_pump.PushDepth(*depth, m_store.IsStreamed(depth->contract_code(), pb::MODE_DEPTH));
}

void NQuoteClient::OnRtnTicker(const pb::TickerField* ticker)
{
    ticker = m_textBounds.Enter(ticker);
    if (ticker)
        m_pump.PushTicker(*ticker, m_store.IsStreamed(ticker->contract_code(), pb::MODE_TICKER));
}

void NQuoteClient::OnRspQryHistory(const pb::RspReqQryHistoryField* rsp, const tagRspExParam&)
{
    rsp = m_textBounds.Enter(rsp);
    if (!rsp || !m_pump.PushKLine(*rsp))
        return;
    if (m_serverLog->Take(LogInfo))
        WriteLog(LogInfo, "查询K线性数据返回，K线类型: %d", static_cast<int>(rsp->period()));
}

void NQuoteClient::OnRspSubscribe(const pb::RspSubscribedField* rsp, const tagRspExParam&)
{
    if (!rsp)
        return;
    const int failures = rsp->fail_list_size();
    for (int i = 0; i < failures; ++i) {
        if (!m_serverLog->Take(LogError)) {
            // The rest would be left out as well; counted at once, a list of
            // millions costs no more than one entry.
            m_serverLog->LeaveOut(LogError, static_cast<std::uint64_t>(failures - i - 1));
            break;
        }
        const pb::RspSubscribedField::ErrContractField& failed = rsp->fail_list(i);
        WriteLog(LogError, "%s订阅失败原因:%s", CutForLog(failed.contract_code()).c_str(),
            Utf8ToAnsi(CutForLog(failed.err_msg())).c_str());
    }
}

void NQuoteClient::OnRspUnSubscribe(const tagRspExParam& param)
{
    if (!m_serverLog->Take(LogWarn))
        return;
    if (param.error_code != 0)
        WriteLog(LogWarn, "取消订阅失败,失败原因%s",
            Utf8ToAnsi(CutForLog(param.error_msg ? param.error_msg : "")).c_str());
    else
        WriteLog(LogWarn, "取消订阅成功");
}

// GUI thread: the pump's wake.
void NQuoteClient::customEvent(QEvent* event)
{
    if (!m_pump.OnEvent(event))
        QObject::customEvent(event);
}

// ---- requests of the window ----------------------------------------------------------

void NQuoteClient::SendForOneContract(bool subscribe, int mode, const std::string& key)
{
    std::shared_ptr<COstrelApi> api = m_link.Api();
    // Noted also while the line is down: the reconnection renews what the
    // window asked for meanwhile.
    if (subscribe)
        m_store.Stream(key, mode);
    else
        m_store.UnStream(key, mode);
    if (api)
        QuoteLink::SendOne(*api, subscribe, mode, key);
}

void NQuoteClient::SubscribeDepth(std::string key)
{
    SendForOneContract(true, pb::MODE_DEPTH, key);
}

void NQuoteClient::SubscribeTicker(std::string key)
{
    SendForOneContract(true, pb::MODE_TICKER, key);
}

void NQuoteClient::UnSubscribeDepth(std::string key)
{
    SendForOneContract(false, pb::MODE_DEPTH, key);
}

void NQuoteClient::UnSubscribeTicker(std::string key)
{
    SendForOneContract(false, pb::MODE_TICKER, key);
}

void NQuoteClient::QueryKLine(const std::string& key, int period)
{
    std::shared_ptr<COstrelApi> api = m_link.Api();
    if (!api)
        return;
    pb::ReqQryHistoryField request;
    request.set_contract_code(key);
    request.set_period(static_cast<pb::EnumKLineType>(period));
    request.set_count(500);
    request.set_begin_time(0);
    request.set_end_time(0);
    request.set_ask_or_bid(false);
    m_pump.ExpectKLine(key, period);
    api->ReqQryHistory(&request, kTagHistory);
    WriteLog(LogInfo, "开始查询K线性数据，K线类型: %d", period);
}
