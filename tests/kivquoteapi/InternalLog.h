#pragma once

// For tests that link the library's internals: its logger writes to a
// temporary folder of this process, set directly rather than through the
// set-once export.

#include <string>

#include "ApiLimits.h"
#include "ApiLogger.h"
#include "TestLog.h"

namespace kqtest
{

inline const std::string& TemporaryLogFolder()
{
    static TempDir dir;
    static const bool set = [] {
        ApiLogger& logger = ApiLogger::GetInstance();
        logger.SetPath(dir.Path() + "/KivQuoteAPI_KeyOperation_" + TodayText() + ".log");
        logger.Enable();
        logger.SetLevel(API_LOG_INFO);
        return true;
    }();
    (void)set;
    return dir.Path();
}

// Shortened bounds for one test; the defaults come back after it. Either way
// the log budget starts full, so tests do not depend on each other's lines.
class ScopedLimits
{
public:
    explicit ScopedLimits(const ApiLimits& limits) { ApiLimits::Set(limits); }
    ~ScopedLimits() { ApiLimits::Set(ApiLimits()); }
    ScopedLimits(const ScopedLimits&) = delete;
    ScopedLimits& operator=(const ScopedLimits&) = delete;
};

} // namespace kqtest
