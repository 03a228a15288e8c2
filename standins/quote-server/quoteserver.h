#pragma once

// The quote server: one thread, one poll loop, any number of clients, each
// speaking the framed quote protocol.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "market.h"

namespace quoteserver
{

// Kinds of pushes that --flood sends unasked.
enum FloodKind : unsigned { kFloodQuotes = 1, kFloodDepth = 2, kFloodTrades = 4, kFloodKLines = 8 };

struct ServerOptions {
    int port = 0; // 0: any free port
    double rate = 2.0; // market steps per second; 0 stops the walk
    std::size_t moves = 0; // contracts a step moves at most, taking turns; 0: all
    bool refuseLogin = false; // answer every login with an error
    bool silent = false; // never answer a login
    double dropAfter = 0; // close each connection this many seconds after it came; 0: never
    bool verbose = false; // one line per request on the log stream
    // FloodKind bits: once a client has subscribed, these pushes go to it as
    // fast as its socket takes them, of market contracts and of codes nobody
    // subscribed alike; the K-line replies answer no query.
    unsigned flood = 0;
    // Once a second, a line on the log stream with the quotes pushed and held
    // back (for a client too far behind) and the pushes flooded since the start.
    bool stats = false;
};

// Error codes of the replies.
enum ErrorCode : std::int32_t {
    kErrLoginRefused = 1,
    kErrNotLoggedIn = 2,
    kErrBadPayload = 3,
    kErrUnknownContract = 4,
    kErrUnsupported = 5, // a subscription mode or K-line period this server does not serve
    kErrUnsupportedRequest = 6,
    kErrUnknownMethod = 7,
};

class QuoteServer
{
public:
    // Verbose lines go to `log`, faults of clients to `errors`; either may be null.
    QuoteServer(Market& market, ServerOptions options, std::FILE* log = stdout, std::FILE* errors = stderr);
    ~QuoteServer();
    QuoteServer(const QuoteServer&) = delete;
    QuoteServer& operator=(const QuoteServer&) = delete;

    // Binds 127.0.0.1 and the configured port.
    bool Listen(std::string* error);
    int Port() const { return m_port; }

    // Serves until Stop; returns at once when Listen has not succeeded.
    void Run();
    // From any thread, and from a signal handler.
    void Stop();

private:
    struct Client;
    using Clock = std::chrono::steady_clock;

    void Accept();
    bool ReadFrom(Client& c);
    bool WriteTo(Client& c);
    bool Handle(Client& c, const std::string& body);
    void Reply(Client& c, int method, const std::string& reqId, const google::protobuf::Message* payload,
        std::int32_t errorCode = 0, const std::string& errorText = std::string());
    void Subscribe(Client& c, const std::string& reqId, const pb::ReqSubscribedField& req);
    void Unsubscribe(Client& c, const std::string& reqId, const pb::ReqUnSubscribedField& req);
    void History(Client& c, const std::string& reqId, const pb::ReqQryHistoryField& req);
    void Tick();
    void PushSnapshot(Client& c, std::size_t contract, std::uint64_t nowMs);
    void PushDepth(Client& c, std::size_t contract, std::uint64_t nowMs);
    void Flood(Client& c);
    void Log(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void Warn(const char* format, ...) __attribute__((format(printf, 2, 3)));

    Market& m_market;
    ServerOptions m_options;
    std::FILE* m_log;
    std::FILE* m_errors;
    int m_listenFd = -1;
    int m_wakeFd = -1;
    int m_port = 0;
    std::atomic<bool> m_stop { false };
    std::vector<std::unique_ptr<Client>> m_clients;
    Clock::time_point m_nextTick;
    std::vector<std::size_t> m_changed, m_traded;
    std::uint64_t m_floodSerial = 0;
    std::uint64_t m_quotesPushed = 0, m_quotesHeldBack = 0;
    Clock::time_point m_nextStats;
};

} // namespace quoteserver
