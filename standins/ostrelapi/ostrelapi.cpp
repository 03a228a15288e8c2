#include "ostrelapi.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <google/protobuf/arena.h>
#include <google/protobuf/descriptor.h>
#include <google/protobuf/io/coded_stream.h>
#include <google/protobuf/wire_format_lite.h>

#include "ostrelfeed.h"
#include "ostrelwire.h"
#include "payloadparse.h"

namespace pb = kw::pb::ostrel2;

namespace
{

constexpr int kConnectTimeoutMs = 10000;
// A server that stops reading must not make us buffer without end.
constexpr std::size_t kMaxOutboxBytes = 64u * 1024u * 1024u;
constexpr std::size_t kReadChunk = 64 * 1024;
// Bound one turn of reading so that queued requests still go out under a flood of pushes.
constexpr std::size_t kMaxReadPerTurn = 1024 * 1024;
// Frames are parsed into an arena that starts in a block of the session's own
// and is emptied after each frame: pushes come by the hundred thousand a
// second, and each would otherwise allocate its envelope, its payload and
// their strings anew. A larger frame's extra blocks are freed with the frame.
constexpr std::size_t kParseBlock = 16 * 1024;
// Frames that must be dropped (unknown methods, missing or wrong payloads):
// each of the first few on a connection gets its own log line; a connection
// that drops more than the burst, beyond one a second, ends. So a server
// sending nothing but such frames costs a handful of lines, not one per frame.
constexpr int kLoggedDrops = 8;
constexpr double kDropBurst = 32;
constexpr double kDropRefillPerSecond = 1;
// A text of the server quoted in a log line is cut to this many bytes.
constexpr std::size_t kLogTextLimit = 1024;

std::atomic<COstrelApi::LogHandler> g_logHandler { nullptr };

void Log(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));

void Log(int level, const char* format, ...)
{
    char stackBuffer[512];
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    const int needed = std::vsnprintf(stackBuffer, sizeof stackBuffer, format, args);
    va_end(args);
    std::string text;
    if (needed >= static_cast<int>(sizeof stackBuffer)) {
        text.resize(static_cast<std::size_t>(needed) + 1);
        std::vsnprintf(&text[0], text.size(), format, copy);
        text.resize(static_cast<std::size_t>(needed));
    } else if (needed > 0) {
        text.assign(stackBuffer, static_cast<std::size_t>(needed));
    }
    va_end(copy);

    if (COstrelApi::LogHandler handler = g_logHandler.load()) {
        handler(level, text.c_str());
        return;
    }
    static const char* const names[] = { "ERROR", "WARN", "INFO" };
    std::fprintf(stderr, "ostrelapi [%s] %s\n", names[level < 0 ? 0 : (level > 2 ? 2 : level)], text.c_str());
}

// The server's text for a log line, cut to a sane length.
std::string Quoted(const std::string& text)
{
    if (text.size() <= kLogTextLimit)
        return text;
    return text.substr(0, kLogTextLimit) + "...(cut, " + std::to_string(text.size()) + " bytes)";
}

const char* MethodName(int method)
{
    if (pb::EnumMethods_IsValid(method))
        return pb::EnumMethods_Name(static_cast<pb::EnumMethods>(method)).c_str();
    return "?";
}

// The server's parser refuses a request whose texts are not UTF-8 and would
// answer nothing, so such a request is refused here, where the caller sees it.
bool StringsAreUtf8(const google::protobuf::Message& msg)
{
    const google::protobuf::Reflection* reflection = msg.GetReflection();
    std::vector<const google::protobuf::FieldDescriptor*> fields;
    reflection->ListFields(msg, &fields);
    for (const auto* field : fields) {
        if (field->type() == google::protobuf::FieldDescriptor::TYPE_STRING) {
            if (field->is_repeated()) {
                const int n = reflection->FieldSize(msg, field);
                for (int i = 0; i < n; ++i) {
                    std::string scratch;
                    if (!ostrelwire::IsUtf8(reflection->GetRepeatedStringReference(msg, field, i, &scratch)))
                        return false;
                }
            } else {
                std::string scratch;
                if (!ostrelwire::IsUtf8(reflection->GetStringReference(msg, field, &scratch)))
                    return false;
            }
        } else if (field->cpp_type() == google::protobuf::FieldDescriptor::CPPTYPE_MESSAGE) {
            if (field->is_repeated()) {
                const int n = reflection->FieldSize(msg, field);
                for (int i = 0; i < n; ++i)
                    if (!StringsAreUtf8(reflection->GetRepeatedMessage(msg, field, i)))
                        return false;
            } else if (!StringsAreUtf8(reflection->GetMessage(msg, field))) {
                return false;
            }
        }
    }
    return true;
}

