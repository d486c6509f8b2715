// The test entry shared by every test executable. Qt-based tests need a
// platform plugin that works without a display, and the suite must never be
// killed by a peer that closes a socket while a test writes to it.
#include <csignal>
#include <cstdlib>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    std::signal(SIGPIPE, SIG_IGN);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
