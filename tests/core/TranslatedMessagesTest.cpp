#include "core/TranslatedMessages.h"

#include <cstring>
#include <map>
#include <string>

#include <gtest/gtest.h>

#include "core/CoreContext.h"
#include "core/MessageTable.h"
#include "support/ContextFixture.h"

namespace {

class TranslatedMessagesTest : public ContextFixture<CoreContext, ::testing::TestWithParam<const char*>> {
protected:
    // What a first start under the language writes and shows, by key.
    std::map<std::string, std::string> FirstStart() { return FirstStartIn(dir); }
    std::map<std::string, std::string> FirstStartIn(const TempDir& where) {
        CoreContext fresh;
        LogInto(fresh, where);
        EXPECT_EQ(0, LoadMessageFile(fresh, where.File(GetParam())));
        std::map<std::string, std::string> texts;
        for (const MessageRecord& record : fresh.messageTable.loaded) {
            EXPECT_TRUE(texts.emplace(record.key, record.text).second) << "twice: " << record.key;
            // A cut text would end inside a character, or lose its closing quote.
            EXPECT_LT(std::strlen(record.text), 255u) << record.key;
        }
        return texts;
    }

    TempDir other;
};

TEST_P(TranslatedMessagesTest, FirstStartWritesAndShowsEveryKeyTranslated) {
    const std::map<std::string, std::string> texts = FirstStart();
    EXPECT_EQ(std::string(TranslatedMessageFile(GetParam())), dir.Read(GetParam()));

    CoreContext english;
    LogInto(english, dir);
    for (const std::string& key : MessageKeys()) {
        auto found = texts.find(key);
        ASSERT_NE(texts.end(), found) << "missing: " << key;
        std::string original = GetMessageText(english, key.c_str());
        for (const char* placeholder : {"%1", "%2", "%3"})
            EXPECT_EQ(original.find(placeholder) == std::string::npos,
                      found->second.find(placeholder) == std::string::npos)
                << key << " " << placeholder;
    }
    EXPECT_EQ(MessageKeys().size(), texts.size()) << "a key the table does not know";
    EXPECT_NE(std::string(GetMessageText(english, "MSG_CAPTION_CURLINK_GB")),
              texts.at("MSG_CAPTION_CURLINK_GB"));
}

// An older or edited file stays as it is and wins; what it lacks is shown
// in its language, not in English.
TEST_P(TranslatedMessagesTest, FileOfTheUserIsNeverReplacedAndWins) {
    dir.Write(GetParam(), "MSG_CAPTION_REPORT_BTN=\"mine\"\n");
    ASSERT_EQ(0, LoadMessageFile(ctx, dir.File(GetParam())));
    EXPECT_EQ("mine", std::string(GetMessageText(ctx, "MSG_CAPTION_REPORT_BTN")));
    EXPECT_EQ("MSG_CAPTION_REPORT_BTN=\"mine\"\n", dir.Read(GetParam()));
    const std::map<std::string, std::string> shipped = FirstStartIn(other);
    EXPECT_EQ(shipped.at("MSG_CAPTION_MENU_ITEM02"), GetMessageText(ctx, "MSG_CAPTION_MENU_ITEM02"));
}

INSTANTIATE_TEST_SUITE_P(Chinese, TranslatedMessagesTest, ::testing::Values("message_TW.txt", "message_CN.txt"));

}  // namespace
