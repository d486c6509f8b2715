// ReportBody composes the body of the log report mail: the tail of the log,
// preceded by the tail of its backup when the log alone is shorter than the
// report's byte budget, then the detection result log. Files are read as
// text, one line (or 511-character piece of a longer line) per write, CR LF
// arriving as LF. While the log data is read and sent, the log is held, so no
// line is written or rotated under the report; the report's own failures are
// logged only after it has been let go.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>

#include "report/ReportResult.h"

struct CoreContext;

// The line buffer every body part passes through.
inline constexpr std::size_t kReportLineBufferSize = 512;

// Hands each piece of the body to write, one write per piece. A line that
// begins with "." gets a second "." in front, as the mail protocol requires
// (the server takes it off again), so that a log line "." cannot end the
// mail early.
class ReportBodyWriter {
public:
    using Write = std::function<void(const char* data, std::size_t length)>;

    explicit ReportBodyWriter(Write write) : write_(std::move(write)) {}
    ReportBodyWriter(const ReportBodyWriter&) = delete;
    ReportBodyWriter& operator=(const ReportBodyWriter&) = delete;

    // A text of the report's own (separators and notes).
    void Text(const char* text);
    // Every piece of file from its current position to its end.
    void File(FILE* file);

private:
    void Piece(const char* data, std::size_t length);

    Write write_;
    bool lineStart_ = true;
};

// Body parts 2 and 3: the log separator with the budget, then at most budget
// bytes (counted on disk) of log data, or the backup note in the place of a
// missing backup. LogFileFailed when the log cannot be opened, measured,
// positioned or reopened, or the backup measured or positioned (logged with
// category UI, level MAJOR, after the log has been let go).
ReportResult WriteReportLogData(CoreContext& ctx, ReportBodyWriter& body, int32_t budget);

// Body parts 4 and 5: the separator, then the detection result log whole, or
// a note when it cannot be opened. Read without a lock.
void WriteReportDetectResult(CoreContext& ctx, ReportBodyWriter& body);
