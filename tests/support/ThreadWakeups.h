// How often a thread of this process went to sleep and was woken again: the
// kernel's count of its voluntary context switches. An idle thread that
// truly sleeps adds none; one that polls in slices adds one per slice. And
// whether a thread sleeps now, so that counting starts once it has begun to
// wait rather than after a fixed time.
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

// The state letter of /proc's stat line, after the name in parentheses.
inline bool Asleep(pid_t tid) {
    std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string line;
    std::getline(stat, line);
    std::string::size_type end = line.rfind(')');
    return end != std::string::npos && end + 2 < line.size() && line[end + 2] == 'S';
}
