#include "IKivQuoteAPIExtend.h"

#include <algorithm>
#include <cstring>
#include <system_error>
#include <thread>

#include "ApiLimits.h"
#include "ApiLogger.h"
#include "ApiSocket.h"

namespace
{

// The object whose receive loop runs on this thread: set for the thread's
// whole life, and while it still holds its connection.
thread_local const IKivQuoteAPIExtend* t_receiveThreadOf = nullptr;
thread_local const IKivQuoteAPIExtend* t_connectionHeldBy = nullptr;

bool ReadSessionId(const ParamMap& params, uint32_t* sessionID)
{
    const auto it = params.find("sessionID");
    return it != params.end() && TextToUInt32(it->second, sessionID);
}

bool ReadErrorCode(const ParamMap& params, int32_t* errorCode)
{
    const auto it = params.find("errorCode");
    return it != params.end() && TextToInt32(it->second, errorCode);
}

template <typename Record> bool BodyHolds(const WireMessage& message, const char* what)
{
    if (message.Body().size() >= sizeof(Record))
        return true;
    KQLOG_ERROR(
        "Dropped %s message (command %d): body of %zu bytes is shorter than the %zu bytes expected.\n", what,
        message.Command(), message.Body().size(), sizeof(Record));
    return false;
}

template <typename Record> Record BodyRecord(const WireMessage& message)
{
    Record record;
    std::memcpy(&record, message.Body().data(), sizeof(Record));
    return record;
}

} // namespace

IKivQuoteAPIExtend::IKivQuoteAPIExtend(const QuoteAppInfo* appInfo)
{
    std::memcpy(&m_appInfo, appInfo, sizeof(m_appInfo));
    std::memset(&m_loginRecord, 0, sizeof(m_loginRecord));
    std::memset(m_serverIp, 0, sizeof(m_serverIp));
}

IKivQuoteAPIExtend::~IKivQuoteAPIExtend()
{
    m_destroying = true;
    std::unique_lock<std::mutex> lock(m_connMutex);
    const int socket = m_socket.exchange(-1);
    if (socket != -1) {
        if (socket == m_readerSocket)
            SocketShutdown(socket);
        else
            SocketClose(socket);
    }
    // Receive threads still use the object after their socket is gone; once
    // none runs, none can start another connection either.
    m_connChanged.wait(lock, [this] { return m_runningThreads == 0; });
    std::vector<std::thread> threads;
    threads.swap(m_threads);
    m_finishedThreads.clear();
    lock.unlock();
    // A thread that has said it is done is still on its way out of the
    // library's code; a caller that unloads the library after the free must
    // not find it there.
    for (std::thread& thread : threads) {
        if (thread.get_id() == std::this_thread::get_id())
            thread.detach();
        else
            thread.join();
    }
    // No receive thread of this object is left to write a pending count.
    ApiLogger::GetInstance().FlushLeftOut(true);
}

void IKivQuoteAPIExtend::JoinFinishedThreads()
{
    std::vector<std::thread> ended;
    {
        std::lock_guard<std::mutex> lock(m_connMutex);
        for (auto it = m_threads.begin(); it != m_threads.end();) {
            const std::thread::id id = it->get_id();
            auto finished = std::find(m_finishedThreads.begin(), m_finishedThreads.end(), id);
            if (finished == m_finishedThreads.end() || id == std::this_thread::get_id()) {
                ++it;
                continue;
            }
            m_finishedThreads.erase(finished);
            ended.push_back(std::move(*it));
            it = m_threads.erase(it);
        }
    }
    for (std::thread& thread : ended)
        thread.join();
}

bool IKivQuoteAPIExtend::Dispatching() const
{
    return !m_destroying && (m_dispatchedSocket == -1 || m_socket == m_dispatchedSocket);
}

IKivQuoteEvents* IKivQuoteAPIExtend::Events() const
{
    return Dispatching() ? m_handler.load() : nullptr;
}

bool IKivQuoteAPIExtend::OnReceiveThreadOf(const IKivQuoteAPIExtend* api)
{
    return api && t_receiveThreadOf == api;
}

