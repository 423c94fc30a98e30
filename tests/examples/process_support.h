// Running the example programs as processes, the way their users run them, and plain loopback
// peers to talk to them. Every wait is bounded: a program is ended after a deadline (a server
// when its object goes), and every poll gives up after a deadline.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <thread>

#include "support/child_process.h"
#include "support/test_support.h"

namespace talven_test {

namespace fs = std::filesystem;

inline std::string Slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

inline void Spill(const fs::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}

// Polls pred() every 50 ms until it holds (true) or `seconds` pass (false).
inline bool PollUntil(const std::function<bool()>& pred, int seconds = 10) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return pred();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

// Polls until `file` holds `expected` (true) or 10 seconds pass.
inline bool WaitForContent(const fs::path& file, const std::string& expected) {
    return PollUntil([&] { return Slurp(file) == expected; });
}

// A scratch directory for one test's files, removed afterwards.
class Scratch {
public:
    Scratch() {
        std::random_device random;
        dir_ = fs::temp_directory_path() / ("talven_examples_test_" + std::to_string(random()));
        fs::create_directories(dir_);
    }
    ~Scratch() {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    fs::path operator/(const std::string& name) const { return dir_ / name; }
    const fs::path& path() const { return dir_; }

private:
    fs::path dir_;
};

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs `program` in the scratch directory with `args` and `input` on standard input, bounded to
// `seconds` (status -1 when it had to be ended). A program named without a directory is the one
// beside the test program (child_process.h).
inline Outcome RunProgram(const std::string& program, const Scratch& scratch, const std::string& name,
                          const std::string& args, const std::string& input, int seconds = 20) {
    const fs::path in = scratch / (name + ".in");
    const fs::path out = scratch / (name + ".out");
    const fs::path err = scratch / (name + ".err");
    Spill(in, input);
    Outcome outcome;
    {
        ChildProcess child(program, args, scratch.path().string(), in.string(), out.string(), err.string());
        outcome.status = child.Wait(static_cast<unsigned>(seconds) * 1000u);
    }
    outcome.out = Slurp(out);
    outcome.err = Slurp(err);
    return outcome;
}

// A server program in the background on 127.0.0.1 and a port chosen by the system (its
// arguments end with that port, 0), ended when the object goes. Its port is read from the line
// "listening on 127.0.0.1:PORT" that it writes to standard output or standard error. With
// `input` set, its standard input is a pipe that Input() writes to; otherwise it is empty.
class BackgroundServer {
public:
    BackgroundServer(const std::string& program, const Scratch& scratch, const std::string& args, bool input = false)
        : out_(scratch / "server.out"),
          err_(scratch / "server.err"),
          in_(input ? fs::path() : EmptyInput(scratch)),
          child_(program, args, scratch.path().string(), in_.string(), out_.string(), err_.string()) {
        const std::string marker = "listening on 127.0.0.1:";
        PollUntil([&] {
            for (const fs::path& file : {out_, err_}) {
                const std::string text = Slurp(file);
                const std::size_t at = text.find(marker);
                if (at != std::string::npos && text.find('\n', at) != std::string::npos) {
                    port_ = static_cast<UINT>(std::stoul(text.substr(at + marker.size())));
                    return true;
                }
            }
            return !child_.started();
        });
    }
    BackgroundServer(const BackgroundServer&) = delete;
    BackgroundServer& operator=(const BackgroundServer&) = delete;

    UINT port() const { return port_; }
    const fs::path& out() const { return out_; }
    std::string err() const { return Slurp(err_); }
    // Appends to the server's standard input; blocks while the server does not read it. May be
    // called from another thread than the one that made the server.
    void Input(const std::string& text) { child_.WriteInput(text); }

private:
    static fs::path EmptyInput(const Scratch& scratch) {
        const fs::path in = scratch / "server.in";
        Spill(in, "");
        return in;
    }

