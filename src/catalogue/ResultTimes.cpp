#include "catalogue/ResultTimes.h"

#include <ctime>

int32_t ResultTimes::Get(bool manual) const {
    MutexLock hold(lock_);
    return manual ? manual_ : auto_;
}

int32_t ResultTimes::Advance(bool manual) {
    int32_t now = static_cast<int32_t>(std::time(nullptr));
    MutexLock hold(lock_);
    int32_t& written = manual ? manual_ : auto_;
    written = (written != 0 && now <= written) ? written + 1 : now;
    return written;
}
