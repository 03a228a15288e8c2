#pragma once

#include <QDir>
#include <QTemporaryDir>

#include <gtest/gtest.h>

// Runs each test in a scratch working directory, since the program reads and
// writes its files ("TradeConfig.xml", "BootPage/", "Logs/") relative to it.
class ScratchDirTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dir.isValid());
        m_oldCwd = QDir::currentPath();
        ASSERT_TRUE(QDir::setCurrent(m_dir.path()));
    }
    void TearDown() override { QDir::setCurrent(m_oldCwd); }

    QString Path(const QString& name) const { return m_dir.filePath(name); }

    QTemporaryDir m_dir;
    QString m_oldCwd;
};
