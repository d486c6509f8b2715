#include "detect/DetectionResult.h"

const char* ToText(DetectionResult result) {
    switch (result) {
        case DetectionResult::Ok: return "Ok";
        case DetectionResult::InternetCheckFailed: return "InternetCheckFailed";
        case DetectionResult::Pop3MailboxFailed: return "Pop3MailboxFailed";
        case DetectionResult::Pop3RetrFailed: return "Pop3RetrFailed";
        case DetectionResult::AlreadyRunning: return "AlreadyRunning";
        case DetectionResult::NoAvailableConnection: return "NoAvailableConnection";
        case DetectionResult::WriteResultFailed: return "WriteResultFailed";
        case DetectionResult::ListUnreadable: return "ListUnreadable";
        case DetectionResult::NoCandidate: return "NoCandidate";
        case DetectionResult::SmtpNoHeloReply: return "SmtpNoHeloReply";
        case DetectionResult::SmtpAuthFailed: return "SmtpAuthFailed";
        case DetectionResult::SmtpEncodeNameFailed: return "SmtpEncodeNameFailed";
        case DetectionResult::SmtpEncodePassFailed: return "SmtpEncodePassFailed";
        case DetectionResult::SmtpMailFromFailed: return "SmtpMailFromFailed";
        case DetectionResult::SmtpRcptToFailed: return "SmtpRcptToFailed";
        case DetectionResult::SmtpDataFailed: return "SmtpDataFailed";
        case DetectionResult::SmtpEndOfDataFailed: return "SmtpEndOfDataFailed";
        case DetectionResult::QuitFailed: return "QuitFailed";
        case DetectionResult::Pop3LoginFailed: return "Pop3LoginFailed";
        case DetectionResult::InternetUnreachable: return "InternetUnreachable";
    }
    return "";
}
