#include "app/QuilloMark.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <sys/signalfd.h>
#include <unistd.h>

#include "context/AppStartup.h"
#include "context/HeadlessNotifier.h"
#include "app/SingleInstance.h"
#include "app/ThreadServiceStarter.h"
#include "platform/SocketLayer.h"

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

void ShowSocketLayerFailure() {
    std::printf("[QuilloMark] %s\n", "Windows sockets 啟始失敗。");
    std::fflush(stdout);
}

}  // namespace

int RunQuilloMark(int argc, char** argv) {
    int stopSignals = BlockStopSignals();
    QCoreApplication app(argc, argv);

    SingleInstance instance(QString::fromUtf8(kWindowTitle));
    if (instance.AskRunningCopyToShow()) return 0;
    if (!StartSocketLayer()) {
        ShowSocketLayerFailure();
        return 0;
    }

    // The context outlives every thread: the process ends by _exit below, or
    // with this function, never by destroying state other threads still use.
    static AppContext ctx;
    static HeadlessNotifier notifier(ctx);
    ctx.mainWindow = &notifier;
    // Without a window there is nothing to bring forward for a later copy.
    instance.Listen([] {});

    ThreadServiceStarter starter;
    WindowHooks window;
    InitialiseWindow(ctx, starter, window);

    QSocketNotifier stopWatch(stopSignals, QSocketNotifier::Read);
    QObject::connect(&stopWatch, &QSocketNotifier::activated, [] {
        CloseServices(ctx);
        std::fflush(stdout);
        _exit(0);
    });
    return app.exec();
}
