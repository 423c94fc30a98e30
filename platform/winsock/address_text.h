// Internal: dotted IPv4 text, as WinSock reads and writes it.
#pragma once

#include <cstdint>

namespace talven::platform::sockets {

// Parses "a.b.c.d", "a.b.c", "a.b" or "a", each part decimal, octal (leading 0) or
// hexadecimal (0x), the last part filling the remaining bytes. The whole text must be used.
// On success stores the address in network byte order.
bool ParseDotted(const char* text, std::uint32_t* networkOrder);

}  // namespace talven::platform::sockets
