#include "quotelink.h"

#include <algorithm>
#include <climits>
#include <utility>

#include "contractkey.h"
#include "helpers.h"
#include "logbudget.h"
#include "quotelog.h"
#include "quotestore.h"
#include "quotetextbounds.h"
#include "timer.h"
#include "tradeconfig.h"

namespace pb = kw::pb::ostrel2;

namespace
{

// Unanswered heartbeats whose send times are kept.
constexpr std::size_t kBeatsRemembered = 8;

constexpr const char* kTagLogin = "321456";
constexpr const char* kTagCommodity = "123456";
constexpr const char* kTagSubscribeAll = "321456";
constexpr const char* kTagSubscribe = "2356";
constexpr const char* kTagUnSubscribe = "dev_wy";
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

QuoteLink::QuoteLink(COstrelSpi& spi, QuoteStore& store, LogBudget& serverLog, QuoteTextBounds& textBounds,
    std::function<void()> lost)
    : m_spi(spi)
    , m_store(store)
    , m_serverLog(serverLog)
    , m_textBounds(textBounds)
    , m_lost(std::move(lost))
    , m_reconnectTimer(std::make_unique<GenerTools::timer>())
    , m_heartBeatTimer(std::make_unique<GenerTools::timer>())
{
}

QuoteLink::~QuoteLink()
{
    Stop();
}

void QuoteLink::SetTimings(const QuoteTimings& timings)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_timings = timings;
}

QuoteTimings QuoteLink::Timings() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_timings;
}

void QuoteLink::Reset()
{
    Stop();
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_epoch;
    m_attempt = Attempt();
    m_commodityList.reset();
    m_heartBeat = HeartBeatInfo();
    m_beatsOut.clear();
    m_strayHeartBeatLogged = false;
    m_lastAttemptMs = 0;
}

QuoteLink::State QuoteLink::CurrentState() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_state;
}

bool QuoteLink::IsConnected() const
{
    return CurrentState() == State::Connected;
}

bool QuoteLink::AwaitingLogin() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_state == State::Connecting && m_attempt.awaited == Awaited::Login;
}

std::size_t QuoteLink::PendingHeartBeats() const
{
    return m_heartBeatTimer->PendingCount();
}

bool QuoteLink::HeartBeatsRunning() const
{
    return m_heartBeatTimer->IsRunning();
}

bool QuoteLink::ReconnectsIdle() const
{
    return m_reconnectTimer->Idle();
}

bool QuoteLink::GetCommodityList(std::vector<pb::CommodityField>& out) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_commodityList)
        return false;
    out.insert(out.end(), m_commodityList->begin(), m_commodityList->end());
    return true;
}

std::shared_ptr<const std::vector<pb::CommodityField>> QuoteLink::SharedCommodityList() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_commodityList;
}

HeartBeatInfo QuoteLink::GetHeartBeatInfo() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_heartBeat;
}

std::shared_ptr<COstrelApi> QuoteLink::Api() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_api;
}

// One contract in one mode; results come back as a subscription reply
// (errors logged) or an unsubscription reply (logged either way).
void QuoteLink::SendOne(COstrelApi& api, bool subscribe, int mode, const std::string& key)
{
    if (subscribe) {
        pb::ReqSubscribedField request;
        request.set_mode(static_cast<pb::EnumSubMode>(mode));
        request.add_contract_list(key);
        api.ReqSubscribe(&request, kTagSubscribe);
    } else {
        pb::ReqUnSubscribedField request;
        request.set_mode(static_cast<pb::EnumSubMode>(mode));
        request.add_contract_list(key);
        api.ReqUnSubscribe(&request, kTagUnSubscribe);
    }
}

// ---- connect sequence ---------------------------------------------------------

void QuoteLink::Arm(Awaited awaited)
{
    // Before the request goes out: a reply that comes before the wait begins is still taken.
    std::lock_guard<std::mutex> lock(m_mutex);
    m_attempt.awaited = awaited;
    m_attempt.answered = false;
}

bool QuoteLink::Await(COstrelApi* api)
{
    using Clock = std::chrono::steady_clock;
    std::unique_lock<std::mutex> lock(m_mutex);
    // One deadline for the whole wait: spurious wake-ups must not extend it.
    const Clock::time_point start = Clock::now();
    const Clock::time_point limit = start + std::max(m_timings.replyWaitLimit, m_timings.replyWait);
    Clock::time_point deadline = start + m_timings.replyWait;
    const auto done
        = [&] { return m_attempt.answered || m_attempt.lineLost || m_state != State::Connecting; };
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

template <typename Fill> void QuoteLink::Answer(Awaited awaited, Fill fill)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        // A reply that no sequence waits for (late, or unasked) is dropped.
        if (m_state != State::Connecting || m_attempt.awaited != awaited)
            return;
        fill(m_attempt);
        m_attempt.answered = true;
    }
    m_changed.notify_all();
}

bool QuoteLink::Connect()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_state != State::Idle)
            return false;
        m_state = State::Connecting;
    }
    if (ConnectSequence())
        return true;
    EndFailedAttempt(State::Idle);
    return false;
}

bool QuoteLink::EndFailedAttempt(State next)
{
    bool stopped;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        stopped = m_state == State::Stopping;
        m_state = stopped ? State::Idle : next;
        m_attempt = Attempt();
    }
    m_changed.notify_all();
    return stopped;
}

