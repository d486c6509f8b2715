// How often a thread of this process went to sleep and was woken again: the
// kernel's count of its voluntary context switches. An idle thread that
// truly sleeps adds none; one that polls in slices adds one per slice.
#pragma once

#include <fstream>
#include <string>

#include <sys/types.h>
#include <unistd.h>

// -1 when the thread is gone or the count cannot be read.
inline long VoluntarySwitches(pid_t tid) {
    std::ifstream status("/proc/self/task/" + std::to_string(tid) + "/status");
    std::string line;
    const std::string key = "voluntary_ctxt_switches:";
    while (std::getline(status, line))
        if (line.compare(0, key.size(), key) == 0) return std::stol(line.substr(key.size()));
    return -1;
}
