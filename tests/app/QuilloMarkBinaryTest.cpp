// Black-box tests of the built quillomark executable in a directory of its own.
#include <filesystem>
#include <map>
#include <regex>
#include <cstring>
#include <sstream>

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "platform/UniqueFd.h"

#include "net/LocalCertificate.h"
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
           "\nPORT_IMAP4=" + std::to_string(port[2]) + "\n" + kNoTlsPorts + "TEST_INTERNET_SERVER=\"127.0.0.1\"\nTEST_INTERNET_PORT=" +
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
                                    std::to_string(ports[1]) + "\nPORT_IMAP4=" + std::to_string(ports[2]) + "\n" + kNoTlsPorts +
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

// For scripts: the PEM and its fingerprint, the same on the next call, and
// the pair made first when there is none.
TEST(PrintCertificateTest, PrintsThePemAndFingerprintMakingThePairOnce) {
    TempDir dir, out;
    std::string printed[2];
    for (int i = 0; i < 2; ++i) {
        const std::string name = "out" + std::to_string(i) + ".txt";
        ChildProcess run;
        ASSERT_TRUE(run.Start(kBinary, {"--print-certificate"}, dir.path(), out.File(name)));
        EXPECT_EQ(run.Wait(10s), 0);
        printed[i] = out.Read(name);
    }
    const std::string pem = dir.Read("Quillomark-cert.pem");
    EXPECT_EQ(printed[0], pem + "SHA-256 fingerprint: " + CertificateFingerprint(pem) + "\n");
    EXPECT_EQ(printed[1], printed[0]);
    struct stat key {};
    ASSERT_EQ(stat(dir.File("Quillomark-key.pem").c_str(), &key), 0);
    EXPECT_EQ(key.st_mode & 0777, 0600u);
    EXPECT_FALSE(fs::exists(dir.File("Quillomark.log"))) << "nothing else starts";
}

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

// A process of another user, made for the test: a child in a user namespace
// of its own whose root is mapped to the unprivileged uid 65534. It takes
// the single-instance place under dir before QuilloMark starts there, then
// tries to reach the socket of a running copy.
class ForeignUser {
public:
    static constexpr uid_t kUid = 65534;

