// Everything the user presses in the window: tool-bar actions, the account
// menu, the exchange bar under the lists, the column folding buttons, and the
// wiring of the quote client's signals.
#include "quorvel.h"

#include <algorithm>

#include <QCursor>
#include <QFrame>
#include <QHeaderView>
#include <QMenu>
#include <QMessageBox>
#include <QSpacerItem>
#include <QTreeView>

#include "bannerwidget.h"
#include "columnfitter.h"
#include "exchangebarfitter.h"
#include "logger.h"
#include "nquoteclient.h"

namespace
{

const QString kChosenStyle
    = QStringLiteral("background-color: rgb(219, 219, 219);\ncolor: rgb(0, 0, 0);\nborder:none;");
const QString kOtherStyle
    = QStringLiteral("background-color: rgb(77, 77, 77);\ncolor: rgb(211, 211, 211);\nborder:none;");
const QString kChosenEdgeStyle = QStringLiteral(
    "background-color: rgb(219, 219, 219);\ncolor: rgb(0, 0, 0);\nborder-top:none;\nborder-bottom:none;");
const QString kOtherEdgeStyle = QStringLiteral(
    "background-color: rgb(77, 77, 77);\ncolor: rgb(211, 211, 211);\nborder-top:none;\nborder-bottom:none;");
const QString kSeparatorStyle = QStringLiteral("color: rgb(211, 211, 211)");

// Longer captions are cut, the whole one in the button's tool tip.
constexpr int kCaptionLimit = 16;

const QSize kTallSeparator(1, 24);
const QSize kShortSeparator(1, 12);

QFrame* NewSeparator(QWidget* parent, const QSize& maximum)
{
    auto* separator = new QFrame(parent);
    separator->setFrameShape(QFrame::VLine);
    separator->setFrameShadow(QFrame::Plain);
    separator->setLineWidth(1);
    separator->setStyleSheet(kSeparatorStyle);
    separator->setMaximumSize(maximum);
    return separator;
}

} // namespace

void Quorvel::InitConnections()
{
    connect(&m_refreshTimer, &QTimer::timeout, this, &Quorvel::OnRefreshTimer);
    connect(&m_statusTimer, &QTimer::timeout, this, &Quorvel::OnStatusTimer);
    connect(&m_loginPromptTimer, &QTimer::timeout, this, &Quorvel::OnLoginPromptTimer);
    connect(ui.return_action, &QAction::triggered, this, &Quorvel::OnReturnAction);

    for (QAction* action :
        { ui.ask_action, ui.order_action, ui.order_action2, ui.save_action, ui.update_action,
            ui.thr_min_action, ui.one_week_action, ui.one_month_action, ui.self_action, ui.pull_action,
            ui.push_action, ui.left_action, ui.right_action, ui.top_action, ui.down_action, ui.other_action })
        connect(action, &QAction::triggered, &Quorvel::ShowNotReady);

    namespace pb = kw::pb::ostrel2;
    // The time-sharing view asks for the period without a name.
    const std::pair<QAction*, int> periods[] = {
        { ui.min_action, pb::KLINE_UNKNOWN },
        { ui.kline_action, pb::KLINE_1MIN },
        { ui.one_min_action, pb::KLINE_1MIN },
        { ui.five_min_action, pb::KLINE_5MIN },
        { ui.fif_min_action, pb::KLINE_15MIN },
        { ui.one_hour_action, pb::KLINE_1HR },
        { ui.one_day_action, pb::KLINE_1DAY },
    };
    for (const auto& period : periods) {
        const int code = period.second;
        connect(
            period.first, &QAction::triggered, this, [this, code] { SelectContract(m_selectedKey, code); });
    }
    connect(ui.account_action, &QAction::triggered, this, &Quorvel::OnAccountAction);

    NQuoteClient* client = NQuoteClient::Instance();
    connect(client, &NQuoteClient::quote_sig, this, &Quorvel::OnQuote);
    connect(client, &NQuoteClient::ticker_quote_sig, this, &Quorvel::OnTickerQuote);
    connect(client, &NQuoteClient::depth_quote_sig, this, &Quorvel::OnDepthQuote);
    connect(client, &NQuoteClient::Kline_sig, this, &Quorvel::OnKline);
    connect(client, &NQuoteClient::disconnect_sig, this, &Quorvel::OnDisconnected);
    connect(client, &NQuoteClient::connect_sig, this, &Quorvel::OnConnected);

    const std::pair<QTreeView*, int> views[] = {
        { ui.FO_View, 1 },
        { ui.FI_View, 2 },
        { ui.C_View, 3 },
        { ui.S_View, 4 },
        { ui.D_View, 8 },
    };
    for (const auto& view : views) {
        const int type = view.second;
        connect(view.first, &QAbstractItemView::doubleClicked, this,
            [this, type](const QModelIndex& index) { OnQuoteRowDoubleClicked(index, type); });
    }
    for (const auto& view : views) {
        const int type = view.second;
        connect(view.first, &QAbstractItemView::clicked, this,
            [this, type](const QModelIndex& index) { OnQuoteRowClicked(index, type); });
    }

    connect(ui.quote_tabwidget, &QTabWidget::currentChanged, this, &Quorvel::OnCategoryClicked);
    connect(ui.login_action, &QAction::triggered, this, &Quorvel::OnLoginAction);
    connect(ui.logout_action, &QAction::triggered, this, &Quorvel::OnLogoutAction);
    connect(ui.pushButton, &QAbstractButton::clicked, this, &Quorvel::OnMainContractClicked);
    connect(m_expandButton, &QAbstractButton::clicked, this, &Quorvel::OnExpandButtonClicked);
    connect(m_collapseButton, &QAbstractButton::clicked, this, &Quorvel::OnCollapseButtonClicked);
    connect(&m_loginDialog, &LoginDialog::login_sig, this, &Quorvel::OnLogin);
    // The action belongs to the window's form, so it never outlives the window.
    connect(ui.find_action, &QAction::triggered, [this] { OnFindAction(); });
    for (QAction* action :
        { ui.help_action, ui.sys_action, ui.per_action, ui.zixun_action, ui.bankuai_action, ui.zixun_action })
        connect(action, &QAction::triggered, &Quorvel::ShowNotReady);
}

