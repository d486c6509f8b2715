// DetectionResult is what the detection reports: a whole run (its thread's
// exit code), the reachability check, and the SMTP and POP3 probes' own
// failures. A probe's result is a number that may also be one of the
// transport's codes (net/NetResultCodes.h) or the system's error number of a
// failed connect, so the probes return CodeOf of these values.
#pragma once

#include <cstdint>

#include "platform/ResultCode.h"

enum class DetectionResult : int32_t {
    Ok = 0,
    InternetCheckFailed = -1,     // the test host did not answer with status 200
    Pop3MailboxFailed = -8,       // STAT failed or found the mailbox empty, or RETR of message 1 failed
    Pop3RetrFailed = -9,          // RETR was not sent, not answered, refused or its message never ended
    AlreadyRunning = -15,         // another run was working; this one did nothing
    NoAvailableConnection = -16,  // no candidate passed its probes
    WriteResultFailed = -17,      // the detection result log could not be written
    ListUnreadable = -21,         // the connection list could not be read
    NoCandidate = -23,            // a probe was given no candidate
    SmtpNoHeloReply = -24,        // HELO was not answered
    SmtpAuthFailed = -25,         // AUTH LOGIN, the name or the password not answered as expected
    SmtpEncodeNameFailed = -26,   // the login name could not be encoded
    SmtpEncodePassFailed = -27,   // the password could not be encoded
    SmtpMailFromFailed = -29,     // MAIL FROM not answered "250 "
    SmtpRcptToFailed = -30,       // RCPT TO not answered "250 "
    SmtpDataFailed = -31,         // DATA not answered "354 "
    SmtpEndOfDataFailed = -32,    // the end of the mail not answered "250 "
    // QUIT not answered as expected; in the POP3 probe the same number also
    // stands for a DELE that was not answered "+OK ".
    QuitFailed = -33,
    Pop3LoginFailed = -34,        // USER or PASS unanswered, or PASS not answered "+OK "
    InternetUnreachable = -36,    // the run ended because the Internet could not be reached
};

const char* ToText(DetectionResult result);
