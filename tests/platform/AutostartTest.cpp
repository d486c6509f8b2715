#include "platform/Autostart.h"

#include <cstdlib>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/OutcomeText.h"
#include "support/TempDir.h"

namespace {

const AutostartTarget kOnPath{"quillomark", {}};

// Saves and restores HOME and XDG_CONFIG_HOME around each test.
class AutostartTest : public ::testing::Test {
protected:
    void SetUp() override {
        Save("HOME", home_);
        Save("XDG_CONFIG_HOME", config_);
        Save("QUILLOMARK_LAUNCHER", launcher_);
    }
    void TearDown() override {
        Restore("HOME", home_);
        Restore("XDG_CONFIG_HOME", config_);
        Restore("QUILLOMARK_LAUNCHER", launcher_);
    }
    static void Save(const char* name, std::pair<bool, std::string>& saved) {
        const char* value = std::getenv(name);
        saved = {value != nullptr, value != nullptr ? value : ""};
    }
    static void Restore(const char* name, const std::pair<bool, std::string>& saved) {
        if (saved.first)
            setenv(name, saved.second.c_str(), 1);
        else
            unsetenv(name);
    }
    std::string Entry() const { return dir.File("config/autostart/" + std::string(kDesktopAppId) + ".desktop"); }

    TempDir dir;
    std::pair<bool, std::string> home_, config_, launcher_;
};

TEST_F(AutostartTest, TheEntryFollowsTheXdgConfigDirectory) {
    setenv("HOME", "/home/someone", 1);
    unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ("/home/someone/.config/autostart/org.quillomark.QuilloMark.desktop", AutostartEntryPath(kDesktopAppId));
    setenv("XDG_CONFIG_HOME", "/srv/cfg", 1);
    EXPECT_EQ("/srv/cfg/autostart/org.quillomark.QuilloMark.desktop", AutostartEntryPath(kDesktopAppId));
    setenv("XDG_CONFIG_HOME", "relative/cfg", 1);  // must be ignored
    EXPECT_EQ("/home/someone/.config/autostart/org.quillomark.QuilloMark.desktop", AutostartEntryPath(kDesktopAppId));
    unsetenv("HOME");
    EXPECT_EQ("", AutostartEntryPath(kDesktopAppId));
}

TEST_F(AutostartTest, OffUntilTurnedOnAndOffAgain) {
    std::string entry = Entry();
    EXPECT_FALSE(IsAutostartEnabled(entry));

    ASSERT_EQ(PlatformResult::Ok, EnableAutostart(entry, kOnPath));
    EXPECT_TRUE(IsAutostartEnabled(entry));
    std::string text = dir.Read("config/autostart/" + std::string(kDesktopAppId) + ".desktop");
    EXPECT_EQ(0u, text.find("[Desktop Entry]\nType=Application\n"));
    EXPECT_NE(std::string::npos, text.find("\nExec=quillomark --hidden\nTryExec=quillomark\n"));
    EXPECT_FALSE(dir.HasEntryBeginningWith("config/autostart/" + std::string(kDesktopAppId) + ".desktop."));
    struct stat info {};
    ASSERT_EQ(0, stat(dir.File("config").c_str(), &info));
    EXPECT_EQ(0700u, info.st_mode & 0777u);

    EXPECT_EQ(PlatformResult::Ok, EnableAutostart(entry, kOnPath));  // again: still one whole entry
    EXPECT_EQ(text, dir.Read("config/autostart/" + std::string(kDesktopAppId) + ".desktop"));

    EXPECT_EQ(PlatformResult::Ok, DisableAutostart(entry));
    EXPECT_FALSE(IsAutostartEnabled(entry));
    EXPECT_EQ(PlatformResult::Ok, DisableAutostart(entry));  // nothing to remove is no failure
}

TEST_F(AutostartTest, ASessionsHiddenEntryCountsAsOff) {
    std::string entry = Entry();
    ASSERT_EQ(PlatformResult::Ok, EnableAutostart(entry, kOnPath));
    dir.Write("config/autostart/" + std::string(kDesktopAppId) + ".desktop", "[Desktop Entry]\nHidden=true\n");
    EXPECT_FALSE(IsAutostartEnabled(entry));
}

TEST_F(AutostartTest, FailuresAreReportedNotHidden) {
    EXPECT_EQ(PlatformResult::MissingArgument, EnableAutostart("", kOnPath));
    EXPECT_EQ(PlatformResult::MissingArgument, EnableAutostart(Entry(), AutostartTarget{}));
    EXPECT_EQ(PlatformResult::MissingArgument, DisableAutostart(""));
    EXPECT_EQ(PlatformResult::MissingArgument, EnableAutostart(Entry(), AutostartTarget{"/opt/q\nExec=evil", {}}));
    EXPECT_EQ(PlatformResult::MissingArgument,
              EnableAutostart(Entry(), AutostartTarget{"/opt/q", "/home/a\nExec=evil"}));
    EXPECT_FALSE(dir.Exists("config/autostart"));
    dir.Write("config", "a file where the directory should be");
    EXPECT_EQ(PlatformResult::SystemRefused, EnableAutostart(Entry(), kOnPath));
    EXPECT_FALSE(IsAutostartEnabled(Entry()));
}

TEST_F(AutostartTest, AProgramOutsidePathRunsQuotedInItsOwnDirectory) {
    // A desktop session splits Exec at blanks and expands %-codes, and reads
    // the value with its own backslash escapes.
    AutostartTarget target{"/home/a b/Quillo%Mark/$HOME\\x/quillomark", "/home/a b/mail\\box"};
    std::string text = AutostartEntryText(target);
    EXPECT_NE(std::string::npos,
              text.find("\nExec=\"/home/a b/Quillo%%Mark/\\\\$HOME\\\\\\\\x/quillomark\" --hidden\n"))
        << text;
    EXPECT_NE(std::string::npos, text.find("\nPath=/home/a b/mail\\\\box\n")) << text;
    // TryExec is a plain string: no Exec quoting, no doubled "%".
    EXPECT_NE(std::string::npos, text.find("\nTryExec=/home/a b/Quillo%Mark/$HOME\\\\x/quillomark\n")) << text;
    EXPECT_EQ(std::string::npos, AutostartEntryText(kOnPath).find("Path="));
}

TEST_F(AutostartTest, TheLauncherIsStartedWhenItStartedUs) {
    dir.Write("quillomark-launcher", "#!/bin/sh\n");
    chmod(dir.File("quillomark-launcher").c_str(), 0755);
    setenv("QUILLOMARK_LAUNCHER", dir.File("quillomark-launcher").c_str(), 1);
    AutostartTarget launcher = CurrentAutostartTarget();
    EXPECT_EQ(dir.File("quillomark-launcher"), launcher.program);
    EXPECT_EQ("", launcher.workDir);

    // Without a launcher (run from a build tree) it is this program, here.
    unsetenv("QUILLOMARK_LAUNCHER");
    AutostartTarget self = CurrentAutostartTarget();
    char cwd[4096];
    ASSERT_NE(nullptr, getcwd(cwd, sizeof cwd));
    EXPECT_EQ(cwd, self.workDir);
    char exe[4096];
    ssize_t length = readlink("/proc/self/exe", exe, sizeof exe - 1);
    ASSERT_GT(length, 0);
    EXPECT_EQ(std::string(exe, static_cast<size_t>(length)), self.program);
    // A launcher named but not there is not trusted.
    setenv("QUILLOMARK_LAUNCHER", dir.File("missing-launcher").c_str(), 1);
    EXPECT_EQ(self.program, CurrentAutostartTarget().program);
}

}  // namespace
