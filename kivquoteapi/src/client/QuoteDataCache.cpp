#include "QuoteDataCache.h"

namespace
{

int CompareCommodityKeys(const QuoteCommodityKey& a, const QuoteCommodityKey& b)
{
    if (const int c = FieldCompare(a.ExchangeNo, b.ExchangeNo))
        return c;
    if (const int c = FieldCompare(a.CommodityNo, b.CommodityNo))
        return c;
    const auto typeA = static_cast<signed char>(a.CommodityType);
    const auto typeB = static_cast<signed char>(b.CommodityType);
    return typeA < typeB ? -1 : (typeA > typeB ? 1 : 0);
}

} // namespace

bool CommodityKeyLess::operator()(const QuoteCommodityKey& a, const QuoteCommodityKey& b) const
{
    return CompareCommodityKeys(a, b) < 0;
}

bool KeyedEntryLess::operator()(const KeyedEntry& a, const KeyedEntry& b) const
{
    return FieldCompare(a.record.KeyAndData, b.record.KeyAndData) < 0;
}

// A key text longer than the field, or with a zero byte inside, names no record.
bool KeyedEntryLess::operator()(const KeyedEntry& a, const std::string& key) const
{
    return FieldText(a.record.KeyAndData) < key;
}

bool KeyedEntryLess::operator()(const std::string& key, const KeyedEntry& b) const
{
    return key < FieldText(b.record.KeyAndData);
}

bool ContractKeyLess::operator()(const QuoteContractKey& a, const QuoteContractKey& b) const
{
    if (const int c = CompareCommodityKeys(a.CommodityKey, b.CommodityKey))
        return c < 0;
    return FieldCompare(a.ContractNo1, b.ContractNo1) < 0;
}

QuoteDataCache::QuoteDataCache()
    : QuoteDataCache(ApiLimits::Current())
{
}

QuoteDataCache::QuoteDataCache(const ApiLimits& limits)
    : m_keyedCap(limits.maxKeyedRecords)
    , m_commodities(limits.maxCommodities)
    , m_contracts(limits.maxContracts)
{
}

bool QuoteDataCache::PutKeyedRecord(const QuoteKeyedRecord* record)
{
    if (!record)
        return false;
    const KeyedEntry entry { *record };
    std::lock_guard<std::mutex> lock(m_keyedMutex);
    const auto at = m_keyed.lower_bound(entry);
    if (at != m_keyed.end() && !m_keyed.key_comp()(entry, *at)) {
        at->record = *record;
        return true;
    }
    if (m_keyed.size() >= m_keyedCap)
        return false;
    m_keyed.emplace_hint(at, entry);
    return true;
}

bool QuoteDataCache::PutCommodity(const QuoteCommodityRecord* record)
{
    return m_commodities.Put(record);
}

bool QuoteDataCache::PutContract(const QuoteContractRecord* record)
{
    return m_contracts.Put(record);
}

bool QuoteDataCache::CommodityAt(int n, QuoteCommodityRecord* out, bool* isLast)
{
    return m_commodities.At(n, out, isLast);
}

bool QuoteDataCache::ContractAt(int n, QuoteContractRecord* out, bool* isLast)
{
    return m_contracts.At(n, out, isLast);
}

bool QuoteDataCache::FindKeyedRecord(const std::string& key, QuoteKeyedRecord* out) const
{
    std::lock_guard<std::mutex> lock(m_keyedMutex);
    const auto it = m_keyed.find(key);
    if (it == m_keyed.end() || !out)
        return false;
    *out = it->record;
    return true;
}

size_t QuoteDataCache::KeyedRecordCount() const
{
    std::lock_guard<std::mutex> lock(m_keyedMutex);
    return m_keyed.size();
}
