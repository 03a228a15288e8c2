#pragma once

#include <chrono>

#include <QString>

#include "tradeconfig.h"

// The picture shown when none of the boot pictures loads, relative to the
// working directory.
inline const QString kFallbackSplash = QStringLiteral("./Resources/111.png");

// The first file of `folder` (plain and hidden files, no links, no folders,
// case-insensitive name order) that loads as a picture within the decoded
// size bounds of CheckPictureSize; the fallback path when none does.
QString ChooseSplashPicture(const QString& folder = QString::fromLatin1(kBootPageFolder));

// How long the splash holds its status texts, in one place: by default the
// sequence's own lengths; tests shorten them. Set on the GUI thread.
struct StartupPauses {
    std::chrono::milliseconds status { 1000 }; // after each status text
    std::chrono::milliseconds connected { 500 }; // after the connection succeeded
};
void SetStartupPauses(const StartupPauses& pauses);

// Runs the start-up sequence and the event loop on the QApplication that the
// caller has built; returns the exit code (-1 when the configuration or the
// first quote connection fails).
int RunStartupSequence();

// Logs one warning when no installed font can draw simplified Chinese, so
// boxes in place of every text have a cause in the log. True when it warned.
bool WarnIfNoChineseFont();

// The program's entry: builds the QApplication, then runs the sequence.
int RunQuorvel(int argc, char* argv[]);
