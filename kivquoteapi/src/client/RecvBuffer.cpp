#include "RecvBuffer.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "ApiSocket.h"

RecvBuffer::RecvBuffer(uint32_t capacity)
    : m_storage(static_cast<size_t>(capacity) + kHeadRoom)
{
}

uint32_t RecvBuffer::PrepareWrite()
{
    if (m_read != kHeadRoom)
        MakeRoom(FreeSpace() + (m_read - kHeadRoom));
    const uint32_t free = FreeSpace();
    // Filling the buffer to the brim would leave less than kMinFree, and
    // making room again would move the whole read: stop short of it.
    return free >= 2 * kMinFree ? free - kMinFree : free;
}

int RecvBuffer::ReadFromSocket(int socket)
{
    const uint32_t room = PrepareWrite();
    int result;
    do {
        result = SocketRecv(socket, m_storage.data() + m_write, room);
    } while (result < 0 && errno == EINTR);
    const int readError = errno;
    if (result > 0)
        m_write += static_cast<uint32_t>(result);
    KeepMinFree();
    errno = readError;
    return result;
}

void RecvBuffer::Feed(const char* data, size_t length)
{
    while (length > 0) {
        const uint32_t chunk = static_cast<uint32_t>(std::min<size_t>(length, PrepareWrite()));
        std::memcpy(m_storage.data() + m_write, data, chunk);
        m_write += chunk;
        data += chunk;
        length -= chunk;
        KeepMinFree();
    }
}

void RecvBuffer::KeepMinFree()
{
    if (FreeSpace() < kMinFree)
        MakeRoom(kMinFree);
}

void RecvBuffer::MakeRoom(uint32_t need)
{
    if (FreeSpace() >= need)
        return;
    const uint32_t unread = Unread();
    if (m_read != kHeadRoom)
        std::memmove(m_storage.data() + kHeadRoom, m_storage.data() + m_read, unread);
    m_read = kHeadRoom;
    m_write = kHeadRoom + unread;
    if (FreeSpace() < need)
        m_storage.resize(static_cast<size_t>(m_write) + std::max(kMinFree, need));
}

void RecvBuffer::Consume(uint32_t n)
{
    if (n >= Unread())
        Reset();
    else
        m_read += n;
}

void RecvBuffer::Reset()
{
    m_read = kHeadRoom;
    m_write = kHeadRoom;
}

FrameStatus RecvBuffer::FindFrame(uint32_t* start)
{
    while (Unread() >= kFrameHeadSize) {
        const char* head = m_storage.data() + m_read;
        if (LoadLE32(head) != kFrameMagic) {
            Consume(1);
            continue;
        }
        const uint32_t length = LoadLE32(head + 8);
        if (length > kMaxFrameLength)
            return FrameStatus::Malformed;
        if (Unread() < static_cast<uint64_t>(length) + kFrameHeadSize)
            return FrameStatus::Incomplete;
        if (LoadLE32(head + 4) & kParamsFlagBit) {
            // The params length must lie inside the frame, after its own 4 bytes.
            if (length < 4 || LoadLE32(head + kFrameHeadSize) > length - 4)
                return FrameStatus::Malformed;
        }
        *start = m_read;
        return FrameStatus::Found;
    }
    return FrameStatus::Incomplete;
}

FrameStatus RecvBuffer::ExtractMessage(std::unique_ptr<WireMessage>* message)
{
    auto made = std::make_unique<WireMessage>();
    const FrameStatus status = ExtractMessage(made.get());
    if (status == FrameStatus::Found)
        *message = std::move(made);
    return status;
}

FrameStatus RecvBuffer::ExtractMessage(WireMessage* message)
{
    uint32_t start = 0;
    const FrameStatus status = FindFrame(&start);
    if (status != FrameStatus::Found)
        return status;
    const char* frame = m_storage.data() + start;
    message->AssignFrame(frame);
    Consume(LoadLE32(frame + 8) + kFrameHeadSize);
    return FrameStatus::Found;
}
