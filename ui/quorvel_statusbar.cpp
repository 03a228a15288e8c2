// The status bar: logo, notice, account-kind buttons, activity animation,
// connection latency, clock, and the index labels of three reference
// contracts, which also select their contract when pressed.
#include "quorvel.h"

#include <chrono>

#include <QEvent>
#include <QImage>
#include <QImageReader>
#include <QMovie>
#include <QPalette>
#include <QStatusBar>

#include "boardstyle.h"
#include "helpers.h"
#include "logger.h"
#include "nquoteclient.h"
#include "screenfit.h"

namespace
{

// The busy animation keeps its frames once decoded: without that the movie
// opens and decodes its file again at every loop. Frames `scale` times their
// own size; the size is set before the first frame is decoded, so that every
// kept frame has it.
QMovie* MakeBusyMovie(QObject* owner, double scale)
{
    const QString path = QStringLiteral("Resources/rotate.gif");
    auto* movie = new QMovie(path, QByteArray(), owner);
    movie->setCacheMode(QMovie::CacheAll);
    if (scale != 1.0) {
        const QSize frame = QImageReader(path).size();
        if (frame.isValid())
            movie->setScaledSize(frame * scale);
    }
    movie->setProperty("scale", scale);
    return movie;
}

constexpr int kIndexLabels = 3;
// Commodity numbers of the reference contracts, in label order.
const char* const kIndexCommodities[kIndexLabels] = { "CL", "IF", "EUR.USD" };

// Room of the account-kind captions at scale 1.
const QSize kAccountButtonSize(45, 17);

// Room that a caption's text takes whole, with the padding it has at scale 1.
QSize AccountButtonNeed(const QPushButton& button)
{
    const QFontMetrics metrics(button.font());
    const QSize text(metrics.horizontalAdvance(button.text()), metrics.height());
    return text + QSize(2 * 3, 2);
}

// Latency pictures from the shortest to the longest wait.
const char* const kLatencyPictures[4] = {
    "Resources/images/04.png",
    "Resources/images/03.png",
    "Resources/images/02.png",
    "Resources/images/01.png",
};

// "hh:mm:ss" of the "YYYY-MM-DD hh:mm:ss.mmm" local time now.
QString TimeOfDay()
{
    return QString::fromStdString(TimePointToString(std::chrono::system_clock::now())).mid(11, 8);
}

std::int64_t NowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::system_clock::now().time_since_epoch())
        .count();
}

} // namespace

QPixmap Quorvel::ScaledPixmap(const QPixmap& picture, double scale)
{
    if (picture.isNull() || scale == 1.0)
        return picture;
    return picture.scaled(ScaledSize(scale, picture.width()), ScaledSize(scale, picture.height()),
        Qt::KeepAspectRatio, Qt::SmoothTransformation);
}

std::int32_t Quorvel::LatencyFigure(
    std::int32_t latency, std::int64_t sendTime, std::int64_t replyTime, std::int64_t nowMs)
{
    // Whether the reply came is the reply time's to say: a reply within the
    // millisecond of its heartbeat has latency 0.
    if (replyTime != 0)
        return latency;
    // Both times cut to 32 bits; unsigned arithmetic keeps the wrap defined.
    return static_cast<std::int32_t>(
        static_cast<std::uint32_t>(nowMs) - static_cast<std::uint32_t>(sendTime));
}

int Quorvel::LatencyLevel(std::int32_t latency)
{
    if (latency <= 100)
        return 0;
    if (latency <= 200)
        return 1;
    if (latency <= 400)
        return 2;
    return 3;
}

