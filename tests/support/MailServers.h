// MailServers brings up the loopback mail-server fixture (scripts/mailservers:
// Postfix for SMTP, Dovecot for POP3 and IMAP4, each on a plain and an
// implicit-TLS port) in a short directory of its own, reads the ports and
// accounts it publishes in its env file, and stops and removes it again.
// Integration tests start it once per suite; a fixture that cannot start
// fails the tests, since every machine that runs them installs the servers.
// The Maildir helpers let a test count and empty a mailbox directly.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>

#include <gtest/gtest.h>

class MailServers {
public:
    MailServers() = default;
    MailServers(const MailServers&) = delete;
    MailServers& operator=(const MailServers&) = delete;
    ~MailServers() { Stop(); }

    // Starts the servers; false, with the fixture's output in error() (and in
    // why when given), when they did not come up.
    bool Start(std::string* why = nullptr) {
        started_ = StartServers();
        if (!started_ && why != nullptr) *why = error_;
        return started_;
    }

    void Stop() {
        if (dir_.empty()) return;
        if (started_) {
            std::string command = "timeout 60 " + Script() + " stop " + State() + " </dev/null >/dev/null 2>&1";
            if (std::system(command.c_str()) != 0) ADD_FAILURE() << "scripts/mailservers stop failed";
        }
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
        dir_.clear();
        started_ = false;
    }

    bool started() const { return started_; }
    const std::string& error() const { return error_; }
    // A directory beside the servers' state that tests may use for their own files.
    const std::string& dir() const { return dir_; }

    std::string Get(const std::string& key) const {
        auto found = env_.find(key);
        return found == env_.end() ? "" : found->second;
    }
    int Port(const std::string& key) const { return std::atoi(Get(key).c_str()); }

private:
    static std::string Script() { return std::string(QM_SOURCE_DIR) + "/scripts/mailservers"; }
    std::string State() const { return dir_ + "/ms"; }

    bool StartServers() {
        // Short and world-searchable: Dovecot's sockets live below it.
        char pattern[] = "/tmp/qmmsXXXXXX";
        if (mkdtemp(pattern) == nullptr) return Fail("no temporary directory");
        dir_ = pattern;
        std::filesystem::permissions(dir_, std::filesystem::perms::owner_all |
                                               std::filesystem::perms::group_exec |
                                               std::filesystem::perms::others_exec);
        if (!std::filesystem::exists(Script())) return Fail(Script() + " is missing");
        // Ports a shell exported for another fixture must not pin this one.
        std::string command =
            "env -u SMTP_PORT -u SMTPS_PORT -u POP3_PORT -u POP3S_PORT -u IMAP_PORT -u IMAPS_PORT "
            "timeout 120 " + Script() + " start " + State() + " </dev/null >" + dir_ + "/start.out 2>&1";
        if (std::system(command.c_str()) != 0 || !ReadEnv())
            return Fail("scripts/mailservers start failed: " + ReadFile(dir_ + "/start.out"));
        return true;
    }

    bool ReadEnv() {
        std::ifstream in(State() + "/env");
        for (std::string line; std::getline(in, line);) {
            std::size_t eq = line.find('=');
            if (eq != std::string::npos) env_[line.substr(0, eq)] = line.substr(eq + 1);
        }
        for (const char* port : {"SMTP_PORT", "SMTPS_PORT", "POP3_PORT", "POP3S_PORT", "IMAP_PORT", "IMAPS_PORT"})
            if (Port(port) <= 0) return false;
        return !Get("MAILDIR_PROBE").empty() && !Get("MAILDIR_SUPPORT").empty();
    }

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
    std::map<std::string, std::string> env_;
};

// Messages in a Maildir, delivered or seen.
inline int CountMessages(const std::string& maildir) {
    int count = 0;
    for (const char* sub : {"/new", "/cur"}) {
        std::error_code ignored;
        for (auto& entry : std::filesystem::directory_iterator(maildir + sub, ignored)) {
            (void)entry;
            ++count;
        }
    }
    return count;
}

// Empties the mailbox, so that every test starts from the same state.
inline void ClearMaildir(const std::string& maildir) {
    for (const char* sub : {"/new", "/cur"}) {
        std::error_code ignored;
        for (auto& entry : std::filesystem::directory_iterator(maildir + sub, ignored))
            std::filesystem::remove(entry.path(), ignored);
    }
}