// A reply or push as KwBaseMessage.Rsp carries it, read in place from its
// frame: the texts and the payload's bytes point into the frame, so the
// payload is parsed once, straight from the bytes as they came, rather than
// copied into the envelope's Any and parsed again from there. It accepts and
// refuses what the message runtime's parse of the envelope would: unknown
// fields and unexpected wire types are skipped, texts must be UTF-8, and of a
// field that comes more than once the last counts.
struct Envelope {
    std::int32_t method = 0;
    std::string_view reqId;
    std::int32_t errorCode = 0;
    std::string_view errorMessage;
    bool hasData = false;
    std::string_view typeUrl;
    std::string_view value;
};

using google::protobuf::internal::WireFormatLite;

// Calls field(number, wire type, stream, bytes) for each field of `bytes`;
// for a length-delimited field the stream stands before its length. The
// callback answers false when it left the field unread.
template <typename Field> bool ForEachField(std::string_view bytes, Field&& field)
{
    google::protobuf::io::CodedInputStream in(
        reinterpret_cast<const std::uint8_t*>(bytes.data()), static_cast<int>(bytes.size()));
    for (;;) {
        const std::uint32_t tag = in.ReadTag();
        // 0 at the end of the bytes, and for a tag that is cut or is 0 itself.
        if (tag == 0)
            return in.ConsumedEntireMessage();
        const int number = WireFormatLite::GetTagFieldNumber(tag);
        const auto type = WireFormatLite::GetTagWireType(tag);
        bool read = false;
        if (!field(number, type, in, read))
            return false;
        if (!read && !WireFormatLite::SkipField(&in, tag))
            return false;
    }
}

// The length-delimited field the stream stands before, as a view into `bytes`.
bool ReadSpan(google::protobuf::io::CodedInputStream& in, std::string_view bytes, std::string_view* out)
{
    std::uint32_t length = 0;
    if (!in.ReadVarint32(&length))
        return false;
    const int start = in.CurrentPosition();
    if (!in.Skip(static_cast<int>(length)))
        return false;
    *out = bytes.substr(static_cast<std::size_t>(start), length);
    return true;
}

bool ReadText(google::protobuf::io::CodedInputStream& in, std::string_view bytes, std::string_view* out)
{
    return ReadSpan(in, bytes, out) && ostrelwire::IsUtf8(out->data(), out->size());
}

bool ReadEnvelope(std::string_view frame, Envelope* env)
{
    using Type = WireFormatLite::WireType;
    return ForEachField(frame, [&](int number, Type type, auto& in, bool& read) {
        std::uint64_t varint = 0;
        if (type == WireFormatLite::WIRETYPE_VARINT && (number == 1 || number == 3 || number == 5)) {
            read = true;
            if (!in.ReadVarint64(&varint))
                return false;
            if (number == 1)
                env->method = static_cast<std::int32_t>(static_cast<std::uint32_t>(varint));
            else if (number == 3)
                env->errorCode = static_cast<std::int32_t>(static_cast<std::uint32_t>(varint));
            return true;
        }
        if (type != WireFormatLite::WIRETYPE_LENGTH_DELIMITED)
            return true;
        if (number == 2 || number == 4) {
            read = true;
            return ReadText(in, frame, number == 2 ? &env->reqId : &env->errorMessage);
        }
        if (number != 6)
            return true;
        read = true;
        std::string_view any;
        if (!ReadSpan(in, frame, &any))
            return false;
        env->hasData = true;
        return ForEachField(any, [&](int inner, Type innerType, auto& anyIn, bool& innerRead) {
            if (innerType != WireFormatLite::WIRETYPE_LENGTH_DELIMITED || (inner != 1 && inner != 2))
                return true;
            innerRead = true;
            return inner == 1 ? ReadText(anyIn, any, &env->typeUrl) : ReadSpan(anyIn, any, &env->value);
        });
    });
}

// Whether an Any's type URL names `type`, as Any::Is tells.
bool NamesType(std::string_view typeUrl, const std::string& type)
{
    return typeUrl.size() >= type.size() + 1 && typeUrl[typeUrl.size() - type.size() - 1] == '/'
        && typeUrl.substr(typeUrl.size() - type.size()) == type;
}

