#include <algorithm>
#include <cmath>
#include <limits>
#include <set>

#include <QFontMetricsF>
#include <QGuiApplication>
#include <QHeaderView>
#include <QScreen>
#include <QStandardItem>
#include <QStandardItemModel>
#include <QStyle>
#include <QTreeView>

#include <gtest/gtest.h>

#include "../guiwait.h"
#include "quorvelpeer.h"
#include "quotecolumns.h"

namespace
{

using kw::pb::ostrel2::QuoteDetailField;

const QColor kYellow(220, 220, 10);
const QColor kGreen(0, 220, 0);
const QColor kRed(255, 60, 60);

QString U(const char* text)
{
    return QString::fromUtf8(text);
}

QVariant Cell(QStandardItemModel* model, int row, int column, int role = Qt::DisplayRole)
{
    return model->index(row, column).data(role);
}

QString Text(QStandardItemModel* model, int row, int column)
{
    const QVariant text = Cell(model, row, column);
    return text.isValid() ? text.toString() : QStringLiteral("<none>");
}

QColor Foreground(QStandardItemModel* model, int row, int column)
{
    const QVariant v = Cell(model, row, column, Qt::ForegroundRole);
    return v.isValid() ? v.value<QBrush>().color() : QColor();
}

enum class Arrow { None, Up, Down };

Arrow ArrowOf(QStandardItemModel* model, int row)
{
    const QIcon icon = qvariant_cast<QIcon>(Cell(model, row, 0, Qt::DecorationRole));
    if (icon.isNull())
        return Arrow::None;
    const QColor c = icon.pixmap(8, 8).toImage().pixelColor(1, 1);
    if (c == QColor(Qt::red))
        return Arrow::Up;
    if (c == QColor(Qt::green))
        return Arrow::Down;
    ADD_FAILURE() << "unknown icon";
    return Arrow::None;
}

std::vector<std::string> Keys(const std::vector<ContractRow>& rows)
{
    std::vector<std::string> keys;
    for (const ContractRow& r : rows)
        keys.push_back(r.key);
    return keys;
}

// Whether a cell of the view's column shows `text` whole: the style elides
// what is wider than the column less a text margin on each side.
bool CellShowsWhole(const QTreeView* view, int column, const QString& text)
{
    const int margin = view->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, view) + 1;
    return QFontMetricsF(view->font()).horizontalAdvance(text) <= view->columnWidth(column) - 2 * margin;
}

class TablesTest : public ::testing::Test
{
protected:
    ScopedPictureFolder folder;
    QuorvelTestPeer window;
};

} // namespace

TEST(QuorvelKeys, ReadersAndCategoryCodes)
{
    const struct {
        const char* key;
        int type;
        const char* part1;
        const char* part2;
    } cases[] = {
        { "FO_CL", 1, "CL", "" },
        { "FO_CL_1906", 1, "CL", "1906" },
        { "CL", 0, "", "" },
        { "FO_CL_1906_X", 0, "", "" },
        { "XX_CL", 0, "CL", "" },
        { "", 0, "", "" },
        { "D_BTC_", 8, "BTC", "" },
        { "V_X_1", 9, "X", "1" },
        { "S_600000", 4, "600000", "" },
        { "C_EUR.USD", 3, "EUR.USD", "" },
        { "UNKNOWN_CL", 0, "CL", "" },
        { "_CL_1906", 0, "CL", "1906" },
        { "FO__1906", 1, "", "1906" },
        { "fo_CL", 0, "CL", "" },
        { "5_CL", 0, "CL", "" },
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Quorvel::ContractKeyType(c.key), c.type) << c.key;
        EXPECT_EQ(Quorvel::ContractKeyPart1(c.key), c.part1) << c.key;
        EXPECT_EQ(Quorvel::ContractKeyPart2(c.key), c.part2) << c.key;
    }
    const struct {
        int type;
        const char* code;
    } codes[] = { { 0, "" }, { 1, "FO" }, { 2, "FI" }, { 3, "C" }, { 4, "S" }, { 5, "" }, { 7, "" },
        { 8, "D" }, { 9, "V" }, { -1, "" } };
    for (const auto& c : codes)
        EXPECT_EQ(Quorvel::CategoryCode(c.type), c.code) << c.type;
}

