#include "app/SingleInstance.h"

#include <QDir>
#include <QFile>
#include <QLocalSocket>
#include <QRegularExpression>
#include <QTimer>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "platform/MonotonicClock.h"
#include "platform/UniqueFd.h"

namespace {

// How long a later copy waits for the whole exchange, and how long the
// running copy gives a peer to send its request.
constexpr std::chrono::milliseconds kAnswerWithin{2000};
// A request is a handful of lines; a peer that sends more is not one of ours.
constexpr qsizetype kMaxRequest = 64 * 1024;
constexpr qsizetype kMaxReply = 4096;
// The fallback directory when the session has no runtime directory.
constexpr const char* kFallbackDirectory = ".quillomark";

// True when the peer at the other end of sock runs as this process's user.
bool PeerIsOwnUser(int sock) {
    ucred credentials {};
    socklen_t length = sizeof credentials;
    if (getsockopt(sock, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0) return false;
    return credentials.uid == getuid();
}

// The directory must be this user's and closed to everyone else, or another
// user could place a socket in it or reach the one placed there.
QString PrivateDirectoryProblem(const QString& directory, bool create) {
    QByteArray path = QFile::encodeName(directory);
    if (create && mkdir(path.constData(), 0700) != 0 && errno != EEXIST)
        return QStringLiteral("cannot make %1: %2").arg(directory, QString::fromUtf8(std::strerror(errno)));
    struct stat info {};
    if (lstat(path.constData(), &info) != 0)
        return QStringLiteral("cannot read %1: %2").arg(directory, QString::fromUtf8(std::strerror(errno)));
    if (!S_ISDIR(info.st_mode)) return QStringLiteral("%1 is not a directory").arg(directory);
    if (info.st_uid != getuid()) return QStringLiteral("%1 belongs to another user").arg(directory);
    if ((info.st_mode & 077) != 0) return QStringLiteral("%1 is open to other users").arg(directory);
    return QString();
}

int RemainingMs(Deadline deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - MonotonicClock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

bool WaitFor(int sock, short events, Deadline deadline) {
    for (;;) {
        pollfd entry{sock, events, 0};
        int ready = poll(&entry, 1, RemainingMs(deadline));
        if (ready > 0) return true;
        if (ready == 0 || errno != EINTR) return false;
    }
}

// Connects within the deadline. NoCopy when nobody listens there.
InstanceAnswer Connect(const QString& path, UniqueFd& sock, Deadline deadline) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    QByteArray name = QFile::encodeName(path);
    if (name.size() >= static_cast<qsizetype>(sizeof address.sun_path)) return InstanceAnswer::NoCopy;
    std::memcpy(address.sun_path, name.constData(), static_cast<std::size_t>(name.size()));
    sock = UniqueFd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!sock) return InstanceAnswer::NoCopy;
    if (connect(sock.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
        return InstanceAnswer::Answered;
    // A full queue means a copy is there but not taking connections.
    if (errno != EAGAIN && errno != EINPROGRESS) return InstanceAnswer::NoCopy;
    if (!WaitFor(sock.Get(), POLLOUT, deadline)) return InstanceAnswer::Silent;
    int error = 0;
    socklen_t length = sizeof error;
    getsockopt(sock.Get(), SOL_SOCKET, SO_ERROR, &error, &length);
    return error == 0 ? InstanceAnswer::Answered : InstanceAnswer::NoCopy;
}

bool SendAll(int sock, const QByteArray& data, Deadline deadline) {
    qsizetype sent = 0;
    while (sent < data.size()) {
        ssize_t n = send(sock, data.constData() + sent, static_cast<std::size_t>(data.size() - sent), MSG_NOSIGNAL);
        if (n > 0) {
            sent += n;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN && WaitFor(sock, POLLOUT, deadline)) continue;
        return false;
    }
    return true;
}

// The reply line, empty when none came whole before the deadline.
QByteArray ReceiveLine(int sock, Deadline deadline) {
    QByteArray reply;
    char buffer[512];
    while (!reply.contains('\n') && reply.size() < kMaxReply) {
        ssize_t n = recv(sock, buffer, sizeof buffer, 0);
        if (n > 0) {
            reply.append(buffer, n);
            continue;
        }
        if (n == 0) break;
        if (errno == EINTR) continue;
        if (errno != EAGAIN || !WaitFor(sock, POLLIN, deadline)) break;
    }
    qsizetype end = reply.indexOf('\n');
    return end < 0 ? QByteArray() : reply.left(end + 1);
}

}  // namespace

SingleInstance::SingleInstance(const QString& title) {
    QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    directory_ = runtime.isEmpty() ? QDir::currentPath() + QLatin1Char('/') + QLatin1String(kFallbackDirectory)
                                   : QFile::decodeName(runtime);
    // One name per program title, so that a renamed build keeps its own copy.
    QString name = title.toLower();
    name.replace(QRegularExpression(QStringLiteral("[^a-z0-9.]+")), QStringLiteral("-"));
    path_ = directory_ + QLatin1Char('/') + name + QStringLiteral(".socket");
}

InstanceAnswer SingleInstance::AskRunningCopy(const QByteArray& request) {
    Deadline deadline = MonotonicClock::now() + kAnswerWithin;
    lastReply_.clear();
    problem_.clear();
    // No directory yet means no copy has listened in it.
    struct stat info {};
    if (lstat(QFile::encodeName(directory_).constData(), &info) != 0 && errno == ENOENT) return InstanceAnswer::NoCopy;
    problem_ = PrivateDirectoryProblem(directory_, false);
    if (!problem_.isEmpty()) return InstanceAnswer::NoCopy;
    UniqueFd sock;
    InstanceAnswer connected = Connect(path_, sock, deadline);
    if (connected != InstanceAnswer::Answered) return connected;
    // Only root could have put another user's socket in a private directory;
    // such a peer is not the user's copy and learns nothing.
    if (!PeerIsOwnUser(sock.Get())) {
        problem_ = QStringLiteral("%1 is held by another user").arg(path_);
        return InstanceAnswer::NoCopy;
    }
    // An empty line ends the request, whatever number of lines it has.
    QByteArray framed = request;
    if (!framed.endsWith('\n')) framed.append('\n');
    framed.append('\n');
    if (!SendAll(sock.Get(), framed, deadline)) return InstanceAnswer::Silent;
    lastReply_ = ReceiveLine(sock.Get(), deadline);
    return lastReply_.isEmpty() ? InstanceAnswer::Silent : InstanceAnswer::Answered;
}

bool SingleInstance::Listen(std::function<QByteArray(const QByteArray& request)> onRequest) {
    onRequest_ = std::move(onRequest);
    problem_ = PrivateDirectoryProblem(directory_, true);
    if (!problem_.isEmpty()) return false;
    // The directory is the user's own, so a socket left there by a killed
    // copy is stale: nobody answered on it a moment ago.
    QLocalServer::removeServer(path_);
    server_.setSocketOptions(QLocalServer::UserAccessOption);
    if (!server_.listen(path_)) {
        problem_ = server_.errorString();
        return false;
    }
    connect(&server_, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* peer = server_.nextPendingConnection()) Serve(peer);
    });
    return true;
}

