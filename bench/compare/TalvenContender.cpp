#include "TalvenContender.h"

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "TwoThreads.h"
#include "talven.h"

namespace bench {

namespace {

constexpr UINT kAppMsg = WM_USER + 100;     // the packet sockets' notification codes
constexpr UINT kStartMsg = WM_APP + 1;      // posted by the harness: open the connections
constexpr UINT kStopMsg = WM_APP + 2;       // posted by the harness: close them and quit
constexpr char kAppClass[] = "TalvenBenchApp";
constexpr long kConnectionEvents = FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE;

// A packet socket that can tell whether its send queue has drained, so that a streaming
// sender queues only while the connection takes the data.
class BenchSocket : public CQmtpSocket {
public:
    bool SendQueueEmpty() const { return GetSendQueueBytes() == 0; }
    bool Open() const { return m_hSocket != INVALID_SOCKET; }

    std::size_t trips = 0;      // fan-in: round trips done on this connection
};

// One side of a scenario: the handlers of its application window. Everything runs on the
// side's own thread, from its message loop.
class Side {
public:
    virtual ~Side() = default;

    // Makes the windows, calls Start, runs the message loop until WM_QUIT, closes what is
    // still open and destroys the windows. Throws what Start threw or what Fail recorded.
    void Run();

    virtual void OnNotify(WPARAM code, BenchSocket& s) = 0;
    virtual void OnControl(UINT /*msg*/) {}

protected:
    virtual void Start() = 0;

    // Makes a socket on this side's notification window and registers it.
    BenchSocket& NewSocket(bool listening);
    // Takes every connection waiting on `listener` into a registered socket.
    std::size_t AcceptAll(BenchSocket& listener);
    void CloseAll();
    void Fail(const std::string& what);
    void Quit() { PostQuitMessage(0); }

