#include "nquoteclient.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <thread>
#include <type_traits>
#include <utility>

#include <QCoreApplication>
#include <QEvent>

#include "contractkey.h"
#include "happensbefore.h"
#include "helpers.h"
#include "logbudget.h"
#include "logger.h"
#include "timer.h"
#include "tradeconfig.h"

namespace pb = kw::pb::ostrel2;

namespace
{

// What the hand-off left out is logged at most this often per kind.
constexpr std::int64_t kDropLogIntervalMs = 10000;
// The shortest time between two batches handed to the GUI thread.
constexpr qint64 kDrainIntervalMs = 5;
// Unanswered heartbeats whose send times are kept.
constexpr std::size_t kBeatsRemembered = 8;

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

std::int64_t NowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::system_clock::now().time_since_epoch())
        .count();
}

} // namespace

// ---- log budget -------------------------------------------------------------------

// The quote API's own diagnostics (dropped frames, unknown methods, closed
// connections) belong in the terminal's log beside the client's lines. The
// API calls this only while an API object exists, and the client releases
// every one before it goes.
void NQuoteClient::ForwardApiLog(int level, const char* text)
{
    if (Instance()->m_serverLog->Take(level))
        WriteLog(level, "OstrelApi: %s", CutForLog(text ? text : "", 2 * kLogTextLimit).c_str());
}

// ---- the client ---------------------------------------------------------------------

NQuoteClient* NQuoteClient::Instance()
{
    static NQuoteClient client;
    return &client;
}

NQuoteClient::NQuoteClient()
    : m_reconnectTimer(std::make_unique<GenerTools::timer>())
    , m_heartBeatTimer(std::make_unique<GenerTools::timer>())
    , m_serverLog(std::make_unique<LogBudget>(kServerLogBurst, "行情服务器引发的日志过多"))
    , m_textBounds([this](int level) { return m_serverLog->Take(level); })
    , m_handoff([this] { PostWake(); },
          [this](const std::vector<std::uint32_t>& numbers, std::vector<pb::QuoteDetailField>& out) {
              return m_store.CopyFresh(numbers, out);
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
                PostWake();
        },
        Qt::DirectConnection);
    m_drainTimer.setSingleShot(true);
    m_drainTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_drainTimer, &QTimer::timeout, this, [this] { DrainHandoff(); });
    qRegisterMetaType<nsquote::QuoteDetailField>("nsquote::QuoteDetailField");
    qRegisterMetaType<nsquote::RspReqQryHistoryField>("nsquote::RspReqQryHistoryField");
    qRegisterMetaType<nsquote::DepthQuoteField>("nsquote::DepthQuoteField");
    qRegisterMetaType<nsquote::TickerField>("nsquote::TickerField");
    m_serverLog->Reset(m_timings.logLineEvery, m_timings.logSummaryDelay);
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
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_timings = timings;
    }
    m_serverLog->Reset(timings.logLineEvery, timings.logSummaryDelay);
}

void NQuoteClient::Reset()
{
    Stop();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_epoch;
        m_attempt = Attempt();
        m_commodityList.reset();
        m_heartBeat = HeartBeatInfo();
        m_beatsOut.clear();
        m_strayHeartBeatLogged = false;
        m_lastAttemptMs = 0;
    }
    {
        std::lock_guard<std::mutex> lock(m_quoteMutex);
        m_store.ClearLocked();
        m_strayQuoteLogged = false;
    }
    m_textBounds.Rearm();
    SetTimings(Timings());
}

std::string NQuoteClient::MakeContractCode(
    int securityType, const std::string& commodityNo, const std::string& contractNo) const
{
    return ContractKey::Make(securityType, commodityNo, contractNo);
}

bool NQuoteClient::GetCommodityList(std::vector<pb::CommodityField>& out) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_commodityList)
        return false;
    out.insert(out.end(), m_commodityList->begin(), m_commodityList->end());
    return true;
}

