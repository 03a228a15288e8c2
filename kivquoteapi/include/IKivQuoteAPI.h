#pragma once

// Public interface of libKivQuoteAPI. A program needs this header alone: it
// either links the library or loads it at run time and looks up the five
// exports below by name.

#include <cstdint>

#if defined(__GNUC__)
#define KIVQUOTEAPI_EXPORT __attribute__((visibility("default")))
#else
#define KIVQUOTEAPI_EXPORT
#endif

// Result codes of every operation and callback.
enum KivQuoteResult : int {
    KQ_SUCCESS = 0,
    KQ_ERR_NETWORK = -1, // socket start-up/connect/send failed, not connected, connection lost
    KQ_ERR_LOGIN_REJECTED = -2, // only in IKivQuoteEvents::OnLoginReply
    KQ_ERR_NOT_READY = -17, // the login and both record lists are not complete yet
    KQ_ERR_BAD_ARGUMENT = -10000 // null pointer, empty text, port 0
};

// Records are byte-packed and copied byte for byte between the server, the
// library and the caller. Texts are zero-terminated and zero-padded to their
// field's width.
#pragma pack(push, 1)

struct QuoteAppInfo {
    char Data[814]; // the library keeps a copy and never reads it
};

struct QuoteLoginRecord {
    char Account[22];
    char Password[95]; // bytes after the password's terminator are carried unread
};

struct QuoteCommodityKey {
    char ExchangeNo[11];
    char CommodityType; // 0: not given
    char CommodityNo[11];
};

struct QuoteContractKey {
    QuoteCommodityKey CommodityKey;
    char ContractNo1[46]; // bytes after the contract number's terminator are carried unread
};

struct QuoteCommodityRecord {
    QuoteCommodityKey CommodityKey;
    char CommodityData[124];
};

struct QuoteContractRecord {
    QuoteContractKey ContractKey;
    char ContractData[116];
};

struct QuoteKeyedRecord {
    char KeyAndData[274]; // a zero-terminated key text, then the record's data
};

#pragma pack(pop)

static_assert(sizeof(QuoteAppInfo) == 814, "QuoteAppInfo is 814 bytes on the wire");
static_assert(sizeof(QuoteLoginRecord) == 117, "QuoteLoginRecord is 117 bytes on the wire");
static_assert(sizeof(QuoteCommodityKey) == 23, "QuoteCommodityKey is 23 bytes on the wire");
static_assert(sizeof(QuoteContractKey) == 69, "QuoteContractKey is 69 bytes on the wire");
static_assert(sizeof(QuoteCommodityRecord) == 147, "QuoteCommodityRecord is 147 bytes on the wire");
static_assert(sizeof(QuoteContractRecord) == 185, "QuoteContractRecord is 185 bytes on the wire");
static_assert(sizeof(QuoteKeyedRecord) == 274, "QuoteKeyedRecord is 274 bytes on the wire");

// Implemented by the caller. Every operation is called on the library's
// receive thread, one at a time. Pointers are valid only during the call.
// A callback may issue requests, and OnConnectionLost may call
// ConnectAndLogin again. A callback may also free the API object: no
// callback follows once FreeKivQuoteAPI has returned, not even the rest of
// a reply's records. After a disconnect, by Disconnect or by the library
// itself (a rejected login, a malformed frame), what the server sent before
// is dropped: OnConnectionLost is the next callback.
class IKivQuoteEvents
{
public:
    // errorCode 0: accepted, info points at the server's login information;
    // -2: rejected, info is null, and OnConnectionLost(-1) follows.
    virtual void OnLoginReply(int errorCode, const char* info) = 0;
    // The login and both record lists are complete: requests are accepted now.
    virtual void OnReadyForRequests() = 0;
    // The connection ended (peer closed, read error or Disconnect); reason is -1.
    virtual void OnConnectionLost(int reason) = 0;
    // One cached commodity per call, in key order; isLast is 'Y' on the last one.
    virtual void OnCommodityItem(
        uint32_t sessionID, int errorCode, char isLast, const QuoteCommodityRecord* commodity)
        = 0;
    // One cached contract matching the query's filter per call, in key order.
    virtual void OnContractItem(
        uint32_t sessionID, int errorCode, char isLast, const QuoteContractRecord* contract)
        = 0;
    // info is the reply body (it begins with the contract's key), null when
    // errorCode is not 0; isLast is always 'Y'.
    virtual void OnSubscribeReply(
        uint32_t sessionID, int errorCode, char isLast, const QuoteContractKey* info)
        = 0;
    virtual void OnUnsubscribeReply(
        uint32_t sessionID, int errorCode, char isLast, const QuoteContractKey* info)
        = 0;
    // The body of one quote push, passed through unread.
    virtual void OnQuoteData(const char* quote) = 0;

protected:
    ~IKivQuoteEvents() = default;
};

