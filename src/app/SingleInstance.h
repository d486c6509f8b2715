// SingleInstance keeps QuilloMark to one running copy per user. The first copy
// listens on a local socket named after its window title; a later copy finds
// it by connecting and sends it a request ("show\n" to bring its window
// forward, "import\n" and one absolute path a line to apply a mail support
// team's files), to which the running copy answers one line, "ok\n" or
// "error <reason>\n". The name lives in the abstract socket namespace, so a
// killed copy leaves no stale name behind.
#pragma once

#include <QByteArray>
#include <QLocalServer>
#include <QObject>
#include <QString>

#include <functional>

enum class InstanceAnswer {
    NoCopy,    // no other copy runs
    Answered,  // a copy ran and answered; Reply() holds its line
    Silent,    // a copy exists but did not answer within 2 s
};

class SingleInstance : public QObject {
    Q_OBJECT
public:
    explicit SingleInstance(const QString& title);
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    InstanceAnswer AskRunningCopy(const QByteArray& request);
    // The running copy's answer to the last AskRunningCopy that was Answered.
    const QByteArray& Reply() const { return reply_; }
    // Starts answering later copies; onRequest runs on this thread for each
    // whole request and returns the reply line sent back.
    bool Listen(std::function<QByteArray(const QByteArray& request)> onRequest);

    static QString SocketName(const QString& title);

private:
    QString name_;
    QLocalServer server_;
    QByteArray reply_;
    std::function<QByteArray(const QByteArray&)> onRequest_;
};
