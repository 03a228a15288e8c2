#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "FuzzSeeds.h"
#include "QuoteServer.h"
#include "RecvBuffer.h"
#include "WireMessage.h"

using kqtest::EncodeFrame;

namespace
{

std::string Hex(const std::string& bytes)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
        out += ' ';
    }
    return out;
}

struct Extracted {
    std::vector<std::unique_ptr<WireMessage>> messages;
    FrameStatus last = FrameStatus::Incomplete;
};

Extracted ExtractAll(RecvBuffer& buffer)
{
    Extracted result;
    for (;;) {
        std::unique_ptr<WireMessage> message;
        result.last = buffer.ExtractMessage(&message);
        if (result.last != FrameStatus::Found)
            return result;
        result.messages.push_back(std::move(message));
    }
}

std::string LE32(uint32_t v)
{
    std::string out;
    AppendLE32(out, v);
    return out;
}

} // namespace

TEST(WireMessage, CommodityQueryWithSessionZeroIsTheExact28Bytes)
{
    WireMessage message(1, CMD_QRY_COMMODITY);
    message.AddParam("sessionID", UIntToText(0));
    const unsigned char expected[] = { 0x91, 0xFC, 0x56, 0x7B, 0x18, 0x27, 0x00, 0x80, 0x10, 0x00, 0x00, 0x00,
        0x0C, 0x00, 0x00, 0x00, 's', 'e', 's', 's', 'i', 'o', 'n', 'I', 'D', '=', '0', ';' };
    const std::string frame = message.Serialize();
    EXPECT_EQ(Hex(frame), Hex(std::string(reinterpret_cast<const char*>(expected), sizeof(expected))));
    EXPECT_EQ(message.PayloadLength(), 16u);
}

TEST(WireMessage, SerialisesBothFormsAndReadsThemBack)
{
    struct Case {
        int flag;
        int command;
        std::vector<std::pair<std::string, std::string>> params;
        std::string body;
        std::string expectedParams;
        uint32_t expectedLength;
    };
    const Case cases[] = {
        { 1, CMD_LOGIN, { { "account", "u1" }, { "pwd", "p;w" } }, "", "account=u1;pwd=p;w;", 4 + 19 },
        { 1, CMD_SUBSCRIBE, { { "sessionID", "4294967295" } }, std::string(69, 'k'), "sessionID=4294967295;",
            4 + 21 + 69 },
        { 1, CMD_QRY_CONTRACT, {}, std::string("\0\1\2", 3), "", 4 + 3 },
        { 0, CMD_QUOTE_PUSH, {}, std::string(88, 'q'), "", 88 },
        { 0, CMD_CONTRACT_COMPLETE, {}, "", "", 0 },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command);
        WireMessage message(c.flag, c.command);
        for (const auto& param : c.params)
            message.AddParam(param.first, param.second);
        message.SetBody(c.body.data(), c.body.size());
        EXPECT_EQ(message.Params(), c.expectedParams);
        EXPECT_EQ(message.PayloadLength(), c.expectedLength);

        const std::string frame = message.Serialize();
        ASSERT_EQ(frame.size(), c.expectedLength + 12);
        EXPECT_EQ(LoadLE32(frame.data()), kFrameMagic);
        const uint32_t word = LoadLE32(frame.data() + 4);
        EXPECT_EQ(word & ~kParamsFlagBit, static_cast<uint32_t>(c.command));
        EXPECT_EQ((word & kParamsFlagBit) != 0, c.flag == 1) << "bit 31 only with the params flag";
        EXPECT_EQ(LoadLE32(frame.data() + 8), c.expectedLength);
        // The independent encoder of the test server agrees byte for byte.
        EXPECT_EQ(Hex(frame), Hex(EncodeFrame(c.command, c.expectedParams, c.body, c.flag == 1)));

        const WireMessage back = WireMessage::FromFrame(frame.data());
        EXPECT_EQ(back.Command(), c.command);
        EXPECT_EQ(back.ParamsFlag(), c.flag);
        EXPECT_EQ(back.Params(), c.expectedParams);
        EXPECT_EQ(back.Body(), c.body);
    }
}

TEST(WireMessage, AddParamWithExplicitLengthTakesThoseBytes)
{
    WireMessage message(1, CMD_LOGIN);
    message.AddParam("a", "xyz-ignored", 3);
    message.AddParam("b",
        std::string("1\0"
                    "2",
            3));
    EXPECT_EQ(message.Params(),
        std::string("a=xyz;b=1\0"
                    "2;",
            12));
}

