// Black-box test of the built quillomark with real mail servers: started in a
// directory that holds a result file, it relays real mail clients to the
// best upstream of that file, plain or TLS, byte for byte.
#include <gtest/gtest.h>

#include "catalogue/DetectResult.h"
#include "proxy/LoopbackSockets.h"
#include "proxy/MailClients.h"
#include "proxy/RecordingUpstreams.h"
#include "support/ChildProcess.h"
#include "support/LoopbackPort.h"
#include "support/MailServerSuite.h"
#include "support/OutcomeText.h"
#include "support/TempDir.h"

namespace {

using namespace proxytest;

using namespace std::chrono_literals;

const std::string kBinary = QM_BINARY_DIR "/quillomark";

class ProxyBinaryTest : public MailServerSuite {
protected:

    void WriteSettings(bool preferTls) {
        // Every address the run may reach is on this machine: the
        // reachability test goes to a closed local port and fails at once.
        dir.Write("Quillomark.ini", "PORT_SMTP=" + std::to_string(smtpPort) + "\nPORT_POP3=" +
                                        std::to_string(pop3Port) + "\nPORT_IMAP4=" + std::to_string(imapPort) + "\n" +
                                        kNoTlsPorts + "LOG_LVL=5\nLOG_SIZE=100000\nIS_PREFER_SSL=" + (preferTls ? "1" : "0") +
                                        "\nTEST_INTERNET_SERVER=\"127.0.0.1\"\nTEST_INTERNET_PORT=" +
                                        std::to_string(loopback::FreePort()) +
                                        "\nTEST_INTERNET_RETRY_NUM=0\nTEST_INTERNET_RETRY_INTERVAL=1\n");
    }
    void WriteCandidates() {
        CatalogueContext writer;
        writer.baseDirectory = dir.path();
        ProtocalInfoList list;
        ProtocalInfo plain = Candidate("plain-upstream", 0, false, 10);
        plain.Port[SMTP] = Servers().Port("SMTP_PORT");
        plain.Port[POP3] = Servers().Port("POP3_PORT");
        plain.Port[IMAP4] = Servers().Port("IMAP_PORT");
        ProtocalInfo tls = Candidate("tls-upstream", 0, true, 20);
        tls.Port[SMTP] = Servers().Port("SMTPS_PORT");
        tls.Port[POP3] = Servers().Port("POP3S_PORT");
        tls.Port[IMAP4] = Servers().Port("IMAPS_PORT");
        list.PushBack(plain);
        list.PushBack(tls);
        ASSERT_EQ(WriteDetectResult(writer, list, false), CatalogueResult::Ok);
    }
    bool StartQuilloMark(ChildProcess& app) {
        if (!app.Start(kBinary, {}, dir.path(), dir.File("out.txt"))) return false;
        return WaitUntil([&] { return dir.Read("Quillomark.log").find("proxy IMAP4 at port") != std::string::npos; },
                         20s);
    }
    void StopQuilloMark(ChildProcess& app) {
        app.Signal(SIGTERM);
        EXPECT_EQ(app.Wait(10s), 0);
    }
    // Delivery takes a moment after the server's 250.
    std::string Pop3Eventually(int messages) {
        std::string out;
        WaitUntil([&] {
            out = clients.Pop3(pop3Port);
            return static_cast<int>(std::count(out.begin(), out.end(), '\n')) >= messages;
        }, 10s);
        return out;
    }

    TempDir dir;
    MailClients clients{Servers()};
    int smtpPort = loopback::FreePort();
    int pop3Port = loopback::FreePort();
    int imapPort = loopback::FreePort();
};

TEST_F(ProxyBinaryTest, MailThroughPlainAndTlsUpstreamsArrivesByteForByte) {
    ASSERT_FALSE(dir.Exists("Quillomark.conf")) << "the first detection run must fail without results";
    WriteCandidates();
    std::string first = clients.MakeMessage(dir.File("first.eml"), 5 << 20, "first");
    std::string second = clients.MakeMessage(dir.File("second.eml"), 5 << 20, "second");
    ASSERT_EQ(first.size(), 64u) << first;

    // Ranked order: the plain upstream serves every protocol.
    WriteSettings(false);
    ChildProcess app;
    ASSERT_TRUE(StartQuilloMark(app)) << dir.Read("out.txt");
    ASSERT_TRUE(clients.Send(smtpPort, dir.File("first.eml")));
    EXPECT_EQ(Pop3Eventually(1), "1 " + first + "\n");
    EXPECT_EQ(clients.Imap(imapPort), "1 " + first + "\n");
    EXPECT_EQ(clients.Curl("imap", imapPort, "INBOX", "-X 'SEARCH ALL'"), "* SEARCH 1\r\n");
    StopQuilloMark(app);
    std::string log = dir.Read("Quillomark.log");
    for (const char* name : {"SMTP", "POP3", "IMAP4"})
        EXPECT_NE(log.find(std::string("process ") + name + " choose server Type=0, Code=plain-upstream"),
                  std::string::npos) << name;
    EXPECT_EQ(log.find("IsSSL=1"), std::string::npos);

    // Preferring TLS: the TLS upstream, though ranked second.
    dir.Write("Quillomark.log", "");
    WriteSettings(true);
    ChildProcess again;
    ASSERT_TRUE(StartQuilloMark(again)) << dir.Read("out.txt");
    ASSERT_TRUE(clients.Send(smtpPort, dir.File("second.eml")));
    EXPECT_EQ(Pop3Eventually(2), "1 " + first + "\n2 " + second + "\n");
    EXPECT_EQ(clients.Imap(imapPort), "1 " + first + "\n2 " + second + "\n");
    std::string list = clients.Curl("pop3", pop3Port, "");
    EXPECT_EQ(list.rfind("1 ", 0), 0u) << list;
    StopQuilloMark(again);
    log = dir.Read("Quillomark.log");
    for (const char* name : {"SMTP", "POP3", "IMAP4"})
        EXPECT_NE(log.find(std::string("process ") + name + " choose server Type=1, Code=tls-upstream"),
                  std::string::npos) << name;
    EXPECT_EQ(log.find("IsSSL=0"), std::string::npos);
    EXPECT_EQ(log.find("ERROR: receive data"), std::string::npos) << log;
    EXPECT_EQ(log.find("ERROR: send data"), std::string::npos) << log;
    EXPECT_EQ(log.find("unmatch"), std::string::npos) << log;
}

}  // namespace
