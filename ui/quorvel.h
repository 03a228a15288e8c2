#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <QBrush>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QPixmap>
#include <QPushButton>
#include <QString>
#include <QTimer>

#include "kw.pb.ostrel2.pb.h"
#include "logindialog.h"
#include "quotetablemodel.h"
#include "ui_kwtradeclient.h"

class BannerWidgetClass;
class ColumnFitter;
class ExchangeBarFitter;
class IChartell;
class MyWidget;
class PanelColumn;
class PanelFitter;
class StatusBarFolder;
class QCloseEvent;
class QFrame;
class QMoveEvent;
class QResizeEvent;
class QShowEvent;
class QStandardItemModel;
class QTreeView;
class QEvent;
class QModelIndex;

// The main window: quote tables by market category, the selected contract's
// detail, depth and trade panels, the chart host, tool bars and status bar.
// Everything here runs on the GUI thread.
class Quorvel : public QMainWindow
{
    Q_OBJECT

public:
    using CommodityField = kw::pb::ostrel2::CommodityField;
    using QuoteDetailField = kw::pb::ostrel2::QuoteDetailField;
    using TickerField = kw::pb::ostrel2::TickerField;
    using DepthQuoteField = kw::pb::ostrel2::DepthQuoteField;
    using RspReqQryHistoryField = kw::pb::ostrel2::RspReqQryHistoryField;

    // Builds the form, the quote tables (from the quote client's commodity
    // list) and the refresh and status timers.
    explicit Quorvel(QWidget* parent = nullptr);
    ~Quorvel() override;

    // Post-construction set-up: scales the form to the primary screen's
    // logical DPI, creates the chart host and starts the login prompt timer.
    // Call once, after construction and before the window is first shown.
    void InitUi();
    // The banner pop-up made by the constructor when banners are on, or null.
    BannerWidgetClass* Banner() const { return m_banner; }

    // Scale factor for a logical DPI: 96 -> 1.0, 120 -> 1.25, 144 -> 1.5,
    // anything else 1.75 (each compared to 10 decimals).
    static double ScaleForDpi(double logicalDpi);
    // A size of the form at the given scale, truncated toward zero.
    static int ScaledSize(double scale, double size) { return static_cast<int>(scale * size); }
    // A picture at the given scale (the same one at scale 1).
    static QPixmap ScaledPixmap(const QPixmap& picture, double scale);

    // Removes a folder and everything in it. False only for an empty path; a
    // missing folder counts as removed. Symbolic links are removed, never
    // followed. Parent folders left empty are removed as well.
    static bool RemoveDir(const QString& path);

    // Contract-key readers: a key of 2 or 3 "_"-separated parts whose first
    // part names a security type. ContractKeyType gives that type (0 when the
    // key is not valid); Part1 the commodity number; Part2 the contract number
    // (3-part keys only). Invalid keys give empty parts.
    static int ContractKeyType(const std::string& key);
    static std::string ContractKeyPart1(const std::string& key);
    static std::string ContractKeyPart2(const std::string& key);
    // Key prefix of a security type: "FO", "FI", "C", "S", "D", "V", else "".
    static std::string CategoryCode(int type);

    // The six tabs of `quote_tabwidget` show the categories 0, 1, 2, 3, 4, 8.
    static constexpr int kTabCount = 6;
    // Category of a tab index, -1 for an index that is no tab.
    static int CategoryOfTab(int tab);
    // Tab index of a category, -1 for a category without a tab.
    static int TabOfCategory(int type);

    // First commodity of [first, last) with the security type and commodity
    // number of the reply's contract key, else `last`.
    static std::vector<CommodityField>::const_iterator FindCommodity(
        std::vector<CommodityField>::const_iterator first, std::vector<CommodityField>::const_iterator last,
        const RspReqQryHistoryField& kline);

    // Latency in ms shown by the status bar: the heartbeat's round trip once
    // its reply came (reply time not 0), 0 ms included; while the reply is
    // outstanding, the wait since the heartbeat was sent, in 32-bit
    // wrap-around arithmetic.
    static std::int32_t LatencyFigure(
        std::int32_t latency, std::int64_t sendTime, std::int64_t replyTime, std::int64_t nowMs);
    // Picture of a latency figure: 0 for "Resources/images/04.png" (up to
    // 100 ms), 1 for 03.png, 2 for 02.png, 3 for 01.png (over 400 ms).
    static int LatencyLevel(std::int32_t latency);

protected:
    void closeEvent(QCloseEvent* event) override;
    // Both also accept a null event: they then re-place the arrow buttons and
    // the banner without calling the base handler.
    void resizeEvent(QResizeEvent* event) override;
    void moveEvent(QMoveEvent* event) override;
    // Places the arrow buttons again once the lists have their first widths.
    void showEvent(QShowEvent* event) override;

