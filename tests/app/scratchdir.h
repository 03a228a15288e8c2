#pragma once

#include <QDir>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "startup.h"

// Runs each test in a scratch working directory, since the program reads and
// writes its files ("TradeConfig.xml", "BootPage/", "Logs/") relative to it,
// with the splash's pauses shortened: nobody reads its texts here.
class ScratchDirTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dir.isValid());
        m_oldCwd = QDir::currentPath();
        ASSERT_TRUE(QDir::setCurrent(m_dir.path()));
        SetStartupPauses({ std::chrono::milliseconds(1), std::chrono::milliseconds(1) });
    }
    void TearDown() override
    {
        SetStartupPauses(StartupPauses());
        QDir::setCurrent(m_oldCwd);
    }

    QString Path(const QString& name) const { return m_dir.filePath(name); }

    QTemporaryDir m_dir;
    QString m_oldCwd;
};
