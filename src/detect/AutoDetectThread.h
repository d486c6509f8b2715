// AutoDetectThread is the body of one detection run: it checks that the
// Internet can be reached, probes every candidate of a connection list with a
// real test mail over SMTP and its retrieval over POP3, ranks the candidates
// by what that cost in milliseconds, stores the winner in bestConnection and
// writes "detect_result.log", which the proxy listeners follow with their next
// client. Only one run works at a time; a run started meanwhile ends at once.
// Every run that got past that guard signals eventDetectComplete once.
#pragma once

#include <cstdint>

#include "context/AppContext.h"
#include "detect/DetectionResult.h"

// What a starter asks of one run.
struct DetectRequest {
    DetectMode mode = DetectMode::Background;
    // The connection list relative to the base directory, beginning with
    // "/"; null means "/Quillomark.conf".
    const char* listPath = nullptr;
};

// Returns Ok, AlreadyRunning, InternetUnreachable, ListUnreadable,
// NoAvailableConnection or WriteResultFailed.
DetectionResult AutoDetectThread(AppContext& ctx, const DetectRequest& request);
