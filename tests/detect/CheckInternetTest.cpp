#include "detect/CheckInternet.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "core/CoreContext.h"
#include "support/ContextFixture.h"
#include "support/HttpTestServer.h"
#include "support/LoopbackPeer.h"
#include "support/OutcomeText.h"

namespace {

// A name that cannot resolve and that the resolver refuses before asking any
// server: its first label is longer than DNS allows.
const std::string kUnresolvable = std::string(70, 'q') + ".invalid";

class CheckInternetTest : public CoreContextTest {
protected:
    CheckInternetTest() {
        setenv("no_proxy", "*", 1);  // never through a proxy, whatever the environment says
    }

    void Target(const std::string& host, int32_t port) {
        ctx.userConfig.TEST_INTERNET_SERVER.Set(host.c_str());
        ctx.userConfig.TEST_INTERNET_PORT = port;
    }
};

TEST_F(CheckInternetTest, StatusTwoHundredIsReachable) {
    HttpTestServer web(200);
    Target("127.0.0.1", web.port());
    EXPECT_EQ(CheckInternet(ctx, 5000, 10000), DetectionResult::Ok);
    std::vector<std::string> requests = web.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].rfind("GET /index.html HTTP/1.1\r\n", 0), 0u) << requests[0];
    EXPECT_NE(requests[0].find("\r\nUser-Agent: checkInternet\r\n"), std::string::npos);
    EXPECT_NE(Log().find("check internet using 127.0.0.1 (" + std::to_string(web.port()) + ")"),
              std::string::npos);
    EXPECT_EQ(Log().find("ERROR"), std::string::npos);
}

TEST_F(CheckInternetTest, OtherStatusesAreNotReachable) {
    for (int status : {404, 500, 204}) {
        HttpTestServer web(status);
        Target("127.0.0.1", web.port());
        EXPECT_EQ(CheckInternet(ctx, 5000, 10000), DetectionResult::InternetCheckFailed) << status;
    }
    std::string log = Log();
    std::size_t first = log.find("[DETECT][MAJOR] ERROR: http status isn't ok");
    ASSERT_NE(first, std::string::npos);
    EXPECT_NE(log.find("ERROR: http status isn't ok", first + 1), std::string::npos);
}

TEST_F(CheckInternetTest, RedirectIsFollowedToTheFinalStatus) {
    HttpTestServer web(200, "/moved/index.html");
    Target("127.0.0.1", web.port());
    EXPECT_EQ(CheckInternet(ctx, 5000, 10000), DetectionResult::Ok);
    std::vector<std::string> requests = web.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[1].rfind("GET /moved/index.html ", 0), 0u);
}

TEST_F(CheckInternetTest, ClosedPortAndUnresolvableNameLogTheErrorCode) {
    Target("127.0.0.1", FreePort());
    EXPECT_EQ(CheckInternet(ctx, 5000, 10000), DetectionResult::InternetCheckFailed);
    EXPECT_NE(Log().find("[DETECT][MAJOR] ERROR: check internet connection failed(7)"),
              std::string::npos);

    Target(kUnresolvable, 80);
    EXPECT_EQ(CheckInternet(ctx, 5000, 10000), DetectionResult::InternetCheckFailed);
    EXPECT_NE(Log().find("ERROR: check internet connection failed(6)"), std::string::npos);
}

TEST_F(CheckInternetTest, PortAboveSixteenBitsIsTakenModulo) {
    HttpTestServer web(200);
    Target("127.0.0.1", web.port() + 65536);
    EXPECT_EQ(CheckInternet(ctx, 5000, 10000), DetectionResult::Ok);
}

TEST_F(CheckInternetTest, SilentHostEndsAtTheRequestBound) {
    LoopbackPeer silent([](PeerLink& link) { link.WaitClosed(10s); });
    Target("127.0.0.1", silent.port());
    EXPECT_EQ(CheckInternet(ctx, 1000, 1500), DetectionResult::InternetCheckFailed);
    EXPECT_NE(Log().find("ERROR: check internet connection failed(28)"), std::string::npos);
}

}  // namespace
