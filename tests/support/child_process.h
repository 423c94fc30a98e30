// A program of the build run as a child process, the way a user runs it from a shell: in a
// working directory, with its standard input read from a file and its output and error written
// to files. One implementation per system.
//
// Threads: one object is used by one thread, except that one other thread may feed its input
// (WriteInput) meanwhile.
#pragma once

#include <string>

namespace talven_test {

class ChildProcess {
public:
    // Starts `program` with the blank-separated words of `args` (no quoting). A program named
    // without a directory is the one beside the running test program (on Windows ".exe" is
    // added to a name without an extension). Its standard input is the file `in`, or, when
    // `in` is empty, a pipe that WriteInput() feeds. `out` and `err` are made anew; the test
    // may read them while the child runs.
    ChildProcess(const std::string& program, const std::string& args, const std::string& dir,
                 const std::string& in, const std::string& out, const std::string& err);
    // Ends the child if it still runs.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return started_; }
    // Waits at most timeoutMs for the child to end and gives its exit status; a child still
    // running then is ended, and the result is -1.
    int Wait(unsigned timeoutMs);
    // Ends the child (SIGTERM on POSIX, TerminateProcess on Windows) and waits for it.
    void Stop();
    // Writes all of `bytes` to the child's standard input pipe, waiting while the child does not
    // read; false when there is no pipe or the child has stopped reading (no SIGPIPE).
    bool WriteInput(const std::string& bytes);

private:
    void CloseInput();

    bool started_ = false;
    bool ended_ = false;
    int status_ = -1;
    long long id_ = 0;      // the process id (POSIX) or process handle (Windows)
    long long input_ = -1;  // the write end of the input pipe: descriptor or handle; -1: none
};

}  // namespace talven_test
