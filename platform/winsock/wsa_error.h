// Internal: the one way a WinSock call reports failure, and whether WinSock is started.
//
// Every failing path ends here: the calling thread's last error is set to the WinSock code
// (errno values go through the single translation table in wsa_error.cpp) and the caller
// returns the documented failure result. Any thread.
#pragma once

#include "platform/winsock/winsock.h"

namespace talven::platform::sockets {

// True between a successful WSAStartup and the WSACleanup that balances the last one.
bool Started();

// The WinSock code for a positive errno value (0 gives 0).
int WsaErrorFromErrno(int err);
// The WinSock code for a failed host lookup (posix::LookupError).
int WsaErrorFromLookup(int lookupError);

// Sets the thread's last error and returns SOCKET_ERROR.
int Fail(int wsaError);
// Same for a negative errno result of the POSIX adapter.
inline int FailErrno(long negErrno) { return Fail(WsaErrorFromErrno(static_cast<int>(-negErrno))); }

// Fails with WSANOTINITIALISED when WinSock is not started; true when the call may go on.
bool CheckStarted();

// The descriptor behind a handle, or -1 (with WSAENOTSOCK set) for a handle that cannot be one.
int Descriptor(SOCKET s);

}  // namespace talven::platform::sockets
