// TranslatedMessages are the message files the program ships for the
// languages it speaks besides English ("message_TW.txt", Traditional Chinese
// as used in Taiwan; "message_CN.txt", Simplified Chinese). They are built in
// from data/ at build time, so a missing file of one of these languages is
// written in that language rather than as an English copy under its name,
// wherever the program runs.
#pragma once

#include <string>
#include <string_view>

// The shipped text of the message file with the given name (without
// directory), or an empty view when no translation is built in for it.
std::string_view TranslatedMessageFile(const std::string& fileName);
