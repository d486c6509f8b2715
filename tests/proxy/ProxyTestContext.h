// The process state a proxy test runs against: the shared test context with
// a notifier that records what the proxy tells the window, so a test can
// read both the log and the pane.
#pragma once

#include <chrono>
#include <string>
#include <thread>

#include "context/AppContext.h"
#include "support/ContextFixture.h"
#include "support/RecordingNotifier.h"

namespace proxytest {

using ::RecordingNotifier;

struct ProxyTestContext : TestContext<AppContext> {
    ProxyTestContext() : TestContext(50000000) { ctx.mainWindow = &notifier; }

    int CountInLog(const std::string& text) const {
        std::string log = Log();
        int count = 0;
        for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++count;
        return count;
    }
    // Polls the log until text shows up count times or timeout passes.
    bool WaitForLog(const std::string& text, int count = 1,
                    std::chrono::milliseconds timeout = std::chrono::seconds(10)) const {
        auto until = std::chrono::steady_clock::now() + timeout;
        while (CountInLog(text) < count) {
            if (std::chrono::steady_clock::now() >= until) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return true;
    }

    RecordingNotifier notifier;
};

}  // namespace proxytest