void Quorvel::InitStatusBar()
{
    QStatusBar* bar = ui.statusBar;

    m_logoLabel = new QLabel;
    m_logoLabel->setParent(bar);
    m_logoLabel->setPixmap(QPixmap::fromImage(QImage(QStringLiteral("Resources/webStock.png"))));
    bar->addWidget(m_logoLabel, 0);

    m_noticeButton.setParent(bar);
    m_noticeButton.setStyleSheet(QStringLiteral("border:none;color: rgb(0, 0, 192);font: 10pt \"宋体\";"));
    m_noticeButton.setSizePolicy(QSizePolicy::Minimum, QSizePolicy::Minimum);
    m_noticeButton.setText(QStringLiteral("  提醒:有不法网站冒充本软件进行诈骗  "));
    bar->addPermanentWidget(&m_noticeButton, 0);

    m_statusEdit.setParent(bar);
    m_statusEdit.setMaximumSize(55, 18);
    bar->addPermanentWidget(&m_statusEdit, 0);

    const auto addAccountButton = [bar](QPushButton& button, const QString& text, const QString& style) {
        button.setParent(bar);
        button.setText(text);
        // The style sheet colours these buttons but leaves their frame to the
        // platform style, and for every paint it writes the background and
        // the shades it derives from it into a copy of the button's palette.
        // The platform style keeps its drawing of a button in the process-wide
        // pixmap cache under the palette's identity, which a copy that had to
        // change gets anew: each repaint of the bar (once a second, with the
        // clock) then left two more pictures there, about 7 KB a second until
        // the cache's 10 MB limit. With the same colours already in place the
        // copy stays the palette itself and the drawing is found again.
        QPalette palette = button.palette();
        const QColor background(122, 122, 122);
        palette.setBrush(QPalette::Button, background);
        palette.setBrush(QPalette::Window, background);
        palette.setBrush(QPalette::Light, background.lighter(115));
        palette.setBrush(QPalette::Midlight, background.lighter(107));
        palette.setBrush(QPalette::Dark, background.darker(150));
        palette.setBrush(QPalette::Shadow, background.darker(300));
        palette.setBrush(QPalette::ButtonText, QColor(240, 240, 240));
        button.setPalette(palette);
        button.setStyleSheet(style);
        button.setMaximumSize(kAccountButtonSize);
        bar->addPermanentWidget(&button, 0);
    };
    addAccountButton(m_futuresAccountButton, QStringLiteral("期货户"),
        QStringLiteral("color: rgb(240, 240, 240); background-color: rgb(122, 122,122);"));
    addAccountButton(m_foreignAccountButton, QStringLiteral("外盘户"),
        QStringLiteral("color: rgb(240, 240, 240);background-color: rgb(122, 122,122);"));

    m_busyLabel.setParent(bar);
    m_busyLabel.setMinimumSize(20, 20);
    // The label owns the animation, so it goes with the window.
    QMovie* busy = MakeBusyMovie(&m_busyLabel, 1.0);
    m_busyLabel.setMovie(busy);
    busy->start();
    bar->addPermanentWidget(&m_busyLabel, 0);

    m_statusImageLabel.setParent(bar);
    m_statusImageLabel.setPixmap(QPixmap(QStringLiteral("Resources/00005.png")));
    bar->addPermanentWidget(&m_statusImageLabel, 0);

    m_latencyLabel.setParent(bar);
    ShowLatency(CurrentLatency(), NQuoteClient::Instance()->IsConnected());
    bar->addPermanentWidget(&m_latencyLabel, 0);

    m_clockButton.setParent(bar);
    m_clockButton.setSizePolicy(QSizePolicy::Minimum, QSizePolicy::Minimum);
    m_clockButton.setStyleSheet(QStringLiteral("border:none;"));
    m_clockButton.setText(TimeOfDay() + QStringLiteral("-Local "));
    bar->addPermanentWidget(&m_clockButton, 0);

    m_statusFolder = new StatusBarFolder(bar, &m_noticeButton,
        { &m_indexLabels[0], &m_indexLabels[1], &m_indexLabels[2] },
        [this](int label) { OnIndexLabelPressed(label); });
}

void Quorvel::ScaleStatusBar()
{
    // The captions' font grows with the screen's DPI, their room with the
    // scale; at the DPIs that share the largest scale the font may outgrow
    // it, so the room is never less than the caption needs.
    for (QPushButton* button : { &m_futuresAccountButton, &m_foreignAccountButton }) {
        const QSize scaled(ScaledSize(m_scale, kAccountButtonSize.width()),
            ScaledSize(m_scale, kAccountButtonSize.height()));
        button->setMaximumSize(scaled.expandedTo(AccountButtonNeed(*button)));
    }

    // The pictures grow with the scale like the rest of the bar.
    m_logoLabel->setPixmap(
        ScaledPixmap(QPixmap::fromImage(QImage(QStringLiteral("Resources/webStock.png"))), m_scale));
    m_statusImageLabel.setPixmap(ScaledPixmap(QPixmap(QStringLiteral("Resources/00005.png")), m_scale));
    if (QMovie* old = m_busyLabel.movie()) {
        // Kept frames have the size they were decoded at: another scale takes a new movie.
        QMovie* busy = old;
        if (old->property("scale").toDouble() != m_scale) {
            busy = MakeBusyMovie(&m_busyLabel, m_scale);
            m_busyLabel.setMovie(busy);
            busy->start();
            delete old;
        }
        m_busyLabel.setMinimumSize(QSize(20, 20).expandedTo(busy->scaledSize()));
    }
    m_latencyPixmaps.reset();
    ShowLatency(CurrentLatency());
}

