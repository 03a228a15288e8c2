// The quote client is one per process: every test of it starts with the
// client as if just made, with the short waits of the tests.

#include <gtest/gtest.h>

#include "quoteclientkit.h"

namespace
{

class FreshClientPerTest : public ::testing::EmptyTestEventListener
{
    void OnTestStart(const ::testing::TestInfo&) override { NQuoteClientProbe::Fresh(kit::TestTimings()); }
};

const bool kRegistered = [] {
    ::testing::UnitTest::GetInstance()->listeners().Append(new FreshClientPerTest);
    return true;
}();

} // namespace
