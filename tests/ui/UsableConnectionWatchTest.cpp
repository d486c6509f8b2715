#include "ui/UsableConnectionWatch.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using S = TrayStatus;
using C = UsableChange;

struct Sequence {
    const char* name;
    std::vector<TrayStatus> states;
    std::vector<UsableChange> told;
};

class UsableConnectionWatchTest : public testing::TestWithParam<Sequence> {};

TEST_P(UsableConnectionWatchTest, TellsOnlyALossAndTheRecoveryAfterIt) {
    UsableConnectionWatch watch;
    std::vector<UsableChange> told;
    for (TrayStatus state : GetParam().states) told.push_back(watch.Observe(state));
    EXPECT_EQ(told, GetParam().told);
}

INSTANTIATE_TEST_SUITE_P(
    Sequences, UsableConnectionWatchTest,
    testing::Values(
        Sequence{"StartWithoutAnyIsNoNews", {S::NoConnection, S::Detecting, S::Connected}, {C::None, C::None, C::None}},
        Sequence{"LostThenBack",
                 {S::Connected, S::Detecting, S::NoConnection, S::NoConnection, S::Detecting, S::Connected},
                 {C::None, C::None, C::Lost, C::None, C::None, C::Back}},
        Sequence{"ARunAloneLosesNothing", {S::Connected, S::Detecting, S::Connected}, {C::None, C::None, C::None}},
        Sequence{"EachLossOnce",
                 {S::Connected, S::NoConnection, S::Connected, S::NoConnection},
                 {C::None, C::Lost, C::Back, C::Lost}}),
    [](const testing::TestParamInfo<Sequence>& info) { return std::string(info.param.name); });

}  // namespace
