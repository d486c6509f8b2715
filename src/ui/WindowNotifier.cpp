#include "ui/WindowNotifier.h"

#include <QMessageBox>
#include <QPushButton>
#include <QMetaObject>
#include <QThread>

#include "ui/MessageBoxes.h"
#include "core/MessageTable.h"

WindowNotifier::WindowNotifier(CoreContext& ctx, QuilloMarkDlg& window)
    : ctx_(ctx), window_(&window) {}

WindowNotifier::~WindowNotifier() {
    MutexLock hold(boxesLock_);
    shuttingDown_ = true;
    boxClosed_.notify_all();
}

bool WindowNotifier::OnWindowThread() const {
    return QThread::currentThread() == window_->thread();
}

template <typename Call>
void WindowNotifier::RunOnWindow(Call call) {
    QuilloMarkDlg* window = window_.data();
    if (window == nullptr) return;
    if (OnWindowThread()) {
        call(*window);
        return;
    }
    // With the window as context, a call still queued when the window goes
    // away is dropped instead of reaching a destroyed object.
    QMetaObject::invokeMethod(window, [window, call] { call(*window); }, Qt::QueuedConnection);
}

void WindowNotifier::PostInfoLine(const std::string& text) {
    RunOnWindow([text](QuilloMarkDlg& w) { w.AppendInfoLine(text); });
}

void WindowNotifier::DetectionStarted() {
    RunOnWindow([](QuilloMarkDlg& w) { w.OnDetectionStarted(); });
}

void WindowNotifier::DetectionFinished() {
    RunOnWindow([](QuilloMarkDlg& w) { w.OnDetectionFinished(); });
}

void WindowNotifier::CurrentLinkChanged() {
    RunOnWindow([](QuilloMarkDlg& w) { w.OnCurrentLinkChanged(); });
}

void WindowNotifier::DetectionProgress(const DetectProgress& progress) {
    RunOnWindow([progress](QuilloMarkDlg& w) { w.OnDetectionProgress(progress); });
}

void WindowNotifier::ShowMessageBox(const std::string& titleKey, const std::string& bodyKey) {
    if (window_.isNull()) return;
    if (OnWindowThread()) {
        // Waiting here is waiting for ourselves: the box runs its own loop.
        TellUser(ctx_, window_.data(), titleKey.c_str(), bodyKey.c_str());
        return;
    }
    const std::string key = titleKey + '\n' + bodyKey;
    MutexLock hold(boxesLock_);
    std::shared_ptr<OpenBox>& entry = boxes_[key];
    std::shared_ptr<OpenBox> shown = entry;
    if (!shown) {
        shown = entry = std::make_shared<OpenBox>();
        QMetaObject::invokeMethod(
            window_.data(),
            [this, key, titleKey, bodyKey] { OpenBoxOnWindow(key, titleKey, bodyKey); },
            Qt::QueuedConnection);
    }
    ++shown->waiting;
    boxClosed_.wait_for(hold, kWorkerBoxWaitLimit, [&] {
        boxesLock_.AssertHeld();
        return shown->closed || shuttingDown_;
    });
    --shown->waiting;
}

void WindowNotifier::OpenBoxOnWindow(const std::string& key, const std::string& titleKey,
                                     const std::string& bodyKey) {
    auto* box = new QMessageBox(QMessageBox::NoIcon, MessageBoxTitle(ctx_, titleKey.c_str()),
                                QString::fromUtf8(GetMessageText(ctx_, bodyKey.c_str())),
                                QMessageBox::Ok, window_.data());
    // Not modal: the window and its commands stay usable while it is up.
    box->setWindowModality(Qt::NonModal);
    box->setAttribute(Qt::WA_DeleteOnClose);
    QObject::connect(box, &QMessageBox::finished, box, [this, key] { BoxClosed(key); });
    box->show();
}

void WindowNotifier::BoxClosed(const std::string& key) {
    MutexLock hold(boxesLock_);
    auto found = boxes_.find(key);
    if (found == boxes_.end()) return;
    found->second->closed = true;
    boxes_.erase(found);
    boxClosed_.notify_all();
}

int WindowNotifier::OpenBoxCount() {
    MutexLock hold(boxesLock_);
    return static_cast<int>(boxes_.size());
}

int WindowNotifier::WaitingWorkerCount() {
    MutexLock hold(boxesLock_);
    int waiting = 0;
    for (const auto& [key, box] : boxes_) waiting += box->waiting;
    return waiting;
}

void WindowNotifier::ConnectionListInstalled() {
    RunOnWindow([](QuilloMarkDlg& w) { w.OnConnectionListInstalled(); });
}

void WindowNotifier::CertificateRefused(const CertificateRefusal& refusal) {
    RunOnWindow([server = refusal.server, port = refusal.port](QuilloMarkDlg& w) {
        w.OnCertificateRefused(server, port);
    });
    // Only a changed key can be trusted by hand; a name's certificate that
    // does not verify is told in the pane by whoever refused it.
    if (refusal.recorded.empty()) return;
    if (!ctx_.tlsClient.Known().FirstRefusal(refusal.server, refusal.port)) return;
    CoreContext* ctx = &ctx_;
    RunOnWindow([ctx, refusal](QuilloMarkDlg& w) {
        QString where = QString::fromStdString(refusal.server) + ":" + QString::number(refusal.port);
        QMessageBox box(QMessageBox::Warning, "QuilloMark", "The certificate of " + where + " has changed",
                        QMessageBox::NoButton, &w);
        box.setInformativeText(QString("Recorded key: %1\nPresented key: %2")
                                   .arg(QString::fromStdString(refusal.recorded),
                                        QString::fromStdString(refusal.presented)));
        QPushButton* trust = box.addButton("Trust the new certificate", QMessageBox::AcceptRole);
        QPushButton* keep = box.addButton("Keep refusing", QMessageBox::RejectRole);
        box.setDefaultButton(keep);
        box.exec();
        if (box.clickedButton() != trust) return;
        ctx->tlsClient.Known().Store(KnownServer{refusal.server, refusal.port, refusal.presented, refusal.names});
    });
}
