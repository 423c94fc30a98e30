#include "socket/CQmAsyncSocket.h"

#include <cstring>
#include <new>

#include "socket/QmConnectAttempt.h"
#include "socket/ClosedSocketEvents.h"
#include "socket/QmSocket.h"

namespace {

using winsock::sockaddr;
using winsock::sockaddr_in;

constexpr int kAddrLen = static_cast<int>(sizeof(sockaddr_in));  // 16
constexpr int kDrainChunk = 1024;
// Bound of Close's drain: a peer that keeps sending cannot keep Close reading. What is left
// unread then turns the close into a reset, the sound end for such a peer.
constexpr int kDrainReads = 64;
constexpr int kHostNameLen = 255;

static_assert(sizeof(sockaddr_in) == 16, "an IPv4 address is 16 bytes");

int ResultOf(int winsockResult) {
    return winsockResult == SOCKET_ERROR ? 0 : 1;
}

// A zeroed IPv4 address; only the low 16 bits of the port count.
sockaddr_in MakeAddress(UINT port, winsock::u_long netAddress) {
    sockaddr_in addr;
    std::memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = winsock::htons(static_cast<winsock::u_short>(port & 0xFFFFu));
    addr.sin_addr.s_addr = netAddress;
    return addr;
}

// The first IPv4 address of a host entry; false when the entry has none.
bool FirstAddress(const winsock::hostent* host, winsock::in_addr& out) {
    if (host == nullptr || host->h_addrtype != AF_INET ||
        host->h_length != static_cast<short>(sizeof(winsock::in_addr)) ||
        host->h_addr_list == nullptr || host->h_addr_list[0] == nullptr) {
        return false;
    }
    std::memcpy(&out, host->h_addr_list[0], sizeof out);
    return true;
}

// Dotted numbers first, then a name lookup. False when neither gives an address.
bool ResolveHost(const char* host, winsock::u_long& netAddress) {
    netAddress = winsock::inet_addr(host);
    if (netAddress != INADDR_NONE) {
        return true;
    }
    winsock::in_addr first;
    if (!FirstAddress(winsock::gethostbyname(host), first)) {
        return false;
    }
    netAddress = first.s_addr;
    return true;
}

// Whether SO_LINGER is on with a time of 0 (a query that fails counts as no).
bool AbortiveClose(SOCKET s) {
    winsock::linger option;
    std::memset(&option, 0, sizeof option);
    int len = static_cast<int>(sizeof option);
    return winsock::getsockopt(s, SOL_SOCKET, SO_LINGER, reinterpret_cast<char*>(&option), &len) !=
               SOCKET_ERROR &&
           option.l_onoff != 0 && option.l_linger == 0;
}

sockaddr* AsSockaddr(sockaddr_in& addr) {
    return reinterpret_cast<sockaddr*>(&addr);
}

// The text form of getpeername or getsockname: the dotted address and the port, written only
// on success. (A template: the calls' calling convention is the system's.)
template <typename Query>
int QueryAddress(Query query, SOCKET s, CString& address, UINT& port) {
    sockaddr_in addr;
    std::memset(&addr, 0, sizeof addr);
    int addrLen = kAddrLen;
    if (query(s, AsSockaddr(addr), &addrLen) == SOCKET_ERROR) {
        return 0;
    }
    port = winsock::ntohs(addr.sin_port);
    address = winsock::inet_ntoa(addr.sin_addr);
    return 1;
}

}  // namespace

CQmAsyncSocket::CQmAsyncSocket() : m_hNotifyWnd(nullptr), m_hSocket(INVALID_SOCKET) {}

CQmAsyncSocket::CQmAsyncSocket(const CQmAsyncSocket& other)
    : m_hNotifyWnd(other.m_hNotifyWnd), m_hSocket(other.m_hSocket), m_pConnect() {}

CQmAsyncSocket& CQmAsyncSocket::operator=(const CQmAsyncSocket& other) {
    m_hNotifyWnd = other.m_hNotifyWnd;
    m_hSocket = other.m_hSocket;
    return *this;
}

