#include "chartellview.h"

#include <QWidget>

namespace chartell
{

ChartellView::~ChartellView()
{
    // The canvas reads the model: it must not outlive it.
    delete m_canvas.data();
}

const char* ChartellView::GetVersion() const
{
    return "1.0.0";
}

int ChartellView::AttachWindow(std::uintptr_t nativeWindowId)
{
    QWidget* host = QWidget::find(static_cast<WId>(nativeWindowId));
    if (host == nullptr)
        return -1;
    delete m_canvas.data();
    m_canvas = new ChartCanvas(&m_model, host);
    m_canvas->show();
    return 0;
}

void ChartellView::Release()
{
    delete m_canvas.data();
    m_model.Clear();
}

void ChartellView::ShowKlines(const kw::pb::ostrel2::CommodityField& commodity,
    const std::string& contractCode, const kw::pb::ostrel2::QuoteDetailField& quote, int period,
    const std::vector<kw::pb::ostrel2::KlineDataField>& bars)
{
    m_model.Show(commodity, contractCode, quote, period, bars);
    if (m_canvas)
        m_canvas->update();
}

void ChartellView::UpdateQuote(const kw::pb::ostrel2::QuoteDetailField& quote)
{
    if (m_model.ApplyQuote(quote) && m_canvas)
        m_canvas->ScheduleRepaint();
}

} // namespace chartell
