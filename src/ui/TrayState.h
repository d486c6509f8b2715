// TrayState follows what the tray icon tells at a glance: a connection is in
// use, a detection run is working, or no usable connection is known. It is fed
// the same events the window gets from the workers (a run starts, reports its
// candidates and ends; the connection in use changes) and holds no lock:
// everything happens on the window's thread.
#pragma once

#include <cstdint>

#include "core/DetectProgress.h"

enum class TrayStatus {
    Connected,     // the connection in use has a measured cost
    Detecting,     // a detection run is between its start and its end
    NoConnection,  // no connection measured yet, or every candidate of the last run failed
};

class TrayState {
public:
    void RunStarted();
    void RunProgress(const DetectProgress& progress);
    // bestCost: bestConnection's LinkCost once the run has ended.
    void RunFinished(int32_t bestCost);
    // A client process chose a server; bestCost is the chosen one's LinkCost.
    void ConnectionChanged(int32_t bestCost);

    TrayStatus Status() const;

private:
    bool running_ = false;
    int finished_ = 0;        // candidates of the running run with their cost known
    int passed_ = 0;
    bool lastRunFailed_ = false;  // the last run probed candidates and none passed
    int32_t bestCost_ = 0;
};
