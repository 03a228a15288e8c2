// The quote-server program, started as its own process on 127.0.0.1, driven
// through the quote API library and through hand-made frames.

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "childprocess.h"
#include "framedsocket.h"
#include "ostrelapi.h"
#include "spirecorder.h"

namespace pb = kw::pb::ostrel2;
using namespace std::chrono_literals;

namespace
{

// The program with the given options; its output is collected line by line.
class ServerProcess
{
public:
    explicit ServerProcess(std::vector<std::string> args)
    {
        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0)
            return;
        args.insert(args.begin(), QUOTE_SERVER_PATH);
        m_pid = childprocess::SpawnTied(std::move(args), -1, out[1]);
        ::close(out[1]);
        m_out = out[0];
        m_reader = std::thread([this] { ReadOutput(); });
        // The first line is the port.
        std::unique_lock<std::mutex> lock(m_mutex);
        m_cv.wait_for(lock, 10s, [&] { return !m_lines.empty() || m_ended; });
        if (!m_lines.empty())
            m_port = std::atoi(m_lines[0].c_str());
    }
    ~ServerProcess()
    {
        Kill();
        m_reader.join();
        ::close(m_out);
    }

    int Port() const { return m_port; }

    void Kill()
    {
        if (m_pid > 0) {
            ::kill(m_pid, SIGTERM);
            int status = 0;
            ::waitpid(m_pid, &status, 0);
            m_exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            m_pid = -1;
        }
    }
    // Waits for the program to end by itself.
    int ExitCode()
    {
        const auto deadline = std::chrono::steady_clock::now() + kWait;
        while (m_pid > 0 && std::chrono::steady_clock::now() < deadline) {
            int status = 0;
            if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
                m_exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
                m_pid = -1;
                break;
            }
            std::this_thread::sleep_for(10ms);
        }
        Kill();
        return m_exitCode;
    }
    bool Alive() { return m_pid > 0 && ::waitpid(m_pid, nullptr, WNOHANG) == 0; }

    bool WaitLine(const std::string& part, std::chrono::milliseconds timeout = kWait)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cv.wait_for(lock, timeout, [&] { return HasLocked(part); });
    }
    bool HasLine(const std::string& part)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return HasLocked(part);
    }

private:
    bool HasLocked(const std::string& part) const
    {
        for (const auto& l : m_lines)
            if (l.find(part) != std::string::npos)
                return true;
        return false;
    }
    void ReadOutput()
    {
        std::string pending;
        char buf[4096];
        for (;;) {
            const ssize_t n = ::read(m_out, buf, sizeof buf);
            if (n <= 0)
                break;
            pending.append(buf, static_cast<std::size_t>(n));
            std::size_t nl;
            while ((nl = pending.find('\n')) != std::string::npos) {
                {
                    std::lock_guard<std::mutex> lock(m_mutex);
                    m_lines.push_back(pending.substr(0, nl));
                }
                m_cv.notify_all();
                pending.erase(0, nl + 1);
            }
        }
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_ended = true;
        }
        m_cv.notify_all();
    }

    pid_t m_pid = -1;
    int m_out = -1;
    int m_port = 0;
    int m_exitCode = -1;
    std::thread m_reader;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::vector<std::string> m_lines;
    bool m_ended = false;
};

struct ApiDeleter {
    void operator()(COstrelApi* api) const { COstrelApi::DeleteApi(api); }
};
using ApiPtr = std::unique_ptr<COstrelApi, ApiDeleter>;