std::int64_t SteadyMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// What outlives the API object while a detached I/O thread winds down.
struct Core {
    // Recursive: a callback may call RegisterSpi, which waits for running callbacks elsewhere.
    std::recursive_mutex callbackMutex;
    std::atomic<COstrelSpi*> spi { nullptr };
    // SetRecvTimeout: the limit (0: none) and when it was set (steady ms).
    std::atomic<int> recvTimeoutMs { 0 };
    std::atomic<std::int64_t> recvTimeoutSetMs { 0 };
};

// One connection attempt and, if it comes up, the connection. Shared by the
// API object and its I/O thread.
class Session
{
public:
    enum class State { Connecting, Connected, Closed };

    Session(std::shared_ptr<Core> core, int fd, int wakeFd)
        : m_core(std::move(core))
        , m_fd(fd)
        , m_wakeFd(wakeFd)
        , m_arena(ArenaOptionsFor(m_parseBlock, sizeof m_parseBlock))
    {
    }
    ~Session()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        if (m_wakeFd >= 0)
            ::close(m_wakeFd);
    }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    void Run();

    // Ends the session without any further callback.
    void Stop()
    {
        m_stop.store(true);
        Wake();
    }

    bool Ended()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_state == State::Closed;
    }

    // The limit of SetRecvTimeout changed: the I/O thread's wait starts anew.
    void TimeoutChanged() { Wake(); }

    int RecvIdleTime()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_state != State::Connected)
                return -1;
        }
        const std::int64_t idle = SteadyMs() - m_lastBytesMs.load();
        return static_cast<int>(std::min<std::int64_t>(std::max<std::int64_t>(idle, 0), INT32_MAX));
    }

    int Enqueue(const std::string& frame)
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_state != State::Connected)
                return OSTREL_ERR_NOT_CONNECTED;
            if (m_outbox.size() - m_outboxOffset + frame.size() > kMaxOutboxBytes)
                return OSTREL_ERR_QUEUE_FULL;
            m_outbox.append(frame);
        }
        Wake();
        return OSTREL_OK;
    }

    // Bytes as read from the connection; false once the session has ended.
    bool Receive(const char* data, std::size_t size)
    {
        if (Ended())
            return false;
        m_reader.Feed(data, size);
        int reason = 0;
        if (!DispatchBuffered(&reason)) {
            Finish(reason);
            return false;
        }
        return true;
    }

private:
    void Wake()
    {
        if (m_wakeFd < 0)
            return;
        const std::uint64_t one = 1;
        // A full counter still leaves the descriptor readable, which is all we need.
        [[maybe_unused]] ssize_t n = ::write(m_wakeFd, &one, sizeof one);
    }

    template <typename F> void Invoke(F&& call)
    {
        std::lock_guard<std::recursive_mutex> lock(m_core->callbackMutex);
        if (m_stop.load())
            return;
        if (COstrelSpi* spi = m_core->spi.load())
            call(spi);
    }

    bool WaitConnected(int* reason);
    // Milliseconds the next wait may last before the receive limit runs out
    // (-1: no limit); 0 once it has run out.
    int IdleWaitMs() const;
    bool Flush();
    // False when the connection ended; *reason then says why (0: stopped).
    bool ReadAvailable(int* reason);
    // Dispatches the complete frames buffered; false as ReadAvailable.
    bool DispatchBuffered(int* reason);
    bool Dispatch(std::string_view body);
    // Counts a dropped frame; false once the connection has dropped too many.
    bool NoteDropped();
    // Whether the frame about to be dropped gets its own line.
    bool LogDrop() const { return m_dropped < static_cast<std::size_t>(kLoggedDrops); }
    // False when the frame was dropped.
    bool DispatchParsed(std::string_view body);
    template <typename T, typename F> bool Deliver(const Envelope& env, bool needsPayload, F&& call);
    void Finish(int reason);

    std::shared_ptr<Core> m_core;
    int m_fd;
    int m_wakeFd;
    std::atomic<bool> m_stop { false };

    std::mutex m_mutex; // guards m_state and the outbox
    State m_state = State::Connecting;
    std::string m_outbox;
    std::size_t m_outboxOffset = 0;

    ostrelwire::FrameReader m_reader;
    // Steady ms of the last bytes (any thread reads it) and of the last whole
    // frame (I/O thread only) from the server.
    std::atomic<std::int64_t> m_lastBytesMs { 0 };
    std::int64_t m_lastFrameMs = 0;

    static google::protobuf::ArenaOptions ArenaOptionsFor(char* block, std::size_t size)
    {
        google::protobuf::ArenaOptions options;
        options.initial_block = block;
        options.initial_block_size = size;
        return options;
    }
    // I/O thread only; what is parsed into it lives until the frame is dispatched.
    alignas(std::max_align_t) char m_parseBlock[kParseBlock];
    google::protobuf::Arena m_arena;

    // I/O thread only.
    // The error text of the frame being dispatched, for its callback.
    std::string m_errorText;
    std::size_t m_dropped = 0;
    double m_dropTokens = kDropBurst;
    std::chrono::steady_clock::time_point m_dropRefilled = std::chrono::steady_clock::now();
};

