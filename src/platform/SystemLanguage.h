// GetSystemDefaultLangID derives the system language id from the locale the
// process was started with (LC_ALL, then LC_MESSAGES, then LANG): the Chinese
// locales map to their Windows ids, everything else to 1033 (English, US).
#pragma once

#include <cstdint>

uint16_t GetSystemDefaultLangID();

// The id for one locale name such as "zh_TW.UTF-8"; null or empty gives 1033.
uint16_t LanguageIdForLocale(const char* locale);
