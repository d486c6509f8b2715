#include "catalogue/CatalogueResult.h"

#include <gtest/gtest.h>

#include "support/OutcomeText.h"

namespace {

class CatalogueResultTest : public OutcomeTableTest {};

TEST_P(CatalogueResultTest, NamesItselfAndKeepsItsNumber) { ExpectRow(); }

INSTANTIATE_TEST_SUITE_P(
    Values, CatalogueResultTest,
    ::testing::Values(
        QM_OUTCOME_ROW(CatalogueResult, Ok, 0),
        QM_OUTCOME_ROW(CatalogueResult, WriteFailed, -17),
        QM_OUTCOME_ROW(CatalogueResult, ReadFailed, -18),
        QM_OUTCOME_ROW(CatalogueResult, ListFormatError, -21),
        QM_OUTCOME_ROW(CatalogueResult, ListUnopenable, -22),
        QM_OUTCOME_ROW(CatalogueResult, MissingName, -51),
        QM_OUTCOME_ROW(CatalogueResult, RowRefused, -55),
        QM_OUTCOME_ROW(CatalogueResult, ImportRefused, -56)),
    RowName);

}  // namespace
