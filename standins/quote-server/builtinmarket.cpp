// The market the server offers when it is given none: enough commodities of
// every kind for each tab of the board, with their usual price levels, ticks
// and contract cycles.

#include "market.h"

#include <algorithm>
#include <cstdio>
#include <iterator>

namespace quoteserver
{

namespace
{

    struct Month {
        int year; // four digits
        int month;
    };

    enum class Cycle {
        None, // no contract list: spot markets, stocks
        Monthly, // every month, from next month
        Spot, // every month, from this month (index futures of Hong Kong)
        Quarterly, // March, June, September, December
        Cffex, // this month, next month and the next two quarter months
        Even, // even months
        Listed, // the months given
    };

    struct Entry {
        int type;
        const char* exchangeNo;
        const char* exchangeName;
        const char* commodityNo;
        const char* commodityName;
        const char* currency;
        int category;
        int region;
        unsigned dotSize;
        double tick;
        double contractSize;
        double price;
        Cycle cycle;
        int months[8]; // for Cycle::Listed, ended by 0
        int count;
        int mainIndex; // entry of the contract list flagged as main contract
        bool threeDigits; // Zhengzhou writes contract months as YMM
        double floatShares;
    };

    Month Add(Month m, int months)
    {
        const int index = m.year * 12 + (m.month - 1) + months;
        return { index / 12, index % 12 + 1 };
    }

    bool InList(int month, const std::vector<int>& months)
    {
        for (int m : months)
            if (m == month)
                return true;
        return false;
    }

    std::vector<Month> Months(Month now, const Entry& e)
    {
        std::vector<Month> out;
        switch (e.cycle) {
        case Cycle::None:
            break;
        case Cycle::Spot:
            for (int k = 0; int(out.size()) < e.count; ++k)
                out.push_back(Add(now, k));
            break;
        case Cycle::Monthly:
            for (int k = 1; int(out.size()) < e.count; ++k)
                out.push_back(Add(now, k));
            break;
        case Cycle::Quarterly:
        case Cycle::Even:
        case Cycle::Listed: {
            const std::vector<int> months = e.cycle == Cycle::Quarterly ? std::vector<int> { 3, 6, 9, 12 }
                : e.cycle == Cycle::Even
                ? std::vector<int> { 2, 4, 6, 8, 10, 12 }
                : std::vector<int>(e.months, std::find(e.months, std::end(e.months), 0));
            for (int k = 1; int(out.size()) < e.count; ++k)
                if (InList(Add(now, k).month, months))
                    out.push_back(Add(now, k));
            break;
        }
        case Cycle::Cffex:
            out.push_back(now);
            out.push_back(Add(now, 1));
            for (int k = 2; out.size() < 4; ++k)
                if (Add(now, k).month % 3 == 0)
                    out.push_back(Add(now, k));
            break;
        }
        return out;
    }

    std::string ContractNo(Month m, bool threeDigits)
    {
        char text[8];
        if (threeDigits)
            std::snprintf(text, sizeof text, "%d%02d", m.year % 10, m.month);
        else
            std::snprintf(text, sizeof text, "%02d%02d", m.year % 100, m.month);
        return text;
    }

    void Segments(int type, pb::CommodityField* f)
    {
        struct Seg {
            int dateFlag;
            const char* begin;
            int state;
        };
        static const Seg futures[] = { { 0, "06:00:00", 3 }, { 1, "05:00:00", 5 } };
        static const Seg china[]
            = { { 0, "21:00:00", 3 }, { 1, "02:30:00", 5 }, { 1, "09:00:00", 3 }, { 1, "10:15:00", 4 },
                  { 1, "10:30:00", 3 }, { 1, "11:30:00", 4 }, { 1, "13:30:00", 3 }, { 1, "15:00:00", 5 } };
        static const Seg stocks[] = { { 1, "09:15:00", 1 }, { 1, "09:25:00", 2 }, { 1, "09:30:00", 3 },
            { 1, "11:30:00", 4 }, { 1, "13:00:00", 3 }, { 1, "15:00:00", 5 } };
        static const Seg allDay[] = { { 1, "00:00:00", 3 } };
        const Seg* begin = futures;
        std::size_t n = std::size(futures);
        if (type == pb::FI) {
            begin = china;
            n = std::size(china);
        } else if (type == pb::S) {
            begin = stocks;
            n = std::size(stocks);
        } else if (type == pb::C || type == pb::D) {
            begin = allDay;
            n = std::size(allDay);
        }
        for (std::size_t i = 0; i < n; ++i) {
            auto* seg = f->add_tradingtime_seg();
            seg->set_date_flag(static_cast<pb::CommodityField::EnumDateFlag>(begin[i].dateFlag));
            seg->set_begin_time(begin[i].begin);
            seg->set_trading_state(static_cast<pb::CommodityField::EnumTradetimeStatus>(begin[i].state));
            seg->set_bucket_id(static_cast<std::uint32_t>(i));
        }
    }

