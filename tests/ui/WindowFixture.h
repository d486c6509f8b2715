// WindowFixture is the shared base of the window tests: one QApplication for
// the test process (offscreen), a context with its own directory, the message
// table's defaults and every log line switched on, a starter that records
// what the window starts, and helpers that answer the modal boxes the window
// asks its questions with.
#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "catalogue/DetectResult.h"
#include "context/AppContext.h"
#include "context/AppServices.h"
#include "core/MessageTable.h"
#include "support/ContextFixture.h"
#include "support/ModalAnswer.h"
#include "support/OutcomeText.h"

// The one QApplication of the test program, shared with the dialog tests.
inline QApplication& TestApplication() {
    EnsureApplication();
    return *static_cast<QApplication*>(QApplication::instance());
}

// Records the detection runs the window asks for; starts nothing.
class RecordingStarter : public ServiceStarter {
public:
    bool StartListener(AppContext&, const ListenParam&) override { return true; }
    bool StartAutoDetect(AppContext&, DetectMode mode) override {
        modes.push_back(mode);
        return startSucceeds;
    }
    bool StartDetectTimer(AppContext&, int32_t) override { return true; }
    bool StartAutoDownload(AppContext&) override { return true; }

    std::vector<DetectMode> modes;  // the mode of each start
    bool startSucceeds = true;
};

// One answered box: its title, its text and the button pressed.
struct AnsweredBox {
    std::string title;
    std::string text;
};

class WindowFixture : public ContextFixture<AppContext> {
protected:
    WindowFixture() { TestApplication(); }

    void SetUp() override {
        LoadMessageFile(ctx, dir.File("message_EN.txt"));
        // The start-at-login entry goes to the test's directory, never to the
        // user's own autostart directory.
        const char* config = std::getenv("XDG_CONFIG_HOME");
        savedConfigHome = config != nullptr ? std::optional<std::string>(config) : std::nullopt;
        setenv("XDG_CONFIG_HOME", dir.File("config").c_str(), 1);
        unsetenv("QUILLOMARK_LAUNCHER");
    }

    void TearDown() override {
        answerTimer.stop();
        if (savedConfigHome)
            setenv("XDG_CONFIG_HOME", savedConfigHome->c_str(), 1);
        else
            unsetenv("XDG_CONFIG_HOME");
    }

    // Writes "detect_result.log" with these records, in order.
    void WriteResults(const std::vector<ProtocalInfo>& records) {
        ProtocalInfoList list;
        for (const ProtocalInfo& r : records) list.PushBack(r);
        ASSERT_EQ(WriteDetectResult(ctx, list, false), CatalogueResult::Ok);
    }

    static ProtocalInfo Record(const char* code, const char* dest, int32_t cost,
                               int32_t smtp = 25, int32_t pop3 = 110, int32_t imap4 = 143) {
        ProtocalInfo r;
        r.SetCode(code);
        r.SetDest(dest);
        r.LinkCost = cost;
        r.Port[SMTP] = smtp;
        r.Port[POP3] = pop3;
        r.Port[IMAP4] = imap4;
        return r;
    }

    // From now on every modal message box that opens is recorded and closed
    // with the next button of answers (OK once they run out).
    void AnswerBoxes(std::vector<QMessageBox::StandardButton> answers) {
        pendingAnswers = std::move(answers);
        QObject::disconnect(&answerTimer, nullptr, nullptr, nullptr);
        QObject::connect(&answerTimer, &QTimer::timeout, [this] { AnswerOpenBox(); });
        answerTimer.start(10);
    }

    // Processes events until condition holds or the time is up.
    static bool Eventually(const std::function<bool()>& condition,
                           std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        auto end = std::chrono::steady_clock::now() + limit;
        while (!condition()) {
            if (std::chrono::steady_clock::now() > end) return false;
            QApplication::processEvents(QEventLoop::AllEvents, 10);
        }
        return true;
    }

    std::string MessageText(const char* key) { return GetMessageText(ctx, key); }

    RecordingStarter starter;
    std::vector<AnsweredBox> answered;

private:
    void AnswerOpenBox() {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box == nullptr || !box->isVisible()) return;
        QMessageBox::StandardButton answer = QMessageBox::Ok;
        if (!pendingAnswers.empty()) {
            answer = pendingAnswers.front();
            pendingAnswers.erase(pendingAnswers.begin());
        }
        answered.push_back({box->windowTitle().toStdString(), box->text().toStdString()});
        box->button(answer)->click();
    }

    QTimer answerTimer;
    std::vector<QMessageBox::StandardButton> pendingAnswers;
    std::optional<std::string> savedConfigHome;
};
