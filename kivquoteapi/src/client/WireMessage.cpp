#include "WireMessage.h"

#include <cstdio>
#include <cstring>

void AppendLE32(std::string& out, uint32_t value)
{
    const char bytes[4] = { static_cast<char>(value & 0xFF), static_cast<char>((value >> 8) & 0xFF),
        static_cast<char>((value >> 16) & 0xFF), static_cast<char>((value >> 24) & 0xFF) };
    out.append(bytes, 4);
}

WireMessage::WireMessage(int paramsFlag, int command)
    : m_paramsFlag(paramsFlag ? 1 : 0)
    , m_command(command)
{
}

namespace
{

// assign() takes the general path for overlapping text; the frame never
// overlaps the message, and frames of one kind keep one size, so a plain
// copy into storage of the same length is all a frame usually costs.
void CopyInto(std::string& to, const char* from, size_t length)
{
    if (to.size() != length)
        to.resize(length);
    if (length)
        std::memcpy(&to[0], from, length);
}

} // namespace

WireMessage WireMessage::FromFrame(const char* frame)
{
    WireMessage message;
    message.AssignFrame(frame);
    return message;
}

void WireMessage::AssignFrame(const char* frame)
{
    const uint32_t word = LoadLE32(frame + 4);
    const uint32_t length = LoadLE32(frame + 8);
    m_command = static_cast<int>(word & ~kParamsFlagBit);
    m_paramsFlag = (word & kParamsFlagBit) ? 1 : 0;
    if (m_paramsFlag) {
        const uint32_t paramsLength = LoadLE32(frame + kFrameHeadSize);
        const char* params = frame + kFrameHeadSize + 4;
        CopyInto(m_params, params, paramsLength);
        CopyInto(m_body, params + paramsLength, length - 4 - paramsLength);
    } else {
        m_params.clear();
        CopyInto(m_body, frame + kFrameHeadSize, length);
    }
}

void WireMessage::Trim(size_t keep)
{
    if (m_params.capacity() > keep)
        std::string().swap(m_params);
    if (m_body.capacity() > keep)
        std::string().swap(m_body);
}

void WireMessage::AddParam(const std::string& name, const std::string& value)
{
    AddParam(name, value.data(), value.size());
}

void WireMessage::AddParam(const std::string& name, const char* value, size_t valueLength)
{
    m_params.append(name);
    m_params.push_back('=');
    m_params.append(value, valueLength);
    m_params.push_back(';');
}

void WireMessage::SetBody(const char* bytes, size_t length)
{
    m_body.assign(bytes, length);
}

uint32_t WireMessage::PayloadLength() const
{
    if (m_paramsFlag)
        return static_cast<uint32_t>(m_params.size() + m_body.size() + 4);
    return static_cast<uint32_t>(m_body.size());
}

std::string WireMessage::Serialize() const
{
    std::string frame;
    frame.reserve(PayloadLength() + kFrameHeadSize);
    AppendLE32(frame, kFrameMagic);
    if (m_paramsFlag) {
        AppendLE32(frame, static_cast<uint32_t>(m_command) | kParamsFlagBit);
        AppendLE32(frame, PayloadLength());
        AppendLE32(frame, static_cast<uint32_t>(m_params.size()));
        frame.append(m_params);
    } else {
        AppendLE32(frame, static_cast<uint32_t>(m_command));
        AppendLE32(frame, PayloadLength());
    }
    frame.append(m_body);
    return frame;
}

ParamMap WireMessage::ParseParams() const
{
    return ParseParamsText(m_params.data(), m_params.size());
}

ParamMap ParseParamsText(const char* data, size_t length)
{
    ParamMap params;
    const void* zero = std::memchr(data, '\0', length);
    const size_t end = zero ? static_cast<size_t>(static_cast<const char*>(zero) - data) : length;
    const std::string text(data, end);

    size_t cursor = 0;
    while (cursor < text.size() && text[cursor] != '=') {
        const size_t equals = text.find('=', cursor);
        if (equals == std::string::npos)
            break;
        if (equals + 1 == text.size())
            break;
        const size_t semicolon = text.find(';', equals + 1);
        const size_t valueEnd = semicolon == std::string::npos ? text.size() : semicolon;
        params[text.substr(cursor, equals - cursor)] = text.substr(equals + 1, valueEnd - equals - 1);
        if (semicolon == std::string::npos)
            break;
        cursor = semicolon + 1;
    }
    return params;
}

std::string UIntToText(uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof(text), "%u", value);
    return text;
}

namespace
{

bool DigitsToU64(const char* p, const char* end, uint64_t limit, uint64_t* value)
{
    if (p == end)
        return false;
    uint64_t result = 0;
    for (; p != end; ++p) {
        if (*p < '0' || *p > '9')
            return false;
        result = result * 10 + static_cast<uint64_t>(*p - '0');
        if (result > limit)
            return false;
    }
    *value = result;
    return true;
}

} // namespace

bool TextToUInt32(const std::string& text, uint32_t* value)
{
    uint64_t result = 0;
    if (!DigitsToU64(text.data(), text.data() + text.size(), UINT32_MAX, &result))
        return false;
    *value = static_cast<uint32_t>(result);
    return true;
}

bool TextToInt32(const std::string& text, int32_t* value)
{
    const bool negative = !text.empty() && text[0] == '-';
    const char* begin = text.data() + (negative ? 1 : 0);
    uint64_t magnitude = 0;
    const uint64_t limit = negative ? uint64_t { 1 } << 31 : (uint64_t { 1 } << 31) - 1;
    if (!DigitsToU64(begin, text.data() + text.size(), limit, &magnitude))
        return false;
    *value
        = negative ? static_cast<int32_t>(-static_cast<int64_t>(magnitude)) : static_cast<int32_t>(magnitude);
    return true;
}
