#include "proxy/ProxyResultCodes.h"

#include <gtest/gtest.h>

#include "support/OutcomeText.h"

namespace {

class ProxyResultTest : public OutcomeTableTest {};

TEST_P(ProxyResultTest, NamesItselfAndKeepsItsNumber) { ExpectRow(); }

INSTANTIATE_TEST_SUITE_P(
    Values, ProxyResultTest,
    ::testing::Values(
        QM_OUTCOME_ROW(ProxyResult, Ok, 0),
        QM_OUTCOME_ROW(ProxyResult, NetFailure, -1),
        QM_OUTCOME_ROW(ProxyResult, SocketFailure, -4),
        QM_OUTCOME_ROW(ProxyResult, WaitTimeout, -6),
        QM_OUTCOME_ROW(ProxyResult, MissingArgument, -51)),
    RowName);

}  // namespace