    // First step of closing: stops the quote client, so that no quote signal
    // arrives while the window releases what those signals reach.
    virtual void StopQuoteClient();

    bool eventFilter(QObject* watched, QEvent* event) override;

    // The requests that follow the current contract; they go to the quote
    // client (tests watch them here).
    enum class ContractRequest {
        SubscribeDepth,
        SubscribeTicker,
        UnSubscribeDepth,
        UnSubscribeTicker,
        QueryKLine
    };
    virtual void SendContractRequest(ContractRequest request, const std::string& key, int period);

    // The window's own operations and the state they keep, for a subclass to
    // drive and read (the tests' window among them).

    // Post-construction set-up at a given scale (InitUi with the screen's).
    void InitUiAtScale(double scale);
    // Keeps the banner pop-up in the window's bottom-right corner.
    void PlaceBanner();

    // Quote tables.
    void InitQuoteModels();
    void InitModelHeader(QStandardItemModel* model, int type);
    void RefreshQuoteList(QuoteTableModel* model, int type, std::string exchangeNo);
    void FillQuoteRow(QuoteTableModel* model, int row, std::string key, std::string name);
    // Rewrites the live cells of a row without a change notice per cell; the
    // caller tells the views (OnRefreshTimer: once for the whole table).
    void UpdateQuoteRow(
        QuoteTableModel* model, int row, const QuoteDetailField* quote, const ContractRow* record);
    void OnRefreshTimer();

    // Sorting.
    void OnHeaderClicked(int type, unsigned& clickCount, int section);
    void SortQuoteList(int type, int column, bool ascending);
    // Plain texts of the sortable headers, without arrows, on one model.
    void RestoreSortHeaderTexts(QStandardItemModel* model);

    QTreeView* ViewOfTab(int tab) const;
    QuoteTableModel* ModelOfCategory(int type) const;
    // Lays out the columns of the list on screen within its width and shows
    // ">>" while some of them are out of room; see ColumnFitter.
    void FitListColumns();

    // Selected contract: detail, depth and trade panels, K-lines.
    void SelectContract(const std::string& key, int period);
    void UpdateQuotePanel(const QuoteDetailField& quote, bool found);
    // Colours the detail panel and depth level 1 from a quote of the current
    // contract; null (no quote) leaves every figure neutral.
    void ColourQuotePanel(const QuoteDetailField* quote);
    void ResetDepthPanel();
    void ResetTickerPanel();
    // The link is lost: the current contract's panels show no figure until
    // its quote, depth and trades come again on the new connection.
    void ClearSelectedPanels();
    // The link is lost: every row shows no figure until its next quote.
    void BlankAllRows();
    void DropCrossedDepth(const QuoteDetailField& quote);
    void UpdateTickerPanel();
    // The queued event holds the payload; the handlers read it in place.
    void OnQuote(const QuoteDetailField& quote);
    void OnDepthQuote(const DepthQuoteField& depth);
    void OnTickerQuote(const TickerField& ticker);
    void OnKline(const RspReqQryHistoryField& kline);
    void OnLogin(bool needChange);
    void OnQuoteRowDoubleClicked(const QModelIndex& index, int type);
    void OnQuoteRowClicked(const QModelIndex& index, int type);
    // Row record of a model row of a table; null when there is none.
    const ContractRow* FindRow(int type, int modelRow) const;

    // Actions, exchange bar and signal wiring.
    void InitConnections();
    void InitCategoryBar();
    void OnCategoryClicked(int tab);
    void HighlightCategoryButton(int index);
    void OnExchangeButtonClicked(int index);
    void OnMainContractClicked();
    void OnExpandButtonClicked();
    void OnCollapseButtonClicked();
    void OnReturnAction();
    void OnAccountAction();
    void OnFindAction();
    void OnLoginAction();
    void OnLogoutAction();
    void OnLoginPromptTimer();
    // Shows the login dialog when not logged in; `needChange` true when the
    // user picked a contract, so the chart page follows once the login is through.
    void PromptLogin(bool needChange);
    void OnConnected();
    void OnDisconnected();
    static void ShowNotReady();
    // Shows every column that the folding buttons fold, of a tab's view.
    void ShowAllColumns(int tab);
    // Exchange button text: a blank, the exchange's name and code, a blank;
    // a long one cut short, whole in the tool tip that SetExchangeButton gives.
    QString ExchangeButtonText(size_t index) const;
    void SetExchangeButton(QPushButton* button, size_t index) const;
    // Tells the bar how many exchanges the list has; says once in the log
    // when some have no button of their own.
    void FitExchangeBar();

