#pragma once

// Shared pieces of the quote client tests: a fresh client with short waits for
// every test, the quote-server program as a child process, a frame-aware TCP
// relay between client and server that records and alters traffic, a reader of
// the log lines written since a mark, and a receiver of the client's signals
// on the GUI thread.

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <arpa/inet.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <dirent.h>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <QCoreApplication>
#include <QObject>
#include <QThread>

#include "../standins/childprocess.h"
#include "kw.pb.ostrel2.pb.h"
#include "logger.h"
#include "nquoteclient.h"
#include "ostrelwire.h"
#include "timer.h"
#include "tradeconfig.h"

// Shortcuts to the client's seams, so that a test reads as the operation it makes.
struct NQuoteClientProbe {
    using State = QuoteLink::State;
    using Timings = NQuoteClient::Timings;

    static NQuoteClient& Client() { return *NQuoteClient::Instance(); }
    static void Fresh(const Timings& timings)
    {
        Client().Reset();
        Client().SetTimings(timings);
    }
    static void SetTimings(const Timings& timings) { Client().SetTimings(timings); }
    static Timings GetTimings() { return Client().GetTimings(); }
    static State GetState() { return Client().Link().CurrentState(); }
    static bool AwaitingLogin() { return Client().Link().AwaitingLogin(); }
    static std::size_t PendingHeartBeats() { return Client().Link().PendingHeartBeats(); }
    static bool HeartBeatsRunning() { return Client().Link().HeartBeatsRunning(); }
    static bool ReconnectsIdle() { return Client().Link().ReconnectsIdle(); }
    static std::mutex& CacheMutex() { return Client().Store().Mutex(); }
    // Takes the contract as subscribed, as a commodity reply listing it would.
    static void Subscribe(const std::string& key) { Client().Store().Subscribe(key); }
};

namespace kit
{

// The client's waits in the tests: a heartbeat and a retry interval short
// enough that a test sees several of them in a second.
inline NQuoteClientProbe::Timings TestTimings()
{
    NQuoteClientProbe::Timings timings;
    timings.heartBeatDelay = std::chrono::milliseconds(300);
    timings.reconnectDelay = std::chrono::milliseconds(400);
    return timings;
}

namespace pb = kw::pb::ostrel2;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

inline long ElapsedMs(Clock::time_point since)
{
    return static_cast<long>(std::chrono::duration_cast<milliseconds>(Clock::now() - since).count());
}

inline NQuoteClient* Client()
{
    return NQuoteClient::Instance();
}

// Waits for `done` while the GUI thread keeps delivering queued signals.
inline bool WaitFor(const std::function<bool()>& done, int timeoutMs)
{
    const auto deadline = Clock::now() + milliseconds(timeoutMs);
    while (!done()) {
        if (Clock::now() >= deadline)
            return done();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        std::this_thread::sleep_for(milliseconds(2));
    }
    return true;
}

inline std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// ---- quote-server ---------------------------------------------------------------

// The quote-server program as a child process. Its first output line names
// the port it listens on.
class QuoteServer
{
public:
    QuoteServer() = default;
    QuoteServer(const QuoteServer&) = delete;
    QuoteServer& operator=(const QuoteServer&) = delete;
    ~QuoteServer() { Kill(); }

    // Starts the server on `port` (0: any free port) with the extra options;
    // false when it did not announce a port within 10 s.
    bool Start(const std::vector<std::string>& options = {}, int port = 0)
    {
        Kill();
        static std::atomic<int> serial { 0 };
        m_outPath = "quote-server-" + std::to_string(::getpid()) + "-" + std::to_string(++serial) + ".out";
        std::vector<std::string> args { QUOTE_SERVER_PATH, "--port", std::to_string(port) };
        args.insert(args.end(), options.begin(), options.end());
        const int out = ::open(m_outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (out < 0)
            return false;
        m_pid = childprocess::SpawnTied(std::move(args), -1, out);
        ::close(out);
        if (m_pid <= 0) {
            m_pid = -1;
            return false;
        }
        const auto deadline = Clock::now() + milliseconds(10000);
        while (Clock::now() < deadline) {
            const std::string out = ReadFile(m_outPath);
            const std::size_t eol = out.find('\n');
            if (eol != std::string::npos) {
                m_port = LastNumber(out.substr(0, eol));
                return m_port > 0;
            }
            int status = 0;
            if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
                m_pid = -1;
                return false;
            }
            std::this_thread::sleep_for(milliseconds(10));
        }
        return false;
    }

