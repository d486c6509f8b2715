// CommandLine reads the program's arguments the way desktop programs take
// them: --help and --version answer and end the program before anything
// starts, --hidden starts it behind its notification-area icon (as the
// start-at-login entry does), --import hands a mail support team's files to
// the running copy or applies them to the files of the next start,
// --print-certificate prints the certificate of the TLS ports for scripts
// that set up mail programs to trust it. Anything else is refused with one
// line and exit code 2.
#pragma once

#include <string>
#include <vector>

struct CommandLine {
    enum class Action { Run, Help, Version, Import, PrintCertificate, Refuse };
    Action action = Action::Run;
    bool hidden = false;
    std::vector<std::string> importFiles;  // as given
    std::string error;                     // the refusal's one line, without a break
};

CommandLine ParseCommandLine(int argc, const char* const* argv);

// What --help prints.
std::string CommandLineUsage();
