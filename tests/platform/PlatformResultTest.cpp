#include "platform/PlatformResult.h"

#include <gtest/gtest.h>

#include "support/OutcomeText.h"

namespace {

class PlatformResultTest : public OutcomeTableTest {};

TEST_P(PlatformResultTest, NamesItselfAndKeepsItsNumber) { ExpectRow(); }

INSTANTIATE_TEST_SUITE_P(
    Values, PlatformResultTest,
    ::testing::Values(
        QM_OUTCOME_ROW(PlatformResult, Ok, 0),
        QM_OUTCOME_ROW(PlatformResult, SystemRefused, -1),
        QM_OUTCOME_ROW(PlatformResult, MissingArgument, -51)),
    RowName);

}  // namespace