bool Session::WaitConnected(int* reason)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kConnectTimeoutMs);
    for (;;) {
        if (m_stop.load()) {
            *reason = 0;
            return false;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            Log(1, "connect timed out after %d ms", kConnectTimeoutMs);
            *reason = OSTREL_DISCONNECT_CONNECT_FAILED;
            return false;
        }
        pollfd fds[2] = { { m_fd, POLLOUT, 0 }, { m_wakeFd, POLLIN, 0 } };
        const int n = ::poll(fds, 2, static_cast<int>(left.count()));
        if (n < 0 && errno != EINTR) {
            *reason = OSTREL_DISCONNECT_CONNECT_FAILED;
            return false;
        }
        if (fds[1].revents & POLLIN) {
            std::uint64_t count;
            [[maybe_unused]] ssize_t r = ::read(m_wakeFd, &count, sizeof count);
        }
        if (fds[0].revents != 0) {
            int error = 0;
            socklen_t len = sizeof error;
            if (::getsockopt(m_fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0)
                error = errno;
            if (error != 0) {
                Log(1, "connect failed: %s", std::strerror(error));
                *reason = OSTREL_DISCONNECT_CONNECT_FAILED;
                return false;
            }
            return true;
        }
    }
}

void Session::Run()
{
    int reason = 0;
    if (!WaitConnected(&reason)) {
        Finish(reason);
        return;
    }
    m_lastFrameMs = SteadyMs();
    m_lastBytesMs = m_lastFrameMs;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_state = State::Connected;
    }
    Invoke([](COstrelSpi* spi) { spi->OnFrontConnected(); });

    for (;;) {
        if (m_stop.load()) {
            Finish(0);
            return;
        }
        bool wantWrite;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            wantWrite = m_outbox.size() > m_outboxOffset;
        }
        // A server that keeps the line open but sends nothing (or one frame
        // that never ends) would otherwise hold the session for ever.
        const int waitMs = IdleWaitMs();
        if (waitMs == 0) {
            Finish(OSTREL_DISCONNECT_IDLE);
            return;
        }
        pollfd fds[2] = { { m_fd, static_cast<short>(POLLIN | (wantWrite ? POLLOUT : 0)), 0 },
            { m_wakeFd, POLLIN, 0 } };
        const int n = ::poll(fds, 2, waitMs);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            Log(0, "poll failed: %s", std::strerror(errno));
            Finish(OSTREL_DISCONNECT_IO_ERROR);
            return;
        }
        if (m_stop.load()) {
            Finish(0);
            return;
        }
        if (fds[1].revents & POLLIN) {
            std::uint64_t count;
            [[maybe_unused]] ssize_t r = ::read(m_wakeFd, &count, sizeof count);
        }
        // Write whenever something waits: the wake-up that announced it may
        // have come while the socket was not writable.
        if (!Flush()) {
            Finish(OSTREL_DISCONNECT_IO_ERROR);
            return;
        }
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            if (!ReadAvailable(&reason)) {
                Finish(reason);
                return;
            }
        }
    }
}

int Session::IdleWaitMs() const
{
    const int limit = m_core->recvTimeoutMs.load();
    if (limit <= 0)
        return -1;
    const std::int64_t since = std::max(m_lastFrameMs, m_core->recvTimeoutSetMs.load());
    const std::int64_t left = since + limit - SteadyMs();
    return static_cast<int>(std::min<std::int64_t>(std::max<std::int64_t>(left, 0), INT32_MAX));
}

bool Session::Flush()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    while (m_outbox.size() > m_outboxOffset) {
        const ssize_t sent = ::send(m_fd, m_outbox.data() + m_outboxOffset, m_outbox.size() - m_outboxOffset,
            MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                break;
            Log(1, "send failed: %s", std::strerror(errno));
            return false;
        }
        m_outboxOffset += static_cast<std::size_t>(sent);
    }
    if (m_outboxOffset == m_outbox.size()) {
        m_outbox.clear();
        m_outboxOffset = 0;
    } else if (m_outboxOffset > 1024 * 1024) {
        m_outbox.erase(0, m_outboxOffset);
        m_outboxOffset = 0;
    }
    return true;
}

