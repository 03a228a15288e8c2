// What a misbehaving server sends: unknown methods, payloads of the wrong
// type, texts that are not UTF-8, garbage and a connection closed inside a
// frame. Each gets a log line, and the client keeps working.

#include <functional>
#include <map>
#include <tuple>

#include <gtest/gtest.h>

#include "quoteclientkit.h"

namespace
{

using kit::FrameRelay;
namespace pb = kw::pb::ostrel2;

using kit::Client;

std::string Frame(const std::string& body)
{
    std::string frame;
    ostrelwire::AppendFrame(frame, body);
    return frame;
}

std::string RspFrame(const pb::KwBaseMessage_Rsp& rsp)
{
    std::string body;
    rsp.SerializeToString(&body);
    return Frame(body);
}

pb::QuoteDetailField Quote(const std::string& code, double last)
{
    pb::QuoteDetailField q;
    q.set_contract_code(code);
    q.set_last(last);
    return q;
}

// An Any that claims to hold a quote but carries bytes that do not parse as one.
pb::KwBaseMessage_Rsp QuoteWithPayload(const std::string& bytes)
{
    pb::KwBaseMessage_Rsp rsp;
    rsp.set_method(pb::ON_RTN_QUOTE);
    rsp.mutable_data()->set_type_url("type.googleapis.com/kw.pb.ostrel2.QuoteDetailField");
    rsp.mutable_data()->set_value(bytes);
    return rsp;
}

std::string NonUtf8QuoteBytes()
{
    // Field 1 (contract_code), length 4, bytes that are not UTF-8.
    return std::string("\x0a\x04\xff\xfe\x41\x42", 6);
}

TEST(NQuoteClientBadInput, EachGetsALogLineAndTheClientGoesOn)
{
    struct Case {
        const char* name;
        std::string bytes; // what the server sends
        bool closeAfter; // the server then closes the connection
        bool reconnects; // the client has to connect again
        std::string logFragment; // in the line the client's log gets
    };
    pb::TickerField ticker;
    ticker.set_contract_code("ZZ_WRONG_TYPE");
    pb::KwBaseMessage_Rsp unknown;
    unknown.set_method(static_cast<pb::EnumMethods>(555));
    unknown.set_req_id("x");
    pb::KwBaseMessage_Rsp nonUtf8Envelope;
    nonUtf8Envelope.set_method(pb::ON_RSP_UNSUBSCRIBE);
    nonUtf8Envelope.set_error_code(1);
    // Written as raw bytes: field 4 (error_message) holding 0xff 0xfe.
    std::string envelope;
    nonUtf8Envelope.SerializeToString(&envelope);
    envelope += std::string("\x22\x02\xff\xfe", 4);

    const Case cases[] = {
        { "unknown method", RspFrame(unknown), false, false, "method 555" },
        { "wrong payload type", RspFrame(FrameRelay::MakeRsp(pb::ON_RTN_QUOTE, ticker)), false, false,
            "kw.pb.ostrel2.TickerField" },
        { "payload not UTF-8", RspFrame(QuoteWithPayload(NonUtf8QuoteBytes())), false, false,
            "does not parse: kw.pb.ostrel2.QuoteDetailField.contract_code is not UTF-8" },
        { "payload garbage", RspFrame(QuoteWithPayload("\xff\xff\xff\xff")), false, false,
            "does not parse: its bytes are not a kw.pb.ostrel2.QuoteDetailField" },
        { "envelope not UTF-8", Frame(envelope), false, true,
            "does not parse (kw.pb.ostrel2.KwBaseMessage.Rsp.error_message is not UTF-8)" },
        { "frame garbage", Frame("\x08\x96\x01\xff\xff\xff"), false, true, "does not parse" },
        { "frame over the limit", std::string("\xff\xff\xff\x7f", 4) + "abc", false, true, "over" },
        { "closed inside a frame", std::string("\x40\x00\x00\x00", 4) + "\x08\x63\x12", true, true,
            "inside a frame" },
    };

    kit::QuoteServer server;
    ASSERT_TRUE(server.Start());
    FrameRelay relay(server.port());
    kit::UseServer(relay.port());
    kit::StopAtEnd stop;
    kit::SignalProbe probe(Client());
    ASSERT_TRUE(Client()->Connect());
    // A subscribed contract whose quotes come only from the test.
    ASSERT_TRUE(kit::WaitFor([&] { return relay.Requests(pb::REQ_SUBSCRIBE).size() == 1; }, 3000));
    const auto subscribed = relay.Requests(pb::REQ_SUBSCRIBE)[0].Payload<pb::ReqSubscribedField>();
    ASSERT_GT(subscribed.contract_list_size(), 0);
    const std::string code = subscribed.contract_list(0);
    relay.SetServerHook([&code](pb::KwBaseMessage_Rsp& rsp) {
        FrameRelay::Verdict verdict;
        pb::QuoteDetailField q;
        verdict.drop
            = rsp.method() == pb::ON_RTN_QUOTE && rsp.data().UnpackTo(&q) && q.contract_code() == code;
        return verdict;
    });

    int serial = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        kit::LogMark log;
        const int connections = relay.Connections();
        relay.InjectRaw(c.bytes);
        if (c.closeAfter)
            relay.CloseAll();

        EXPECT_TRUE(log.WaitForLine({ "nquoteclient.cpp(", c.logFragment }, 3000));
        if (c.reconnects) {
            // Attempts are 5 s apart, counted from the last one.
            ASSERT_TRUE(kit::WaitFor(
                [&] { return relay.Requests(pb::REQ_SUBSCRIBE, connections + 1).size() == 1; }, 8000));
            EXPECT_TRUE(log.WaitForLine({ "): 行情重连成功" }, 1000));
        }

        // Still working: a good quote after the bad input is cached and signalled.
        ++serial;
        relay.InjectRsp(FrameRelay::MakeRsp(pb::ON_RTN_QUOTE, Quote(code, serial)));
        pb::QuoteDetailField cached;
        ASSERT_TRUE(
            kit::WaitFor([&] { return Client()->GetQuote(code, &cached) && cached.last() == serial; }, 3000));
        EXPECT_FALSE(Client()->GetQuote("ZZ_WRONG_TYPE", &cached));
        EXPECT_TRUE(kit::WaitFor(
            [&] {
                std::lock_guard<std::mutex> lock(probe.mutex);
                return std::any_of(
                    probe.quotes.begin(), probe.quotes.end(), [&](const pb::QuoteDetailField& q) {
                        return q.contract_code() == code && q.last() == serial;
                    });
            },
            3000));
    }
    EXPECT_EQ(probe.Connects(), 0);
    EXPECT_EQ(probe.offGuiThread, 0);
    Client()->Stop();
}

