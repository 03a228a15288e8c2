#include "boardstyle.h"

#include <cmath>

#include <QLatin1Char>

#include "helpers.h"

namespace BoardStyle
{

const QColor kRed(255, 60, 60);
const QColor kGreen(0, 220, 0);
const QColor kYellow(220, 220, 10);
const QColor kHeader(0, 220, 220);
const QColor kIndexUp(220, 0, 0);
const QColor kIndexDown(0, 120, 0);
const QColor kIndexNone(128, 128, 128);

const QString kDetailNeutral = QStringLiteral("color: rgb(220, 220, 10);");
const QString kDetailDown = QStringLiteral("color: rgb(0, 220, 0);");
const QString kDetailUp = QStringLiteral("color: rgb( 255,60, 60);");
const QString kLastPriceFont = QStringLiteral("font: 11pt \"宋体\";");
const QString kDepthNeutral = QStringLiteral("color: rgb(220, 220, 10)");
const QString kDepthDown = QStringLiteral("color: rgb(0, 220, 0)");
const QString kDepthUp = QStringLiteral("color: rgb( 255,60, 60)");

namespace
{

    // Below this a last price counts as "no trade yet" and gets no arrow.
    constexpr double kNoPrice = 0.000001;

    // A whole number below `limit`, which the formats below print as plain
    // digits: printed as an integer, the same text comes several times faster.
    // Negative zero prints as "-0" and takes the general way.
    bool PlainWhole(double v, double limit)
    {
        return std::fabs(v) < limit && v == std::trunc(v) && !(v == 0 && std::signbit(v));
    }

    // Fixed notation up to this size; a figure as large prints in 'g' 6.
    constexpr double kFixedLimit = 1e12;

    const QString kNotANumber = QStringLiteral("--");

    // A figure in fixed notation with `decimals`, kept to a width that a column
    // can show: beyond kFixedLimit its exponent form, and "--" for what is not a
    // finite number.
    QString Fixed(double v, int decimals)
    {
        if (!std::isfinite(v))
            return kNotANumber;
        if (std::fabs(v) >= kFixedLimit)
            return QString::number(v, 'g', 6);
        return QString::number(v, 'f', decimals);
    }

} // namespace

QString Price(double v)
{
    if (PlainWhole(v, 1e6))
        return QString::number(static_cast<qlonglong>(v));
    if (!std::isfinite(v))
        return kNotANumber;
    return QString::number(v, 'g', 6);
}

QString Amount(double v)
{
    if (PlainWhole(v, kFixedLimit))
        return QString::number(static_cast<qlonglong>(v));
    return Fixed(v, 0);
}

QString AmountWithCents(double v)
{
    return Fixed(v, 2);
}

QString ChangeRateText(double rate)
{
    if (!std::isfinite(rate))
        return kNotANumber;
    return Fixed(rate, 2) + QLatin1Char('%');
}

QString IndexFigure(double v)
{
    return Fixed(v, 3);
}

double ChangeRate(double last, double reference)
{
    if (IsZero(reference, kDecimals))
        return 0.0;
    return (last - reference) / reference * 100;
}

bool AtOrAbove(double v, double reference)
{
    return IsGreaterOrEqual(v, reference, kDecimals);
}

bool ChangeUp(double change)
{
    return change >= 0.0;
}

Arrow ArrowOf(double last, double reference)
{
    if (last > kNoPrice && IsGreaterOrEqual(last, reference, kDecimals))
        return Arrow::Up;
    if (last > kNoPrice && IsLess(last, reference, kDecimals))
        return Arrow::Down;
    return Arrow::None;
}

} // namespace BoardStyle
