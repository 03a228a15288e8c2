#pragma once

#include <chrono>
#include <cstddef>

// Bounds that hold whatever a server sends, and the pace of the log budget:
// one process-wide set. The cache caps are read when an API object is made,
// the log budget on every line. Tests shorten them through Set.
struct ApiLimits {
    // Records kept per API object. A push that would add a new key to a full
    // map is dropped; records already cached are still replaced.
    size_t maxCommodities = 10000;
    size_t maxContracts = 100000;
    size_t maxKeyedRecords = 100000;

    // Log budget, per level, so that a flood of one level cannot crowd out
    // another: lines that may be written at once, and the pace at which
    // that allowance refills.
    double logBurst = 1000;
    double logLinesPerSecond = 10;
    // How long after the first line left out the count of left-out lines is
    // written; also the longest a receive thread sleeps in a read before it
    // looks whether that count is due.
    std::chrono::milliseconds logSummaryDelay { 1000 };

    // The longest ConnectAndLogin waits for the server to take the
    // connection: a host that drops the connection's packets must not hold
    // the caller for the system's minutes of retries.
    std::chrono::milliseconds connectTimeout { 5000 };

    static ApiLimits Current();
    // Takes effect for API objects made afterwards; the log budget starts
    // afresh, full, with nothing counted as left out.
    static void Set(const ApiLimits& limits);
};
