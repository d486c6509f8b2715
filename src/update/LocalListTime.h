// ReadLocalListTime reads the date and time in the header line of the current
// connection list "Quillomark.conf", for the update to compare with a
// downloaded list. It reads without connListLock: the update thread that
// calls it is the only writer of the file.
#pragma once

#include <cstdint>

#include "update/UpdateResult.h"

struct CoreContext;

// The header's seconds (HeaderToSeconds); -1 for a missing or out-of-range
// header; CodeOf(UpdateResult::LocalListUnreadable), -40, when the file cannot
// be opened or read. -40 is below every valid value and below -1, so a
// missing file is older than any list.
int64_t ReadLocalListTime(CoreContext& ctx);
