// Fuzz target: receive assembly of CQmtpSocket.
//
// The input describes a byte stream (well-formed frames, zero length fields, length fields at
// and beyond the payload bound, arbitrary headers, garbage) and how it is cut into reads and
// read events. A derived socket serves the stream through the virtual Receive; the target then
// checks, against an independent decoder written here:
//   - the packets taken with ReadData are exactly the stream's complete frames, in order, each
//     followed by a 0 byte; a length field of 0 is skipped; a length above the bound ends the
//     stream with a close carrying WSAEMSGSIZE, after the packets before it;
//   - the assembly buffer never exceeds the bound plus the length field, rounded up to the
//     growth step, nor twice what has been read (1024 bytes at least), nor the largest payload
//     it assembles (16 KiB) plus the length field, so rounded; reads stay inside it, except
//     that a larger frame under way is read into its own buffer, exactly up to its end or its
//     room (1 MiB at first, then doubling), never more than twice what was read beyond 1 MiB;
//   - at most 8 reads per read event, none after the close, and the notifications the
//     application window receives (one TP_NOTIFY_RECEIVE per event that leaves packets queued
//     or carries an error, TP_NOTIFY_CLOSE once and last);
//   - in unframed mode the records, joined, are the stream, each of 1 to 1024 bytes plus a 0.
//
// Input layout: byte 0 configures the run (bits 0-3: payload bound, bit 4: unframed mode,
// bits 5-7: largest single read); every further byte is an operation (bits 0-2: kind, bits
// 3-7: argument) that may consume bytes after it; see BuildScript.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <vector>

#include "talven.h"

namespace {

constexpr UINT kAppMsg = WM_USER + 1;
constexpr UINT kGrowthStep = 1024;
constexpr UINT kLargePayload = 16 * 1024;  // larger payloads bypass the assembly buffer
constexpr UINT kLargeFirstCap = 1u << 20;    // a larger frame's buffer starts at this
constexpr int kMaxReadsPerEvent = 8;
constexpr std::size_t kStreamCap = 256u << 10;  // keeps one run cheap
constexpr std::size_t kReadsCap = 16384;        // with small reads, the stream is shorter
constexpr SOCKET kFakeHandle = static_cast<SOCKET>(0x3ffffff0);  // never a real descriptor

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "recv_assembly_fuzz: %s\n", what);
    std::abort();
}

void Check(bool ok, const char* what) {
    if (!ok) {
        Fail(what);
    }
}

// ---- the input as a script -------------------------------------------------------------

struct Segment {                 // what one recv may return at most
    std::size_t begin = 0;
    std::size_t end = 0;
    bool error = false;          // this read fails (SOCKET_ERROR) instead
};

struct Arrival {                 // data that arrives, then one read event
    std::vector<Segment> segments;
    bool errorEventFirst = false;  // an FD_READ carrying WSAENETDOWN comes before
    bool takeAfter = false;        // the application takes its packets after the event
};

struct Script {
    UINT bound = TP_DEFAULT_MAX_PACKET_LEN;
    bool setBound = false;
    bool pure = false;
    std::size_t maxRead = 0;     // 0: no limit beyond the segments
    std::size_t cap = kStreamCap;
    std::vector<unsigned char> stream;
    std::vector<Arrival> arrivals;
};

