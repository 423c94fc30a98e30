#include "platform/user32/MessageWait.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>

namespace talven::platform::user32 {

namespace {
// Ready descriptors reported per epoll_wait; the rest (level-triggered) come with the next.
constexpr int kEventsPerWait = 256;
}  // namespace

MessageWait::MessageWait()
    : epollFd_(::epoll_create1(EPOLL_CLOEXEC)),
      wakeFd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      events_(sizeof(epoll_event) * kEventsPerWait) {
    if (ok()) {
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = kWakeToken;
        if (::epoll_ctl(epollFd_, EPOLL_CTL_ADD, wakeFd_, &ev) != 0) {
            ::close(wakeFd_);
            wakeFd_ = -1;
        }
    }
}

MessageWait::~MessageWait() {
    if (wakeFd_ >= 0) {
        ::close(wakeFd_);
    }
    if (epollFd_ >= 0) {
        ::close(epollFd_);
    }
}

void MessageWait::Wake() {
    const std::uint64_t one = 1;
    ssize_t n;
    do {
        n = ::write(wakeFd_, &one, sizeof one);
    } while (n < 0 && errno == EINTR);
    // EAGAIN means the counter is already huge: the descriptor is readable anyway.
}

std::atomic<reactor::IoCallback> MessageWait::ioCallback_{nullptr};

void MessageWait::SetIoCallback(reactor::IoCallback callback) {
    ioCallback_.store(callback, std::memory_order_release);
}

bool MessageWait::Wait(int timeoutMs) {
    auto* events = reinterpret_cast<epoll_event*>(events_.data());
    const int n = ::epoll_wait(epollFd_, events, kEventsPerWait, timeoutMs);
    bool woken = false;
    for (int i = 0; i < n; ++i) {
        if (events[i].data.u64 == kWakeToken) {
            std::uint64_t count;
            while (::read(wakeFd_, &count, sizeof count) < 0 && errno == EINTR) {
            }
            woken = true;
        } else if (reactor::IoCallback callback = ioCallback_.load(std::memory_order_acquire)) {
            callback(events[i].data.u64, events[i].events);
        }
    }
    return woken;
}

bool MessageWait::Watch(int fd, std::uint32_t events, std::uint64_t token) {
    if (token == kWakeToken) {
        return false;
    }
    epoll_event ev{};
    ev.events = events;
    ev.data.u64 = token;
    if (::epoll_ctl(epollFd_, EPOLL_CTL_ADD, fd, &ev) != 0) {
        return false;
    }
    watched_.fetch_add(1, std::memory_order_relaxed);
    return true;
}

bool MessageWait::Modify(int fd, std::uint32_t events, std::uint64_t token) {
    if (token == kWakeToken) {
        return false;
    }
    epoll_event ev{};
    ev.events = events;
    ev.data.u64 = token;
    return ::epoll_ctl(epollFd_, EPOLL_CTL_MOD, fd, &ev) == 0;
}

void MessageWait::Unwatch(int fd) {
    if (::epoll_ctl(epollFd_, EPOLL_CTL_DEL, fd, nullptr) == 0) {
        watched_.fetch_sub(1, std::memory_order_relaxed);
    }
}

}  // namespace talven::platform::user32
