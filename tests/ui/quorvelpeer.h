#pragma once

// Test access to the main window's internals, and helpers that put quotes
// into the quote client's cache the way the quote API does.

#include <string>
#include <utility>
#include <vector>

#include <QCoreApplication>
#include <QDir>
#include <QImage>
#include <QSignalBlocker>
#include <QStandardItemModel>
#include <QString>
#include <QTemporaryDir>

#include "nquoteclient.h"
#include "quorvel.h"

class QuorvelTestPeer
{
public:
    explicit QuorvelTestPeer(Quorvel& window)
        : w(window)
    {
    }

    Ui_KwTradeClientClass& ui() { return w.ui; }
    QStandardItemModel* model(int type) { return w.ModelOfCategory(type); }
    std::vector<ContractRow>& rows(int type) { return w.m_contractRows[type]; }
    bool hasRows(int type) const { return w.m_contractRows.count(type) != 0; }
    void setCommodities(std::vector<Quorvel::CommodityField> list) { w.m_commodities = std::move(list); }
    void rebuild(int type, const std::string& exchangeNo = std::string())
    {
        w.RefreshQuoteList(w.ModelOfCategory(type), type, exchangeNo);
    }
    void rebuildWithModel(QStandardItemModel* model, int type)
    {
        w.RefreshQuoteList(model, type, std::string());
    }
    void tick() { w.OnRefreshTimer(); }
    // Puts a quote tab on screen without the category switch that a user's
    // click runs (which rebuilds the list).
    void showTab(int tab)
    {
        const QSignalBlocker quiet(w.ui.quote_tabwidget);
        w.ui.quote_tabwidget->setCurrentIndex(tab);
    }
    void sort(int type, int column, bool ascending) { w.SortQuoteList(type, column, ascending); }
    void initUiAtScale(double scale) { w.InitUiAtScale(scale); }
    void replaceArrows() { w.resizeEvent(nullptr); }
    void moved() { w.moveEvent(nullptr); }
    void restoreSortHeaders(int type) { w.RestoreSortHeaderTexts(w.ModelOfCategory(type)); }

    QPushButton* expandButton() { return w.m_expandButton; }
    QPushButton* collapseButton() { return w.m_collapseButton; }
    MyWidget* chartHost() { return w.m_chartHost; }
    QTimer& refreshTimer() { return w.m_refreshTimer; }
    QTimer& statusTimer() { return w.m_statusTimer; }
    QTimer& loginPromptTimer() { return w.m_loginPromptTimer; }
    double scale() const { return w.m_scale; }
    double widthFactor() const { return w.m_widthFactor; }
    const std::vector<std::pair<int, QString>>& sortHeaders() const { return w.m_sortHeaders; }
    const std::vector<std::pair<std::string, std::string>>& exchanges() const { return w.m_exchanges; }
    int exchangeSlots() const { return w.m_exchangeSlots; }
    const std::string& currentKey() const { return w.m_currentKey; }
    const std::string& selectedKey() const { return w.m_selectedKey; }
    bool allModelsAlive() const
    {
        for (QStandardItemModel* m : w.m_models) {
            if (!m)
                return false;
        }
        return true;
    }
    bool anyModelAlive() const
    {
        for (QStandardItemModel* m : w.m_models) {
            if (m)
                return true;
        }
        return false;
    }

private:
    Quorvel& w;
};

// Stores a quote in the quote client's cache through its quote callback, as
// the quote API would on its own thread.
inline void PushQuote(const kw::pb::ostrel2::QuoteDetailField& q)
{
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
    const std::string& commodityNo, const std::string& name, std::vector<ContractSpec> contracts,
    const std::string& exchangeName = "EX")
{
    Quorvel::CommodityField c;
    c.set_security_type(static_cast<kw::pb::ostrel2::EnumSecurityType>(type));
    c.set_exchange_no(exchangeNo);
    c.set_exchange_name(exchangeName);
    c.set_commodity_no(commodityNo);
    c.set_commodity_name(name);
    for (const ContractSpec& def : contracts) {
        auto* entry = c.add_contract_no_list();
        entry->set_contract_no(def.no);
        entry->set_flags(def.flags);
    }
    return c;
}

// A working folder with the arrow pictures the tables load, "Resources/up.png"
// (red) and "Resources/down.png" (green); the previous folder comes back at
// the end.
class ScopedBoardFolder
{
public:
    ScopedBoardFolder()
        : m_previous(QDir::currentPath())
    {
        QDir(m_dir.path()).mkpath(QStringLiteral("Resources"));
        Picture(Qt::red).save(m_dir.filePath(QStringLiteral("Resources/up.png")));
        Picture(Qt::green).save(m_dir.filePath(QStringLiteral("Resources/down.png")));
        // Keeps the folder from being empty when a removal takes empty parents along.
        Picture(Qt::blue).save(m_dir.filePath(QStringLiteral("keep.png")));
        QDir::setCurrent(m_dir.path());
    }
    ~ScopedBoardFolder() { QDir::setCurrent(m_previous); }
    QString path() const { return m_dir.path(); }

    static QImage Picture(Qt::GlobalColor colour)
    {
        QImage image(8, 8, QImage::Format_ARGB32);
        image.fill(colour);
        return image;
    }

private:
    QString m_previous;
    QTemporaryDir m_dir;
};
