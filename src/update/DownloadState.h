// DownloadState is what one download of the connection list leaves for the
// update to use: the body as it was received (CR LF line ends kept), how many
// bytes of it there are, and the date and time its header line carries. Each
// download overwrites it; only the update thread touches it, so it needs no
// lock.
#pragma once

#include <cstdint>

// The longest published list taken; a longer one is refused whole.
inline constexpr uint32_t kDownloadBufferSize = 64 * 1024;

struct DownloadState {
    char downloadBuffer[kDownloadBufferSize + 1] = {};  // the body and a terminating zero byte
    uint32_t downloadLength = 0;                        // 0 to kDownloadBufferSize
    int64_t downloadedListTime = -1;                    // header seconds, or -1
};
