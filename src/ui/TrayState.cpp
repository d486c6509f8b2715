#include "ui/TrayState.h"

void TrayState::RunStarted() {
    running_ = true;
    finished_ = 0;
    passed_ = 0;
}

void TrayState::RunProgress(const DetectProgress& progress) {
    if (!progress.finished) return;
    ++finished_;
    if (progress.LinkCost >= 0) ++passed_;
}

// A run that failed before probing (no Internet, no list) says nothing about
// the candidates, so it leaves the verdict of the run before it.
void TrayState::RunFinished(int32_t bestCost) {
    running_ = false;
    if (finished_ > 0) lastRunFailed_ = passed_ == 0;
    bestCost_ = bestCost;
}

// The proxy reached a server: whatever the last run said, mail goes through.
void TrayState::ConnectionChanged(int32_t bestCost) {
    bestCost_ = bestCost;
    if (bestCost > 0) lastRunFailed_ = false;
}

TrayStatus TrayState::Status() const {
    if (running_) return TrayStatus::Detecting;
    if (bestCost_ <= 0 || lastRunFailed_) return TrayStatus::NoConnection;
    return TrayStatus::Connected;
}
