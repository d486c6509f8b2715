// What the connection list update reports. UpdateResult holds its failures;
// a download and the trial of a downloaded list each have an outcome of
// their own, whose success is one of their values, each with the number the
// update has always logged and compared.
#pragma once

#include <cstdint>

#include "platform/ResultCode.h"

enum class UpdateResult : int32_t {
    Ok = 0,
    ListRejected = -21,         // a downloaded body is not a usable connection list
    LocalListUnreadable = -40,  // "Quillomark.conf" cannot be opened to read its header
};

// One download of the list, or the download with its retries.
enum class DownloadOutcome : int32_t {
    Succeeded = -43,      // a usable list was received
    Failed = -41,         // the download failed (status, empty or rejected body, transfer error)
    RetriesFailed = -44,  // every retry of the download failed
};

// One trial of the downloaded list by a detection run, or the trial with its
// retries.
enum class NewListOutcome : int32_t {
    Installed = -45,      // the run on the new list succeeded and "Quillomark.conf" was replaced
    Failed = -42,         // the run on the new list failed, or the list file was not written
    RetriesFailed = -46,  // every retry of the trial failed
};

const char* ToText(UpdateResult result);
const char* ToText(DownloadOutcome outcome);
const char* ToText(NewListOutcome outcome);
