#pragma once

#include <QString>

#include "tradeconfig.h"

// The picture shown when none of the boot pictures loads, relative to the
// working directory.
inline const QString kFallbackSplash = QStringLiteral("./Resources/111.png");

// The first file of `folder` (plain and hidden files, no links, no folders,
// case-insensitive name order) that loads as a picture within the decoded
// size bounds of CheckPictureSize; the fallback path when none does.
QString ChooseSplashPicture(const QString& folder = QString::fromLatin1(kBootPageFolder));

// Runs the start-up sequence and the event loop on the QApplication that the
// caller has built; returns the exit code (-1 when the configuration or the
// first quote connection fails).
int RunStartupSequence();

// The program's entry: builds the QApplication, then runs the sequence.
int RunQuorvel(int argc, char* argv[]);