// Texts of any size: a code longer than any real one refuses its record,
// names and other texts are cut, undefined fields dropped, each kind logged
// once with its counts; the list keeps its other records, also one whose
// name is not UTF-8 (GBK bytes).
TEST(NQuoteClientBadInput, TextsAreBoundedWhereTheyEnter)
{
    std::string wide;
    for (int i = 0; i < 1000; ++i)
        wide += "名";
    const std::string longCode(49, 'C');
    kit::QuoteServer server;
    ASSERT_TRUE(server.Start());
    FrameRelay relay(server.port());
    relay.SetServerHook([&](pb::KwBaseMessage_Rsp& rsp) {
        pb::RspQryCommodityDetailField list;
        if (rsp.method() == pb::ON_RSP_COMMODITY_DETAIL && rsp.data().UnpackTo(&list)) {
            for (const auto& [no, name, contracts] :
                std::vector<std::tuple<std::string, std::string, std::vector<std::string>>> {
                    { "ZZWIDE", wide, { "1" } }, { longCode, "长", { "1" } },
                    { "ZZPART", "部分", { "1", longCode } }, { "ZZGBK", "\xc3\xc0\xd4\xaa", { "1" } } }) {
                pb::CommodityField* c = list.add_commodity_list();
                c->set_security_type(pb::FO);
                c->set_commodity_no(no);
                c->set_commodity_name(name);
                for (const std::string& contract : contracts) {
                    auto* entry = c->add_contract_no_list();
                    entry->set_contract_no(contract);
                    entry->set_flags(entry == &c->contract_no_list(0) ? 1 : 0);
                }
            }
            rsp.mutable_data()->PackFrom(list);
        }
        return FrameRelay::Verdict();
    });
    kit::UseServer(relay.port());
    kit::StopAtEnd stop;
    kit::LogMark log;
    ASSERT_TRUE(Client()->Connect());
    std::vector<pb::CommodityField> list;
    ASSERT_TRUE(Client()->GetCommodityList(list));
    std::map<std::string, pb::CommodityField> byNo;
    for (const pb::CommodityField& c : list)
        byNo[c.commodity_no()] = c;
    EXPECT_EQ(byNo.count(longCode), 0u);
    EXPECT_EQ(byNo["ZZWIDE"].commodity_name(), wide.substr(0, 63));
    EXPECT_EQ(byNo["ZZPART"].contract_no_list_size(), 1);
    EXPECT_EQ(byNo["ZZGBK"].commodity_name(), "\xef\xbf\xbd\xef\xbf\xbd\xd4\xaa");
    EXPECT_EQ(log.Matching({ "商品列表: 拒收代码过长的记录 2 条" }).size(), 1u);
    EXPECT_EQ(log.Matching({ "商品列表: 名称过长, 截断显示 1 个", "3000 字节, 上限 64" }).size(), 1u);
    EXPECT_EQ(log.Matching({ "kw.pb.ostrel2.CommodityField.commodity_name", "UTF-8" }).size(), 1u);

    // Streamed records: a padded text, an undefined field, over-long codes.
    pb::QuoteDetailField padded = Quote("FO_ZZWIDE_1", 1);
    padded.set_src_type(std::string(1 << 20, 's'));
    std::string undefined = Quote("FO_ZZPART_1", 2).SerializeAsString() + "\xfa\x06\x80\x80\x40";
    undefined += std::string(1 << 20, 'u');
    pb::DepthQuoteField depth;
    depth.set_contract_code("FO_" + std::string(200, 'D'));
    pb::TickerField tick;
    tick.set_contract_code(depth.contract_code());
    for (const pb::KwBaseMessage_Rsp& rsp :
        { FrameRelay::MakeRsp(pb::ON_RTN_QUOTE, padded), QuoteWithPayload(undefined),
            FrameRelay::MakeRsp(pb::ON_RTN_QUOTE, Quote(depth.contract_code(), 3)),
            FrameRelay::MakeRsp(pb::ON_RTN_DEPTH, depth), FrameRelay::MakeRsp(pb::ON_RTN_TICKER, tick) })
        relay.InjectRsp(rsp);
    EXPECT_TRUE(log.WaitForLine({ "逐笔成交: 拒收代码过长的记录 1 条" }, 3000));
    pb::QuoteDetailField cached;
    ASSERT_TRUE(Client()->GetQuote("FO_ZZWIDE_1", &cached));
    EXPECT_EQ(cached.src_type().size(), QuoteTextBounds::kMaxTextBytes);
    ASSERT_TRUE(Client()->GetQuote("FO_ZZPART_1", &cached));
    EXPECT_LT(cached.ByteSizeLong(), 100u);
    EXPECT_FALSE(Client()->GetQuote(depth.contract_code(), &cached));
    for (const char* kind :
        { "): 行情: 文本过长, 截断 1 个", "): 行情: 拒收代码过长的记录 1 条", "): 深度行情: 拒收代码过长" })
        EXPECT_EQ(log.Matching({ "quotetextbounds.cpp(", kind }).size(), 1u) << kind;
}

