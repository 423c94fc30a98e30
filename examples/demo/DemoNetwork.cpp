#include "demo/DemoNetwork.h"

#include "common/WinSockText.h"

DemoNetwork::DemoNetwork() = default;

DemoNetwork::~DemoNetwork() {
    // Sockets still open are unregistered and closed before their objects go; then the
    // notification window, the application window and WinSock.
    for (auto& endpoint : endpoints_) {
        endpoint->socket->Abandon();
    }
    endpoints_.clear();
    if (listener_) {
        listener_->Abandon();
        listener_.reset();
    }
    notify_.reset();
    window_.reset();
    if (winsockStarted_) {
        QmSocketTerm();
    }
}

bool DemoNetwork::Start(std::string& error) {
    if (!QmSocketInit(nullptr)) {
        error = "WinSock 1.1 could not be started";
        return false;
    }
    winsockStarted_ = true;

    window_ = std::make_unique<AppWindow>(
        [this](UINT msg, WPARAM wParam, LPARAM lParam) { OnMessage(msg, wParam, lParam); });
    if (window_->hwnd() == nullptr) {
        error = "the application window could not be created";
        return false;
    }
    notify_ = std::make_unique<CQmSocketNotifyWnd>();
    try {
        notify_->Create(window_->hwnd());
    } catch (CResourceException* e) {
        e->Delete();
        error = "the socket notification window could not be created";
        return false;
    }

    listener_ = std::make_unique<PacketSocket>();
    CString address;
    if (!listener_->Create(*notify_, 0, SOCK_STREAM,
                           FD_READ | FD_WRITE | FD_OOB | FD_ACCEPT | FD_CONNECT | FD_CLOSE, "127.0.0.1") ||
        !listener_->Listen(SOMAXCONN) || !listener_->GetSockName(address, serverPort_)) {
        error = "the server could not listen: " + WinSockErrorText(WSAGetLastError());
        return false;
    }
    SendMessageA(*notify_, WM_SOCKET_ADD_MAP, 0, reinterpret_cast<LPARAM>(listener_.get()));
    listener_->SetNotifyHandle(window_->hwnd(), kSocketMsg);
    return true;
}

Endpoint& DemoNetwork::Adopt(std::unique_ptr<PacketSocket> socket, const std::string& name,
                             bool serverSide) {
    auto endpoint = std::make_unique<Endpoint>();
    endpoint->socket = std::move(socket);
    endpoint->name = name;
    endpoint->serverSide = serverSide;
    PacketSocket& raw = *endpoint->socket;
    SendMessageA(*notify_, WM_SOCKET_ADD_MAP, 0, reinterpret_cast<LPARAM>(&raw));
    raw.SetNotifyHandle(window_->hwnd(), kSocketMsg);
    CString address;
    raw.GetSockName(address, endpoint->localPort);
    raw.context = endpoint.get();
    endpoints_.push_back(std::move(endpoint));
    return *endpoints_.back();
}

Endpoint* DemoNetwork::Connect(const std::string& name) {
    auto socket = std::make_unique<PacketSocket>();
    if (!socket->Create(*notify_, 0, SOCK_STREAM,
                        FD_READ | FD_WRITE | FD_OOB | FD_ACCEPT | FD_CONNECT | FD_CLOSE, "127.0.0.1")) {
        return nullptr;
    }
    Endpoint& endpoint = Adopt(std::move(socket), name, false);
    endpoint.peerPort = serverPort_;
    if (!endpoint.socket->Connect("127.0.0.1", serverPort_)) {
        endpoint.closed = true;
        endpoint.connectError = WSAGetLastError();
    }
    return &endpoint;
}

Endpoint* DemoNetwork::ServerSideOf(const Endpoint& client) {
    for (auto& endpoint : endpoints_) {
        if (endpoint->serverSide && endpoint->peerPort == client.localPort) {
            return endpoint.get();
        }
    }
    return nullptr;
}

