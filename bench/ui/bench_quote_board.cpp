#include <string>
#include <vector>

#include <QApplication>
#include <QEvent>
#include <QTreeView>

#include <benchmark/benchmark.h>

#include "quorvelpeer.h"

namespace
{

// A board whose futures table holds `rows` contracts, each with a cached quote.
struct Board {
    explicit Board(int rows)
    {
        std::vector<Quorvel::CommodityField> list;
        for (int i = 0; i < rows; ++i) {
            const std::string no = "B" + std::to_string(i);
            list.push_back(
                MakeCommodity(1, "EX" + std::to_string(i % 7), no, "品种", { { "2406", 0 }, { "2409", 1 } }));
            keys.push_back("FO_" + no + "_2409");
        }
        window.setCommodities(list);
        window.rebuild(1);
        Quote(0);
        window.showTab(1);
        // On screen, as in the program: the view then does its share of each tick.
        window.resize(1600, 900);
        window.show();
        QCoreApplication::processEvents();
    }

    // New figures for every row, so that the next tick rewrites every live cell.
    void Quote(int generation)
    {
        for (size_t i = 0; i < keys.size(); ++i) {
            const double base = 100 + static_cast<double>(i % 997) / 10;
            kw::pb::ostrel2::QuoteDetailField q
                = MakeQuote(keys[i], base + (generation % 2 ? 0.5 : -0.5), base);
            q.set_last_vol(1 + generation % 5);
            q.set_bid_price(q.last() - 0.1);
            q.set_ask_price(q.last() + 0.1);
            q.set_bid_vol(10 + generation % 3);
            q.set_ask_vol(12 + generation % 4);
            q.set_volume(100000 + static_cast<double>(i) * 3 + generation);
            q.set_position(50000 + static_cast<double>(i) * 7);
            q.set_open(base);
            q.set_high(base + 1);
            q.set_low(base - 1);
            PushQuote(q);
        }
    }

    ScopedPictureFolder folder;
    QuorvelTestPeer window;
    std::vector<std::string> keys;
};

// With `paint`, each tick is followed by the paint of the list on screen.
void RefreshTicks(benchmark::State& state, bool paint)
{
    Board board(static_cast<int>(state.range(0)));
    QWidget* viewport = board.window.ui().FO_View->viewport();
    int generation = 0;
    for (auto _ : state) {
        state.PauseTiming();
        board.Quote(++generation);
        state.ResumeTiming();
        board.window.tick();
        if (paint)
            viewport->repaint();
    }
    state.counters["rows"] = static_cast<double>(state.range(0));
}

void BM_RefreshTick(benchmark::State& state)
{
    RefreshTicks(state, false);
}
BENCHMARK(BM_RefreshTick)->Arg(100)->Arg(1000)->Arg(5000)->Unit(benchmark::kMillisecond);

void BM_RefreshTickAndPaint(benchmark::State& state)
{
    RefreshTicks(state, true);
}
BENCHMARK(BM_RefreshTickAndPaint)->Arg(1000)->Unit(benchmark::kMillisecond);

// Counts the paints of a widget.
class PaintCounter : public QObject
{
public:
    int paints = 0;

protected:
    bool eventFilter(QObject*, QEvent* event) override
    {
        paints += event->type() == QEvent::Paint;
        return false;
    }
};

// A tick in which no figure changed since the last one, with what the event
// loop then does for it; `repaints_per_tick` counts the paints of the list
// that the tick set off.
void BM_RefreshTickUnchanged(benchmark::State& state)
{
    Board board(static_cast<int>(state.range(0)));
    QWidget* viewport = board.window.ui().FO_View->viewport();
    board.window.tick();
    QCoreApplication::processEvents();
    PaintCounter counter;
    viewport->installEventFilter(&counter);
    for (auto _ : state) {
        board.window.tick();
        QCoreApplication::processEvents();
    }
    viewport->removeEventFilter(&counter);
    state.counters["repaints_per_tick"]
        = static_cast<double>(counter.paints) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_RefreshTickUnchanged)->Arg(1000)->Unit(benchmark::kMillisecond);

void BM_Sort(benchmark::State& state)
{
    Board board(static_cast<int>(state.range(0)));
    bool ascending = false;
    for (auto _ : state) {
        board.window.sort(1, 10, ascending);
        ascending = !ascending;
    }
}
BENCHMARK(BM_Sort)->Arg(1000)->Arg(5000)->Unit(benchmark::kMillisecond);

// A rebuild of the table on screen from the commodity list (a category switch).
void BM_Rebuild(benchmark::State& state)
{
    Board board(static_cast<int>(state.range(0)));
    for (auto _ : state)
        board.window.rebuild(1);
}
BENCHMARK(BM_Rebuild)->Arg(1000)->Arg(5000)->Arg(100000)->Unit(benchmark::kMillisecond);

// A list of a whole market while 20 quotes a second arrive: ten new ones
// before each tick (two a second). Twice the time of a tick is the share of
// a core the table costs.
void BM_WholeMarketTick(benchmark::State& state)
{
    Board board(static_cast<int>(state.range(0)));
    board.window.tick();
    size_t next = 0;
    for (auto _ : state) {
        state.PauseTiming();
        for (int n = 0; n < 10; ++n) {
            const size_t i = next++ % board.keys.size();
            PushQuote(MakeQuote(board.keys[i], 100 + static_cast<double>(next % 7), 100));
        }
        state.ResumeTiming();
        board.window.tick();
    }
    state.counters["rows"] = static_cast<double>(state.range(0));
}
BENCHMARK(BM_WholeMarketTick)->Arg(100000)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
