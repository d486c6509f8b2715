#include "core/MessageTable.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "core/CoreContext.h"
#include "core/TextLineReader.h"
#include "core/TranslatedMessages.h"
#include "core/WriteLog.h"
#include "platform/ReplaceFile.h"

namespace {

struct DefaultMessage {
    const char* key;
    const char* text;
};

// Table order is also the order of the file written for translators.
const DefaultMessage kDefaultMessages[kMessageDefaultCount] = {
    {"MSG_NOT_FOUND", "N/A"},
    {"MSG_CAPTION_CURLINK_GB", "Current connection"},
    {"MSG_CAPTION_CURLINK_NOLINK", "No available connection for the mail service"},
    {"MSG_CAPTION_ALLLINK_GB", "Status of connections"},
    {"MSG_CAPTION_DEBUGLOG_GB", "Information"},
    {"MSG_CAPTION_DEBUGMODE_GB", "Debug mode"},
    {"MSG_CAPTION_SHOWHINT_BTN", "Tutorial"},
    {"MSG_CAPTION_AUTODETECT_BTN", "Re-detect"},
    {"MSG_CAPTION_PREFERSSL_CHK", "Enable SSL"},
    {"MSG_CAPTION_AUTOSETTING_CHK", "Auto Mode"},
    {"MSG_CAPTION_MANUALSET_BTN", "Apply"},
    {"MSG_CAPTION_DEBUG_DISABLE_RD", "Disabled"},
    {"MSG_CAPTION_DEBUG_NORMAL_RD", "Normal"},
    {"MSG_CAPTION_DEBUG_DETAIL_RD", "Detail"},
    {"MSG_CAPTION_REPORT_BTN", "Send log"},
    {"MSG_CAPTION_LISTCTRL_COL1", "Speed(ms)"},
    {"MSG_CAPTION_LISTCTRL_COL2", "IP"},
    {"MSG_CAPTION_LISTCTRL_COL3", "SMTP port"},
    {"MSG_CAPTION_LISTCTRL_COL4", "POP3 port"},
    {"MSG_CAPTION_LISTCTRL_COL5", "IMAP4 port"},
    {"MSG_CAPTION_LISTCTRL_COL6", "Remark"},
    {"MSG_ONLEAVE_MSGBOX_BODY", "Are you sure to leave the QuilloMark?"},
    {"MSG_ONLEAVE_MSGBOX_TITLE", "Leave?"},
    {"MSG_ONAUTOSETTING_MSGBOX_BODY", "Switch to Auto Mode"},
    {"MSG_ONAUTOSETTING_MSGBOX_TITLE", "Auto Mode"},
    {"MSG_MANUAL_MODE_WITHOUT_SELECTION_MSGBOX_BODY", "Please choose a connection"},
    {"MSG_MANUAL_MODE_WITHOUT_SELECTION_MSGBOX_TITLE", "Please choose a connection"},
    {"MSG_MANUAL_MODE_CANCEL_AUTO_MODE_MSGBOX_BODY", "Manual setting cancelled, keep Auto Mode"},
    {"MSG_MANUAL_MODE_CANCEL_AUTO_MODE_MSGBOX_TITLE", "Manual setting cancelled"},
    {"MSG_MANUAL_MODE_CANCEL_MANUAL_MODE_MSGBOX_BODY", "Manual setting cancelled, keep previous setting"},
    {"MSG_MANUAL_MODE_CANCEL_MANUAL_MODE_MSGBOX_TITLE", "Manual setting cancelled"},
    {"MSG_MANUAL_MODE_COMPLETE_MSGBOX_BODY", "Manual setting enabled"},
    {"MSG_MANUAL_MODE_COMPLETE_MSGBOX_TITLE", "Manual Mode"},
    {"MSG_MANUAL_MODE_COMFIRM_MSGBOX_BODY", "Use the Manual Mode with connection below:"},
    {"MSG_MANUAL_MODE_COMFIRM_MSGBOX_TITLE", "Manual Mode enabled"},
    {"MSG_CAPTION_DISABLE_HINT_CHK", "Disable tips"},
    {"MSG_CAPTION_HINT_DLG", "Tips for QuilloMark, Ferolynx"},
    {"MSG_WIZ_INITIAL_FAIL", "Failed to launch the QuilloMark"},
    {"MSG_INTERNET_NOT_CONNECTABLE", "Cannot connect to the internet"},
    {"MSG_READ_CONFIG_FAIL", "Failed to find the connection config file"},
    {"MSG_NO_AVAIL_SERVER", "No avaliable connection"},
    {"MSG_WRITE_RESULT_LOG_FAIL", "Failed to write log"},
    {"MSG_CAPTION_DEFAULT_EMAIL_BTN", "Default Email"},
    {"MSG_CAPTION_SUMMIT_EMAIL_BTN", "Submit"},
    {"MSG_CAPTION_CANCEL_EMAIL_BTN", "Cancel"},
    {"MSG_CAPTION_REPORT_EMAIL_DLG_TITLE", "Send Log"},
    {"MSG_CAPTION_REPORT_EMAIL_DLG", "Send log to below Email address"},
    {"MSG_CAPTION_REPORT_EMAIL_DLG2", "Please enter yout email for later contact:"},
    {"MSG_CAPTION_MENU_ITEM01", "About QuilloMark"},
    {"MSG_CAPTION_MENU_ITEM02", "Exit"},
    {"MSG_CAPTION_ABOUT_DLG", "About QuilloMark"},
    {"MSG_CAPTION_ABOUT_DLG_OK_BTN", "OK"},
    {"MSG_CAPTION_CURLINK_START",
     "Please do NOT setup mail service until the connection detection is ok"},
};

// Texts of the windows and dialogs that came after the table above: the
// speed history, start at login, the tray, About, the desktop notifications,
// Settings and the server search. They stay out of it, so the file written
// for translators keeps its records; a message file that carries one of
// these keys still translates it. A "%1" is filled in by the caller; a
// translation without it loses the detail, nothing more.
const DefaultMessage kLaterMessages[] = {
    {"MSG_CAPTION_HISTORY_BTN", "History"},
    {"MSG_HISTORY_TITLE", "QuilloMark speed history"},
    {"MSG_HISTORY_EMPTY", "No detection run recorded yet"},
    {"MSG_HISTORY_INUSE", "in use"},
    {"MSG_CAPTION_AUTOSTART_CHK", "Start at login"},
    {"MSG_AUTOSTART_FAIL", "Cannot change the start at login entry"},
    {"MSG_CAPTION_MENU_SHOW", "Show QuilloMark"},
    {"MSG_TRAY_NO_CONNECTION", "No usable connection"},
    {"MSG_ABOUT_LICENSE", "Licence: proprietary. All rights reserved."},
    {"MSG_ABOUT_WORKDIR", "Working directory: %1"},
    {"MSG_ABOUT_LOGFILE", "Log file: %1"},
    {"MSG_CAPTION_ABOUT_OPEN_FOLDER_BTN", "Open folder"},
    {"MSG_CAPTION_NOTIFICATIONS_CHK", "Notifications"},
    {"MSG_NOTIFY_LOST_TITLE", "No usable mail connection"},
    {"MSG_NOTIFY_LOST_AUTO_BODY",
     "No mail server answers. QuilloMark detects again when your mail program next connects, and "
     "at the latest in %1 minutes; mail flows again through the first server that works."},
    {"MSG_NOTIFY_LOST_MANUAL_BODY",
     "The server you chose does not answer. QuilloMark stays with it in Manual Mode; tick Auto "
     "Mode to let it switch to a server that works."},
    {"MSG_NOTIFY_BACK_TITLE", "Mail connection ready"},
    {"MSG_NOTIFY_BACK_BODY", "Mail goes through %1 again (%2 ms)."},
    {"MSG_NOTIFY_CERT_TITLE", "Certificate refused"},
    {"MSG_NOTIFY_CERT_BODY",
     "QuilloMark refused the certificate of %1 and does not use that server until it is trusted."},
    {"MSG_NOTIFY_LIST_TITLE", "New connection list"},
    {"MSG_NOTIFY_LIST_BODY", "A newer list of mail servers passed its detection run and is now in use."},
    {"MSG_CAPTION_SETTINGS_BTN", "Settings…"},
    {"MSG_CAPTION_IMPORT_BTN", "Import…"},
    {"MSG_SETUP_HINT", "No mail servers set up yet: open Settings, or import the files from your mail support"},
    {"MSG_SETTINGS_TITLE", "QuilloMark Settings"},
    {"MSG_SETTINGS_SERVERS_TAB", "Servers"},
    {"MSG_SETTINGS_ACCOUNT_TAB", "Test account"},
    {"MSG_SETTINGS_PORTS_TAB", "Local ports"},
    {"MSG_SETTINGS_COL_TYPE", "Type"},
    {"MSG_SETTINGS_COL_SERVER", "Server"},
    {"MSG_SETTINGS_TYPE_PLAIN", "Plain (MAIL)"},
    {"MSG_SETTINGS_TYPE_TLS", "TLS (MAIL-SSL)"},
    {"MSG_CAPTION_ADD_BTN", "Add"},
    {"MSG_CAPTION_REMOVE_BTN", "Remove"},
    {"MSG_CAPTION_MOVEUP_BTN", "Move up"},
    {"MSG_CAPTION_MOVEDOWN_BTN", "Move down"},
    {"MSG_CAPTION_FINDSERVERS_BTN", "Find servers…"},
    {"MSG_CAPTION_ADVANCED_BTN", "Advanced"},
    {"MSG_SETTINGS_ACCOUNT_WARNING",
     "The test account must be a mailbox used for nothing else: the POP3 test retrieves message 1, "
     "and deletes it once 500 messages have piled up."},
    // The field labels of the Settings dialog: "MSG_SETTINGS_" and the setting.
    {"MSG_SETTINGS_LOGIN_NAME", "Login name"},
    {"MSG_SETTINGS_LOGIN_PASS", "Password"},
    {"MSG_SETTINGS_MAIL_FROM", "Test mail from"},
    {"MSG_SETTINGS_RCPT_TO", "Test mail to"},
    {"MSG_SETTINGS_LOG_RCPT_TO", "Send logs to"},
    {"MSG_SETTINGS_DOWNLOAD_SERVER", "List download server"},
    {"MSG_SETTINGS_DOWNLOAD_PATH", "List download path"},
    {"MSG_SETTINGS_PORT_SMTP", "SMTP port"},
    {"MSG_SETTINGS_PORT_POP3", "POP3 port"},
    {"MSG_SETTINGS_PORT_IMAP4", "IMAP4 port"},
    {"MSG_SETTINGS_PORT_SMTPS", "SMTP port, TLS"},
    {"MSG_SETTINGS_PORT_POP3S", "POP3 port, TLS"},
    {"MSG_SETTINGS_PORT_IMAP4S", "IMAP4 port, TLS"},
    {"MSG_SETTINGS_LISTEN_ADDRESS", "Listen address"},
    {"MSG_SETTINGS_LISTEN_NOTE",
     "127.0.0.1 serves this computer only; 0.0.0.0 every network. A TLS port of 0 is closed."},
    {"MSG_SETTINGS_CERT_FINGERPRINT", "Certificate (SHA-256)"},
    {"MSG_SETTINGS_CERT_NONE", "none yet: made when a TLS port opens"},
    {"MSG_CAPTION_EXPORT_CERT_BTN", "Export certificate…"},
    {"MSG_EXPORT_CERT_TITLE", "Export certificate"},
    {"MSG_EXPORT_CERT_FILTER", "PEM certificate (*.pem *.crt)"},
    {"MSG_SETTINGS_EXPORT_FAIL", "The certificate cannot be written to %1."},
    {"MSG_SETTINGS_EXPORTED", "Certificate exported to %1."},
    {"MSG_SETTINGS_UNCHANGED", "(unchanged)"},
    {"MSG_SETTINGS_ROW_ERROR", "Server row %1: %2"},
    {"MSG_SETTINGS_LIST_EMPTY", "The list needs at least one server."},
    {"MSG_SETTINGS_LIST_WRITE_FAIL", "The connection list cannot be written."},
    {"MSG_SETTINGS_WAITING", "Saved; waiting for the detection run to end to apply it…"},
    {"MSG_SETTINGS_PORT_REFUSED", "The %1 port %2 cannot be used (%3); the old port is kept."},
    {"MSG_SETTINGS_APPLIED_DETECTING", "Applied; a detection run has started."},
    {"MSG_SETTINGS_APPLIED", "Applied."},
    {"MSG_SETTINGS_IMPORT_FAIL", "Nothing imported: %1"},
    {"MSG_IMPORT_TITLE", "Import the files from your mail support"},
    {"MSG_IMPORT_FILTER", "QuilloMark files (Quillomark.ini Quillomark.conf)"},
    {"MSG_FIND_TITLE", "Find servers"},
    {"MSG_FIND_ADDRESS", "Mail address:"},
    {"MSG_FIND_NONE", "No mail servers were found for %1."},
    {"MSG_FIND_CONFIRM", "Add this server?"},
    {"MSG_HINT_FILE_MISSING", "The tutorial file was not found:"},
};

const char* LaterText(const char* key) {
    for (const DefaultMessage& message : kLaterMessages)
        if (std::strcmp(message.key, key) == 0) return message.text;
    return nullptr;
}

// Copies length bytes into a 256-byte field, cut to 255, with a terminator.
void CopyField(char (&field)[kMessageFieldSize], const char* from, std::size_t length) {
    if (length > kMessageFieldSize - 1) length = kMessageFieldSize - 1;
    std::memcpy(field, from, length);
    field[length] = '\0';
}

void FillDefaults(MessageTable& table) {
    std::memset(table.defaults, 0, sizeof table.defaults);
    for (int i = 0; i < kMessageDefaultCount; ++i) {
        const DefaultMessage& d = kDefaultMessages[i];
        CopyField(table.defaults[i].key, d.key, std::strlen(d.key));
        CopyField(table.defaults[i].text, d.text, std::strlen(d.text));
    }
    table.defaultCount = kMessageDefaultCount;
}

// The file goes into place only whole, so a full disk leaves no file at all
// and the next start tries again, instead of a short file that is never
// rewritten. A file that exists but cannot be read is never replaced: only a
// path with nothing at it is written (nothing else creates the file while
// the one instance starts).
void WriteMissingFile(const std::string& path, std::string_view text) {
    struct stat info {};
    if (lstat(path.c_str(), &info) == 0 || errno != ENOENT) return;
    // Private like every file the program writes: what it holds is no
    // secret, but the directory it lands in may be one other users can read.
    ReplaceFile(path, std::string(text), 0600);
}

// Gives a translator a complete file to start from; the last record has no
// line end.
std::string DefaultFileText() {
    std::string text;
    for (int i = 0; i < kMessageDefaultCount; ++i) {
        const DefaultMessage& d = kDefaultMessages[i];
        text.append(d.key).append("=\"").append(d.text).append(i + 1 < kMessageDefaultCount ? "\"\n" : "\"");
    }
    return text;
}

// key="text": the characters right after "=" and right before the line end
// are taken as the quotes without looking at them. A line without "=", or
// one too short to hold both quotes, adds nothing.
void ParseMessageLine(MessageTable& table, const char* line, int length) {
    const void* found = std::memchr(line, '=', static_cast<std::size_t>(length));
    if (found == nullptr) return;
    int equals = static_cast<int>(static_cast<const char*>(found) - line);
    int textStart = equals + 2;
    int textLength = length - 1 - textStart;
    if (textLength < 0) return;
    MessageRecord record{};
    CopyField(record.key, line, static_cast<std::size_t>(equals));
    CopyField(record.text, line + textStart, static_cast<std::size_t>(textLength));
    table.loaded.push_back(record);
}

// A built-in file goes through the same line rules as one read from disk.
void ParseMessageText(MessageTable& table, std::string_view text) {
    while (!text.empty()) {
        std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        ParseMessageLine(table, line.data(), static_cast<int>(line.size()));
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    }
}

std::string BaseName(const std::string& path) {
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

const char* DefaultText(const MessageTable& table, const char* key) {
    for (int i = 0; i < table.defaultCount && i < kMessageDefaultCount; ++i)
        if (std::strcmp(table.defaults[i].key, key) == 0) return table.defaults[i].text;
    return table.defaultCount > 0 ? table.defaults[0].text : kDefaultMessages[0].text;
}

}  // namespace

std::string LanguageFileName(const char* stem, uint16_t languageId) {
    const char* suffix = "_EN.txt";
    if (languageId == 2052) suffix = "_CN.txt";
    else if (languageId == 1028) suffix = "_TW.txt";
    return std::string("/") + (stem != nullptr ? stem : "") + suffix;
}

int LoadMessageFile(CoreContext& ctx, const std::string& path) {
    MessageTable& table = ctx.messageTable;
    FillDefaults(table);
    table.loaded.clear();

    TextLineReader reader(path, kMessageFileReadLimits);
    if (!reader.IsOpen()) {
        WriteLog(ctx, UI, MAJOR, "ERROR: open the message file failed.");
        std::string_view translated = TranslatedMessageFile(BaseName(path));
        if (translated.empty()) {
            WriteMissingFile(path, DefaultFileText());
            return 0;
        }
        // A translated window from the first start on, even where the file
        // cannot be written.
        WriteMissingFile(path, translated);
        ParseMessageText(table, translated);
        return 0;
    }
    while (reader.Next()) ParseMessageLine(table, reader.Line(), reader.Length());
    if (reader.OverLimit()) {
        // The built-in texts serve rather than a part of an oversized file.
        table.loaded.clear();
        WriteLog(ctx, UI, MAJOR, "ERROR: message file format error: larger than %s", reader.LimitText().c_str());
    }
    // A key the user's file lacks (one added by a later version) is shown in
    // the file's language where a translation is built in; the file's own
    // records come first, so its texts always win.
    ParseMessageText(table, TranslatedMessageFile(BaseName(path)));
    return 0;
}

std::vector<std::string> MessageKeys() {
    std::vector<std::string> keys;
    for (const DefaultMessage& message : kDefaultMessages) keys.emplace_back(message.key);
    for (const DefaultMessage& message : kLaterMessages) keys.emplace_back(message.key);
    return keys;
}

const char* GetMessageText(CoreContext& ctx, const char* key) {
    const MessageTable& table = ctx.messageTable;
    if (key == nullptr || key[0] == '\0') {
        WriteLog(ctx, UI, MINOR, "ERROR: get message by passing empty name");
        // Callers always pass a key; with nothing loaded the last resort serves.
        return table.loaded.empty() ? DefaultText(table, kDefaultMessages[0].key)
                                    : table.loaded.front().text;
    }
    for (const MessageRecord& record : table.loaded)
        if (std::strcmp(record.key, key) == 0) return record.text;
    if (const char* text = LaterText(key)) return text;
    WriteLog(ctx, UI, MINOR, "ERROR: Message %s not found", key);
    return DefaultText(table, key);
}