// An API object connected to the server, with a recorder for its callbacks.
struct Session {
    explicit Session(int port)
    {
        api.reset(COstrelApi::CreateApi());
        api->RegisterSpi(&spi);
        ok = api->Connect("127.0.0.1", port) == OSTREL_OK && spi.WaitFor("connected");
    }
    bool Login()
    {
        pb::ReqLoginField login;
        login.set_user_name("tester");
        login.set_password("secret");
        login.set_protoc_version("2.0");
        return api->ReqLogin(&login, "321456") == OSTREL_OK && spi.WaitFor("login");
    }
    pb::RspQryCommodityDetailField Commodities(int type = pb::UNKNOWN)
    {
        const std::size_t before = spi.Count("detail");
        pb::ReqQryCommodityField qry;
        qry.set_security_type(static_cast<pb::EnumSecurityType>(type));
        if (api->ReqQryCommodityDetail(&qry, "123456") != OSTREL_OK
            || !spi.WaitUntil([&] { return spi.details.size() > before; }))
            return {};
        return spi.Locked([&] { return spi.details.back(); });
    }
    int Subscribe(pb::EnumSubMode mode, const std::vector<std::string>& keys)
    {
        pb::ReqSubscribedField sub;
        sub.set_mode(mode);
        for (const auto& k : keys)
            sub.add_contract_list(k);
        return api->ReqSubscribe(&sub, "2356");
    }
    std::size_t Quotes(const std::string& key)
    {
        return spi.Locked([&] {
            std::size_t n = 0;
            for (const auto& q : spi.quotes)
                n += q.contract_code() == key;
            return n;
        });
    }

    RecordingSpi spi;
    ApiPtr api;
    bool ok = false;
};

std::vector<std::string> AllKeys(const pb::RspQryCommodityDetailField& detail)
{
    std::vector<std::string> keys;
    for (const auto& c : detail.commodity_list()) {
        const std::string prefix = pb::EnumSecurityType_Name(c.security_type()) + "_" + c.commodity_no();
        if (c.contract_no_list_size() == 0)
            keys.push_back(prefix);
        for (const auto& n : c.contract_no_list())
            keys.push_back(prefix + "_" + n.contract_no());
    }
    return keys;
}

std::string MainKey(const pb::RspQryCommodityDetailField& detail, const std::string& commodity)
{
    for (const auto& c : detail.commodity_list())
        if (c.commodity_no() == commodity)
            for (const auto& n : c.contract_no_list())
                if (n.flags() == 1)
                    return pb::EnumSecurityType_Name(c.security_type()) + "_" + c.commodity_no() + "_"
                        + n.contract_no();
    return {};
}

} // namespace

