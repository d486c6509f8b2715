// The whole road on one machine: QuilloMark itself ranks the fixture's
// candidates at start-up, and a mail client through its proxy ports sends and
// fetches mail over the first-ranked one.
#include <chrono>
#include <csignal>
#include <string>

#include <gtest/gtest.h>

#include "integration/DetectRealServers.h"
#include "support/LoopbackPort.h"
#include "support/TempDir.h"

namespace {

using namespace detect_real;

class DetectEndToEndTest : public WebHostSuite {
protected:
    // Runs a curl command line; its exit status, its output in output.
    int Curl(const std::string& arguments, std::string& output) {
        std::string out = dir.File("curl.out");
        int status = std::system(("/usr/bin/curl -sS --max-time 30 " + arguments + " >" + out + " 2>&1").c_str());
        output = ReadWhole(out);
        return status;
    }

    TempDir dir;
};


TEST_F(DetectEndToEndTest, ProxyFollowsTheRankingOfTheStartUpRun) {
    const MailServers& s = Servers();
    std::string maildir = s.Get("MAILDIR_PROBE");
    ClearMaildir(maildir);
    ASSERT_TRUE(SeedMaildir(maildir, s.Get("PROBE_ADDR"), 1));
    int smtpPort = FreePort();
    int pop3Port = FreePort();
    std::string ports = "PORT_SMTP=" + std::to_string(smtpPort) + "\nPORT_POP3=" +
                        std::to_string(pop3Port) + "\nPORT_IMAP4=" + std::to_string(FreePort()) + "\n" + kNoTlsPorts;
    std::string settings = SettingsFile(s, Web().port(), s.Get("PROBE_PASS"), ports);
    ASSERT_NE(settings.find("TEST_MAIL_CODE3="), std::string::npos) << "quillomark-seal failed";
    dir.Write("Quillomark.ini", settings);
    dir.Write("Quillomark.conf", "2009/03/05 14:07:09\nMAIL 127.0.0.1 " + std::to_string(FreePort()) +
                                     " " + std::to_string(FreePort()) + " 143 dead-1\n" +
                                     PlainLine(s, "plain-1") + TlsLine(s, "ssl-1"));

    ChildProcess quillomark;
    ASSERT_TRUE(quillomark.Start(std::string(QM_BINARY_DIR) + "/quillomark", {}, dir.path(),
                                 dir.File("quillomark.out")));
    bool ended = false;
    WaitUntil(
        [&] {
            ended = quillomark.Wait(std::chrono::milliseconds(0)) != -1;
            return ended || dir.Read("quillomark.out").find("auto detect end\r\n") != std::string::npos;
        },
        std::chrono::seconds(60));
    // Only one QuilloMark runs per user: a copy started elsewhere ends this one at once.
    ASSERT_FALSE(ended) << "quillomark ended early (another copy of this user running?):\n"
                        << dir.Read("quillomark.out");
    ASSERT_NE(dir.Read("quillomark.out").find("auto detect end\r\n"), std::string::npos)
        << dir.Read("quillomark.out");
    std::string result = dir.Read("detect_result.log");
    // Stamp, local time, then the ranking: the two live servers, then the dead one.
    std::size_t third = result.find('\n', result.find('\n') + 1) + 1;
    std::string firstRecord = result.substr(third, result.find('\n', third) - third);
    std::string firstCode = firstRecord.substr(firstRecord.rfind(' ') + 1);
    ASSERT_TRUE(firstCode == "plain-1" || firstCode == "ssl-1") << result;
    EXPECT_NE(result.find("-1 MAIL 127.0.0.1 "), std::string::npos);
    EXPECT_EQ(result.substr(result.rfind("dead-1")), "dead-1\n");
    // Without a window the run's progress and summary go to standard output.
    std::string out = dir.Read("quillomark.out");
    std::size_t summary = out.find("best: " + firstCode + " (127.0.0.1) ");
    EXPECT_LT(out.find("probing 1 of 3: dead-1 (127.0.0.1)\r\n"), out.find("probed 1 of 3: dead-1 FAILD\r\n"));
    EXPECT_LT(out.find("probed 1 of 3: dead-1 FAILD\r\n"), out.find("probing 2 of 3: plain-1"));
    EXPECT_LT(out.find("probed 3 of 3: ssl-1 "), summary);
    EXPECT_NE(out.find(" ms; 2 of 3 candidates passed\r\n", summary), std::string::npos) << out;
    EXPECT_LT(summary, out.find("auto detect end\r\n"));
    std::string history = dir.Read("detect_history.log");
    EXPECT_NE(history.find(" dead-1 127.0.0.1 -1\n"), std::string::npos) << history;
    EXPECT_NE(history.find(" ssl-1 127.0.0.1 "), std::string::npos) << history;
    ASSERT_TRUE(WaitUntil([&] { return CountMessages(maildir) >= 3; }, std::chrono::seconds(10)));

    // A mail client on the proxy ports.
    dir.Write("mail.txt", "Subject: through the proxy\r\n\r\nHello via QuilloMark.\r\n");
    std::string user = "--user '" + s.Get("PROBE_USER") + ":" + s.Get("PROBE_PASS") + "' ";
    std::string output;
    ASSERT_EQ(Curl("smtp://127.0.0.1:" + std::to_string(smtpPort) + "/client " + user +
                       "--login-options AUTH=LOGIN --mail-from " + s.Get("PROBE_ADDR") +
                       " --mail-rcpt " + s.Get("PROBE_ADDR") + " -T " + dir.File("mail.txt"),
                   output),
              0)
        << output;
    EXPECT_TRUE(WaitUntil([&] { return CountMessages(maildir) >= 4; }, std::chrono::seconds(10)));
    ASSERT_EQ(Curl("pop3://127.0.0.1:" + std::to_string(pop3Port) + "/ " + user, output), 0) << output;
    EXPECT_NE(output.find("4 "), std::string::npos) << output;

    std::string pane = dir.Read("quillomark.out");
    EXPECT_NE(pane.find("process SMTP choose server Code=" + firstCode + ","), std::string::npos) << pane;
    EXPECT_NE(pane.find("process POP3 choose server Code=" + firstCode + ","), std::string::npos) << pane;

    quillomark.Signal(SIGTERM);
    EXPECT_EQ(quillomark.Wait(std::chrono::seconds(10)), 0);
}

}  // namespace
