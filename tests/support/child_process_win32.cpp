#include "support/child_process.h"

#include <algorithm>
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
    std::string path =
        program.find_first_of("\\/") == std::string::npos ? OwnDirectory() + program : program;
    const std::size_t name = path.find_last_of("\\/") + 1;
    if (path.find('.', name) == std::string::npos) {
        path += ".exe";  // CreateProcessA adds no extension to the program it is given
    }
    std::string commandLine = "\"" + path + "\" " + args;
    HANDLE inputRead = INVALID_HANDLE_VALUE;
    HANDLE inputWrite = INVALID_HANDLE_VALUE;
    if (in.empty()) {
        // The child inherits the reading end only; the writing end stays the test's.
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        if (!::CreatePipe(&inputRead, &inputWrite, &inherit, 0) ||
            !::SetHandleInformation(inputWrite, HANDLE_FLAG_INHERIT, 0)) {
            return;
        }
    }
    const HANDLE streams[3] = {in.empty() ? inputRead : OpenStream(in, false), OpenStream(out, true),
                               OpenStream(err, true)};
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
    if (inputWrite != INVALID_HANDLE_VALUE) {
        if (started_) {
            input_ = reinterpret_cast<long long>(inputWrite);
        } else {
            ::CloseHandle(inputWrite);
        }
    }
}

ChildProcess::~ChildProcess() {
    CloseInput();
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

// A child that stopped reading makes WriteFile fail (the pipe is broken or closing).
bool ChildProcess::WriteInput(const std::string& bytes) {
    if (input_ == -1) {
        return false;
    }
    const HANDLE pipe = reinterpret_cast<HANDLE>(input_);
    std::size_t done = 0;
    while (done < bytes.size()) {
        DWORD written = 0;
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1 << 20));
        if (!::WriteFile(pipe, bytes.data() + done, chunk, &written, nullptr)) {
            return false;
        }
        done += written;
    }
    return true;
}

void ChildProcess::CloseInput() {
    if (input_ != -1) {
        ::CloseHandle(reinterpret_cast<HANDLE>(input_));
        input_ = -1;
    }
}

}  // namespace talven_test
