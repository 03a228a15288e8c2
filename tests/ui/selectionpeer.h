#pragma once

// A window that records its contract requests instead of sending them, a
// stand-in chart view slot, and a watcher that answers message boxes and
// pop-up menus.

#include <string>
#include <vector>

#include <QApplication>
#include <QMenu>
#include <QMessageBox>
#include <QTimer>

#include <gtest/gtest.h>

#include "../guiwait.h"
#include "quorvelpeer.h"

inline void PrintTo(const QString& text, std::ostream* os)
{
    *os << '"' << text.toStdString() << '"';
}

// A window whose contract requests are recorded, not sent.
class RecordingWindow : public QuorvelTestPeer
{
public:
    using Quorvel::ContractRequest;
    struct Request {
        ContractRequest kind;
        std::string key;
        int period;
        bool operator==(const Request& o) const
        {
            return kind == o.kind && key == o.key && period == o.period;
        }
    };
    std::vector<Request> requests;

protected:
    void SendContractRequest(ContractRequest request, const std::string& key, int period) override
    {
        requests.push_back({ request, key, period });
    }
    // The process-wide quote client stays as the other tests left it.
    void StopQuoteClient() override { }
};

inline std::ostream& operator<<(std::ostream& os, const RecordingWindow::Request& r)
{
    return os << "{" << static_cast<int>(r.kind) << ", " << r.key << ", " << r.period << "}";
}

// Puts a fake chart view into the window and takes it out again before the
// window could release it as its own.
class ScopedChartView
{
public:
    ScopedChartView(QuorvelTestPeer& peer, IChartell* view)
        : m_peer(peer)
    {
        m_peer.chartView() = view;
    }
    ~ScopedChartView() { m_peer.chartView() = nullptr; }

private:
    QuorvelTestPeer& m_peer;
};

// Closes every message box and pop-up menu that opens while it watches, and
// records what they showed.
class ModalWatcher
{
public:
    struct Seen {
        QString title;
        QString text;
        QMessageBox::Icon icon;
        int buttons;
    };
    std::vector<Seen> boxes;
    std::vector<std::vector<QAction*>> menus;

    ModalWatcher()
    {
        m_timer.setInterval(5);
        QObject::connect(&m_timer, &QTimer::timeout, [this] { Poll(); });
        m_timer.start();
    }

private:
    void Poll()
    {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            boxes.push_back(
                { box->windowTitle(), box->text(), box->icon(), static_cast<int>(box->buttons().size()) });
            box->done(QMessageBox::Ok);
        }
        if (auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget())) {
            const QList<QAction*> actions = menu->actions();
            menus.emplace_back(actions.begin(), actions.end());
            menu->close();
        }
    }
    QTimer m_timer;
};