TEST(WireMessage, ParseParamsFollowsTheCursorRules)
{
    using Map = ParamMap;
    struct Case {
        std::string text;
        Map expected;
    };
    const Case cases[] = {
        { "sessionID=7;errorCode=0;", { { "sessionID", "7" }, { "errorCode", "0" } } },
        { "sessionID=7;errorCode=0", { { "sessionID", "7" }, { "errorCode", "0" } } },
        { "x;sessionID=7", { { "x;sessionID", "7" } } },
        { "=1;a=2", {} },
        { "a=", {} },
        { "a=;b=2", { { "a", "" }, { "b", "2" } } },
        { "a=1;a=2", { { "a", "2" } } },
        { "", {} },
        { ";", {} },
        { "novalue", {} },
        { "a=1;rest", { { "a", "1" } } },
        { "a=1;=2;b=3", { { "a", "1" } } },
        { "a=b=c;d=1", { { "a", "b=c" }, { "d", "1" } } },
        { std::string("a=1;b=2\0;c=3", 12), { { "a", "1" }, { "b", "2" } } },
        { std::string("a\0=1", 4), {} },
        { "a=1;;b=2", { { "a", "1" }, { ";b", "2" } } },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Hex(c.text));
        WireMessage message = WireMessage::FromFrame(EncodeFrame(CMD_SUBSCRIBE_REPLY, c.text, "").data());
        EXPECT_EQ(message.ParseParams(), c.expected);
        EXPECT_EQ(ParseParamsText(c.text.data(), c.text.size()), c.expected);
    }
}

TEST(WireMessage, NumericParamsAreStrictDecimal)
{
    struct Case {
        std::string text;
        bool unsignedOk;
        uint32_t unsignedValue;
        bool signedOk;
        int32_t signedValue;
    };
    const Case cases[] = {
        { "0", true, 0, true, 0 },
        { "7", true, 7, true, 7 },
        { "4294967295", true, 4294967295u, false, 0 },
        { "4294967296", false, 0, false, 0 },
        { "2147483647", true, 2147483647u, true, 2147483647 },
        { "-2147483648", false, 0, true, INT32_MIN },
        { "-2147483649", false, 0, false, 0 },
        { "-1", false, 0, true, -1 },
        { "", false, 0, false, 0 },
        { "-", false, 0, false, 0 },
        { "12a", false, 0, false, 0 },
        { " 1", false, 0, false, 0 },
        { "+1", false, 0, false, 0 },
        { "99999999999999999999999", false, 0, false, 0 },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        uint32_t u = 12345;
        int32_t s = 12345;
        EXPECT_EQ(TextToUInt32(c.text, &u), c.unsignedOk);
        EXPECT_EQ(TextToInt32(c.text, &s), c.signedOk);
        if (c.unsignedOk) {
            EXPECT_EQ(u, c.unsignedValue);
        }
        if (c.signedOk) {
            EXPECT_EQ(s, c.signedValue);
        }
    }
    EXPECT_EQ(UIntToText(0), "0");
    EXPECT_EQ(UIntToText(4294967295u), "4294967295");
}

TEST(RecvBuffer, StartsAtOffsetEightWith64KiBFree)
{
    RecvBuffer buffer;
    EXPECT_EQ(buffer.StorageSize(), 65544u);
    EXPECT_EQ(buffer.ReadOffset(), 8u);
    EXPECT_EQ(buffer.WriteOffset(), 8u);
    EXPECT_EQ(buffer.FreeSpace(), 65536u);
    EXPECT_EQ(buffer.Unread(), 0u);
}

TEST(RecvBuffer, TwoFramesInOneReadGiveTwoMessages)
{
    RecvBuffer buffer;
    buffer.Feed((EncodeFrame(20000, "", "first", false) + EncodeFrame(10009, "sessionID=3;", "")).data(),
        EncodeFrame(20000, "", "first", false).size() + EncodeFrame(10009, "sessionID=3;", "").size());
    Extracted out = ExtractAll(buffer);
    ASSERT_EQ(out.messages.size(), 2u);
    EXPECT_EQ(out.messages[0]->Command(), 20000);
    EXPECT_EQ(out.messages[0]->Body(), "first");
    EXPECT_EQ(out.messages[1]->Command(), 10009);
    EXPECT_EQ(out.messages[1]->ParseParams().at("sessionID"), "3");
    EXPECT_EQ(out.last, FrameStatus::Incomplete);
    // Everything consumed: the next bytes land at offset 8 again.
    EXPECT_EQ(buffer.ReadOffset(), 8u);
    EXPECT_EQ(buffer.WriteOffset(), 8u);
}

