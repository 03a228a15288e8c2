#pragma once

#include <QTabBar>
#include <QTabWidget>

class QWheelEvent;

// Tab bar of the quote categories: the mouse wheel must never switch the
// category under the user's pointer, so wheel events are swallowed here.
class MyTabBar : public QTabBar
{
public:
    explicit MyTabBar(QWidget* parent = nullptr);
    ~MyTabBar() override;

protected:
    void wheelEvent(QWheelEvent* event) override;
};

// Tab widget of the quote lists (`quote_tabwidget` in the form). It installs
// a MyTabBar and swallows wheel events over its own area as well.
class MyTabWidget : public QTabWidget
{
public:
    explicit MyTabWidget(QWidget* parent = nullptr);

protected:
    void wheelEvent(QWheelEvent* event) override;
};