    // False (with why) where the system does not let the test map that uid.
    bool Start(const std::string& dir, std::string& why) {
        if (pipe(toParent_) != 0 || pipe(toChild_) != 0) return why = "pipe", false;
        pid_ = fork();
        if (pid_ < 0) return why = "fork", false;
        if (pid_ == 0) Child(dir);
        close(toParent_[1]);
        close(toChild_[0]);
        char c = 0;
        if (read(toParent_[0], &c, 1) != 1 || c != 'u') return why = "unshare(CLONE_NEWUSER) was refused", false;
        std::string map = "0 " + std::to_string(kUid) + " 1\n";
        for (const char* file : {"uid_map", "gid_map"}) {
            std::string path = "/proc/" + std::to_string(pid_) + "/" + file;
            int fd = open(path.c_str(), O_WRONLY);
            bool written = fd >= 0 && write(fd, map.data(), map.size()) == static_cast<ssize_t>(map.size());
            if (fd >= 0) close(fd);
            if (!written) return why = std::string("writing ") + file + " was refused", false;
        }
        return Ask('g') == 'r' || (why = "the other user could not take the place", false);
    }
    // 'y' when it reached the socket at path and had a reply, 'n' when not.
    char TryToReach(const std::string& path) {
        path_ = path;
        return Ask('c');
    }
    ~ForeignUser() {
        if (pid_ <= 0) return;
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }

private:
    char Ask(char command) {
        char answer = 0;
        std::string message = std::string(1, command) + path_ + "\n";
        if (write(toChild_[1], message.data(), message.size()) < 0) return 0;
        pollfd entry{toParent_[0], POLLIN, 0};
        if (poll(&entry, 1, 10000) != 1 || read(toParent_[0], &answer, 1) != 1) return 0;
        return answer;
    }
    [[noreturn]] void Child(const std::string& dir) {
        close(toParent_[0]);
        close(toChild_[1]);
        char c = unshare(CLONE_NEWUSER) == 0 ? 'u' : 'x';
        (void)!write(toParent_[1], &c, 1);
        char line[512];
        for (;;) {
            ssize_t n = read(toChild_[0], line, sizeof line - 1);
            if (n <= 0) _exit(0);
            line[n - 1] = '\0';
            char answer = 'n';
            if (line[0] == 'g') answer = TakePlace(dir) ? 'r' : 'n';
            if (line[0] == 'c') answer = Reach(line + 1) ? 'y' : 'n';
            (void)!write(toParent_[1], &answer, 1);
        }
    }
    // Becomes the mapped uid, then makes the place its own and open to all.
    static bool TakePlace(const std::string& dir) {
        if (setresgid(0, 0, 0) != 0 || setresuid(0, 0, 0) != 0) return false;
        std::string place = dir + "/.quillomark";
        if (mkdir(place.c_str(), 0777) != 0 || chmod(place.c_str(), 0777) != 0) return false;
        int s = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::string path = place + "/quillomark-v2.0-beta.socket";
        std::memcpy(address.sun_path, path.c_str(), path.size());
        return bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && listen(s, 4) == 0 &&
               chmod(path.c_str(), 0777) == 0;
    }
    static bool Reach(const char* path) {
        int s = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::size_t length = std::strlen(path);
        if (length >= sizeof address.sun_path) return false;
        std::memcpy(address.sun_path, path, length);
        if (connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return false;
        (void)!write(s, "show\n\n", 6);
        pollfd entry{s, POLLIN, 0};
        char reply[16];
        return poll(&entry, 1, 3000) == 1 && read(s, reply, sizeof reply) > 0;
    }

    pid_t pid_ = -1;
    int toParent_[2] = {-1, -1};
    int toChild_[2] = {-1, -1};
    std::string path_;
};

// Another user who is first to the place under a shared working directory
// neither keeps QuilloMark from starting nor hears from it; and a copy that
// listens in its user's runtime directory cannot be reached by that user.
TEST_F(QuilloMarkBinaryTest, AnotherUserNeitherBlocksTheStartNorReachesTheCopy) {
    ASSERT_EQ(chmod(dir.path().c_str(), 0777), 0);  // a shared directory, as /tmp is
    ForeignUser other;
    std::string why;
    if (!other.Start(dir.path(), why))
        GTEST_SKIP() << "cannot make another uid in a user namespace here (" << why
                     << "); run as root outside a user namespace";
    struct stat info {};
    ASSERT_EQ(stat(dir.File(".quillomark").c_str(), &info), 0);
    ASSERT_NE(info.st_uid, getuid());

    ASSERT_TRUE(StartFirst(Ports() + "LOG_LVL=5\n")) << "the other user's place does not block the start";
    EXPECT_NE(dir.Read("out1.txt").find("belongs to another user"), std::string::npos) << dir.Read("out1.txt");

    TempDir runtime;
    ASSERT_EQ(chmod(runtime.path().c_str(), 0700), 0);
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    TempDir home;
    home.Write("Quillomark.ini", Ports());
    setenv("XDG_RUNTIME_DIR", runtime.path().c_str(), 1);
    ChildProcess own;
    bool started = own.Start(kBinary, {}, home.path(), home.File("out.txt"));
    unsetenv("XDG_RUNTIME_DIR");
    ASSERT_TRUE(started);
    std::string socket = runtime.File("quillomark-v2.0-beta.socket");
    ASSERT_TRUE(WaitUntil([&] { return fs::exists(socket); }, 20s));
    EXPECT_EQ(other.TryToReach(socket), 'n');
}

}  // namespace