bool Session::ReadAvailable(int* reason)
{
    char buffer[kReadChunk];
    std::size_t total = 0;
    bool closed = false;
    const std::size_t heldBefore = m_reader.Buffered();
    while (total < kMaxReadPerTurn) {
        const ssize_t got = ::recv(m_fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (got > 0) {
            m_reader.Feed(buffer, static_cast<std::size_t>(got));
            total += static_cast<std::size_t>(got);
            continue;
        }
        if (got == 0) {
            closed = true;
            break;
        }
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            break;
        Log(1, "receive failed: %s", std::strerror(errno));
        *reason = OSTREL_DISCONNECT_IO_ERROR;
        return false;
    }

    if (total > 0)
        m_lastBytesMs = SteadyMs();
    // Frames that arrived complete before a close are still delivered.
    if (!DispatchBuffered(reason))
        return false;
    // Whatever was taken out of the reader left it as whole frames.
    if (m_reader.Buffered() < heldBefore + total)
        m_lastFrameMs = m_lastBytesMs.load();
    if (closed) {
        if (m_reader.Buffered() > 0)
            Log(1, "connection closed by the server inside a frame (%zu bytes left over)",
                m_reader.Buffered());
        *reason = OSTREL_DISCONNECT_CLOSED;
        return false;
    }
    return true;
}

bool Session::DispatchBuffered(int* reason)
{
    std::string_view body;
    for (;;) {
        const auto result = m_reader.Next(&body);
        if (result == ostrelwire::FrameReader::Result::NeedMore)
            break;
        if (result == ostrelwire::FrameReader::Result::TooLarge) {
            Log(0, "frame over %zu bytes announced; closing the connection", ostrelwire::kMaxFrameBytes);
            *reason = OSTREL_DISCONNECT_BAD_FRAME;
            return false;
        }
        if (!Dispatch(body)) {
            *reason = OSTREL_DISCONNECT_BAD_FRAME;
            return false;
        }
        if (m_stop.load()) {
            *reason = 0;
            return false;
        }
    }
    return true;
}

bool Session::NoteDropped()
{
    ++m_dropped;
    const auto now = std::chrono::steady_clock::now();
    const double seconds = std::chrono::duration<double>(now - m_dropRefilled).count();
    m_dropRefilled = now;
    m_dropTokens = std::min(kDropBurst, m_dropTokens + seconds * kDropRefillPerSecond);
    if (m_dropTokens < 1) {
        Log(0, "%zu frames dropped on this connection, too many; closing the connection", m_dropped);
        return false;
    }
    m_dropTokens -= 1;
    return true;
}

template <typename T, typename F> bool Session::Deliver(const Envelope& env, bool needsPayload, F&& call)
{
    T& payload = *google::protobuf::Arena::CreateMessage<T>(&m_arena);
    if (env.hasData) {
        if (!NamesType(env.typeUrl, T::descriptor()->full_name())) {
            if (LogDrop())
                Log(1, "%s (req_id \"%s\") dropped: payload is \"%s\", expected %s", MethodName(env.method),
                    Quoted(std::string(env.reqId)).c_str(), Quoted(std::string(env.typeUrl)).c_str(),
                    T::descriptor()->full_name().c_str());
            return false;
        }
        // One bad text would lose the whole commodity list, and with it the
        // board: its texts are mended instead.
        constexpr bool mend = std::is_same_v<T, pb::RspQryCommodityDetailField>;
        ostrelwire::ParseReport report;
        if (!ostrelwire::ParsePayload(env.value, &payload, mend, &report)) {
            if (LogDrop())
                Log(1, "%s (req_id \"%s\") dropped: its %s does not parse: %s", MethodName(env.method),
                    Quoted(std::string(env.reqId)).c_str(), T::descriptor()->full_name().c_str(),
                    report.why.c_str());
            return false;
        }
        if (report.mended != 0)
            Log(1, "%s: %zu texts not UTF-8, each bad byte replaced by U+FFFD (first: %s)",
                MethodName(env.method), report.mended, report.mendedField.c_str());
    } else if (needsPayload) {
        if (LogDrop())
            Log(1, "%s dropped: no payload", MethodName(env.method));
        return false;
    }
    const tagRspExParam ex { env.method, env.errorCode, m_errorText.c_str() };
    Invoke([&](COstrelSpi* spi) { call(spi, &payload, ex); });
    return true;
}

bool Session::Dispatch(std::string_view body)
{
    const bool kept = DispatchParsed(body);
    m_arena.Reset();
    return kept;
}

bool Session::DispatchParsed(std::string_view body)
{
    Envelope env;
    if (!ReadEnvelope(body, &env)) {
        // Why, as the message's own parser sees it.
        pb::KwBaseMessage_Rsp rsp;
        ostrelwire::ParseReport report;
        const bool parses = ostrelwire::ParsePayload(body, &rsp, false, &report);
        Log(0, "frame of %zu bytes does not parse (%s); closing the connection", body.size(),
            parses ? "a text is not UTF-8" : report.why.c_str());
        return false;
    }
    m_errorText.assign(env.errorMessage.data(), env.errorMessage.size());
    const tagRspExParam ex { env.method, env.errorCode, m_errorText.c_str() };
    bool delivered = true;
    switch (env.method) {
    case pb::ON_RTN_QUOTE:
        delivered = Deliver<pb::QuoteDetailField>(
            env, true, [](COstrelSpi* s, auto* m, auto&) { s->OnRtnQuote(m); });
        break;
    case pb::ON_RTN_COMM:
        delivered = Deliver<pb::CommodityField>(
            env, true, [](COstrelSpi* s, auto* m, auto&) { s->OnRtnCommodity(m); });
        break;
    case pb::ON_RTN_DEPTH:
        delivered = Deliver<pb::DepthQuoteField>(
            env, true, [](COstrelSpi* s, auto* m, auto&) { s->OnRtnDepthQuote(m); });
        break;
    case pb::ON_RTN_TICKER:
        delivered
            = Deliver<pb::TickerField>(env, true, [](COstrelSpi* s, auto* m, auto&) { s->OnRtnTicker(m); });
        break;
    case pb::ON_RSP_LOGIN:
        delivered = Deliver<pb::RspLoginField>(
            env, false, [](COstrelSpi* s, auto* m, auto& e) { s->OnRspLogin(m, e); });
        break;
    case pb::ON_RSP_LOGOUT:
        Invoke([&](COstrelSpi* s) { s->OnRspLogout(ex); });
        break;
    case pb::ON_RSP_COMMODITY_LIST:
        delivered = Deliver<pb::RspQryCommodityField>(
            env, false, [](COstrelSpi* s, auto* m, auto& e) { s->OnRspQryCommodity(m, e); });
        break;
    case pb::ON_RSP_COMMODITY_DETAIL:
        delivered = Deliver<pb::RspQryCommodityDetailField>(
            env, false, [](COstrelSpi* s, auto* m, auto& e) { s->OnRspQryCommodityDetail(m, e); });
        break;
    case pb::ON_RSP_HISTORY_DATA:
        delivered = Deliver<pb::RspReqQryHistoryField>(
            env, false, [](COstrelSpi* s, auto* m, auto& e) { s->OnRspQryHistory(m, e); });
        break;
    case pb::ON_RSP_HSIMONEY_INFLOW:
        delivered = Deliver<pb::RspHisMoneyFlowField>(
            env, false, [](COstrelSpi* s, auto* m, auto& e) { s->OnRspHisMoneyFlow(m, e); });
        break;
    case pb::ON_RSP_SUBSCRIBE:
    case pb::ON_RSP_SUBSCRIBE_DEPTH:
        delivered = Deliver<pb::RspSubscribedField>(
            env, false, [](COstrelSpi* s, auto* m, auto& e) { s->OnRspSubscribe(m, e); });
        break;
    case pb::ON_RSP_UNSUBSCRIBE:
    case pb::ON_RSP_UNSUBSCRIBE_DEPTH:
        Invoke([&](COstrelSpi* s) { s->OnRspUnSubscribe(ex); });
        break;
    case pb::ON_RSP_HEARTBEAT:
        delivered = Deliver<pb::HeartBeatField>(
            env, false, [](COstrelSpi* s, auto* m, auto& e) { s->OnRspHeartBeat(m, e); });
        break;
    default:
        delivered = false;
        if (LogDrop())
            Log(1, "frame with method %d (req_id \"%s\") dropped: not a reply or push this library knows",
                static_cast<int>(env.method), Quoted(std::string(env.reqId)).c_str());
        break;
    }
    return delivered || NoteDropped();
}

void Session::Finish(int reason)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_state = State::Closed;
        m_outbox.clear();
        m_outboxOffset = 0;
    }
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
    if (reason != 0)
        Invoke([reason](COstrelSpi* spi) { spi->OnFrontDisconnected(reason); });
}

