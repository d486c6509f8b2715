#include "core/CoreResult.h"

const char* ToText(CoreResult result) {
    switch (result) {
        case CoreResult::Ok: return "Ok";
        case CoreResult::SettingsUnreadable: return "SettingsUnreadable";
        case CoreResult::MailCodeRefused: return "MailCodeRefused";
        case CoreResult::MissingArgument: return "MissingArgument";
        case CoreResult::SettingsTooLarge: return "SettingsTooLarge";
        case CoreResult::SettingRefused: return "SettingRefused";
        case CoreResult::SettingsUnwritable: return "SettingsUnwritable";
        case CoreResult::SettingsMalformed: return "SettingsMalformed";
    }
    return "";
}
