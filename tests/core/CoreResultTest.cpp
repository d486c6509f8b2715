#include "core/CoreResult.h"

#include <gtest/gtest.h>

#include "support/OutcomeText.h"

namespace {

class CoreResultTest : public OutcomeTableTest {};

TEST_P(CoreResultTest, NamesItselfAndKeepsItsNumber) { ExpectRow(); }

INSTANTIATE_TEST_SUITE_P(
    Values, CoreResultTest,
    ::testing::Values(
        QM_OUTCOME_ROW(CoreResult, Ok, 0),
        QM_OUTCOME_ROW(CoreResult, SettingsUnreadable, -38),
        QM_OUTCOME_ROW(CoreResult, MailCodeRefused, -49),
        QM_OUTCOME_ROW(CoreResult, SettingsTooLarge, -57),
        QM_OUTCOME_ROW(CoreResult, MissingArgument, -50),
        QM_OUTCOME_ROW(CoreResult, SettingRefused, -52),
        QM_OUTCOME_ROW(CoreResult, SettingsUnwritable, -53),
        QM_OUTCOME_ROW(CoreResult, SettingsMalformed, -54)),
    RowName);

}  // namespace
