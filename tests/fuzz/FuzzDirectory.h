// FuzzDirectory gives a file reader's fuzz target the one thing every reader
// needs: a directory of its own, made once per process and removed at exit,
// in which each input is written under the name the reader opens. The
// context's log goes there too, at full detail, so that the reader's log
// lines (which quote what it read) are exercised with every input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "core/CoreContext.h"

class FuzzDirectory {
public:
    FuzzDirectory() {
        char pattern[] = "/tmp/qmfuzzXXXXXX";
        const char* made = mkdtemp(pattern);
        if (made == nullptr) std::abort();
        path_ = made;
    }
    ~FuzzDirectory() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    FuzzDirectory(const FuzzDirectory&) = delete;
    FuzzDirectory& operator=(const FuzzDirectory&) = delete;

    const std::string& path() const { return path_; }

    // Writes the input as the file name (which begins with "/").
    void Write(const char* name, const uint8_t* data, std::size_t size) const {
        FILE* out = std::fopen((path_ + name).c_str(), "wb");
        if (out == nullptr) std::abort();
        if (size > 0 && std::fwrite(data, 1, size, out) != size) std::abort();
        std::fclose(out);
    }

    // Points ctx at this directory with every log line on and a small log,
    // so that the log's own roll-over is reached as well.
    void Use(CoreContext& ctx) const {
        ctx.baseDirectory = path_;
        ctx.userConfig.LOG_LVL = 5;
        ctx.userConfig.LOG_SIZE = 200000;
    }

private:
    std::string path_;
};

// One directory for the whole run of a fuzz target.
inline const FuzzDirectory& TheFuzzDirectory() {
    static FuzzDirectory directory;
    return directory;
}
