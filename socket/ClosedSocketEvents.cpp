#include "socket/ClosedSocketEvents.h"

#include <atomic>
#include <map>
#include <mutex>
#include <new>
#include <set>
#include <type_traits>
#include <utility>

namespace talven::closed_sockets {
namespace {

// The marker: event word 0 (no handler is called for it) and an error word no event carries.
constexpr LPARAM kMarker = WSAMAKESELECTREPLY(0, 0xFFFF);
constexpr UINT kNotifyMessage = 0x081B;  // WM_SOCKET_NOTIFY

struct Registry {
    std::mutex lock;                                    // guards windows and closing
    std::set<HWND> windows;
    std::map<std::pair<HWND, SOCKET>, unsigned> closing;  // markers still on their way
};

// Never destroyed: sockets closed by static destructors after this file's statics are gone
// still find it.
Registry& TheRegistry() {
    static std::aligned_storage_t<sizeof(Registry), alignof(Registry)> storage;
    static Registry* const registry = ::new (&storage) Registry;
    return *registry;
}

}  // namespace

std::atomic<unsigned> g_pendingMarkers{0};  // closing's markers, read without the lock

void AddWindow(HWND hwnd) {
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> hold(r.lock);
    r.windows.insert(hwnd);
}

void RemoveWindow(HWND hwnd) {
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> hold(r.lock);
    r.windows.erase(hwnd);
    for (auto it = r.closing.lower_bound({hwnd, 0});
         it != r.closing.end() && it->first.first == hwnd;) {
        g_pendingMarkers -= it->second;
        it = r.closing.erase(it);
    }
}

bool BeginClose(HWND hwnd, SOCKET s) {
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> hold(r.lock);
    if (r.windows.count(hwnd) == 0) {
        return false;
    }
    ++r.closing[{hwnd, s}];
    ++g_pendingMarkers;
    return true;
}

void EndClose(HWND hwnd, SOCKET s, bool owed) {
    if (!owed || ::PostMessageA(hwnd, kNotifyMessage, static_cast<WPARAM>(s), kMarker)) {
        return;
    }
    // No marker will come (the window is gone, or its queue is full): stop dropping at once.
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> hold(r.lock);
    const auto it = r.closing.find({hwnd, s});
    if (it != r.closing.end()) {
        --g_pendingMarkers;
        if (--it->second == 0) r.closing.erase(it);
    }
}

bool IsStaleWhileClosing(HWND hwnd, WPARAM wParam, LPARAM lParam) {
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> hold(r.lock);
    const auto it = r.closing.find({hwnd, static_cast<SOCKET>(wParam)});
    if (it == r.closing.end()) {
        return false;
    }
    if (lParam == kMarker) {
        --g_pendingMarkers;
        if (--it->second == 0) r.closing.erase(it);
    }
    return true;
}

}  // namespace talven::closed_sockets