std::shared_ptr<const std::vector<pb::CommodityField>> NQuoteClient::SharedCommodityList() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_commodityList;
}

HeartBeatInfo NQuoteClient::GetHeartBeatInfo() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_heartBeat;
}

bool NQuoteClient::IsConnected() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_state == LinkState::Connected;
}

std::shared_ptr<COstrelApi> NQuoteClient::Api() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_api;
}

// ---- connect sequence ---------------------------------------------------------

void NQuoteClient::Arm(Awaited awaited)
{
    // Before the request goes out: a reply that comes before the wait begins is still taken.
    std::lock_guard<std::mutex> lock(m_mutex);
    m_attempt.awaited = awaited;
    m_attempt.answered = false;
}

bool NQuoteClient::Await(COstrelApi* api)
{
    using Clock = std::chrono::steady_clock;
    std::unique_lock<std::mutex> lock(m_mutex);
    // One deadline for the whole wait: spurious wake-ups must not extend it.
    const Clock::time_point start = Clock::now();
    const Clock::time_point limit = start + std::max(m_timings.replyWaitLimit, m_timings.replyWait);
    Clock::time_point deadline = start + m_timings.replyWait;
    const auto done
        = [&] { return m_attempt.answered || m_attempt.lineLost || m_state != LinkState::Connecting; };
    while (!m_changed.wait_until(lock, std::min(deadline, limit), done)) {
        if (!api || Clock::now() >= limit)
            break;
        // A large reply on a slow line is still arriving: the wait runs from
        // its latest bytes. The API is asked without our lock.
        lock.unlock();
        const int idleMs = api->GetRecvIdleTime();
        lock.lock();
        const Clock::time_point lastBytes = Clock::now() - std::chrono::milliseconds(idleMs);
        if (idleMs < 0 || lastBytes + m_timings.replyWait <= deadline)
            break;
        deadline = lastBytes + m_timings.replyWait;
    }
    m_attempt.awaited = Awaited::Nothing;
    return m_attempt.answered;
}

template <typename Fill> void NQuoteClient::Answer(Awaited awaited, Fill fill)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        // A reply that no sequence waits for (late, or unasked) is dropped.
        if (m_state != LinkState::Connecting || m_attempt.awaited != awaited)
            return;
        fill(m_attempt);
        m_attempt.answered = true;
    }
    m_changed.notify_all();
}

bool NQuoteClient::Connect()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_state != LinkState::Idle)
            return false;
        m_state = LinkState::Connecting;
    }
    if (ConnectSequence())
        return true;
    EndFailedAttempt(LinkState::Idle);
    return false;
}

bool NQuoteClient::EndFailedAttempt(LinkState next)
{
    bool stopped;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        stopped = m_state == LinkState::Stopping;
        m_state = stopped ? LinkState::Idle : next;
        m_attempt = Attempt();
    }
    m_changed.notify_all();
    return stopped;
}