std::int32_t Quorvel::CurrentLatency()
{
    const HeartBeatInfo info = NQuoteClient::Instance()->GetHeartBeatInfo();
    return LatencyFigure(info.latency, info.sendTime, info.replyTime, NowMs());
}

void Quorvel::ShowLatency(std::int32_t latency, bool linkUp)
{
    if (!m_latencyPixmaps) {
        m_latencyPixmaps = std::make_unique<std::array<QPixmap, 4>>();
        for (size_t i = 0; i < m_latencyPixmaps->size(); ++i)
            (*m_latencyPixmaps)[i] = ScaledPixmap(QPixmap(QString::fromLatin1(kLatencyPictures[i])), m_scale);
    }
    // The label repaints at every new picture, even the one it shows.
    const auto show = [this](const QPixmap& picture) {
        if (m_latencyLabel.pixmap(Qt::ReturnByValue).cacheKey() != picture.cacheKey())
            m_latencyLabel.setPixmap(picture);
    };
    if (!linkUp) {
        // No heartbeat goes while the link is down: the last figure would
        // keep saying how fast it was.
        show(m_latencyPixmaps->back());
        m_latencyLabel.setToolTip(QStringLiteral("行情连接已断开，正在重新连接……"));
        return;
    }
    show((*m_latencyPixmaps)[static_cast<size_t>(LatencyLevel(latency))]);
    m_latencyLabel.setToolTip(QStringLiteral("延时:%1ms").arg(latency));
}

void Quorvel::SetIndexLabel(int label, const std::string& name, const QuoteDetailField& quote, bool found)
{
    QLabel& index = m_indexLabels[label];
    // Without a quote: the name, and no figure nor colour of a rise or a fall.
    const QString figures = found ? BoardStyle::IndexFigure(quote.last()) + QLatin1Char(' ')
            + BoardStyle::IndexFigure(quote.last() - quote.pre_settle())
                                  : QStringLiteral("--- ---");
    const QString text = QLatin1Char(' ') + QString::fromLocal8Bit(Utf8ToAnsi(name).c_str())
        + QLatin1Char(' ') + figures + QLatin1Char(' ');
    index.setText(text);
    QPalette palette = index.palette();
    palette.setColor(QPalette::WindowText,
        !found ? BoardStyle::kIndexNone
               : (BoardStyle::AtOrAbove(quote.last(), quote.pre_settle()) ? BoardStyle::kIndexUp
                                                                          : BoardStyle::kIndexDown));
    index.setPalette(palette);
}

void Quorvel::IndexLabelStep(const CommodityField& commodity, const std::string& key)
{
    for (int i = 0; i < kIndexLabels; ++i) {
        if (commodity.commodity_no() != kIndexCommodities[i] || !m_indexKeys[i].empty())
            continue;
        QuoteDetailField quote;
        const bool found = NQuoteClient::Instance()->GetQuote(key, &quote);
        SetIndexLabel(i, commodity.commodity_name(), quote, found);
        m_indexLabels[i].installEventFilter(this);
        m_indexLabels[i].setParent(ui.statusBar);
        ui.statusBar->addWidget(&m_indexLabels[i], 0);
        m_indexKeys[i] = key;
        m_indexNames[i] = commodity.commodity_name();
        m_statusFolder->LabelAdded();
        return;
    }
}

void Quorvel::OnStatusTimer()
{
    m_clockButton.setText(TimeOfDay() + QStringLiteral("-Local"));
    ShowLatency(CurrentLatency(), NQuoteClient::Instance()->IsConnected());
    for (int i = 0; i < kIndexLabels; ++i) {
        QuoteDetailField quote;
        const bool found
            = !m_indexKeys[i].empty() && NQuoteClient::Instance()->GetQuote(m_indexKeys[i], &quote);
        SetIndexLabel(i, m_indexNames[i], quote, found);
    }
}

bool Quorvel::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::MouseButtonPress) {
        for (int i = 0; i < kIndexLabels; ++i) {
            if (watched == &m_indexLabels[i]) {
                OnIndexLabelPressed(i);
                break;
            }
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

void Quorvel::OnIndexLabelPressed(int label)
{
    PromptLogin(true);
    const std::string key = m_indexKeys[label];
    SelectContract(key, kw::pb::ostrel2::KLINE_1MIN);
    m_selectedKey = key;
}
