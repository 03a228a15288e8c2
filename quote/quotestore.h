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
// Two locks. Mutex() is the cache's lock: the window's reads (Read) take
// it alone, and every change is made under it. The hand-off's reads
// (CopyFresh) take a second lock of their own, which every change also takes,
// inside the first; so the GUI thread can take a batch while the cache's lock
// is held, by the window's reads or by anyone.
class QuoteStore
{
public:
    using Quote = kw::pb::ostrel2::QuoteDetailField;
    static constexpr std::uint32_t kNoSlot = std::numeric_limits<std::uint32_t>::max();

    std::mutex& Mutex() { return m_mutex; }

    // Receiving thread: replaces the contract's cached quote with a copy of
    // `quote` and answers its slot, or kNoSlot (nothing kept) when the
    // contract is not subscribed; `*firstStray` then tells whether it is the
    // first such quote since the snapshot subscription was last replaced.
    std::uint32_t Store(const Quote& quote, bool* firstStray);

    // Copy of the cached quote of `key`; false (and `*out` left as it was)
    // while none is cached.
    bool Read(const std::string& key, Quote* out);

    // Takes the hand-off's lock once: copies the quotes of `numbers` that were stored
    // since they were last copied here into out[0], out[1], ... (growing
    // `out` only when it is too short) and answers how many. A slot stored
    // again after its number went into a batch is thus handed on once, with
    // its latest quote.
    std::size_t CopyFresh(const std::vector<std::uint32_t>& numbers, std::vector<Quote>& out);

    // The snapshot subscription of a new connection: exactly these keys.
    // Streamed modes and cached quotes stay.
    template <typename Keys> void ReplaceSnapshot(const Keys& keys)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::lock_guard<std::mutex> copying(m_copyMutex);
        for (Slot& slot : m_slots)
            slot.snapshot = false;
        for (const std::string& key : keys)
            SlotOfLocked(key).snapshot = true;
        m_strayLogged = false;
    }
    // Adds a key to the snapshot subscription, as a commodity reply listing
    // it would (the quote API's test programs have no server to ask).
    void Subscribe(const std::string& key);

    // Depth and trade subscriptions, a bit per mode. Ending the last
    // subscription of a contract that is not in the snapshot list drops its
    // cached quote.
    void Stream(const std::string& key, int mode);
    void UnStream(const std::string& key, int mode);
    bool IsStreamed(const std::string& key, int mode);
    void ClearStreams();

    // Forgets every contract: quotes, subscriptions and slot numbers.
    void Clear();
    // The same, but the depth and trade subscriptions stay, for a new
    // connection to renew; they are listed, key and mode bits, by Streams.
    void ClearKeepingStreams();
    std::vector<std::pair<std::string, unsigned>> Streams();

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
    void ClearLocked();
    std::vector<std::pair<std::string, unsigned>> StreamsLocked() const;

    std::mutex m_mutex;
    // Guards the slots against CopyFresh; taken inside m_mutex by every change.
    std::mutex m_copyMutex;
    std::unordered_map<std::string, std::uint32_t> m_index;
    std::vector<Slot> m_slots;
    bool m_strayLogged = false;
};