bool NQuoteClient::ConnectSequence()
{
    const TradeConfig* config = TradeConfig::GetInstance();

    // Only the connecting thread changes the API object; requests read it.
    std::shared_ptr<COstrelApi> api = Api();
    if (!api) {
        COstrelApi* created = COstrelApi::CreateApi();
        if (!created)
            return false;
        api.reset(created, [](COstrelApi* p) { COstrelApi::DeleteApi(p); });
        api->RegisterSpi(this);
        std::lock_guard<std::mutex> lock(m_mutex);
        m_api = api;
    }

    {
        std::lock_guard<std::mutex> lock(m_mutex);
        // A beat of an earlier connection is awaited no more.
        m_beatsOut.clear();
        m_strayHeartBeatLogged = false;
        m_lastAttemptMs = SteadyMs();
        m_attempt = Attempt();
        if (m_state != LinkState::Connecting)
            return false;
    }
    // The sequence has waits of its own; silence counts once it is through.
    api->SetRecvTimeout(0);
    Arm(Awaited::Connected);
    if (api->Connect(config->ip.c_str(), config->port) != 0)
        return false;
    if (!Await())
        return false;

    pb::ReqLoginField login;
    login.set_user_name(config->username);
    login.set_password(config->password);
    login.set_protoc_version("2.0");
    Arm(Awaited::Login);
    if (api->ReqLogin(&login, kTagLogin) != 0 || !Await())
        return false;
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (m_attempt.refused) {
            const int code = m_attempt.refusalCode;
            const std::string text = m_attempt.refusalText;
            lock.unlock();
            if (m_serverLog->Take(LogError))
                WriteLog(LogError, "行情服务器拒绝登录: 错误码 %d, %s", code, Utf8ToAnsi(text).c_str());
            return false;
        }
    }

    pb::ReqQryCommodityField query;
    Arm(Awaited::Commodities);
    if (api->ReqQryCommodityDetail(&query, kTagCommodity) != 0 || !Await(api.get()))
        return false;

    pb::RspQryCommodityDetailField commodities;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        commodities.Swap(&m_attempt.commodities);
    }
    pb::ReqSubscribedField subscribe;
    subscribe.set_mode(pb::MODE_SNAP);
    for (const pb::CommodityField& commodity : commodities.commodity_list()) {
        if (commodity.contract_no_list_size() == 0) {
            subscribe.add_contract_list(
                MakeContractCode(commodity.security_type(), commodity.commodity_no(), std::string()));
            continue;
        }
        for (const pb::CommodityField::ContractNoList& contract : commodity.contract_no_list())
            subscribe.add_contract_list(MakeContractCode(
                commodity.security_type(), commodity.commodity_no(), contract.contract_no()));
    }
    {
        // A new list rather than a change of the old one, which the window may
        // still hold.
        auto list = commodities.commodity_list().empty()
            ? nullptr
            : std::make_shared<const std::vector<pb::CommodityField>>(
                commodities.commodity_list().begin(), commodities.commodity_list().end());
        std::lock_guard<std::mutex> lock(m_mutex);
        // Replacing rather than appending keeps the list free of duplicates
        // when a client that was stopped while connected connects again.
        m_commodityList = std::move(list);
    }
    {
        std::lock_guard<std::mutex> lock(m_quoteMutex);
        m_store.ReplaceSnapshotLocked(subscribe.contract_list());
        m_strayQuoteLogged = false;
    }
    m_textBounds.Rearm();
    api->ReqSubscribe(&subscribe, kTagSubscribeAll);
    RenewStreams(*api);
    std::int64_t silenceMs;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        silenceMs = m_timings.silenceLimit.count();
    }
    api->SetRecvTimeout(static_cast<int>(std::min<std::int64_t>(silenceMs, INT32_MAX)));

    // Started while this thread still alone controls the schedulers. Should
    // the line have dropped meanwhile, the attempt fails and its caller's
    // retry takes over; a running scheduler with nothing due costs nothing.
    m_reconnectTimer->Start();
    m_heartBeatTimer->Start();
    std::uint64_t epoch = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_state != LinkState::Connecting || m_attempt.lineLost)
            return false;
        m_state = LinkState::Connected;
        epoch = ++m_epoch;
        m_attempt = Attempt();
    }
    SendHeartBeat();
    ScheduleHeartBeat(epoch);
    return true;
}

void NQuoteClient::OnFrontConnected()
{
    Answer(Awaited::Connected, [](Attempt&) {});
}

void NQuoteClient::OnRspLogin(const pb::RspLoginField*, const tagRspExParam& param)
{
    Answer(Awaited::Login, [&param](Attempt& attempt) {
        attempt.refused = param.error_code != 0;
        if (attempt.refused) {
            attempt.refusalCode = param.error_code;
            attempt.refusalText = CutForLog(param.error_msg ? param.error_msg : "");
        }
    });
}

