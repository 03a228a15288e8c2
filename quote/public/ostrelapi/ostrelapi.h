#pragma once

// Client side of the quote service: a TCP session with a quote server that
// carries the kw.pb.ostrel2 messages.
//
// Threads: every COstrelSpi callback runs on the API object's own I/O thread,
// one at a time and in arrival order. Requests may be made from any thread,
// including from inside a callback. Message pointers handed to callbacks are
// never null and stay valid only until the callback returns.

#include <cstdint>

#include "kw.pb.ostrel2.pb.h"

// Reply status that comes with the replies of the server.
struct tagRspExParam {
    int32_t method; // EnumMethods value of the reply the status belongs to
    int32_t error_code; // 0 = success, anything else = failure
    const char* error_msg; // UTF-8, never null (empty on success); valid during the callback only
};

// Callback interface; override what you need. Every default does nothing.
class COstrelSpi
{
public:
    COstrelSpi();
    virtual ~COstrelSpi();

    // The TCP connection asked for by COstrelApi::Connect is up.
    virtual void OnFrontConnected() { }
    // The connection is gone: refused or timed out while connecting, closed by
    // the server, or closed by the API because of a malformed or oversized
    // frame. Called once per COstrelApi::Connect; never after DeleteApi.
    // nReason is one of the OSTREL_DISCONNECT_* codes below.
    virtual void OnFrontDisconnected(int nReason) { (void)nReason; }

    virtual void OnRtnQuote(const kw::pb::ostrel2::QuoteDetailField* pQuote) { (void)pQuote; }
    virtual void OnRtnCommodity(const kw::pb::ostrel2::CommodityField* pCommodity) { (void)pCommodity; }
    virtual void OnRtnDepthQuote(const kw::pb::ostrel2::DepthQuoteField* pDepth) { (void)pDepth; }
    virtual void OnRtnTicker(const kw::pb::ostrel2::TickerField* pTicker) { (void)pTicker; }

    // Replies. A reply the server sent without payload (typically with an
    // error) arrives with a default message.
    virtual void OnRspLogin(const kw::pb::ostrel2::RspLoginField* pRsp, const tagRspExParam& ex)
    {
        (void)pRsp;
        (void)ex;
    }
    virtual void OnRspLogout(const tagRspExParam& ex) { (void)ex; }
    virtual void OnRspQryCommodity(const kw::pb::ostrel2::RspQryCommodityField* pRsp, const tagRspExParam& ex)
    {
        (void)pRsp;
        (void)ex;
    }
    virtual void OnRspQryCommodityDetail(
        const kw::pb::ostrel2::RspQryCommodityDetailField* pRsp, const tagRspExParam& ex)
    {
        (void)pRsp;
        (void)ex;
    }
    virtual void OnRspQryHistory(const kw::pb::ostrel2::RspReqQryHistoryField* pRsp, const tagRspExParam& ex)
    {
        (void)pRsp;
        (void)ex;
    }
    virtual void OnRspHisMoneyFlow(const kw::pb::ostrel2::RspHisMoneyFlowField* pRsp, const tagRspExParam& ex)
    {
        (void)pRsp;
        (void)ex;
    }
    virtual void OnRspSubscribe(const kw::pb::ostrel2::RspSubscribedField* pRsp, const tagRspExParam& ex)
    {
        (void)pRsp;
        (void)ex;
    }
    virtual void OnRspUnSubscribe(const tagRspExParam& ex) { (void)ex; }
    virtual void OnRspHeartBeat(const kw::pb::ostrel2::HeartBeatField* pRsp, const tagRspExParam& ex)
    {
        (void)pRsp;
        (void)ex;
    }
};

// Results of COstrelApi operations.
enum : int {
    OSTREL_OK = 0,
    OSTREL_ERR_NOT_CONNECTED = -1, // no connection is up (requests) / could not start one (Connect)
    OSTREL_ERR_BAD_ARGUMENT = -2, // null pointer, bad port, tag or message not valid UTF-8, too large
    OSTREL_ERR_BUSY = -3, // Connect while a connection is up or under way
    OSTREL_ERR_REFUSED = -4, // the server refused the connection at once
    OSTREL_ERR_QUEUE_FULL = -5, // the server does not read; too much is waiting to be sent
};