int IKivQuoteAPIExtend::SetNotifyHandler(IKivQuoteEvents* handler)
{
    if (!handler)
        return KQ_ERR_BAD_ARGUMENT;
    m_handler = handler;
    return KQ_SUCCESS;
}

int IKivQuoteAPIExtend::SetServerAddress(const char* ip, uint16_t port)
{
    // An address that does not fit is refused rather than cut into another one.
    if (!ip || port == 0 || strnlen(ip, sizeof(m_serverIp)) >= sizeof(m_serverIp))
        return KQ_ERR_BAD_ARGUMENT;
    std::memset(m_serverIp, 0, sizeof(m_serverIp));
    std::memcpy(m_serverIp, ip, std::strlen(ip));
    m_serverPort = port;
    return KQ_SUCCESS;
}

int IKivQuoteAPIExtend::ConnectAndLogin(const QuoteLoginRecord* login)
{
    const ApiLogger::CallerLines callerLines;
    if (!login)
        return KQ_ERR_BAD_ARGUMENT;
    if (t_connectionHeldBy == this) {
        // Waiting for this very thread to let go of the old connection would never end.
        KQLOG_ERROR("ConnectAndLogin action cannot be called before the previous connection has ended.\n");
        return KQ_ERR_NETWORK;
    }
    {
        // After a Disconnect, a receive thread that has not yet reset the
        // session state would otherwise reset the new connection's state
        // and buffer: wait for it.
        std::unique_lock<std::mutex> lock(m_connMutex);
        const auto open = [this] { return m_socket != -1; };
        if (!open())
            m_connChanged.wait(lock, [this] { return m_activeReaders == 0; });
        if (open()) {
            KQLOG_ERROR(
                "ConnectAndLogin action cannot be called, since connection is already established.\n");
            return KQ_ERR_NETWORK;
        }
    }
    if (m_destroying)
        return KQ_ERR_NETWORK;
    JoinFinishedThreads();

    KQLOG_INFO("Connecting to server...\n");
    std::memcpy(&m_loginRecord, login, sizeof(m_loginRecord));
    if (SocketStartup() != 0)
        return KQ_ERR_NETWORK;
    const int socket = SocketConnect(m_serverIp, m_serverPort, ApiLimits::Current().connectTimeout);
    if (socket == -1) {
        KQLOG_ERROR("Cannot connect to server ip:%s, port:%d.\n", m_serverIp, static_cast<int>(m_serverPort));
        return KQ_ERR_NETWORK;
    }
    {
        // Claimed for the receive thread before anyone can see the handle, so
        // that a Disconnect from now on only shuts it down.
        std::lock_guard<std::mutex> lock(m_connMutex);
        m_socket = socket;
        m_readerSocket = socket;
        ++m_activeReaders;
        ++m_runningThreads;
    }
    KQLOG_INFO("Connected to server.\n");

    WireMessage request(1, CMD_LOGIN);
    request.AddParam("account", FieldText(m_loginRecord.Account));
    request.AddParam("pwd", FieldText(m_loginRecord.Password));
    const std::string frame = request.Serialize();
    if (SocketSend(socket, frame.data(), frame.size()) < 1) {
        KQLOG_ERROR("Failed to send login packet to server.\n");
        ReleaseUnreadSocket(socket);
        ThreadFinished(false);
        return KQ_ERR_NETWORK;
    }
    KQLOG_INFO("Sent login information to server.\n");
    KQLOG_INFO("Waiting for response...\n");

    // Kept, not detached: the destructor joins it, so that no thread of the
    // library outlives the free of its object.
    bool started = false;
    try {
        std::lock_guard<std::mutex> lock(m_connMutex);
        m_threads.emplace_back(&IKivQuoteAPIExtend::ReceiveLoop, this, socket);
        started = true;
    } catch (const std::exception&) {
    }
    if (!started) {
        KQLOG_ERROR("Cannot start the thread for receiving messages.\n");
        ReleaseUnreadSocket(socket);
        ThreadFinished(false);
        Disconnect();
        return KQ_ERR_NETWORK;
    }
    return KQ_SUCCESS;
}

