#include "market.h"

#include <algorithm>
#include <cmath>

namespace quoteserver
{

namespace
{

    std::uint64_t SplitMix(std::uint64_t& x)
    {
        std::uint64_t z = (x += 0x9e3779b97f4a7c15ull);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        return z ^ (z >> 31);
    }

    std::uint64_t Rotl(std::uint64_t x, int k)
    {
        return (x << k) | (x >> (64 - k));
    }

    std::int64_t PeriodMs(int period)
    {
        switch (period) {
        case pb::KLINE_UNKNOWN: // the time-sharing view draws minute bars
        case pb::KLINE_1MIN:
            return 60'000;
        case pb::KLINE_5MIN:
            return 5 * 60'000;
        case pb::KLINE_15MIN:
            return 15 * 60'000;
        case pb::KLINE_30MIN:
            return 30 * 60'000;
        case pb::KLINE_1HR:
            return 3'600'000;
        case pb::KLINE_2HR:
            return 2 * 3'600'000;
        case pb::KLINE_4HR:
            return 4 * 3'600'000;
        case pb::KLINE_12HR:
            return 12 * 3'600'000;
        case pb::KLINE_1DAY:
            return 24 * 3'600'000;
        default:
            return 0;
        }
    }

    // How lively each kind of market is: daily relative volatility, spread, and
    // the size of a typical trade.
    struct Temper {
        double dailyVol;
        int spreadTicks;
        int lotScale; // lots in a typical trade
        double lotUnit; // volume of one lot: stocks trade in board lots of 100 shares
        bool hasPosition;
    };

    Temper TemperOf(int securityType)
    {
        switch (securityType) {
        case pb::FO:
            return { 0.018, 1, 3, 1, true };
        case pb::FI:
            return { 0.014, 1, 12, 1, true };
        case pb::C:
            return { 0.006, 12, 2, 1, false };
        case pb::S:
            return { 0.022, 1, 8, 100, false };
        case pb::D:
            return { 0.035, 1, 2, 1, false };
        default:
            return { 0.015, 1, 5, 1, false };
        }
    }