TEST(QuoteServer, ServesTheConnectSequenceAndPushes)
{
    ServerProcess server({ "--port", "0", "--rate", "20", "--seed", "3" });
    ASSERT_GT(server.Port(), 0);
    Session s(server.Port());
    ASSERT_TRUE(s.ok);
    ASSERT_TRUE(s.Login());
    s.spi.Locked([&] {
        ASSERT_EQ(s.spi.logins.size(), 1u);
        EXPECT_EQ(s.spi.logins[0].user_name(), "tester");
        EXPECT_EQ(s.spi.logins[0].can_sub_modes_size(), 3);
    });

    const auto detail = s.Commodities();
    std::set<int> types;
    for (const auto& c : detail.commodity_list())
        types.insert(c.security_type());
    EXPECT_EQ(types, (std::set<int> { pb::FO, pb::FI, pb::C, pb::S, pb::D }));
    const auto mainland = s.Commodities(pb::FI);
    EXPECT_GT(mainland.commodity_list_size(), 0);
    for (const auto& c : mainland.commodity_list())
        EXPECT_EQ(c.security_type(), pb::FI);

    // Snapshot of every contract, with two that do not exist.
    auto keys = AllKeys(detail);
    ASSERT_GT(keys.size(), 80u);
    keys.push_back("FO_NOPE_2701");
    keys.push_back("CL");
    ASSERT_EQ(s.Subscribe(pb::MODE_SNAP, keys), OSTREL_OK);
    ASSERT_TRUE(s.spi.WaitFor("subscribe"));
    s.spi.Locked([&] {
        const auto& rsp = s.spi.subscribes[0];
        EXPECT_EQ(static_cast<std::size_t>(rsp.succ_list_size()), keys.size() - 2);
        ASSERT_EQ(rsp.fail_list_size(), 2);
        EXPECT_EQ(rsp.fail_list(0).contract_code(), "FO_NOPE_2701");
        EXPECT_EQ(rsp.fail_list(0).err_msg(), "合约不存在");
        EXPECT_EQ(rsp.fail_list(1).contract_code(), "CL");
    });
    // Every subscribed contract is quoted at once, and the walk goes on.
    ASSERT_TRUE(s.spi.WaitUntil([&] { return s.spi.quotes.size() >= keys.size() - 2; }));
    const std::string cl = MainKey(detail, "CL");
    ASSERT_FALSE(cl.empty());
    ASSERT_TRUE(s.spi.WaitUntil([&] {
        std::size_t n = 0;
        for (const auto& q : s.spi.quotes)
            n += q.contract_code() == cl;
        return n >= 3;
    }));
    EXPECT_GT(s.Quotes("C_EUR.USD"), 0u);
    EXPECT_GT(s.Quotes("S_600519"), 0u);

    // Depth levels 2 to 5 and trades of one contract.
    ASSERT_EQ(s.Subscribe(pb::MODE_DEPTH, { cl }), OSTREL_OK);
    ASSERT_EQ(s.Subscribe(pb::MODE_TICKER, { cl }), OSTREL_OK);
    ASSERT_TRUE(s.spi.WaitUntil([&] { return s.spi.depths.size() >= 4 && s.spi.tickers.size() >= 2; }));
    s.spi.Locked([&] {
        for (int k = 0; k < 4; ++k) {
            EXPECT_EQ(s.spi.depths[static_cast<std::size_t>(k)].level(), static_cast<unsigned>(k + 2));
            EXPECT_EQ(s.spi.depths[static_cast<std::size_t>(k)].contract_code(), cl);
        }
        for (const auto& t : s.spi.tickers) {
            EXPECT_EQ(t.contract_code(), cl);
            EXPECT_GT(t.price(), 0);
            EXPECT_GT(t.volume(), 0);
            EXPECT_TRUE(t.dir() == pb::TICKDIR_ASK || t.dir() == pb::TICKDIR_BID);
        }
    });

    // K-lines of the asked period and count.
    pb::ReqQryHistoryField history;
    history.set_contract_code(cl);
    history.set_period(pb::KLINE_5MIN);
    history.set_count(500);
    ASSERT_EQ(s.api->ReqQryHistory(&history, "hh"), OSTREL_OK);
    history.set_contract_code("FO_NOPE");
    ASSERT_EQ(s.api->ReqQryHistory(&history, "hh"), OSTREL_OK);
    ASSERT_TRUE(s.spi.WaitUntil([&] { return s.spi.histories.size() >= 2; }));
    s.spi.Locked([&] {
        EXPECT_EQ(s.spi.histories[0].contract_code(), cl);
        EXPECT_EQ(s.spi.histories[0].period(), pb::KLINE_5MIN);
        EXPECT_EQ(s.spi.histories[0].lines_size(), 500);
        EXPECT_EQ(s.spi.histories[1].lines_size(), 0);
    });
    // The reply's error line is noted after its payload: wait for it too.
    ASSERT_TRUE(s.spi.WaitFor("history 0 err 4 合约不存在"));
    EXPECT_EQ(s.spi.Count("history 0 err 4 合约不存在"), 1u);

    // Heartbeat, and unsubscription replies for known and unknown contracts.
    pb::HeartBeatField hb;
    hb.set_ref("11222");
    ASSERT_EQ(s.api->ReqHeartBeat(&hb, "fdff"), OSTREL_OK);
    ASSERT_TRUE(s.spi.WaitFor("heartbeat 11222"));
    pb::ReqUnSubscribedField unsub;
    unsub.set_mode(pb::MODE_TICKER);
    unsub.add_contract_list(cl);
    ASSERT_EQ(s.api->ReqUnSubscribe(&unsub, "dev_wy"), OSTREL_OK);
    unsub.add_contract_list("FO_GONE");
    unsub.set_mode(pb::MODE_DEPTH);
    ASSERT_EQ(s.api->ReqUnSubscribe(&unsub, "dev_wy"), OSTREL_OK);
    ASSERT_TRUE(s.spi.WaitFor("unsubscribe err"));
    EXPECT_EQ(s.spi.Count("unsubscribe err 4 合约不存在: FO_GONE"), 1u);
    EXPECT_EQ(s.spi.Count("unsubscribe"), 2u);
    // No more trades or depth after the unsubscription has been answered.
    const auto counts
        = [&] { return s.spi.Locked([&] { return s.spi.tickers.size() + s.spi.depths.size(); }); };
    const auto before = counts();
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(counts(), before);
    EXPECT_EQ(s.spi.Count("disconnected"), 0u);
}

