// The terminal as it ships, watched from outside its window for
// bench_endtoend.py: a TRACE line per 20 refresh ticks in the program's log
// says how late the ticks came and how many quotes the window was handed
// meanwhile. The window's timer and its paths are those of Quorvel itself;
// the watch only looks at the events they already have.

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <string>

#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <QTimer>

#include "boardstyle.h"
#include "logger.h"
#include "nquoteclient.h"
#include "quorvel.h"
#include "startup.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

class RefreshWatch : public QObject
{
public:
    RefreshWatch()
        : QObject(qApp)
    {
        qApp->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (watched == m_timer) {
            if (event->type() == QEvent::Timer)
                NoteTick();
        } else if (!m_timer) {
            // Until the window is there every event passes by here; from
            // then on only those of its refresh timer.
            if (auto* window = qobject_cast<Quorvel*>(watched))
                Attach(*window);
        }
        return false;
    }

private:
    void Attach(Quorvel& window)
    {
        m_timer = window.findChild<QTimer*>(QStringLiteral("refreshTimer"));
        if (!m_timer)
            return;
        qApp->removeEventFilter(this);
        m_timer->installEventFilter(this);
        // The client emits on the GUI thread, so this runs beside the window's
        // own handler, after it.
        connect(NQuoteClient::Instance(), &NQuoteClient::quote_sig, this, [this] { ++m_quotes; });
    }

    // Seen before the timer emits: the tick as it starts.
    void NoteTick()
    {
        constexpr milliseconds kInterval = BoardStyle::kRefreshInterval;
        const Clock::time_point now = Clock::now();
        if (m_since == Clock::time_point()) {
            // The first tick sets the schedule the later ones are held to.
            m_since = now;
            m_due = now + kInterval;
            m_quotes = 0;
            return;
        }
        auto late = std::chrono::duration_cast<milliseconds>(now - m_due);
        // A tick later than a whole interval makes the timer start its schedule
        // again from that tick; an early one (the timer may round) moves it back.
        if (late > kInterval || late < milliseconds(0)) {
            m_due = now;
            late = std::max(late, milliseconds(0));
        }
        m_due += kInterval;
        m_lateMs[m_ticks++] = static_cast<int>(late.count());
        if (m_ticks < m_lateMs.size())
            return;
        std::string list;
        for (int ms : m_lateMs)
            list += ' ' + std::to_string(ms);
        WriteLog(LogTrace, "refresh: %llu quotes in %lld ms; ticks late (ms):%s",
            static_cast<unsigned long long>(m_quotes),
            static_cast<long long>(std::chrono::duration_cast<milliseconds>(now - m_since).count()),
            list.c_str());
        m_ticks = 0;
        m_quotes = 0;
        m_since = now;
    }

    QTimer* m_timer = nullptr;
    Clock::time_point m_due;
    Clock::time_point m_since;
    std::array<int, 20> m_lateMs {};
    size_t m_ticks = 0;
    std::uint64_t m_quotes = 0;
};

void StartWatch()
{
    new RefreshWatch; // a child of the application
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(StartWatch)

int main(int argc, char* argv[])
{
    return RunQuorvel(argc, argv);
}