    // Status bar: clock, latency and index labels.
    void InitStatusBar();
    // Gives the account-kind captions room for their texts, and the pictures
    // their size, at the window's scale.
    void ScaleStatusBar();
    // Icons of the tool bars at the window's scale; the right one kept whole.
    void ScaleToolBars();
    // Icon side of the tool bars and of the quote lists' arrows at scale 1.
    static constexpr int kToolIconSize = 24;
    static constexpr int kArrowIconSize = 16;
    void OnStatusTimer();
    // Creates the index label of a reference commodity met by a table build.
    void IndexLabelStep(const CommodityField& commodity, const std::string& key);
    // Without a quote (`found` false) the label shows the name and no figure.
    void SetIndexLabel(int label, const std::string& name, const QuoteDetailField& quote, bool found);
    // A press on an index label, or its entry in the status bar's fold menu.
    void OnIndexLabelPressed(int label);
    static std::int32_t CurrentLatency();
    // While the link is down the picture is the worst and the tool tip says so.
    void ShowLatency(std::int32_t latency, bool linkUp = true);

    bool m_loggedIn = false;
    // Named children of the window ("refreshTimer", "statusTimer",
    // "loginPromptTimer"), so that what watches the window can find them.
    QTimer m_refreshTimer { this };
    QTimer m_statusTimer { this };
    QTimer m_loginPromptTimer { this };
    Ui_KwTradeClientClass ui;
    MyWidget* m_chartHost = nullptr;
    bool m_connected = false;
    // The quote client's commodity list as it was when the tables were built
    // (shared with the client, never copied: a whole market's list is large).
    std::shared_ptr<const std::vector<CommodityField>> m_commodities;
    const std::vector<CommodityField>& Commodities() const;
    std::string m_currentKey;
    std::string m_selectedKey;
    // Models of the six quote lists, indexed by tab (categories 0, 1, 2, 3, 4,
    // 8); each holds the rows of its list.
    std::array<QuoteTableModel*, kTabCount> m_models {};
    // Column layout of each list's view, indexed by tab; children of the views.
    std::array<ColumnFitter*, kTabCount> m_columnFitters {};
    QPushButton* m_expandButton = nullptr;
    QPushButton* m_collapseButton = nullptr;
    IChartell* m_chartView = nullptr;
    std::vector<TickerField> m_ticks;
    std::vector<QFrame*> m_categorySeparators;
    std::vector<QPushButton*> m_categoryButtons;
    // Exchange name (locale's character set) and exchange number of the
    // commodities of the latest table build, in the order first met.
    std::vector<std::pair<std::string, std::string>> m_exchanges;
    // Number of exchange button slots: the largest size m_exchanges reached.
    int m_exchangeSlots = 0;
    // Buttons there are at most; the exchanges beyond are in the overflow menu.
    static constexpr int kExchangeButtonLimit = 24;
    QPushButton* m_exchangeOverflow = nullptr;
    ExchangeBarFitter* m_exchangeBarFitter = nullptr;
    bool m_exchangeCapLogged = false;
    double m_widthFactor = 1.0;
    double m_scale = 1.0;

    // Status bar widgets, constructed without parent and re-parented to the
    // status bar when it is filled.
    QLabel m_indexLabels[3];
    QPushButton m_clockButton;
    QLabel m_latencyLabel;
    QPushButton m_noticeButton;
    QLineEdit m_statusEdit;
    QPushButton m_futuresAccountButton;
    QPushButton m_foreignAccountButton;
    QLabel m_busyLabel;
    QLabel m_statusImageLabel;
    // The logo at the bar's left end; a child of the status bar.
    QLabel* m_logoLabel = nullptr;
    // Contract key and commodity name (UTF-8) behind each index label.
    std::string m_indexKeys[3];
    std::string m_indexNames[3];

    std::vector<std::pair<int, QString>> m_sortHeaders;
    std::mutex m_listMutex;
    LoginDialog m_loginDialog;
    BannerWidgetClass* m_banner = nullptr;

    // Colours and icons of the quote cells, made once on first use.
    const QuotePaint& Paint();
    std::unique_ptr<QuotePaint> m_paint;

    // Where the refresh of a list longer than a tick's share goes on.
    size_t m_refreshTurn = 0;
    // The tab whose list InitQuoteModels built last, while nothing has changed
    // it since: the first switch to that tab (InitUi's) finds it as a rebuild
    // would leave it, and does not build the same rows twice. -1 otherwise.
    int m_untouchedTab = -1;

    // The four latency pictures, loaded on first use.
    std::unique_ptr<std::array<QPixmap, 4>> m_latencyPixmaps;

    // Widens the panels beside the chart when their figures need more room
    // than the scaled minimum width; a child of `splitter`.
    PanelFitter* m_panelFitter = nullptr;
    // The panels beside the chart, scrolling when the window is lower than
    // they are; holds `splitter` once InitUi made it.
    PanelColumn* m_panelColumn = nullptr;
    // Folds the notice and the index labels when the bar is narrower than they are.
    StatusBarFolder* m_statusFolder = nullptr;
};
