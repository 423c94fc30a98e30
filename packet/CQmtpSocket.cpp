// The packet socket object: construction and destruction, the application's notification
// target, the connect/accept/out-of-band/close handlers, the member id and the payload bound.
#include "packet/CQmtpSocket.h"
#include "packet/CriticalSectionHold.h"
#include "packet/ReconnectState.h"
#include "packet/TpSocketError.h"

#include <cstring>
#include <mutex>
#include <set>
#include <thread>

#include "socket/CQmSocketNotifyWnd.h"
#include "socket/QmSocket.h"

namespace {

const UINT kInitialRecvBufSize = 1024;
const size_t kMemberIdSize = 24;  // sizeof m_szMemberId: 23 characters and the terminator
// Largest payload bound accepted: the frame (length field included), rounded up to the
// receive buffer's 1024-byte growth step, still fits an int, as CPacketData::m_nLen must.
const UINT kLargestMaxPacketLen = 0x7FFFFC00u - 4;

// How often owed notifications are offered again to a full application queue.
const UINT kOwedRetryMs = 10;

// Sockets with a retry timer. The timer's id is the socket's address (connect attempts' timer
// ids are small counters, so the two never meet on one window); a timer that outlives its
// socket finds it gone here. The timer procedure runs under the lock, so a socket destroyed
// on another thread waits for it (recursive: the procedure's posting may stop the timer).
struct OwedTimers {
    std::recursive_mutex lock;
    std::set<const CQmtpSocket*> live;
};

OwedTimers& Owed() {
    static OwedTimers timers;
    return timers;
}

}  // namespace

CQmtpSocket::CQmtpSocket()
    : m_hAppWnd(nullptr),
      m_nAppMsg(0),
      m_nErrorCode(0),
      m_SendList(10),
      m_RecvList(10),
      m_pRecvBuf(nullptr),
      m_nRecvLen(0),
      m_nRecvBufSize(kInitialRecvBufSize),
      m_nPacketLen(0),
      m_pRecvLarge(nullptr),
      m_nRecvLargeLen(0),
      m_nRecvLargeCap(0),
      m_nMaxPacketLen(TP_DEFAULT_MAX_PACKET_LEN),
      m_nSendQueueBytes(0),
      m_nSendQueueLimit(0),
      m_pSpareRecord(nullptr),
      m_bUsingHandle(false),
      m_bHandleRetired(false),
      m_bPacketCut(false),
      m_DeferredList(10),
      m_nFlushPending(0),
      m_bHaveDeferred(false),
      m_bDropCutRest(false),
      m_bSendFailed(false),
      m_nConnection(0),
      m_bHeadIsRest(false),
      m_bWriteBlocked(false),
      m_OwedCodes{},
      m_nOwedCount(0),
      m_hOwedTimerWnd(nullptr) {
    m_szMemberId[0] = 0;
    m_tLastReceive = CTime::GetCurrentTime();
    // An allocation failure leaves the constructor here, before the lock exists.
    m_pRecvBuf = static_cast<char*>(::operator new(kInitialRecvBufSize));
    std::memset(m_pRecvBuf, 0, kInitialRecvBufSize);
    InitializeCriticalSection(&m_csLock);
    InitializeCriticalSection(&m_csDeferred);
}

CQmtpSocket::~CQmtpSocket() {
    StopOwedRetry();
    if (m_pRecvBuf != nullptr) {
        ::operator delete(m_pRecvBuf);
        m_pRecvBuf = nullptr;
    }
    ::operator delete(m_pRecvLarge);  // a large frame cut off by the close, if any
    m_pRecvLarge = nullptr;
    RemoveAllPacket(m_SendList);
    RemoveAllPacket(m_RecvList);
    RemoveAllPacket(m_DeferredList);
    delete m_pSpareRecord;  // holds no buffer: that went to the application
    DeleteCriticalSection(&m_csDeferred);
    DeleteCriticalSection(&m_csLock);
    // The lists, then the base (which closes a socket still held), go with the members.
}

int CQmtpSocket::SetNotifyHandle(HWND hWnd, UINT nMsg) {
    if (hWnd == nullptr || !IsWindow(hWnd) || nMsg < WM_USER) {
        return 0;
    }
    m_hAppWnd = hWnd;
    m_nAppMsg = nMsg;
    return 1;
}