void SingleInstance::Serve(QLocalSocket* peer) {
    connect(peer, &QLocalSocket::disconnected, peer, &QObject::deleteLater);
    if (!PeerIsOwnUser(static_cast<int>(peer->socketDescriptor()))) {
        peer->abort();
        peer->deleteLater();
        return;
    }
    // A peer that never finishes its request is dropped, never waited for.
    QTimer::singleShot(kAnswerWithin, peer, [peer] { peer->abort(); });
    auto request = std::make_shared<QByteArray>();
    auto take = [this, peer, request] {
        request->append(peer->readAll());
        qsizetype end = request->startsWith('\n') ? 0 : request->indexOf("\n\n");
        if (end < 0) {
            if (request->size() > kMaxRequest) peer->abort();
            return;
        }
        QByteArray whole = request->left(end == 0 ? 0 : end + 1);
        QByteArray reply = whole.isEmpty() ? QByteArray("error empty request\n")
                           : onRequest_    ? onRequest_(whole)
                                           : QByteArray("error not ready\n");
        if (!reply.endsWith('\n')) reply.append('\n');
        peer->write(reply);
        peer->disconnectFromServer();
    };
    connect(peer, &QLocalSocket::readyRead, this, take);
    if (peer->bytesAvailable() > 0) take();
}
