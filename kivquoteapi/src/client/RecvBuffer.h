#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "WireMessage.h"

enum class FrameStatus {
    Found, // a complete frame is at the read offset
    Incomplete, // wait for more bytes; nothing more can be cut now
    Malformed, // the frame at the read offset breaks a bound: the stream cannot go on
};

// Gathers the bytes read from one connection and cuts complete frames out of
// them. Does no I/O of its own beyond ReadFromSocket; Feed is the same path
// for bytes that come from elsewhere.
class RecvBuffer
{
public:
    static constexpr uint32_t kHeadRoom = 8;
    static constexpr uint32_t kDefaultCapacity = 65536;
    static constexpr uint32_t kMinFree = 1024;
    // The protocol's largest frame is a few hundred bytes; a length field
    // beyond this bound is garbage, not a frame worth waiting for.
    static constexpr uint32_t kMaxFrameLength = 16u * 1024 * 1024;

    explicit RecvBuffer(uint32_t capacity = kDefaultCapacity);

    // One socket read into the free space (repeated on EINTR); the read's result.
    int ReadFromSocket(int socket);
    // Appends bytes as a run of reads would, making room as it goes.
    void Feed(const char* data, size_t length);

    FrameStatus FindFrame(uint32_t* start);
    // Found: *message holds the next frame's message and the frame is consumed.
    FrameStatus ExtractMessage(std::unique_ptr<WireMessage>* message);
    // The same into a message the caller reuses from frame to frame.
    FrameStatus ExtractMessage(WireMessage* message);

    uint32_t Unread() const { return m_write - m_read; }
    uint32_t FreeSpace() const { return static_cast<uint32_t>(m_storage.size()) - m_write; }
    void Consume(uint32_t n);
    void Reset();
    void MakeRoom(uint32_t need);

    uint32_t ReadOffset() const { return m_read; }
    uint32_t WriteOffset() const { return m_write; }
    size_t StorageSize() const { return m_storage.size(); }

private:
    void KeepMinFree();
    // Before new bytes arrive: moves what is left of the last read (at most
    // one incomplete frame once its complete ones are cut) to the front, so
    // that every read gets the whole free space, and says how much of it the
    // next read may fill while keeping kMinFree free afterwards.
    uint32_t PrepareWrite();

    std::vector<char> m_storage;
    uint32_t m_read = kHeadRoom;
    uint32_t m_write = kHeadRoom;
};
