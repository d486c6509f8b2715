#include "core/UserConfigFile.h"

#include <sys/stat.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <optional>
#include <vector>

#include "core/CoreContext.h"
#include "core/MailCode.h"
#include "core/TextLineReader.h"
#include "core/WriteLog.h"
#include "platform/Ipv4Address.h"
#include "platform/ReplaceFile.h"

namespace {

constexpr std::size_t kLineBufferSize = kLinePieceLength + 2;  // a piece, its line break, a terminator

enum class ValueKind { Number, Thousands, Flag, Text, Protected, ListenPort };

// One key of the file and the field it fills. minimum and maximum bound what
// ModifyUserConfig accepts for the numeric kinds, checkMinimum and maximum
// what the defaults pass keeps; accepts, when set, is what both accept of a
// text. A key with a default takes it when the file has no line for it.
struct SettingKey {
    const char* name;
    ValueKind kind;
    ConfigNumber UserConfig::*number;
    ConfigFlag UserConfig::*flag;
    ConfigText UserConfig::*text;
    char (UserConfig::*sealed)[kConfigTextSize];
    int32_t minimum;
    int32_t maximum;
    int32_t checkMinimum;
    const char* defaultText;  // nullptr: no default
    bool (*accepts)(const std::string& text);
};

constexpr int32_t kMaxPort = 65535;

constexpr SettingKey Numeric(const char* name, ValueKind kind, ConfigNumber UserConfig::*field,
                             const char* defaultText, int32_t minimum = 1,
                             int32_t maximum = INT32_MAX, int32_t checkMinimum = 1) {
    return {name, kind, field, nullptr, nullptr, nullptr, minimum, maximum, checkMinimum, defaultText, nullptr};
}
constexpr SettingKey Port(const char* name, ConfigNumber UserConfig::*field, const char* defaultText) {
    return Numeric(name, ValueKind::Number, field, defaultText, 1, kMaxPort);
}
// A port the proxy listens on. Its defaults are the ports the package ships,
// which a normal user can bind: with 25, 110 and 143 a bad value would leave
// the protocol without a listener. A value that is no port is replaced as the
// file is read, and said so, rather than quietly by the defaults pass.
constexpr SettingKey ListenPort(const char* name, ConfigNumber UserConfig::*field, const char* defaultText) {
    return Numeric(name, ValueKind::ListenPort, field, defaultText, 1, kMaxPort);
}
constexpr SettingKey Flag(const char* name, ConfigFlag UserConfig::*field) {
    return {name, ValueKind::Flag, nullptr, field, nullptr, nullptr, 0, 0, 0, nullptr, nullptr};
}
constexpr SettingKey Textual(const char* name, ConfigText UserConfig::*field, const char* defaultText,
                             bool (*accepts)(const std::string&) = nullptr) {
    return {name, ValueKind::Text, nullptr, nullptr, field, nullptr, 0, 0, 0, defaultText, accepts};
}
constexpr SettingKey Sealed(const char* name, char (UserConfig::*field)[kConfigTextSize]) {
    return {name, ValueKind::Protected, nullptr, nullptr, nullptr, field, 0, 0, 0, nullptr, nullptr};
}

// Empty, or the base64 of a 32-byte Ed25519 key: 43 characters and "=".
bool IsListPublicKey(const std::string& text) {
    if (text.empty()) return true;
    if (text.size() != 44 || text[43] != '=') return false;
    for (std::size_t i = 0; i < 43; ++i) {
        char c = text[i];
        bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (!letter && c != '+' && c != '/') return false;
    }
    return true;
}

using VK = ValueKind;
using UC = UserConfig;
// In the order the defaults pass checks them.
const SettingKey kSettingKeys[] = {
    ListenPort("PORT_SMTP", &UC::PORT_SMTP, "2525"),
    ListenPort("PORT_POP3", &UC::PORT_POP3, "2110"),
    ListenPort("PORT_IMAP4", &UC::PORT_IMAP4, "2143"),
    // The TLS ports came later: a file without them takes the defaults
    // quietly, and 0 closes one.
    Numeric("PORT_SMTPS", VK::Number, &UC::PORT_SMTPS, "2465", 0, kMaxPort, 0),
    Numeric("PORT_POP3S", VK::Number, &UC::PORT_POP3S, "2995", 0, kMaxPort, 0),
    Numeric("PORT_IMAP4S", VK::Number, &UC::PORT_IMAP4S, "2993", 0, kMaxPort, 0),
    Flag("IS_OPEN_TUTORIAL", &UC::IS_OPEN_TUTORIAL),
    Flag("IS_MANUAL_DETECT", &UC::IS_MANUAL_DETECT),
    Flag("IS_PREFER_SSL", &UC::IS_PREFER_SSL),
    Numeric("LOG_LVL", VK::Number, &UC::LOG_LVL, "3", 0, 5, 0),
    Numeric("LOG_SIZE", VK::Thousands, &UC::LOG_SIZE, "1000"),
    Numeric("LOG_REPORT_SIZE", VK::Thousands, &UC::LOG_REPORT_SIZE, "20"),
    Numeric("DETECT_INTERVAL", VK::Thousands, &UC::DETECT_INTERVAL, "14400"),
    Textual("TEST_INTERNET_SERVER", &UC::TEST_INTERNET_SERVER, kDefaultInternetTestServer),
    Port("TEST_INTERNET_PORT", &UC::TEST_INTERNET_PORT, "80"),
    // No retries is a valid setting in the file, though not as a change.
    Numeric("TEST_INTERNET_RETRY_NUM", VK::Number, &UC::TEST_INTERNET_RETRY_NUM, "3", 1, INT32_MAX, 0),
    Numeric("TEST_INTERNET_RETRY_INTERVAL", VK::Thousands, &UC::TEST_INTERNET_RETRY_INTERVAL, "60"),
    Numeric("DOWNLOAD_RETRY_INTERVAL", VK::Thousands, &UC::DOWNLOAD_RETRY_INTERVAL, "14400"),
    Sealed("TEST_MAIL_CODE1", &UC::USER_NAME),
    Sealed("TEST_MAIL_CODE2", &UC::LOGIN_NAME),
    Sealed("TEST_MAIL_CODE3", &UC::LOGIN_PASS),
    Sealed("TEST_MAIL_CODE4", &UC::MAIL_FROM),
    Sealed("TEST_MAIL_CODE5", &UC::RCPT_TO),
    Sealed("TEST_MAIL_CODE6", &UC::LOG_RCPT_TO),
    Sealed("TEST_MAIL_CODE7", &UC::DOWNLOAD_SERVER),
    Sealed("TEST_MAIL_CODE8", &UC::DOWNLOAD_PATH),
    Textual("USER_MAIL", &UC::USER_MAIL, nullptr),
    Textual("LISTEN_ADDRESS", &UC::LISTEN_ADDRESS, kDefaultListenAddress, IsIpv4Address),
    Textual("TLS_CA_FILE", &UC::TLS_CA_FILE, nullptr),
    Textual("LIST_PUBLIC_KEY", &UC::LIST_PUBLIC_KEY, nullptr, IsListPublicKey),
};
constexpr std::size_t kSettingKeyCount = sizeof kSettingKeys / sizeof kSettingKeys[0];

const SettingKey* FindSettingKey(const char* name) {
    for (const SettingKey& key : kSettingKeys) {
        if (std::strcmp(key.name, name) == 0) return &key;
    }
    return nullptr;
}

// One read of the file: at most 511 characters, up to and including a line
// break, so a longer line arrives as several reads. Bytes after a NUL are
// kept (length counts them) so that a copied line stays byte for byte whole;
// parsing sees the text up to the NUL.
struct ConfigLine {
    char text[kLineBufferSize];
    std::size_t length;
};

bool ReadConfigLine(TextLineReader& reader, ConfigLine& line) {
    line.length = 0;
    line.text[0] = '\0';
    if (!reader.Next()) return false;
    line.length = static_cast<std::size_t>(reader.Length()) + (reader.Ended() ? 1 : 0);
    std::memcpy(line.text, reader.Line(), line.length + 1);
    return true;
}

// The key is everything before the first "=", the value everything after it
// up to the next "=" (its line break included); both must be non-empty.
struct SplitLine {
    char key[kLineBufferSize];
    char value[kLineBufferSize];
};

bool SplitConfigLine(const ConfigLine& line, SplitLine& split) {
    return std::sscanf(line.text, "%511[^=]=%511[^=]", split.key, split.value) == 2;
}

// Log lines carry the settings line without its own break.
struct LoggedLine {
    char text[kLineBufferSize];
};

LoggedLine WithoutLineBreak(const ConfigLine& line) {
    LoggedLine logged;
    std::size_t length = std::strlen(line.text);
    while (length > 0 && (line.text[length - 1] == '\n' || line.text[length - 1] == '\r')) --length;
    std::memcpy(logged.text, line.text, length);
    logged.text[length] = '\0';
    return logged;
}

void LogFormatError(CoreContext& ctx, const ConfigLine& line) {
    WriteLog(ctx, UI, MINOR, "ERROR: user config format error at line=%s",
             WithoutLineBreak(line).text);
}

// The lines of a load, written once the load has set the log level: before
// it, the level is whatever the context had, usually nothing at all.
struct HeldLine {
    LogLevel level;
    std::string text;
    bool shown = false;  // the user sees it too: a setting the load did not take
};

void HoldLine(std::vector<HeldLine>& held, LogLevel level, const char* format, const char* text,
              bool shown = false) {
    int length = std::snprintf(nullptr, 0, format, text);
    if (length <= 0) return;
    std::string line(static_cast<std::size_t>(length) + 1, '\0');
    std::snprintf(line.data(), line.size(), format, text);
    line.resize(static_cast<std::size_t>(length));
    held.push_back({level, std::move(line), shown});
}

// The value as the file wrote it, for a warning: without blanks around it.
std::string TrimmedValue(const char* value) {
    std::string text(value);
    std::size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return std::string();
    std::size_t last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}

int32_t ClampToInt32(long long value) {
    if (value > INT32_MAX) return INT32_MAX;
    if (value < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(value);
}

// The leading decimal integer (blanks and a sign allowed, no digits gives 0).
// A number beyond 32 bits holds the nearest 32-bit value, so a huge size or
// interval stays huge and a huge negative one still fails the defaults pass.
int32_t LeadingInteger(const char* text) {
    return ClampToInt32(std::strtoll(text, nullptr, 10));
}

int32_t InThousands(int32_t value) {
    return ClampToInt32(static_cast<long long>(value) * 1000);
}

void CopyBounded(const char* text, std::size_t length, char* out, std::size_t outSize) {
    if (length > outSize - 1) length = outSize - 1;
    std::memcpy(out, text, length);
    out[length] = '\0';
}

// The characters strictly between the first and the last double quote;
// false (out untouched) when there are fewer than two.
bool CopyQuoted(const char* value, char* out, std::size_t outSize) {
    const char* first = std::strchr(value, '"');
    const char* last = std::strrchr(value, '"');
    if (first == nullptr || first == last) return false;
    CopyBounded(first + 1, static_cast<std::size_t>(last - first - 1), out, outSize);
    return true;
}

void StoreLoadedValue(CoreContext& ctx, const SettingKey& key, const char* value) {
    UserConfig& config = ctx.userConfig;
    char quoted[kLineBufferSize];
    switch (key.kind) {
    case ValueKind::Number:
    case ValueKind::ListenPort: config.*key.number = LeadingInteger(value); break;
    case ValueKind::Thousands: config.*key.number = InThousands(LeadingInteger(value)); break;
    case ValueKind::Flag: config.*key.flag = LeadingInteger(value) > 0; break;
    case ValueKind::Text:
        if (CopyQuoted(value, quoted, sizeof quoted)) (config.*key.text).Set(quoted);
        break;
    case ValueKind::Protected:
        if (CopyQuoted(value, quoted, sizeof quoted)) ReadMailCode(ctx, quoted, config.*key.sealed, kConfigTextSize);
        break;
    }
}

// What a value of the numeric kinds holds in memory.
int32_t HeldNumber(const SettingKey& key, int32_t number) {
    return key.kind == ValueKind::Thousands ? InThousands(number) : number;
}

// False when the value is out of the key's range: logged, nothing changed.
bool StoreModifiedValue(CoreContext& ctx, const SettingKey& key, const char* value) {
    UserConfig& config = ctx.userConfig;
    if (key.kind == ValueKind::Flag) {
        config.*key.flag = LeadingInteger(value) > 0;
        return true;
    }
    bool legal = key.kind == ValueKind::Text
                     ? key.accepts == nullptr || key.accepts(value)
                     : LeadingInteger(value) >= key.minimum && LeadingInteger(value) <= key.maximum;
    if (!legal) {
        WriteLog(ctx, UI, MINOR, "ERROR: modify user config %s to illegal value %s", key.name, value);
        return false;
    }
    if (key.kind == ValueKind::Text) {
        (config.*key.text).Set(value);
    } else {
        config.*key.number = HeldNumber(key, LeadingInteger(value));
    }
    return true;
}

// Whether the defaults pass keeps the value memory holds for a key with a default.
bool KeptByDefaultsPass(const UserConfig& config, const SettingKey& key) {
    if (key.kind == ValueKind::Text) {
        std::string text = (config.*key.text).Get();
        return !text.empty() && (key.accepts == nullptr || key.accepts(text));
    }
    int32_t held = config.*key.number;
    return held >= key.checkMinimum && held <= key.maximum;
}

// A key the file has no line for takes its default, in memory only: the file
// is never given lines it did not have.
void DefaultMissingKeys(CoreContext& ctx, const bool (&seen)[kSettingKeyCount]) {
    UserConfig& config = ctx.userConfig;
    for (std::size_t i = 0; i < kSettingKeyCount; ++i) {
        const SettingKey& key = kSettingKeys[i];
        if (seen[i] || key.defaultText == nullptr) continue;
        if (key.kind == ValueKind::Text) {
            (config.*key.text).Set(key.defaultText);
        } else {
            config.*key.number = HeldNumber(key, LeadingInteger(key.defaultText));
        }
    }
}

std::string FormatLine(const char* format, const char* name, const char* value) {
    int length = std::snprintf(nullptr, 0, format, name, value);
    if (length <= 0) return std::string();
    std::string line(static_cast<std::size_t>(length) + 1, '\0');
    std::snprintf(line.data(), line.size(), format, name, value);
    line.resize(static_cast<std::size_t>(length));
    return line;
}

// Texts are written as held, so the file never carries more than the 127
// characters memory keeps; numbers and flags as the caller wrote them.
std::string ReplacementLine(const CoreContext& ctx, const SettingKey& key, const char* value) {
    if (key.kind == ValueKind::Text) {
        return FormatLine("%s=\"%s\"\n", key.name, (ctx.userConfig.*key.text).Get().c_str());
    }
    return FormatLine("%s=%s\n", key.name, value);
}

// The settings are read only from a regular file: a directory of that name
// would read as empty, a pipe or a device would never end.
bool IsRegularFile(const std::string& path, mode_t* mode) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
    if (mode != nullptr) *mode = info.st_mode & 07777;
    return true;
}

// A listener port that is missing or no port takes its default, and says so.
void CheckListenPorts(CoreContext& ctx, const bool (&seen)[kSettingKeyCount],
                      const std::string (&written)[kSettingKeyCount], std::vector<HeldLine>& held) {
    for (std::size_t i = 0; i < kSettingKeyCount; ++i) {
        const SettingKey& key = kSettingKeys[i];
        if (key.kind != ValueKind::ListenPort) continue;
        ConfigNumber& port = ctx.userConfig.*key.number;
        if (seen[i] && port >= key.minimum && port <= key.maximum) continue;
        port = LeadingInteger(key.defaultText);
        std::string line = seen[i] ? std::string("WARNING: ") + key.name + "=" + written[i] + " is not a port, using " +
                                         key.defaultText
                                   : std::string("WARNING: ") + key.name + " is not set, using " + key.defaultText;
        held.push_back({MINOR, std::move(line), true});
    }
}

// Copies every line that splits into out, replacing each line of
// replaceKey (when not null) by replacement; malformed lines are logged and
// left out.
void CopyLines(CoreContext& ctx, TextLineReader& in, std::string& out, const char* replaceKey,
               const std::string& replacement) {
    ConfigLine line;
    SplitLine split;
    // True while the copy ends inside a line: the first piece of an over-long
    // line was kept. When the rest of that line is dropped, its line break is
    // still written, or the next setting would be glued onto the kept piece.
    bool openLine = false;
    while (ReadConfigLine(in, line)) {
        bool endsLine = line.length > 0 && line.text[line.length - 1] == '\n';
        if (!SplitConfigLine(line, split)) {
            LogFormatError(ctx, line);
            if (openLine && endsLine) out += '\n';
            if (endsLine) openLine = false;
            continue;
        }
        bool replace = replaceKey != nullptr && std::strcmp(split.key, replaceKey) == 0;
        if (replace)
            out += replacement;
        else
            out.append(line.text, line.length);
        openLine = !replace && !endsLine;
    }
}

// The settings file is replaced whole, so it is at every moment either
// wholly old or wholly new; on any failure the old file stays as it was.
// The new file keeps the old one's permissions exactly, whatever the umask.
void RewriteSettingsFile(CoreContext& ctx, const char* replaceKey,
                         const std::string& replacement) {
    std::string path = DataFilePath(ctx, kUserConfigFileName);
    mode_t mode = 0600;
    if (!IsRegularFile(path, &mode)) {
        WriteLog(ctx, UI, MINOR, "ERROR: open user config to modify failed");
        return;
    }
    TextLineReader in(path, kSettingsReadLimits);
    if (!in.IsOpen() || in.OverLimit()) {
        // An oversized file is never cut down to the part that was read.
        WriteLog(ctx, UI, MINOR, "ERROR: open user config to modify failed");
        return;
    }
    std::string text;
    CopyLines(ctx, in, text, replaceKey, replacement);
    if (in.OverLimit()) {
        WriteLog(ctx, UI, MINOR, "ERROR: open user config to modify failed");
        return;
    }
    if (!ReplaceFile(path, text, mode)) {
        WriteLog(ctx, UI, MINOR, "ERROR: open user config temporary file failed");
        return;
    }
    (void)chmod(path.c_str(), mode);  // keeping the settings file's permissions is a courtesy
}

// The TLS client context is made on first use, after the settings are read.
void ConfigureTls(CoreContext& ctx) {
    ctx.tlsClient.Configure(ctx.userConfig.TLS_CA_FILE.Get(), DataFilePath(ctx, kKnownServersFileName));
}

}  // namespace

