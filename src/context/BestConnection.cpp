#include "context/BestConnection.h"

ProtocalInfo BestConnection::Get() const {
    MutexLock hold(lock_);
    return record_;
}

void BestConnection::Set(const ProtocalInfo& record) {
    MutexLock hold(lock_);
    record_ = record;
}
