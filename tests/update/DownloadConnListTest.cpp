#include "update/DownloadConnList.h"

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "support/HttpTestServer.h"
#include "support/OutcomeText.h"
#include "update/ListHeaderTime.h"
#include "update/UpdateTestContext.h"

namespace {

const std::string kList =
    "2009/05/20 12:30:00\r\n# published list\r\nMAIL 10.0.0.1 25 110 143 plain-1\r\n"
    "MAIL-SSL 10.0.0.2 465 995 993 ssl-1\r\n";

class DownloadConnListTest : public ::testing::Test {
protected:
    void SetUp() override { PrepareUpdateContext(ctx, dir); }

    DownloadOutcome Download() { return DownloadConnList(ctx, state, server.port()); }
    std::vector<std::string> DownloadLog() {
        std::vector<std::string> lines;
        for (const std::string& m : LogMessages(dir))
            if (m.rfind("[DOWNLOAD]", 0) == 0) lines.push_back(m);
        return lines;
    }

    TempDir dir;
    AppContext ctx;
    DownloadState state;
    HttpTestServer server;
};

TEST_F(DownloadConnListTest, UsableListIsKeptAndWrittenWithoutCr) {
    server.Serve("/list.conf", kList);
    EXPECT_EQ(Download(), DownloadOutcome::Succeeded);
    EXPECT_EQ(std::string(state.downloadBuffer, state.downloadLength), kList);
    EXPECT_EQ(state.downloadBuffer[state.downloadLength], '\0');
    EXPECT_EQ(state.downloadedListTime, HeaderToSeconds(2009, 5, 20, 12, 30, 0));
    EXPECT_EQ(dir.Read("NewQuilloMark.conf"), WithoutCr(kList));
    EXPECT_TRUE(DownloadLog().empty());

    std::vector<std::string> requests = server.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].rfind("GET /list.conf HTTP/1.1\r\n", 0), 0u) << requests[0];
    EXPECT_NE(requests[0].find("\r\nUser-Agent: My Session\r\n"), std::string::npos) << requests[0];
}

TEST_F(DownloadConnListTest, PathWithoutLeadingSlashAndRedirectsAreFollowed) {
    std::strcpy(ctx.userConfig.DOWNLOAD_PATH, "old.conf");
    server.SetHandler([](const std::string& path, int) {
        if (path == "/old.conf") return HttpTestResponse{302, "", "Location: /list.conf\r\n"};
        if (path == "/list.conf") return HttpTestResponse{200, kList, ""};
        return HttpTestResponse{404, "", ""};
    });
    EXPECT_EQ(Download(), DownloadOutcome::Succeeded);
    EXPECT_EQ(server.CountFor("/list.conf"), 1);
}

TEST_F(DownloadConnListTest, StatusOtherThan200FailsWithItsLogLine) {
    server.Serve("/other.conf", kList);  // "/list.conf" answers 404
    dir.Write("Quillomark.conf", "untouched");
    EXPECT_EQ(Download(), DownloadOutcome::Failed);
    EXPECT_EQ(DownloadLog(), std::vector<std::string>{"[DOWNLOAD][MINOR] ERROR: download status not ok(404)"});
    EXPECT_FALSE(dir.Exists("NewQuilloMark.conf"));
    EXPECT_EQ(state.downloadLength, 0u);
    EXPECT_EQ(dir.Read("Quillomark.conf"), "untouched");

    server.SetHandler([](const std::string&, int) { return HttpTestResponse{500, kList, ""}; });
    EXPECT_EQ(Download(), DownloadOutcome::Failed);
    EXPECT_EQ(DownloadLog().back(), "[DOWNLOAD][MINOR] ERROR: download status not ok(500)");
    EXPECT_FALSE(dir.Exists("NewQuilloMark.conf"));
}

TEST_F(DownloadConnListTest, EmptyBodyFailsWithoutALogLine) {
    server.Serve("/list.conf", "");
    EXPECT_EQ(Download(), DownloadOutcome::Failed);
    EXPECT_TRUE(DownloadLog().empty());
    EXPECT_FALSE(dir.Exists("NewQuilloMark.conf"));
}

