#pragma once

#include <functional>

#include <QApplication>
#include <QElapsedTimer>

// Runs the event loop until `done` holds; false when `ms` passed first.
inline bool WaitFor(const std::function<bool()>& done, int ms = 5000)
{
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > ms)
            return false;
        QApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}
