// Internal: the one way a WinSock call reports failure, and whether WinSock is started.
//
// Every failing path ends here: the calling thread's last error is set to the WinSock code
// (errno values go through the single translation table in wsa_error.cpp) and the caller
// returns the documented failure result. Any thread.
#pragma once

#include <atomic>
#include <climits>

#include "platform/winsock/winsock.h"

namespace talven::platform::sockets {

// Start-ups not yet balanced by a WSACleanup; changed by wsa_startup.cpp only, under its
// lock, and read without it by Started().
inline std::atomic<int> g_startups{0};

// True between a successful WSAStartup and the WSACleanup that balances the last one. Inline,
// like CheckStarted and Descriptor: every socket call begins with them.
inline bool Started() { return g_startups.load(std::memory_order_acquire) > 0; }

// The WinSock code for a positive errno value (0 gives 0).
int WsaErrorFromErrno(int err);
// The WinSock code for a failed host lookup (posix::LookupError).
int WsaErrorFromLookup(int lookupError);

// Sets the thread's last error and returns SOCKET_ERROR.
int Fail(int wsaError);
// Same for a negative errno result of the POSIX adapter.
inline int FailErrno(long negErrno) { return Fail(WsaErrorFromErrno(static_cast<int>(-negErrno))); }

// Fails with WSANOTINITIALISED when WinSock is not started; true when the call may go on.
inline bool CheckStarted() {
    if (Started()) {
        return true;
    }
    Fail(WSANOTINITIALISED);
    return false;
}

// The descriptor behind a handle, or -1 (with WSAENOTSOCK set) for a handle that cannot be one.
inline int Descriptor(SOCKET s) {
    if (s > static_cast<SOCKET>(INT_MAX)) {
        Fail(WSAENOTSOCK);
        return -1;
    }
    return static_cast<int>(s);
}

}  // namespace talven::platform::sockets
