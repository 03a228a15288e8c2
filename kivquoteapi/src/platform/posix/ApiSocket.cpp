#include "ApiSocket.h"

#include <cerrno>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

int SocketStartup()
{
    return 0;
}

namespace
{

bool MakeBlocking(int fd)
{
    const int flags = ::fcntl(fd, F_GETFL);
    return flags >= 0 && ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0;
}

// Waits for a connect in progress; true once it has succeeded.
bool WaitConnected(int fd, std::chrono::milliseconds timeout)
{
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + timeout;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd watch { fd, POLLOUT, 0 };
        const int ready = ::poll(&watch, 1, left.count() > 0 ? static_cast<int>(left.count()) : 0);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return false;
        int error = 0;
        socklen_t length = sizeof(error);
        return ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
    }
}

} // namespace

int SocketConnect(const char* ip, uint16_t port, std::chrono::milliseconds timeout)
{
    if (!ip)
        return -1;
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    if (::inet_pton(AF_INET, ip, &address.sin_addr) != 1)
        return -1;
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return -1;
    const int result = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address));
    const bool connected = result == 0 || (errno == EINPROGRESS && WaitConnected(fd, timeout));
    // Reads and sends block from here on.
    if (!connected || !MakeBlocking(fd)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

int SocketRecv(int socket, char* buffer, size_t size)
{
    return static_cast<int>(::recv(socket, buffer, size, 0));
}

void SocketSetReadTimeout(int socket, std::chrono::milliseconds timeout)
{
    const long long ms = timeout.count() > 0 ? timeout.count() : 0;
    timeval value {};
    value.tv_sec = static_cast<time_t>(ms / 1000);
    value.tv_usec = static_cast<suseconds_t>((ms % 1000) * 1000);
    ::setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &value, sizeof(value));
}

bool SocketReadTimedOut()
{
    return errno == EAGAIN || errno == EWOULDBLOCK;
}

int SocketSend(int socket, const char* data, size_t length)
{
    size_t sent = 0;
    while (sent < length) {
        // MSG_NOSIGNAL: a peer that has gone must give an error, not SIGPIPE.
        const ssize_t n = ::send(socket, data + sent, length - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return -1;
        sent += static_cast<size_t>(n);
    }
    return static_cast<int>(sent);
}

void SocketShutdown(int socket)
{
    if (socket >= 0)
        ::shutdown(socket, SHUT_RDWR);
}

void SocketClose(int socket)
{
    if (socket < 0)
        return;
    ::shutdown(socket, SHUT_RDWR);
    ::close(socket);
}
