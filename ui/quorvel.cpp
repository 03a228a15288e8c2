#include "quorvel.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFont>
#include <QGridLayout>
#include <QGuiApplication>
#include <QHeaderView>
#include <QMoveEvent>
#include <QResizeEvent>
#include <QScreen>
#include <QShowEvent>
#include <QStandardItemModel>
#include <QTabBar>
#include <QTreeView>

#include "bannerwidget.h"
#include "boardstyle.h"
#include "chartell.h"
#include "columnfitter.h"
#include "customtabstyle.h"
#include "helpers.h"
#include "mywidget.h"
#include "nquoteclient.h"
#include "quotecolumns.h"
#include "screenfit.h"
#include "tradeconfig.h"

namespace
{

// The fold buttons over the list, in the board's neutral yellow.
QString ArrowButtonStyle()
{
    return QStringLiteral("border:none;") + BoardStyle::kDepthNeutral;
}

// The form's fonts are Windows ones. Where they are missing the font
// database falls back to a Latin sans font whose digits are wider than the
// columns drawn for them; these stand in with the half-width figures of the
// originals. Qt asks for them only when the named family is not installed.
void SubstituteWindowsFonts()
{
    QFont::insertSubstitutions(
        QStringLiteral("宋体"), { QStringLiteral("AR PL UMing CN"), QStringLiteral("WenQuanYi Zen Hei") });
    QFont::insertSubstitutions(QStringLiteral("Microsoft YaHei UI"),
        { QStringLiteral("WenQuanYi Micro Hei"), QStringLiteral("WenQuanYi Zen Hei") });
}

} // namespace

// Before any widget resolves a font: a font resolved once is cached.
Q_COREAPP_STARTUP_FUNCTION(SubstituteWindowsFonts)

Quorvel::Quorvel(QWidget* parent)
    : QMainWindow(parent)
{
    ui.setupUi(this);
    m_refreshTimer.setObjectName(QStringLiteral("refreshTimer"));
    m_statusTimer.setObjectName(QStringLiteral("statusTimer"));
    m_loginPromptTimer.setObjectName(QStringLiteral("loginPromptTimer"));
    m_panelFitter = new PanelFitter(ui.splitter);

    const TradeConfig* config = TradeConfig::GetInstance();
    if (config->bannerSwitchFlag && !config->bannerList.empty())
        m_banner = new BannerWidgetClass(this);

    InitStatusBar();

    m_expandButton = new QPushButton(QStringLiteral(">>"), this);
    m_expandButton->setStyleSheet(ArrowButtonStyle());
    m_collapseButton = new QPushButton(QStringLiteral("<<"), this);
    m_collapseButton->setStyleSheet(ArrowButtonStyle());
    m_collapseButton->hide();

    InitConnections();

    m_currentKey.clear();
    m_selectedKey.clear();

    InitQuoteModels();

    m_refreshTimer.start(BoardStyle::kRefreshInterval);
    m_statusTimer.start(1000);
    m_loginPromptTimer.setSingleShot(true);
}

Quorvel::~Quorvel()
{
    // The lists outlive this object's own part of the destruction; nothing
    // they hear of from now on may reach back into it.
    for (ColumnFitter* fitter : m_columnFitters) {
        if (fitter)
            fitter->SetRelayout({});
    }
}

double Quorvel::ScaleForDpi(double logicalDpi)
{
    // Screens report their DPI from a physical size in millimetres, so a
    // 120 DPI screen comes as 119.954: the whole number is what counts.
    if (!std::isfinite(logicalDpi))
        return 1.75;
    switch (static_cast<int>(std::lround(std::clamp(logicalDpi, -1.0, 1000.0)))) {
    case 96:
        return 1.0;
    case 120:
        return 1.25;
    case 144:
        return 1.5;
    default:
        return 1.75;
    }
}

void Quorvel::InitUi()
{
    const QScreen* screen = QGuiApplication::primaryScreen();
    // Without a screen there is nothing to scale to; the unlisted-DPI factor applies.
    InitUiAtScale(ScaleForDpi(screen ? screen->logicalDotsPerInch() : 0.0));
}