TEST(RecvBuffer, AFrameOneByteAtATimeYieldsOneMessageAfterItsLastByte)
{
    const std::string frame = EncodeFrame(10005, "sessionID=1;errorCode=0;", std::string(69, 'k'));
    RecvBuffer buffer;
    for (size_t i = 0; i < frame.size(); ++i) {
        buffer.Feed(&frame[i], 1);
        Extracted out = ExtractAll(buffer);
        if (i + 1 < frame.size()) {
            ASSERT_TRUE(out.messages.empty()) << "after byte " << i;
            EXPECT_EQ(buffer.Unread(), i + 1) << "an incomplete frame stays untouched";
        } else {
            ASSERT_EQ(out.messages.size(), 1u);
            EXPECT_EQ(out.messages[0]->Body(), std::string(69, 'k'));
        }
    }
}

TEST(RecvBuffer, StrayBytesBeforeAFrameAreSkipped)
{
    const std::string frame = EncodeFrame(11002, "", "");
    for (size_t stray = 1; stray <= 11; ++stray) {
        SCOPED_TRACE(stray);
        // Stray bytes that look like the start of the magic too.
        std::string garbage;
        for (size_t i = 0; i < stray; ++i)
            garbage += (i % 3 == 0) ? '\x91' : (i % 3 == 1 ? '\xFC' : 'z');
        RecvBuffer buffer;
        buffer.Feed((garbage + frame).data(), garbage.size() + frame.size());
        Extracted out = ExtractAll(buffer);
        ASSERT_EQ(out.messages.size(), 1u);
        EXPECT_EQ(out.messages[0]->Command(), 11002);
        EXPECT_EQ(buffer.Unread(), 0u);
    }
}

TEST(RecvBuffer, FewerThanTwelveBytesAreNeverAFrame)
{
    RecvBuffer buffer;
    const std::string garbage = "abcdefghijk";
    buffer.Feed(garbage.data(), garbage.size());
    uint32_t start = 0;
    EXPECT_EQ(buffer.FindFrame(&start), FrameStatus::Incomplete);
    EXPECT_EQ(buffer.Unread(), 11u) << "nothing is skipped until 12 bytes are there";
    buffer.Feed("l", 1);
    EXPECT_EQ(buffer.FindFrame(&start), FrameStatus::Incomplete);
    EXPECT_EQ(buffer.Unread(), 11u) << "one byte skipped, 11 left";
}

TEST(RecvBuffer, AFrameLargerThanTheBufferIsGatheredByCompactingAndGrowing)
{
    std::string body(200 * 1024, '\0');
    for (size_t i = 0; i < body.size(); ++i)
        body[i] = static_cast<char>(i * 7);
    const std::string small = EncodeFrame(20000, "", "small", false);
    const std::string big = EncodeFrame(20000, "", body, false);
    RecvBuffer buffer;
    // A small frame first, consumed, so that compaction has something to move.
    buffer.Feed(small.data(), small.size());
    ASSERT_EQ(ExtractAll(buffer).messages.size(), 1u);
    const std::string stream = small + big;
    size_t fed = 0;
    std::vector<std::unique_ptr<WireMessage>> messages;
    while (fed < stream.size()) {
        const size_t chunk = std::min<size_t>(4000, stream.size() - fed);
        buffer.Feed(stream.data() + fed, chunk);
        fed += chunk;
        Extracted out = ExtractAll(buffer);
        for (auto& message : out.messages)
            messages.push_back(std::move(message));
        ASSERT_NE(out.last, FrameStatus::Malformed);
        EXPECT_GE(buffer.FreeSpace(), RecvBuffer::kMinFree);
    }
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0]->Body(), "small");
    EXPECT_EQ(messages[1]->Body(), body);
    EXPECT_GT(buffer.StorageSize(), 65544u);
}

