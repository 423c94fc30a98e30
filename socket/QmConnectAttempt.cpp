#include "socket/QmConnectAttempt.h"

#include <atomic>
#include <cstring>
#include <deque>
#include <mutex>
#include <new>
#include <unordered_map>

#include "socket/CQmSocketNotifyWnd.h"

namespace {

// The lookups and timers in flight, by task handle and by timer id, each with its attempt.
// Entries are made and removed on the attempt's window thread; the lock only keeps attempts
// of different threads apart.
struct InFlight {
    std::mutex lock;
    std::unordered_map<UINT_PTR, QmConnectAttempt*> lookups;
    std::unordered_map<UINT_PTR, QmConnectAttempt*> timers;
    // The buffers of cancelled lookups, by task, oldest first. A cancel that WinSock confirms
    // means the buffer is never written, but Wine confirms every cancel and still completes the
    // lookup into the buffer; so a buffer is kept until its late reply arrives, the oldest going
    // once more than kOrphans wait (a few KiB at most where no reply ever comes).
    std::deque<std::pair<UINT_PTR, std::unique_ptr<char[]>>> orphans;
};
constexpr std::size_t kOrphans = 16;

// Never destroyed: a socket that is itself a static object may end its attempt at exit, after
// every function-local static of this file would have gone.
InFlight& Table() {
    alignas(InFlight) static unsigned char storage[sizeof(InFlight)];
    static InFlight* table = ::new (static_cast<void*>(storage)) InFlight;
    return *table;
}

void Register(std::unordered_map<UINT_PTR, QmConnectAttempt*>& map, UINT_PTR key,
              QmConnectAttempt* attempt) {
    std::lock_guard<std::mutex> hold(Table().lock);
    map[key] = attempt;
}

// The attempt registered under key, which is forgotten; nullptr when there is none.
QmConnectAttempt* Take(std::unordered_map<UINT_PTR, QmConnectAttempt*>& map, UINT_PTR key) {
    std::lock_guard<std::mutex> hold(Table().lock);
    auto it = map.find(key);
    if (it == map.end()) {
        return nullptr;
    }
    QmConnectAttempt* attempt = it->second;
    map.erase(it);
    return attempt;
}

// Timer ids are unique in the process, so that a stale WM_TIMER never matches a newer timer.
std::atomic<UINT_PTR> g_lastTimerId{0x51D00000u};

}  // namespace

QmConnectAttempt::QmConnectAttempt(CQmAsyncSocket& owner) : owner_(owner) {}

QmConnectAttempt::~QmConnectAttempt() {
    Abandon();
}

int QmConnectAttempt::Start(const char* host, UINT port) {
    Abandon();
    port_ = port;
    const winsock::u_long dotted = winsock::inet_addr(host);
    if (dotted != INADDR_NONE) {
        winsock::sockaddr_in addr;
        std::memset(&addr, 0, sizeof addr);
        addr.sin_family = AF_INET;
        addr.sin_port = winsock::htons(static_cast<winsock::u_short>(port & 0xFFFFu));
        addr.sin_addr.s_addr = dotted;
        if (!owner_.Connect(reinterpret_cast<winsock::sockaddr*>(&addr), sizeof addr) &&
            WSAGetLastError() != WSAEWOULDBLOCK) {
            return 0;
        }
        ConnectPending();
        return 1;
    }
    if (!hostBuf_) {
        hostBuf_ = std::make_unique<char[]>(MAXGETHOSTSTRUCT);  // std::bad_alloc: ConnectAsync
    }
    task_ = WSAAsyncGetHostByName(owner_.m_hNotifyWnd, WM_SOCKET_LOOKUP, host, hostBuf_.get(),
                                  MAXGETHOSTSTRUCT);
    if (task_ == nullptr) {
        return 0;
    }
    Register(Table().lookups, reinterpret_cast<UINT_PTR>(task_), this);
    ConnectPending();  // the timeout counts the lookup too
    return 1;
}

void QmConnectAttempt::ConnectPending() {
    KillOneTimer(timeout_);
    if (timeoutMs_ != 0) {
        SetOneTimer(timeout_, timeoutMs_);
    }
}

void QmConnectAttempt::ConnectEnded() {
    KillOneTimer(timeout_);
}

void QmConnectAttempt::Abandon() {
    CancelLookup();
    KillOneTimer(timeout_);
    KillOneTimer(wait_);
    fire_ = nullptr;
}

bool QmConnectAttempt::StartWait(UINT ms, void (*fire)(CQmAsyncSocket&)) {
    KillOneTimer(wait_);
    fire_ = fire;
    return SetOneTimer(wait_, ms);
}

