// ReportResult is what the log report adds to the SMTP probe's outcomes
// (DetectionResult), whose numbers the report's dialogue shares.
#pragma once

#include <cstdint>

#include "platform/ResultCode.h"

enum class ReportResult : int32_t {
    Ok = 0,
    LogFileFailed = -53,    // the log or its backup could not be opened, measured or positioned
    UserMailRefused = -54,  // the stored USER_MAIL holds a control character
};

const char* ToText(ReportResult result);
