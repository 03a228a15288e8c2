#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <random>
#include <set>
#include <thread>

#include <QHeaderView>
#include <QStandardItem>
#include <QStandardItemModel>
#include <QTreeView>

#include <gtest/gtest.h>

#include "quorvelpeer.h"

namespace
{

using kw::pb::ostrel2::QuoteDetailField;

QString U(const char* text)
{
    return QString::fromUtf8(text);
}

std::vector<std::string> Codes(const std::vector<ContractRow>& rows)
{
    std::vector<std::string> out;
    for (const ContractRow& r : rows)
        out.push_back(r.code);
    return out;
}

struct Figures {
    const char* no;
    double last, pre, volume, position;
};

class SortingTest : public ::testing::Test
{
protected:
    // One table of the given type, one commodity per figure set, with quotes cached.
    void Fill(int type, const std::vector<Figures>& figures)
    {
        std::vector<Quorvel::CommodityField> list;
        for (const Figures& f : figures) {
            list.push_back(MakeCommodity(type, "X", f.no, f.no, {}));
            if (std::isnan(f.last) || f.last != -1) {
                QuoteDetailField q = MakeQuote(Quorvel::CategoryCode(type) + "_" + f.no, f.last, f.pre);
                q.set_volume(f.volume);
                q.set_position(f.position);
                PushQuote(q);
            }
        }
        window.setCommodities(list);
        window.rebuild(type);
    }
    void Click(int type, int section)
    {
        QTreeView* views[] = { nullptr, window.ui().FO_View, window.ui().FI_View, window.ui().C_View,
            window.ui().S_View, nullptr, nullptr, nullptr, window.ui().D_View };
        emit views[type]->header()->sectionClicked(section);
    }
    QString Header(int type, int column) { return window.model(type)->horizontalHeaderItem(column)->text(); }

    ScopedPictureFolder folder;
    QuorvelTestPeer window;
};

} // namespace

TEST_F(SortingTest, FirstClickDescendsNextAscendsWithArrows)
{
    Fill(1, { { "SA", 10, 9, 300, 1 }, { "SB", 30, 9, 100, 2 }, { "SC", 20, 9, 200, 3 } });
    Fill(2, { { "SD", 1, 1, 1, 1 } });

    Click(1, 4);
    EXPECT_EQ(Codes(window.rows(1)), (std::vector<std::string> { "SB", "SC", "SA" }));
    EXPECT_EQ(Header(1, 4), U("最新价↓"));
    EXPECT_EQ(Header(1, 10), U("成交量"));
    EXPECT_EQ(Header(1, 11), U("涨跌"));
    EXPECT_EQ(Header(1, 13), U("持仓"));
    EXPECT_EQ(Header(1, 12), U("涨跌幅"));

    Click(1, 10);
    EXPECT_EQ(Codes(window.rows(1)), (std::vector<std::string> { "SB", "SC", "SA" }));
    EXPECT_EQ(Header(1, 10), U("成交量↑"));
    EXPECT_EQ(Header(1, 4), U("最新价"));

    Click(1, 10);
    EXPECT_EQ(Codes(window.rows(1)), (std::vector<std::string> { "SA", "SC", "SB" }));
    EXPECT_EQ(Header(1, 10), U("成交量↓"));

    for (size_t i = 0; i < window.rows(1).size(); ++i)
        EXPECT_EQ(window.rows(1)[i].row, static_cast<int>(i));
    // Other tables keep their headers.
    EXPECT_EQ(Header(2, 4), U("最新价"));
    EXPECT_EQ(Header(2, 12), U("涨跌幅%"));
}

TEST_F(SortingTest, ChangeRateLosesItsPercentSign)
{
    Fill(3, { { "RA", 11, 10, 0, 0 }, { "RB", 12, 10, 0, 0 } });
    EXPECT_EQ(Header(3, 12), U("涨跌幅%"));
    Click(3, 12);
    EXPECT_EQ(Header(3, 12), U("涨跌幅↓"));
    Click(3, 4);
    EXPECT_EQ(Header(3, 12), U("涨跌幅"));
    EXPECT_EQ(Header(3, 4), U("最新价↑"));
    window.restoreSortHeaders(3);
    EXPECT_EQ(Header(3, 4), U("最新价"));
    EXPECT_EQ(Header(3, 12), U("涨跌幅"));
}