void NQuoteClient::OnRspQryCommodityDetail(const pb::RspQryCommodityDetailField* rsp, const tagRspExParam&)
{
    rsp = m_textBounds.Enter(rsp);
    Answer(Awaited::Commodities, [rsp](Attempt& attempt) {
        if (rsp)
            attempt.commodities.CopyFrom(*rsp);
        else
            attempt.commodities.Clear();
    });
}

void NQuoteClient::OnRspLogout(const tagRspExParam&) { }

void NQuoteClient::OnRspQryCommodity(const pb::RspQryCommodityField*, const tagRspExParam&) { }

void NQuoteClient::OnRspHisMoneyFlow(const pb::RspHisMoneyFlowField*, const tagRspExParam&) { }

// ---- heartbeat ------------------------------------------------------------------

void NQuoteClient::SendHeartBeat()
{
    std::shared_ptr<COstrelApi> api;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        api = m_api;
        const std::int64_t now = NowMs();
        // Noted before the beat leaves: its reply may come before the call returns.
        if (api) {
            if (m_beatsOut.size() >= kBeatsRemembered)
                m_beatsOut.pop_front();
            m_beatsOut.push_back(now);
        }
        // While beats go unanswered the wait shown runs from the first of them.
        m_heartBeat.sendTime = m_beatsOut.empty() ? now : m_beatsOut.front();
        m_heartBeat.replyTime = 0;
        m_heartBeat.latency = 0;
    }
    if (api) {
        pb::HeartBeatField beat;
        beat.set_ref("11222");
        api->ReqHeartBeat(&beat, kTagHeartBeat);
    }
}

void NQuoteClient::HeartBeatDue(std::uint64_t epoch)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (epoch != m_epoch)
            return;
    }
    SendHeartBeat();
    ScheduleHeartBeat(epoch);
}

// Beats go on their schedule whether or not the last was answered: a server
// that stops answering is then still asked, and its silence is noticed.
void NQuoteClient::ScheduleHeartBeat(std::uint64_t epoch)
{
    std::chrono::milliseconds delay;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        delay = m_timings.heartBeatDelay;
    }
    m_heartBeatTimer->AddTask(delay.count(), [this, epoch] { HeartBeatDue(epoch); });
}

void NQuoteClient::OnRspHeartBeat(const pb::HeartBeatField*, const tagRspExParam&)
{
    bool logStray = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_beatsOut.empty()) {
            logStray = !m_strayHeartBeatLogged;
            m_strayHeartBeatLogged = true;
        } else {
            // Replies come in the order of their beats.
            m_heartBeat.sendTime = m_beatsOut.front();
            m_beatsOut.pop_front();
            m_heartBeat.replyTime = NowMs();
            m_heartBeat.latency = static_cast<std::int32_t>(m_heartBeat.replyTime - m_heartBeat.sendTime);
        }
    }
    if (logStray)
        WriteLog(LogWarn, "丢弃未请求的心跳回复 (本连接不再记录)");
}

// ---- loss of connection and reconnection -------------------------------------------

namespace
{

const char* LossCause(int reason)
{
    switch (reason) {
    case OSTREL_DISCONNECT_CLOSED:
        return "行情服务器关闭了连接";
    case OSTREL_DISCONNECT_IO_ERROR:
        return "连接读写失败";
    case OSTREL_DISCONNECT_BAD_FRAME:
        return "行情服务器发来无法解析的数据";
    case OSTREL_DISCONNECT_IDLE:
        return "行情服务器长时间无任何数据";
    default:
        return "原因未知";
    }
}

} // namespace

