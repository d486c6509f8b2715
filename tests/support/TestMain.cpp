// The test entry shared by every test executable. Qt-based tests need a
// platform plugin that works without a display, and the suite must never be
// killed by a peer that closes a socket while a test writes to it.
#include <csignal>
#include <cstdlib>

#include <gtest/gtest.h>

// Qt's font set-up keeps fontconfig's caches for the life of the process;
// LeakSanitizer would report them at exit in every test that shows a widget.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    std::signal(SIGPIPE, SIG_IGN);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
