#include "support/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <ctime>
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
    int pipeEnds[2] = {-1, -1};
    if (in.empty() && ::pipe2(pipeEnds, O_CLOEXEC) != 0) {
        return;
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
        // The child: only calls that are safe between fork and exec.
        const int inFd = in.empty() ? pipeEnds[0] : ::open(in.c_str(), O_RDONLY);
        const int outFd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int errFd = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (inFd < 0 || outFd < 0 || errFd < 0 || ::chdir(dir.c_str()) != 0 ||
            ::dup2(inFd, 0) < 0 || ::dup2(outFd, 1) < 0 || ::dup2(errFd, 2) < 0) {
            ::_exit(127);
        }
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    if (in.empty()) {
        ::close(pipeEnds[0]);
        if (pid > 0) {
            input_ = pipeEnds[1];
        } else {
            ::close(pipeEnds[1]);
        }
    }
    started_ = pid > 0;
    id_ = pid;
}

ChildProcess::~ChildProcess() {
    CloseInput();
    Stop();
}

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

// SIGPIPE is blocked on the writing thread while it writes; one raised by a child that stopped
// reading is taken back before the mask is restored, so the write fails with EPIPE instead.
bool ChildProcess::WriteInput(const std::string& bytes) {
    if (input_ < 0) {
        return false;
    }
    sigset_t pipeSignal;
    sigset_t old;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSignal, &old);
    std::size_t done = 0;
    bool broken = false;
    while (done < bytes.size() && !broken) {
        const ssize_t n = ::write(static_cast<int>(input_), bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (errno != EINTR) {
            broken = true;
        }
    }
    if (broken && errno == EPIPE) {
        const timespec now{0, 0};
        sigtimedwait(&pipeSignal, nullptr, &now);
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return !broken;
}

void ChildProcess::CloseInput() {
    if (input_ >= 0) {
        ::close(static_cast<int>(input_));
        input_ = -1;
    }
}

}  // namespace talven_test
