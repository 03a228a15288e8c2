// The params parser on arbitrary bytes: it must stay in bounds and every
// pair it returns must be one the text really holds.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "WireMessage.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const char* text = reinterpret_cast<const char*>(data);
    const ParamMap params = ParseParamsText(text, size);

    const std::string whole(text, size);
    const std::string visible = whole.substr(0, whole.find('\0'));
    for (const auto& pair : params) {
        // A name never holds "=", a value never ";", and neither reaches past a zero byte.
        if (pair.first.empty() || pair.first.find('=') != std::string::npos
            || pair.second.find(';') != std::string::npos)
            std::abort();
        if (visible.find(pair.first + "=" + pair.second) == std::string::npos)
            std::abort();
    }

    // The same text inside a frame parses the same.
    std::string frame;
    AppendLE32(frame, kFrameMagic);
    AppendLE32(frame, static_cast<uint32_t>(CMD_SUBSCRIBE_REPLY) | kParamsFlagBit);
    AppendLE32(frame, static_cast<uint32_t>(4 + size));
    AppendLE32(frame, static_cast<uint32_t>(size));
    frame.append(whole);
    if (WireMessage::FromFrame(frame.data()).ParseParams() != params)
        std::abort();

    // Numbers read from values never throw or overflow.
    for (const auto& pair : params) {
        uint32_t u = 0;
        int32_t s = 0;
        if (TextToUInt32(pair.second, &u) && UIntToText(u) != pair.second && pair.second.front() != '0')
            std::abort();
        TextToInt32(pair.second, &s);
    }
    return 0;
}
