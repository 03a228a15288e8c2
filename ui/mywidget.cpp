#include "mywidget.h"

MyWidget::MyWidget(QWidget* parent)
    : QWidget(parent)
{
}

MyWidget::~MyWidget() = default;

QPaintEngine* MyWidget::paintEngine() const
{
    return nullptr;
}
