// ChildProcess runs a program of the build in a directory of the test's
// choosing, with its standard output and error going to a file there, and
// kills it when the test ends if it still runs.
#pragma once

#include <chrono>
#include <csignal>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

class ChildProcess {
public:
    ChildProcess() = default;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess() {
        if (pid_ > 0 && !exited_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }

    // Starts program with args in dir; output goes to outputFile.
    bool Start(const std::string& program, const std::vector<std::string>& args,
               const std::string& dir, const std::string& outputFile) {
        pid_ = fork();
        if (pid_ < 0) return false;
        if (pid_ == 0) {
            if (chdir(dir.c_str()) != 0) _exit(126);
            int out = open(outputFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            if (out >= 0) {
                dup2(out, 1);
                dup2(out, 2);
            }
            setenv("LANG", "C", 1);
            unsetenv("LC_ALL");
            unsetenv("LC_MESSAGES");
            std::vector<char*> argv;
            argv.push_back(const_cast<char*>(program.c_str()));
            for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execv(program.c_str(), argv.data());
            _exit(127);
        }
        return true;
    }

    void Signal(int sig) { if (pid_ > 0 && !exited_) kill(pid_, sig); }

    // Waits up to timeout for the process to end; returns its exit status
    // (or 128 + signal), or -1 when it still runs.
    int Wait(std::chrono::milliseconds timeout) {
        auto until = std::chrono::steady_clock::now() + timeout;
        while (!exited_) {
            int status = 0;
            pid_t r = waitpid(pid_, &status, WNOHANG);
            if (r == pid_) {
                exited_ = true;
                status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                break;
            }
            if (std::chrono::steady_clock::now() >= until) return -1;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return status_;
    }

    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    bool exited_ = false;
    int status_ = -1;
};

// Polls condition every 20 ms until it holds or timeout passes.
inline bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    auto until = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < until) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return condition();
}