TEST(QuoteServer, FrozenPricesAreTheSameForTheSameSeed)
{
    auto snapshot = [](const char* seed) {
        ServerProcess server({ "--rate", "0", "--seed", seed });
        Session s(server.Port());
        EXPECT_TRUE(s.ok && s.Login());
        const auto keys = AllKeys(s.Commodities());
        EXPECT_EQ(s.Subscribe(pb::MODE_SNAP, keys), OSTREL_OK);
        EXPECT_TRUE(s.spi.WaitUntil([&] { return s.spi.quotes.size() >= keys.size(); }));
        // With the walk stopped the history ends at the quoted price.
        pb::ReqQryHistoryField history;
        history.set_contract_code("C_EUR.USD");
        history.set_period(pb::KLINE_1DAY);
        history.set_count(30);
        s.api->ReqQryHistory(&history, "hh");
        EXPECT_TRUE(s.spi.WaitFor("history 30"));
        return s.spi.Locked([&] {
            std::string all;
            for (auto q : s.spi.quotes) {
                if (q.contract_code() == "C_EUR.USD") {
                    const auto& bar = s.spi.histories[0].lines(29);
                    EXPECT_EQ(bar.close(), q.last());
                    EXPECT_EQ(bar.high(), q.high());
                    EXPECT_EQ(bar.low(), q.low());
                }
                q.clear_time_flag();
                q.clear_gw_recv_time();
                q.clear_gw_send_time();
                q.clear_front_recv_time();
                all += q.SerializeAsString();
            }
            return all;
        });
    };
    const auto a = snapshot("42");
    EXPECT_EQ(a, snapshot("42"));
    EXPECT_NE(a, snapshot("43"));
}

TEST(QuoteServer, LoginOptions)
{
    {
        ServerProcess server({ "--refuse-login" });
        Session s(server.Port());
        ASSERT_TRUE(s.ok);
        ASSERT_TRUE(s.Login());
        EXPECT_EQ(s.spi.Count("login  err 1 登录被拒绝"), 1u);
        const auto detail = s.Commodities();
        EXPECT_EQ(detail.commodity_list_size(), 0);
        EXPECT_EQ(s.spi.Count("detail 0 err 2 未登录"), 1u);
    }
    {
        ServerProcess server({ "--silent", "--verbose" });
        Session s(server.Port());
        ASSERT_TRUE(s.ok);
        pb::ReqLoginField login;
        ASSERT_EQ(s.api->ReqLogin(&login, "321456"), OSTREL_OK);
        ASSERT_TRUE(server.WaitLine("REQ_LOGIN req_id=321456"));
        // The connection lives on; only the login goes unanswered.
        pb::HeartBeatField hb;
        hb.set_ref("after");
        ASSERT_EQ(s.api->ReqHeartBeat(&hb, "fdff"), OSTREL_OK);
        ASSERT_TRUE(s.spi.WaitFor("heartbeat after"));
        EXPECT_EQ(s.spi.Count("login"), 0u);
    }
}

