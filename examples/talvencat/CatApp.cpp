#include "talvencat/CatApp.h"

#include <algorithm>
#include <iostream>
#include <thread>

#include "common/WinSockText.h"

namespace {

// A connecting talvencat stops reading standard input while more than this waits to be sent,
// and reads on once the queue is down to the low mark.
constexpr size_t kInputHighWater = 1u << 20;
constexpr size_t kInputLowWater = kInputHighWater / 4;
// An echoing server stops reading from a client while a quarter of --max-queue, at most 1 MiB,
// waits to be sent to it, and reads on at a quarter of that.
constexpr size_t kEchoHighWaterCap = 1u << 20;

}  // namespace

CatApp::CatApp(const CatOptions& options)
    : options_(options),
      target_(options.host + ":" + std::to_string(options.port)),
      printer_(std::cout, options.pure ? (options.hex ? PacketPrinter::Style::Hex : PacketPrinter::Style::Raw)
                                       : (options.hex ? PacketPrinter::Style::Hex : PacketPrinter::Style::Line)),
      share_(std::make_shared<InputShare>()) {}

CatApp::~CatApp() {
    Shutdown();
}

int CatApp::Run() {
    if (Start()) {
        MSG msg;
        while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
    }
    Shutdown();
    return status_;
}

bool CatApp::Start() {
    if (!QmSocketInit(nullptr)) {
        std::cerr << "talvencat: WinSock 1.1 could not be started\n";
        status_ = 1;
        return false;
    }
    winsockStarted_ = true;

    window_ = std::make_unique<AppWindow>(
        [this](UINT msg, WPARAM wParam, LPARAM lParam) { OnMessage(msg, wParam, lParam); });
    if (window_->hwnd() == nullptr) {
        std::cerr << "talvencat: the application window could not be created\n";
        status_ = 1;
        return false;
    }
    share_->appWnd = window_->hwnd();

    notify_ = std::make_unique<CQmSocketNotifyWnd>();
    try {
        notify_->Create(window_->hwnd());
    } catch (CResourceException* e) {
        e->Delete();
        std::cerr << "talvencat: the socket notification window could not be created\n";
        status_ = 1;
        return false;
    }

    if (!options_.listen) {
        return StartConnect();  // a name is looked up while the loop runs
    }
    std::string address;
    int error = 0;
    if (!ResolveIPv4(options_.host, address, error)) {
        Fail("listen " + target_, error);
        return false;
    }
    return StartListen(address);
}

bool CatApp::StartConnect() {
    auto socket = std::make_unique<PacketSocket>(options_.pure);
    if (!socket->Create(*notify_)) {
        Fail("connect " + target_, WSAGetLastError());
        return false;
    }
    Connection* connection = Adopt(std::move(socket), target_);
    PacketSocket& client = *connection->socket;
    client.SetConnectTimeout(options_.connectTimeout * 1000);
    if (options_.reconnect) {
        client.SetReconnect(kReconnectInitialMs, kReconnectMaxMs, 0);
    }
    if (!client.ConnectAsync(options_.host.c_str(), options_.port)) {
        Fail("connect " + target_, WSAGetLastError());
        return false;
    }
    return true;  // the outcome arrives as TP_NOTIFY_CONNECT
}

bool CatApp::StartListen(const std::string& address) {
    // Accepted sockets inherit the listener's events, so it selects what a connection needs.
    listener_ = std::make_unique<PacketSocket>();
    if (!listener_->Create(*notify_, options_.port, SOCK_STREAM,
                           FD_READ | FD_WRITE | FD_OOB | FD_ACCEPT | FD_CONNECT | FD_CLOSE,
                           address.c_str()) ||
        !listener_->Listen(SOMAXCONN)) {
        Fail("listen " + target_, WSAGetLastError());
        return false;
    }
    SendMessageA(*notify_, WM_SOCKET_ADD_MAP, 0, reinterpret_cast<LPARAM>(listener_.get()));
    listener_->SetNotifyHandle(window_->hwnd(), kSocketMsg);

    CString boundAddress;
    UINT boundPort = options_.port;
    listener_->GetSockName(boundAddress, boundPort);
    Event("listening on " + std::string(boundAddress.GetString()) + ":" + std::to_string(boundPort));
    if (options_.idleTimeout != 0) {
        SetTimer(window_->hwnd(), kIdleTimer, std::min<UINT>(1000, options_.idleTimeout * 250), nullptr);
    }
    StartInput();
    return true;
}

