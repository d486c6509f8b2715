#include "report/ReportBody.h"

#include <sys/stat.h>

#include <cstring>
#include <memory>
#include <string>

#include "catalogue/DetectResult.h"
#include "core/CoreContext.h"
#include "core/WriteLog.h"

namespace {

struct FileCloser {
    void operator()(FILE* file) const { std::fclose(file); }
};
using FileHandle = std::unique_ptr<FILE, FileCloser>;

// A directory opens like a file on this system; it counts as not there.
FileHandle OpenForReading(const std::string& path) {
    FileHandle file(std::fopen(path.c_str(), "rb"));
    struct stat info {};
    if (file && (fstat(fileno(file.get()), &info) != 0 || S_ISDIR(info.st_mode))) file.reset();
    return file;
}

// The size on disk, from a move to the end; -1 when either step fails.
off_t SizeOf(FILE* file) {
    if (fseeko(file, 0, SEEK_END) != 0) return -1;
    return ftello(file);
}

// Reads the next piece as the text reader of the platform's C library does:
// at most 511 characters, ending after a line end, with CR LF read as LF.
// Returns its length; 0 at the end of the file.
std::size_t NextPiece(FILE* file, char (&piece)[kReportLineBufferSize]) {
    std::size_t length = 0;
    while (length < kReportLineBufferSize - 1) {
        int c = std::getc(file);
        if (c == EOF) break;
        if (c == '\r') {
            int next = std::getc(file);
            if (next == '\n')
                c = '\n';
            else if (next != EOF)
                std::ungetc(next, file);
        }
        piece[length++] = static_cast<char>(c);
        if (c == '\n') break;
    }
    return length;
}

enum class LogDataFailure { None, OpenLog, LogSize, LogSeek, BakSize, BakSeek, ReopenLog };

void LogFailure(CoreContext& ctx, LogDataFailure failure, const std::string& logPath) {
    switch (failure) {
        case LogDataFailure::OpenLog:
        case LogDataFailure::ReopenLog:
            WriteLog(ctx, UI, MAJOR, "ERROR: open log file %s failed", logPath.c_str());
            break;
        case LogDataFailure::LogSize: WriteLog(ctx, UI, MAJOR, "ERROR: check log file size failed"); break;
        case LogDataFailure::LogSeek:
            WriteLog(ctx, UI, MAJOR, "ERROR: extract byte from log file failed");
            break;
        case LogDataFailure::BakSize: WriteLog(ctx, UI, MAJOR, "ERROR: check bak file size failed"); break;
        case LogDataFailure::BakSeek:
            WriteLog(ctx, UI, MAJOR, "ERROR: extract byte from bak file failed");
            break;
        case LogDataFailure::None: break;
    }
}

// As much of the end of the backup as room bytes allow, or the note in the
// place of a backup that is not there.
LogDataFailure WriteBackupTail(CoreContext& ctx, ReportBodyWriter& body, off_t room) {
    FileHandle bak = OpenForReading(DataFilePath(ctx, kLogBackupName));
    if (!bak) {
        char note[kReportLineBufferSize];
        std::snprintf(note, sizeof note, "NOTE: bak file %s NOT EXIST\n\n", kLogBackupName);
        body.Text(note);
        return LogDataFailure::None;
    }
    off_t bakSize = SizeOf(bak.get());
    if (bakSize < 0) return LogDataFailure::BakSize;
    off_t start = room < bakSize ? bakSize - room : 0;
    if (fseeko(bak.get(), start, SEEK_SET) != 0) return LogDataFailure::BakSeek;
    body.File(bak.get());
    return LogDataFailure::None;
}

// Everything of the log data that runs while the log is held.
LogDataFailure WriteLogDataLocked(CoreContext& ctx, ReportBodyWriter& body, off_t budget,
                                  const std::string& logPath) {
    FileHandle log = OpenForReading(logPath);
    if (!log) return LogDataFailure::OpenLog;
    off_t logSize = SizeOf(log.get());
    if (logSize < 0) return LogDataFailure::LogSize;
    if (logSize >= budget) {
        if (fseeko(log.get(), logSize - budget, SEEK_SET) != 0) return LogDataFailure::LogSeek;
        body.File(log.get());
        return LogDataFailure::None;
    }
    log.reset();
    LogDataFailure failure = WriteBackupTail(ctx, body, budget - logSize);
    if (failure != LogDataFailure::None) return failure;
    log = OpenForReading(logPath);
    if (!log) return LogDataFailure::ReopenLog;
    body.File(log.get());
    return LogDataFailure::None;
}

}  // namespace

void ReportBodyWriter::Text(const char* text) {
    std::size_t length = std::strlen(text);
    for (std::size_t at = 0; at < length; at += kReportLineBufferSize - 1) {
        std::size_t piece = length - at < kReportLineBufferSize - 1 ? length - at : kReportLineBufferSize - 1;
        Piece(text + at, piece);
    }
}

void ReportBodyWriter::File(FILE* file) {
    char piece[kReportLineBufferSize];
    for (std::size_t length; (length = NextPiece(file, piece)) > 0;) Piece(piece, length);
}

void ReportBodyWriter::Piece(const char* data, std::size_t length) {
    if (lineStart_ && data[0] == '.') {
        char stuffed[kReportLineBufferSize + 1];
        stuffed[0] = '.';
        std::memcpy(stuffed + 1, data, length);
        write_(stuffed, length + 1);
    } else {
        write_(data, length);
    }
    lineStart_ = data[length - 1] == '\n';
}

ReportResult WriteReportLogData(CoreContext& ctx, ReportBodyWriter& body, int32_t budget) {
    std::string logPath = DataFilePath(ctx, kLogFileName);
    LogDataFailure failure = ctx.log.Hold([&](LogFile&) {
        char separator[kReportLineBufferSize];
        std::snprintf(separator, sizeof separator, "======Log File(REPORT_SIZE = %d bytes)======\n", budget);
        body.Text(separator);
        // A negative budget carries no log data, but the separator shows it as set.
        return WriteLogDataLocked(ctx, body, budget < 0 ? 0 : budget, logPath);
    });
    if (failure == LogDataFailure::None) return ReportResult::Ok;
    LogFailure(ctx, failure, logPath);
    return ReportResult::LogFileFailed;
}

void WriteReportDetectResult(CoreContext& ctx, ReportBodyWriter& body) {
    body.Text("\n======Detect Result File======\n");
    FileHandle result = OpenForReading(DataFilePath(ctx, kAutoResultName));
    if (!result) {
        char note[kReportLineBufferSize];
        std::snprintf(note, sizeof note, "NOTE: detect result file %s NOT EXIST\n", kAutoResultName);
        body.Text(note);
        return;
    }
    body.File(result.get());
}