class Reader {
public:
    Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool More() const { return pos_ < size_; }
    uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    uint32_t Be32() {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i) {
            v = (v << 8) | Byte();
        }
        return v;
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

constexpr UINT kBounds[16] = {0 /* default: not set */, 1, 4, 100, 1019, 1020, 1021, 1024,
                              2044, 2048, 5000, 65536, 0x7fffffffu, 0xfffffffbu, 0xffffffffu, 0};

void PutBe32(std::vector<unsigned char>& out, uint32_t v) {
    out.push_back(static_cast<unsigned char>(v >> 24));
    out.push_back(static_cast<unsigned char>(v >> 16));
    out.push_back(static_cast<unsigned char>(v >> 8));
    out.push_back(static_cast<unsigned char>(v));
}

// A frame of `len` payload bytes whose content identifies the frame and the offset.
void PutFrame(Script& s, uint32_t len, unsigned serial) {
    if (s.stream.size() + 4 + len > s.cap) {
        return;
    }
    PutBe32(s.stream, len);
    for (uint32_t i = 0; i < len; ++i) {
        s.stream.push_back(static_cast<unsigned char>(i * 31u + serial * 7u + 1u));
    }
}

void CutSegment(Script& s, std::size_t& segStart) {
    if (s.arrivals.empty()) {
        s.arrivals.emplace_back();
    }
    if (s.stream.size() > segStart) {
        s.arrivals.back().segments.push_back(Segment{segStart, s.stream.size(), false});
        segStart = s.stream.size();
    }
}

Script BuildScript(const uint8_t* data, size_t size) {
    Script s;
    Reader in(data, size);
    const uint8_t config = in.Byte();
    const unsigned boundIndex = config & 0x0f;
    if (boundIndex != 0) {
        s.setBound = true;
        s.bound = kBounds[boundIndex];
    }
    s.pure = (config & 0x10) != 0;
    static constexpr std::size_t kMaxRead[8] = {0, 1, 3, 7, 64, 500, 1023, 1500};
    s.maxRead = kMaxRead[config >> 5];
    if (s.maxRead != 0) {
        s.cap = std::min(s.cap, s.maxRead * kReadsCap);
    }

    std::size_t segStart = 0;
    unsigned serial = 0;
    s.arrivals.emplace_back();
    while (in.More()) {
        const uint8_t op = in.Byte();
        const unsigned arg = op >> 3;
        switch (op & 7) {
        case 0: {  // a frame of 0..65535 payload bytes
            const uint32_t len = static_cast<uint32_t>(in.Byte()) | (static_cast<uint32_t>(in.Byte()) << 8);
            PutFrame(s, len, ++serial);
            break;
        }
        case 1: {  // a length field near the bound: bound-2 .. bound+2
            const uint64_t want = static_cast<uint64_t>(s.bound) + (arg % 5) - 2;
            const uint32_t len = want > 0xffffffffu ? 0xffffffffu : static_cast<uint32_t>(want);
            if (len <= s.bound && len < s.cap) {
                PutFrame(s, len, ++serial);
            } else if (s.stream.size() + 4 + arg < s.cap) {
                PutBe32(s.stream, len);
                s.stream.insert(s.stream.end(), arg, 0x5a);
            }
            break;
        }
        case 2:  // one to four zero length fields
            for (unsigned i = 0; i <= (arg & 3) && s.stream.size() + 4 < s.cap; ++i) {
                PutBe32(s.stream, 0);
            }
            break;
        case 3: {  // an arbitrary length field and up to 31 bytes behind it
            const uint32_t len = in.Be32();
            if (s.stream.size() + 4 + arg < s.cap) {
                PutBe32(s.stream, len);
                for (unsigned i = 0; i < arg; ++i) {
                    s.stream.push_back(in.Byte());
                }
            }
            break;
        }
        case 4:  // 1 to 32 raw bytes
            for (unsigned i = 0; i <= arg && s.stream.size() < s.cap; ++i) {
                s.stream.push_back(in.Byte());
            }
            break;
        case 5:  // the next recv ends here
            CutSegment(s, segStart);
            break;
        case 6: {  // everything so far has arrived; a read event follows
            CutSegment(s, segStart);
            Arrival& a = s.arrivals.back();
            a.takeAfter = (arg & 1) != 0;
            a.errorEventFirst = (arg & 2) != 0;
            if (arg & 4) {
                a.segments.insert(a.segments.begin(), Segment{0, 0, true});
            }
            s.arrivals.emplace_back();
            break;
        }
        case 7:  // a small frame: 0..1147 payload bytes
            PutFrame(s, arg * 37u, ++serial);
            break;
        }
    }
    CutSegment(s, segStart);
    return s;
}

// ---- the independent decoder -------------------------------------------------------------

struct Expected {
    std::vector<std::vector<unsigned char>> packets;
    bool closes = false;        // a length above the bound ends the stream
    bool undecided = false;     // a length outside the format with no bound below it
    std::size_t leftover = 0;   // bytes after the last complete frame when neither
};

Expected Decode(const std::vector<unsigned char>& stream, UINT bound) {
    Expected e;
    std::size_t pos = 0;
    while (stream.size() - pos >= 4) {
        const uint32_t len = (static_cast<uint32_t>(stream[pos]) << 24) |
                             (static_cast<uint32_t>(stream[pos + 1]) << 16) |
                             (static_cast<uint32_t>(stream[pos + 2]) << 8) | stream[pos + 3];
        if (len == 0) {
            pos += 4;
            continue;
        }
        if (len > bound) {
            e.closes = true;
            return e;
        }
        if (len > 0xfffffffbu) {  // length + 4 does not fit in 32 bits
            e.undecided = true;
            return e;
        }
        if (stream.size() - pos - 4 < len) {
            break;
        }
        e.packets.emplace_back(stream.begin() + static_cast<std::ptrdiff_t>(pos + 4),
                               stream.begin() + static_cast<std::ptrdiff_t>(pos + 4 + len));
        pos += 4 + static_cast<std::size_t>(len);
    }
    e.leftover = stream.size() - pos;
    return e;
}

// ---- the application window --------------------------------------------------------------

std::vector<WPARAM> g_notes;  // notification codes, in order of arrival

LRESULT CALLBACK AppProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == kAppMsg) {
        g_notes.push_back(wParam);
        return 0;
    }
    return DefWindowProcA(hwnd, msg, wParam, lParam);
}

