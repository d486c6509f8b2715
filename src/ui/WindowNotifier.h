// WindowNotifier is the UiNotifier of a QuilloMark with a window: it hands
// every request of a worker thread to the window thread as a queued call, so
// no worker ever touches a control or holds a lock while the window thread
// works. A message box asked for by a worker is shown without blocking the
// window thread while the worker waits for it to be closed; workers asking
// for the same box while it is open all wait for that one box, so a mail
// client failing on five connections raises one box, not five.
#pragma once

#include <QPointer>

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <string>

#include "core/CoreContext.h"
#include "core/UiNotifier.h"
#include "platform/Mutex.h"
#include "ui/QuilloMarkDlg.h"

// A worker gives up waiting for a box nobody answers after this long; the box
// stays up for the user.
inline constexpr std::chrono::minutes kWorkerBoxWaitLimit{30};

class WindowNotifier : public UiNotifier {
public:
    WindowNotifier(CoreContext& ctx, QuilloMarkDlg& window);
    WindowNotifier(const WindowNotifier&) = delete;
    WindowNotifier& operator=(const WindowNotifier&) = delete;
    ~WindowNotifier() override;

    void PostInfoLine(const std::string& text) override;
    void DetectionStarted() override;
    void DetectionFinished() override;
    void CurrentLinkChanged() override;
    void DetectionProgress(const DetectProgress& progress) override;
    void ShowMessageBox(const std::string& titleKey, const std::string& bodyKey) override
        EXCLUDES(boxesLock_);
    // Asks once per server, without holding the worker: trusting records
    // the presented key, so the next connection passes.
    void CertificateRefused(const CertificateRefusal& refusal) override;
    void ConnectionListInstalled() override;

    // How many workers' boxes are open now, and how many workers wait for
    // them (for tests).
    int OpenBoxCount() EXCLUDES(boxesLock_);
    int WaitingWorkerCount() EXCLUDES(boxesLock_);

private:
    // Its fields are read and written under boxesLock_ too.
    struct OpenBox {
        bool closed = false;
        int waiting = 0;
    };

    bool OnWindowThread() const;
    template <typename Call> void RunOnWindow(Call call);
    void OpenBoxOnWindow(const std::string& key, const std::string& titleKey,
                         const std::string& bodyKey);
    void BoxClosed(const std::string& key) EXCLUDES(boxesLock_);

    CoreContext& ctx_;
    QPointer<QuilloMarkDlg> window_;
    Mutex boxesLock_;
    std::condition_variable_any boxClosed_;
    std::map<std::string, std::shared_ptr<OpenBox>> boxes_ GUARDED_BY(boxesLock_);
    bool shuttingDown_ GUARDED_BY(boxesLock_) = false;
};