CQmAsyncSocket::~CQmAsyncSocket() {
    if (m_pConnect) {
        m_pConnect->Abandon();
    }
    if (m_hSocket != INVALID_SOCKET) {
        CQmAsyncSocket::Close();  // a derived class's Close is already gone here
    }
}

CQmAsyncSocket::operator SOCKET() const {
    return m_hSocket;
}

// ---- making the socket ----------------------------------------------------------------------

int CQmAsyncSocket::SetNotifyWnd(HWND wnd) {
    if (wnd == nullptr || !IsWindow(wnd)) {
        return 0;
    }
    m_hNotifyWnd = wnd;
    return 1;
}

int CQmAsyncSocket::Create(HWND wnd, UINT port, int type, long events, const char* address) {
    if (wnd == nullptr || !IsWindow(wnd)) {
        return 0;
    }
    m_hNotifyWnd = wnd;
    if (!Socket(type, events, 0, AF_INET)) {
        return 0;
    }
    if (Bind(port, address)) {
        return 1;
    }
    // The caller is to see why the bind failed, not what the clean-up left behind.
    const int bindError = WSAGetLastError();
    Close();
    WSASetLastError(bindError);
    return 0;
}

int CQmAsyncSocket::Socket(int type, long events, int protocol, int family) {
    if (m_hSocket != INVALID_SOCKET) {
        return 0;
    }
    m_hSocket = winsock::socket(family, type, protocol);
    if (m_hSocket == INVALID_SOCKET) {
        return 0;
    }
    return AsyncSelect(events);
}

int CQmAsyncSocket::AsyncSelect(long events) {
    if (m_hSocket == INVALID_SOCKET || m_hNotifyWnd == nullptr || !IsWindow(m_hNotifyWnd)) {
        return 0;
    }
    return ResultOf(winsock::WSAAsyncSelect(m_hSocket, m_hNotifyWnd, WM_SOCKET_NOTIFY, events));
}

// ---- addresses and connections ----------------------------------------------------------------

int CQmAsyncSocket::Bind(UINT port, const char* address) {
    winsock::u_long netAddress = winsock::htonl(INADDR_ANY);
    if (address != nullptr) {
        // Dotted numbers only: a local address is never looked up by name.
        netAddress = winsock::inet_addr(address);
        if (netAddress == INADDR_NONE) {
            WSASetLastError(WSAEINVAL);
            return 0;
        }
    }
    sockaddr_in addr = MakeAddress(port, netAddress);
    return Bind(AsSockaddr(addr), kAddrLen);
}

int CQmAsyncSocket::Bind(const sockaddr* addr, int addrLen) {
    return ResultOf(winsock::bind(m_hSocket, addr, addrLen));
}

int CQmAsyncSocket::Connect(const char* host, UINT port) {
    if (host == nullptr) {
        return 0;
    }
    winsock::u_long netAddress = 0;
    if (!ResolveHost(host, netAddress)) {
        WSASetLastError(WSAEINVAL);
        return 0;
    }
    sockaddr_in addr = MakeAddress(port, netAddress);
    const int result = ResultOf(winsock::connect(m_hSocket, AsSockaddr(addr), kAddrLen));
    if (result == 0 && m_pConnect && m_pConnect->timeout() != 0) {
        const int code = WSAGetLastError();
        if (code == WSAEWOULDBLOCK) {
            m_pConnect->ConnectPending();
            WSASetLastError(code);
        }
    }
    return result;
}

int CQmAsyncSocket::ConnectAsync(const char* host, UINT port) {
    if (host == nullptr || m_hNotifyWnd == nullptr || !IsWindow(m_hNotifyWnd)) {
        WSASetLastError(WSAEINVAL);
        return 0;
    }
    if (m_hSocket == INVALID_SOCKET) {
        WSASetLastError(WSAENOTSOCK);
        return 0;
    }
    try {
        return Attempt().Start(host, port);
    } catch (const std::bad_alloc&) {
        WSASetLastError(WSAENOBUFS);
        return 0;
    }
}

void CQmAsyncSocket::SetConnectTimeout(UINT ms) {
    if (ms == 0 && !m_pConnect) {
        return;
    }
    Attempt().SetTimeout(ms);
}