int CQmtpSocket::Connect(const char* host, UINT port) {
    // The base refuses a null host without setting a WinSock error, so the thread's last
    // error would be stale here: a null host is a failure whatever that error is.
    if (host == nullptr) {
        return 0;
    }
    NoteReconnectTarget(host, port);
    if (CQmAsyncSocket::Connect(host, port)) {
        return 1;
    }
    const int code = WSAGetLastError();
    if (code == WSAEWOULDBLOCK) {
        return 1;  // under way; the outcome arrives as OnConnect
    }
    StoreTpSocketError(code);
    return 0;
}

void CQmtpSocket::OnConnect(int nErrorCode) {
    m_nErrorCode = nErrorCode;
    Notify(TP_NOTIFY_CONNECT);
    if (m_pReconnect) {
        ReconnectAfterConnect(nErrorCode);
    }
}

void CQmtpSocket::OnAccept(int nErrorCode) {
    m_nErrorCode = nErrorCode;
    Notify(TP_NOTIFY_ACCEPT);
}

void CQmtpSocket::OnOutOfBandData(int nErrorCode) {
    m_nErrorCode = nErrorCode;
    Notify(TP_NOTIFY_OOB);
}

void CQmtpSocket::OnClose(int nErrorCode) {
    m_nErrorCode = nErrorCode;
    // The window finds the entry by the current handle, so unregister before Close resets it.
    SendMessageA(m_hNotifyWnd, WM_SOCKET_REMOVE_MAP, 0, reinterpret_cast<LPARAM>(this));
    // From here no flush touches the handle: none writes to it while it is being closed, or to
    // its number once reused. The close itself runs with no lock held, and resets a stream
    // that ends inside a packet (a FIN would end it in good order behind the cut packet).
    RetireSendSide(nErrorCode);
    Close();
    ReopenForWrites();
    Notify(TP_NOTIFY_CLOSE);
    if (m_pReconnect) {
        ReconnectAfterClose();
    }
}

void CQmtpSocket::Close() {
    if (m_hSocket == INVALID_SOCKET) {
        CQmAsyncSocket::Close();  // ends a pending wait or lookup
        return;
    }
    // As at a close event: no write touches the handle while it closes, the rest of a packet
    // cut by this close never reaches the next connection (whole packets stay queued for it),
    // and the peer never takes a stream cut inside a packet for a clean end.
    if (RetireHandle()) {
        DropCutRest();
        winsock::linger abortive;  // linger 0: the base's Close resets, with no FIN first
        abortive.l_onoff = 1;
        abortive.l_linger = 0;
        SetSockOpt(SO_LINGER, &abortive, sizeof abortive);
    }
    CQmAsyncSocket::Close();
    ReopenForWrites();
}

void CQmtpSocket::DropCutRest() {
    // Writes stay refused until a holder of m_csLock has dropped the rest. This thread may be
    // the window's, and a worker may hold the lock while it waits for it: the lock is only
    // tried, and when it is held its holder, or the next, drops the rest (SettleLocked).
    m_bDropCutRest.store(true);
    if (TryEnterCriticalSection(&m_csLock)) {
        DropCutRestLocked();
        LeaveSendLock();  // runs a flush asked for meanwhile; its writes are refused
    }
}

bool CQmtpSocket::RetireHandle() {
    m_bHandleRetired.store(true);
    // A call that began before it saw the flag finishes here; one that begins now sees it.
    // The wait is bounded: it outlasts at most one call, made by the holder of m_csLock, and
    // that call never blocks: a send or getsockopt on a socket that WSAAsyncSelect has made
    // non-blocking (it refuses to make a selected socket blocking again), or a PostMessageA.
    // Nothing inside the announced section waits for a lock a sender may hold or for a message,
    // so it cannot wait for this thread.
    while (m_bUsingHandle.load()) {
        std::this_thread::yield();
    }
    return m_bPacketCut.load();
}

void CQmtpSocket::ReopenForWrites() {
    // m_hSocket is INVALID_SOCKET now, so later writes fail until a new socket is made, whose
    // stream starts at a packet boundary (m_bDropCutRest holds the writes until the old
    // connection's cut rest has left the queue).
    m_bPacketCut.store(false);
    m_bSendFailed.store(false);
    m_nConnection.fetch_add(1);
    m_bHandleRetired.store(false);
}

void CQmtpSocket::SetMemberId(const char* id) {
    if (id == nullptr) {
        m_szMemberId[0] = 0;
        return;
    }
    size_t n = 0;
    while (n < kMemberIdSize - 1 && id[n] != 0) {
        ++n;
    }
    std::memcpy(m_szMemberId, id, n);
    m_szMemberId[n] = 0;
}

