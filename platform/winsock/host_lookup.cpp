// gethostbyname and gethostname. The host entry lives in storage of the calling thread, so
// lookups on different threads never share or overwrite each other's results. That storage
// is made on the thread's first lookup: kept out of the library's thread-local block, it does
// not weigh on the static TLS that a late (dlopen) load of the library must find free.
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

#include "platform/winsock/address_text.h"
#include "platform/winsock/posix_socket.h"
#include "platform/winsock/seam_hooks.h"
#include "platform/winsock/wsa_error.h"

namespace talven::platform::sockets {
namespace {

constexpr int kMaxAddresses = 35;     // as many as WinSock's own host entry holds
constexpr std::size_t kMaxName = 255;  // the longest host name DNS can carry

// A thread's host entry and everything it points into.
struct HostEntryStorage {
    winsock::hostent entry;
    char name[kMaxName + 1];
    char* aliases[1];
    std::uint32_t addresses[kMaxAddresses];
    char* addressList[kMaxAddresses + 1];
};

thread_local std::unique_ptr<HostEntryStorage> t_host;

// Null, with WSAENOBUFS, when the thread's entry cannot be made.
winsock::hostent* Fill(const char* name, const std::uint32_t* addrs, int count) {
    if (!t_host) {
        try {
            t_host = std::make_unique<HostEntryStorage>();
        } catch (const std::bad_alloc&) {
            Fail(WSAENOBUFS);
            return nullptr;
        }
    }
    HostEntryStorage& h = *t_host;
    const std::size_t n = strnlen(name, kMaxName);
    std::memcpy(h.name, name, n);
    h.name[n] = '\0';
    h.aliases[0] = nullptr;
    for (int i = 0; i < count; ++i) {
        h.addresses[i] = addrs[i];
        h.addressList[i] = reinterpret_cast<char*>(&h.addresses[i]);
    }
    h.addressList[count] = nullptr;
    h.entry.h_name = h.name;
    h.entry.h_aliases = h.aliases;
    h.entry.h_addrtype = AF_INET;
    h.entry.h_length = 4;
    h.entry.h_addr_list = h.addressList;
    return &h.entry;
}

bool IsLabelChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           c == '-' || c == '_';
}

// A name that no resolver could answer: empty, too long, with characters outside host-name
// syntax (blanks included), an empty label ("a..b", ".a"), a label over 63 characters, or
// all-numeric labels that are not a dotted address ("1.2.3.256"). Refused without asking.
bool IsWellFormedName(const char* name) {
    const std::size_t len = std::strlen(name);
    if (len == 0 || len > kMaxName) return false;
    std::size_t labelLen = 0;
    bool lastLabelNumeric = true;
    bool labelNumeric = true;
    for (std::size_t i = 0; i < len; ++i) {
        const char c = name[i];
        if (c == '.') {
            if (labelLen == 0) return false;
            lastLabelNumeric = labelNumeric;
            labelLen = 0;
            labelNumeric = true;
            continue;
        }
        if (!IsLabelChar(c) || ++labelLen > 63) return false;
        labelNumeric = labelNumeric && c >= '0' && c <= '9';
    }
    if (labelLen > 0) {
        lastLabelNumeric = labelNumeric;  // a single trailing dot ends the name harmlessly
    }
    return !lastLabelNumeric;
}

}  // namespace
}  // namespace talven::platform::sockets

namespace winsock {

using namespace talven::platform;
using namespace talven::platform::sockets;

hostent* gethostbyname(const char* name) {
    if (!CheckStarted()) return nullptr;
    if (name == nullptr) {
        Fail(WSAEFAULT);
        return nullptr;
    }
    if (seam::Installed()) {
        if (const int error = seam::LookupFailure(name)) {
            Fail(error);
            return nullptr;
        }
    }
    // Dotted numbers need no resolver; this also admits "255.255.255.255".
    std::uint32_t dotted = 0;
    if (ParseDotted(name, &dotted)) {
        return Fill(name, &dotted, 1);
    }
    if (!IsWellFormedName(name)) {
        Fail(WSAHOST_NOT_FOUND);
        return nullptr;
    }
    std::uint32_t addrs[kMaxAddresses];
    char canon[kMaxName + 1];
    const int n = posix::ResolveIPv4(name, addrs, kMaxAddresses, canon, sizeof canon);
    if (n < 0) {
        Fail(WsaErrorFromLookup(n));
        return nullptr;
    }
    return Fill(canon, addrs, n);
}

int gethostname(char* name, int namelen) {
    if (!CheckStarted()) return SOCKET_ERROR;
    if (name == nullptr || namelen <= 0) return Fail(WSAEFAULT);
    char buf[kMaxName + 1];
    const int r = posix::HostName(buf, sizeof buf);
    if (r < 0) return FailErrno(r);
    buf[kMaxName] = '\0';
    const std::size_t len = std::strlen(buf);
    if (len + 1 > static_cast<std::size_t>(namelen)) return Fail(WSAEFAULT);
    std::memcpy(name, buf, len + 1);
    return 0;
}

}  // namespace winsock
