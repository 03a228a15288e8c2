// Quotes per second from the quote-server program through the quote API into
// the quote client's latest-quote cache and, through its hand-off, to a
// receiver of quote_sig on the GUI thread, for markets of 100 and 5,000
// contracts. A quote that a later one of its contract replaced before the GUI
// thread took the batch is not delivered, so the figure is what the window
// gets, at most what arrived.
//
// BM_QuoteToGuiValues: the client's own cost per quote without the network,
// from the quote callback to the figures a receiver of quote_sig reads on the
// GUI thread.
//
//   build/bin/bench_nquoteclient [--benchmark_min_time=3]

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <QCoreApplication>
#include <QObject>

#include <benchmark/benchmark.h>

#include "nquoteclient.h"
#include "quoteclientkit.h"
#include "tradeconfig.h"

namespace
{

using Clock = std::chrono::steady_clock;

// A market file of `contracts` futures contracts, 50 per commodity at most.
std::string WriteMarket(int contracts)
{
    const std::string path = "bench-market-" + std::to_string(contracts) + ".json";
    std::ofstream out(path);
    out << "{\"commodities\": [";
    const int perCommodity = contracts < 50 ? contracts : 50;
    for (int c = 0, made = 0; made < contracts; ++c) {
        out << (c ? "," : "") << "{\"security_type\": \"FO\", \"exchange_no\": \"BX\", \"commodity_no\": \"B"
            << c << "\", \"price\": " << 50 + c << ", \"contract_no_list\": [";
        for (int k = 0; k < perCommodity && made < contracts; ++k, ++made)
            out << (k ? "," : "") << "{\"contract_no\": \"" << 2701 + k << "\"}";
        out << "]}";
    }
    out << "]}\n";
    return path;
}

// Counts quotes as the window sees them, on the GUI thread, and the wakes of
// that thread that brought them: the client emits a batch inside the handling
// of one event (its own wake, or the timer that holds a too-early wake back),
// so quotes that arrive while the same event is handled are one wake's.
class Window : public QObject
{
public:
    std::size_t delivered = 0;
    std::size_t wakes = 0;

    void OnQuote()
    {
        ++delivered;
        if (m_lastWake != m_events) {
            m_lastWake = m_events;
            ++wakes;
        }
    }

protected:
    bool eventFilter(QObject*, QEvent*) override
    {
        ++m_events;
        return false;
    }

private:
    std::size_t m_events = 0;
    std::size_t m_lastWake = static_cast<std::size_t>(-1);
};

void BM_QuotesToGuiThread(benchmark::State& state)
{
    const int contracts = static_cast<int>(state.range(0));
    const std::string market = WriteMarket(contracts);
    kit::QuoteServer server;
    if (!server.Start({ "--rate", "1000", "--market", market })) {
        state.SkipWithError("quote-server did not start");
        return;
    }
    TradeConfig* config = TradeConfig::GetInstance();
    config->ip = "127.0.0.1";
    config->port = server.port();
    NQuoteClient* client = NQuoteClient::Instance();

    Window window;
    QObject::connect(client, &NQuoteClient::quote_sig, &window,
        [&window](const nsquote::QuoteDetailField&) { window.OnQuote(); });
    QCoreApplication::instance()->installEventFilter(&window);
    if (!client->Connect()) {
        state.SkipWithError("connect failed");
        return;
    }
    // Warm up: every contract quoted once.
    const auto warm = Clock::now() + std::chrono::seconds(1);
    while (Clock::now() < warm)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);

    std::size_t total = 0;
    std::size_t wakes = 0;
    double seconds = 0;
    for (auto _ : state) {
        const std::size_t before = window.delivered;
        const std::size_t wakesBefore = window.wakes;
        const auto start = Clock::now();
        const auto end = start + std::chrono::milliseconds(250);
        while (Clock::now() < end)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        const double took = std::chrono::duration<double>(Clock::now() - start).count();
        state.SetIterationTime(took);
        total += window.delivered - before;
        wakes += window.wakes - wakesBefore;
        seconds += took;
    }
    client->Stop();
    QCoreApplication::instance()->removeEventFilter(&window);
    QCoreApplication::processEvents(QEventLoop::AllEvents, 100);

    state.SetItemsProcessed(static_cast<int64_t>(total));
    // How often the GUI thread was woken with quotes, and how many a wake brought.
    state.counters["wakes_per_s"] = benchmark::Counter(static_cast<double>(wakes) / seconds);
    state.counters["quotes_per_wake"] = benchmark::Counter(wakes ? static_cast<double>(total) / wakes : 0);
    std::remove(market.c_str());
}
BENCHMARK(BM_QuotesToGuiThread)
    ->Arg(100)
    ->Arg(5000)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->MinTime(3);

