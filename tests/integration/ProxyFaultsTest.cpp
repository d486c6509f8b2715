// The proxy's listeners, run in-process, between real mail clients (msmtp,
// fetchmail, curl, Python's smtplib) and upstreams that fail the way real
// ones do: a server that drops packets, one that trickles its handshake, a
// TLS server that is slow to greet and slow to judge a message, clients that
// stop reading, and a session that falls quiet. Where a real server cannot be
// made to misbehave, scripted_upstream.py stands in for it. The product's
// time-outs are passed shorter, straight to the listener's runtime.
#include <ctime>
#include <future>

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "catalogue/DetectResult.h"
#include "proxy/ListenerRun.h"
#include "proxy/MailClients.h"
#include "proxy/ProxyTestContext.h"
#include "proxy/RecordingUpstreams.h"
#include "integration/ProxyServerSuite.h"
#include "support/ChildProcess.h"
#include "support/OutcomeText.h"
#include "support/UnansweredPort.h"

namespace {

using namespace proxytest;

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

class ProxyFaultsTest : public ProxyServerSuite {
protected:
    void SetUp() override {
        ProxyServerSuite::SetUp();
        if (HasFatalFailure()) return;
        ClearMaildir(Servers().Get("MAILDIR_PROBE"));
    }

    void WriteResult(std::vector<ProtocalInfo> records) {
        ProtocalInfoList list;
        for (const ProtocalInfo& r : records) list.PushBack(r);
        ASSERT_EQ(WriteDetectResult(test.ctx, list, false), CatalogueResult::Ok);
    }
    // Starts scripted_upstream.py with args and waits until its port answers.
    bool StartScripted(ChildProcess& child, const std::vector<std::string>& args, int port) {
        std::vector<std::string> all{QM_SOURCE_DIR "/tests/integration/scripted_upstream.py"};
        all.insert(all.end(), args.begin(), args.end());
        if (!child.Start("/usr/bin/python3", all, test.dir.path(), test.dir.File("scripted.out"))) return false;
        return WaitUntil([&] { return PortAnswers(port); }, 20s);
    }
    std::string User() const { return Servers().Get("PROBE_USER"); }
    std::string Pass() const { return Servers().Get("PROBE_PASS"); }
    std::string Address() const { return Servers().Get("PROBE_ADDR"); }
    // msmtp through the proxy's plain port; its output and exit status.
    std::string Msmtp(int port, const std::string& file, bool login, int* status) const {
        std::string auth = login ? "--auth=login --user=" + User() + " --passwordeval='echo " + Pass() + "'"
                                 : "--auth=off";
        std::string out;
        *status = RunCommand("timeout 120 msmtp --file=/dev/null --host=127.0.0.1 --port=" + std::to_string(port) +
                                 " --tls=off " + auth + " --from=" + Address() + " " + Address() + " <" + file +
                                 " 2>&1",
                             &out);
        return out;
    }
    // Runs a short Python program; its output, with the exit status when not 0.
    static std::string Python(const std::string& code) {
        std::string out;
        int rc = RunCommand("timeout 120 /usr/bin/python3 -c \"" + code + "\" 2>&1", &out);
        return out + (rc == 0 ? "" : "(exit " + std::to_string(rc) + ")");
    }

