#include "update/UpdateResult.h"

#include <gtest/gtest.h>

#include "support/OutcomeText.h"

namespace {

class UpdateResultTest : public OutcomeTableTest {};

TEST_P(UpdateResultTest, NamesItselfAndKeepsItsNumber) { ExpectRow(); }

INSTANTIATE_TEST_SUITE_P(
    Values, UpdateResultTest,
    ::testing::Values(
        QM_OUTCOME_ROW(UpdateResult, Ok, 0),
        QM_OUTCOME_ROW(UpdateResult, ListRejected, -21),
        QM_OUTCOME_ROW(UpdateResult, LocalListUnreadable, -40)),
    RowName);

class DownloadOutcomeTest : public OutcomeTableTest {};

TEST_P(DownloadOutcomeTest, NamesItselfAndKeepsItsNumber) { ExpectRow(); }

INSTANTIATE_TEST_SUITE_P(
    Values, DownloadOutcomeTest,
    ::testing::Values(
        QM_OUTCOME_ROW(DownloadOutcome, Succeeded, -43),
        QM_OUTCOME_ROW(DownloadOutcome, Failed, -41),
        QM_OUTCOME_ROW(DownloadOutcome, RetriesFailed, -44)),
    RowName);

class NewListOutcomeTest : public OutcomeTableTest {};

TEST_P(NewListOutcomeTest, NamesItselfAndKeepsItsNumber) { ExpectRow(); }

INSTANTIATE_TEST_SUITE_P(
    Values, NewListOutcomeTest,
    ::testing::Values(
        QM_OUTCOME_ROW(NewListOutcome, Installed, -45),
        QM_OUTCOME_ROW(NewListOutcome, Failed, -42),
        QM_OUTCOME_ROW(NewListOutcome, RetriesFailed, -46)),
    RowName);

}  // namespace
