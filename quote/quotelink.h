#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "kw.pb.ostrel2.pb.h"
#include "ostrelapi.h"

class LogBudget;
class QuoteStore;
class QuoteTextBounds;

namespace GenerTools
{
class timer;
}

// Heartbeat timing of the quote connection, in milliseconds since 1970-01-01 UTC.
struct HeartBeatInfo {
    std::int64_t sendTime = 0; // when the latest heartbeat left
    std::int64_t replyTime = 0; // when its reply came; 0 while it is outstanding
    std::int32_t latency = 0; // replyTime - sendTime; 0 while outstanding
};

// How long the quote client waits, in one place; the defaults are the quote
// protocol's.
struct QuoteTimings {
    // Log lines that a quote server sets off by what it sends (replies nobody
    // asked for, failure lists of any length, the quote API's complaints about
    // its frames) draw on a budget per level, so that a flood of one kind never
    // hides a line of another: a burst of this many lines, then this many a
    // second. What is left out is counted in one line, which the budget pays
    // for too.
    static constexpr int kServerLogBurst = 200;
    static constexpr int kServerLogPerSecond = 10;

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

// The quote client's connection: its state, the connect sequence (connect,
// login, commodity list, subscription of every contract, renewal of the depth
// and trade subscriptions), heartbeats, and reconnection after a loss.
//
// The callbacks of the quote API that concern the connection come here from
// the API's thread; the sequence runs on the thread of Connect or on one of
// the reconnect scheduler.
class QuoteLink
{
public:
    // The one state of the connection. Connecting means one thread (the
    // caller of Connect, or a reconnection attempt) runs the connect sequence
    // and alone starts and stops the schedulers; Stop waits for it to leave.
    enum class State {
        Idle, // not connected: before the first connect, after a failed one, after Stop
        Connecting, // a connect sequence runs
        Connected, // quotes flow, heartbeats run
        Reconnecting, // the line was lost; an attempt is scheduled
        Stopping, // Stop waits for the connect sequence under way to give up
    };

    // `spi` receives the API's callbacks; `lost` runs on the API's thread when
    // a connection that was up is lost, before the reconnection is scheduled.
    QuoteLink(COstrelSpi& spi, QuoteStore& store, LogBudget& serverLog, QuoteTextBounds& textBounds,
        std::function<void()> lost);
    ~QuoteLink();
    QuoteLink(const QuoteLink&) = delete;
    QuoteLink& operator=(const QuoteLink&) = delete;

    bool Connect();
    void Stop();
    // Stops, and forgets everything of earlier connections.
    void Reset();
    void SetTimings(const QuoteTimings& timings);
    QuoteTimings Timings() const;

    State CurrentState() const;
    bool IsConnected() const;
    // A connect sequence waits for the login reply.
    bool AwaitingLogin() const;
    // Heartbeats waiting in their scheduler, and whether it runs.
    std::size_t PendingHeartBeats() const;
    bool HeartBeatsRunning() const;
    // No reconnection attempt is scheduled or running.
    bool ReconnectsIdle() const;

    bool GetCommodityList(std::vector<kw::pb::ostrel2::CommodityField>& out) const;
    std::shared_ptr<const std::vector<kw::pb::ostrel2::CommodityField>> SharedCommodityList() const;
    HeartBeatInfo GetHeartBeatInfo() const;
    void SendHeartBeat();
    // Requests take a reference, so that a release (reconnection, Stop) never
    // frees the API object under them.
    std::shared_ptr<COstrelApi> Api() const;

    // Sends one subscription (`subscribe`) or unsubscription of `key` in `mode`.
    static void SendOne(COstrelApi& api, bool subscribe, int mode, const std::string& key);

    // The API's callbacks that belong to the connection.
    void OnFrontConnected();
    void OnFrontDisconnected(int reason);
    void OnRspLogin(const tagRspExParam& param);
    void OnRspQryCommodityDetail(const kw::pb::ostrel2::RspQryCommodityDetailField* rsp);
    void OnRspHeartBeat();

private:
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
    bool EndFailedAttempt(State next);
    void Arm(Awaited awaited);
    // Waits for the armed reply; false at the deadline, when the line drops or
    // on Stop. With `api`, the deadline moves on while bytes keep coming.
    bool Await(COstrelApi* api = nullptr);
    // Renews, on a new connection, the depth and trade subscriptions that
    // were in force when the last one was lost.
    void RenewStreams(COstrelApi& api);
    template <typename Fill> void Answer(Awaited awaited, Fill fill);
    void HeartBeatDue(std::uint64_t epoch);
    void ScheduleHeartBeat(std::uint64_t epoch);
    void ScheduleReconnect(std::chrono::milliseconds delay, std::uint64_t epoch);
    void Reconnect(std::uint64_t epoch);

    COstrelSpi& m_spi;
    QuoteStore& m_store;
    LogBudget& m_serverLog;
    QuoteTextBounds& m_textBounds;
    const std::function<void()> m_lost;

    // Guards the connection: its state and everything below up to the schedulers.
    mutable std::mutex m_mutex;
    // Wakes a connect sequence's wait and a Stop waiting for the sequence.
    std::condition_variable m_changed;
    State m_state = State::Idle;
    // Counts connections and their ends (loss, Stop): work scheduled for an
    // earlier one (a heartbeat left waiting when the line dropped, a retry
    // queued before Stop) sees another number and does nothing.
    std::uint64_t m_epoch = 0;
    Attempt m_attempt;
    std::shared_ptr<COstrelApi> m_api;
    // Null while empty; replaced, never changed, as the window may hold it.
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
    QuoteTimings m_timings;

    std::unique_ptr<GenerTools::timer> m_reconnectTimer;
    std::unique_ptr<GenerTools::timer> m_heartBeatTimer;
};
