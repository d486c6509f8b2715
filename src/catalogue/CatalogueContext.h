// CatalogueContext adds to the foundation's state what the connection
// catalogue guards: the connection list file, the two result files and the
// times through which a freshly written result file reaches the proxy
// listeners, and the speed history that outlives each result file.
#pragma once

#include "catalogue/FileLock.h"
#include "catalogue/ResultTimes.h"
#include "core/CoreContext.h"

struct CatalogueContext : CoreContext {
    FileLock resultFileLock;   // "detect_result.log" and "manual_set.log"
    ResultTimes resultTimes;   // when each of the two was last written
    FileLock connListLock;     // reading and replacing the connection list
    FileLock historyFileLock;  // writers of "detect_history.log" (readers need none)
};