TEST_F(TablesTest, ModelsHeadersAndViews)
{
    const char* common[] = { " ", "序号", "品种名称", "编号", "最新价", "现手", "买价", "卖价", "买量",
        "卖量", "成交量", "涨跌", "涨跌幅%", "持仓", "开盘", "最高", "最低", "结算", "速涨", "现涨", "现增仓",
        "昨结算", "昨收盘" };
    for (int type : { 0, 1, 2, 3, 4, 8 }) {
        SCOPED_TRACE(type);
        QStandardItemModel* model = window.model(type);
        ASSERT_NE(model, nullptr);
        EXPECT_EQ(model->parent(), &window);
        EXPECT_EQ(model->rowCount(), 0);
        const int columns = type == 4 ? 26 : 24;
        ASSERT_EQ(model->columnCount(), columns);
        std::vector<QString> texts;
        for (const char* t : common)
            texts.push_back(U(t));
        if (type == 4) {
            texts.push_back(U("日成交额"));
            texts.push_back(U("换手率"));
        }
        texts.push_back(QString());
        for (int column = 0; column < columns; ++column) {
            const QStandardItem* item = model->horizontalHeaderItem(column);
            ASSERT_NE(item, nullptr);
            EXPECT_EQ(item->text(), texts[static_cast<size_t>(column)]) << column;
            EXPECT_EQ(item->foreground().color(), QColor(0, 220, 220));
            const bool last = column == columns - 1;
            EXPECT_EQ(item->data(Qt::FontRole).isValid(), !last) << column;
            if (!last) {
                EXPECT_EQ(item->font().family(), U("Microsoft YaHei UI"));
                EXPECT_EQ(item->font().pointSize(), 12);
            }
            EXPECT_EQ(item->data(Qt::TextAlignmentRole).isValid(), column >= 2) << column;
            if (column >= 2) {
                EXPECT_EQ(item->textAlignment(), Qt::AlignRight);
            }
        }
    }

    const auto& headers = window.sortHeaders();
    ASSERT_EQ(headers.size(), 30u);
    const std::pair<int, const char*> five[]
        = { { 4, "最新价" }, { 10, "成交量" }, { 11, "涨跌" }, { 12, "涨跌幅" }, { 13, "持仓" } };
    for (size_t i = 0; i < headers.size(); ++i) {
        EXPECT_EQ(headers[i].first, five[i % 5].first);
        EXPECT_EQ(headers[i].second, U(five[i % 5].second));
    }

    auto& ui = window.ui();
    EXPECT_EQ(ui.any_View->model(), window.model(0));
    const std::pair<QTreeView*, int> views[]
        = { { ui.FO_View, 1 }, { ui.FI_View, 2 }, { ui.C_View, 3 }, { ui.S_View, 4 }, { ui.D_View, 8 } };
    for (const auto& v : views) {
        EXPECT_EQ(v.first->model(), window.model(v.second));
        EXPECT_EQ(v.first->selectionMode(), QAbstractItemView::SingleSelection);
        EXPECT_EQ(v.first->selectionBehavior(), QAbstractItemView::SelectRows);
        EXPECT_TRUE(v.first->header()->sectionsClickable());
        EXPECT_TRUE(v.first->uniformRowHeights());
    }
}

TEST_F(TablesTest, MainContractModeAndExchangeMode)
{
    window.setCommodities({
        MakeCommodity(1, "NYMEX", "CL", "原油", { { "1906", 0 }, { "1907", 1 } }, "纽约商品交易所"),
        MakeCommodity(1, "COMEX", "GC", "黄金", {}, "COMEX"),
        MakeCommodity(2, "SHFE", "RB", "螺纹", { { "2001", 1 } }),
        MakeCommodity(1, "NYMEX", "NG", "天然气", { { "1908", 0 }, { "1909", 0 } }, "纽约商品交易所"),
        MakeCommodity(1, "nymex", "HO", "取暖油", { { "1910", 1 } }, "lower"),
    });

    window.rebuild(1);
    EXPECT_EQ(
        Keys(window.rows(1)), (std::vector<std::string> { "FO_CL_1907", "FO_GC", "FO_NG", "FO_HO_1910" }));
    QStandardItemModel* fo = window.model(1);
    ASSERT_EQ(fo->rowCount(), 4);
    const char* codes[] = { "CL1907", "GC", "NG", "HO1910" };
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(window.rows(1)[static_cast<size_t>(i)].row, i);
        EXPECT_EQ(window.rows(1)[static_cast<size_t>(i)].code, codes[i]);
        EXPECT_EQ(Text(fo, i, 1), QString::number(i + 1));
        EXPECT_EQ(Text(fo, i, 3), QString::fromLatin1(codes[i]));
    }
    EXPECT_EQ(Text(fo, 0, 2), U("原油"));
    const std::vector<std::pair<std::string, std::string>> exchanges
        = { { "纽约商品交易所", "NYMEX" }, { "COMEX", "COMEX" }, { "lower", "nymex" } };
    EXPECT_EQ(window.exchanges(), exchanges);
    EXPECT_EQ(window.exchangeSlots(), 3);

    window.rebuild(1, "NYMEX");
    EXPECT_EQ(Keys(window.rows(1)),
        (std::vector<std::string> { "FO_CL_1906", "FO_CL_1907", "FO_NG_1908", "FO_NG_1909" }));
    EXPECT_EQ(fo->rowCount(), 4);
    EXPECT_EQ(Text(fo, 1, 3), QStringLiteral("CL1907"));
    EXPECT_EQ(Text(fo, 3, 1), QStringLiteral("4"));

    window.rebuild(1, "COMEX");
    EXPECT_EQ(Keys(window.rows(1)), (std::vector<std::string> { "FO_GC" }));
    EXPECT_EQ(Text(fo, 0, 3), QStringLiteral("GC"));
    EXPECT_EQ(fo->rowCount(), 1);

    window.rebuild(1, "NOPE");
    EXPECT_TRUE(window.rows(1).empty());
    EXPECT_EQ(fo->rowCount(), 0);

    // A category with fewer exchanges leaves the slot count where it was.
    window.rebuild(2);
    EXPECT_EQ(Keys(window.rows(2)), (std::vector<std::string> { "FI_RB_2001" }));
    EXPECT_EQ(window.exchanges().size(), 1u);
    EXPECT_EQ(window.exchangeSlots(), 3);
    // Other tables keep their rows.
    EXPECT_TRUE(window.rows(1).empty());
    EXPECT_EQ(window.model(2)->rowCount(), 1);
}