HWND AppWindow() {
    static HWND hwnd = [] {
        WNDCLASSA wc;
        std::memset(&wc, 0, sizeof wc);
        wc.lpfnWndProc = &AppProc;
        wc.lpszClassName = "RecvAssemblyFuzzApp";
        RegisterClassA(&wc);
        return CreateWindowExA(0, "RecvAssemblyFuzzApp", "app", 0, 0, 0, 0, 0, nullptr, nullptr,
                               nullptr, nullptr);
    }();
    return hwnd;
}

void Pump() {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        DispatchMessageA(&msg);
    }
}

// ---- the socket under test ---------------------------------------------------------------

class ScriptedSocket : public CQmtpSocket {
public:
    explicit ScriptedSocket(const Script& script) : script_(script) { m_hSocket = kFakeHandle; }
    ~ScriptedSocket() override { m_hSocket = INVALID_SOCKET; }

    void Arrive(const Arrival& a) {
        for (const Segment& seg : a.segments) {
            if (seg.error) {
                pending_.push_back(seg);
                continue;
            }
            // The largest single read splits a segment further.
            for (std::size_t b = seg.begin; b < seg.end;) {
                std::size_t e = seg.end;
                if (script_.maxRead != 0 && e - b > script_.maxRead) {
                    e = b + script_.maxRead;
                }
                pending_.push_back(Segment{b, e, false});
                available_ += e - b;
                b = e;
            }
        }
    }

