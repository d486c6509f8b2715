#include "net/KnownServers.h"

#include <string>

#include <gtest/gtest.h>

#include "support/TempDir.h"

namespace {

const std::string kPrint(64, 'a');

struct LineCase {
    const char* name;
    std::string text;
    bool readable;
};

class KnownServersLineTest : public ::testing::TestWithParam<LineCase> {};

TEST_P(KnownServersLineTest, ReadsOnlyWholeLines) {
    std::vector<KnownServer> servers = ParseKnownServers(GetParam().text);
    EXPECT_EQ(servers.size(), GetParam().readable ? 1u : 0u);
    if (servers.empty()) return;
    // What is read is written back the same way.
    EXPECT_EQ(ParseKnownServers(FormatKnownServers(servers))[0].fingerprint, servers[0].fingerprint);
    EXPECT_EQ(FormatKnownServers(ParseKnownServers(FormatKnownServers(servers))), FormatKnownServers(servers));
}

INSTANTIATE_TEST_SUITE_P(
    Lines, KnownServersLineTest,
    ::testing::Values(LineCase{"Plain", "10.0.0.1:995 " + kPrint + " mail.example.com,*.example.com\n", true},
                      LineCase{"NoNames", "10.0.0.1:995 " + kPrint + " -\n", true},
                      LineCase{"CrLf", "10.0.0.1:995 " + kPrint + " -\r\n", true},
                      LineCase{"Ipv6", "::1:465 " + kPrint + " -\n", true},
                      LineCase{"CutWithoutLineEnd", "10.0.0.1:995 " + kPrint + " -", false},
                      LineCase{"ShortFingerprint", "10.0.0.1:995 " + kPrint.substr(1) + " -\n", false},
                      LineCase{"UpperCaseFingerprint", "10.0.0.1:995 " + std::string(64, 'A') + " -\n", false},
                      LineCase{"PortZero", "10.0.0.1:0 " + kPrint + " -\n", false},
                      LineCase{"PortTooLarge", "10.0.0.1:65536 " + kPrint + " -\n", false},
                      LineCase{"NameNotAddress", "mail.example.com:995 " + kPrint + " -\n", false},
                      LineCase{"TrailingComma", "10.0.0.1:995 " + kPrint + " a.example,\n", false},
                      LineCase{"NameWithSpace", "10.0.0.1:995 " + kPrint + " a b\n", false},
                      LineCase{"NoNamesField", "10.0.0.1:995 " + kPrint + "\n", false}),
    [](const ::testing::TestParamInfo<LineCase>& info) { return std::string(info.param.name); });

TEST(KnownServersTest, StoredRecordSurvivesANewProcessAndReplacesItsLine) {
    TempDir dir;
    KnownServers first;
    first.SetPath(dir.File("known.txt"));
    ASSERT_TRUE(first.Store(KnownServer{"10.0.0.1", 995, kPrint, {"mail.example.com"}}));
    ASSERT_TRUE(first.Store(KnownServer{"10.0.0.2", 995, kPrint, {}}));
    ASSERT_TRUE(first.Store(KnownServer{"10.0.0.1", 995, std::string(64, 'b'), {}}));
    KnownServers second;
    second.SetPath(dir.File("known.txt"));
    KnownServer found;
    ASSERT_TRUE(second.Find("10.0.0.1", 995, found));
    EXPECT_EQ(found.fingerprint, std::string(64, 'b'));
    EXPECT_FALSE(second.Find("10.0.0.1", 465, found));
    EXPECT_EQ(ParseKnownServers(dir.Read("known.txt")).size(), 2u);
    // Asked once per server, again after its record changed.
    EXPECT_TRUE(second.FirstRefusal("10.0.0.2", 995));
    EXPECT_FALSE(second.FirstRefusal("10.0.0.2", 995));
    second.Store(KnownServer{"10.0.0.2", 995, kPrint, {}});
    EXPECT_TRUE(second.FirstRefusal("10.0.0.2", 995));
}

}  // namespace
