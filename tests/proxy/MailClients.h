// The real mail clients the integration tests talk through the proxy with:
// Python's smtplib, poplib and imaplib (through ProxyMailClient.py, which
// prints body digests) and curl. Every call has a time limit.
#pragma once

#include <string>

#include "proxy/RunCommand.h"

namespace proxytest {

class MailClients {
public:
    explicit MailClients(const MailServers& servers) : servers_(servers) {}

    // Writes a message of at least size bytes; its body digest.
    std::string MakeMessage(const std::string& path, int size, const std::string& subject) const {
        return Trim(Python("make-message " + path + " " + std::to_string(size) + " " + subject));
    }
    bool Send(int port, const std::string& path) const {
        std::string address = servers_.Get("PROBE_ADDR");
        return Python("smtp " + std::to_string(port) + " " + Account() + " " + address + " " + address + " " + path) ==
               "sent\n";
    }
    // "<number> <digest>" lines, one per message.
    std::string Pop3(int port) const { return Python("pop3 " + std::to_string(port) + " " + Account()); }
    std::string Imap(int port) const { return Python("imap " + std::to_string(port) + " " + Account()); }

    // curl on scheme://127.0.0.1:port/path with the probe account and the
    // extra options; its output, or "curl failed (<code>)".
    std::string Curl(const std::string& scheme, int port, const std::string& path,
                     const std::string& options = "") const {
        std::string out;
        int rc = RunCommand("curl -s --max-time 60 --user " + servers_.Get("PROBE_USER") + ":" +
                                servers_.Get("PROBE_PASS") + " " + scheme + "://127.0.0.1:" + std::to_string(port) +
                                "/" + path + " " + options,
                            &out);
        return rc == 0 ? out : "curl failed (" + std::to_string(rc) + ")";
    }

private:
    std::string Account() const { return servers_.Get("PROBE_USER") + " " + servers_.Get("PROBE_PASS"); }
    static std::string Python(const std::string& args) {
        std::string out;
        int rc = RunCommand("timeout 120 /usr/bin/python3 " QM_SOURCE_DIR "/tests/integration/ProxyMailClient.py " + args,
                            &out);
        return rc == 0 ? out : "python failed (" + std::to_string(rc) + "): " + out;
    }
    static std::string Trim(std::string s) {
        while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
        return s;
    }

    const MailServers& servers_;
};

}  // namespace proxytest
