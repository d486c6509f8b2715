#include "app/QuilloMark.h"

#include <QApplication>
#include <QCoreApplication>
#include <QMessageBox>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <functional>
#include <memory>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "app/DisplayProbe.h"
#include "app/SingleInstance.h"
#include "app/ThreadServiceStarter.h"
#include "context/AppStartup.h"
#include "context/HeadlessNotifier.h"
#include "platform/SocketLayer.h"
#include "ui/QuilloMarkDlg.h"
#include "ui/WindowNotifier.h"

namespace {

// SIGTERM and SIGINT stand for the confirmed Exit. They are blocked in every
// thread (the mask is inherited, so this runs before any thread exists) and
// read from a descriptor on the window thread, where CloseServices belongs.
int BlockStopSignals() {
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGTERM);
    sigaddset(&stops, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stops, nullptr);
    return signalfd(-1, &stops, SFD_CLOEXEC | SFD_NONBLOCK);
}

void ShowSocketLayerFailure(bool withWindow) {
    const char* text = "Windows sockets 啟始失敗。";
    if (withWindow) {
        QMessageBox::critical(nullptr, QStringLiteral("QuilloMark"), QString::fromUtf8(text));
        return;
    }
    std::printf("[QuilloMark] %s\n", text);
    std::fflush(stdout);
}

// Service threads are never stopped or joined, so the process ends here at
// once instead of destroying state they may still use.
[[noreturn]] void EndProcess() {
    std::fflush(nullptr);
    _exit(0);
}

// The context outlives every thread: the process ends by EndProcess, never by
// destroying state other threads still use.
AppContext& ProcessContext() {
    static AppContext ctx;
    return ctx;
}

void WatchStopSignals(QSocketNotifier& stopWatch) {
    QObject::connect(&stopWatch, &QSocketNotifier::activated, [] {
        CloseServices(ProcessContext());
        EndProcess();
    });
}

// A copy that cannot listen still serves the user's mail; it says why a
// later copy will not find it.
void ListenForLaterCopies(SingleInstance& instance, std::function<void()> bringForward) {
    bool listening = instance.Listen([bringForward](const QByteArray& request) -> QByteArray {
        if (request != "show\n") return "error unknown request\n";
        bringForward();
        return "ok\n";
    });
    if (!listening)
        std::fprintf(stderr, "QuilloMark: cannot keep other copies away (%s); starting all the same\n",
                     instance.Problem().toLocal8Bit().constData());
}

// True when this copy must end, with status: another copy of the user's
// answers, or one exists that does not.
bool AnotherCopyRuns(SingleInstance& instance, int& status) {
    switch (instance.AskRunningCopy("show\n")) {
    case InstanceAnswer::NoCopy:
        if (!instance.Problem().isEmpty())
            std::fprintf(stderr, "QuilloMark: cannot look for a running copy (%s)\n",
                         instance.Problem().toLocal8Bit().constData());
        return false;
    case InstanceAnswer::Answered:
        if (instance.LastReply() == "ok\n") {
            std::fputs("QuilloMark is already running; its window was brought forward\n", stderr);
            status = 0;
        } else {
            std::fprintf(stderr, "QuilloMark is already running; it refused to show its window: %s",
                         instance.LastReply().constData());
            status = 1;
        }
        return true;
    case InstanceAnswer::Silent:
        std::fputs("QuilloMark is already running but did not answer within 2 seconds\n", stderr);
        status = 1;
        return true;
    }
    return false;
}

int RunHeadless(QCoreApplication& app, SingleInstance& instance, int stopSignals) {
    AppContext& ctx = ProcessContext();
    static HeadlessNotifier notifier(ctx);
    ctx.mainWindow = &notifier;
    // Without a window there is nothing to bring forward for a later copy.
    ListenForLaterCopies(instance, [] {});

    ThreadServiceStarter starter;
    WindowHooks window;
    InitialiseWindow(ctx, starter, window);

    QSocketNotifier stopWatch(stopSignals, QSocketNotifier::Read);
    WatchStopSignals(stopWatch);
    return app.exec();
}

int RunWithWindow(QApplication& app, SingleInstance& instance, int stopSignals) {
    AppContext& ctx = ProcessContext();
    // Hiding the window behind its icon or closing the About box must not
    // end the program: only Exit does.
    app.setQuitOnLastWindowClosed(false);
    ThreadServiceStarter starter;
    static QuilloMarkDlg* window = new QuilloMarkDlg(ctx, starter);
    static WindowNotifier notifier(ctx, *window);
    ctx.mainWindow = &notifier;
    window->SetExitAction([] { EndProcess(); });
    ListenForLaterCopies(instance, [] { window->BringForward(); });

    InitialiseWindow(ctx, starter, *window);
    window->show();

    QSocketNotifier stopWatch(stopSignals, QSocketNotifier::Read);
    WatchStopSignals(stopWatch);
    return app.exec();
}

}  // namespace

int RunQuilloMark(int argc, char** argv) {
    // The log, the result files, the history and the messages name the
    // user's servers and test account: whatever directory QuilloMark starts
    // in, nothing it creates is readable by other users.
    umask(077);
    int stopSignals = BlockStopSignals();
    const bool withWindow = DisplayAvailable();
    std::unique_ptr<QCoreApplication> app(withWindow ? new QApplication(argc, argv)
                                                     : new QCoreApplication(argc, argv));

    SingleInstance instance(QString::fromUtf8(kWindowTitle));
    int status = 0;
    if (AnotherCopyRuns(instance, status)) return status;
    if (!StartSocketLayer()) {
        ShowSocketLayerFailure(withWindow);
        return 0;
    }
    if (withWindow) return RunWithWindow(static_cast<QApplication&>(*app), instance, stopSignals);
    return RunHeadless(*app, instance, stopSignals);
}
