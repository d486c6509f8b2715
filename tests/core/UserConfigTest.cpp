// The settings record under the load it meets in use: the window changes
// settings through ModifyUserConfig while proxy and detection threads read
// them. Under ThreadSanitizer any unguarded access fails the run; in every
// build a text read half-written, or a number no writer ever stored, fails
// the checks.
#include "core/UserConfig.h"

#include <atomic>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "core/UserConfigFile.h"
#include "core/WriteLog.h"
#include "support/LoggedContext.h"
#include "support/OutcomeText.h"

namespace {

const std::string kMailA(127, 'a');
const std::string kMailB(127, 'b');

bool IsWholeText(const std::string& text, const std::string& one, const std::string& other) {
    return text == one || text == other;
}

TEST(UserConfigTest, SettingsTheWindowChangesReadWholeOnEveryThread) {
    TempDir dir;
    CoreContext ctx;
    LogInto(ctx, dir);
    dir.Write("Quillomark.ini", "IS_PREFER_SSL=0\nIS_MANUAL_DETECT=0\nLOG_LVL=3\nUSER_MAIL=\"" + kMailA +
                                    "\"\nTEST_INTERNET_SERVER=\"" + kMailA + "\"\nLISTEN_ADDRESS=\"127.0.0.1\"\n");
    ASSERT_EQ(CoreResult::Ok, LoadUserConfig(ctx));
    UserConfig& cfg = ctx.userConfig;
    cfg.LOG_SIZE = kTestLogSize;

    std::atomic<bool> done{false};
    std::thread window([&] {
        for (int i = 0; i < 60; ++i) {
            bool odd = i % 2 == 1;
            ModifyUserConfig(ctx, "IS_PREFER_SSL", odd ? "1" : "0");
            ModifyUserConfig(ctx, "IS_MANUAL_DETECT", odd ? "0" : "1");
            ModifyUserConfig(ctx, "LOG_LVL", odd ? "5" : "0");
            ModifyUserConfig(ctx, "USER_MAIL", (odd ? kMailB : kMailA).c_str());
            ModifyUserConfig(ctx, "TEST_INTERNET_SERVER", (odd ? kMailB : kMailA).c_str());
            ModifyUserConfig(ctx, "LISTEN_ADDRESS", odd ? "0.0.0.0" : "127.0.0.1");
        }
        done = true;
    });
    std::atomic<int> torn{0};
    std::atomic<long> reads{0};
    // What a listener and its client processes read for each new client.
    std::thread proxy([&] {
        while (!done) {
            bool manual = cfg.IS_MANUAL_DETECT;
            bool preferTls = cfg.IS_PREFER_SSL;
            std::string address = cfg.LISTEN_ADDRESS.Get();
            if (!IsWholeText(address, "127.0.0.1", "0.0.0.0")) ++torn;
            WriteLog(ctx, PROXY, MINOR, "client manual=%d tls=%d", manual, preferTls);
            ++reads;
        }
    });
    // What a detection run and a log report read.
    std::thread detection([&] {
        while (!done) {
            int32_t level = cfg.LOG_LVL;
            if (level != 0 && level != 3 && level != 5) ++torn;
            if (!IsWholeText(cfg.TEST_INTERNET_SERVER.Get(), kMailA, kMailB)) ++torn;
            if (!IsWholeText(cfg.USER_MAIL.Get(), kMailA, kMailB)) ++torn;
            WriteLog(ctx, DETECT, PROCEDURE, "probe with retries=%d", static_cast<int>(cfg.TEST_INTERNET_RETRY_NUM));
            ++reads;
        }
    });
    window.join();
    proxy.join();
    detection.join();

    EXPECT_EQ(0, torn.load());
    EXPECT_GT(reads.load(), 0);
    EXPECT_TRUE(cfg.IS_PREFER_SSL);
    EXPECT_EQ(5, cfg.LOG_LVL);
    EXPECT_EQ(kMailB, cfg.USER_MAIL.Get());
    EXPECT_EQ("0.0.0.0", cfg.LISTEN_ADDRESS.Get());
}

TEST(UserConfigTest, TextsKeepAtMost127CharactersUpToANul) {
    ConfigText text;
    EXPECT_TRUE(text.Empty());
    text.Set(std::string(300, 'x'));
    EXPECT_EQ(std::string(127, 'x'), text.Get());
    text.Set(std::string("before") + '\0' + "after");
    EXPECT_EQ("before", text.Get());
}

}  // namespace