TEST(QuoteServer, DropAfterReportsOneLossAndTakesTheReconnection)
{
    ServerProcess server({ "--drop-after", "1", "--rate", "50" });
    Session s(server.Port());
    ASSERT_TRUE(s.ok);
    ASSERT_TRUE(s.Login());
    ASSERT_EQ(s.Subscribe(pb::MODE_SNAP, AllKeys(s.Commodities())), OSTREL_OK);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(s.spi.WaitFor("disconnected"));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 500ms);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(s.spi.Count("disconnected"), 1u);
    EXPECT_EQ(s.spi.Count("disconnected 2"), 1u);

    // The same object connects again and is dropped again.
    ASSERT_EQ(s.api->Connect("127.0.0.1", server.Port()), OSTREL_OK);
    ASSERT_TRUE(
        s.spi.WaitUntil([&] { return s.spi.events.size() >= 2 && s.spi.events.back() == "connected"; }));
    ASSERT_TRUE(s.Login());
    ASSERT_TRUE(s.spi.WaitUntil([&] {
        std::size_t n = 0;
        for (const auto& e : s.spi.events)
            n += e.rfind("disconnected", 0) == 0;
        return n == 2;
    }));
}

// Hand-made input to the server: it answers what it can, closes a connection
// whose stream it cannot trust, and keeps serving everyone else.
TEST(QuoteServer, BadInputFromAClient)
{
    ServerProcess server({ "--rate", "0" });
    ASSERT_GT(server.Port(), 0);

    struct Answered {
        const char* name;
        pb::KwBaseMessage request;
        int method;
        int errorCode;
    };
    auto request = [](int method, const google::protobuf::Message* payload) {
        pb::KwBaseMessage m;
        m.set_method(static_cast<pb::EnumMethods>(method));
        m.set_req_id("r");
        if (payload)
            m.mutable_data()->PackFrom(*payload);
        return m;
    };
    pb::TickerField ticker;
    pb::ReqLoginField login;
    pb::ReqQryHistoryField period;
    period.set_contract_code("C_EUR.USD");
    period.set_period(static_cast<pb::EnumKLineType>(42));
    pb::ReqSubscribedField mode;
    mode.set_mode(pb::MODE_LEVEL1);
    mode.add_contract_list("S_600519");
    pb::KwBaseMessage badInner = request(pb::REQ_HEARTBEAT, nullptr);
    badInner.mutable_data()->set_type_url("type.googleapis.com/kw.pb.ostrel2.HeartBeatField");
    badInner.mutable_data()->set_value(std::string("\x0a\x02\xc8\xfd", 4)); // ref not UTF-8
    const Answered answered[] = {
        { "before login", request(pb::REQ_COMMODITY_DETAIL, nullptr), pb::ON_RSP_COMMODITY_DETAIL, 2 },
        { "wrong payload type", request(pb::REQ_LOGIN, &ticker), pb::ON_RSP_LOGIN, 3 },
        { "inner text not UTF-8", badInner, pb::ON_RSP_HEARTBEAT, 3 },
        { "login", request(pb::REQ_LOGIN, &login), pb::ON_RSP_LOGIN, 0 },
        { "unknown method", request(555, nullptr), pb::UNKOWN_METHOD, 7 },
        { "a reply sent as request", request(pb::ON_RTN_QUOTE, nullptr), pb::UNKOWN_METHOD, 7 },
        { "request not served", request(pb::REQ_HSIMONEY_INFLOW, nullptr), pb::ON_RSP_HSIMONEY_INFLOW, 6 },
        { "unknown period", request(pb::REQ_HISTORY_DATA, &period), pb::ON_RSP_HISTORY_DATA, 5 },
        { "unknown mode", request(pb::REQ_SUBSCRIBE, &mode), pb::ON_RSP_SUBSCRIBE, 5 },
        { "no payload", request(pb::REQ_HEARTBEAT, nullptr), pb::ON_RSP_HEARTBEAT, 0 },
    };
    FramedSocket peer(FramedSocket::ConnectTo(server.Port()));
    ASSERT_TRUE(peer.Valid());
    for (const auto& a : answered) {
        SCOPED_TRACE(a.name);
        peer.Send(a.request);
        pb::KwBaseMessage_Rsp rsp;
        ASSERT_TRUE(peer.Read(&rsp));
        EXPECT_EQ(rsp.method(), a.method);
        EXPECT_EQ(rsp.error_code(), a.errorCode) << rsp.error_message();
        EXPECT_EQ(rsp.req_id(), "r");
        EXPECT_GT(rsp.ts(), 0);
    }

    const std::string header17M("\x01\x00\x00\x01", 4);
    const std::string badReqId = std::string("\x05\x00\x00\x00", 4) + std::string("\x08\x01\x12\x01\xff", 5);
    const struct {
        const char* name;
        std::string bytes;
    } fatal[] = {
        { "oversized", header17M },
        { "garbage", std::string("\x03\x00\x00\x00\xff\xff\xff", 7) },
        { "req_id not UTF-8", badReqId },
    };
    for (const auto& f : fatal) {
        SCOPED_TRACE(f.name);
        FramedSocket bad(FramedSocket::ConnectTo(server.Port()));
        bad.SendRaw(f.bytes);
        EXPECT_TRUE(bad.PeerClosed());
    }
    {
        // A client that leaves in the middle of a frame.
        FramedSocket cut(FramedSocket::ConnectTo(server.Port()));
        cut.SendRaw(FramedSocket::Frame(request(pb::REQ_LOGIN, &login)).substr(0, 5));
    }

    // The first connection and new ones are still served.
    peer.Send(request(pb::REQ_HEARTBEAT, nullptr));
    pb::KwBaseMessage_Rsp rsp;
    ASSERT_TRUE(peer.Read(&rsp));
    EXPECT_EQ(rsp.method(), pb::ON_RSP_HEARTBEAT);
    Session s(server.Port());
    ASSERT_TRUE(s.ok);
    EXPECT_TRUE(s.Login());
    EXPECT_TRUE(server.Alive());
}

