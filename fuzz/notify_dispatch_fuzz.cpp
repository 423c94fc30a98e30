// Fuzz target: message dispatch of CQmSocketNotifyWnd.
//
// The input is a sequence of operations on one notification window and a handful of socket
// objects: notifications with arbitrary wParam and lParam (sent and posted), registrations and
// removals, handles changed under registered objects (collisions, 0, INVALID_SOCKET, arbitrary
// values), notification windows that are NULL, destroyed, foreign or garbage, handlers that
// unregister and delete their own object during the dispatch, and arbitrary private messages.
// A model of the handle map predicts every handler call and every result; the target aborts on
// the first difference (the sanitizers catch any access to a deleted object).
//
// Each operation is one byte (bits 0-2: kind, bits 3-7: argument) that may consume bytes after
// it; see Run.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <vector>

#include "talven.h"

namespace {

constexpr int kSlots = 6;

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "notify_dispatch_fuzz: %s\n", what);
    std::abort();
}

void Check(bool ok, const char* what) {
    if (!ok) {
        Fail(what);
    }
}

class Reader {
public:
    Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool More() const { return pos_ < size_; }
    uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    uint64_t U64() {
        uint64_t v = 0;
        for (int i = 0; i < 8; ++i) {
            v = (v << 8) | Byte();
        }
        return v;
    }
    uint16_t U16() { return static_cast<uint16_t>((Byte() << 8) | Byte()); }

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

struct Call {
    unsigned object;  // serial number of the socket object
    int event;
    int error;
    bool operator==(const Call& o) const { return object == o.object && event == o.event && error == o.error; }
};

std::vector<Call> g_calls;

class Harness;

// A socket object that records its handler calls and, when armed, unregisters and deletes
// itself from inside its handler.
class RecordingSocket : public CQmAsyncSocket {
public:
    RecordingSocket(Harness& h, int slot, unsigned serial) : harness_(h), slot_(slot), serial_(serial) {}
    ~RecordingSocket() override { m_hSocket = INVALID_SOCKET; }  // holds no real socket

    void OnReceive(int e) override { Handle(FD_READ, e); }
    void OnSend(int e) override { Handle(FD_WRITE, e); }
    void OnOutOfBandData(int e) override { Handle(FD_OOB, e); }
    void OnAccept(int e) override { Handle(FD_ACCEPT, e); }
    void OnConnect(int e) override { Handle(FD_CONNECT, e); }
    void OnClose(int e) override { Handle(FD_CLOSE, e); }

    unsigned serial() const { return serial_; }
    bool selfDestruct = false;
    std::vector<SOCKET> keys;  // every key the object is registered under, when it destructs

private:
    void Handle(int event, int error);
    Harness& harness_;
    int slot_;
    unsigned serial_;
};

class ExposedNotifyWnd : public CQmSocketNotifyWnd {
public:
    int MapCount() const { return m_SocketMap.GetCount(); }
};

HWND ForeignWindow() {
    static HWND hwnd = [] {
        WNDCLASSA wc;
        std::memset(&wc, 0, sizeof wc);
        wc.lpfnWndProc = &DefWindowProcA;
        wc.lpszClassName = "NotifyDispatchFuzzOther";
        RegisterClassA(&wc);
        return CreateWindowExA(0, "NotifyDispatchFuzzOther", "other", 0, 0, 0, 0, 0, nullptr,
                               nullptr, nullptr, nullptr);
    }();
    return hwnd;
}

HWND DestroyedWindow() {
    static HWND hwnd = [] {
        HWND h = CreateWindowExA(0, "NotifyDispatchFuzzOther", "gone", 0, 0, 0, 0, 0, nullptr,
                                 nullptr, nullptr, nullptr);
        DestroyWindow(h);
        return h;
    }();
    return hwnd;
}

class Harness {
public:
    Harness() {
        ForeignWindow();
        DestroyedWindow();
        Check(!IsWindow(DestroyedWindow()), "a destroyed window is still a window");
        Check(!IsWindow(nullptr), "NULL is a window");
        wnd_ = std::make_unique<ExposedNotifyWnd>();
        Check(wnd_->Create(nullptr) == TRUE, "Create failed");
        hwnd_ = wnd_->GetSafeHwnd();
    }

