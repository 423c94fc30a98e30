// talvencat as an application of the library: one hidden application window, one socket
// notification window, packet sockets, and the message loop of the main thread. Standard input
// is read on a thread of its own, which sends directly.
//
// Threads: everything here runs on the main thread except InputLoop, which shares only an
// InputShare with it.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/AppWindow.h"
#include "common/PacketSocket.h"
#include "talvencat/CatOptions.h"
#include "talvencat/PacketPrinter.h"

class CatApp {
public:
    explicit CatApp(const CatOptions& options);
    ~CatApp();
    CatApp(const CatApp&) = delete;
    CatApp& operator=(const CatApp&) = delete;

    // Runs until the connection ends (connecting) or the process is interrupted (listening).
    // Returns the exit status.
    int Run();

private:
    // What the input thread shares with the main thread. The main thread adds and removes
    // peers under the lock; the input thread sends to them under the same lock, so a socket
    // is never deleted while the input thread is inside one of its send members.
    struct InputShare {
        std::mutex lock;
        std::vector<PacketSocket*> peers;
        bool stopped = false;
        HWND appWnd = nullptr;
    };

    struct Connection {
        std::unique_ptr<PacketSocket> socket;
        std::string name;                  // "address:port" of the other end
    };

    enum : UINT {
        kSocketMsg = WM_USER + 1,          // the packet sockets' notifications
        kInputEndedMsg,                    // posted by the input thread at end of input
    };

    bool Start();
    bool StartConnect(const std::string& address);
    bool StartListen(const std::string& address);
    void Shutdown();

    void OnMessage(UINT msg, WPARAM wParam, LPARAM lParam);
    void OnAccept();
    void OnConnect(Connection& connection);
    void OnReceive(Connection& connection);
    void OnClose(Connection& connection);
    void OnInputEnded();
    void ShutDownSendingWhenFlushed();

    Connection* Adopt(std::unique_ptr<PacketSocket> socket, const std::string& name);
    void AddPeer(PacketSocket* socket);
    void RemovePeer(PacketSocket* socket);
    void StartInput();
    static void InputLoop(std::shared_ptr<InputShare> share, bool pure);

    void Event(const std::string& text);
    // Prints "talvencat: <context>: <WinSock error text>", sets status 1 and ends the loop.
    void Fail(const std::string& context, int code);

    CatOptions options_;
    std::string target_;                   // HOST:PORT as given
    PacketPrinter printer_;
    std::unique_ptr<AppWindow> window_;
    std::unique_ptr<CQmSocketNotifyWnd> notify_;
    std::unique_ptr<PacketSocket> listener_;
    std::map<CQmtpSocket*, Connection> connections_;
    std::shared_ptr<InputShare> share_;
    bool winsockStarted_ = false;
    bool inputStarted_ = false;
    bool inputEnded_ = false;
    bool sendingShutDown_ = false;
    int status_ = 0;
};
