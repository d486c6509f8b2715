// GetTickCount is a monotonic millisecond counter. Like the 32-bit counter it
// stands in for it wraps, so callers take differences in unsigned arithmetic.
#pragma once

#include <cstdint>

uint32_t GetTickCount();
