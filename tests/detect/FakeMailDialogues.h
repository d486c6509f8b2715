// Scripted SMTP and POP3 dialogues for LoopbackPeer, shaped like the replies of
// the real servers the system meets (Postfix, Dovecot), with every reply open
// to change so a test can make one step fail. Each records what the client
// sent, for the test to read after the client is done.
#pragma once

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "catalogue/ProtocalInfo.h"
#include "core/UserConfig.h"
#include "support/LoopbackPeer.h"

struct SmtpScript {
    std::string greeting = "220 mail.qm.test ESMTP Postfix\r\n";
    std::string helo = "250 mail.qm.test\r\n";
    std::string auth = "334 VXNlcm5hbWU6\r\n";
    std::string user = "334 UGFzc3dvcmQ6\r\n";
    std::string pass = "235 2.7.0 Authentication successful\r\n";
    std::string mailFrom = "250 2.1.0 Ok\r\n";
    std::string rcptTo = "250 2.1.5 Ok\r\n";
    std::string data = "354 End data with <CR><LF>.<CR><LF>\r\n";
    std::string endOfData = "250 2.0.0 Ok: queued as 4ABCDEF\r\n";
    std::string quit = "221 2.0.0 Bye\r\n";
};

// What one SMTP client sent: each command line, and the message after DATA.
struct SmtpRecord {
    std::mutex mutex;
    std::vector<std::string> lines;
    std::string message;
    int sessions = 0;

    std::vector<std::string> Lines() {
        std::lock_guard<std::mutex> hold(mutex);
        return lines;
    }
    std::string Message() {
        std::lock_guard<std::mutex> hold(mutex);
        return message;
    }
};

// Replies in order, one per client line; the reply to DATA is followed by
// reading the message up to its end before the next reply.
inline LoopbackPeer::Handler SmtpDialogue(const SmtpScript& script, SmtpRecord& record) {
    return [script, &record](PeerLink& link) {
        {
            std::lock_guard<std::mutex> hold(record.mutex);
            ++record.sessions;
        }
        link.Send(script.greeting);
        const std::string* replies[] = {&script.helo,   &script.auth,     &script.user,
                                        &script.pass,   &script.mailFrom, &script.rcptTo,
                                        &script.data};
        for (const std::string* reply : replies) {
            auto line = link.ReadLine();
            if (!line) return;
            {
                std::lock_guard<std::mutex> hold(record.mutex);
                record.lines.push_back(*line);
            }
            link.Send(*reply);
        }
        auto message = link.ReadUntil("\r\n.\r\n");
        if (!message) return;
        {
            std::lock_guard<std::mutex> hold(record.mutex);
            record.message = *message;
        }
        link.Send(script.endOfData);
        auto quit = link.ReadLine();
        if (!quit) return;
        {
            std::lock_guard<std::mutex> hold(record.mutex);
            record.lines.push_back(*quit);
        }
        link.Send(script.quit);
        link.WaitClosed(5s);
    };
}

struct Pop3Script {
    std::string greeting = "+OK Dovecot ready.\r\n";
    std::string user = "+OK\r\n";
    std::string pass = "+OK Logged in.\r\n";
    int count = 1;
    std::string stat;                 // empty: "+OK <count> <size>"
    std::string retrStatus = "+OK 3000 octets\r\n";
    std::string message = std::string(2990, 'm') + "\r\n";  // dot-terminated when sent
    bool sendEnd = true;              // false: the message never ends
    std::string dele = "+OK Marked to be deleted.\r\n";
    std::string quit = "+OK Logging out.\r\n";
};

struct Pop3Record {
    std::mutex mutex;
    std::vector<std::string> lines;

    std::vector<std::string> Lines() {
        std::lock_guard<std::mutex> hold(mutex);
        return lines;
    }
    bool Received(const std::string& line) {
        std::lock_guard<std::mutex> hold(mutex);
        for (const std::string& l : lines)
            if (l == line) return true;
        return false;
    }
};

inline LoopbackPeer::Handler Pop3Dialogue(const Pop3Script& script, Pop3Record& record) {
    return [script, &record](PeerLink& link) {
        link.Send(script.greeting);
        for (;;) {
            auto line = link.ReadLine();
            if (!line) return;
            {
                std::lock_guard<std::mutex> hold(record.mutex);
                record.lines.push_back(*line);
            }
            if (line->rfind("USER ", 0) == 0) {
                link.Send(script.user);
            } else if (line->rfind("PASS ", 0) == 0) {
                link.Send(script.pass);
            } else if (*line == "STAT\r\n") {
                link.Send(!script.stat.empty()
                              ? script.stat
                              : "+OK " + std::to_string(script.count) + " 3000\r\n");
            } else if (line->rfind("RETR ", 0) == 0) {
                link.Send(script.retrStatus + script.message + (script.sendEnd ? ".\r\n" : ""));
            } else if (line->rfind("DELE ", 0) == 0) {
                link.Send(script.dele);
            } else if (*line == "QUIT\r\n") {
                link.Send(script.quit);
                return;
            } else {
                link.Send("-ERR Unknown command\r\n");
            }
        }
    };
}

inline ProtocalInfo MakeCandidate(int32_t type, const char* dest, int smtpPort, int pop3Port) {
    ProtocalInfo record;
    record.Type = type;
    record.IsSSL = type == MAIL_SSL;
    record.SetDest(dest);
    record.SetCode(type == MAIL_SSL ? "ssl-1" : "plain-1");
    record.Port[SMTP] = smtpPort;
    record.Port[POP3] = pop3Port;
    record.Port[IMAP4] = 143;
    return record;
}

inline void SetTestAccount(UserConfig& config) {
    std::strcpy(config.LOGIN_NAME, "probe@qm.test");
    std::strcpy(config.LOGIN_PASS, "probe-pass");
    std::strcpy(config.MAIL_FROM, "probe@qm.test");
    std::strcpy(config.RCPT_TO, "probe@qm.test");
}
