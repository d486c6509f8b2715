// The speed history, as the window's chart reads it; then one more run is
// added, as the next detection run would, which reads, trims and rewrites it.
#include "catalogue/DetectHistory.h"

#include <vector>

#include "catalogue/CatalogueContext.h"
#include "catalogue/ProtocalInfoList.h"
#include "fuzz/FuzzDirectory.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const FuzzDirectory& dir = TheFuzzDirectory();
    dir.Write(kHistoryName, data, size);
    CatalogueContext ctx;
    dir.Use(ctx);
    std::vector<HistoryRecord> records;
    ReadDetectHistory(ctx, records);
    ProtocalInfoList run;
    ProtocalInfo record;
    record.SetCode(records.empty() ? "fuzz" : records.back().Code.c_str());
    record.SetDest(records.empty() ? "127.0.0.1" : records.back().Dest.c_str());
    record.LinkCost = records.empty() ? -1 : records.back().LinkCost;
    run.PushBack(record);
    AppendDetectHistory(ctx, run);
    ctx.log.CloseForShutdown();
    return 0;
}