    void Kill()
    {
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            int status = 0;
            ::waitpid(m_pid, &status, 0);
            m_pid = -1;
        }
        if (!m_outPath.empty())
            ::unlink(m_outPath.c_str());
        m_outPath.clear();
    }

    int port() const { return m_port; }

private:
    static int LastNumber(const std::string& line)
    {
        std::size_t end = line.find_last_of("0123456789");
        if (end == std::string::npos)
            return 0;
        std::size_t begin = end;
        while (begin > 0 && std::isdigit(static_cast<unsigned char>(line[begin - 1])))
            --begin;
        return std::stoi(line.substr(begin, end - begin + 1));
    }

    pid_t m_pid = -1;
    int m_port = 0;
    std::string m_outPath;
};

// ---- relay --------------------------------------------------------------------

// One frame seen by the relay.
struct Frame {
    bool fromClient = false;
    int connection = 0; // 1 for the first accepted client connection
    int method = 0;
    std::string reqId;
    int errorCode = 0;
    google::protobuf::Any data;
    Clock::time_point at;

    template <typename T> T Payload() const
    {
        T message;
        data.UnpackTo(&message);
        return message;
    }
};

// A TCP relay between the quote client and a quote server that understands
// the framing: it records every frame in both directions, lets a test delay,
// drop or rewrite the server's frames, inject bytes towards the client and cut
// connections. Each accepted client gets its own connection to the server.
class FrameRelay
{
public:
    // What to do with one frame of the server: forward after `delayMs`, or
    // drop; `closeAfter`: forward at once, then close that connection.
    struct Verdict {
        int delayMs = 0;
        bool drop = false;
        bool closeAfter = false;
    };
    using ServerHook = std::function<Verdict(pb::KwBaseMessage_Rsp& rsp)>;

    explicit FrameRelay(int serverPort)
        : m_serverPort(serverPort)
    {
        m_listen = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr {};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = 0;
        ::bind(m_listen, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        ::listen(m_listen, 16);
        socklen_t len = sizeof addr;
        ::getsockname(m_listen, reinterpret_cast<sockaddr*>(&addr), &len);
        m_port = ntohs(addr.sin_port);
        m_wake = ::eventfd(0, EFD_NONBLOCK);
        m_thread = std::thread([this] { Run(); });
    }

    ~FrameRelay()
    {
        m_stop = true;
        Wake();
        m_thread.join();
        for (Link& link : m_links)
            CloseLink(link);
        ::close(m_listen);
        ::close(m_wake);
    }

    int port() const { return m_port; }

    void SetServerHook(ServerHook hook)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_hook = std::move(hook);
    }

    // Raw bytes to the newest client connection, in order with the frames.
    void InjectRaw(std::string bytes)
    {
        Post([bytes = std::move(bytes)](FrameRelay& self) {
            if (Link* link = self.Newest())
                self.SendAll(link->client, bytes);
        });
    }

    void InjectRsp(const pb::KwBaseMessage_Rsp& rsp)
    {
        std::string frame;
        ostrelwire::AppendMessage(frame, rsp);
        InjectRaw(std::move(frame));
    }

    template <typename T>
    static pb::KwBaseMessage_Rsp MakeRsp(pb::EnumMethods method, const T& payload,
        const std::string& reqId = "", int errorCode = 0, const std::string& errorMessage = "")
    {
        pb::KwBaseMessage_Rsp rsp;
        rsp.set_method(method);
        rsp.set_req_id(reqId);
        rsp.set_error_code(errorCode);
        rsp.set_error_message(errorMessage);
        rsp.mutable_data()->PackFrom(payload);
        return rsp;
    }

    // Closes every current connection on both sides, after what was injected before.
    void CloseAll()
    {
        Post([](FrameRelay& self) {
            for (Link& link : self.m_links)
                self.CloseLink(link);
        });
    }

    std::vector<Frame> Frames() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_frames;
    }

    // Frames of the client with the given method, optionally on one connection.
    std::vector<Frame> Requests(int method, int connection = 0) const
    {
        std::vector<Frame> out;
        for (const Frame& frame : Frames())
            if (frame.fromClient && frame.method == method
                && (connection == 0 || frame.connection == connection))
                out.push_back(frame);
        return out;
    }

    std::vector<Frame> Replies(int method) const
    {
        std::vector<Frame> out;
        for (const Frame& frame : Frames())
            if (!frame.fromClient && frame.method == method)
                out.push_back(frame);
        return out;
    }

    int Connections() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_accepted;
    }

    // Time a server frame reached the client (after any delay), by method; for
    // the latest such frame.
    Clock::time_point LastForwarded(int method) const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto it = m_forwarded.find(method);
        return it == m_forwarded.end() ? Clock::time_point() : it->second;
    }