int IKivQuoteAPIExtend::Disconnect()
{
    const ApiLogger::CallerLines callerLines;
    std::lock_guard<std::mutex> lock(m_connMutex);
    const int socket = m_socket.exchange(-1);
    if (socket == -1)
        return KQ_SUCCESS;
    KQLOG_INFO("Disconnect action is called.\n");
    if (socket == m_readerSocket)
        SocketShutdown(socket);
    else
        SocketClose(socket);
    return KQ_SUCCESS;
}

IKivQuoteAPIExtend::RequestStep IKivQuoteAPIExtend::IssueRequest(
    int command, const void* key, size_t keySize, bool needsKey, uint32_t* sessionID)
{
    if (m_readyState != 0)
        return RequestStep::NotReady;
    if (needsKey && !key)
        return RequestStep::NoKey;
    if (!sessionID)
        return RequestStep::NoSessionId;
    const int socket = m_socket;
    if (socket == -1)
        return RequestStep::Disconnected;
    const uint32_t id = m_requestCounter.fetch_add(1);
    *sessionID = id;
    WireMessage request(1, command);
    request.AddParam("sessionID", UIntToText(id));
    if (needsKey)
        request.SetBody(static_cast<const char*>(key), keySize);
    const std::string frame = request.Serialize();
    if (SocketSend(socket, frame.data(), frame.size()) <= 0)
        return RequestStep::SendFailed;
    return RequestStep::Sent;
}

int IKivQuoteAPIExtend::Refuse(RequestStep step, const char* operation, const char* keyName)
{
    switch (step) {
    case RequestStep::NotReady:
        KQLOG_ERROR("%s action cannot be called, since API is not ready.\n", operation);
        return KQ_ERR_NOT_READY;
    case RequestStep::NoKey:
        KQLOG_ERROR("%s action cannot be called, since %s param is empty.\n", operation, keyName);
        return KQ_ERR_BAD_ARGUMENT;
    case RequestStep::NoSessionId:
        KQLOG_ERROR("%s action cannot be called, since sessionID param is empty.\n", operation);
        return KQ_ERR_BAD_ARGUMENT;
    case RequestStep::Disconnected:
    default:
        KQLOG_ERROR("%s action cannot be called, since connection is in disconnected.\n", operation);
        return KQ_ERR_NETWORK;
    }
}

int IKivQuoteAPIExtend::QryCommodity(uint32_t* sessionID)
{
    const ApiLogger::CallerLines callerLines;
    const RequestStep step = IssueRequest(CMD_QRY_COMMODITY, nullptr, 0, false, sessionID);
    if (step == RequestStep::SendFailed) {
        KQLOG_ERROR("Failed to send qry commodity command to server.\n");
        return KQ_ERR_NETWORK;
    }
    if (step != RequestStep::Sent)
        return Refuse(step, "QryCommodity", "sessionID");
    KQLOG_INFO("QryCommodity action is called sucessfully.\n");
    return KQ_SUCCESS;
}

int IKivQuoteAPIExtend::QryContract(uint32_t* sessionID, const QuoteCommodityKey* qryReq)
{
    const ApiLogger::CallerLines callerLines;
    const RequestStep step
        = IssueRequest(CMD_QRY_CONTRACT, qryReq, sizeof(QuoteCommodityKey), true, sessionID);
    if (step == RequestStep::SendFailed) {
        KQLOG_ERROR("Failed to send qry contract command to server.\n");
        return KQ_ERR_NETWORK;
    }
    if (step != RequestStep::Sent)
        return Refuse(step, "QryContract", "qryReq");
    KQLOG_INFO("QryContract action is called sucessfully. Command detail: Ex-%s, Type-%c, No-%s: \n",
        FieldText(qryReq->ExchangeNo).c_str(), qryReq->CommodityType, FieldText(qryReq->CommodityNo).c_str());
    return KQ_SUCCESS;
}

int IKivQuoteAPIExtend::SubscribeQuote(uint32_t* sessionID, const QuoteContractKey* contract)
{
    const ApiLogger::CallerLines callerLines;
    return RequestSubscription(sessionID, contract, true);
}

