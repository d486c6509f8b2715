#include "platform/PlatformResult.h"

const char* ToText(PlatformResult result) {
    switch (result) {
        case PlatformResult::Ok: return "Ok";
        case PlatformResult::SystemRefused: return "SystemRefused";
        case PlatformResult::MissingArgument: return "MissingArgument";
    }
    return "";
}
