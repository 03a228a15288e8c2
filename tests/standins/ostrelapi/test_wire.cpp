#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kw.pb.ostrel2.pb.h"
#include "ostrelwire.h"

namespace pb = kw::pb::ostrel2;
using ostrelwire::FrameReader;

namespace
{

std::string Header(std::uint32_t n)
{
    return std::string { static_cast<char>(n & 0xff), static_cast<char>((n >> 8) & 0xff),
        static_cast<char>((n >> 16) & 0xff), static_cast<char>((n >> 24) & 0xff) };
}

std::vector<std::string> Drain(FrameReader& reader, FrameReader::Result* last)
{
    std::vector<std::string> frames;
    std::string body;
    while ((*last = reader.Next(&body)) == FrameReader::Result::Frame)
        frames.push_back(body);
    return frames;
}

} // namespace

TEST(OstrelWire, HeaderIsLittleEndianLength)
{
    std::string out;
    ASSERT_TRUE(ostrelwire::AppendFrame(out, std::string(0x010203, 'x')));
    ASSERT_EQ(out.size(), 4u + 0x010203);
    EXPECT_EQ(out.substr(0, 4), std::string("\x03\x02\x01\x00", 4));

    std::string empty;
    ASSERT_TRUE(ostrelwire::AppendFrame(empty, ""));
    EXPECT_EQ(empty, std::string(4, '\0'));
}

TEST(OstrelWire, MessageRoundTripsAtEverySplitPoint)
{
    pb::KwBaseMessage msg;
    msg.set_method(pb::REQ_SUBSCRIBE);
    msg.set_req_id("321456");
    pb::ReqSubscribedField sub;
    sub.set_mode(pb::MODE_SNAP);
    sub.add_contract_list("FO_CL_2701");
    sub.add_contract_list("S_600519");
    msg.mutable_data()->PackFrom(sub);

    std::string stream;
    ASSERT_TRUE(ostrelwire::AppendMessage(stream, msg));
    pb::KwBaseMessage empty; // all defaults: a frame with an empty body
    ASSERT_TRUE(ostrelwire::AppendMessage(stream, empty));
    ASSERT_TRUE(ostrelwire::AppendMessage(stream, msg));

    // Every way of cutting the stream in two, and byte by byte, yields the same frames.
    for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
        FrameReader reader;
        FrameReader::Result last;
        reader.Feed(stream.data(), cut);
        auto frames = Drain(reader, &last);
        reader.Feed(stream.data() + cut, stream.size() - cut);
        auto rest = Drain(reader, &last);
        frames.insert(frames.end(), rest.begin(), rest.end());
        ASSERT_EQ(frames.size(), 3u) << "cut at " << cut;
        EXPECT_EQ(last, FrameReader::Result::NeedMore);
        EXPECT_EQ(reader.Buffered(), 0u);
        pb::KwBaseMessage back;
        ASSERT_TRUE(back.ParseFromString(frames[0]));
        EXPECT_EQ(back.SerializeAsString(), msg.SerializeAsString());
        EXPECT_TRUE(frames[1].empty());
        pb::ReqSubscribedField backSub;
        ASSERT_TRUE(back.data().UnpackTo(&backSub));
        EXPECT_EQ(backSub.contract_list(1), "S_600519");
    }

    FrameReader reader;
    std::size_t count = 0;
    std::string body;
    for (char c : stream) {
        reader.Feed(&c, 1);
        while (reader.Next(&body) == FrameReader::Result::Frame)
            ++count;
    }
    EXPECT_EQ(count, 3u);
}

TEST(OstrelWire, SizeLimit)
{
    struct Case {
        std::uint32_t announced;
        std::size_t limit;
        FrameReader::Result expected;
    };
    const Case cases[] = {
        { 0, ostrelwire::kMaxFrameBytes, FrameReader::Result::Frame },
        { static_cast<std::uint32_t>(ostrelwire::kMaxFrameBytes), ostrelwire::kMaxFrameBytes,
            FrameReader::Result::NeedMore },
        { static_cast<std::uint32_t>(ostrelwire::kMaxFrameBytes) + 1, ostrelwire::kMaxFrameBytes,
            FrameReader::Result::TooLarge },
        { 0xffffffffu, ostrelwire::kMaxFrameBytes, FrameReader::Result::TooLarge },
        { 10, 10, FrameReader::Result::NeedMore },
        { 11, 10, FrameReader::Result::TooLarge },
    };
    for (const auto& c : cases) {
        FrameReader reader(c.limit);
        const std::string header = Header(c.announced);
        reader.Feed(header.data(), header.size());
        std::string body;
        EXPECT_EQ(reader.Next(&body), c.expected) << c.announced;
        // A refused length stays refused: nothing after it can be trusted.
        if (c.expected == FrameReader::Result::TooLarge) {
            EXPECT_EQ(reader.Next(&body), FrameReader::Result::TooLarge);
        }
    }

    std::string out = "keep";
    EXPECT_FALSE(ostrelwire::AppendFrame(out, std::string(ostrelwire::kMaxFrameBytes + 1, 'x')));
    EXPECT_EQ(out, "keep");
    EXPECT_TRUE(ostrelwire::AppendFrame(out, std::string(ostrelwire::kMaxFrameBytes, 'x')));
}

TEST(OstrelWire, Utf8Check)
{
    struct Case {
        std::string text;
        bool valid;
    };
    const Case cases[] = {
        { "", true },
        { "FO_CL_2701", true },
        { "\xe5\x8e\x9f\xe6\xb2\xb9", true }, // 原油
        { "\xf0\x9f\x93\x88", true }, // U+1F4C8
        { "\xd4\xad\xd3\xcd", false }, // the same word in GBK
        { "\xc0\xaf", false }, // overlong '/'
        { "\xe0\x80\xaf", false }, // overlong, three bytes
        { "\xed\xa0\x80", false }, // surrogate
        { "\xf4\x90\x80\x80", false }, // above U+10FFFF
        { "\xe5\x8e", false }, // cut short
        { "abc\x80", false }, // stray continuation byte
        { std::string("a\0b", 3), true },
    };
    for (const auto& c : cases)
        EXPECT_EQ(ostrelwire::IsUtf8(c.text), c.valid) << testing::PrintToString(c.text);
}
