#include "context/HeadlessNotifier.h"

#include <cstdio>

#include "core/MessageTable.h"

void HeadlessNotifier::PostInfoLine(const std::string& text) {
    std::lock_guard<std::mutex> hold(ctx_.infoPaneLock);
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

void HeadlessNotifier::ShowMessageBox(const std::string& titleKey, const std::string& bodyKey) {
    // A box asked for with a text only takes the application's name as title.
    const char* title = titleKey.empty() ? "QuilloMark" : GetMessageText(ctx_, titleKey.c_str());
    const char* body = GetMessageText(ctx_, bodyKey.c_str());
    std::lock_guard<std::mutex> hold(ctx_.infoPaneLock);
    std::printf("[%s] %s\n", title, body);
    std::fflush(stdout);
}
