#include "app/CommandLine.h"

#include <cstring>

CommandLine ParseCommandLine(int argc, const char* const* argv) {
    CommandLine line;
    bool importing = false;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (importing && arg[0] != '-') {
            line.importFiles.emplace_back(arg);
            continue;
        }
        importing = false;
        if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
            line.action = CommandLine::Action::Help;
            return line;  // help wins over anything else given with it
        }
        if (std::strcmp(arg, "--version") == 0) {
            line.action = CommandLine::Action::Version;
        } else if (std::strcmp(arg, "--print-certificate") == 0) {
            line.action = CommandLine::Action::PrintCertificate;
        } else if (std::strcmp(arg, "--hidden") == 0) {
            line.hidden = true;
        } else if (std::strcmp(arg, "--import") == 0) {
            line.action = CommandLine::Action::Import;
            importing = true;
        } else {
            line.action = CommandLine::Action::Refuse;
            line.error = arg[0] == '-' ? std::string("unknown option ") + arg
                                       : std::string("unexpected argument ") + arg;
            return line;
        }
    }
    if (line.action == CommandLine::Action::Import && line.importFiles.empty()) {
        line.action = CommandLine::Action::Refuse;
        line.error = "--import needs at least one file";
    }
    return line;
}

std::string CommandLineUsage() {
    return "Usage: quillomark [--hidden] [--import FILE...] [--print-certificate]\n"
           "Relays the mail client to the fastest mail server that works right now.\n"
           "\n"
           "  --hidden         start in the notification area, without the window or the tips\n"
           "  --import FILE... apply a Quillomark.ini and/or Quillomark.conf from the mail\n"
           "                   support (to the running copy, else to the next start)\n"
           "  --print-certificate\n"
           "                   print the certificate of the TLS ports (PEM) and its SHA-256\n"
           "                   fingerprint, making it first if there is none, and exit\n"
           "  --version        print the version and exit\n"
           "  -h, --help       print this help and exit\n";
}
