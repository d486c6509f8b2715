#include "update/LocalListTime.h"

#include <filesystem>

#include <gtest/gtest.h>

#include "core/CoreContext.h"
#include "support/ContextFixture.h"
#include "update/ListHeaderTime.h"

namespace {

using LocalListTimeTest = CoreContextTest;

TEST_F(LocalListTimeTest, ReadsTheHeaderOfTheCurrentList) {
    dir.Write("Quillomark.conf", "2009/05/20 12:30:00\r\nMAIL 1.2.3.4 1 2 3 a\r\n");
    EXPECT_EQ(ReadLocalListTime(ctx), HeaderToSeconds(2009, 5, 20, 12, 30, 0));
    dir.Write("Quillomark.conf", "2010/01/02 03:04:05\nMAIL 1.2.3.4 1 2 3 a\n");
    EXPECT_EQ(ReadLocalListTime(ctx), HeaderToSeconds(2010, 1, 2, 3, 4, 5));
    dir.Write("Quillomark.conf", "2010/01/02 03:04:05");  // a header that is the whole file
    EXPECT_EQ(ReadLocalListTime(ctx), HeaderToSeconds(2010, 1, 2, 3, 4, 5));
}

TEST_F(LocalListTimeTest, MissingOrUnusableHeaderIsMinusOne) {
    dir.Write("Quillomark.conf", "");
    EXPECT_EQ(ReadLocalListTime(ctx), -1);
    dir.Write("Quillomark.conf", "MAIL 1.2.3.4 1 2 3 a\n");
    EXPECT_EQ(ReadLocalListTime(ctx), -1);
    dir.Write("Quillomark.conf", "2040/01/01 00:00:00\n");
    EXPECT_EQ(ReadLocalListTime(ctx), -1);
    dir.Write("Quillomark.conf", std::string(10000, 'x') + "\n");
    EXPECT_EQ(ReadLocalListTime(ctx), -1);
}

TEST_F(LocalListTimeTest, UnopenableFileIsBelowEveryHeader) {
    EXPECT_EQ(ReadLocalListTime(ctx), CodeOf(UpdateResult::LocalListUnreadable));
    EXPECT_LT(CodeOf(UpdateResult::LocalListUnreadable), kNoListTime);
    std::filesystem::create_directory(dir.File("Quillomark.conf"));
    EXPECT_EQ(ReadLocalListTime(ctx), CodeOf(UpdateResult::LocalListUnreadable));
}

}  // namespace