CoreResult LoadUserConfig(CoreContext& ctx, std::vector<std::string>* warnings) {
    std::string path = DataFilePath(ctx, kUserConfigFileName);
    WriteLog(ctx, UI, DUMP, "load user config file %s", path.c_str());
    bool seen[kSettingKeyCount] = {};
    std::string written[kSettingKeyCount];
    std::vector<HeldLine> held;
    CoreResult result = CoreResult::Ok;
    std::optional<TextLineReader> reader;
    if (IsRegularFile(path, nullptr)) reader.emplace(path, kSettingsReadLimits);
    if (!reader || !reader->IsOpen()) {
        HoldLine(held, MAJOR, "ERROR: open user config %s failed", path.c_str());
        result = CoreResult::SettingsUnreadable;
    } else {
        ConfigLine line;
        SplitLine split;
        while (ReadConfigLine(*reader, line)) {
            if (!SplitConfigLine(line, split)) {
                HoldLine(held, MINOR, "ERROR: user config format error at line=%s", WithoutLineBreak(line).text);
                continue;
            }
            const SettingKey* key = FindSettingKey(split.key);
            if (key == nullptr) {
                HoldLine(held, MINOR, "ERROR: user config find unrecognized field name at line=%s",
                         WithoutLineBreak(line).text);
                continue;
            }
            seen[key - kSettingKeys] = true;
            written[key - kSettingKeys] = TrimmedValue(split.value);
            StoreLoadedValue(ctx, *key, split.value);
        }
        if (reader->OverLimit()) {
            // Nothing of an oversized file counts: every setting takes its default.
            UserConfig& config = ctx.userConfig;
            for (std::size_t i = 0; i < kSettingKeyCount; ++i) seen[i] = false;
            for (const SettingKey& key : kSettingKeys) {
                if (key.kind == ValueKind::Flag) config.*key.flag = false;
                if (key.kind == ValueKind::Protected) (config.*key.sealed)[0] = '\0';
                if (key.kind == ValueKind::Text && key.defaultText == nullptr) (config.*key.text).Set("");
            }
            HoldLine(held, MAJOR, "ERROR: user config format error: larger than %s, using the defaults",
                     reader->LimitText().c_str(), true);
            result = CoreResult::SettingsTooLarge;
        }
    }
    DefaultMissingKeys(ctx, seen);
    // The refusal of an oversized file already says every setting is a default.
    if (result != CoreResult::SettingsTooLarge) CheckListenPorts(ctx, seen, written, held);
    for (const HeldLine& line : held) {
        WriteLog(ctx, UI, line.level, "%s", line.text.c_str());
        if (warnings != nullptr && line.shown) warnings->push_back(line.text);
    }
    ConfigureTls(ctx);
    return result;
}