void Quorvel::ShowNotReady()
{
    QMessageBox::information(nullptr, QStringLiteral("info"), QStringLiteral("功能正在开发中"),
        QMessageBox::Ok, QMessageBox::NoButton);
}

QString Quorvel::ExchangeButtonText(size_t index) const
{
    const auto& exchange = m_exchanges[index];
    QString caption
        = QString::fromLocal8Bit(exchange.first.c_str()) + QString::fromStdString(exchange.second);
    if (caption.size() > kCaptionLimit)
        caption = caption.left(kCaptionLimit - 1) + QChar(0x2026);
    return QLatin1Char(' ') + caption + QLatin1Char(' ');
}

void Quorvel::SetExchangeButton(QPushButton* button, size_t index) const
{
    const QString text = ExchangeButtonText(index);
    button->setText(text);
    const auto& exchange = m_exchanges[index];
    const QString whole
        = QString::fromLocal8Bit(exchange.first.c_str()) + QString::fromStdString(exchange.second);
    button->setToolTip(text.trimmed() == whole ? QString() : whole);
}

void Quorvel::FitExchangeBar()
{
    if (!m_exchangeBarFitter)
        return;
    m_exchangeBarFitter->SetCount(m_exchanges.size());
    if (m_exchanges.size() > m_categoryButtons.size() && !m_exchangeCapLogged) {
        m_exchangeCapLogged = true;
        WriteLog(LogWarn,
            "exchange bar: %zu exchanges, buttons for the first %zu; the others are under \"%s\"",
            m_exchanges.size(), m_categoryButtons.size(),
            m_exchangeOverflow->text().trimmed().toUtf8().constData());
    }
}

