#include "platform/ReplaceFile.h"

#include <cerrno>
#include <filesystem>
#include <ostream>
#include <string>

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "support/FileSizeLimit.h"
#include "support/TempDir.h"

namespace {

const std::string kOld = "the old content\n";
const std::string kNew(4096, 'n');

TEST(ReplaceFileTest, TheNewContentReplacesTheOldWhole) {
    TempDir dir;
    dir.Write("data", kOld);
    ASSERT_TRUE(ReplaceFile(dir.File("data"), kNew, 0600));
    EXPECT_EQ(kNew, dir.Read("data"));
    struct stat info {};
    ASSERT_EQ(0, stat(dir.File("data").c_str(), &info));
    EXPECT_EQ(0600u, info.st_mode & 0777u) << "the replacement is a new file with the given mode";
    EXPECT_FALSE(dir.HasEntryBeginningWith("data."));

    ASSERT_TRUE(ReplaceFile(dir.File("fresh"), ""));
    EXPECT_TRUE(dir.Exists("fresh"));
}

// Whatever step fails, the target is as it was and nothing is left beside it.
struct Failure {
    const char* name;
    const char* target;
    rlim_t room;  // the file-size limit meanwhile
};
void PrintTo(const Failure& failure, std::ostream* out) { *out << failure.name; }

class ReplaceFileFailureTest : public ::testing::TestWithParam<Failure> {};

TEST_P(ReplaceFileFailureTest, LeavesTheTargetAsItWasAndNoTemporaryFile) {
    TempDir dir;
    dir.Write("data", kOld);
    std::filesystem::create_directory(dir.File("dir"));
    const Failure& failure = GetParam();
    {
        FileSizeLimit limit(failure.room);
        errno = 0;
        EXPECT_FALSE(ReplaceFile(dir.File(failure.target), kNew));
        EXPECT_NE(0, errno);
    }
    EXPECT_EQ(kOld, dir.Read("data"));
    EXPECT_TRUE(std::filesystem::is_directory(dir.File("dir")));
    EXPECT_FALSE(dir.HasEntryBeginningWith(std::string(failure.target) + "."));
}

INSTANTIATE_TEST_SUITE_P(
    EachStep, ReplaceFileFailureTest,
    ::testing::Values(Failure{"Write", "data", kNew.size() / 2}, Failure{"Rename", "dir", RLIM_INFINITY},
                      Failure{"Open", "missing/data", RLIM_INFINITY}),
    [](const ::testing::TestParamInfo<Failure>& info) { return std::string(info.param.name); });

}  // namespace
