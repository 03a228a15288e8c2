#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <string>

#include "kw.pb.ostrel2.pb.h"

// Bounds on the texts that a quote server sends, applied where a message
// enters the client, before anything keeps or shows it: a code longer than
// any real one refuses its record (a cut code would name another contract),
// a name is cut to what the board can show, any other text is cut, and
// fields the schema does not define are dropped. Each kind of excess of each
// kind of message is logged once a connection, with its counts.
class QuoteTextBounds
{
public:
    // Commodity, contract and exchange numbers.
    static constexpr std::size_t kMaxCodeBytes = 48;
    // A contract key: a type name, two codes and the separators between them.
    static constexpr std::size_t kMaxKeyBytes = 2 * kMaxCodeBytes + 8;
    // Commodity and exchange names, cut on a UTF-8 character boundary.
    static constexpr std::size_t kMaxNameBytes = 64;
    // Any other text field.
    static constexpr std::size_t kMaxTextBytes = 256;

    // Whether the client's log budget has a line of `level` now.
    using LogGate = std::function<bool(int level)>;
    explicit QuoteTextBounds(LogGate gate);

    // The message to go on with: `in` itself when it is within bounds, else
    // a bounded copy that lives in storage of the calling thread until its
    // next call for the same type; null for a null message and for one whose
    // own code is too long. Any thread.
    const kw::pb::ostrel2::QuoteDetailField* Enter(const kw::pb::ostrel2::QuoteDetailField* in);
    const kw::pb::ostrel2::DepthQuoteField* Enter(const kw::pb::ostrel2::DepthQuoteField* in);
    const kw::pb::ostrel2::TickerField* Enter(const kw::pb::ostrel2::TickerField* in);
    const kw::pb::ostrel2::RspReqQryHistoryField* Enter(const kw::pb::ostrel2::RspReqQryHistoryField* in);
    // The list keeps its other commodities when one is refused, and a
    // commodity keeps its other contracts when one contract is.
    const kw::pb::ostrel2::RspQryCommodityDetailField* Enter(
        const kw::pb::ostrel2::RspQryCommodityDetailField* in);

    // Each kind of excess may be logged once more (a new connection).
    void Rearm();

    // `text` cut to at most `limit` bytes, not inside a UTF-8 sequence.
    static std::string CutAtCharacter(const std::string& text, std::size_t limit);

    struct Excess {
        std::size_t count = 0;
        std::string field; // full name of the first field met
        std::size_t bytes = 0; // its size
        std::size_t limit = 0; // and its bound
    };
    struct Findings {
        Excess refused, names, texts;
    };

private:
    enum class Source { Quote, Depth, Ticker, KLine, List };
    static constexpr std::size_t kSources = 5;
    template <typename Message> const Message* Bound(const Message* in, Source source, bool quick);
    void Report(Source source, const Findings& findings);

    LogGate m_gate;
    // Per kind of message, whether each kind of excess was logged.
    std::atomic<bool> m_logged[kSources][3] {};
};
