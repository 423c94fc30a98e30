// What the tests need from the operating system beyond the Win32 names: whether the system is
// Wine, the process's time zone, and what the process holds (descriptors, C heap). One
// implementation per system.
#pragma once

#include <cstdint>

namespace talven_test {

// True when the Win32 names are Wine's (the Windows build running under Wine).
bool UnderWine();

// For a check of documented Windows behaviour that Wine does not follow. Returns true where the
// documented behaviour is to be expected (the emulation, Windows itself). Under Wine it returns
// false and records the difference in the test's output and properties: `difference` says what
// Wine does instead and which documentation page the check relies on.
bool ExpectDocumented(const char* difference);

// The difference that several tests meet: the error code of FD_CLOSE after a reset.
constexpr const char kWineResetCloseError[] =
    "FD_CLOSE after a reset carries error 0 under Wine 8.0; WSAAsyncSelect's reference page "
    "gives WSAECONNRESET";

// The other side of the same difference: what recv says on a connection that was reset.
constexpr const char kWineResetRecv[] =
    "recv on a reset connection returns 0 (a graceful close) under Wine 8.0; recv's reference "
    "page (winsock.h) gives SOCKET_ERROR with WSAECONNRESET";

// Sets the C runtime's local time zone to a POSIX-style TZ value ("XYZ-5": five hours east of
// UTC); nullptr restores the zone the process had before the first call.
void SetTimeZone(const char* tz);

// Open descriptors of the process: file descriptors on POSIX, kernel handles on Windows, where
// a socket is a handle too.
int OpenDescriptors();

// Bytes the C heap has handed out and not taken back.
std::uint64_t HeapInUse();

// Makes sure the process may hold `need` descriptors at once.
bool EnoughDescriptors(std::uint64_t need);

}  // namespace talven_test