int IKivQuoteAPIExtend::UnSubscribeQuote(uint32_t* sessionID, const QuoteContractKey* contract)
{
    const ApiLogger::CallerLines callerLines;
    return RequestSubscription(sessionID, contract, false);
}

int IKivQuoteAPIExtend::RequestSubscription(
    uint32_t* sessionID, const QuoteContractKey* contract, bool subscribe)
{
    const RequestStep step = IssueRequest(
        subscribe ? CMD_SUBSCRIBE : CMD_UNSUBSCRIBE, contract, sizeof(QuoteContractKey), true, sessionID);
    if (step != RequestStep::Sent && step != RequestStep::SendFailed)
        return Refuse(step, subscribe ? "SubscribeQuote" : "UnSubscribeQuote", "contract");
    const char* what = subscribe ? "subscribe" : "unsubscribe";
    const QuoteCommodityKey& key = contract->CommodityKey;
    const std::string exchange = FieldText(key.ExchangeNo);
    const std::string commodity = FieldText(key.CommodityNo);
    const std::string number = FieldText(contract->ContractNo1);
    if (step == RequestStep::SendFailed) {
        KQLOG_ERROR(
            "Failed to send %s command to server. Command detail: Ex-%s, Type-%c, No-%s, ContractNo1-%s.\n",
            what, exchange.c_str(), key.CommodityType, commodity.c_str(), number.c_str());
        return KQ_ERR_NETWORK;
    }
    KQLOG_INFO(
        "Send %s command to server sucessfully. Command detail: Ex-%s, Type-%c, No-%s, ContractNo1-%s.\n",
        what, exchange.c_str(), key.CommodityType, commodity.c_str(), number.c_str());
    return KQ_SUCCESS;
}

void IKivQuoteAPIExtend::ReceiveLoop(int socket)
{
    t_receiveThreadOf = this;
    t_connectionHeldBy = this;
    KQLOG_INFO("Start thread for receiving and processing messages.\n");
    if (socket == -1 || !m_handler.load()) {
        // Nothing is read; the connection stays open until Disconnect or
        // the destructor closes it.
        ReleaseUnreadSocket(socket);
        t_connectionHeldBy = nullptr;
        ThreadFinished(true);
        return;
    }
    // Reads wake up now and then even on a quiet connection, so that the
    // count of log lines left out during a flood is written soon after it.
    SocketSetReadTimeout(socket, ApiLimits::Current().logSummaryDelay);
    m_dispatchedSocket = socket;
    while (Dispatching()) {
        const int result = m_recvBuffer.ReadFromSocket(socket);
        if (result > 0) {
            if (!DispatchAll(m_recvBuffer))
                break;
            continue;
        }
        if (result < 0 && SocketReadTimedOut()) {
            ApiLogger::GetInstance().FlushLeftOut();
            continue;
        }
        break;
    }
    m_dispatchedSocket = -1;
    KQLOG_ERROR("Connection is disconnected.\n");
    ReportDroppedRecords();
    ApiLogger::GetInstance().FlushLeftOut(true);
    EndConnection(socket);
    t_connectionHeldBy = nullptr;
    if (!m_destroying) {
        if (IKivQuoteEvents* events = m_handler.load())
            events->OnConnectionLost(KQ_ERR_NETWORK);
    }
    ThreadFinished(true);
}

void IKivQuoteAPIExtend::ReleaseUnreadSocket(int socket)
{
    std::lock_guard<std::mutex> lock(m_connMutex);
    if (m_readerSocket == socket)
        m_readerSocket = -1;
    // Taken out by Disconnect while it was claimed, so only shut down: close it here.
    if (m_socket != socket)
        SocketClose(socket);
    --m_activeReaders;
    m_connChanged.notify_all();
}

void IKivQuoteAPIExtend::EndConnection(int socket)
{
    std::lock_guard<std::mutex> lock(m_connMutex);
    int expected = socket;
    m_socket.compare_exchange_strong(expected, -1);
    if (m_readerSocket == socket)
        m_readerSocket = -1;
    SocketClose(socket);
    m_requestCounter = 0;
    m_readyState = -1;
    m_loginComplete = false;
    m_commodityComplete = false;
    m_contractComplete = false;
    // A partial frame of this connection must not join the bytes of the next.
    m_recvBuffer.Reset();
    --m_activeReaders;
    m_connChanged.notify_all();
}

