#pragma once

// For tests that link the library's internals: its logger writes to a
// temporary folder of this process, set directly rather than through the
// set-once export.

#include <string>

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

} // namespace kqtest
