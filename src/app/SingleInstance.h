// SingleInstance keeps QuilloMark to one running copy per user. The first copy
// listens on a local socket named after its window title; a later copy finds
// it by connecting, asks it to show its window, and ends without touching any
// file. The name lives in the abstract socket namespace, so a killed copy
// leaves no stale name behind.
#pragma once

#include <QLocalServer>
#include <QObject>
#include <QString>

#include <functional>

class SingleInstance : public QObject {
    Q_OBJECT
public:
    explicit SingleInstance(const QString& title);
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    // True when another copy answered (and was asked to show itself).
    bool AskRunningCopyToShow();
    // Starts answering later copies; onShow runs on this thread for each.
    bool Listen(std::function<void()> onShow);

    static QString SocketName(const QString& title);

private:
    QString name_;
    QLocalServer server_;
    std::function<void()> onShow_;
};
