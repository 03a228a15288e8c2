// A market of the user's own, read from JSON: the commodity fields under
// their message names, plus "price" and "float_shares".

#include "market.h"

#include <cmath>
#include <fstream>
#include <set>
#include <sstream>

#include <json/json.h>

#include "ostrelwire.h"

namespace quoteserver
{

namespace
{

    class Reader
    {
    public:
        Reader(const Json::Value& object, std::string where)
            : m_object(object)
            , m_where(std::move(where))
        {
        }

        bool Fail(const std::string& what)
        {
            if (m_error.empty())
                m_error = m_where + ": " + what;
            return false;
        }
        const std::string& Error() const { return m_error; }

        bool CheckMembers(const std::set<std::string>& known)
        {
            for (const auto& name : m_object.getMemberNames())
                if (!known.count(name))
                    return Fail("unknown member \"" + name + "\"");
            return true;
        }

        bool Text(const char* name, std::string* out, bool required = false)
        {
            const Json::Value& v = m_object[name];
            if (v.isNull())
                return required ? Fail(std::string("\"") + name + "\" missing") : true;
            if (!v.isString())
                return Fail(std::string("\"") + name + "\" is not a text");
            *out = v.asString();
            if (!ostrelwire::IsUtf8(*out))
                return Fail(std::string("\"") + name + "\" is not UTF-8");
            if (required && out->empty())
                return Fail(std::string("\"") + name + "\" is empty");
            return true;
        }

        bool Number(const char* name, double* out)
        {
            const Json::Value& v = m_object[name];
            if (v.isNull())
                return true;
            if (!v.isNumeric() || !std::isfinite(v.asDouble()))
                return Fail(std::string("\"") + name + "\" is not a number");
            *out = v.asDouble();
            return true;
        }

        bool Integer(const char* name, long long low, long long high, long long* out)
        {
            const Json::Value& v = m_object[name];
            if (v.isNull())
                return true;
            if (!v.isIntegral() || v.asLargestInt() < low || v.asLargestInt() > high)
                return Fail(std::string("\"") + name + "\" is not a whole number from " + std::to_string(low)
                    + " to " + std::to_string(high));
            *out = v.asLargestInt();
            return true;
        }

        // An enum given by number or by the name the schema gives it.
        template <typename Parse> bool Enum(const char* name, long long high, Parse parse, int* out)
        {
            const Json::Value& v = m_object[name];
            if (v.isString()) {
                if (!parse(v.asString(), out))
                    return Fail(std::string("\"") + name + "\" has no value \"" + v.asString() + "\"");
                return true;
            }
            long long n = *out;
            if (!Integer(name, 0, high, &n))
                return false;
            *out = static_cast<int>(n);
            return true;
        }

    private:
        const Json::Value& m_object;
        std::string m_where;
        std::string m_error;
    };

    template <typename E, typename ParseFn> auto EnumParser(ParseFn fn)
    {
        return [fn](const std::string& text, int* out) {
            E value;
            if (!fn(text, &value))
                return false;
            *out = static_cast<int>(value);
            return true;
        };
    }

