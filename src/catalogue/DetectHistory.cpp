#include "catalogue/DetectHistory.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string_view>

#include "core/WriteLog.h"
#include "platform/ReplaceFile.h"

namespace {

// A history can only grow this large through damage or another program; the
// newest part is what matters, so a larger file is read from its tail.
constexpr off_t kHistoryReadLimit = 32 * 1024 * 1024;

std::string HistoryPath(const CatalogueContext& ctx) { return DataFilePath(ctx, kHistoryName); }

// A field is one word of printable bytes, so every value written splits back
// into the same four fields.
bool IsFieldByte(unsigned char c) { return c > ' ' && c != 0x7f; }

bool TakeField(std::string_view& rest, std::size_t limit, std::string_view& field) {
    std::size_t end = 0;
    while (end < rest.size() && IsFieldByte(static_cast<unsigned char>(rest[end]))) ++end;
    if (end == 0 || end > limit) return false;
    field = rest.substr(0, end);
    rest.remove_prefix(end);
    return true;
}

bool TakeBlank(std::string_view& rest) {
    if (rest.empty() || rest.front() != ' ') return false;
    rest.remove_prefix(1);
    return true;
}

// Decimal digits after an optional minus sign, within [low, high].
bool ToNumber(std::string_view text, int64_t low, int64_t high, int64_t& value) {
    bool negative = !text.empty() && text.front() == '-';
    if (negative) text.remove_prefix(1);
    if (text.empty() || text.size() > 18) return false;
    int64_t magnitude = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        magnitude = magnitude * 10 + (c - '0');
    }
    value = negative ? -magnitude : magnitude;
    return value >= low && value <= high;
}

bool ParseLine(std::string_view line, HistoryRecord& record) {
    std::string_view time, code, dest, cost;
    if (!TakeField(line, 19, time) || !TakeBlank(line) || !TakeField(line, kCodeSize - 1, code) ||
        !TakeBlank(line) || !TakeField(line, kDestSize - 1, dest) || !TakeBlank(line) ||
        !TakeField(line, 11, cost) || !line.empty())
        return false;
    int64_t when = 0, linkCost = 0;
    if (!ToNumber(time, 0, INT64_MAX / 2, when) || !ToNumber(cost, INT32_MIN, INT32_MAX, linkCost))
        return false;
    record.time = when;
    record.Code.assign(code);
    record.Dest.assign(dest);
    record.LinkCost = static_cast<int32_t>(linkCost);
    return true;
}

// The file's content, or its last kHistoryReadLimit bytes from the first
// whole line on. False when it cannot be opened.
bool ReadHistoryText(const std::string& path, std::string& text) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return false;
    }
    bool cut = info.st_size > kHistoryReadLimit;
    if (cut) ::lseek(fd, info.st_size - kHistoryReadLimit, SEEK_SET);
    char buffer[65536];
    for (ssize_t got; (got = ::read(fd, buffer, sizeof buffer)) > 0;) {
        text.append(buffer, static_cast<std::size_t>(got));
        if (text.size() >= static_cast<std::size_t>(kHistoryReadLimit)) break;
    }
    ::close(fd);
    if (cut) text.erase(0, text.find('\n') == std::string::npos ? text.size() : text.find('\n') + 1);
    return true;
}

// Codes and destinations come from files; a blank or control byte in one would
// split the field when read back, so it is written as '?'.
std::string AsField(const char* text) {
    std::string field = *text != '\0' ? text : "?";
    for (char& c : field)
        if (!IsFieldByte(static_cast<unsigned char>(c))) c = '?';
    return field;
}

int64_t NowMillis() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

// The new run's time: now, or just after the newest run when the clock reads
// earlier (a clock set back, or two runs within one millisecond), so that
// runs stay apart and in order.
int64_t NextRunTime(const std::vector<HistoryRecord>& records) {
    int64_t now = NowMillis();
    if (!records.empty() && now <= records.back().time) return records.back().time + 1;
    return now;
}

// Drops whole runs from the front until at most limit remain.
void KeepLastRuns(std::vector<HistoryRecord>& records, int limit) {
    int runs = 0;
    std::size_t first = records.size();
    while (first > 0) {
        if (first == records.size() || records[first - 1].time != records[first].time) {
            if (runs == limit) break;
            ++runs;
        }
        --first;
    }
    records.erase(records.begin(), records.begin() + static_cast<std::ptrdiff_t>(first));
}

std::string Serialise(const std::vector<HistoryRecord>& records) {
    std::string text;
    char line[kCodeSize + kDestSize + 64];
    for (const HistoryRecord& r : records) {
        int n = std::snprintf(line, sizeof line, "%lld %s %s %d\n", static_cast<long long>(r.time),
                              r.Code.c_str(), r.Dest.c_str(), r.LinkCost);
        if (n > 0) text.append(line, std::min<std::size_t>(static_cast<std::size_t>(n), sizeof line - 1));
    }
    return text;
}

// Adds one run to the history at path, dropping the oldest runs beyond the
// limit. Called with the history held.
CatalogueResult AppendRun(CatalogueContext& ctx, const std::string& path, const ProtocalInfoList& list) {
    std::vector<HistoryRecord> records;
    std::string text;
    if (ReadHistoryText(path, text)) ParseDetectHistory(text, records);
    int64_t time = NextRunTime(records);
    KeepLastRuns(records, kHistoryRunLimit - 1);
    for (const ProtocalInfo& r : list) records.push_back({time, AsField(r.Code), AsField(r.Dest), r.LinkCost});
    if (!ReplaceFile(path, Serialise(records))) {
        WriteLog(ctx, DETECT, MAJOR, "ERROR: write history log failed");
        return CatalogueResult::WriteFailed;
    }
    WriteLog(ctx, DETECT, DUMP, "detect history appended, %d records", static_cast<int>(list.Count()));
    return CatalogueResult::Ok;
}

}  // namespace

int ParseDetectHistory(const std::string& text, std::vector<HistoryRecord>& records) {
    int skipped = 0;
    std::string_view rest(text);
    while (!rest.empty()) {
        std::size_t end = rest.find('\n');
        std::string_view line = rest.substr(0, end);
        rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.empty()) continue;
        HistoryRecord record;
        if (ParseLine(line, record))
            records.push_back(std::move(record));
        else
            ++skipped;
    }
    return skipped;
}

CatalogueResult ReadDetectHistory(CatalogueContext& ctx, std::vector<HistoryRecord>& records) {
    std::string text;
    if (!ReadHistoryText(HistoryPath(ctx), text)) {
        WriteLog(ctx, DETECT, MINOR, "ERROR: open history log to read failed");
        return CatalogueResult::ReadFailed;
    }
    int skipped = ParseDetectHistory(text, records);
    if (skipped > 0) WriteLog(ctx, DETECT, MINOR, "ERROR: history log skipped %d bad lines", skipped);
    return CatalogueResult::Ok;
}

CatalogueResult AppendDetectHistory(CatalogueContext& ctx, const ProtocalInfoList& list) {
    if (list.Count() == 0) return CatalogueResult::Ok;
    std::string path = HistoryPath(ctx);
    return ctx.historyFileLock.Hold([&] { return AppendRun(ctx, path, list); });
}
