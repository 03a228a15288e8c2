#pragma once

// The chart view: draws K-line bars of one contract inside a host widget of
// the calling program and keeps the newest bar moving with live quotes.
// Every operation must be called on the host program's GUI thread.

#include <cstdint>
#include <string>
#include <vector>

#include "kw.pb.ostrel2.pb.h"

#if defined(CHARTELL_BUILD)
#define CHARTELL_API __attribute__((visibility("default")))
#else
#define CHARTELL_API
#endif

class IChartell
{
public:
    // Version text of the chart view, in static storage.
    virtual const char* GetVersion() const = 0;

    // Finds the widget behind the native window id in this process and draws
    // inside it, filling it and following its size. Returns 0, or -1 when no
    // widget of this process has that id. A second call moves the view.
    virtual int AttachWindow(std::uintptr_t nativeWindowId) = 0;

    // Removes the view from its host (if the host still exists) and drops the
    // bars. The object stays valid until DeleteChartell.
    virtual void Release() = 0;

    // Shows these bars of one contract and period. `commodity` names it and
    // gives the price decimals (dot_size); `quote` is the newest quote known
    // for the contract (a default one when none is known). Period 0 is drawn
    // as a line of closes, every other period as candlesticks. Bars with a
    // price that is not a finite number are left out.
    virtual void ShowKlines(const kw::pb::ostrel2::CommodityField& commodity, const std::string& contractCode,
        const kw::pb::ostrel2::QuoteDetailField& quote, int period,
        const std::vector<kw::pb::ostrel2::KlineDataField>& bars)
        = 0;

    // Moves the newest bar (close, high, low, volume) when the quote is for
    // the contract on screen; any other quote is ignored. Repaints are
    // coalesced to about 30 a second however fast quotes arrive.
    virtual void UpdateQuote(const kw::pb::ostrel2::QuoteDetailField& quote) = 0;

protected:
    ~IChartell() = default;
};

// A new chart view, not yet attached; release it with DeleteChartell.
CHARTELL_API IChartell* CreateChartell();

// Destroys a view made by CreateChartell; null is allowed.
CHARTELL_API void DeleteChartell(IChartell* view);