    bool ReadCommodity(const Json::Value& item, std::size_t position, CommoditySpec* def, std::string* error)
    {
        Reader r(item, "commodity " + std::to_string(position + 1));
        auto& f = def->field;
        std::string text;
        int security = 0, category = 0, region = 0;
        long long index = static_cast<long long>(position + 1), dot = -1;
        double tick = 0, size = 1, price = 100, shares = 0;
        const bool ok
            = r.CheckMembers({ "index", "security_type", "exchange_no", "exchange_name", "commodity_no",
                  "commodity_name", "currency_no", "category", "region", "dot_size", "mini_ticker_size",
                  "contract_size", "contract_no_list", "tradingtime_Seg", "price", "float_shares" })
            && r.Integer("index", 0, 0xffffffffll, &index)
            && r.Enum(
                "security_type", 99, EnumParser<pb::EnumSecurityType>(pb::EnumSecurityType_Parse), &security)
            && r.Enum("category", 99, EnumParser<pb::EnumCategorys>(pb::EnumCategorys_Parse), &category)
            && r.Enum("region", 99, EnumParser<pb::EnumRegions>(pb::EnumRegions_Parse), &region)
            && r.Integer("dot_size", 0, 10, &dot) && r.Number("mini_ticker_size", &tick)
            && r.Number("contract_size", &size) && r.Number("price", &price)
            && r.Number("float_shares", &shares);
        if (!ok) {
            *error = r.Error();
            return false;
        }
        f.set_index(static_cast<std::uint32_t>(index));
        f.set_security_type(static_cast<pb::EnumSecurityType>(security));
        f.set_category(static_cast<pb::EnumCategorys>(category));
        f.set_region(static_cast<pb::EnumRegions>(region));
        struct {
            const char* name;
            void (pb::CommodityField::*set)(const std::string&);
            bool required;
        } const texts[] = {
            { "exchange_no", &pb::CommodityField::set_exchange_no, false },
            { "exchange_name", &pb::CommodityField::set_exchange_name, false },
            { "commodity_no", &pb::CommodityField::set_commodity_no, true },
            { "commodity_name", &pb::CommodityField::set_commodity_name, false },
            { "currency_no", &pb::CommodityField::set_currency_no, false },
        };
        for (const auto& t : texts) {
            text.clear();
            if (!r.Text(t.name, &text, t.required)) {
                *error = r.Error();
                return false;
            }
            (f.*t.set)(text);
        }

        if (dot < 0) {
            // The fewest decimals that show the tick exactly.
            dot = 2;
            if (tick > 0)
                for (dot = 0; dot < 10; ++dot) {
                    const double scaledTick = tick * std::pow(10.0, double(dot));
                    if (std::fabs(scaledTick - std::round(scaledTick)) <= 1e-6)
                        break;
                }
        }
        if (tick == 0)
            tick = std::pow(10.0, -double(dot));
        const double scaled = tick * std::pow(10.0, double(dot));
        if (tick < 0 || std::fabs(scaled - std::round(scaled)) > 1e-6 || std::round(scaled) < 1) {
            r.Fail("\"mini_ticker_size\" must be a positive multiple of 10^-dot_size");
            *error = r.Error();
            return false;
        }
        if (price <= 0 || size <= 0 || shares < 0) {
            r.Fail("\"price\" and \"contract_size\" must be positive, \"float_shares\" not negative");
            *error = r.Error();
            return false;
        }
        f.set_dot_size(static_cast<std::uint32_t>(dot));
        f.set_mini_ticker_size(tick);
        f.set_contract_size(size);
        def->price = price;
        def->floatShares = shares;

        const Json::Value& contracts = item["contract_no_list"];
        if (!contracts.isNull() && !contracts.isArray()) {
            *error = "commodity " + std::to_string(position + 1) + ": \"contract_no_list\" is not a list";
            return false;
        }
        for (Json::ArrayIndex k = 0; k < contracts.size(); ++k) {
            const Json::Value& c = contracts[k];
            auto* entry = f.add_contract_no_list();
            if (c.isString()) {
                if (!ostrelwire::IsUtf8(c.asString())) {
                    *error = "commodity " + std::to_string(position + 1) + ": a contract number is not UTF-8";
                    return false;
                }
                entry->set_contract_no(c.asString());
                continue;
            }
            if (!c.isObject()) {
                *error = "commodity " + std::to_string(position + 1)
                    + ": a contract is neither a text nor an object";
                return false;
            }
            Reader cr(c, "commodity " + std::to_string(position + 1) + ", contract " + std::to_string(k + 1));
            std::string no;
            long long flags = 0;
            if (!cr.CheckMembers({ "contract_no", "flags" }) || !cr.Text("contract_no", &no)
                || !cr.Integer("flags", INT32_MIN, INT32_MAX, &flags)) {
                *error = cr.Error();
                return false;
            }
            entry->set_contract_no(no);
            entry->set_flags(static_cast<std::int32_t>(flags));
        }

        const Json::Value& segments = item["tradingtime_Seg"];
        if (!segments.isNull() && !segments.isArray()) {
            *error = "commodity " + std::to_string(position + 1) + ": \"tradingtime_Seg\" is not a list";
            return false;
        }
        for (Json::ArrayIndex k = 0; k < segments.size(); ++k) {
            Reader sr(segments[k],
                "commodity " + std::to_string(position + 1) + ", segment " + std::to_string(k + 1));
            if (!segments[k].isObject()) {
                *error = "commodity " + std::to_string(position + 1) + ": a trading segment is not an object";
                return false;
            }
            std::string begin;
            int dateFlag = 0, state = 0;
            long long bucket = 0;
            const bool segOk = sr.CheckMembers({ "date_flag", "begin_time", "trading_state", "bucket_id" })
                && sr.Enum("date_flag", 99,
                    EnumParser<pb::CommodityField::EnumDateFlag>(pb::CommodityField::EnumDateFlag_Parse),
                    &dateFlag)
                && sr.Text("begin_time", &begin)
                && sr.Enum("trading_state", 99,
                    EnumParser<pb::CommodityField::EnumTradetimeStatus>(
                        pb::CommodityField::EnumTradetimeStatus_Parse),
                    &state)
                && sr.Integer("bucket_id", 0, 0xffffffffll, &bucket);
            if (!segOk) {
                *error = sr.Error();
                return false;
            }
            auto* seg = f.add_tradingtime_seg();
            seg->set_date_flag(static_cast<pb::CommodityField::EnumDateFlag>(dateFlag));
            seg->set_begin_time(begin);
            seg->set_trading_state(static_cast<pb::CommodityField::EnumTradetimeStatus>(state));
            seg->set_bucket_id(static_cast<std::uint32_t>(bucket));
        }
        return true;
    }

} // namespace

bool ParseMarketJson(const std::string& text, std::vector<CommoditySpec>* out, std::string* error)
{
    Json::CharReaderBuilder builder;
    builder["collectComments"] = false;
    builder["rejectDupKeys"] = true;
    Json::Value root;
    std::string parseErrors;
    std::istringstream in(text);
    if (!Json::parseFromStream(builder, in, &root, &parseErrors)) {
        *error = "not valid JSON: " + parseErrors;
        return false;
    }
    const Json::Value& list = root.isObject() ? root["commodities"] : root;
    if (!list.isArray()) {
        *error = "expected {\"commodities\": [...]} or a list of commodities";
        return false;
    }
    if (root.isObject() && root.size() != 1) {
        *error = "the top-level object holds only \"commodities\"";
        return false;
    }
    std::vector<CommoditySpec> specs;
    std::set<std::string> keys;
    for (Json::ArrayIndex i = 0; i < list.size(); ++i) {
        if (!list[i].isObject()) {
            *error = "commodity " + std::to_string(i + 1) + " is not an object";
            return false;
        }
        CommoditySpec def;
        if (!ReadCommodity(list[i], i, &def, error))
            return false;
        const auto& f = def.field;
        std::vector<std::string> numbers;
        for (const auto& c : f.contract_no_list())
            numbers.push_back(c.contract_no());
        if (numbers.empty())
            numbers.emplace_back();
        for (const auto& no : numbers) {
            const std::string key = ContractKey(f.security_type(), f.commodity_no(), no);
            if (!keys.insert(key).second) {
                *error = "commodity " + std::to_string(i + 1) + ": contract " + key + " given twice";
                return false;
            }
        }
        specs.push_back(std::move(def));
    }
    *out = std::move(specs);
    return true;
}

bool LoadMarketJson(const std::string& path, std::vector<CommoditySpec>* out, std::string* error)
{
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        *error = "cannot open " + path;
        return false;
    }
    std::ostringstream text;
    text << file.rdbuf();
    if (!ParseMarketJson(text.str(), out, error)) {
        *error = path + ": " + *error;
        return false;
    }
    return true;
}

} // namespace quoteserver
