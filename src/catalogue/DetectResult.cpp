#include "catalogue/DetectResult.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "catalogue/RecordFields.h"
#include "core/TextLineReader.h"
#include "core/WriteLog.h"
#include "platform/ReplaceFile.h"

namespace {

std::string ResultPath(const CatalogueContext& ctx, bool manual) {
    return DataFilePath(ctx, manual ? kManualResultName : kAutoResultName);
}

void FormatLocalTime(int32_t stamp, char (&text)[32]) {
    std::time_t when = stamp;
    std::tm local{};
    localtime_r(&when, &local);
    std::strftime(text, sizeof text, "%Y/%m/%d %H:%M:%S", &local);
}

// The whole file: the stamp, the local time, one line per record.
std::string ResultText(int32_t stamp, const char* localTime, const ProtocalInfoList& list) {
    std::string text = std::to_string(stamp) + "\n" + localTime + "\n";
    char line[kCodeSize + kDestSize + 64];
    for (const ProtocalInfo& r : list) {
        int n = std::snprintf(line, sizeof line, "%d %s %.63s %d %d %d %.511s\n", r.LinkCost,
                              LinkTypeName(r.Type), r.Dest, r.Port[SMTP], r.Port[POP3], r.Port[IMAP4],
                              r.Code);
        if (n > 0) text.append(line, std::min(static_cast<std::size_t>(n), sizeof line - 1));
    }
    return text;
}

// The file is replaced whole, so a reader never meets a half-written file
// and a write that fails part-way leaves the previous file in place. The
// line that tells of the write follows it, as the open it once followed
// happens inside the replacement. Called with the result files held.
CatalogueResult ReplaceResultFile(CatalogueContext& ctx, const std::string& path, const std::string& text) {
    if (!ReplaceFile(path, text)) {
        WriteLog(ctx, DETECT, MAJOR, "ERROR: open result log to write failed");
        return CatalogueResult::WriteFailed;
    }
    WriteLog(ctx, DETECT, DUMP, "start to write detect result log");
    return CatalogueResult::Ok;
}

// One record line into a record; a line that is none is logged.
CatalogueResult ParseResultLine(CatalogueContext& ctx, const char* line, ProtocalInfo& record) {
    RecordFields f;
    int read = std::sscanf(line, "%d %511s %511s %d %d %d %511s", &f.cost, f.type, f.dest,
                           &f.port[SMTP], &f.port[POP3], &f.port[IMAP4], f.code);
    if (read < 7 || !f.FitsRecord()) {
        WriteLog(ctx, DETECT, MINOR, "ERROR: result log format error at line=%s", line);
        return CatalogueResult::ReadFailed;
    }
    int32_t type = MatchLinkType(f.type);
    if (type < 0) {
        WriteLog(ctx, DETECT, MINOR, "ERROR: unknown protocal name %s", f.type);
        return CatalogueResult::ReadFailed;
    }
    f.FillRecord(type, record);
    record.LinkCost = f.cost;
    return CatalogueResult::Ok;
}

// A decimal number at the start of line 1; anything else, or a number that
// does not fit the 32-bit stamp, leaves stamp as it was.
void ReadStamp(const char* line, int32_t& stamp) {
    char* end = nullptr;
    errno = 0;
    long long value = std::strtoll(line, &end, 10);
    if (end == line || errno == ERANGE || value < INT32_MIN || value > INT32_MAX) return;
    stamp = static_cast<int32_t>(value);
}

CatalogueResult ReadResultLines(CatalogueContext& ctx, TextLineReader& reader, int32_t& stamp,
                                ProtocalInfoList& list) {
    if (!reader.Next()) return CatalogueResult::Ok;  // an empty file
    ReadStamp(reader.Line(), stamp);
    if (!reader.Next()) return CatalogueResult::Ok;  // line 2, the local time, is for people
    while (reader.Next()) {
        ProtocalInfo record;
        CatalogueResult result = ParseResultLine(ctx, reader.Line(), record);
        if (result != CatalogueResult::Ok) return result;
        list.PushBack(record);
    }
    return CatalogueResult::Ok;
}

}  // namespace

CatalogueResult WriteDetectResult(CatalogueContext& ctx, ProtocalInfoList list, bool manual) {
    std::string path = ResultPath(ctx, manual);
    // The time is published before the file is touched, as listeners compare
    // against it; a listener reloads only for a time later than the one it
    // loaded, which Advance sees to.
    int32_t stamp = ctx.resultTimes.Advance(manual);
    char localTime[32];
    FormatLocalTime(stamp, localTime);

    std::string text = ResultText(stamp, localTime, list);
    return ctx.resultFileLock.Hold([&] { return ReplaceResultFile(ctx, path, text); });
}

CatalogueResult ReadDetectResult(CatalogueContext& ctx, int32_t& stamp, ProtocalInfoList& list,
                                 bool manual) {
    std::string path = ResultPath(ctx, manual);
    CatalogueResult result = ctx.resultFileLock.Hold([&] {
        TextLineReader reader(path, kRecordFileReadLimits);
        if (!reader.IsOpen()) {
            WriteLog(ctx, DETECT, MAJOR, "ERROR: open result log to read failed");
            return CatalogueResult::ReadFailed;
        }
        WriteLog(ctx, DETECT, DUMP, "start to read detect result log");
        CatalogueResult read = ReadResultLines(ctx, reader, stamp, list);
        if (read != CatalogueResult::Ok || !reader.OverLimit()) return read;
        list.Clear();
        WriteLog(ctx, DETECT, MAJOR, "ERROR: result log format error: larger than %s", reader.LimitText().c_str());
        return CatalogueResult::ReadFailed;
    });
    WriteLog(ctx, DETECT, DUMP, "read detect result log end");
    return result;
}
