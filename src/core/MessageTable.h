// MessageTable holds every user-visible text by its MSG_ key in two layers:
// the built-in English defaults and the records loaded from the message file
// of the system language. A key missing from the file falls back to its
// default, and a key with neither gives "N/A". Both layers are filled once at
// start-up on the window thread and only read afterwards, so lookups need no
// lock.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct CoreContext;

inline constexpr int kMessageFieldSize = 256;    // 255 characters and a terminator
inline constexpr int kMessageDefaultSlots = 128;
inline constexpr int kMessageDefaultCount = 53;

struct MessageRecord {
    char key[kMessageFieldSize];
    char text[kMessageFieldSize];
};

struct MessageTable {
    MessageRecord defaults[kMessageDefaultSlots] = {};
    int defaultCount = 0;
    std::vector<MessageRecord> loaded;
};

// The file name for a stem ("message" or "hint") under the given system
// language id: "/message_CN.txt" for 2052, "/message_TW.txt" for 1028,
// "/message_EN.txt" for every other id.
std::string LanguageFileName(const char* stem, uint16_t languageId);

// Fills the defaults, then loads the file at path. A file that does not exist
// is written: a language with a built-in translation gets that translation,
// which also serves this run; any other gets the English defaults. Keys an
// existing file lacks fall back to the built-in translation of its language,
// if any, before the English defaults. Returns 0.
int LoadMessageFile(CoreContext& ctx, const std::string& path);

// Every key that has a built-in English text, in table order.
std::vector<std::string> MessageKeys();

// The text to show for key; never null.
const char* GetMessageText(CoreContext& ctx, const char* key);
