#include "bannerwidget.h"

#include <algorithm>
#include <climits>
#include <cstdint>

#include <QCloseEvent>
#include <QDir>
#include <QEvent>
#include <QMovie>
#include <QPushButton>

#include "helpers.h"
#include "platform.h"
#include "tradeconfig.h"

BannerWidgetClass::BannerWidgetClass(QWidget* parent)
    : QWidget(parent)
{
    ui.setupUi(this);
    m_closeButton = new QPushButton(QStringLiteral("关闭"), this);
    ui.label->installEventFilter(this);
    setAttribute(Qt::WA_TranslucentBackground);
    LoadBanners();
    resize(400, 250);
    m_closeButton->setStyleSheet(
        QStringLiteral("border:none;color: rgb(255, 255, 255);background:transparent;"));
    m_closeButton->resize(40, 25);
    m_closeButton->move(350, 0);
    // No window flag but the hint: the pop-up stays a frameless child of the window.
    setWindowFlags(Qt::CustomizeWindowHint);
    connect(m_closeButton, &QPushButton::clicked, this, &BannerWidgetClass::OnCloseClicked);
    connect(&m_reshowTimer, &QTimer::timeout, this, &BannerWidgetClass::OnReshowTimer);
    if (!m_banners.empty() && m_banners.front().second) {
        ui.label->setMovie(m_banners.front().second);
        m_banners.front().second->start();
    }
}

BannerWidgetClass::~BannerWidgetClass()
{
    // The movies have no parent; the pop-up that made them releases them.
    for (auto& banner : m_banners)
        delete banner.second;
}

void BannerWidgetClass::LoadBanners()
{
    QDir folder(QString::fromLatin1(kBannerFolder));
    const QStringList names
        = folder.entryList(QDir::Files | QDir::Hidden | QDir::NoSymLinks, QDir::Name | QDir::IgnoreCase);
    for (const QString& name : names) {
        const QString path = QString::fromLatin1(kBannerFolder) + name;
        switch (CheckPictureSize(path)) {
        case PictureSize::Fits:
            m_banners.emplace_back(name, new QMovie(path, QByteArray()));
            break;
        // Not decoded and not listed, as if it had never been downloaded:
        // the next picture plays, or with none the pop-up stays as it is
        // without banners.
        case PictureSize::TooLarge:
            break;
        // Handed on undecoded: a movie without a file shows nothing, as an
        // unreadable picture does.
        case PictureSize::Unreadable:
            m_banners.emplace_back(name, new QMovie());
            break;
        }
    }
}

const BannerRecord* BannerWidgetClass::FindRecordOfFirst() const
{
    if (m_banners.empty())
        return nullptr;
    const std::string name = m_banners.front().first.toLocal8Bit().toStdString();
    const std::vector<BannerRecord>& list = TradeConfig::GetInstance()->bannerList;
    auto it
        = std::find_if(list.begin(), list.end(), [&](const BannerRecord& r) { return r.imageName == name; });
    return it == list.end() ? nullptr : &*it;
}

void BannerWidgetClass::OnCloseClicked()
{
    hide();
    const BannerRecord* record = FindRecordOfFirst();
    if (!record || record->interval < 1)
        return;
    // Past about 24 days the product of minutes and milliseconds no longer
    // fits the timer; the longest interval it can hold is used instead.
    const std::int64_t ms = std::int64_t(record->interval) * 60000;
    m_reshowTimer.start(static_cast<int>(std::min<std::int64_t>(ms, INT_MAX)));
}

void BannerWidgetClass::OnReshowTimer()
{
    show();
    if (m_reshowTimer.isActive())
        m_reshowTimer.stop();
}

std::string BannerWidgetClass::BannerLink(const std::string& url)
{
    const TradeConfig* config = TradeConfig::GetInstance();
    // Built without a length limit: long identifiers lengthen the link, they
    // never cut it short.
    return url + "?source=" + Utf8ToAnsi(config->channelName) + "&id=" + config->id + "&key=" + config->key
        + "&class=" + config->reg_class;
}

bool BannerWidgetClass::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::MouseButtonPress && !m_banners.empty()) {
        if (const BannerRecord* record = FindRecordOfFirst()) {
            const std::string link = BannerLink(record->url);
            platform::OpenUrl(MultiByteToWString(link.c_str(), platform::kCodePageAnsi));
        }
    }
    return QWidget::eventFilter(watched, event);
}

void BannerWidgetClass::closeEvent(QCloseEvent* event)
{
    m_reshowTimer.stop();
    if (!m_banners.empty() && m_banners.front().second) {
        m_banners.front().second->stop();
        delete m_banners.front().second;
        m_banners.front().second = nullptr;
    }
    QWidget::closeEvent(event);
}
