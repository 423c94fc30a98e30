// The demo's network: one server (a listening packet socket that echoes every packet back to
// its sender, with flow control: EchoFlow) and any number of clients, all in this process on
// 127.0.0.1 with ports chosen by the system, all driven by the main thread's message loop.
//
// Threads: everything on the thread that called Start, except Endpoint::socket->SendBytes,
// which any thread may call while the endpoint lives.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/AppWindow.h"
#include "common/EchoFlow.h"
#include "common/PacketSocket.h"
#include "demo/DemoStats.h"

// One end of a connection, on the client or the server side.
struct Endpoint {
    std::unique_ptr<PacketSocket> socket;
    std::string name;
    bool serverSide = false;
    UINT localPort = 0;
    UINT peerPort = 0;
    bool connected = false;                // connection made (client: TP_NOTIFY_CONNECT 0)
    int connectError = 0;
    bool closed = false;                   // TP_NOTIFY_CLOSE arrived
    int closeError = 0;
    std::vector<std::string> received;     // payloads in arrival order
    std::unique_ptr<EchoFlow> echo;        // the server's side: its echoes
};

class DemoNetwork {
public:
    DemoNetwork();
    ~DemoNetwork();
    DemoNetwork(const DemoNetwork&) = delete;
    DemoNetwork& operator=(const DemoNetwork&) = delete;

    // Starts WinSock, makes the windows and the listening server. On failure returns false
    // with a reason.
    bool Start(std::string& error);
    UINT ServerPort() const { return serverPort_; }

    // Bound on the payload of packets the server accepts from now on.
    void SetServerMaxPacket(UINT bytes) { serverMaxPacket_ = bytes; }
    // The server stops reading from a client while more than this waits to be sent to it.
    static constexpr std::size_t kServerHighWater = 1u << 20;

    // Starts a client's connection to the server; nullptr when the socket cannot be made.
    Endpoint* Connect(const std::string& name);

    // The server's end of a client's connection, once accepted; else nullptr.
    Endpoint* ServerSideOf(const Endpoint& client);
    int ServerConnectionCount() const;

    // Runs the message loop until done() holds (true) or timeoutMs pass (false).
    bool RunUntil(const std::function<bool()>& done, DWORD timeoutMs = 10000);

    DemoStats& stats() { return stats_; }

private:
    enum : UINT { kSocketMsg = WM_USER + 1 };

    void OnMessage(UINT msg, WPARAM wParam, LPARAM lParam);
    void OnAccept();
    void OnReceive(Endpoint& endpoint);
    void Record(Endpoint& endpoint, const char* data, int len);
    Endpoint* Find(CQmtpSocket* socket);
    Endpoint& Adopt(std::unique_ptr<PacketSocket> socket, const std::string& name, bool serverSide);

    std::unique_ptr<AppWindow> window_;
    std::unique_ptr<CQmSocketNotifyWnd> notify_;
    std::unique_ptr<PacketSocket> listener_;
    std::vector<std::unique_ptr<Endpoint>> endpoints_;
    DemoStats stats_;
    UINT serverPort_ = 0;
    UINT serverMaxPacket_ = 0;
    bool winsockStarted_ = false;
};
