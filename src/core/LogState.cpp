#include "core/LogState.h"

LogState::~LogState() {
    if (stream != nullptr) std::fclose(stream);
}

void LogState::CloseForShutdown() {
    std::lock_guard<std::mutex> hold(logLock);
    shutDown.store(true);
    if (stream != nullptr) std::fclose(stream);
    stream = nullptr;
}
