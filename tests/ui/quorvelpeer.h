#pragma once

// The main window with its protected operations and state in reach of tests,
// commodities and quotes made up for tests, and a working folder with the
// pictures the window loads.

#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <QColor>
#include <QCoreApplication>
#include <QDir>
#include <QImage>
#include <QSignalBlocker>
#include <QStandardItemModel>
#include <QString>
#include <QTemporaryDir>

#include "chartell.h"
#include "columnfitter.h"
#include "exchangebarfitter.h"
#include "mywidget.h"
#include "nquoteclient.h"
#include "quorvel.h"
#include "screenfit.h"

class QuorvelTestPeer : public Quorvel
{
public:
    Ui_KwTradeClientClass& ui() { return Quorvel::ui; }
    QuoteTableModel* model(int type) { return ModelOfCategory(type); }
    const std::vector<ContractRow>& rows(int type)
    {
        static const std::vector<ContractRow> none;
        return ModelOfCategory(type) ? ModelOfCategory(type)->Rows() : none;
    }
    void setCommodities(std::vector<Quorvel::CommodityField> list)
    {
        m_commodities = std::make_shared<const std::vector<Quorvel::CommodityField>>(std::move(list));
    }
    void rebuild(int type, const std::string& exchangeNo = std::string())
    {
        RefreshQuoteList(ModelOfCategory(type), type, exchangeNo);
    }
    void tick() { OnRefreshTimer(); }
    // Puts a quote tab on screen without the category switch that a user's
    // click runs (which rebuilds the list).
    void showTab(int tab)
    {
        const QSignalBlocker quiet(Quorvel::ui.quote_tabwidget);
        Quorvel::ui.quote_tabwidget->setCurrentIndex(tab);
    }
    void sort(int type, int column, bool ascending) { SortQuoteList(type, column, ascending); }
    void initUiAtScale(double scale) { InitUiAtScale(scale); }
    void replaceArrows() { resizeEvent(nullptr); }
    void moved() { moveEvent(nullptr); }
    void restoreSortHeaders(int type) { RestoreSortHeaderTexts(ModelOfCategory(type)); }

    StatusBarFolder* statusFolder() { return m_statusFolder; }
    PanelColumn* panelColumn() { return m_panelColumn; }
    QPushButton* expandButton() { return m_expandButton; }
    QPushButton* collapseButton() { return m_collapseButton; }
    MyWidget* chartHost() { return m_chartHost; }
    QTimer& refreshTimer() { return *findChild<QTimer*>(QStringLiteral("refreshTimer")); }
    QTimer& statusTimer() { return *findChild<QTimer*>(QStringLiteral("statusTimer")); }
    QTimer& loginPromptTimer() { return *findChild<QTimer*>(QStringLiteral("loginPromptTimer")); }
    double scale() const { return m_scale; }
    double widthFactor() const { return m_widthFactor; }
    const std::vector<std::pair<int, QString>>& sortHeaders() const { return m_sortHeaders; }
    const std::vector<std::pair<std::string, std::string>>& exchanges() const { return m_exchanges; }
    int exchangeSlots() const { return m_exchangeSlots; }
    const std::string& currentKey() const { return m_currentKey; }
    const std::string& selectedKey() const { return m_selectedKey; }
    void initUi() { InitUiAtScale(1.0); }
    void setScale(double scale) { m_scale = scale; }

    // Selected contract.
    void select(const std::string& key, int period) { SelectContract(key, period); }
    void quote(const Quorvel::QuoteDetailField& q) { OnQuote(q); }
    void depth(const Quorvel::DepthQuoteField& d) { OnDepthQuote(d); }
    void ticker(const Quorvel::TickerField& t) { OnTickerQuote(t); }
    void kline(const Quorvel::RspReqQryHistoryField& k) { OnKline(k); }
    void login(bool needChange) { OnLogin(needChange); }
    void rowClicked(int type, int row) { OnQuoteRowClicked(model(type)->index(row, 0), type); }
    void rowDoubleClicked(int type, int row) { OnQuoteRowDoubleClicked(model(type)->index(row, 0), type); }
    void connected() { OnConnected(); }
    void disconnected() { OnDisconnected(); }
    bool loggedIn() const { return m_loggedIn; }
    void setLoggedIn(bool on) { m_loggedIn = on; }
    bool isConnected() const { return m_connected; }
    void setSelectedKey(const std::string& key) { m_selectedKey = key; }
    size_t tickCount() const { return m_ticks.size(); }
    IChartell*& chartView() { return m_chartView; }

