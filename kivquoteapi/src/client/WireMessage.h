#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

// Frame: magic, command word (bit 31 = params flag), length of what follows
// the 12-byte head, then [params length, params text] and the body; all
// integers 32-bit little-endian.
constexpr uint32_t kFrameMagic = 0x7B56FC91u;
constexpr uint32_t kParamsFlagBit = 0x80000000u;
constexpr uint32_t kFrameHeadSize = 12;

enum WireCommand : int {
    CMD_LOGIN = 10002,
    CMD_LOGIN_REPLY = 10003,
    CMD_SUBSCRIBE = 10004,
    CMD_SUBSCRIBE_REPLY = 10005,
    CMD_UNSUBSCRIBE = 10006,
    CMD_UNSUBSCRIBE_REPLY = 10007,
    CMD_QRY_COMMODITY = 10008,
    CMD_QRY_COMMODITY_REPLY = 10009,
    CMD_QRY_CONTRACT = 10010,
    CMD_QRY_CONTRACT_REPLY = 10011,
    CMD_LOGIN_COMPLETE = 11001,
    CMD_COMMODITY_COMPLETE = 11002,
    CMD_CONTRACT_COMPLETE = 11003,
    CMD_QUOTE_PUSH = 20000,
    CMD_KEYED_RECORD_PUSH = 20001,
    CMD_COMMODITY_PUSH = 20002,
    CMD_CONTRACT_PUSH = 20003,
};

using ParamMap = std::map<std::string, std::string>;

// Inline: the receive path reads three of these per frame.
inline uint32_t LoadLE32(const char* p)
{
    const auto* b = reinterpret_cast<const unsigned char*>(p);
    return static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 | static_cast<uint32_t>(b[2]) << 16
        | static_cast<uint32_t>(b[3]) << 24;
}
void AppendLE32(std::string& out, uint32_t value);

class WireMessage
{
public:
    // An empty message, to be filled by AssignFrame.
    WireMessage() = default;
    // A message to send: empty params text and body.
    WireMessage(int paramsFlag, int command);
    // A message made from a complete, checked frame (see RecvBuffer::FindFrame).
    static WireMessage FromFrame(const char* frame);
    // The same in place: the params text and body are copied into the
    // storage this message already holds, so that a receive loop reusing one
    // message allocates nothing per frame.
    void AssignFrame(const char* frame);
    // Gives back storage grown by an unusually large frame.
    void Trim(size_t keep);

    void AddParam(const std::string& name, const std::string& value);
    void AddParam(const std::string& name, const char* value, size_t valueLength);
    void SetBody(const char* bytes, size_t length);

    uint32_t PayloadLength() const;
    std::string Serialize() const;
    ParamMap ParseParams() const;

    int ParamsFlag() const { return m_paramsFlag; }
    int Command() const { return m_command; }
    const std::string& Params() const { return m_params; }
    const std::string& Body() const { return m_body; }

private:
    int m_paramsFlag = 0;
    int m_command = 0;
    std::string m_params;
    std::string m_body;
};

// "name=value;..." as a map; a zero byte ends the text, the last value of a
// name wins. Shared by WireMessage::ParseParams and the fuzzer.
ParamMap ParseParamsText(const char* text, size_t length);

std::string UIntToText(uint32_t value);
// Strict decimal readers for numeric params: digits only (a leading '-'
// allowed for signed values), in range; false otherwise.
bool TextToUInt32(const std::string& text, uint32_t* value);
bool TextToInt32(const std::string& text, int32_t* value);
