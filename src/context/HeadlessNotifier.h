// HeadlessNotifier is the front end of a QuilloMark that has no window: the
// information pane's lines go to standard output as they are, a message box
// prints its title and text and is answered OK at once, and the refreshes of
// window controls do nothing.
#pragma once

#include "context/AppContext.h"
#include "core/UiNotifier.h"

class HeadlessNotifier : public UiNotifier {
public:
    explicit HeadlessNotifier(AppContext& ctx) : ctx_(ctx) {}
    HeadlessNotifier(const HeadlessNotifier&) = delete;
    HeadlessNotifier& operator=(const HeadlessNotifier&) = delete;

    void PostInfoLine(const std::string& text) override;
    void DetectionStarted() override {}
    void DetectionFinished() override {}
    void CurrentLinkChanged() override {}
    void ShowMessageBox(const std::string& titleKey, const std::string& bodyKey) override;

private:
    AppContext& ctx_;
};
