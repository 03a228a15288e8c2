#include "rawcapture.h"

#include <algorithm>
#include <mutex>
#include <unordered_map>

#include <dlfcn.h>

namespace
{

std::mutex g_mutex;
std::unordered_map<const SSL*, std::string> g_pending; // plaintext not yet taken, by connection

template <typename Fn> Fn NextDefinition(const char* name)
{
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

// Bound on what one connection may hold unclaimed (a client that sends
// garbage the library never turns into a request).
constexpr size_t kMaxPending = 16u << 20;

} // namespace

extern "C" int SSL_read(SSL* ssl, void* buf, int num)
{
    using Fn = int (*)(SSL*, void*, int);
    static const Fn real = NextDefinition<Fn>("SSL_read");
    int n = real(ssl, buf, num);
    if (n > 0) {
        std::lock_guard<std::mutex> lock(g_mutex);
        std::string& pending = g_pending[ssl];
        if (pending.size() + static_cast<size_t>(n) <= kMaxPending)
            pending.append(static_cast<const char*>(buf), static_cast<size_t>(n));
    }
    return n;
}

extern "C" void SSL_free(SSL* ssl)
{
    using Fn = void (*)(SSL*);
    static const Fn real = NextDefinition<Fn>("SSL_free");
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_pending.erase(ssl);
    }
    real(ssl);
}

std::vector<std::string> TakeRawHeaderLines(const SSL* ssl, size_t bodyLength)
{
    std::vector<std::string> lines;
    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = g_pending.find(ssl);
    if (it == g_pending.end())
        return lines;
    std::string& pending = it->second;
    size_t end = pending.find("\r\n\r\n");
    if (end == std::string::npos)
        return lines;
    size_t pos = pending.find("\r\n"); // skip the request line
    while (pos < end) {
        size_t next = pending.find("\r\n", pos + 2);
        lines.push_back(pending.substr(pos + 2, next - pos - 2));
        pos = next;
    }
    pending.erase(0, std::min(pending.size(), end + 4 + bodyLength));
    return lines;
}
