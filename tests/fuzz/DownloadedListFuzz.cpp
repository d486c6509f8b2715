// A downloaded connection list body, checked and its header read before the
// update does anything with it.
#include "update/DownloadedList.h"

#include <cstring>

#include "update/DownloadState.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    // One read never brings more than the buffer holds.
    if (size > kDownloadBufferSize) return 0;
    DownloadState state;
    std::memcpy(state.downloadBuffer, data, size);
    state.downloadBuffer[size] = '\0';
    state.downloadLength = static_cast<uint32_t>(size);
    ValidateDownloadedList(state);
    ReadDownloadedListTime(state);
    return 0;
}
