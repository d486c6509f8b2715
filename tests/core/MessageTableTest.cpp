#include "core/MessageTable.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/CoreContext.h"
#include "support/ContextFixture.h"
#include "support/FileSizeLimit.h"
#include "support/TempDir.h"

namespace {

class MessageTableTest : public CoreContextTest {
protected:

    // Loads a message file with the given content.
    void Load(const std::string& content) {
        dir.Write("message_EN.txt", content);
        ASSERT_EQ(0, LoadMessageFile(ctx, dir.File("message_EN.txt")));
    }
    std::string Text(const char* key) { return GetMessageText(ctx, key); }

    // Every field of both layers still ends inside its 256 bytes.
    void ExpectFieldsTerminated() const {
        for (const MessageRecord& r : ctx.messageTable.loaded) {
            EXPECT_NE(nullptr, std::memchr(r.key, '\0', sizeof r.key));
            EXPECT_NE(nullptr, std::memchr(r.text, '\0', sizeof r.text));
        }
    }
};

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

TEST_F(MessageTableTest, MissingFileIsWrittenFromTheDefaults) {
    ASSERT_EQ(0, LoadMessageFile(ctx, dir.File("message_EN.txt")));
    EXPECT_TRUE(Logged("[UI][MAJOR] ERROR: open the message file failed."));

    std::string file = dir.Read("message_EN.txt");
    EXPECT_EQ(52, std::count(file.begin(), file.end(), '\n'));
    EXPECT_NE('\n', file.back());
    std::vector<std::string> lines = SplitLines(file);
    ASSERT_EQ(53u, lines.size());
    EXPECT_EQ("MSG_NOT_FOUND=\"N/A\"", lines[0]);
    EXPECT_EQ("MSG_NO_AVAIL_SERVER=\"No avaliable connection\"", lines[40]);
    EXPECT_EQ("MSG_CAPTION_REPORT_EMAIL_DLG2=\"Please enter yout email for later contact:\"",
              lines[47]);
    EXPECT_EQ("MSG_CAPTION_CURLINK_START=\"Please do NOT setup mail service until the "
              "connection detection is ok\"",
              lines[52]);

    // This run serves the defaults, logging each fallback.
    EXPECT_TRUE(ctx.messageTable.loaded.empty());
    EXPECT_EQ(53, ctx.messageTable.defaultCount);
    EXPECT_EQ("No avaliable connection", Text("MSG_NO_AVAIL_SERVER"));
    EXPECT_TRUE(Logged("[UI][MINOR] ERROR: Message MSG_NO_AVAIL_SERVER not found"));
    EXPECT_EQ("Use the Manual Mode with connection below:",
              Text("MSG_MANUAL_MODE_COMFIRM_MSGBOX_BODY"));
    EXPECT_EQ("Tips for QuilloMark, Ferolynx", Text("MSG_CAPTION_HINT_DLG"));
    EXPECT_EQ("N/A", Text("MSG_NO_SUCH_KEY"));
}

TEST_F(MessageTableTest, WrittenFileLoadsBackToEveryDefault) {
    ASSERT_EQ(0, LoadMessageFile(ctx, dir.File("message_EN.txt")));
    ASSERT_EQ(0, LoadMessageFile(ctx, dir.File("message_EN.txt")));
    const MessageTable& table = ctx.messageTable;
    ASSERT_EQ(53u, table.loaded.size());
    for (int i = 0; i < 53; ++i) {
        EXPECT_STREQ(table.defaults[i].key, table.loaded[i].key);
        // Also the last record, whose closing quote has no line end after it.
        EXPECT_STREQ(table.defaults[i].text, table.loaded[i].text) << table.defaults[i].key;
    }
    EXPECT_STREQ("", table.defaults[53].key);
    EXPECT_EQ("OK", Text("MSG_CAPTION_ABOUT_DLG_OK_BTN"));
    EXPECT_FALSE(Logged("not found"));
}

TEST_F(MessageTableTest, HistoryTextsHaveDefaultsOutsideTheTranslatorsFile) {
    ASSERT_EQ(0, LoadMessageFile(ctx, dir.File("message_EN.txt")));
    EXPECT_EQ("History", Text("MSG_CAPTION_HISTORY_BTN"));
    EXPECT_EQ("in use", Text("MSG_HISTORY_INUSE"));
    EXPECT_FALSE(Logged("MSG_CAPTION_HISTORY_BTN not found"));
    EXPECT_EQ(std::string::npos, dir.Read("message_EN.txt").find("HISTORY"));

    Load("MSG_CAPTION_HISTORY_BTN=\"Verlauf\"\n");
    EXPECT_EQ("Verlauf", Text("MSG_CAPTION_HISTORY_BTN"));
}

TEST_F(MessageTableTest, LoadedTextOverridesTheDefault) {
    Load("MSG_CAPTION_REPORT_BTN=\"Mail log\"\n");
    EXPECT_EQ("Mail log", Text("MSG_CAPTION_REPORT_BTN"));
    EXPECT_EQ("Exit", Text("MSG_CAPTION_MENU_ITEM02"));  // not in the file: default
    EXPECT_TRUE(Logged("ERROR: Message MSG_CAPTION_MENU_ITEM02 not found"));
    EXPECT_EQ("N/A", Text("msg_caption_report_btn"));    // keys are case-sensitive
}

TEST_F(MessageTableTest, CrLfAndLfGiveTheSameText) {
    Load("MSG_A=\"alpha\"\r\nMSG_B=\"beta\"\r\nMSG_C=\"gamma\"");
    EXPECT_EQ("alpha", Text("MSG_A"));
    EXPECT_EQ("beta", Text("MSG_B"));
    EXPECT_EQ("gamma", Text("MSG_C"));
}

TEST_F(MessageTableTest, QuotesAreTakenByPositionNotChecked) {
    Load("MSG_CAPTION_REPORT_BTN=\"Mail log\n"       // closing quote missing
         "MSG_A=\"x=\"y\" z\"\n"                     // "=" and quotes inside the text
         "MSG_B=[bracketed]\n");
    EXPECT_EQ("Mail lo", Text("MSG_CAPTION_REPORT_BTN"));
    EXPECT_EQ("x=\"y\" z", Text("MSG_A"));
    EXPECT_EQ("bracketed", Text("MSG_B"));
}

TEST_F(MessageTableTest, FirstOfTwoEqualKeysWins) {
    Load("MSG_CAPTION_REPORT_BTN=\"first\"\nMSG_CAPTION_REPORT_BTN=\"second\"\n");
    EXPECT_EQ("first", Text("MSG_CAPTION_REPORT_BTN"));
}

TEST_F(MessageTableTest, LinesWithoutEqualsOrRoomForQuotesAddNothing) {
    Load("\n# comment\nMSG_CAPTION_MENU_ITEM02=\nMSG_CAPTION_MENU_ITEM01=\"\nMSG_EMPTY=\"\"\n");
    ASSERT_EQ(1u, ctx.messageTable.loaded.size());
    EXPECT_EQ("", Text("MSG_EMPTY"));
    EXPECT_EQ("Exit", Text("MSG_CAPTION_MENU_ITEM02"));
    EXPECT_EQ("About QuilloMark", Text("MSG_CAPTION_MENU_ITEM01"));
}

TEST_F(MessageTableTest, EmptyLoadedLayerFallsBackToDefaults) {
    Load("");
    EXPECT_TRUE(ctx.messageTable.loaded.empty());
    EXPECT_EQ("OK", Text("MSG_CAPTION_ABOUT_DLG_OK_BTN"));
    EXPECT_EQ("N/A", Text(""));
    EXPECT_EQ("N/A", std::string(GetMessageText(ctx, nullptr)));
    EXPECT_TRUE(Logged("[UI][MINOR] ERROR: get message by passing empty name"));
    EXPECT_FALSE(Logged("open the message file failed"));
}

TEST_F(MessageTableTest, EmptyKeyGivesTheFirstLoadedText) {
    Load("MSG_A=\"alpha\"\nMSG_B=\"beta\"\n");
    EXPECT_EQ("alpha", Text(""));
}

TEST_F(MessageTableTest, LookupBeforeLoadingGivesLastResort) {
    EXPECT_EQ("N/A", Text("MSG_CAPTION_ABOUT_DLG_OK_BTN"));
    EXPECT_EQ("N/A", Text(""));
}

TEST_F(MessageTableTest, LongKeysAndTextsAreCut) {
    std::string key(300, 'K');
    std::string text(300, 't');
    Load(key + "=\"k\"\nMSG_T=\"" + text + "\"\nMSG_A=\"after\"\n");
    ASSERT_EQ(3u, ctx.messageTable.loaded.size());
    EXPECT_EQ("k", Text(key.substr(0, 255).c_str()));
    EXPECT_EQ(std::string(255, 't'), Text("MSG_T"));
    EXPECT_EQ("after", Text("MSG_A"));
    ExpectFieldsTerminated();
}

TEST_F(MessageTableTest, HostileFilesNeverCorruptTheTable) {
    std::string binary;
    for (int i = 0; i < 4096; ++i) binary += static_cast<char>((i * 37 + 11) & 0xFF);
    std::string nul("MSG_N\0UL=\"a\0b\"\nMSG_X=\"x\0\"\n", 26);
    const std::string files[] = {
        binary,
        "MSG_LONG=\"" + std::string(10000, 'a') + "\"\nMSG_A=\"after\"\n",
        std::string(10000, '=') + "\nMSG_A=\"after\"\n",
        nul + "MSG_A=\"after\"\n",
    };
    for (const std::string& content : files) {
        Load(content);
        ExpectFieldsTerminated();
        EXPECT_EQ("OK", Text("MSG_CAPTION_ABOUT_DLG_OK_BTN"));
    }
    EXPECT_EQ("after", Text("MSG_A"));    // the last file's good line survives the NULs
    EXPECT_EQ("a", Text("MSG_N"));        // a NUL ends key and text where it stands
}

TEST_F(MessageTableTest, PieceOfAnOverlongLineIsItsOwnRecord) {
    // The rest of a line beyond 511 characters is read as the next line.
    Load("MSG_LONG=\"" + std::string(501, 'a') + "MSG_TAIL=\"tail\"\n");
    EXPECT_EQ(std::string(255, 'a'), Text("MSG_LONG"));
    EXPECT_EQ("tail", Text("MSG_TAIL"));
}

TEST_F(MessageTableTest, DirectoryOrUncreatableFileLeavesTheDefaults) {
    ASSERT_EQ(0, LoadMessageFile(ctx, dir.path()));
    EXPECT_TRUE(Logged("ERROR: open the message file failed."));
    EXPECT_EQ("Send log", Text("MSG_CAPTION_REPORT_BTN"));

    ASSERT_EQ(0, LoadMessageFile(ctx, dir.File("missing/message_EN.txt")));
    EXPECT_FALSE(dir.Exists("missing"));
    EXPECT_EQ("Send log", Text("MSG_CAPTION_REPORT_BTN"));
}

// A full disk (nothing fits, or only part) leaves no message file behind, and
// no temporary file either, so the next start writes it whole.
TEST_F(MessageTableTest, FullDiskLeavesNoFileAndTheNextStartWritesItWhole) {
    TempDir reference;
    CoreContext other;
    LogInto(other, reference);
    ASSERT_EQ(0, LoadMessageFile(other, reference.File("message_EN.txt")));
    const std::string whole = reference.Read("message_EN.txt");
    ASSERT_GT(whole.size(), 1000u);

    for (rlim_t room : {rlim_t{0}, rlim_t{1000}}) {
        {
            FileSizeLimit limit(room);
            ASSERT_EQ(0, LoadMessageFile(ctx, dir.File("message_EN.txt")));
        }
        EXPECT_FALSE(dir.Exists("message_EN.txt")) << room;
        for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
            EXPECT_EQ(std::string::npos, entry.path().filename().string().find("message_EN"))
                << entry.path();
        EXPECT_EQ("Send log", Text("MSG_CAPTION_REPORT_BTN"));
    }
    ASSERT_EQ(0, LoadMessageFile(ctx, dir.File("message_EN.txt")));
    EXPECT_EQ(whole, dir.Read("message_EN.txt"));
}

TEST(LanguageFileNameTest, OnlyPrcAndTaiwanChooseOtherFiles) {
    EXPECT_EQ("/message_CN.txt", LanguageFileName("message", 2052));
    EXPECT_EQ("/message_TW.txt", LanguageFileName("message", 1028));
    EXPECT_EQ("/message_EN.txt", LanguageFileName("message", 3076));
    EXPECT_EQ("/message_EN.txt", LanguageFileName("message", 1033));
    EXPECT_EQ("/hint_CN.txt", LanguageFileName("hint", 2052));
    EXPECT_EQ("/hint_TW.txt", LanguageFileName("hint", 1028));
    EXPECT_EQ("/hint_EN.txt", LanguageFileName("hint", 4100));
}

}  // namespace
