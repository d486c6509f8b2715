#include "ui/UsableConnectionWatch.h"

UsableChange UsableConnectionWatch::Observe(TrayStatus status) {
    if (status == TrayStatus::Detecting) return UsableChange::None;
    const bool usable = status == TrayStatus::Connected;
    if (usable == usable_) return UsableChange::None;
    usable_ = usable;
    if (!usable) {
        lost_ = true;
        return UsableChange::Lost;
    }
    if (!lost_) return UsableChange::None;
    lost_ = false;
    return UsableChange::Back;
}