int SetNonBlocking(int fd)
{
    const int flags = ::fcntl(fd, F_GETFL, 0);
    return flags < 0 ? -1 : ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

bool Resolve(const char* host, int port, sockaddr_in* addr)
{
    std::memset(addr, 0, sizeof *addr);
    addr->sin_family = AF_INET;
    addr->sin_port = htons(static_cast<std::uint16_t>(port));
    if (::inet_pton(AF_INET, host, &addr->sin_addr) == 1)
        return true;
    addrinfo hints {};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host, nullptr, &hints, &found) != 0 || !found)
        return false;
    addr->sin_addr = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
    ::freeaddrinfo(found);
    return true;
}

class OstrelApiImpl final : public COstrelApi
{
public:
    OstrelApiImpl()
        : m_core(std::make_shared<Core>())
    {
    }
    ~OstrelApiImpl() override
    {
        std::shared_ptr<Session> session;
        std::vector<std::weak_ptr<Session>> ended;
        std::thread thread;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            session = std::move(m_session);
            ended = std::move(m_ended);
            thread = std::move(m_thread);
        }
        if (session)
            session->Stop();
        for (auto& weak : ended)
            if (auto old = weak.lock())
                old->Stop();
        // A callback under way finishes first; every later one sees the stop.
        {
            std::lock_guard<std::recursive_mutex> wait(m_core->callbackMutex);
        }
        // The I/O thread cannot join itself: when a callback deletes its own
        // API object, the thread ends on its own after the callback; it only
        // touches the shared session and core.
        if (thread.joinable()) {
            if (thread.get_id() == std::this_thread::get_id())
                thread.detach();
            else
                thread.join();
        }
    }

    int Connect(const char* host, int port) override;
    void RegisterSpi(COstrelSpi* spi) override
    {
        std::lock_guard<std::recursive_mutex> lock(m_core->callbackMutex);
        m_core->spi.store(spi);
    }

    int ReqLogin(const pb::ReqLoginField* req, const char* reqId) override
    {
        return Send(pb::REQ_LOGIN, req, reqId);
    }
    int ReqLogout(const char* reqId) override { return Send(pb::REQ_LOGOUT, nullptr, reqId); }
    int ReqQryCommodity(const pb::ReqQryCommodityField* req, const char* reqId) override
    {
        return Send(pb::REQ_COMMODITY_LIST, req, reqId);
    }
    int ReqQryCommodityDetail(const pb::ReqQryCommodityField* req, const char* reqId) override
    {
        return Send(pb::REQ_COMMODITY_DETAIL, req, reqId);
    }
    int ReqQryHistory(const pb::ReqQryHistoryField* req, const char* reqId) override
    {
        return Send(pb::REQ_HISTORY_DATA, req, reqId);
    }
    int ReqHisMoneyFlow(const pb::ReqHisMoneyFlowField* req, const char* reqId) override
    {
        return Send(pb::REQ_HSIMONEY_INFLOW, req, reqId);
    }
    int ReqSubscribe(const pb::ReqSubscribedField* req, const char* reqId) override
    {
        return Send(pb::REQ_SUBSCRIBE, req, reqId);
    }
    int ReqUnSubscribe(const pb::ReqUnSubscribedField* req, const char* reqId) override
    {
        return Send(pb::REQ_UNSUBSCRIBE, req, reqId);
    }
    int ReqHeartBeat(const pb::HeartBeatField* req, const char* reqId) override
    {
        return Send(pb::REQ_HEARTBEAT, req, reqId);
    }
    int SetRecvTimeout(int ms) override
    {
        if (ms < 0)
            return OSTREL_ERR_BAD_ARGUMENT;
        m_core->recvTimeoutSetMs = SteadyMs();
        m_core->recvTimeoutMs = ms;
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_session)
            m_session->TimeoutChanged();
        return OSTREL_OK;
    }
    int GetRecvIdleTime() override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_session ? m_session->RecvIdleTime() : -1;
    }

