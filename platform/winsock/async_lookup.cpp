// WSAAsyncGetHostByName and WSACancelAsyncRequest. One platform thread, made on the first
// request, runs the lookups in order of request with gethostbyname. A request's record is
// shared by the caller's side and the thread; its state changes only under the table's lock,
// and the thread copies into the caller's buffer and posts the completion under that lock
// too, so a cancel that succeeds is sure that neither will happen.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <unordered_set>

#include "platform/user32/reactor.h"
#include "platform/winsock/seam_hooks.h"
#include "platform/winsock/wsa_error.h"

namespace talven::platform::sockets {
namespace {

struct Request {
    std::uintptr_t task;
    HWND hwnd;
    UINT msg;
    std::string name;
    char* buf;
    int buflen;
    int error;  // nonzero: the reply, without a lookup
};

// The bytes a copy of `h` takes in a caller's buffer, laid out as: the hostent, the alias
// pointers and the address pointers (each list ending with a null), the addresses, the names.
std::size_t CopySize(const winsock::hostent& h) {
    std::size_t aliases = 0, addrs = 0, text = std::strlen(h.h_name) + 1;
    for (char** a = h.h_aliases; a != nullptr && *a != nullptr; ++a, ++aliases) {
        text += std::strlen(*a) + 1;
    }
    for (char** a = h.h_addr_list; *a != nullptr; ++a) {
        ++addrs;
    }
    return sizeof(winsock::hostent) + (aliases + 1 + addrs + 1) * sizeof(char*) +
           addrs * static_cast<std::size_t>(h.h_length) + text;
}

void CopyInto(const winsock::hostent& h, char* buf) {
    winsock::hostent* out = reinterpret_cast<winsock::hostent*>(buf);
    char** list = reinterpret_cast<char**>(buf + sizeof(winsock::hostent));
    std::size_t aliases = 0, addrs = 0;
    while (h.h_aliases != nullptr && h.h_aliases[aliases] != nullptr) ++aliases;
    while (h.h_addr_list[addrs] != nullptr) ++addrs;
    char** aliasList = list;
    char** addrList = list + aliases + 1;
    char* at = reinterpret_cast<char*>(addrList + addrs + 1);
    for (std::size_t i = 0; i < addrs; ++i) {
        std::memcpy(at, h.h_addr_list[i], static_cast<std::size_t>(h.h_length));
        addrList[i] = at;
        at += h.h_length;
    }
    addrList[addrs] = nullptr;
    auto copyText = [&at](const char* text) {
        const std::size_t n = std::strlen(text) + 1;
        std::memcpy(at, text, n);
        char* start = at;
        at += n;
        return start;
    };
    for (std::size_t i = 0; i < aliases; ++i) {
        aliasList[i] = copyText(h.h_aliases[i]);
    }
    aliasList[aliases] = nullptr;
    out->h_name = copyText(h.h_name);
    out->h_aliases = aliasList;
    out->h_addrtype = h.h_addrtype;
    out->h_length = h.h_length;
    out->h_addr_list = addrList;
}

// The requests not yet ended and the thread that serves them. Lives until the process ends;
// its destructor stops the thread after the lookup under way, if any.
class Resolver {
public:
    static Resolver& Get() {
        static Resolver resolver;
        return resolver;
    }

    ~Resolver() {
        {
            std::lock_guard<std::mutex> hold(lock_);
            stop_ = true;
        }
        wake_.notify_all();
        if (thread_.joinable()) {
            thread_.join();
        }
    }

    // 0 with the error set when the thread cannot be started.
    std::uintptr_t Submit(HWND hwnd, UINT msg, const char* name, char* buf, int buflen, int error) {
        std::lock_guard<std::mutex> hold(lock_);
        try {
            if (!thread_.joinable()) {
                thread_ = std::thread([this] { Serve(); });
            }
            const std::uintptr_t task = ++lastTask_;
            queue_.push_back(Request{task, hwnd, msg, name != nullptr ? name : "", buf, buflen, error});
            pending_.insert(task);
            wake_.notify_all();
            return task;
        } catch (...) {
            Fail(WSAENOBUFS);
            return 0;
        }
    }

