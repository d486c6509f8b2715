// UiNotifier is the only way a worker thread reaches the main window. Every
// operation may be called from any thread; an implementation hands the work
// to the window thread and never holds a lock while it waits for that thread.
// Without a window a headless implementation prints the pane lines and the
// message boxes to standard output.
#pragma once

#include <string>

#include "core/DetectProgress.h"
#include "net/TlsClientContext.h"

class UiNotifier {
public:
    virtual ~UiNotifier() = default;

    // Appends text unchanged to the information pane; callers end their
    // lines with "\r\n" themselves.
    virtual void PostInfoLine(const std::string& text) = 0;
    // A detection run begins its work: refresh the list, disable "Send log".
    virtual void DetectionStarted() = 0;
    // A detection run ended: refresh list and current line, enable "Send log".
    virtual void DetectionFinished() = 0;
    // A client process connected to a server: refresh the current line.
    virtual void CurrentLinkChanged() = 0;
    // A detection run starts or ends the probes of one candidate; reports
    // come in probe order between DetectionStarted and DetectionFinished.
    // A front end that shows no progress has nothing to do.
    virtual void DetectionProgress(const DetectProgress&) {}
    // Shows a message box with an OK button whose title and text are looked
    // up in the message table by key, and returns when it has been closed.
    virtual void ShowMessageBox(const std::string& titleKey, const std::string& bodyKey) = 0;
    // A server's certificate was refused by a probe, the report or a relay:
    // a key that differs from the known one, or a chain that does not verify.
    // A window asks the user, once per server, whether to trust the new
    // certificate; a headless front end says which record to remove. Any
    // thread may call it; the candidate has already failed.
    virtual void CertificateRefused(const CertificateRefusal&) {}
    // The update proved a newer connection list and put it in place of
    // "Quillomark.conf". A window tells the user; nothing else has to.
    virtual void ConnectionListInstalled() {}
};

// A notifier that drops everything: what a context has before a window or a
// headless front end is attached, and what tests use when they do not care.
class NullNotifier : public UiNotifier {
public:
    void PostInfoLine(const std::string&) override {}
    void DetectionStarted() override {}
    void DetectionFinished() override {}
    void CurrentLinkChanged() override {}
    void ShowMessageBox(const std::string&, const std::string&) override {}
};