    // Exchange bar.
    const std::vector<QPushButton*>& buttons() const { return m_categoryButtons; }
    const std::vector<QFrame*>& separators() const { return m_categorySeparators; }
    void exchangeClicked(int i) { OnExchangeButtonClicked(i); }
    QPushButton* exchangeOverflow() const { return m_exchangeOverflow; }
    ExchangeBarFitter* exchangeBarFitter() const { return m_exchangeBarFitter; }
    void mainContractClicked() { OnMainContractClicked(); }
    void expandClicked() { OnExpandButtonClicked(); }
    void collapseClicked() { OnCollapseButtonClicked(); }
    void returnAction() { OnReturnAction(); }
    // Rebuilds the tables and the exchange bar from the commodity list, as
    // construction does with the quote client's list.
    void rebuildBoard(std::vector<Quorvel::CommodityField> list)
    {
        m_commodities = std::make_shared<const std::vector<Quorvel::CommodityField>>(std::move(list));
        if (m_exchangeBarFitter)
            m_exchangeBarFitter->SetSlots({}, {});
        for (QPushButton* button : m_categoryButtons)
            delete button;
        for (QFrame* separator : m_categorySeparators)
            delete separator;
        m_categoryButtons.clear();
        m_categorySeparators.clear();
        m_exchangeSlots = 0;
        for (int type : { 2, 3, 4, 8, 1 })
            rebuild(type);
        InitCategoryBar();
    }

    // Status bar.
    void statusTick() { OnStatusTimer(); }
    void showLatency(std::int32_t latency, bool linkUp = true) { ShowLatency(latency, linkUp); }
    QLabel& latencyLabel() { return m_latencyLabel; }
    QPushButton& clockButton() { return m_clockButton; }
    QLabel& indexLabel(int i) { return m_indexLabels[i]; }
    QPushButton& futuresButton() { return m_futuresAccountButton; }
    QPushButton& foreignButton() { return m_foreignAccountButton; }
    const std::string& indexKey(int i) const { return m_indexKeys[i]; }

    // Login dialog and banner pop-up.
    LoginDialog& loginDialog() { return m_loginDialog; }
    BannerWidgetClass* banner() { return m_banner; }

    bool allModelsAlive() const
    {
        for (QStandardItemModel* m : m_models) {
            if (!m)
                return false;
        }
        return true;
    }
    bool anyModelAlive() const
    {
        for (QStandardItemModel* m : m_models) {
            if (m)
                return true;
        }
        return false;
    }
};

// The window tests run without a quote server: they take the contracts of
// their quotes as subscribed, as a commodity reply listing them would make them.
struct NQuoteClientProbe {
    static void Subscribe(const std::string& key) { NQuoteClient::Instance()->Store().Subscribe(key); }
    // The cache is the process's: each test starts from an empty one.
    // Empties the cache and drops what waits in the hand-off, so nothing of
    // an earlier test reaches this one's window.
    static void ForgetQuotes() { NQuoteClient::Instance()->Reset(); }
};

// Stores a quote in the quote client's cache through its quote callback, as
// the quote API would on its own thread.
inline void PushQuote(const kw::pb::ostrel2::QuoteDetailField& q)
{
    NQuoteClientProbe::Subscribe(q.contract_code());
    static_cast<COstrelSpi*>(NQuoteClient::Instance())->OnRtnQuote(&q);
}

inline kw::pb::ostrel2::QuoteDetailField MakeQuote(const std::string& key, double last, double preSettle)
{
    kw::pb::ostrel2::QuoteDetailField q;
    q.set_contract_code(key);
    q.set_last(last);
    q.set_pre_settle(preSettle);
    return q;
}

struct ContractSpec {
    std::string no;
    int flags;
};

inline Quorvel::CommodityField MakeCommodity(int type, const std::string& exchangeNo,
    const std::string& commodityNo, const std::string& name, std::vector<ContractSpec> contracts = {},
    const std::string& exchangeName = "交易所", unsigned dotSize = 2)
{
    Quorvel::CommodityField c;
    c.set_security_type(static_cast<kw::pb::ostrel2::EnumSecurityType>(type));
    c.set_exchange_no(exchangeNo);
    c.set_exchange_name(exchangeName);
    c.set_commodity_no(commodityNo);
    c.set_commodity_name(name);
    c.set_dot_size(dotSize);
    for (const ContractSpec& def : contracts) {
        auto* entry = c.add_contract_no_list();
        entry->set_contract_no(def.no);
        entry->set_flags(def.flags);
    }
    return c;
}

// A working folder holding the pictures the window loads, each a plain
// colour so that tests can tell which one a widget shows; the previous
// folder comes back at the end.
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
            // Keeps the folder from being empty when a removal takes empty parents along.
            { "keep.png", QColor(0, 0, 255) },
        };
        for (const auto& picture : pictures) {
            QImage image(8, 8, QImage::Format_RGB32);
            image.fill(picture.second);
            image.save(m_dir.filePath(QString::fromLatin1(picture.first)));
        }
        QDir::setCurrent(m_dir.path());
    }
    ~ScopedPictureFolder() { QDir::setCurrent(m_previous); }
    QString path() const { return m_dir.path(); }

private:
    QString m_previous;
    QTemporaryDir m_dir;
};
