// The proxy's listeners, run in-process on a test context, between real mail
// clients and real mail servers: candidate lists are written by the test
// into the result files as the detection run or the manual choice would.
#include <ctime>

#include <gtest/gtest.h>

#include "catalogue/DetectResult.h"
#include "proxy/ConnIo.h"
#include "proxy/ListenerRun.h"
#include "proxy/MailClients.h"
#include "proxy/ProcessMailThread.h"
#include "proxy/ProxyTestContext.h"
#include "proxy/RecordingUpstreams.h"
#include "integration/ProxyServerSuite.h"
#include "support/BlockingConn.h"
#include "support/ChildProcess.h"
#include "support/OutcomeText.h"

namespace {

using namespace proxytest;

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class ProxyRealServersTest : public ProxyServerSuite {
protected:

    // Writes the file through the writer the detection run uses; a rewrite
    // lands in a later second so that its stamp is newer.
    void WriteResult(std::vector<ProtocalInfo> records, bool manual = false) {
        int32_t last = test.ctx.resultTimes.Get(manual);
        while (last != 0 && std::time(nullptr) <= last) std::this_thread::sleep_for(20ms);
        ProtocalInfoList list;
        for (const ProtocalInfo& r : records) list.PushBack(r);
        ASSERT_EQ(WriteDetectResult(test.ctx, list, manual), CatalogueResult::Ok);
    }
    std::string Credentials() const { return Servers().Get("PROBE_USER") + " " + Servers().Get("PROBE_PASS"); }

    ProxyTestContext test;
    MailClients clients{Servers()};
};

TEST_F(ProxyRealServersTest, DeadCandidatesAreSkippedAndAServerThatClosesFirstIsSeenAtOnce) {
    WriteResult({Candidate("dead", loopback::FreePort(), false, 5), Upstream("plain", false, 10),
                 Upstream("tls", true, 20)});
    // One candidate at a time: a TLS handshake slowed by a busy machine must
    // not let the dead one start beside it.
    ListenerRun smtp(test.ctx, SMTP, RelayTimeouts{180}, 0, false,
                     ConnectBounds{kConnectSeconds, kHandshakeSeconds, 30s});

    for (bool preferTls : {false, true}) {
        test.ctx.userConfig.IS_PREFER_SSL = preferTls;
        int client = smtp.Connect();
        EXPECT_NE(loopback::Exchange(client, "", "220 ").find("ESMTP"), std::string::npos);
        std::string bye = loopback::Exchange(client, "QUIT\r\n", "221 ");
        EXPECT_EQ(bye.rfind("221 ", 0), 0u) << bye;
        auto start = Clock::now();
        EXPECT_TRUE(loopback::SeesClose(client, 3s)) << "TLS " << preferTls;
        EXPECT_LT(Clock::now() - start, 1s) << "the server's close is passed on at once";
        close(client);
    }
    EXPECT_TRUE(test.WaitForLog("process SMTP end", 2));
    EXPECT_EQ(test.CountInLog("[PROXY][MINOR] ERROR: prcess SMTP connect failed(-1) when choose server"), 1)
        << "the dead candidate is tried when TLS is not preferred, and only then";
    EXPECT_EQ(test.CountInLog("process SMTP choose server Type=0, Code=plain"), 1);
    EXPECT_EQ(test.CountInLog("process SMTP choose server Type=1, Code=tls"), 1);
    EXPECT_EQ(test.CountInLog("ERROR: receive"), 0) << test.Log();
}

TEST_F(ProxyRealServersTest, AResetMidTransferEndsOnlyItsOwnSession) {
    WriteResult({Upstream("tls", true, 10)});
    ListenerRun smtp(test.ctx, SMTP, RelayTimeouts{180});
    ListenerRun pop3(test.ctx, POP3, RelayTimeouts{180});
    std::string digest = clients.MakeMessage(test.dir.File("big.eml"), 3 << 20, "big");
    ASSERT_TRUE(clients.Send(smtp.port(), test.dir.File("big.eml")));
    ASSERT_TRUE(WaitUntil([&] { return clients.Pop3(pop3.port()) == "1 " + digest + "\n"; }, 10s));

    // A client that goes away with a reset in the middle of a download.
    int watcher = pop3.Connect();
    EXPECT_NE(loopback::Exchange(watcher, "", "+OK").find("+OK"), std::string::npos);
    int broken = pop3.Connect();
    loopback::Exchange(broken, "", "+OK");
    loopback::Exchange(broken, "USER " + Servers().Get("PROBE_USER") + "\r\n", "+OK");
    loopback::Exchange(broken, "PASS " + Servers().Get("PROBE_PASS") + "\r\n", "+OK Logged in.");
    loopback::SendAll(broken, "RETR 1\r\n");
    EXPECT_GE(loopback::Read(broken, 100000).data.size(), 100000u);
    loopback::Reset(broken);

    EXPECT_EQ(clients.Pop3(pop3.port()), "1 " + digest + "\n") << "the next client is served";
    EXPECT_NE(loopback::Exchange(watcher, "QUIT\r\n", "+OK Logging out").find("+OK Logging out"), std::string::npos)
        << "the other session works on";
    EXPECT_TRUE(loopback::SeesClose(watcher, 2s));
    close(watcher);
    EXPECT_TRUE(test.WaitForLog("process POP3 end", 4));
}

TEST_F(ProxyRealServersTest, ANewResultFileReachesTheNextClientAndManualModeReadsItsOwn) {
    WriteResult({Upstream("plain", false, 10)});
    ListenerRun imap(test.ctx, IMAP4);

    int early = imap.Connect();
    EXPECT_NE(loopback::Exchange(early, "", "Dovecot ready.").find("* OK"), std::string::npos);
    EXPECT_NE(loopback::Exchange(early, "a1 LOGIN " + Credentials() + "\r\n", "a1 ").find("a1 OK"), std::string::npos);

    WriteResult({Upstream("tls", true, 5)});
    EXPECT_EQ(clients.Curl("imap", imap.port(), "INBOX", "-X 'SEARCH ALL'").rfind("* SEARCH", 0), 0u);
    EXPECT_TRUE(test.WaitForLog("[PROXY][DUMP] proxy IMAP4 update log time=" +
                                std::to_string(test.ctx.resultTimes.Get(false)) + "\n"));
    EXPECT_TRUE(test.WaitForLog("process IMAP4 choose server Type=1, Code=tls"));
    EXPECT_NE(loopback::Exchange(early, "a2 NOOP\r\n", "a2 ").find("a2 OK"), std::string::npos)
        << "the client already relayed keeps its server";
    EXPECT_EQ(test.CountInLog("process IMAP4 choose server Type=0, Code=plain"), 1);

    // Manual mode: "manual_set.log", and no detection when its choice fails.
    test.ctx.userConfig.IS_MANUAL_DETECT = true;
    WriteResult({Candidate("gone", loopback::FreePort(), false, 0)}, true);
    int refused = imap.Connect();
    EXPECT_TRUE(loopback::SeesClose(refused, 3s));
    close(refused);
    EXPECT_TRUE(test.WaitForLog("ERROR: process IMAP4 find no server connectable"));
    EXPECT_TRUE(WaitUntil([&] { return test.notifier.Boxes().size() == 1; }, 2s)) << test.notifier.Boxes().size() << test.Log();
    EXPECT_TRUE(test.WaitForLog("process IMAP4 end", 2));
    EXPECT_EQ(imap.detections, 0);

    WriteResult({Upstream("manual-tls", true, 0)}, true);
    EXPECT_EQ(clients.Imap(imap.port()).find("failed"), std::string::npos);
    EXPECT_TRUE(test.WaitForLog("process IMAP4 choose server Type=1, Code=manual-tls"));
    close(early);
}

TEST_F(ProxyRealServersTest, TheThirtyThirdPop3ClientIsRefusedWhileTheOthersWork) {
    WriteResult({Upstream("plain", false, 10)});
    ListenerRun pop3(test.ctx, POP3);
    std::vector<int> sessions;
    for (int i = 0; i < kClientSlotCount; ++i) {
        sessions.push_back(pop3.Connect());
        ASSERT_NE(loopback::Exchange(sessions.back(), "", "\r\n").find("+OK Dovecot ready."), std::string::npos) << i;
    }
    int extra = pop3.Connect();
    loopback::Received r = loopback::Read(extra, 0, 3s);
    EXPECT_TRUE(r.closed || r.failed);
    EXPECT_EQ(r.data, "-ERR too many connections, try again later\r\n")
        << "the proxy's own refusal, before any server was asked";
    close(extra);
    EXPECT_TRUE(test.WaitForLog("[PROXY][MINOR] ERROR: proxy POP3 no avail socket"));

    int s = sessions[0];
    EXPECT_NE(loopback::Exchange(s, "USER " + Servers().Get("PROBE_USER") + "\r\n", "\r\n").find("+OK"), std::string::npos);
    EXPECT_NE(loopback::Exchange(s, "PASS " + Servers().Get("PROBE_PASS") + "\r\n", "\r\n").find("+OK Logged in."),
              std::string::npos);
    EXPECT_NE(loopback::Exchange(s, "STAT\r\n", "\r\n").find("+OK "), std::string::npos);
    close(sessions[1]);
    EXPECT_TRUE(test.WaitForLog("process POP3 free index 1"));
    EXPECT_EQ(clients.Pop3(pop3.port()).find("failed"), std::string::npos);
    for (int sock : sessions) close(sock);
}

TEST_F(ProxyRealServersTest, AReconnectionToATlsServerResumesItsSession) {
    // Postfix hands out sessions to resume; the Dovecot set up here starts a
    // login process per connection and resumes nobody's.
    const ProtocalInfo tls = Upstream("tls", true, 10);
    for (int visit = 0; visit < 3; ++visit) {
        ProxySocket server;
        sockaddr_in address{};
        ASSERT_EQ(PrepareConn(server, tls.Dest, tls.Port[SMTP], address, true, test.ctx.tlsClient), NetResult::Ok);
        ASSERT_EQ(ConnectConn(server, address, true), NetResult::Ok);
        EXPECT_EQ(server.tls.SessionReused(), visit > 0) << "visit " << visit;
        // As a relayed session goes: the greeting (which brings the sessions
        // the server sends after the handshake), QUIT, and the server's end,
        // after which the proxy closes without a close-notify of its own.
        char reply[512];
        ASSERT_TRUE(WaitForData(server, 10));
        EXPECT_GT(RecvConn(server, reply, sizeof reply, true), 0);
        EXPECT_EQ(SendConn(server, "QUIT\r\n", 6, true), 6);
        while (WaitForData(server, 10) && RecvConn(server, reply, sizeof reply, true) > 0) {
        }
        CloseConn(server);
    }
    EXPECT_EQ(test.ctx.tlsClient.Sessions().Size(), 1u);
}

}  // namespace
