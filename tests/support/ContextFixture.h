// TestContext is the process context a test runs code against: a fresh
// directory that is the context's base directory, every log line switched
// on, and the log read back from there. The directory is declared first so
// it outlives the context that writes into it. ContextFixture makes it the
// base of a test; a suite with a base of its own (one that starts servers
// for the whole suite) names that as Base.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/CoreContext.h"
#include "support/LoggedContext.h"
#include "support/TempDir.h"

template <typename Context>
struct TestContext {
    explicit TestContext(int32_t logSize = kTestLogSize) { LogInto(ctx, dir, logSize); }

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

template <typename Context, typename Base = ::testing::Test>
class ContextFixture : public Base, public TestContext<Context> {
protected:
    explicit ContextFixture(int32_t logSize = kTestLogSize) : TestContext<Context>(logSize) {}
};

using CoreContextTest = ContextFixture<CoreContext>;
