// inet_addr, inet_ntoa and the byte-order helpers.
#include "platform/winsock/address_text.h"

#include <cstdio>
#include <cstring>

#include "platform/winsock/winsock.h"

namespace talven::platform::sockets {
namespace {

bool IsDigitIn(char c, unsigned base) {
    if (base == 16) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    }
    return c >= '0' && c < static_cast<char>('0' + base);
}

unsigned DigitValue(char c) {
    if (c >= '0' && c <= '9') return static_cast<unsigned>(c - '0');
    if (c >= 'a' && c <= 'f') return static_cast<unsigned>(c - 'a' + 10);
    return static_cast<unsigned>(c - 'A' + 10);
}

// One part of a dotted address; advances p past it. False when empty, malformed or > 2^32-1.
bool ParsePart(const char*& p, std::uint64_t* value) {
    unsigned base = 10;
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
        base = 16;
        p += 2;
        if (!IsDigitIn(*p, 16)) return false;  // "0x" alone is no number
    } else if (p[0] == '0') {
        base = 8;
    }
    if (!IsDigitIn(*p, base)) {
        return false;
    }
    std::uint64_t v = 0;
    while (IsDigitIn(*p, base)) {
        v = v * base + DigitValue(*p);
        if (v > 0xffffffffULL) return false;
        ++p;
    }
    *value = v;
    return true;
}

std::uint32_t ToNetwork(std::uint32_t host) {
    const unsigned char bytes[4] = {
        static_cast<unsigned char>(host >> 24), static_cast<unsigned char>(host >> 16),
        static_cast<unsigned char>(host >> 8), static_cast<unsigned char>(host)};
    std::uint32_t out;
    std::memcpy(&out, bytes, sizeof out);
    return out;
}

std::uint32_t FromNetwork(std::uint32_t net) {
    unsigned char bytes[4];
    std::memcpy(bytes, &net, sizeof bytes);
    return (std::uint32_t{bytes[0]} << 24) | (std::uint32_t{bytes[1]} << 16) |
           (std::uint32_t{bytes[2]} << 8) | std::uint32_t{bytes[3]};
}

thread_local char t_dotted[16];

}  // namespace

bool ParseDotted(const char* text, std::uint32_t* networkOrder) {
    if (text == nullptr) return false;
    std::uint64_t parts[4];
    int count = 0;
    const char* p = text;
    for (;;) {
        if (count == 4 || !ParsePart(p, &parts[count])) return false;
        ++count;
        if (*p == '\0') break;
        if (*p != '.') return false;
        ++p;
    }
    // Every part but the last is one byte; the last fills what is left.
    for (int i = 0; i < count - 1; ++i) {
        if (parts[i] > 0xff) return false;
    }
    const int lastBits = 8 * (4 - (count - 1));
    if (lastBits < 32 && parts[count - 1] >= (std::uint64_t{1} << lastBits)) return false;
    std::uint32_t host = static_cast<std::uint32_t>(parts[count - 1]);
    for (int i = 0; i < count - 1; ++i) {
        host |= static_cast<std::uint32_t>(parts[i]) << (24 - 8 * i);
    }
    *networkOrder = ToNetwork(host);
    return true;
}

}  // namespace talven::platform::sockets

namespace winsock {

using namespace talven::platform::sockets;

u_long inet_addr(const char* cp) {
    std::uint32_t addr = 0;
    return ParseDotted(cp, &addr) ? addr : INADDR_NONE;
}

char* inet_ntoa(in_addr in) {
    std::snprintf(t_dotted, sizeof t_dotted, "%u.%u.%u.%u", in.S_un.S_un_b.s_b1,
                  in.S_un.S_un_b.s_b2, in.S_un.S_un_b.s_b3, in.S_un.S_un_b.s_b4);
    return t_dotted;
}

u_short htons(u_short v) {
    const unsigned char bytes[2] = {static_cast<unsigned char>(v >> 8), static_cast<unsigned char>(v)};
    u_short out;
    std::memcpy(&out, bytes, sizeof out);
    return out;
}

u_short ntohs(u_short v) {
    unsigned char bytes[2];
    std::memcpy(bytes, &v, sizeof bytes);
    return static_cast<u_short>((bytes[0] << 8) | bytes[1]);
}

u_long htonl(u_long v) { return ToNetwork(v); }
u_long ntohl(u_long v) { return FromNetwork(v); }

}  // namespace winsock
