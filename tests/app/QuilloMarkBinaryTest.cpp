// Black-box tests of the built quillomark executable in a directory of its own.
#include <filesystem>
#include <map>
#include <regex>
#include <sstream>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "platform/UniqueFd.h"

#include "support/ChildProcess.h"
#include "support/LoopbackPort.h"
#include "support/TempDir.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

const std::string kBinary = QM_BINARY_DIR "/quillomark";

// Loopback ports the system found free, so that nothing else on the machine
// meets the program's listeners. The reachability check goes to a closed
// loopback port without retries, so the first detection run ends at once and
// never looks a name up.
std::string Ports() {
    // All four held at once, so that the system hands out four different ones.
    int port[4] = {};
    int held[4] = {};
    for (int i = 0; i < 4; ++i) held[i] = ListenLoopback(port[i], 1);
    for (int fd : held)
        if (fd >= 0) close(fd);
    return "PORT_SMTP=" + std::to_string(port[0]) + "\nPORT_POP3=" + std::to_string(port[1]) +
           "\nPORT_IMAP4=" + std::to_string(port[2]) + "\nTEST_INTERNET_SERVER=\"127.0.0.1\"\nTEST_INTERNET_PORT=" +
           std::to_string(port[3]) + "\nTEST_INTERNET_RETRY_NUM=0\n";
}

// Four loopback ports the system found free, all different.
std::vector<int> FreePorts(int count) {
    std::vector<int> port(static_cast<std::size_t>(count)), held;
    for (int& p : port) held.push_back(ListenLoopback(p, 1));
    for (int fd : held)
        if (fd >= 0) close(fd);
    return port;
}

