// AutoDownload is the once-per-start update of the connection list: it
// downloads the published list (retrying a failed download five times), and
// when the list's header is later than that of "Quillomark.conf" it has a
// detection run try the downloaded copy "NewQuilloMark.conf" (retrying a
// failed run five times). Only a successful run lets the list replace
// "Quillomark.conf", under connListLock. There is no loop back: a list
// published later is found at the next start of the program.
#pragma once

#include <cstdint>
#include <functional>

#include "context/AppContext.h"
#include "detect/AutoDetectThread.h"
#include "detect/DetectionResult.h"
#include "update/DownloadConnList.h"
#include "update/DownloadState.h"
#include "update/UpdateResult.h"

inline constexpr int kUpdateRetryCount = 5;

// How the update reaches its peers. The product uses the defaults: port 80
// and a real detection run; tests may download from another port or stand
// in for the detection run.
struct AutoDownloadOptions {
    int32_t port = kDownloadPort;
    // One detection run; returns the run's exit code.
    std::function<DetectionResult(AppContext&, const DetectRequest&)> runDetection;
};

class AutoDownload {
public:
    explicit AutoDownload(AppContext& ctx, AutoDownloadOptions options = {});
    AutoDownload(const AutoDownload&) = delete;
    AutoDownload& operator=(const AutoDownload&) = delete;

    // The whole cycle, start to end state.
    void Run();

    // After one interval, up to five downloads with an interval between
    // them: Succeeded at the first that succeeds, RetriesFailed when all fail.
    DownloadOutcome DownloadWithRetry();
    // One detection run on "NewQuilloMark.conf" and, when it succeeds, the
    // replacement of "Quillomark.conf": Installed, or Failed on any failure.
    NewListOutcome DetectNewList();
    // After one interval, up to five DetectNewList with an interval between
    // them: Installed at the first that succeeds, RetriesFailed when all fail.
    NewListOutcome DetectNewListWithRetry();

    const DownloadState& state() const { return state_; }

private:
    bool RunDetectionThread(DetectionResult* exitCode);
    bool InstallNewList();
    void Pause(int32_t intervalMs) const;

    AppContext& ctx_;
    AutoDownloadOptions options_;
    DownloadState state_;
};
