// BestConnection is the connection in use: a detection run, a client process
// that settled on a server and the user's manual choice set it; the window
// and the log report read it. It is read and set whole, as a copy, so a
// reader never meets a record half-written.
#pragma once

#include "catalogue/ProtocalInfo.h"
#include "platform/Mutex.h"

class BestConnection {
public:
    // A copy of the record as it is now (LinkCost 0 and IsSSL false until
    // first set).
    ProtocalInfo Get() const EXCLUDES(lock_);
    void Set(const ProtocalInfo& record) EXCLUDES(lock_);

private:
    mutable Mutex lock_;
    ProtocalInfo record_ GUARDED_BY(lock_);
};
