#include "app/SingleInstance.h"

#include <QLocalSocket>

#include <unistd.h>

namespace {
constexpr int kConnectTimeoutMs = 1000;
const QByteArray kShowRequest = "show\n";
}  // namespace

SingleInstance::SingleInstance(const QString& title) : name_(SocketName(title)) {}

QString SingleInstance::SocketName(const QString& title) {
    // Per user: another user's copy must neither block nor be shown.
    return title + QStringLiteral("-") + QString::number(getuid());
}

bool SingleInstance::AskRunningCopyToShow() {
    QLocalSocket socket;
    socket.setSocketOptions(QLocalSocket::AbstractNamespaceOption);
    socket.connectToServer(name_);
    if (!socket.waitForConnected(kConnectTimeoutMs)) return false;
    socket.write(kShowRequest);
    socket.waitForBytesWritten(kConnectTimeoutMs);
    socket.disconnectFromServer();
    return true;
}

bool SingleInstance::Listen(std::function<void()> onShow) {
    onShow_ = std::move(onShow);
    // An abstract name vanishes with the process that holds it, so a killed
    // copy never leaves anything behind that could block the next start.
    server_.setSocketOptions(QLocalServer::AbstractNamespaceOption);
    if (!server_.listen(name_)) return false;
    connect(&server_, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* peer = server_.nextPendingConnection()) {
            connect(peer, &QLocalSocket::disconnected, peer, &QObject::deleteLater);
            connect(peer, &QLocalSocket::readyRead, this, [this, peer] {
                if (peer->readAll().contains("show") && onShow_) onShow_();
            });
        }
    });
    return true;
}
