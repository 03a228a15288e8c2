#include "quoteserver.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstring>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include "ostrelwire.h"

namespace quoteserver
{

namespace
{

    // A client that does not keep up misses pushes rather than growing our memory;
    // one that stops reading altogether is let go.
    constexpr std::size_t kPushBacklogBytes = 16u * 1024u * 1024u;
    constexpr std::size_t kMaxBacklogBytes = 256u * 1024u * 1024u;
    constexpr std::size_t kMaxReadPerTurn = 1024 * 1024;
    // A flooded client always has this much waiting, so its socket never runs dry.
    constexpr std::size_t kFloodFloorBytes = 256u * 1024u;

    enum SubBits : std::uint8_t { kSnap = 1, kDepth = 2, kTicker = 4 };

    std::uint64_t NowMs()
    {
        return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::system_clock::now().time_since_epoch())
                                              .count());
    }

    std::uint8_t ModeBit(int mode)
    {
        switch (mode) {
        case pb::MODE_SNAP:
            return kSnap;
        case pb::MODE_DEPTH:
            return kDepth;
        case pb::MODE_TICKER:
            return kTicker;
        default:
            return 0;
        }
    }

    int ReplyMethod(int method)
    {
        if (method == pb::REQ_HEARTBEAT)
            return pb::ON_RSP_HEARTBEAT;
        if (method >= pb::REQ_LOGIN && method <= pb::REQ_HSIMONEY_INFLOW && method % 2 == 1)
            return method + 1;
        return pb::UNKOWN_METHOD;
    }

    std::string MethodName(int method)
    {
        return pb::EnumMethods_IsValid(method) ? pb::EnumMethods_Name(static_cast<pb::EnumMethods>(method))
                                               : std::to_string(method);
    }

    // Payload of a request: absent gives the default message; one of another type
    // or that does not parse is refused.
    template <typename T> bool Unpack(const pb::KwBaseMessage& req, T* out)
    {
        if (!req.has_data())
            return true;
        return req.data().template Is<T>() && req.data().UnpackTo(out);
    }

    std::string JoinKeys(const std::vector<std::string>& keys)
    {
        std::string text;
        const std::size_t shown = std::min<std::size_t>(keys.size(), 20);
        for (std::size_t i = 0; i < shown; ++i) {
            if (i)
                text += ",";
            text += keys[i];
        }
        if (keys.size() > shown)
            text += " …";
        return text;
    }

} // namespace

struct QuoteServer::Client {
    int fd = -1;
    std::string peer;
    ostrelwire::FrameReader reader;
    std::string outbox;
    std::size_t outOffset = 0;
    bool loggedIn = false;
    std::vector<std::uint8_t> subs; // SubBits per contract
    Clock::time_point dropAt = Clock::time_point::max();
    bool dead = false;
    bool flooded = false;

    std::size_t Backlog() const { return outbox.size() - outOffset; }
};