bool QuoteLink::ConnectSequence()
{
    const TradeConfig* config = TradeConfig::GetInstance();

    // Only the connecting thread changes the API object; requests read it.
    std::shared_ptr<COstrelApi> api = Api();
    if (!api) {
        COstrelApi* created = COstrelApi::CreateApi();
        if (!created)
            return false;
        api.reset(created, [](COstrelApi* p) { COstrelApi::DeleteApi(p); });
        api->RegisterSpi(&m_spi);
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
        if (m_state != State::Connecting)
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
            if (m_serverLog.Take(LogError))
                QuoteClientLog(LogError, "行情服务器拒绝登录: 错误码 %d, %s", code, Utf8ToAnsi(text).c_str());
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
                ContractKey::Make(commodity.security_type(), commodity.commodity_no(), std::string()));
            continue;
        }
        for (const pb::CommodityField::ContractNoList& contract : commodity.contract_no_list())
            subscribe.add_contract_list(ContractKey::Make(
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
    m_store.ReplaceSnapshot(subscribe.contract_list());
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
        if (m_state != State::Connecting || m_attempt.lineLost)
            return false;
        m_state = State::Connected;
        epoch = ++m_epoch;
        m_attempt = Attempt();
    }
    SendHeartBeat();
    ScheduleHeartBeat(epoch);
    return true;
}

void QuoteLink::RenewStreams(COstrelApi& api)
{
    for (const auto& [key, modes] : m_store.Streams()) {
        for (const int mode : { pb::MODE_DEPTH, pb::MODE_TICKER }) {
            if (modes & (1u << mode))
                SendOne(api, true, mode, key);
        }
    }
}

void QuoteLink::OnFrontConnected()
{
    Answer(Awaited::Connected, [](Attempt&) {});
}

void QuoteLink::OnRspLogin(const tagRspExParam& param)
{
    Answer(Awaited::Login, [&param](Attempt& attempt) {
        attempt.refused = param.error_code != 0;
        if (attempt.refused) {
            attempt.refusalCode = param.error_code;
            attempt.refusalText = CutForLog(param.error_msg ? param.error_msg : "");
        }
    });
}

void QuoteLink::OnRspQryCommodityDetail(const pb::RspQryCommodityDetailField* rsp)
{
    Answer(Awaited::Commodities, [rsp](Attempt& attempt) {
        if (rsp)
            attempt.commodities.CopyFrom(*rsp);
        else
            attempt.commodities.Clear();
    });
}

// ---- heartbeat ------------------------------------------------------------------

void QuoteLink::SendHeartBeat()
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

void QuoteLink::HeartBeatDue(std::uint64_t epoch)
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
void QuoteLink::ScheduleHeartBeat(std::uint64_t epoch)
{
    std::chrono::milliseconds delay;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        delay = m_timings.heartBeatDelay;
    }
    m_heartBeatTimer->AddTask(delay.count(), [this, epoch] { HeartBeatDue(epoch); });
}

void QuoteLink::OnRspHeartBeat()
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
        QuoteClientLog(LogWarn, "丢弃未请求的心跳回复 (本连接不再记录)");
}

// ---- loss of connection and reconnection -------------------------------------------

void QuoteLink::OnFrontDisconnected(int reason)
{
    std::uint64_t epoch = 0;
    std::chrono::milliseconds wait { 0 };
    std::int64_t silenceMs = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_state == State::Connecting) {
            // The attempt under way fails now rather than at its deadline.
            m_attempt.lineLost = true;
            m_changed.notify_all();
            return;
        }
        if (m_state != State::Connected)
            return;
        m_state = State::Reconnecting;
        epoch = ++m_epoch;
        m_commodityList.reset();
        silenceMs = m_timings.silenceLimit.count();
        wait = std::chrono::milliseconds(
            std::max<std::int64_t>(0, m_lastAttemptMs + m_timings.reconnectDelay.count() - SteadyMs()));
    }
    if (reason == OSTREL_DISCONNECT_IDLE)
        QuoteClientLog(LogWarn, "行情连接断开: %s (%lld 毫秒), 稍候重连", LossCause(reason),
            static_cast<long long>(silenceMs));
    else
        QuoteClientLog(LogWarn, "行情连接断开: %s (%d), 稍候重连", LossCause(reason), reason);
    m_lost();
    // The first attempt runs at once on a thread of the reconnect scheduler,
    // unless the last one started less than the retry interval ago.
    ScheduleReconnect(wait, epoch);
}

void QuoteLink::ScheduleReconnect(std::chrono::milliseconds delay, std::uint64_t epoch)
{
    m_reconnectTimer->AddTaskAfter(GenerTools::timer::Ticks(delay.count() * GenerTools::kTicksPerMs),
        [this, epoch] { Reconnect(epoch); });
}

void QuoteLink::Reconnect(std::uint64_t epoch)
{
    std::chrono::milliseconds retry;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_state != State::Reconnecting || epoch != m_epoch)
            return;
        m_state = State::Connecting;
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

    QuoteClientLog(LogInfo, "行情重连……");
    if (ConnectSequence()) {
        QuoteClientLog(LogInfo, "行情重连成功");
        return;
    }
    if (EndFailedAttempt(State::Reconnecting))
        return;
    QuoteClientLog(LogInfo, "行情重连失败，稍候再试");
    ScheduleReconnect(retry, epoch);
}

void QuoteLink::Stop()
{
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        ++m_epoch;
        if (m_state == State::Connecting) {
            m_state = State::Stopping;
            m_changed.notify_all();
            m_changed.wait(lock, [this] { return m_state != State::Stopping; });
        }
        m_state = State::Idle;
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
}