bool Accepts(int port) {
    UniqueFd sock(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return connect(sock.Get(), reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
}

std::map<std::string, std::string> Snapshot(const TempDir& dir) {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::directory_iterator(dir.path()))
        if (entry.is_regular_file()) files[entry.path().filename()] = dir.Read(entry.path().filename());
    return files;
}

class QuilloMarkBinaryTest : public ::testing::Test {
protected:
    bool StartFirst(const std::string& settings) {
        dir.Write("Quillomark.ini", settings);
        if (!first.Start(kBinary, {}, dir.path(), dir.File("out1.txt"))) return false;
        return WaitUntil([&] { return dir.Read("Quillomark.log").find("Start using QuilloMark") !=
                                      std::string::npos; }, 20s);
    }
    TempDir dir;
    ChildProcess first;
};

TEST_F(QuilloMarkBinaryTest, StartsRewritesBadSettingsAndWritesTheMessageFile) {
    ASSERT_TRUE(StartFirst(Ports() + "LOG_LVL=7\n"));
    EXPECT_NE(dir.Read("Quillomark.ini").find("LOG_LVL=3\n"), std::string::npos);
    EXPECT_EQ(dir.Read("Quillomark.ini").find("LOG_LVL=7"), std::string::npos);

    std::string messages = dir.Read("message_EN.txt");
    int lines = 0;
    for (char c : messages) lines += c == '\n';
    EXPECT_EQ(lines, 52) << "53 records, the last without a line end";
    EXPECT_EQ(messages.rfind("MSG_NOT_FOUND=\"N/A\"\n", 0), 0u);
    EXPECT_NE(messages.back(), '\n');

    std::istringstream log(dir.Read("Quillomark.log"));
    std::regex format(R"(\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2} \[(PROXY|DETECT|DOWNLOAD|UI)\]\[(CRITICAL|MAJOR|MINOR)\] .*)");
    int count = 0;
    for (std::string line; std::getline(log, line); ++count)
        EXPECT_TRUE(std::regex_match(line, format)) << line;
    EXPECT_GT(count, 0);
}

TEST_F(QuilloMarkBinaryTest, SecondCopyExitsAtOnceAndTouchesNoFile) {
    ASSERT_TRUE(StartFirst(Ports() + "LOG_LVL=5\n"));
    // The first copy's start-up threads log for a moment; wait until it is quiet.
    std::string settled;
    ASSERT_TRUE(WaitUntil([&] {
        std::string now = dir.Read("Quillomark.log");
        bool quiet = now == settled && now.find("auto detect end") != std::string::npos;
        settled = now;
        if (!quiet) std::this_thread::sleep_for(500ms);
        return quiet;
    }, 20s));
    auto before = Snapshot(dir);
    ChildProcess second;
    ASSERT_TRUE(second.Start(kBinary, {}, dir.path(), "/dev/null"));
    EXPECT_EQ(second.Wait(10s), 0);
    EXPECT_EQ(Snapshot(dir), before);
    EXPECT_EQ(first.Wait(0ms), -1) << "the first copy keeps running";
}

TEST_F(QuilloMarkBinaryTest, SigtermClosesTheServicesWithALastLogLine) {
    ASSERT_TRUE(StartFirst(Ports() + "LOG_LVL=5\n"));
    first.Signal(SIGTERM);
    EXPECT_EQ(first.Wait(10s), 0);
    std::string log = dir.Read("Quillomark.log");
    EXPECT_NE(log.find("[UI][DUMP] close QuilloMark\n"), std::string::npos);
    EXPECT_EQ(log.substr(log.size() - std::string("close QuilloMark\n").size()), "close QuilloMark\n")
        << "nothing is logged after the last line";
}

TEST_F(QuilloMarkBinaryTest, AKilledCopyDoesNotBlockTheNextStart) {
    ASSERT_TRUE(StartFirst(Ports() + "LOG_LVL=5\n"));
    first.Signal(SIGKILL);
    first.Wait(10s);
    fs::remove(dir.File("Quillomark.log"));
    ChildProcess next;
    ASSERT_TRUE(next.Start(kBinary, {}, dir.path(), dir.File("out2.txt")));
    EXPECT_TRUE(WaitUntil([&] { return dir.Read("Quillomark.log").find("Start using QuilloMark") !=
                                       std::string::npos; }, 20s));
    next.Signal(SIGINT);
    EXPECT_EQ(next.Wait(10s), 0);
    EXPECT_NE(dir.Read("Quillomark.log").find("close QuilloMark"), std::string::npos);
}

struct Answer {
    const char* what;
    std::vector<std::string> args;
    int exitCode;
    const char* printed;  // found in what the program printed
};

class CommandLineAnswerTest : public ::testing::TestWithParam<Answer> {};

// Nothing starts: no file appears or changes and no port is listened on.
TEST_P(CommandLineAnswerTest, AnswersWithoutStartingAnything) {
    const Answer& a = GetParam();
    TempDir dir, out;
    std::vector<int> ports = FreePorts(4);
    dir.Write("Quillomark.ini", "PORT_SMTP=" + std::to_string(ports[0]) + "\nPORT_POP3=" +
                                    std::to_string(ports[1]) + "\nPORT_IMAP4=" + std::to_string(ports[2]) +
                                    "\nLOG_LVL=9\n");
    auto before = Snapshot(dir);
    ChildProcess run;
    ASSERT_TRUE(run.Start(kBinary, a.args, dir.path(), out.File("out.txt")));
    EXPECT_EQ(run.Wait(10s), a.exitCode);
    EXPECT_NE(out.Read("out.txt").find(a.printed), std::string::npos) << out.Read("out.txt");
    EXPECT_EQ(Snapshot(dir), before);
    EXPECT_FALSE(Accepts(ports[0]));
}

INSTANTIATE_TEST_SUITE_P(
    Options, CommandLineAnswerTest,
    ::testing::Values(Answer{"Help", {"--help"}, 0, "Usage: quillomark"},
                      Answer{"HelpWinsOverTheRest", {"--hidden", "--help", "--bogus"}, 0, "--import FILE"},
                      Answer{"Version", {"--version"}, 0, "QuilloMark V2.0"},
                      Answer{"UnknownOption", {"--bogus"}, 2, "unknown option --bogus"},
                      Answer{"StrayArgument", {"Quillomark.conf"}, 2, "unexpected argument"},
                      Answer{"ImportWithoutFiles", {"--import"}, 2, "--import needs"},
                      Answer{"ImportOfABrokenList", {"--import", "/nonexistent/Quillomark.conf"}, 1,
                             "nothing imported"}),
    [](const ::testing::TestParamInfo<Answer>& info) { return info.param.what; });

const char* const kCurrentList = "2020/01/01 00:00:00\nMAIL old.test 25 110 143 old\n";
const char* const kSupportList = "2021/01/01 00:00:00\nMAIL-SSL new.test 465 995 993 new\n";
const char* const kBrokenList = "2021/01/01 00:00:00\nMAIL-SSL new.test 465\n";

class ImportTest : public QuilloMarkBinaryTest {
protected:
    int Import(const std::vector<std::string>& names) {
        std::vector<std::string> args{"--import"};
        for (const std::string& name : names) args.push_back(support.File(name));
        ChildProcess run;
        if (!run.Start(kBinary, args, dir.path(), support.File("out.txt"))) return -1;
        return run.Wait(20s);
    }
    TempDir support;
};

TEST_F(ImportTest, AStoppedCopyGetsTheFilesForItsNextStartWithBackups) {
    dir.Write("Quillomark.ini", "LOG_LVL=3\n");
    dir.Write("Quillomark.conf", kCurrentList);
    support.Write("Quillomark.conf", kBrokenList);
    support.Write("Quillomark.ini", "LOG_LVL=5\n");
    EXPECT_EQ(Import({"Quillomark.ini", "Quillomark.conf"}), 1);
    EXPECT_NE(support.Read("out.txt").find("not a connection list"), std::string::npos);
    EXPECT_EQ(dir.Read("Quillomark.conf"), kCurrentList);
    EXPECT_EQ(dir.Read("Quillomark.ini"), "LOG_LVL=3\n");
    EXPECT_FALSE(fs::exists(dir.File("Quillomark.ini.bak")));

    support.Write("Quillomark.conf", kSupportList);
    EXPECT_EQ(Import({"Quillomark.ini", "Quillomark.conf"}), 0);
    EXPECT_EQ(dir.Read("Quillomark.conf"), kSupportList);
    EXPECT_EQ(dir.Read("Quillomark.conf.bak"), kCurrentList);
    EXPECT_EQ(dir.Read("Quillomark.ini"), "LOG_LVL=5\n");
    EXPECT_EQ(dir.Read("Quillomark.ini.bak"), "LOG_LVL=3\n");
}

TEST_F(ImportTest, ARunningCopyAppliesTheFilesAtOnce) {
    dir.Write("Quillomark.conf", kCurrentList);
    ASSERT_TRUE(StartFirst(Ports() + "LOG_LVL=5\n"));
    support.Write("Quillomark.ini", "THIS IS NO SETTINGS FILE\n");
    EXPECT_EQ(Import({"Quillomark.ini"}), 1);
    EXPECT_NE(support.Read("out.txt").find("not a settings file"), std::string::npos);
    EXPECT_FALSE(fs::exists(dir.File("Quillomark.ini.bak")));

    const int moved = FreePorts(1)[0];
    support.Write("Quillomark.ini", Ports() + "PORT_SMTP=" + std::to_string(moved) + "\nLOG_LVL=5\n");
    support.Write("Quillomark.conf", kSupportList);
    EXPECT_EQ(Import({"Quillomark.ini", "Quillomark.conf"}), 0) << support.Read("out.txt");
    EXPECT_NE(support.Read("out.txt").find("running copy"), std::string::npos);
    EXPECT_EQ(dir.Read("Quillomark.conf"), kSupportList);
    EXPECT_TRUE(WaitUntil([&] { return Accepts(moved); }, 20s)) << "the SMTP listener moved";
    // The reachability check fails at once here, so the run ends before the
    // list is read; that it ran is what counts.
    EXPECT_TRUE(WaitUntil([&] {
        std::string log = dir.Read("Quillomark.log");
        std::size_t imported = log.find("support files imported");
        return imported != std::string::npos && log.find("auto detect end", imported) != std::string::npos;
    }, 20s)) << "a detection run started on the imported files";
    EXPECT_EQ(first.Wait(0ms), -1) << "the running copy runs on";
}

}  // namespace
