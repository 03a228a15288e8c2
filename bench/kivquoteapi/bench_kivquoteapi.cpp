// Throughput of the receive path: on one core, bytes as socket reads deliver
// them, cut into frames by RecvBuffer and dispatched to a callback object;
// and end to end, from a server thread's socket through loopback and the
// library's receive thread to the caller's callback.

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include "ApiLogger.h"
#include "IKivQuoteAPIExtend.h"

namespace
{

class Counting : public IKivQuoteEvents
{
public:
    uint64_t quotes = 0;
    uint64_t contracts = 0;
    unsigned char last = 0;
    void OnLoginReply(int, const char*) override { }
    void OnReadyForRequests() override { }
    void OnConnectionLost(int) override { }
    void OnCommodityItem(uint32_t, int, char, const QuoteCommodityRecord*) override { }
    void OnContractItem(uint32_t, int, char, const QuoteContractRecord* contract) override
    {
        ++contracts;
        last = static_cast<unsigned char>(contract->ContractData[0]);
    }
    void OnSubscribeReply(uint32_t, int, char, const QuoteContractKey*) override { }
    void OnUnsubscribeReply(uint32_t, int, char, const QuoteContractKey*) override { }
    void OnQuoteData(const char* quote) override
    {
        ++quotes;
        last = static_cast<unsigned char>(quote[0]);
    }
};

// A frame with the params flag set when there are params ("name=value;").
std::string Frame(int command, const std::string& params, const std::string& body)
{
    WireMessage message(params.empty() ? 0 : 1, command);
    if (!params.empty()) {
        const size_t equals = params.find('=');
        message.AddParam(params.substr(0, equals), params.substr(equals + 1, params.size() - equals - 2));
    }
    message.SetBody(body.data(), body.size());
    return message.Serialize();
}

// Feeds `stream` in pieces the size of a full socket read and dispatches
// after each, as the receive thread does.
void Receive(IKivQuoteAPIExtend& api, RecvBuffer& buffer, const std::string& stream)
{
    size_t at = 0;
    while (at < stream.size()) {
        const size_t chunk = std::min<size_t>(stream.size() - at, buffer.FreeSpace());
        buffer.Feed(stream.data() + at, chunk);
        at += chunk;
        if (!api.DispatchAll(buffer))
            std::abort();
    }
}

// The log goes to a file of its own, as it does once CreateKivQuoteAPI has
// set the data path; the folder is removed at exit.
struct LogFolder {
    std::string path;
    LogFolder()
    {
        char pattern[] = "/tmp/kivquoteapi_bench_XXXXXX";
        if (!mkdtemp(pattern))
            std::abort();
        path = pattern;
        // Set once, before CreateKivQuoteAPI could choose "API" in the working directory.
        if (SetKivQuoteAPIDataPath(path.c_str()) != KQ_SUCCESS)
            std::abort();
    }
    ~LogFolder()
    {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
};

void SetLogFolder()
{
    static LogFolder folder;
}

// 100-byte quote pushes: a 12-byte head and an 88-byte body.
void BM_QuotePushFrames(benchmark::State& state)
{
    SetLogFolder();
    const int framesPerBatch = 10000;
    std::string stream;
    for (int i = 0; i < framesPerBatch; ++i)
        stream += Frame(CMD_QUOTE_PUSH, "", std::string(88, static_cast<char>('a' + i % 26)));
    if (stream.size() != static_cast<size_t>(framesPerBatch) * 100)
        std::abort();

    const QuoteAppInfo info {};
    IKivQuoteAPIExtend api(&info);
    Counting events;
    api.SetNotifyHandler(&events);
    RecvBuffer buffer;
    for (auto _ : state)
        Receive(api, buffer, stream);
    if (events.quotes != static_cast<uint64_t>(state.iterations()) * framesPerBatch)
        std::abort();
    state.SetItemsProcessed(static_cast<int64_t>(events.quotes));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * stream.size()));
    state.counters["frames/s"]
        = benchmark::Counter(static_cast<double>(events.quotes), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_QuotePushFrames);

// A contract query reply over a cache of 2,000 contracts; the argument is how
// many of them the filter matches (all, or one commodity's 20).
void BM_ContractQueryReply(benchmark::State& state)
{
    SetLogFolder();
    const QuoteAppInfo info {};
    IKivQuoteAPIExtend api(&info);
    Counting events;
    api.SetNotifyHandler(&events);
    RecvBuffer buffer;

    std::string pushes;
    for (int i = 0; i < 2000; ++i) {
        QuoteContractRecord record;
        std::memset(&record, 'd', sizeof(record));
        std::memset(&record.ContractKey, 0, sizeof(record.ContractKey));
        std::strcpy(record.ContractKey.CommodityKey.ExchangeNo, "SHFE");
        record.ContractKey.CommodityKey.CommodityType = 'F';
        std::snprintf(record.ContractKey.CommodityKey.CommodityNo, 11, "c%03d", i / 20);
        std::snprintf(record.ContractKey.ContractNo1, 46, "25%02d", i % 20);
        pushes += Frame(
            CMD_CONTRACT_PUSH, "", std::string(reinterpret_cast<const char*>(&record), sizeof(record)));
    }
    Receive(api, buffer, pushes);
    if (api.Cache().ContractCount() != 2000)
        std::abort();

    QuoteCommodityKey filter;
    std::memset(&filter, 0, sizeof(filter));
    const bool all = state.range(0) == 2000;
    if (!all) {
        std::strcpy(filter.ExchangeNo, "SHFE");
        filter.CommodityType = 'F';
        std::strcpy(filter.CommodityNo, "c050");
    }
    const std::string reply = Frame(CMD_QRY_CONTRACT_REPLY, "sessionID=1;",
        std::string(reinterpret_cast<const char*>(&filter), sizeof(filter)));
    int64_t replies = 0;
    for (auto _ : state) {
        Receive(api, buffer, reply);
        ++replies;
    }
    if (events.contracts != static_cast<uint64_t>(replies * state.range(0)))
        std::abort();
    state.SetItemsProcessed(static_cast<int64_t>(events.contracts));
    state.counters["replies/s"]
        = benchmark::Counter(static_cast<double>(replies), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ContractQueryReply)->Arg(2000)->Arg(20);

size_t ResidentBytes()
{
    long pages = 0;
    if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
        long size = 0;
        if (std::fscanf(statm, "%ld %ld", &size, &pages) != 2)
            pages = 0;
        std::fclose(statm);
    }
    return static_cast<size_t>(pages) * static_cast<size_t>(sysconf(_SC_PAGESIZE));
}

// A server inventing keys: 300,000 pushes of each record kind (keyed,
// commodity, contract), every one with a new key. Reports what the cache
// holds afterwards and how far the process's resident memory grew.
void BM_NewRecordFlood(benchmark::State& state)
{
    SetLogFolder();
    const int perKind = 300000;
    std::string stream;
    stream.reserve(static_cast<size_t>(perKind) * (274 + 147 + 185 + 36));
    for (int i = 0; i < perKind; ++i) {
        QuoteKeyedRecord keyed;
        std::memset(&keyed, 'r', sizeof(keyed));
        std::snprintf(keyed.KeyAndData, 32, "key%d", i);
        QuoteCommodityRecord commodity;
        std::memset(&commodity, 'c', sizeof(commodity));
        std::memset(&commodity.CommodityKey, 0, sizeof(commodity.CommodityKey));
        std::strcpy(commodity.CommodityKey.ExchangeNo, "X");
        commodity.CommodityKey.CommodityType = 'F';
        std::snprintf(commodity.CommodityKey.CommodityNo, 11, "c%d", i);
        QuoteContractRecord contract;
        std::memset(&contract, 'k', sizeof(contract));
        std::memset(&contract.ContractKey, 0, sizeof(contract.ContractKey));
        contract.ContractKey.CommodityKey = commodity.CommodityKey;
        std::snprintf(contract.ContractKey.ContractNo1, 46, "%d", i);
        stream += Frame(
            CMD_KEYED_RECORD_PUSH, "", std::string(reinterpret_cast<const char*>(&keyed), sizeof(keyed)));
        stream += Frame(CMD_COMMODITY_PUSH, "",
            std::string(reinterpret_cast<const char*>(&commodity), sizeof(commodity)));
        stream += Frame(
            CMD_CONTRACT_PUSH, "", std::string(reinterpret_cast<const char*>(&contract), sizeof(contract)));
    }
    size_t cached = 0;
    double grownMB = 0;
    for (auto _ : state) {
        const QuoteAppInfo info {};
        IKivQuoteAPIExtend api(&info);
        Counting events;
        api.SetNotifyHandler(&events);
        RecvBuffer buffer;
        const size_t before = ResidentBytes();
        Receive(api, buffer, stream);
        grownMB
            = static_cast<double>(ResidentBytes() - std::min(ResidentBytes(), before)) / (1024.0 * 1024.0);
        cached = api.Cache().KeyedRecordCount() + api.Cache().CommodityCount() + api.Cache().ContractCount();
        state.counters["keyed"] = static_cast<double>(api.Cache().KeyedRecordCount());
        state.counters["commodities"] = static_cast<double>(api.Cache().CommodityCount());
        state.counters["contracts"] = static_cast<double>(api.Cache().ContractCount());
    }
    if (cached == 0)
        std::abort();
    state.counters["rss_growth_MB"] = grownMB;
    state.SetItemsProcessed(state.iterations() * perKind * 3);
}
BENCHMARK(BM_NewRecordFlood)->Iterations(1)->Unit(benchmark::kMillisecond);

// The caller's side of the loopback case: counts quotes on the receive thread.
class LoopbackEvents : public IKivQuoteEvents
{
public:
    std::atomic<uint64_t> quotes { 0 };
    std::atomic<bool> ready { false };
    std::atomic<bool> lost { false };
    void OnLoginReply(int, const char*) override { }
    void OnReadyForRequests() override { ready = true; }
    void OnConnectionLost(int) override { lost = true; }
    void OnCommodityItem(uint32_t, int, char, const QuoteCommodityRecord*) override { }
    void OnContractItem(uint32_t, int, char, const QuoteContractRecord*) override { }
    void OnSubscribeReply(uint32_t, int, char, const QuoteContractKey*) override { }
    void OnUnsubscribeReply(uint32_t, int, char, const QuoteContractKey*) override { }
    void OnQuoteData(const char* quote) override
    {
        // Frame n of a batch carries 88 bytes of 'a' + n % 26: every frame
        // arrives, whole and in order.
        if (quote[0] != m_expected || quote[87] != m_expected)
            std::abort();
        if (++m_inBatch == kFramesPerBatch) {
            m_inBatch = 0;
            m_expected = 'a';
        } else if (++m_expected > 'z') {
            m_expected = 'a';
        }
        // Only the receive thread writes; the benchmark's thread reads.
        quotes.store(quotes.load(std::memory_order_relaxed) + 1, std::memory_order_release);
    }
    static constexpr uint64_t kFramesPerBatch = 100000;

private:
    char m_expected = 'a';
    uint64_t m_inBatch = 0;
};

bool SendAll(int fd, const std::string& bytes)
{
    size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

// A listening socket on 127.0.0.1 at a port the system picks, written to `address`.
int LoopbackListener(int backlog, sockaddr_in& address)
{
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0
        || ::listen(listener, backlog) != 0
        || ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        std::abort();
    return listener;
}

// 100-byte quote pushes written by a server thread (the benchmark's own
// thread plays the server) into a loopback TCP connection, read by the
// library's receive thread and delivered to the caller's callback, through
// the public exports as another program uses them. An iteration ends when
// the callback has seen every frame of its 100,000.
void BM_LoopbackQuoteFrames(benchmark::State& state)
{
    SetLogFolder();
    sockaddr_in address {};
    const int listener = LoopbackListener(1, address);

    QuoteAppInfo info {};
    int result = -1;
    IKivQuoteAPI* api = CreateKivQuoteAPI(&info, &result);
    LoopbackEvents events;
    api->SetNotifyHandler(&events);
    api->SetServerAddress("127.0.0.1", ntohs(address.sin_port));
    QuoteLoginRecord login {};
    std::strcpy(login.Account, "bench");
    std::strcpy(login.Password, "bench");
    if (api->ConnectAndLogin(&login) != KQ_SUCCESS)
        std::abort();
    const int server = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (server < 0)
        std::abort();
    // The login frame is read and answered; then the three completions.
    char loginFrame[256];
    if (::recv(server, loginFrame, sizeof(loginFrame), 0) <= 0)
        std::abort();
    std::string opening = Frame(CMD_LOGIN_REPLY, "errorCode=0;", "login-info");
    for (int command : { CMD_LOGIN_COMPLETE, CMD_COMMODITY_COMPLETE, CMD_CONTRACT_COMPLETE })
        opening += Frame(command, "", "");
    if (!SendAll(server, opening))
        std::abort();
    while (!events.ready)
        std::this_thread::yield();

    const int framesPerBatch = static_cast<int>(LoopbackEvents::kFramesPerBatch);
    std::string stream;
    stream.reserve(static_cast<size_t>(framesPerBatch) * 100);
    for (int i = 0; i < framesPerBatch; ++i)
        stream += Frame(CMD_QUOTE_PUSH, "", std::string(88, static_cast<char>('a' + i % 26)));
    if (stream.size() != static_cast<size_t>(framesPerBatch) * 100)
        std::abort();

    uint64_t expected = 0;
    for (auto _ : state) {
        expected += framesPerBatch;
        if (!SendAll(server, stream))
            std::abort();
        while (events.quotes.load(std::memory_order_acquire) < expected) {
            if (events.lost)
                std::abort();
            std::this_thread::yield();
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(expected));
    state.SetBytesProcessed(static_cast<int64_t>(expected * 100));
    state.counters["frames/s"]
        = benchmark::Counter(static_cast<double>(expected), benchmark::Counter::kIsRate);
    FreeKivQuoteAPI(api);
    ::close(server);
    ::close(listener);
}
BENCHMARK(BM_LoopbackQuoteFrames)->UseRealTime()->Unit(benchmark::kMillisecond);

// ConnectAndLogin to a server whose host has gone, played on 127.0.0.1 by a
// listener that accepts nothing and whose queue of waiting connections is
// full: the kernel drops further connection requests unanswered. The
// library's time-out (ApiLimits) ends the wait; the system's own retries
// would last minutes.
void BM_ConnectToADroppingHost(benchmark::State& state)
{
    SetLogFolder();
    sockaddr_in address {};
    const int listener = LoopbackListener(0, address);
    std::vector<int> queued;
    for (bool dropping = false; !dropping && queued.size() < 64;) {
        queued.push_back(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        if (::connect(queued.back(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
            pollfd watch { queued.back(), POLLOUT, 0 };
            dropping = errno == EINPROGRESS && ::poll(&watch, 1, 300) == 0;
        }
    }
    QuoteAppInfo info {};
    int result = -1;
    IKivQuoteAPI* api = CreateKivQuoteAPI(&info, &result);
    api->SetServerAddress("127.0.0.1", ntohs(address.sin_port));
    QuoteLoginRecord login {};
    for (auto _ : state) {
        if (api->ConnectAndLogin(&login) != KQ_ERR_NETWORK)
            std::abort();
    }
    FreeKivQuoteAPI(api);
    for (int fd : queued)
        ::close(fd);
    ::close(listener);
}
BENCHMARK(BM_ConnectToADroppingHost)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

} // namespace

BENCHMARK_MAIN();
