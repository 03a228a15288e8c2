#pragma once

#include <string>
#include <utility>
#include <vector>

#include <QString>
#include <QTimer>
#include <QWidget>

#include "ui_bannerwidget.h"

struct BannerRecord;
class QCloseEvent;
class QEvent;
class QMovie;
class QPushButton;

// The advertising pop-up in the main window's bottom-right corner. Plays the
// first picture of "banner/" (names compared ignoring case), opens that
// banner's link with the channel and cloud identifiers on a click, and when
// closed with its own button comes back once after the banner's interval.
// GUI thread only.
class BannerWidgetClass : public QWidget
{
    Q_OBJECT

public:
    explicit BannerWidgetClass(QWidget* parent = nullptr);
    ~BannerWidgetClass() override;

    // Fills the list from the folder: every plain file, hidden ones too.
    void LoadBanners();
    void OnCloseClicked();
    void OnReshowTimer();

    // The re-show timer, which the window's "find" action stops.
    QTimer& ReshowTimer() { return m_reshowTimer; }

    // The link a click opens: the banner's address followed by
    // "?source=<channel>&id=<id>&key=<key>&class=<class>", values as they stand.
    static std::string BannerLink(const std::string& url);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    // The configured banner whose picture is the first of the list, or null.
    const BannerRecord* FindRecordOfFirst() const;

    QTimer m_reshowTimer;
    QPushButton* m_closeButton = nullptr;
    std::vector<std::pair<QString, QMovie*>> m_banners;
    Ui_BannerWidget ui;
};