    ProxyTestContext test;
    MailClients clients{Servers()};
};

TEST_F(ProxyFaultsTest, ASlowTlsServerIsWaitedForAndItsRejectionReachesEveryClient) {
    // Greeting and verdict each come later than the relay ever waited before
    // answering for the server itself.
    int port = FreePort();
    ChildProcess upstream;
    ASSERT_TRUE(StartScripted(upstream, {"slow-smtp", std::to_string(port), test.dir.path(), "11", "11"}, port));
    WriteResult({Candidate("slow", port, true, 10)});
    ListenerRun smtp(test.ctx, SMTP, RelayTimeouts{180});
    test.dir.Write("m.eml", "Subject: judged slowly\r\n\r\nbody\r\n");

    auto start = Clock::now();
    int msmtpStatus = -1;
    auto msmtp = std::async(std::launch::async, [&] { return Msmtp(smtp.port(), test.dir.File("m.eml"), false, &msmtpStatus); });
    std::string python = Python(
        "import smtplib\n"
        "s = smtplib.SMTP('127.0.0.1', " + std::to_string(smtp.port()) + ", timeout=60)\n"
        "try:\n"
        "    s.sendmail('a@qm.test', ['b@qm.test'], b'Subject: x\\r\\n\\r\\nbody\\r\\n')\n"
        "    print('sent')\n"
        "except smtplib.SMTPDataError as e:\n"
        "    print('rejected', e.smtp_code)\n");
    std::string msmtpOut = msmtp.get();
    EXPECT_GE(SecondsSince(start), 21.0);
    EXPECT_EQ(python, "rejected 554\n");
    EXPECT_NE(msmtpStatus, 0) << msmtpOut;
    EXPECT_NE(msmtpOut.find("554 5.7.1 Message rejected"), std::string::npos) << msmtpOut;
    EXPECT_EQ(test.CountInLog("SMTP-SSL"), 0);
    EXPECT_EQ(test.CountInLog("Message accepted"), 0);
}

// With the product's 10 s connect bound: the next candidate is started
// alongside the silent one after a quarter second.
TEST_F(ProxyFaultsTest, AFirstServerThatDropsPacketsCostsAQuarterSecondAndOneQuietDetection) {
    UnansweredPort dead;
    WriteResult({Candidate("dead", dead.port(), false, 5), Upstream("plain", false, 10)});
    ListenerRun smtp(test.ctx, SMTP, RelayTimeouts{180});
    ListenerRun pop3(test.ctx, POP3, RelayTimeouts{180});
    std::string digest = clients.MakeMessage(test.dir.File("fo.eml"), 20000, "failover");

    auto start = Clock::now();
    int status = -1;
    std::string out = Msmtp(smtp.port(), test.dir.File("fo.eml"), true, &status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_LT(SecondsSince(start), 2.0) << "not the 10 s connect bound";
    ASSERT_TRUE(WaitUntil([&] { return CountMessages(Servers().Get("MAILDIR_PROBE")) == 1; }, 10s));

    test.dir.Write("fetchmailrc", "poll 127.0.0.1 service " + std::to_string(pop3.port()) + " protocol POP3 user \"" +
                                      User() + "\" password \"" + Pass() + "\" sslproto '' keep fetchall mda \"/bin/sh -c 'cat >> " +
                                      test.dir.File("fetched.eml") + "'\"\n");
    chmod(test.dir.File("fetchmailrc").c_str(), 0600);
    start = Clock::now();
    std::string fetched;
    EXPECT_EQ(RunCommand("HOME=" + test.dir.path() + " timeout 120 fetchmail --nosyslog --nodetach --pidfile " +
                             test.dir.File("fm.pid") + " -f " + test.dir.File("fetchmailrc") + " 2>&1",
                         &fetched),
              0)
        << fetched;
    EXPECT_LT(SecondsSince(start), 2.0);
    EXPECT_EQ(CountMessages(Servers().Get("MAILDIR_PROBE")), 1) << "delivered once";
    std::string message = test.dir.Read("fetched.eml");
    EXPECT_EQ(message.find("Subject: failover"), message.rfind("Subject: failover")) << "fetched once";
    size_t body = message.find("\n\n");
    ASSERT_NE(body, std::string::npos);
    // fetchmail hands the message over with bare line feeds.
    EXPECT_EQ(RunCommand("tail -c +" + std::to_string(body + 3) + " " + test.dir.File("fetched.eml") +
                         " | sed 's/$/\\r/' | sha256sum | cut -c1-64 | grep -qx " + digest),
              0)
        << "the message arrives byte for byte";

    EXPECT_EQ(test.CountInLog("ERROR: prcess SMTP connect failed(-1) when choose server"), 1);
    EXPECT_EQ(test.CountInLog("ERROR: prcess POP3 connect failed(-1) when choose server"), 1);
    EXPECT_EQ(smtp.detections + pop3.detections, 1) << "one quiet detection across the proxies";
    EXPECT_EQ(smtp.onDemand + pop3.onDemand, 0) << "a background one";
}

TEST_F(ProxyFaultsTest, ATrickledTlsHandshakeGivesWayToTheNextCandidate) {
    int port = FreePort();
    ChildProcess trickler;
    ASSERT_TRUE(StartScripted(trickler, {"trickle", std::to_string(port)}, port));
    std::string digest = clients.MakeMessage(test.dir.File("t.eml"), 5000, "trickled");
    ASSERT_TRUE(clients.Send(Servers().Port("SMTP_PORT"), test.dir.File("t.eml")));
    ASSERT_TRUE(WaitUntil([&] { return CountMessages(Servers().Get("MAILDIR_PROBE")) == 1; }, 10s));
    WriteResult({Candidate("trickle", port, true, 5), Upstream("tls", true, 10)});
    ListenerRun pop3(test.ctx, POP3, RelayTimeouts{180});
    pop3.runtime->connectBounds = ConnectBounds{10, 2};

    auto start = Clock::now();
    EXPECT_EQ(clients.Pop3(pop3.port()), "1 " + digest + "\n");
    EXPECT_LT(SecondsSince(start), 8.0);
    EXPECT_EQ(test.CountInLog("ERROR: process POP3 connect failed("), 1);
    EXPECT_EQ(test.CountInLog("process POP3 choose server Type=1, Code=tls"), 1);
}

TEST_F(ProxyFaultsTest, ClientsThatNeverReadDoNotLockTheProtocolOut) {
    // A message far larger than what the socket buffers hold on the way.
    std::string digest = clients.MakeMessage(test.dir.File("big.eml"), 7 << 20, "big");
    ASSERT_TRUE(clients.Send(Servers().Port("SMTP_PORT"), test.dir.File("big.eml")));
    ASSERT_TRUE(WaitUntil([&] { return CountMessages(Servers().Get("MAILDIR_PROBE")) == 1; }, 20s));
    WriteResult({Upstream("plain", false, 10)});
    // Quiet limits as the product has them: only the stall bound frees the
    // slots, long enough for all 32 clients to come in first.
    RelayTimeouts bounds;
    bounds.stallSeconds = 15;
    ListenerRun pop3(test.ctx, POP3, bounds);

    std::vector<int> hung;
    for (int i = 0; i < kClientSlotCount; ++i) {
        int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int small = 4096;
        setsockopt(s, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        sockaddr_in a = loopback::Address(pop3.port());
        ASSERT_EQ(connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        hung.push_back(s);
        ASSERT_NE(loopback::Exchange(s, "", "\r\n").find("+OK"), std::string::npos) << i;
        loopback::Exchange(s, "USER " + User() + "\r\n", "\r\n");
        ASSERT_NE(loopback::Exchange(s, "PASS " + Pass() + "\r\n", "\r\n").find("+OK Logged in."), std::string::npos);
        loopback::SendAll(s, "RETR 1\r\n");  // and never read again
    }
    int extra = pop3.Connect();
    EXPECT_TRUE(loopback::SeesClose(extra, 3s)) << "all 32 slots are taken";
    close(extra);

    EXPECT_TRUE(test.WaitForLog("process POP3 end", kClientSlotCount, 40s)) << "stalled sessions end";
    EXPECT_EQ(clients.Pop3(pop3.port()), "1 " + digest + "\n") << "and the protocol serves again";
    for (int s : hung) close(s);
}

TEST_F(ProxyFaultsTest, AQuietTimeOutEndsTheWholeSessionBeforeTheClientTalksIntoIt) {
    WriteResult({Upstream("plain", false, 10)});
    ListenerRun imap(test.ctx, IMAP4, RelayTimeouts{2});
    int client = imap.Connect();
    ASSERT_NE(loopback::Exchange(client, "", "\r\n").find("* OK"), std::string::npos);
    ASSERT_NE(loopback::Exchange(client, "a1 LOGIN " + User() + " " + Pass() + "\r\n", "a1 ").find("a1 OK"), std::string::npos);
    auto lastReply = Clock::now();
    // Past one quiet period after the last exchange, a client (a mail
    // program's keep-alive) speaks: it must get an answer or see the close,
    // never silence.
    std::this_thread::sleep_for(2500ms);
    std::string reply = loopback::Exchange(client, "a2 NOOP\r\n", "a2 ");
    bool answered = reply.find("a2 OK") != std::string::npos;
    bool closed = !answered && loopback::SeesClose(client, 100ms);
    EXPECT_TRUE(closed) << "reply: " << reply;
    EXPECT_LT(SecondsSince(lastReply), 4.0);
    EXPECT_TRUE(test.WaitForLog("process IMAP4 end"));
    EXPECT_EQ(test.CountInLog("timeout(-6)"), 1);
    close(client);
}

}  // namespace
