// HeadlessNotifier is the front end of a QuilloMark that has no window: the
// information pane's lines go to standard output as they are, a message box
// prints its title and text and is answered OK at once, and the refreshes of
// window controls do nothing. Instead of the list's live rows a detection run
// prints a line as each candidate's probes start and end, and one summary
// line ("best: ... 312 ms; 2 of 3 candidates passed") when it ends.
#pragma once

#include <cstdio>

#include "context/AppContext.h"
#include "core/DetectSummary.h"
#include "core/UiNotifier.h"
#include "platform/Mutex.h"

class HeadlessNotifier : public UiNotifier {
public:
    // out: standard output, or a test's file.
    explicit HeadlessNotifier(AppContext& ctx, FILE* out = stdout) : ctx_(ctx), out_(out) {}
    HeadlessNotifier(const HeadlessNotifier&) = delete;
    HeadlessNotifier& operator=(const HeadlessNotifier&) = delete;

    void PostInfoLine(const std::string& text) override EXCLUDES(lock_);
    void DetectionStarted() override EXCLUDES(lock_);
    void DetectionFinished() override EXCLUDES(lock_);
    void CurrentLinkChanged() override {}
    void DetectionProgress(const DetectProgress& progress) override EXCLUDES(lock_);
    void ShowMessageBox(const std::string& titleKey, const std::string& bodyKey) override EXCLUDES(lock_);
    // Once per server: which record to remove to trust its new certificate.
    void CertificateRefused(const CertificateRefusal& refusal) override EXCLUDES(lock_);

private:
    void Print(const std::string& text) REQUIRES(lock_);

    AppContext& ctx_;
    // One line, box or summary at a time, so that lines of several threads
    // never run into each other on out_, which is written only under it.
    Mutex lock_;
    FILE* out_;
    DetectSummary summary_ GUARDED_BY(lock_);  // of the run in progress
};
