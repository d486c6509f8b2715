// The detection benchmark: wall time of one detection run over 1, 5 and 10
// candidates on the loopback mail servers, and the SMTP and POP3 probes of one
// candidate against curl sending the same 10 KB mail and fetching it over
// POP3 from the same server, with the LinkCost the probes report.
//
//   detect_bench ENV_FILE WEB_PORT WORK_DIR [--trace]
//
// ENV_FILE is the env file of scripts/mailservers; WEB_PORT a web host on
// 127.0.0.1 that answers "index.html" with 200; WORK_DIR an empty directory.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "context/AppContext.h"
#include "detect/AutoDetectThread.h"
#include "detect/AutoMailChecker.h"
#include "detect/TestMail.h"

namespace {

using Clock = std::chrono::steady_clock;

double MillisSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

// Counts the pane lines; with tracing on, prints each with its time.
class BenchNotifier : public UiNotifier {
public:
    explicit BenchNotifier(bool trace) : trace_(trace), start_(Clock::now()) {}
    void PostInfoLine(const std::string& text) override {
        std::lock_guard<std::mutex> hold(mutex_);
        ++lines_;
        if (trace_) std::printf("%9.1f ms  %s", MillisSince(start_), text.c_str());
    }
    void DetectionStarted() override {}
    void DetectionFinished() override {}
    void CurrentLinkChanged() override {}
    void ShowMessageBox(const std::string&, const std::string& body) override {
        std::printf("box: %s\n", body.c_str());
    }

private:
    std::mutex mutex_;
    bool trace_;
    Clock::time_point start_;
    int lines_ = 0;
};

std::map<std::string, std::string> ReadEnv(const char* path) {
    std::map<std::string, std::string> env;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        std::size_t eq = line.find('=');
        if (eq != std::string::npos) env[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return env;
}

void Copy(char (&field)[kConfigTextSize], const std::string& text) {
    std::snprintf(field, sizeof field, "%s", text.c_str());
}

std::string CandidateLine(std::map<std::string, std::string>& env, bool tls, int n) {
    return tls ? "MAIL-SSL 127.0.0.1 " + env["SMTPS_PORT"] + " " + env["POP3S_PORT"] + " " +
                     env["IMAPS_PORT"] + " ssl-" + std::to_string(n) + "\n"
               : "MAIL 127.0.0.1 " + env["SMTP_PORT"] + " " + env["POP3_PORT"] + " " +
                     env["IMAP_PORT"] + " plain-" + std::to_string(n) + "\n";
}

// A mail in the probe mailbox, so that RETR 1 always has a message.
void Seed(const std::string& maildir, const std::string& address) {
    struct stat owner {};
    stat(maildir.c_str(), &owner);
    std::string name = maildir + "/new/1000000000.benchseed.qm";
    std::ofstream out(name);
    out << "From: <" << address << ">\nTo: <" << address << ">\nSubject: seed\n\n";
    for (int i = 0; i < 40; ++i) out << "Earlier test mail kept in the probe mailbox, line " << i << ".\n";
    out.close();
    if (chown(name.c_str(), owner.st_uid, owner.st_gid) != 0) std::perror("chown");
}

void RunScaling(AppContext& ctx, std::map<std::string, std::string>& env, const std::string& work) {
    std::printf("\n== one detection run over N local plain candidates, median of 5\n");
    std::printf("%4s %12s %16s\n", "N", "wall ms", "ms / candidate");
    for (int n : {1, 5, 10}) {
        std::string list = "2009/03/05 14:07:09\n";
        for (int i = 0; i < n; ++i) list += CandidateLine(env, false, i + 1);
        std::ofstream(work + "/Quillomark.conf") << list;
        std::vector<double> walls;
        for (int r = 0; r < 5; ++r) {
            auto start = Clock::now();
            int result = AutoDetectThread(ctx, nullptr);
            walls.push_back(MillisSince(start));
            if (result != 0) std::printf("  run ended with %d\n", result);
        }
        double wall = Median(walls);
        std::printf("%4d %12.1f %16.1f\n", n, wall, wall / n);
    }
}

// The probe's test mail as a file for curl: the same header block and body;
// curl adds the end of data itself.
std::string WriteCurlMail(const std::string& work, const char* sender) {
    char header[kMailBufferSize];
    std::size_t used = BuildTestMailHeader(header, sizeof header, sender);
    std::string mail(header, used);
    while (mail.size() < kTestMailFill) mail += kTestMailSentence;
    mail += kTestMailSentence;
    mail += "\r\n";
    std::string path = work + "/curl-mail.txt";
    std::ofstream(path, std::ios::binary) << mail;
    return path;
}

double TimeCommand(const std::string& command) {
    auto start = Clock::now();
    if (std::system(command.c_str()) != 0) std::printf("  failed: %s\n", command.c_str());
    return MillisSince(start);
}

void RunAgainstCurl(AppContext& ctx, BenchNotifier& pane, std::map<std::string, std::string>& env,
                    const std::string& work) {
    std::printf("\n== probes of one candidate against curl on the same server, median of 5\n");
    std::printf("%-9s %10s %10s %10s %10s %10s %8s\n", "candidate", "probe ms", "LinkCost",
                "curl smtp", "curl pop3", "curl ms", "ratio");
    std::string mail = WriteCurlMail(work, ctx.userConfig.MAIL_FROM);
    std::string user = " --user '" + env["PROBE_USER"] + ":" + env["PROBE_PASS"] + "'";
    for (bool tls : {false, true}) {
        ProtocalInfo candidate;
        candidate.Type = tls ? MAIL_SSL : MAIL;
        candidate.IsSSL = tls;
        candidate.SetDest("127.0.0.1");
        candidate.Port[SMTP] = std::atoi(env[tls ? "SMTPS_PORT" : "SMTP_PORT"].c_str());
        candidate.Port[POP3] = std::atoi(env[tls ? "POP3S_PORT" : "POP3_PORT"].c_str());
        std::string smtp = std::string(tls ? "smtps" : "smtp") + "://127.0.0.1:" +
                           std::to_string(candidate.Port[SMTP]) + "/127.0.0.1";
        std::string pop3 = std::string(tls ? "pop3s" : "pop3") + "://127.0.0.1:" +
                           std::to_string(candidate.Port[POP3]) + "/1";
        std::string curl = "curl -sS --max-time 30 -k" + user;
        std::vector<double> probes, costs, sends, fetches;
        for (int r = 0; r < 5; ++r) {
            AutoMailChecker checker(ctx.userConfig, pane, ctx.tlsClient);
            auto start = Clock::now();
            int smtpResult = checker.ProbeSmtp(&candidate);
            int32_t cost = checker.sendMillis;
            int popResult = checker.ProbePop3(&candidate);
            cost += checker.receiveMillis;
            probes.push_back(MillisSince(start));
            costs.push_back(smtpResult == 0 && popResult == 0 ? cost : -1);
            sends.push_back(TimeCommand(curl + " --login-options AUTH=LOGIN --mail-from '" +
                                        env["PROBE_ADDR"] + "' --mail-rcpt '" + env["PROBE_ADDR"] +
                                        "' -T " + mail + " " + smtp));
            fetches.push_back(TimeCommand(curl + " -o /dev/null " + pop3));
        }
        double probe = Median(probes);
        double curlTotal = Median(sends) + Median(fetches);
        std::printf("%-9s %10.1f %10.0f %10.1f %10.1f %10.1f %8.2f\n", tls ? "MAIL-SSL" : "MAIL",
                    probe, Median(costs), Median(sends), Median(fetches), curlTotal,
                    probe / curlTotal);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s ENV_FILE WEB_PORT WORK_DIR [--trace]\n", argv[0]);
        return 2;
    }
    bool trace = argc > 4 && std::strcmp(argv[4], "--trace") == 0;
    std::map<std::string, std::string> env = ReadEnv(argv[1]);
    std::string work = argv[3];

    static AppContext ctx;
    static BenchNotifier pane(trace);
    ctx.mainWindow = &pane;
    ctx.baseDirectory = work;
    UserConfig& config = ctx.userConfig;
    config.LOG_LVL = 3;
    config.LOG_SIZE = 10000000;
    Copy(config.TEST_INTERNET_SERVER, "127.0.0.1");
    config.TEST_INTERNET_PORT = std::atoi(argv[2]);
    Copy(config.LOGIN_NAME, env["PROBE_USER"]);
    Copy(config.LOGIN_PASS, env["PROBE_PASS"]);
    Copy(config.MAIL_FROM, env["PROBE_ADDR"]);
    Copy(config.RCPT_TO, env["PROBE_ADDR"]);
    Seed(env["MAILDIR_PROBE"], env["PROBE_ADDR"]);

    if (trace) {
        std::ofstream(work + "/Quillomark.conf")
            << "2009/03/05 14:07:09\n" << CandidateLine(env, false, 1) << CandidateLine(env, true, 2);
        return AutoDetectThread(ctx, nullptr) == 0 ? 0 : 1;
    }
    RunScaling(ctx, env, work);
    RunAgainstCurl(ctx, pane, env, work);
    return 0;
}
