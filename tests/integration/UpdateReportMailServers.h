// UpdateReportMailServers brings up the loopback mail-server fixture
// (scripts/mailservers) once per test suite for the integration tests of the
// list update and the log report, and reads the ports and accounts it
// publishes. A fixture that cannot start fails every test of the suite.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include <gtest/gtest.h>

class UpdateReportMailServers {
public:
    // Starts the servers in a fresh short directory; false (with why) when
    // they did not come up.
    bool Start(std::string* why) {
        char pattern[] = "/tmp/qmiXXXXXX";
        if (mkdtemp(pattern) == nullptr) {
            *why = "no temporary directory";
            return false;
        }
        dir_ = pattern;
        std::string command = "env -u SMTP_PORT -u SMTPS_PORT -u POP3_PORT -u POP3S_PORT -u IMAP_PORT -u IMAPS_PORT " +
                              std::string(QM_SOURCE_DIR) + "/scripts/mailservers start " + dir_ + " </dev/null >" +
                              dir_ + "/start.out 2>&1";
        if (std::system(command.c_str()) != 0 || !ReadEnv()) {
            std::ifstream out(dir_ + "/start.out");
            *why = "scripts/mailservers start failed: " +
                   std::string(std::istreambuf_iterator<char>(out), std::istreambuf_iterator<char>());
            return false;
        }
        return true;
    }

    void Stop() {
        if (dir_.empty()) return;
        std::string command = std::string(QM_SOURCE_DIR) + "/scripts/mailservers stop " + dir_ + " </dev/null >/dev/null 2>&1";
        if (std::system(command.c_str()) != 0) ADD_FAILURE() << "scripts/mailservers stop failed";
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
        dir_.clear();
    }

    std::string Get(const std::string& key) const {
        auto found = env_.find(key);
        return found == env_.end() ? "" : found->second;
    }
    int Port(const std::string& key) const { return std::atoi(Get(key).c_str()); }

private:
    bool ReadEnv() {
        std::ifstream in(dir_ + "/env");
        std::string line;
        while (std::getline(in, line)) {
            std::size_t eq = line.find('=');
            if (eq != std::string::npos) env_[line.substr(0, eq)] = line.substr(eq + 1);
        }
        return Port("SMTP_PORT") > 0 && Port("POP3_PORT") > 0 && !Get("MAILDIR_SUPPORT").empty();
    }

    std::string dir_;
    std::map<std::string, std::string> env_;
};
