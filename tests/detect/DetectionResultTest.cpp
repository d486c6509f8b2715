#include "detect/DetectionResult.h"

#include <gtest/gtest.h>

#include "support/OutcomeText.h"

namespace {

class DetectionResultTest : public OutcomeTableTest {};

TEST_P(DetectionResultTest, NamesItselfAndKeepsItsNumber) { ExpectRow(); }

INSTANTIATE_TEST_SUITE_P(
    Values, DetectionResultTest,
    ::testing::Values(
        QM_OUTCOME_ROW(DetectionResult, Ok, 0),
        QM_OUTCOME_ROW(DetectionResult, InternetCheckFailed, -1),
        QM_OUTCOME_ROW(DetectionResult, Pop3MailboxFailed, -8),
        QM_OUTCOME_ROW(DetectionResult, Pop3RetrFailed, -9),
        QM_OUTCOME_ROW(DetectionResult, AlreadyRunning, -15),
        QM_OUTCOME_ROW(DetectionResult, NoAvailableConnection, -16),
        QM_OUTCOME_ROW(DetectionResult, WriteResultFailed, -17),
        QM_OUTCOME_ROW(DetectionResult, ListUnreadable, -21),
        QM_OUTCOME_ROW(DetectionResult, NoCandidate, -23),
        QM_OUTCOME_ROW(DetectionResult, SmtpNoHeloReply, -24),
        QM_OUTCOME_ROW(DetectionResult, SmtpAuthFailed, -25),
        QM_OUTCOME_ROW(DetectionResult, SmtpEncodeNameFailed, -26),
        QM_OUTCOME_ROW(DetectionResult, SmtpEncodePassFailed, -27),
        QM_OUTCOME_ROW(DetectionResult, SmtpMailFromFailed, -29),
        QM_OUTCOME_ROW(DetectionResult, SmtpRcptToFailed, -30),
        QM_OUTCOME_ROW(DetectionResult, SmtpDataFailed, -31),
        QM_OUTCOME_ROW(DetectionResult, SmtpEndOfDataFailed, -32),
        QM_OUTCOME_ROW(DetectionResult, QuitFailed, -33),
        QM_OUTCOME_ROW(DetectionResult, Pop3LoginFailed, -34),
        QM_OUTCOME_ROW(DetectionResult, InternetUnreachable, -36)),
    RowName);

}  // namespace
