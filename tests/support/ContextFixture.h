// ContextFixture is the base of a test that runs code against a process
// context of its own: a fresh directory that is the context's base
// directory, every log line switched on, and the log read back from there.
// The directory is declared first so it outlives the context that writes
// into it. A suite with a base of its own (one that starts servers for the
// whole suite) names it as Base.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/CoreContext.h"
#include "support/LoggedContext.h"
#include "support/TempDir.h"

template <typename Context, typename Base = ::testing::Test>
class ContextFixture : public Base {
protected:
    explicit ContextFixture(int32_t logSize = kTestLogSize) { LogInto(ctx, dir, logSize); }

    std::string Log() const { return ReadLog(dir); }
    // The log after closing it, for code that keeps lines back until then;
    // logging again needs a new context.
    std::string ClosedLog() {
        ctx.log.CloseForShutdown();
        return Log();
    }

    bool Logged(const std::string& text) const { return Log().find(text) != std::string::npos; }

    std::vector<std::string> LogMessages() const { return ::LogMessages(dir); }
    int CountLogged(const std::string& message) const { return CountLogMessage(dir, message); }

    TempDir dir;
    Context ctx;
};

using CoreContextTest = ContextFixture<CoreContext>;