    HWND app_ = nullptr;
    std::vector<std::unique_ptr<BenchSocket>> sockets_;

private:
    CQmSocketNotifyWnd* notify_ = nullptr;
    std::string error_;
};

LRESULT CALLBACK AppProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    auto* side = reinterpret_cast<Side*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
    if (side != nullptr && msg == kAppMsg) {
        side->OnNotify(wParam, static_cast<BenchSocket&>(*reinterpret_cast<CQmtpSocket*>(lParam)));
        return 0;
    }
    if (side != nullptr && (msg == kStartMsg || msg == kStopMsg)) {
        side->OnControl(msg);
        return 0;
    }
    return DefWindowProcA(hwnd, msg, wParam, lParam);
}

void RegisterAppClass() {
    static std::once_flag once;
    std::call_once(once, [] {
        WNDCLASSA wc{};
        wc.lpfnWndProc = AppProc;
        wc.lpszClassName = kAppClass;
        RegisterClassA(&wc);
    });
}

void Side::Run() {
    RegisterAppClass();
    CQmSocketNotifyWnd notify;
    try {
        notify.Create(nullptr);
    } catch (CException* e) {
        e->Delete();
        throw std::runtime_error("the notification window could not be created");
    }
    notify_ = &notify;
    app_ = CreateWindowExA(0, kAppClass, "talven-bench", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
    if (app_ == nullptr) {
        throw std::runtime_error("CreateWindowExA failed");
    }
    SetWindowLongPtrA(app_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    try {
        Start();
        MSG msg;
        while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
    } catch (...) {
        CloseAll();
        DestroyWindow(app_);
        throw;
    }
    CloseAll();
    DestroyWindow(app_);
    if (!error_.empty()) {
        throw std::runtime_error(error_);
    }
}

BenchSocket& Side::NewSocket(bool listening) {
    auto s = std::make_unique<BenchSocket>();
    const long events = listening ? FD_ACCEPT : kConnectionEvents;
    if (!s->Create(*notify_, 0, SOCK_STREAM, events, "127.0.0.1")) {
        throw std::runtime_error("Create failed: " + std::to_string(WSAGetLastError()));
    }
    SendMessageA(*notify_, WM_SOCKET_ADD_MAP, 0, reinterpret_cast<LPARAM>(s.get()));
    s->SetNotifyHandle(app_, kAppMsg);
    BOOL one = TRUE;
    if (!listening) {
        s->SetSockOpt(TCP_NODELAY, &one, sizeof one, IPPROTO_TCP);
    }
    sockets_.push_back(std::move(s));
    return *sockets_.back();
}

std::size_t Side::AcceptAll(BenchSocket& listener) {
    std::size_t accepted = 0;
    for (;;) {
        auto s = std::make_unique<BenchSocket>();
        if (!listener.Accept(*s)) {
            return accepted;
        }
        // The accepted socket inherits the listener's selection (accept events only): select
        // its own events once it is registered, so none is dropped.
        s->SetNotifyWnd(*notify_);
        SendMessageA(*notify_, WM_SOCKET_ADD_MAP, 0, reinterpret_cast<LPARAM>(s.get()));
        s->SetNotifyHandle(app_, kAppMsg);
        if (!s->AsyncSelect(kConnectionEvents)) {
            throw std::runtime_error("AsyncSelect failed: " + std::to_string(WSAGetLastError()));
        }
        BOOL one = TRUE;
        s->SetSockOpt(TCP_NODELAY, &one, sizeof one, IPPROTO_TCP);
        sockets_.push_back(std::move(s));
        ++accepted;
    }
}

void Side::CloseAll() {
    for (auto& s : sockets_) {
        if (s->Open()) {
            SendMessageA(*notify_, WM_SOCKET_REMOVE_MAP, 0, reinterpret_cast<LPARAM>(s.get()));
            s->Close();
        }
    }
}

void Side::Fail(const std::string& what) {
    if (error_.empty()) {
        error_ = what;
    }
    CloseAll();
    Quit();
}

// Takes every packet waiting on `s`, oldest first, and hands it to `use` (which must not
// keep it); returns false as soon as `use` does.
template <class Use>
bool DrainPackets(BenchSocket& s, Use use) {
    for (;;) {
        char* data = nullptr;
        int len = 0;
        const int left = s.ReadData(data, len);
        if (data == nullptr) {
            return true;
        }
        const bool go_on = use(data, static_cast<std::size_t>(len));
        ::operator delete(data);
        if (!go_on) {
            return false;
        }
        if (left == 0) {
            return true;
        }
    }
}

// Server: a listening socket; echoes every packet (or, for the stream, checks and counts them
// and acks at the checkpoints); quits once `expected` connections have come and gone.
class Server : public Side {
public:
    Server(std::size_t expected, const Frame* ack, std::size_t streamCount, std::size_t payload)
        : expected_(expected), ack_(ack), streamCount_(streamCount), payload_(payload) {}

    std::future<UINT> Port() { return port_.get_future(); }
    std::size_t Accepted() const { return accepted_.load(); }

    void OnNotify(WPARAM code, BenchSocket& s) override {
        if (code == TP_NOTIFY_ACCEPT) {
            accepted_ += AcceptAll(s);
        } else if (code == TP_NOTIFY_RECEIVE) {
            DrainPackets(s, [&](char* data, std::size_t len) {
                if (ack_ == nullptr) {
                    if (s.Send(data, static_cast<int>(len)) < 0) {
                        Fail("echo failed");
                        return false;
                    }
                    return true;
                }
                if (!PayloadLooksRight(data, len, payload_)) {
                    Fail("bad payload");
                    return false;
                }
                if (IsStreamCheckpoint(++received_, streamCount_)) {
                    s.Send(const_cast<char*>(ack_->payload()), static_cast<int>(ack_->payloadSize()));
                }
                return true;
            });
        } else if (code == TP_NOTIFY_CLOSE) {
            if (++closed_ == expected_) {
                Quit();
            }
        }
    }

protected:
    void Start() override {
        try {
            BenchSocket& listener = NewSocket(true);
            if (!listener.Listen(1024)) {
                throw std::runtime_error("Listen failed");
            }
            CString address;
            UINT port = 0;
            if (!listener.GetSockName(address, port)) {
                throw std::runtime_error("GetSockName failed");
            }
            port_.set_value(port);
        } catch (...) {
            port_.set_exception(std::current_exception());
            throw;
        }
    }

private:
    std::promise<UINT> port_;
    std::size_t expected_;
    const Frame* ack_;
    std::size_t streamCount_;
    std::size_t payload_;
    std::size_t received_ = 0;
    std::size_t closed_ = 0;
    std::atomic<std::size_t> accepted_{0};
};

// Client base: connects `connections` sockets to the server's port.
class Client : public Side {
public:
    Client(std::future<UINT> port, std::size_t connections) : port_(std::move(port)), connections_(connections) {}

protected:
    void Connect() {
        const UINT port = port_.get();
        for (std::size_t i = 0; i < connections_; ++i) {
            BenchSocket& s = NewSocket(false);
            if (!s.Connect("127.0.0.1", port)) {
                throw std::runtime_error("Connect failed: " + std::to_string(WSAGetLastError()));
            }
        }
    }
    // True once every connection is made; fails the run on a failed one.
    bool Connected(BenchSocket& s) {
        if (s.GetErrorCode() != 0) {
            Fail("connect failed: " + std::to_string(s.GetErrorCode()));
            return false;
        }
        return ++connected_ == connections_;
    }
    void Finish() {
        CloseAll();
        Quit();
    }

    std::future<UINT> port_;
    std::size_t connections_;
    std::size_t connected_ = 0;
};

class PingPongClient : public Client {
public:
    PingPongClient(std::future<UINT> port, const Frame& frame, std::size_t warmup, std::size_t count, Measure& m)
        : Client(std::move(port), 1), frame_(frame), warmup_(warmup), total_(warmup + count), m_(m) {}

    void OnNotify(WPARAM code, BenchSocket& s) override {
        if (code == TP_NOTIFY_CONNECT && Connected(s)) {
            SendNext(s);
        } else if (code == TP_NOTIFY_RECEIVE) {
            DrainPackets(s, [&](char* data, std::size_t len) {
                if (!PayloadLooksRight(data, len, frame_.payloadSize())) {
                    Fail("bad echo");
                    return false;
                }
                if (done_++ >= warmup_) {
                    m_.TripEnd();
                }
                if (done_ == total_) {
                    m_.End();
                    Finish();
                    return false;
                }
                SendNext(s);
                return true;
            });
        } else if (code == TP_NOTIFY_CLOSE) {
            Fail("connection closed early");
        }
    }

protected:
    void Start() override { Connect(); }

private:
    void SendNext(BenchSocket& s) {
        if (done_ == warmup_) {
            m_.Begin();
        }
        m_.TripStart();
        if (s.Send(const_cast<char*>(frame_.payload()), static_cast<int>(frame_.payloadSize())) < 0) {
            Fail("send failed");
        }
    }

    const Frame& frame_;
    std::size_t warmup_;
    std::size_t total_;
    std::size_t done_ = 0;
    Measure& m_;
};

class StreamClient : public Client {
public:
    StreamClient(std::future<UINT> port, const Frame& frame, std::size_t count, bool batched, Measure& m)
        : Client(std::move(port), 1), frame_(frame), count_(count), batched_(batched), m_(m) {}

    void OnNotify(WPARAM code, BenchSocket& s) override {
        if (code == TP_NOTIFY_CONNECT && Connected(s)) {
            SendOne(s);     // the warm-up packet
        } else if (code == TP_NOTIFY_RECEIVE) {
            DrainPackets(s, [&](char*, std::size_t len) {
                if (len != kAckPayload) {
                    Fail("bad ack");
                    return false;
                }
                if (++acks_ == 1) {
                    m_.Begin();
                    Pump(s);
                    return true;
                }
                m_.End();
                Finish();
                return false;
            });
        } else if (code == TP_NOTIFY_SEND && acks_ == 1) {
            Pump(s);
        } else if (code == TP_NOTIFY_CLOSE) {
            Fail("connection closed early");
        }
    }

protected:
    void Start() override { Connect(); }

private:
    // Queues packets while the connection takes them; the rest waits for TP_NOTIFY_SEND.
    // Batched, a burst of 64 goes at a time: 63 queued with TP_SEND_MORE, then one without,
    // whose send writes the burst with gathered writes (so does the last packet of all). A
    // burst also ends once 256 KiB wait: the socket writes the queue then, and a sender that
    // does not want to buffer without bound waits for TP_NOTIFY_SEND.
    void Pump(BenchSocket& s) {
        while (sent_ < count_ && s.SendQueueEmpty()) {
            int flags = 0;
            do {
                ++sent_;
                flags = batched_ && sent_ % kBurst != 0 && sent_ < count_ ? TP_SEND_MORE : 0;
                SendOne(s, flags);
            } while (flags != 0 && s.GetSendQueueBytes() < kHeldBack);
        }
    }
    void SendOne(BenchSocket& s, int flags = 0) {
        if (s.Send(const_cast<char*>(frame_.payload()), static_cast<int>(frame_.payloadSize()), flags) < 0) {
            Fail("send failed");
        }
    }

    static constexpr std::size_t kBurst = 64;
    static constexpr std::size_t kHeldBack = 256 * 1024;
    const Frame& frame_;
    std::size_t count_;
    bool batched_;
    std::size_t sent_ = 0;
    std::size_t acks_ = 0;
    Measure& m_;
};

class FanInClient : public Client {
public:
    FanInClient(std::future<UINT> port, const Frame& frame, std::size_t connections, std::size_t trips, Measure& m)
        : Client(std::move(port), connections), frame_(frame), trips_(trips), m_(m) {}

    void OnNotify(WPARAM code, BenchSocket& s) override {
        if (code == TP_NOTIFY_CONNECT && Connected(s)) {
            m_.Begin();
            for (auto& c : sockets_) {
                SendOne(*c);
            }
        } else if (code == TP_NOTIFY_RECEIVE) {
            DrainPackets(s, [&](char* data, std::size_t len) {
                if (!PayloadLooksRight(data, len, frame_.payloadSize())) {
                    Fail("bad echo");
                    return false;
                }
                if (++s.trips < trips_) {
                    SendOne(s);
                } else if (++finished_ == connections_) {
                    m_.End();
                    Finish();
                    return false;
                }
                return true;
            });
        } else if (code == TP_NOTIFY_CLOSE) {
            Fail("connection closed early");
        }
    }

protected:
    void Start() override { Connect(); }

private:
    void SendOne(BenchSocket& s) {
        if (s.Send(const_cast<char*>(frame_.payload()), static_cast<int>(frame_.payloadSize())) < 0) {
            Fail("send failed");
        }
    }

    const Frame& frame_;
    std::size_t trips_;
    std::size_t finished_ = 0;
    Measure& m_;
};

// Opens its connections when the harness posts kStartMsg and closes them at kStopMsg.
class IdleClient : public Client {
public:
    IdleClient(std::future<UINT> port, std::size_t connections) : Client(std::move(port), connections) {}

    std::future<HWND> Window() { return window_.get_future(); }
    std::size_t Ready() const { return ready_.load(); }

    void OnNotify(WPARAM code, BenchSocket& s) override {
        if (code == TP_NOTIFY_CONNECT && Connected(s)) {
            ready_ = connections_;
        } else if (code == TP_NOTIFY_CLOSE) {
            Fail("connection closed early");
        }
    }
    void OnControl(UINT msg) override {
        if (msg == kStartMsg) {
            Connect();
        } else {
            Finish();
        }
    }

protected:
    void Start() override { window_.set_value(app_); }

private:
    std::promise<HWND> window_;
    std::atomic<std::size_t> ready_{0};
};

}  // namespace

TalvenContender::TalvenContender(bool batched) : started_(QmSocketInit(nullptr) != 0), batched_(batched) {}

TalvenContender::~TalvenContender() {
    if (started_) {
        QmSocketTerm();
    }
}

void TalvenContender::PingPong(const Frame& frame, std::size_t warmup, std::size_t count, Measure& m) {
    Server server(1, nullptr, 0, 0);
    PingPongClient client(server.Port(), frame, warmup, count, m);
    RunOnTwoThreads([&] { server.Run(); }, [&] { client.Run(); });
}

void TalvenContender::Stream(const Frame& frame, std::size_t count, Measure& m) {
    const Frame ack(kAckPayload);
    Server server(1, &ack, count, frame.payloadSize());
    StreamClient client(server.Port(), frame, count, batched_, m);
    RunOnTwoThreads([&] { server.Run(); }, [&] { client.Run(); });
}

void TalvenContender::FanIn(const Frame& frame, std::size_t connections, std::size_t trips, Measure& m) {
    Server server(connections, nullptr, 0, 0);
    FanInClient client(server.Port(), frame, connections, trips, m);
    RunOnTwoThreads([&] { server.Run(); }, [&] { client.Run(); });
}

void TalvenContender::Idle(std::size_t connections, const std::function<void(int phase)>& sample) {
    Server server(connections, nullptr, 0, 0);
    IdleClient client(server.Port(), connections);
    std::future<HWND> window = client.Window();
    std::atomic<bool> over{false};
    // Drives the run from a third thread: sample, open, wait until all are up, sample, close.
    std::thread driver([&] {
        if (window.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
            return;
        }
        const HWND app = window.get();
        sample(0);
        PostMessageA(app, kStartMsg, 0, 0);
        while (!over && (client.Ready() < connections || server.Accepted() < connections)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        if (!over) {
            sample(1);
            PostMessageA(app, kStopMsg, 0, 0);
        }
    });
    try {
        RunOnTwoThreads([&] { server.Run(); }, [&] { client.Run(); });
    } catch (...) {
        over = true;
        driver.join();
        throw;
    }
    over = true;
    driver.join();
}

}  // namespace bench