TEST(RecvBuffer, MakeRoomCompactsFirstAndGrowsByAtLeast1024)
{
    RecvBuffer buffer(4096);
    EXPECT_EQ(buffer.StorageSize(), 4104u);
    const std::string bytes(8000, 'x');
    buffer.Feed(bytes.data(), 3000);
    buffer.Consume(2000);
    EXPECT_EQ(buffer.ReadOffset(), 2008u);
    EXPECT_EQ(buffer.WriteOffset(), 3008u);

    buffer.MakeRoom(1500); // 1096 free: compaction alone gives 3096
    EXPECT_EQ(buffer.ReadOffset(), 8u);
    EXPECT_EQ(buffer.WriteOffset(), 1008u);
    EXPECT_EQ(buffer.StorageSize(), 4104u);

    buffer.MakeRoom(5000); // still short: grow to write offset + max(1024, need)
    EXPECT_EQ(buffer.StorageSize(), 1008u + 5000u);
    buffer.MakeRoom(3000); // enough already: nothing changes
    EXPECT_EQ(buffer.StorageSize(), 1008u + 5000u);

    // A read leaving less than 1024 free makes room for 1024.
    buffer.Feed(bytes.data(), 4900);
    EXPECT_EQ(buffer.WriteOffset(), 5908u);
    EXPECT_EQ(buffer.StorageSize(), 5908u + 1024u);

    buffer.Consume(5);
    EXPECT_EQ(buffer.ReadOffset(), 13u);
    buffer.Consume(100000); // more than unread: both back to 8
    EXPECT_EQ(buffer.ReadOffset(), 8u);
    EXPECT_EQ(buffer.WriteOffset(), 8u);
    buffer.Feed(bytes.data(), 10);
    buffer.Reset();
    EXPECT_EQ(buffer.Unread(), 0u);
    EXPECT_EQ(buffer.StorageSize(), 5908u + 1024u) << "the storage never shrinks";
}

TEST(RecvBuffer, ReadFromSocketAppendsAndReportsTheReadResult)
{
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    const std::string frame = EncodeFrame(11001, "", "");
    ASSERT_EQ(::write(pair[1], frame.data(), frame.size()), static_cast<ssize_t>(frame.size()));
    RecvBuffer buffer;
    EXPECT_EQ(buffer.ReadFromSocket(pair[0]), static_cast<int>(frame.size()));
    EXPECT_EQ(buffer.Unread(), frame.size());
    EXPECT_EQ(ExtractAll(buffer).messages.size(), 1u);

    ::close(pair[1]);
    EXPECT_EQ(buffer.ReadFromSocket(pair[0]), 0);
    EXPECT_EQ(buffer.WriteOffset(), 8u);
    ::close(pair[0]);
    EXPECT_LT(buffer.ReadFromSocket(pair[0]), 0);
    EXPECT_EQ(buffer.WriteOffset(), 8u) << "a failed read leaves the buffer as it was";
}

TEST(RecvBuffer, EachReadGetsTheWholeFreeSpaceOnceWhatWasCutIsMovedOut)
{
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    const std::string frame = EncodeFrame(20000, "", std::string(1000, 'q'), false);
    const std::string stream = frame + frame + frame + frame + frame + frame;
    RecvBuffer buffer(4096);
    buffer.Feed(stream.data(), 2 * frame.size() + 500);
    ASSERT_EQ(ExtractAll(buffer).messages.size(), 2u);
    const size_t rest = stream.size() - 2 * frame.size() - 500;
    ASSERT_EQ(::write(pair[1], stream.data() + stream.size() - rest, rest), static_cast<ssize_t>(rest));
    // The 500 bytes left go to the front first; the read then fills all but kMinFree.
    EXPECT_EQ(buffer.ReadFromSocket(pair[0]), static_cast<int>(4096 - 500 - RecvBuffer::kMinFree));
    EXPECT_EQ(ExtractAll(buffer).messages.size(), 3u);
    ::close(pair[0]);
    ::close(pair[1]);
}

TEST(RecvBuffer, FramesBreakingABoundAreMalformedNotAwaited)
{
    struct Case {
        const char* name;
        std::string head;
        FrameStatus expected;
    };
    const std::string magic = LE32(kFrameMagic);
    const Case cases[] = {
        { "length over 16 MiB", magic + LE32(20000) + LE32(RecvBuffer::kMaxFrameLength + 1),
            FrameStatus::Malformed },
        { "length near 4 GiB", magic + LE32(20000) + LE32(0xFFFFFFF8u), FrameStatus::Malformed },
        { "length exactly 16 MiB", magic + LE32(20000) + LE32(RecvBuffer::kMaxFrameLength),
            FrameStatus::Incomplete },
        { "params length beyond the frame", magic + LE32(10005 | kParamsFlagBit) + LE32(8) + LE32(5) + "abcd",
            FrameStatus::Malformed },
        { "params length of 0xFFFFFFFF", magic + LE32(10005 | kParamsFlagBit) + LE32(4) + LE32(0xFFFFFFFFu),
            FrameStatus::Malformed },
        { "params flag with no room for the params length",
            magic + LE32(10005 | kParamsFlagBit) + LE32(2) + "ab", FrameStatus::Malformed },
        { "params filling the frame exactly",
            magic + LE32(10005 | kParamsFlagBit) + LE32(8) + LE32(4) + "a=1;", FrameStatus::Found },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RecvBuffer buffer;
        buffer.Feed(c.head.data(), c.head.size());
        std::unique_ptr<WireMessage> message;
        EXPECT_EQ(buffer.ExtractMessage(&message), c.expected);
        EXPECT_EQ(message != nullptr, c.expected == FrameStatus::Found);
    }
}

