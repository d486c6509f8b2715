// UpdateTestContext is the process state the update tests run against: a
// fresh base directory, every log line written (LOG_LVL 5, a large LOG_SIZE),
// the list published at "/list.conf" on 127.0.0.1, and no proxy between the
// tests and their local servers.
#pragma once

#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "context/AppContext.h"
#include "support/LoggedContext.h"
#include "support/TempDir.h"

inline void PrepareUpdateContext(AppContext& ctx, const TempDir& dir) {
    setenv("no_proxy", "127.0.0.1,localhost", 1);
    LogInto(ctx, dir);
    ctx.userConfig.DOWNLOAD_RETRY_INTERVAL = 1;
    std::strcpy(ctx.userConfig.DOWNLOAD_SERVER, "127.0.0.1");
    std::strcpy(ctx.userConfig.DOWNLOAD_PATH, "/list.conf");
}

// The log lines without their time stamps ("[DOWNLOAD][MINOR] text"), in order.
inline std::vector<std::string> LogMessages(const TempDir& dir) {
    std::vector<std::string> messages;
    std::istringstream in(dir.Read("Quillomark.log"));
    std::string line;
    while (std::getline(in, line)) {
        std::size_t cut = line.find(" [");
        if (cut != std::string::npos) messages.push_back(line.substr(cut + 1));
    }
    return messages;
}

inline int CountLog(const TempDir& dir, const std::string& message) {
    int n = 0;
    for (const std::string& m : LogMessages(dir))
        if (m == message) ++n;
    return n;
}

// s without its CR characters.
inline std::string WithoutCr(std::string s) {
    std::string out;
    for (char c : s)
        if (c != '\r') out += c;
    return out;
}
