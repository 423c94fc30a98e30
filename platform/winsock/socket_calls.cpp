// The BSD socket calls of WinSock: argument checks, the socket seam, the POSIX call, error
// translation, and the event-selection hooks, in that order.
#include <climits>
#include <cstdint>

#include "platform/winsock/async_select.h"
#include "platform/winsock/posix_socket.h"
#include "platform/winsock/seam_hooks.h"
#include "platform/winsock/wsa_error.h"

namespace talven::platform::sockets {
namespace {

constexpr int kAddressLength = static_cast<int>(sizeof(winsock::sockaddr_in));
constexpr int kDontRoute = 0x4;  // WinSock's MSG_DONTROUTE
constexpr int kKnownFlags = MSG_OOB | MSG_PEEK | kDontRoute;

int AdapterFlags(int flags) {
    int out = 0;
    if (flags & MSG_OOB) out |= posix::kFlagOob;
    if (flags & MSG_PEEK) out |= posix::kFlagPeek;
    if (flags & kDontRoute) out |= posix::kFlagDontRoute;
    return out;
}

// Checks an address given to bind/connect/sendto. WinSock refuses a short length with
// WSAEFAULT; only IPv4 is offered.
bool CheckAddress(const winsock::sockaddr* name, int namelen, bool unspecAllowed) {
    if (name == nullptr || namelen < kAddressLength) {
        Fail(WSAEFAULT);
        return false;
    }
    if (name->sa_family != AF_INET && !(unspecAllowed && name->sa_family == AF_UNSPEC)) {
        Fail(WSAEAFNOSUPPORT);
        return false;
    }
    return true;
}

// Checks the optional buffer that receives a peer's address (accept, recvfrom). Without a
// buffer the length is ignored, as in WinSock.
bool CheckAddressOut(const winsock::sockaddr* addr, const int* addrlen) {
    if (addr == nullptr) {
        return true;
    }
    if (addrlen == nullptr || *addrlen < kAddressLength) {
        Fail(WSAEFAULT);
        return false;
    }
    return true;
}

// Checks the buffer and flags of a data transfer.
bool CheckTransfer(const char* buf, int len, int flags) {
    if (len < 0 || (buf == nullptr && len > 0)) {
        Fail(WSAEFAULT);
        return false;
    }
    if (flags & ~kKnownFlags) {
        Fail(WSAEOPNOTSUPP);
        return false;
    }
    return true;
}

// Ends a recv/recvfrom: the selection sees every outcome, then the result is reported.
int FinishRecv(int fd, long r, int len, int flags, bool scriptedMore) {
    int error = 0;
    if (r < 0) {
        error = WsaErrorFromErrno(static_cast<int>(-r));
        if (error != WSAEWOULDBLOCK) error = selection::TransferError(fd, error, false);
    } else if (r == 0 && len > 0) {
        // A reset already reported once is reported again, not taken for an orderly end.
        error = selection::EndedCode(fd);
        if (error != 0) r = -1;
    }
    selection::AfterRecv(fd, r < 0 ? -1 : r, len, flags, error, scriptedMore);
    return r < 0 ? Fail(error) : static_cast<int>(r);
}

int FinishSend(int fd, long r) {
    if (r >= 0) {
        return static_cast<int>(r);
    }
    int error = WsaErrorFromErrno(static_cast<int>(-r));
    if (error == WSAEWOULDBLOCK) {
        selection::AfterSendWouldBlock(fd);
    } else {
        error = selection::TransferError(fd, error, true);
        selection::AfterSendFailed(fd, error);
    }
    return Fail(error);
}

// The seam's part in a recv: true when it decided the result (in result) by itself; may
// shorten len for a Limit step.
bool ScriptedRecv(SOCKET s, int fd, char* buf, int& len, int flags, int& result) {
    const seam::Action a = seam::NextRecv(s, buf, len);
    switch (a.kind) {
        case seam::Action::Real:
            return false;
        case seam::Action::Limit:
            if (a.count < len) len = a.count < 0 ? 0 : a.count;
            return false;
        case seam::Action::Data:
            selection::AfterRecv(fd, a.count, len, flags, 0, a.more);
            result = a.count;
            return true;
        case seam::Action::WouldBlock:
        case seam::Action::Fail: {
            const int error = a.kind == seam::Action::WouldBlock ? WSAEWOULDBLOCK : a.error;
            selection::AfterRecv(fd, -1, len, flags, error, a.more);
            result = Fail(error);
            return true;
        }
    }
    return false;
}

// The seam's part in a send, as for ScriptedRecv.
bool ScriptedSend(SOCKET s, int fd, int& len, int& result) {
    const seam::Action a = seam::NextSend(s);
    switch (a.kind) {
        case seam::Action::Real:
        case seam::Action::Data:
            return false;
        case seam::Action::Limit:
            if (a.count < len) len = a.count < 0 ? 0 : a.count;
            return false;
        case seam::Action::WouldBlock:
            selection::AfterSendWouldBlock(fd);
            result = Fail(WSAEWOULDBLOCK);
            return true;
        case seam::Action::Fail:
            result = Fail(a.error);
            return true;
    }
    return false;
}

}  // namespace
}  // namespace talven::platform::sockets