std::size_t Bytes(const std::vector<std::string>& lines)
{
    std::size_t total = 0;
    for (const std::string& line : lines)
        total += line.size() + 1;
    return total;
}

// A server that floods: frames that must be dropped end the connection after
// a handful of log lines; texts of the server are cut inside each line. The
// log grows by kilobytes where it used to grow by the size of the flood.
TEST(NQuoteClientBadInput, FloodsOfTheServerKeepTheLogSmall)
{
    kit::QuoteServer server;
    ASSERT_TRUE(server.Start());
    FrameRelay relay(server.port());
    kit::UseServer(relay.port());
    kit::StopAtEnd stop;
    ASSERT_TRUE(Client()->Connect());
    const std::string huge(1024 * 1024, 'Q');

    struct Case {
        const char* name;
        std::function<std::string()> flood;
        bool ends; // the connection is ended by the client
        std::size_t maxLogBytes;
    };
    const Case cases[] = {
        { "empty frames",
            [] {
                std::string bytes;
                for (int i = 0; i < 200000; ++i)
                    bytes += Frame("");
                return bytes;
            },
            true, 16 * 1024 },
        { "unknown frames with long tags",
            [&] {
                pb::KwBaseMessage_Rsp unknown;
                unknown.set_method(static_cast<pb::EnumMethods>(777));
                unknown.set_req_id(std::string(64 * 1024, 'r'));
                const std::string one = RspFrame(unknown);
                std::string bytes;
                for (int i = 0; i < 200; ++i)
                    bytes += one;
                return bytes;
            },
            true, 32 * 1024 },
        { "failures with 1 MiB codes and reasons",
            [&] {
                pb::RspSubscribedField reply;
                for (int i = 0; i < 5; ++i) {
                    auto* failed = reply.add_fail_list();
                    failed->set_contract_code(huge);
                    failed->set_err_msg(huge);
                }
                pb::KwBaseMessage_Rsp unsubscribed;
                unsubscribed.set_method(pb::ON_RSP_UNSUBSCRIBE);
                unsubscribed.set_error_code(3);
                unsubscribed.set_error_message(huge);
                return RspFrame(FrameRelay::MakeRsp(pb::ON_RSP_SUBSCRIBE, reply, "2356"))
                    + RspFrame(unsubscribed);
            },
            false, 16 * 1024 },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        kit::LogMark log;
        const int connections = relay.Connections();
        relay.InjectRaw(c.flood());
        if (c.ends) {
            EXPECT_TRUE(
                log.WaitForLine({ "[ERROR]", "OstrelApi: ", "too many; closing the connection" }, 5000));
            ASSERT_TRUE(kit::WaitFor(
                [&] { return relay.Requests(pb::REQ_SUBSCRIBE, connections + 1).size() == 1; }, 8000));
            EXPECT_EQ(log.Matching({ "too many; closing the connection" }).size(), 1u);
        } else {
            ASSERT_TRUE(log.WaitForLine({ "[WARN]", "): 取消订阅失败,失败原因QQQ" }, 5000));
            EXPECT_EQ(log.Matching({ "[ERROR]", "订阅失败原因:QQQ", "...(cut, 1048576 bytes)" }).size(), 5u);
            EXPECT_EQ(relay.Connections(), connections);
        }
        const std::vector<std::string> lines = log.Lines();
        EXPECT_LT(Bytes(lines), c.maxLogBytes) << lines.size() << " lines";
        for (const std::string& line : lines)
            EXPECT_LT(line.size(), 3 * kLogTextLimit) << line.substr(0, 200);
    }
    Client()->Stop();
}

