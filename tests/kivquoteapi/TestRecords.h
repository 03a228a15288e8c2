#pragma once

// Builders of the fixed-size records for the tests.

#include <cstring>
#include <string>

#include "IKivQuoteAPI.h"

namespace kqtest
{

template <size_t N> void PutText(char (&field)[N], const std::string& text)
{
    std::memset(field, 0, N);
    std::memcpy(field, text.data(), text.size() < N ? text.size() : N);
}

inline QuoteCommodityKey CommodityKey(const std::string& exchange, char type, const std::string& commodity)
{
    QuoteCommodityKey key;
    std::memset(&key, 0, sizeof(key));
    PutText(key.ExchangeNo, exchange);
    key.CommodityType = type;
    PutText(key.CommodityNo, commodity);
    return key;
}

inline QuoteContractKey ContractKey(
    const std::string& exchange, char type, const std::string& commodity, const std::string& contract)
{
    QuoteContractKey key;
    std::memset(&key, 0, sizeof(key));
    key.CommodityKey = CommodityKey(exchange, type, commodity);
    PutText(key.ContractNo1, contract);
    return key;
}

// The data bytes are filled with `fill` so that copies can be told apart.
inline QuoteCommodityRecord Commodity(
    const std::string& exchange, char type, const std::string& commodity, char fill = 'c')
{
    QuoteCommodityRecord record;
    record.CommodityKey = CommodityKey(exchange, type, commodity);
    std::memset(record.CommodityData, fill, sizeof(record.CommodityData));
    return record;
}

inline QuoteContractRecord Contract(const std::string& exchange, char type, const std::string& commodity,
    const std::string& contract, char fill = 'k')
{
    QuoteContractRecord record;
    record.ContractKey = ContractKey(exchange, type, commodity, contract);
    std::memset(record.ContractData, fill, sizeof(record.ContractData));
    return record;
}

inline QuoteKeyedRecord Keyed(const std::string& key, char fill = 'r')
{
    QuoteKeyedRecord record;
    std::memset(record.KeyAndData, fill, sizeof(record.KeyAndData));
    std::memcpy(record.KeyAndData, key.c_str(), key.size() + 1);
    return record;
}

inline QuoteLoginRecord Login(const std::string& account, const std::string& password)
{
    QuoteLoginRecord record;
    std::memset(&record, 0, sizeof(record));
    PutText(record.Account, account);
    PutText(record.Password, password);
    return record;
}

inline QuoteAppInfo AppInfo()
{
    QuoteAppInfo info;
    std::memset(&info, 'a', sizeof(info));
    return info;
}

} // namespace kqtest