private:
    struct Link {
        int number = 0;
        int client = -1;
        int server = -1;
        ostrelwire::FrameReader fromClient;
        ostrelwire::FrameReader fromServer;
    };
    struct Delayed {
        Clock::time_point due;
        int link;
        int method;
        std::string frame;
    };

    void Post(std::function<void(FrameRelay&)> command)
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_commands.push_back(std::move(command));
        }
        Wake();
    }

    void Wake()
    {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(m_wake, &one, sizeof one);
    }

    Link* Newest()
    {
        for (auto it = m_links.rbegin(); it != m_links.rend(); ++it)
            if (it->client >= 0)
                return &*it;
        return nullptr;
    }

    Link* ByNumber(int number)
    {
        for (Link& link : m_links)
            if (link.number == number && link.client >= 0)
                return &link;
        return nullptr;
    }

    static void SendAll(int fd, const std::string& bytes)
    {
        std::size_t sent = 0;
        while (sent < bytes.size()) {
            const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n <= 0)
                return;
            sent += static_cast<std::size_t>(n);
        }
    }

    static void CloseLink(Link& link)
    {
        if (link.client >= 0)
            ::close(link.client);
        if (link.server >= 0)
            ::close(link.server);
        link.client = link.server = -1;
    }

    void Accept()
    {
        const int client = ::accept(m_listen, nullptr, nullptr);
        if (client < 0)
            return;
        const int server = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr {};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(static_cast<std::uint16_t>(m_serverPort));
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_accepted;
        if (::connect(server, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            ::close(server);
            ::close(client);
            return;
        }
        Link link;
        link.number = m_accepted;
        link.client = client;
        link.server = server;
        m_links.push_back(std::move(link));
    }

    // Reads what is there; false when the peer closed or failed.
    static bool ReadInto(int fd, ostrelwire::FrameReader& reader)
    {
        char buffer[65536];
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            return false;
        reader.Feed(buffer, static_cast<std::size_t>(n));
        return true;
    }

    static std::string Framed(const std::string& body)
    {
        std::string frame;
        ostrelwire::AppendFrame(frame, body);
        return frame;
    }

    bool PumpClient(Link& link)
    {
        if (!ReadInto(link.client, link.fromClient))
            return false;
        std::string body;
        while (link.fromClient.Next(&body) == ostrelwire::FrameReader::Result::Frame) {
            pb::KwBaseMessage request;
            if (request.ParseFromString(body)) {
                Frame frame;
                frame.fromClient = true;
                frame.connection = link.number;
                frame.method = request.method();
                frame.reqId = request.req_id();
                frame.data = request.data();
                frame.at = Clock::now();
                std::lock_guard<std::mutex> lock(m_mutex);
                m_frames.push_back(std::move(frame));
            }
            SendAll(link.server, Framed(body));
        }
        return true;
    }

    bool PumpServer(Link& link)
    {
        if (!ReadInto(link.server, link.fromServer))
            return false;
        std::string body;
        while (link.fromServer.Next(&body) == ostrelwire::FrameReader::Result::Frame) {
            pb::KwBaseMessage_Rsp rsp;
            if (!rsp.ParseFromString(body)) {
                SendAll(link.client, Framed(body));
                continue;
            }
            ServerHook hook;
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                hook = m_hook;
            }
            const Verdict verdict = hook ? hook(rsp) : Verdict {};
            {
                Frame frame;
                frame.connection = link.number;
                frame.method = rsp.method();
                frame.reqId = rsp.req_id();
                frame.errorCode = rsp.error_code();
                frame.data = rsp.data();
                frame.at = Clock::now();
                std::lock_guard<std::mutex> lock(m_mutex);
                m_frames.push_back(std::move(frame));
            }
            if (verdict.drop)
                continue;
            std::string out;
            ostrelwire::AppendMessage(out, rsp);
            if (verdict.delayMs > 0) {
                m_delayed.push_back({ Clock::now() + milliseconds(verdict.delayMs), link.number, rsp.method(),
                    std::move(out) });
                continue;
            }
            // Stamped before sending: the client may act on the frame before
            // SendAll returns, and a reader must never see it unstamped.
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_forwarded[rsp.method()] = Clock::now();
            }
            SendAll(link.client, out);
            if (verdict.closeAfter)
                return false;
        }
        return true;
    }

    void SendDueDelayed()
    {
        const auto now = Clock::now();
        for (auto it = m_delayed.begin(); it != m_delayed.end();) {
            if (it->due > now) {
                ++it;
                continue;
            }
            if (Link* link = ByNumber(it->link)) {
                {
                    std::lock_guard<std::mutex> lock(m_mutex);
                    m_forwarded[it->method] = Clock::now();
                }
                SendAll(link->client, it->frame);
            }
            it = m_delayed.erase(it);
        }
    }

    void Run()
    {
        while (!m_stop) {
            std::vector<pollfd> fds { { m_listen, POLLIN, 0 }, { m_wake, POLLIN, 0 } };
            for (const Link& link : m_links) {
                if (link.client < 0)
                    continue;
                fds.push_back({ link.client, POLLIN, 0 });
                fds.push_back({ link.server, POLLIN, 0 });
            }
            int timeout = 50;
            for (const Delayed& d : m_delayed)
                timeout = std::min<int>(timeout,
                    std::max<long>(
                        0, std::chrono::duration_cast<milliseconds>(d.due - Clock::now()).count()));
            ::poll(fds.data(), fds.size(), timeout);

            if (fds[1].revents & POLLIN) {
                std::uint64_t count = 0;
                [[maybe_unused]] const ssize_t n = ::read(m_wake, &count, sizeof count);
                std::deque<std::function<void(FrameRelay&)>> commands;
                {
                    std::lock_guard<std::mutex> lock(m_mutex);
                    commands.swap(m_commands);
                }
                for (auto& command : commands)
                    command(*this);
            }
            for (std::size_t i = 2; i < fds.size(); i += 2) {
                const int clientFd = fds[i].fd;
                auto it = std::find_if(m_links.begin(), m_links.end(),
                    [clientFd](const Link& l) { return l.client == clientFd; });
                if (it == m_links.end())
                    continue;
                bool open = true;
                if (fds[i].revents & (POLLIN | POLLHUP | POLLERR))
                    open = PumpClient(*it);
                if (open && (fds[i + 1].revents & (POLLIN | POLLHUP | POLLERR)))
                    open = PumpServer(*it);
                if (!open)
                    CloseLink(*it);
            }
            SendDueDelayed();
            if (fds[0].revents & POLLIN)
                Accept();
        }
    }

    const int m_serverPort;
    int m_listen = -1;
    int m_wake = -1;
    int m_port = 0;
    std::atomic<bool> m_stop { false };
    std::thread m_thread;

    mutable std::mutex m_mutex; // guards what the test thread reads or posts
    ServerHook m_hook;
    std::deque<std::function<void(FrameRelay&)>> m_commands;
    std::vector<Frame> m_frames;
    std::map<int, Clock::time_point> m_forwarded;
    int m_accepted = 0;

    // Relay thread only.
    std::deque<Link> m_links;
    std::vector<Delayed> m_delayed;
};

