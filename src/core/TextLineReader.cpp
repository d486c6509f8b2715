#include "core/TextLineReader.h"

#include <sys/stat.h>

TextLineReader::TextLineReader(const std::string& path, ReadLimits limits) : limits_(limits) {
    file_ = std::fopen(path.c_str(), "rb");
    if (file_ == nullptr) return;
    struct stat info {};
    // fopen succeeds on a directory and only the reads fail; refuse it here so
    // that the caller reports the open failure it is meant to.
    if (fstat(fileno(file_), &info) != 0 || S_ISDIR(info.st_mode)) {
        std::fclose(file_);
        file_ = nullptr;
        return;
    }
    if (S_ISREG(info.st_mode) && static_cast<std::size_t>(info.st_size) > limits_.bytes) {
        overLimit_ = true;
        return;
    }
    SkipByteOrderMark();
}

// Editors on other systems start a UTF-8 file with EF BB BF; left in place it
// would make the first line's key or record unknown.
void TextLineReader::SkipByteOrderMark() {
    static constexpr int kMark[3] = {0xEF, 0xBB, 0xBF};
    int read[3];
    int count = 0;
    for (; count < 3; ++count) {
        read[count] = Get();
        if (read[count] != kMark[count]) {
            ++count;
            break;
        }
    }
    if (count == 3 && read[2] == kMark[2]) return;
    // Not a mark: what was read goes back, last first, to be read in order.
    for (int i = count - 1; i >= 0; --i) PutBack(read[i]);
}

std::string TextLineReader::LimitText() const {
    std::string text = std::to_string(limits_.bytes) + " bytes";
    if (limits_.lines != SIZE_MAX) text += " or " + std::to_string(limits_.lines) + " lines";
    return text;
}

TextLineReader::~TextLineReader() {
    if (file_ != nullptr) std::fclose(file_);
}

int TextLineReader::Get() {
    if (pushedCount_ > 0) return pushed_[--pushedCount_];
    if (overLimit_) return EOF;
    int c = std::getc(file_);
    if (c != EOF && ++bytesRead_ > limits_.bytes) {
        overLimit_ = true;
        return EOF;
    }
    return c;
}

void TextLineReader::PutBack(int c) {
    if (c != EOF) pushed_[pushedCount_++] = c;
}


// True when c starts a line end (LF, or CR followed by LF), which is then
// consumed; otherwise everything read past c is put back.
bool TextLineReader::TakeLineEnd(int c) {
    if (c == '\n') return true;
    if (c != '\r') return false;
    int next = Get();
    if (next == '\n') return true;
    PutBack(next);
    return false;
}

bool TextLineReader::Next() {
    length_ = 0;
    ended_ = false;
    if (file_ == nullptr || overLimit_) return false;
    while (length_ < kLinePieceLength) {
        int c = Get();
        if (c == EOF) break;
        if (TakeLineEnd(c)) {
            ended_ = true;
            break;
        }
        buffer_[length_++] = static_cast<char>(c);
    }
    if (length_ == kLinePieceLength && !ended_) {
        // A line of exactly the piece length keeps its own line end instead
        // of leaving an empty piece behind.
        int c = Get();
        ended_ = TakeLineEnd(c);
        if (!ended_) PutBack(c);
    }
    if (overLimit_) return false;
    if (length_ == 0 && !ended_) return false;
    if (ended_ && ++linesRead_ > limits_.lines) {
        overLimit_ = true;
        return false;
    }
    buffer_[length_] = ended_ ? '\n' : '\0';
    buffer_[length_ + 1] = '\0';
    return true;
}