    int Cancel(std::uintptr_t task) {
        std::lock_guard<std::mutex> hold(lock_);
        if (task == 0 || task > lastTask_) {
            return Fail(WSAEINVAL);
        }
        if (pending_.erase(task) == 0) {
            return Fail(WSAEALREADY);
        }
        wake_.notify_all();  // ends a slowed wait of the lookup under way
        return 0;
    }

private:
    Resolver() = default;

    void Serve() {
        std::unique_lock<std::mutex> hold(lock_);
        for (;;) {
            wake_.wait(hold, [this] { return stop_ || !queue_.empty(); });
            if (stop_) {
                return;
            }
            Request r = std::move(queue_.front());
            queue_.pop_front();
            if (pending_.count(r.task) == 0) {
                continue;  // cancelled while queued
            }
            const std::uintptr_t task = r.task;
            if (r.error != 0) {
                pending_.erase(task);
                Complete(r, nullptr, r.error);
                continue;
            }
            hold.unlock();
            const DWORD delay = seam::Installed() ? seam::LookupDelay(r.name.c_str()) : 0;
            hold.lock();
            if (delay != 0) {
                wake_.wait_for(hold, std::chrono::milliseconds(delay),
                               [&] { return stop_ || pending_.count(task) == 0; });
                if (stop_) {
                    return;
                }
                if (pending_.count(task) == 0) {
                    continue;
                }
            }
            hold.unlock();
            // gethostbyname's entry is this thread's own, valid until its next lookup.
            const winsock::hostent* h = winsock::gethostbyname(r.name.c_str());
            const int error = h == nullptr ? WSAGetLastError() : 0;
            hold.lock();
            if (pending_.erase(task) == 0) {
                continue;  // cancelled during the lookup: no copy, no message
            }
            Complete(r, h, error);
        }
    }

    // Under lock_: the copy and the message, as one step against Cancel.
    static void Complete(const Request& r, const winsock::hostent* h, int error) {
        std::size_t used = 0;
        if (h != nullptr) {
            used = CopySize(*h);
            if (used > static_cast<std::size_t>(r.buflen)) {
                error = WSAENOBUFS;
            } else {
                CopyInto(*h, r.buf);
            }
        }
        const WORD len = static_cast<WORD>(used > 0xFFFF ? 0xFFFF : used);
        reactor::PostUnlimited(r.hwnd, r.msg, static_cast<WPARAM>(r.task),
                               static_cast<LPARAM>(WSAMAKEASYNCREPLY(len, static_cast<WORD>(error))));
    }

    std::mutex lock_;  // guards everything below
    std::condition_variable wake_;
    std::thread thread_;
    std::deque<Request> queue_;
    std::unordered_set<std::uintptr_t> pending_;  // requests neither ended nor cancelled
    std::uintptr_t lastTask_ = 0;
    bool stop_ = false;
};

}  // namespace
}  // namespace talven::platform::sockets

HANDLE WSAAsyncGetHostByName(HWND hwnd, UINT msg, const char* name, char* buf, int buflen) {
    using namespace talven::platform::sockets;
    if (!CheckStarted()) return nullptr;
    if (!IsWindow(hwnd)) {
        Fail(WSAEINVAL);
        return nullptr;
    }
    // A name or buffer that cannot be used fails in the reply, as the reference page lists it.
    const int error = name == nullptr || buf == nullptr ? WSAEFAULT : 0;
    return reinterpret_cast<HANDLE>(
        Resolver::Get().Submit(hwnd, msg, name, buf, buflen < 0 ? 0 : buflen, error));
}

int WSACancelAsyncRequest(HANDLE task) {
    using namespace talven::platform::sockets;
    if (!CheckStarted()) return SOCKET_ERROR;
    return Resolver::Get().Cancel(reinterpret_cast<std::uintptr_t>(task));
}
