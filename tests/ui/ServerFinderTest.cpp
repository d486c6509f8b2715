// "Find servers…" against a real name server and a real web server: dnsmasq
// answers the SRV records in a network namespace of the test's own (it needs
// port 53 on the loopback address, which no other test or program then
// meets), and a local HTTP server serves the autoconfig document.
#include <pwd.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QList>
#include <QSignalSpy>

#include <climits>
#include <cstdlib>
#include <filesystem>

#include "support/ChildProcess.h"
#include "support/HttpTestServer.h"
#include "ui/ServerFinder.h"
#include "ui/WindowFixture.h"

namespace {

using namespace std::chrono_literals;

constexpr const char* kInNamespace = "QM_FINDER_IN_NAMESPACE";

const char* const kAutoconfig = R"(<?xml version="1.0"?>
<clientConfig version="1.1">
  <emailProvider id="mail.test">
    <domain>mail.test</domain>
    <incomingServer type="imap">
      <hostname>other.mail.test</hostname><port>993</port><socketType>SSL</socketType>
    </incomingServer>
    <incomingServer type="pop3">
      <hostname>other.mail.test</hostname><port>995</port><socketType>SSL</socketType>
    </incomingServer>
    <incomingServer type="imap">
      <hostname>half.mail.test</hostname><port>143</port><socketType>STARTTLS</socketType>
    </incomingServer>
    <outgoingServer type="smtp">
      <hostname>other.mail.test</hostname><port>465</port><socketType>SSL</socketType>
    </outgoingServer>
  </emailProvider>
</clientConfig>
)";

std::string Rows(const QList<ProtocalInfo>& rows) {
    std::string text;
    for (const ProtocalInfo& r : rows)
        text += std::string(LinkTypeName(r.Type)) + " " + r.Dest + " " + std::to_string(r.Port[SMTP]) + " " +
                std::to_string(r.Port[POP3]) + " " + std::to_string(r.Port[IMAP4]) + " " + r.Code + "\n";
    return text;
}

std::string SelfPath() {
    char path[PATH_MAX] = {};
    ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    return length > 0 ? std::string(path, static_cast<std::size_t>(length)) : std::string();
}

// dnsmasq takes a user by name only; it stays the user the test runs as.
std::string UserName() {
    const passwd* user = getpwuid(getuid());
    return user != nullptr ? user->pw_name : "root";
}

std::string DnsmasqPath() {
    for (const char* path : {"/usr/sbin/dnsmasq", "/usr/bin/dnsmasq", "/sbin/dnsmasq"})
        if (std::filesystem::exists(path)) return path;
    return std::string();
}

class ServerFinderTest : public WindowFixture {};

TEST_F(ServerFinderTest, ProposesOneRowPerHostAndWayServingAllThreeProtocols) {
    if (DnsmasqPath().empty()) GTEST_SKIP() << "dnsmasq is not installed (scripts/install-deps)";
    if (std::getenv(kInNamespace) == nullptr) {
        // Runs itself again in a namespace of its own, where port 53 is free.
        TempDir out;
        ChildProcess inner;
        setenv(kInNamespace, "1", 1);
        ASSERT_TRUE(inner.Start("/usr/bin/unshare",
                                {"-rn", "sh", "-c", "ip link set lo up && exec \"$0\" --gtest_filter=\"$1\"",
                                 SelfPath(), "ServerFinderTest.ProposesOneRowPerHostAndWayServingAllThreeProtocols"},
                                dir.path(), out.File("inner.txt")));
        unsetenv(kInNamespace);
        const int status = inner.Wait(60s);
        const std::string output = out.Read("inner.txt");
        if (status != 0 && output.find("PASSED") == std::string::npos &&
            output.find("unshare") != std::string::npos)
            GTEST_SKIP() << "no network namespace can be made here: " << output;
        EXPECT_EQ(status, 0) << output;
        EXPECT_NE(output.find("[  PASSED  ] 1 test"), std::string::npos) << output;
        return;
    }
    HttpTestServer web;
    web.Serve("/mail.test/config-v1.1.xml", kAutoconfig);
    ChildProcess dns;
    ASSERT_TRUE(dns.Start(DnsmasqPath(),
                          {"--no-daemon", "--log-facility=-", "--conf-file=/dev/null", "--no-resolv", "--no-hosts", "--port=53",
                           "--listen-address=127.0.0.1", "--bind-interfaces", "--user=" + UserName(),
                           "--pid-file=", "--srv-host=_submission._tcp.mail.test,mx.mail.test,587,0,1",
                           "--srv-host=_submissions._tcp.mail.test,mx.mail.test,465,0,1",
                           "--srv-host=_imap._tcp.mail.test,mx.mail.test,143,0,1",
                           "--srv-host=_imaps._tcp.mail.test,mx.mail.test,993,0,1",
                           "--srv-host=_pop3._tcp.mail.test,mx.mail.test,110,0,1",
                           "--srv-host=_pop3s._tcp.mail.test,mx.mail.test,995,0,1",
                           // A lower priority answer for the same service is not taken.
                           "--srv-host=_imaps._tcp.mail.test,backup.mail.test,993,10,1"},
                          dir.path(), dir.File("dnsmasq.txt")));
    ASSERT_TRUE(WaitUntil([&] { return dir.Read("dnsmasq.txt").find("started") != std::string::npos; }, 10s))
        << dir.Read("dnsmasq.txt");

    ServerFinder finder;
    finder.SetNameserver(QStringLiteral("127.0.0.1"));
    finder.SetAutoconfigUrls({QStringLiteral("http://127.0.0.1:%1/%2/config-v1.1.xml").arg(web.port()).arg("%1"),
                              QStringLiteral("http://127.0.0.1:%1/nothing/%2").arg(web.port()).arg("%1")});
    QList<ProtocalInfo> rows;
    bool done = false;
    QObject::connect(&finder, &ServerFinder::finished, [&](const QList<ProtocalInfo>& found) {
        rows = found;
        done = true;
    });
    auto started = std::chrono::steady_clock::now();
    finder.Start(QStringLiteral("someone@Mail.Test"));
    ASSERT_TRUE(Eventually([&] { return done; }, 15s));
    EXPECT_LT(std::chrono::steady_clock::now() - started, 7s) << "every look-up is bounded by 5 s";
    EXPECT_EQ(Rows(rows),
              "MAIL mx.mail.test 587 110 143 mail.test-plain\n"
              "MAIL-SSL mx.mail.test 465 995 993 mail.test-tls\n"
              "MAIL-SSL other.mail.test 465 995 993 mail.test-tls\n");
    dns.Signal(SIGTERM);
    dns.Wait(5s);
}

TEST_F(ServerFinderTest, ADomainWithoutAnswersEndsWithinTheBoundAndProposesNothing) {
    ServerFinder finder;
    // A name server that never answers: the documentation range is routed nowhere.
    finder.SetNameserver(QStringLiteral("192.0.2.1"));
    finder.SetAutoconfigUrls({QStringLiteral("http://192.0.2.1/%1/config-v1.1.xml")});
    bool done = false;
    QList<ProtocalInfo> rows;
    QObject::connect(&finder, &ServerFinder::finished, [&](const QList<ProtocalInfo>& found) {
        rows = found;
        done = true;
    });
    auto started = std::chrono::steady_clock::now();
    finder.Start(QStringLiteral("someone@nowhere.test"));
    ASSERT_TRUE(Eventually([&] { return done; }, 20s));
    EXPECT_LT(std::chrono::steady_clock::now() - started, 8s);
    EXPECT_TRUE(rows.isEmpty());
}

}  // namespace
