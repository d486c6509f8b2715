// WriteLog appends one time-stamped, tagged line to "Quillomark.log" in the
// base directory, rotating the file to "Quillomark.bak" when the next line
// would take it past LOG_SIZE. It never reports failure: a line that cannot be
// written is lost and the next call starts afresh.
#pragma once

#include "core/LogLevel.h"

struct CoreContext;

void WriteLog(CoreContext& ctx, LogCategory category, LogLevel level, const char* format, ...)
    __attribute__((format(printf, 4, 5)));

// The two file names, appended to the base directory.
inline constexpr const char* kLogFileName = "/Quillomark.log";
inline constexpr const char* kLogBackupName = "/Quillomark.bak";
