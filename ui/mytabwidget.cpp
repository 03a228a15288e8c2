#include "mytabwidget.h"

#include <QWheelEvent>

namespace
{

// Shared by the tab bar and the tab widget: accepting the event keeps it
// from reaching the parent, and not calling the base keeps the tab as it is.
void SwallowWheel(QWheelEvent* event)
{
    if (event)
        event->accept();
}

} // namespace

MyTabBar::MyTabBar(QWidget* parent)
    : QTabBar(parent)
{
}

MyTabBar::~MyTabBar() = default;

void MyTabBar::wheelEvent(QWheelEvent* event)
{
    SwallowWheel(event);
}

MyTabWidget::MyTabWidget(QWidget* parent)
    : QTabWidget(parent)
{
    setTabBar(new MyTabBar(this));
}

void MyTabWidget::wheelEvent(QWheelEvent* event)
{
    SwallowWheel(event);
}
