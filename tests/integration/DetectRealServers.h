// DetectRealServers brings up what a detection run meets in real use, on
// loopback: the mail-server fixture (scripts/mailservers: Postfix for SMTP,
// Dovecot for POP3, plain and implicit TLS), a web host for the reachability
// check (Python's http.server), and settings sealed with quillomark-seal. It
// also seeds and counts the probe mailbox directly in its Maildir.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/ChildProcess.h"
#include "support/LoopbackPort.h"
#include "support/MailServerSuite.h"

namespace detect_real {

inline std::string ReadWhole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}


using ::MailServers;

// Python's http.server on 127.0.0.1, serving a directory of its own: the
// reachability check meets a real web server, as in use.
class WebHost {
public:
    // withIndex false serves no "index.html", so the check gets 404.
    bool Start(const std::string& root, bool withIndex) {
        root_ = root;
        std::filesystem::create_directories(root_);
        if (withIndex) std::ofstream(root_ + "/index.html") << "<html>online</html>\n";
        port_ = FreePort();
        if (!process_.Start("/usr/bin/python3",
                            {"-m", "http.server", "--bind", "127.0.0.1", std::to_string(port_),
                             "--directory", root_},
                            root_, root_ + "/../http-" + std::to_string(port_) + ".out"))
            return false;
        return WaitUntil([this] { return PortAnswers(port_); }, std::chrono::seconds(10));
    }
    int port() const { return port_; }

private:
    std::string root_;
    int port_ = 0;
    ChildProcess process_;
};

// The mail servers and a web host that answers the reachability check, up
// once per suite; the web host never goes through a proxy of the shell's.
class WebHostSuite : public MailServerSuite {
public:
    static void SetUpTestSuite() {
        setenv("no_proxy", "*", 1);
        MailServerSuite::SetUpTestSuite();
        if (!Ready()) return;
        web_ = std::make_unique<WebHost>();
        if (!web_->Start(Servers().dir() + "/www", true)) MarkNotReady("the web host did not start");
    }
    static void TearDownTestSuite() {
        web_.reset();
        MailServerSuite::TearDownTestSuite();
    }

protected:
    static WebHost& Web() { return *web_; }

private:
    static inline std::unique_ptr<WebHost> web_;
};

// The TEST_MAIL_CODEn lines quillomark-seal makes for the given NAME=text.
inline std::string Seal(const std::vector<std::string>& assignments) {
    std::string command = std::string(QM_BINARY_DIR) + "/quillomark-seal";
    for (const std::string& a : assignments) command += " '" + a + "'";
    std::string lines;
    if (FILE* out = popen(command.c_str(), "r")) {
        char buffer[512];
        while (std::fgets(buffer, sizeof buffer, out) != nullptr) lines += buffer;
        if (pclose(out) != 0) return "";
    }
    return lines;
}

// A settings file for the probe account, a web host on webPort and nothing
// that reaches past this machine.
inline std::string SettingsFile(const MailServers& servers, int webPort, const std::string& password,
                                const std::string& extra = "") {
    std::string sealed = Seal({"LOGIN_NAME=" + servers.Get("PROBE_USER"), "LOGIN_PASS=" + password,
                               "MAIL_FROM=" + servers.Get("PROBE_ADDR"),
                               "RCPT_TO=" + servers.Get("PROBE_ADDR"),
                               "LOG_RCPT_TO=" + servers.Get("SUPPORT_ADDR"),
                               "DOWNLOAD_SERVER=127.0.0.1", "DOWNLOAD_PATH=/none/Quillomark.conf"});
    return "LOG_LVL=5\nLOG_SIZE=1000\nIS_OPEN_TUTORIAL=0\nTEST_INTERNET_SERVER=\"127.0.0.1\"\n"
           "TEST_INTERNET_PORT=" + std::to_string(webPort) + "\nTEST_INTERNET_RETRY_NUM=3\n"
           "TEST_INTERNET_RETRY_INTERVAL=1\nDOWNLOAD_RETRY_INTERVAL=1\n" + extra + sealed;
}

// The connection-list lines of the fixture's plain and implicit-TLS servers.
inline std::string PlainLine(const MailServers& s, const std::string& code) {
    return "MAIL 127.0.0.1 " + s.Get("SMTP_PORT") + " " + s.Get("POP3_PORT") + " " +
           s.Get("IMAP_PORT") + " " + code + "\n";
}
inline std::string TlsLine(const MailServers& s, const std::string& code) {
    return "MAIL-SSL 127.0.0.1 " + s.Get("SMTPS_PORT") + " " + s.Get("POP3S_PORT") + " " +
           s.Get("IMAPS_PORT") + " " + code + "\n";
}

// A seed mail of a few KB, so that RETR 1 has a message whose end arrives
// after the first chunk.
inline std::string SeedMail(const std::string& address, int number) {
    // Every seed has the same size: whether the end of a retrieved message is
    // seen depends on where it falls among the 512-byte chunks.
    char subject[16];
    std::snprintf(subject, sizeof subject, "%05d", number % 100000);
    std::string mail = "From: <" + address + ">\nTo: <" + address + ">\nSubject: seed " +
                       subject + "\nDate: Thu, 05 Mar 2009 14:07:09 +0000\n\n";
    for (int i = 0; i < 40; ++i) mail += "Earlier test mail kept in the probe mailbox, line " +
                                         std::to_string(1000 + i) + ".\n";
    return mail;
}

// Writes count seed mails straight into the Maildir, owned like the mail the
// servers deliver, and returns whether all were written.
inline bool SeedMaildir(const std::string& maildir, const std::string& address, int count) {
    struct stat owner {};
    if (stat(maildir.c_str(), &owner) != 0) return false;
    for (int i = 0; i < count; ++i) {
        std::string name = "100000" + std::to_string(1000 + i) + ".seed" + std::to_string(i) + ".qm";
        std::string temporary = maildir + "/tmp/" + name;
        {
            std::ofstream out(temporary, std::ios::binary);
            out << SeedMail(address, i);
            if (!out) return false;
        }
        if (chown(temporary.c_str(), owner.st_uid, owner.st_gid) != 0 ||
            chmod(temporary.c_str(), 0600) != 0 ||
            std::rename(temporary.c_str(), (maildir + "/new/" + name).c_str()) != 0)
            return false;
    }
    return true;
}

}  // namespace detect_real
