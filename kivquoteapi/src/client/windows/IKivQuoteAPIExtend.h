#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "IKivQuoteAPI.h"
#include "QuoteDataCache.h"
#include "RecvBuffer.h"
#include "WireMessage.h"

// The API object behind IKivQuoteAPI. The caller's threads issue requests;
// one receive thread per connection reads the socket, runs the handler of
// each incoming message and calls the caller's IKivQuoteEvents.
//
// Who closes a socket: a receive thread owns the handle it reads and is the
// only one to close it; Disconnect and the destructor take the handle out of
// m_socket and, while a receive thread owns it, only shut it down to end the
// thread's read. A handle is therefore closed exactly once and cannot be
// reused by a new connection while an old thread still reads it.
class IKivQuoteAPIExtend : public IKivQuoteAPI
{
public:
    explicit IKivQuoteAPIExtend(const QuoteAppInfo* appInfo);
    // Closes the connection and joins every receive thread of this object, so
    // that none runs library code any more when it returns (the caller may
    // unload the library at once). Must not run on one of those threads.
    virtual ~IKivQuoteAPIExtend();

    int SetNotifyHandler(IKivQuoteEvents* handler) override;
    int SetServerAddress(const char* ip, uint16_t port) override;
    int ConnectAndLogin(const QuoteLoginRecord* login) override;
    int Disconnect() override;
    int QryCommodity(uint32_t* sessionID) override;
    int QryContract(uint32_t* sessionID, const QuoteCommodityKey* qryReq) override;
    int SubscribeQuote(uint32_t* sessionID, const QuoteContractKey* contract) override;
    int UnSubscribeQuote(uint32_t* sessionID, const QuoteContractKey* contract) override;

    // Body of the receive thread for the connection on `socket`.
    void ReceiveLoop(int socket);
    // Cuts every complete message out of `buffer` and runs its handler;
    // false when a malformed frame makes the rest of the stream unreadable.
    bool DispatchAll(RecvBuffer& buffer);
    void Dispatch(const WireMessage& message);

    void HandleLoginResponse(const WireMessage& message);
    void HandleSubscribeResponse(const WireMessage& message);
    void HandleUnsubscribeResponse(const WireMessage& message);
    void HandleCommodityResponse(const WireMessage& message);
    void HandleContractResponse(const WireMessage& message);
    void HandleLoginComplete(const WireMessage& message);
    void HandleCommodityComplete(const WireMessage& message);
    void HandleContractComplete(const WireMessage& message);
    void HandleQuotePush(const WireMessage& message);
    void HandleKeyedRecordPush(const WireMessage& message);
    void HandleCommodityPush(const WireMessage& message);
    void HandleContractPush(const WireMessage& message);

    static bool ContractMatches(const QuoteCommodityKey* filter, const QuoteContractRecord* contract);
    bool AllCompleteFlagsSet() const;

    // Stops callbacks after the one running now, also within a reply that
    // delivers several records; the destructor does this first.
    void MarkDestroying() { m_destroying = true; }
    // True on a receive thread of `api` (also inside its OnConnectionLost).
    static bool OnReceiveThreadOf(const IKivQuoteAPIExtend* api);

    int ReadyState() const { return m_readyState; }
    uint32_t RequestCounter() const { return m_requestCounter; }
    int Socket() const { return m_socket; }
    QuoteDataCache& Cache() { return m_cache; }

private:
    enum class RequestStep { NotReady, NoKey, NoSessionId, Disconnected, SendFailed, Sent };

    // Checks and sends one request; the caller logs the step's line.
    RequestStep IssueRequest(
        int command, const void* key, size_t keySize, bool needsKey, uint32_t* sessionID);
    // Logs why a request was not sent; its result code.
    int Refuse(RequestStep step, const char* operation, const char* keyName);
    int RequestSubscription(uint32_t* sessionID, const QuoteContractKey* contract, bool subscribe);
    void HandleSubscriptionReply(const WireMessage& message, bool subscribe);
    void AnnounceIfReady();
    enum RecordKind { KeyedKind, CommodityKind, ContractKind, RecordKinds };
    // A push the cache refused for its cap: one line at the first of a connection.
    void NoteDroppedRecord(RecordKind kind);
    // How many pushes the caps refused during the connection that ends.
    void ReportDroppedRecords();
    // The caller's handler while callbacks may reach it: not once the object
    // is being freed, nor once the connection being dispatched has been
    // closed (what is still buffered of it is dropped). Asked before every
    // callback.
    IKivQuoteEvents* Events() const;
    // Whether frames of the connection this thread dispatches may still be handled.
    bool Dispatching() const;
    // Gives up the receive thread's claim on a socket it will not read.
    void ReleaseUnreadSocket(int socket);
    // The end of a connection seen by its receive thread: close and reset.
    void EndConnection(int socket);
    // The end of a receive thread (`receiveThread`) or of a start that failed before it.
    void ThreadFinished(bool receiveThread);
    // Joins the receive threads that have ended, so ended connections do not pile up.
    void JoinFinishedThreads();

    QuoteAppInfo m_appInfo;
    QuoteLoginRecord m_loginRecord;
    char m_serverIp[128];
    uint16_t m_serverPort = 0;
    std::atomic<IKivQuoteEvents*> m_handler { nullptr };
    std::atomic<int> m_socket { -1 };
    std::atomic<uint32_t> m_requestCounter { 0 };
    std::atomic<int> m_readyState { -1 };
    std::atomic<bool> m_loginComplete { false };
    std::atomic<bool> m_commodityComplete { false };
    std::atomic<bool> m_contractComplete { false };
    RecvBuffer m_recvBuffer { RecvBuffer::kDefaultCapacity };
    // Filled from frame to frame by whoever dispatches (the receive thread).
    WireMessage m_message;
    // The socket whose frames the receive thread dispatches, -1 while none
    // does (and for frames handed to Dispatch without a connection). Only
    // the receive thread writes it, and gives it back before the next
    // connection can start.
    int m_dispatchedSocket = -1;
    static constexpr size_t kMessageStorageKept = 64 * 1024;
    QuoteDataCache m_cache;
    // Pushes refused by the cache's caps in this connection (receive thread only).
    uint64_t m_droppedRecords[RecordKinds] = {};
    std::atomic<bool> m_destroying { false };

    // Receive threads: the socket the newest one owns, how many have not
    // yet reset the session state, how many still run at all, the threads
    // not yet joined and which of them have ended.
    std::mutex m_connMutex;
    std::condition_variable m_connChanged;
    int m_readerSocket = -1;
    int m_activeReaders = 0;
    int m_runningThreads = 0;
    std::vector<std::thread> m_threads;
    std::vector<std::thread::id> m_finishedThreads;
};
