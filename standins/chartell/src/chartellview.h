#pragma once

#include <QPointer>

#include "chartcanvas.h"
#include "chartell.h"
#include "chartmodel.h"

namespace chartell
{

class ChartellView final : public IChartell
{
public:
    ChartellView() = default;
    ChartellView(const ChartellView&) = delete;
    ChartellView& operator=(const ChartellView&) = delete;
    ~ChartellView();

    const char* GetVersion() const override;
    int AttachWindow(std::uintptr_t nativeWindowId) override;
    void Release() override;
    void ShowKlines(const kw::pb::ostrel2::CommodityField& commodity, const std::string& contractCode,
        const kw::pb::ostrel2::QuoteDetailField& quote, int period,
        const std::vector<kw::pb::ostrel2::KlineDataField>& bars) override;
    void UpdateQuote(const kw::pb::ostrel2::QuoteDetailField& quote) override;

    const ChartModel& Model() const { return m_model; }
    // The widget drawn inside the host; null before AttachWindow, after
    // Release, or once the host has been destroyed.
    ChartCanvas* Canvas() const { return m_canvas.data(); }

private:
    ChartModel m_model;
    // The host may be destroyed before Release: both pointers clear themselves.
    QPointer<ChartCanvas> m_canvas;
};

} // namespace chartell
