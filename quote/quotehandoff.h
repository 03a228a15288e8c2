#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "kw.pb.ostrel2.pb.h"

// What waits between the quote API's receiving thread and the GUI thread.
//
// Quotes are not copied in: a push names the contract's slot in the quote
// store, and a batch is resolved into messages, with the latest quote of each
// of its contracts, when it is taken or sealed.
//
// Its size does not depend on how fast the server sends: per contract the
// latest quote and the latest depth of each level, the newest trades up to
// what the trade list shows, and K-line replies only to queries that are still
// outstanding. The receiving thread fills it under its own lock; when a batch
// goes from empty to non-empty the wake handler runs once (the client posts
// one queued call to the GUI thread), and the GUI thread takes the whole batch
// at once. Under a backlog the snapshots in between are overwritten, not queued.
class QuoteHandoff
{
public:
    // The newest trades kept: as many as the trade list shows.
    static constexpr std::size_t kTickerSlots = 8;
    // Depth levels 1 to 5 each keep their own latest message; any other level
    // shares one more slot.
    static constexpr std::size_t kDepthSlots = 6;
    // Contracts whose depth a batch keeps beyond the ones subscribed for depth.
    static constexpr std::size_t kOtherDepthContracts = 64;
    // K-line queries remembered while they wait for their reply; the oldest
    // is forgotten when a new one comes beyond this.
    static constexpr std::size_t kOutstandingKLines = 16;

    // Everything of one batch, in the order the GUI thread hands it on.
    class Batch
    {
    public:
        bool Empty() const;
        void Clear();

        // K-line replies first, in arrival order (their charts are then
        // updated by the quotes that follow); quotes in the order their
        // contracts first came in this batch; depth likewise per contract,
        // levels 1 to 5 and then the rest; trades oldest first.
        template <typename Q, typename D, typename T, typename K>
        void ForEach(Q&& onQuote, D&& onDepth, T&& onTicker, K&& onKLine) const
        {
            for (const auto& reply : m_klines)
                onKLine(*reply);
            for (std::size_t i = 0; i < m_quoteCount; ++i)
                onQuote(m_quotes[i]);
            for (std::size_t i = 0; i < m_depthContracts * kDepthSlots; ++i)
                if (m_depthUsed[i])
                    onDepth(m_depths[i]);
            for (const TickerRing* ring : { &m_otherTickers, &m_tickers })
                for (std::size_t i = 0; i < ring->count; ++i)
                    onTicker(ring->trades[(ring->start + i) % kTickerSlots]);
        }

    private:
        friend class QuoteHandoff;

        // Message objects are kept between batches and overwritten in place,
        // so a steady flow reuses their storage instead of allocating.
        std::vector<kw::pb::ostrel2::QuoteDetailField> m_quotes;
        std::size_t m_quoteCount = 0;
        // Slots of the quote store pushed into this batch and not yet
        // resolved into m_quotes, in the order they first came.
        std::vector<std::uint32_t> m_quoteSlots;

        // kDepthSlots consecutive slots per contract, levels 1 to 5 then the rest.
        std::vector<kw::pb::ostrel2::DepthQuoteField> m_depths;
        std::vector<char> m_depthUsed;
        std::size_t m_depthContracts = 0;
        std::size_t m_depthUsedCount = 0;

        // The newest trades, oldest first from `start`.
        struct TickerRing {
            kw::pb::ostrel2::TickerField trades[kTickerSlots];
            std::size_t start = 0;
            std::size_t count = 0;
            void Push(const kw::pb::ostrel2::TickerField& ticker);
        };
        // Trades of contracts subscribed for trades, and those of any other
        // contract apart, so that a flood of the latter cannot push the
        // former out of the list.
        TickerRing m_tickers;
        TickerRing m_otherTickers;

        std::vector<std::unique_ptr<kw::pb::ostrel2::RspReqQryHistoryField>> m_klines;
    };

    // Copies the latest quotes of the given store slots into the messages,
    // from the first on, and answers how many it copied (QuoteStore::CopyFresh).
    using ResolveQuotes = std::function<std::size_t(
        const std::vector<std::uint32_t>& numbers, std::vector<kw::pb::ostrel2::QuoteDetailField>& out)>;

    // `wake` runs on the pushing thread, outside the lock, once for each batch
    // that becomes non-empty; the owner answers it with one later Take.
    // `resolve` runs under the hand-off's lock: whatever lock it takes comes
    // after this one.
    QuoteHandoff(std::function<void()> wake, ResolveQuotes resolve);

    // Receiving thread: the quote of store slot `slot` changed.
    void PushQuote(std::uint32_t slot);
    // `subscribed`: the contract's depth was asked for; its depth always has
    // room, that of other contracts only up to kOtherDepthContracts a batch.
    void PushDepth(const kw::pb::ostrel2::DepthQuoteField& depth, bool subscribed);
    // `subscribed`: the contract's trades were asked for.
    void PushTicker(const kw::pb::ostrel2::TickerField& ticker, bool subscribed);
    // False, and nothing kept, when no outstanding query matches the reply's
    // contract and period; a match answers that query.
    bool PushKLine(const kw::pb::ostrel2::RspReqQryHistoryField& reply);

    // Any thread, before the query leaves: its reply may come at once.
    void ExpectKLine(const std::string& key, int period);

    // Items pushed from now on form a new batch, taken only after the one
    // being filled. At a loss of connection this keeps what came before the
    // loss ahead of it and what comes after a reconnect behind it. At most one
    // such sealed batch waits: an older one is dropped. True when there was
    // something to seal.
    bool Seal();
    bool HasSealed();

    // Swaps the oldest waiting batch into `out` (which should be cleared;
    // its storage is reused). False when nothing waits. `sealed` tells
    // whether it was a sealed batch: the one after it has a wake of its own,
    // which may have come first.
    bool Take(Batch& out, bool* sealed = nullptr);

    // True while a batch waits to be taken.
    bool Waiting();

    // Drops everything waiting, every outstanding query and the counts of
    // what was left out. Wakes already on their way then find nothing.
    void Clear();

    // What was left out since the previous call: K-line replies that no
    // outstanding query asked for (`klines`), or depth of contracts beyond the
    // batch's allowance.
    std::uint64_t TakeDropped(bool klines);

private:
    bool PushStarted(); // under the lock: true when the fill batch was empty
    void WakeIf(bool wasEmpty);
    void ForgetIndexes();
    void ResolveLocked(Batch& batch);

    std::function<void()> m_wake;
    ResolveQuotes m_resolve;
    std::mutex m_mutex;
    Batch m_fill;
    std::unique_ptr<Batch> m_sealed;
    // Where the fill batch keeps each contract. They stay here when the batch
    // is taken and are emptied by the next push, so their entries are freed
    // by the thread that made them.
    // Per store slot, the number of the fill batch it was last pushed into.
    std::vector<std::uint32_t> m_quoteBatchOf;
    std::uint32_t m_fillNumber = 1;
    std::unordered_map<std::string, std::size_t> m_depthIndex; // contract to its first slot
    std::size_t m_otherDepthContracts = 0;
    std::deque<std::pair<std::string, int>> m_outstanding;
    std::uint64_t m_droppedKLines = 0;
    std::uint64_t m_droppedDepths = 0;
};
