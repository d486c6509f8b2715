// Detection runs and probes against the real mail servers of the fixture,
// a real web host for the reachability check and settings sealed with
// quillomark-seal, all on loopback.
#include <chrono>
#include <cstring>
#include <optional>
#include <string>
#include <thread>

#include <set>

#include <gtest/gtest.h>
#include <openssl/pem.h>

#include "catalogue/DetectResult.h"
#include "context/AppContext.h"
#include "core/MailCodeKeys.h"
#include "core/UserConfigFile.h"
#include "detect/AutoDetectThread.h"
#include "detect/AutoMailChecker.h"
#include "detect/CheckInternet.h"
#include "integration/DetectRealServers.h"
#include "net/TlsClientContext.h"
#include "support/ContextFixture.h"
#include "support/OutcomeText.h"
#include "support/RecordingNotifier.h"

namespace {

using namespace detect_real;
using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

class DetectRealServersTest : public ContextFixture<AppContext, WebHostSuite> {
protected:
    static void SetUpTestSuite() {
        WebHostSuite::SetUpTestSuite();
        if (!Ready()) return;
        missing_ = new WebHost;
        if (!missing_->Start(Servers().dir() + "/empty-www", false))
            MarkNotReady("the web host without an index did not start");
    }
    static void TearDownTestSuite() {
        delete missing_;
        missing_ = nullptr;
        WebHostSuite::TearDownTestSuite();
    }

    void SetUp() override {
        MailServerSuite::SetUp();
        if (HasFatalFailure()) return;
        ctx.mainWindow = &pane;
        BuildMailCodeKeys(ctx.mailCodeKeys);
        Settings(Servers().Get("PROBE_PASS"));
        maildir = Servers().Get("MAILDIR_PROBE");
        ClearMaildir(maildir);
    }

    // Settings as the system loads them, from a file made with the seal tool.
    void Settings(const std::string& password) {
        std::string file = SettingsFile(Servers(), Web().port(), password);
        ASSERT_NE(file.find("TEST_MAIL_CODE3="), std::string::npos) << "quillomark-seal failed";
        dir.Write("Quillomark.ini", file);
        ASSERT_EQ(LoadUserConfig(ctx), CoreResult::Ok);
        CheckUserConfig(ctx);
        ASSERT_STREQ(ctx.userConfig.LOGIN_PASS, password.c_str());
    }
    void WriteList(const std::string& lines) {
        dir.Write("Quillomark.conf", "2009/03/05 14:07:09\n" + lines);
    }
    // The key of the fixture's TLS servers, as the known-servers record holds it.
    static std::string FixtureFingerprint() {
        FILE* in = std::fopen(Servers().Get("TLS_CERT").c_str(), "r");
        if (in == nullptr) return "";
        X509* cert = PEM_read_X509(in, nullptr, nullptr, nullptr);
        std::fclose(in);
        std::string print = PublicKeyFingerprint(cert);
        X509_free(cert);
        return print;
    }
    bool MailboxReaches(int count) {
        return WaitUntil([&] { return CountMessages(maildir) >= count; }, std::chrono::seconds(10));
    }
    ProtocalInfo Candidate(bool tls) {
        ProtocalInfo record;
        record.Type = tls ? MAIL_SSL : MAIL;
        record.IsSSL = tls;
        record.SetDest("127.0.0.1");
        record.SetCode(tls ? "fixture-tls" : "fixture-plain");
        record.Port[SMTP] = Servers().Port(tls ? "SMTPS_PORT" : "SMTP_PORT");
        record.Port[POP3] = Servers().Port(tls ? "POP3S_PORT" : "POP3_PORT");
        record.Port[IMAP4] = Servers().Port(tls ? "IMAPS_PORT" : "IMAP_PORT");
        return record;
    }

    static WebHost* missing_;