// Registers a socket that holds a handle, points its notifications at the application window
// and keeps it as a connection.
CatApp::Connection* CatApp::Adopt(std::unique_ptr<PacketSocket> socket, const std::string& name) {
    PacketSocket* raw = socket.get();
    SendMessageA(*notify_, WM_SOCKET_ADD_MAP, 0, reinterpret_cast<LPARAM>(raw));
    raw->SetNotifyHandle(window_->hwnd(), kSocketMsg);
    if (options_.maxPacket != 0) {
        raw->SetMaxPacketLen(options_.maxPacket);
    }
    raw->SetDrainTimeout(options_.drainTimeout * 1000);
    if (options_.listen) {
        raw->SetSendQueueLimit(options_.maxQueue);
    }
    Connection& connection = connections_[raw];
    connection.socket = std::move(socket);
    connection.name = name;
    connection.id = nextId_++;
    if (options_.echo) {
        const size_t high = std::min<size_t>(kEchoHighWaterCap, options_.maxQueue / 4);
        connection.echo = std::make_unique<EchoFlow>(high, high / 4);
    }
    return &connection;
}

CatApp::Connection* CatApp::Find(unsigned id) {
    for (auto& entry : connections_) {
        if (entry.second.id == id) {
            return &entry.second;
        }
    }
    return nullptr;
}

void CatApp::OnMessage(UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
    case kInputEndedMsg:
        OnInputEnded();
        return;
    case kDropMsg:
        OnDrop(static_cast<unsigned>(wParam));
        return;
    case WM_TIMER:
        if (wParam == kIdleTimer) {
            OnIdleTimer();
        }
        return;
    case kSocketMsg:
        break;
    default:
        return;
    }
    auto* socket = reinterpret_cast<CQmtpSocket*>(lParam);
    if (listener_ && socket == listener_.get()) {
        if (wParam == TP_NOTIFY_ACCEPT) {
            OnAccept();
        }
        return;
    }
    auto it = connections_.find(socket);
    if (it == connections_.end()) {
        return;  // a socket already released
    }
    switch (wParam) {
    case TP_NOTIFY_CONNECT:
        OnConnect(it->second);
        break;
    case TP_NOTIFY_RECEIVE:
        OnReceive(it->second);
        break;
    case TP_NOTIFY_SEND:
        OnSend(it->second);
        break;
    case TP_NOTIFY_CLOSE:
        OnClose(it->second);
        break;
    default:
        break;
    }
}

void CatApp::OnAccept() {
    // One accept per pending connection; WSAEWOULDBLOCK ends the loop.
    for (;;) {
        auto socket = std::make_unique<PacketSocket>(options_.pure);
        winsock::sockaddr_in from;
        int fromLen = sizeof from;
        if (!listener_->Accept(*socket, reinterpret_cast<winsock::sockaddr*>(&from), &fromLen)) {
            const int error = WSAGetLastError();
            if (error != WSAEWOULDBLOCK) {
                Event("accept: " + WinSockErrorText(error));
            }
            return;
        }
        socket->SetNotifyWnd(*notify_);
        const std::string name = std::string(winsock::inet_ntoa(from.sin_addr)) + ":" +
                                 std::to_string(winsock::ntohs(from.sin_port));
        Connection* connection = Adopt(std::move(socket), name);
        AddPeer(*connection);
        Event("accepted " + name);
    }
}

void CatApp::OnConnect(Connection& connection) {
    PacketSocket& socket = *connection.socket;
    const int error = socket.LastConnectError();
    if (error != 0) {
        // A failed attempt; with --reconnect the socket tries again unless it has given up.
        if (socket.IsReconnecting()) {
            Event("connect " + target_ + ": " + WinSockErrorText(error) + "; trying again");
            return;
        }
        Fail("connect " + target_, error);
        return;
    }
    if (!socket.IsOpen()) {
        return;  // connected and closed since: the close is reported on its own
    }
    connection.connected = true;
    if (connection.everConnected) {
        Event("connected again to " + connection.name);
        ShutDownSendingWhenFlushed();  // standard input may have ended meanwhile
        return;
    }
    connection.everConnected = true;
    Event("connected to " + connection.name);
    AddPeer(connection);
    StartInput();
}

EchoFlow::PacketHandler CatApp::Printer(Connection& connection) {
    return [this, &connection](const char* data, int len) {
        ++connection.packetsIn;
        connection.bytesIn += static_cast<unsigned long long>(len);
        printer_.Write(data, len);
    };
}

