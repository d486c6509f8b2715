#include "core/WriteLog.h"

#include <cstdarg>
#include <cstdio>
#include <ctime>

#include "core/CoreContext.h"

namespace {

constexpr int kLineBufferSize = 1024;  // a line is at most 1023 characters before its break

const char* const kCategoryNames[] = {"PROXY", "DETECT", "DOWNLOAD", "UI"};
const char* const kLevelNames[] = {"DISABLED", "CRITICAL", "MAJOR", "MINOR", "PROCEDURE", "DUMP"};

// Formats the prefix and message into line, each cut as the format requires,
// and returns the length without the line break.
int FormatLine(char (&line)[kLineBufferSize], LogCategory category, LogLevel level,
               const char* format, va_list args) {
    char message[kLineBufferSize];
    std::vsnprintf(message, sizeof message, format, args);

    char stamp[32];
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    std::strftime(stamp, sizeof stamp, "%Y/%m/%d %H:%M:%S", &local);

    int n = std::snprintf(line, sizeof line, "%s [%s][%s] %s", stamp, LogCategoryName(category),
                          LogLevelName(level), message);
    return n < 0 ? 0 : (n >= kLineBufferSize ? kLineBufferSize - 1 : n);
}

FILE* OpenLog(const CoreContext& ctx) {
    return std::fopen(DataFilePath(ctx, kLogFileName).c_str(), "a");
}

// Moves the full log to the backup name and opens a fresh log. On failure the
// stream stays closed so that the next line tries the rotation again. The
// rename moves a whole file to another name; it writes no new content over
// an old one, so it is no case for ReplaceFile.
bool Rotate(CoreContext& ctx, LogFile& log) {
    std::fclose(log.stream);
    log.stream = nullptr;
    std::string bak = DataFilePath(ctx, kLogBackupName);
    std::remove(bak.c_str());
    if (std::rename(DataFilePath(ctx, kLogFileName).c_str(), bak.c_str()) != 0) return false;
    log.stream = OpenLog(ctx);
    log.size = -1;
    return log.stream != nullptr;
}

// The length of the open log: read from the file once, then counted.
long LogSize(LogFile& log) {
    if (log.size >= 0) return log.size;
    if (std::fseek(log.stream, 0, SEEK_END) != 0) return -1;
    log.size = std::ftell(log.stream);
    return log.size;
}

// Appends the formatted line and its break to the held log, rotating first
// when the line would take the file past LOG_SIZE.
void AppendLine(CoreContext& ctx, LogFile& log, const char* line, int length) {
    if (ctx.log.IsShutDown()) return;
    if (log.stream == nullptr) {
        if ((log.stream = OpenLog(ctx)) == nullptr) return;
        log.size = -1;
    }
    long lineSize = length + 1;  // the line break counts as one character

    long size = LogSize(log);
    if (size < 0) return;
    if (size + lineSize > static_cast<long>(ctx.userConfig.LOG_SIZE) && !Rotate(ctx, log)) return;
    if (LogSize(log) < 0) return;

    std::fwrite(line, 1, static_cast<size_t>(length), log.stream);
    std::fputc('\n', log.stream);
    // A line the disk did not take leaves the count to the file itself.
    log.size = std::fflush(log.stream) == 0 && !std::ferror(log.stream) ? log.size + lineSize : -1;
    std::clearerr(log.stream);
}

}  // namespace

const char* LogCategoryName(LogCategory category) {
    return (category >= PROXY && category <= UI) ? kCategoryNames[category] : "";
}

const char* LogLevelName(LogLevel level) {
    return (level >= DISABLED && level <= DUMP) ? kLevelNames[level] : "";
}

void WriteLog(CoreContext& ctx, LogCategory category, LogLevel level, const char* format, ...) {
    if (level > ctx.userConfig.LOG_LVL || format == nullptr) return;
    if (ctx.log.IsShutDown()) return;

    // Formatted before the lock is taken: every thread of the proxy writes
    // lines, and none should wait while another one formats.
    char line[kLineBufferSize];
    va_list args;
    va_start(args, format);
    int length = FormatLine(line, category, level, format, args);
    va_end(args);

    ctx.log.Hold([&](LogFile& log) { AppendLine(ctx, log, line, length); });
}