QuoteServer::QuoteServer(Market& market, ServerOptions options, std::FILE* log, std::FILE* errors)
    : m_market(market)
    , m_options(options)
    , m_log(log)
    , m_errors(errors)
{
    m_options.rate = std::clamp(m_options.rate, 0.0, 1000.0);
    m_market.SetPace(m_options.rate);
    m_market.SetMovesPerStep(m_options.moves);
    m_wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

QuoteServer::~QuoteServer()
{
    for (auto& c : m_clients)
        ::close(c->fd);
    if (m_listenFd >= 0)
        ::close(m_listenFd);
    if (m_wakeFd >= 0)
        ::close(m_wakeFd);
}

namespace
{

    void WriteLine(std::FILE* stream, const char* format, va_list args)
    {
        if (!stream)
            return;
        std::vfprintf(stream, format, args);
        std::fputc('\n', stream);
        std::fflush(stream);
    }

} // namespace

void QuoteServer::Log(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    WriteLine(m_log, format, args);
    va_end(args);
}

void QuoteServer::Warn(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    WriteLine(m_errors, format, args);
    va_end(args);
}

bool QuoteServer::Listen(std::string* error)
{
    m_listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (m_listenFd < 0) {
        *error = std::strerror(errno);
        return false;
    }
    const int one = 1;
    ::setsockopt(m_listenFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<std::uint16_t>(m_options.port));
    socklen_t len = sizeof addr;
    if (::bind(m_listenFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0
        || ::listen(m_listenFd, 64) != 0
        || ::getsockname(m_listenFd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        *error = std::string("cannot listen on 127.0.0.1:") + std::to_string(m_options.port) + ": "
            + std::strerror(errno);
        ::close(m_listenFd);
        m_listenFd = -1;
        return false;
    }
    m_port = ntohs(addr.sin_port);
    return true;
}

void QuoteServer::Stop()
{
    m_stop.store(true);
    const std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(m_wakeFd, &one, sizeof one);
}

void QuoteServer::Run()
{
    if (m_listenFd < 0)
        return;
    const auto interval = m_options.rate > 0
        ? std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / m_options.rate))
        : Clock::duration::zero();
    m_nextTick = Clock::now() + interval;
    std::vector<pollfd> fds;
    while (!m_stop.load()) {
        auto now = Clock::now();
        auto wakeAt = m_options.rate > 0 ? m_nextTick : Clock::time_point::max();
        for (const auto& c : m_clients)
            wakeAt = std::min(wakeAt, c->dropAt);
        if (m_options.stats && now >= m_nextStats) {
            Log("stats: quotes pushed %llu held back %llu flooded %llu",
                static_cast<unsigned long long>(m_quotesPushed),
                static_cast<unsigned long long>(m_quotesHeldBack),
                static_cast<unsigned long long>(m_floodSerial));
            m_nextStats = now + std::chrono::seconds(1);
        }
        if (m_options.stats)
            wakeAt = std::min(wakeAt, m_nextStats);
        int timeout = -1;
        if (wakeAt != Clock::time_point::max())
            timeout = static_cast<int>(std::max<long long>(
                0, std::chrono::duration_cast<std::chrono::milliseconds>(wakeAt - now).count() + 1));

        if (m_options.flood != 0)
            for (auto& c : m_clients)
                if (c->flooded && !c->dead)
                    Flood(*c);

        fds.clear();
        fds.push_back({ m_listenFd, POLLIN, 0 });
        fds.push_back({ m_wakeFd, POLLIN, 0 });
        for (const auto& c : m_clients)
            fds.push_back({ c->fd, static_cast<short>(POLLIN | (c->Backlog() ? POLLOUT : 0)), 0 });
        if (::poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) {
            Warn("poll failed: %s", std::strerror(errno));
            return;
        }
        if (m_stop.load())
            break;
        if (fds[1].revents & POLLIN) {
            std::uint64_t count;
            [[maybe_unused]] ssize_t n = ::read(m_wakeFd, &count, sizeof count);
        }
        const std::size_t known = m_clients.size();
        for (std::size_t i = 0; i < known; ++i) {
            Client& c = *m_clients[i];
            const short ev = fds[i + 2].revents;
            if (ev & (POLLIN | POLLHUP | POLLERR))
                if (!ReadFrom(c))
                    c.dead = true;
        }
        if (fds[0].revents & POLLIN)
            Accept();

        now = Clock::now();
        if (m_options.rate > 0 && now >= m_nextTick) {
            Tick();
            m_nextTick += interval;
            // After a stall, carry on at the set pace rather than catching up in a burst.
            if (m_nextTick < now)
                m_nextTick = now + interval;
        }
        for (auto& c : m_clients) {
            if (!c->dead && now >= c->dropAt) {
                if (m_options.verbose)
                    Log("%s dropped after %.3g s", c->peer.c_str(), m_options.dropAfter);
                c->dead = true;
            }
            if (!c->dead && c->Backlog() && !WriteTo(*c))
                c->dead = true;
        }
        m_clients.erase(std::remove_if(m_clients.begin(), m_clients.end(),
                            [](const std::unique_ptr<Client>& c) {
                                if (c->dead)
                                    ::close(c->fd);
                                return c->dead;
                            }),
            m_clients.end());
    }
}

void QuoteServer::Accept()
{
    for (;;) {
        sockaddr_in addr {};
        socklen_t len = sizeof addr;
        const int fd
            = ::accept4(m_listenFd, reinterpret_cast<sockaddr*>(&addr), &len, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0)
            return;
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        auto c = std::make_unique<Client>();
        c->fd = fd;
        char ip[INET_ADDRSTRLEN] = "?";
        ::inet_ntop(AF_INET, &addr.sin_addr, ip, sizeof ip);
        c->peer = std::string(ip) + ":" + std::to_string(ntohs(addr.sin_port));
        c->subs.assign(m_market.Size(), 0);
        if (m_options.dropAfter > 0)
            c->dropAt = Clock::now()
                + std::chrono::duration_cast<Clock::duration>(
                    std::chrono::duration<double>(m_options.dropAfter));
        if (m_options.verbose)
            Log("%s connected", c->peer.c_str());
        m_clients.push_back(std::move(c));
    }
}

bool QuoteServer::ReadFrom(Client& c)
{
    char buffer[64 * 1024];
    std::size_t total = 0;
    bool closed = false;
    while (total < kMaxReadPerTurn) {
        const ssize_t got = ::recv(c.fd, buffer, sizeof buffer, 0);
        if (got > 0) {
            c.reader.Feed(buffer, static_cast<std::size_t>(got));
            total += static_cast<std::size_t>(got);
            continue;
        }
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        closed = true;
        break;
    }
    std::string body;
    for (;;) {
        const auto r = c.reader.Next(&body);
        if (r == ostrelwire::FrameReader::Result::NeedMore)
            break;
        if (r == ostrelwire::FrameReader::Result::TooLarge) {
            Warn("%s sent a frame over %zu bytes; closing", c.peer.c_str(), ostrelwire::kMaxFrameBytes);
            return false;
        }
        if (!Handle(c, body))
            return false;
    }
    if (closed && m_options.verbose)
        Log("%s disconnected", c.peer.c_str());
    return !closed;
}

bool QuoteServer::WriteTo(Client& c)
{
    while (c.Backlog()) {
        const ssize_t sent = ::send(c.fd, c.outbox.data() + c.outOffset, c.Backlog(), MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                break;
            return false;
        }
        c.outOffset += static_cast<std::size_t>(sent);
    }
    if (c.outOffset == c.outbox.size()) {
        c.outbox.clear();
        c.outOffset = 0;
    } else if (c.outOffset > 1024 * 1024) {
        c.outbox.erase(0, c.outOffset);
        c.outOffset = 0;
    }
    if (c.Backlog() > kMaxBacklogBytes) {
        Warn("%s does not read; closing", c.peer.c_str());
        return false;
    }
    return true;
}

void QuoteServer::Reply(Client& c, int method, const std::string& reqId,
    const google::protobuf::Message* payload, std::int32_t errorCode, const std::string& errorText)
{
    pb::KwBaseMessage_Rsp rsp;
    rsp.set_method(static_cast<pb::EnumMethods>(method));
    rsp.set_req_id(reqId);
    rsp.set_error_code(errorCode);
    rsp.set_error_message(errorText);
    rsp.set_ts(static_cast<std::int64_t>(NowMs()));
    if (payload)
        rsp.mutable_data()->PackFrom(*payload);
    if (!ostrelwire::AppendMessage(c.outbox, rsp)) {
        // Only a K-line or commodity answer could grow that large; say so instead.
        rsp.clear_data();
        rsp.set_error_code(kErrUnsupported);
        rsp.set_error_message("应答过大");
        ostrelwire::AppendMessage(c.outbox, rsp);
    }
}

bool QuoteServer::Handle(Client& c, const std::string& body)
{
    pb::KwBaseMessage req;
    if (!req.ParseFromString(body)) {
        Warn("%s sent a frame of %zu bytes that does not parse; closing", c.peer.c_str(), body.size());
        return false;
    }
    const int method = req.method();
    const std::string& reqId = req.req_id();
    if (m_options.verbose)
        Log("%s %s req_id=%s", c.peer.c_str(), MethodName(method).c_str(), reqId.c_str());
    const int replyMethod = ReplyMethod(method);

    auto badPayload = [&] {
        Warn("%s %s: payload \"%s\" is not what the request takes", c.peer.c_str(),
            MethodName(method).c_str(), req.data().type_url().c_str());
        Reply(c, replyMethod, reqId, nullptr, kErrBadPayload, "请求数据无效");
        return true;
    };

    switch (method) {
    case pb::REQ_HEARTBEAT: {
        pb::HeartBeatField hb;
        if (!Unpack(req, &hb))
            return badPayload();
        Reply(c, replyMethod, reqId, &hb);
        return true;
    }
    case pb::REQ_LOGIN: {
        pb::ReqLoginField login;
        if (!Unpack(req, &login))
            return badPayload();
        if (m_options.silent)
            return true;
        if (m_options.refuseLogin) {
            c.loggedIn = false;
            Reply(c, replyMethod, reqId, nullptr, kErrLoginRefused, "登录被拒绝：用户名或密码错误");
            return true;
        }
        c.loggedIn = true;
        pb::RspLoginField rsp;
        rsp.set_user_name(login.user_name());
        rsp.set_limit_his(true);
        rsp.set_limit_sub_num(static_cast<std::int32_t>(m_market.Size()));
        rsp.set_limit_subdepth_num(50);
        rsp.set_limit_login_num(5);
        rsp.add_can_sub_modes(pb::MODE_TICKER);
        rsp.add_can_sub_modes(pb::MODE_SNAP);
        rsp.add_can_sub_modes(pb::MODE_DEPTH);
        Reply(c, replyMethod, reqId, &rsp);
        return true;
    }
    case pb::REQ_COMMODITY_DETAIL:
    case pb::REQ_SUBSCRIBE:
    case pb::REQ_UNSUBSCRIBE:
    case pb::REQ_HISTORY_DATA:
        if (!c.loggedIn) {
            Reply(c, replyMethod, reqId, nullptr, kErrNotLoggedIn, "未登录");
            return true;
        }
        break;
    case pb::REQ_LOGOUT:
    case pb::REQ_COMMODITY_LIST:
    case pb::REQ_SUBSCRIBE_DEPTH:
    case pb::REQ_UNSUBSCRIBE_DEPTH:
    case pb::REQ_HSIMONEY_INFLOW:
        Reply(c, replyMethod, reqId, nullptr, kErrUnsupportedRequest, "不支持的请求");
        return true;
    default:
        Warn("%s sent method %d, which is not a request", c.peer.c_str(), method);
        Reply(c, pb::UNKOWN_METHOD, reqId, nullptr, kErrUnknownMethod,
            "未知的请求方法 " + std::to_string(method));
        return true;
    }

    switch (method) {
    case pb::REQ_COMMODITY_DETAIL: {
        pb::ReqQryCommodityField qry;
        if (!Unpack(req, &qry))
            return badPayload();
        pb::RspQryCommodityDetailField rsp;
        m_market.Commodities(qry.security_type(), &rsp);
        Reply(c, replyMethod, reqId, &rsp);
        break;
    }
    case pb::REQ_SUBSCRIBE: {
        pb::ReqSubscribedField sub;
        if (!Unpack(req, &sub))
            return badPayload();
        Subscribe(c, reqId, sub);
        break;
    }
    case pb::REQ_UNSUBSCRIBE: {
        pb::ReqUnSubscribedField unsub;
        if (!Unpack(req, &unsub))
            return badPayload();
        Unsubscribe(c, reqId, unsub);
        break;
    }
    case pb::REQ_HISTORY_DATA: {
        pb::ReqQryHistoryField qry;
        if (!Unpack(req, &qry))
            return badPayload();
        History(c, reqId, qry);
        break;
    }
    default:
        break;
    }
    return true;
}

void QuoteServer::Subscribe(Client& c, const std::string& reqId, const pb::ReqSubscribedField& req)
{
    const std::uint8_t bit = ModeBit(req.mode());
    pb::RspSubscribedField rsp;
    std::vector<std::size_t> added;
    for (const auto& key : req.contract_list()) {
        const long i = m_market.Find(key);
        if (bit == 0 || i < 0) {
            auto* fail = rsp.add_fail_list();
            fail->set_contract_code(key);
            fail->set_err_msg(bit == 0 ? "不支持的订阅模式" : "合约不存在");
            continue;
        }
        rsp.add_succ_list(key);
        c.flooded = m_options.flood != 0;
        c.subs[static_cast<std::size_t>(i)] |= bit;
        added.push_back(static_cast<std::size_t>(i));
    }
    if (bit == 0)
        Reply(c, pb::ON_RSP_SUBSCRIBE, reqId, &rsp, kErrUnsupported, "不支持的订阅模式");
    else
        Reply(c, pb::ON_RSP_SUBSCRIBE, reqId, &rsp);
    // A new subscriber sees the current state at once instead of waiting for a change.
    const std::uint64_t now = NowMs();
    for (std::size_t i : added) {
        if (bit == kSnap)
            PushSnapshot(c, i, now);
        else if (bit == kDepth)
            PushDepth(c, i, now);
    }
}

void QuoteServer::Unsubscribe(Client& c, const std::string& reqId, const pb::ReqUnSubscribedField& req)
{
    const std::uint8_t bit = ModeBit(req.mode());
    if (bit == 0) {
        Reply(c, pb::ON_RSP_UNSUBSCRIBE, reqId, nullptr, kErrUnsupported, "不支持的订阅模式");
        return;
    }
    std::vector<std::string> unknown;
    for (const auto& key : req.contract_list()) {
        const long i = m_market.Find(key);
        if (i < 0)
            unknown.push_back(key);
        else
            c.subs[static_cast<std::size_t>(i)] &= static_cast<std::uint8_t>(~bit);
    }
    if (unknown.empty())
        Reply(c, pb::ON_RSP_UNSUBSCRIBE, reqId, nullptr);
    else
        Reply(c, pb::ON_RSP_UNSUBSCRIBE, reqId, nullptr, kErrUnknownContract,
            "合约不存在: " + JoinKeys(unknown));
}

void QuoteServer::History(Client& c, const std::string& reqId, const pb::ReqQryHistoryField& req)
{
    pb::RspReqQryHistoryField rsp;
    rsp.set_contract_code(req.contract_code());
    rsp.set_period(req.period());
    const long i = m_market.Find(req.contract_code());
    if (i < 0) {
        Reply(c, pb::ON_RSP_HISTORY_DATA, reqId, &rsp, kErrUnknownContract, "合约不存在");
        return;
    }
    if (!m_market.History(static_cast<std::size_t>(i), req.period(), req.count(), NowMs(), &rsp)) {
        Reply(c, pb::ON_RSP_HISTORY_DATA, reqId, &rsp, kErrUnsupported, "不支持的K线周期");
        return;
    }
    Reply(c, pb::ON_RSP_HISTORY_DATA, reqId, &rsp);
}

void QuoteServer::PushSnapshot(Client& c, std::size_t contract, std::uint64_t nowMs)
{
    pb::QuoteDetailField q;
    m_market.FillQuote(contract, nowMs, &q);
    Reply(c, pb::ON_RTN_QUOTE, std::string(), &q);
}

void QuoteServer::PushDepth(Client& c, std::size_t contract, std::uint64_t nowMs)
{
    for (unsigned level = 2; level <= 5; ++level) {
        pb::DepthQuoteField d;
        m_market.FillDepth(contract, nowMs, level, &d);
        Reply(c, pb::ON_RTN_DEPTH, std::string(), &d);
    }
}

void QuoteServer::Tick()
{
    m_market.Step(&m_changed, &m_traded);
    if (m_clients.empty())
        return;
    const std::uint64_t now = NowMs();
    const auto ts = static_cast<std::int64_t>(now);

    // Each push is encoded once and copied to every subscriber.
    auto encode = [&](pb::EnumMethods method, const google::protobuf::Message& payload, std::string* frame) {
        pb::KwBaseMessage_Rsp rsp;
        rsp.set_method(method);
        rsp.set_ts(ts);
        rsp.mutable_data()->PackFrom(payload);
        frame->clear();
        ostrelwire::AppendMessage(*frame, rsp);
    };
    auto deliver = [&](std::size_t i, std::uint8_t bit, auto&& make) {
        std::string frame;
        for (auto& c : m_clients) {
            if (c->dead || !(c->subs[i] & bit))
                continue;
            const bool held = c->Backlog() > kPushBacklogBytes;
            if (bit == kSnap)
                ++(held ? m_quotesHeldBack : m_quotesPushed);
            if (held)
                continue;
            if (frame.empty())
                make(&frame);
            c->outbox += frame;
        }
    };

    for (std::size_t i : m_changed) {
        deliver(i, kSnap, [&](std::string* frame) {
            pb::QuoteDetailField q;
            m_market.FillQuote(i, now, &q);
            encode(pb::ON_RTN_QUOTE, q, frame);
        });
        deliver(i, kDepth, [&](std::string* frame) {
            for (unsigned level = 2; level <= 5; ++level) {
                pb::DepthQuoteField d;
                m_market.FillDepth(i, now, level, &d);
                std::string one;
                encode(pb::ON_RTN_DEPTH, d, &one);
                *frame += one;
            }
        });
    }
    for (std::size_t i : m_traded) {
        deliver(i, kTicker, [&](std::string* frame) {
            pb::TickerField t;
            m_market.FillTicker(i, now, &t);
            encode(pb::ON_RTN_TICKER, t, frame);
        });
    }
}

void QuoteServer::Flood(Client& c)
{
    unsigned kinds[4];
    std::size_t count = 0;
    for (unsigned kind : { kFloodQuotes, kFloodDepth, kFloodTrades, kFloodKLines })
        if (m_options.flood & kind)
            kinds[count++] = kind;
    const std::uint64_t now = NowMs();
    while (c.Backlog() < kFloodFloorBytes) {
        const std::uint64_t n = m_floodSerial++;
        // Every other push names a contract of the market, the rest codes that
        // change with every push.
        const bool known = (n / count) % 2 == 0 && m_market.Size() > 0;
        const std::size_t i = known ? static_cast<std::size_t>((n / count / 2) % m_market.Size()) : 0;
        const std::string key = known ? m_market.Key(i) : "FO_FLOOD_" + std::to_string(n);
        switch (kinds[n % count]) {
        case kFloodQuotes: {
            pb::QuoteDetailField q;
            if (known)
                m_market.FillQuote(i, now, &q);
            q.set_contract_code(key);
            Reply(c, pb::ON_RTN_QUOTE, "", &q);
            break;
        }
        case kFloodDepth: {
            pb::DepthQuoteField d;
            if (known)
                m_market.FillDepth(i, now, 2 + n % 4, &d);
            d.set_contract_code(key);
            d.set_level(static_cast<std::uint32_t>(n % 7));
            Reply(c, pb::ON_RTN_DEPTH, "", &d);
            break;
        }
        case kFloodTrades: {
            pb::TickerField t;
            if (known)
                m_market.FillTicker(i, now, &t);
            t.set_contract_code(key);
            Reply(c, pb::ON_RTN_TICKER, "", &t);
            break;
        }
        default: {
            pb::RspReqQryHistoryField h;
            if (known)
                m_market.History(i, pb::KLINE_1MIN, 50, now, &h);
            h.set_contract_code(key);
            h.set_period(pb::KLINE_1MIN);
            Reply(c, pb::ON_RSP_HISTORY_DATA, "hh", &h);
            break;
        }
        }
    }
}

} // namespace quoteserver
