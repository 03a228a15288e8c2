#pragma once

// One end of a test connection that speaks frames by hand: whatever bytes a
// case needs go out, and frames come back through the shared codec.

#include <chrono>
#include <string>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <google/protobuf/message_lite.h>

#include "ostrelwire.h"

class FramedSocket
{
public:
    FramedSocket() = default;
    explicit FramedSocket(int fd) { Reset(fd); }
    ~FramedSocket() { Close(); }
    FramedSocket(const FramedSocket&) = delete;
    FramedSocket& operator=(const FramedSocket&) = delete;

    // A connection to 127.0.0.1:port, or an invalid socket.
    static int ConnectTo(int port)
    {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr {};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(static_cast<std::uint16_t>(port));
        if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            ::close(fd);
            return -1;
        }
        return fd;
    }

    void Reset(int fd)
    {
        Close();
        m_fd = fd;
        if (m_fd >= 0) {
            const int one = 1;
            ::setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        }
        m_reader.Clear();
    }
    void Close()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }
    bool Valid() const { return m_fd >= 0; }

    void SendRaw(const std::string& bytes) const
    {
        std::size_t off = 0;
        while (off < bytes.size()) {
            const ssize_t n = ::send(m_fd, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
            if (n <= 0)
                return;
            off += static_cast<std::size_t>(n);
        }
    }
    void Send(const google::protobuf::MessageLite& msg) const { SendRaw(Frame(msg)); }

    static std::string Frame(const google::protobuf::MessageLite& msg)
    {
        std::string out;
        ostrelwire::AppendMessage(out, msg);
        return out;
    }

    // The next frame that arrives and parses as T, or false after the timeout,
    // on a close or on a frame that does not parse.
    template <typename T> bool Read(T* msg, std::chrono::milliseconds timeout = std::chrono::seconds(5))
    {
        std::string body;
        return ReadBody(&body, timeout) && msg->ParseFromString(body);
    }

    bool ReadBody(std::string* body, std::chrono::milliseconds timeout)
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            const auto r = m_reader.Next(body);
            if (r == ostrelwire::FrameReader::Result::Frame)
                return true;
            if (r == ostrelwire::FrameReader::Result::TooLarge)
                return false;
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd p { m_fd, POLLIN, 0 };
            if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) != 1)
                return false;
            char buf[64 * 1024];
            const ssize_t n = ::recv(m_fd, buf, sizeof buf, 0);
            if (n <= 0)
                return false;
            m_reader.Feed(buf, static_cast<std::size_t>(n));
        }
    }

    // True when the other end closed within the timeout; frames read on the way are dropped.
    bool PeerClosed(std::chrono::milliseconds timeout = std::chrono::seconds(5))
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            pollfd p { m_fd, POLLIN, 0 };
            if (::poll(&p, 1, 100) == 1) {
                char buf[64 * 1024];
                if (::recv(m_fd, buf, sizeof buf, 0) <= 0)
                    return true;
            }
        }
        return false;
    }

private:
    int m_fd = -1;
    ostrelwire::FrameReader m_reader;
};
