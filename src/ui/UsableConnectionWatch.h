// UsableConnectionWatch turns the tray's state into the two pieces of news a
// user wants without looking: the last usable connection was lost, and a
// usable one is back after such a loss. A start without any usable
// connection is no loss (nothing worked yet), and a detection run at work
// says nothing either way. Window thread only.
#pragma once

#include "ui/TrayState.h"

enum class UsableChange {
    None = 0,  // nothing worth telling
    Lost = 1,  // a usable connection was known and none is left
    Back = 2,  // usable again after a loss
};

class UsableConnectionWatch {
public:
    UsableChange Observe(TrayStatus status);

private:
    bool usable_ = false;
    bool lost_ = false;
};
