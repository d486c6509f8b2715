#include "update/LocalListTime.h"

#include "catalogue/ConnConfig.h"
#include "core/CoreContext.h"
#include "core/TextLineReader.h"
#include "update/ListHeaderTime.h"

int64_t ReadLocalListTime(CoreContext& ctx) {
    TextLineReader reader(DataFilePath(ctx, kConnConfigName), kRecordFileReadLimits);
    if (!reader.IsOpen()) return CodeOf(UpdateResult::LocalListUnreadable);
    if (!reader.Next()) return kNoListTime;  // an empty file has no header
    return HeaderLineToSeconds(reader.Line(), static_cast<std::size_t>(reader.Length()));
}
