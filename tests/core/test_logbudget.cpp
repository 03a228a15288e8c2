#include <chrono>
#include <ctime>
#include <fstream>
#include <string>
#include <thread>
#include <utility>

#include <unistd.h>

#include <gtest/gtest.h>

#include "logbudget.h"
#include "logger.h"

namespace
{

// A flood that goes on: the budget regains its lines at its pace, the counts
// are among them, and the last count follows the flood's end by itself.
TEST(LogBudget, HoldsItsPaceUnderASustainedFlood)
{
    constexpr int kBurst = 200;
    constexpr auto kLineEvery = std::chrono::milliseconds(20);
    const std::string what = "flood" + std::to_string(getpid()) + "-" + std::to_string(std::time(nullptr));
    LogBudget budget(kBurst, what);
    budget.Reset(kLineEvery, std::chrono::milliseconds(200));
    // The count lines written so far, and the lines they count.
    const auto counts = [&] {
        std::pair<std::uint64_t, std::uint64_t> seen { 0, 0 };
        std::ifstream in(Logger::GetInstance()->DayFilePath());
        const std::string mark = "): " + what + "，已略去 ";
        for (std::string line; std::getline(in, line);)
            if (const std::size_t at = line.find(mark); at != std::string::npos)
                seen = { seen.first + 1, seen.second + std::stoull(line.substr(at + mark.size())) };
        return seen;
    };
    const auto start = std::chrono::steady_clock::now();
    std::uint64_t sent = 0;
    std::uint64_t written = 0;
    // As a receiving thread would: lines one after another, until the budget
    // has counted what it left out three times.
    while (counts().first < 3) {
        for (int i = 0; i < 100; ++i, ++sent)
            written += budget.Take(LogWarn) ? 1 : 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    for (int waited = 0; written + counts().second != sent && waited < 3000; waited += 10)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(written + counts().second, sent);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GT(written, kBurst - 1u);
    EXPECT_LE(written + counts().first, kBurst + elapsed / kLineEvery + 1);
}

} // namespace
