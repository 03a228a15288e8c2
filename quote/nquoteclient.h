#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <QElapsedTimer>
#include <QEvent>
#include <QMetaType>
#include <QObject>
#include <QTimer>

#include "kw.pb.ostrel2.pb.h"
#include "ostrelapi.h"
#include "quotehandoff.h"
#include "quotestore.h"
#include "quotetextbounds.h"

class LogBudget;

namespace GenerTools
{
class timer;
}

// The names under which quote messages travel in queued signals.
namespace nsquote
{
using QuoteDetailField = kw::pb::ostrel2::QuoteDetailField;
using RspReqQryHistoryField = kw::pb::ostrel2::RspReqQryHistoryField;
using DepthQuoteField = kw::pb::ostrel2::DepthQuoteField;
using TickerField = kw::pb::ostrel2::TickerField;
} // namespace nsquote

Q_DECLARE_METATYPE(nsquote::QuoteDetailField)
Q_DECLARE_METATYPE(nsquote::RspReqQryHistoryField)
Q_DECLARE_METATYPE(nsquote::DepthQuoteField)
Q_DECLARE_METATYPE(nsquote::TickerField)

// Heartbeat timing of the quote connection, in milliseconds since 1970-01-01 UTC.
struct HeartBeatInfo {
    std::int64_t sendTime = 0; // when the latest heartbeat left
    std::int64_t replyTime = 0; // when its reply came; 0 while it is outstanding
    std::int32_t latency = 0; // replyTime - sendTime; 0 while outstanding
};

// The process-wide quote client: connects and logs in to the quote server
// through the outside quote API, subscribes every contract of the commodity
// list, keeps the latest quote of each contract, sends heartbeats and
// reconnects after a lost connection.
//
// The data signals (quote_sig, depth_quote_sig, ticker_quote_sig, Kline_sig)
// are emitted on the client's own thread, the GUI thread, in batches: the
// receiving thread keeps per contract only the latest quote and depth, the
// newest trades and the K-line replies to outstanding queries, and wakes the
// GUI thread once per batch. Snapshots overwritten while the GUI thread was
// busy are not emitted; batches are taken at most every few milliseconds.
// disconnect_sig is emitted on the receiving thread;
// what came before the loss is emitted before a queued receiver sees it.
class NQuoteClient : public QObject, public COstrelSpi
{
    Q_OBJECT

public:
    // Log lines that a quote server sets off by what it sends (replies nobody
    // asked for, failure lists of any length, the quote API's complaints about
    // its frames) draw on a budget per level, so that a flood of one kind never
    // hides a line of another: a burst of this many lines, then this many a
    // second. What is left out is counted in one line, which the budget pays
    // for too.
    static constexpr int kServerLogBurst = 200;
    static constexpr int kServerLogPerSecond = 10;

    // How long the client waits, in one place; the defaults are the quote
    // protocol's.
    struct Timings {
        // Each of the connect sequence's three waits for a reply; the
        // commodity reply's wait starts anew while its bytes keep coming ...
        std::chrono::milliseconds replyWait { 5000 };
        // ... up to this long in all.
        std::chrono::milliseconds replyWaitLimit { 60000 };
        // From one heartbeat to the next, answered or not.
        std::chrono::milliseconds heartBeatDelay { 5000 };
        // A connection that brings nothing for this long is lost: about
        // three heartbeats without any answer.
        std::chrono::milliseconds silenceLimit { 15000 };
        // From a failed reconnection attempt to the next; attempts also start
        // at least this far apart.
        std::chrono::milliseconds reconnectDelay { 5000 };
        // The log budget regains one line per this much time ...
        std::chrono::milliseconds logLineEvery { 1000 / kServerLogPerSecond };
        // ... and counts what it left out this long after the first line it left out.
        std::chrono::milliseconds logSummaryDelay { 1000 };
    };

    static NQuoteClient* Instance();

    // Connects, logs in with the configured account, loads the commodity list
    // and subscribes every contract in snapshot mode. Blocks the calling thread
    // for up to three reply waits; true when the whole sequence completed,
    // after which heartbeats run and a lost connection is re-established.
    // False at once while a connection is up or being (re)established: one
    // connection at a time.
    bool Connect();

    // Whether a connection is up: false before the first connect, from a loss
    // until a reconnection completes, and after Stop. Any thread.
    bool IsConnected() const;

    // Stops heartbeats and reconnection attempts and releases the quote API.
    // Returns once no attempt of the client runs any more.
    void Stop();

    // The contract key: security type name, "_", commodity number and, for a
    // non-empty contract number, "_" and the contract number (FO_CL_2701, FO_CL).
    std::string MakeContractCode(
        int securityType, const std::string& commodityNo, const std::string& contractNo) const;