TEST_F(TablesTest, EmptyListsGiveEmptyTables)
{
    window.setCommodities({});
    for (int type : { 1, 2, 3, 4, 8 }) {
        window.rebuild(type);
        EXPECT_TRUE(window.rows(type).empty());
        EXPECT_EQ(window.model(type)->rowCount(), 0);
    }
    EXPECT_TRUE(window.exchanges().empty());
}

TEST_F(TablesTest, RebuildWritesEveryCell)
{
    QuoteDetailField q = MakeQuote("FO_ZZ_1", 101.5, 100);
    q.set_last_vol(3);
    q.set_bid_price(101.25);
    q.set_ask_price(101.75);
    q.set_bid_vol(7);
    q.set_ask_vol(12);
    q.set_volume(123456);
    q.set_position(98765.4);
    q.set_open(99.5);
    q.set_high(102);
    q.set_low(100);
    q.set_turnover(5e9);
    q.set_turnover_rate(0.0123);
    PushQuote(q);
    window.setCommodities({ MakeCommodity(1, "X", "ZZ", "测试", { { "1", 1 } }) });
    window.rebuild(1);

    QStandardItemModel* m = window.model(1);
    ASSERT_EQ(m->rowCount(), 1);
    const struct {
        int column;
        const char* text;
        QColor colour; // invalid: default foreground
    } cells[] = {
        { 0, "", QColor() },
        { 1, "1", kYellow },
        { 2, "测试", kYellow },
        { 3, "ZZ1", kYellow },
        { 4, "101.5", QColor() },
        { 5, "3", QColor() },
        { 6, "101.25", QColor() },
        { 7, "101.75", QColor() },
        { 8, "7", QColor() },
        { 9, "12.00", QColor() },
        { 10, "123456", QColor() },
        { 11, "1.5", QColor() },
        { 12, "1.50%", QColor() },
        { 13, "98765", QColor() },
        { 14, "99.5", kGreen },
        { 15, "102", kRed },
        { 16, "100", kRed },
        { 17, "---", QColor() },
        { 18, "---", QColor() },
        { 19, "---", QColor() },
        { 20, "---", QColor() },
        { 21, "100", QColor() },
        { 22, "---", QColor() },
    };
    for (const auto& c : cells) {
        SCOPED_TRACE(c.column);
        EXPECT_EQ(Text(m, 0, c.column), U(c.text));
        EXPECT_EQ(Foreground(m, 0, c.column), c.colour);
        EXPECT_FALSE(m->flags(m->index(0, c.column)) & Qt::ItemIsEditable);
        const QVariant align = Cell(m, 0, c.column, Qt::TextAlignmentRole);
        if (c.column >= 2) {
            EXPECT_EQ(align.toInt(), static_cast<int>(Qt::AlignRight | Qt::AlignVCenter));
        } else {
            EXPECT_FALSE(align.isValid());
        }
    }
    EXPECT_FALSE(Cell(m, 0, 23).isValid());
    EXPECT_EQ(ArrowOf(m, 0), Arrow::Up);

    // The first refresh writes the ask volume without decimals and colours the live cells.
    window.showTab(1);
    window.tick();
    EXPECT_EQ(Text(m, 0, 9), QStringLiteral("12"));
    EXPECT_EQ(Foreground(m, 0, 4), kRed);
    EXPECT_EQ(Foreground(m, 0, 5), kYellow);
    EXPECT_EQ(Foreground(m, 0, 9), kYellow);
    EXPECT_EQ(Foreground(m, 0, 11), kRed);
    EXPECT_EQ(Foreground(m, 0, 12), kRed);
    EXPECT_EQ(Foreground(m, 0, 13), kYellow);
    EXPECT_EQ(Text(m, 0, 1), QStringLiteral("1"));
    EXPECT_EQ(Text(m, 0, 17), QStringLiteral("---"));
    EXPECT_FALSE(Cell(m, 0, 23).isValid());
    // And the next rebuild puts the two decimals back.
    window.rebuild(1);
    EXPECT_EQ(Text(m, 0, 9), QStringLiteral("12.00"));
}

TEST_F(TablesTest, StockTableShowsTurnoverInColumns23And24)
{
    QuoteDetailField q = MakeQuote("S_600000", 10.5, 10);
    q.set_turnover(123456789);
    q.set_turnover_rate(1.25);
    PushQuote(q);
    window.setCommodities({ MakeCommodity(4, "SSE", "600000", "浦发银行", {}) });
    window.rebuild(4);
    QStandardItemModel* s = window.model(4);
    ASSERT_EQ(s->rowCount(), 1);
    EXPECT_EQ(Text(s, 0, 23), QStringLiteral("1.23457e+08"));
    EXPECT_EQ(Text(s, 0, 24), QStringLiteral("1.25"));
    EXPECT_EQ(Text(s, 0, 25), QString());
    for (int column : { 23, 24, 25 })
        EXPECT_EQ(Foreground(s, 0, column), kYellow) << column;

    q.set_turnover(2000);
    q.set_turnover_rate(3);
    PushQuote(q);
    window.showTab(4);
    window.tick();
    EXPECT_EQ(Text(s, 0, 23), QStringLiteral("2000"));
    EXPECT_EQ(Text(s, 0, 24), QStringLiteral("3"));
    EXPECT_EQ(Foreground(s, 0, 23), kYellow);
}

