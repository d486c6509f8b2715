#include "core/TextLineReader.h"

#include <sys/stat.h>

TextLineReader::TextLineReader(const std::string& path) {
    file_ = std::fopen(path.c_str(), "rb");
    if (file_ == nullptr) return;
    struct stat info {};
    // fopen succeeds on a directory and only the reads fail; refuse it here so
    // that the caller reports the open failure it is meant to.
    if (fstat(fileno(file_), &info) != 0 || S_ISDIR(info.st_mode)) {
        std::fclose(file_);
        file_ = nullptr;
    }
}

TextLineReader::~TextLineReader() {
    if (file_ != nullptr) std::fclose(file_);
}

int TextLineReader::Get() {
    if (pushedCount_ > 0) return pushed_[--pushedCount_];
    return std::getc(file_);
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
    if (file_ == nullptr) return false;
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
    if (length_ == 0 && !ended_) return false;
    buffer_[length_] = ended_ ? '\n' : '\0';
    buffer_[length_ + 1] = '\0';
    return true;
}
