#include "nquoteclient.h"

#include <algorithm>
#include <chrono>
#include <thread>
#include <type_traits>
#include <utility>

#include "contractkey.h"
#include "helpers.h"
#include "logger.h"
#include "timer.h"
#include "tradeconfig.h"

namespace pb = kw::pb::ostrel2;

namespace
{

constexpr int kWaitMs = 5000;
constexpr std::int64_t kHeartBeatDelayMs = 5000;
// 5 s in the scheduler's 100-ns ticks.
constexpr std::int64_t kReconnectDelayTicks = 50000000;
constexpr std::int64_t kTicksPerMs = 10000;
constexpr std::int64_t kDropLogIntervalMs = 10000;
// The shortest time between two batches handed to the GUI thread.
constexpr qint64 kDrainIntervalMs = 5;

constexpr const char* kTagLogin = "321456";
constexpr const char* kTagCommodity = "123456";
constexpr const char* kTagSubscribeAll = "321456";
constexpr const char* kTagSubscribe = "2356";
constexpr const char* kTagUnSubscribe = "dev_wy";
constexpr const char* kTagHistory = "hh";
constexpr const char* kTagHeartBeat = "fdff";

std::int64_t SteadyMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// A token bucket for the lines a server can set off. Each such line is at
// most a few KiB (server texts are cut), so the budget bounds the log's growth
// whatever the server sends, while the few lines of normal operation pass.
class ServerLogBudget
{
public:
    // True when the caller may write its line now; otherwise the line is
    // counted as left out. The first line let through after a shortage is
    // preceded by one that says how many were left out.
    bool Take()
    {
        std::uint64_t leftOut = 0;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            const std::int64_t now = SteadyMs();
            // In thousandths of a line: one millisecond earns kServerLogPerSecond of them.
            m_milliLines = std::min(m_milliLines + (now - m_lastMs) * NQuoteClient::kServerLogPerSecond,
                std::int64_t { NQuoteClient::kServerLogBurst } * 1000);
            m_lastMs = now;
            if (m_milliLines < 1000) {
                ++m_leftOut;
                return false;
            }
            m_milliLines -= 1000;
            leftOut = std::exchange(m_leftOut, 0);
        }
        if (leftOut != 0)
            WriteLog(LogWarn, "行情服务器引发的日志过多，已略去 %llu 行",
                static_cast<unsigned long long>(leftOut));
        return true;
    }

    void LeaveOut(std::uint64_t lines)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_leftOut += lines;
    }

private:
    std::mutex m_mutex;
    std::int64_t m_milliLines = std::int64_t { NQuoteClient::kServerLogBurst } * 1000;
    std::int64_t m_lastMs = 0;
    std::uint64_t m_leftOut = 0;
};

// Shared by the client's reply lines and the quote API's diagnostics; constant
// initialised, so it outlives the client and the API's threads at exit.
ServerLogBudget g_serverLog;

// The quote API's own diagnostics (dropped frames, unknown methods, closed
// connections) belong in the terminal's log beside the client's lines.
void ForwardApiLog(int level, const char* text)
{
    if (g_serverLog.Take())
        WriteLog(level, "OstrelApi: %s", CutForLog(text ? text : "", 2 * kLogTextLimit).c_str());
}

std::int64_t NowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::system_clock::now().time_since_epoch())
        .count();
}

} // namespace

NQuoteClient* NQuoteClient::Instance()
{
    static NQuoteClient client;
    return &client;
}