void Quorvel::InitCategoryBar()
{
    QWidget* bar = ui.widget;
    // However many exchanges a server lists, the bar holds a few dozen
    // buttons; every one of them is a widget the window lays out and paints.
    const int buttonCount = std::min(m_exchangeSlots, kExchangeButtonLimit);
    for (int i = 0; i < buttonCount; ++i) {
        QFrame* separator = NewSeparator(bar, i == 0 ? kTallSeparator : kShortSeparator);
        auto* button = new QPushButton(bar);
        button->setSizePolicy(QSizePolicy::Minimum, QSizePolicy::Minimum);
        button->setMinimumSize(50, 25);
        button->setStyleSheet(kOtherStyle);
        if (static_cast<size_t>(i) < m_exchanges.size()) {
            SetExchangeButton(button, static_cast<size_t>(i));
        } else {
            button->hide();
            separator->hide();
        }
        ui.horizontalLayout->addWidget(separator);
        ui.horizontalLayout->addWidget(button);
        m_categorySeparators.push_back(separator);
        m_categoryButtons.push_back(button);
    }
    QFrame* closing = NewSeparator(bar, kShortSeparator);
    ui.horizontalLayout->addWidget(closing);
    m_categorySeparators.push_back(closing);

    if (!m_exchangeOverflow) {
        m_exchangeOverflow = new QPushButton(QStringLiteral(" 更多 "), bar);
        m_exchangeOverflow->setObjectName(QStringLiteral("exchangeOverflowButton"));
        m_exchangeOverflow->setSizePolicy(QSizePolicy::Minimum, QSizePolicy::Minimum);
        m_exchangeOverflow->setMinimumSize(50, 25);
        m_exchangeOverflow->setStyleSheet(kOtherStyle);
        m_exchangeOverflow->setToolTip(QStringLiteral("其余交易所"));
        m_exchangeOverflow->hide();
        m_exchangeBarFitter = new ExchangeBarFitter(
            bar, { ui.label, ui.pushButton }, m_exchangeOverflow, { kChosenStyle, kOtherStyle },
            [this](size_t i) { return ExchangeButtonText(i); },
            [this](int i) { OnExchangeButtonClicked(i); });
    } else {
        ui.horizontalLayout->removeWidget(m_exchangeOverflow);
    }
    ui.horizontalLayout->addWidget(m_exchangeOverflow);
    ui.horizontalLayout->addItem(new QSpacerItem(10, 22, QSizePolicy::Expanding, QSizePolicy::Minimum));

    for (size_t i = 0; i < m_categoryButtons.size(); ++i) {
        const int index = static_cast<int>(i);
        connect(m_categoryButtons[i], &QAbstractButton::clicked, this,
            [this, index] { OnExchangeButtonClicked(index); });
    }
    m_exchangeBarFitter->SetChosen(-1);
    m_exchangeBarFitter->SetSlots(m_categoryButtons, m_categorySeparators);
    FitExchangeBar();
}

void Quorvel::ShowAllColumns(int tab)
{
    if (tab >= 0 && tab < kTabCount && m_columnFitters[static_cast<size_t>(tab)])
        m_columnFitters[static_cast<size_t>(tab)]->Unfold();
}

void Quorvel::OnCategoryClicked(int tab)
{
    const int type = CategoryOfTab(tab);
    if (type < 0)
        return;
    QuoteTableModel* model = m_models[static_cast<size_t>(tab)];
    ShowAllColumns(tab);
    if (m_collapseButton)
        m_collapseButton->hide();
    RestoreSortHeaderTexts(model);
    // The list is built again unless it stands as that would build it.
    if (m_untouchedTab != tab)
        RefreshQuoteList(model, type, std::string());
    m_untouchedTab = -1;
    // Another list, other widths: ">>" follows the list on screen.
    FitListColumns();

    // The bar was built for as many slots as there were then; a later list
    // with more exchanges has no buttons for the extra ones.
    const size_t slotCount = std::min(static_cast<size_t>(m_exchangeSlots), m_categoryButtons.size());
    for (size_t j = 0; j < slotCount; ++j) {
        QPushButton* button = m_categoryButtons[j];
        if (j < m_exchanges.size()) {
            button->show();
            m_categorySeparators[j]->show();
            button->setStyleSheet(kOtherStyle);
            SetExchangeButton(button, j);
        } else {
            m_categorySeparators[j]->hide();
            button->hide();
            button->setText(QString());
            button->setToolTip(QString());
        }
    }
    ui.pushButton->setStyleSheet(kChosenStyle);
    for (size_t j = 0; j < m_categorySeparators.size(); ++j)
        m_categorySeparators[j]->setMaximumSize(j == 0 ? kTallSeparator : kShortSeparator);
    if (m_exchangeBarFitter)
        m_exchangeBarFitter->SetChosen(-1);
    FitExchangeBar();
}

void Quorvel::OnExchangeButtonClicked(int index)
{
    ui.pushButton->setStyleSheet(kOtherStyle);
    HighlightCategoryButton(index);
}

