// The TLS ports between real mail clients, which trust the exported
// certificate as their only CA, and the real mail servers behind a TLS
// upstream: the clients on their TLS-only defaults, a client that trickles
// its handshake, and a CA the clients do not know.
#include <sys/stat.h>

#include <chrono>
#include <fstream>

#include <gtest/gtest.h>

#include "catalogue/DetectResult.h"
#include "context/ServerCertificate.h"
#include "integration/ProxyServerSuite.h"
#include "net/LocalCertificate.h"
#include "proxy/ListenerRun.h"
#include "proxy/MailClients.h"
#include "proxy/ProxyTestContext.h"
#include "support/ChildProcess.h"

namespace {

using namespace proxytest;
using namespace std::chrono_literals;

class ProxyTlsPortsTest : public ProxyServerSuite {
protected:
    void SetUp() override {
        ProxyServerSuite::SetUp();
        if (HasFatalFailure()) return;
        ProtocalInfoList list;
        list.PushBack(Upstream("tls", true, 10));
        ASSERT_EQ(WriteDetectResult(test.ctx, list, false), CatalogueResult::Ok);
        ASSERT_TRUE(RefreshServerCertificate(test.ctx));
        exported = test.dir.File("exported.pem");
        std::ofstream(exported) << ReadCertificateFile(ServerCertificatePath(test.ctx));
    }

    std::string Run(const std::string& command) const {
        std::string out;
        int rc = RunCommand("timeout 60 " + command + " 2>&1", &out);
        return rc == 0 ? out : "failed (" + std::to_string(rc) + "): " + out;
    }
    std::string User() const { return Servers().Get("PROBE_USER"); }
    std::string Pass() const { return Servers().Get("PROBE_PASS"); }

    ProxyTestContext test;
    MailClients clients{Servers()};
    std::string exported;
};

TEST_F(ProxyTlsPortsTest, CurlAndPythonTrustTheExportedCertificateAndRefuseAnotherCa) {
    ListenerRun imap(test.ctx, IMAP4, RelayTimeouts{180}, 0, true);
    ListenerRun pop3(test.ctx, POP3, RelayTimeouts{180}, 0, true);
    CertificatePair other;
    ASSERT_EQ(MakeLocalCertificate(std::time(nullptr), 30, other), NetResult::Ok);
    std::string otherCa = test.dir.File("other.pem");
    std::ofstream(otherCa) << other.certificatePem;

    EXPECT_EQ(clients.Curl("imaps", imap.port(), "INBOX", "--cacert " + exported + " -X 'SEARCH ALL'").rfind("* SEARCH", 0),
              0u);
    EXPECT_EQ(clients.Curl("imaps", imap.port(), "INBOX", "--cacert " + otherCa + " -X 'SEARCH ALL'"),
              "curl failed (60)");

    std::string python = "/usr/bin/python3 " QM_SOURCE_DIR "/tests/integration/tls_client_check.py " +
                         std::to_string(pop3.port()) + " ";
    std::string trusted = Run(python + exported);
    EXPECT_NE(trusted.find("greeting +OK Dovecot ready."), std::string::npos) << trusted;
    EXPECT_NE(trusted.find("version TLSv1.3"), std::string::npos) << trusted;
    EXPECT_NE(trusted.find("reused True"), std::string::npos) << "session tickets: " << trusted;
    EXPECT_EQ(Run(python + otherCa).rfind("refused", 0), 0u);
    EXPECT_TRUE(test.WaitForLog("process IMAP4S choose server Type=1, Code=tls"));
    EXPECT_TRUE(test.WaitForLog("ERROR: process POP3S client handshake failed", 1)) << test.Log();
    EXPECT_EQ(test.CountInLog("process POP3S choose server"), 2) << "a refused client costs no upstream";
}

TEST_F(ProxyTlsPortsTest, NeomuttSendsAndFetchmailFetchesOnTheirDefaults) {
    ListenerRun smtp(test.ctx, SMTP, RelayTimeouts{180}, 0, true);
    ListenerRun pop3(test.ctx, POP3, RelayTimeouts{180}, 0, true);
    ListenerRun imap(test.ctx, IMAP4, RelayTimeouts{180}, 0, true);
    const std::string subject = "tls-ports-" + std::to_string(std::time(nullptr));
    const std::string address = Servers().Get("PROBE_ADDR");

    std::ofstream(test.dir.File("muttrc")) << "set smtp_url=\"smtps://" << User() << "@localhost:" << smtp.port()
                                           << "/\"\nset smtp_pass=\"" << Pass() << "\"\nset certificate_file=\""
                                           << exported << "\"\nset from=\"" << address << "\"\nset record=\"\"\n";
    std::ofstream(test.dir.File("body")) << "sent over the TLS port\n";
    std::string sent = Run("env HOME=" + test.dir.path() + " neomutt -n -F " + test.dir.File("muttrc") + " -s " +
                           subject + " -- " + address + " < " + test.dir.File("body"));
    EXPECT_EQ(sent.rfind("failed", 0), std::string::npos) << sent;

    for (const char* protocol : {"POP3", "IMAP"}) {
        int port = protocol[0] == 'P' ? pop3.port() : imap.port();
        std::string out = test.dir.File(std::string("fetched-") + protocol);
        std::string rc = test.dir.File(std::string("fetchmailrc-") + protocol);
        std::ofstream(rc) << "set no syslog\npoll localhost service " << port << " protocol " << protocol
                          << " user \"" << User() << "\" password \"" << Pass() << "\" ssl sslcertfile \"" << exported
                          << "\" keep fetchall mda \"/bin/sh -c 'cat >> " << out << "'\"\n";
        chmod(rc.c_str(), 0600);
        std::string fetched;
        std::string run = "env HOME=" + test.dir.path() + " fetchmail -f " + rc + " -i " + test.dir.File("ids");
        bool arrived = WaitUntil(
            [&] {
                fetched = Run(run);
                std::ifstream in(out);
                std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
                return all.find("Subject: " + subject) != std::string::npos;
            },
            20s);
        EXPECT_TRUE(arrived) << protocol << ": " << fetched;
    }
    EXPECT_EQ(test.CountInLog("client handshake failed"), 0) << test.Log();
}

TEST_F(ProxyTlsPortsTest, AClientThatTricklesItsHelloIsCutAtTheHandshakeBound) {
    ListenerRun smtp(test.ctx, SMTP, RelayTimeouts{180}, 0, true, 1);
    int client = smtp.Connect();
    // The first bytes of a TLS record header, one every 200 ms.
    const char hello[] = "\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03";
    auto start = std::chrono::steady_clock::now();
    bool closed = false;
    for (size_t i = 0; i + 1 < sizeof hello && !closed; ++i) {
        loopback::SendAll(client, std::string(1, hello[i]));
        closed = loopback::SeesClose(client, 200ms);
    }
    if (!closed) closed = loopback::SeesClose(client, 3s);
    EXPECT_TRUE(closed);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
    close(client);
    EXPECT_TRUE(test.WaitForLog("ERROR: process SMTPS client handshake failed(-6)")) << test.Log();
    EXPECT_TRUE(test.WaitForLog("process SMTPS free index 0"));
    EXPECT_EQ(test.CountInLog("choose server"), 0) << "no upstream for a client that never finished";
}

}  // namespace