NQuoteClient::NQuoteClient()
    : m_reconnectTimer(std::make_unique<GenerTools::timer>())
    , m_heartBeatTimer(std::make_unique<GenerTools::timer>())
    , m_handoff([this] {
        QMetaObject::invokeMethod(
            this, [this] { DrainHandoff(); }, Qt::QueuedConnection);
    })
{
    // Made first, so it runs before disconnect_sig is queued to anyone: what
    // came before the loss is emitted before it, what comes after behind it.
    // The wake posted here comes ahead of the queued loss even when the
    // batch's own wake was held back for the drain interval.
    connect(
        this, &NQuoteClient::disconnect_sig, this,
        [this] {
            if (m_handoff.Seal())
                QMetaObject::invokeMethod(
                    this, [this] { DrainHandoff(); }, Qt::QueuedConnection);
        },
        Qt::DirectConnection);
    m_drainTimer.setSingleShot(true);
    m_drainTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_drainTimer, &QTimer::timeout, this, [this] { DrainHandoff(); });
    qRegisterMetaType<nsquote::QuoteDetailField>("nsquote::QuoteDetailField");
    qRegisterMetaType<nsquote::RspReqQryHistoryField>("nsquote::RspReqQryHistoryField");
    qRegisterMetaType<nsquote::DepthQuoteField>("nsquote::DepthQuoteField");
    qRegisterMetaType<nsquote::TickerField>("nsquote::TickerField");
    COstrelApi::SetLogHandler(&ForwardApiLog);
}

// The API's thread calls into this object; it must be gone, and no reconnect
// thread left running, before the members are.
NQuoteClient::~NQuoteClient()
{
    Stop();
}

std::string NQuoteClient::MakeContractCode(
    int securityType, const std::string& commodityNo, const std::string& contractNo) const
{
    return ContractKey::Make(securityType, commodityNo, contractNo);
}

bool NQuoteClient::GetCommodityList(std::vector<pb::CommodityField>& out) const
{
    std::lock_guard<std::mutex> lock(m_commodityMutex);
    if (m_commodityList.empty())
        return false;
    out.insert(out.end(), m_commodityList.begin(), m_commodityList.end());
    return true;
}

HeartBeatInfo NQuoteClient::GetHeartBeatInfo() const
{
    std::lock_guard<std::mutex> lock(m_heartBeatMutex);
    return m_heartBeat;
}

std::shared_ptr<COstrelApi> NQuoteClient::Api() const
{
    std::lock_guard<std::mutex> lock(m_apiMutex);
    return m_api;
}

std::shared_ptr<COstrelApi> NQuoteClient::TakeApi()
{
    std::lock_guard<std::mutex> lock(m_apiMutex);
    return std::move(m_api);
}

// ---- connect sequence ---------------------------------------------------------

template <typename Reply> void NQuoteClient::Arm(ResponseWaiter<Reply>& waiter)
{
    std::lock_guard<std::mutex> lock(waiter.mutex);
    waiter.ready = false;
}

template <typename Reply>
NQuoteClient::WaitResult NQuoteClient::Await(ResponseWaiter<Reply>& waiter, Reply* out)
{
    // One deadline for the whole wait: spurious wake-ups must not extend it.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
    std::unique_lock<std::mutex> lock(waiter.mutex);
    waiter.cond.wait_until(
        lock, deadline, [&] { return waiter.ready || m_stopping || m_lostWhileConnecting; });
    if (!waiter.ready)
        return (m_stopping || m_lostWhileConnecting) ? WaitResult::Aborted : WaitResult::TimedOut;
    if constexpr (!std::is_same_v<Reply, NoReply>)
        out->Swap(&waiter.reply);
    else
        (void)out;
    return WaitResult::Ready;
}

template <typename Reply, typename Fill> void NQuoteClient::Deliver(ResponseWaiter<Reply>& waiter, Fill fill)
{
    {
        std::lock_guard<std::mutex> lock(waiter.mutex);
        fill(waiter.reply);
        waiter.ready = true;
    }
    waiter.cond.notify_all();
}

void NQuoteClient::WakeWaiters()
{
    // Taking each mutex once orders the flag change before any waiter's next
    // look at its predicate, so no wake-up is lost.
    {
        std::lock_guard<std::mutex> lock(m_connectedWaiter.mutex);
    }
    m_connectedWaiter.cond.notify_all();
    {
        std::lock_guard<std::mutex> lock(m_loginWaiter.mutex);
    }
    m_loginWaiter.cond.notify_all();
    {
        std::lock_guard<std::mutex> lock(m_commodityWaiter.mutex);
    }
    m_commodityWaiter.cond.notify_all();
}

