#include "report/ReportLog.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "detect/Base64Codec.h"
#include "core/WriteLog.h"
#include "detect/TestMail.h"
#include "report/ReportBody.h"
#include "report/UserMailText.h"

namespace {

// One dialogue of the report on a connected transport.
class ReportDialogue {
public:
    ReportDialogue(CoreContext& ctx, AutoMailChecker& checker, const ProtocalInfo& connection)
        : ctx_(ctx),
          settings_(ctx.userConfig),
          checker_(checker),
          connection_(connection),
          prefix_(LinkTypeName(connection.Type)),
          useTls_(connection.IsSSL) {}

    int32_t Run();

private:
    int32_t Exchange(const std::string& line, const char* code, DetectionResult failure);
    int32_t SendCredential(const char* text, const char* code, DetectionResult encodeFailure);
    int32_t SendReport();
    void WriteHeader();

    CoreContext& ctx_;
    const UserConfig& settings_;
    AutoMailChecker& checker_;
    const ProtocalInfo& connection_;
    const char* prefix_;
    const bool useTls_;
};

int32_t ReportDialogue::Exchange(const std::string& line, const char* code, DetectionResult failure) {
    checker_.Show("%s > %s", prefix_, line.c_str());
    std::optional<std::string> reply = checker_.Command(line, useTls_);
    if (!reply) return CodeOf(failure);
    checker_.Show("%s < %s", prefix_, reply->c_str());
    return AutoMailChecker::ReplyStartsWith(*reply, code) ? 0 : CodeOf(failure);
}

// The masked line has no line break, so the reply shows on the same line.
int32_t ReportDialogue::SendCredential(const char* text, const char* code, DetectionResult encodeFailure) {
    Base64Codec codec;
    const char* encoded = codec.Encode(reinterpret_cast<const unsigned char*>(text), std::strlen(text));
    if (encoded == nullptr) return CodeOf(encodeFailure);
    checker_.Show("%s > *******", prefix_);
    std::optional<std::string> reply = checker_.Command(std::string(encoded) + "\r\n", useTls_);
    if (!reply) return CodeOf(DetectionResult::SmtpAuthFailed);
    checker_.Show("%s < %s", prefix_, reply->c_str());
    return AutoMailChecker::ReplyStartsWith(*reply, code) ? 0 : CodeOf(DetectionResult::SmtpAuthFailed);
}

void ReportDialogue::WriteHeader() {
    char date[96];
    FormatMailDate(date, sizeof date);
    std::string userText = settings_.USER_MAIL.Get();
    const char* user = userText.c_str();
    char header[kMailBufferSize];
    std::snprintf(header, sizeof header,
                  "From: \"%s\" <%s>\r\nSubject: [KOVRA] LOG REPORT from user [%s]\r\nTo: %s\r\nDate: %s\r\n"
                  "MIME-Version: 1.0\r\nReturn-Path: %s\r\nContent-Type: text/plain\r\n\r\n\r\n",
                  user, user, user, settings_.LOG_RCPT_TO, date, user);
    std::size_t length = std::strlen(header);
    checker_.Write(header, length < kMailWriteBlock ? length : kMailWriteBlock, useTls_);
}

// The mail after DATA was accepted. A failure while the body is written ends
// the dialogue before the end of data, so the server drops the partial mail.
int32_t ReportDialogue::SendReport() {
    WriteHeader();
    ReportBodyWriter body(
        [this](const char* data, std::size_t length) { checker_.Write(data, length, useTls_); });
    ReportResult logData = WriteReportLogData(ctx_, body, settings_.LOG_REPORT_SIZE);
    if (logData != ReportResult::Ok) return CodeOf(logData);
    WriteReportDetectResult(ctx_, body);

    checker_.Show("%s > (skipping...) \r\n", prefix_);
    std::optional<std::string> reply = checker_.Command(kEndOfData, useTls_);
    if (!reply) return CodeOf(DetectionResult::SmtpEndOfDataFailed);
    checker_.Show("%s < %s", prefix_, reply->c_str());
    return AutoMailChecker::ReplyStartsWith(*reply, "250 ") ? 0
                                                            : CodeOf(DetectionResult::SmtpEndOfDataFailed);
}

int32_t ReportDialogue::Run() {
    int32_t result = checker_.ReadGreeting(GreetingVariant::SMTP, prefix_, useTls_);
    if (result != 0) return result;
    std::string helo = std::string("HELO ") + connection_.Dest + "\r\n";
    checker_.Show("%s > %s", prefix_, helo.c_str());
    std::optional<std::string> reply = checker_.Command(helo, useTls_);
    if (!reply) return CodeOf(DetectionResult::SmtpNoHeloReply);
    checker_.Show("%s < %s", prefix_, reply->c_str());

    if ((result = Exchange("AUTH LOGIN\r\n", "334 ", DetectionResult::SmtpAuthFailed)) != 0 ||
        (result = SendCredential(settings_.LOGIN_NAME, "334 ", DetectionResult::SmtpEncodeNameFailed)) != 0 ||
        (result = SendCredential(settings_.LOGIN_PASS, "235 ", DetectionResult::SmtpEncodePassFailed)) != 0 ||
        (result = Exchange(std::string("MAIL FROM: <") + settings_.MAIL_FROM + ">\r\n", "250 ",
                           DetectionResult::SmtpMailFromFailed)) != 0 ||
        (result = Exchange(std::string("RCPT TO: <") + settings_.LOG_RCPT_TO + ">\r\n", "250 ",
                           DetectionResult::SmtpRcptToFailed)) != 0 ||
        (result = Exchange("DATA\r\n", "354 ", DetectionResult::SmtpDataFailed)) != 0 ||
        (result = SendReport()) != 0)
        return result;
    return Exchange("QUIT\r\n", "221 ", DetectionResult::QuitFailed);
}

}  // namespace

int32_t ReportLog(CoreContext& ctx, AutoMailChecker& checker, const ProtocalInfo* connection) {
    checker.Show("Report log to %s...\r\n", ctx.userConfig.LOG_RCPT_TO);
    if (connection == nullptr) return CodeOf(DetectionResult::NoCandidate);
    // The dialog never stores such an address; one written into the settings
    // file by hand must not reach the mail's header or the SMTP dialogue.
    if (HoldsControlCharacter(ctx.userConfig.USER_MAIL.Get().c_str())) {
        WriteLog(ctx, UI, MAJOR, "ERROR: user mail address holds a control character");
        checker.Show("Report log fail\r\n");
        return CodeOf(ReportResult::UserMailRefused);
    }
    const bool useTls = connection->IsSSL;
    sockaddr_in address{};
    int32_t result = checker.Open(connection->Dest, connection->Port[SMTP], address, useTls);
    if (result >= 0) {
        result = checker.Connect(address, useTls);
        if (result != 0)
            result = checker.LastSocketError() > 0 ? checker.LastSocketError() : result;
        else
            result = ReportDialogue(ctx, checker, *connection).Run();
        checker.Close(useTls);
    }
    checker.Show(result != 0 ? "Report log fail\r\n" : "Report log success\r\n");
    return result;
}

int32_t ReportLog(AppContext& ctx, const ProtocalInfo* connection) {
    AutoMailChecker checker(ctx.userConfig, ctx.Notifier(), ctx.tlsClient);
    return ReportLog(ctx, checker, connection);
}
