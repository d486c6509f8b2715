#include "app/QuilloMark.h"

#include <QApplication>
#include <QCoreApplication>
#include <QFileInfo>
#include <QMessageBox>
#include <QSocketNotifier>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <ctime>
#include <functional>
#include <memory>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "app/CommandLine.h"
#include "app/DisplayProbe.h"
#include "app/SingleInstance.h"
#include "app/ThreadServiceStarter.h"
#include "context/AppStartup.h"
#include "context/HeadlessNotifier.h"
#include "context/LiveSettings.h"
#include "context/ServerCertificate.h"
#include "core/MailCodeKeys.h"
#include "net/LocalCertificate.h"
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

std::vector<std::string> RequestLines(const QByteArray& request) {
    std::vector<std::string> lines;
    for (const QByteArray& line : request.split('\n'))
        if (!line.isEmpty()) lines.emplace_back(line.toStdString());
    return lines;
}

// Applies an import once no detection run works on the test account; the
// files are written at once, so the reply does not wait for that.
void ApplyWhenIdle(AppContext& ctx, ServiceStarter& starter, LiveChange change,
                   std::function<void()> applied) {
    std::vector<RefusedMove> refused;
    if (ApplyLiveChange(ctx, starter, change, refused) == LiveResult::Busy) {
        QTimer::singleShot(500, [&ctx, &starter, change, applied] { ApplyWhenIdle(ctx, starter, change, applied); });
        return;
    }
    if (applied) applied();
}

// The reply line to a later copy's request.
QByteArray AnswerRequest(AppContext& ctx, ServiceStarter& starter, const QByteArray& request,
                         const std::function<void()>& show, const std::function<void()>& applied) {
    std::vector<std::string> lines = RequestLines(request);
    if (lines.empty() || lines[0] == "show") {
        if (show) show();
        return "ok\n";
    }
    if (lines[0] != "import" || lines.size() < 2) return "error unknown request\n";
    lines.erase(lines.begin());
    LiveChange change;
    std::string reply;
    if (ImportAndApply(ctx, starter, lines, change, reply) == LiveResult::Busy)
        ApplyWhenIdle(ctx, starter, change, applied);
    else if (applied && reply == "ok")
        applied();
    return QByteArray::fromStdString(reply + "\n");
}

// A copy that cannot listen still serves the user's mail; it says why a
// later copy will not find it.
void ListenForLaterCopies(SingleInstance& instance, std::function<QByteArray(const QByteArray&)> onRequest) {
    bool listening = instance.Listen(std::move(onRequest));
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
    ThreadServiceStarter starter;
    // Without a window there is nothing to bring forward for a later copy.
    ListenForLaterCopies(instance, [&ctx, &starter](const QByteArray& request) {
        return AnswerRequest(ctx, starter, request, nullptr, nullptr);
    });

    WindowHooks window;
    InitialiseWindow(ctx, starter, window);

    QSocketNotifier stopWatch(stopSignals, QSocketNotifier::Read);
    WatchStopSignals(stopWatch);
    return app.exec();
}

int RunWithWindow(QApplication& app, SingleInstance& instance, int stopSignals, bool hidden) {
    AppContext& ctx = ProcessContext();
    // Hiding the window behind its icon or closing the About box must not
    // end the program: only Exit does.
    app.setQuitOnLastWindowClosed(false);
    ThreadServiceStarter starter;
    static QuilloMarkDlg* window = new QuilloMarkDlg(ctx, starter);
    static WindowNotifier notifier(ctx, *window);
    ctx.mainWindow = &notifier;
    window->SetExitAction([] { EndProcess(); });
    ListenForLaterCopies(instance, [&ctx, &starter](const QByteArray& request) {
        return AnswerRequest(ctx, starter, request, [] { window->BringForward(); },
                             [] { window->OnSettingsApplied(); });
    });

    window->SetStartHidden(hidden);
    InitialiseWindow(ctx, starter, *window);
    // Without a notification area a hidden window could not be reached.
    if (!hidden || !window->TrayAvailable()) window->show();

    QSocketNotifier stopWatch(stopSignals, QSocketNotifier::Read);
    WatchStopSignals(stopWatch);
    return app.exec();
}

}  // namespace

