#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <QRect>
#include <QString>

#include "kw.pb.ostrel2.pb.h"

namespace chartell
{

struct Bar {
    std::uint64_t time = 0; // milliseconds since 1970
    double open = 0;
    double high = 0;
    double low = 0;
    double close = 0;
    double volume = 0;
};

// What the view shows, kept apart from drawing so that it can be checked
// without a screen.
class ChartModel
{
public:
    void Show(const kw::pb::ostrel2::CommodityField& commodity, const std::string& contractCode,
        const kw::pb::ostrel2::QuoteDetailField& quote, int period,
        const std::vector<kw::pb::ostrel2::KlineDataField>& lines);

    // True when the quote moved the newest bar.
    bool ApplyQuote(const kw::pb::ostrel2::QuoteDetailField& quote);

    void Clear();

    const std::vector<Bar>& Bars() const { return m_bars; }
    const std::string& Contract() const { return m_contract; }
    int Period() const { return m_period; }
    int Decimals() const { return m_decimals; }
    double Reference() const { return m_reference; }
    QString Title() const;

    static QString PeriodName(int period);

private:
    std::vector<Bar> m_bars;
    std::string m_contract;
    QString m_name;
    int m_period = 0;
    int m_decimals = 2;
    double m_reference = 0; // previous settlement: the base line of the time-sharing view
    double m_dayVolume = 0; // cumulative volume of the last quote, to turn totals into increments
    bool m_haveDayVolume = false;
};

// Where bars land on a canvas of a given size. The newest bars are kept in
// view; older ones scroll off the left edge.
class ChartGeometry
{
public:
    static constexpr int kTitleHeight = 24;
    static constexpr int kAxisWidth = 72;
    static constexpr int kTimeAxisHeight = 20;
    static constexpr int kPaneGap = 6;
    static constexpr double kCandleStep = 8.0;

    static ChartGeometry Compute(const QSize& size, const ChartModel& model);

    double XOf(int index) const; // centre of bar `index` (index into the model's bars)
    double YOfPrice(double price) const;
    double YOfVolume(double volume) const;
    double PriceAtY(double y) const;

    QRect pricePane;
    QRect volumePane;
    int first = 0; // first visible bar
    int count = 0; // visible bars
    double step = kCandleStep;
    double priceLow = 0;
    double priceHigh = 1;
    double volumeHigh = 1;
};

} // namespace chartell