private:
    int Send(pb::EnumMethods method, const google::protobuf::Message* req, const char* reqId);

    std::shared_ptr<Core> m_core;
    // Guards the members below; never held while waiting for a thread, so a
    // callback can always make requests.
    std::mutex m_mutex;
    std::shared_ptr<Session> m_session;
    std::thread m_thread;
    // Sessions replaced by a later Connect whose threads may still be finishing.
    std::vector<std::weak_ptr<Session>> m_ended;
};

int OstrelApiImpl::Connect(const char* host, int port)
{
    if (!host || port <= 0 || port > 65535)
        return OSTREL_ERR_BAD_ARGUMENT;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_session && !m_session->Ended())
        return OSTREL_ERR_BUSY;
    if (m_session) {
        // The ended session's thread is at most running its last callback;
        // the callback lock keeps the new session's callbacks behind it.
        m_ended.erase(std::remove_if(m_ended.begin(), m_ended.end(),
                          [](const std::weak_ptr<Session>& w) { return w.expired(); }),
            m_ended.end());
        m_ended.push_back(m_session);
        m_thread.detach();
        m_session.reset();
    }

    sockaddr_in addr;
    if (!Resolve(host, port, &addr)) {
        Log(1, "cannot resolve \"%s\"", host);
        return OSTREL_ERR_NOT_CONNECTED;
    }
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return OSTREL_ERR_NOT_CONNECTED;
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (SetNonBlocking(fd) != 0) {
        ::close(fd);
        return OSTREL_ERR_NOT_CONNECTED;
    }
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 && errno != EINPROGRESS) {
        const int error = errno;
        ::close(fd);
        Log(1, "connect to %s:%d failed: %s", host, port, std::strerror(error));
        return error == ECONNREFUSED ? OSTREL_ERR_REFUSED : OSTREL_ERR_NOT_CONNECTED;
    }
    // A refusal on the local machine is already known here: report it now
    // rather than through a callback, so a caller without a server fails fast.
    pollfd probe { fd, POLLOUT, 0 };
    if (::poll(&probe, 1, 0) == 1) {
        int error = 0;
        socklen_t len = sizeof error;
        ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len);
        if (error != 0) {
            ::close(fd);
            Log(1, "connect to %s:%d failed: %s", host, port, std::strerror(error));
            return error == ECONNREFUSED ? OSTREL_ERR_REFUSED : OSTREL_ERR_NOT_CONNECTED;
        }
    }
    const int wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd < 0) {
        ::close(fd);
        return OSTREL_ERR_NOT_CONNECTED;
    }
    m_session = std::make_shared<Session>(m_core, fd, wakeFd);
    m_thread = std::thread([session = m_session] { session->Run(); });
    return OSTREL_OK;
}

