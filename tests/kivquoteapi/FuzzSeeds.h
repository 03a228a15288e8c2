#pragma once

// The seed corpus of the fuzz targets under fuzz/kivquoteapi/seeds/, made
// with the library's own codec so that it follows the codec when the codec
// changes: test_codec compares the committed files with what is made here
// (and rewrites them when QUORVEL_WRITE_FUZZ_SEEDS is set).

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "QuoteServer.h"
#include "TestRecords.h"
#include "WireMessage.h"

namespace kqtest
{

struct SeedChunk {
    std::string bytes;
    bool dispatch; // cut the frames out of the buffer after this chunk
};

// The input form of kivquoteapi_fuzz_recvbuffer: each chunk of at most 128
// bytes is led by a control byte holding its size less one and, in bit 7,
// whether the frames are dispatched after it.
inline std::string RecvBufferInput(const std::vector<SeedChunk>& chunks)
{
    std::string input;
    for (const SeedChunk& chunk : chunks) {
        for (size_t at = 0; at < chunk.bytes.size(); at += 128) {
            const size_t size = std::min<size_t>(128, chunk.bytes.size() - at);
            const bool last = at + size == chunk.bytes.size();
            input += static_cast<char>((size - 1) | (last && chunk.dispatch ? 0x80 : 0));
            input.append(chunk.bytes, at, size);
        }
    }
    return input;
}

inline std::string SeedFrame(int command, const std::map<std::string, std::string>& params,
    const std::string& body = std::string(), bool withParams = true)
{
    WireMessage message(withParams ? 1 : 0, command);
    for (const auto& pair : params)
        message.AddParam(pair.first, pair.second);
    message.SetBody(body.data(), body.size());
    return message.Serialize();
}

// One frame of each command the library reads, two frames in one input and
// one frame split in two, by file name.
inline std::map<std::string, std::string> RecvBufferSeeds()
{
    const std::string contractKey = Bytes(ContractKey("SHFE", 'F', "cu", "2501"));
    const std::string commodityKey = Bytes(CommodityKey("SHFE", 'F', "cu"));
    const std::string commodity = Bytes(Commodity("SHFE", 'F', "cu"));
    const std::string contract = Bytes(Contract("SHFE", 'F', "cu", "2501"));
    const std::map<std::string, std::string> frames = {
        { "login_reply", SeedFrame(CMD_LOGIN_REPLY, { { "errorCode", "0" } }, "WELCOME!") },
        { "subscribe_reply",
            SeedFrame(CMD_SUBSCRIBE_REPLY, { { "sessionID", "1" }, { "errorCode", "0" } }, contractKey) },
        { "unsubscribe_reply",
            SeedFrame(CMD_UNSUBSCRIBE_REPLY, { { "sessionID", "2" }, { "errorCode", "0" } }, contractKey) },
        { "commodity_reply", SeedFrame(CMD_QRY_COMMODITY_REPLY, { { "sessionID", "3" } }) },
        { "contract_reply", SeedFrame(CMD_QRY_CONTRACT_REPLY, { { "sessionID", "4" } }, commodityKey) },
        { "login_complete", SeedFrame(CMD_LOGIN_COMPLETE, {}, "", false) },
        { "commodity_complete", SeedFrame(CMD_COMMODITY_COMPLETE, {}, "", false) },
        { "contract_complete", SeedFrame(CMD_CONTRACT_COMPLETE, {}, "", false) },
        { "quote_push", SeedFrame(CMD_QUOTE_PUSH, {}, "QUOTE-01", false) },
        { "keyed_record_push", SeedFrame(CMD_KEYED_RECORD_PUSH, {}, Bytes(Keyed("key-1")), false) },
        { "commodity_push", SeedFrame(CMD_COMMODITY_PUSH, {}, commodity, false) },
        { "contract_push", SeedFrame(CMD_CONTRACT_PUSH, {}, contract, false) },
    };
    std::map<std::string, std::string> seeds;
    for (const auto& frame : frames)
        seeds[frame.first] = RecvBufferInput({ { frame.second, true } });
    // A record, then the reply that delivers it.
    seeds["two_frames"]
        = RecvBufferInput({ { frames.at("contract_push") + frames.at("contract_reply"), true } });
    const std::string& split = frames.at("commodity_push");
    seeds["split_frame"] = RecvBufferInput({ { split.substr(0, split.size() / 2), true },
        { split.substr(split.size() / 2) + frames.at("commodity_reply"), true } });
    return seeds;
}

// Params texts as the library writes and reads them.
inline std::map<std::string, std::string> ParamsSeeds()
{
    const auto text = [](const std::map<std::string, std::string>& params) {
        WireMessage message(1, CMD_SUBSCRIBE_REPLY);
        for (const auto& pair : params)
            message.AddParam(pair.first, pair.second);
        return message.Params();
    };
    return {
        { "reply", text({ { "sessionID", "7" }, { "errorCode", "0" } }) },
        { "login", text({ { "account", "trader" }, { "pwd", "secret" } }) },
        { "empty_value", text({ { "a", "" }, { "b", "2" } }) },
    };
}

} // namespace kqtest
