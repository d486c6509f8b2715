#include "report/ReportResult.h"

const char* ToText(ReportResult result) {
    switch (result) {
        case ReportResult::Ok: return "Ok";
        case ReportResult::LogFileFailed: return "LogFileFailed";
        case ReportResult::UserMailRefused: return "UserMailRefused";
    }
    return "";
}
