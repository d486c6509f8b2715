// TextLineReader reads a data file the way every reader of the system takes
// it: one line at a time, in pieces of at most 511 characters, with LF and
// CR LF alike as the line end. A longer line comes back as several pieces, the
// rest of the line read as the next one. A directory opened by mistake counts
// as a file that cannot be opened, and NUL or other binary bytes are carried
// through unchanged, so a hostile file can only make its caller reject lines.
// Every file is read within limits of bytes and lines: a file past them ends
// the read early, and costs its caller no more than those limits, however
// large it is or keeps growing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

inline constexpr int kLinePieceLength = 511;

// How much of a file a reader takes before it refuses the file.
struct ReadLimits {
    std::size_t bytes;
    std::size_t lines;
};

// "Quillomark.ini": a few dozen settings.
inline constexpr ReadLimits kSettingsReadLimits{64 * 1024, SIZE_MAX};
// A file of records (the connection list, the two result files): 10,000
// records and the header lines before them.
inline constexpr std::size_t kMaxFileRecords = 10000;
inline constexpr ReadLimits kRecordFileReadLimits{1024 * 1024, kMaxFileRecords + 2};
// The message files: a few hundred texts.
inline constexpr ReadLimits kMessageFileReadLimits{1024 * 1024, kMaxFileRecords};

class TextLineReader {
public:
    TextLineReader(const std::string& path, ReadLimits limits);
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

    // True once the file went past the limits: Next has returned false with
    // the rest of the file unread, and the caller refuses the file. A regular
    // file is measured before anything is read.
    bool OverLimit() const { return overLimit_; }
    // The limits as a log line names them ("65536 bytes", "1048576 bytes or
    // 10000 lines").
    std::string LimitText() const;

private:
    int Get();
    void PutBack(int c);
    bool TakeLineEnd(int c);
    void SkipByteOrderMark();

    FILE* file_ = nullptr;
    ReadLimits limits_;
    std::size_t bytesRead_ = 0;
    std::size_t linesRead_ = 0;
    bool overLimit_ = false;
    int pushed_[3] = {};
    int pushedCount_ = 0;
    char buffer_[kLinePieceLength + 2] = {};
    int length_ = 0;
    bool ended_ = false;
};