void NQuoteClient::OnFrontDisconnected(int reason)
{
    std::uint64_t epoch = 0;
    std::chrono::milliseconds wait { 0 };
    std::int64_t silenceMs = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_state == LinkState::Connecting) {
            // The attempt under way fails now rather than at its deadline.
            m_attempt.lineLost = true;
            m_changed.notify_all();
            return;
        }
        if (m_state != LinkState::Connected)
            return;
        m_state = LinkState::Reconnecting;
        epoch = ++m_epoch;
        m_commodityList.reset();
        silenceMs = m_timings.silenceLimit.count();
        wait = std::chrono::milliseconds(
            std::max<std::int64_t>(0, m_lastAttemptMs + m_timings.reconnectDelay.count() - SteadyMs()));
    }
    if (reason == OSTREL_DISCONNECT_IDLE)
        WriteLog(LogWarn, "行情连接断开: %s (%lld 毫秒), 稍候重连", LossCause(reason),
            static_cast<long long>(silenceMs));
    else
        WriteLog(LogWarn, "行情连接断开: %s (%d), 稍候重连", LossCause(reason), reason);
    // The hand-off is sealed by this signal, which resolves the batch it
    // holds while the store still has this connection's quotes.
    emit disconnect_sig();
    {
        std::lock_guard<std::mutex> lock(m_quoteMutex);
        // The depth and trade subscriptions stay, for the reconnection to renew.
        m_store.ClearKeepingStreamsLocked();
    }
    // The first attempt runs at once on a thread of the reconnect scheduler,
    // unless the last one started less than the retry interval ago.
    ScheduleReconnect(wait, epoch);
}

void NQuoteClient::ScheduleReconnect(std::chrono::milliseconds delay, std::uint64_t epoch)
{
    m_reconnectTimer->AddTaskAfter(GenerTools::timer::Ticks(delay.count() * GenerTools::kTicksPerMs),
        [this, epoch] { Reconnect(epoch); });
}

void NQuoteClient::Reconnect(std::uint64_t epoch)
{
    std::chrono::milliseconds retry;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_state != LinkState::Reconnecting || epoch != m_epoch)
            return;
        m_state = LinkState::Connecting;
        retry = m_timings.reconnectDelay;
    }
    m_heartBeatTimer->Stop();
    std::shared_ptr<COstrelApi> old;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        old = std::move(m_api);
    }
    // Released here unless a request still holds it; then it goes when that returns.
    old.reset();

    WriteLog(LogInfo, "行情重连……");
    if (ConnectSequence()) {
        WriteLog(LogInfo, "行情重连成功");
        return;
    }
    if (EndFailedAttempt(LinkState::Reconnecting))
        return;
    WriteLog(LogInfo, "行情重连失败，稍候再试");
    ScheduleReconnect(retry, epoch);
}

void NQuoteClient::Stop()
{
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        ++m_epoch;
        if (m_state == LinkState::Connecting) {
            m_state = LinkState::Stopping;
            m_changed.notify_all();
            m_changed.wait(lock, [this] { return m_state != LinkState::Stopping; });
        }
        m_state = LinkState::Idle;
    }
    // No attempt runs now, and none starts: this thread alone controls the schedulers.
    m_reconnectTimer->Stop();
    m_heartBeatTimer->Stop();
    std::shared_ptr<COstrelApi> api;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        api = std::move(m_api);
    }
    api.reset();
    // Nothing of this connection reaches a receiver after Stop.
    m_handoff.Clear();
    m_klineDropLogMs = 0;
    m_depthDropLogMs = 0;
    std::lock_guard<std::mutex> lock(m_quoteMutex);
    m_store.ClearStreamsLocked();
}

// ---- quotes, depth, trades, K-lines --------------------------------------------------

