// talvencat as an application of the library: one hidden application window, one socket
// notification window, packet sockets, and the message loop of the main thread. Standard input
// is read on a thread of its own, which sends directly.
//
// Bounded memory whatever a peer does: an echoing server stops reading from a client while its
// echoes wait (EchoFlow), a listening server gives every client a send-queue limit and
// disconnects, naming it, a client whose next line would pass it, and a connecting talvencat
// stops reading standard input while its queue is long.
//
// Threads: everything here runs on the main thread except InputLoop, which shares only an
// InputShare with it.
#pragma once

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/AppWindow.h"
#include "common/EchoFlow.h"
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
    // A connection as the input thread knows it: the socket, and an id that names the
    // connection in messages to the main thread (a socket address may be reused).
    struct Peer {
        PacketSocket* socket;
        unsigned id;
    };

    // What the input thread shares with the main thread. The main thread adds and removes
    // peers under the lock; the input thread sends to them under the same lock, so a socket
    // is never deleted while the input thread is inside one of its send members.
    struct InputShare {
        std::mutex lock;
        std::condition_variable sent;      // notified at every TP_NOTIFY_SEND
        std::vector<Peer> peers;
        bool stopped = false;
        HWND appWnd = nullptr;
    };

    struct Connection {
        std::unique_ptr<PacketSocket> socket;
        std::string name;                  // "address:port" of the other end
        unsigned id = 0;
        std::unique_ptr<EchoFlow> echo;    // with --echo
        unsigned long long packetsIn = 0;
        unsigned long long bytesIn = 0;
        bool connected = false;            // the latest connect succeeded and no close came since
        bool everConnected = false;
    };

    enum : UINT {
        kSocketMsg = WM_USER + 1,          // the packet sockets' notifications
        kInputEndedMsg,                    // posted by the input thread at end of input
        kDropMsg,                          // wParam: id of a client whose queue is full
    };
    enum : UINT_PTR { kIdleTimer = 1 };

    bool Start();
    bool StartConnect();
    bool StartListen(const std::string& address);
    void Shutdown();

    void OnMessage(UINT msg, WPARAM wParam, LPARAM lParam);
    void OnAccept();
    void OnConnect(Connection& connection);
    void OnReceive(Connection& connection);
    // Counts and prints one received packet.
    EchoFlow::PacketHandler Printer(Connection& connection);
    void OnClose(Connection& connection);
    void OnInputEnded();
    void OnSend(Connection& connection);
    void OnSendRoom();
    void OnDrop(unsigned id);
    void OnIdleTimer();
    void ShutDownSendingWhenFlushed();

    Connection* Adopt(std::unique_ptr<PacketSocket> socket, const std::string& name);
    Connection* Find(unsigned id);
    // Ends a client's connection on talvencat's own initiative, with one line naming it.
    void Disconnect(Connection& connection, const std::string& reason);
    void Release(Connection& connection);
    void AddPeer(const Connection& connection);
    void RemovePeer(PacketSocket* socket);
    void StartInput();
    static void InputLoop(std::shared_ptr<InputShare> share, bool pure, bool listen);

    void Event(const std::string& text);
    void Warn(const std::string& text);    // printed whatever -q says
    void Stats(const Connection& connection);
    // Prints "talvencat: <context>: <WinSock error text><detail>", sets status 1 and ends the loop.
    void Fail(const std::string& context, int code, const std::string& detail = "");
    // For a close with WSAEMSGSIZE: what was refused, and the likely cause.
    std::string CloseDetail(const Connection& connection, int code) const;

    CatOptions options_;
    std::string target_;                   // HOST:PORT as given
    PacketPrinter printer_;
    std::unique_ptr<AppWindow> window_;
    std::unique_ptr<CQmSocketNotifyWnd> notify_;
    std::unique_ptr<PacketSocket> listener_;
    std::map<CQmtpSocket*, Connection> connections_;
    std::shared_ptr<InputShare> share_;
    unsigned nextId_ = 1;
    bool winsockStarted_ = false;
    bool inputStarted_ = false;
    bool inputEnded_ = false;
    bool sendingShutDown_ = false;
    int status_ = 0;
};
