#include "platform/SystemLanguage.h"

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

namespace {

TEST(SystemLanguageTest, ChineseLocalesMapToTheirIds) {
    EXPECT_EQ(2052, LanguageIdForLocale("zh_CN"));
    EXPECT_EQ(2052, LanguageIdForLocale("zh_CN.UTF-8"));
    EXPECT_EQ(2052, LanguageIdForLocale("zh_CN.GB18030"));
    EXPECT_EQ(1028, LanguageIdForLocale("zh_TW.UTF-8"));
    EXPECT_EQ(1028, LanguageIdForLocale("zh_TW@radical"));
    EXPECT_EQ(3076, LanguageIdForLocale("zh_HK.UTF-8"));
    EXPECT_EQ(4100, LanguageIdForLocale("zh_SG"));
    EXPECT_EQ(5124, LanguageIdForLocale("zh_MO"));
}

TEST(SystemLanguageTest, EverythingElseIsEnglish) {
    for (const char* locale : {"C", "POSIX", "", "en_US.UTF-8", "de_DE", "zh", "zh_CNX", "zh_cn",
                               "C.UTF-8"})
        EXPECT_EQ(1033, LanguageIdForLocale(locale)) << locale;
    EXPECT_EQ(1033, LanguageIdForLocale(nullptr));
}

// Saves and restores the three variables so that other tests see the
// environment the suite started with.
class LocaleEnvironment : public ::testing::Test {
protected:
    void SetUp() override {
        for (int i = 0; i < 3; ++i) {
            const char* value = std::getenv(kNames[i]);
            had_[i] = value != nullptr;
            saved_[i] = value != nullptr ? value : "";
            unsetenv(kNames[i]);
        }
    }
    void TearDown() override {
        for (int i = 0; i < 3; ++i) {
            if (had_[i]) setenv(kNames[i], saved_[i].c_str(), 1);
            else unsetenv(kNames[i]);
        }
    }
    static constexpr const char* kNames[3] = {"LC_ALL", "LC_MESSAGES", "LANG"};
    bool had_[3] = {};
    std::string saved_[3];
};

TEST_F(LocaleEnvironment, FirstSetVariableDecides) {
    EXPECT_EQ(1033, GetSystemDefaultLangID());
    setenv("LANG", "zh_TW.UTF-8", 1);
    EXPECT_EQ(1028, GetSystemDefaultLangID());
    setenv("LC_MESSAGES", "zh_CN.UTF-8", 1);
    EXPECT_EQ(2052, GetSystemDefaultLangID());
    setenv("LC_ALL", "C", 1);
    EXPECT_EQ(1033, GetSystemDefaultLangID());
}

TEST_F(LocaleEnvironment, EmptyVariableIsPassedOver) {
    setenv("LC_ALL", "", 1);
    setenv("LC_MESSAGES", "", 1);
    setenv("LANG", "zh_HK.UTF-8", 1);
    EXPECT_EQ(3076, GetSystemDefaultLangID());
}

}  // namespace
