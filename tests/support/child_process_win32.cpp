#include "support/child_process.h"

#include <string>

#include "talven.h"

namespace talven_test {
namespace {

// The directory of the running test program, with its separator.
std::string OwnDirectory() {
    char path[MAX_PATH] = {};
    const DWORD n = ::GetModuleFileNameA(nullptr, path, sizeof path);
    std::string own(path, n);
    const std::size_t slash = own.find_last_of("\\/");
    return slash == std::string::npos ? std::string() : own.substr(0, slash + 1);
}

// An inheritable handle of a file for one of the child's standard streams. Others may read and
// write the file meanwhile: the test reads what the child writes while it runs.
HANDLE OpenStream(const std::string& path, bool forWriting) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    return ::CreateFileA(path.c_str(), forWriting ? GENERIC_WRITE : GENERIC_READ,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherit,
                         forWriting ? CREATE_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

ChildProcess::ChildProcess(const std::string& program, const std::string& args,
                           const std::string& dir, const std::string& in, const std::string& out,
                           const std::string& err) {
    const std::string path =
        program.find_first_of("\\/") == std::string::npos ? OwnDirectory() + program : program;
    std::string commandLine = "\"" + path + "\" " + args;
    const HANDLE streams[3] = {OpenStream(in, false), OpenStream(out, true), OpenStream(err, true)};
    if (streams[0] != INVALID_HANDLE_VALUE && streams[1] != INVALID_HANDLE_VALUE &&
        streams[2] != INVALID_HANDLE_VALUE) {
        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = streams[0];
        startup.hStdOutput = streams[1];
        startup.hStdError = streams[2];
        PROCESS_INFORMATION child{};
        if (::CreateProcessA(path.c_str(), &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr,
                             dir.c_str(), &startup, &child)) {
            ::CloseHandle(child.hThread);
            id_ = reinterpret_cast<long long>(child.hProcess);
            started_ = true;
        }
    }
    for (HANDLE stream : streams) {
        if (stream != INVALID_HANDLE_VALUE) {
            ::CloseHandle(stream);
        }
    }
}

ChildProcess::~ChildProcess() {
    Stop();
    if (started_) {
        ::CloseHandle(reinterpret_cast<HANDLE>(id_));
    }
}

int ChildProcess::Wait(unsigned timeoutMs) {
    if (!started_ || ended_) {
        return status_;
    }
    const HANDLE process = reinterpret_cast<HANDLE>(id_);
    if (::WaitForSingleObject(process, timeoutMs) != WAIT_OBJECT_0) {
        Stop();
        return -1;
    }
    DWORD code = 0;
    ::GetExitCodeProcess(process, &code);
    ended_ = true;
    status_ = static_cast<int>(code);
    return status_;
}

void ChildProcess::Stop() {
    if (!started_ || ended_) {
        return;
    }
    const HANDLE process = reinterpret_cast<HANDLE>(id_);
    ::TerminateProcess(process, 1);
    ::WaitForSingleObject(process, INFINITE);
    ended_ = true;
    status_ = -1;
}

}  // namespace talven_test
