// The WinSock calls that the socket seam can script, on Windows: the seam's step, then the
// system's call; and event selection, which a linked seam (test programs only) is told of, so
// that it can post what a scripted step implies. Without a seam each call is the system's.
//
// A scripted step does not touch the socket, so WinSock cannot know what it stands for. Where
// the real call would have led WinSock to post an event, the seam posts it, to the window and
// with the message of the socket's selection, and only for the events selected:
//   - send, WouldBlock: FD_WRITE, at once when the socket can take data; when it cannot, the
//     call goes to the system instead, whose own would-block arms WinSock's FD_WRITE;
//   - recv, Data with further steps waiting: FD_READ (recv re-enables it, and "data" remains);
//   - recv, an empty Data step (the peer's close): FD_CLOSE with error 0.
#include <climits>

#include "platform/winsock/seam_hooks.h"

namespace talven::platform::sockets {
namespace {

// Posts `event` for s through the seam, which knows the socket's selection.
void PostEvent(SOCKET s, long event, int error) {
    seam::Linked()->PostSelected(s, event, error);
}

bool CanTakeData(SOCKET s) {
    fd_set writable;
    FD_ZERO(&writable);
    FD_SET(s, &writable);
    timeval now{0, 0};
    return ::select(0, nullptr, &writable, nullptr, &now) == 1;
}

int Fail(int error) {
    ::WSASetLastError(error);
    return SOCKET_ERROR;
}

// The seam's part in a recv: true when it decided the result (in result) by itself; may
// shorten len for a Take step.
bool ScriptedRecv(SOCKET s, char* buf, int& len, int& result) {
    const seam::Action a = seam::NextRecv(s, buf, len);
    switch (a.kind) {
        case seam::Action::Real:
            return false;
        case seam::Action::Limit:
            if (a.count < len) len = a.count < 0 ? 0 : a.count;
            return false;
        case seam::Action::Data:
            if (a.count == 0 && len > 0) {
                PostEvent(s, FD_CLOSE, 0);
            } else if (a.more) {
                PostEvent(s, FD_READ, 0);
            }
            result = a.count;
            return true;
        case seam::Action::WouldBlock:
            result = Fail(WSAEWOULDBLOCK);
            return true;
        case seam::Action::Fail:
            result = Fail(a.error);
            return true;
    }
    return false;
}

// The seam's part in a send, as for ScriptedRecv.
bool ScriptedSend(SOCKET s, int& len, int& result) {
    const seam::Action a = seam::NextSend(s);
    switch (a.kind) {
        case seam::Action::Real:
        case seam::Action::Data:
            return false;
        case seam::Action::Limit:
            if (a.count < len) len = a.count < 0 ? 0 : a.count;
            return false;
        case seam::Action::WouldBlock:
            if (!CanTakeData(s)) {
                return false;
            }
            PostEvent(s, FD_WRITE, 0);
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

using namespace talven::platform::sockets;

SOCKET accept(SOCKET s, sockaddr* addr, int* addrlen) {
    const SOCKET accepted = ::accept(s, addr, addrlen);
    if (accepted != INVALID_SOCKET) {
        if (seam::Seam* linked = seam::Linked()) {
            linked->InheritSelection(s, accepted);  // as WinSock gives it the listener's
        }
    }
    return accepted;
}

int recv(SOCKET s, char* buf, int len, int flags) {
    int result = 0;
    if (seam::Installed() && ScriptedRecv(s, buf, len, result)) {
        return result;
    }
    return ::recv(s, buf, len, flags);
}

int recvfrom(SOCKET s, char* buf, int len, int flags, sockaddr* from, int* fromlen) {
    int result = 0;
    if (seam::Installed() && ScriptedRecv(s, buf, len, result)) {
        return result;
    }
    return ::recvfrom(s, buf, len, flags, from, fromlen);
}

int send(SOCKET s, const char* buf, int len, int flags) {
    if (!seam::Installed()) {
        return ::send(s, buf, len, flags);
    }
    const int offered = len;
    int result = 0;
    if (!ScriptedSend(s, len, result)) {
        result = ::send(s, buf, len, flags);
    }
    seam::NoteSend(s, false, 1, offered, result);
    return result;
}

int SendGathered(SOCKET s, const WSABUF* buffers, int count, int flags) {
    constexpr int kMaxBuffers = 1024;
    if (count < 0 || count > kMaxBuffers) return Fail(WSAEINVAL);
    if (count > 0 && buffers == nullptr) return Fail(WSAEFAULT);
    long long total = 0;
    for (int i = 0; i < count; ++i) {
        total += buffers[i].len;
    }
    if (total > INT_MAX) return Fail(WSAEINVAL);
    int len = static_cast<int>(total);
    int result = 0;
    const bool scripted = seam::Installed();
    if (!scripted || !ScriptedSend(s, len, result)) {
        // WSASend takes the array as writable; a Take step lets only the first `len` bytes
        // through.
        WSABUF own[kMaxBuffers];
        int n = 0;
        for (int left = len; n < count && left > 0; ++n) {
            own[n] = buffers[n];
            if (static_cast<int>(own[n].len) > left) own[n].len = static_cast<ULONG>(left);
            left -= static_cast<int>(own[n].len);
        }
        DWORD sent = 0;
        result = n == 0 ? 0
                 : ::WSASend(s, own, static_cast<DWORD>(n), &sent, static_cast<DWORD>(flags), nullptr, nullptr) == 0
                     ? static_cast<int>(sent)
                     : SOCKET_ERROR;
    }
    if (scripted) {
        seam::NoteSend(s, true, count, static_cast<int>(total), result);
    }
    return result;
}

int sendto(SOCKET s, const char* buf, int len, int flags, const sockaddr* to, int tolen) {
    int result = 0;
    if (seam::Installed()) {
        if (seam::CaptureSendTo(s, to, tolen, buf, len)) {
            return len;
        }
        if (ScriptedSend(s, len, result)) {
            return result;
        }
    }
    return ::sendto(s, buf, len, flags, to, tolen);
}

int closesocket(SOCKET s) {
    if (seam::Seam* linked = seam::Linked()) {
        linked->Forget(s);
    }
    return ::closesocket(s);
}

hostent* gethostbyname(const char* name) {
    if (seam::Installed() && name != nullptr) {
        if (const int error = seam::LookupFailure(name)) {
            Fail(error);
            return nullptr;
        }
    }
    return ::gethostbyname(name);
}

int WSAAsyncSelect(SOCKET s, HWND hwnd, UINT msg, long events) {
    const int result = ::WSAAsyncSelect(s, hwnd, msg, events);
    if (result == 0) {
        if (seam::Seam* linked = seam::Linked()) {
            linked->NoteSelection(s, hwnd, msg, events);
        }
    }
    return result;
}

}  // namespace winsock
