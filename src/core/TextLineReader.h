// TextLineReader reads a data file the way every reader of the system takes
// it: one line at a time, in pieces of at most 511 characters, with LF and
// CR LF alike as the line end. A longer line comes back as several pieces, the
// rest of the line read as the next one. A directory opened by mistake counts
// as a file that cannot be opened, and NUL or other binary bytes are carried
// through unchanged, so a hostile file can only make its caller reject lines.
#pragma once

#include <cstdio>
#include <string>

inline constexpr int kLinePieceLength = 511;

class TextLineReader {
public:
    explicit TextLineReader(const std::string& path);
    ~TextLineReader();
    TextLineReader(const TextLineReader&) = delete;
    TextLineReader& operator=(const TextLineReader&) = delete;

    bool IsOpen() const { return file_ != nullptr; }

    // Reads the next piece; false at the end of the file or when not open.
    bool Next();

    // The piece as read: its characters, then "\n" when a line end closed it,
    // then a terminator.
    const char* Line() const { return buffer_; }
    // The number of characters before the line end (NUL bytes included).
    int Length() const { return length_; }
    bool Ended() const { return ended_; }

private:
    int Get();
    void PutBack(int c);
    bool TakeLineEnd(int c);

    FILE* file_ = nullptr;
    int pushed_[2] = {};
    int pushedCount_ = 0;
    char buffer_[kLinePieceLength + 2] = {};
    int length_ = 0;
    bool ended_ = false;
};
