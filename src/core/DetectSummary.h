// DetectSummary gathers a detection run's progress reports into the one line
// a front end without a list view shows when the run ends:
// "best: plain-1 (10.0.0.1) 312 ms; 2 of 3 candidates passed". The best is the
// one the ranking puts first: the cheapest that passed, the earliest on a tie.
#pragma once

#include <string>

#include "core/DetectProgress.h"

class DetectSummary {
public:
    // Forgets the previous run.
    void Begin();
    // Takes a finished report; a started one changes nothing.
    void Add(const DetectProgress& progress);
    // True once a candidate of this run has finished its probes.
    bool HasCandidates() const { return count_ > 0; }
    // "best: none; 0 of 3 candidates passed" when none passed.
    std::string Line() const;

private:
    int count_ = 0;
    int passed_ = 0;
    bool hasBest_ = false;
    DetectProgress best_;
};
