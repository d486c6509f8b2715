#include "app/SingleInstance.h"

#include <QElapsedTimer>
#include <QLocalSocket>
#include <QVariant>

#include <unistd.h>

namespace {
constexpr int kAnswerTimeoutMs = 2000;
// A request ends with an empty line, as its paths are one a line.
const QByteArray kRequestEnd = "\n\n";
}  // namespace

SingleInstance::SingleInstance(const QString& title) : name_(SocketName(title)) {}

QString SingleInstance::SocketName(const QString& title) {
    // Per user: another user's copy must neither block nor be shown.
    return title + QStringLiteral("-") + QString::number(getuid());
}

InstanceAnswer SingleInstance::AskRunningCopy(const QByteArray& request) {
    reply_.clear();
    QLocalSocket socket;
    socket.setSocketOptions(QLocalSocket::AbstractNamespaceOption);
    socket.connectToServer(name_);
    if (!socket.waitForConnected(kAnswerTimeoutMs)) {
        return socket.error() == QLocalSocket::SocketTimeoutError ? InstanceAnswer::Silent : InstanceAnswer::NoCopy;
    }
    socket.write(request + "\n");
    QElapsedTimer bound;
    bound.start();
    while (!reply_.contains('\n')) {
        qint64 left = kAnswerTimeoutMs - bound.elapsed();
        if (left <= 0 || !socket.waitForReadyRead(static_cast<int>(left))) return InstanceAnswer::Silent;
        reply_ += socket.readAll();
    }
    reply_.truncate(reply_.indexOf('\n') + 1);
    socket.disconnectFromServer();
    return InstanceAnswer::Answered;
}

bool SingleInstance::Listen(std::function<QByteArray(const QByteArray& request)> onRequest) {
    onRequest_ = std::move(onRequest);
    // An abstract name vanishes with the process that holds it, so a killed
    // copy never leaves anything behind that could block the next start.
    server_.setSocketOptions(QLocalServer::AbstractNamespaceOption);
    if (!server_.listen(name_)) return false;
    connect(&server_, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* peer = server_.nextPendingConnection()) {
            connect(peer, &QLocalSocket::disconnected, peer, &QObject::deleteLater);
            connect(peer, &QLocalSocket::readyRead, this, [this, peer] {
                QByteArray request = peer->property("request").toByteArray() + peer->readAll();
                int end = request.indexOf(kRequestEnd);
                if (end < 0) {
                    peer->setProperty("request", request);
                    return;
                }
                request.truncate(end + 1);
                peer->setProperty("request", QByteArray());
                QByteArray reply = onRequest_ ? onRequest_(request) : QByteArray("error not ready\n");
                peer->write(reply);
                peer->flush();
            });
        }
    });
    return true;
}