// A 3000-byte list whose connection line "MAIL 10.0.0.1 25 110 143 code..."
// begins at byte start, so that the cut after byte 2048 lands in it.
std::string BodyWithLineAt(std::size_t start) {
    const std::string line = "MAIL 10.0.0.1 25 110 143 plain\r\n";
    std::string body = "2009/05/20 12:30:00\r\n";
    while (body.size() + line.size() + 3 <= start) body += line;
    body += "#" + std::string(start - body.size() - 3, '-') + "\r\n";
    body += "MAIL 10.0.0.1 25 110 143 code-" + std::string(40, 'c') + "\r\n";
    while (body.size() < 3000) body += "#\r\n";
    return body.substr(0, 3000);
}

TEST_F(DownloadConnListTest, LongBodyIsCutAfter2048BytesAndTheCutLineCheckedAsItIs) {
    // The cut leaves "code-" of the last line: six fields, accepted.
    std::string body = BodyWithLineAt(2048 - 30);
    ASSERT_EQ(body.substr(2043, 5), "code-");
    server.Serve("/list.conf", body);
    EXPECT_EQ(Download(), DownloadOutcome::Succeeded);
    EXPECT_EQ(state.downloadLength, kDownloadBufferSize);
    EXPECT_EQ(std::string(state.downloadBuffer, state.downloadLength), body.substr(0, 2048));
    EXPECT_EQ(dir.Read("NewQuilloMark.conf"), WithoutCr(body.substr(0, 2048)));

    // The cut leaves "MAIL 10.0.0.1 25 110 143 ": five fields, rejected.
    std::string shifted = BodyWithLineAt(2048 - 25);
    ASSERT_EQ(shifted.substr(2040, 8), "110 143 ");
    std::filesystem::remove(dir.File("NewQuilloMark.conf"));
    server.Serve("/list.conf", shifted);
    EXPECT_EQ(Download(), DownloadOutcome::Failed);
    EXPECT_EQ(state.downloadLength, kDownloadBufferSize);
    EXPECT_EQ(DownloadLog().back(), "[DOWNLOAD][MINOR] ERROR: parse downloaded config file failed");
    EXPECT_FALSE(dir.Exists("NewQuilloMark.conf"));
}

TEST_F(DownloadConnListTest, UnusableBodiesAreRejectedWithTheParseLine) {
    const std::string good = "MAIL 10.0.0.1 25 110 143 a\r\n";
    const std::string bodies[] = {
        "2009/05/20\r\n" + good,                             // header with only a date
        "2009/05/20 12:30:00\r\n# only\r\n# comments\r\n",   // no connection
        "2009/05/20 12:30:00\r\n" + good + "\r\n" + good,    // empty line between connections
        "2009/05/20 12:30:00\r\n" + good + "SMTP 10.0.0.1 25 110 143 b\r\n",
    };
    for (const std::string& body : bodies) {
        server.Serve("/list.conf", body);
        EXPECT_EQ(Download(), DownloadOutcome::Failed) << body;
        EXPECT_EQ(DownloadLog().back(), "[DOWNLOAD][MINOR] ERROR: parse downloaded config file failed");
        EXPECT_FALSE(dir.Exists("NewQuilloMark.conf"));
        // The body is kept in memory all the same.
        EXPECT_EQ(std::string(state.downloadBuffer, state.downloadLength), body);
    }
    server.Serve("/list.conf", "2009/05/20 12:30:00\r\nMA 10.0.0.1 25 110 143 a\r\n");
    EXPECT_EQ(Download(), DownloadOutcome::Succeeded);
}

TEST_F(DownloadConnListTest, ConnectionFailureLogsTheCurlCode) {
    EXPECT_EQ(DownloadConnList(ctx, state, FreePort()), DownloadOutcome::Failed);
    EXPECT_EQ(DownloadLog(), std::vector<std::string>{"[DOWNLOAD][MINOR] ERROR: catch internet exception(7)"});

    ctx.userConfig.DOWNLOAD_SERVER[0] = '\0';
    EXPECT_EQ(Download(), DownloadOutcome::Failed);
    EXPECT_EQ(DownloadLog().back().rfind("[DOWNLOAD][MINOR] ERROR: catch internet exception(", 0), 0u);
    EXPECT_FALSE(dir.Exists("NewQuilloMark.conf"));
}

TEST_F(DownloadConnListTest, UnwritableNewListStillCountsAsDownloaded) {
    std::filesystem::create_directory(dir.File("NewQuilloMark.conf"));
    server.Serve("/list.conf", kList);
    EXPECT_EQ(Download(), DownloadOutcome::Succeeded);
    EXPECT_TRUE(std::filesystem::is_directory(dir.File("NewQuilloMark.conf")));
    EXPECT_EQ(state.downloadLength, kList.size());
}

}  // namespace
