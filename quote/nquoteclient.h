#pragma once

#include <memory>
#include <string>
#include <vector>

#include <QEvent>
#include <QMetaType>
#include <QObject>

#include "kw.pb.ostrel2.pb.h"
#include "ostrelapi.h"
#include "quotelink.h"
#include "quotepump.h"
#include "quotestore.h"
#include "quotetextbounds.h"

class LogBudget;

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
//
// The work is done by three parts: the link (connection, heartbeats,
// reconnection), the store (latest quotes and subscriptions) and the pump
// (the hand-off to the GUI thread); this class is their one face.
class NQuoteClient : public QObject, public COstrelSpi
{
    Q_OBJECT

public:
    static constexpr int kServerLogBurst = QuoteTimings::kServerLogBurst;
    using Timings = QuoteTimings;

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

    // The waits of the client; a test shortens them.
    void SetTimings(const Timings& timings);
    Timings GetTimings() const;
    // Stops, and makes the client as if just made, with the default waits.
    void Reset();

    // The parts, for what the face does not say (tests and benchmarks).
    const QuoteLink& Link() const { return m_link; }
    QuoteStore& Store() { return m_store; }

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
    NQuoteClient();
    ~NQuoteClient() override;
    NQuoteClient(const NQuoteClient&) = delete;
    NQuoteClient& operator=(const NQuoteClient&) = delete;

    void SendForOneContract(bool subscribe, int mode, const std::string& key);
    static void ForwardApiLog(int level, const char* text);

    // What a server's texts set off in the log, and what they may take,
    // checked as each message enters.
    std::unique_ptr<LogBudget> m_serverLog;
    QuoteTextBounds m_textBounds;
    QuoteStore m_store;
    QuotePump m_pump;
    // Last: its schedulers' threads call into the others.
    QuoteLink m_link;
};
