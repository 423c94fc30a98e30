#include "talvencat/CatApp.h"

#include <iostream>
#include <thread>

#include "common/WinSockText.h"

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

    std::string address;
    int error = 0;
    if (!ResolveIPv4(options_.host, address, error)) {
        Fail((options_.listen ? "listen " : "connect ") + target_, error);
        return false;
    }
    return options_.listen ? StartListen(address) : StartConnect(address);
}

bool CatApp::StartConnect(const std::string& address) {
    auto socket = std::make_unique<PacketSocket>(options_.pure);
    if (!socket->Create(*notify_)) {
        Fail("connect " + target_, WSAGetLastError());
        return false;
    }
    Connection* connection = Adopt(std::move(socket), target_);
    if (!connection->socket->Connect(address.c_str(), options_.port)) {
        Fail("connect " + target_, WSAGetLastError());
        return false;
    }
    return true;  // the outcome arrives as TP_NOTIFY_CONNECT
}

bool CatApp::StartListen(const std::string& address) {
    listener_ = std::make_unique<PacketSocket>();
    if (!listener_->Create(*notify_, options_.port, SOCK_STREAM,
                           FD_READ | FD_WRITE | FD_OOB | FD_ACCEPT | FD_CONNECT | FD_CLOSE,
                           address.c_str()) ||
        !listener_->Listen(64)) {
        Fail("listen " + target_, WSAGetLastError());
        return false;
    }
    SendMessageA(*notify_, WM_SOCKET_ADD_MAP, 0, reinterpret_cast<LPARAM>(listener_.get()));
    listener_->SetNotifyHandle(window_->hwnd(), kSocketMsg);

    CString boundAddress;
    UINT boundPort = options_.port;
    listener_->GetSockName(boundAddress, boundPort);
    Event("listening on " + std::string(boundAddress.GetString()) + ":" + std::to_string(boundPort));
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
    Connection& connection = connections_[raw];
    connection.socket = std::move(socket);
    connection.name = name;
    return &connection;
}

void CatApp::OnMessage(UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == kInputEndedMsg) {
        OnInputEnded();
        return;
    }
    if (msg != kSocketMsg) {
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
        ShutDownSendingWhenFlushed();
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
        AddPeer(connection->socket.get());
        Event("accepted " + name);
    }
}

void CatApp::OnConnect(Connection& connection) {
    const int error = connection.socket->GetErrorCode();
    if (error != 0) {
        Fail("connect " + target_, error);
        return;
    }
    Event("connected to " + connection.name);
    AddPeer(connection.socket.get());
    StartInput();
}

void CatApp::OnReceive(Connection& connection) {
    PacketSocket& socket = *connection.socket;
    // The error code is the latest event's; once the socket is closed it belongs to the close,
    // which is reported on its own.
    const int error = socket.GetErrorCode();
    if (error != 0 && socket.IsOpen()) {
        Event("receive from " + connection.name + ": " + WinSockErrorText(error));
    }
    for (;;) {
        char* data = nullptr;  // ReadData leaves it untouched when nothing is queued
        int len = 0;
        socket.ReadData(data, len);
        if (data == nullptr) {
            break;
        }
        printer_.Write(data, len);
        if (options_.echo && socket.IsOpen()) {
            socket.SendBytes(data, len);
        }
        operator delete(data);  // received buffers belong to the application
    }
    printer_.Flush();
}

void CatApp::OnClose(Connection& connection) {
    OnReceive(connection);  // packets still queued when the close was reported
    const int error = connection.socket->GetErrorCode();
    const std::string name = connection.name;
    RemovePeer(connection.socket.get());
    connections_.erase(connection.socket.get());

    if (options_.listen) {
        Event("closed " + name + ": " + WinSockErrorText(error));
        return;
    }
    if (error != 0) {
        Fail("connection " + name, error);
        return;
    }
    Event("closed by " + name);
    PostQuitMessage(0);
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
    PacketSocket& socket = *connections_.begin()->second.socket;
    if (!socket.SendQueueEmpty()) {
        return;  // TP_NOTIFY_SEND brings us back
    }
    sendingShutDown_ = true;
    socket.ShutDown(SD_SEND);
    Event("end of input; waiting for " + target_ + " to close");
}

void CatApp::AddPeer(PacketSocket* socket) {
    std::lock_guard<std::mutex> guard(share_->lock);
    share_->peers.push_back(socket);
}

void CatApp::RemovePeer(PacketSocket* socket) {
    std::lock_guard<std::mutex> guard(share_->lock);
    auto& peers = share_->peers;
    for (auto it = peers.begin(); it != peers.end(); ++it) {
        if (*it == socket) {
            peers.erase(it);
            break;
        }
    }
}

void CatApp::StartInput() {
    if (inputStarted_) {
        return;
    }
    inputStarted_ = true;
    // Detached: it may be blocked reading standard input when the run ends. It touches only
    // the share, which it keeps alive, and stops sending once the share is marked stopped.
    std::thread(&CatApp::InputLoop, share_, options_.pure).detach();
}

void CatApp::InputLoop(std::shared_ptr<InputShare> share, bool pure) {
    std::string line;
    while (std::getline(std::cin, line)) {
        if (pure) {
            line += '\n';
        }
        std::lock_guard<std::mutex> guard(share->lock);
        if (share->stopped) {
            return;
        }
        for (PacketSocket* peer : share->peers) {
            peer->SendBytes(line.data(), static_cast<int>(line.size()));
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

void CatApp::Fail(const std::string& context, int code) {
    const std::string line = context + ": " + WinSockErrorText(code);
    std::cerr << "talvencat: " << line << '\n';
    if (options_.log) {
        QmSocketLog("talvencat: %s", line.c_str());
    }
    status_ = 1;
    PostQuitMessage(1);
}

void CatApp::Shutdown() {
    {
        std::lock_guard<std::mutex> guard(share_->lock);
        share_->stopped = true;
        share_->peers.clear();
    }
    for (auto& entry : connections_) {
        entry.second.socket->Abandon();
    }
    connections_.clear();
    if (listener_) {
        listener_->Abandon();
        listener_.reset();
    }
    notify_.reset();
    window_.reset();
    std::cout.flush();
    if (winsockStarted_) {
        winsockStarted_ = false;
        QmSocketTerm();
    }
}