std::uint64_t LeftOut(const std::vector<std::string>& lines)
{
    const std::string mark = "): 行情服务器引发的日志过多，已略去 ";
    std::uint64_t total = 0;
    for (const std::string& line : lines) {
        const std::size_t at = line.find(mark);
        if (at != std::string::npos)
            total += std::stoull(line.substr(at + mark.size()));
    }
    return total;
}

// Replies that look right but come unasked and in bulk, or one reply with a
// failure list of any length: the lines of each level draw on a budget of
// their own, so a flood of one kind hides no line of another, and what was
// left out is counted in one line, paid for by the budget, that comes by
// itself once the flood is over.
TEST(NQuoteClientBadInput, RepliesInBulkDrawOnALogBudgetPerLevel)
{
    // No refill during a case: the counts are exact.
    NQuoteClientProbe::Timings timings = kit::TestTimings();
    timings.logLineEvery = std::chrono::hours(1);
    // Long enough for a slowed-down build to read a whole flood before the count.
    timings.logSummaryDelay = std::chrono::milliseconds(1000);
    // A still market: the quote behind each flood is the last word on its code.
    kit::QuoteServer server;
    ASSERT_TRUE(server.Start({ "--rate", "0" }));
    FrameRelay relay(server.port());
    kit::UseServer(relay.port());
    kit::StopAtEnd stop;
    ASSERT_TRUE(Client()->Connect());
    ASSERT_TRUE(kit::WaitFor([&] { return relay.Requests(pb::REQ_SUBSCRIBE).size() == 1; }, 3000));
    const auto subscribed = relay.Requests(pb::REQ_SUBSCRIBE)[0].Payload<pb::ReqSubscribedField>();
    ASSERT_GT(subscribed.contract_list_size(), 0);
    const std::string code = subscribed.contract_list(0);

    const std::string reason(1000, 'R');
    const auto repeat = [](const std::string& frame, int times) {
        std::string bytes;
        bytes.reserve(frame.size() * times);
        for (int i = 0; i < times; ++i)
            bytes += frame;
        return bytes;
    };
    pb::KwBaseMessage_Rsp unsubscribed;
    unsubscribed.set_method(pb::ON_RSP_UNSUBSCRIBE);
    unsubscribed.set_error_code(3);
    unsubscribed.set_error_message(reason);
    // Unasked K-line replies set off no line of their own (one count now and
    // then); unsubscription replies stand in as the flood of one level.
    const std::string warnings = repeat(RspFrame(unsubscribed), 1500);
    pb::RspSubscribedField amid;
    amid.add_fail_list()->set_contract_code("ZZ_AMID_THE_FLOOD");
    pb::RspSubscribedField oneFailure;
    oneFailure.add_fail_list()->set_contract_code(std::string(1000, 'C'));
    oneFailure.mutable_fail_list(0)->set_err_msg(reason);
    pb::RspSubscribedField manyFailures;
    constexpr int kManyFailures = 200000;
    for (int i = 0; i < kManyFailures; ++i) {
        auto* failed = manyFailures.add_fail_list();
        failed->set_contract_code("X");
        failed->set_err_msg("e");
    }

    struct Case {
        const char* name;
        std::string flood;
        std::uint64_t lines; // the lines the flood would set off without a budget
        std::vector<std::string> line; // texts of one such line
        std::vector<std::string> other; // a line of another level amid the flood, written all the same
    };
    const Case cases[] = {
        { "unsubscription replies", repeat(RspFrame(unsubscribed), 3000), 3000,
            { "[WARN]", "): 取消订阅失败,失败原因RRR" }, {} },
        { "another level amid a flood",
            warnings + RspFrame(FrameRelay::MakeRsp(pb::ON_RSP_SUBSCRIBE, amid, "2356")) + warnings, 3000,
            { "[WARN]", "): 取消订阅失败,失败原因RRR" }, { "[ERROR]", "): ZZ_AMID_THE_FLOOD订阅失败原因:" } },
        { "subscription replies",
            repeat(RspFrame(FrameRelay::MakeRsp(pb::ON_RSP_SUBSCRIBE, oneFailure, "2356")), 3000), 3000,
            { "[ERROR]", "CCC订阅失败原因:RRR" }, {} },
        { "one reply, many failures",
            RspFrame(FrameRelay::MakeRsp(pb::ON_RSP_SUBSCRIBE, manyFailures, "2356")), kManyFailures,
            { "[ERROR]", "): X订阅失败原因:e" }, {} },
    };
    int serial = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        NQuoteClientProbe::SetTimings(timings); // full budgets
        kit::LogMark log;
        relay.InjectRaw(c.flood);
        // A quote behind the flood: once it is cached, the flood has been read.
        ++serial;
        relay.InjectRsp(FrameRelay::MakeRsp(pb::ON_RTN_QUOTE, Quote(code, serial)));
        pb::QuoteDetailField cached;
        ASSERT_TRUE(kit::WaitFor(
            [&] { return Client()->GetQuote(code, &cached) && cached.last() == serial; }, 30000));
        // The count comes without a further line, on the budget's last line.
        ASSERT_TRUE(log.WaitForLine({ "): 行情服务器引发的日志过多，已略去 " }, 3000));

        const std::vector<std::string> lines = log.Lines();
        const std::uint64_t written = log.Matching(c.line).size();
        EXPECT_EQ(written, NQuoteClient::kServerLogBurst - 1u);
        EXPECT_EQ(log.Matching({ "行情服务器引发的日志过多" }).size(), 1u);
        EXPECT_EQ(written + LeftOut(lines), c.lines);
        if (!c.other.empty()) {
            EXPECT_EQ(log.Matching(c.other).size(), 1u);
        }
        EXPECT_LT(Bytes(lines), (NQuoteClient::kServerLogBurst + 10) * 3 * kLogTextLimit)
            << lines.size() << " lines";
        EXPECT_EQ(relay.Connections(), 1);
    }
    Client()->Stop();
}

} // namespace