TEST_F(SortingTest, UnsortableColumnsLeaveOrderHeadersAndCounter)
{
    Fill(4, { { "UA", 1, 1, 0, 0 }, { "UB", 3, 1, 0, 0 }, { "UC", 2, 1, 0, 0 } });
    for (int column : { 0, 1, 2, 3, 5, 9, 14, 21, 23, 25, 26, -1 }) {
        Click(4, column);
        EXPECT_EQ(Codes(window.rows(4)), (std::vector<std::string> { "UA", "UB", "UC" })) << column;
    }
    EXPECT_EQ(Header(4, 2), U("品种名称"));
    EXPECT_EQ(Header(4, 4), U("最新价"));
    // The counter did not move: this is still the first sortable click.
    Click(4, 4);
    EXPECT_EQ(Codes(window.rows(4)), (std::vector<std::string> { "UB", "UC", "UA" }));
    EXPECT_EQ(Header(4, 4), U("最新价↓"));
}

TEST_F(SortingTest, EachTableHasItsOwnCounter)
{
    Fill(8, { { "DA", 1, 1, 0, 0 }, { "DB", 2, 1, 0, 0 } });
    Fill(2, { { "FA", 1, 1, 0, 0 }, { "FB", 2, 1, 0, 0 } });
    Click(8, 4);
    EXPECT_EQ(Codes(window.rows(8)), (std::vector<std::string> { "DB", "DA" }));
    Click(2, 4);
    EXPECT_EQ(Codes(window.rows(2)), (std::vector<std::string> { "FB", "FA" }));
    EXPECT_EQ(Header(2, 4), U("最新价↓"));
    Click(8, 4);
    EXPECT_EQ(Codes(window.rows(8)), (std::vector<std::string> { "DA", "DB" }));
}

TEST_F(SortingTest, EachColumnSortsByItsFigure)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    // -1 as last: no quote cached, every figure 0.
    Fill(1,
        { { "KA", 105, 100, 50, 7 }, { "KB", 98, 100, 10, 9 }, { "KC", -1, 0, 0, 0 }, { "KD", 3, 0, 500, 1 },
            { "KE", 210, 200, 20, 8 } });
    const struct {
        int column;
        bool ascending;
        std::vector<std::string> order;
    } cases[] = {
        { 4, false, { "KE", "KA", "KB", "KD", "KC" } },
        { 4, true, { "KC", "KD", "KB", "KA", "KE" } },
        { 10, false, { "KD", "KA", "KE", "KB", "KC" } },
        { 11, true, { "KB", "KC", "KD", "KA", "KE" } },
        // Rates: KA 5%, KB -2%, KE 5%, KD 0 (no settlement), KC 0; ties keep the list order.
        { 12, false, { "KA", "KE", "KC", "KD", "KB" } },
        { 12, true, { "KB", "KC", "KD", "KA", "KE" } },
        { 13, false, { "KB", "KE", "KA", "KD", "KC" } },
    };
    for (const auto& c : cases) {
        window.rebuild(1);
        window.sort(1, c.column, c.ascending);
        EXPECT_EQ(Codes(window.rows(1)), c.order) << c.column << (c.ascending ? " up" : " down");
    }

    // A figure that is not a number goes last either way.
    Fill(2, { { "NA", 2, 1, 0, 0 }, { "NB", nan, 1, 0, 0 }, { "NC", 1, 1, 0, 0 } });
    window.sort(2, 4, false);
    EXPECT_EQ(Codes(window.rows(2)), (std::vector<std::string> { "NA", "NC", "NB" }));
    window.sort(2, 4, true);
    EXPECT_EQ(Codes(window.rows(2)), (std::vector<std::string> { "NC", "NA", "NB" }));

    // Columns without a figure and tables without rows do nothing.
    window.sort(2, 5, true);
    EXPECT_EQ(Codes(window.rows(2)), (std::vector<std::string> { "NC", "NA", "NB" }));
    window.sort(9, 4, true);
    EXPECT_EQ(window.model(9), nullptr);
}