void Quorvel::HighlightCategoryButton(int index)
{
    ui.tabWidget->setCurrentIndex(0);
    for (size_t j = 0; j < m_categoryButtons.size(); ++j)
        m_categoryButtons[j]->setStyleSheet(static_cast<int>(j) == index ? kChosenStyle : kOtherStyle);
    for (size_t j = 0; j < m_categorySeparators.size(); ++j) {
        const bool tall = static_cast<int>(j) == index || static_cast<int>(j) == index + 1;
        m_categorySeparators[j]->setMaximumSize(tall ? kTallSeparator : kShortSeparator);
    }
    if (m_exchangeBarFitter)
        m_exchangeBarFitter->SetChosen(index);

    const int tab = ui.quote_tabwidget->currentIndex();
    const int type = CategoryOfTab(tab);
    if (type < 0 || index < 0 || static_cast<size_t>(index) >= m_exchanges.size())
        return;
    QuoteTableModel* model = m_models[static_cast<size_t>(tab)];
    RestoreSortHeaderTexts(model);
    RefreshQuoteList(model, type, m_exchanges[static_cast<size_t>(index)].second);
}

void Quorvel::OnMainContractClicked()
{
    ui.tabWidget->setCurrentIndex(0);
    ui.pushButton->setStyleSheet(kChosenEdgeStyle);
    for (QPushButton* button : m_categoryButtons)
        button->setStyleSheet(kOtherEdgeStyle);
    if (m_exchangeBarFitter)
        m_exchangeBarFitter->SetChosen(-1);
    const int tab = ui.quote_tabwidget->currentIndex();
    const int type = CategoryOfTab(tab);
    for (size_t j = 0; j < m_categorySeparators.size(); ++j)
        m_categorySeparators[j]->setMaximumSize(j == 0 ? kTallSeparator : kShortSeparator);
    if (type < 0)
        return;
    QuoteTableModel* model = m_models[static_cast<size_t>(tab)];
    RestoreSortHeaderTexts(model);
    RefreshQuoteList(model, type, std::string());
}

void Quorvel::OnExpandButtonClicked()
{
    const int tab = ui.quote_tabwidget->currentIndex();
    if (!ViewOfTab(tab))
        return;
    // The room as it is now, with the button where it stands.
    FitListColumns();
    ColumnFitter* fitter = m_columnFitters[static_cast<size_t>(tab)];
    if (!fitter || !fitter->Fold())
        return;
    if (m_collapseButton)
        m_collapseButton->show();
    FitListColumns();
}

void Quorvel::OnCollapseButtonClicked()
{
    const int tab = ui.quote_tabwidget->currentIndex();
    if (m_collapseButton)
        m_collapseButton->hide();
    if (tab >= 1 && tab < kTabCount) {
        ShowAllColumns(tab);
        FitListColumns();
    }
}

void Quorvel::OnReturnAction()
{
    ui.tabWidget->setCurrentIndex(0);
    OnCollapseButtonClicked();
    resizeEvent(nullptr);
}

void Quorvel::OnAccountAction()
{
    QMenu menu;
    menu.addAction(ui.login_action);
    menu.addAction(ui.logout_action);
    menu.exec(QCursor::pos());
}

void Quorvel::OnFindAction()
{
    if (!m_banner)
        return;
    m_banner->show();
    if (m_banner->ReshowTimer().isActive())
        m_banner->ReshowTimer().stop();
}

void Quorvel::OnLoginAction()
{
    if (!m_loggedIn) {
        PromptLogin(false);
        return;
    }
    QMessageBox::warning(nullptr, QStringLiteral("warn"), QStringLiteral("你已经登录!"), QMessageBox::Ok);
}

void Quorvel::OnLoginPromptTimer()
{
    PromptLogin(false);
}

void Quorvel::OnLogoutAction()
{
    if (m_loggedIn) {
        m_loggedIn = false;
        return;
    }
    QMessageBox::warning(nullptr, QStringLiteral("warn"), QStringLiteral("你尚未登录!"), QMessageBox::Ok);
}

void Quorvel::OnConnected()
{
    m_connected = true;
}

void Quorvel::OnDisconnected()
{
    m_connected = false;
    ClearSelectedPanels();
    BlankAllRows();
}