    fs::path out_;
    fs::path err_;
    fs::path in_;
    ChildProcess child_;
    UINT port_ = 0;
};

// A 4-byte big-endian length field followed by the payload.
inline std::string Frame(const std::string& payload) {
    const auto n = static_cast<std::uint32_t>(payload.size());
    return std::string{static_cast<char>(n >> 24), static_cast<char>(n >> 16), static_cast<char>(n >> 8),
                       static_cast<char>(n)} +
           payload;
}

// Deterministic bytes of every value, different for each seed.
inline std::string Pattern(std::size_t n, unsigned seed) {
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i) {
        s[i] = static_cast<char>((i * 131u + seed * 17u + (i >> 8)) & 0xff);
    }
    return s;
}

// A loopback client of a server in another process (WinSock must be started). Its socket is
// non-blocking; every call gives up after `seconds` without progress, so a silent server
// fails a test instead of hanging it.
class RawClient {
public:
    // receiveBuffer, when not 0, is the socket's SO_RCVBUF, set before it connects: a small
    // one keeps TCP from taking much of what the server sends while the test does not read.
    explicit RawClient(UINT port, int seconds = 30, int receiveBuffer = 0)
        : s_(winsock::socket(AF_INET, SOCK_STREAM, 0)), seconds_(seconds) {
        if (receiveBuffer != 0) {
            winsock::setsockopt(s_, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&receiveBuffer),
                                sizeof receiveBuffer);
        }
        winsock::sockaddr_in to;
        std::memset(&to, 0, sizeof to);
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = winsock::htonl(INADDR_LOOPBACK);
        to.sin_port = winsock::htons(static_cast<winsock::u_short>(port));
        if (winsock::connect(s_, reinterpret_cast<winsock::sockaddr*>(&to), sizeof to) == SOCKET_ERROR) {
            Close();
            return;
        }
        winsock::u_long on = 1;
        winsock::ioctlsocket(s_, FIONBIO, &on);
    }
    ~RawClient() { Close(); }
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    bool ok() const { return s_ != INVALID_SOCKET; }
    SOCKET socket() const { return s_; }
    bool SendAll(const std::string& bytes) {
        std::size_t done = 0;
        const bool whole = Progress([&] {
            const int n = winsock::send(s_, bytes.data() + done, static_cast<int>(bytes.size() - done), 0);
            done += n > 0 ? static_cast<std::size_t>(n) : 0;
            return n > 0 ? Step::Moved : WSAGetLastError() == WSAEWOULDBLOCK ? Step::Wait : Step::End;
        }, [&] { return done == bytes.size(); });
        return whole;
    }
    // Exactly n bytes, or fewer when the connection ends or stalls first.
    std::string Receive(std::size_t n) {
        std::string out;
        char buf[65536];
        Progress([&] {
            const int got = winsock::recv(s_, buf, static_cast<int>(std::min(sizeof buf, n - out.size())), 0);
            if (got > 0) {
                out.append(buf, static_cast<std::size_t>(got));
            }
            return got > 0 ? Step::Moved : got < 0 && WSAGetLastError() == WSAEWOULDBLOCK ? Step::Wait : Step::End;
        }, [&] { return out.size() == n; });
        return out;
    }
    // Reads until the connection ends: 0 for an orderly end, else the WinSock error of a reset
    // (WSAETIMEDOUT when it stalls).
    int ReadToEnd(std::string* into = nullptr) {
        char buf[65536];
        int end = WSAETIMEDOUT;
        Progress([&] {
            const int got = winsock::recv(s_, buf, sizeof buf, 0);
            if (got > 0) {
                if (into != nullptr) {
                    into->append(buf, static_cast<std::size_t>(got));
                }
                return Step::Moved;
            }
            if (got < 0 && WSAGetLastError() == WSAEWOULDBLOCK) {
                return Step::Wait;
            }
            end = got == 0 ? 0 : WSAGetLastError();
            return Step::End;
        }, [] { return false; });
        return end;
    }
    void ShutDownSending() { winsock::shutdown(s_, SD_SEND); }
    void Close() {
        if (s_ != INVALID_SOCKET) {
            winsock::closesocket(s_);
            s_ = INVALID_SOCKET;
        }
    }

private:
    enum class Step { Moved, Wait, End };
    // Calls step() until done() or the end, waiting a millisecond at each Wait; false when it
    // stopped short of done().
    template <typename StepFn, typename DoneFn>
    bool Progress(StepFn step, DoneFn done) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds_);
        while (!done()) {
            const Step r = step();
            if (r == Step::End) {
                return false;
            }
            if (r == Step::Moved) {
                deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds_);
            } else if (std::chrono::steady_clock::now() >= deadline) {
                return false;
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
        return true;
    }

    SOCKET s_;
    int seconds_;
};

#ifdef TALVENCAT_PATH
inline Outcome RunCat(const Scratch& scratch, const std::string& name, const std::string& args,
                      const std::string& input) {
    return RunProgram(TALVENCAT_PATH, scratch, name, args, input);
}

// A listening talvencat with `args`. It must run without -q: its port is read from the
// "listening on" line on standard error.
class CatServer : public BackgroundServer {
public:
    CatServer(const Scratch& scratch, const std::string& args, bool input = false)
        : BackgroundServer(TALVENCAT_PATH, scratch, "-l " + args + " 127.0.0.1 0", input) {}
};
#endif

}  // namespace talven_test
