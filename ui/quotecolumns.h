#pragma once

// Columns of the quote tables. Every table has the columns up to PreClose and
// one empty column after them; the stock table puts its turnover columns
// before that empty one.
namespace QuoteColumn
{

enum : int {
    Arrow = 0,
    Number,
    Name,
    Code,
    Last,
    LastVolume,
    Bid,
    Ask,
    BidVolume,
    AskVolume,
    Volume,
    Change,
    ChangeRate,
    OpenInterest,
    Open,
    High,
    Low,
    Settle,
    FastRise,
    NowRise,
    OpenInterestChange,
    PreSettle,
    PreClose,
    // Stock table only.
    Turnover,
    TurnoverRate,
    StockEnd,

    // Columns of a table other than the stock table, the empty one included.
    Count = PreClose + 2,
    StockCount = StockEnd + 1,

    // Columns that ">>" folds and "<<" shows again.
    FirstFold = Code,
    LastFold = PreClose,
};

} // namespace QuoteColumn
