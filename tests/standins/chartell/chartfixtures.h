#pragma once

// Messages the chart view tests feed it.

#include <cstdint>
#include <limits>
#include <string>

#include "kw.pb.ostrel2.pb.h"

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

inline kw::pb::ostrel2::KlineDataField Line(double open, double high, double low, double close,
    double volume = 10, std::uint64_t time = 1700000000000ULL)
{
    kw::pb::ostrel2::KlineDataField k;
    k.set_time_flag(time);
    k.set_open(open);
    k.set_high(high);
    k.set_low(low);
    k.set_close(close);
    k.set_volume(volume);
    return k;
}

inline kw::pb::ostrel2::CommodityField Crude()
{
    kw::pb::ostrel2::CommodityField c;
    c.set_commodity_no("CL");
    c.set_commodity_name("美原油");
    c.set_dot_size(2);
    return c;
}

inline kw::pb::ostrel2::QuoteDetailField Quote(
    const std::string& code, double last, double volume = 0, double preSettle = 0)
{
    kw::pb::ostrel2::QuoteDetailField q;
    q.set_contract_code(code);
    q.set_last(last);
    q.set_volume(volume);
    q.set_pre_settle(preSettle);
    return q;
}
