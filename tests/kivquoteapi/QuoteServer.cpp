#include "QuoteServer.h"

#include <chrono>
#include <cstring>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kqtest
{

namespace
{

    constexpr uint32_t kMagic = 0x7B56FC91u;

    void PutLE32(std::string& out, uint32_t v)
    {
        for (int i = 0; i < 4; ++i)
            out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
    }

    uint32_t GetLE32(const std::string& s, size_t at)
    {
        uint32_t v = 0;
        for (int i = 3; i >= 0; --i)
            v = (v << 8) | static_cast<unsigned char>(s[at + static_cast<size_t>(i)]);
        return v;
    }

    std::chrono::steady_clock::time_point Deadline(double seconds)
    {
        return std::chrono::steady_clock::now()
            + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                std::chrono::duration<double>(seconds));
    }

} // namespace

std::string EncodeFrame(uint32_t command, const std::string& params, const std::string& body, bool withParams)
{
    std::string out;
    PutLE32(out, kMagic);
    if (withParams) {
        PutLE32(out, command | 0x80000000u);
        PutLE32(out, static_cast<uint32_t>(4 + params.size() + body.size()));
        PutLE32(out, static_cast<uint32_t>(params.size()));
        out += params;
    } else {
        PutLE32(out, command);
        PutLE32(out, static_cast<uint32_t>(body.size()));
    }
    out += body;
    return out;
}

std::map<std::string, std::string> SplitParams(const std::string& params)
{
    std::map<std::string, std::string> result;
    size_t start = 0;
    while (start < params.size()) {
        const size_t end = params.find(';', start);
        const std::string pair
            = params.substr(start, end == std::string::npos ? std::string::npos : end - start);
        const size_t equals = pair.find('=');
        if (equals != std::string::npos)
            result[pair.substr(0, equals)] = pair.substr(equals + 1);
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return result;
}

QuoteServer::QuoteServer()
{
    m_listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    if (::bind(m_listenFd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0
        || ::listen(m_listenFd, 16) != 0)
        std::abort();
    socklen_t length = sizeof(address);
    ::getsockname(m_listenFd, reinterpret_cast<sockaddr*>(&address), &length);
    m_port = ntohs(address.sin_port);
    if (::pipe2(m_wakePipe, O_CLOEXEC) != 0)
        std::abort();
    m_acceptThread = std::thread(&QuoteServer::AcceptLoop, this);
}

QuoteServer::~QuoteServer()
{
    const char wake = 'x';
    (void)!::write(m_wakePipe[1], &wake, 1);
    m_acceptThread.join();
    std::vector<std::shared_ptr<Connection>> connections;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        connections = m_connections;
    }
    for (const auto& connection : connections) {
        std::lock_guard<std::mutex> lock(connection->writeMutex);
        if (connection->fd != -1)
            ::shutdown(connection->fd, SHUT_RDWR);
    }
    for (const auto& connection : connections)
        connection->reader.join();
    ::close(m_listenFd);
    ::close(m_wakePipe[0]);
    ::close(m_wakePipe[1]);
}

void QuoteServer::AcceptLoop()
{
    for (;;) {
        pollfd fds[2] = { { m_listenFd, POLLIN, 0 }, { m_wakePipe[0], POLLIN, 0 } };
        if (::poll(fds, 2, -1) < 0)
            continue;
        if (fds[1].revents)
            return;
        const int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        auto connection = std::make_shared<Connection>();
        connection->fd = fd;
        std::lock_guard<std::mutex> lock(m_mutex);
        connection->id = static_cast<int>(m_connections.size()) + 1;
        connection->reader = std::thread(&QuoteServer::ReadLoop, this, connection);
        m_connections.push_back(connection);
        m_changed.notify_all();
    }
}

void QuoteServer::ReadLoop(std::shared_ptr<Connection> connection)
{
    std::string pending;
    char chunk[4096];
    for (;;) {
        const ssize_t n = ::recv(connection->fd, chunk, sizeof(chunk), 0);
        if (n <= 0)
            break;
        pending.append(chunk, static_cast<size_t>(n));
        while (pending.size() >= 12) {
            if (GetLE32(pending, 0) != kMagic) {
                pending.erase(0, 1);
                continue;
            }
            const uint32_t length = GetLE32(pending, 8);
            if (pending.size() < 12 + static_cast<size_t>(length))
                break;
            Frame frame;
            frame.connection = connection->id;
            const uint32_t word = GetLE32(pending, 4);
            frame.command = word & 0x7FFFFFFFu;
            frame.hasParams = (word & 0x80000000u) != 0;
            if (frame.hasParams) {
                const uint32_t paramsLength = GetLE32(pending, 12);
                frame.params = pending.substr(16, paramsLength);
                frame.body = pending.substr(16 + paramsLength, length - 4 - paramsLength);
            } else {
                frame.body = pending.substr(12, length);
            }
            frame.raw = pending.substr(0, 12 + length);
            pending.erase(0, 12 + length);
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_frames.push_back(frame);
                m_changed.notify_all();
            }
            Answer(*connection, frame);
        }
    }
    {
        // Closed here so that a test can count the library's descriptors;
        // writers check the handle under the same lock.
        std::lock_guard<std::mutex> lock(connection->writeMutex);
        ::close(connection->fd);
        connection->fd = -1;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    connection->closed = true;
    ++m_closed;
    m_changed.notify_all();
}

void QuoteServer::Answer(Connection& connection, const Frame& frame)
{
    const auto params = SplitParams(frame.params);
    const auto param = [&params](const char* name) {
        const auto it = params.find(name);
        return it == params.end() ? std::string() : it->second;
    };
    std::unique_lock<std::mutex> lock(m_mutex);
    const std::string session = "sessionID=" + param("sessionID") + ";";
    switch (frame.command) {
    case 10002: {
        const auto user = m_users.find(param("account"));
        if (user == m_users.end() || user->second != param("pwd")) {
            lock.unlock();
            Write(connection, EncodeFrame(10003, "errorCode=1;", ""));
            return;
        }
        std::string out = EncodeFrame(10003, "errorCode=" + std::to_string(m_acceptCode) + ";", m_loginBody);
        for (const auto& record : m_keyed)
            out += EncodeFrame(20001, "", record);
        for (const auto& record : m_commodities)
            out += EncodeFrame(20002, "", record);
        for (const auto& record : m_contracts)
            out += EncodeFrame(20003, "", record, false);
        for (const uint32_t command : m_completionOrder)
            out += EncodeFrame(command, "", "");
        lock.unlock();
        Write(connection, out);
        return;
    }
    case 10008:
        if (m_answerRequests) {
            lock.unlock();
            Write(connection, EncodeFrame(10009, session, ""));
        }
        return;
    case 10010:
        if (m_answerRequests) {
            lock.unlock();
            Write(connection, EncodeFrame(10011, session, frame.body));
        }
        return;
    case 10004:
    case 10006:
        if (m_answerRequests) {
            const int error = m_subscribeError;
            lock.unlock();
            Write(connection,
                EncodeFrame(frame.command + 1, session + "errorCode=" + std::to_string(error) + ";",
                    error == 0 ? frame.body : std::string()));
        }
        return;
    default:
        return;
    }
}

void QuoteServer::Write(Connection& connection, const std::string& bytes)
{
    std::lock_guard<std::mutex> lock(connection.writeMutex);
    if (connection.fd == -1)
        return;
    size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(connection.fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            return;
        sent += static_cast<size_t>(n);
    }
}

std::shared_ptr<QuoteServer::Connection> QuoteServer::Newest() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_connections.empty() ? nullptr : m_connections.back();
}

