#include "chartmodel.h"

#include <algorithm>
#include <cmath>

namespace chartell
{

namespace
{

    bool Finite(double v)
    {
        return std::isfinite(v);
    }

} // namespace

void ChartModel::Show(const kw::pb::ostrel2::CommodityField& commodity, const std::string& contractCode,
    const kw::pb::ostrel2::QuoteDetailField& quote, int period,
    const std::vector<kw::pb::ostrel2::KlineDataField>& lines)
{
    m_contract = contractCode;
    m_name = QString::fromStdString(commodity.commodity_name());
    m_period = period;
    m_decimals = static_cast<int>(std::min<std::uint32_t>(commodity.dot_size(), 8));
    m_reference = Finite(quote.pre_settle()) ? quote.pre_settle() : 0.0;
    m_haveDayVolume = Finite(quote.volume()) && quote.volume() > 0;
    m_dayVolume = m_haveDayVolume ? quote.volume() : 0.0;

    m_bars.clear();
    m_bars.reserve(lines.size());
    for (const auto& line : lines) {
        if (!Finite(line.open()) || !Finite(line.high()) || !Finite(line.low()) || !Finite(line.close()))
            continue;
        Bar bar;
        bar.time = line.time_flag();
        bar.open = line.open();
        bar.close = line.close();
        // A bar whose high and low do not enclose its open and close would
        // draw a body outside its wick.
        bar.high = std::max({ line.high(), line.open(), line.close(), line.low() });
        bar.low = std::min({ line.low(), line.open(), line.close(), line.high() });
        bar.volume = Finite(line.volume()) && line.volume() > 0 ? line.volume() : 0.0;
        m_bars.push_back(bar);
    }
}

bool ChartModel::ApplyQuote(const kw::pb::ostrel2::QuoteDetailField& quote)
{
    if (m_bars.empty() || quote.contract_code() != m_contract)
        return false;
    const double last = quote.last();
    // A zero last price is a contract that has not traded yet.
    if (!Finite(last) || last == 0.0)
        return false;

    Bar& bar = m_bars.back();
    bar.close = last;
    bar.high = std::max(bar.high, last);
    bar.low = std::min(bar.low, last);

    const double dayVolume = quote.volume();
    if (Finite(dayVolume) && dayVolume >= 0) {
        if (m_haveDayVolume && dayVolume > m_dayVolume)
            bar.volume += dayVolume - m_dayVolume;
        // A smaller total is a new trading day: it only becomes the new base.
        m_dayVolume = dayVolume;
        m_haveDayVolume = true;
    }
    if (Finite(quote.pre_settle()) && quote.pre_settle() != 0.0)
        m_reference = quote.pre_settle();
    return true;
}

void ChartModel::Clear()
{
    m_bars.clear();
    m_contract.clear();
    m_name.clear();
    m_period = 0;
    m_reference = 0;
    m_dayVolume = 0;
    m_haveDayVolume = false;
}

QString ChartModel::PeriodName(int period)
{
    switch (period) {
    case 0:
        return QStringLiteral("分时");
    case 1:
        return QStringLiteral("1分钟");
    case 2:
        return QStringLiteral("5分钟");
    case 3:
        return QStringLiteral("15分钟");
    case 4:
        return QStringLiteral("30分钟");
    case 5:
        return QStringLiteral("1小时");
    case 6:
        return QStringLiteral("2小时");
    case 7:
        return QStringLiteral("4小时");
    case 8:
        return QStringLiteral("12小时");
    case 9:
        return QStringLiteral("日线");
    default:
        return QStringLiteral("周期%1").arg(period);
    }
}

QString ChartModel::Title() const
{
    if (m_contract.empty())
        return QString();
    return m_name + QLatin1Char(' ') + QString::fromStdString(m_contract) + QLatin1Char(' ')
        + PeriodName(m_period);
}

ChartGeometry ChartGeometry::Compute(const QSize& size, const ChartModel& model)
{
    ChartGeometry g;
    const int plotWidth = std::max(1, size.width() - kAxisWidth);
    const int below = std::max(0, size.height() - kTitleHeight - kTimeAxisHeight - kPaneGap);
    const int volumeHeight = below / 5;
    const int priceHeight = std::max(1, below - volumeHeight);
    g.pricePane = QRect(0, kTitleHeight, plotWidth, priceHeight);
    g.volumePane = QRect(0, kTitleHeight + priceHeight + kPaneGap, plotWidth, std::max(1, volumeHeight));

    const auto& bars = model.Bars();
    const int total = static_cast<int>(bars.size());
    if (model.Period() == 0) {
        // The time-sharing line spreads over the whole width, one pixel a
        // point at the least.
        g.count = std::min(total, plotWidth);
        g.step = g.count > 0 ? static_cast<double>(plotWidth) / g.count : 1.0;
    } else {
        g.step = kCandleStep;
        g.count = std::min(total, std::max(1, static_cast<int>(plotWidth / kCandleStep)));
    }
    g.first = total - g.count;

    double low = 0, high = 0, volume = 0;
    bool any = false;
    for (int i = g.first; i < total; ++i) {
        const Bar& b = bars[static_cast<size_t>(i)];
        const double barLow = model.Period() == 0 ? b.close : b.low;
        const double barHigh = model.Period() == 0 ? b.close : b.high;
        low = any ? std::min(low, barLow) : barLow;
        high = any ? std::max(high, barHigh) : barHigh;
        volume = std::max(volume, b.volume);
        any = true;
    }
    if (model.Period() == 0 && model.Reference() != 0.0 && any) {
        // Keep the base line in view, centred as the time-sharing view is read.
        const double span = std::max(std::abs(high - model.Reference()), std::abs(model.Reference() - low));
        low = model.Reference() - span;
        high = model.Reference() + span;
    }
    if (!any) {
        low = 0;
        high = 1;
    }
    if (!(high > low)) {
        const double pad = std::abs(high) > 0 ? std::abs(high) * 0.01 : 1.0;
        low -= pad;
        high += pad;
    }
    const double margin = (high - low) * 0.05;
    g.priceLow = low - margin;
    g.priceHigh = high + margin;
    // Finite inputs can still overflow to infinity in the subtraction above.
    if (!Finite(g.priceHigh - g.priceLow)) {
        g.priceLow = low;
        g.priceHigh = high;
    }
    g.volumeHigh = volume > 0 ? volume : 1.0;
    return g;
}

double ChartGeometry::XOf(int index) const
{
    return pricePane.left() + (index - first + 0.5) * step;
}

double ChartGeometry::YOfPrice(double price) const
{
    const double span = priceHigh - priceLow;
    if (!(span > 0) || !Finite(span))
        return pricePane.top() + pricePane.height() / 2.0;
    return pricePane.top() + (priceHigh - price) / span * pricePane.height();
}

double ChartGeometry::YOfVolume(double volume) const
{
    return volumePane.top() + volumePane.height() * (1.0 - std::clamp(volume / volumeHigh, 0.0, 1.0));
}

double ChartGeometry::PriceAtY(double y) const
{
    return priceHigh - (y - pricePane.top()) / pricePane.height() * (priceHigh - priceLow);
}

} // namespace chartell