int DemoNetwork::ServerConnectionCount() const {
    int count = 0;
    for (const auto& endpoint : endpoints_) {
        count += endpoint->serverSide ? 1 : 0;
    }
    return count;
}

bool DemoNetwork::RunUntil(const std::function<bool()>& done, DWORD timeoutMs) {
    const DWORD start = GetTickCount();
    MSG msg;
    while (!done()) {
        const DWORD elapsed = GetTickCount() - start;
        if (elapsed >= timeoutMs) {
            return false;
        }
        if (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        } else {
            MsgWaitForMultipleObjects(0, nullptr, FALSE, timeoutMs - elapsed, QS_ALLINPUT);
        }
    }
    return true;
}

Endpoint* DemoNetwork::Find(CQmtpSocket* socket) {
    for (auto& endpoint : endpoints_) {
        if (endpoint->socket.get() == socket) {
            return endpoint.get();
        }
    }
    return nullptr;
}

void DemoNetwork::OnMessage(UINT msg, WPARAM wParam, LPARAM lParam) {
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
    Endpoint* endpoint = Find(socket);
    if (endpoint == nullptr) {
        return;
    }
    switch (wParam) {
    case TP_NOTIFY_CONNECT:
        endpoint->connectError = endpoint->socket->GetErrorCode();
        endpoint->connected = endpoint->connectError == 0;
        QmSocketLog("talven-demo: %s %s", endpoint->name.c_str(),
                    endpoint->connected ? "connected" : "failed to connect");
        break;
    case TP_NOTIFY_RECEIVE:
        OnReceive(*endpoint);
        break;
    case TP_NOTIFY_SEND:
        if (endpoint->echo) {
            endpoint->echo->Sent(*endpoint->socket,
                                 [this, endpoint](const char* data, int len) { Record(*endpoint, data, len); });
        }
        break;
    case TP_NOTIFY_CLOSE:
        OnReceive(*endpoint);
        endpoint->closed = true;
        endpoint->closeError = endpoint->socket->GetErrorCode();
        QmSocketLog("talven-demo: %s closed, error %d", endpoint->name.c_str(), endpoint->closeError);
        break;
    default:
        break;
    }
}

void DemoNetwork::OnAccept() {
    for (;;) {
        auto socket = std::make_unique<PacketSocket>();
        winsock::sockaddr_in from;
        int fromLen = sizeof from;
        if (!listener_->Accept(*socket, reinterpret_cast<winsock::sockaddr*>(&from), &fromLen)) {
            return;  // nothing more pending
        }
        socket->SetNotifyWnd(*notify_);
        if (serverMaxPacket_ != 0) {
            socket->SetMaxPacketLen(serverMaxPacket_);
        }
        const UINT peerPort = winsock::ntohs(from.sin_port);
        Endpoint& endpoint = Adopt(std::move(socket), "server<-" + std::to_string(peerPort), true);
        endpoint.echo = std::make_unique<EchoFlow>(kServerHighWater, kServerHighWater / 4);
        endpoint.peerPort = peerPort;
        endpoint.connected = true;
        QmSocketLog("talven-demo: server accepted 127.0.0.1:%u", peerPort);
    }
}

void DemoNetwork::OnReceive(Endpoint& endpoint) {
    if (endpoint.echo) {
        // The server echoes every packet, holding echoes while the client does not read.
        endpoint.echo->Receive(*endpoint.socket, [this, &endpoint](const char* data, int len) {
            Record(endpoint, data, len);
        });
        return;
    }
    endpoint.socket->TakePackets([this, &endpoint](const char* data, int len) {
        Record(endpoint, data, len);
        return true;
    });
}

void DemoNetwork::Record(Endpoint& endpoint, const char* data, int len) {
    endpoint.received.emplace_back(data, static_cast<std::size_t>(len));
    (endpoint.serverSide ? stats_.toServer : stats_.toClients).Add(static_cast<std::size_t>(len));
}