void QmConnectAttempt::CancelLookup() {
    if (task_ == nullptr) {
        return;
    }
    const UINT_PTR task = reinterpret_cast<UINT_PTR>(task_);
    Take(Table().lookups, task);
    // A reply still queued, or one that comes after all, finds no attempt.
    const int savedError = WSAGetLastError();
    WSACancelAsyncRequest(task_);
    WSASetLastError(savedError);
    task_ = nullptr;
    InFlight& table = Table();
    std::lock_guard<std::mutex> hold(table.lock);
    try {
        table.orphans.emplace_back(task, std::move(hostBuf_));
    } catch (const std::bad_alloc&) {
        hostBuf_.reset();  // in the emulation and on Windows a confirmed cancel writes nothing
    }
    if (table.orphans.size() > kOrphans) {
        table.orphans.pop_front();
    }
}

bool QmConnectAttempt::SetOneTimer(Timer& timer, UINT ms) {
    const UINT_PTR id = ++g_lastTimerId;
    HWND wnd = owner_.m_hNotifyWnd;
    if (wnd == nullptr || SetTimer(wnd, id, ms == 0 ? 1 : ms, nullptr) == 0) {
        return false;
    }
    timer.wnd = wnd;
    timer.id = id;
    Register(Table().timers, id, this);
    return true;
}

void QmConnectAttempt::KillOneTimer(Timer& timer) {
    if (timer.id == 0) {
        return;
    }
    Take(Table().timers, timer.id);
    KillTimer(timer.wnd, timer.id);
    timer.id = 0;
    timer.wnd = nullptr;
}

void QmConnectAttempt::DispatchLookup(WPARAM task, LPARAM reply) {
    if (QmConnectAttempt* attempt = Take(Table().lookups, static_cast<UINT_PTR>(task))) {
        attempt->OnLookup(reply);
        return;
    }
    // The late reply of a cancelled lookup: its buffer is written for good now.
    InFlight& table = Table();
    std::lock_guard<std::mutex> hold(table.lock);
    for (auto it = table.orphans.begin(); it != table.orphans.end(); ++it) {
        if (it->first == static_cast<UINT_PTR>(task)) {
            table.orphans.erase(it);
            break;
        }
    }
}

void QmConnectAttempt::DispatchTimer(UINT_PTR id) {
    QmConnectAttempt* attempt = Take(Table().timers, id);
    if (attempt == nullptr) {
        return;
    }
    if (id == attempt->timeout_.id) {
        attempt->KillOneTimer(attempt->timeout_);
        attempt->OnTimeout();
    } else if (id == attempt->wait_.id) {
        attempt->KillOneTimer(attempt->wait_);
        attempt->OnWait();
    }
}

void QmConnectAttempt::OnLookup(LPARAM reply) {
    task_ = nullptr;
    const int error = WSAGETASYNCERROR(reply);
    if (error != 0) {
        Fail(error);
        return;
    }
    const winsock::hostent* h = reinterpret_cast<const winsock::hostent*>(hostBuf_.get());
    if (h->h_addrtype != AF_INET || h->h_length != 4 || h->h_addr_list == nullptr ||
        h->h_addr_list[0] == nullptr) {
        Fail(WSANO_DATA);
        return;
    }
    winsock::sockaddr_in addr;
    std::memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = winsock::htons(static_cast<winsock::u_short>(port_ & 0xFFFFu));
    std::memcpy(&addr.sin_addr, h->h_addr_list[0], sizeof addr.sin_addr);
    if (!owner_.Connect(reinterpret_cast<winsock::sockaddr*>(&addr), sizeof addr)) {
        const int code = WSAGetLastError();
        if (code != WSAEWOULDBLOCK) {
            Fail(code);
        }
    }
    // Under way: FD_CONNECT ends it, or the timeout armed at the start.
}

void QmConnectAttempt::Fail(int error) {
    KillOneTimer(timeout_);
    owner_.OnConnect(error);  // may delete the owner, and this with it
}

void QmConnectAttempt::OnTimeout() {
    CancelLookup();
    CQmAsyncSocket& owner = owner_;
    // The window finds the entry by the handle, so unregister before Close resets it; the
    // socket's events still queued then reach nobody.
    SendMessageA(owner.m_hNotifyWnd, WM_SOCKET_REMOVE_MAP, 0, reinterpret_cast<LPARAM>(&owner));
    owner.Close();
    owner.OnConnect(WSAETIMEDOUT);  // may delete the owner, and this with it
}

void QmConnectAttempt::OnWait() {
    void (*fire)(CQmAsyncSocket&) = fire_;
    fire_ = nullptr;
    if (fire != nullptr) {
        fire(owner_);  // may delete the owner, and this with it
    }
}
