// LoggedContext points any process context (CoreContext or one built on it)
// at a test's own directory with every log line switched on, so the test can
// read back what the code under test logged in "<dir>/Quillomark.log".
#pragma once

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

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

// The log's lines without their time stamps ("[DOWNLOAD][MINOR] text"), in order.
inline std::vector<std::string> LogMessages(const TempDir& dir) {
    std::vector<std::string> messages;
    std::istringstream in(ReadLog(dir));
    for (std::string line; std::getline(in, line);) {
        std::size_t cut = line.find(" [");
        if (cut != std::string::npos) messages.push_back(line.substr(cut + 1));
    }
    return messages;
}

// How many of the log's lines carry exactly this message.
inline int CountLogMessage(const TempDir& dir, const std::string& message) {
    int n = 0;
    for (const std::string& m : LogMessages(dir))
        if (m == message) ++n;
    return n;
}
