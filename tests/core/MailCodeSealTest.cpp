// The sealing tool and the settings loader must agree byte for byte: what
// quillomark-seal prints, pasted into the settings file, loads back as the
// text that went in.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <openssl/evp.h>

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/CoreContext.h"
#include "core/UserConfigFile.h"
#include "support/ContextFixture.h"
#include "support/OutcomeText.h"

extern char** environ;

namespace {

struct SealRun {
    int exitCode = -1;
    std::string out;
};

SealRun RunSeal(const std::vector<std::string>& args) {
    std::string program = QM_BINARY_DIR "/quillomark-seal";
    std::vector<char*> argv{program.data()};
    std::vector<std::string> copies(args);
    for (std::string& a : copies) argv.push_back(a.data());
    argv.push_back(nullptr);

    SealRun run;
    int pipeFds[2];
    if (pipe(pipeFds) != 0) return run;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    char buffer[4096];
    ssize_t n;
    while ((n = read(pipeFds[0], buffer, sizeof buffer)) > 0) run.out.append(buffer, std::size_t(n));
    close(pipeFds[0]);
    int status = 0;
    if (spawned == 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status)) {
        run.exitCode = WEXITSTATUS(status);
    }
    return run;
}

class MailCodeSealTest : public CoreContextTest {
protected:
    MailCodeSealTest() : CoreContextTest(10'000'000) { BuildMailCodeKeys(ctx.mailCodeKeys); }
    std::string Log() { return ClosedLog(); }
};

TEST_F(MailCodeSealTest, AllEightFieldsRoundTrip) {
    const std::string longest(127, 'L');
    SealRun run = RunSeal({"USER_NAME=Quill User", "LOGIN_NAME=probe@example.org",
                           "LOGIN_PASS=p4ss=word\"x", "MAIL_FROM=" + longest, "RCPT_TO=12345678",
                           "LOG_RCPT_TO=support@example.org", "DOWNLOAD_SERVER=lists.example.org",
                           "TEST_MAIL_CODE8=/quillomark/Quillomark.conf"});
    ASSERT_EQ(0, run.exitCode);
    EXPECT_EQ(0u, run.out.find("TEST_MAIL_CODE1=\""));
    dir.Write("Quillomark.ini", run.out);
    ASSERT_EQ(CoreResult::Ok, LoadUserConfig(ctx));
    const UserConfig& c = ctx.userConfig;
    EXPECT_STREQ("Quill User", c.USER_NAME);
    EXPECT_STREQ("probe@example.org", c.LOGIN_NAME);
    EXPECT_STREQ("p4ss=word\"x", c.LOGIN_PASS);
    EXPECT_EQ(longest, c.MAIL_FROM);
    EXPECT_STREQ("12345678", c.RCPT_TO);
    EXPECT_STREQ("support@example.org", c.LOG_RCPT_TO);
    EXPECT_STREQ("lists.example.org", c.DOWNLOAD_SERVER);
    EXPECT_STREQ("/quillomark/Quillomark.conf", c.DOWNLOAD_PATH);
    std::string log = Log();
    EXPECT_EQ(std::string::npos, log.find("read mail code failed"));
    EXPECT_EQ(std::string::npos, log.find("ERROR"));
}

TEST_F(MailCodeSealTest, PaddingOnlyUpToWholeBlocks) {
    SealRun run = RunSeal({"RCPT_TO=", "RCPT_TO=12345678", "RCPT_TO=123456789"});
    ASSERT_EQ(0, run.exitCode);
    std::vector<std::string> lines;
    for (std::size_t at = 0, end; (end = run.out.find('\n', at)) != std::string::npos; at = end + 1) {
        lines.push_back(run.out.substr(at, end - at));
    }
    ASSERT_EQ(3u, lines.size());
    EXPECT_EQ("TEST_MAIL_CODE5=\"\"", lines[0]);
    EXPECT_EQ(16u + 18u, lines[1].size());
    EXPECT_EQ(32u + 18u, lines[2].size());

    dir.Write("Quillomark.ini", lines[0] + "\n");
    ASSERT_EQ(CoreResult::Ok, LoadUserConfig(ctx));
    EXPECT_STREQ("", ctx.userConfig.RCPT_TO);
    EXPECT_EQ(std::string::npos, Log().find("read mail code failed"));
}

