// How many descriptors the test's process holds open: a leak raises the
// count, and a descriptor closed twice lowers it once its number has gone to
// another holder in between.
#pragma once

#include <filesystem>

inline int OpenDescriptors() {
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        (void)entry;
        ++count;
    }
    return count - 1;  // the listing's own
}
