#include "quotehandoff.h"

#include <algorithm>

namespace pb = kw::pb::ostrel2;

namespace
{

std::size_t DepthSlot(std::uint32_t level)
{
    return level >= 1 && level <= 5 ? level - 1 : QuoteHandoff::kDepthSlots - 1;
}

// Overwrites slot `index` of `slots`, growing the vector only when the batch
// is the largest so far.
template <typename Message> Message& SlotAt(std::vector<Message>& slots, std::size_t index)
{
    if (index >= slots.size())
        slots.resize(index + 1);
    return slots[index];
}

} // namespace

bool QuoteHandoff::Batch::Empty() const
{
    return m_quoteCount == 0 && m_quoteSlots.empty() && m_depthUsedCount == 0 && m_tickers.count == 0
        && m_otherTickers.count == 0 && m_klines.empty();
}

void QuoteHandoff::Batch::Clear()
{
    m_quoteCount = 0;
    m_quoteSlots.clear();
    std::fill(m_depthUsed.begin(), m_depthUsed.end(), 0);
    m_depthContracts = 0;
    m_depthUsedCount = 0;
    m_tickers.start = m_tickers.count = 0;
    m_otherTickers.start = m_otherTickers.count = 0;
    m_klines.clear();
}

QuoteHandoff::QuoteHandoff(std::function<void()> wake, ResolveQuotes resolve)
    : m_wake(std::move(wake))
    , m_resolve(std::move(resolve))
{
}

bool QuoteHandoff::PushStarted()
{
    if (!m_fill.Empty())
        return false;
    ForgetIndexes();
    return true;
}

void QuoteHandoff::ForgetIndexes()
{
    // A new fill batch: every slot's mark is of an earlier one.
    if (++m_fillNumber == 0) {
        std::fill(m_quoteBatchOf.begin(), m_quoteBatchOf.end(), 0);
        m_fillNumber = 1;
    }
    m_depthIndex.clear();
    m_otherDepthContracts = 0;
}

void QuoteHandoff::WakeIf(bool wasEmpty)
{
    if (wasEmpty && m_wake)
        m_wake();
}

void QuoteHandoff::PushQuote(std::uint32_t slot)
{
    bool wasEmpty;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        wasEmpty = PushStarted();
        if (slot >= m_quoteBatchOf.size())
            m_quoteBatchOf.resize(static_cast<std::size_t>(slot) + 1, 0);
        if (m_quoteBatchOf[slot] != m_fillNumber) {
            m_quoteBatchOf[slot] = m_fillNumber;
            m_fill.m_quoteSlots.push_back(slot);
        }
    }
    WakeIf(wasEmpty);
}

void QuoteHandoff::ResolveLocked(Batch& batch)
{
    if (batch.m_quoteSlots.empty())
        return;
    batch.m_quoteCount = m_resolve ? m_resolve(batch.m_quoteSlots, batch.m_quotes) : 0;
    batch.m_quoteSlots.clear();
}

void QuoteHandoff::PushDepth(const pb::DepthQuoteField& depth, bool subscribed)
{
    bool wasEmpty;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        wasEmpty = PushStarted();
        Batch& b = m_fill;
        auto it = m_depthIndex.find(depth.contract_code());
        if (it == m_depthIndex.end()) {
            if (!subscribed && m_otherDepthContracts >= kOtherDepthContracts) {
                ++m_droppedDepths;
                return;
            }
            if (!subscribed)
                ++m_otherDepthContracts;
            it = m_depthIndex.emplace(depth.contract_code(), b.m_depthContracts * kDepthSlots).first;
            ++b.m_depthContracts;
            if (b.m_depthUsed.size() < b.m_depthContracts * kDepthSlots)
                b.m_depthUsed.resize(b.m_depthContracts * kDepthSlots, 0);
        }
        const std::size_t slot = it->second + DepthSlot(depth.level());
        SlotAt(b.m_depths, slot).CopyFrom(depth);
        if (!b.m_depthUsed[slot]) {
            b.m_depthUsed[slot] = 1;
            ++b.m_depthUsedCount;
        }
    }
    WakeIf(wasEmpty);
}

void QuoteHandoff::Batch::TickerRing::Push(const pb::TickerField& ticker)
{
    if (count < kTickerSlots) {
        trades[(start + count) % kTickerSlots].CopyFrom(ticker);
        ++count;
    } else {
        // The oldest trade falls out of the list, as it would on screen.
        trades[start].CopyFrom(ticker);
        start = (start + 1) % kTickerSlots;
    }
}

void QuoteHandoff::PushTicker(const pb::TickerField& ticker, bool subscribed)
{
    bool wasEmpty;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        wasEmpty = PushStarted();
        (subscribed ? m_fill.m_tickers : m_fill.m_otherTickers).Push(ticker);
    }
    WakeIf(wasEmpty);
}

bool QuoteHandoff::PushKLine(const pb::RspReqQryHistoryField& reply)
{
    bool wasEmpty;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto it = std::find_if(m_outstanding.begin(), m_outstanding.end(), [&](const auto& asked) {
            return asked.second == static_cast<int>(reply.period()) && asked.first == reply.contract_code();
        });
        if (it == m_outstanding.end()) {
            ++m_droppedKLines;
            return false;
        }
        m_outstanding.erase(it);
        wasEmpty = PushStarted();
        m_fill.m_klines.push_back(std::make_unique<pb::RspReqQryHistoryField>(reply));
    }
    WakeIf(wasEmpty);
    return true;
}

void QuoteHandoff::ExpectKLine(const std::string& key, int period)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_outstanding.size() >= kOutstandingKLines)
        m_outstanding.pop_front();
    m_outstanding.emplace_back(key, period);
}

bool QuoteHandoff::Seal()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_fill.Empty())
        return false;
    // Its wake is already on its way and takes it; the next push wakes again.
    if (!m_sealed)
        m_sealed = std::make_unique<Batch>();
    std::swap(*m_sealed, m_fill);
    // Now, while the store still holds this connection's quotes.
    ResolveLocked(*m_sealed);
    m_fill.Clear();
    return true;
}

bool QuoteHandoff::HasSealed()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_sealed != nullptr;
}

bool QuoteHandoff::Take(Batch& out, bool* sealed)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (sealed)
        *sealed = m_sealed != nullptr;
    if (m_sealed) {
        std::swap(*m_sealed, out);
        m_sealed.reset();
        return true;
    }
    if (m_fill.Empty())
        return false;
    std::swap(m_fill, out);
    m_fill.Clear();
    ResolveLocked(out);
    return true;
}

bool QuoteHandoff::Waiting()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_sealed || !m_fill.Empty();
}

void QuoteHandoff::Clear()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_fill.Clear();
    ForgetIndexes();
    m_sealed.reset();
    m_outstanding.clear();
    m_droppedKLines = 0;
    m_droppedDepths = 0;
}

std::uint64_t QuoteHandoff::TakeDropped(bool klines)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return std::exchange(klines ? m_droppedKLines : m_droppedDepths, 0);
}