TEST_F(MailCodeSealTest, OutputIsStandardTripleDesInUpperCase) {
    SealRun run = RunSeal({"LOGIN_NAME=standard"});
    ASSERT_EQ(0, run.exitCode);
    const MailCodeKeys& keys = ctx.mailCodeKeys;
    unsigned char key[24];
    std::memcpy(key, keys.key1, 8);
    std::memcpy(key + 8, keys.key2, 8);
    std::memcpy(key + 16, keys.key3, 8);
    unsigned char cipher[16];
    int length = 0, tail = 0;
    EVP_CIPHER_CTX* evp = EVP_CIPHER_CTX_new();
    EVP_EncryptInit_ex(evp, EVP_des_ede3_cbc(), nullptr, key, keys.iv);
    EVP_CIPHER_CTX_set_padding(evp, 0);
    EVP_EncryptUpdate(evp, cipher, &length, reinterpret_cast<const unsigned char*>("standard"), 8);
    EVP_EncryptFinal_ex(evp, cipher + length, &tail);
    EVP_CIPHER_CTX_free(evp);
    ASSERT_EQ(8, length + tail);
    char hex[17];
    for (int i = 0; i < 8; ++i) std::snprintf(hex + 2 * i, 3, "%02X", cipher[i]);
    EXPECT_EQ("TEST_MAIL_CODE2=\"" + std::string(hex) + "\"\n", run.out);
}

TEST_F(MailCodeSealTest, SameTextUnderTwoKeysDecodesAlike) {
    SealRun run = RunSeal({"TEST_MAIL_CODE6=same text", "DOWNLOAD_SERVER=same text"});
    ASSERT_EQ(0, run.exitCode);
    std::size_t lineEnd = run.out.find('\n');
    std::string code6 = run.out.substr(0, lineEnd + 1);
    std::string code7 = run.out.substr(lineEnd + 1);
    EXPECT_EQ(code6.substr(code6.find('"')), code7.substr(code7.find('"')))
        << "every value starts from the same vector";
    // Reversed order in the file: each value is independent of the others.
    dir.Write("Quillomark.ini", code7 + code6);
    ASSERT_EQ(CoreResult::Ok, LoadUserConfig(ctx));
    EXPECT_STREQ("same text", ctx.userConfig.LOG_RCPT_TO);
    EXPECT_STREQ("same text", ctx.userConfig.DOWNLOAD_SERVER);
}

TEST_F(MailCodeSealTest, DecodingFailureEmptiesTheField) {
    std::snprintf(ctx.userConfig.LOGIN_PASS, kConfigTextSize, "stale");
    std::snprintf(ctx.userConfig.LOGIN_NAME, kConfigTextSize, "kept");
    dir.Write("Quillomark.ini",
              "TEST_MAIL_CODE3=\"0011223344556677AA\"\nTEST_MAIL_CODE2=0011223344556677\n");
    ASSERT_EQ(CoreResult::Ok, LoadUserConfig(ctx));
    EXPECT_STREQ("", ctx.userConfig.LOGIN_PASS);
    EXPECT_STREQ("kept", ctx.userConfig.LOGIN_NAME) << "without quotes the field stays as it was";
    EXPECT_NE(std::string::npos, Log().find("[UI][MAJOR] read mail code failed"));
}

TEST(MailCodeSealToolTest, RefusesBadArguments) {
    EXPECT_EQ(2, RunSeal({"MAIL_FROM=" + std::string(128, 'x')}).exitCode);
    EXPECT_EQ(2, RunSeal({"USER_MAIL=me@example.org"}).exitCode);
    EXPECT_EQ(2, RunSeal({"TEST_MAIL_CODE9=x"}).exitCode);
    EXPECT_EQ(2, RunSeal({"LOGIN_NAME"}).exitCode);
    EXPECT_EQ(2, RunSeal({}).exitCode);
    SealRun mixed = RunSeal({"LOGIN_NAME=ok", "NOPE=x"});
    EXPECT_EQ(2, mixed.exitCode);
    EXPECT_EQ("", mixed.out) << "nothing is printed when any argument is wrong";

    SealRun help = RunSeal({"--help"});
    EXPECT_EQ(0, help.exitCode);
    EXPECT_NE(std::string::npos, help.out.find("usage: quillomark-seal NAME=text"));
}

}  // namespace
