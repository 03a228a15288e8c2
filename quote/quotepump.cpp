#include "quotepump.h"

#include <chrono>
#include <utility>

#include <QCoreApplication>
#include <QObject>

#include "happensbefore.h"
#include "quotelog.h"
#include "quotestore.h"

namespace pb = kw::pb::ostrel2;

namespace
{

// What the hand-off left out is logged at most this often per kind.
constexpr std::int64_t kDropLogIntervalMs = 10000;
// The shortest time between two batches handed to the GUI thread.
constexpr qint64 kDrainIntervalMs = 5;

std::int64_t SteadyMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

QuotePump::QuotePump(QObject& target, QuoteStore& store, Deliver deliver)
    : m_target(target)
    , m_deliver(std::move(deliver))
    , m_handoff([this] { PostWake(); },
          [&store](const std::vector<std::uint32_t>& numbers, std::vector<pb::QuoteDetailField>& out) {
              return store.CopyFresh(numbers, out);
          })
{
    m_drainTimer.setSingleShot(true);
    m_drainTimer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&m_drainTimer, &QTimer::timeout, &m_target, [this] { Drain(); });
}

void QuotePump::PushQuote(std::uint32_t slot)
{
    m_handoff.PushQuote(slot);
}

void QuotePump::PushDepth(const pb::DepthQuoteField& depth, bool subscribed)
{
    m_handoff.PushDepth(depth, subscribed);
    if (!subscribed)
        LogDropped(false);
}

void QuotePump::PushTicker(const pb::TickerField& ticker, bool subscribed)
{
    m_handoff.PushTicker(ticker, subscribed);
}

bool QuotePump::PushKLine(const pb::RspReqQryHistoryField& kline)
{
    if (m_handoff.PushKLine(kline))
        return true;
    LogDropped(true);
    return false;
}

void QuotePump::ExpectKLine(const std::string& key, int period)
{
    m_handoff.ExpectKLine(key, period);
}

// The wake posted here comes ahead of the queued loss even when the batch's
// own wake was held back for the drain interval.
void QuotePump::Seal()
{
    if (m_handoff.Seal())
        PostWake();
}

void QuotePump::Clear()
{
    m_handoff.Clear();
    m_klineDropLogMs = 0;
    m_depthDropLogMs = 0;
}

// Receiving thread: at most one line of a kind per interval, with the count
// since the last one; the first drop of a connection is logged at once.
void QuotePump::LogDropped(bool klines)
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
        QuoteClientLog(LogWarn, "丢弃未请求或重复的K线回复 %llu 个", static_cast<unsigned long long>(count));
    else
        QuoteClientLog(
            LogWarn, "未订阅深度的合约过多，丢弃深度行情 %llu 条", static_cast<unsigned long long>(count));
}

// GUI thread, for a wake: delivers the oldest waiting batch. Batches are taken
// at most once per kDrainIntervalMs; a wake that comes sooner waits for the
// rest of the interval while the batch goes on collecting, so a fast stream
// costs the GUI thread a wake-up per interval rather than one per message.
// A receiver that runs the event loop itself may bring a second drain here
// while the first still delivers; it takes the next batch into storage of its own.
void QuotePump::Drain()
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
        batch.ForEach(m_deliver.quote, m_deliver.depth, m_deliver.ticker, m_deliver.kline);
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
void QuotePump::PostWake()
{
    auto* wake = new QEvent(WakeEventType());
    HappensBefore(&m_handoff);
    QCoreApplication::postEvent(&m_target, wake);
}

QEvent::Type QuotePump::WakeEventType()
{
    static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

bool QuotePump::OnEvent(QEvent* event)
{
    HappensAfter(&m_handoff);
    if (event->type() != WakeEventType())
        return false;
    Drain();
    return true;
}