    // Appends the commodities of the last commodity reply, in reply order.
    // False, with `out` untouched, while the list is empty.
    bool GetCommodityList(std::vector<kw::pb::ostrel2::CommodityField>& out) const;
    // The same list without a copy of it, null while it is empty. The next
    // commodity reply or loss of connection replaces the client's list and
    // leaves this one as it is.
    std::shared_ptr<const std::vector<kw::pb::ostrel2::CommodityField>> SharedCommodityList() const;

    // Copy of the latest quote of `key` into `*out`; false (and `*out` left as
    // it was) while no quote of that contract has arrived since the last loss of
    // connection.
    bool GetQuote(const std::string& key, kw::pb::ostrel2::QuoteDetailField* out);

    HeartBeatInfo GetHeartBeatInfo() const;
    void SendHeartBeat();

    // Requests for one contract; results come as signals and log lines. While
    // no connection exists they send nothing. The depth and trade
    // subscriptions in force when a connection is lost are renewed, beside the
    // snapshot subscription of every contract, by the reconnection.
    void SubscribeDepth(std::string key);
    void SubscribeTicker(std::string key);
    void UnSubscribeDepth(std::string key);
    void UnSubscribeTicker(std::string key);
    void QueryKLine(const std::string& key, int period);

signals:
    // Payloads travel by value (the meta-object signatures read
    // "quote_sig(nsquote::QuoteDetailField)"); declaring them as const
    // references spares the emit a copy of its own beside the one Qt puts in
    // the queued event.
    void quote_sig(const nsquote::QuoteDetailField& q);
    void disconnect_sig();
    void connect_sig();
    void Kline_sig(const nsquote::RspReqQryHistoryField& kline);
    void depth_quote_sig(const nsquote::DepthQuoteField& depth_quote);
    void ticker_quote_sig(const nsquote::TickerField& ticker_quote);

protected:
    // COstrelSpi; called on the quote API's thread.
    void OnFrontConnected() override;
    void OnFrontDisconnected(int reason) override;
    void OnRtnQuote(const kw::pb::ostrel2::QuoteDetailField* quote) override;
    void OnRtnDepthQuote(const kw::pb::ostrel2::DepthQuoteField* depth) override;
    void OnRtnTicker(const kw::pb::ostrel2::TickerField* ticker) override;
    void OnRspLogin(const kw::pb::ostrel2::RspLoginField* rsp, const tagRspExParam& param) override;
    void OnRspLogout(const tagRspExParam& param) override;
    void OnRspQryCommodity(
        const kw::pb::ostrel2::RspQryCommodityField* rsp, const tagRspExParam& param) override;
    void OnRspQryCommodityDetail(
        const kw::pb::ostrel2::RspQryCommodityDetailField* rsp, const tagRspExParam& param) override;
    void OnRspQryHistory(
        const kw::pb::ostrel2::RspReqQryHistoryField* rsp, const tagRspExParam& param) override;
    void OnRspHisMoneyFlow(
        const kw::pb::ostrel2::RspHisMoneyFlowField* rsp, const tagRspExParam& param) override;
    void OnRspSubscribe(const kw::pb::ostrel2::RspSubscribedField* rsp, const tagRspExParam& param) override;
    void OnRspUnSubscribe(const tagRspExParam& param) override;
    void OnRspHeartBeat(const kw::pb::ostrel2::HeartBeatField* rsp, const tagRspExParam& param) override;

    // GUI thread: the hand-off's wake.
    void customEvent(QEvent* event) override;

private:
    friend struct NQuoteClientProbe;

    NQuoteClient();
    ~NQuoteClient() override;
    NQuoteClient(const NQuoteClient&) = delete;
    NQuoteClient& operator=(const NQuoteClient&) = delete;

    // The one state of the connection. Connecting means one thread (the
    // caller of Connect, or a reconnection attempt) runs the connect sequence
    // and alone starts and stops the schedulers; Stop waits for it to leave.
    enum class LinkState {
        Idle, // not connected: before the first connect, after a failed one, after Stop
        Connecting, // a connect sequence runs
        Connected, // quotes flow, heartbeats run
        Reconnecting, // the line was lost; an attempt is scheduled
        Stopping, // Stop waits for the connect sequence under way to give up
    };
    // The reply a connect sequence waits for.
    enum class Awaited { Nothing, Connected, Login, Commodities };

