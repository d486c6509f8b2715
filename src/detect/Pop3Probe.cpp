// The POP3 probe: log in with the test account, count the probe mailbox,
// fetch message 1 and skip over it, delete it once the mailbox has grown to
// 500 messages, and quit.
#include <cstdio>
#include <cstring>

#include "detect/AutoMailChecker.h"

namespace {

constexpr int kProbeMessage = 1;
constexpr int kDeleteThreshold = 500;

std::string FormatLine(const char* format, const char* text) {
    char line[kReplyChunkSize];
    std::snprintf(line, sizeof line, format, text);
    return line;
}

std::string FormatLine(const char* format, int number) {
    char line[kReplyChunkSize];
    std::snprintf(line, sizeof line, format, number);
    return line;
}

bool StartsWithError(const char* chunk) {
    return std::strncmp(chunk, "-ERR", 4) == 0;
}

}  // namespace

std::optional<std::string> AutoMailChecker::PopUser(const char* name, bool useTls) {
    return Command(FormatLine("USER %s\r\n", name), useTls);
}

std::optional<std::string> AutoMailChecker::PopPass(const char* password, bool useTls) {
    return Command(FormatLine("PASS %s\r\n", password), useTls);
}

std::optional<std::string> AutoMailChecker::PopDele(int number, bool useTls) {
    if (number <= 0) return std::nullopt;
    return Command(FormatLine("DELE %d\r\n", number), useTls);
}

std::optional<std::string> AutoMailChecker::PopQuit(bool useTls) {
    return Command("QUIT\r\n", useTls);
}

// The message count of the STAT reply; a reply without a number counts 0.
// Only the read is metered, not the wait before it.
int32_t AutoMailChecker::PopStat(bool useTls) {
    std::string line = "STAT\r\n";
    if (Write(line.data(), line.size(), useTls) == -1) return CodeOf(DetectionResult::Pop3MailboxFailed);
    if (WaitReadable(kReplyWaitSeconds, useTls) == kWaitTimedOut) return kWaitTimedOut;
    char chunk[kReplyChunkSize + 1] = {};
    if (Read(chunk, kReplyChunkSize, useTls) < 0) return kReadFailed;
    if (StartsWithError(chunk)) return CodeOf(DetectionResult::Pop3MailboxFailed);
    char first[kReplyChunkSize + 1];
    char last[kReplyChunkSize + 1];
    int count = 0;
    if (std::sscanf(chunk, "%512s %d %512s", first, &count, last) < 2) count = 0;
    return count;
}

// The first chunk holds the status line and the start of the message, and
// may hold its end or the first bytes of the end: it is searched with the
// chunks after it.
int32_t AutoMailChecker::PopRetr(int number, bool useTls) {
    const int32_t failed = CodeOf(DetectionResult::Pop3RetrFailed);
    std::string line = FormatLine("RETR %d\r\n", number);
    if (Write(line.data(), line.size(), useTls) == -1) return failed;
    if (WaitReadable(kReplyWaitSeconds, useTls) == kWaitTimedOut) return failed;
    char chunk[kReplyChunkSize + 1] = {};
    int32_t got = Read(chunk, kReplyChunkSize, useTls);
    if (got <= 0) return failed;
    if (StartsWithError(chunk)) return failed;
    return SkipMessage(useTls, chunk, static_cast<std::size_t>(got)) == 0 ? 0 : failed;
}

// The end of data may arrive split over two reads, so the last four bytes of
// each read (the first one included) are searched again with the next one;
// otherwise a message of an unlucky size would never be seen as ended, and
// since it is then never deleted, every later run would fail on it too.
int32_t AutoMailChecker::SkipMessage(bool useTls, const char* first, std::size_t firstLength) {
    constexpr std::size_t kCarry = 4;  // one byte short of "\r\n.\r\n"
    if (first != nullptr && HasEndOfData(first, firstLength)) return 0;
    char window[kCarry + kReplyChunkSize];
    std::size_t carried = first == nullptr ? 0 : (firstLength < kCarry ? firstLength : kCarry);
    if (carried > 0) std::memcpy(window, first + firstLength - carried, carried);
    for (;;) {
        std::memset(window + carried, 0, kReplyChunkSize);
        if (WaitReadable(kReplyWaitSeconds, useTls) == kWaitTimedOut) return kWaitTimedOut;
        int32_t got = Read(window + carried, kReplyChunkSize, useTls);
        if (got <= 0) return kReadFailed;
        std::size_t filled = carried + static_cast<std::size_t>(got);
        if (HasEndOfData(window, filled)) return 0;
        carried = filled < kCarry ? filled : kCarry;
        std::memmove(window, window + filled - carried, carried);
    }
}

