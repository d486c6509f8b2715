// The proxy's listeners, run in-process in front of the real mail servers,
// under more clients than a protocol's 32 slots: the client over the limit is
// told in its own protocol, and a burst of a thousand clients a protocol is
// answered, each one, within seconds.
#include <chrono>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "catalogue/DetectResult.h"
#include "integration/ProxyServerSuite.h"
#include "proxy/ListenerRun.h"
#include "proxy/ProxyTestContext.h"
#include "proxy/RunCommand.h"
#include "support/ChildProcess.h"

namespace {

using namespace proxytest;
using namespace std::chrono_literals;

// One protocol with the line its 33rd client reads and what a real client
// program (Python's own library) makes of it.
struct Crowded {
    int32_t protocol;
    const char* name;
    const char* refusal;
    const char* python;  // prints what the client library reports
};

class ProxyCrowdBase : public ProxyServerSuite {
protected:
    void WriteResult() {
        ProtocalInfoList list;
        list.PushBack(Upstream("plain", false, 10));
        ASSERT_EQ(WriteDetectResult(test.ctx, list, false), CatalogueResult::Ok);
    }
    static std::string Run(const std::string& command) {
        std::string out;
        int rc = RunCommand(command + " 2>&1", &out);
        return out + (rc == 0 ? "" : "(exit " + std::to_string(rc) + ")");
    }
    ProxyTestContext test;
};

class ProxyCrowdTest : public ProxyCrowdBase, public ::testing::WithParamInterface<Crowded> {};
class ProxyBurstTest : public ProxyCrowdBase {};

TEST_P(ProxyCrowdTest, TheClientOverTheLimitIsToldToTryAgainLater) {
    const Crowded& p = GetParam();
    WriteResult();
    ListenerRun listener(test.ctx, p.protocol, RelayTimeouts{60});
    std::vector<int> held;
    for (int i = 0; i < kClientSlotCount; ++i) {
        int s = listener.Connect();
        ASSERT_GE(s, 0);
        held.push_back(s);
        // The greeting came from the server: the client holds its slot.
        ASSERT_FALSE(loopback::Exchange(s, "", "\r\n").empty()) << i;
    }
    int over = listener.Connect();
    std::string line = loopback::Exchange(over, "", "\r\n");
    EXPECT_EQ(std::string(p.refusal) + "\r\n", line);
    EXPECT_TRUE(loopback::SeesClose(over, 5s));
    close(over);

    std::string port = std::to_string(listener.port());
    std::string program = std::string(p.python);
    for (std::string::size_type at; (at = program.find("PORT")) != std::string::npos;) program.replace(at, 4, port);
    EXPECT_EQ(Run("timeout 60 /usr/bin/python3 -c \"" + program + "\""), "temporary\n")
        << "a refusal the client shows, never a success";
    if (p.protocol == SMTP) {
        std::string curl = Run("timeout 60 curl -sS --max-time 20 smtp://127.0.0.1:" + port +
                               " --mail-from a@qm.test --mail-rcpt b@qm.test -T /dev/null");
        EXPECT_NE(curl.find("421"), std::string::npos) << curl;
    }
    for (int s : held) close(s);
}

INSTANTIATE_TEST_SUITE_P(
    Protocols, ProxyCrowdTest,
    ::testing::Values(
        Crowded{SMTP, "Smtp", "421 4.7.0 Too many connections, try again later",
                "import smtplib\n"
                "try:\n"
                "    smtplib.SMTP('127.0.0.1', PORT, timeout=20)\n"
                "    print('served')\n"
                "except smtplib.SMTPConnectError as e:\n"
                "    print('temporary' if e.smtp_code == 421 else e)\n"},
        Crowded{POP3, "Pop3", "-ERR too many connections, try again later",
                "import poplib\n"
                "try:\n"
                "    poplib.POP3('127.0.0.1', PORT, timeout=20)\n"
                "    print('served')\n"
                "except poplib.error_proto as e:\n"
                "    print('temporary' if b'try again later' in e.args[0] else e)\n"},
        Crowded{IMAP4, "Imap4", "* BYE too many connections, try again later",
                "import imaplib\n"
                "try:\n"
                "    imaplib.IMAP4('127.0.0.1', PORT, timeout=20)\n"
                "    print('served')\n"
                "except imaplib.IMAP4.error as e:\n"
                "    print('temporary' if 'try again later' in str(e) else e)\n"}),
    [](const ::testing::TestParamInfo<Crowded>& info) { return std::string(info.param.name); });

// A thousand clients a protocol at once: every one reads its greeting, the
// refusal or a close, none waits on a full accept queue.
TEST_F(ProxyBurstTest, ABurstOfThreeThousandClientsIsAnsweredWithinFiveSeconds) {
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    if (files.rlim_max < 8192) GTEST_SKIP() << "needs 8192 descriptors, the hard limit is " << files.rlim_max;
    rlimit raised{8192, files.rlim_max};
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &raised), 0);
    WriteResult();
    ListenerRun smtp(test.ctx, SMTP, RelayTimeouts{60});
    ListenerRun pop3(test.ctx, POP3, RelayTimeouts{60});
    ListenerRun imap4(test.ctx, IMAP4, RelayTimeouts{60});
    std::string out = Run("timeout 120 /usr/bin/python3 " QM_SOURCE_DIR "/tests/integration/burst_clients.py 1000 " +
                          std::to_string(smtp.port()) + " " + std::to_string(pop3.port()) + " " +
                          std::to_string(imap4.port()));
    EXPECT_EQ(out.rfind("answered 3000 of 3000", 0), 0u) << out;
    setrlimit(RLIMIT_NOFILE, &files);
}

}  // namespace