// Each iteration: `rounds` quotes of every one of `contracts` subscribed
// contracts go into the quote callback, as the quote API calls it, then the
// GUI thread takes the batch (its wake delivered as the event loop would) and
// a receiver of quote_sig reads the figures. The pause that keeps batches
// 5 ms apart is left out of the time.
void BM_QuoteToGuiValues(benchmark::State& state)
{
    const int contracts = static_cast<int>(state.range(0));
    const int rounds = static_cast<int>(state.range(1));
    NQuoteClientProbe::Fresh(NQuoteClientProbe::Timings());
    NQuoteClient* client = NQuoteClient::Instance();
    std::vector<nsquote::QuoteDetailField> quotes(static_cast<std::size_t>(contracts));
    for (int i = 0; i < contracts; ++i) {
        nsquote::QuoteDetailField& q = quotes[static_cast<std::size_t>(i)];
        q.set_contract_code("FO_B" + std::to_string(i / 50) + "_" + std::to_string(2701 + i % 50));
        q.set_time_flag(20270101093000000ull);
        q.set_pre_settle(50.0 + i);
        q.set_pre_closing(50.5 + i);
        q.set_last(51.0 + i);
        q.set_open(49.0 + i);
        q.set_low(48.0 + i);
        q.set_high(52.0 + i);
        q.set_last_vol(3);
        q.set_volume(12000);
        q.set_position(4000);
        q.set_ask_price(51.1 + i);
        q.set_ask_vol(5);
        q.set_bid_price(50.9 + i);
        q.set_bid_vol(7);
        q.set_src_type("SIM");
        q.set_gw_recv_time(1);
        q.set_gw_send_time(2);
        q.set_front_recv_time(3);
        q.set_turnover(1e6);
        q.set_turnover_rate(0.5);
        NQuoteClientProbe::Subscribe(q.contract_code());
    }
    double applied = 0;
    std::size_t received = 0;
    QObject receiver;
    QObject::connect(client, &NQuoteClient::quote_sig, &receiver, [&](const nsquote::QuoteDetailField& q) {
        applied += q.last() + q.volume() + q.bid_price() + q.ask_price();
        ++received;
    });
    auto* spi = static_cast<COstrelSpi*>(client);
    // Also the first batch comes 5 ms after the last one of an earlier run:
    // one that came sooner would wait for the drain timer, which only the
    // event loop runs.
    Clock::time_point lastDrain = Clock::now();
    std::size_t pushed = 0;
    double seconds = 0;
    double volume = 12000;
    for (auto _ : state) {
        while (Clock::now() - lastDrain < std::chrono::milliseconds(6))
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        for (auto& q : quotes)
            q.set_volume(++volume);
        const auto start = Clock::now();
        for (int r = 0; r < rounds; ++r)
            for (const auto& q : quotes)
                spi->OnRtnQuote(&q);
        QCoreApplication::sendPostedEvents(client, 0);
        const auto end = Clock::now();
        lastDrain = end;
        const double took = std::chrono::duration<double>(end - start).count();
        state.SetIterationTime(took);
        seconds += took;
        pushed += quotes.size() * static_cast<std::size_t>(rounds);
    }
    benchmark::DoNotOptimize(applied);
    state.SetItemsProcessed(static_cast<int64_t>(pushed));
    state.counters["ns_per_quote"]
        = benchmark::Counter(pushed ? seconds * 1e9 / static_cast<double>(pushed) : 0);
    state.counters["received_per_round"]
        = benchmark::Counter(static_cast<double>(received) / static_cast<double>(state.iterations()));
    NQuoteClientProbe::Fresh(NQuoteClientProbe::Timings());
}
BENCHMARK(BM_QuoteToGuiValues)
    ->Args({ 5000, 1 })
    ->Args({ 100, 50 })
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

double RssMib()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, 6, "VmRSS:") == 0)
            return std::stod(line.substr(6)) / 1024;
    }
    return 0;
}

// A server that pads its quotes: forty quotes of contracts of the list, each
// with a text field of nearly 16 MiB, sent once. The resident size after they
// have been cached and delivered, and what they added to it.
void BM_PaddedQuotes(benchmark::State& state)
{
    kit::QuoteServer server;
    if (!server.Start({ "--rate", "0" })) {
        state.SkipWithError("quote-server did not start");
        return;
    }
    kit::FrameRelay relay(server.port());
    TradeConfig* config = TradeConfig::GetInstance();
    config->ip = "127.0.0.1";
    config->port = relay.port();
    NQuoteClient* client = NQuoteClient::Instance();
    if (!client->Connect()) {
        state.SkipWithError("connect failed");
        return;
    }
    std::vector<kw::pb::ostrel2::CommodityField> list;
    client->GetCommodityList(list);
    const double before = RssMib();
    double after = before;
    int sent = 0;
    for (auto _ : state) {
        sent = 0;
        for (const auto& commodity : list) {
            for (const auto& contract : commodity.contract_no_list()) {
                if (sent == 40)
                    break;
                const std::string key = client->MakeContractCode(
                    commodity.security_type(), commodity.commodity_no(), contract.contract_no());
                kw::pb::ostrel2::QuoteDetailField q;
                q.set_contract_code(key);
                q.set_last(++sent);
                q.set_src_type(std::string(ostrelwire::kMaxFrameBytes - 4096, 'p'));
                relay.InjectRsp(kit::FrameRelay::MakeRsp(kw::pb::ostrel2::ON_RTN_QUOTE, q));
                // One at a time: the relay, which lives in this process too,
                // then holds at most one of them.
                kw::pb::ostrel2::QuoteDetailField cached;
                const auto end = Clock::now() + std::chrono::seconds(10);
                while (Clock::now() < end && !(client->GetQuote(key, &cached) && cached.last() == sent))
                    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            }
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 100);
        after = RssMib();
        state.SetIterationTime(1);
    }
    client->Stop();
    state.counters["rss_mib"] = benchmark::Counter(after);
    state.counters["added_mib"] = benchmark::Counter(after - before);
    state.counters["quotes"] = benchmark::Counter(sent);
}
BENCHMARK(BM_PaddedQuotes)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
