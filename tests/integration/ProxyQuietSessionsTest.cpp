// Sessions that fall quiet through the proxy's listeners, run in-process
// between Python's imaplib and the test Dovecot: a client waiting in IDLE
// must keep its session for as long as the protocol allows, while a peer that
// has vanished without a word is still found by TCP keep-alive. The product's
// bounds are passed shorter, straight to the listener's runtime; the real
// ones are checked black-box by bench/quiet_bench.py.
#include <fstream>

#include <gtest/gtest.h>

#include "catalogue/DetectResult.h"
#include "integration/ProxyServerSuite.h"
#include "proxy/ListenerRun.h"
#include "proxy/ProxyTestContext.h"
#include "proxy/RecordingUpstreams.h"
#include "proxy/RunCommand.h"

namespace {

using namespace proxytest;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// True when this process has a network namespace of its own (only the
// loopback link), where a drop rule touches nobody else's traffic.
bool PrivateNetwork() {
    std::ifstream dev("/proc/self/net/dev");
    std::string line;
    int links = 0;
    bool loopbackOnly = true;
    for (int n = 0; std::getline(dev, line); ++n) {
        if (n < 2) continue;
        ++links;
        loopbackOnly = loopbackOnly && line.find("lo:") != std::string::npos;
    }
    return links == 1 && loopbackOnly;
}

// Every packet to or from a local port vanishes while it lives: no FIN, no
// reset, as when a laptop's network goes or a NAT forgets the connection.
class DroppedPort {
public:
    explicit DroppedPort(int port) {
        std::string p = std::to_string(port);
        ok_ = RunCommand("nft add table inet qm_quiet && nft add chain inet qm_quiet out "
                         "'{ type filter hook output priority 0; }' && nft add rule inet qm_quiet out tcp dport " +
                         p + " drop && nft add rule inet qm_quiet out tcp sport " + p + " drop 2>&1") == 0;
    }
    ~DroppedPort() { RunCommand("nft delete table inet qm_quiet 2>/dev/null"); }
    DroppedPort(const DroppedPort&) = delete;
    DroppedPort& operator=(const DroppedPort&) = delete;
    bool ok() const { return ok_; }

private:
    bool ok_ = false;
};

class ProxyQuietSessionsTest : public ProxyServerSuite {
protected:
    void SetUp() override {
        ProxyServerSuite::SetUp();
        if (HasFatalFailure()) return;
        ProtocalInfoList list;
        list.PushBack(Upstream("plain", false, 10));
        ASSERT_EQ(WriteDetectResult(test.ctx, list, false), CatalogueResult::Ok);
    }
    // The bounds a test runs with: quiet limits as the product has them, the
    // stall bound and keep-alive short.
    static RelayTimeouts Short() {
        RelayTimeouts t;
        t.stallSeconds = 2;
        t.keepAlive = KeepAlive{1, 1, 2};
        return t;
    }
    std::string Login(int client) const {
        loopback::Exchange(client, "", "\r\n");
        return loopback::Exchange(client,
                                  "a1 LOGIN " + Servers().Get("PROBE_USER") + " " + Servers().Get("PROBE_PASS") + "\r\n",
                                  "a1 ");
    }

    ProxyTestContext test;
};

TEST_F(ProxyQuietSessionsTest, AClientInIdleGetsNewMailLongAfterTheStallBound) {
    ListenerRun imap(test.ctx, IMAP4, Short());
    std::string out;
    int rc = RunCommand("timeout 120 /usr/bin/python3 " QM_SOURCE_DIR "/tests/integration/imap_idle.py " +
                            std::to_string(imap.port()) + " " + Servers().Get("PROBE_USER") + " " +
                            Servers().Get("PROBE_PASS") + " " + Servers().Get("SMTP_PORT") + " " +
                            Servers().Get("PROBE_ADDR") + " " + Servers().Get("MAILDIR_PROBE") + " 4 2>&1",
                        &out);
    ASSERT_EQ(rc, 0) << out;
    ASSERT_EQ(out.rfind("exists ", 0), 0u) << out << test.Log();
    EXPECT_LT(std::stod(out.substr(7)), 2.0) << out;
    EXPECT_EQ(test.CountInLog("timeout(-6)"), 0) << test.Log();
}

// Which end of an idle session vanishes.
struct Vanishing {
    const char* name;
    bool server;
    const char* line;  // the failure the relay logs
};

class VanishedPeerTest : public ProxyQuietSessionsTest, public ::testing::WithParamInterface<Vanishing> {};

TEST_P(VanishedPeerTest, IsFoundByKeepAliveLongBeforeTheQuietLimit) {
    if (!PrivateNetwork()) GTEST_SKIP() << "needs a network namespace of its own (unshare -rn) for a drop rule";
    if (RunCommand("command -v nft >/dev/null") != 0) GTEST_SKIP() << "nft is not installed";
    ListenerRun imap(test.ctx, IMAP4, Short());
    int client = imap.Connect();
    ASSERT_NE(Login(client).find("a1 OK"), std::string::npos);
    // Answered probes keep a healthy idle session: quiet well past the
    // keep-alive's whole bound, it still works.
    std::this_thread::sleep_for(4s);
    ASSERT_NE(loopback::Exchange(client, "a2 NOOP\r\n", "a2 ").find("a2 OK"), std::string::npos);

    DroppedPort dropped(GetParam().server ? Servers().Port("IMAP_PORT") : imap.port());
    if (!dropped.ok()) GTEST_SKIP() << "the system refused the drop rule";
    auto start = Clock::now();
    EXPECT_TRUE(test.WaitForLog("process IMAP4 end", 1, 15s)) << test.Log();
    EXPECT_LT(Clock::now() - start, 10s);
    EXPECT_EQ(test.CountInLog(GetParam().line), 1) << test.Log();
    if (GetParam().server) {
        EXPECT_TRUE(loopback::SeesClose(client, 1s)) << "the client's end closes with it";
    }
    close(client);
}

INSTANTIATE_TEST_SUITE_P(Ends, VanishedPeerTest,
                         ::testing::Values(Vanishing{"Server", true, "ERROR: receive data from SERVER failed(110)"},
                                           Vanishing{"Client", false, "ERROR: receive data from CLIENT failed(110)"}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
