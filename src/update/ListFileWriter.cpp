#include "update/ListFileWriter.h"

#include <algorithm>

#include "platform/ReplaceFile.h"

std::string ListFileText(const char* data, std::size_t length) {
    std::string text(data, length);
    text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
    return text;
}

bool WriteListFile(const std::string& path, const char* data, std::size_t length) {
    return ReplaceFile(path, ListFileText(data, length));
}