void Quorvel::InitUiAtScale(double scale)
{
    m_scale = scale;
    m_widthFactor = 1.0;

    setContextMenuPolicy(Qt::NoContextMenu);

    const QString itemHeight = QStringLiteral("QTreeView::item{height:%1px; } ").arg(ScaledSize(m_scale, 28));

    // A child of the window, created after the form, so it outlives the tab
    // bar that uses it.
    auto* tabStyle = new CustomTabStyle;
    tabStyle->setParent(this);
    ui.quote_tabwidget->tabBar()->setStyle(tabStyle);
    ui.quote_tabwidget->tabBar()->setShape(QTabBar::TriangularWest);

    ui.splitter->setMinimumSize(ScaledSize(m_scale, 340), 0);
    m_panelFitter->Fit();
    if (!m_panelColumn) {
        // The panels are taller than a small screen leaves the chart page at
        // large DPIs: they scroll rather than hold the window taller.
        m_panelColumn = new PanelColumn;
        m_panelColumn->setObjectName(QStringLiteral("panelColumn"));
        ui.splitter_2->replaceWidget(ui.splitter_2->indexOf(ui.splitter), m_panelColumn);
        m_panelColumn->setWidget(ui.splitter);
        // The splitter hands its hidden state (not shown yet) over as an
        // explicit one; both show with the window.
        ui.splitter->show();
        m_panelColumn->show();
    }

    for (QTreeView* view : { ui.FO_View, ui.FI_View, ui.C_View, ui.S_View, ui.D_View, ui.any_View }) {
        view->setStyleSheet(itemHeight);
        view->header()->setDefaultSectionSize(ScaledSize(m_scale, 70));
        view->header()->setSectionsMovable(false);
        // The header's own minimum follows its font's widest glyph, which for
        // CJK fonts exceeds the arrow column; the narrowest column sets it.
        view->header()->setMinimumSectionSize(ScaledSize(m_scale, 30));
        view->setColumnWidth(QuoteColumn::Arrow, ScaledSize(m_scale, 30));
        view->setColumnWidth(QuoteColumn::Number, ScaledSize(m_scale, 40));
        view->setColumnWidth(QuoteColumn::Name, ScaledSize(m_scale, 100));
        view->setColumnWidth(QuoteColumn::LastVolume, ScaledSize(m_scale, 50));
        view->setIconSize(QSize(ScaledSize(m_scale, kArrowIconSize), ScaledSize(m_scale, kArrowIconSize)));
    }
    ScaleStatusBar();
    ScaleToolBars();

    QFont chartFont;
    chartFont.setPointSize(9);
    ui.splitter_2->setFont(chartFont);

    ui.quote_tabwidget->setCurrentIndex(1);
    setWindowState(Qt::WindowMaximized);

    if (!m_chartHost) {
        auto* grid = new QGridLayout(ui.widget_2);
        grid->setObjectName(QStringLiteral("Kline_gridLayout"));
        grid->setSpacing(0);
        m_chartHost = new MyWidget(ui.widget_2);
        m_chartHost->setObjectName(QStringLiteral("Kline_widget"));
        m_chartHost->setMinimumSize(0, 0);
        m_chartHost->setAttribute(Qt::WA_PaintOnScreen);
        grid->addWidget(m_chartHost, 0, 0, 1, 1);
    }

    ui.splitter_2->setStretchFactor(0, 100);
    ui.splitter_2->setStretchFactor(1, 1);
    ui.tabWidget->tabBar()->hide();
    ui.splitter_5->setStretchFactor(0, 3);
    ui.splitter_5->setStretchFactor(1, 2);
    ui.splitter->setStretchFactor(0, 4);
    ui.splitter->setStretchFactor(1, 3);

    // Seconds to milliseconds without overflow; a negative time never prompts.
    const std::int64_t promptMs = std::int64_t(TradeConfig::GetInstance()->trigger_time) * 1000;
    if (promptMs >= 0)
        m_loginPromptTimer.start(static_cast<int>(std::min<std::int64_t>(promptMs, INT_MAX)));
}

void Quorvel::ScaleToolBars()
{
    // The icons grow with the scale; a picture smaller than that is enlarged
    // rather than drawn at its own size.
    const QSize iconSize(ScaledSize(m_scale, kToolIconSize), ScaledSize(m_scale, kToolIconSize));
    ui.mainToolBar->setIconSize(iconSize);
    for (QAction* action : ui.mainToolBar->actions())
        action->setIcon(ScaledIcon(action->icon(), iconSize));
    // Every button of the right tool bar keeps its place, the account menu's
    // among them: the main tool bar beside it folds into its extension first.
    ui.rToolsBar->setMinimumWidth(ui.rToolsBar->sizeHint().width());
}

void Quorvel::resizeEvent(QResizeEvent* event)
{
    FitListColumns();
    PlaceBanner();

    if (event)
        QMainWindow::resizeEvent(event);
}

void Quorvel::FitListColumns()
{
    const int tab = ui.quote_tabwidget->currentIndex();
    QTreeView* view = ViewOfTab(tab);
    const int listWidth = view ? view->width() : 0;
    const QTreeView* fo = ui.FO_View;
    const int y = static_cast<int>(m_scale * 30 + (fo->y() + fo->header()->height() / 2));

    if (m_expandButton)
        m_expandButton->setGeometry(fo->x() + listWidth, y, 40, 30);
    if (m_collapseButton)
        m_collapseButton->setGeometry(static_cast<int>(m_scale * 30 * m_widthFactor + fo->x()), y, 40, 30);

    ColumnFitter* fitter = view ? m_columnFitters[static_cast<size_t>(tab)] : nullptr;
    if (!fitter) {
        if (m_expandButton)
            m_expandButton->hide();
        return;
    }
    // The columns take the list's width; those out of room wait behind ">>",
    // and then the columns stop short of the button, which the placement
    // above puts over the list's right end.
    const QRect area = view->contentsRect();
    fitter->SetLimit(area.width());
    const bool outOfRoom = fitter->HasParked();
    if (outOfRoom && m_expandButton) {
        const int edge = view->mapFrom(this, m_expandButton->pos()).x() - area.left();
        if (edge < area.width())
            fitter->SetLimit(std::max(edge, 0));
    }
    // Over the chart page it would only cover the chart.
    if (m_expandButton)
        m_expandButton->setVisible(outOfRoom && ui.tabWidget->currentIndex() == 0);
}