UINT CQmAsyncSocket::GetConnectTimeout() const {
    return m_pConnect ? m_pConnect->timeout() : 0;
}

int CQmAsyncSocket::StartWait(UINT ms, void (*fire)(CQmAsyncSocket&)) {
    try {
        return Attempt().StartWait(ms, fire) ? 1 : 0;
    } catch (const std::bad_alloc&) {
        return 0;
    }
}

bool CQmAsyncSocket::IsWaiting() const {
    return m_pConnect && m_pConnect->waiting();
}

QmConnectAttempt& CQmAsyncSocket::Attempt() {
    if (!m_pConnect) {
        m_pConnect = std::make_unique<QmConnectAttempt>(*this);
    }
    return *m_pConnect;
}

int CQmAsyncSocket::Connect(const sockaddr* addr, int addrLen) {
    return ResultOf(winsock::connect(m_hSocket, addr, addrLen));
}

int CQmAsyncSocket::Listen(int backlog) {
    return ResultOf(winsock::listen(m_hSocket, backlog));
}

int CQmAsyncSocket::Accept(CQmAsyncSocket& target, sockaddr* addr, int* addrLen) {
    const SOCKET accepted = winsock::accept(m_hSocket, addr, addrLen);
    target.m_hSocket = accepted;
    return accepted != INVALID_SOCKET ? 1 : 0;
}

int CQmAsyncSocket::ShutDown(int how) {
    return ResultOf(winsock::shutdown(m_hSocket, how));
}

// ---- data transfer ----------------------------------------------------------------------------

int CQmAsyncSocket::Receive(void* buffer, int length, int flags) {
    return winsock::recv(m_hSocket, static_cast<char*>(buffer), length, flags);
}

int CQmAsyncSocket::Send(const void* buffer, int length, int flags) {
    return winsock::send(m_hSocket, static_cast<const char*>(buffer), length, flags);
}

int CQmAsyncSocket::ReceiveFrom(void* buffer, int length, CString& address, UINT& port, int flags) {
    sockaddr_in from;
    std::memset(&from, 0, sizeof from);
    int fromLen = kAddrLen;
    const int result = winsock::recvfrom(m_hSocket, static_cast<char*>(buffer), length, flags,
                                         AsSockaddr(from), &fromLen);
    if (result != SOCKET_ERROR) {
        port = winsock::ntohs(from.sin_port);
        address = winsock::inet_ntoa(from.sin_addr);
    }
    return result;
}

int CQmAsyncSocket::ReceiveFrom(void* buffer, int length, sockaddr* addr, int* addrLen, int flags) {
    return winsock::recvfrom(m_hSocket, static_cast<char*>(buffer), length, flags, addr, addrLen);
}

int CQmAsyncSocket::SendTo(const void* buffer, int length, UINT port, const char* host, int flags) {
    winsock::u_long netAddress = winsock::htonl(INADDR_BROADCAST);
    if (host != nullptr && !ResolveHost(host, netAddress)) {
        WSASetLastError(WSAEINVAL);
        return SOCKET_ERROR;
    }
    sockaddr_in addr = MakeAddress(port, netAddress);
    return winsock::sendto(m_hSocket, static_cast<const char*>(buffer), length, flags,
                           AsSockaddr(addr), kAddrLen);
}

int CQmAsyncSocket::SendTo(const void* buffer, int length, const sockaddr* addr, int addrLen,
                           int flags) {
    return winsock::sendto(m_hSocket, static_cast<const char*>(buffer), length, flags, addr,
                           addrLen);
}

// ---- options and queries ----------------------------------------------------------------------

int CQmAsyncSocket::IOCtl(long command, winsock::u_long* argument) {
    return ResultOf(winsock::ioctlsocket(m_hSocket, command, argument));
}

// The member takes the option before the level; the WinSock call takes the level first.
int CQmAsyncSocket::SetSockOpt(int option, const void* value, int valueLength, int level) {
    return ResultOf(winsock::setsockopt(m_hSocket, level, option, static_cast<const char*>(value),
                                        valueLength));
}

int CQmAsyncSocket::GetSockOpt(int option, void* value, int* valueLength, int level) {
    return ResultOf(
        winsock::getsockopt(m_hSocket, level, option, static_cast<char*>(value), valueLength));
}

