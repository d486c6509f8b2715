// ModalAnswer lets a test answer the dialogs and message boxes of the code
// under test, which waits in exec() on the test's own thread: WhenShown runs
// an answer from a timer once the expected modal widget is up. EnsureApplication
// makes the one QApplication of the test program (offscreen, set by the test
// entry); it stays for the whole program, as Qt must not be torn down and
// built again between suites.
#pragma once

#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <memory>
#include <ostream>

#include <gtest/gtest.h>

inline void EnsureApplication() {
    if (QApplication::instance() != nullptr) return;
    static int argc = 1;
    static char name[] = "quillomark_tests";
    static char* argv[] = {name, nullptr};
    static QApplication* app = new QApplication(argc, argv);
    (void)app;
}

// Runs answer on the next modal widget of type T once it is shown. When it
// does not come within ten seconds the test fails, and the modal widget in
// the way is rejected, so the test cannot hang.
template <class T>
void WhenShown(std::function<void(T*)> answer) {
    auto* timer = new QTimer;
    auto clock = std::make_shared<QElapsedTimer>();
    clock->start();
    QObject::connect(timer, &QTimer::timeout, [timer, clock, answer] {
        QWidget* modal = QApplication::activeModalWidget();
        T* wanted = qobject_cast<T*>(modal);
        if (wanted != nullptr && wanted->isVisible()) {
            timer->stop();
            timer->deleteLater();
            answer(wanted);
        } else if (clock->elapsed() > 10000) {
            timer->stop();
            timer->deleteLater();
            ADD_FAILURE() << "the expected dialog was not shown";
            if (auto* dialog = qobject_cast<QDialog*>(modal)) dialog->reject();
        }
    });
    timer->start(20);
}

// Failures show texts, not the bytes of a QString.
inline void PrintTo(const QString& text, std::ostream* out) { *out << '"' << text.toStdString() << '"'; }