void CatApp::OnReceive(Connection& connection) {
    PacketSocket& socket = *connection.socket;
    // The error code is the latest event's; once the socket is closed it belongs to the close,
    // which is reported on its own.
    const int error = socket.GetErrorCode();
    if (error != 0 && socket.IsOpen()) {
        Event("receive from " + connection.name + ": " + WinSockErrorText(error));
    }
    const EchoFlow::PacketHandler print = Printer(connection);
    if (connection.echo) {
        connection.echo->Receive(socket, print);
    } else {
        socket.TakePackets([&print](const char* data, int len) {
            print(data, len);
            return true;
        });
    }
    printer_.Flush();
}

void CatApp::OnSend(Connection& connection) {
    if (connection.echo) {
        connection.echo->Sent(*connection.socket, Printer(connection));
        printer_.Flush();
    }
    OnSendRoom();
    ShutDownSendingWhenFlushed();
}

void CatApp::OnClose(Connection& connection) {
    OnReceive(connection);  // packets still queued when the close was reported
    const int error = connection.socket->GetErrorCode();
    const std::string name = connection.name;
    const std::string detail = CloseDetail(connection, error);
    Stats(connection);
    connection.connected = false;
    // With --reconnect a connection that ends before the end of input is made again; what
    // standard input gives meanwhile waits in the send queue.
    if (!options_.listen && !sendingShutDown_ && connection.socket->IsReconnecting()) {
        Event("connection " + name + " ended: " + WinSockErrorText(error) + detail + "; reconnecting");
        return;
    }
    Release(connection);

    if (options_.listen) {
        Event("closed " + name + ": " + WinSockErrorText(error) + detail);
        return;
    }
    if (error != 0) {
        Fail("connection " + name, error, detail);
        return;
    }
    Event("closed by " + name);
    PostQuitMessage(0);
}

std::string CatApp::CloseDetail(const Connection& connection, int code) const {
    const PacketSocket& socket = *connection.socket;
    if (code != WSAEMSGSIZE || socket.RefusedLength() == 0) {
        return "";
    }
    return " (a length field of " + std::to_string(socket.RefusedLength()) + " bytes, above --max-packet " +
           std::to_string(socket.GetMaxPacketLen()) + "; if the peer sends text, try --pure)";
}

void CatApp::OnInputEnded() {
    inputEnded_ = true;
    if (!options_.listen) {
        ShutDownSendingWhenFlushed();
    }
}

// At the end of input a connecting talvencat shuts down its sending side once the send queue
// is empty; the server's close then ends the run.
void CatApp::ShutDownSendingWhenFlushed() {
    if (!inputEnded_ || sendingShutDown_ || options_.listen || connections_.empty()) {
        return;
    }
    Connection& connection = connections_.begin()->second;
    PacketSocket& socket = *connection.socket;
    if (!connection.connected) {
        return;  // a reconnect under way: its connect brings us back
    }
    if (!socket.SendQueueEmpty()) {
        return;  // TP_NOTIFY_SEND brings us back
    }
    sendingShutDown_ = true;
    socket.ShutDown(SD_SEND);
    Event("end of input; waiting for " + target_ + " to close");
}

// A connecting talvencat's input thread may be waiting for its queue to shorten.
void CatApp::OnSendRoom() {
    if (options_.listen) {
        return;
    }
    // Under the lock, so that the notification cannot fall between the waiter's look at the
    // queue and its sleep.
    std::lock_guard<std::mutex> guard(share_->lock);
    share_->sent.notify_all();
}

void CatApp::OnDrop(unsigned id) {
    Connection* connection = Find(id);
    if (connection != nullptr && connection->socket->IsOpen()) {
        Disconnect(*connection, "more than " + std::to_string(options_.maxQueue) +
                                    " bytes would wait to be sent to it (--max-queue)");
    }
}

void CatApp::OnIdleTimer() {
    const DWORD now = GetTickCount();
    const DWORD limitMs = options_.idleTimeout * 1000;
    std::vector<unsigned> idle;
    for (const auto& entry : connections_) {
        const PacketSocket& socket = *entry.second.socket;
        // A paused connection counts: its peer has not read for that long either. A draining
        // one has its own deadline.
        if (socket.IsOpen() && !socket.Draining() && now - socket.LastReceive() >= limitMs) {
            idle.push_back(entry.second.id);
        }
    }
    for (unsigned id : idle) {
        Disconnect(*Find(id), "nothing received for " + std::to_string(options_.idleTimeout) + " s (--idle-timeout)");
    }
}

void CatApp::Disconnect(Connection& connection, const std::string& reason) {
    Warn("disconnected " + connection.name + ": " + reason);
    PacketSocket& socket = *connection.socket;
    RemovePeer(&socket);
    socket.Abandon();  // a reset when packets are still queued for it
    Stats(connection);
    Release(connection);
}

