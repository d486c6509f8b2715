// CatalogueContext adds to the foundation's state what the connection
// catalogue guards: the connection list file, the two result files and the
// time stamps through which a freshly written result file reaches the proxy
// listeners, and the speed history that outlives each result file.
#pragma once

#include <cstdint>
#include <mutex>

#include "core/CoreContext.h"

struct CatalogueContext : CoreContext {
    std::mutex resultFileLock;       // "detect_result.log" and "manual_set.log"
    std::mutex resultTimeLock;       // the two stamps below
    int32_t autoResultTime = 0;      // seconds since 1970, 0 until first written
    int32_t manualResultTime = 0;
    std::mutex connListLock;         // reading and replacing the connection list
    std::mutex historyFileLock;      // writers of "detect_history.log" (readers need none)
};
