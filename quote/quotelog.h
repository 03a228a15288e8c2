#pragma once

#include "logger.h"

// The quote client's lines are named after the client, whichever of its parts
// writes them, so that one search of the log finds the whole subsystem; the
// line number is that of the part's own source.
#define QuoteClientLog(level, ...) WriteLogAt("nquoteclient.cpp", __LINE__, (level), __VA_ARGS__)
