// ConfigText is one text setting that the window may change while other
// threads read it (the reachability host, the user's mail address, the
// listening address). It is replaced whole under its own lock and read as a
// whole copy, so a reader never meets a text half-written; like every text
// setting it holds at most 127 characters.
#pragma once

#include <string>
#include <string_view>

#include "platform/Mutex.h"

inline constexpr int kConfigTextSize = 128;  // 127 characters and a terminator

class ConfigText {
public:
    ConfigText() = default;
    ConfigText(const ConfigText&) = delete;
    ConfigText& operator=(const ConfigText&) = delete;

    // A copy of the text as it is now.
    std::string Get() const EXCLUDES(lock_);
    bool Empty() const EXCLUDES(lock_);
    // Replaces the text by its first 127 characters (up to a NUL).
    void Set(std::string_view text) EXCLUDES(lock_);

private:
    mutable Mutex lock_;
    std::string text_ GUARDED_BY(lock_);
};