int CQmAsyncSocket::GetPeerName(sockaddr* addr, int* addrLen) {
    return ResultOf(winsock::getpeername(m_hSocket, addr, addrLen));
}

int CQmAsyncSocket::GetSockName(sockaddr* addr, int* addrLen) {
    return ResultOf(winsock::getsockname(m_hSocket, addr, addrLen));
}

int CQmAsyncSocket::GetPeerName(CString& address, UINT& port) {
    return QueryAddress(&winsock::getpeername, m_hSocket, address, port);
}

int CQmAsyncSocket::GetSockName(CString& address, UINT& port) {
    return QueryAddress(&winsock::getsockname, m_hSocket, address, port);
}

int CQmAsyncSocket::GetLocalIPAddrAndPort(char* address, UINT& port) {
    char hostName[kHostNameLen + 1];
    std::memset(hostName, 0, sizeof hostName);
    if (winsock::gethostname(hostName, kHostNameLen) != SOCKET_ERROR) {
        const winsock::hostent* host = winsock::gethostbyname(hostName);
        if (host != nullptr) {
            winsock::in_addr first;
            if (!FirstAddress(host, first)) {
                // A host entry without an IPv4 address: nothing to report.
                WSASetLastError(WSANO_DATA);
            } else {
                wsprintfA(address, "%s", winsock::inet_ntoa(first));
                sockaddr_in local;
                std::memset(&local, 0, sizeof local);
                int localLen = kAddrLen;
                if (winsock::getsockname(m_hSocket, AsSockaddr(local), &localLen) != SOCKET_ERROR) {
                    port = winsock::ntohs(local.sin_port);
                    return 1;
                }
            }
        }
    }
    QmGetWSAErrorString(WSAGetLastError(), g_strSocketError);
    return 0;
}

// ---- closing and events -----------------------------------------------------------------------

void CQmAsyncSocket::Close() {
    if (m_pConnect) {
        m_pConnect->Abandon();
    }
    if (m_hSocket == INVALID_SOCKET) {
        return;
    }
    if (m_hNotifyWnd != nullptr &&
        winsock::WSAAsyncSelect(m_hSocket, m_hNotifyWnd, 0, 0) == SOCKET_ERROR) {
        QmGetWSAErrorString(WSAGetLastError(), g_strSocketError);
    }
    // A socket whose selection never succeeded is still blocking, and its drain below would wait
    // for the peer. Non-blocking mode makes the drain stop at "would block" instead. This comes
    // after the cancel, since WinSock refuses FIONBIO while a selection is active; a socket whose
    // inherited selection could not be cancelled here is non-blocking already.
    winsock::u_long nonBlocking = 1;
    winsock::ioctlsocket(m_hSocket, FIONBIO, &nonBlocking);

    // A socket set to linger 0 asks for an abortive close: closesocket resets the connection.
    // A shutdown first would send a FIN ahead of the reset, and the peer would take the stream
    // as ended in good order; draining would only delay the reset.
    if (!AbortiveClose(m_hSocket)) {
        winsock::shutdown(m_hSocket, SD_SEND);
        // Unread data would turn the close into a reset; read and discard what is waiting, up
        // to a bound.
        char discard[kDrainChunk];
        for (int i = 0; i < kDrainReads && winsock::recv(m_hSocket, discard, kDrainChunk, 0) > 0; ++i) {
        }
    }
    // The events already queued for the handle must not reach the next socket that gets it.
    const bool owed = talven::closed_sockets::BeginClose(m_hNotifyWnd, m_hSocket);
    winsock::closesocket(m_hSocket);
    talven::closed_sockets::EndClose(m_hNotifyWnd, m_hSocket, owed);
    m_hSocket = INVALID_SOCKET;
}

void CQmAsyncSocket::OnReceive(int) {}
void CQmAsyncSocket::OnSend(int) {}
void CQmAsyncSocket::OnOutOfBandData(int) {}
void CQmAsyncSocket::OnAccept(int) {}
void CQmAsyncSocket::OnConnect(int) {}
void CQmAsyncSocket::OnClose(int) {}
