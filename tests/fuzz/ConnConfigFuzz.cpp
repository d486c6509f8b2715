// The connection list file, as the detection run reads it.
#include "catalogue/ConnConfig.h"

#include "catalogue/CatalogueContext.h"
#include "catalogue/ProtocalInfoList.h"
#include "fuzz/FuzzDirectory.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const FuzzDirectory& dir = TheFuzzDirectory();
    dir.Write(kConnConfigName, data, size);
    CatalogueContext ctx;
    dir.Use(ctx);
    ProtocalInfoList list;
    ReadConnConfig(ctx, kConnConfigName, list);
    ctx.log.CloseForShutdown();
    return 0;
}
