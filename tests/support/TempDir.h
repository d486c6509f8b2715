// TempDir makes a fresh directory under /tmp for one test and removes it with
// everything in it when the test ends, so tests never share files.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

class TempDir {
public:
    TempDir() {
        char pattern[] = "/tmp/qmtestXXXXXX";
        char* made = mkdtemp(pattern);
        path_ = made != nullptr ? made : "";
    }
    ~TempDir() {
        std::error_code ignored;
        if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }

    void Write(const std::string& name, const std::string& content) const {
        std::ofstream out(File(name), std::ios::binary | std::ios::trunc);
        out << content;
    }
    std::string Read(const std::string& name) const {
        std::ifstream in(File(name), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    bool Exists(const std::string& name) const { return std::filesystem::exists(File(name)); }
    // Whether an entry whose name begins with prefix (which may name a
    // subdirectory first) is there: how a temporary file left beside its
    // target shows, whatever its exact name.
    bool HasEntryBeginningWith(const std::string& prefix) const {
        std::filesystem::path where = std::filesystem::path(File(prefix)).parent_path();
        std::string start = std::filesystem::path(prefix).filename().string();
        std::error_code ignored;
        for (const auto& entry : std::filesystem::directory_iterator(where, ignored))
            if (entry.path().filename().string().rfind(start, 0) == 0) return true;
        return false;
    }

private:
    std::string path_;
};