TEST_F(TablesTest, ColoursAndArrowsAroundThePreviousSettlement)
{
    const struct {
        const char* name;
        double last;
        double pre;
        Arrow arrow;
        QColor lastColour;
        QColor changeColour;
        const char* change; // null: whatever 'g' 6 makes of the difference
        const char* rate;
    } cases[] = {
        { "at", 100, 100, Arrow::Up, kRed, kRed, "0", "0.00%" },
        { "below", 99.99, 100, Arrow::Down, kGreen, kGreen, "-0.01", "-0.01%" },
        { "above", 100.5, 100, Arrow::Up, kRed, kRed, "0.5", "0.50%" },
        { "inside tolerance", 100 - 0.00000000001, 100, Arrow::Up, kRed, kGreen, nullptr, "-0.00%" },
        { "zero", 0, 100, Arrow::None, kGreen, kGreen, "-100", "-100.00%" },
        { "no settlement", 5, 0, Arrow::Up, kRed, kRed, "5", "0.00%" },
        { "tiny", 0.0000001, 0, Arrow::None, kRed, kRed, "1e-07", "0.00%" },
    };
    std::vector<Quorvel::CommodityField> list;
    for (size_t i = 0; i < std::size(cases); ++i)
        list.push_back(MakeCommodity(2, "X", "K" + std::to_string(i), cases[i].name, {}));
    window.setCommodities(list);
    // A first quote with an arrow, so that the refresh has one to take away.
    for (size_t i = 0; i < std::size(cases); ++i)
        PushQuote(MakeQuote("FI_K" + std::to_string(i), 1, 0.5));
    window.rebuild(2);
    QStandardItemModel* m = window.model(2);
    window.showTab(2);
    window.tick();
    for (int i = 0; i < m->rowCount(); ++i)
        EXPECT_EQ(ArrowOf(m, i), Arrow::Up);

    for (size_t i = 0; i < std::size(cases); ++i)
        PushQuote(MakeQuote("FI_K" + std::to_string(i), cases[i].last, cases[i].pre));
    window.tick();
    for (size_t i = 0; i < std::size(cases); ++i) {
        const auto& c = cases[i];
        SCOPED_TRACE(c.name);
        const int row = static_cast<int>(i);
        EXPECT_EQ(ArrowOf(m, row), c.arrow);
        EXPECT_EQ(Foreground(m, row, 4), c.lastColour);
        EXPECT_EQ(Foreground(m, row, 11), c.changeColour);
        EXPECT_EQ(Foreground(m, row, 12), c.changeColour);
        EXPECT_EQ(Text(m, row, 11),
            c.change ? QString::fromLatin1(c.change) : QString::number(c.last - c.pre, 'g', 6));
        EXPECT_EQ(Text(m, row, 4), QString::number(c.last, 'g', 6));
        EXPECT_EQ(Text(m, row, 12), QString::fromLatin1(c.rate));
    }

    // A rebuild draws the same arrows.
    window.rebuild(2);
    for (size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(ArrowOf(m, static_cast<int>(i)), cases[i].arrow) << cases[i].name;
}

// A tick writes only what changed since the last one, yet every figure it
// shows is the latest, whichever way it moved, and the views hear of the
// tick once, as the model's data, not only as the items' own; of a tick that
// changed nothing they hear nothing.
TEST_F(TablesTest, EveryTickShowsTheLatestFiguresAndTellsTheViewsOnce)
{
    window.setCommodities({ MakeCommodity(2, "X", "T0", "甲", {}), MakeCommodity(2, "X", "T1", "乙", {}) });
    window.rebuild(2);
    window.showTab(2);
    QStandardItemModel* m = window.model(2);
    ASSERT_EQ(m->rowCount(), 2);
    std::vector<std::pair<QModelIndex, QModelIndex>> changes;
    QObject::connect(m, &QAbstractItemModel::dataChanged,
        [&changes](const QModelIndex& first, const QModelIndex& last) { changes.emplace_back(first, last); });
    const struct {
        double last;
        const char* lastText;
        QColor colour;
        const char* change;
        Arrow arrow;
    } steps[] = {
        { 101, "101", kRed, "1", Arrow::Up },
        { 99, "99", kGreen, "-1", Arrow::Down },
        { 99, "99", kGreen, "-1", Arrow::Down },
        { 101, "101", kRed, "1", Arrow::Up },
        { 0, "0", kGreen, "-100", Arrow::None },
        { 101, "101", kRed, "1", Arrow::Up },
    };
    int ticks = 0;
    size_t notices = 0;
    double shown = -1;
    for (const auto& step : steps) {
        SCOPED_TRACE(step.lastText);
        // Only the first row moves; the second keeps its first quote.
        PushQuote(MakeQuote("FI_T0", step.last, 100));
        if (ticks == 0)
            PushQuote(MakeQuote("FI_T1", 50, 100));
        window.tick();
        ++ticks;
        notices += step.last != shown;
        shown = step.last;
        EXPECT_EQ(Text(m, 0, 4), QString::fromLatin1(step.lastText));
        EXPECT_EQ(m->index(0, 4).data().toString(), QString::fromLatin1(step.lastText));
        EXPECT_EQ(Foreground(m, 0, 4), step.colour);
        EXPECT_EQ(Text(m, 0, 11), QString::fromLatin1(step.change));
        EXPECT_EQ(Foreground(m, 0, 11), step.colour);
        EXPECT_EQ(ArrowOf(m, 0), step.arrow);
        EXPECT_EQ(Text(m, 1, 4), QStringLiteral("50"));
        EXPECT_EQ(Foreground(m, 1, 4), kGreen);
        ASSERT_EQ(changes.size(), notices);
        EXPECT_EQ(changes.back().first, m->index(0, 0));
        EXPECT_EQ(changes.back().second, m->index(1, m->columnCount() - 1));
    }
    // A cell written from outside the refresh still announces itself.
    m->setData(m->index(1, 4), QStringLiteral("x"));
    EXPECT_EQ(changes.size(), notices + 1);
    EXPECT_EQ(Text(m, 1, 4), QStringLiteral("x"));
}

// A list longer than a tick rewrites is written a span at a time: a tick
// that changed none of its rows tells the views nothing either, and one that
// changed a row tells them of no row before it.
TEST_F(TablesTest, ALongListsStillTickTellsTheViewsNothing)
{
    std::vector<Quorvel::CommodityField> list;
    for (int i = 0; i < 2500; ++i)
        list.push_back(MakeCommodity(2, "X", "L" + std::to_string(i), "甲", {}));
    window.setCommodities(list);
    window.rebuild(2);
    window.showTab(2);
    QStandardItemModel* m = window.model(2);
    for (int i = 0; i < 2500; ++i)
        PushQuote(MakeQuote("FI_L" + std::to_string(i), 100, 100));
    for (int tick = 0; tick < 3; ++tick)
        window.tick();
    std::vector<int> firstRows;
    QObject::connect(m, &QAbstractItemModel::dataChanged,
        [&firstRows](const QModelIndex& first, const QModelIndex&) { firstRows.push_back(first.row()); });
    for (int tick = 0; tick < 3; ++tick)
        window.tick();
    EXPECT_TRUE(firstRows.empty());
    PushQuote(MakeQuote("FI_L7", 101, 100));
    for (int tick = 0; tick < 3 && firstRows.empty(); ++tick)
        window.tick();
    ASSERT_EQ(firstRows.size(), 1u);
    EXPECT_EQ(firstRows[0], 7);
    EXPECT_EQ(Text(m, 7, 4), QStringLiteral("101"));
}

// No quote (none came yet, or the link was lost and the cache emptied): the
// figures are empty, not zeros, at a rebuild and at each refresh; the name,
// code and the constant columns stay, and the first quote fills the row.
TEST_F(TablesTest, ContractWithoutQuoteShowsNoFigures)
{
    window.setCommodities({ MakeCommodity(8, "X", "NOQUOTE", "无报价", { { "A", 1 } }) });
    window.rebuild(8);
    QStandardItemModel* d = window.model(8);
    ASSERT_EQ(d->rowCount(), 1);
    window.showTab(5);
    for (int pass = 0; pass < 3; ++pass) {
        if (pass == 1)
            window.tick();
        if (pass == 2) {
            PushQuote(MakeQuote("D_NOQUOTE_A", 5, 4));
            window.tick();
            EXPECT_EQ(Text(d, 0, 4), QStringLiteral("5"));
            NQuoteClientProbe::ForgetQuotes();
            window.tick();
        }
        for (int column : { 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 21 })
            EXPECT_EQ(Text(d, 0, column), QString()) << pass << " " << column;
        EXPECT_EQ(ArrowOf(d, 0), Arrow::None) << pass;
        EXPECT_EQ(Text(d, 0, 3), QStringLiteral("NOQUOTEA"));
        EXPECT_EQ(Text(d, 0, 17), QStringLiteral("---"));
    }
}

// Whatever a row without a quote shows, it is never the figures of the row before it.
TEST_F(TablesTest, RowWithoutQuoteNeverShowsAnotherRowsFigures)
{
    window.setCommodities(
        { MakeCommodity(2, "X", "HAS", "有", {}), MakeCommodity(2, "X", "NONE", "无", {}) });
    window.rebuild(2);
    window.showTab(2);
    QStandardItemModel* m = window.model(2);
    PushQuote(MakeQuote("FI_HAS", 4321.5, 4000));
    window.tick();
    ASSERT_EQ(Text(m, 0, 4), QStringLiteral("4321.5"));
    for (int column : { 4, 11, 12 })
        EXPECT_NE(Text(m, 1, column).toStdString(), Text(m, 0, column).toStdString()) << column;
}

TEST_F(TablesTest, RefreshTouchesOnlyTheTableOnScreen)
{
    window.setCommodities({ MakeCommodity(1, "X", "VA", "甲", {}), MakeCommodity(2, "Y", "VB", "乙", {}) });
    window.rebuild(1);
    window.rebuild(2);
    PushQuote(MakeQuote("FO_VA", 11, 10));
    PushQuote(MakeQuote("FI_VB", 22, 20));
    QStandardItemModel* fo = window.model(1);
    QStandardItemModel* fi = window.model(2);
    const QString foBefore = Text(fo, 0, 4);
    const QString fiBefore = Text(fi, 0, 4);

    // The custom tab refreshes nothing.
    window.showTab(0);
    window.tick();
    EXPECT_EQ(Text(fo, 0, 4), foBefore);
    EXPECT_EQ(Text(fi, 0, 4), fiBefore);
    EXPECT_EQ(Text(fo, 0, 9), QString());

    // The views hear of the tick once, for the whole table on screen.
    std::vector<std::pair<QModelIndex, QModelIndex>> foNotices;
    int fiNotices = 0;
    QObject::connect(fo, &QAbstractItemModel::dataChanged,
        [&](const QModelIndex& a, const QModelIndex& b) { foNotices.emplace_back(a, b); });
    QObject::connect(fi, &QAbstractItemModel::dataChanged, [&] { ++fiNotices; });
    window.showTab(1);
    window.tick();
    EXPECT_EQ(Text(fo, 0, 4), QStringLiteral("11"));
    EXPECT_EQ(Text(fi, 0, 4), fiBefore);
    ASSERT_EQ(foNotices.size(), 1u);
    EXPECT_EQ(foNotices[0].first, fo->index(0, 0));
    EXPECT_EQ(foNotices[0].second, fo->index(0, fo->columnCount() - 1));
    EXPECT_EQ(fiNotices, 0);

    window.showTab(2);
    window.tick();
    EXPECT_EQ(Text(fi, 0, 4), QStringLiteral("22"));
}

TEST_F(TablesTest, RowIComesFromTheIthRecord)
{
    // The tab goes first: a switch by the user would rebuild the list.
    window.showTab(3);
    window.setCommodities({ MakeCommodity(3, "FX", "R1", "一", {}), MakeCommodity(3, "FX", "R2", "二", {}),
        MakeCommodity(3, "FX", "R3", "三", {}) });
    window.rebuild(3);
    PushQuote(MakeQuote("C_R1", 1, 1));
    PushQuote(MakeQuote("C_R2", 2, 1));
    PushQuote(MakeQuote("C_R3", 3, 1));
    window.sort(3, 4, false);
    EXPECT_EQ(Keys(window.rows(3)), (std::vector<std::string> { "C_R3", "C_R2", "C_R1" }));
    window.tick();
    QStandardItemModel* c = window.model(3);
    const char* names[] = { "三", "二", "一" };
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(Text(c, i, 1), QString::number(i + 1));
        EXPECT_EQ(Text(c, i, 2), U(names[i]));
        EXPECT_EQ(Text(c, i, 3), QStringLiteral("R%1").arg(3 - i));
        EXPECT_EQ(Text(c, i, 4), QString::number(3 - i));
        EXPECT_EQ(window.rows(3)[static_cast<size_t>(i)].row, i);
    }
}

