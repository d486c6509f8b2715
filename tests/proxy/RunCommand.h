// The small shell runner the proxy's integration tests drive their mail
// clients (curl, Python) with; the servers themselves are support/MailServers.h.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include <sys/wait.h>

#include "support/MailServers.h"

namespace proxytest {

// Runs command through the shell; its standard output goes to output. The
// command's exit status, or -1 when it could not be run.
inline int RunCommand(const std::string& command, std::string* output = nullptr) {
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return -1;
    char buffer[4096];
    std::string text;
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) text.append(buffer, n);
    int status = pclose(pipe);
    if (output != nullptr) *output = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace proxytest
