#pragma once

#include <cstddef>
#include <cstring>
#include <iterator>
#include <map>
#include <mutex>
#include <set>
#include <string>

#include "ApiLimits.h"
#include "IKivQuoteAPI.h"

// A zero-terminated text field read no further than its width, so a field
// without terminator cannot lead a read into its neighbours.
template <size_t N> std::string FieldText(const char (&field)[N])
{
    return std::string(field, strnlen(field, N));
}

template <size_t N> int FieldCompare(const char (&a)[N], const char (&b)[N])
{
    return std::strncmp(a, b, N);
}

struct CommodityKeyLess {
    bool operator()(const QuoteCommodityKey& a, const QuoteCommodityKey& b) const;
};

struct ContractKeyLess {
    bool operator()(const QuoteContractKey& a, const QuoteContractKey& b) const;
};

// A keyed record is its own key (its leading text), so it is stored once,
// not beside a copy of its key. The data after the key may be replaced in
// place: it takes no part in the order.
struct KeyedEntry {
    mutable QuoteKeyedRecord record;
};

struct KeyedEntryLess {
    using is_transparent = void;
    bool operator()(const KeyedEntry& a, const KeyedEntry& b) const;
    bool operator()(const KeyedEntry& a, const std::string& key) const;
    bool operator()(const std::string& key, const KeyedEntry& b) const;
};

// Records in key order, read back by position. Remembers the position of the
// last read so that walking n = 0, 1, 2... costs one step per read. Holds at
// most `cap` keys.
template <typename Key, typename Record, typename Less> class OrderedRecords
{
public:
    explicit OrderedRecords(size_t cap)
        : m_cap(cap)
    {
    }

    // false for null, and for a new key while the map holds its cap.
    bool Put(const Record* record)
    {
        if (!record)
            return false;
        Key key;
        std::memcpy(&key, record, sizeof(Key));
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto at = m_records.lower_bound(key);
        if (at != m_records.end() && !m_records.key_comp()(key, at->first)) {
            at->second = *record;
            return true;
        }
        if (m_records.size() >= m_cap)
            return false;
        m_records.emplace_hint(at, key, *record);
        m_cursorValid = false;
        return true;
    }

    bool At(int n, Record* out, bool* isLast)
    {
        if (!out)
            return false;
        std::lock_guard<std::mutex> lock(m_mutex);
        if (isLast)
            *isLast = false;
        if (n < 0 || static_cast<size_t>(n) >= m_records.size())
            return false;
        const size_t index = static_cast<size_t>(n);
        if (!m_cursorValid || index < m_cursorIndex) {
            m_cursor = m_records.begin();
            m_cursorIndex = 0;
            m_cursorValid = true;
        }
        std::advance(m_cursor, index - m_cursorIndex);
        m_cursorIndex = index;
        *out = m_cursor->second;
        if (isLast)
            *isLast = index + 1 == m_records.size();
        return true;
    }

    size_t Size() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_records.size();
    }

    size_t Cap() const { return m_cap; }

private:
    const size_t m_cap;
    mutable std::mutex m_mutex;
    std::map<Key, Record, Less> m_records;
    typename std::map<Key, Record, Less>::iterator m_cursor;
    size_t m_cursorIndex = 0;
    bool m_cursorValid = false;
};

// The commodity and contract records the server pushes, kept across
// connections for the query replies to deliver. Nothing is ever removed; each
// map holds at most its cap of keys (ApiLimits, read when the cache is made),
// so that a server inventing keys cannot exhaust memory.
class QuoteDataCache
{
public:
    QuoteDataCache();

    // false for null, and for a record with a new key while its map is full.
    bool PutKeyedRecord(const QuoteKeyedRecord* record);
    bool PutCommodity(const QuoteCommodityRecord* record);
    bool PutContract(const QuoteContractRecord* record);
    bool CommodityAt(int n, QuoteCommodityRecord* out, bool* isLast);
    bool ContractAt(int n, QuoteContractRecord* out, bool* isLast);

    bool FindKeyedRecord(const std::string& key, QuoteKeyedRecord* out) const;
    size_t KeyedRecordCount() const;
    size_t CommodityCount() const { return m_commodities.Size(); }
    size_t ContractCount() const { return m_contracts.Size(); }
    size_t KeyedRecordCap() const { return m_keyedCap; }
    size_t CommodityCap() const { return m_commodities.Cap(); }
    size_t ContractCap() const { return m_contracts.Cap(); }

private:
    explicit QuoteDataCache(const ApiLimits& limits);

    const size_t m_keyedCap;
    mutable std::mutex m_keyedMutex;
    std::set<KeyedEntry, KeyedEntryLess> m_keyed;
    OrderedRecords<QuoteCommodityKey, QuoteCommodityRecord, CommodityKeyLess> m_commodities;
    OrderedRecords<QuoteContractKey, QuoteContractRecord, ContractKeyLess> m_contracts;
};
