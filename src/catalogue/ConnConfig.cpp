#include "catalogue/ConnConfig.h"

#include <cstdio>
#include <cstring>

#include "catalogue/RecordFields.h"
#include "core/TextLineReader.h"
#include "core/WriteLog.h"
#include "platform/ReplaceFile.h"

namespace {

}  // namespace

// One connection line into a record; a line that is none is logged.
CatalogueResult ParseConnListLine(CatalogueContext& ctx, const char* line, ProtocalInfo& record) {
    RecordFields f;
    int read = std::sscanf(line, "%511s %511s %d %d %d %511s", f.type, f.dest, &f.port[SMTP],
                           &f.port[POP3], &f.port[IMAP4], f.code);
    if (read < 6 || !f.FitsRecord()) {
        WriteLog(ctx, DETECT, MINOR, "ERROR: conn config format error at line=%s", line);
        return CatalogueResult::ListFormatError;
    }
    int32_t type = MatchLinkType(f.type);
    if (type < 0) {
        WriteLog(ctx, DETECT, MINOR, "ERROR: unknown protocal name %s", f.type);
        return CatalogueResult::ListFormatError;
    }
    f.FillRecord(type, record);
    record.LinkCost = 0;
    return CatalogueResult::Ok;
}

namespace {

CatalogueResult ReadConnLines(CatalogueContext& ctx, TextLineReader& reader, ProtocalInfoList& list) {
    reader.Next();  // the list's date and time, whatever line 1 holds
    while (reader.Next()) {
        if (reader.Line()[0] != 'M') continue;
        ProtocalInfo record;
        CatalogueResult result = ParseConnListLine(ctx, reader.Line(), record);
        if (result != CatalogueResult::Ok) return result;
        list.PushBack(record);
    }
    return CatalogueResult::Ok;
}

}  // namespace

CatalogueResult ReadConnConfig(CatalogueContext& ctx, const char* name, ProtocalInfoList& list) {
    if (name == nullptr) return CatalogueResult::MissingName;
    std::string path = DataFilePath(ctx, name);
    // Held for the whole read so that the update never replaces the file
    // under the reader.
    CatalogueResult result = ctx.connListLock.Hold([&] {
        TextLineReader reader(path, kRecordFileReadLimits);
        if (!reader.IsOpen()) {
            WriteLog(ctx, DETECT, MAJOR, "ERROR: open conn config failed");
            return CatalogueResult::ListUnopenable;
        }
        WriteLog(ctx, DETECT, DUMP, "start to read config %s", path.c_str());
        CatalogueResult read = ReadConnLines(ctx, reader, list);
        if (read != CatalogueResult::Ok || !reader.OverLimit()) return read;
        // Nothing of an oversized list is used: its part would pass for the whole.
        list.Clear();
        WriteLog(ctx, DETECT, MAJOR, "ERROR: conn config format error: larger than %s",
                 reader.LimitText().c_str());
        return CatalogueResult::ListFormatError;
    });
    WriteLog(ctx, DETECT, DUMP, "read config end");
    return result;
}

CatalogueResult ReplaceConnConfig(CatalogueContext& ctx, std::string_view text) {
    std::string path = DataFilePath(ctx, kConnConfigName);
    bool replaced = ctx.connListLock.Hold([&] { return ReplaceFile(path, text); });
    return replaced ? CatalogueResult::Ok : CatalogueResult::WriteFailed;
}

CatalogueResult ReadConnListFile(CatalogueContext& ctx, const std::string& path, ProtocalInfoList& list) {
    TextLineReader reader(path, kRecordFileReadLimits);
    if (!reader.IsOpen()) return CatalogueResult::ListUnopenable;
    CatalogueResult read = ReadConnLines(ctx, reader, list);
    if (read != CatalogueResult::Ok || !reader.OverLimit()) return read;
    list.Clear();
    return CatalogueResult::ListFormatError;
}