bool NQuoteClient::Connect()
{
    // A client stopped earlier may be connected again. Stop leaves the started
    // flag as it was; until this sequence completes nothing is started, so a
    // line that drops meanwhile ends the attempt and is no loss of a started
    // connection.
    if (m_stopping.exchange(false))
        m_started = false;
    return ConnectSequence();
}

bool NQuoteClient::ConnectSequence()
{
    const TradeConfig* config = TradeConfig::GetInstance();

    std::shared_ptr<COstrelApi> api;
    {
        std::lock_guard<std::mutex> lock(m_apiMutex);
        if (m_stopping)
            return false;
        if (!m_api) {
            COstrelApi* created = COstrelApi::CreateApi();
            if (!created)
                return false;
            m_api.reset(created, [](COstrelApi* p) { COstrelApi::DeleteApi(p); });
            m_api->RegisterSpi(this);
        }
        api = m_api;
    }

    {
        // A beat of an earlier connection is awaited no more.
        std::lock_guard<std::mutex> lock(m_heartBeatMutex);
        m_heartBeatAwaited = false;
        m_strayHeartBeatLogged = false;
    }
    m_lastAttemptMs = SteadyMs();
    Arm(m_connectedWaiter);
    m_lostWhileConnecting = false;
    if (api->Connect(config->ip.c_str(), config->port) != 0)
        return false;
    if (Await<NoReply>(m_connectedWaiter, nullptr) != WaitResult::Ready)
        return false;

    pb::ReqLoginField login;
    login.set_user_name(config->username);
    login.set_password(config->password);
    login.set_protoc_version("2.0");
    Arm(m_loginWaiter);
    if (api->ReqLogin(&login, kTagLogin) != 0)
        return false;
    pb::RspLoginField loginReply;
    if (Await(m_loginWaiter, &loginReply) != WaitResult::Ready)
        return false;

    pb::ReqQryCommodityField query;
    Arm(m_commodityWaiter);
    if (api->ReqQryCommodityDetail(&query, kTagCommodity) != 0)
        return false;
    pb::RspQryCommodityDetailField commodities;
    if (Await(m_commodityWaiter, &commodities) != WaitResult::Ready)
        return false;

    pb::ReqSubscribedField subscribe;
    subscribe.set_mode(pb::MODE_SNAP);
    {
        std::lock_guard<std::mutex> lock(m_commodityMutex);
        // Replacing rather than appending keeps the list free of duplicates
        // when a client that was stopped while connected connects again.
        m_commodityList.assign(commodities.commodity_list().begin(), commodities.commodity_list().end());
        for (const pb::CommodityField& commodity : m_commodityList) {
            if (commodity.contract_no_list_size() == 0) {
                subscribe.add_contract_list(
                    MakeContractCode(commodity.security_type(), commodity.commodity_no(), std::string()));
                continue;
            }
            for (const pb::CommodityField::ContractNoList& contract : commodity.contract_no_list())
                subscribe.add_contract_list(MakeContractCode(
                    commodity.security_type(), commodity.commodity_no(), contract.contract_no()));
        }
    }
    {
        std::lock_guard<std::mutex> lock(m_quoteMutex);
        m_snapshotKeys.clear();
        m_snapshotKeys.insert(subscribe.contract_list().begin(), subscribe.contract_list().end());
        m_strayQuoteLogged = false;
    }
    api->ReqSubscribe(&subscribe, kTagSubscribeAll);

    {
        std::lock_guard<std::mutex> lock(m_schedulerMutex);
        if (m_stopping)
            return false;
        ++m_session;
        m_reconnectTimer->Start();
        {
            // A line lost since the commodity reply would leave a started
            // client that nobody reconnects; this attempt fails instead and
            // the caller's retry takes over.
            std::lock_guard<std::mutex> start(m_startMutex);
            if (m_lostWhileConnecting)
                return false;
            m_started = true;
        }
        m_heartBeatTimer->Start();
    }
    SendHeartBeat();
    return true;
}