TEST_F(TablesTest, BadInputGivesASensibleTable)
{
    std::vector<Quorvel::CommodityField> list = {
        MakeCommodity(5, "X", "FIVE", "五", { { "1", 1 } }),
        MakeCommodity(100, "X", "HUNDRED", "百", { { "1", 1 } }),
        MakeCommodity(1, "X", "NONAME", "", { { "1", 1 } }),
        MakeCommodity(1, "X", "BAD", std::string("\xff\xfe\x80", 3), { { "1", 1 } }),
        MakeCommodity(1, "X", "EMPTYNO", "空合约", { { "", 1 }, { "", 0 } }),
        // A "_" inside the commodity number makes a key the readers reject.
        MakeCommodity(1, "X", "EUR_USD", "欧元", { { "2406", 1 } }),
        MakeCommodity(1, "X", "AFTER", "后", { { "1", 1 } }),
    };
    window.setCommodities(list);
    for (int type : { 1, 2, 3, 4, 8 })
        window.rebuild(type);
    EXPECT_EQ(Keys(window.rows(1)),
        (std::vector<std::string> {
            "FO_NONAME_1", "FO_BAD_1", "FO_EMPTYNO", "FO_EUR_USD_2406", "FO_AFTER_1" }));
    EXPECT_TRUE(window.rows(0).empty());
    for (int type : { 2, 3, 4, 8 })
        EXPECT_EQ(window.model(type)->rowCount(), 0);

    QStandardItemModel* fo = window.model(1);
    ASSERT_EQ(fo->rowCount(), 5);
    EXPECT_EQ(Text(fo, 0, 2), QString());
    EXPECT_TRUE(Text(fo, 1, 2).contains(QChar(0xFFFD)));
    EXPECT_EQ(Text(fo, 2, 3), QStringLiteral("EMPTYNO"));

    window.rebuild(1, "X");
    EXPECT_EQ(Keys(window.rows(1)),
        (std::vector<std::string> {
            "FO_NONAME_1", "FO_BAD_1", "FO_EMPTYNO_", "FO_EMPTYNO_", "FO_EUR_USD_2406", "FO_AFTER_1" }));
    EXPECT_EQ(Text(fo, 2, 3), QStringLiteral("EMPTYNO"));

    // Every row of the table is refreshed from its own record.
    PushQuote(MakeQuote("FO_AFTER_1", 77, 70));
    window.showTab(1);
    window.tick();
    EXPECT_EQ(Text(fo, 5, 2), U("后"));
    EXPECT_EQ(Text(fo, 5, 4), QStringLiteral("77"));
    EXPECT_EQ(Text(fo, 4, 2), U("欧元"));
}

