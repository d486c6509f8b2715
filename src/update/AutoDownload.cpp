#include "update/AutoDownload.h"

#include <chrono>
#include <cstdio>
#include <system_error>
#include <thread>
#include <utility>

#include "catalogue/ConnConfig.h"
#include "core/WriteLog.h"
#include "detect/AutoDetectThread.h"
#include "update/ListFileWriter.h"
#include "update/LocalListTime.h"

namespace {

void RemoveNewList(AppContext& ctx) { std::remove(DataFilePath(ctx, kNewConnConfigName).c_str()); }

}  // namespace

AutoDownload::AutoDownload(AppContext& ctx, AutoDownloadOptions options)
    : ctx_(ctx), options_(std::move(options)) {
    if (!options_.runDetection) options_.runDetection = AutoDetectThread;
}

void AutoDownload::Run() {
    int64_t local = ReadLocalListTime(ctx_);
    if (DownloadConnList(ctx_, state_, options_.port) == DownloadOutcome::Failed) {
        WriteLog(ctx_, DOWNLOAD, MINOR, "download config file failed");
        if (DownloadWithRetry() == DownloadOutcome::RetriesFailed) {
            WriteLog(ctx_, DOWNLOAD, MINOR, "download config file failed");
            return;
        }
    }
    if (state_.downloadedListTime <= local) {
        RemoveNewList(ctx_);
        return;
    }

    if (ctx_.detectRunning.Get()) {
        // A run that ended before this wait has left the event set, so the
        // wait then returns at once.
        ctx_.eventDetectComplete.Wait();
        WriteLog(ctx_, DOWNLOAD, DUMP, "Waiting for detecting the new config file.");
    } else {
        WriteLog(ctx_, DOWNLOAD, DUMP, "Detecting the new config file directly.");
    }

    if (DetectNewList() == NewListOutcome::Failed &&
        DetectNewListWithRetry() == NewListOutcome::RetriesFailed)
        RemoveNewList(ctx_);
}

DownloadOutcome AutoDownload::DownloadWithRetry() {
    int32_t interval = ctx_.userConfig.DOWNLOAD_RETRY_INTERVAL;
    for (int attempt = 1; attempt <= kUpdateRetryCount; ++attempt) {
        Pause(interval);
        if (DownloadConnList(ctx_, state_, options_.port) == DownloadOutcome::Succeeded)
            return DownloadOutcome::Succeeded;
    }
    WriteLog(ctx_, DOWNLOAD, MAJOR, "ERR: downlaod new config file fail.");
    return DownloadOutcome::RetriesFailed;
}

NewListOutcome AutoDownload::DetectNewList() {
    WriteLog(ctx_, DOWNLOAD, DUMP, "start to detect");
    DetectionResult exitCode = DetectionResult::Ok;
    if (!RunDetectionThread(&exitCode)) return NewListOutcome::Failed;
    if (exitCode != DetectionResult::Ok) {
        WriteLog(ctx_, DOWNLOAD, DUMP, "wait for auto detect thread fail");
        return NewListOutcome::Failed;
    }
    WriteLog(ctx_, DOWNLOAD, DUMP, "wait for auto detect thread success");
    if (!InstallNewList()) return NewListOutcome::Failed;
    RemoveNewList(ctx_);
    WriteLog(ctx_, DOWNLOAD, MAJOR, "The config file was updated.");
    ctx_.Notifier().ConnectionListInstalled();
    return NewListOutcome::Installed;
}

NewListOutcome AutoDownload::DetectNewListWithRetry() {
    int32_t interval = ctx_.userConfig.DOWNLOAD_RETRY_INTERVAL;
    for (int attempt = 1; attempt <= kUpdateRetryCount; ++attempt) {
        Pause(interval);
        if (DetectNewList() == NewListOutcome::Installed) return NewListOutcome::Installed;
    }
    WriteLog(ctx_, DOWNLOAD, MAJOR, "ERR: detect fail with the new config file.");
    return NewListOutcome::RetriesFailed;
}

// Runs the detection in a thread of its own and waits for it without a time
// limit; false when no thread could be started. The run waits and retries
// quietly when the Internet is unreachable.
bool AutoDownload::RunDetectionThread(DetectionResult* exitCode) {
    DetectRequest request{DetectMode::Background, kNewConnConfigName};
    try {
        std::thread run([this, exitCode, request] { *exitCode = options_.runDetection(ctx_, request); });
        run.join();
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

// Writes the downloaded body over "Quillomark.conf" while no detection run
// can be reading it. The old file stays whole unless the new one is.
bool AutoDownload::InstallNewList() {
    std::string text = ListFileText(state_.downloadBuffer, state_.downloadLength);
    return ReplaceConnConfig(ctx_, text) == CatalogueResult::Ok;
}

void AutoDownload::Pause(int32_t intervalMs) const {
    if (intervalMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(intervalMs));
}