void NQuoteClient::OnRtnQuote(const pb::QuoteDetailField* quote)
{
    quote = m_textBounds.Enter(quote);
    if (!quote)
        return;
    std::uint32_t slot;
    bool logStray = false;
    {
        std::lock_guard<std::mutex> lock(m_quoteMutex);
        slot = m_store.StoreLocked(*quote);
        if (slot == QuoteStore::kNoSlot) {
            logStray = !m_strayQuoteLogged;
            m_strayQuoteLogged = true;
        }
    }
    // Handed on outside the cache lock: the GUI thread's refresh reads the
    // cache meanwhile. The hand-off keeps the slot only; the quote is copied
    // out of the cache when the GUI thread takes the batch.
    if (slot != QuoteStore::kNoSlot)
        m_handoff.PushQuote(slot);
    else if (logStray)
        WriteLog(
            LogWarn, "丢弃未订阅合约的行情: %s (本连接不再记录)", CutForLog(quote->contract_code()).c_str());
}

bool NQuoteClient::GetQuote(const std::string& key, pb::QuoteDetailField* out)
{
    if (!out)
        return false;
    std::lock_guard<std::mutex> lock(m_quoteMutex);
    return m_store.ReadLocked(key, out);
}

bool NQuoteClient::IsStreamed(const std::string& key, int mode)
{
    std::lock_guard<std::mutex> lock(m_quoteMutex);
    return m_store.IsStreamedLocked(key, mode);
}

void NQuoteClient::OnRtnDepthQuote(const pb::DepthQuoteField* depth)
{
    depth = m_textBounds.Enter(depth);
    if (!depth)
        return;
    const bool subscribed = IsStreamed(depth->contract_code(), pb::MODE_DEPTH);
    m_handoff.PushDepth(*depth, subscribed);
    if (!subscribed)
        LogDropped(false);
}

void NQuoteClient::OnRtnTicker(const pb::TickerField* ticker)
{
    ticker = m_textBounds.Enter(ticker);
    if (ticker)
        m_handoff.PushTicker(*ticker, IsStreamed(ticker->contract_code(), pb::MODE_TICKER));
}

void NQuoteClient::OnRspQryHistory(const pb::RspReqQryHistoryField* rsp, const tagRspExParam&)
{
    rsp = m_textBounds.Enter(rsp);
    if (!rsp)
        return;
    if (!m_handoff.PushKLine(*rsp)) {
        LogDropped(true);
        return;
    }
    if (m_serverLog->Take(LogInfo))
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
        PostWake();
}

// A plain event rather than a queued functor: the functor's slot object would
// be freed by whichever thread drops its last reference, ordered only by Qt's
// own reference count; an event is made here and freed by the GUI thread's
// event loop alone. Either way it joins the same queue as queued signals, so
// the order against the loss of connection is kept.
void NQuoteClient::PostWake()
{
    auto* wake = new QEvent(WakeEventType());
    HappensBefore(&m_handoff);
    QCoreApplication::postEvent(this, wake);
}

QEvent::Type NQuoteClient::WakeEventType()
{
    static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

void NQuoteClient::customEvent(QEvent* event)
{
    HappensAfter(&m_handoff);
    if (event->type() == WakeEventType())
        DrainHandoff();
    else
        QObject::customEvent(event);
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

void NQuoteClient::RenewStreams(COstrelApi& api)
{
    std::vector<std::pair<std::string, unsigned>> streams;
    {
        std::lock_guard<std::mutex> lock(m_quoteMutex);
        streams = m_store.StreamsLocked();
    }
    for (const auto& [key, modes] : streams) {
        for (const int mode : { pb::MODE_DEPTH, pb::MODE_TICKER }) {
            if (modes & (1u << mode))
                SendOne<pb::ReqSubscribedField>(api, mode, key);
        }
    }
}

template <typename Request> void NQuoteClient::SendForOneContract(int mode, const std::string& key)
{
    std::shared_ptr<COstrelApi> api = Api();
    // Noted also while the line is down: the reconnection renews what the
    // window asked for meanwhile.
    {
        std::lock_guard<std::mutex> lock(m_quoteMutex);
        if constexpr (std::is_same_v<Request, pb::ReqSubscribedField>)
            m_store.StreamLocked(key, mode);
        else
            m_store.UnStreamLocked(key, mode);
    }
    if (api)
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