int OstrelApiImpl::Send(pb::EnumMethods method, const google::protobuf::Message* req, const char* reqId)
{
    // Logout is the one request without a message.
    if (!reqId || (method != pb::REQ_LOGOUT && !req))
        return OSTREL_ERR_BAD_ARGUMENT;
    if (!ostrelwire::IsUtf8(reqId, std::strlen(reqId)) || (req && !StringsAreUtf8(*req))) {
        Log(1, "%s refused: a text of the request is not UTF-8", MethodName(method));
        return OSTREL_ERR_BAD_ARGUMENT;
    }
    std::shared_ptr<Session> session;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        session = m_session;
    }
    if (!session)
        return OSTREL_ERR_NOT_CONNECTED;

    pb::KwBaseMessage envelope;
    envelope.set_method(method);
    envelope.set_req_id(reqId);
    if (req)
        envelope.mutable_data()->PackFrom(*req);
    std::string frame;
    if (!ostrelwire::AppendMessage(frame, envelope)) {
        Log(1, "%s refused: over %zu bytes", MethodName(method), ostrelwire::kMaxFrameBytes);
        return OSTREL_ERR_BAD_ARGUMENT;
    }
    return session->Enqueue(frame);
}

} // namespace

COstrelSpi::COstrelSpi() = default;
COstrelSpi::~COstrelSpi() = default;

COstrelApi::COstrelApi() = default;
COstrelApi::~COstrelApi() = default;

COstrelApi* COstrelApi::CreateApi()
{
    return new OstrelApiImpl();
}

void COstrelApi::DeleteApi(COstrelApi* api)
{
    delete api;
}

void COstrelApi::SetLogHandler(LogHandler handler)
{
    g_logHandler.store(handler);
}

namespace ostrelapi
{

FrameFeed::FrameFeed(COstrelSpi* spi)
{
    auto core = std::make_shared<Core>();
    core->spi.store(spi);
    m_session = std::make_shared<Session>(std::move(core), -1, -1);
}

FrameFeed::~FrameFeed() = default;

bool FrameFeed::Receive(const char* data, std::size_t size)
{
    return static_cast<Session*>(m_session.get())->Receive(data, size);
}

} // namespace ostrelapi
