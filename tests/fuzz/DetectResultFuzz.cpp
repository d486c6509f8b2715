// The detection result file, as a proxy listener reads it; what was read is
// written back, as the next run would.
#include "catalogue/DetectResult.h"

#include "catalogue/CatalogueContext.h"
#include "catalogue/ProtocalInfoList.h"
#include "fuzz/FuzzDirectory.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const FuzzDirectory& dir = TheFuzzDirectory();
    dir.Write(kAutoResultName, data, size);
    CatalogueContext ctx;
    dir.Use(ctx);
    int32_t stamp = 0;
    ProtocalInfoList list;
    ReadDetectResult(ctx, stamp, list, false);
    WriteDetectResult(ctx, list, true);
    ctx.log.CloseForShutdown();
    return 0;
}