TEST_F(SortingTest, SequenceNumbersStayInOrderAfterASortAndRefresh)
{
    // The tab goes first: a switch by the user would rebuild the list.
    window.showTab(1);
    Fill(1, { { "QA", 1, 1, 0, 0 }, { "QB", 3, 1, 0, 0 }, { "QC", 2, 1, 0, 0 } });
    Click(1, 4);
    window.tick();
    QStandardItemModel* m = window.model(1);
    const char* codes[] = { "QB", "QC", "QA" };
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(m->index(i, 1).data().toString(), QString::number(i + 1));
        EXPECT_EQ(m->index(i, 3).data().toString(), QString::fromLatin1(codes[i]));
    }
}

TEST_F(SortingTest, SortStaysCorrectWhileQuotesChange)
{
    // Row k's price flips between k and k + 0.4 while sorts run, so every
    // snapshot orders the rows by k; a comparison that re-read the quotes
    // midway would see rows jump and could scramble the vector.
    constexpr int kRows = 2000;
    std::vector<Quorvel::CommodityField> list;
    std::vector<int> order(kRows);
    for (int k = 0; k < kRows; ++k)
        order[static_cast<size_t>(k)] = k;
    std::shuffle(order.begin(), order.end(), std::mt19937(7));
    for (int k : order) {
        list.push_back(MakeCommodity(8, "X", "W" + std::to_string(k), "w", {}));
        PushQuote(MakeQuote("D_W" + std::to_string(k), k, 1));
    }
    window.setCommodities(list);
    window.rebuild(8);

    std::atomic<bool> stop { false };
    std::thread writer([&stop] {
        std::mt19937 random(11);
        std::uniform_int_distribution<int> pick(0, kRows - 1);
        std::bernoulli_distribution up(0.5);
        while (!stop.load()) {
            const int k = pick(random);
            PushQuote(MakeQuote("D_W" + std::to_string(k), k + (up(random) ? 0.4 : 0.0), 1));
        }
    });
    for (int round = 0; round < 20; ++round) {
        const bool ascending = round % 2 == 1;
        window.sort(8, 4, ascending);
        const auto& rows = window.rows(8);
        ASSERT_EQ(rows.size(), static_cast<size_t>(kRows));
        for (int i = 0; i < kRows; ++i) {
            const int k = ascending ? i : kRows - 1 - i;
            ASSERT_EQ(rows[static_cast<size_t>(i)].key, "D_W" + std::to_string(k)) << round;
            ASSERT_EQ(rows[static_cast<size_t>(i)].row, i);
        }
    }
    stop = true;
    writer.join();
}