void IKivQuoteAPIExtend::ThreadFinished(bool receiveThread)
{
    // Notified under the lock: the destructor may free the object as soon as
    // the lock is released.
    std::lock_guard<std::mutex> lock(m_connMutex);
    --m_runningThreads;
    // A start that failed ends here on the caller's thread, which nobody joins.
    if (receiveThread)
        m_finishedThreads.push_back(std::this_thread::get_id());
    m_connChanged.notify_all();
}

bool IKivQuoteAPIExtend::DispatchAll(RecvBuffer& buffer)
{
    bool readable = true;
    while (Dispatching()) {
        const FrameStatus status = buffer.ExtractMessage(&m_message);
        if (status == FrameStatus::Incomplete)
            break;
        if (status == FrameStatus::Malformed) {
            KQLOG_ERROR("Received a malformed frame (length or params length out of bounds), dropping the "
                        "connection.\n");
            readable = false;
            break;
        }
        Dispatch(m_message);
    }
    m_message.Trim(kMessageStorageKept);
    return readable;
}

void IKivQuoteAPIExtend::Dispatch(const WireMessage& message)
{
    switch (message.Command()) {
    case CMD_LOGIN_REPLY:
        return HandleLoginResponse(message);
    case CMD_SUBSCRIBE_REPLY:
        return HandleSubscribeResponse(message);
    case CMD_UNSUBSCRIBE_REPLY:
        return HandleUnsubscribeResponse(message);
    case CMD_QRY_COMMODITY_REPLY:
        return HandleCommodityResponse(message);
    case CMD_QRY_CONTRACT_REPLY:
        return HandleContractResponse(message);
    case CMD_LOGIN_COMPLETE:
        return HandleLoginComplete(message);
    case CMD_COMMODITY_COMPLETE:
        return HandleCommodityComplete(message);
    case CMD_CONTRACT_COMPLETE:
        return HandleContractComplete(message);
    case CMD_QUOTE_PUSH:
        return HandleQuotePush(message);
    case CMD_KEYED_RECORD_PUSH:
        return HandleKeyedRecordPush(message);
    case CMD_COMMODITY_PUSH:
        return HandleCommodityPush(message);
    case CMD_CONTRACT_PUSH:
        return HandleContractPush(message);
    default:
        return;
    }
}

void IKivQuoteAPIExtend::HandleLoginResponse(const WireMessage& message)
{
    IKivQuoteEvents* events = Events();
    int32_t errorCode = 0;
    const bool known = ReadErrorCode(message.ParseParams(), &errorCode);
    if (!known || errorCode == 1) {
        if (known)
            KQLOG_ERROR("Failed to login, invalid user information.\n");
        else
            KQLOG_ERROR("Failed to login, the login response carries no valid errorCode.\n");
        if (events)
            events->OnLoginReply(KQ_ERR_LOGIN_REJECTED, nullptr);
        Disconnect();
        return;
    }
    KQLOG_INFO("Succeed in Logining.\n");
    if (events)
        events->OnLoginReply(KQ_SUCCESS, message.Body().data());
}

void IKivQuoteAPIExtend::HandleSubscribeResponse(const WireMessage& message)
{
    HandleSubscriptionReply(message, true);
}

void IKivQuoteAPIExtend::HandleUnsubscribeResponse(const WireMessage& message)
{
    HandleSubscriptionReply(message, false);
}

