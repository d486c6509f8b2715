#include "platform/Autostart.h"

#include <cstdlib>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/TempDir.h"

namespace {

// Saves and restores HOME and XDG_CONFIG_HOME around each test.
class AutostartTest : public ::testing::Test {
protected:
    void SetUp() override {
        Save("HOME", home_);
        Save("XDG_CONFIG_HOME", config_);
    }
    void TearDown() override {
        Restore("HOME", home_);
        Restore("XDG_CONFIG_HOME", config_);
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
    std::pair<bool, std::string> home_, config_;
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

    ASSERT_EQ(0, EnableAutostart(entry, "quillomark"));
    EXPECT_TRUE(IsAutostartEnabled(entry));
    std::string text = dir.Read("config/autostart/" + std::string(kDesktopAppId) + ".desktop");
    EXPECT_EQ(0u, text.find("[Desktop Entry]\nType=Application\n"));
    EXPECT_NE(std::string::npos, text.find("\nExec=quillomark\n"));
    EXPECT_FALSE(dir.Exists("config/autostart/" + std::string(kDesktopAppId) + ".desktop.tmp"));
    struct stat info {};
    ASSERT_EQ(0, stat(dir.File("config").c_str(), &info));
    EXPECT_EQ(0700u, info.st_mode & 0777u);

    EXPECT_EQ(0, EnableAutostart(entry, "quillomark"));  // again: still one whole entry
    EXPECT_EQ(text, dir.Read("config/autostart/" + std::string(kDesktopAppId) + ".desktop"));

    EXPECT_EQ(0, DisableAutostart(entry));
    EXPECT_FALSE(IsAutostartEnabled(entry));
    EXPECT_EQ(0, DisableAutostart(entry));  // nothing to remove is no failure
}

TEST_F(AutostartTest, ASessionsHiddenEntryCountsAsOff) {
    std::string entry = Entry();
    ASSERT_EQ(0, EnableAutostart(entry, "quillomark"));
    dir.Write("config/autostart/" + std::string(kDesktopAppId) + ".desktop", "[Desktop Entry]\nHidden=true\n");
    EXPECT_FALSE(IsAutostartEnabled(entry));
}

TEST_F(AutostartTest, FailuresAreReportedNotHidden) {
    EXPECT_EQ(-51, EnableAutostart("", "quillomark"));
    EXPECT_EQ(-51, EnableAutostart(Entry(), ""));
    EXPECT_EQ(-51, DisableAutostart(""));
    dir.Write("config", "a file where the directory should be");
    EXPECT_EQ(-1, EnableAutostart(Entry(), "quillomark"));
    EXPECT_FALSE(IsAutostartEnabled(Entry()));
}

}  // namespace
