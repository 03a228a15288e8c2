#pragma once

// Framing of the quote protocol, shared by the client library and the quote
// server: each frame is a 4-byte little-endian length followed by that many
// bytes of a serialised message. The codec does no I/O.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace google::protobuf
{
class MessageLite;
}

namespace ostrelwire
{

// Frames whose body is longer than this are refused on both sides.
constexpr std::size_t kMaxFrameBytes = 16u * 1024u * 1024u;
constexpr std::size_t kHeaderBytes = 4;

// Appends the header and body of one frame to out. False (out unchanged) when
// the body is over kMaxFrameBytes.
bool AppendFrame(std::string& out, const std::string& body);
// Serialises msg and appends it as one frame. False (out unchanged) when the
// message does not serialise or is over kMaxFrameBytes.
bool AppendMessage(std::string& out, const google::protobuf::MessageLite& msg);

// Cuts a byte stream into frame bodies. Feed it whatever a read returned and
// take complete frames out with Next; a partial frame stays buffered.
class FrameReader
{
public:
    enum class Result {
        Frame, // *body holds the next frame
        NeedMore, // no complete frame buffered yet
        TooLarge, // the next frame announces more than the limit; the stream cannot be resynchronised
    };

    explicit FrameReader(std::size_t maxFrameBytes = kMaxFrameBytes);

    void Feed(const char* data, std::size_t size);
    Result Next(std::string* body);
    // The same without a copy: *body points into the reader's buffer and
    // stays valid until the next Feed or Clear.
    Result Next(std::string_view* body);
    // Bytes buffered but not yet returned as frames.
    std::size_t Buffered() const { return m_buffer.size() - m_offset; }
    void Clear();

private:
    std::size_t m_maxFrameBytes;
    std::string m_buffer;
    std::size_t m_offset = 0;
};

// Whether text is well-formed UTF-8 (no overlongs, surrogates or code points
// above U+10FFFF); the message runtime refuses to parse anything else.
bool IsUtf8(const char* text, std::size_t size);
inline bool IsUtf8(const std::string& text)
{
    return IsUtf8(text.data(), text.size());
}

} // namespace ostrelwire
