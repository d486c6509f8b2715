// LogCategory and LogLevel tag every log line: the category names the
// subsystem that speaks, the level how important the line is. Their numeric
// values index the fixed name tables written into the line, and the level is
// compared against the LOG_LVL threshold, so neither enum may be reordered.
#pragma once

#include <cstdint>

enum LogCategory : int32_t {
    PROXY = 0,
    DETECT = 1,
    DOWNLOAD = 2,
    UI = 3,
};

enum LogLevel : int32_t {
    DISABLED = 0,   // only ever a threshold: the log is off
    CRITICAL = 1,
    MAJOR = 2,
    MINOR = 3,
    PROCEDURE = 4,  // no caller uses it; threshold 4 behaves as 3
    DUMP = 5,
};

const char* LogCategoryName(LogCategory category);
const char* LogLevelName(LogLevel level);
