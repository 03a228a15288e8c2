#pragma once

// The library's log file as the tests see it.

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

namespace kqtest
{

class TempDir
{
public:
    TempDir()
    {
        char pattern[] = "/tmp/kivquoteapi_test_XXXXXX";
        if (!mkdtemp(pattern))
            std::abort();
        m_path = pattern;
    }
    ~TempDir()
    {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
};

inline std::string ReadWholeFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The one log file in `folder`, or "" while there is none.
inline std::string FindLogFile(const std::string& folder)
{
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("KivQuoteAPI_KeyOperation_", 0) == 0)
            return entry.path().string();
    }
    return std::string();
}

// What the library logs from the moment this watch is made.
class LogWatch
{
public:
    explicit LogWatch(std::string folder)
        : m_folder(std::move(folder))
        , m_start(ReadWholeFile(FindLogFile(m_folder)).size())
    {
    }
    std::string Text() const
    {
        const std::string all = ReadWholeFile(FindLogFile(m_folder));
        return all.size() > m_start ? all.substr(m_start) : std::string();
    }
    bool Contains(const std::string& piece) const { return Text().find(piece) != std::string::npos; }
    size_t Count(const std::string& piece) const
    {
        const std::string text = Text();
        size_t count = 0;
        for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + piece.size()))
            ++count;
        return count;
    }
    // Lines written by the receive thread after the event a test waits for.
    bool WaitFor(const std::string& piece, double seconds = 10) const
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (!Contains(piece)) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return true;
    }

private:
    std::string m_folder;
    size_t m_start;
};

} // namespace kqtest
