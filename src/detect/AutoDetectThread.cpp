#include "detect/AutoDetectThread.h"

#include <chrono>
#include <cstdio>
#include <thread>

#include "catalogue/ConnConfig.h"
#include "catalogue/DetectHistory.h"
#include "catalogue/DetectResult.h"
#include "catalogue/ProtocalInfoList.h"
#include "core/DetectProgress.h"
#include "core/WriteLog.h"
#include "detect/AutoMailChecker.h"
#include "detect/CheckInternet.h"

namespace {

// Checks the Internet; a background run waits and retries quietly, an
// on-demand run tells the user at the first failure. The mode is read afresh
// after every failed check, so a user's request during a retry pause ends the
// waiting at its next failure.
DetectionResult AwaitInternet(AppContext& ctx) {
    for (int32_t retries = 0;; ++retries) {
        if (CheckInternet(ctx) == DetectionResult::Ok) return DetectionResult::Ok;
        if (ctx.detectRunning.Mode() == DetectMode::OnDemand) {
            WriteLog(ctx, DETECT, MAJOR, "ERROR: auto detect internet is not connectable\r\n");
            ctx.Notifier().ShowMessageBox("", "MSG_INTERNET_NOT_CONNECTABLE");
            return DetectionResult::InternetUnreachable;
        }
        if (retries >= ctx.userConfig.TEST_INTERNET_RETRY_NUM) {
            WriteLog(ctx, DETECT, MINOR,
                     "ERROR: auto detect wait and retry end with internet not connectable");
            return DetectionResult::InternetUnreachable;
        }
        char line[128];
        std::snprintf(line, sizeof line, "internet is not connectable, wait and retry num=%d\r\n",
                      retries + 1);
        ctx.Notifier().PostInfoLine(line);
        WriteLog(ctx, DETECT, MINOR, "ERROR: auto detect wait and retry num=%d", retries + 1);
        std::this_thread::sleep_for(
            std::chrono::milliseconds(ctx.userConfig.TEST_INTERNET_RETRY_INTERVAL));
    }
}

bool IsProbed(const ProtocalInfo& record) { return record.Type == MAIL || record.Type == MAIL_SSL; }

// Tells the window where the run stands, so each cost shows as soon as it is known.
void ReportProgress(AppContext& ctx, const ProtocalInfo& record, int index, int count,
                    bool finished) {
    DetectProgress progress{index, count, finished, record.Code, record.Dest,
                            {record.Port[SMTP], record.Port[POP3], record.Port[IMAP4]},
                            record.LinkCost};
    ctx.Notifier().DetectionProgress(progress);
}

// A record that fails either probe costs -1; one that passes both costs the
// SMTP probe's sending time plus the POP3 probe's receiving time.
void ProbeRecord(AutoMailChecker& checker, ProtocalInfo& record) {
    if (checker.ProbeSmtp(&record) != 0) {
        record.LinkCost = -1;
        return;
    }
    record.LinkCost += checker.sendMillis;
    if (checker.ProbePop3(&record) != 0)
        record.LinkCost = -1;
    else
        record.LinkCost += checker.receiveMillis;
}

void ProbeCandidates(AppContext& ctx, ProtocalInfoList& list) {
    AutoMailChecker checker(ctx.userConfig, ctx.Notifier(), ctx.tlsClient);
    int count = 0, index = 0;
    for (const ProtocalInfo& record : list) count += IsProbed(record) ? 1 : 0;
    for (ProtocalInfo& record : list) {
        if (!IsProbed(record)) continue;
        ReportProgress(ctx, record, index, count, false);
        ProbeRecord(checker, record);
        ReportProgress(ctx, record, index++, count, true);
    }
}

DetectionResult RankAndPublish(AppContext& ctx, ProtocalInfoList& list, bool downloadedList) {
    WriteLog(ctx, DETECT, DUMP, "auto detect mail server end");
    list.Sort();
    const ProtocalInfo* first = list.First();
    if (first == nullptr || first->LinkCost == -1) {
        WriteLog(ctx, DETECT, MAJOR, "ERROR: auto detect No Available Connection");
        if (!downloadedList) ctx.Notifier().ShowMessageBox("", "MSG_NO_AVAIL_SERVER");
        return DetectionResult::NoAvailableConnection;
    }
    ctx.bestConnection.Set(*first);
    CatalogueResult written = WriteDetectResult(ctx, list, false);
    if (written != CatalogueResult::Ok) {
        WriteLog(ctx, DETECT, MAJOR, "ERROR: auto detect write result log failed(%d)", CodeOf(written));
        ctx.Notifier().ShowMessageBox("", "MSG_WRITE_RESULT_LOG_FAIL");
        return DetectionResult::WriteResultFailed;
    }
    return DetectionResult::Ok;
}

DetectionResult DetectRun(AppContext& ctx, const char* listName, bool downloadedList) {
    if (AwaitInternet(ctx) != DetectionResult::Ok) return DetectionResult::InternetUnreachable;
    ctx.Notifier().PostInfoLine("auto detect Internet is Connectable\r\n");
    WriteLog(ctx, DETECT, DUMP, "auto detect internet is connectable");

    ProtocalInfoList list;
    CatalogueResult read = ReadConnConfig(ctx, listName, list);
    if (read != CatalogueResult::Ok) {
        WriteLog(ctx, DETECT, MAJOR, "ERROR: read connection config file failed(%d)", CodeOf(read));
        ctx.Notifier().ShowMessageBox("", "MSG_READ_CONFIG_FAIL");
        return DetectionResult::ListUnreadable;
    }
    ProbeCandidates(ctx, list);
    // The history follows the list in use; a downloaded list on trial is not it yet.
    if (!downloadedList) AppendDetectHistory(ctx, list);
    return RankAndPublish(ctx, list, downloadedList);
}

}  // namespace

DetectionResult AutoDetectThread(AppContext& ctx, const DetectRequest& request) {
    const char* listName = request.listPath != nullptr ? request.listPath : kConnConfigName;
    if (!ctx.detectRunning.TryEnter(request.mode)) {
        WriteLog(ctx, DETECT, DUMP, "auto detect end since already a thread detecting");
        return DetectionResult::AlreadyRunning;
    }
    ctx.Notifier().PostInfoLine("auto detect start\r\n");
    WriteLog(ctx, DETECT, MINOR, "auto detect start, conf=%s", listName);
    ctx.Notifier().DetectionStarted();

    DetectionResult result = DetectRun(ctx, listName, request.listPath != nullptr);

    ctx.Notifier().DetectionFinished();
    ctx.Notifier().PostInfoLine("auto detect end\r\n");
    WriteLog(ctx, DETECT, MINOR, "auto detect end");
    ctx.detectRunning.Leave();
    ctx.eventDetectComplete.Set();
    return result;
}