TEST_F(SortingTest, SortFollowsOneReadingPerRowWhileFiguresJumpAround)
{
    // Every row's price flips between two values that overlap other rows'
    // values. A correct sort is ordered by one reading per row: some choice of
    // each row's two values must run monotonically down the table.
    constexpr int kRows = 3000;
    const auto valueA = [](int k) { return static_cast<double>(k % 40); };
    const auto valueB = [](int k) { return static_cast<double>((k * 7919 + 13) % 40) + 0.00000000004; };
    std::vector<Quorvel::CommodityField> list;
    for (int k = 0; k < kRows; ++k) {
        list.push_back(MakeCommodity(3, "X", "J" + std::to_string(k), "j", {}));
        PushQuote(MakeQuote("C_J" + std::to_string(k), valueA(k), 1));
    }
    window.setCommodities(list);
    window.rebuild(3);

    std::atomic<bool> stop { false };
    std::thread writer([&] {
        std::mt19937 random(5);
        std::uniform_int_distribution<int> pick(0, kRows - 1);
        std::bernoulli_distribution useB(0.5);
        while (!stop.load()) {
            const int k = pick(random);
            PushQuote(MakeQuote("C_J" + std::to_string(k), useB(random) ? valueB(k) : valueA(k), 1));
        }
    });
    for (int round = 0; round < 10; ++round) {
        const bool ascending = round % 2 == 1;
        window.sort(3, 4, ascending);
        const auto& rows = window.rows(3);
        std::set<std::string> keys;
        // Greedy: keep each row's reading as close to the previous one as the order allows.
        double previous = ascending ? -1e300 : 1e300;
        for (size_t i = 0; i < rows.size(); ++i) {
            keys.insert(rows[i].key);
            ASSERT_EQ(rows[i].row, static_cast<int>(i));
            const int k = std::stoi(rows[i].key.substr(3));
            const double a = valueA(k);
            const double b = valueB(k);
            const bool aFits = ascending ? a >= previous : a <= previous;
            const bool bFits = ascending ? b >= previous : b <= previous;
            ASSERT_TRUE(aFits || bFits) << "round " << round << " row " << i;
            if (aFits && bFits)
                previous = ascending ? std::min(a, b) : std::max(a, b);
            else
                previous = aFits ? a : b;
        }
        ASSERT_EQ(keys.size(), static_cast<size_t>(kRows));
    }
    stop = true;
    writer.join();
}

// The list shows a new order as soon as it is sorted, its selection and
// current row stay on the contract they were on, and a double click opens
// the contract shown where it lands.
TEST_F(SortingTest, ANewOrderShowsAtOnceAndTheSelectionFollowsItsContract)
{
    window.showTab(1);
    Fill(1, { { "RA", 1, 1, 0, 0 }, { "RB", 3, 1, 0, 0 }, { "RC", 2, 1, 0, 0 } });
    QTreeView* view = window.ui().FO_View;
    QStandardItemModel* m = window.model(1);
    view->setCurrentIndex(m->index(0, 4));
    window.rowClicked(1, 0);
    ASSERT_EQ(window.selectedKey(), "FO_RA");
    int layouts = 0;
    int removals = 0;
    QObject::connect(m, &QAbstractItemModel::layoutChanged, [&layouts] { ++layouts; });
    QObject::connect(m, &QAbstractItemModel::rowsRemoved, [&removals] { ++removals; });

    Click(1, 4); // descending by last price, no refresh tick yet
    EXPECT_EQ(layouts, 1);
    EXPECT_EQ(removals, 0);
    const char* codes[] = { "RB", "RC", "RA" };
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(m->index(i, 1).data().toString(), QString::number(i + 1));
        EXPECT_EQ(m->index(i, 3).data().toString(), QString::fromLatin1(codes[i]));
        EXPECT_EQ(m->index(i, 4).data().toString(), QString::number(3 - i));
    }
    const QModelIndexList selected = view->selectionModel()->selectedRows();
    ASSERT_EQ(selected.size(), 1);
    EXPECT_EQ(selected[0].row(), 2);
    EXPECT_EQ(view->currentIndex().row(), 2);
    EXPECT_EQ(window.selectedKey(), "FO_RA");

    window.setLoggedIn(true);
    window.rowDoubleClicked(1, 0);
    EXPECT_EQ(window.currentKey(), "FO_RB");
    EXPECT_EQ(window.selectedKey(), "FO_RB");

    // The refresh then writes each row from its own record, and the last
    // figures written before the sort are not taken for the new rows'.
    PushQuote(MakeQuote("FO_RA", 5, 1));
    window.tick();
    const char* after[] = { "RB", "RC", "RA" };
    const char* lasts[] = { "3", "2", "5" };
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(m->index(i, 3).data().toString(), QString::fromLatin1(after[i]));
        EXPECT_EQ(m->index(i, 4).data().toString(), QString::fromLatin1(lasts[i]));
    }
}
