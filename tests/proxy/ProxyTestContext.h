// The process state a proxy test runs against: an AppContext in a fresh
// directory with full logging, and a notifier that records what the proxy
// tells the window, so a test can read both the log and the pane.
#pragma once

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "app/AppContext.h"
#include "core/UiNotifier.h"
#include "support/TempDir.h"

namespace proxytest {

class RecordingNotifier : public UiNotifier {
public:
    void PostInfoLine(const std::string& text) override {
        std::lock_guard<std::mutex> lock(mutex_);
        infoLines_.push_back(text);
    }
    void DetectionStarted() override {}
    void DetectionFinished() override {}
    void CurrentLinkChanged() override {
        std::lock_guard<std::mutex> lock(mutex_);
        ++linkChanges_;
    }
    void ShowMessageBox(const std::string& titleKey, const std::string& bodyKey) override {
        std::lock_guard<std::mutex> lock(mutex_);
        boxes_.emplace_back(titleKey, bodyKey);
    }

    std::vector<std::string> InfoLines() {
        std::lock_guard<std::mutex> lock(mutex_);
        return infoLines_;
    }
    int LinkChanges() {
        std::lock_guard<std::mutex> lock(mutex_);
        return linkChanges_;
    }
    std::vector<std::pair<std::string, std::string>> Boxes() {
        std::lock_guard<std::mutex> lock(mutex_);
        return boxes_;
    }

private:
    std::mutex mutex_;
    std::vector<std::string> infoLines_;
    int linkChanges_ = 0;
    std::vector<std::pair<std::string, std::string>> boxes_;
};

struct ProxyTestContext {
    ProxyTestContext() {
        ctx.baseDirectory = dir.path();
        ctx.userConfig.LOG_LVL = 5;
        ctx.userConfig.LOG_SIZE = 50000000;
        ctx.mainWindow = &notifier;
    }
    std::string Log() const { return dir.Read("Quillomark.log"); }
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

    TempDir dir;
    RecordingNotifier notifier;
    AppContext ctx;
};

}  // namespace proxytest
