#include "app/QuilloMark.h"

#include <QApplication>
#include <QCoreApplication>
#include <QMessageBox>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <memory>
#include <sys/signalfd.h>
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

int RunHeadless(QCoreApplication& app, SingleInstance& instance, int stopSignals) {
    AppContext& ctx = ProcessContext();
    static HeadlessNotifier notifier(ctx);
    ctx.mainWindow = &notifier;
    // Without a window there is nothing to bring forward for a later copy.
    instance.Listen([] {});

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
    instance.Listen([] { window->BringForward(); });

    InitialiseWindow(ctx, starter, *window);
    window->show();

    QSocketNotifier stopWatch(stopSignals, QSocketNotifier::Read);
    WatchStopSignals(stopWatch);
    return app.exec();
}

}  // namespace

int RunQuilloMark(int argc, char** argv) {
    int stopSignals = BlockStopSignals();
    const bool withWindow = DisplayAvailable();
    std::unique_ptr<QCoreApplication> app(withWindow ? new QApplication(argc, argv)
                                                     : new QCoreApplication(argc, argv));

    SingleInstance instance(QString::fromUtf8(kWindowTitle));
    if (instance.AskRunningCopyToShow()) return 0;
    if (!StartSocketLayer()) {
        ShowSocketLayerFailure(withWindow);
        return 0;
    }
    if (withWindow) return RunWithWindow(static_cast<QApplication&>(*app), instance, stopSignals);
    return RunHeadless(*app, instance, stopSignals);
}
