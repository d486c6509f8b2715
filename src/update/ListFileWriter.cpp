#include "update/ListFileWriter.h"

#include <cstdio>

bool WriteListFile(const std::string& path, const char* data, std::size_t length) {
    FILE* file = std::fopen(path.c_str(), "w");
    if (file == nullptr) return false;
    bool written = true;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= length; ++i) {
        if (i < length && data[i] != '\r') continue;
        std::size_t run = i - start;
        if (run > 0 && std::fwrite(data + start, 1, run, file) != run) written = false;
        start = i + 1;
    }
    return std::fclose(file) == 0 && written;
}

bool ReplaceListFile(const std::string& path, const char* data, std::size_t length) {
    std::string temporary = path + ".tmp";
    if (!WriteListFile(temporary, data, length) || std::rename(temporary.c_str(), path.c_str()) != 0) {
        std::remove(temporary.c_str());
        return false;
    }
    return true;
}
