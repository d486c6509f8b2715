// The SMTP probe: AUTH LOGIN with the test account and a test mail of about
// 10 KB to the probe mailbox, over the candidate's SMTP port.
#include <cstdio>
#include <cstring>

#include "detect/AutoMailChecker.h"
#include "detect/Base64Codec.h"
#include "detect/TestMail.h"

namespace {

std::string Format(const char* format, const char* text) {
    char line[kMailBufferSize];
    std::snprintf(line, sizeof line, format, text);
    return line;
}

}  // namespace

std::optional<std::string> AutoMailChecker::ShowCommand(const char* prefix, const std::string& line,
                                                        bool useTls) {
    Show("%s > %s", prefix, line.c_str());
    std::optional<std::string> reply = Command(line, useTls);
    if (reply) Show("%s < %s", prefix, reply->c_str());
    return reply;
}

int32_t AutoMailChecker::Exchange(const char* prefix, const std::string& line, const char* code,
                                  DetectionResult failure, bool useTls) {
    std::optional<std::string> reply = ShowCommand(prefix, line, useTls);
    return reply && ReplyStartsWith(*reply, code) ? 0 : CodeOf(failure);
}

int32_t AutoMailChecker::SendCredential(const char* prefix, const char* text, const char* code,
                                        DetectionResult encodeFailure, bool useTls) {
    Base64Codec codec;
    const char* encoded =
        codec.Encode(reinterpret_cast<const unsigned char*>(text), std::strlen(text));
    if (encoded == nullptr) return CodeOf(encodeFailure);
    Show("%s > *******\r\n", prefix);
    std::optional<std::string> reply = Command(std::string(encoded) + "\r\n", useTls);
    if (!reply) return CodeOf(DetectionResult::SmtpAuthFailed);
    Show("%s < %s", prefix, reply->c_str());
    return ReplyStartsWith(*reply, code) ? 0 : CodeOf(DetectionResult::SmtpAuthFailed);
}

// The header block in one write, then the sentence one write at a time until
// the message reaches its size, then the last sentence with the end of data
// as a command. The writes' results are not judged: a lost connection shows
// at the reply to the end of data.
int32_t AutoMailChecker::SendTestMail(const char* prefix, bool useTls) {
    char message[kMailBufferSize];
    std::size_t used = BuildTestMailHeader(message, sizeof message, settings_.MAIL_FROM);
    Write(message, used < kMailWriteBlock ? used : kMailWriteBlock, useTls);
    for (int i = 0; i < kTestMailMaxSentences && used < kTestMailFill; ++i) {
        std::size_t take = kTestMailFill - used;
        if (take > kTestMailSentenceLength) take = kTestMailSentenceLength;
        std::memcpy(message + used, kTestMailSentence, take);
        used += take;
        message[used] = '\0';
        Write(kTestMailSentence, kTestMailSentenceLength, useTls);
    }
    Show("%s > (skipping...)\r\n", prefix);
    std::optional<std::string> reply =
        Command(std::string(kTestMailSentence) + kEndOfData, useTls);
    if (!reply) return CodeOf(DetectionResult::SmtpEndOfDataFailed);
    Show("%s < %s", prefix, reply->c_str());
    return ReplyStartsWith(*reply, "250 ") ? 0 : CodeOf(DetectionResult::SmtpEndOfDataFailed);
}

int32_t AutoMailChecker::SmtpDialogue(const ProtocalInfo& candidate, const char* prefix) {
    const bool useTls = candidate.IsSSL;
    sockaddr_in address{};
    int32_t opened = Open(candidate.Dest, candidate.Port[SMTP], address, useTls);
    if (opened < 0) return opened;
    int32_t result = Connect(address, useTls);
    if (result != 0) return lastSocketError_ > 0 ? lastSocketError_ : result;
    result = ReadGreeting(GreetingVariant::SMTP, prefix, useTls);
    if (result != 0) return result;

    if (!ShowCommand(prefix, Format("HELO %s\r\n", candidate.Dest), useTls))
        return CodeOf(DetectionResult::SmtpNoHeloReply);
    if ((result = Exchange(prefix, "AUTH LOGIN\r\n", "334 ", DetectionResult::SmtpAuthFailed, useTls)) != 0 ||
        (result = SendCredential(prefix, settings_.LOGIN_NAME, "334 ", DetectionResult::SmtpEncodeNameFailed,
                                 useTls)) != 0 ||
        (result = SendCredential(prefix, settings_.LOGIN_PASS, "235 ", DetectionResult::SmtpEncodePassFailed,
                                 useTls)) != 0 ||
        (result = Exchange(prefix, Format("MAIL FROM: <%s>\r\n", settings_.MAIL_FROM), "250 ",
                           DetectionResult::SmtpMailFromFailed, useTls)) != 0 ||
        (result = Exchange(prefix, Format("RCPT TO: <%s>\r\n", settings_.RCPT_TO), "250 ",
                           DetectionResult::SmtpRcptToFailed, useTls)) != 0 ||
        (result = Exchange(prefix, "DATA\r\n", "354 ", DetectionResult::SmtpDataFailed, useTls)) != 0 ||
        (result = SendTestMail(prefix, useTls)) != 0)
        return result;
    return Exchange(prefix, "QUIT\r\n", "221 ", DetectionResult::QuitFailed, useTls);
}

int32_t AutoMailChecker::ProbeSmtp(const ProtocalInfo* candidate) {
    if (candidate == nullptr) return CodeOf(DetectionResult::NoCandidate);
    const char* prefix = LinkTypeName(candidate->Type);
    const bool useTls = candidate->IsSSL;
    Show("[Connecting %s : %d]\r\n", candidate->Dest, candidate->Port[SMTP]);
    int32_t result = SmtpDialogue(*candidate, prefix);
    // Open leaves nothing behind when it fails, so Close is harmless after it.
    Close(useTls);
    Show(result != 0 ? "[Connection %s failed]\r\n" : "[Connection %s success]\r\n", candidate->Dest);
    return result;
}
