#include "net/NetResultCodes.h"

#include <gtest/gtest.h>

#include "support/OutcomeText.h"

namespace {

class NetResultTest : public OutcomeTableTest {};

TEST_P(NetResultTest, NamesItselfAndKeepsItsNumber) { ExpectRow(); }

INSTANTIATE_TEST_SUITE_P(
    Values, NetResultTest,
    ::testing::Values(
        QM_OUTCOME_ROW(NetResult, Ok, 0),
        QM_OUTCOME_ROW(NetResult, Failure, -1),
        QM_OUTCOME_ROW(NetResult, NotAnAddress, -2),
        QM_OUTCOME_ROW(NetResult, SocketFailure, -4),
        QM_OUTCOME_ROW(NetResult, ConnectFailure, -5),
        QM_OUTCOME_ROW(NetResult, WaitTimeout, -6),
        QM_OUTCOME_ROW(NetResult, ReadFailure, -7),
        QM_OUTCOME_ROW(NetResult, TlsInitFailure, -10),
        QM_OUTCOME_ROW(NetResult, TlsContextFailure, -11),
        QM_OUTCOME_ROW(NetResult, TlsObjectFailure, -12),
        QM_OUTCOME_ROW(NetResult, HandshakeFailure, -13),
        QM_OUTCOME_ROW(NetResult, CertificateRefused, -14)),
    RowName);

}  // namespace
