#include "update/DownloadedList.h"

#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include "catalogue/ProtocalInfo.h"
#include "update/ListHeaderTime.h"

namespace {

constexpr int kConnLineFields = 6;
constexpr std::size_t kTypeLimit = 63;

// One line of the body, without its line end.
struct BodyLine {
    const char* text;
    std::size_t length;
};

// Walks the body line by line. A body that ends with a line end has no empty
// line after it; a last line without one is the rest of the body.
class BodyLines {
public:
    BodyLines(const char* body, std::size_t length) : at_(body), end_(body + length) {}

    bool Next(BodyLine* line, bool* ended) {
        if (at_ >= end_) return false;
        const char* lf = static_cast<const char*>(std::memchr(at_, '\n', end_ - at_));
        const char* stop = lf != nullptr ? lf : end_;
        line->text = at_;
        line->length = stop - at_;
        if (lf != nullptr && line->length > 0 && at_[line->length - 1] == '\r') --line->length;
        *ended = lf != nullptr;
        at_ = lf != nullptr ? lf + 1 : end_;
        return true;
    }

private:
    const char* at_;
    const char* end_;
};

bool IsBlank(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

// Splits a line into at most max blank-separated words; returns the count.
int SplitWords(const BodyLine& line, std::string* words, int max) {
    int count = 0;
    std::size_t i = 0;
    while (count < max) {
        while (i < line.length && IsBlank(line.text[i])) ++i;
        if (i == line.length) break;
        std::size_t start = i;
        while (i < line.length && !IsBlank(line.text[i])) ++i;
        words[count++].assign(line.text + start, i - start);
    }
    return count;
}

// A port is a whole decimal word that fits 32 bits; its range is not checked.
bool IsPortWord(const std::string& word) {
    if (word.empty() || word.size() > 11) return false;
    char* end = nullptr;
    long long value = std::strtoll(word.c_str(), &end, 10);
    return end == word.c_str() + word.size() && std::isdigit(static_cast<unsigned char>(word.back())) &&
           value >= INT_MIN && value <= INT_MAX;
}

bool IsConnectionLine(const BodyLine& line) {
    std::string words[kConnLineFields];
    if (SplitWords(line, words, kConnLineFields) < kConnLineFields) return false;
    if (words[0].size() > kTypeLimit || words[1].size() >= kDestSize) return false;
    for (int port = 2; port <= 4; ++port)
        if (!IsPortWord(words[port])) return false;
    return MatchLinkType(words[0].c_str()) >= 0;
}

bool HeaderHasDateAndTime(const BodyLine& header) {
    std::string words[2];
    return SplitWords(header, words, 2) == 2;
}

}  // namespace

UpdateResult ValidateDownloadedList(const DownloadState& state) {
    std::size_t length = state.downloadLength;
    if (length > kDownloadBufferSize) return UpdateResult::ListRejected;
    // The whole body goes into the list file, so every byte of it must be
    // text the check has seen.
    if (std::memchr(state.downloadBuffer, '\0', length) != nullptr) return UpdateResult::ListRejected;
    BodyLines lines(state.downloadBuffer, length);
    BodyLine line{};
    bool ended = false;
    if (!lines.Next(&line, &ended) || !ended || line.length > kListLineLimit ||
        !HeaderHasDateAndTime(line))
        return UpdateResult::ListRejected;
    int connections = 0;
    while (lines.Next(&line, &ended)) {
        // The file reader takes longer lines in pieces, and a piece could
        // then pass for a line of its own.
        if (line.length > kListLineLimit) return UpdateResult::ListRejected;
        if (line.length > 0 && line.text[0] == '#') continue;
        if (!IsConnectionLine(line)) return UpdateResult::ListRejected;
        ++connections;
    }
    return connections > 0 ? UpdateResult::Ok : UpdateResult::ListRejected;
}

int64_t ReadDownloadedListTime(const DownloadState& state) {
    std::size_t length = state.downloadLength <= kDownloadBufferSize ? state.downloadLength : 0;
    length = strnlen(state.downloadBuffer, length);
    BodyLines lines(state.downloadBuffer, length);
    BodyLine header{};
    bool ended = false;
    if (!lines.Next(&header, &ended) || !ended) return kNoListTime;
    return HeaderLineToSeconds(header.text, header.length);
}