    ~Harness() {
        // Deleting the window leaves every socket object as it was.
        std::vector<std::pair<SOCKET, HWND>> before;
        for (auto& s : slots_) {
            before.emplace_back(s ? s->m_hSocket : 0, s ? s->m_hNotifyWnd : nullptr);
        }
        const std::size_t calls = g_calls.size();
        wnd_.reset();
        for (int i = 0; i < kSlots; ++i) {
            if (slots_[i]) {
                Check(slots_[i]->m_hSocket == before[i].first && slots_[i]->m_hNotifyWnd == before[i].second,
                      "deleting the window changed a socket");
            }
        }
        Check(g_calls.size() == calls, "deleting the window called a handler");
    }

    RecordingSocket& Slot(int i) {
        if (!slots_[i]) {
            slots_[i] = std::make_unique<RecordingSocket>(*this, i, ++serial_);
            slots_[i]->m_hNotifyWnd = hwnd_;
        }
        return *slots_[i];
    }

    SOCKET HandleChoice(Reader& in) {
        const uint8_t c = in.Byte();
        switch (c & 7) {
        case 0: return INVALID_SOCKET;
        case 1: return 0;
        case 2: return static_cast<SOCKET>(c >> 3);           // small, likely to collide
        case 3: return Slot((c >> 3) % kSlots).m_hSocket;     // another object's handle
        default: return static_cast<SOCKET>(in.U64());
        }
    }

    HWND WindowChoice(Reader& in) {
        const uint8_t c = in.Byte();
        switch (c % 5) {
        case 0: return hwnd_;
        case 1: return ForeignWindow();
        case 2: return DestroyedWindow();
        case 3: return nullptr;
        default: return reinterpret_cast<HWND>(static_cast<uintptr_t>(in.U64()));
        }
    }

    // What the window must do for one WM_SOCKET_NOTIFY.
    void ExpectNotify(WPARAM w, LPARAM l) {
        if (w == 0 && l == 0) {
            return;
        }
        auto it = model_.find(static_cast<SOCKET>(w));
        if (it == model_.end()) {
            return;
        }
        RecordingSocket* s = it->second;
        if (!IsWindow(s->m_hNotifyWnd)) {
            return;
        }
        const int event = static_cast<int>(static_cast<uintptr_t>(l) & 0xffff);
        const int error = static_cast<int>((static_cast<uintptr_t>(l) >> 16) & 0xffff);
        switch (event) {
        case FD_READ: case FD_WRITE: case FD_OOB: case FD_ACCEPT: case FD_CONNECT: case FD_CLOSE:
            expected_.push_back(Call{s->serial(), event, error});
            if (s->selfDestruct) {
                s->keys.clear();
                for (auto e = model_.begin(); e != model_.end();) {
                    if (e->second == s) {
                        s->keys.push_back(e->first);
                        e = model_.erase(e);
                    } else {
                        ++e;
                    }
                }
            }
            break;
        default:
            break;
        }
    }

    void Notify(WPARAM w, LPARAM l, bool post) {
        ExpectNotify(w, l);
        if (post) {
            Check(PostMessageA(hwnd_, WM_SOCKET_NOTIFY, w, l) != FALSE, "post to the window failed");
            MSG msg;
            while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
                DispatchMessageA(&msg);
            }
        } else {
            Check(SendMessageA(hwnd_, WM_SOCKET_NOTIFY, w, l) == 0, "WM_SOCKET_NOTIFY did not return 0");
        }
    }

    void Add(RecordingSocket* s) {
        LRESULT want = 0;
        if (s != nullptr && s->m_hSocket != INVALID_SOCKET) {
            model_[s->m_hSocket] = s;
            want = 1;
        }
        const LRESULT got = SendMessageA(hwnd_, WM_SOCKET_ADD_MAP, 0, reinterpret_cast<LPARAM>(s));
        Check(got == want, "WM_SOCKET_ADD_MAP result");
    }

