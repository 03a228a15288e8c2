#pragma once

// A way into the quote API without a network: bytes as a server would send
// them go through the framing and dispatch of a connection to a callback
// object, on the calling thread. For tests and fuzzing.

#include <cstddef>
#include <memory>

class COstrelSpi;

namespace ostrelapi
{

class FrameFeed
{
public:
    // The callbacks go to spi, which must outlive the feed.
    explicit FrameFeed(COstrelSpi* spi);
    ~FrameFeed();
    FrameFeed(const FrameFeed&) = delete;
    FrameFeed& operator=(const FrameFeed&) = delete;

    // Handles the bytes as read from the connection: every complete frame is
    // dispatched before this returns. False once the connection has ended,
    // as it would for a bad frame (OnFrontDisconnected has then been called);
    // bytes after that are ignored.
    bool Receive(const char* data, std::size_t size);

private:
    std::shared_ptr<void> m_session;
};

} // namespace ostrelapi