// A hostile server for the terminal's tests and benchmarks: unasked pushes
// without end once the client has subscribed, of known and unknown codes.
TEST(QuoteServer, FloodStartsWithTheSubscriptionAndMixesTheChosenKinds)
{
    ServerProcess server({ "--rate", "0", "--flood", "depth,klines", "--stats" });
    // With the market standing still no quote goes out.
    EXPECT_TRUE(server.WaitLine("stats: quotes pushed 0 held back 0 flooded 0"));
    FramedSocket peer(FramedSocket::ConnectTo(server.Port()));
    ASSERT_TRUE(peer.Valid());
    const auto ask = [&](int method, const google::protobuf::Message& payload) {
        pb::KwBaseMessage m;
        m.set_method(static_cast<pb::EnumMethods>(method));
        m.mutable_data()->PackFrom(payload);
        peer.Send(m);
        pb::KwBaseMessage_Rsp rsp;
        EXPECT_TRUE(peer.Read(&rsp));
        return rsp;
    };
    ask(pb::REQ_LOGIN, pb::ReqLoginField());
    pb::RspQryCommodityDetailField detail;
    ASSERT_TRUE(ask(pb::REQ_COMMODITY_DETAIL, pb::ReqQryCommodityField()).data().UnpackTo(&detail));
    const auto keys = AllKeys(detail);
    ASSERT_FALSE(keys.empty());
    // Nothing unasked before the subscription.
    EXPECT_EQ(ask(pb::REQ_HEARTBEAT, pb::HeartBeatField()).method(), pb::ON_RSP_HEARTBEAT);

    pb::ReqSubscribedField sub;
    sub.set_mode(pb::MODE_DEPTH);
    sub.add_contract_list(keys[0]);
    EXPECT_EQ(ask(pb::REQ_SUBSCRIBE, sub).method(), pb::ON_RSP_SUBSCRIBE);
    std::map<int, int> methods;
    std::set<std::string> codes;
    for (int i = 0; i < 4000; ++i) {
        pb::KwBaseMessage_Rsp rsp;
        ASSERT_TRUE(peer.Read(&rsp)) << i;
        ++methods[rsp.method()];
        pb::DepthQuoteField d;
        pb::RspReqQryHistoryField h;
        if (rsp.data().UnpackTo(&d))
            codes.insert(d.contract_code());
        else if (rsp.data().UnpackTo(&h))
            codes.insert(h.contract_code());
    }
    EXPECT_GT(methods[pb::ON_RTN_DEPTH], 1500);
    EXPECT_GT(methods[pb::ON_RSP_HISTORY_DATA], 1500);
    EXPECT_EQ(methods[pb::ON_RTN_DEPTH] + methods[pb::ON_RSP_HISTORY_DATA], 4000);
    EXPECT_TRUE(codes.count(keys[0]));
    EXPECT_GT(codes.size(), 1000u);
    EXPECT_TRUE(server.Alive());
}