    int Receive(void* buffer, int length, int flags) override {
        Check(!closed(), "read after the close");
        Check(++readsThisEvent_ <= kMaxReadsPerEvent, "more than 8 reads in one read event");
        Check(flags == 0, "read with flags");
        Check(length > 0, "read of no room");
        char* p = static_cast<char*>(buffer);
        if (!script_.pure && m_pRecvLarge != nullptr) {
            Check(m_nPacketLen > kLargePayload && m_nRecvLen == 0, "a large frame beside assembly");
            Check(p == m_pRecvLarge + m_nRecvLargeLen, "read not at the end of the large frame's bytes");
            Check(m_nRecvLargeLen < m_nRecvLargeCap && m_nRecvLargeCap <= m_nPacketLen,
                  "a large frame's buffer full or beyond the frame when read into");
            Check(static_cast<UINT>(length) == m_nRecvLargeCap - m_nRecvLargeLen,
                  "read not exactly the free room of the large frame's buffer");
        } else if (!script_.pure) {
            Check(p >= m_pRecvBuf && p + length <= m_pRecvBuf + m_nRecvBufSize,
                  "read outside the assembly buffer");
            Check(p == m_pRecvBuf + m_nRecvLen, "read not at the end of the held bytes");
        } else {
            Check(length <= 1024, "unframed read larger than 1024");
        }
        if (pending_.empty()) {
            WSASetLastError(WSAEWOULDBLOCK);
            return 0;
        }
        Segment& seg = pending_.front();
        if (seg.error) {
            pending_.pop_front();
            WSASetLastError(WSAECONNABORTED);
            return SOCKET_ERROR;
        }
        const std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(length), seg.end - seg.begin);
        std::memcpy(p, script_.stream.data() + seg.begin, n);
        seg.begin += n;
        available_ -= n;
        totalRead_ += n;
        if (seg.begin == seg.end) {
            pending_.pop_front();
        }
        return static_cast<int>(n);
    }

    void Close() override {
        closedByVirtual_ = true;
        m_hSocket = INVALID_SOCKET;
    }

    void Event(int error) {
        readsThisEvent_ = 0;
        if (script_.pure) {
            OnReceivePure(error);
        } else {
            OnReceive(error);
        }
        if (error != 0) {
            Check(readsThisEvent_ == 0, "a read event with an error read data");
        }
        CheckBuffer();
    }

    void CheckBuffer() const {
        if (script_.pure) {
            return;
        }
        Check(m_nRecvLen <= m_nRecvBufSize, "held bytes beyond the buffer's capacity");
        const uint64_t bound = std::min<uint64_t>(GetMaxPacketLen(), 0xfffffffbu);
        const uint64_t assembled = std::min<uint64_t>(bound, kLargePayload);
        const uint64_t byBound = std::max<uint64_t>(kGrowthStep, (assembled + 4 + kGrowthStep - 1) / kGrowthStep * kGrowthStep);
        const uint64_t byData = std::max<uint64_t>(kGrowthStep, 2 * totalRead_);
        Check(m_nRecvBufSize <= byBound, "assembly buffer beyond the bound");
        Check(m_nRecvBufSize <= byData, "assembly buffer beyond what was read");
        Check(m_nRecvBufSize % kGrowthStep == 0, "assembly buffer not a multiple of the step");
        if (m_pRecvLarge != nullptr) {
            Check(m_nRecvLargeCap <= std::max<uint64_t>(kLargeFirstCap, 2 * totalRead_),
                  "a large frame's buffer beyond twice what was read");
        }
    }

    bool closed() const { return closedByVirtual_ || m_hSocket == INVALID_SOCKET; }
    bool dataWaiting() const { return !pending_.empty(); }
    bool failingReadNext() const { return !pending_.empty() && pending_.front().error; }
    std::size_t available() const { return available_; }
    int queued() const { return m_RecvList.GetCount(); }
    UINT held() const { return m_nRecvLen + m_nRecvLargeLen + (m_pRecvLarge != nullptr ? 4 : 0); }

private:
    const Script& script_;
    std::deque<Segment> pending_;
    std::size_t available_ = 0;
    uint64_t totalRead_ = 0;
    int readsThisEvent_ = 0;
    bool closedByVirtual_ = false;
};

void TakeAll(ScriptedSocket& sock, std::vector<std::vector<unsigned char>>& got) {
    for (;;) {
        char* data = nullptr;
        int len = -1;
        const int left = sock.ReadData(data, len);
        if (data == nullptr) {
            Check(left == 0 && len == -1, "ReadData wrote outputs with nothing queued");
            return;
        }
        Check(len > 0, "a delivered packet of length 0 or less");
        Check(data[len] == 0, "a delivered packet without its terminating 0");
        got.emplace_back(data, data + len);
        ::operator delete(data);
        Check(left == sock.queued(), "ReadData's result is not the number still queued");
    }
}

