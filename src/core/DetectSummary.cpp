#include "core/DetectSummary.h"

void DetectSummary::Begin() { *this = DetectSummary(); }

void DetectSummary::Add(const DetectProgress& progress) {
    if (!progress.finished) return;
    count_ = progress.count;
    if (progress.LinkCost < 0) return;
    ++passed_;
    if (!hasBest_ || progress.LinkCost < best_.LinkCost) best_ = progress;
    hasBest_ = true;
}

std::string DetectSummary::Line() const {
    std::string best = hasBest_ ? best_.Code + " (" + best_.Dest + ") " +
                                      std::to_string(best_.LinkCost) + " ms"
                                : "none";
    return "best: " + best + "; " + std::to_string(passed_) + " of " + std::to_string(count_) +
           " candidates passed\r\n";
}