    void Remove(RecordingSocket* s) {
        bool want = false;
        if (s != nullptr && s->m_hSocket != INVALID_SOCKET) {
            want = model_.erase(s->m_hSocket) != 0;
        }
        const LRESULT got = SendMessageA(hwnd_, WM_SOCKET_REMOVE_MAP, 0, reinterpret_cast<LPARAM>(s));
        Check((got != 0) == want, "WM_SOCKET_REMOVE_MAP result");
    }

    // Called from inside a handler: unregister every entry that refers to the object (each
    // under its own key, as the owner of a re-keyed object must), then delete it.
    void SelfDestruct(int slot) {
        RecordingSocket* s = slots_[slot].get();
        for (SOCKET key : s->keys) {
            s->m_hSocket = key;
            Check(SendMessageA(hwnd_, WM_SOCKET_REMOVE_MAP, 0, reinterpret_cast<LPARAM>(s)) != 0,
                  "self-removal from inside a handler failed");
        }
        slots_[slot].reset();
    }

    void CheckCalls() {
        Check(g_calls == expected_, "handler calls differ from the model");
        Check(wnd_->MapCount() == static_cast<int>(model_.size()), "map size differs from the model");
    }

    void Run(Reader& in);

private:
    std::unique_ptr<ExposedNotifyWnd> wnd_;
    HWND hwnd_ = nullptr;
    std::unique_ptr<RecordingSocket> slots_[kSlots];
    std::map<SOCKET, RecordingSocket*> model_;
    std::vector<Call> expected_;
    unsigned serial_ = 0;
};

void RecordingSocket::Handle(int event, int error) {
    g_calls.push_back(Call{serial_, event, error});
    if (selfDestruct) {
        harness_.SelfDestruct(slot_);  // deletes this object; nothing may follow
    }
}

LPARAM LParamChoice(Reader& in) {
    const uint8_t c = in.Byte();
    if (c & 0x80) {
        return static_cast<LPARAM>(in.U64());
    }
    static constexpr int kEvents[8] = {FD_READ, FD_WRITE, FD_OOB, FD_ACCEPT, FD_CONNECT, FD_CLOSE,
                                       FD_READ | FD_WRITE, 0x40};
    const int event = (c & 0x40) ? 0 : kEvents[c & 7];
    return MAKELPARAM(event, in.U16());
}

void Harness::Run(Reader& in) {
    while (in.More()) {
        const uint8_t op = in.Byte();
        const unsigned arg = op >> 3;
        const int slot = static_cast<int>(arg % kSlots);
        switch (op & 7) {
        case 0:
        case 1: {
            WPARAM w = (arg & 0x10) ? static_cast<WPARAM>(in.U64()) : Slot(slot).m_hSocket;
            const LPARAM l = LParamChoice(in);
            Notify(w, l, (op & 7) == 1);
            break;
        }
        case 2:
            Add(arg >= 30 ? nullptr : &Slot(slot));
            break;
        case 3:
            Remove(arg >= 30 ? nullptr : &Slot(slot));
            break;
        case 4:
            Slot(slot).m_hSocket = HandleChoice(in);
            break;
        case 5:
            Slot(slot).m_hNotifyWnd = WindowChoice(in);
            break;
        case 6:
            Slot(slot).selfDestruct = true;
            break;
        case 7: {  // any other private message goes to the default processing
            const UINT msg = WM_USER + in.U16();
            const WPARAM w = static_cast<WPARAM>(in.U64());
            const LPARAM l = static_cast<LPARAM>(in.U64());
            if (msg == WM_SOCKET_NOTIFY) {
                Notify(w, l, false);
            } else if (msg != WM_SOCKET_ADD_MAP && msg != WM_SOCKET_REMOVE_MAP) {
                SendMessageA(hwnd_, msg, w, l);
            }
            break;
        }
        }
        CheckCalls();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    g_calls.clear();
    Reader in(data, size);
    {
        Harness h;
        h.Run(in);
    }
    return 0;
}