void IKivQuoteAPIExtend::HandleSubscriptionReply(const WireMessage& message, bool subscribe)
{
    const char* what = subscribe ? "subscribe" : "unsubscribe";
    const ParamMap params = message.ParseParams();
    uint32_t sessionID = 0;
    if (!ReadSessionId(params, &sessionID)) {
        KQLOG_ERROR("Dropped %s response message without a valid sessionID.\n", what);
        return;
    }
    int32_t errorCode = 0;
    if (!ReadErrorCode(params, &errorCode)) {
        KQLOG_ERROR("The %s response message of session %u carries no valid errorCode, reported as failed.\n",
            what, sessionID);
        errorCode = KQ_ERR_NETWORK;
    }
    const QuoteContractKey* info = nullptr;
    if (errorCode == 0) {
        if (!BodyHolds<QuoteContractKey>(message, what))
            return;
        info = reinterpret_cast<const QuoteContractKey*>(message.Body().data());
        const QuoteContractKey key = BodyRecord<QuoteContractKey>(message);
        KQLOG_INFO(
            "Successfully recv %s response message with quote: Ex-%s, Type-%c, No-%s, ContractNo1-%s.\n",
            what, FieldText(key.CommodityKey.ExchangeNo).c_str(), key.CommodityKey.CommodityType,
            FieldText(key.CommodityKey.CommodityNo).c_str(), FieldText(key.ContractNo1).c_str());
    }
    if (IKivQuoteEvents* events = Events()) {
        if (subscribe)
            events->OnSubscribeReply(sessionID, errorCode, 'Y', info);
        else
            events->OnUnsubscribeReply(sessionID, errorCode, 'Y', info);
    }
}

void IKivQuoteAPIExtend::HandleCommodityResponse(const WireMessage& message)
{
    uint32_t sessionID = 0;
    if (!ReadSessionId(message.ParseParams(), &sessionID)) {
        KQLOG_ERROR("Dropped query commodity response without a valid sessionID.\n");
        return;
    }
    KQLOG_INFO("Recv query commodity response, begin to find all commodities.\n");
    QuoteCommodityRecord scratch;
    std::memset(&scratch, 0, sizeof(scratch));
    int delivered = 0;
    bool isLast = false;
    for (int n = 0; m_cache.CommodityAt(n, &scratch, &isLast); ++n) {
        // A callback may free the object or disconnect: the rest is not delivered then.
        if (!Dispatching())
            break;
        if (IKivQuoteEvents* events = Events())
            events->OnCommodityItem(sessionID, 0, isLast ? 'Y' : 'N', &scratch);
        ++delivered;
        if (isLast)
            break;
    }
    KQLOG_INFO("Find all commodities with count %d.\n", delivered);
}

void IKivQuoteAPIExtend::HandleContractResponse(const WireMessage& message)
{
    uint32_t sessionID = 0;
    if (!ReadSessionId(message.ParseParams(), &sessionID)) {
        KQLOG_ERROR("Dropped query contract response without a valid sessionID.\n");
        return;
    }
    KQLOG_INFO("Recv query contract response, begin to find all matched contracts.\n");
    if (!BodyHolds<QuoteCommodityKey>(message, "query contract response"))
        return;
    const QuoteCommodityKey filter = BodyRecord<QuoteCommodityKey>(message);
    const auto deliver = [this, sessionID](char isLast, const QuoteContractRecord* contract) {
        if (IKivQuoteEvents* events = Events())
            events->OnContractItem(sessionID, 0, isLast, contract);
    };

    // The last match can only be told once the walk is over, so matches are
    // held back: two at most, the older one delivered when a third arrives.
    QuoteContractRecord held[2];
    int heldCount = 0;
    QuoteContractRecord current;
    bool isLast = false;
    for (int n = 0; m_cache.ContractAt(n, &current, &isLast); ++n) {
        if (ContractMatches(&filter, &current)) {
            if (heldCount == 2) {
                deliver('N', &held[0]);
                held[0] = held[1];
                held[1] = current;
            } else {
                held[heldCount++] = current;
            }
        }
        if (isLast || !Dispatching())
            break;
    }
    if (heldCount == 2) {
        deliver('N', &held[0]);
        deliver('Y', &held[1]);
    } else if (heldCount == 1) {
        deliver('Y', &held[0]);
    }
}