const char* CQmtpSocket::GetMemberId() {
    return m_szMemberId;
}

int CQmtpSocket::IsMemberSocket(const char* id) {
    if (m_szMemberId[0] == 0 || id == nullptr) {
        return 0;
    }
    return std::strcmp(m_szMemberId, id) == 0 ? 1 : 0;
}

int CQmtpSocket::GetErrorCode() {
    return m_nErrorCode;
}

void CQmtpSocket::Lock() {
    EnterCriticalSection(&m_csLock);
    DropCutRestLocked();  // the holder sees no rest of a closed connection's cut packet
}

void CQmtpSocket::Unlock() {
    LeaveSendLock();  // a flush the window's thread left to the holder runs here
}

void CQmtpSocket::SetMaxPacketLen(UINT maxLen) {
    m_nMaxPacketLen = maxLen < kLargestMaxPacketLen ? maxLen : kLargestMaxPacketLen;
}

UINT CQmtpSocket::GetMaxPacketLen() const {
    return m_nMaxPacketLen;
}

static_assert(TP_NOTIFY_CONNECT <= 0xFFFF && TP_NOTIFY_ACCEPT <= 0xFFFF, "notification codes fit the owed list");

void CQmtpSocket::Notify(WPARAM code) {
    if (m_nOwedCount == 0) {
        if (PostMessageA(m_hAppWnd, m_nAppMsg, code, reinterpret_cast<LPARAM>(this)) ||
            GetLastError() != ERROR_NOT_ENOUGH_QUOTA) {
            return;  // posted, or the window is gone and nothing would take it
        }
    } else if (m_OwedCodes[m_nOwedCount - 1] == code) {
        PostOwed();  // one notification stands for both
        return;
    }
    bool owed = false;
    for (int i = 0; i < m_nOwedCount && !owed; ++i) {
        owed = m_OwedCodes[i] == code;
    }
    // A full list keeps the code at its earlier place: the application still hears of it.
    if (!owed && m_nOwedCount < kOwedMax) {
        m_OwedCodes[m_nOwedCount++] = static_cast<unsigned short>(code);
    }
    if (!PostOwed()) {
        RetryOwedLater();
    }
}

bool CQmtpSocket::PostOwed() {
    int done = 0;
    while (done < m_nOwedCount) {
        if (!PostMessageA(m_hAppWnd, m_nAppMsg, m_OwedCodes[done], reinterpret_cast<LPARAM>(this)) &&
            GetLastError() == ERROR_NOT_ENOUGH_QUOTA) {
            break;
        }
        ++done;
    }
    std::memmove(m_OwedCodes, m_OwedCodes + done, sizeof m_OwedCodes[0] * (m_nOwedCount - done));
    m_nOwedCount -= done;
    if (m_nOwedCount == 0) {
        StopOwedRetry();
        return true;
    }
    return false;
}

void CQmtpSocket::RetryOwedLater() {
    if (m_hOwedTimerWnd != nullptr || m_hNotifyWnd == nullptr) {
        return;  // already retrying; without a window the next notification retries
    }
    OwedTimers& timers = Owed();
    std::lock_guard<std::recursive_mutex> hold(timers.lock);
    timers.live.insert(this);  // first: a failed allocation leaves no timer behind
    if (SetTimer(m_hNotifyWnd, reinterpret_cast<UINT_PTR>(this), kOwedRetryMs, OnOwedTimer) != 0) {
        m_hOwedTimerWnd = m_hNotifyWnd;
    } else {
        timers.live.erase(this);
    }
}

void CQmtpSocket::StopOwedRetry() {
    if (m_hOwedTimerWnd == nullptr) {
        return;
    }
    OwedTimers& timers = Owed();
    std::lock_guard<std::recursive_mutex> hold(timers.lock);
    KillTimer(m_hOwedTimerWnd, reinterpret_cast<UINT_PTR>(this));
    timers.live.erase(this);
    m_hOwedTimerWnd = nullptr;
}

void CALLBACK CQmtpSocket::OnOwedTimer(HWND hWnd, UINT, UINT_PTR id, DWORD) {
    OwedTimers& timers = Owed();
    std::lock_guard<std::recursive_mutex> hold(timers.lock);
    auto* socket = reinterpret_cast<CQmtpSocket*>(id);
    if (timers.live.count(socket) == 0 || socket->m_hOwedTimerWnd != hWnd) {
        KillTimer(hWnd, id);  // its socket is gone, or retries on another window now
        return;
    }
    socket->PostOwed();
}
