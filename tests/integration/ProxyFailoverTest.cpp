// The proxy's walk over its candidates with real clients and real servers
// behind it, when the candidates ranked first are silent or slow: the client
// waits for the first candidate that completes, never for a silent one's
// connect bound, and a slow one that completes before the next is started
// keeps its rank.
#include <gtest/gtest.h>

#include "catalogue/DetectResult.h"
#include "integration/ProxyServerSuite.h"
#include "proxy/ListenerRun.h"
#include "proxy/ProxyTestContext.h"
#include "proxy/RecordingUpstreams.h"
#include "proxy/RunCommand.h"
#include "support/ChildProcess.h"
#include "support/UnansweredPort.h"

namespace {

using namespace proxytest;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A line-up of candidates: S a TLS server that starts its handshake 100 ms
// late, D one that drops packets, P the plain server, T the TLS one.
struct Lineup {
    const char* name;
    const char* kinds;
    const char* chosen;  // the code of the candidate that must win
    double atLeast;      // seconds the client must wait, at least
    double below;        // and less than
    int failedLines;
};

class ProxyFailoverTest : public ProxyServerSuite, public ::testing::WithParamInterface<Lineup> {
protected:
    void SetUp() override {
        ProxyServerSuite::SetUp();
        if (HasFatalFailure()) return;
        ClearMaildir(Servers().Get("MAILDIR_PROBE"));
    }

    ProxyTestContext test;
};

TEST_P(ProxyFailoverTest, TheFirstCandidateToCompleteCarriesTheMailOnce) {
    const Lineup& lineup = GetParam();
    std::vector<std::unique_ptr<UnansweredPort>> dead;
    ChildProcess late;
    ProtocalInfoList list;
    int rank = 0;
    for (const char* k = lineup.kinds; *k != '\0'; ++k, ++rank) {
        std::string code = std::string(1, *k) + std::to_string(rank);
        if (*k == 'D') {
            dead.push_back(std::make_unique<UnansweredPort>());
            list.PushBack(Candidate(code.c_str(), dead.back()->port(), false, rank));
        } else if (*k == 'S') {
            int port = FreePort();
            ASSERT_TRUE(late.Start("/usr/bin/python3",
                                   {QM_SOURCE_DIR "/tests/integration/scripted_upstream.py", "late-tls",
                                    std::to_string(port), test.dir.path(), "0.1", Servers().Get("SMTP_PORT")},
                                   test.dir.path(), test.dir.File("late.out")));
            ASSERT_TRUE(WaitUntil([&] { return PortAnswers(port); }, 20s));
            list.PushBack(Candidate(code.c_str(), port, true, rank));
        } else {
            ProtocalInfo c = Upstream(code.c_str(), *k == 'T', rank);
            list.PushBack(c);
        }
    }
    ASSERT_EQ(WriteDetectResult(test.ctx, list, false), CatalogueResult::Ok);
    ListenerRun smtp(test.ctx, SMTP, RelayTimeouts{180});
    smtp.runtime->connectBounds = ConnectBounds{1, 10};

    auto start = Clock::now();
    std::string out;
    int rc = RunCommand("timeout 60 /usr/bin/python3 -c \"import smtplib\n"
                        "s = smtplib.SMTP('127.0.0.1', " + std::to_string(smtp.port()) + ", timeout=30)\n"
                        "s.login('" + Servers().Get("PROBE_USER") + "', '" + Servers().Get("PROBE_PASS") + "')\n"
                        "s.sendmail('" + Servers().Get("PROBE_ADDR") + "', ['" + Servers().Get("PROBE_ADDR") +
                            "'], b'Subject: lineup\\r\\n\\r\\nbody\\r\\n')\n"
                        "s.quit()\n\" 2>&1",
                        &out);
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    ASSERT_EQ(rc, 0) << out << test.Log();
    EXPECT_GE(seconds, lineup.atLeast);
    EXPECT_LT(seconds, lineup.below);
    EXPECT_TRUE(WaitUntil([&] { return CountMessages(Servers().Get("MAILDIR_PROBE")) == 1; }, 10s));
    EXPECT_EQ(CountMessages(Servers().Get("MAILDIR_PROBE")), 1) << "delivered once";
    EXPECT_EQ(test.CountInLog(std::string("process SMTP choose server Type=") + (lineup.chosen[0] == 'P' ? "0" : "1") +
                              ", Code=" + lineup.chosen + ","),
              1)
        << test.Log();
    EXPECT_EQ(test.CountInLog("when choose server"), lineup.failedLines) << test.Log();
}

INSTANTIATE_TEST_SUITE_P(
    Lineups, ProxyFailoverTest,
    ::testing::Values(
        // Three silent ones fill what may be under way; the fourth starts
        // when the first reaches its (here 1 s) connect bound.
        Lineup{"ThreeSilentThenALiveFourth", "DDDP", "P3", 0.9, 3.0, 3},
        Lineup{"SilentFirstCostsAQuarterSecond", "DP", "P1", 0.2, 1.0, 1}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
