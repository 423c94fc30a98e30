// WSAStartup and WSACleanup (start-up counting and version negotiation), and the
// per-thread last error.
#include <atomic>
#include <cstring>
#include <mutex>

#include "platform/kernel32/tls_model.h"
#include "platform/winsock/wsa_error.h"

namespace talven::platform::sockets {
namespace {

// Guards changes of g_startups, so that a cleanup and a start-up racing each other keep the
// count exact.
std::mutex g_countLock;

thread_local int t_lastError TALVEN_HOT_TLS = 0;

constexpr WORD kLowest = MAKEWORD(1, 0);  // Ws2_32 accepts 1.0 and up
constexpr WORD kHighest = MAKEWORD(2, 2);

// Versions compare major first: the low byte is the major version.
int VersionKey(WORD v) { return LOBYTE(v) * 256 + HIBYTE(v); }

void Describe(WSADATA* data, WORD agreed) {
    std::memset(data, 0, sizeof *data);
    data->wVersion = agreed;
    data->wHighVersion = kHighest;
    static const char kDescription[] = "WinSock 2.2 over POSIX sockets";
    static const char kStatus[] = "Running";
    static_assert(sizeof kDescription <= WSADESCRIPTION_LEN + 1, "description fits");
    std::memcpy(data->szDescription, kDescription, sizeof kDescription);
    std::memcpy(data->szSystemStatus, kStatus, sizeof kStatus);
    // WinSock gives 1.1 callers limits; 2.x callers are told to ignore these fields.
    data->iMaxSockets = LOBYTE(agreed) == 1 ? 32767 : 0;
    data->iMaxUdpDg = LOBYTE(agreed) == 1 ? 65467 : 0;
    data->lpVendorInfo = nullptr;
}

}  // namespace
}  // namespace talven::platform::sockets

using namespace talven::platform::sockets;

int WSAStartup(WORD versionRequested, LPWSADATA data) {
    if (VersionKey(versionRequested) < VersionKey(kLowest)) {
        return WSAVERNOTSUPPORTED;
    }
    if (data == nullptr) {
        return WSAEFAULT;
    }
    // A request above what is offered is granted the highest version, as WinSock does.
    const WORD agreed =
        VersionKey(versionRequested) > VersionKey(kHighest) ? kHighest : versionRequested;
    Describe(data, agreed);
    std::lock_guard<std::mutex> hold(g_countLock);
    g_startups.fetch_add(1, std::memory_order_release);
    return 0;
}

int WSACleanup() {
    std::lock_guard<std::mutex> hold(g_countLock);
    if (g_startups.load(std::memory_order_relaxed) == 0) {
        return Fail(WSANOTINITIALISED);
    }
    g_startups.fetch_sub(1, std::memory_order_release);
    return 0;
}

int WSAGetLastError() {
    return t_lastError;
}

void WSASetLastError(int error) {
    t_lastError = error;
}