    // A connect sequence's wait; belongs to the Connecting state.
    struct Attempt {
        Awaited awaited = Awaited::Nothing;
        bool answered = false;
        // The line dropped during the sequence: its waits end at once and it
        // fails rather than start on a dead line.
        bool lineLost = false;
        // The server answered the login with an error.
        bool refused = false;
        int refusalCode = 0;
        std::string refusalText;
        kw::pb::ostrel2::RspQryCommodityDetailField commodities;
    };

    bool ConnectSequence();
    // Leaves the Connecting state after a failed sequence, for `next`; true
    // when Stop asked the sequence to give up (the state is then Idle).
    bool EndFailedAttempt(LinkState next);
    void Arm(Awaited awaited);
    // Waits for the armed reply; false at the deadline, when the line drops or
    // on Stop. With `api`, the deadline moves on while bytes keep coming.
    bool Await(COstrelApi* api = nullptr);
    // Renews, on a new connection, the depth and trade subscriptions that
    // were in force when the last one was lost.
    void RenewStreams(COstrelApi& api);
    template <typename Fill> void Answer(Awaited awaited, Fill fill);
    std::shared_ptr<COstrelApi> Api() const;
    void HeartBeatDue(std::uint64_t epoch);
    void ScheduleHeartBeat(std::uint64_t epoch);
    void ScheduleReconnect(std::chrono::milliseconds delay, std::uint64_t epoch);
    void Reconnect(std::uint64_t epoch);
    template <typename Request> void SendForOneContract(int mode, const std::string& key);
    // Whether `key` is subscribed in `mode` (depth or trades) on this connection.
    bool IsStreamed(const std::string& key, int mode);
    static void ForwardApiLog(int level, const char* text);
    // Tests: the waits of `timings`, and the state of a client just made.
    void SetTimings(const Timings& timings);
    void Reset();
    void DrainHandoff();
    // Any thread: one wake of the GUI thread for the hand-off.
    void PostWake();
    static QEvent::Type WakeEventType();
    void LogDropped(bool klines);

    // Guards the connection: its state and everything below up to the cache.
    mutable std::mutex m_mutex;
    // Wakes a connect sequence's wait and a Stop waiting for the sequence.
    std::condition_variable m_changed;
    LinkState m_state = LinkState::Idle;
    // Counts connections and their ends (loss, Stop): work scheduled for an
    // earlier one (a heartbeat left waiting when the line dropped, a retry
    // queued before Stop) sees another number and does nothing.
    std::uint64_t m_epoch = 0;
    Attempt m_attempt;
    // Requests take a reference, so that a release (reconnection, Stop) never
    // frees the API object under them.
    std::shared_ptr<COstrelApi> m_api;
    std::shared_ptr<const std::vector<kw::pb::ostrel2::CommodityField>> m_commodityList;
    HeartBeatInfo m_heartBeat;
    // Send times of the beats still unanswered, oldest first (a few at most:
    // the silence limit ends a connection that answers none). Only a reply to
    // one of them counts; the shown wait runs from the oldest.
    std::deque<std::int64_t> m_beatsOut;
    bool m_strayHeartBeatLogged = false;
    // Start of the latest connect attempt (steady clock, ms): attempts are at
    // least the retry interval apart, also after a connection that a server
    // drops as soon as it is up, so such a server cannot make us reconnect,
    // and log it, without pause.
    std::int64_t m_lastAttemptMs = 0;
    Timings m_timings;

    // ---- quote store: the latest quotes and the subscriptions ----
    QuoteStore m_store;
    std::mutex& m_quoteMutex = m_store.Mutex();
    // The snapshot subscription's keys, added under m_quoteMutex.
    QuoteStore::SnapshotKeys m_snapshotKeys { m_store };
    bool m_strayQuoteLogged = false; // guarded by m_quoteMutex

    std::unique_ptr<GenerTools::timer> m_reconnectTimer;
    std::unique_ptr<GenerTools::timer> m_heartBeatTimer;
    std::unique_ptr<LogBudget> m_serverLog;
    // What a server's texts may take, checked as each message enters.
    QuoteTextBounds m_textBounds;

    // ---- pump to the GUI thread ----
    // Between the receiving thread and the GUI thread; see the class comment.
    QuoteHandoff m_handoff;
    // The batch being emitted, kept so that its messages' storage is reused.
    QuoteHandoff::Batch m_drainBatch;
    bool m_draining = false;
    QElapsedTimer m_drainClock; // since the last batch was taken
    QTimer m_drainTimer; // a wake that came too soon after it
    // When the receiving thread last logged what the hand-off left out.
    std::atomic<std::int64_t> m_klineDropLogMs { 0 };
    std::atomic<std::int64_t> m_depthDropLogMs { 0 };
};