namespace {

// --import: the running copy applies the files; without one they replace
// the files of this directory for the next start.
int RunImport(SingleInstance& instance, const std::vector<std::string>& files) {
    QByteArray request = "import\n";
    std::vector<std::string> paths;
    for (const std::string& file : files) {
        paths.push_back(QFileInfo(QString::fromStdString(file)).absoluteFilePath().toStdString());
        request += QByteArray::fromStdString(paths.back()) + "\n";
    }
    switch (instance.AskRunningCopy(request)) {
    case InstanceAnswer::Answered: {
        QByteArray reply = instance.LastReply().trimmed();
        if (reply == "ok") {
            std::printf("quillomark: imported into the running copy\n");
            return 0;
        }
        std::fprintf(stderr, "quillomark: %s\n", reply.constData());
        return 1;
    }
    case InstanceAnswer::Silent:
        std::fprintf(stderr, "quillomark: the running copy does not answer; nothing imported\n");
        return 1;
    case InstanceAnswer::NoCopy: break;
    }
    AppContext& ctx = ProcessContext();
    BuildMailCodeKeys(ctx.mailCodeKeys);
    ReadBaseDirectory(ctx);
    ImportOutcome outcome;
    std::string reason;
    if (ImportSupportFiles(ctx, paths, outcome, reason) != CatalogueResult::Ok) {
        std::fprintf(stderr, "quillomark: %s; nothing imported\n", reason.c_str());
        return 1;
    }
    std::printf("quillomark: imported; they apply at the next start\n");
    return 0;
}

// --print-certificate: what a script needs to make a mail program trust the
// TLS ports, without starting anything.
int PrintCertificate() {
    AppContext& ctx = ProcessContext();
    ReadBaseDirectory(ctx);
    CertificatePair pair;
    CertificateAction action = CertificateAction::Kept;
    NetResult made =
        EnsureLocalCertificate(ServerCertificatePath(ctx), ServerKeyPath(ctx), std::time(nullptr), pair, action);
    if (made != NetResult::Ok) {
        std::fprintf(stderr, "quillomark: the certificate cannot be made (%s)\n", ToText(made));
        return 1;
    }
    std::fputs(pair.certificatePem.c_str(), stdout);
    std::printf("SHA-256 fingerprint: %s\n", CertificateFingerprint(pair.certificatePem).c_str());
    return 0;
}

}  // namespace

int RunQuilloMark(int argc, char** argv) {
    const CommandLine command = ParseCommandLine(argc, argv);
    switch (command.action) {
    case CommandLine::Action::Help: std::fputs(CommandLineUsage().c_str(), stdout); return 0;
    case CommandLine::Action::Version: std::printf("%s\n", kWindowTitle); return 0;
    case CommandLine::Action::Refuse:
        std::fprintf(stderr, "quillomark: %s (see quillomark --help)\n", command.error.c_str());
        return 2;
    case CommandLine::Action::Run:
    case CommandLine::Action::PrintCertificate:
    case CommandLine::Action::Import: break;
    }
    // The log, the result files, the history and the messages name the
    // user's servers and test account: whatever directory QuilloMark starts
    // in, nothing it creates is readable by other users.
    umask(077);
    if (command.action == CommandLine::Action::PrintCertificate) return PrintCertificate();
    int stopSignals = BlockStopSignals();
    const bool withWindow = command.action == CommandLine::Action::Run && DisplayAvailable();
    // Qt gets the program's name only: every other argument was read above.
    int qtArgc = 1;
    std::unique_ptr<QCoreApplication> app(withWindow ? new QApplication(qtArgc, argv)
                                                     : new QCoreApplication(qtArgc, argv));

    SingleInstance instance(QString::fromUtf8(kWindowTitle));
    if (command.action == CommandLine::Action::Import) return RunImport(instance, command.importFiles);
    int status = 0;
    if (AnotherCopyRuns(instance, status)) return status;
    if (!StartSocketLayer()) {
        ShowSocketLayerFailure(withWindow);
        return 0;
    }
    if (withWindow) return RunWithWindow(static_cast<QApplication&>(*app), instance, stopSignals, command.hidden);
    return RunHeadless(*app, instance, stopSignals);
}
