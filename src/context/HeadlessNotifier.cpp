#include "context/HeadlessNotifier.h"

#include "core/MessageTable.h"

void HeadlessNotifier::Print(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), out_);
    std::fflush(out_);
}

void HeadlessNotifier::PostInfoLine(const std::string& text) {
    MutexLock hold(lock_);
    Print(text);
}

void HeadlessNotifier::DetectionStarted() {
    MutexLock hold(lock_);
    summary_.Begin();
}

void HeadlessNotifier::DetectionProgress(const DetectProgress& progress) {
    MutexLock hold(lock_);
    summary_.Add(progress);
    Print(ProgressLine(progress));
}

// A run that ended before probing (no Internet, no list) has already said why.
void HeadlessNotifier::DetectionFinished() {
    MutexLock hold(lock_);
    if (summary_.HasCandidates()) Print(summary_.Line());
    summary_.Begin();
}

void HeadlessNotifier::ShowMessageBox(const std::string& titleKey, const std::string& bodyKey) {
    // A box asked for with a text only takes the application's name as title.
    const char* title = titleKey.empty() ? "QuilloMark" : GetMessageText(ctx_, titleKey.c_str());
    const char* body = GetMessageText(ctx_, bodyKey.c_str());
    MutexLock hold(lock_);
    std::fprintf(out_, "[%s] %s\n", title, body);
    std::fflush(out_);
}

void HeadlessNotifier::CertificateRefused(const CertificateRefusal& refusal) {
    if (!ctx_.tlsClient.Known().FirstRefusal(refusal.server, refusal.port)) return;
    std::string where = refusal.server + ":" + std::to_string(refusal.port);
    std::string line = "The certificate of " + where + " has changed";
    if (refusal.recorded.empty()) {
        line += " or does not verify; it is refused.\r\n";
    } else {
        std::string path = ctx_.tlsClient.Known().Path();
        line += "; it is refused. To trust the new certificate, remove the line of " + where + " from " +
                (path.empty() ? std::string("the known servers") : path) + ".\r\n";
    }
    MutexLock hold(lock_);
    Print(line);
}