CoreResult CheckUserConfig(CoreContext& ctx) {
    for (const SettingKey& key : kSettingKeys) {
        if (key.defaultText != nullptr && !KeptByDefaultsPass(ctx.userConfig, key)) {
            ModifyUserConfig(ctx, key.name, key.defaultText);
        }
    }
    return CoreResult::Ok;
}

CoreResult ModifyUserConfig(CoreContext& ctx, const char* name, const char* value) {
    if (name == nullptr || value == nullptr) return CoreResult::MissingArgument;
    const SettingKey* key = FindSettingKey(name);
    if (key == nullptr || key->kind == ValueKind::Protected) {
        // A refused name never replaces a line: the protected values in
        // particular must reach the file only from the sealing tool.
        WriteLog(ctx, UI, MINOR, "ERROR: modify user config of unrecognized field name=%s", name);
        RewriteSettingsFile(ctx, nullptr, std::string());
        return CoreResult::Ok;
    }
    if (!StoreModifiedValue(ctx, *key, value)) return CoreResult::Ok;
    RewriteSettingsFile(ctx, key->name, ReplacementLine(ctx, *key, value));
    return CoreResult::Ok;
}

namespace {

// The field names the protected keys stand for, as the sealing tool takes them.
const char* const kSealedFieldNames[] = {"USER_NAME", "LOGIN_NAME", "LOGIN_PASS",  "MAIL_FROM",
                                         "RCPT_TO",   "LOG_RCPT_TO", "DOWNLOAD_SERVER", "DOWNLOAD_PATH"};

const SettingKey* FindChangeKey(const std::string& name) {
    for (std::size_t i = 0; i < 8; ++i)
        if (name == kSealedFieldNames[i]) return FindSettingKey(("TEST_MAIL_CODE" + std::to_string(i + 1)).c_str());
    return FindSettingKey(name.c_str());
}

bool HasLineBreak(const std::string& text) {
    return text.find_first_of("\r\n\"") != std::string::npos;
}

// The file line of one change, or empty with the reason when it is refused.
std::string ChangeLine(const CoreContext& ctx, const SettingKey& key, const std::string& value,
                       std::string& reason) {
    switch (key.kind) {
    case ValueKind::Flag:
        return FormatLine("%s=%s\n", key.name, LeadingInteger(value.c_str()) > 0 ? "1" : "0");
    case ValueKind::Number:
    case ValueKind::Thousands:
    case ValueKind::ListenPort: {
        char* end = nullptr;
        long long number = std::strtoll(value.c_str(), &end, 10);
        if (value.empty() || *end != '\0' || number < key.minimum || number > key.maximum) {
            reason = std::string(key.name) + " must be a whole number from " + std::to_string(key.minimum) +
                     " to " + std::to_string(key.maximum);
            return std::string();
        }
        return FormatLine("%s=%s\n", key.name, std::to_string(number).c_str());
    }
    case ValueKind::Text:
        if (HasLineBreak(value) || value.size() >= kConfigTextSize ||
            (key.accepts != nullptr && !key.accepts(value))) {
            reason = std::string(key.name) + " is not accepted: \"" + value + "\"";
            return std::string();
        }
        return FormatLine("%s=\"%s\"\n", key.name, value.c_str());
    case ValueKind::Protected: {
        std::string hex;
        if (HasLineBreak(value) || SealMailCode(ctx.mailCodeKeys, value, hex) != CoreResult::Ok) {
            reason = std::string(key.name) + " holds at most 127 characters on one line";
            return std::string();
        }
        return FormatLine("%s=\"%s\"\n", key.name, hex.c_str());
    }
    }
    return std::string();
}

}  // namespace

