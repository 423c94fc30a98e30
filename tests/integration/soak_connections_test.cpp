// Soak: 1,000 loopback connections between packet sockets on one notification window, with
// packets of random sizes sent in random bursts both ways, and a random tenth of the
// connections reset by their peer in the middle of a packet. Every packet on a connection that
// is not reset arrives whole and in order; every reset connection ends with TP_NOTIFY_CLOSE and
// an error code; afterwards no descriptor and no heap memory is left behind.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include <gtest/gtest.h>

#include "integration/hostile_support.h"

using namespace talven_test;

namespace {

constexpr int kConnections = 1000;
constexpr int kWave = 100;              // connections made at once (the listen backlog holds them)
constexpr std::size_t kHeaderSize = 13;  // connection, sequence, length, direction
constexpr std::uint32_t kSeed = 20261208;

std::uint32_t Get32(const char* p) {
    std::uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

char PatternByte(std::uint32_t conn, std::uint32_t seq, std::size_t i) {
    return static_cast<char>((conn * 7u + seq * 13u + i) & 0xff);
}

struct Side {
    std::unique_ptr<ExposedPacketSocket> sock;
    bool client = false;
    int conn = -1;                // known to a server side once the first packet arrives
    std::uint32_t planned = 0;    // packets this side sends in all
    std::uint32_t sent = 0;
    std::uint32_t received = 0;   // packets received from the other side, all in order
    bool connected = false;
    bool closed = false;
    int closeError = -1;
    bool resetPending = false;    // server side of a reset connection, waiting for its turn
    std::uint32_t resetAfter = 0;
};

struct Connection {
    Side* client = nullptr;
    Side* server = nullptr;
    bool reset = false;
    bool resetDone = false;
};

class Soak {
public:
    Soak() : rng_(kSeed) {
        WNDCLASSA wc;
        std::memset(&wc, 0, sizeof wc);
        wc.lpfnWndProc = &Soak::AppProc;
        wc.lpszClassName = "TalvenSoakApp";
        RegisterClassA(&wc);
        app_ = CreateWindowExA(0, "TalvenSoakApp", "soak", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
        SetWindowLongPtrA(app_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
        notifyWnd_.Create(nullptr);
        notify_ = notifyWnd_.GetSafeHwnd();
        conns_.resize(kConnections);
    }

    ~Soak() {
        for (auto& side : sides_) {
            Drop(*side);
        }
        if (listener_.m_hSocket != INVALID_SOCKET) {
            SendMessageA(notify_, WM_SOCKET_REMOVE_MAP, 0, reinterpret_cast<LPARAM>(&listener_));
        }
        SetWindowLongPtrA(app_, GWLP_USERDATA, 0);
        DestroyWindow(app_);
    }

    Soak(const Soak&) = delete;
    Soak& operator=(const Soak&) = delete;

    bool Listen() {
        if (!listener_.Create(notify_, 0, SOCK_STREAM, FD_READ | FD_WRITE | FD_ACCEPT | FD_CLOSE, "127.0.0.1") || !listener_.Listen(kWave * 2)) {
            return false;
        }
        SendMessageA(notify_, WM_SOCKET_ADD_MAP, 0, reinterpret_cast<LPARAM>(&listener_));
        listener_.SetNotifyHandle(app_, kAppMsg);
        CString address;
        return listener_.GetSockName(address, port_) != 0;
    }

    // Connects one wave of clients; each sends its first packet once connected, which tells
    // the accepting side which connection it belongs to.
    bool ConnectWave(int first, int count) {
        for (int c = first; c < first + count; ++c) {
            Side& side = NewSide(true);
            side.conn = c;
            conns_[c].client = &side;
            if (!side.sock->Create(notify_)) {
                return false;
            }
            Register(side);
            if (!side.sock->Connect("127.0.0.1", port_)) {
                return false;
            }
        }
        return PumpUntil([&] {
            for (int c = first; c < first + count; ++c) {
                if (conns_[c].server == nullptr) {
                    return false;
                }
            }
            return true;
        }, 20000);
    }

    // Plans the traffic: how many packets each side sends, and which connections are reset by
    // their accepting side after how many of its packets.
    void Plan() {
        std::vector<int> order(kConnections);
        for (int c = 0; c < kConnections; ++c) {
            order[c] = c;
            conns_[c].client->planned = 4 + rng_() % 8;
            conns_[c].server->planned = 3 + rng_() % 8;
        }
        std::shuffle(order.begin(), order.end(), rng_);
        for (int i = 0; i < kConnections / 10; ++i) {
            Connection& conn = conns_[order[i]];
            conn.reset = true;
            conn.server->resetPending = true;
            conn.server->resetAfter = rng_() % (conn.server->planned + 1);
        }
        for (auto& side : sides_) {
            active_.push_back(side.get());
        }
    }

    // Random bursts from random sides until every side has sent its packets (or is reset).
    void Run() {
        int bursts = 0;
        while (!active_.empty()) {
            const std::size_t pick = rng_() % active_.size();
            Side& side = *active_[pick];
            const int burst = 1 + static_cast<int>(rng_() % 4);
            for (int i = 0; i < burst && side.sent < side.planned && !side.closed; ++i) {
                if (side.resetPending && side.sent == side.resetAfter) {
                    break;
                }
                SendOne(side);
            }
            if (side.resetPending && side.sent == side.resetAfter && !TryReset(side)) {
                PumpFor(1);  // its queue is still draining
            }
            if ((!side.resetPending && side.sent == side.planned) || side.closed) {
                active_[pick] = active_.back();
                active_.pop_back();
            }
            if (++bursts % 16 == 0) {
                Drain();
            }
        }
    }

    bool Settled() const {
        for (const Connection& c : conns_) {
            if (c.reset ? !c.client->closed
                        : (c.client->received != c.server->planned || c.server->received != c.client->planned)) {
                return false;
            }
        }
        return true;
    }

    // Closes every connection that was not reset from its connecting side; the accepting side
    // sees a graceful close.
    bool CloseGracefully() {
        closingGracefully_ = true;
        for (Connection& c : conns_) {
            if (!c.reset) {
                Drop(*c.client);
            }
        }
        return PumpUntil([&] {
            for (const Connection& c : conns_) {
                if (!c.reset && !c.server->closed) {
                    return false;
                }
            }
            return true;
        }, 30000);
    }

    const std::vector<Connection>& conns() const { return conns_; }
    std::uint64_t packetsSent() const { return packetsSent_; }
    std::uint64_t bytesSent() const { return bytesSent_; }
    std::uint64_t packetsReceived() const { return packetsReceived_; }
    const std::vector<std::string>& faults() const { return faults_; }

private:
    Side& NewSide(bool client) {
        sides_.push_back(std::make_unique<Side>());
        Side& side = *sides_.back();
        side.client = client;
        side.sock = std::make_unique<ExposedPacketSocket>();
        bySocket_[side.sock.get()] = &side;
        return side;
    }

    void Register(Side& side) {
        SendMessageA(notify_, WM_SOCKET_ADD_MAP, 0, reinterpret_cast<LPARAM>(side.sock.get()));
        side.sock->SetNotifyHandle(app_, kAppMsg);
    }

    // Unregisters and deletes a side's socket object (its destructor closes the socket).
    void Drop(Side& side) {
        if (!side.sock) {
            return;
        }
        if (side.sock->m_hSocket != INVALID_SOCKET) {
            SendMessageA(notify_, WM_SOCKET_REMOVE_MAP, 0, reinterpret_cast<LPARAM>(side.sock.get()));
        }
        bySocket_.erase(side.sock.get());
        side.sock.reset();
    }

    void Fault(const std::string& what) {
        if (faults_.size() < 20) {
            faults_.push_back(what);
        }
    }

    std::size_t RandomSize() {
        const std::uint32_t r = rng_() % 100;
        if (r < 70) {
            return kHeaderSize + rng_() % 500;
        }
        if (r < 95) {
            return 512 + rng_() % 3584;
        }
        return 4096 + rng_() % 61440;
    }

    void SendOne(Side& side) {
        const std::size_t len = RandomSize();
        buf_.resize(len);
        const auto conn = static_cast<std::uint32_t>(side.conn);
        const std::uint32_t seq = side.sent;
        const auto n = static_cast<std::uint32_t>(len);
        std::memcpy(&buf_[0], &conn, 4);
        std::memcpy(&buf_[4], &seq, 4);
        std::memcpy(&buf_[8], &n, 4);
        buf_[12] = side.client ? 'c' : 's';
        for (std::size_t i = kHeaderSize; i < len; ++i) {
            buf_[i] = PatternByte(conn, seq, i);
        }
        const int result = side.sock->Send(&buf_[0], static_cast<int>(len));
        ++side.sent;
        ++packetsSent_;
        bytesSent_ += len;
        if (result <= 0 && !conns_[side.conn].reset) {
            Fault("Send failed on connection " + std::to_string(side.conn));
        }
    }

    // The accepting side of a reset connection writes half a packet and resets the connection,
    // once everything it queued before is on the wire (so that the half packet follows whole
    // packets and not the unsent rest of one).
    bool TryReset(Side& side) {
        if (side.sock->SendQueued() != 0) {
            return false;
        }
        const SOCKET h = side.sock->m_hSocket;
        SendMessageA(notify_, WM_SOCKET_REMOVE_MAP, 0, reinterpret_cast<LPARAM>(side.sock.get()));
        const std::string half = Header(1000) + std::string(100, 'r');
        winsock::send(h, half.data(), static_cast<int>(half.size()), 0);
        ResetAndClose(h);
        side.sock->m_hSocket = INVALID_SOCKET;
        side.resetPending = false;
        side.closed = true;
        conns_[side.conn].resetDone = true;
        return true;
    }

    void Drain() {
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            DispatchMessageA(&msg);
        }
    }

    void Accept() {
        for (;;) {
            Side& side = NewSide(false);
            if (!listener_.Accept(*side.sock)) {
                bySocket_.erase(side.sock.get());
                sides_.pop_back();
                return;
            }
            side.sock->SetNotifyWnd(notify_);
            Register(side);
        }
    }

    void Receive(Side& side) {
        for (std::string& p : TakePackets(*side.sock)) {
            if (p.size() < kHeaderSize) {
                Fault("a packet shorter than its header");
                continue;
            }
            const std::uint32_t conn = Get32(&p[0]);
            const std::uint32_t seq = Get32(&p[4]);
            const std::uint32_t len = Get32(&p[8]);
            if (side.conn < 0 && conn < static_cast<std::uint32_t>(kConnections) && conns_[conn].server == nullptr) {
                side.conn = static_cast<int>(conn);
                conns_[conn].server = &side;
            }
            bool ok = static_cast<int>(conn) == side.conn && seq == side.received && len == p.size() &&
                      p[12] == (side.client ? 's' : 'c');
            for (std::size_t i = kHeaderSize; ok && i < p.size(); ++i) {
                ok = p[i] == PatternByte(conn, seq, i);
            }
            if (!ok) {
                Fault("connection " + std::to_string(side.conn) + ": packet " + std::to_string(side.received) +
                      " damaged or out of order");
            }
            ++side.received;
            ++packetsReceived_;
        }
    }

    void OnNotify(WPARAM code, LPARAM obj) {
        if (obj == reinterpret_cast<LPARAM>(&listener_)) {
            if (code == TP_NOTIFY_ACCEPT) {
                Accept();
            }
            return;
        }
        auto it = bySocket_.find(reinterpret_cast<CQmtpSocket*>(obj));
        if (it == bySocket_.end()) {
            return;  // a notification for an object already deleted
        }
        Side& side = *it->second;
        switch (code) {
        case TP_NOTIFY_CONNECT:
            side.connected = side.sock->GetErrorCode() == 0;
            if (!side.connected) {
                Fault("connect failed: " + std::to_string(side.sock->GetErrorCode()));
            } else {
                SendOne(side);
            }
            break;
        case TP_NOTIFY_RECEIVE:
            Receive(side);
            break;
        case TP_NOTIFY_CLOSE:
            side.closed = true;
            side.closeError = side.sock->GetErrorCode();
            if (side.conn >= 0 && !conns_[side.conn].reset && !closingGracefully_) {
                Fault("connection " + std::to_string(side.conn) + " closed unexpectedly");
            }
            break;
        case TP_NOTIFY_SEND:
            break;
        default:
            Fault("unexpected notification " + std::to_string(code));
            break;
        }
    }

    static LRESULT CALLBACK AppProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
        auto* self = reinterpret_cast<Soak*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
        if (self != nullptr && msg == kAppMsg) {
            self->OnNotify(wParam, lParam);
            return 0;
        }
        return DefWindowProcA(hwnd, msg, wParam, lParam);
    }

    std::mt19937 rng_;
    HWND app_ = nullptr;
    CQmSocketNotifyWnd notifyWnd_;
    HWND notify_ = nullptr;
    CQmtpSocket listener_;
    UINT port_ = 0;
    std::vector<std::unique_ptr<Side>> sides_;
    std::unordered_map<CQmtpSocket*, Side*> bySocket_;
    std::vector<Connection> conns_;
    std::vector<Side*> active_;
    std::vector<char> buf_;
    std::vector<std::string> faults_;
    bool closingGracefully_ = false;
    std::uint64_t packetsSent_ = 0;
    std::uint64_t bytesSent_ = 0;
    std::uint64_t packetsReceived_ = 0;
};

}  // namespace

TEST(Soak, ThousandConnectionsWithBurstsAndResetsLoseNothing) {
    WinSockSession session;
    ASSERT_TRUE(session.ok());
    ASSERT_TRUE(EnoughDescriptors(2 * kConnections + 256));
    MSG msg;
    PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);  // the thread's queue exists before counting
    const int descriptorsBefore = OpenDescriptors();
    const std::uint64_t heapBefore = HeapInUse();
    {
        Soak soak;
        ASSERT_TRUE(soak.Listen());
        for (int first = 0; first < kConnections; first += kWave) {
            ASSERT_TRUE(soak.ConnectWave(first, kWave)) << "wave at " << first;
        }
        soak.Plan();
        soak.Run();
        ASSERT_TRUE(PumpUntil([&] { return soak.Settled(); }, 60000)) << "traffic did not settle";

        int resets = 0;
        const bool resetErrorDocumented = ExpectDocumented(kWineResetCloseError);
        for (const Connection& c : soak.conns()) {
            if (c.reset) {
                ++resets;
                EXPECT_TRUE(c.resetDone);
                EXPECT_TRUE(c.client->closed);
                if (resetErrorDocumented) {
                    EXPECT_NE(c.client->closeError, 0) << "connection " << c.client->conn;
                }
                EXPECT_LE(c.client->received, c.server->sent);
            } else {
                EXPECT_FALSE(c.client->closed || c.server->closed) << "connection " << c.client->conn;
            }
        }
        EXPECT_EQ(resets, kConnections / 10);
        std::printf("soak: %d connections, %d reset; %llu packets (%llu bytes) sent, %llu received\n",
                    kConnections, resets, static_cast<unsigned long long>(soak.packetsSent()),
                    static_cast<unsigned long long>(soak.bytesSent()),
                    static_cast<unsigned long long>(soak.packetsReceived()));

        ASSERT_TRUE(soak.CloseGracefully());
        for (const Connection& c : soak.conns()) {
            if (!c.reset) {
                EXPECT_EQ(c.server->closeError, 0) << "connection " << c.client->conn;
            }
        }
        EXPECT_EQ(soak.faults(), std::vector<std::string>{});
    }
    PumpFor(50);
    EXPECT_EQ(OpenDescriptors(), descriptorsBefore);
    if (HeapIsMeasurable()) {
        EXPECT_LT(static_cast<double>(HeapInUse()) - static_cast<double>(heapBefore), 4e6);
    }
}