void NQuoteClient::OnFrontConnected()
{
    Deliver(m_connectedWaiter, [](NoReply&) {});
}

void NQuoteClient::OnRspLogin(const pb::RspLoginField* rsp, const tagRspExParam&)
{
    Deliver(m_loginWaiter, [rsp](pb::RspLoginField& slot) {
        if (rsp)
            slot.CopyFrom(*rsp);
        else
            slot.Clear();
    });
}

void NQuoteClient::OnRspQryCommodityDetail(const pb::RspQryCommodityDetailField* rsp, const tagRspExParam&)
{
    Deliver(m_commodityWaiter, [rsp](pb::RspQryCommodityDetailField& slot) {
        if (rsp)
            slot.CopyFrom(*rsp);
        else
            slot.Clear();
    });
}

void NQuoteClient::OnRspLogout(const tagRspExParam&) { }

void NQuoteClient::OnRspQryCommodity(const pb::RspQryCommodityField*, const tagRspExParam&) { }

void NQuoteClient::OnRspHisMoneyFlow(const pb::RspHisMoneyFlowField*, const tagRspExParam&) { }

// ---- heartbeat ------------------------------------------------------------------

void NQuoteClient::SendHeartBeat()
{
    std::shared_ptr<COstrelApi> api = Api();
    {
        std::lock_guard<std::mutex> lock(m_heartBeatMutex);
        m_heartBeat.sendTime = NowMs();
        m_heartBeat.replyTime = 0;
        m_heartBeat.latency = 0;
        // Set before the beat leaves: its reply may come before the call returns.
        m_heartBeatAwaited = api != nullptr;
    }
    if (api) {
        pb::HeartBeatField beat;
        beat.set_ref("11222");
        api->ReqHeartBeat(&beat, kTagHeartBeat);
    }
}

void NQuoteClient::OnRspHeartBeat(const pb::HeartBeatField*, const tagRspExParam&)
{
    bool counted = false;
    bool logStray = false;
    {
        std::lock_guard<std::mutex> lock(m_heartBeatMutex);
        if (!m_heartBeatAwaited) {
            logStray = !m_strayHeartBeatLogged;
            m_strayHeartBeatLogged = true;
        } else {
            counted = true;
            m_heartBeatAwaited = false;
            m_heartBeat.replyTime = NowMs();
            m_heartBeat.latency = static_cast<std::int32_t>(m_heartBeat.replyTime - m_heartBeat.sendTime);
        }
    }
    if (logStray)
        WriteLog(LogWarn, "丢弃未请求的心跳回复 (本连接不再记录)");
    if (!counted)
        return;
    const std::uint64_t session = m_session;
    m_heartBeatTimer->AddTask(kHeartBeatDelayMs, [this, session] {
        if (m_session == session)
            SendHeartBeat();
    });
}

// ---- loss of connection and reconnection -------------------------------------------

void NQuoteClient::OnFrontDisconnected(int)
{
    if (m_stopping)
        return;
    bool wasStarted;
    {
        std::lock_guard<std::mutex> lock(m_startMutex);
        wasStarted = m_started.exchange(false);
        if (!wasStarted)
            m_lostWhileConnecting = true;
    }
    if (!wasStarted) {
        // A connect attempt is under way (or none is): its wait ends now rather
        // than at its deadline.
        WakeWaiters();
        return;
    }
    emit disconnect_sig();
    {
        std::lock_guard<std::mutex> lock(m_commodityMutex);
        m_commodityList.clear();
    }
    {
        std::lock_guard<std::mutex> lock(m_quoteMutex);
        m_quotes.clear();
        m_snapshotKeys.clear();
        m_streamKeys.clear();
    }
    {
        std::lock_guard<std::mutex> lock(m_reconnectMutex);
        if (m_stopping)
            return;
        ++m_reconnectThreads;
    }
    std::thread([this] {
        Reconnect();
        // Notified under the lock: once Stop sees the count at 0 this thread
        // touches the client no more.
        std::lock_guard<std::mutex> lock(m_reconnectMutex);
        --m_reconnectThreads;
        m_reconnectDone.notify_all();
    }).detach();
}

