#include "core/LogState.h"

LogState::~LogState() {
    MutexLock hold(lock_);
    if (file_.stream != nullptr) std::fclose(file_.stream);
}

void LogState::CloseForShutdown() {
    MutexLock hold(lock_);
    shutDown_.store(true);
    if (file_.stream != nullptr) std::fclose(file_.stream);
    file_.stream = nullptr;
}
