// quote-server: a quote server for the terminal and its tests, on 127.0.0.1.

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "market.h"
#include "quoteserver.h"

namespace
{

quoteserver::QuoteServer* g_server = nullptr;

void OnSignal(int)
{
    if (g_server)
        g_server->Stop();
}

const char kUsage[]
    = "usage: quote-server [options]\n"
      "  --port N          port on 127.0.0.1 (0, the default: any free port); the port is printed\n"
      "                    alone on the first line of standard output\n"
      "  --rate R          market steps per second (default 2; 0 freezes prices); each step moves\n"
      "                    most contracts and pushes their quotes, depth and trades to subscribers\n"
      "  --moves N         a step moves at most N contracts, the next ones in turn at the next\n"
      "                    step (default 0: all of them); --rate 2 --moves 10 is 20 quotes a second\n"
      "  --seed S          seed of the price walk (default 1); the same seed gives the same prices\n"
      "  --market FILE     serve the commodities of a JSON file instead of the built-in market:\n"
      "                    {\"commodities\": [{\"security_type\": \"FO\", \"exchange_no\": \"NYMEX\",\n"
      "                      \"exchange_name\": \"...\", \"commodity_no\": \"CL\", \"commodity_name\": "
      "\"...\",\n"
      "                      \"currency_no\": \"USD\", \"category\": 3, \"region\": 1, \"dot_size\": 2,\n"
      "                      \"mini_ticker_size\": 0.01, \"contract_size\": 1000, \"price\": 68.4,\n"
      "                      \"float_shares\": 0, \"contract_no_list\": [{\"contract_no\": \"2701\", "
      "\"flags\": 1}],\n"
      "                      \"tradingtime_Seg\": [{\"date_flag\": 1, \"begin_time\": \"09:00:00\",\n"
      "                      \"trading_state\": 3, \"bucket_id\": 0}]}]}\n"
      "                    only commodity_no is required; enums by number or name; texts in UTF-8\n"
      "  --refuse-login    answer every login with an error (later requests: not logged in)\n"
      "  --silent          accept connections but never answer a login\n"
      "  --drop-after N    close each connection N seconds after it was accepted\n"
      "  --flood KINDS     once a client has subscribed, send it unasked pushes as fast as it\n"
      "                    reads them: a comma list of quotes, depth, trades, klines, or all;\n"
      "                    half name market contracts, half codes nobody subscribed\n"
      "  --stats           print the quotes pushed and held back and the pushes flooded so far,\n"
      "                    once a second\n"
      "  --verbose         print one line per connection and request\n";

bool Value(int argc, char** argv, int* i, const char* name, std::string* out)
{
    const std::size_t n = std::strlen(name);
    if (std::strncmp(argv[*i], name, n) != 0)
        return false;
    if (argv[*i][n] == '=') {
        *out = argv[*i] + n + 1;
        return true;
    }
    if (argv[*i][n] != '\0')
        return false;
    if (*i + 1 >= argc) {
        std::fprintf(stderr, "quote-server: %s needs a value\n", name);
        std::exit(2);
    }
    *out = argv[++*i];
    return true;
}

double Number(const std::string& text, const char* name, double low, double high)
{
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !(v >= low && v <= high)) {
        std::fprintf(stderr, "quote-server: %s wants a number from %g to %g, not \"%s\"\n", name, low, high,
            text.c_str());
        std::exit(2);
    }
    return v;
}

} // namespace

int main(int argc, char** argv)
{
    quoteserver::ServerOptions options;
    std::uint64_t seed = 1;
    std::string marketFile;
    for (int i = 1; i < argc; ++i) {
        std::string v;
        if (Value(argc, argv, &i, "--port", &v)) {
            const double port = Number(v, "--port", 0, 65535);
            if (port != static_cast<int>(port)) {
                std::fprintf(stderr, "quote-server: --port wants a whole number\n");
                return 2;
            }
            options.port = static_cast<int>(port);
        } else if (Value(argc, argv, &i, "--rate", &v)) {
            options.rate = Number(v, "--rate", 0, 1000);
        } else if (Value(argc, argv, &i, "--seed", &v)) {
            char* end = nullptr;
            seed = std::strtoull(v.c_str(), &end, 10);
            if (v.empty() || *end != '\0' || v[0] == '-') {
                std::fprintf(stderr, "quote-server: --seed wants a whole number, not \"%s\"\n", v.c_str());
                return 2;
            }
        } else if (Value(argc, argv, &i, "--moves", &v)) {
            options.moves = static_cast<std::size_t>(Number(v, "--moves", 0, 1e9));
        } else if (Value(argc, argv, &i, "--market", &v)) {
            marketFile = v;
        } else if (Value(argc, argv, &i, "--drop-after", &v)) {
            options.dropAfter = Number(v, "--drop-after", 0, 1e6);
        } else if (Value(argc, argv, &i, "--flood", &v)) {
            options.flood = 0;
            std::size_t at = 0;
            while (at <= v.size()) {
                const std::size_t end = std::min(v.find(',', at), v.size());
                const std::string kind = v.substr(at, end - at);
                const struct {
                    const char* name;
                    unsigned bits;
                } names[] = { { "quotes", quoteserver::kFloodQuotes }, { "depth", quoteserver::kFloodDepth },
                    { "trades", quoteserver::kFloodTrades }, { "klines", quoteserver::kFloodKLines },
                    { "all", 15u } };
                unsigned bits = 0;
                for (const auto& name : names)
                    if (kind == name.name)
                        bits = name.bits;
                if (bits == 0) {
                    std::fprintf(stderr,
                        "quote-server: --flood knows quotes, depth, trades, klines, all; not \"%s\"\n",
                        kind.c_str());
                    return 2;
                }
                options.flood |= bits;
                at = end + 1;
            }
        } else if (std::strcmp(argv[i], "--refuse-login") == 0) {
            options.refuseLogin = true;
        } else if (std::strcmp(argv[i], "--silent") == 0) {
            options.silent = true;
        } else if (std::strcmp(argv[i], "--stats") == 0) {
            options.stats = true;
        } else if (std::strcmp(argv[i], "--verbose") == 0) {
            options.verbose = true;
        } else if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        } else {
            std::fprintf(stderr, "quote-server: unknown option \"%s\"\n%s", argv[i], kUsage);
            return 2;
        }
    }

    std::vector<quoteserver::CommoditySpec> specs;
    if (marketFile.empty()) {
        specs = quoteserver::BuiltinMarket(std::time(nullptr));
    } else {
        std::string error;
        if (!quoteserver::LoadMarketJson(marketFile, &specs, &error)) {
            std::fprintf(stderr, "quote-server: %s\n", error.c_str());
            return 1;
        }
    }
    quoteserver::Market market(std::move(specs), seed);
    quoteserver::QuoteServer server(market, options);
    std::string error;
    if (!server.Listen(&error)) {
        std::fprintf(stderr, "quote-server: %s\n", error.c_str());
        return 1;
    }
    std::printf("%d\n", server.Port());
    std::fflush(stdout);
    std::fprintf(stderr, "quote-server: 127.0.0.1:%d, %zu contracts, seed %llu, %g steps/s\n", server.Port(),
        market.Size(), static_cast<unsigned long long>(seed), options.rate);

    g_server = &server;
    struct sigaction sa {
    };
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    server.Run();
    g_server = nullptr;
    return 0;
}