// ---- log --------------------------------------------------------------------------

// The lines the process wrote to its log files after the mark was taken.
class LogMark
{
public:
    LogMark()
    {
        for (const auto& [path, file] : Files())
            m_sizes[file.first] = file.second;
    }

    std::vector<std::string> Lines() const
    {
        std::vector<std::string> lines;
        for (const auto& [path, file] : Files()) {
            // By inode: a file rolled over since the mark keeps its inode under its new name.
            const auto it = m_sizes.find(file.first);
            const std::size_t from = it == m_sizes.end() ? 0 : it->second;
            const std::string text = ReadFile(path);
            if (text.size() <= from)
                continue;
            std::istringstream in(text.substr(from));
            std::string line;
            while (std::getline(in, line)) {
                if (!line.empty() && line.back() == '\r')
                    line.pop_back();
                lines.push_back(line);
            }
        }
        return lines;
    }

    // Lines that hold every one of the given texts.
    std::vector<std::string> Matching(const std::vector<std::string>& parts) const
    {
        std::vector<std::string> out;
        for (const std::string& line : Lines())
            if (std::all_of(parts.begin(), parts.end(),
                    [&](const std::string& part) { return line.find(part) != std::string::npos; }))
                out.push_back(line);
        return out;
    }

    bool WaitForLine(const std::vector<std::string>& parts, int timeoutMs) const
    {
        return WaitFor([&] { return !Matching(parts).empty(); }, timeoutMs);
    }

private:
    // Path to inode and size.
    static std::map<std::string, std::pair<ino_t, std::size_t>> Files()
    {
        // This process's files only: the day's file and its rolled-over
        // siblings; other test programs share the folder.
        std::map<std::string, std::pair<ino_t, std::size_t>> sizes;
        const std::string base = Logger::GetInstance()->BasePath();
        const std::string folder = base.substr(0, base.rfind('/') + 1);
        const std::string stem = base.substr(folder.size()) + "_";
        if (DIR* dir = ::opendir(folder.c_str())) {
            while (dirent* entry = ::readdir(dir)) {
                const std::string name = entry->d_name;
                if (name.size() < stem.size() + 4 || name.compare(0, stem.size(), stem) != 0
                    || !std::isdigit(static_cast<unsigned char>(name[stem.size()]))
                    || name.compare(name.size() - 4, 4, ".log") != 0)
                    continue;
                struct stat st {
                };
                if (::stat((folder + name).c_str(), &st) == 0)
                    sizes[folder + name] = { st.st_ino, static_cast<std::size_t>(st.st_size) };
            }
            ::closedir(dir);
        }
        return sizes;
    }