CoreResult WriteSettingChanges(CoreContext& ctx, const std::vector<SettingChange>& changes,
                               std::string& reason) {
    std::vector<std::pair<const SettingKey*, std::string>> lines;
    for (const SettingChange& change : changes) {
        const SettingKey* key = FindChangeKey(change.name);
        if (key == nullptr) {
            reason = "unknown setting " + change.name;
            return CoreResult::SettingRefused;
        }
        std::string line = ChangeLine(ctx, *key, change.value, reason);
        if (line.empty()) return CoreResult::SettingRefused;
        lines.emplace_back(key, std::move(line));
    }
    std::string path = DataFilePath(ctx, kUserConfigFileName);
    mode_t mode = 0600;
    std::string text;
    if (IsRegularFile(path, &mode)) {
        TextLineReader in(path, kSettingsReadLimits);
        ConfigLine line;
        SplitLine split;
        while (in.IsOpen() && ReadConfigLine(in, line)) {
            bool replaced = false;
            if (SplitConfigLine(line, split)) {
                for (auto& [key, replacement] : lines) {
                    if (std::strcmp(split.key, key->name) != 0) continue;
                    // The first line of the key takes the new value, later ones go.
                    text += replacement;
                    replacement.clear();
                    replaced = true;
                }
            }
            if (!replaced) text.append(line.text, line.length);
        }
        // An oversized file is never cut down to the part that was read.
        if (!in.IsOpen() || in.OverLimit()) {
            reason = "the settings file cannot be read";
            return CoreResult::SettingsUnwritable;
        }
    }
    if (!text.empty() && text.back() != '\n') text += '\n';
    for (const auto& entry : lines) text += entry.second;
    if (!ReplaceFile(path, text, mode)) {
        reason = "the settings file cannot be written";
        WriteLog(ctx, UI, MINOR, "ERROR: open user config temporary file failed");
        return CoreResult::SettingsUnwritable;
    }
    (void)chmod(path.c_str(), mode);
    return CoreResult::Ok;
}

