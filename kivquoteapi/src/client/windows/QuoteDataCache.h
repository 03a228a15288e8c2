#pragma once

#include <cstddef>
#include <cstring>
#include <iterator>
#include <map>
#include <mutex>
#include <string>

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

// Records in key order, read back by position. Remembers the position of the
// last read so that walking n = 0, 1, 2... costs one step per read.
template <typename Key, typename Record, typename Less> class OrderedRecords
{
public:
    bool Put(const Record* record)
    {
        if (!record)
            return false;
        Key key;
        std::memcpy(&key, record, sizeof(Key));
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto result = m_records.insert_or_assign(key, *record);
        if (result.second)
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

private:
    mutable std::mutex m_mutex;
    std::map<Key, Record, Less> m_records;
    typename std::map<Key, Record, Less>::iterator m_cursor;
    size_t m_cursorIndex = 0;
    bool m_cursorValid = false;
};

// The commodity and contract records the server pushes, kept across
// connections for the query replies to deliver. Nothing is ever removed.
class QuoteDataCache
{
public:
    bool PutKeyedRecord(const QuoteKeyedRecord* record);
    bool PutCommodity(const QuoteCommodityRecord* record);
    bool PutContract(const QuoteContractRecord* record);
    bool CommodityAt(int n, QuoteCommodityRecord* out, bool* isLast);
    bool ContractAt(int n, QuoteContractRecord* out, bool* isLast);

    bool FindKeyedRecord(const std::string& key, QuoteKeyedRecord* out) const;
    size_t KeyedRecordCount() const;
    size_t CommodityCount() const { return m_commodities.Size(); }
    size_t ContractCount() const { return m_contracts.Size(); }

private:
    mutable std::mutex m_keyedMutex;
    std::map<std::string, QuoteKeyedRecord> m_keyed;
    OrderedRecords<QuoteCommodityKey, QuoteCommodityRecord, CommodityKeyLess> m_commodities;
    OrderedRecords<QuoteContractKey, QuoteContractRecord, ContractKeyLess> m_contracts;
};