    std::map<ino_t, std::size_t> m_sizes;
};

// ---- signals ------------------------------------------------------------------------

// Receives every signal of the client on the GUI thread and notes whether each
// one arrived there. It stops the client when it goes: an emission from the
// receive thread racing the disconnection in ~QObject can leave Qt's slot
// object behind, which the leak checker reports.
class SignalProbe : public QObject
{
public:
    explicit SignalProbe(NQuoteClient* client)
        : m_client(client)
    {
        connect(client, &NQuoteClient::quote_sig, this, [this](nsquote::QuoteDetailField q) {
            Note();
            std::lock_guard<std::mutex> lock(mutex);
            quotes.push_back(std::move(q));
        });
        connect(client, &NQuoteClient::disconnect_sig, this, [this] {
            Note();
            std::lock_guard<std::mutex> lock(mutex);
            ++disconnects;
        });
        connect(client, &NQuoteClient::connect_sig, this, [this] {
            Note();
            std::lock_guard<std::mutex> lock(mutex);
            ++connects;
        });
        connect(client, &NQuoteClient::Kline_sig, this, [this](nsquote::RspReqQryHistoryField k) {
            Note();
            std::lock_guard<std::mutex> lock(mutex);
            klines.push_back(std::move(k));
        });
        connect(client, &NQuoteClient::depth_quote_sig, this, [this](nsquote::DepthQuoteField d) {
            Note();
            std::lock_guard<std::mutex> lock(mutex);
            depths.push_back(std::move(d));
        });
        connect(client, &NQuoteClient::ticker_quote_sig, this, [this](nsquote::TickerField t) {
            Note();
            std::lock_guard<std::mutex> lock(mutex);
            tickers.push_back(std::move(t));
        });
    }

    ~SignalProbe() override { m_client->Stop(); }

    template <typename T> std::size_t Count(const std::vector<T>& list) const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return list.size();
    }
    int Disconnects() const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return disconnects;
    }
    int Connects() const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return connects;
    }

    mutable std::mutex mutex;
    std::vector<nsquote::QuoteDetailField> quotes;
    std::vector<nsquote::RspReqQryHistoryField> klines;
    std::vector<nsquote::DepthQuoteField> depths;
    std::vector<nsquote::TickerField> tickers;
    int disconnects = 0;
    int connects = 0;
    std::atomic<int> offGuiThread { 0 };

private:
    void Note()
    {
        if (QThread::currentThread() != QCoreApplication::instance()->thread())
            ++offGuiThread;
    }

    NQuoteClient* m_client;
};

// Stops the client when a test ends, however it ends; declared after the
// server and relay, so it runs while they still stand and no reconnection
// outlives the test.
struct StopAtEnd {
    StopAtEnd() = default;
    StopAtEnd(const StopAtEnd&) = delete;
    StopAtEnd& operator=(const StopAtEnd&) = delete;
    ~StopAtEnd() { NQuoteClient::Instance()->Stop(); }
};

// Points the client at 127.0.0.1:port.
inline void UseServer(int port)
{
    TradeConfig* config = TradeConfig::GetInstance();
    config->ip = "127.0.0.1";
    config->port = port;
    config->username = "tester";
    config->password = "secret";
}

} // namespace kit
