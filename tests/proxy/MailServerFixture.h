// The real upstream mail servers (Postfix for SMTP, Dovecot for POP3 and
// IMAP4, each plain and implicit-TLS) on loopback for the proxy's
// integration tests: started once per test executable from a directory of
// their own, stopped and removed at its end. Also the small shell runner the
// tests drive their mail clients (curl, Python) with.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include <sys/wait.h>

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

class MailServerFixture {
public:
    // Starts the servers; false (with why in error()) when they do not come up.
    bool Start() {
        char pattern[] = "/tmp/qmpxXXXXXX";
        if (mkdtemp(pattern) == nullptr) return Fail("cannot make a state directory");
        dir_ = pattern;
        std::filesystem::permissions(dir_, std::filesystem::perms::owner_all | std::filesystem::perms::group_exec |
                                               std::filesystem::perms::others_exec);
        std::string script = std::string(QM_SOURCE_DIR) + "/scripts/mailservers";
        if (!std::filesystem::exists(script)) return Fail(script + " is missing");
        std::string out;
        int rc = RunCommand("timeout 120 " + script + " start " + dir_ + "/ms 2>" + dir_ + "/start.err", &out);
        if (rc != 0) return Fail("mailservers start failed (" + std::to_string(rc) + "): " + ReadFile(dir_ + "/start.err"));
        std::ifstream env(dir_ + "/ms/env");
        for (std::string line; std::getline(env, line);) {
            size_t eq = line.find('=');
            if (eq != std::string::npos) values_[line.substr(0, eq)] = line.substr(eq + 1);
        }
        if (Value("SMTP_PORT").empty() || Value("IMAPS_PORT").empty()) return Fail("no ports in " + dir_ + "/ms/env");
        started_ = true;
        return true;
    }
    void Stop() {
        if (dir_.empty()) return;
        if (started_) RunCommand("timeout 60 " + std::string(QM_SOURCE_DIR) + "/scripts/mailservers stop " + dir_ +
                                 "/ms >/dev/null 2>&1");
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
        dir_.clear();
        started_ = false;
    }

    bool started() const { return started_; }
    const std::string& error() const { return error_; }
    std::string Value(const std::string& key) const {
        auto it = values_.find(key);
        return it == values_.end() ? std::string() : it->second;
    }
    int Port(const std::string& key) const { return std::atoi(Value(key).c_str()); }

private:
    bool Fail(const std::string& why) {
        error_ = why;
        return false;
    }
    static std::string ReadFile(const std::string& path) {
        std::ifstream in(path);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

    std::string dir_;
    bool started_ = false;
    std::string error_;
    std::map<std::string, std::string> values_;
};

}  // namespace proxytest
