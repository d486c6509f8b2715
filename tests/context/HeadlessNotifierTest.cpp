#include "context/HeadlessNotifier.h"

#include <cstdio>
#include <string>

#include <gtest/gtest.h>

namespace {

DetectProgress Report(int index, bool finished, const char* code, int32_t cost) {
    DetectProgress p;
    p.index = index;
    p.count = 3;
    p.finished = finished;
    p.Code = code;
    p.Dest = "10.0.0." + std::to_string(index + 1);
    p.LinkCost = cost;
    return p;
}

class HeadlessNotifierTest : public ::testing::Test {
protected:
    ~HeadlessNotifierTest() override { std::fclose(out); }
    std::string Printed() {
        std::fflush(out);
        std::rewind(out);
        std::string text;
        for (int c; (c = std::fgetc(out)) != EOF;) text += static_cast<char>(c);
        return text;
    }

    AppContext ctx;
    FILE* out = std::tmpfile();
    HeadlessNotifier notifier{ctx, out};
};

TEST_F(HeadlessNotifierTest, ARunPrintsItsProgressAmongThePaneLinesThenOneSummary) {
    notifier.PostInfoLine("auto detect start\r\n");
    notifier.DetectionStarted();
    notifier.DetectionProgress(Report(0, false, "plain-1", 0));
    notifier.PostInfoLine("smtp > EHLO\r\n");
    notifier.DetectionProgress(Report(0, true, "plain-1", 400));
    notifier.DetectionProgress(Report(1, false, "ssl-1", 0));
    notifier.DetectionProgress(Report(1, true, "ssl-1", 312));
    notifier.DetectionProgress(Report(2, false, "plain-2", 0));
    notifier.DetectionProgress(Report(2, true, "plain-2", -1));
    notifier.DetectionFinished();
    notifier.PostInfoLine("auto detect end\r\n");
    EXPECT_EQ(Printed(),
              "auto detect start\r\n"
              "probing 1 of 3: plain-1 (10.0.0.1)\r\n"
              "smtp > EHLO\r\n"
              "probed 1 of 3: plain-1 400 ms\r\n"
              "probing 2 of 3: ssl-1 (10.0.0.2)\r\n"
              "probed 2 of 3: ssl-1 312 ms\r\n"
              "probing 3 of 3: plain-2 (10.0.0.3)\r\n"
              "probed 3 of 3: plain-2 FAILD\r\n"
              "best: ssl-1 (10.0.0.2) 312 ms; 2 of 3 candidates passed\r\n"
              "auto detect end\r\n");
}

TEST_F(HeadlessNotifierTest, ARunThatProbedNothingPrintsNoSummaryAndRunsDoNotMix) {
    notifier.DetectionStarted();
    notifier.DetectionProgress(Report(0, true, "plain-1", -1));
    notifier.DetectionFinished();
    notifier.DetectionStarted();
    notifier.DetectionFinished();  // no Internet: nothing probed
    EXPECT_EQ(Printed(),
              "probed 1 of 3: plain-1 FAILD\r\n"
              "best: none; 0 of 3 candidates passed\r\n");
}

}  // namespace