    RecordingNotifier pane;
    std::string maildir;
};

WebHost* DetectRealServersTest::missing_ = nullptr;

TEST_F(DetectRealServersTest, OneRunRanksPlainAndTlsAheadOfDeadCandidates) {
    ASSERT_TRUE(SeedMaildir(maildir, Servers().Get("PROBE_ADDR"), 1));
    WriteList("MAIL 127.0.0.1 " + std::to_string(FreePort()) + " " + std::to_string(FreePort()) +
              " 143 closed-1\n" + "MAIL localhost " + Servers().Get("SMTP_PORT") + " " +
              Servers().Get("POP3_PORT") + " 143 named-1\n" + PlainLine(Servers(), "plain-1") +
              TlsLine(Servers(), "ssl-1"));

    ASSERT_EQ(AutoDetectThread(ctx, DetectRequest{}), DetectionResult::Ok) << pane.Pane();

    ProtocalInfoList result;
    int32_t stamp = 0;
    ASSERT_EQ(ReadDetectResult(ctx, stamp, result, false), CatalogueResult::Ok);
    EXPECT_EQ(stamp, ctx.resultTimes.Get(false));
    ASSERT_EQ(result.Count(), 4);
    std::vector<ProtocalInfo> ranked(result.begin(), result.end());
    // The candidate given by name reaches the same servers as plain-1 and
    // is ranked on its merits, not failed for being a name.
    std::set<std::string> passed;
    for (int i = 0; i < 3; ++i) {
        passed.insert(ranked[static_cast<std::size_t>(i)].Code);
        EXPECT_GE(ranked[static_cast<std::size_t>(i)].LinkCost, 0) << ranked[static_cast<std::size_t>(i)].Code;
    }
    EXPECT_EQ(passed, (std::set<std::string>{"plain-1", "ssl-1", "named-1"}));
    EXPECT_GE(ranked[1].LinkCost, ranked[0].LinkCost);
    EXPECT_STREQ(ranked[3].Code, "closed-1");
    EXPECT_EQ(ranked[3].LinkCost, -1);
    EXPECT_STREQ(ctx.bestConnection.Get().Code, ranked[0].Code);
    EXPECT_EQ(ctx.bestConnection.Get().LinkCost, ranked[0].LinkCost);
    EXPECT_EQ(ctx.bestConnection.Get().IsSSL, ranked[0].IsSSL);
    // The seed and the three test mails.
    EXPECT_TRUE(MailboxReaches(4)) << CountMessages(maildir);
    std::string pane_ = pane.Pane();
    EXPECT_NE(pane_.find("[Connection localhost success]\r\n"), std::string::npos);
    EXPECT_NE(pane_.find("MAIL-SSL < 235 2.7.0 Authentication successful"), std::string::npos);
    EXPECT_NE(pane_.find("MAIL < +OK Logged in."), std::string::npos);
    EXPECT_EQ(pane_.find(Servers().Get("PROBE_PASS")), std::string::npos);
    // The TLS servers reached by address are known by their key from now on.
    KnownServers known;
    known.SetPath(dir.File("KnownServers.txt"));
    KnownServer smtps;
    ASSERT_TRUE(known.Find("127.0.0.1", Servers().Port("SMTPS_PORT"), smtps));
    EXPECT_EQ(smtps.fingerprint, FixtureFingerprint());
    EXPECT_TRUE(ctx.eventDetectComplete.WaitFor(std::chrono::milliseconds(0)));
}

// The fixture's certificate where another key was known (a server swapped
// by whoever sits on the path): the TLS candidate fails in its probe, with a
// line naming both keys, and sends nothing; a name without a CA behind its
// certificate fails too; a name that does not resolve keeps its -2.
TEST_F(DetectRealServersTest, ASwappedOrUnverifiedCertificateFailsItsCandidate) {
    ASSERT_TRUE(SeedMaildir(maildir, Servers().Get("PROBE_ADDR"), 1));
    const std::string other(64, 'd');
    ctx.tlsClient.Known().Store(KnownServer{"127.0.0.1", Servers().Port("SMTPS_PORT"), other, {"localhost"}});
    WriteList(TlsLine(Servers(), "ssl-1") + "MAIL-SSL localhost " + Servers().Get("SMTPS_PORT") + " " +
              Servers().Get("POP3S_PORT") + " 993 named-ssl\n" + "MAIL nowhere.invalid " +
              Servers().Get("SMTP_PORT") + " " + Servers().Get("POP3_PORT") + " 143 unknown-1\n" +
              PlainLine(Servers(), "plain-1"));
    ASSERT_EQ(AutoDetectThread(ctx, DetectRequest{}), DetectionResult::Ok) << pane.Pane();
    ProtocalInfoList result;
    int32_t stamp = 0;
    ASSERT_EQ(ReadDetectResult(ctx, stamp, result, false), CatalogueResult::Ok);
    ASSERT_EQ(result.Count(), 4);
    EXPECT_STREQ(result.First()->Code, "plain-1");
    for (const ProtocalInfo& record : result) {
        if (std::string(record.Code) != "plain-1") {
            EXPECT_EQ(record.LinkCost, -1) << record.Code;
        }
    }
    // Only plain-1's test mail arrived.
    EXPECT_TRUE(MailboxReaches(2));
    EXPECT_EQ(CountMessages(maildir), 2);
    std::string lines = pane.Pane();
    EXPECT_NE(lines.find("[Certificate of 127.0.0.1:" + Servers().Get("SMTPS_PORT") + " refused (" ),
              std::string::npos) << lines;
    EXPECT_NE(lines.find("recorded " + other + ", presented " + FixtureFingerprint()), std::string::npos);
    EXPECT_NE(lines.find("[Certificate of localhost:" + Servers().Get("SMTPS_PORT") + " refused ("),
              std::string::npos);
    EXPECT_EQ(lines.find("MAIL-SSL > HELO"), std::string::npos) << "nothing is said to a refused server";
    // The record stays as it was until the user trusts the new key.
    KnownServer kept;
    ASSERT_TRUE(ctx.tlsClient.Known().Find("127.0.0.1", Servers().Port("SMTPS_PORT"), kept));
    EXPECT_EQ(kept.fingerprint, other);
}

TEST_F(DetectRealServersTest, RefusedLoginAndEmptyMailboxGiveTheirCodes) {
    AutoMailChecker checker(ctx.userConfig, pane, ctx.tlsClient);
    ProtocalInfo plain = Candidate(false);
    ProtocalInfo secure = Candidate(true);
    EXPECT_EQ(checker.ProbePop3(&plain), CodeOf(DetectionResult::Pop3MailboxFailed));  // nothing delivered yet
    EXPECT_NE(pane.Pane().find("MAIL < (skipping...)\r\n[Connection 127.0.0.1 failed]"),
              std::string::npos);

    Settings("not-the-password");
    AutoMailChecker refused(ctx.userConfig, pane, ctx.tlsClient);
    EXPECT_EQ(refused.ProbeSmtp(&plain), CodeOf(DetectionResult::SmtpAuthFailed));
    EXPECT_EQ(refused.ProbeSmtp(&secure), CodeOf(DetectionResult::SmtpAuthFailed));
    EXPECT_NE(pane.Pane().find("MAIL < 535 5.7.8 Error: authentication failed"), std::string::npos);
    EXPECT_EQ(refused.ProbePop3(&secure), CodeOf(DetectionResult::Pop3LoginFailed));
    EXPECT_EQ(CountMessages(maildir), 0);
}

TEST_F(DetectRealServersTest, MailboxOfFiveHundredLosesItsFirstMessageAndOf499DoesNot) {
    ASSERT_TRUE(SeedMaildir(maildir, Servers().Get("PROBE_ADDR"), 500));
    AutoMailChecker checker(ctx.userConfig, pane, ctx.tlsClient);
    ProtocalInfo plain = Candidate(false);
    ASSERT_EQ(checker.ProbePop3(&plain), 0) << pane.Pane();
    EXPECT_NE(pane.Pane().find("MAIL > DELE 1\r\nMAIL < +OK Marked to be deleted."), std::string::npos);
    EXPECT_TRUE(WaitUntil([&] { return CountMessages(maildir) == 499; }, std::chrono::seconds(5)));

    pane.Clear();
    ProtocalInfo secure = Candidate(true);
    ASSERT_EQ(checker.ProbePop3(&secure), 0) << pane.Pane();
    EXPECT_EQ(pane.Pane().find("DELE"), std::string::npos);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(CountMessages(maildir), 499);
}

TEST_F(DetectRealServersTest, ReachabilityOfARealWebHost) {
    EXPECT_EQ(CheckInternet(ctx, 5000, 10000), DetectionResult::Ok);
    ctx.userConfig.TEST_INTERNET_PORT = missing_->port();
    EXPECT_EQ(CheckInternet(ctx, 5000, 10000), DetectionResult::InternetCheckFailed);
    EXPECT_NE(Log().find("ERROR: http status isn't ok"), std::string::npos);
    ctx.userConfig.TEST_INTERNET_PORT = FreePort();
    EXPECT_EQ(CheckInternet(ctx, 5000, 10000), DetectionResult::InternetCheckFailed);
    EXPECT_NE(Log().find("ERROR: check internet connection failed(7)"), std::string::npos);
    std::string unresolvable = std::string(70, 'w') + ".invalid";  // refused before any query
    ctx.userConfig.TEST_INTERNET_SERVER.Set(unresolvable.c_str());
    EXPECT_EQ(CheckInternet(ctx, 5000, 10000), DetectionResult::InternetCheckFailed);
    EXPECT_NE(Log().find("ERROR: check internet connection failed(6)"), std::string::npos);

    // A background run waits and retries; an on-demand one tells at once.
    WriteList(PlainLine(Servers(), "plain-1"));
    ctx.userConfig.TEST_INTERNET_PORT = missing_->port();
    ctx.userConfig.TEST_INTERNET_SERVER.Set("127.0.0.1");
    ctx.userConfig.TEST_INTERNET_RETRY_INTERVAL = 100;
    EXPECT_EQ(ctx.userConfig.TEST_INTERNET_RETRY_NUM, 3);
    EXPECT_EQ(AutoDetectThread(ctx, DetectRequest{}), DetectionResult::InternetUnreachable);
    std::string lines = pane.Pane();
    EXPECT_NE(lines.find("auto detect start\r\n"
                         "internet is not connectable, wait and retry num=1\r\n"
                         "internet is not connectable, wait and retry num=2\r\n"
                         "internet is not connectable, wait and retry num=3\r\n"
                         "auto detect end\r\n"),
              std::string::npos)
        << lines;
    EXPECT_TRUE(pane.Boxes().empty());

    pane.Clear();
    EXPECT_EQ(AutoDetectThread(ctx, DetectRequest{DetectMode::OnDemand}), DetectionResult::InternetUnreachable);
    ASSERT_EQ(pane.Boxes().size(), 1u);
    EXPECT_EQ(pane.Boxes()[0].second, "MSG_INTERNET_NOT_CONNECTABLE");
    EXPECT_EQ(pane.Pane().find("retry"), std::string::npos);
    EXPECT_FALSE(dir.Exists("detect_result.log"));
}

TEST_F(DetectRealServersTest, SilentTlsServerAndASecondRunDuringTheFirst) {
    ASSERT_TRUE(SeedMaildir(maildir, Servers().Get("PROBE_ADDR"), 1));
    int silentPort = FreePort();
    std::string cert = Servers().Get("TLS_CERT");
    std::string key = cert.substr(0, cert.rfind('/')) + "/key.pem";
    ChildProcess silent;
    ASSERT_TRUE(silent.Start("/usr/bin/python3",
                             {std::string(QM_SOURCE_DIR) + "/tests/integration/detect_silent_tls.py",
                              std::to_string(silentPort), cert, key},
                             dir.path(), dir.File("silent.out")));
    ASSERT_TRUE(WaitUntil([&] { return PortAnswers(silentPort); }, std::chrono::seconds(10)));
    WriteList("MAIL-SSL 127.0.0.1 " + std::to_string(silentPort) + " " + std::to_string(silentPort) +
              " 993 silent-1\n" + PlainLine(Servers(), "plain-1"));

    std::optional<DetectionResult> first;
    auto start = Clock::now();
    std::thread run([&] { first = AutoDetectThread(ctx, DetectRequest{}); });
    ASSERT_TRUE(WaitUntil([&] { return pane.Pane().find("[Connecting") != std::string::npos; },
                          std::chrono::seconds(10)));
    EXPECT_EQ(AutoDetectThread(ctx, DetectRequest{}), DetectionResult::AlreadyRunning);
    EXPECT_FALSE(dir.Exists("detect_result.log"));
    run.join();
    double seconds = SecondsSince(start);
    EXPECT_EQ(first, DetectionResult::Ok);
    EXPECT_GE(seconds, 9.5);
    EXPECT_LT(seconds, 16.0);

    ProtocalInfoList result;
    int32_t stamp = 0;
    ASSERT_EQ(ReadDetectResult(ctx, stamp, result, false), CatalogueResult::Ok);
    ASSERT_EQ(result.Count(), 2);
    EXPECT_STREQ(result.First()->Code, "plain-1");
    EXPECT_EQ((*++result.begin()).LinkCost, -1);
    EXPECT_EQ(pane.Started(), 1);
    EXPECT_EQ(pane.Finished(), 1);
    EXPECT_TRUE(ctx.eventDetectComplete.WaitFor(std::chrono::milliseconds(0)));
    EXPECT_FALSE(ctx.eventDetectComplete.WaitFor(std::chrono::milliseconds(0)));
    EXPECT_NE(Log().find("auto detect end since already a thread detecting"), std::string::npos);
}

}  // namespace