// Runs one read event and checks the notifications it produced.
void RunEvent(ScriptedSocket& sock, int error, bool& closeSeen) {
    g_notes.clear();
    const bool wasClosed = sock.closed();
    sock.Event(error);
    const bool queuedAfter = sock.queued() > 0;
    Pump();
    const bool closedNow = sock.closed() && !wasClosed;
    std::size_t receives = 0;
    std::size_t closes = 0;
    for (std::size_t i = 0; i < g_notes.size(); ++i) {
        if (g_notes[i] == TP_NOTIFY_RECEIVE) {
            Check(closes == 0, "TP_NOTIFY_RECEIVE after TP_NOTIFY_CLOSE of the same event");
            ++receives;
        } else if (g_notes[i] == TP_NOTIFY_CLOSE) {
            ++closes;
        } else {
            Fail("an unexpected notification code");
        }
    }
    const bool wantReceive = error != 0 || queuedAfter;
    Check(receives == (wantReceive ? 1u : 0u), "wrong number of TP_NOTIFY_RECEIVE for an event");
    Check(closes == (closedNow ? 1u : 0u), "TP_NOTIFY_CLOSE without a close, or twice");
    if (closedNow) {
        Check(!closeSeen, "closed twice");
        closeSeen = true;
        Check(sock.GetErrorCode() == WSAEMSGSIZE, "the close does not carry WSAEMSGSIZE");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    const Script script = BuildScript(data, size);
    ScriptedSocket sock(script);
    Check(sock.SetNotifyHandle(AppWindow(), kAppMsg) == 1, "SetNotifyHandle refused the window");
    if (script.setBound) {
        sock.SetMaxPacketLen(script.bound);
    }

    std::vector<std::vector<unsigned char>> got;
    bool closeSeen = false;
    for (const Arrival& a : script.arrivals) {
        sock.Arrive(a);
        if (a.errorEventFirst) {
            RunEvent(sock, WSAENETDOWN, closeSeen);
        }
        RunEvent(sock, 0, closeSeen);
        if (a.takeAfter) {
            TakeAll(sock, got);
        }
        if (sock.closed()) {
            break;
        }
    }
    // Whatever is still waiting is read at later read events; each one reads something.
    while (!sock.closed() && sock.dataWaiting()) {
        const std::size_t before = sock.available();
        const bool errorFirst = sock.failingReadNext();  // that read ends the event
        RunEvent(sock, 0, closeSeen);
        Check(errorFirst || sock.closed() || sock.available() < before, "a read event read nothing");
    }
    TakeAll(sock, got);

    if (script.pure) {
        Check(!sock.closed(), "unframed mode closed the socket");
        std::vector<unsigned char> joined;
        for (const auto& p : got) {
            Check(p.size() <= 1024, "an unframed record of more than 1024 bytes");
            joined.insert(joined.end(), p.begin(), p.end());
        }
        Check(joined == script.stream, "unframed records differ from the stream");
        return 0;
    }

    const Expected want = Decode(script.stream, sock.GetMaxPacketLen());
    if (want.undecided) {
        // Only the frames before the unusable length field are determined.
        Check(got.size() == want.packets.size(), "packets delivered past an unusable length field");
    } else {
        Check(got.size() == want.packets.size(), "wrong number of packets");
        Check(closeSeen == want.closes, want.closes ? "no close on a length above the bound"
                                                    : "a close without a length above the bound");
        if (!want.closes) {
            Check(sock.held() == want.leftover, "held bytes differ from the incomplete tail");
        }
    }
    for (std::size_t i = 0; i < want.packets.size() && i < got.size(); ++i) {
        Check(got[i] == want.packets[i], "a packet's bytes differ");
    }
    return 0;
}
