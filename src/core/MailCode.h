// MailCode turns a protected setting back into plain text. The settings file
// carries each protected value as hexadecimal Triple-DES ciphertext (EDE, CBC,
// every value starting afresh from the fixed vector, zero bytes padding the
// text to whole blocks). SealMailCode is the one place that encrypts: the
// sealing tool and the Settings dialog both go through it.
#pragma once

#include <cstddef>
#include <string>

#include "core/CoreResult.h"
#include "core/MailCodeKeys.h"

struct CoreContext;

// One value's ciphertext is below 256 bytes because a settings line is read
// at most 511 characters at a time; longer hexadecimal text is refused.
inline constexpr int kMailCodeMaxBytes = 256;

// Fills out (outSize bytes, terminator included) with the plain text of the
// hexadecimal ciphertext, or with the empty text after logging
// "read mail code failed" when it cannot be decrypted.
void ReadMailCode(CoreContext& ctx, const char* hex, char* out, std::size_t outSize);

// The leading hexadecimal digits of a text of one or two characters (either
// letter case); reading stops at the first other character and no digit at
// all gives 0.
unsigned char HexPairToByte(const char* oneOrTwoChars);

// Decrypts count bytes into out, which must hold count + 1 bytes: a
// terminator follows the last decrypted byte. MailCodeRefused when count is
// not a multiple of 8, a buffer is absent or a key is refused.
CoreResult DecryptMailCode(const MailCodeKeys& keys, const unsigned char* bytes, int count,
                    unsigned char* out);

// The longest text a protected setting holds.
inline constexpr std::size_t kMailCodePlainLimit = 127;

// The upper-case hexadecimal ciphertext of plain, as the settings file
// carries it. MailCodeRefused (hex empty) for a text longer than
// kMailCodePlainLimit or a key DES refuses.
CoreResult SealMailCode(const MailCodeKeys& keys, const std::string& plain, std::string& hex);

// Whether ReadMailCode would decrypt hex (without logging anything).
bool MailCodeHexIsReadable(const MailCodeKeys& keys, const char* hex);