namespace
{

std::string ReadFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The commands of the messages each dispatch point of a fuzz input cuts out,
// read the way kivquoteapi_fuzz_recvbuffer reads its input.
std::vector<std::vector<int>> CommandsPerDispatch(const std::string& input)
{
    RecvBuffer buffer(4096);
    std::vector<std::vector<int>> dispatches;
    size_t at = 0;
    while (at < input.size()) {
        const auto control = static_cast<unsigned char>(input[at++]);
        const size_t chunk = std::min<size_t>(input.size() - at, (control & 0x7Fu) + 1u);
        buffer.Feed(input.data() + at, chunk);
        at += chunk;
        if (control & 0x80) {
            std::vector<int> commands;
            for (auto& message : ExtractAll(buffer).messages)
                commands.push_back(message->Command());
            dispatches.push_back(commands);
        }
    }
    return dispatches;
}

} // namespace

TEST(FuzzSeeds, CommittedCorpusIsWhatTheCodecMakes)
{
    namespace fs = std::filesystem;
    const bool write = std::getenv("QUORVEL_WRITE_FUZZ_SEEDS") != nullptr;
    const std::map<std::string, std::map<std::string, std::string>> targets
        = { { "kivquoteapi_fuzz_recvbuffer", kqtest::RecvBufferSeeds() },
              { "kivquoteapi_fuzz_params", kqtest::ParamsSeeds() } };
    for (const auto& target : targets) {
        SCOPED_TRACE(target.first);
        const fs::path folder = fs::path(KIVQUOTEAPI_FUZZ_SEEDS) / target.first;
        if (write) {
            fs::remove_all(folder);
            fs::create_directories(folder);
            for (const auto& seed : target.second)
                std::ofstream(folder / seed.first, std::ios::binary) << seed.second;
        }
        std::set<std::string> committed;
        if (fs::is_directory(folder))
            for (const auto& entry : fs::directory_iterator(folder))
                committed.insert(entry.path().filename().string());
        std::set<std::string> made;
        for (const auto& seed : target.second) {
            made.insert(seed.first);
            EXPECT_EQ(ReadFile(folder / seed.first), seed.second)
                << seed.first
                << " differs: run this test with QUORVEL_WRITE_FUZZ_SEEDS=1 to remake the seeds";
        }
        EXPECT_EQ(committed, made);
    }
}

TEST(FuzzSeeds, EachSeedReachesTheFramesItIsMadeFor)
{
    const auto seeds = kqtest::RecvBufferSeeds();
    std::set<int> single;
    for (const auto& seed : seeds) {
        SCOPED_TRACE(seed.first);
        const auto dispatches = CommandsPerDispatch(seed.second);
        if (seed.first == "two_frames") {
            EXPECT_EQ(dispatches,
                (std::vector<std::vector<int>> { { CMD_CONTRACT_PUSH, CMD_QRY_CONTRACT_REPLY } }));
        } else if (seed.first == "split_frame") {
            EXPECT_EQ(dispatches,
                (std::vector<std::vector<int>> { {}, { CMD_COMMODITY_PUSH, CMD_QRY_COMMODITY_REPLY } }));
        } else {
            ASSERT_EQ(dispatches.size(), 1u);
            ASSERT_EQ(dispatches[0].size(), 1u);
            single.insert(dispatches[0][0]);
        }
    }
    EXPECT_EQ(single,
        (std::set<int> { CMD_LOGIN_REPLY, CMD_SUBSCRIBE_REPLY, CMD_UNSUBSCRIBE_REPLY, CMD_QRY_COMMODITY_REPLY,
            CMD_QRY_CONTRACT_REPLY, CMD_LOGIN_COMPLETE, CMD_COMMODITY_COMPLETE, CMD_CONTRACT_COMPLETE,
            CMD_QUOTE_PUSH, CMD_KEYED_RECORD_PUSH, CMD_COMMODITY_PUSH, CMD_CONTRACT_PUSH }));
    for (const auto& seed : kqtest::ParamsSeeds())
        EXPECT_FALSE(ParseParamsText(seed.second.data(), seed.second.size()).empty()) << seed.first;
}
