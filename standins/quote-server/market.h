#pragma once

// The simulated market of the quote server: the commodity list it serves and
// one seeded random walk per contract. Every contract draws from its own
// random stream, so its prices depend only on the seed, its key and the
// number of steps taken, not on who subscribes or how fast.

#include <cstdint>
#include <ctime>
#include <string>
#include <unordered_map>
#include <vector>

#include "kw.pb.ostrel2.pb.h"

namespace quoteserver
{

namespace pb = kw::pb::ostrel2;

// xoshiro256** seeded through splitmix64: small, fast and the same on every
// platform, unlike the standard distributions.
class Rng
{
public:
    explicit Rng(std::uint64_t seed = 0);
    std::uint64_t Next();
    double Uniform(); // [0, 1)
    double Normal(); // mean 0, deviation 1
    int Between(int low, int high); // [low, high]

private:
    std::uint64_t m_s[4];
};

std::uint64_t HashText(const std::string& text, std::uint64_t seed);

struct CommoditySpec {
    pb::CommodityField field; // as served in the commodity reply
    double price = 100.0; // previous settlement of the first contract
    double floatShares = 0.0; // stocks: shares in free float, for the turnover rate
};

// The contract key as the terminal builds it: the security type's name (empty
// for a value without one), "_", the commodity number and, for a non-empty
// contract number, "_" and the contract number.
std::string ContractKey(int securityType, const std::string& commodityNo, const std::string& contractNo);

// The built-in market, with contract months counted from the month of `now` (UTC).
std::vector<CommoditySpec> BuiltinMarket(std::time_t now);

// Reads a market from a JSON file (format in the program's --help). False with
// *error set when the file cannot be read or a commodity is not sound.
bool LoadMarketJson(const std::string& path, std::vector<CommoditySpec>* out, std::string* error);
bool ParseMarketJson(const std::string& text, std::vector<CommoditySpec>* out, std::string* error);

class Market
{
public:
    Market(std::vector<CommoditySpec> specs, std::uint64_t seed);

    std::size_t Size() const { return m_contracts.size(); }
    // Contract index of a key, or -1.
    long Find(const std::string& key) const;
    const std::string& Key(std::size_t i) const { return m_contracts[i].key; }

    // The commodities of one security type, all for UNKNOWN (0).
    void Commodities(int securityType, pb::RspQryCommodityDetailField* out) const;

    // One step of the walk for every contract; the indexes of contracts whose
    // quote changed, and among them those that traded, in index order.
    void Step(std::vector<std::size_t>* changed, std::vector<std::size_t>* traded);

    void FillQuote(std::size_t i, std::uint64_t nowMs, pb::QuoteDetailField* q) const;
    // Levels 2 to 5 of the book; level 1 is the quote's own best bid and ask.
    void FillDepth(std::size_t i, std::uint64_t nowMs, unsigned level, pb::DepthQuoteField* d) const;
    // The last trade of a contract that traded in the latest step.
    void FillTicker(std::size_t i, std::uint64_t nowMs, pb::TickerField* t) const;
    // `count` bars of `period` ending with the bar that holds nowMs, oldest
    // first; the last bar closes at the live last price and daily bars of the
    // current day match the day's open, high, low and volume.
    bool History(std::size_t i, int period, std::uint64_t count, std::uint64_t nowMs,
        pb::RspReqQryHistoryField* out) const;

    // The pace of the live walk in steps a second (0: prices stand still).
    // With a pace, bars shorter than a day move and trade as much as the live
    // walk does in the same time, so the bar in progress on a chart looks
    // like the ones before it.
    void SetPace(double stepsPerSecond) { m_pace = stepsPerSecond > 0 ? stepsPerSecond : 0.0; }
    // A step walks at most `count` contracts, the next ones in turn at the
    // next step (0: every contract at every step).
    void SetMovesPerStep(std::size_t count) { m_movesPerStep = count; }

    static constexpr std::uint64_t kMaxHistoryBars = 10000;
    static constexpr std::uint64_t kDefaultHistoryBars = 500;

private:
    struct Contract {
        std::string key;
        std::size_t commodity = 0;
        double tick = 0.01;
        double size = 1;
        double dailyVol = 0.02; // relative
        double stepVol = 0.0005;
        int spreadTicks = 1;
        int lotScale = 1;
        double lotUnit = 1;
        bool hasPosition = false;
        Rng rng;

        double preSettle = 0, preClose = 0, open = 0, high = 0, low = 0, last = 0;
        double lastVol = 0, volume = 0, position = 0, turnover = 0;
        double bid = 0, ask = 0, bidVol = 0, askVol = 0;
        double depthAskVol[4] = {}, depthBidVol[4] = {};
        int lastDir = pb::TICKDIR_UNKNOWN;
        double moneyInflow = 0;
    };

    void Init(Contract& c, double reference);
    bool Move(Contract& c, bool* traded);
    double Round(const Contract& c, double price) const;

    std::vector<CommoditySpec> m_specs;
    std::vector<Contract> m_contracts;
    std::unordered_map<std::string, std::size_t> m_index;
    std::uint64_t m_seed;
    double m_pace = 0;
    std::size_t m_movesPerStep = 0;
    std::size_t m_nextMove = 0;
};

} // namespace quoteserver