    // Of the live walk: the chance that a contract trades in a step, and the
    // share of its distance from the settlement that each trade takes back.
    constexpr double kTradeChance = 0.55;
    constexpr double kPull = 0.002;

} // namespace

Rng::Rng(std::uint64_t seed)
{
    for (auto& s : m_s)
        s = SplitMix(seed);
}

std::uint64_t Rng::Next()
{
    const std::uint64_t result = Rotl(m_s[1] * 5, 7) * 9;
    const std::uint64_t t = m_s[1] << 17;
    m_s[2] ^= m_s[0];
    m_s[3] ^= m_s[1];
    m_s[1] ^= m_s[2];
    m_s[0] ^= m_s[3];
    m_s[2] ^= t;
    m_s[3] = Rotl(m_s[3], 45);
    return result;
}

double Rng::Uniform()
{
    return static_cast<double>(Next() >> 11) * 0x1.0p-53;
}

double Rng::Normal()
{
    // Box-Muller; 1 - Uniform() keeps the logarithm finite.
    const double u = 1.0 - Uniform();
    const double v = Uniform();
    return std::sqrt(-2.0 * std::log(u)) * std::cos(6.283185307179586 * v);
}

int Rng::Between(int low, int high)
{
    return low + static_cast<int>(Next() % static_cast<std::uint64_t>(high - low + 1));
}

std::uint64_t HashText(const std::string& text, std::uint64_t seed)
{
    std::uint64_t h = 0xcbf29ce484222325ull ^ seed;
    for (unsigned char c : text) {
        h ^= c;
        h *= 0x100000001b3ull;
    }
    return h;
}

std::string ContractKey(int securityType, const std::string& commodityNo, const std::string& contractNo)
{
    std::string key = pb::EnumSecurityType_Name(static_cast<pb::EnumSecurityType>(securityType));
    key += '_';
    key += commodityNo;
    if (!contractNo.empty()) {
        key += '_';
        key += contractNo;
    }
    return key;
}

Market::Market(std::vector<CommoditySpec> specs, std::uint64_t seed)
    : m_specs(std::move(specs))
    , m_seed(seed)
{
    for (std::size_t ci = 0; ci < m_specs.size(); ++ci) {
        const auto& f = m_specs[ci].field;
        std::vector<std::string> numbers;
        for (const auto& entry : f.contract_no_list())
            numbers.push_back(entry.contract_no());
        if (numbers.empty())
            numbers.emplace_back();
        const Temper temper = TemperOf(f.security_type());
        for (std::size_t k = 0; k < numbers.size(); ++k) {
            Contract c;
            c.key = ContractKey(f.security_type(), f.commodity_no(), numbers[k]);
            if (m_index.count(c.key))
                continue; // a repeated contract number is served once
            c.commodity = ci;
            c.tick = f.mini_ticker_size() > 0 ? f.mini_ticker_size() : std::pow(10.0, -double(f.dot_size()));
            c.size = f.contract_size() > 0 ? f.contract_size() : 1.0;
            c.dailyVol = temper.dailyVol;
            // About 1500 steps (12 minutes at the default pace) make a day's
            // move: lively enough to watch, calm enough to read.
            c.stepVol = temper.dailyVol / std::sqrt(1500.0);
            c.spreadTicks = temper.spreadTicks;
            c.lotScale = temper.lotScale;
            c.lotUnit = temper.lotUnit;
            c.hasPosition = temper.hasPosition;
            c.rng = Rng(HashText(c.key, seed));
            // Later months of a future trade at a small carry over the first.
            Init(c, m_specs[ci].price * (1.0 + 0.0025 * double(k)));
            m_index.emplace(c.key, m_contracts.size());
            m_contracts.push_back(std::move(c));
        }
    }
}

long Market::Find(const std::string& key) const
{
    const auto it = m_index.find(key);
    return it == m_index.end() ? -1 : static_cast<long>(it->second);
}

void Market::Commodities(int securityType, pb::RspQryCommodityDetailField* out) const
{
    for (const auto& def : m_specs)
        if (securityType == pb::UNKNOWN || def.field.security_type() == securityType)
            *out->add_commodity_list() = def.field;
}

double Market::Round(const Contract& c, double price) const
{
    const double ticks = std::max(1.0, std::round(price / c.tick));
    // Rounding the tick multiple to the shown decimals keeps 72.53 from
    // printing as 72.529999999.
    const double scale = std::pow(10.0, double(m_specs[c.commodity].field.dot_size()));
    return std::round(ticks * c.tick * scale) / scale;
}

void Market::Init(Contract& c, double reference)
{
    Rng& r = c.rng;
    c.preSettle = Round(c, reference * (1.0 + 0.004 * r.Normal()));
    c.preClose = Round(c, c.preSettle * (1.0 + 0.001 * r.Normal()));
    c.open = Round(c, c.preClose * (1.0 + 0.003 * r.Normal()));
    c.last = c.high = c.low = c.open;
    c.bid = c.last;
    c.ask = Round(c, c.last + c.spreadTicks * c.tick);
    c.position = c.hasPosition ? std::round(20000.0 * c.lotScale * (0.3 + r.Uniform())) : 0.0;
    // The session has been running for a while: walk part of a day so the
    // board opens with ranges and volumes.
    const int warmUp = 60 + r.Between(0, 120);
    bool traded;
    for (int i = 0; i < warmUp; ++i)
        Move(c, &traded);
    c.lastDir = pb::TICKDIR_UNKNOWN;
    // ...and most of the day's business was done before the walk began.
    const double shares = m_specs[c.commodity].floatShares;
    double earlier;
    if (shares > 0)
        earlier = std::round(shares * (0.002 + 0.008 * r.Uniform()) / c.lotUnit) * c.lotUnit;
    else if (c.hasPosition)
        earlier = std::round(c.position * (0.3 + r.Uniform()));
    else
        earlier = std::round(5000.0 * c.lotScale * (0.5 + r.Uniform()));
    c.volume += earlier;
    c.turnover += earlier * 0.5 * (c.open + c.last) * c.size;
}

bool Market::Move(Contract& c, bool* traded)
{
    Rng& r = c.rng;
    *traded = false;
    const double u = r.Uniform();
    if (u < kTradeChance) {
        // A trade. Pull back toward the settlement so the walk stays within a
        // day's plausible range.
        const double sigmaTicks = std::max(0.7, c.last * c.stepVol / c.tick);
        const double pull = -kPull * (c.last - c.preSettle) / c.tick;
        const long moveTicks = std::lround(r.Normal() * sigmaTicks + pull);
        const double before = c.last;
        c.last = Round(c, c.last + double(moveTicks) * c.tick);
        c.high = std::max(c.high, c.last);
        c.low = std::min(c.low, c.last);
        c.lastVol = (std::floor(std::exp(r.Normal() * 0.9) * c.lotScale) + 1.0) * c.lotUnit;
        c.volume += c.lastVol;
        const double value = c.lastVol * c.last * c.size;
        c.turnover += value;
        if (c.last > before || (c.last == before && r.Uniform() < 0.5)) {
            c.lastDir = pb::TICKDIR_ASK; // a buyer took the offer
            c.ask = c.last;
            c.bid = Round(c, c.last - c.spreadTicks * c.tick);
            c.moneyInflow += value;
        } else {
            c.lastDir = pb::TICKDIR_BID;
            c.bid = c.last;
            c.ask = Round(c, c.last + c.spreadTicks * c.tick);
            c.moneyInflow -= value;
        }
        if (c.hasPosition)
            c.position = std::max(0.0, c.position + std::round(c.lastVol * (r.Uniform() * 2.0 - 0.9)));
        *traded = true;
    } else if (u > 0.8) {
        return false; // a quiet moment
    }
    c.askVol = double(r.Between(1, 40 * c.lotScale)) * c.lotUnit;
    c.bidVol = double(r.Between(1, 40 * c.lotScale)) * c.lotUnit;
    for (int k = 0; k < 4; ++k) {
        c.depthAskVol[k] = double(r.Between(1, 60 * c.lotScale)) * c.lotUnit;
        c.depthBidVol[k] = double(r.Between(1, 60 * c.lotScale)) * c.lotUnit;
    }
    return true;
}

void Market::Step(std::vector<std::size_t>* changed, std::vector<std::size_t>* traded)
{
    changed->clear();
    traded->clear();
    const std::size_t size = m_contracts.size();
    if (size == 0)
        return;
    const std::size_t moves = m_movesPerStep == 0 ? size : std::min(m_movesPerStep, size);
    const std::size_t first = m_movesPerStep == 0 ? 0 : m_nextMove % size;
    for (std::size_t n = 0; n < moves; ++n) {
        const std::size_t i = (first + n) % size;
        bool didTrade;
        if (Move(m_contracts[i], &didTrade))
            changed->push_back(i);
        if (didTrade)
            traded->push_back(i);
    }
    m_nextMove = (first + moves) % size;
    // Callers want the indexes in order; a turn that wrapped around has them in two runs.
    if (first + moves > size) {
        std::sort(changed->begin(), changed->end());
        std::sort(traded->begin(), traded->end());
    }
}

void Market::FillQuote(std::size_t i, std::uint64_t nowMs, pb::QuoteDetailField* q) const
{
    const Contract& c = m_contracts[i];
    q->set_contract_code(c.key);
    q->set_time_flag(nowMs);
    q->set_pre_settle(c.preSettle);
    q->set_pre_closing(c.preClose);
    q->set_last(c.last);
    q->set_open(c.open);
    q->set_low(c.low);
    q->set_high(c.high);
    q->set_last_vol(c.lastVol);
    q->set_volume(c.volume);
    q->set_position(c.position);
    q->set_ask_price(c.ask);
    q->set_ask_vol(c.askVol);
    q->set_bid_price(c.bid);
    q->set_bid_vol(c.bidVol);
    q->set_src_type(m_specs[c.commodity].field.exchange_no());
    q->set_gw_recv_time(nowMs);
    q->set_gw_send_time(nowMs);
    q->set_front_recv_time(nowMs);
    q->set_turnover(std::round(c.turnover * 100.0) / 100.0);
    const double shares = m_specs[c.commodity].floatShares;
    q->set_turnover_rate(shares > 0 ? std::round(c.volume / shares * 100.0 * 10000.0) / 10000.0 : 0.0);
}

void Market::FillDepth(std::size_t i, std::uint64_t nowMs, unsigned level, pb::DepthQuoteField* d) const
{
    const Contract& c = m_contracts[i];
    const double away = double(level - 1) * c.tick * std::max(1, c.spreadTicks / 4);
    d->set_contract_code(c.key);
    d->set_time_flag(nowMs);
    d->set_level(level);
    d->set_ask_price(Round(c, c.ask + away));
    d->set_ask_vol(c.depthAskVol[(level - 2) % 4]);
    d->set_bid_price(Round(c, c.bid - away));
    d->set_bid_vol(c.depthBidVol[(level - 2) % 4]);
}

void Market::FillTicker(std::size_t i, std::uint64_t nowMs, pb::TickerField* t) const
{
    const Contract& c = m_contracts[i];
    const double value = std::round(c.lastVol * c.last * c.size * 100.0) / 100.0;
    const bool buy = c.lastDir == pb::TICKDIR_ASK;
    t->set_contract_code(c.key);
    t->set_time_flag(nowMs);
    t->set_dir(static_cast<pb::EnumTickerDirection>(c.lastDir));
    t->set_price(c.last);
    t->set_volume(c.lastVol);
    t->set_turnover(value);
    t->set_buy_vol(buy ? c.lastVol : 0.0);
    t->set_sell_vol(buy ? 0.0 : c.lastVol);
    t->set_money_in(buy ? value : 0.0);
    t->set_money_out(buy ? 0.0 : value);
    t->set_money_inflow(std::round(c.moneyInflow * 100.0) / 100.0);
}

bool Market::History(
    std::size_t i, int period, std::uint64_t count, std::uint64_t nowMs, pb::RspReqQryHistoryField* out) const
{
    const Contract& c = m_contracts[i];
    out->set_contract_code(c.key);
    out->set_period(static_cast<pb::EnumKLineType>(period));
    const std::int64_t span = PeriodMs(period);
    if (span == 0)
        return false;
    if (count == 0)
        count = kDefaultHistoryBars;
    count = std::min(count, kMaxHistoryBars);

    // The same question in the same bar gets the same answer.
    const std::int64_t currentStart = static_cast<std::int64_t>(nowMs) / span * span;
    Rng r(HashText(c.key, m_seed ^ (std::uint64_t(period) << 56) ^ std::uint64_t(currentStart)));
    const double barVol = c.dailyVol * std::sqrt(double(span) / 86'400'000.0);
    const double dayVolume = std::max(c.volume, 1000.0 * c.lotScale * c.lotUnit);

    // The live walk is a reverting one: each trade moves the price by about
    // stepMove and takes back kPull of its distance from the settlement. Over
    // a bar of n trades that is an AR(1) step, which reads the same backwards,
    // so bars can be drawn from the live price into the past.
    const double trades = m_pace * double(span) / 1000.0 * kTradeChance;
    const bool paced = trades > 0 && span < 86'400'000;
    const double stepMove = std::max(0.7 * c.tick, c.last * c.stepVol);
    const double spread = stepMove / std::sqrt(1.0 - (1.0 - kPull) * (1.0 - kPull));
    // The bar in progress has seen only its share of the volume so far.
    const double elapsed = double(static_cast<std::int64_t>(nowMs) - currentStart) / double(span);
    const double lots = (1.5 * c.lotScale + 0.5) * c.lotUnit; // mean volume of one live trade

    std::vector<pb::KlineDataField> bars(count);
    double close = c.last;
    for (std::uint64_t n = 0; n < count; ++n) {
        const std::uint64_t idx = count - 1 - n;
        auto& bar = bars[idx];
        bar.set_time_flag(static_cast<std::uint64_t>(currentStart - static_cast<std::int64_t>(n) * span));
        double open, high, low, volume;
        if (n == 0 && span >= 86'400'000) {
            open = c.open;
            high = c.high;
            low = c.low;
            volume = c.volume;
        } else if (paced) {
            const double keep = std::pow(1.0 - kPull, trades);
            const double barMove = std::min(stepMove * std::sqrt(trades), spread);
            open = Round(c,
                c.preSettle + (close - c.preSettle) * keep
                    + spread * std::sqrt(1.0 - keep * keep) * r.Normal());
            high = Round(c, std::max(open, close) + std::fabs(barMove * 0.4 * r.Normal()));
            low = Round(c, std::min(open, close) - std::fabs(barMove * 0.4 * r.Normal()));
            volume = std::round((n == 0 ? elapsed : 1.0) * trades * lots * (0.5 + r.Uniform()));
        } else {
            open = Round(c, close * std::exp(barVol * r.Normal()));
            high = Round(c, std::max(open, close) * (1.0 + std::fabs(barVol * 0.4 * r.Normal())));
            low = Round(c, std::min(open, close) * (1.0 - std::fabs(barVol * 0.4 * r.Normal())));
            volume = std::round(dayVolume * double(span) / 86'400'000.0 * (0.5 + r.Uniform()));
        }
        if (n == 0 && span < 86'400'000) {
            // The bar in progress stays inside the day's range seen live.
            open = std::clamp(open, c.low, c.high);
            high = std::clamp(std::max(high, std::max(open, close)), c.low, c.high);
            low = std::clamp(std::min(low, std::min(open, close)), c.low, c.high);
            volume = std::min(volume, c.volume);
        }
        bar.set_close(close);
        bar.set_open(open);
        bar.set_high(std::max({ high, open, close }));
        bar.set_low(std::min({ low, open, close }));
        bar.set_volume(std::max(0.0, volume));
        close = open; // bars join without gaps
    }
    for (auto& bar : bars)
        *out->add_lines() = std::move(bar);
    return true;
}

} // namespace quoteserver