void Quorvel::moveEvent(QMoveEvent* event)
{
    PlaceBanner();

    if (event)
        QMainWindow::moveEvent(event);
}

void Quorvel::PlaceBanner()
{
    if (!m_banner)
        return;
    const QRect frame = frameGeometry();
    m_banner->setGeometry(frame.width() - m_banner->width(), frame.height() - m_banner->height(), 400, 250);
}

void Quorvel::showEvent(QShowEvent* event)
{
    QMainWindow::showEvent(event);
    // The window's own first resize event comes before the lists inside it
    // are laid out, so the buttons were placed from their unlaid widths.
    QTimer::singleShot(0, this, [this] { resizeEvent(nullptr); });
}

void Quorvel::StopQuoteClient()
{
    NQuoteClient::Instance()->Stop();
}

void Quorvel::closeEvent(QCloseEvent* event)
{
    StopQuoteClient();

    delete m_expandButton;
    m_expandButton = nullptr;
    delete m_collapseButton;
    m_collapseButton = nullptr;

    m_refreshTimer.stop();
    m_statusTimer.stop();
    m_loginPromptTimer.stop();

    if (m_banner)
        m_banner->close();
    m_loginDialog.close();

    delete m_chartHost;
    m_chartHost = nullptr;

    if (m_chartView) {
        m_chartView->Release();
        DeleteChartell(m_chartView);
        m_chartView = nullptr;
    }

    namespace pb = kw::pb::ostrel2;
    for (int type : { pb::FO, pb::FI, pb::C, pb::UNKNOWN, pb::S, pb::D }) {
        const size_t tab = static_cast<size_t>(TabOfCategory(type));
        QuoteTableModel*& model = m_models[tab];
        if (model) {
            if (m_columnFitters[tab])
                m_columnFitters[tab]->Detach();
            model->clear();
            delete model;
            model = nullptr;
        }
    }

    RemoveDir(QString::fromLatin1(kBootPageFolder));
    RemoveDir(QString::fromLatin1(kBannerFolder));

    QMainWindow::closeEvent(event);
}

bool Quorvel::RemoveDir(const QString& path)
{
    if (path.isEmpty())
        return false;
    // A link in place of the folder goes, never what it points to.
    const QFileInfo self(QDir::cleanPath(path));
    if (self.isSymLink())
        return QFile::remove(self.filePath());
    QDir dir(path);
    if (!dir.exists())
        return true;
    // Hidden files too: a leftover hidden picture would keep the folder alive
    // and be shown again at the next start.
    const QFileInfoList entries
        = dir.entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
    for (const QFileInfo& entry : entries) {
        if (entry.isDir() && !entry.isSymLink())
            RemoveDir(entry.absoluteFilePath());
        else
            dir.remove(entry.fileName());
    }
    const QString absolute = dir.absolutePath();
    QDir().rmpath(absolute);
    // A sub-folder's removal takes emptied parents along, this folder among
    // them, after which rmpath here finds nothing and answers false: what
    // counts is whether the folder is gone.
    return !QFileInfo::exists(absolute);
}

int Quorvel::CategoryOfTab(int tab)
{
    namespace pb = kw::pb::ostrel2;
    static constexpr int kCategories[kTabCount] = { pb::UNKNOWN, pb::FO, pb::FI, pb::C, pb::S, pb::D };
    return tab >= 0 && tab < kTabCount ? kCategories[tab] : -1;
}

int Quorvel::TabOfCategory(int type)
{
    for (int tab = 0; tab < kTabCount; ++tab) {
        if (CategoryOfTab(tab) == type)
            return tab;
    }
    return -1;
}

QTreeView* Quorvel::ViewOfTab(int tab) const
{
    switch (tab) {
    case 0:
        return ui.any_View;
    case 1:
        return ui.FO_View;
    case 2:
        return ui.FI_View;
    case 3:
        return ui.C_View;
    case 4:
        return ui.S_View;
    case 5:
        return ui.D_View;
    default:
        return nullptr;
    }
}

QuoteTableModel* Quorvel::ModelOfCategory(int type) const
{
    const int tab = TabOfCategory(type);
    return tab < 0 ? nullptr : m_models[static_cast<size_t>(tab)];
}
