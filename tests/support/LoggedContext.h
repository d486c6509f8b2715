// LoggedContext points any process context (CoreContext or one built on it)
// at a test's own directory with every log line switched on, so the test can
// read back what the code under test logged in "<dir>/Quillomark.log".
#pragma once

#include <cstdint>
#include <string>

#include "core/CoreContext.h"
#include "support/TempDir.h"

// Large enough that no test's run rolls the log over unless it means to.
constexpr int32_t kTestLogSize = 1000000;

inline void LogInto(CoreContext& ctx, const TempDir& dir, int32_t logSize = kTestLogSize) {
    ctx.baseDirectory = dir.path();
    ctx.userConfig.LOG_LVL = 5;
    ctx.userConfig.LOG_SIZE = logSize;
}

inline std::string ReadLog(const TempDir& dir) { return dir.Read("Quillomark.log"); }
