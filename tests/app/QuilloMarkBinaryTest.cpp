// Black-box tests of the built quillomark executable in a directory of its own.
#include <filesystem>
#include <map>
#include <regex>
#include <sstream>

#include <gtest/gtest.h>

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

}  // namespace