// Whatever figure the server sends, each cell keeps to a width that a column
// can show, at a rebuild and at a refresh.
TEST_F(TablesTest, HostileFiguresKeepToABoundedWidth)
{
    const double inf = std::numeric_limits<double>::infinity();
    const struct {
        double figure; // every figure of the quote but its previous settlement of 1
        const char *last, *volume, *askAtRebuild, *rate;
    } cases[] = {
        { 1e308, "1e+308", "1e+308", "1e+308", "--" },
        { -1e308, "-1e+308", "-1e+308", "-1e+308", "--" },
        { std::nan(""), "--", "--", "--", "--" },
        { inf, "--", "--", "--", "--" },
        { -inf, "--", "--", "--", "--" },
        { 4.9e-324, "4.94066e-324", "0", "0.00", "-100.00%" },
        { 9223372036854775807.0, "9.22337e+18", "9.22337e+18", "9.22337e+18", "9.22337e+20%" },
        { -9223372036854775807.0, "-9.22337e+18", "-9.22337e+18", "-9.22337e+18", "-9.22337e+20%" },
        { 999999999999.0, "1e+12", "999999999999", "999999999999.00", "1e+14%" },
    };
    window.setCommodities({ MakeCommodity(4, "X", "HOSTILE", "敌", {}) });
    window.showTab(4);
    QStandardItemModel* m = window.model(4);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.figure);
        QuoteDetailField q = MakeQuote("S_HOSTILE", 0, 0);
        const auto* descriptor = q.GetDescriptor();
        for (int i = 0; i < descriptor->field_count(); ++i) {
            if (descriptor->field(i)->cpp_type() == google::protobuf::FieldDescriptor::CPPTYPE_DOUBLE)
                q.GetReflection()->SetDouble(&q, descriptor->field(i), c.figure);
        }
        q.set_pre_settle(1);
        PushQuote(q);
        window.rebuild(4);
        EXPECT_EQ(Text(m, 0, QuoteColumn::AskVolume), QString::fromLatin1(c.askAtRebuild));
        for (bool refreshed : { false, true }) {
            if (refreshed)
                window.tick();
            EXPECT_EQ(Text(m, 0, QuoteColumn::Last), QString::fromLatin1(c.last));
            EXPECT_EQ(Text(m, 0, QuoteColumn::Volume), QString::fromLatin1(c.volume));
            EXPECT_EQ(Text(m, 0, QuoteColumn::ChangeRate), QString::fromLatin1(c.rate));
            for (int column = 0; column < m->columnCount(); ++column)
                EXPECT_LE(Text(m, 0, column).size(), 17) << column << " " << Text(m, 0, column).toStdString();
        }
    }
}

