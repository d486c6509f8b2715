#include "report/ReportResult.h"

#include <gtest/gtest.h>

#include "support/OutcomeText.h"

namespace {

class ReportResultTest : public OutcomeTableTest {};

TEST_P(ReportResultTest, NamesItselfAndKeepsItsNumber) { ExpectRow(); }

INSTANTIATE_TEST_SUITE_P(
    Values, ReportResultTest,
    ::testing::Values(
        QM_OUTCOME_ROW(ReportResult, Ok, 0),
        QM_OUTCOME_ROW(ReportResult, LogFileFailed, -53),
        QM_OUTCOME_ROW(ReportResult, UserMailRefused, -54)),
    RowName);

}  // namespace