    // clang-format off
const Entry kEntries[] = {
    // Overseas futures.
    {pb::FO, "NYMEX", "纽约商业交易所", "CL", "美原油", "USD", pb::GATEGORY_ENERGY, pb::REGON_NORTH_AMERICA, 2, 0.01, 1000, 68.42, Cycle::Monthly, {}, 12, 1, false, 0},
    {pb::FO, "NYMEX", "纽约商业交易所", "NG", "美天然气", "USD", pb::GATEGORY_ENERGY, pb::REGON_NORTH_AMERICA, 3, 0.001, 10000, 3.412, Cycle::Monthly, {}, 6, 1, false, 0},
    {pb::FO, "ICE", "洲际交易所", "B", "布伦特原油", "USD", pb::GATEGORY_ENERGY, pb::REGON_EUROPE, 2, 0.01, 1000, 72.15, Cycle::Monthly, {}, 6, 1, false, 0},
    {pb::FO, "COMEX", "纽约商品交易所", "GC", "美黄金", "USD", pb::GATEGORY_METAL, pb::REGON_NORTH_AMERICA, 1, 0.1, 100, 2652.3, Cycle::Even, {}, 5, 0, false, 0},
    {pb::FO, "COMEX", "纽约商品交易所", "SI", "美白银", "USD", pb::GATEGORY_METAL, pb::REGON_NORTH_AMERICA, 3, 0.005, 5000, 31.245, Cycle::Listed, {3, 5, 7, 9, 12}, 4, 0, false, 0},
    {pb::FO, "COMEX", "纽约商品交易所", "HG", "美铜", "USD", pb::GATEGORY_METAL, pb::REGON_NORTH_AMERICA, 4, 0.0005, 25000, 4.1855, Cycle::Listed, {3, 5, 7, 9, 12}, 4, 0, false, 0},
    {pb::FO, "CME", "芝加哥商业交易所", "ES", "小标普", "USD", pb::GATEGORY_INDEX, pb::REGON_NORTH_AMERICA, 2, 0.25, 50, 5982.25, Cycle::Quarterly, {}, 3, 0, false, 0},
    {pb::FO, "CME", "芝加哥商业交易所", "NQ", "小纳指", "USD", pb::GATEGORY_INDEX, pb::REGON_NORTH_AMERICA, 2, 0.25, 20, 21348.5, Cycle::Quarterly, {}, 3, 0, false, 0},
    {pb::FO, "CBOT", "芝加哥期货交易所", "ZS", "美大豆", "USD", pb::GATEGORY_UNKNOWN, pb::REGON_NORTH_AMERICA, 2, 0.25, 50, 1005.25, Cycle::Listed, {1, 3, 5, 7, 8, 9, 11}, 4, 0, false, 0},
    {pb::FO, "EUREX", "欧洲期货交易所", "FDAX", "德指", "EUR", pb::GATEGORY_INDEX, pb::REGON_EUROPE, 1, 0.5, 25, 19855.5, Cycle::Quarterly, {}, 3, 0, false, 0},
    {pb::FO, "HKEX", "香港交易所", "HSI", "恒指", "HKD", pb::GATEGORY_INDEX, pb::REGON_ASIA_PACIFIC, 0, 1, 50, 20148, Cycle::Spot, {}, 2, 0, false, 0},
    {pb::FO, "SGX", "新加坡交易所", "CN", "富时A50", "USD", pb::GATEGORY_INDEX, pb::REGON_ASIA_PACIFIC, 1, 2.5, 1, 13420.0, Cycle::None, {}, 0, 0, false, 0},
    // Mainland futures.
    {pb::FI, "CFFEX", "中国金融期货交易所", "IF", "沪深300", "CNY", pb::GATEGORY_INDEX, pb::REGON_ASIA_PACIFIC, 1, 0.2, 300, 3935.2, Cycle::Cffex, {}, 4, 0, false, 0},
    {pb::FI, "CFFEX", "中国金融期货交易所", "IC", "中证500", "CNY", pb::GATEGORY_INDEX, pb::REGON_ASIA_PACIFIC, 1, 0.2, 200, 5810.4, Cycle::Cffex, {}, 4, 0, false, 0},
    {pb::FI, "CFFEX", "中国金融期货交易所", "IH", "上证50", "CNY", pb::GATEGORY_INDEX, pb::REGON_ASIA_PACIFIC, 1, 0.2, 300, 2648.6, Cycle::Cffex, {}, 4, 0, false, 0},
    {pb::FI, "SHFE", "上海期货交易所", "rb", "螺纹钢", "CNY", pb::GATEGORY_METAL, pb::REGON_ASIA_PACIFIC, 0, 1, 10, 3265, Cycle::Listed, {1, 5, 10}, 3, 1, false, 0},
    {pb::FI, "SHFE", "上海期货交易所", "cu", "沪铜", "CNY", pb::GATEGORY_METAL, pb::REGON_ASIA_PACIFIC, 0, 10, 5, 75820, Cycle::Monthly, {}, 6, 1, false, 0},
    {pb::FI, "SHFE", "上海期货交易所", "au", "沪金", "CNY", pb::GATEGORY_METAL, pb::REGON_ASIA_PACIFIC, 2, 0.02, 1000, 618.5, Cycle::Even, {}, 3, 2, false, 0},
    {pb::FI, "INE", "上海国际能源交易中心", "sc", "原油", "CNY", pb::GATEGORY_ENERGY, pb::REGON_ASIA_PACIFIC, 1, 0.1, 1000, 532.4, Cycle::Monthly, {}, 6, 1, false, 0},
    {pb::FI, "DCE", "大连商品交易所", "m", "豆粕", "CNY", pb::GATEGORY_UNKNOWN, pb::REGON_ASIA_PACIFIC, 0, 1, 10, 2935, Cycle::Listed, {1, 5, 9}, 3, 1, false, 0},
    {pb::FI, "CZCE", "郑州商品交易所", "SR", "白糖", "CNY", pb::GATEGORY_UNKNOWN, pb::REGON_ASIA_PACIFIC, 0, 1, 10, 5820, Cycle::Listed, {1, 5, 9}, 3, 1, true, 0},
    // Foreign exchange, spot.
    {pb::C, "FX", "外汇市场", "EUR.USD", "欧元/美元", "USD", pb::GATEGORY_CURRENCY_FUT, pb::REGON_EUROPE, 5, 0.00001, 100000, 1.08421, Cycle::None, {}, 0, 0, false, 0},
    {pb::C, "FX", "外汇市场", "GBP.USD", "英镑/美元", "USD", pb::GATEGORY_CURRENCY_FUT, pb::REGON_EUROPE, 5, 0.00001, 100000, 1.27153, Cycle::None, {}, 0, 0, false, 0},
    {pb::C, "FX", "外汇市场", "USD.JPY", "美元/日元", "JPY", pb::GATEGORY_CURRENCY_FUT, pb::REGON_ASIA_PACIFIC, 3, 0.001, 100000, 151.428, Cycle::None, {}, 0, 0, false, 0},
    {pb::C, "FX", "外汇市场", "AUD.USD", "澳元/美元", "USD", pb::GATEGORY_CURRENCY_FUT, pb::REGON_ASIA_PACIFIC, 5, 0.00001, 100000, 0.65834, Cycle::None, {}, 0, 0, false, 0},
    {pb::C, "CNHFX", "离岸人民币市场", "USD.CNH", "美元/离岸人民币", "CNH", pb::GATEGORY_CURRENCY_FUT, pb::REGON_ASIA_PACIFIC, 4, 0.0001, 100000, 7.2652, Cycle::None, {}, 0, 0, false, 0},
    // Stocks.
    {pb::S, "SSE", "上海证券交易所", "600519", "贵州茅台", "CNY", pb::GATEGORY_UNKNOWN, pb::REGON_ASIA_PACIFIC, 2, 0.01, 1, 1688.0, Cycle::None, {}, 0, 0, false, 1.256e9},
    {pb::S, "SSE", "上海证券交易所", "601318", "中国平安", "CNY", pb::GATEGORY_UNKNOWN, pb::REGON_ASIA_PACIFIC, 2, 0.01, 1, 48.65, Cycle::None, {}, 0, 0, false, 1.08e10},
    {pb::S, "SSE", "上海证券交易所", "600036", "招商银行", "CNY", pb::GATEGORY_UNKNOWN, pb::REGON_ASIA_PACIFIC, 2, 0.01, 1, 36.42, Cycle::None, {}, 0, 0, false, 2.06e10},
    {pb::S, "SSE", "上海证券交易所", "601398", "工商银行", "CNY", pb::GATEGORY_UNKNOWN, pb::REGON_ASIA_PACIFIC, 2, 0.01, 1, 5.92, Cycle::None, {}, 0, 0, false, 2.69e11},
    {pb::S, "SZSE", "深圳证券交易所", "000858", "五粮液", "CNY", pb::GATEGORY_UNKNOWN, pb::REGON_ASIA_PACIFIC, 2, 0.01, 1, 146.3, Cycle::None, {}, 0, 0, false, 3.88e9},
    {pb::S, "SZSE", "深圳证券交易所", "000001", "平安银行", "CNY", pb::GATEGORY_UNKNOWN, pb::REGON_ASIA_PACIFIC, 2, 0.01, 1, 11.28, Cycle::None, {}, 0, 0, false, 1.94e10},
    {pb::S, "SZSE", "深圳证券交易所", "300750", "宁德时代", "CNY", pb::GATEGORY_UNKNOWN, pb::REGON_ASIA_PACIFIC, 2, 0.01, 1, 228.5, Cycle::None, {}, 0, 0, false, 3.9e9},
    {pb::S, "SZSE", "深圳证券交易所", "002594", "比亚迪", "CNY", pb::GATEGORY_UNKNOWN, pb::REGON_ASIA_PACIFIC, 2, 0.01, 1, 272.8, Cycle::None, {}, 0, 0, false, 1.16e9},
    {pb::S, "HKEX", "香港交易所", "00700", "腾讯控股", "HKD", pb::GATEGORY_UNKNOWN, pb::REGON_ASIA_PACIFIC, 1, 0.2, 1, 412.4, Cycle::None, {}, 0, 0, false, 9.3e9},
    {pb::S, "HKEX", "香港交易所", "09988", "阿里巴巴", "HKD", pb::GATEGORY_UNKNOWN, pb::REGON_ASIA_PACIFIC, 2, 0.05, 1, 84.35, Cycle::None, {}, 0, 0, false, 1.9e10},
    {pb::S, "HKEX", "香港交易所", "03690", "美团", "HKD", pb::GATEGORY_UNKNOWN, pb::REGON_ASIA_PACIFIC, 1, 0.1, 1, 158.3, Cycle::None, {}, 0, 0, false, 5.6e9},
    {pb::S, "HKEX", "香港交易所", "01810", "小米集团", "HKD", pb::GATEGORY_UNKNOWN, pb::REGON_ASIA_PACIFIC, 2, 0.05, 1, 31.85, Cycle::None, {}, 0, 0, false, 2.1e10},
    // Digital currencies, spot.
    {pb::D, "DAEX", "数字资产交易所", "BTC", "比特币", "USD", pb::GATEGORY_UNKNOWN, pb::REGON_UNKNOWN, 1, 0.1, 1, 96850.5, Cycle::None, {}, 0, 0, false, 0},
    {pb::D, "DAEX", "数字资产交易所", "ETH", "以太坊", "USD", pb::GATEGORY_UNKNOWN, pb::REGON_UNKNOWN, 2, 0.01, 1, 3625.4, Cycle::None, {}, 0, 0, false, 0},
    {pb::D, "HKVA", "香港虚拟资产交易所", "LTC", "莱特币", "USD", pb::GATEGORY_UNKNOWN, pb::REGON_ASIA_PACIFIC, 2, 0.01, 1, 95.42, Cycle::None, {}, 0, 0, false, 0},
};
    // clang-format on

} // namespace

std::vector<CommoditySpec> BuiltinMarket(std::time_t now)
{
    std::tm utc {};
    gmtime_r(&now, &utc);
    const Month thisMonth { utc.tm_year + 1900, utc.tm_mon + 1 };

    std::vector<CommoditySpec> out;
    for (const Entry& e : kEntries) {
        CommoditySpec def;
        auto& f = def.field;
        f.set_index(static_cast<std::uint32_t>(out.size() + 1));
        f.set_security_type(static_cast<pb::EnumSecurityType>(e.type));
        f.set_exchange_no(e.exchangeNo);
        f.set_exchange_name(e.exchangeName);
        f.set_commodity_no(e.commodityNo);
        f.set_commodity_name(e.commodityName);
        f.set_currency_no(e.currency);
        f.set_category(static_cast<pb::EnumCategorys>(e.category));
        f.set_region(static_cast<pb::EnumRegions>(e.region));
        f.set_dot_size(e.dotSize);
        f.set_mini_ticker_size(e.tick);
        f.set_contract_size(e.contractSize);
        const auto months = Months(thisMonth, e);
        for (std::size_t k = 0; k < months.size(); ++k) {
            auto* c = f.add_contract_no_list();
            c->set_contract_no(ContractNo(months[k], e.threeDigits));
            c->set_flags(static_cast<int>(k) == e.mainIndex ? 1 : 0);
        }
        Segments(e.type, &f);
        def.price = e.price;
        def.floatShares = e.floatShares;
        out.push_back(std::move(def));
    }
    return out;
}

} // namespace quoteserver
