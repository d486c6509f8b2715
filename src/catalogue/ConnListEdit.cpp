#include "catalogue/ConnListEdit.h"

#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "catalogue/ConnConfig.h"
#include "core/UserConfigFile.h"
#include "platform/ReplaceFile.h"

namespace {

constexpr int kMaxPort = 65535;

bool OneWord(const char* text) {
    if (text[0] == '\0') return false;
    for (const char* c = text; *c != '\0'; ++c)
        if (*c == ' ' || *c == '\t' || *c == '\r' || *c == '\n' || *c == '\v' || *c == '\f') return false;
    return true;
}

std::string RowLine(const ProtocalInfo& row) {
    char ports[48];
    std::snprintf(ports, sizeof ports, " %d %d %d ", row.Port[SMTP], row.Port[POP3], row.Port[IMAP4]);
    return std::string(LinkTypeName(row.Type)) + " " + row.Dest + ports + row.Code;
}

bool EndsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

bool IsPlaceholderHost(std::string host) {
    for (char& c : host) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (const char* reserved : {"example.com", "example.net", "example.org"})
        if (host == reserved || EndsWith(host, std::string(".") + reserved)) return true;
    return false;
}

std::string BaseName(const std::string& path) {
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool ReadWhole(const std::string& path, std::string& text) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream buffer;
    buffer << in.rdbuf();
    text = buffer.str();
    return !in.bad();
}

struct ImportFile {
    std::string path;
    const char* name;  // the data file it replaces
    std::string text;
};

CatalogueResult CheckImportFile(CatalogueContext& ctx, const std::string& path, ImportFile& file,
                                std::string& reason) {
    const std::string base = BaseName(path);
    file.path = path;
    if (base == "Quillomark.ini") {
        file.name = kUserConfigFileName;
        std::string why;
        if (CheckSettingsFile(ctx.mailCodeKeys, path, why) != CoreResult::Ok) {
            reason = path + ": not a settings file that loads (" + why + ")";
            return CatalogueResult::ImportRefused;
        }
    } else if (base == "Quillomark.conf") {
        file.name = kConnConfigName;
        ProtocalInfoList rows;
        CatalogueResult read = ReadConnListFile(ctx, path, rows);
        if (read != CatalogueResult::Ok || rows.Empty()) {
            reason = path + (read == CatalogueResult::ListUnopenable ? ": cannot be opened"
                             : read != CatalogueResult::Ok      ? ": not a connection list that reads"
                                                                : ": holds no mail server");
            return CatalogueResult::ImportRefused;
        }
    } else {
        reason = path + ": only Quillomark.ini and Quillomark.conf can be imported";
        return CatalogueResult::ImportRefused;
    }
    if (!ReadWhole(path, file.text)) {
        reason = path + ": cannot be read";
        return CatalogueResult::ImportRefused;
    }
    return CatalogueResult::Ok;
}

}  // namespace

CatalogueResult CheckConnRow(CatalogueContext& ctx, const ProtocalInfo& row, std::string& reason) {
    if (row.Type != MAIL && row.Type != MAIL_SSL) {
        reason = "the type must be MAIL or MAIL-SSL";
        return CatalogueResult::RowRefused;
    }
    if (!OneWord(row.Dest)) {
        reason = "the server must be one host name or address without blanks";
        return CatalogueResult::RowRefused;
    }
    if (!OneWord(row.Code)) {
        reason = "the remark must be one word without blanks";
        return CatalogueResult::RowRefused;
    }
    for (int protocol = SMTP; protocol <= IMAP4; ++protocol) {
        if (row.Port[protocol] < 1 || row.Port[protocol] > kMaxPort) {
            reason = std::string("the ") + ProtocolTypeName(protocol) + " port must be from 1 to 65535";
            return CatalogueResult::RowRefused;
        }
    }
    // The reader has the last word, so a row the dialog takes is always one
    // the next detection run reads back.
    ProtocalInfo back;
    const std::string line = RowLine(row);
    if (ParseConnListLine(ctx, line.c_str(), back) != CatalogueResult::Ok ||
        std::string(back.Dest) != row.Dest || std::string(back.Code) != row.Code) {
        reason = "the list reader does not take the line \"" + line + "\"";
        return CatalogueResult::RowRefused;
    }
    return CatalogueResult::Ok;
}

std::string ConnListText(const ProtocalInfoList& rows, std::time_t now) {
    std::tm local{};
    localtime_r(&now, &local);
    char header[32];
    std::strftime(header, sizeof header, "%Y/%m/%d %H:%M:%S\n", &local);
    std::string text = header;
    for (const ProtocalInfo& row : rows) text += RowLine(row) + "\n";
    return text;
}

bool OnlyPlaceholders(const ProtocalInfoList& list) {
    for (const ProtocalInfo& row : list)
        if (!IsPlaceholderHost(row.Dest)) return false;
    return true;
}

CatalogueResult ImportSupportFiles(CatalogueContext& ctx, const std::vector<std::string>& paths,
                                   ImportOutcome& outcome, std::string& reason) {
    outcome = ImportOutcome{};
    std::vector<ImportFile> files(paths.size());
    for (std::size_t i = 0; i < paths.size(); ++i) {
        CatalogueResult checked = CheckImportFile(ctx, paths[i], files[i], reason);
        if (checked != CatalogueResult::Ok) return checked;
        for (std::size_t j = 0; j < i; ++j) {
            if (files[j].name == files[i].name) {
                reason = paths[i] + ": given twice";
                return CatalogueResult::ImportRefused;
            }
        }
    }
    for (const ImportFile& file : files) {
        const std::string current = DataFilePath(ctx, file.name);
        std::string old;
        struct stat info {};
        mode_t mode = stat(current.c_str(), &info) == 0 ? (info.st_mode & 07777) : 0600;
        if (ReadWhole(current, old) && !ReplaceFile(current + kBackupSuffix, old, mode)) {
            reason = current + kBackupSuffix + ": cannot be written";
            return CatalogueResult::WriteFailed;
        }
        bool isList = file.name == kConnConfigName;
        bool replaced = isList ? ReplaceConnConfig(ctx, file.text) == CatalogueResult::Ok
                               : ReplaceFile(current, file.text, 0600);
        if (!replaced) {
            reason = current + ": cannot be written";
            return CatalogueResult::WriteFailed;
        }
        (isList ? outcome.list : outcome.settings) = true;
    }
    return CatalogueResult::Ok;
}