TEST_F(TablesTest, ThousandsOfContracts)
{
    std::vector<ContractSpec> contracts;
    for (int i = 0; i < 3000; ++i)
        contracts.push_back({ std::to_string(100000 + i), i == 1500 ? 1 : 0 });
    std::vector<Quorvel::CommodityField> list = { MakeCommodity(8, "BIG", "MANY", "多", contracts) };
    for (int i = 0; i < 2000; ++i)
        list.push_back(MakeCommodity(8, "BIG", "C" + std::to_string(i), "币", { { "1", 1 } }));
    window.setCommodities(list);

    window.rebuild(8);
    EXPECT_EQ(window.model(8)->rowCount(), 2001);
    EXPECT_EQ(window.rows(8)[0].key, "D_MANY_101500");

    window.rebuild(8, "BIG");
    ASSERT_EQ(window.model(8)->rowCount(), 5000);
    EXPECT_EQ(window.rows(8).size(), 5000u);
    EXPECT_EQ(window.rows(8)[4999].row, 4999);
    EXPECT_EQ(Text(window.model(8), 4999, 1), QStringLiteral("5000"));
    PushQuote(MakeQuote("D_C1999_1", 3, 2));
    window.showTab(5);
    // A list this long is rewritten a share at a time: every row within three ticks.
    for (int ticks = 0; ticks < 3; ++ticks)
        window.tick();
    EXPECT_EQ(Text(window.model(8), 4999, 4), QStringLiteral("3"));

    // The rows on screen at every tick, wherever the list is scrolled.
    window.show();
    ASSERT_TRUE(WaitFor([&] { return window.ui().D_View->isVisible(); }));
    const struct {
        int row;
        const char* key;
    } shown[] = { { 3900, "D_C900_1" }, { 4700, "D_C1700_1" }, { 10, "D_MANY_100010" } };
    for (const auto& row : shown) {
        window.ui().D_View->scrollTo(window.model(8)->index(row.row, 0), QAbstractItemView::PositionAtTop);
        QApplication::processEvents();
        PushQuote(MakeQuote(row.key, 7, 2));
        window.tick();
        EXPECT_EQ(Text(window.model(8), row.row, 4), QStringLiteral("7")) << row.key;
    }
}