CoreResult CheckSettingsFile(const MailCodeKeys& keys, const std::string& path, std::string& reason) {
    std::optional<TextLineReader> file;
    if (IsRegularFile(path, nullptr)) file.emplace(path, kSettingsReadLimits);
    if (!file || !file->IsOpen()) {
        reason = "cannot be opened";
        return CoreResult::SettingsUnreadable;
    }
    ConfigLine line;
    SplitLine split;
    CoreResult result = CoreResult::Ok;
    int number = 0;
    while (result == CoreResult::Ok && ReadConfigLine(*file, line)) {
        ++number;
        std::string shown = WithoutLineBreak(line).text;
        if (shown.empty()) continue;
        const SettingKey* key = SplitConfigLine(line, split) ? FindSettingKey(split.key) : nullptr;
        char quoted[kLineBufferSize];
        if (key == nullptr) {
            reason = "line " + std::to_string(number) + " is no setting: " + shown;
            result = CoreResult::SettingsMalformed;
        } else if (key->kind == ValueKind::Protected &&
                   (!CopyQuoted(split.value, quoted, sizeof quoted) || !MailCodeHexIsReadable(keys, quoted))) {
            reason = "line " + std::to_string(number) + " holds a protected value that cannot be read";
            result = CoreResult::SettingsMalformed;
        }
    }
    if (result == CoreResult::Ok && file->OverLimit()) {
        reason = "larger than " + file->LimitText();
        result = CoreResult::SettingsTooLarge;
    }
    return result;
}

void ReloadUserConfig(CoreContext& ctx) {
    LoadUserConfig(ctx);
    CheckUserConfig(ctx);
}
