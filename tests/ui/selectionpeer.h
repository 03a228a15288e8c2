#pragma once

// Test access to the window's selected-contract, action and status-bar
// internals, a window that records its contract requests instead of sending
// them, and helpers for message boxes and pop-up menus.

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <QApplication>
#include <QColor>
#include <QDir>
#include <QElapsedTimer>
#include <QImage>
#include <QMenu>
#include <QMessageBox>
#include <QStandardItemModel>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

#include "../guiwait.h"
#include "chartell.h"
#include "mywidget.h"
#include "nquoteclient.h"
#include "quorvel.h"

inline void PrintTo(const QString& text, std::ostream* os)
{
    *os << '"' << text.toStdString() << '"';
}

// A window whose contract requests are recorded, not sent.
class RecordingWindow : public Quorvel
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

class SelectionTestPeer
{
public:
    explicit SelectionTestPeer(Quorvel& window)
        : w(window)
    {
    }

    Ui_KwTradeClientClass& ui() { return w.ui; }
    QStandardItemModel* model(int type) { return w.ModelOfCategory(type); }
    void setCommodities(std::vector<Quorvel::CommodityField> list) { w.m_commodities = std::move(list); }
    void rebuild(int type, const std::string& exchangeNo = std::string())
    {
        w.RefreshQuoteList(w.ModelOfCategory(type), type, exchangeNo);
    }
    void initUi() { w.InitUiAtScale(1.0); }

    void select(const std::string& key, int period) { w.SelectContract(key, period); }
    void quote(const Quorvel::QuoteDetailField& q) { w.OnQuote(q); }
    void depth(const Quorvel::DepthQuoteField& d) { w.OnDepthQuote(d); }
    void tick(const Quorvel::TickerField& t) { w.OnTickerQuote(t); }
    void kline(const Quorvel::RspReqQryHistoryField& k) { w.OnKline(k); }
    void login(bool needChange) { w.OnLogin(needChange); }
    void rowClicked(int type, int row) { w.OnQuoteRowClicked(model(type)->index(row, 0), type); }
    void rowDoubleClicked(int type, int row) { w.OnQuoteRowDoubleClicked(model(type)->index(row, 0), type); }
    void connected() { w.OnConnected(); }
    void disconnected() { w.OnDisconnected(); }

    bool loggedIn() const { return w.m_loggedIn; }
    void setLoggedIn(bool on) { w.m_loggedIn = on; }
    bool isConnected() const { return w.m_connected; }
    const std::string& currentKey() const { return w.m_currentKey; }
    const std::string& selectedKey() const { return w.m_selectedKey; }
    void setSelectedKey(const std::string& key) { w.m_selectedKey = key; }
    size_t tickCount() const { return w.m_ticks.size(); }
    IChartell*& chartView() { return w.m_chartView; }
    MyWidget* chartHost() { return w.m_chartHost; }
    QPushButton* expandButton() { return w.m_expandButton; }
    QPushButton* collapseButton() { return w.m_collapseButton; }
    const std::vector<std::pair<int, QString>>& sortHeaders() const { return w.m_sortHeaders; }

    // Exchange bar.
    const std::vector<QPushButton*>& buttons() const { return w.m_categoryButtons; }
    const std::vector<QFrame*>& separators() const { return w.m_categorySeparators; }
    int exchangeSlots() const { return w.m_exchangeSlots; }
    const std::vector<std::pair<std::string, std::string>>& exchanges() const { return w.m_exchanges; }
    void exchangeClicked(int i) { w.OnExchangeButtonClicked(i); }
    void mainContractClicked() { w.OnMainContractClicked(); }
    void expandClicked() { w.OnExpandButtonClicked(); }
    void collapseClicked() { w.OnCollapseButtonClicked(); }
    void returnAction() { w.OnReturnAction(); }
    void setScale(double scale) { w.m_scale = scale; }
    // Rebuilds the tables and the exchange bar from the commodity list, as
    // construction does with the quote client's list.
    void rebuildBoard(std::vector<Quorvel::CommodityField> list)
    {
        w.m_commodities = std::move(list);
        for (QPushButton* button : w.m_categoryButtons)
            delete button;
        for (QFrame* separator : w.m_categorySeparators)
            delete separator;
        w.m_categoryButtons.clear();
        w.m_categorySeparators.clear();
        w.m_exchangeSlots = 0;
        for (int type : { 2, 3, 4, 8, 1 })
            rebuild(type);
        w.InitCategoryBar();
    }

