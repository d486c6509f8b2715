// UpdateTestContext is the process state the update tests run against: a
// fresh base directory, every log line written (LOG_LVL 5, a large LOG_SIZE),
// the list published at "/list.conf" on 127.0.0.1, and no proxy between the
// tests and their local servers.
#pragma once

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "context/AppContext.h"
#include "support/ContextFixture.h"

inline void PrepareUpdateContext(AppContext& ctx, const TempDir& dir) {
    setenv("no_proxy", "127.0.0.1,localhost", 1);
    LogInto(ctx, dir);
    ctx.userConfig.DOWNLOAD_RETRY_INTERVAL = 1;
    std::strcpy(ctx.userConfig.DOWNLOAD_SERVER, "127.0.0.1");
    std::strcpy(ctx.userConfig.DOWNLOAD_PATH, "/list.conf");
}

// The update log lines, in order, without their time stamps.
inline std::vector<std::string> DownloadLog(const TempDir& dir) {
    std::vector<std::string> lines;
    for (const std::string& m : LogMessages(dir))
        if (m.rfind("[DOWNLOAD]", 0) == 0) lines.push_back(m);
    return lines;
}

// The base of an update test: the context above, with the update's own
// log lines at hand.
class UpdateTest : public ContextFixture<AppContext> {
protected:
    UpdateTest() { PrepareUpdateContext(ctx, dir); }
    std::vector<std::string> DownloadLog() const { return ::DownloadLog(dir); }
};

// s without its CR characters.
inline std::string WithoutCr(std::string s) {
    std::string out;
    for (char c : s)
        if (c != '\r') out += c;
    return out;
}