void NQuoteClient::Reconnect()
{
    if (m_stopping)
        return;
    {
        std::lock_guard<std::mutex> lock(m_schedulerMutex);
        m_heartBeatTimer->Stop();
    }
    // Released here unless a request still holds it; then it goes when that returns.
    TakeApi().reset();

    const std::int64_t waitMs = m_lastAttemptMs + kReconnectDelayTicks / kTicksPerMs - SteadyMs();
    if (waitMs > 0) {
        ScheduleReconnect(waitMs * kTicksPerMs);
        return;
    }
    WriteLog(LogInfo, "行情重连……");
    if (ConnectSequence()) {
        WriteLog(LogInfo, "行情重连成功");
        return;
    }
    if (m_stopping)
        return;
    WriteLog(LogInfo, "行情重连失败，稍候再试");
    ScheduleReconnect(kReconnectDelayTicks);
}

void NQuoteClient::ScheduleReconnect(std::int64_t delayTicks)
{
    const std::uint64_t session = m_session;
    m_reconnectTimer->AddTaskAfter(GenerTools::timer::Ticks(delayTicks), [this, session] {
        if (m_session == session)
            Reconnect();
    });
}

void NQuoteClient::Stop()
{
    {
        // Under the scheduler lock: a connect that is about to start the
        // schedulers either finishes first or sees the flag.
        std::lock_guard<std::mutex> scheduler(m_schedulerMutex);
        std::lock_guard<std::mutex> threads(m_reconnectMutex);
        m_stopping = true;
        ++m_session;
    }
    WakeWaiters();
    m_reconnectTimer->Stop();
    {
        std::unique_lock<std::mutex> lock(m_reconnectMutex);
        m_reconnectDone.wait(lock, [this] { return m_reconnectThreads == 0; });
    }
    {
        std::lock_guard<std::mutex> lock(m_schedulerMutex);
        m_heartBeatTimer->Stop();
    }
    TakeApi().reset();
    // Nothing of this connection reaches a receiver after Stop.
    m_handoff.Clear();
    m_klineDropLogMs = 0;
    m_depthDropLogMs = 0;
    std::lock_guard<std::mutex> lock(m_quoteMutex);
    m_streamKeys.clear();
}

// ---- quotes, depth, trades, K-lines --------------------------------------------------

bool NQuoteClient::IsSubscribedLocked(const std::string& key) const
{
    return m_snapshotKeys.count(key) != 0 || m_streamKeys.count(key) != 0;
}

void NQuoteClient::OnRtnQuote(const pb::QuoteDetailField* quote)
{
    if (!quote)
        return;
    bool subscribed = false;
    bool logStray = false;
    {
        std::lock_guard<std::mutex> lock(m_quoteMutex);
        subscribed = IsSubscribedLocked(quote->contract_code());
        if (subscribed) {
            // CopyFrom clears first: a field the new quote leaves empty reads empty.
            m_quotes[quote->contract_code()].CopyFrom(*quote);
        } else {
            logStray = !m_strayQuoteLogged;
            m_strayQuoteLogged = true;
        }
    }
    // Handed on outside the cache lock: the GUI thread's refresh reads the
    // cache meanwhile.
    if (subscribed)
        m_handoff.PushQuote(*quote);
    else if (logStray)
        WriteLog(
            LogWarn, "丢弃未订阅合约的行情: %s (本连接不再记录)", CutForLog(quote->contract_code()).c_str());
}

bool NQuoteClient::GetQuote(const std::string& key, pb::QuoteDetailField* out)
{
    if (!out)
        return false;
    std::lock_guard<std::mutex> lock(m_quoteMutex);
    const auto it = m_quotes.find(key);
    if (it == m_quotes.end())
        return false;
    out->CopyFrom(it->second);
    return true;
}

