#pragma once

// How the quote board presents its figures: the colours, the number texts and
// the rules that pick a colour or an arrow for a figure. Tables, detail panel,
// depth, trades and status bar all read them from here, so the board shows one
// figure the same way wherever it stands.

#include <chrono>

#include <QColor>
#include <QString>

namespace BoardStyle
{

// Two prices that agree to this many decimals are equal on the board.
constexpr unsigned kDecimals = 10;
// How often the table on screen is rewritten from the latest quotes.
constexpr std::chrono::milliseconds kRefreshInterval { 500 };

// Colours of the board.
extern const QColor kRed; // at or above the previous settlement price
extern const QColor kGreen; // below it
extern const QColor kYellow; // neutral figures and texts
extern const QColor kHeader; // table header texts
extern const QColor kIndexUp; // status-bar index label, at or above
extern const QColor kIndexDown; // status-bar index label, below
extern const QColor kIndexNone; // status-bar index label without a quote: neither

// The same colours as the style sheets of the detail panel's labels...
extern const QString kDetailNeutral;
extern const QString kDetailDown;
extern const QString kDetailUp;
// ...of which the last price adds a font of its own...
extern const QString kLastPriceFont;
// ...and of the depth levels 2 to 5, written without the closing semicolon.
extern const QString kDepthNeutral;
extern const QString kDepthDown;
extern const QString kDepthUp;

// Number texts. Each fits a column whatever the server sends: a fixed-notation
// figure of 1e12 or more is written as a price is, and what is not a finite
// number (NaN, infinity) reads "--".
// A price: 'g' with 6 significant digits.
QString Price(double v);
// A volume or open interest: 'f' without decimals.
QString Amount(double v);
// The ask volume as a table rebuild writes it: 'f' with 2 decimals.
QString AmountWithCents(double v);
// A change rate in per cent: 'f' with 2 decimals, then "%".
QString ChangeRateText(double rate);
// An index-label figure: 'f' with 3 decimals.
QString IndexFigure(double v);

// (last - reference) / reference in per cent; 0 when the reference is zero.
double ChangeRate(double last, double reference);

// The price-colour rule: at or above the reference within kDecimals (red), or
// below it (green).
bool AtOrAbove(double v, double reference);
// The colour of a change and its rate: a plain sign test, without tolerance.
bool ChangeUp(double change);

// The arrow beside a last price: up at or above the reference, down below it,
// none while there is no trade yet.
enum class Arrow { None, Up, Down };
Arrow ArrowOf(double last, double reference);

} // namespace BoardStyle
