#include "core/UserConfigFile.h"

#include <sys/resource.h>
#include <sys/stat.h>

#include <climits>
#include <csignal>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/CoreContext.h"
#include "support/ContextFixture.h"
#include "support/FileSizeLimit.h"
#include "support/OutcomeText.h"
#include "support/TempDir.h"

namespace {

class UserConfigFileTest : public CoreContextTest {
protected:
    UserConfigFileTest() : CoreContextTest(10'000'000) { BuildMailCodeKeys(ctx.mailCodeKeys); }

    void WriteIni(const std::string& content) { dir.Write("Quillomark.ini", content); }
    std::string Ini() const { return dir.Read("Quillomark.ini"); }
    std::string Log() { return ClosedLog(); }
    CoreResult Load() {
        CoreResult rc = LoadUserConfig(ctx);
        // Keep logging everything whatever the file said about the level.
        ctx.userConfig.LOG_SIZE = 10'000'000;
        return rc;
    }
};

const std::string kFullFile =
    "PORT_SMTP=2525\n"
    "PORT_POP3=1110\n"
    "PORT_IMAP4=1143\n"
    "IS_OPEN_TUTORIAL=1\n"
    "IS_MANUAL_DETECT=0\n"
    "IS_PREFER_SSL=2\n"
    "IS_SHOW_NOTIFICATIONS=0\n"
    "LOG_LVL=4\n"
    "LOG_SIZE=1000\n"
    "LOG_REPORT_SIZE=20\n"
    "DETECT_INTERVAL=14400\n"
    "TEST_INTERNET_SERVER=\"probe.example.net\"\n"
    "TEST_INTERNET_PORT=8080\n"
    "TEST_INTERNET_RETRY_NUM=3\n"
    "TEST_INTERNET_RETRY_INTERVAL=60\n"
    "DOWNLOAD_RETRY_INTERVAL=7200\n"
    "USER_MAIL=\"me@example.org\"\n";

TEST_F(UserConfigFileTest, LoadsEveryKeyWithItsScale) {
    WriteIni(kFullFile);
    ASSERT_EQ(CoreResult::Ok, LoadUserConfig(ctx));
    const UserConfig& c = ctx.userConfig;
    EXPECT_EQ(2525, c.PORT_SMTP);
    EXPECT_EQ(1110, c.PORT_POP3);
    EXPECT_EQ(1143, c.PORT_IMAP4);
    EXPECT_TRUE(c.IS_OPEN_TUTORIAL);
    EXPECT_FALSE(c.IS_MANUAL_DETECT);
    EXPECT_TRUE(c.IS_PREFER_SSL);
    EXPECT_FALSE(c.IS_SHOW_NOTIFICATIONS);
    EXPECT_EQ(4, c.LOG_LVL);
    EXPECT_EQ(1'000'000, c.LOG_SIZE);
    EXPECT_EQ(20'000, c.LOG_REPORT_SIZE);
    EXPECT_EQ(14'400'000, c.DETECT_INTERVAL);
    EXPECT_EQ("probe.example.net", c.TEST_INTERNET_SERVER.Get());
    EXPECT_EQ(8080, c.TEST_INTERNET_PORT);
    EXPECT_EQ(3, c.TEST_INTERNET_RETRY_NUM);
    EXPECT_EQ(60'000, c.TEST_INTERNET_RETRY_INTERVAL);
    EXPECT_EQ(7'200'000, c.DOWNLOAD_RETRY_INTERVAL);
    EXPECT_EQ("me@example.org", c.USER_MAIL.Get());

    ASSERT_EQ(CoreResult::Ok, CheckUserConfig(ctx));
    EXPECT_EQ(kFullFile, Ini()) << "a valid file is left alone by the defaults pass";
    EXPECT_NE(std::string::npos, Log().find("[UI][DUMP] load user config file " + dir.path() +
                                            "/Quillomark.ini"));
}

TEST_F(UserConfigFileTest, AcceptsCarriageReturnLineEnds) {
    WriteIni("PORT_SMTP=26\r\nUSER_MAIL=\"a@b\"\r\nIS_PREFER_SSL=1\r\n");
    ASSERT_EQ(CoreResult::Ok, Load());
    EXPECT_EQ(26, ctx.userConfig.PORT_SMTP);
    EXPECT_EQ("a@b", ctx.userConfig.USER_MAIL.Get());
    EXPECT_TRUE(ctx.userConfig.IS_PREFER_SSL);
}

TEST_F(UserConfigFileTest, MissingFileGivesDefaultsInMemoryOnly) {
    EXPECT_EQ(CoreResult::SettingsUnreadable, LoadUserConfig(ctx));
    EXPECT_EQ(CoreResult::Ok, CheckUserConfig(ctx));
    const UserConfig& c = ctx.userConfig;
    EXPECT_EQ(2525, c.PORT_SMTP) << "the ports the package ships, which a user can bind";
    EXPECT_EQ(2110, c.PORT_POP3);
    EXPECT_EQ(2143, c.PORT_IMAP4);
    EXPECT_EQ(3, c.LOG_LVL) << "a log at the default level, not none";
    EXPECT_EQ(1'000'000, c.LOG_SIZE);
    EXPECT_EQ(20'000, c.LOG_REPORT_SIZE);
    EXPECT_EQ(14'400'000, c.DETECT_INTERVAL);
    EXPECT_EQ(kDefaultInternetTestServer, c.TEST_INTERNET_SERVER.Get());
    EXPECT_EQ(80, c.TEST_INTERNET_PORT);
    EXPECT_EQ(3, c.TEST_INTERNET_RETRY_NUM) << "retries as the defaults say, not none";
    EXPECT_EQ(60'000, c.TEST_INTERNET_RETRY_INTERVAL);
    EXPECT_EQ(14'400'000, c.DOWNLOAD_RETRY_INTERVAL);
    EXPECT_EQ(kDefaultListenAddress, c.LISTEN_ADDRESS.Get());
    EXPECT_FALSE(c.IS_PREFER_SSL);
    EXPECT_TRUE(c.IS_SHOW_NOTIFICATIONS) << "notifications are on unless turned off";
    EXPECT_EQ("", c.USER_MAIL.Get());
    EXPECT_FALSE(dir.Exists("Quillomark.ini"));
    EXPECT_FALSE(dir.HasEntryBeginningWith("Quillomark.ini."));
    ctx.userConfig.LOG_LVL = 5;
    EXPECT_NE(std::string::npos, Log().find("[UI][MAJOR] ERROR: open user config " + dir.path() +
                                            "/Quillomark.ini failed"));
}

TEST_F(UserConfigFileTest, KeyWithoutALineTakesItsDefaultAndTheFileStaysAsItWas) {
    ctx.userConfig.USER_MAIL.Set("kept@example.org");
    WriteIni("PORT_SMTP=2525\nIS_PREFER_SSL=1\n");
    ASSERT_EQ(CoreResult::Ok, LoadUserConfig(ctx));
    ASSERT_EQ(CoreResult::Ok, CheckUserConfig(ctx));
    const UserConfig& c = ctx.userConfig;
    EXPECT_EQ(2525, c.PORT_SMTP);
    EXPECT_EQ(2110, c.PORT_POP3);
    EXPECT_EQ(3, c.LOG_LVL);
    EXPECT_EQ(3, c.TEST_INTERNET_RETRY_NUM);
    EXPECT_EQ(60'000, c.TEST_INTERNET_RETRY_INTERVAL);
    EXPECT_EQ(kDefaultListenAddress, c.LISTEN_ADDRESS.Get());
    EXPECT_EQ("kept@example.org", c.USER_MAIL.Get()) << "a key without a default keeps what it had";
    EXPECT_EQ("PORT_SMTP=2525\nIS_PREFER_SSL=1\n", Ini());
}

TEST_F(UserConfigFileTest, PortsOutsideTheirRangeTakeTheirDefault) {
    WriteIni("PORT_SMTP=99999999999\nPORT_POP3=65536\nPORT_IMAP4=65535\nTEST_INTERNET_PORT=70000\n");
    ASSERT_EQ(CoreResult::Ok, Load());
    ASSERT_EQ(CoreResult::Ok, CheckUserConfig(ctx));
    EXPECT_EQ(2525, ctx.userConfig.PORT_SMTP);
    EXPECT_EQ(2110, ctx.userConfig.PORT_POP3);
    EXPECT_EQ(65535, ctx.userConfig.PORT_IMAP4);
    EXPECT_EQ(80, ctx.userConfig.TEST_INTERNET_PORT);
    EXPECT_EQ("PORT_SMTP=99999999999\nPORT_POP3=65536\nPORT_IMAP4=65535\nTEST_INTERNET_PORT=80\n", Ini())
        << "a listener port is replaced in memory, with a warning; the probe port by the defaults pass";

    EXPECT_EQ(CoreResult::Ok, ModifyUserConfig(ctx, "PORT_SMTP", "65536"));
    EXPECT_EQ(2525, ctx.userConfig.PORT_SMTP);
    EXPECT_NE(std::string::npos, Log().find("ERROR: modify user config PORT_SMTP to illegal value 65536"));
}

TEST_F(UserConfigFileTest, ListenAddressIsAnIPv4AddressOrTheDefault) {
    WriteIni("LISTEN_ADDRESS=\"0.0.0.0\"\n");
    ASSERT_EQ(CoreResult::Ok, Load());
    CheckUserConfig(ctx);
    EXPECT_EQ("0.0.0.0", ctx.userConfig.LISTEN_ADDRESS.Get());

    EXPECT_EQ(CoreResult::Ok, ModifyUserConfig(ctx, "LISTEN_ADDRESS", "localhost"));
    EXPECT_EQ("0.0.0.0", ctx.userConfig.LISTEN_ADDRESS.Get()) << "the listeners bind numbers only";
    EXPECT_EQ(CoreResult::Ok, ModifyUserConfig(ctx, "LISTEN_ADDRESS", "192.168.1.20"));
    EXPECT_EQ("LISTEN_ADDRESS=\"192.168.1.20\"\n", Ini());

    for (const char* bad : {"\"\"", "\"lan\"", "\"300.1.1.1\"", "0.0.0.0"}) {
        WriteIni(std::string("LISTEN_ADDRESS=") + bad + "\n");
        ctx.userConfig.LISTEN_ADDRESS.Set("");
        ASSERT_EQ(CoreResult::Ok, Load());
        CheckUserConfig(ctx);
        EXPECT_EQ(kDefaultListenAddress, ctx.userConfig.LISTEN_ADDRESS.Get()) << bad;
    }
    EXPECT_EQ("LISTEN_ADDRESS=\"127.0.0.1\"\n", Ini());
}

TEST_F(UserConfigFileTest, DefaultsPassRewritesOnlyExistingLines) {
    WriteIni("LOG_LVL=7\nDETECT_INTERVAL=0\nLOG_SIZE=5\nTEST_INTERNET_RETRY_NUM=0\n");
    ASSERT_EQ(CoreResult::Ok, LoadUserConfig(ctx));
    EXPECT_EQ(7, ctx.userConfig.LOG_LVL) << "the load stores without range checks";
    EXPECT_EQ(0, ctx.userConfig.DETECT_INTERVAL);
    EXPECT_EQ(5000, ctx.userConfig.LOG_SIZE);

    ASSERT_EQ(CoreResult::Ok, CheckUserConfig(ctx));
    EXPECT_EQ(3, ctx.userConfig.LOG_LVL);
    EXPECT_EQ(14'400'000, ctx.userConfig.DETECT_INTERVAL);
    EXPECT_EQ(5000, ctx.userConfig.LOG_SIZE);
    EXPECT_EQ(0, ctx.userConfig.TEST_INTERNET_RETRY_NUM) << "0 retries is allowed at start-up";
    EXPECT_EQ(2525, ctx.userConfig.PORT_SMTP);
    EXPECT_EQ("LOG_LVL=3\nDETECT_INTERVAL=14400\nLOG_SIZE=5\nTEST_INTERNET_RETRY_NUM=0\n", Ini());
}

TEST_F(UserConfigFileTest, LeadingIntegerRules) {
    WriteIni("PORT_SMTP=25abc\nPORT_POP3=abc\nPORT_IMAP4=  +144\nTEST_INTERNET_PORT=-5\n"
             "IS_OPEN_TUTORIAL=-1\nIS_MANUAL_DETECT=yes\n");
    ASSERT_EQ(CoreResult::Ok, Load());
    EXPECT_EQ(25, ctx.userConfig.PORT_SMTP);
    EXPECT_EQ(2110, ctx.userConfig.PORT_POP3) << "no number is no port";
    EXPECT_EQ(144, ctx.userConfig.PORT_IMAP4);
    EXPECT_EQ(-5, ctx.userConfig.TEST_INTERNET_PORT);
    EXPECT_FALSE(ctx.userConfig.IS_OPEN_TUTORIAL);
    EXPECT_FALSE(ctx.userConfig.IS_MANUAL_DETECT);
    CheckUserConfig(ctx);
    EXPECT_EQ(80, ctx.userConfig.TEST_INTERNET_PORT);
    EXPECT_NE(std::string::npos, Ini().find("TEST_INTERNET_PORT=80\n"));
}

TEST_F(UserConfigFileTest, NumbersBeyond32BitsHoldTheNearest32BitValue) {
    WriteIni("LOG_SIZE=3000000\nDETECT_INTERVAL=99999999999999999999999\nPORT_SMTP=4294967321\n"
             "PORT_POP3=-99999999999\nLOG_REPORT_SIZE=-3000000\nIS_PREFER_SSL=99999999999\n");
    ASSERT_EQ(CoreResult::Ok, LoadUserConfig(ctx));
    EXPECT_EQ(INT32_MAX, ctx.userConfig.LOG_SIZE);
    EXPECT_EQ(INT32_MAX, ctx.userConfig.DETECT_INTERVAL);
    EXPECT_EQ(2525, ctx.userConfig.PORT_SMTP) << "no wrap-around to 25";
    EXPECT_EQ(2110, ctx.userConfig.PORT_POP3);
    EXPECT_EQ(INT32_MIN, ctx.userConfig.LOG_REPORT_SIZE);
    EXPECT_TRUE(ctx.userConfig.IS_PREFER_SSL);
    CheckUserConfig(ctx);
    EXPECT_EQ(20'000, ctx.userConfig.LOG_REPORT_SIZE);

    ModifyUserConfig(ctx, "LOG_REPORT_SIZE", "9999999");
    EXPECT_EQ(INT32_MAX, ctx.userConfig.LOG_REPORT_SIZE);
}

TEST_F(UserConfigFileTest, KeyIsMatchedExactly) {
    WriteIni("PORT_SMTP =2600\nport_smtp=2700\n");
    ASSERT_EQ(CoreResult::Ok, Load());
    EXPECT_EQ(2525, ctx.userConfig.PORT_SMTP) << "no line for the key itself";
    CheckUserConfig(ctx);
    EXPECT_EQ(2525, ctx.userConfig.PORT_SMTP);
    std::string log = Log();
    EXPECT_NE(std::string::npos,
              log.find("[UI][MINOR] ERROR: user config find unrecognized field name at "
                       "line=PORT_SMTP =2600\n"));
    EXPECT_NE(std::string::npos,
              log.find("ERROR: user config find unrecognized field name at line=port_smtp=2700\n"));
}

TEST_F(UserConfigFileTest, QuotedTexts) {
    ctx.userConfig.USER_MAIL.Set("kept@example.org");
    WriteIni("USER_MAIL=\"a=b@example.org\"\n"
             "TEST_INTERNET_SERVER= \"in\"side\" \n");
    ASSERT_EQ(CoreResult::Ok, Load());
    EXPECT_EQ("kept@example.org", ctx.userConfig.USER_MAIL.Get())
        << "the value stops at the second = and so holds one quote only";
    EXPECT_EQ("in\"side", ctx.userConfig.TEST_INTERNET_SERVER.Get()) << "first to last quote";

    WriteIni("USER_MAIL=no quotes\nTEST_INTERNET_SERVER=\"\"\n");
    ASSERT_EQ(CoreResult::Ok, Load());
    EXPECT_EQ("kept@example.org", ctx.userConfig.USER_MAIL.Get());
    EXPECT_EQ("", ctx.userConfig.TEST_INTERNET_SERVER.Get());
    CheckUserConfig(ctx);
    EXPECT_EQ(kDefaultInternetTestServer, ctx.userConfig.TEST_INTERNET_SERVER.Get());
    EXPECT_EQ("USER_MAIL=no quotes\nTEST_INTERNET_SERVER=\"" +
                  std::string(kDefaultInternetTestServer) + "\"\n",
              Ini());
}

TEST_F(UserConfigFileTest, TextsLongerThan127AreCut) {
    std::string longText(300, 'x');
    WriteIni("USER_MAIL=\"" + longText + "\"\nLOG_LVL=5\n");
    ASSERT_EQ(CoreResult::Ok, Load());
    EXPECT_EQ(std::string(127, 'x'), ctx.userConfig.USER_MAIL.Get());

    ModifyUserConfig(ctx, "TEST_INTERNET_SERVER", std::string(200, 'h').c_str());
    EXPECT_EQ(std::string(127, 'h'), ctx.userConfig.TEST_INTERNET_SERVER.Get());
    ModifyUserConfig(ctx, "USER_MAIL", std::string(130, 'y').c_str());
    EXPECT_EQ(std::string(127, 'y'), ctx.userConfig.USER_MAIL.Get());
    EXPECT_EQ("USER_MAIL=\"" + std::string(127, 'y') + "\"\nLOG_LVL=5\n", Ini())
        << "the file carries what memory holds";
}

TEST_F(UserConfigFileTest, LastDuplicateWinsAndModifyReplacesAll) {
    WriteIni("PORT_SMTP=1\nLOG_LVL=5\nPORT_SMTP=2\n");
    ASSERT_EQ(CoreResult::Ok, Load());
    EXPECT_EQ(2, ctx.userConfig.PORT_SMTP);
    EXPECT_EQ(CoreResult::Ok, ModifyUserConfig(ctx, "PORT_SMTP", "30"));
    EXPECT_EQ(30, ctx.userConfig.PORT_SMTP);
    EXPECT_EQ("PORT_SMTP=30\nLOG_LVL=5\nPORT_SMTP=30\n", Ini());
}

TEST_F(UserConfigFileTest, ModifyWritesTheCallersTextAndScales) {
    WriteIni("LOG_REPORT_SIZE=20\nUSER_MAIL=\"old@x\"\nIS_PREFER_SSL=0\n");
    EXPECT_EQ(CoreResult::Ok, ModifyUserConfig(ctx, "LOG_REPORT_SIZE", "30"));
    EXPECT_EQ(30'000, ctx.userConfig.LOG_REPORT_SIZE);
    EXPECT_EQ(CoreResult::Ok, ModifyUserConfig(ctx, "USER_MAIL", "new@example.org"));
    EXPECT_EQ("new@example.org", ctx.userConfig.USER_MAIL.Get());
    EXPECT_EQ(CoreResult::Ok, ModifyUserConfig(ctx, "IS_PREFER_SSL", "1"));
    EXPECT_TRUE(ctx.userConfig.IS_PREFER_SSL);
    EXPECT_EQ("LOG_REPORT_SIZE=30\nUSER_MAIL=\"new@example.org\"\nIS_PREFER_SSL=1\n", Ini());
    EXPECT_FALSE(dir.HasEntryBeginningWith("Quillomark.ini."));
}

TEST_F(UserConfigFileTest, ModifyOfKeyWithoutLineChangesMemoryOnly) {
    WriteIni("PORT_SMTP=25\n");
    EXPECT_EQ(CoreResult::Ok, ModifyUserConfig(ctx, "IS_PREFER_SSL", "1"));
    EXPECT_TRUE(ctx.userConfig.IS_PREFER_SSL);
    EXPECT_EQ("PORT_SMTP=25\n", Ini());

    CoreContext restarted;
    restarted.baseDirectory = dir.path();
    ASSERT_EQ(CoreResult::Ok, LoadUserConfig(restarted));
    EXPECT_FALSE(restarted.userConfig.IS_PREFER_SSL);
}

TEST_F(UserConfigFileTest, IllegalValuesChangeNothing) {
    const std::string file = "LOG_LVL=5\nPORT_SMTP=25\nTEST_INTERNET_RETRY_NUM=0\n";
    WriteIni(file);
    ASSERT_EQ(CoreResult::Ok, Load());
    EXPECT_EQ(CoreResult::Ok, ModifyUserConfig(ctx, "LOG_LVL", "6"));
    EXPECT_EQ(CoreResult::Ok, ModifyUserConfig(ctx, "LOG_LVL", "-1"));
    EXPECT_EQ(CoreResult::Ok, ModifyUserConfig(ctx, "PORT_SMTP", "0"));
    EXPECT_EQ(CoreResult::Ok, ModifyUserConfig(ctx, "PORT_SMTP", "abc"));
    EXPECT_EQ(CoreResult::Ok, ModifyUserConfig(ctx, "TEST_INTERNET_RETRY_NUM", "0"));
    EXPECT_EQ(5, ctx.userConfig.LOG_LVL);
    EXPECT_EQ(25, ctx.userConfig.PORT_SMTP);
    EXPECT_EQ(file, Ini());
    EXPECT_EQ(CoreResult::Ok, ModifyUserConfig(ctx, "LOG_LVL", "0")) << "0 is a legal level";
    EXPECT_EQ(0, ctx.userConfig.LOG_LVL);
    EXPECT_EQ("LOG_LVL=0\nPORT_SMTP=25\nTEST_INTERNET_RETRY_NUM=0\n", Ini());

    std::string log = Log();
    EXPECT_NE(std::string::npos, log.find("[UI][MINOR] ERROR: modify user config LOG_LVL to illegal "
                                          "value 6\n"));
    EXPECT_NE(std::string::npos, log.find("ERROR: modify user config PORT_SMTP to illegal value abc"));
    EXPECT_NE(std::string::npos,
              log.find("ERROR: modify user config TEST_INTERNET_RETRY_NUM to illegal value 0"));
}

TEST_F(UserConfigFileTest, AbsentArguments) {
    WriteIni("PORT_SMTP=25\n");
    EXPECT_EQ(CoreResult::MissingArgument, ModifyUserConfig(ctx, nullptr, "1"));
    EXPECT_EQ(CoreResult::MissingArgument, ModifyUserConfig(ctx, "PORT_SMTP", nullptr));
    EXPECT_EQ("PORT_SMTP=25\n", Ini());
}

TEST_F(UserConfigFileTest, RefusedNameNeverTouchesItsLine) {
    const std::string code = "TEST_MAIL_CODE1=\"CCB99DEBC07EED8B\"\n";
    WriteIni(code + "\nPORT_SMTP=25\n");
    EXPECT_EQ(CoreResult::Ok, ModifyUserConfig(ctx, "TEST_MAIL_CODE1", "plain"));
    EXPECT_EQ(CoreResult::Ok, ModifyUserConfig(ctx, "NO_SUCH_KEY", "1"));
    EXPECT_STREQ("", ctx.userConfig.USER_NAME);
    EXPECT_EQ(code + "PORT_SMTP=25\n", Ini()) << "the rewrite still drops the malformed line";
    std::string log = Log();
    EXPECT_NE(std::string::npos, log.find("[UI][MINOR] ERROR: modify user config of unrecognized "
                                          "field name=TEST_MAIL_CODE1\n"));
    EXPECT_NE(std::string::npos,
              log.find("ERROR: modify user config of unrecognized field name=NO_SUCH_KEY\n"));
}

TEST_F(UserConfigFileTest, MalformedLinesAreLoggedThenDropped) {
    ctx.userConfig.PORT_POP3 = 7;
    WriteIni("\n# a comment\nPORT_SMTP=26\nPORT_POP3=\nTAIL=");
    ASSERT_EQ(CoreResult::Ok, Load());
    EXPECT_EQ(26, ctx.userConfig.PORT_SMTP);
    EXPECT_EQ(2110, ctx.userConfig.PORT_POP3) << "its value is the line break alone: no port";
    EXPECT_EQ(CoreResult::Ok, ModifyUserConfig(ctx, "PORT_SMTP", "27"));
    EXPECT_EQ("PORT_SMTP=27\nPORT_POP3=\n", Ini())
        << "\"PORT_POP3=\" splits; \"TAIL=\" at the very end does not";
    std::string log = Log();
    EXPECT_NE(std::string::npos, log.find("[UI][MINOR] ERROR: user config format error at line=\n"));
    EXPECT_NE(std::string::npos, log.find("ERROR: user config format error at line=# a comment\n"));
    EXPECT_NE(std::string::npos, log.find("ERROR: user config format error at line=TAIL=\n"));
}

TEST_F(UserConfigFileTest, LongLinesAreReadAs511CharacterPieces) {
    // The junk fills exactly one read, so the setting after it is a line of its own.
    WriteIni(std::string(511, 'j') + "PORT_SMTP=99\n" + std::string(10'000, 'k') + "\n");
    ASSERT_EQ(CoreResult::Ok, Load());
    EXPECT_EQ(99, ctx.userConfig.PORT_SMTP);
    EXPECT_EQ(CoreResult::Ok, ModifyUserConfig(ctx, "PORT_SMTP", "98"));
    EXPECT_EQ("PORT_SMTP=98\n", Ini());
    EXPECT_NE(std::string::npos, Log().find("format error at line=" + std::string(511, 'j') + "\n"));
}

TEST_F(UserConfigFileTest, DroppedRestOfALongLineKeepsTheNextSettingOnItsOwnLine) {
    // The first 511 characters split (a key and a value), the rest of the line
    // has no "=" and is dropped: the line after it must not be glued on.
    WriteIni("USER_MAIL=\"" + std::string(600, 'm') + "\"\nPORT_SMTP=2525\nLOG_LVL=3\n");
    ASSERT_EQ(CoreResult::Ok, Load());
    EXPECT_EQ(CoreResult::Ok, ModifyUserConfig(ctx, "LOG_LVL", "5"));
    std::string ini = Ini();
    EXPECT_NE(std::string::npos, ini.find("\nPORT_SMTP=2525\n")) << ini;
    EXPECT_NE(std::string::npos, ini.find("\nLOG_LVL=5\n"));
    CoreContext reloaded;
    reloaded.baseDirectory = dir.path();
    ASSERT_EQ(CoreResult::Ok, LoadUserConfig(reloaded));
    EXPECT_EQ(2525, reloaded.userConfig.PORT_SMTP);
}

TEST_F(UserConfigFileTest, HostileBytesNeverCrash) {
    std::string binary;
    for (int i = 1; i < 256; ++i) binary += static_cast<char>(i);
    std::string withNul = std::string("PORT_SMTP=31") + '\0' + "=junk\n";
    std::string hostile = binary + "\n" + withNul + "LOG_LVL=5\n" + std::string(10'000, '=') +
                          "\nUSER_MAIL=\"" + std::string(600, '"') + "\"\n";
    WriteIni(hostile);
    ASSERT_EQ(CoreResult::Ok, Load());
    EXPECT_EQ(31, ctx.userConfig.PORT_SMTP) << "the text after a NUL is not seen";
    EXPECT_EQ(CoreResult::Ok, ModifyUserConfig(ctx, "LOG_LVL", "4"));
    std::string after = Ini();
    EXPECT_NE(std::string::npos, after.find(withNul)) << "a copied line keeps its bytes";
    EXPECT_NE(std::string::npos, after.find("LOG_LVL=4\n"));
}

TEST_F(UserConfigFileTest, DirectoryInPlaceOfTheFile) {
    std::filesystem::create_directory(dir.File("Quillomark.ini"));
    EXPECT_EQ(CoreResult::SettingsUnreadable, LoadUserConfig(ctx));
    EXPECT_EQ(CoreResult::Ok, ModifyUserConfig(ctx, "PORT_SMTP", "26"));
    EXPECT_EQ(26, ctx.userConfig.PORT_SMTP);
    EXPECT_TRUE(std::filesystem::is_directory(dir.File("Quillomark.ini")));
    EXPECT_FALSE(dir.HasEntryBeginningWith("Quillomark.ini."));
    std::string log = Log();
    EXPECT_NE(std::string::npos, log.find("ERROR: open user config " + dir.File("Quillomark.ini") +
                                          " failed"));
    EXPECT_NE(std::string::npos, log.find("ERROR: open user config to modify failed"));
}

// Two sizes: one fails inside the copy loop, the other only when the
// buffered copy is flushed at the end.
TEST_F(UserConfigFileTest, FailedRewriteKeepsTheOldFileWhole) {
    for (int lines : {2000, 180}) {
        std::string old = "LOG_LVL=5\n";
        for (int i = 0; i < lines; ++i) old += "PORT_SMTP=" + std::to_string(1000 + i) + "\n";
        WriteIni(old);
        chmod(dir.File("Quillomark.ini").c_str(), 0640);
        {
            FileSizeLimit limit(old.size() / 2);
            EXPECT_EQ(CoreResult::Ok, ModifyUserConfig(ctx, "LOG_LVL", "4"));
        }
        EXPECT_EQ(4, ctx.userConfig.LOG_LVL) << "the new value lives on in memory";
        EXPECT_EQ(old, Ini()) << lines;
        EXPECT_FALSE(dir.HasEntryBeginningWith("Quillomark.ini."));
        struct stat info {};
        ASSERT_EQ(0, stat(dir.File("Quillomark.ini").c_str(), &info));
        EXPECT_EQ(0640u, info.st_mode & 07777);
        ctx.userConfig.LOG_LVL = 5;
    }
    std::string log = Log();
    std::size_t first = log.find("[UI][MINOR] ERROR: open user config temporary file failed");
    ASSERT_NE(std::string::npos, first);
    EXPECT_NE(std::string::npos, log.find("ERROR: open user config temporary file failed", first + 1));
}

TEST_F(UserConfigFileTest, RewriteKeepsPermissions) {
    WriteIni("PORT_SMTP=25\n");
    chmod(dir.File("Quillomark.ini").c_str(), 0604);
    EXPECT_EQ(CoreResult::Ok, ModifyUserConfig(ctx, "PORT_SMTP", "26"));
    EXPECT_EQ("PORT_SMTP=26\n", Ini());
    struct stat info {};
    ASSERT_EQ(0, stat(dir.File("Quillomark.ini").c_str(), &info));
    EXPECT_EQ(0604u, info.st_mode & 07777);
}

// A settings file as a user or another system may leave it, loaded as at
// start-up (the log level still 0 until the file sets it): the listener port
// the load keeps, and the line the log gets for it.
struct BadSettingsFile {
    const char* name;
    std::string content;
    int32_t smtpPort;
    std::string logged;  // empty: no ERROR or WARNING line at all
    bool shown = false;  // the line goes to the pane as well
};

class BadSettingsFileTest : public ::testing::TestWithParam<BadSettingsFile> {};

TEST_P(BadSettingsFileTest, KeepsAPortItCanListenOnAndSaysWhy) {
    const BadSettingsFile& file = GetParam();
    TempDir dir;
    CoreContext ctx;
    LogInto(ctx, dir);
    ctx.userConfig.LOG_LVL = 0;
    dir.Write("Quillomark.ini", file.content + "PORT_POP3=2111\nPORT_IMAP4=2144\nLOG_LVL=3\n");
    std::vector<std::string> warnings;
    LoadUserConfig(ctx, &warnings);
    CheckUserConfig(ctx);
    EXPECT_EQ(file.smtpPort, ctx.userConfig.PORT_SMTP);
    ctx.log.CloseForShutdown();
    std::string log = ReadLog(dir);
    if (file.logged.empty()) {
        EXPECT_EQ(std::string::npos, log.find("ERROR")) << log;
        EXPECT_EQ(std::string::npos, log.find("WARNING")) << log;
    } else {
        EXPECT_NE(std::string::npos, log.find(file.logged)) << log;
    }
    EXPECT_EQ(file.shown ? std::vector<std::string>{file.logged} : std::vector<std::string>{}, warnings)
        << "what the pane shows";
    if (file.shown) {
        EXPECT_EQ(file.content + "PORT_POP3=2111\nPORT_IMAP4=2144\nLOG_LVL=3\n", dir.Read("Quillomark.ini"))
            << "a replaced port is not written back";
    }
}

std::string Binary() {
    std::string bytes;
    for (int i = 0; i < 256; ++i) bytes += static_cast<char>(i == '\n' ? 0 : i);
    return bytes;
}

INSTANTIATE_TEST_SUITE_P(
    Files, BadSettingsFileTest,
    ::testing::Values(
        BadSettingsFile{"ByteOrderMark", "\xEF\xBB\xBFPORT_SMTP=2600\n", 2600, ""},
        BadSettingsFile{"CrLf", "PORT_SMTP=2601\r\nUSER_MAIL=\"a@b\"\r\n", 2601, ""},
        BadSettingsFile{"Zero", "PORT_SMTP=0\n", 2525, "WARNING: PORT_SMTP=0 is not a port, using 2525", true},
        BadSettingsFile{"Negative", "PORT_SMTP=-1\n", 2525, "WARNING: PORT_SMTP=-1 is not a port, using 2525", true},
        BadSettingsFile{"PastTheLast", "PORT_SMTP=65536\n", 2525,
                        "WARNING: PORT_SMTP=65536 is not a port, using 2525", true},
        BadSettingsFile{"Beyond32Bits", "PORT_SMTP=99999999999\n", 2525,
                        "WARNING: PORT_SMTP=99999999999 is not a port, using 2525", true},
        BadSettingsFile{"NoNumber", "PORT_SMTP=smtp\n", 2525, "WARNING: PORT_SMTP=smtp is not a port, using 2525", true},
        BadSettingsFile{"Missing", "", 2525, "WARNING: PORT_SMTP is not set, using 2525", true},
        BadSettingsFile{"RefusedBeforeTheLevel", "# ports\nPORT_SMTP=2602\n", 2602,
                        "[UI][MINOR] ERROR: user config format error at line=# ports"},
        BadSettingsFile{"HugeLine", "PORT_SMTP=2603\n" + std::string(70 * 1024, 'x') + "\n", 2525,
                        "ERROR: user config format error: larger than 65536 bytes, using the defaults", true},
        BadSettingsFile{"Binary", Binary() + "\nPORT_SMTP=2604\n", 2604, "ERROR: user config format error"}),
    [](const ::testing::TestParamInfo<BadSettingsFile>& info) { return std::string(info.param.name); });

}  // namespace