void NQuoteClient::OnRtnDepthQuote(const pb::DepthQuoteField* depth)
{
    if (!depth)
        return;
    bool subscribed = false;
    {
        std::lock_guard<std::mutex> lock(m_quoteMutex);
        const auto it = m_streamKeys.find(depth->contract_code());
        subscribed = it != m_streamKeys.end() && (it->second & (1u << pb::MODE_DEPTH)) != 0;
    }
    m_handoff.PushDepth(*depth, subscribed);
    if (!subscribed)
        LogDropped(false);
}

void NQuoteClient::OnRtnTicker(const pb::TickerField* ticker)
{
    if (ticker)
        m_handoff.PushTicker(*ticker);
}

void NQuoteClient::OnRspQryHistory(const pb::RspReqQryHistoryField* rsp, const tagRspExParam&)
{
    if (!rsp)
        return;
    if (!m_handoff.PushKLine(*rsp)) {
        LogDropped(true);
        return;
    }
    if (g_serverLog.Take())
        WriteLog(LogInfo, "查询K线性数据返回，K线类型: %d", static_cast<int>(rsp->period()));
}

// Receiving thread: at most one line of a kind per interval, with the count
// since the last one; the first drop of a connection is logged at once.
void NQuoteClient::LogDropped(bool klines)
{
    std::atomic<std::int64_t>& lastMs = klines ? m_klineDropLogMs : m_depthDropLogMs;
    const std::int64_t now = SteadyMs();
    const std::int64_t last = lastMs;
    if (last != 0 && now - last < kDropLogIntervalMs)
        return;
    const std::uint64_t count = m_handoff.TakeDropped(klines);
    if (count == 0)
        return;
    lastMs = now;
    if (klines)
        WriteLog(LogWarn, "丢弃未请求或重复的K线回复 %llu 个", static_cast<unsigned long long>(count));
    else
        WriteLog(
            LogWarn, "未订阅深度的合约过多，丢弃深度行情 %llu 条", static_cast<unsigned long long>(count));
}

// GUI thread, for a wake: emits the oldest waiting batch. Batches are taken
// at most once per kDrainIntervalMs; a wake that comes sooner waits for the
// rest of the interval while the batch goes on collecting, so a fast stream
// costs the GUI thread a wake-up per interval rather than one per message.
// A receiver that runs the event loop itself may bring a second drain here
// while the first still emits; it takes the next batch into storage of its own.
void NQuoteClient::DrainHandoff()
{
    // A sealed batch goes at once: the loss queued behind it must find it gone.
    const qint64 sinceMs = m_drainClock.isValid() ? m_drainClock.elapsed() : kDrainIntervalMs;
    if (sinceMs < kDrainIntervalMs && !m_handoff.HasSealed()) {
        if (!m_drainTimer.isActive())
            m_drainTimer.start(static_cast<int>(kDrainIntervalMs - sinceMs));
        return;
    }
    m_drainClock.start();
    QuoteHandoff::Batch nested;
    QuoteHandoff::Batch& batch = m_draining ? nested : m_drainBatch;
    const bool outer = !m_draining;
    m_draining = true;
    bool sealed = false;
    if (m_handoff.Take(batch, &sealed)) {
        batch.ForEach([this](const pb::QuoteDetailField& q) { emit quote_sig(q); },
            [this](const pb::DepthQuoteField& d) { emit depth_quote_sig(d); },
            [this](const pb::TickerField& t) { emit ticker_quote_sig(t); },
            [this](const pb::RspReqQryHistoryField& k) { emit Kline_sig(k); });
        batch.Clear();
    }
    if (outer)
        m_draining = false;
    // The wake of the batch after a sealed one may have come while this one
    // waited for its interval: it is taken in a later pass, behind what was
    // queued meanwhile (the loss of connection among it).
    if (sealed && m_handoff.Waiting())
        QMetaObject::invokeMethod(
            this, [this] { DrainHandoff(); }, Qt::QueuedConnection);
}

