#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include <QElapsedTimer>
#include <QEvent>
#include <QTimer>

#include "kw.pb.ostrel2.pb.h"
#include "quotehandoff.h"

class QObject;
class QuoteStore;

// The quote client's pump to the GUI thread: the receiving thread pushes into
// the hand-off, which wakes the GUI thread once per batch with an event
// posted to the client; the GUI thread, handed the event, takes the batch and
// delivers its messages, at most one batch every few milliseconds.
class QuotePump
{
public:
    // Where a batch's messages go, on the GUI thread.
    struct Deliver {
        std::function<void(const kw::pb::ostrel2::QuoteDetailField&)> quote;
        std::function<void(const kw::pb::ostrel2::DepthQuoteField&)> depth;
        std::function<void(const kw::pb::ostrel2::TickerField&)> ticker;
        std::function<void(const kw::pb::ostrel2::RspReqQryHistoryField&)> kline;
    };

    // Wakes are posted to `target`, which hands them to OnEvent; batches'
    // quotes are read from `store`.
    QuotePump(QObject& target, QuoteStore& store, Deliver deliver);
    QuotePump(const QuotePump&) = delete;
    QuotePump& operator=(const QuotePump&) = delete;

    // Receiving thread.
    void PushQuote(std::uint32_t slot);
    void PushDepth(const kw::pb::ostrel2::DepthQuoteField& depth, bool subscribed);
    void PushTicker(const kw::pb::ostrel2::TickerField& ticker, bool subscribed);
    // False when no query waits for the reply.
    bool PushKLine(const kw::pb::ostrel2::RspReqQryHistoryField& kline);
    // Before the query leaves: its reply may come before the call returns.
    void ExpectKLine(const std::string& key, int period);
    // On a loss of connection, before it is queued to anyone: what came
    // before it goes to the GUI thread ahead of it.
    void Seal();
    // Drops what waits: nothing of a stopped connection is delivered.
    void Clear();

    // GUI thread: true when `event` was a wake of this pump (and was handled).
    bool OnEvent(QEvent* event);

private:
    void Drain();
    // Any thread: one wake of the GUI thread for the hand-off.
    void PostWake();
    static QEvent::Type WakeEventType();
    void LogDropped(bool klines);

    QObject& m_target;
    const Deliver m_deliver;
    // Between the receiving thread and the GUI thread.
    QuoteHandoff m_handoff;
    // The batch being delivered, kept so that its messages' storage is reused.
    QuoteHandoff::Batch m_drainBatch;
    bool m_draining = false;
    QElapsedTimer m_drainClock; // since the last batch was taken
    QTimer m_drainTimer; // a wake that came too soon after it
    // When the receiving thread last logged what the hand-off left out.
    std::atomic<std::int64_t> m_klineDropLogMs { 0 };
    std::atomic<std::int64_t> m_depthDropLogMs { 0 };
};
