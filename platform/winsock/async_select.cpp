// WSAAsyncSelect, the I/O callback of the message wait, and the hooks of the socket calls.
#include "platform/winsock/async_select.h"

#include <mutex>

#include "platform/user32/reactor.h"
#include "platform/winsock/SelectionTable.h"
#include "platform/winsock/posix_socket.h"
#include "platform/winsock/wsa_error.h"

namespace talven::platform::sockets::selection {
namespace {

constexpr long kAllEvents = FD_READ | FD_WRITE | FD_OOB | FD_ACCEPT | FD_CONNECT | FD_CLOSE;

// Runs on the thread whose wait reported the descriptor.
void OnIo(std::uint64_t token, std::uint32_t epollEvents) {
    const int fd = static_cast<int>(token & 0xffffffffu);
    if (Selection* s = SelectionTable::Find(fd)) {
        s->OnReady(fd, static_cast<std::uint32_t>(token >> 32), epollEvents);
    }
}

void InstallCallback() {
    static std::once_flag once;
    std::call_once(once, [] { reactor::SetIoCallback(&OnIo); });
}

Selection* Find(int fd) {
    return SelectionTable::Find(fd);
}

}  // namespace

void SocketCreated(int fd) {
    if (Selection* s = Find(fd)) {
        s->Forget(fd);
    }
}

void BeforeClose(int fd) {
    if (Selection* s = Find(fd)) {
        s->Forget(fd);
    }
}

bool IsSelected(int fd) {
    const Selection* s = Find(fd);
    return s != nullptr && s->selected();
}

void AfterSendWouldBlock(int fd) {
    Selection* s = Find(fd);
    if (s != nullptr && s->selected()) {
        s->OnSendWouldBlock(fd);
    }
}

void AfterSendFailed(int fd, int wsaError) {
    Selection* s = Find(fd);
    if (s != nullptr && s->selected()) {
        s->OnSendFailed(wsaError);
    }
}

long AfterConnect(int fd, long result) {
    Selection* s = Find(fd);
    return s != nullptr && s->selected() ? s->OnConnect(fd, result) : result;
}

void AfterListen(int fd) {
    Selection* s = Find(fd);
    if (s != nullptr && s->selected()) {
        s->OnListen(fd);
    }
}

void AfterShutdown(int fd, int how) {
    if (how == SD_SEND || how == SD_BOTH) {
        if (Selection* s = SelectionTable::Get(fd)) {
            s->NoteSendShutdown();
        }
    }
}

int TransferError(int fd, int wsaError, bool sending) {
    if (wsaError == WSAESHUTDOWN) {
        const Selection* s = Find(fd);
        if (sending && s != nullptr && s->sendShutdown()) {
            return WSAESHUTDOWN;
        }
        const int ended = s != nullptr ? s->endedCode() : 0;
        wsaError = ended != 0 ? ended : WSAECONNRESET;
    }
    NoteEnded(fd, wsaError);
    return wsaError;
}

int EndedCode(int fd) {
    const Selection* s = Find(fd);
    return s != nullptr ? s->endedCode() : 0;
}

void NoteEnded(int fd, int wsaError) {
    if (wsaError != WSAECONNRESET && wsaError != WSAECONNABORTED && wsaError != WSAENETRESET &&
        wsaError != WSAETIMEDOUT) {
        return;
    }
    if (Selection* s = SelectionTable::Get(fd)) {
        s->NoteEnded(wsaError);
    }
}

void AfterAccept(int listener, int accepted) {
    Selection* s = Find(listener);
    Inherited from;
    if (s == nullptr || !s->selected() || !s->OnAccept(listener, accepted, &from)) {
        return;
    }
    Selection* child = SelectionTable::Get(accepted);
    if (child != nullptr) {
        child->Select(accepted, from.hwnd, from.msg, from.events, from.thread,
                      posix::SocketState::Connected);
    }
}

}  // namespace talven::platform::sockets::selection

int WSAAsyncSelect(SOCKET s, HWND hwnd, UINT msg, long events) {
    using namespace talven::platform;
    using namespace talven::platform::sockets;
    if (!CheckStarted()) return SOCKET_ERROR;
    const int fd = Descriptor(s);
    if (fd < 0) return SOCKET_ERROR;
    posix::SocketState state = posix::SocketState::Unconnected;
    const int q = posix::QueryState(fd, &state);
    if (q < 0) return FailErrno(q);
    if ((events & ~selection::kAllEvents) != 0) return Fail(WSAEINVAL);
    const DWORD thread = events != 0 ? reactor::WindowThread(hwnd) : 0;
    if (events != 0 && thread == 0) return Fail(WSAEINVAL);
    // Non-blocking whatever events is, 0 included, and it stays so after a cancel.
    const int nb = posix::SetNonBlocking(fd, true);
    if (nb < 0) return FailErrno(nb);
    if (events == 0) {
        // A cancel also removes what is already queued, so nothing of the selection arrives
        // after it. The window may already be gone: that is no error.
        if (Selection* sel = SelectionTable::Find(fd)) {
            sel->Cancel(fd);
        }
        return 0;
    }
    selection::InstallCallback();
    Selection* sel = SelectionTable::Get(fd);
    if (sel == nullptr) return Fail(WSAENOBUFS);
    if (!sel->Select(fd, hwnd, msg, events, thread, state)) return Fail(WSAEINVAL);
    return 0;
}