// Run by CTest at the default DPI and again at 96, 120, 144 and 192 DPI.
TEST_F(TablesTest, LegibleFiguresCodesAndNamesAtTheScreensDpi)
{
    QuoteDetailField ng = MakeQuote("FO_NG_2701", 6019.25, 6021.5);
    ng.set_last_vol(1234);
    ng.set_bid_price(6019.25);
    ng.set_ask_price(6019.75);
    ng.set_bid_vol(12345);
    ng.set_ask_vol(23456);
    ng.set_volume(123456789);
    ng.set_position(2345678);
    ng.set_open(6021.75);
    ng.set_high(6088.25);
    ng.set_low(5999.75);
    PushQuote(ng);
    QuoteDetailField pf = MakeQuote("S_600000", 13.45, 13.4);
    pf.set_volume(1234567890);
    pf.set_turnover(1.23456789e10);
    pf.set_turnover_rate(0.123456);
    PushQuote(pf);
    window.setCommodities({
        MakeCommodity(1, "NYMEX", "NG", "美天然气", { { "2701", 1 } }),
        MakeCommodity(1, "EUREX", "FDAX", "德国DAX指数", { { "2703", 1 } }),
        MakeCommodity(4, "SSE", "600000", "浦发银行", {}),
    });
    window.InitUi();
    window.show();

    for (const int tab : { 1, 4 }) {
        SCOPED_TRACE(tab);
        const int type = Quorvel::CategoryOfTab(tab);
        window.rebuild(type);
        window.showTab(tab);
        window.tick();
        QTreeView* view = tab == 1 ? window.ui().FO_View : window.ui().S_View;
        QHeaderView* header = view->header();
        QStandardItemModel* m = window.model(type);
        ASSERT_GT(m->rowCount(), 0);
        const double scale = Quorvel::ScaleForDpi(QGuiApplication::primaryScreen()->logicalDotsPerInch());
        // Every column comes on screen whole, unfolded or after some presses
        // of ">>", and none lies under ">>". The last column is the closing empty one.
        std::set<int> seen;
        window.collapseClicked();
        for (int press = 0; press < 25; ++press) {
            QCoreApplication::processEvents();
            const QPushButton* expand = window.expandButton();
            const int room = expand->isVisible() ? view->mapFrom(&window, expand->pos()).x()
                                                 : view->contentsRect().right() + 1;
            for (int column = 1; column < m->columnCount() - 1; ++column) {
                if (view->isColumnHidden(column))
                    continue;
                seen.insert(column);
                const int right = view->contentsRect().left() + header->sectionViewportPosition(column)
                    + header->sectionSize(column);
                EXPECT_LE(right, room) << "column " << column << " press " << press;
                // Columns only ever grow from the widths the window gives them.
                const int given = column == 1 ? 40 : column == 2 ? 100 : column == 5 ? 50 : 70;
                EXPECT_GE(view->columnWidth(column), Quorvel::ScaledSize(scale, given)) << column;
                for (int row = 0; row < m->rowCount(); ++row) {
                    if (Cell(m, row, column).isValid()) {
                        EXPECT_TRUE(CellShowsWhole(view, column, Text(m, row, column)))
                            << Text(m, row, column).toStdString();
                    }
                }
            }
            if (expand->isHidden())
                break;
            window.expandClicked();
        }
        EXPECT_EQ(seen.size(), static_cast<size_t>(m->columnCount() - 2));
        EXPECT_EQ(Text(m, 0, 4), tab == 1 ? QStringLiteral("6019.25") : QStringLiteral("13.45"));
    }
}

// Columns grow as soon as a wider text is written, whether or not the list
// is painted, narrow again to the widths given them once it is gone, and a
// paint by itself changes no width.
TEST_F(TablesTest, ColumnsFollowTheWidestTextShown)
{
    window.initUiAtScale(1.0);
    PushQuote(MakeQuote("FO_WIDE", 1, 1));
    window.setCommodities({ MakeCommodity(1, "X", "WIDE", "宽", {}) });
    window.rebuild(1);
    window.showTab(1);
    QTreeView* view = window.ui().FO_View;
    QStandardItemModel* m = window.model(1);
    const int before = view->columnWidth(QuoteColumn::Last);
    EXPECT_EQ(before, 70);

    QuoteDetailField wide = MakeQuote("FO_WIDE", 1234567.891, 1);
    wide.set_volume(123456789012345.0);
    PushQuote(wide);
    window.tick();
    const int grown = view->columnWidth(QuoteColumn::Last);
    for (int column : { QuoteColumn::Last, QuoteColumn::Change, QuoteColumn::Volume }) {
        EXPECT_TRUE(CellShowsWhole(view, column, Text(m, 0, column))) << Text(m, 0, column).toStdString();
    }
    EXPECT_GT(grown, before);

    PushQuote(MakeQuote("FO_WIDE", 1, 1));
    window.tick();
    EXPECT_EQ(view->columnWidth(QuoteColumn::Last), before);

    // A longer header text (a sort arrow) widens its column too.
    m->horizontalHeaderItem(QuoteColumn::Name)->setText(QStringLiteral("品种名称品种名称品种名称↓"));
    EXPECT_GE(view->columnWidth(QuoteColumn::Name), view->header()->sectionSizeHint(QuoteColumn::Name));

    std::vector<int> widths;
    for (int column = 0; column < m->columnCount() - 1; ++column)
        widths.push_back(view->columnWidth(column));
    window.resize(1000, 600);
    window.show();
    view->grab();
    for (int column = 0; column < m->columnCount() - 1; ++column) {
        if (!view->isColumnHidden(column)) {
            EXPECT_EQ(view->columnWidth(column), widths[static_cast<size_t>(column)]) << column;
        }
    }

    // On screen no text takes more than a third of the list, and once the
    // hostile texts are gone every column has its width back.
    std::vector<int> shown;
    for (int column = 0; column < m->columnCount() - 1; ++column)
        shown.push_back(view->isColumnHidden(column) ? 0 : view->columnWidth(column));
    const struct {
        std::string name;
        double figure;
    } hostile[] = { { std::string(10000, 'N'), 1 }, { "宽", 1e308 }, { "宽", -9223372036854775807.0 },
        { std::string(10000, 'N'), std::nan("") }, { "宽", 1 } };
    for (const auto& h : hostile) {
        window.setCommodities({ MakeCommodity(1, "X", "WIDE", h.name, {}) });
        window.rebuild(1);
        PushQuote(MakeQuote("FO_WIDE", h.figure, h.figure));
        window.tick();
        for (int column = 0; column < m->columnCount() - 1; ++column) {
            EXPECT_LE(view->columnWidth(column),
                std::max(view->viewport()->width() / 3, widths[static_cast<size_t>(column)]))
                << column;
        }
    }
    for (int column = 0; column < m->columnCount() - 1; ++column) {
        EXPECT_EQ(view->isColumnHidden(column), shown[static_cast<size_t>(column)] == 0) << column;
        EXPECT_EQ(view->columnWidth(column), shown[static_cast<size_t>(column)]) << column;
    }
    window.hide();
}
