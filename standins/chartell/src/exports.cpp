#include "chartell.h"

#include "chartellview.h"

IChartell* CreateChartell()
{
    return new chartell::ChartellView();
}

void DeleteChartell(IChartell* view)
{
    delete static_cast<chartell::ChartellView*>(view);
}
