// SingleInstance keeps QuilloMark to one running copy per user. The first copy
// listens on a local socket in a directory only its user can enter:
// $XDG_RUNTIME_DIR, or without it a 0700 directory under the working
// directory. A later copy connects, sends its request and waits at most 2 s
// for the one-line reply. Both ends check the other's uid (SO_PEERCRED), so
// another local user can neither block a start nor reach a running copy.
#pragma once

#include <QByteArray>
#include <QLocalServer>
#include <QObject>
#include <QString>

#include <functional>

// What a later copy learned from asking.
enum class InstanceAnswer {
    NoCopy,    // no copy of this user runs (or its channel cannot be used)
    Answered,  // a copy replied; the reply is in LastReply
    Silent,    // a copy exists but did not answer within 2 s
};

class SingleInstance : public QObject {
    Q_OBJECT
public:
    explicit SingleInstance(const QString& title);
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    // Sends request (text lines, each ending in "\n") to the running copy.
    InstanceAnswer AskRunningCopy(const QByteArray& request);
    // Starts answering later copies: onRequest runs on this thread for each
    // whole request and returns the reply line ("ok\n" or "error <reason>\n").
    bool Listen(std::function<QByteArray(const QByteArray& request)> onRequest);

    // The reply of the last Answered request.
    const QByteArray& LastReply() const { return lastReply_; }
    // Why the channel cannot be used, when it cannot (empty otherwise).
    const QString& Problem() const { return problem_; }
    const QString& SocketPath() const { return path_; }

private:
    void Serve(class QLocalSocket* peer);

    QString directory_;
    QString path_;
    QString problem_;
    QByteArray lastReply_;
    QLocalServer server_;
    std::function<QByteArray(const QByteArray&)> onRequest_;
};
