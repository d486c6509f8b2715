#include "catalogue/ConnConfig.h"

#include <cstdio>
#include <cstring>
#include <mutex>

#include "catalogue/RecordFields.h"
#include "core/TextLineReader.h"
#include "core/WriteLog.h"

namespace {

// One connection line into a record; the result is 0 or -21, logged.
int32_t ParseConnLine(CatalogueContext& ctx, const char* line, ProtocalInfo& record) {
    RecordFields f;
    int read = std::sscanf(line, "%511s %511s %d %d %d %511s", f.type, f.dest, &f.port[SMTP],
                           &f.port[POP3], &f.port[IMAP4], f.code);
    if (read < 6 || !f.FitsRecord()) {
        WriteLog(ctx, DETECT, MINOR, "ERROR: conn config format error at line=%s", line);
        return kConnConfigFormatError;
    }
    int32_t type = MatchLinkType(f.type);
    if (type < 0) {
        WriteLog(ctx, DETECT, MINOR, "ERROR: unknown protocal name %s", f.type);
        return kConnConfigFormatError;
    }
    f.FillRecord(type, record);
    record.LinkCost = 0;
    return 0;
}

int32_t ReadConnLines(CatalogueContext& ctx, TextLineReader& reader, ProtocalInfoList& list) {
    reader.Next();  // the list's date and time, whatever line 1 holds
    while (reader.Next()) {
        if (reader.Line()[0] != 'M') continue;
        ProtocalInfo record;
        int32_t result = ParseConnLine(ctx, reader.Line(), record);
        if (result != 0) return result;
        list.PushBack(record);
    }
    return 0;
}

}  // namespace

int32_t ReadConnConfig(CatalogueContext& ctx, const char* name, ProtocalInfoList& list) {
    if (name == nullptr) return kConnConfigMissingName;
    std::string path = DataFilePath(ctx, name);
    int32_t result = 0;
    {
        // Held for the whole read so that the update never replaces the file
        // under the reader.
        std::lock_guard<std::mutex> hold(ctx.connListLock);
        TextLineReader reader(path);
        if (!reader.IsOpen()) {
            result = kConnConfigOpenError;
            WriteLog(ctx, DETECT, MAJOR, "ERROR: open conn config failed");
        } else {
            WriteLog(ctx, DETECT, DUMP, "start to read config %s", path.c_str());
            result = ReadConnLines(ctx, reader, list);
        }
    }
    WriteLog(ctx, DETECT, DUMP, "read config end");
    return result;
}
