// Black-box tests of the built quillomark executable in a directory of its own.
#include <filesystem>
#include <map>
#include <regex>
#include <cstring>
#include <sstream>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

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

namespace {

// Everything the program made in dir, with its permission bits; the settings
// file the test wrote is left out.
std::map<std::string, unsigned> MadeModes(const TempDir& dir) {
    std::map<std::string, unsigned> modes;
    for (const auto& entry : fs::recursive_directory_iterator(dir.path())) {
        std::string name = fs::relative(entry.path(), dir.path());
        if (name == "Quillomark.ini" || name.rfind("out", 0) == 0) continue;
        struct stat info {};
        if (lstat(entry.path().c_str(), &info) == 0 && !S_ISSOCK(info.st_mode)) modes[name] = info.st_mode & 07777;
    }
    return modes;
}

TEST_F(QuilloMarkBinaryTest, EverythingItWritesIsPrivateWhateverTheUmask) {
    mode_t old = umask(022);
    bool started = StartFirst(Ports() + "LOG_LVL=5\n");
    umask(old);
    ASSERT_TRUE(started);
    ASSERT_TRUE(WaitUntil([&] { return dir.Read("Quillomark.log").find("auto detect end") != std::string::npos; }, 20s));
    std::map<std::string, unsigned> modes = MadeModes(dir);
    ASSERT_TRUE(modes.count("Quillomark.log"));
    ASSERT_TRUE(modes.count(".quillomark")) << "the single-instance directory under the working directory";
    for (const auto& [name, mode] : modes)
        EXPECT_EQ(fs::is_directory(dir.File(name)) ? 0700u : 0600u, mode) << name;
}

TEST_F(QuilloMarkBinaryTest, SecondCopySaysTheWindowWasBroughtForward) {
    ASSERT_TRUE(StartFirst(Ports() + "LOG_LVL=5\n"));
    TempDir elsewhere;
    ChildProcess second;
    ASSERT_TRUE(second.Start(kBinary, {}, dir.path(), elsewhere.File("err.txt")));
    EXPECT_EQ(second.Wait(10s), 0);
    EXPECT_EQ(elsewhere.Read("err.txt"), "QuilloMark is already running; its window was brought forward\n");
}

// A copy that holds the channel but never answers: the next start says so
// within the bound instead of ending quietly as if it had been shown.
TEST_F(QuilloMarkBinaryTest, ACopyThatDoesNotAnswerIsReportedAndTheStartFails) {
    ASSERT_EQ(mkdir(dir.File(".quillomark").c_str(), 0700), 0);
    int mute = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::string path = dir.File(".quillomark/quillomark-v2.0-beta.socket");
    ASSERT_LT(path.size(), sizeof address.sun_path);
    std::memcpy(address.sun_path, path.c_str(), path.size());
    ASSERT_EQ(bind(mute, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(mute, 4), 0);
    dir.Write("Quillomark.ini", Ports());
    auto start = std::chrono::steady_clock::now();
    ChildProcess second;
    ASSERT_TRUE(second.Start(kBinary, {}, dir.path(), dir.File("out2.txt")));
    EXPECT_EQ(second.Wait(20s), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 15s);
    EXPECT_NE(dir.Read("out2.txt").find("QuilloMark is already running but did not answer within 2 seconds"),
              std::string::npos)
        << dir.Read("out2.txt");
    close(mute);
}

}  // namespace
