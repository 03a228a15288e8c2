#pragma once

#include <clocale>
#include <cstdlib>
#include <string>

#include <QDir>
#include <QString>
#include <QTextCodec>

// A fresh folder under /tmp for one test, removed with everything in it when
// the test ends.
class ScratchDir
{
public:
    ScratchDir()
    {
        char pattern[] = "/tmp/quorvel-test-XXXXXX";
        if (const char* made = mkdtemp(pattern))
            m_path = made;
    }
    ~ScratchDir()
    {
        if (!m_path.empty())
            QDir(QString::fromStdString(m_path)).removeRecursively();
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::string& path() const { return m_path; }
    std::string operator/(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

// Sets an environment variable for the life of the object and puts the old
// value back afterwards.
class ScopedEnv
{
public:
    ScopedEnv(const char* name, const char* value)
        : m_name(name)
    {
        if (const char* old = std::getenv(name)) {
            m_had = true;
            m_old = old;
        }
        setenv(name, value, 1);
    }
    ~ScopedEnv()
    {
        if (m_had)
            setenv(m_name.c_str(), m_old.c_str(), 1);
        else
            unsetenv(m_name.c_str());
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string m_name;
    std::string m_old;
    bool m_had = false;
};

// Switches the process to another locale (C library and Qt's local codec
// alike) and back to the previous one when it ends. ok() is false when the
// locale is not installed on this machine.
class ScopedLocale
{
public:
    explicit ScopedLocale(const char* name)
        : m_oldCodec(QTextCodec::codecForLocale())
    {
        if (const char* old = std::setlocale(LC_ALL, nullptr))
            m_old = old;
        m_ok = std::setlocale(LC_ALL, name) != nullptr;
    }
    ~ScopedLocale()
    {
        std::setlocale(LC_ALL, m_old.c_str());
        QTextCodec::setCodecForLocale(m_oldCodec);
    }
    ScopedLocale(const ScopedLocale&) = delete;
    ScopedLocale& operator=(const ScopedLocale&) = delete;

    bool ok() const { return m_ok; }

private:
    std::string m_old;
    QTextCodec* m_oldCodec;
    bool m_ok = false;
};