TEST(QuoteServer, MarketFromJsonWithThousandsOfContracts)
{
    const std::string path
        = testing::TempDir() + "quote-server-market-" + std::to_string(::getpid()) + ".json";
    {
        std::ofstream file(path);
        file << R"({"commodities": [)";
        for (int i = 0; i < 30; ++i) {
            file
                << (i ? "," : "") << R"({"security_type": "FI", "exchange_no": "EX)" << i % 3
                << R"(", "exchange_name": "交易所", "commodity_no": "C)" << i
                << R"(", "commodity_name": "商品", "mini_ticker_size": 0.5, "price": 1000, "contract_no_list": [)";
            for (int k = 0; k < 100; ++k)
                file << (k ? "," : "") << "{\"contract_no\": \"" << 2700 + k << "\", \"flags\": " << (k == 1)
                     << "}";
            file << "]}";
        }
        file << R"(, {"security_type": 6, "commodity_no": "NONAME"}]})";
    }
    ServerProcess server({ "--market", path, "--rate", "5" });
    Session s(server.Port());
    ASSERT_TRUE(s.ok);
    ASSERT_TRUE(s.Login());
    const auto detail = s.Commodities();
    ASSERT_EQ(detail.commodity_list_size(), 31);
    const auto keys = AllKeys(detail);
    ASSERT_EQ(keys.size(), 3001u);
    EXPECT_EQ(keys.back(), "_NONAME");
    ASSERT_EQ(s.Subscribe(pb::MODE_SNAP, keys), OSTREL_OK);
    ASSERT_TRUE(s.spi.WaitFor("subscribe 3001/0"));
    ASSERT_TRUE(s.spi.WaitUntil([&] { return s.spi.quotes.size() >= 3001 + 1000; }, 10s));
    s.spi.Locked([&] {
        for (const auto& q : s.spi.quotes) {
            const double ticks = q.last() / 0.5;
            if (q.contract_code() != "_NONAME") {
                ASSERT_NEAR(ticks, std::round(ticks), 1e-9) << q.contract_code();
            }
        }
    });
    std::remove(path.c_str());
}

TEST(QuoteServer, CommandLine)
{
    struct Case {
        std::vector<std::string> args;
        int exitCode;
    };
    const Case cases[] = {
        { { "--bogus" }, 2 },
        { { "--rate", "fast" }, 2 },
        { { "--rate", "-1" }, 2 },
        { { "--port", "70000" }, 2 },
        { { "--port", "1.5" }, 2 },
        { { "--seed" }, 2 },
        { { "--flood", "quotes,tides" }, 2 },
        { { "--flood", "" }, 2 },
        { { "--market", "/nonexistent/market.json" }, 1 },
        { { "--help" }, 0 },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[0] + (c.args.size() > 1 ? " " + c.args[1] : ""));
        ServerProcess server(c.args);
        EXPECT_EQ(server.Port(), 0);
        EXPECT_EQ(server.ExitCode(), c.exitCode);
    }
    // A port taken by another server is refused.
    ServerProcess first({});
    ServerProcess second({ "--port=" + std::to_string(first.Port()) });
    EXPECT_EQ(second.ExitCode(), 1);
}
