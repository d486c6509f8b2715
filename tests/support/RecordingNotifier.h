// RecordingNotifier keeps everything the code under test (a detection run, a
// probe, the proxy's relays) tells the window, so tests can read the
// information pane, the progress reports, the message boxes and the link
// changes back. Any thread may call it.
#pragma once

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "core/UiNotifier.h"

class RecordingNotifier : public UiNotifier {
public:
    void PostInfoLine(const std::string& text) override {
        std::lock_guard<std::mutex> hold(mutex_);
        lines_.push_back(text);
    }
    void DetectionStarted() override {
        std::lock_guard<std::mutex> hold(mutex_);
        ++started_;
    }
    void DetectionFinished() override {
        std::lock_guard<std::mutex> hold(mutex_);
        ++finished_;
    }
    void CurrentLinkChanged() override {
        std::lock_guard<std::mutex> hold(mutex_);
        ++linkChanges_;
    }
    void DetectionProgress(const DetectProgress& progress) override {
        std::lock_guard<std::mutex> hold(mutex_);
        progress_.push_back(progress);
    }
    void ShowMessageBox(const std::string& titleKey, const std::string& bodyKey) override {
        std::lock_guard<std::mutex> hold(mutex_);
        boxes_.emplace_back(titleKey, bodyKey);
    }

    void ConnectionListInstalled() override {
        std::lock_guard<std::mutex> hold(mutex_);
        ++listsInstalled_;
    }

    std::vector<std::string> Lines() const {
        std::lock_guard<std::mutex> hold(mutex_);
        return lines_;
    }
    std::string Pane() const {
        std::lock_guard<std::mutex> hold(mutex_);
        std::string all;
        for (const std::string& line : lines_) all += line;
        return all;
    }
    std::vector<DetectProgress> Progress() const {
        std::lock_guard<std::mutex> hold(mutex_);
        return progress_;
    }
    std::vector<std::pair<std::string, std::string>> Boxes() const {
        std::lock_guard<std::mutex> hold(mutex_);
        return boxes_;
    }
    int Started() const {
        std::lock_guard<std::mutex> hold(mutex_);
        return started_;
    }
    int Finished() const {
        std::lock_guard<std::mutex> hold(mutex_);
        return finished_;
    }
    int ListsInstalled() const {
        std::lock_guard<std::mutex> hold(mutex_);
        return listsInstalled_;
    }
    int LinkChanges() const {
        std::lock_guard<std::mutex> hold(mutex_);
        return linkChanges_;
    }
    void Clear() {
        std::lock_guard<std::mutex> hold(mutex_);
        lines_.clear();
        boxes_.clear();
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
    std::vector<std::pair<std::string, std::string>> boxes_;
    std::vector<DetectProgress> progress_;
    int started_ = 0;
    int finished_ = 0;
    int linkChanges_ = 0;
    int listsInstalled_ = 0;
};
