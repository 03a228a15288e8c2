#include "quotestore.h"

std::uint32_t QuoteStore::Store(const Quote& quote, bool* firstStray)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = m_index.find(quote.contract_code());
    if (it == m_index.end() || (!m_slots[it->second].snapshot && m_slots[it->second].streams == 0)) {
        *firstStray = !m_strayLogged;
        m_strayLogged = true;
        return kNoSlot;
    }
    Slot& slot = m_slots[it->second];
    std::lock_guard<std::mutex> copying(m_copyMutex);
    // CopyFrom clears first: a field the new quote leaves empty reads empty.
    slot.quote.CopyFrom(quote);
    slot.cached = true;
    slot.fresh = true;
    return it->second;
}

bool QuoteStore::Read(const std::string& key, Quote* out)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = m_index.find(key);
    if (it == m_index.end())
        return false;
    const Slot& slot = m_slots[it->second];
    if (!slot.cached)
        return false;
    out->CopyFrom(slot.quote);
    return true;
}

std::size_t QuoteStore::CopyFresh(const std::vector<std::uint32_t>& numbers, std::vector<Quote>& out)
{
    std::lock_guard<std::mutex> lock(m_copyMutex);
    std::size_t count = 0;
    for (const std::uint32_t number : numbers) {
        // A number from before a Clear may be beyond the numbers or name another contract now.
        if (number >= m_slots.size())
            continue;
        Slot& slot = m_slots[number];
        if (!slot.fresh)
            continue;
        slot.fresh = false;
        if (count == out.size())
            out.emplace_back();
        out[count++].CopyFrom(slot.quote);
    }
    return count;
}

// Wants both locks: it may grow the slots.
QuoteStore::Slot& QuoteStore::SlotOfLocked(const std::string& key)
{
    const auto [it, added] = m_index.try_emplace(key, static_cast<std::uint32_t>(m_slots.size()));
    if (added)
        m_slots.emplace_back();
    return m_slots[it->second];
}

void QuoteStore::Subscribe(const std::string& key)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::lock_guard<std::mutex> copying(m_copyMutex);
    SlotOfLocked(key).snapshot = true;
}

void QuoteStore::Stream(const std::string& key, int mode)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::lock_guard<std::mutex> copying(m_copyMutex);
    SlotOfLocked(key).streams |= 1u << mode;
}

void QuoteStore::UnStream(const std::string& key, int mode)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = m_index.find(key);
    if (it == m_index.end())
        return;
    Slot& slot = m_slots[it->second];
    const unsigned bit = 1u << mode;
    if ((slot.streams & bit) == 0)
        return;
    std::lock_guard<std::mutex> copying(m_copyMutex);
    slot.streams &= ~bit;
    // The slot keeps its number: the hand-off may still hold it.
    if (slot.streams == 0 && !slot.snapshot) {
        slot.cached = false;
        slot.fresh = false;
        slot.quote.Clear();
    }
}

bool QuoteStore::IsStreamed(const std::string& key, int mode)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = m_index.find(key);
    return it != m_index.end() && (m_slots[it->second].streams & (1u << mode)) != 0;
}

void QuoteStore::ClearStreams()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::lock_guard<std::mutex> copying(m_copyMutex);
    for (Slot& slot : m_slots)
        slot.streams = 0;
}

void QuoteStore::Clear()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    ClearLocked();
    m_strayLogged = false;
}

void QuoteStore::ClearLocked()
{
    std::lock_guard<std::mutex> copying(m_copyMutex);
    m_index.clear();
    m_slots.clear();
}

std::vector<std::pair<std::string, unsigned>> QuoteStore::StreamsLocked() const
{
    std::vector<std::pair<std::string, unsigned>> streams;
    for (const auto& [key, number] : m_index) {
        if (m_slots[number].streams != 0)
            streams.emplace_back(key, m_slots[number].streams);
    }
    return streams;
}

std::vector<std::pair<std::string, unsigned>> QuoteStore::Streams()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return StreamsLocked();
}

void QuoteStore::ClearKeepingStreams()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const std::vector<std::pair<std::string, unsigned>> streams = StreamsLocked();
    ClearLocked();
    std::lock_guard<std::mutex> copying(m_copyMutex);
    for (const auto& [key, modes] : streams)
        SlotOfLocked(key).streams = modes;
}
