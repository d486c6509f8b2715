#include "core/TextLineReader.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/TempDir.h"

namespace {

struct Piece {
    std::string text;  // the characters before the line end
    bool ended;
};

std::vector<Piece> ReadAll(const TempDir& dir, const std::string& content) {
    dir.Write("in.txt", content);
    TextLineReader reader(dir.File("in.txt"), kRecordFileReadLimits);
    EXPECT_TRUE(reader.IsOpen());
    std::vector<Piece> pieces;
    while (reader.Next()) {
        pieces.push_back({std::string(reader.Line(), static_cast<size_t>(reader.Length())),
                          reader.Ended()});
        EXPECT_EQ(reader.Ended() ? '\n' : '\0', reader.Line()[reader.Length()]);
    }
    return pieces;
}

TEST(TextLineReaderTest, LfAndCrLfGiveTheSameLines) {
    TempDir dir;
    for (const char* content : {"one\ntwo\n\nthree", "one\r\ntwo\r\n\r\nthree"}) {
        std::vector<Piece> p = ReadAll(dir, content);
        ASSERT_EQ(4u, p.size()) << content;
        EXPECT_EQ("one", p[0].text);
        EXPECT_EQ("two", p[1].text);
        EXPECT_EQ("", p[2].text);
        EXPECT_TRUE(p[2].ended);
        EXPECT_EQ("three", p[3].text);
        EXPECT_FALSE(p[3].ended);  // the last line has no line end
    }
}

TEST(TextLineReaderTest, LoneCarriageReturnIsAnOrdinaryCharacter) {
    TempDir dir;
    std::vector<Piece> p = ReadAll(dir, "a\rb\r\n\r");
    ASSERT_EQ(2u, p.size());
    EXPECT_EQ("a\rb", p[0].text);
    EXPECT_EQ("\r", p[1].text);
}

TEST(TextLineReaderTest, LongLinesComeInPiecesOf511) {
    TempDir dir;
    std::vector<Piece> p = ReadAll(dir, std::string(1100, 'x') + "\nnext\n");
    ASSERT_EQ(4u, p.size());
    EXPECT_EQ(511u, p[0].text.size());
    EXPECT_FALSE(p[0].ended);
    EXPECT_EQ(511u, p[1].text.size());
    EXPECT_EQ(78u, p[2].text.size());
    EXPECT_TRUE(p[2].ended);
    EXPECT_EQ("next", p[3].text);
}

TEST(TextLineReaderTest, LineOfExactlyPieceLengthKeepsItsLineEnd) {
    TempDir dir;
    for (const char* end : {"\n", "\r\n"}) {
        std::vector<Piece> p = ReadAll(dir, std::string(511, 'x') + end + "next");
        ASSERT_EQ(2u, p.size()) << "end length " << std::string(end).size();
        EXPECT_TRUE(p[0].ended);
        EXPECT_EQ("next", p[1].text);
    }
    // A CR at the boundary that does not start a line end begins the next piece.
    std::vector<Piece> p = ReadAll(dir, std::string(511, 'x') + "\rX\n");
    ASSERT_EQ(2u, p.size());
    EXPECT_FALSE(p[0].ended);
    EXPECT_EQ("\rX", p[1].text);
}

TEST(TextLineReaderTest, NulBytesAreCounted) {
    TempDir dir;
    std::vector<Piece> p = ReadAll(dir, std::string("a\0b\n", 4));
    ASSERT_EQ(1u, p.size());
    EXPECT_EQ(std::string("a\0b", 3), p[0].text);
}

TEST(TextLineReaderTest, MissingFileAndDirectoryDoNotOpen) {
    TempDir dir;
    TextLineReader missing(dir.File("none.txt"), kRecordFileReadLimits);
    EXPECT_FALSE(missing.IsOpen());
    EXPECT_FALSE(missing.Next());
    TextLineReader directory(dir.path(), kRecordFileReadLimits);
    EXPECT_FALSE(directory.IsOpen());
    EXPECT_FALSE(directory.Next());
}

TEST(TextLineReaderTest, EmptyFileHasNoLines) {
    TempDir dir;
    EXPECT_TRUE(ReadAll(dir, "").empty());
}

// What a reader takes of a file before it stops: the lines it hands out and
// whether it then refuses the file. A device is read as a stream, so only the
// counted bytes can stop it.
struct BoundedRead {
    const char* name;
    std::string content;  // empty with a path: that file is read instead
    const char* path;
    ReadLimits limits;
    std::vector<std::string> lines;
    bool overLimit;
};

class TextLineReaderLimitTest : public ::testing::TestWithParam<BoundedRead> {};

TEST_P(TextLineReaderLimitTest, StopsAtTheLimitsAndSaysSo) {
    const BoundedRead& read = GetParam();
    TempDir dir;
    dir.Write("in.txt", read.content);
    TextLineReader reader(read.path != nullptr ? std::string(read.path) : dir.File("in.txt"), read.limits);
    ASSERT_TRUE(reader.IsOpen());
    std::vector<std::string> lines;
    while (reader.Next() && lines.size() < 100) lines.emplace_back(reader.Line(), static_cast<size_t>(reader.Length()));
    EXPECT_EQ(read.lines, lines);
    EXPECT_EQ(read.overLimit, reader.OverLimit());
}

INSTANTIATE_TEST_SUITE_P(
    Files, TextLineReaderLimitTest,
    ::testing::Values(
        BoundedRead{"ByteOrderMarkSkipped", "\xEF\xBB\xBFKEY=1\n", nullptr, {64, 10}, {"KEY=1"}, false},
        BoundedRead{"HalfAMarkKept", "\xEF\xBBKEY\n", nullptr, {64, 10}, {"\xEF\xBBKEY"}, false},
        BoundedRead{"MarkOnlyAtTheStart", "a\n\xEF\xBB\xBF\n", nullptr, {64, 10}, {"a", "\xEF\xBB\xBF"}, false},
        BoundedRead{"AtTheByteLimit", "abc\nde\n", nullptr, {7, 10}, {"abc", "de"}, false},
        BoundedRead{"PastTheByteLimitReadsNothing", "abc\nde\n", nullptr, {6, 10}, {}, true},
        BoundedRead{"AtTheLineLimit", "a\nb\nc", nullptr, {64, 2}, {"a", "b", "c"}, false},
        BoundedRead{"PastTheLineLimit", "a\nb\nc\n", nullptr, {64, 2}, {"a", "b"}, true},
        BoundedRead{"EndlessDevice", "", "/dev/zero", {2000, 10}, {std::string(511, '\0'), std::string(511, '\0'),
                                                                    std::string(511, '\0')}, true}),
    [](const ::testing::TestParamInfo<BoundedRead>& info) { return std::string(info.param.name); });

}  // namespace
