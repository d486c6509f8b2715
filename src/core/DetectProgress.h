// DetectProgress is what a detection run tells the window about one candidate
// while it works through its list, so the list can show each new cost as soon
// as it is measured instead of only when the whole run ends. A run sends, in
// probe order, a "started" report before a candidate's probes and a
// "finished" report with its cost after them.
#pragma once

#include <cstdint>
#include <string>

struct DetectProgress {
    int index = 0;          // the candidate's place in probe order, from 0
    int count = 0;          // candidates the run probes
    bool finished = false;  // false: its probes start; true: LinkCost is measured
    std::string Code;
    std::string Dest;
    int32_t Port[3] = {};   // SMTP, POP3, IMAP4
    int32_t LinkCost = 0;   // when finished: milliseconds, or -1 when a probe failed
};

// The report as one line for a front end without a list view:
// "probing 1 of 3: plain-1 (10.0.0.1)" when the probes start, then
// "probed 1 of 3: plain-1 312 ms" or "probed 1 of 3: plain-1 FAILD".
std::string ProgressLine(const DetectProgress& progress);