// Reasons passed to COstrelSpi::OnFrontDisconnected.
enum : int {
    OSTREL_DISCONNECT_CONNECT_FAILED = 1, // the connection never came up
    OSTREL_DISCONNECT_CLOSED = 2, // the server closed the connection
    OSTREL_DISCONNECT_IO_ERROR = 3, // reading or writing the socket failed
    OSTREL_DISCONNECT_BAD_FRAME = 4, // the server sent a frame over the size limit or one that does not parse
    OSTREL_DISCONNECT_IDLE = 5, // no whole frame came within the limit of COstrelApi::SetRecvTimeout
};

class COstrelApi
{
public:
    // A new API object; release it with DeleteApi only.
    static COstrelApi* CreateApi();
    // Closes the connection (no OnFrontDisconnected for it), waits for a
    // running callback to return and frees the object. Null is ignored.
    // May be called from a callback of this object: the object is freed
    // once that callback has returned, and no callback follows it.
    static void DeleteApi(COstrelApi* pApi);

    // Where library diagnostics (dropped frames, unknown methods) go; level 0
    // error, 1 warning, 2 info. The default writes to standard error. Null
    // restores the default. Process-wide.
    using LogHandler = void (*)(int level, const char* text);
    static void SetLogHandler(LogHandler handler);

protected:
    COstrelApi();
    virtual ~COstrelApi();

public:
    // Starts connecting to host (IPv4 address or name) and port and returns
    // at once: 0 when the attempt is under way (outcome reported by
    // OnFrontConnected or OnFrontDisconnected), else an OSTREL_ERR_* code
    // and no callback follows.
    virtual int Connect(const char* pszHost, int nPort) = 0;
    // The callback object; may be replaced or set to null at any time. Not owned.
    virtual void RegisterSpi(COstrelSpi* pSpi) = 0;

    // Requests. The message and the tag are copied during the call; the tag
    // comes back as req_id in the reply. Return 0 when the request was queued
    // for sending, else an OSTREL_ERR_* code.
    virtual int ReqLogin(const kw::pb::ostrel2::ReqLoginField* pReq, const char* pszReqId) = 0;
    virtual int ReqLogout(const char* pszReqId) = 0;
    virtual int ReqQryCommodity(const kw::pb::ostrel2::ReqQryCommodityField* pReq, const char* pszReqId) = 0;
    virtual int ReqQryCommodityDetail(const kw::pb::ostrel2::ReqQryCommodityField* pReq, const char* pszReqId)
        = 0;
    virtual int ReqQryHistory(const kw::pb::ostrel2::ReqQryHistoryField* pReq, const char* pszReqId) = 0;
    virtual int ReqHisMoneyFlow(const kw::pb::ostrel2::ReqHisMoneyFlowField* pReq, const char* pszReqId) = 0;
    virtual int ReqSubscribe(const kw::pb::ostrel2::ReqSubscribedField* pReq, const char* pszReqId) = 0;
    virtual int ReqUnSubscribe(const kw::pb::ostrel2::ReqUnSubscribedField* pReq, const char* pszReqId) = 0;
    virtual int ReqHeartBeat(const kw::pb::ostrel2::HeartBeatField* pReq, const char* pszReqId) = 0;

    // A connection up this long without a whole frame from the server ends
    // with OnFrontDisconnected(OSTREL_DISCONNECT_IDLE); bytes of a frame that
    // stays incomplete do not count. Counted from the later of the last whole
    // frame and this call; 0, the default, never ends it. Applies to the
    // connection now up and to later ones. OSTREL_ERR_BAD_ARGUMENT when negative.
    virtual int SetRecvTimeout(int nMilliseconds) = 0;
    // Milliseconds since bytes last came from the server, or since the
    // connection came up when none came yet; -1 while no connection is up.
    virtual int GetRecvIdleTime() = 0;

    COstrelApi(const COstrelApi&) = delete;
    COstrelApi& operator=(const COstrelApi&) = delete;
};