namespace winsock {

using namespace talven::platform;
using namespace talven::platform::sockets;

SOCKET socket(int af, int type, int protocol) {
    if (!CheckStarted()) return INVALID_SOCKET;
    if (af != AF_INET) {
        Fail(WSAEAFNOSUPPORT);
        return INVALID_SOCKET;
    }
    const int fd = posix::Socket(af, type, protocol);
    if (fd < 0) {
        FailErrno(fd);
        return INVALID_SOCKET;
    }
    selection::SocketCreated(fd);
    return static_cast<SOCKET>(fd);
}

int bind(SOCKET s, const sockaddr* name, int namelen) {
    if (!CheckStarted()) return SOCKET_ERROR;
    const int fd = Descriptor(s);
    if (fd < 0 || !CheckAddress(name, namelen, false)) return SOCKET_ERROR;
    const int r = posix::Bind(fd, name, kAddressLength);
    return r < 0 ? FailErrno(r) : 0;
}

int connect(SOCKET s, const sockaddr* name, int namelen) {
    if (!CheckStarted()) return SOCKET_ERROR;
    const int fd = Descriptor(s);
    if (fd < 0 || !CheckAddress(name, namelen, true)) return SOCKET_ERROR;
    const long r = selection::AfterConnect(fd, posix::Connect(fd, name, kAddressLength));
    return r < 0 ? FailErrno(r) : 0;
}

int listen(SOCKET s, int backlog) {
    if (!CheckStarted()) return SOCKET_ERROR;
    const int fd = Descriptor(s);
    if (fd < 0) return SOCKET_ERROR;
    const int r = posix::Listen(fd, backlog);
    if (r < 0) return FailErrno(r);
    selection::AfterListen(fd);
    return 0;
}

SOCKET accept(SOCKET s, sockaddr* addr, int* addrlen) {
    if (!CheckStarted()) return INVALID_SOCKET;
    const int fd = Descriptor(s);
    if (fd < 0 || !CheckAddressOut(addr, addrlen)) return INVALID_SOCKET;
    if (addr == nullptr) addrlen = nullptr;
    std::uint32_t len = addrlen != nullptr ? static_cast<std::uint32_t>(*addrlen) : 0;
    // A socket accepted from a selected listener starts non-blocking, like its listener.
    const int r = posix::Accept(fd, addr, addrlen != nullptr ? &len : nullptr,
                                selection::IsSelected(fd));
    if (r >= 0) {
        selection::SocketCreated(r);
    }
    selection::AfterAccept(fd, r);
    if (r < 0) {
        FailErrno(r);
        return INVALID_SOCKET;
    }
    if (addrlen != nullptr) {
        *addrlen = static_cast<int>(len);
    }
    return static_cast<SOCKET>(r);
}

int recv(SOCKET s, char* buf, int len, int flags) {
    if (!CheckStarted()) return SOCKET_ERROR;
    const int fd = Descriptor(s);
    if (fd < 0 || !CheckTransfer(buf, len, flags)) return SOCKET_ERROR;
    int result = 0;
    if (seam::Installed() && ScriptedRecv(s, fd, buf, len, flags, result)) {
        return result;
    }
    // The read loop's last recv, which would only find the socket empty again.
    if (flags == 0 && len > 0 && selection::TakeDrained(fd)) {
        return Fail(WSAEWOULDBLOCK);
    }
    const long r = posix::Recv(fd, buf, static_cast<std::size_t>(len), AdapterFlags(flags));
    return FinishRecv(fd, r, len, flags, false);
}

int recvfrom(SOCKET s, char* buf, int len, int flags, sockaddr* from, int* fromlen) {
    if (!CheckStarted()) return SOCKET_ERROR;
    const int fd = Descriptor(s);
    if (fd < 0 || !CheckTransfer(buf, len, flags) || !CheckAddressOut(from, fromlen)) {
        return SOCKET_ERROR;
    }
    int result = 0;
    if (seam::Installed() && ScriptedRecv(s, fd, buf, len, flags, result)) {
        return result;
    }
    if (from == nullptr) fromlen = nullptr;
    std::uint32_t fl = fromlen != nullptr ? static_cast<std::uint32_t>(*fromlen) : 0;
    const long r = posix::RecvFrom(fd, buf, static_cast<std::size_t>(len), AdapterFlags(flags),
                                   from, fromlen != nullptr ? &fl : nullptr);
    if (r >= 0 && fromlen != nullptr) {
        *fromlen = static_cast<int>(fl);
    }
    return FinishRecv(fd, r, len, flags, false);
}

int send(SOCKET s, const char* buf, int len, int flags) {
    if (!CheckStarted()) return SOCKET_ERROR;
    const int fd = Descriptor(s);
    if (fd < 0 || !CheckTransfer(buf, len, flags)) return SOCKET_ERROR;
    if (!seam::Installed()) {
        return FinishSend(fd, posix::Send(fd, buf, static_cast<std::size_t>(len), AdapterFlags(flags)));
    }
    const int offered = len;
    int result = 0;
    if (!ScriptedSend(s, fd, len, result)) {
        result = FinishSend(fd, posix::Send(fd, buf, static_cast<std::size_t>(len), AdapterFlags(flags)));
    }
    seam::NoteSend(s, false, 1, offered, result);
    return result;
}

int SendGathered(SOCKET s, const WSABUF* buffers, int count, int flags) {
    if (!CheckStarted()) return SOCKET_ERROR;
    const int fd = Descriptor(s);
    if (fd < 0) return SOCKET_ERROR;
    if (count < 0 || count > posix::kMaxPieces) return Fail(WSAEINVAL);
    if (count > 0 && buffers == nullptr) return Fail(WSAEFAULT);
    if (!CheckTransfer(nullptr, 0, flags)) return SOCKET_ERROR;
    long long total = 0;
    for (int i = 0; i < count; ++i) {
        if (buffers[i].buf == nullptr && buffers[i].len > 0) return Fail(WSAEFAULT);
        total += buffers[i].len;
    }
    if (total > INT_MAX) return Fail(WSAEINVAL);
    int len = static_cast<int>(total);
    int result = 0;
    const bool scripted = seam::Installed();
    if (!scripted || !ScriptedSend(s, fd, len, result)) {
        // A Take step lets only the first `len` bytes through.
        posix::Piece pieces[posix::kMaxPieces];
        int n = 0;
        for (int left = len; n < count && left > 0; ++n) {
            const int take = static_cast<int>(buffers[n].len) < left ? static_cast<int>(buffers[n].len) : left;
            pieces[n] = posix::Piece{buffers[n].buf, static_cast<std::size_t>(take)};
            left -= take;
        }
        result = FinishSend(fd, posix::SendGathered(fd, pieces, n, AdapterFlags(flags)));
    }
    if (scripted) {
        seam::NoteSend(s, true, count, static_cast<int>(total), result);
    }
    return result;
}

int sendto(SOCKET s, const char* buf, int len, int flags, const sockaddr* to, int tolen) {
    if (!CheckStarted()) return SOCKET_ERROR;
    const int fd = Descriptor(s);
    if (fd < 0 || !CheckTransfer(buf, len, flags)) return SOCKET_ERROR;
    // No destination is allowed on a connected socket; a given one must be a full address.
    if (to != nullptr && !CheckAddress(to, tolen, false)) return SOCKET_ERROR;
    int result = 0;
    if (seam::Installed()) {
        if (seam::CaptureSendTo(s, to, tolen, buf, len)) {
            return len;
        }
        if (ScriptedSend(s, fd, len, result)) {
            return result;
        }
    }
    return FinishSend(fd, posix::SendTo(fd, buf, static_cast<std::size_t>(len), AdapterFlags(flags),
                                        to, to != nullptr ? kAddressLength : 0));
}

int shutdown(SOCKET s, int how) {
    if (!CheckStarted()) return SOCKET_ERROR;
    const int fd = Descriptor(s);
    if (fd < 0) return SOCKET_ERROR;
    if (how != SD_RECEIVE && how != SD_SEND && how != SD_BOTH) return Fail(WSAEINVAL);
    const int r = posix::Shutdown(fd, how);
    if (r < 0) return FailErrno(r);
    selection::AfterShutdown(fd, how);
    return 0;
}

int closesocket(SOCKET s) {
    if (!CheckStarted()) return SOCKET_ERROR;
    const int fd = Descriptor(s);
    if (fd < 0) return SOCKET_ERROR;
    // Only sockets: a stray handle must not close a file or the standard streams.
    const int check = posix::CheckSocket(fd);
    if (check < 0) return FailErrno(check);
    // Order matters: the selection is cancelled and its queued notifications removed while the
    // descriptor still exists, so its number cannot yet belong to another socket.
    selection::BeforeClose(fd);
    if (seam::Installed()) {
        seam::Forget(s);
    }
    const int r = posix::Close(fd);
    return r < 0 ? FailErrno(r) : 0;
}

int getpeername(SOCKET s, sockaddr* name, int* namelen) {
    if (!CheckStarted()) return SOCKET_ERROR;
    const int fd = Descriptor(s);
    if (fd < 0) return SOCKET_ERROR;
    if (name == nullptr || namelen == nullptr || *namelen < kAddressLength) return Fail(WSAEFAULT);
    std::uint32_t len = static_cast<std::uint32_t>(*namelen);
    const int r = posix::GetPeerName(fd, name, &len);
    if (r < 0) return FailErrno(r);
    *namelen = static_cast<int>(len);
    return 0;
}

int getsockname(SOCKET s, sockaddr* name, int* namelen) {
    if (!CheckStarted()) return SOCKET_ERROR;
    const int fd = Descriptor(s);
    if (fd < 0) return SOCKET_ERROR;
    if (name == nullptr || namelen == nullptr || *namelen < kAddressLength) return Fail(WSAEFAULT);
    std::uint32_t len = static_cast<std::uint32_t>(*namelen);
    const int r = posix::GetSockName(fd, name, &len);
    if (r < 0) return FailErrno(r);
    // An unbound socket has no name in WinSock (POSIX reports 0.0.0.0:0).
    const auto* in = reinterpret_cast<const sockaddr_in*>(name);
    if (in->sin_port == 0 && in->sin_addr.S_un.S_addr == 0) return Fail(WSAEINVAL);
    *namelen = static_cast<int>(len);
    return 0;
}

}  // namespace winsock
