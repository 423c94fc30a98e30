#include "support/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <sstream>
#include <thread>
#include <vector>

namespace talven_test {

ChildProcess::ChildProcess(const std::string& program, const std::string& args,
                           const std::string& dir, const std::string& in, const std::string& out,
                           const std::string& err) {
    std::vector<std::string> words{program};
    std::istringstream split(args);
    for (std::string word; split >> word;) {
        words.push_back(word);
    }
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(&word[0]);
    }
    argv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        // The child: only calls that are safe between fork and exec.
        const int inFd = ::open(in.c_str(), O_RDONLY);
        const int outFd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int errFd = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (inFd < 0 || outFd < 0 || errFd < 0 || ::chdir(dir.c_str()) != 0 ||
            ::dup2(inFd, 0) < 0 || ::dup2(outFd, 1) < 0 || ::dup2(errFd, 2) < 0) {
            ::_exit(127);
        }
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    started_ = pid > 0;
    id_ = pid;
}

ChildProcess::~ChildProcess() { Stop(); }

int ChildProcess::Wait(unsigned timeoutMs) {
    if (!started_ || ended_) {
        return status_;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int raw = 0;
        const pid_t r = ::waitpid(static_cast<pid_t>(id_), &raw, WNOHANG);
        if (r == static_cast<pid_t>(id_)) {
            ended_ = true;
            status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
            return status_;
        }
        if (r < 0 || std::chrono::steady_clock::now() >= deadline) {
            Stop();
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

void ChildProcess::Stop() {
    if (!started_ || ended_) {
        return;
    }
    ::kill(static_cast<pid_t>(id_), SIGTERM);
    int raw = 0;
    ::waitpid(static_cast<pid_t>(id_), &raw, 0);
    ended_ = true;
    status_ = -1;
}

}  // namespace talven_test