void CatApp::Release(Connection& connection) {
    CQmtpSocket* key = connection.socket.get();
    RemovePeer(connection.socket.get());
    connections_.erase(key);
}

void CatApp::AddPeer(const Connection& connection) {
    std::lock_guard<std::mutex> guard(share_->lock);
    share_->peers.push_back(Peer{connection.socket.get(), connection.id});
}

void CatApp::RemovePeer(PacketSocket* socket) {
    std::lock_guard<std::mutex> guard(share_->lock);
    auto& peers = share_->peers;
    peers.erase(std::remove_if(peers.begin(), peers.end(), [socket](const Peer& p) { return p.socket == socket; }),
                peers.end());
    share_->sent.notify_all();  // an input thread waiting for this peer's queue waits no more
}

void CatApp::StartInput() {
    if (inputStarted_) {
        return;
    }
    inputStarted_ = true;
    // Detached: it may be blocked reading standard input when the run ends. It touches only
    // the share, which it keeps alive, and stops sending once the share is marked stopped.
    std::thread(&CatApp::InputLoop, share_, options_.pure, options_.listen).detach();
}

void CatApp::InputLoop(std::shared_ptr<InputShare> share, bool pure, bool listen) {
    const auto longestQueue = [&share] {
        size_t longest = 0;
        for (const Peer& peer : share->peers) {
            longest = std::max(longest, peer.socket->GetSendQueueBytes());
        }
        return longest;
    };
    std::string line;
    while (std::getline(std::cin, line)) {
        if (pure) {
            line += '\n';
        }
        std::unique_lock<std::mutex> guard(share->lock);
        if (share->stopped) {
            return;
        }
        auto& peers = share->peers;
        for (auto it = peers.begin(); it != peers.end();) {
            if (it->socket->SendBytes(line.data(), static_cast<int>(line.size())) == SOCKET_ERROR &&
                WSAGetLastError() == WSAENOBUFS) {
                // Its queue is full: nothing more goes to it, and the main thread disconnects it.
                PostMessageA(share->appWnd, kDropMsg, it->id, 0);
                it = peers.erase(it);
            } else {
                ++it;
            }
        }
        // Connecting: the server reads slower than standard input comes; wait for it.
        if (!listen && longestQueue() > kInputHighWater) {
            share->sent.wait(guard, [&] { return share->stopped || longestQueue() <= kInputLowWater; });
        }
    }
    std::lock_guard<std::mutex> guard(share->lock);
    if (!share->stopped) {
        PostMessageA(share->appWnd, kInputEndedMsg, 0, 0);
    }
}

void CatApp::Event(const std::string& text) {
    if (!options_.quiet) {
        std::cerr << "talvencat: " << text << '\n';
    }
    if (options_.log) {
        QmSocketLog("talvencat: %s", text.c_str());
    }
}

void CatApp::Warn(const std::string& text) {
    std::cerr << "talvencat: " << text << '\n';
    if (options_.log) {
        QmSocketLog("talvencat: %s", text.c_str());
    }
}

void CatApp::Stats(const Connection& connection) {
    if (!options_.stats) {
        return;
    }
    const PacketSocket& socket = *connection.socket;
    const unsigned pauses = connection.echo ? connection.echo->Pauses() : 0;
    Warn("stats " + connection.name + ": received " + std::to_string(connection.packetsIn) + " packets (" +
         std::to_string(connection.bytesIn) + " bytes), largest send queue " +
         std::to_string(socket.LargestSendQueue()) + " bytes, reading paused " + std::to_string(pauses) + " times");
}

void CatApp::Fail(const std::string& context, int code, const std::string& detail) {
    Warn(context + ": " + WinSockErrorText(code) + detail);
    status_ = 1;
    PostQuitMessage(1);
}

void CatApp::Shutdown() {
    {
        std::lock_guard<std::mutex> guard(share_->lock);
        share_->stopped = true;
        share_->peers.clear();
        share_->sent.notify_all();
    }
    for (auto& entry : connections_) {
        entry.second.socket->Abandon();
    }
    connections_.clear();
    if (listener_) {
        listener_->Abandon();
        listener_.reset();
    }
    if (window_ && window_->hwnd() != nullptr) {
        KillTimer(window_->hwnd(), kIdleTimer);
    }
    notify_.reset();
    window_.reset();
    std::cout.flush();
    if (winsockStarted_) {
        winsockStarted_ = false;
        QmSocketTerm();
    }
}
