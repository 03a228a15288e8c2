#pragma once

// A quote server for the library's framed protocol, for the tests. It has a
// frame codec of its own, so the library's codec is checked against an
// independent reading of the protocol.

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "IKivQuoteAPI.h"

namespace kqtest
{

struct Frame {
    uint32_t command = 0;
    bool hasParams = false;
    std::string params;
    std::string body;
    std::string raw; // the whole frame as it came over the wire
    int connection = 0;
};

std::string EncodeFrame(
    uint32_t command, const std::string& params, const std::string& body, bool withParams = true);
// Only the well-formed "name=value;" pairs the library writes.
std::map<std::string, std::string> SplitParams(const std::string& params);

template <typename Record> std::string Bytes(const Record& record)
{
    return std::string(reinterpret_cast<const char*>(&record), sizeof(Record));
}

class QuoteServer
{
public:
    QuoteServer();
    ~QuoteServer();
    QuoteServer(const QuoteServer&) = delete;
    QuoteServer& operator=(const QuoteServer&) = delete;

    uint16_t Port() const { return m_port; }

    // What happens on a login: known users get a reply with errorCode
    // `acceptCode` and the login body, then the keyed, commodity and contract
    // pushes in that order, then the completion messages in `completionOrder`.
    // Anyone else gets errorCode 1.
    void AddUser(const std::string& account, const std::string& password);
    void SetAcceptCode(int code);
    void SetLoginBody(const std::string& body);
    void AddKeyedRecord(const QuoteKeyedRecord& record);
    void AddCommodity(const QuoteCommodityRecord& record);
    void AddContract(const QuoteContractRecord& record);
    void ClearRecords();
    void SetCompletionOrder(const std::vector<uint32_t>& order);
    // errorCode of the (un)subscribe replies; a failed reply carries no body.
    void SetSubscribeError(int code);
    // false: queries and subscriptions are recorded but not answered.
    void SetAnswerRequests(bool answer);

    // Commands on the newest connection.
    void SendRaw(const std::string& bytes);
    void SendFrame(
        uint32_t command, const std::string& params, const std::string& body, bool withParams = true);
    void PushQuote(const std::string& body);
    void Cut();

    // Observations; the waits give up after `seconds` and report failure.
    int Connections() const;
    int ClosedConnections() const;
    bool WaitForConnections(int count, double seconds = 10);
    bool WaitForClosedConnections(int count, double seconds = 10);
    bool WaitForFrames(uint32_t command, size_t count, double seconds = 10);
    std::vector<Frame> Frames(uint32_t command) const;
    std::vector<Frame> AllFrames() const;

private:
    struct Connection {
        int fd = -1;
        int id = 0;
        std::mutex writeMutex;
        std::thread reader;
        bool closed = false;
    };

    void AcceptLoop();
    void ReadLoop(std::shared_ptr<Connection> connection);
    void Answer(Connection& connection, const Frame& frame);
    void Write(Connection& connection, const std::string& bytes);
    std::shared_ptr<Connection> Newest() const;

    int m_listenFd = -1;
    int m_wakePipe[2] = { -1, -1 };
    uint16_t m_port = 0;
    std::thread m_acceptThread;

    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<std::shared_ptr<Connection>> m_connections;
    std::vector<Frame> m_frames;
    int m_closed = 0;

    std::map<std::string, std::string> m_users;
    int m_acceptCode = 0;
    std::string m_loginBody;
    std::vector<std::string> m_keyed;
    std::vector<std::string> m_commodities;
    std::vector<std::string> m_contracts;
    std::vector<uint32_t> m_completionOrder { 11001, 11002, 11003 };
    int m_subscribeError = 0;
    bool m_answerRequests = true;
};

} // namespace kqtest