bool IKivQuoteAPIExtend::ContractMatches(const QuoteCommodityKey* filter, const QuoteContractRecord* contract)
{
    if (!filter || !contract)
        return false;
    const QuoteCommodityKey& key = contract->ContractKey.CommodityKey;
    const bool exchangeSet = filter->ExchangeNo[0] != '\0';
    const bool typeGiven = filter->CommodityType != '\0';
    const bool commoditySet = filter->CommodityNo[0] != '\0';
    const bool sameExchange = FieldCompare(filter->ExchangeNo, key.ExchangeNo) == 0;
    const bool sameType = filter->CommodityType == key.CommodityType;
    const bool sameCommodity = FieldCompare(filter->CommodityNo, key.CommodityNo) == 0;
    if (!exchangeSet)
        return !typeGiven && !commoditySet;
    if (!typeGiven)
        return !commoditySet && sameExchange;
    if (!commoditySet)
        return sameExchange && sameType;
    return sameExchange && sameType && sameCommodity;
}

bool IKivQuoteAPIExtend::AllCompleteFlagsSet() const
{
    return m_loginComplete && m_commodityComplete && m_contractComplete;
}

void IKivQuoteAPIExtend::HandleLoginComplete(const WireMessage&)
{
    m_loginComplete = true;
    KQLOG_INFO("Received fwd login complete message.\n");
    AnnounceIfReady();
}

void IKivQuoteAPIExtend::HandleCommodityComplete(const WireMessage&)
{
    m_commodityComplete = true;
    KQLOG_INFO("Received fwd commodity complete message.\n");
    AnnounceIfReady();
}

void IKivQuoteAPIExtend::HandleContractComplete(const WireMessage&)
{
    m_contractComplete = true;
    KQLOG_INFO("Received fwd contract complete message.\n");
    AnnounceIfReady();
}

void IKivQuoteAPIExtend::AnnounceIfReady()
{
    if (!AllCompleteFlagsSet())
        return;
    m_readyState = 0;
    if (IKivQuoteEvents* events = Events())
        events->OnReadyForRequests();
}

void IKivQuoteAPIExtend::HandleQuotePush(const WireMessage& message)
{
    if (IKivQuoteEvents* events = Events())
        events->OnQuoteData(message.Body().data());
}

void IKivQuoteAPIExtend::HandleKeyedRecordPush(const WireMessage& message)
{
    if (!BodyHolds<QuoteKeyedRecord>(message, "keyed record push"))
        return;
    const QuoteKeyedRecord record = BodyRecord<QuoteKeyedRecord>(message);
    if (!m_cache.PutKeyedRecord(&record))
        NoteDroppedRecord(KeyedKind);
}

void IKivQuoteAPIExtend::HandleCommodityPush(const WireMessage& message)
{
    if (!BodyHolds<QuoteCommodityRecord>(message, "commodity push"))
        return;
    const QuoteCommodityRecord record = BodyRecord<QuoteCommodityRecord>(message);
    if (!m_cache.PutCommodity(&record))
        NoteDroppedRecord(CommodityKind);
}

void IKivQuoteAPIExtend::HandleContractPush(const WireMessage& message)
{
    if (!BodyHolds<QuoteContractRecord>(message, "contract push"))
        return;
    const QuoteContractRecord record = BodyRecord<QuoteContractRecord>(message);
    if (!m_cache.PutContract(&record))
        NoteDroppedRecord(ContractKind);
}

namespace
{

const char* const kRecordKindNames[] = { "keyed", "commodity", "contract" };

} // namespace

void IKivQuoteAPIExtend::NoteDroppedRecord(RecordKind kind)
{
    if (m_droppedRecords[kind]++ != 0)
        return;
    const size_t cap = kind == KeyedKind ? m_cache.KeyedRecordCap()
        : kind == CommodityKind          ? m_cache.CommodityCap()
                                         : m_cache.ContractCap();
    KQLOG_WARN("The record cache holds its cap of %zu %s records: new %s records pushed by the server are "
               "dropped.\n",
        cap, kRecordKindNames[kind], kRecordKindNames[kind]);
}

void IKivQuoteAPIExtend::ReportDroppedRecords()
{
    for (int kind = 0; kind < RecordKinds; ++kind) {
        if (m_droppedRecords[kind] == 0)
            continue;
        KQLOG_WARN("Dropped %llu new %s records over the record cache's cap during this connection.\n",
            static_cast<unsigned long long>(m_droppedRecords[kind]), kRecordKindNames[kind]);
        m_droppedRecords[kind] = 0;
    }
}