void NQuoteClient::OnRspSubscribe(const pb::RspSubscribedField* rsp, const tagRspExParam&)
{
    if (!rsp)
        return;
    const int failures = rsp->fail_list_size();
    for (int i = 0; i < failures; ++i) {
        if (!g_serverLog.Take()) {
            // The rest would be left out as well; counted at once, a list of
            // millions costs no more than one entry.
            g_serverLog.LeaveOut(static_cast<std::uint64_t>(failures - i - 1));
            break;
        }
        const pb::RspSubscribedField::ErrContractField& failed = rsp->fail_list(i);
        WriteLog(LogError, "%s订阅失败原因:%s", CutForLog(failed.contract_code()).c_str(),
            Utf8ToAnsi(CutForLog(failed.err_msg())).c_str());
    }
}

void NQuoteClient::OnRspUnSubscribe(const tagRspExParam& param)
{
    if (!g_serverLog.Take())
        return;
    if (param.error_code != 0)
        WriteLog(LogWarn, "取消订阅失败,失败原因%s",
            Utf8ToAnsi(CutForLog(param.error_msg ? param.error_msg : "")).c_str());
    else
        WriteLog(LogWarn, "取消订阅成功");
}

// ---- requests of the window ----------------------------------------------------------

namespace
{

// One contract in one mode; results come back as a subscription reply
// (errors logged) or an unsubscription reply (logged either way).
template <typename Request> void SendOne(COstrelApi& api, int mode, const std::string& key)
{
    Request request;
    request.set_mode(static_cast<pb::EnumSubMode>(mode));
    request.add_contract_list(key);
    if constexpr (std::is_same_v<Request, pb::ReqSubscribedField>)
        api.ReqSubscribe(&request, kTagSubscribe);
    else
        api.ReqUnSubscribe(&request, kTagUnSubscribe);
}

} // namespace

template <typename Request> void NQuoteClient::SendForOneContract(int mode, const std::string& key)
{
    std::shared_ptr<COstrelApi> api = Api();
    if (!api)
        return;
    {
        std::lock_guard<std::mutex> lock(m_quoteMutex);
        const unsigned bit = 1u << mode;
        if constexpr (std::is_same_v<Request, pb::ReqSubscribedField>) {
            m_streamKeys[key] |= bit;
        } else {
            const auto it = m_streamKeys.find(key);
            if (it != m_streamKeys.end() && (it->second &= ~bit) == 0) {
                m_streamKeys.erase(it);
                if (!IsSubscribedLocked(key))
                    m_quotes.erase(key);
            }
        }
    }
    SendOne<Request>(*api, mode, key);
}

void NQuoteClient::SubscribeDepth(std::string key)
{
    SendForOneContract<pb::ReqSubscribedField>(pb::MODE_DEPTH, key);
}

void NQuoteClient::SubscribeTicker(std::string key)
{
    SendForOneContract<pb::ReqSubscribedField>(pb::MODE_TICKER, key);
}

void NQuoteClient::UnSubscribeDepth(std::string key)
{
    SendForOneContract<pb::ReqUnSubscribedField>(pb::MODE_DEPTH, key);
}

void NQuoteClient::UnSubscribeTicker(std::string key)
{
    SendForOneContract<pb::ReqUnSubscribedField>(pb::MODE_TICKER, key);
}

void NQuoteClient::QueryKLine(const std::string& key, int period)
{
    std::shared_ptr<COstrelApi> api = Api();
    if (!api)
        return;
    pb::ReqQryHistoryField request;
    request.set_contract_code(key);
    request.set_period(static_cast<pb::EnumKLineType>(period));
    request.set_count(500);
    request.set_begin_time(0);
    request.set_end_time(0);
    request.set_ask_or_bid(false);
    // Before it leaves: the reply may come before the call returns.
    m_handoff.ExpectKLine(key, period);
    api->ReqQryHistory(&request, kTagHistory);
    WriteLog(LogInfo, "开始查询K线性数据，K线类型: %d", period);
}