bool AutoMailChecker::HasEndOfData(const char* chunk, std::size_t length) {
    return chunk != nullptr && memmem(chunk, length, "\r\n.\r\n", 5) != nullptr;
}

// USER is shown in plain text and not judged; PASS is masked and must be
// answered "+OK ".
int32_t AutoMailChecker::Pop3Login(const char* prefix, bool useTls) {
    Show("%s > user %s\r\n", prefix, settings_.LOGIN_NAME);
    std::optional<std::string> reply = PopUser(settings_.LOGIN_NAME, useTls);
    if (!reply) return CodeOf(DetectionResult::Pop3LoginFailed);
    Show("%s < %s", prefix, reply->c_str());

    Show("%s > pass ****\r\n", prefix);
    reply = PopPass(settings_.LOGIN_PASS, useTls);
    if (!reply) return CodeOf(DetectionResult::Pop3LoginFailed);
    Show("%s < %s", prefix, reply->c_str());
    return ReplyStartsWith(*reply, "+OK ") ? 0 : CodeOf(DetectionResult::Pop3LoginFailed);
}

// STAT, RETR 1 and, once the mailbox has grown to the threshold, DELE 1.
int32_t AutoMailChecker::Pop3Fetch(const char* prefix, bool useTls) {
    Show("%s > STAT\r\n", prefix);
    int32_t count = PopStat(useTls);
    if (count < 0) return CodeOf(DetectionResult::Pop3MailboxFailed);
    Show("%s < (skipping...)\r\n", prefix);
    if (count == 0) return CodeOf(DetectionResult::Pop3MailboxFailed);

    Show("%s > RETR %d\r\n", prefix, kProbeMessage);
    if (PopRetr(kProbeMessage, useTls) != 0) return CodeOf(DetectionResult::Pop3MailboxFailed);
    Show("%s < (skipping...)\r\n", prefix);
    if (count < kDeleteThreshold) return 0;

    Show("%s > DELE %d\r\n", prefix, kProbeMessage);
    std::optional<std::string> reply = PopDele(kProbeMessage, useTls);
    if (!reply) return CodeOf(DetectionResult::QuitFailed);
    Show("%s < %s", prefix, reply->c_str());
    return ReplyStartsWith(*reply, "+OK ") ? 0 : CodeOf(DetectionResult::QuitFailed);
}

int32_t AutoMailChecker::Pop3Dialogue(const ProtocalInfo& candidate, const char* prefix) {
    const bool useTls = candidate.IsSSL;
    sockaddr_in address{};
    int32_t result = Open(candidate.Dest, candidate.Port[POP3], address, useTls);
    if (result < 0) return result;
    result = Connect(address, useTls);
    if (result != 0) return lastSocketError_ > 0 ? lastSocketError_ : result;
    if ((result = ReadGreeting(GreetingVariant::POP3, prefix, useTls)) != 0 ||
        (result = Pop3Login(prefix, useTls)) != 0 || (result = Pop3Fetch(prefix, useTls)) != 0)
        return result;

    Show("%s > QUIT\r\n", prefix);
    std::optional<std::string> reply = PopQuit(useTls);
    if (!reply) return CodeOf(DetectionResult::QuitFailed);
    Show("%s < %s", prefix, reply->c_str());
    return 0;
}

int32_t AutoMailChecker::ProbePop3(const ProtocalInfo* candidate) {
    if (candidate == nullptr) return CodeOf(DetectionResult::NoCandidate);
    const char* prefix = LinkTypeName(candidate->Type);
    const bool useTls = candidate->IsSSL;
    Show("[Connecting %s : %d]\r\n", candidate->Dest, candidate->Port[POP3]);
    int32_t result = Pop3Dialogue(*candidate, prefix);
    Close(useTls);
    Show(result != 0 ? "[Connection %s failed]\r\n" : "[Connection %s success]\r\n", candidate->Dest);
    return result;
}