// The API object. Made by CreateKivQuoteAPI, released by FreeKivQuoteAPI,
// never deleted by the caller. Requests from several threads must be
// serialised by the caller.
//
// Bounds, whatever the server sends:
// - The records the server pushes are kept per API object up to a cap:
//   10,000 commodities, 100,000 contracts and 100,000 keyed records. A push
//   of a record with a new key beyond its cap is dropped, a record already
//   kept is still replaced; the query replies deliver only the records kept.
//   The log notes the first record dropped in a connection and, when the
//   connection ends, how many were.
// - The log writes, per level, a burst of 1,000 lines and then 10 a second
//   of the lines that the server's messages cause, and counts the rest in a
//   line of its own. Lines about the caller's own calls are always written.
// - ConnectAndLogin gives up on a server that has not taken the connection
//   within 5 seconds.
class IKivQuoteAPI
{
public:
    // Stores the callback object (not owned). 0, or -10000 for null.
    virtual int SetNotifyHandler(IKivQuoteEvents* handler) = 0;
    // Dotted IPv4 address and port of the quote server. 0, or -10000 for a
    // null address or port 0 (nothing stored then).
    virtual int SetServerAddress(const char* ip, uint16_t port) = 0;
    // Connects and sends the login; the outcome arrives by OnLoginReply.
    // 0, -1 (connect failed or timed out, send failed, or already
    // connected), -10000 (null).
    virtual int ConnectAndLogin(const QuoteLoginRecord* login) = 0;
    // Closes the connection; OnConnectionLost(-1) follows. Always 0.
    virtual int Disconnect() = 0;
    // Each request stores its session id, which the replies carry, in
    // *sessionID. 0 sent, -17 not ready, -10000 null argument, -1 not
    // connected or send failed.
    virtual int QryCommodity(uint32_t* sessionID) = 0;
    virtual int QryContract(uint32_t* sessionID, const QuoteCommodityKey* qryReq) = 0;
    virtual int SubscribeQuote(uint32_t* sessionID, const QuoteContractKey* contract) = 0;
    virtual int UnSubscribeQuote(uint32_t* sessionID, const QuoteContractKey* contract) = 0;

protected:
    ~IKivQuoteAPI() = default;
};

extern "C" {

// A new API object, or null when appInfo is null (*result untouched then);
// otherwise *result = 0. Sets the data path "API" unless one was set before.
KIVQUOTEAPI_EXPORT IKivQuoteAPI* CreateKivQuoteAPI(const QuoteAppInfo* appInfo, int* result);

// Closes the object's connection, waits until its receive thread has let go
// of it and frees it; called from one of the object's own callbacks, it
// returns at once and the object is freed once that callback has returned.
// Null and objects not made by CreateKivQuoteAPI are left alone.
KIVQUOTEAPI_EXPORT void FreeKivQuoteAPI(IKivQuoteAPI* api);

// "V9.3.1.0", valid while the library is loaded.
KIVQUOTEAPI_EXPORT const char* GetKivQuoteAPIVersion();

// Folder of the log file, set once per process (later calls return 0 and
// change nothing). -10000 for a null, empty or over-long (1024+) path.
KIVQUOTEAPI_EXPORT int SetKivQuoteAPIDataPath(const char* path);

// 'D' DEBUG, 'E' and 'N' ERROR, 'W' WARN, anything else INFO. Returns the letter.
KIVQUOTEAPI_EXPORT int SetKivQuoteAPILogLevel(char level);
}