void QuoteServer::AddUser(const std::string& account, const std::string& password)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_users[account] = password;
}

void QuoteServer::SetAcceptCode(int code)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_acceptCode = code;
}

void QuoteServer::SetLoginBody(const std::string& body)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_loginBody = body;
}

void QuoteServer::AddKeyedRecord(const QuoteKeyedRecord& record)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_keyed.push_back(Bytes(record));
}

void QuoteServer::AddCommodity(const QuoteCommodityRecord& record)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_commodities.push_back(Bytes(record));
}

void QuoteServer::AddContract(const QuoteContractRecord& record)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_contracts.push_back(Bytes(record));
}

void QuoteServer::ClearRecords()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_keyed.clear();
    m_commodities.clear();
    m_contracts.clear();
}

void QuoteServer::SetCompletionOrder(const std::vector<uint32_t>& order)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_completionOrder = order;
}

void QuoteServer::SetSubscribeError(int code)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_subscribeError = code;
}

void QuoteServer::SetAnswerRequests(bool answer)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_answerRequests = answer;
}

void QuoteServer::SendRaw(const std::string& bytes)
{
    if (const auto connection = Newest())
        Write(*connection, bytes);
}

void QuoteServer::SendFrame(
    uint32_t command, const std::string& params, const std::string& body, bool withParams)
{
    SendRaw(EncodeFrame(command, params, body, withParams));
}

void QuoteServer::PushQuote(const std::string& body)
{
    SendFrame(20000, "", body, false);
}

void QuoteServer::Cut()
{
    if (const auto connection = Newest()) {
        std::lock_guard<std::mutex> lock(connection->writeMutex);
        if (connection->fd != -1)
            ::shutdown(connection->fd, SHUT_RDWR);
    }
}

int QuoteServer::Connections() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return static_cast<int>(m_connections.size());
}

int QuoteServer::ClosedConnections() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_closed;
}

bool QuoteServer::WaitForConnections(int count, double seconds)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_until(
        lock, Deadline(seconds), [&] { return static_cast<int>(m_connections.size()) >= count; });
}

bool QuoteServer::WaitForClosedConnections(int count, double seconds)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_until(lock, Deadline(seconds), [&] { return m_closed >= count; });
}

bool QuoteServer::WaitForFrames(uint32_t command, size_t count, double seconds)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_until(lock, Deadline(seconds), [&] {
        size_t seen = 0;
        for (const auto& frame : m_frames)
            seen += frame.command == command ? 1 : 0;
        return seen >= count;
    });
}

std::vector<Frame> QuoteServer::Frames(uint32_t command) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<Frame> result;
    for (const auto& frame : m_frames) {
        if (frame.command == command)
            result.push_back(frame);
    }
    return result;
}

std::vector<Frame> QuoteServer::AllFrames() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_frames;
}

} // namespace kqtest
