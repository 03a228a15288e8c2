#include "ostrelwire.h"

#include <google/protobuf/message_lite.h>

namespace ostrelwire
{

namespace
{

    void AppendHeader(std::string& out, std::size_t size)
    {
        const auto n = static_cast<std::uint32_t>(size);
        const char header[kHeaderBytes] = {
            static_cast<char>(n & 0xffu),
            static_cast<char>((n >> 8) & 0xffu),
            static_cast<char>((n >> 16) & 0xffu),
            static_cast<char>((n >> 24) & 0xffu),
        };
        out.append(header, kHeaderBytes);
    }

} // namespace

bool AppendFrame(std::string& out, const std::string& body)
{
    if (body.size() > kMaxFrameBytes)
        return false;
    AppendHeader(out, body.size());
    out.append(body);
    return true;
}

bool AppendMessage(std::string& out, const google::protobuf::MessageLite& msg)
{
    const std::size_t size = msg.ByteSizeLong();
    if (size > kMaxFrameBytes)
        return false;
    const std::size_t start = out.size();
    AppendHeader(out, size);
    out.resize(start + kHeaderBytes + size);
    if (size > 0 && !msg.SerializeToArray(&out[start + kHeaderBytes], static_cast<int>(size))) {
        out.resize(start);
        return false;
    }
    return true;
}

FrameReader::FrameReader(std::size_t maxFrameBytes)
    : m_maxFrameBytes(maxFrameBytes)
{
}

void FrameReader::Feed(const char* data, std::size_t size)
{
    // Drop what was consumed before growing, so a long stream of small frames
    // does not keep its whole history in memory.
    if (m_offset > 0 && (m_offset == m_buffer.size() || m_offset >= 64 * 1024)) {
        m_buffer.erase(0, m_offset);
        m_offset = 0;
    }
    m_buffer.append(data, size);
}

FrameReader::Result FrameReader::Next(std::string* body)
{
    std::string_view view;
    const Result result = Next(&view);
    if (result == Result::Frame)
        body->assign(view.data(), view.size());
    return result;
}

FrameReader::Result FrameReader::Next(std::string_view* body)
{
    const std::size_t available = m_buffer.size() - m_offset;
    if (available < kHeaderBytes)
        return Result::NeedMore;
    const auto* p = reinterpret_cast<const unsigned char*>(m_buffer.data() + m_offset);
    const std::size_t size = static_cast<std::size_t>(p[0]) | (static_cast<std::size_t>(p[1]) << 8)
        | (static_cast<std::size_t>(p[2]) << 16) | (static_cast<std::size_t>(p[3]) << 24);
    if (size > m_maxFrameBytes)
        return Result::TooLarge;
    if (available - kHeaderBytes < size)
        return Result::NeedMore;
    *body = std::string_view(m_buffer.data() + m_offset + kHeaderBytes, size);
    m_offset += kHeaderBytes + size;
    return Result::Frame;
}

void FrameReader::Clear()
{
    m_buffer.clear();
    m_offset = 0;
}

bool IsUtf8(const char* text, std::size_t size)
{
    const auto* s = reinterpret_cast<const unsigned char*>(text);
    std::size_t i = 0;
    while (i < size) {
        const unsigned char c = s[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        std::size_t extra;
        std::uint32_t cp;
        if (c >= 0xc2 && c <= 0xdf) {
            extra = 1;
            cp = c & 0x1fu;
        } else if (c >= 0xe0 && c <= 0xef) {
            extra = 2;
            cp = c & 0x0fu;
        } else if (c >= 0xf0 && c <= 0xf4) {
            extra = 3;
            cp = c & 0x07u;
        } else {
            return false;
        }
        if (size - i <= extra)
            return false;
        for (std::size_t k = 1; k <= extra; ++k) {
            if ((s[i + k] & 0xc0u) != 0x80u)
                return false;
            cp = (cp << 6) | (s[i + k] & 0x3fu);
        }
        if ((extra == 2 && cp < 0x800) || (extra == 3 && (cp < 0x10000 || cp > 0x10ffff))
            || (cp >= 0xd800 && cp <= 0xdfff))
            return false;
        i += extra + 1;
    }
    return true;
}

} // namespace ostrelwire
