#include "update/DownloadConnList.h"

#include <filesystem>
#include <string>

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include "support/HttpTestServer.h"
#include "support/OutcomeText.h"
#include "update/ListHeaderTime.h"
#include "update/UpdateTestContext.h"

namespace {

const std::string kList =
    "2009/05/20 12:30:00\r\n# published list\r\nMAIL 10.0.0.1 25 110 143 plain-1\r\n"
    "MAIL-SSL 10.0.0.2 465 995 993 ssl-1\r\n";

class DownloadConnListTest : public UpdateTest {
protected:
    DownloadOutcome Download() { return DownloadConnList(ctx, state, server.port()); }

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

// A publisher's Ed25519 key, and the base64 texts the list check uses.
struct Publisher {
    Publisher() : key(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"), EVP_PKEY_free) {}
    static std::string Base64(const unsigned char* bytes, std::size_t length) {
        std::string text(4 * ((length + 2) / 3) + 1, '\0');
        text.resize(static_cast<std::size_t>(
            EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), bytes, static_cast<int>(length))));
        return text;
    }
    std::string PublicKey() const {
        unsigned char raw[32];
        std::size_t length = sizeof raw;
        EVP_PKEY_get_raw_public_key(key.get(), raw, &length);
        return Base64(raw, length);
    }
    std::string Sign(const std::string& list) const {
        unsigned char signature[64];
        std::size_t length = sizeof signature;
        EVP_MD_CTX* digest = EVP_MD_CTX_new();
        EVP_DigestSignInit(digest, nullptr, nullptr, nullptr, key.get());
        EVP_DigestSign(digest, signature, &length, reinterpret_cast<const unsigned char*>(list.data()), list.size());
        EVP_MD_CTX_free(digest);
        return Base64(signature, length) + "\n";
    }
    std::shared_ptr<EVP_PKEY> key;
};

// A list of exactly size bytes: kList, then comment lines.
std::string ListOfSize(std::size_t size) {
    std::string body = kList;
    while (body.size() + 4 <= size) body += "#\r\n";
    body.insert(kList.size(), std::string(size - body.size(), '#'));
    return body;
}

struct WholeBodyCase {
    const char* name;
    std::string body;
    std::string lengthHeader;  // empty: the right one
    bool keySet;
    enum { Unsigned, Signed, SignedOther } signature;
    bool installed;
    std::string logLine;  // the last download line, "" for none
};

class DownloadWholeBodyTest : public DownloadConnListTest, public ::testing::WithParamInterface<WholeBodyCase> {};

TEST_P(DownloadWholeBodyTest, OnlyAWholeSignedListIsInstalled) {
    const WholeBodyCase& c = GetParam();
    Publisher publisher;
    if (c.keySet) ctx.userConfig.LIST_PUBLIC_KEY.Set(publisher.PublicKey());
    std::string signature = c.signature == WholeBodyCase::Signed        ? publisher.Sign(c.body)
                            : c.signature == WholeBodyCase::SignedOther ? publisher.Sign(c.body + "#\r\n")
                                                                        : "";
    server.SetHandler([&c, signature](const std::string& path, int) {
        if (path == "/list.conf") return HttpTestResponse{200, c.body, c.lengthHeader};
        if (path == "/list.conf.sig" && !signature.empty()) return HttpTestResponse{200, signature, ""};
        return HttpTestResponse{404, "", ""};
    });
    EXPECT_EQ(Download(), c.installed ? DownloadOutcome::Succeeded : DownloadOutcome::Failed);
    EXPECT_EQ(dir.Exists("NewQuilloMark.conf"), c.installed);
    // A list that is refused never reaches the update.
    EXPECT_EQ(state.downloadLength, c.installed ? c.body.size() : 0u);
    std::vector<std::string> log = DownloadLog();
    if (c.logLine.empty()) {
        EXPECT_TRUE(log.empty()) << log.back();
    } else {
        ASSERT_FALSE(log.empty());
        EXPECT_EQ(log.back(), "[DOWNLOAD][MINOR] " + c.logLine);
    }
}

const std::string kCut = kList.substr(0, kList.size() - 2);
INSTANTIATE_TEST_SUITE_P(
    Bodies, DownloadWholeBodyTest,
    ::testing::Values(
        WholeBodyCase{"AtTheLimit", ListOfSize(kDownloadBufferSize), "", false, WholeBodyCase::Unsigned, true, ""},
        WholeBodyCase{"OverTheLimit", ListOfSize(kDownloadBufferSize + 1), "", false, WholeBodyCase::Unsigned,
                      false, "ERROR: downloaded list too long"},
        WholeBodyCase{"FourMegabytes", ListOfSize(4u << 20), "", false, WholeBodyCase::Unsigned, false,
                      "ERROR: downloaded list too long"},
        WholeBodyCase{"LastLineWithoutEnd", kCut, "", false, WholeBodyCase::Unsigned, false,
                      "ERROR: downloaded list cut, its last line has no line end"},
        WholeBodyCase{"DeclaredShorter", kList, "Content-Length: 40\r\n", false, WholeBodyCase::Unsigned, false,
                      "ERROR: downloaded list length " + std::to_string(kList.size()) +
                          " differs from its Content-Length 40"},
        WholeBodyCase{"DeclaredLonger", kList, "Content-Length: 4000\r\n", false, WholeBodyCase::Unsigned, false,
                      "ERROR: downloaded list length " + std::to_string(kList.size()) +
                          " differs from its Content-Length 4000"},
        WholeBodyCase{"Signed", kList, "", true, WholeBodyCase::Signed, true, ""},
        WholeBodyCase{"SignatureIgnoredWithoutKey", kList, "", false, WholeBodyCase::SignedOther, true, ""},
        WholeBodyCase{"Unsigned", kList, "", true, WholeBodyCase::Unsigned, false,
                      "ERROR: downloaded list unsigned, refused"},
        WholeBodyCase{"SignatureOfAnotherList", kList, "", true, WholeBodyCase::SignedOther, false,
                      "ERROR: downloaded list signature does not verify, refused"}),
    [](const ::testing::TestParamInfo<WholeBodyCase>& info) { return std::string(info.param.name); });

TEST_F(DownloadConnListTest, RedirectToAnotherServerIsNotFollowed) {
    HttpTestServer other;
    other.Serve("/list.conf", kList);
    const std::string elsewhere[] = {
        "http://127.0.0.1:" + std::to_string(other.port()) + "/list.conf",  // another port
        "http://localhost:" + std::to_string(server.port()) + "/list.conf",  // another host name
        "https://127.0.0.1:" + std::to_string(server.port()) + "/list.conf", // another scheme
    };
    for (const std::string& target : elsewhere) {
        server.SetHandler([target](const std::string& path, int) {
            if (path == "/list.conf") return HttpTestResponse{302, "", "Location: " + target + "\r\n"};
            return HttpTestResponse{404, "", ""};
        });
        EXPECT_EQ(Download(), DownloadOutcome::Failed) << target;
        EXPECT_EQ(DownloadLog().back(), "[DOWNLOAD][MINOR] ERROR: redirect of the list to another server refused(" +
                                            target + ")");
    }
    EXPECT_TRUE(other.Requests().empty());
    EXPECT_FALSE(dir.Exists("NewQuilloMark.conf"));
}

}  // namespace
