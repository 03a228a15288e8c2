#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "kw.pb.ostrel2.pb.h"

// The latest quote of every contract, and what this connection subscribed.
//
// Each contract has one slot: whether it is subscribed (snapshot mode, and a
// bit per streamed mode), its cached quote, and a number that the hand-off to
// the GUI thread uses instead of the contract's code, so that a quote finds
// everything it needs with one look-up of its code. Slots are numbered from 0
// and stay with their contract until Clear, after which the numbers are given
// out again; the cache keeps quotes of subscribed contracts only, so a server
// pushing ever-new codes cannot grow it.
//
// Two locks. Mutex() is the cache's lock: the window's reads (GetQuote) take
// it alone, and every change is made under it. The hand-off's reads
// (CopyFresh) take a second lock of their own, which every change also takes,
// inside the first; so the GUI thread can take a batch while the cache's lock
// is held, by the window's reads or by anyone.
//
// Everything named ...Locked wants Mutex() held by the caller.
class QuoteStore
{
public:
    using Quote = kw::pb::ostrel2::QuoteDetailField;
    static constexpr std::uint32_t kNoSlot = std::numeric_limits<std::uint32_t>::max();

    std::mutex& Mutex() { return m_mutex; }

    // Receiving thread: replaces the contract's cached quote with a copy of
    // `quote` and answers its slot, or kNoSlot (nothing kept) when the
    // contract is not subscribed.
    std::uint32_t StoreLocked(const Quote& quote);

    // Copy of the cached quote of `key`; false (and `*out` left as it was)
    // while none is cached.
    bool ReadLocked(const std::string& key, Quote* out) const;

    // Takes the hand-off's lock once: copies the quotes of `numbers` that were stored
    // since they were last copied here into out[0], out[1], ... (growing
    // `out` only when it is too short) and answers how many. A slot stored
    // again after its number went into a batch is thus handed on once, with
    // its latest quote.
    std::size_t CopyFresh(const std::vector<std::uint32_t>& numbers, std::vector<Quote>& out);

    // The snapshot subscription of a new connection: exactly these keys.
    // Streamed modes and cached quotes stay.
    template <typename Keys> void ReplaceSnapshotLocked(const Keys& keys)
    {
        std::lock_guard<std::mutex> copying(m_copyMutex);
        for (Slot& slot : m_slots)
            slot.snapshot = false;
        for (const std::string& key : keys)
            SlotOfLocked(key).snapshot = true;
    }
    void AddSnapshotLocked(const std::string& key);

    // Depth and trade subscriptions, a bit per mode. Ending the last
    // subscription of a contract that is not in the snapshot list drops its
    // cached quote.
    void StreamLocked(const std::string& key, int mode);
    void UnStreamLocked(const std::string& key, int mode);
    bool IsStreamedLocked(const std::string& key, int mode) const;
    void ClearStreamsLocked();

    // Forgets every contract: quotes, subscriptions and slot numbers.
    void ClearLocked();
    // The same, but the depth and trade subscriptions stay, for a new
    // connection to renew; they are listed, key and mode bits, by StreamsLocked.
    void ClearKeepingStreamsLocked();
    std::vector<std::pair<std::string, unsigned>> StreamsLocked() const;

    // Adds keys to the snapshot subscription, as a commodity reply listing
    // them would (the quote API's test programs have no server to ask).
    class SnapshotKeys
    {
    public:
        explicit SnapshotKeys(QuoteStore& store)
            : m_store(store)
        {
        }
        void insert(const std::string& key) { m_store.AddSnapshotLocked(key); }

    private:
        QuoteStore& m_store;
    };

private:
    struct Slot {
        bool snapshot = false;
        unsigned streams = 0; // a bit per mode
        bool cached = false;
        // Stored since CopyFresh last copied it.
        bool fresh = false;
        Quote quote;
    };

    Slot& SlotOfLocked(const std::string& key);

    std::mutex m_mutex;
    // Guards the slots against CopyFresh; taken inside m_mutex by every change.
    std::mutex m_copyMutex;
    std::unordered_map<std::string, std::uint32_t> m_index;
    std::vector<Slot> m_slots;
};
