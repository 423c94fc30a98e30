// The one wait of a thread: epoll over the queue's wake descriptor (an eventfd) and the
// socket descriptors that event selection attaches. Timers need no descriptor: the caller
// passes the time to the next timer as the wait's timeout.
//
// Threads: Wake, Watch, Modify and Unwatch may be called from any thread (epoll_ctl and
// eventfd writes are thread-safe); Wait and Poll only from the owning thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "platform/user32/reactor.h"

namespace talven::platform::user32 {

class MessageWait {
public:
    MessageWait();
    ~MessageWait();
    MessageWait(const MessageWait&) = delete;
    MessageWait& operator=(const MessageWait&) = delete;

    bool ok() const { return epollFd_ >= 0 && wakeFd_ >= 0; }

    // Makes the owner's current or next Wait return. Any thread.
    void Wake();

    // Waits up to timeoutMs (-1: no limit) for the wake descriptor or a watched descriptor.
    // Each ready watched descriptor is reported to the installed I/O callback (on this
    // thread). Returns true when the wake descriptor was signalled; it is drained then.
    // Owner only.
    bool Wait(int timeoutMs);

    // The process-wide I/O callback (installed once by event selection). Any thread.
    static void SetIoCallback(reactor::IoCallback callback);

    // Any thread. token must not be kWakeToken.
    bool Watch(int fd, std::uint32_t events, std::uint64_t token);
    bool Modify(int fd, std::uint32_t events, std::uint64_t token);
    void Unwatch(int fd);

    // Number of watched descriptors; lets the caller skip polling when there are none.
    std::size_t watched() const { return watched_.load(std::memory_order_relaxed); }

    static constexpr std::uint64_t kWakeToken = ~std::uint64_t{0};

private:
    int epollFd_;
    int wakeFd_;
    std::atomic<std::size_t> watched_{0};
    std::vector<std::uint8_t> events_;
    static std::atomic<reactor::IoCallback> ioCallback_;   // storage for epoll_event records; owner only
};

}  // namespace talven::platform::user32