    // Status bar.
    void statusTick() { w.OnStatusTimer(); }
    void showLatency(std::int32_t latency) { w.ShowLatency(latency); }
    QLabel& latencyLabel() { return w.m_latencyLabel; }
    QPushButton& clockButton() { return w.m_clockButton; }
    QLabel& indexLabel(int i) { return w.m_indexLabels[i]; }
    const std::string& indexKey(int i) const { return w.m_indexKeys[i]; }
    QTimer& statusTimer() { return w.m_statusTimer; }
    QTimer& refreshTimer() { return w.m_refreshTimer; }
    QTimer& loginPromptTimer() { return w.m_loginPromptTimer; }

    // Login dialog and banner pop-up.
    LoginDialog &loginDialog() { return w.m_loginDialog; }
    BannerWidgetClass *banner() { return w.m_banner; }

private:
    Quorvel& w;
};

// Puts a fake chart view into the window and takes it out again before the
// window could release it as its own.
class ScopedChartView
{
public:
    ScopedChartView(SelectionTestPeer& peer, IChartell* view)
        : m_peer(peer)
    {
        m_peer.chartView() = view;
    }
    ~ScopedChartView() { m_peer.chartView() = nullptr; }

private:
    SelectionTestPeer& m_peer;
};

// A working folder holding the pictures the window loads, each a plain
// colour so that tests can tell which one a widget shows.
class ScopedPictureFolder
{
public:
    ScopedPictureFolder()
        : m_previous(QDir::currentPath())
    {
        QDir(m_dir.path()).mkpath(QStringLiteral("Resources/images"));
        const std::pair<const char*, QColor> pictures[] = {
            { "Resources/images/04.png", QColor(0, 255, 0) },
            { "Resources/images/03.png", QColor(0, 0, 255) },
            { "Resources/images/02.png", QColor(255, 255, 0) },
            { "Resources/images/01.png", QColor(255, 0, 0) },
            { "Resources/webStock.png", QColor(10, 10, 10) },
            { "Resources/00005.png", QColor(20, 20, 20) },
            { "Resources/up.png", QColor(255, 0, 0) },
            { "Resources/down.png", QColor(0, 255, 0) },
        };
        for (const auto& picture : pictures) {
            QImage image(8, 8, QImage::Format_RGB32);
            image.fill(picture.second);
            image.save(m_dir.filePath(QString::fromLatin1(picture.first)));
        }
        QDir::setCurrent(m_dir.path());
    }
    ~ScopedPictureFolder() { QDir::setCurrent(m_previous); }

private:
    QString m_previous;
    QTemporaryDir m_dir;
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

inline Quorvel::CommodityField Commodity(int type, const std::string& exchangeNo,
    const std::string& commodityNo, const std::string& name,
    const std::vector<std::pair<std::string, int>>& contracts = {},
    const std::string& exchangeName = "交易所", unsigned dotSize = 2)
{
    Quorvel::CommodityField c;
    c.set_security_type(static_cast<kw::pb::ostrel2::EnumSecurityType>(type));
    c.set_exchange_no(exchangeNo);
    c.set_exchange_name(exchangeName);
    c.set_commodity_no(commodityNo);
    c.set_commodity_name(name);
    c.set_dot_size(dotSize);
    for (const auto& contract : contracts) {
        auto* entry = c.add_contract_no_list();
        entry->set_contract_no(contract.first);
        entry->set_flags(contract.second);
    }
    return c;
}

inline Quorvel::QuoteDetailField Quote(const std::string& key, double last, double preSettle)
{
    Quorvel::QuoteDetailField q;
    q.set_contract_code(key);
    q.set_last(last);
    q.set_pre_settle(preSettle);
    return q;
}

// Stores a quote in the quote client's cache the way the quote API does.
inline void CacheQuote(const Quorvel::QuoteDetailField& q)
{
    static_cast<COstrelSpi*>(NQuoteClient::Instance())->OnRtnQuote(&q);
}
