// The socket seam: scripted send/recv steps, sendto capture and lookup failures for tests.
// Linked only into test programs; its static initialisation hands the library the seam.
#include <algorithm>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <unordered_map>

#include "platform/winsock/seam_hooks.h"
#include "platform/winsock/winsock_seam.h"

namespace talven::platform::sockets::seam {

namespace {

using winsock::seam::SendCall;
using winsock::seam::SentDatagram;
using winsock::seam::Step;

// Where a selected socket's events go.
struct Selection {
    HWND hwnd;
    UINT msg;
    long events;
};

// Everything the seam holds. Guarded by lock; `g_installed` mirrors "anything installed".
struct SeamState {
    std::mutex lock;
    std::unordered_map<SOCKET, std::deque<Step>> sends;
    std::unordered_map<SOCKET, std::deque<Step>> recvs;
    std::set<SOCKET> capturing;
    std::unordered_map<SOCKET, std::vector<SentDatagram>> captured;
    std::map<std::string, int> lookups;
    std::map<std::string, DWORD> delays;
    std::unordered_map<SOCKET, std::vector<SendCall>> sendLogs;  // present while recording
    std::unordered_map<SOCKET, Selection> selections;  // as told by the Windows binding

    // Caller holds lock.
    void Publish() {
        const bool any = !sends.empty() || !recvs.empty() || !capturing.empty() ||
                         !captured.empty() || !lookups.empty() ||
                         !delays.empty() || !sendLogs.empty();
        g_installed.store(any, std::memory_order_relaxed);
    }
};

SeamState& State() {
    static SeamState state;
    return state;
}

// Removes the head step of s's script, and the script when it runs out.
void PopHead(std::unordered_map<SOCKET, std::deque<Step>>& scripts, SOCKET s) {
    auto it = scripts.find(s);
    it->second.pop_front();
    if (it->second.empty()) {
        scripts.erase(it);
    }
}

// The seam the library consults: the scripts and rules above, and where each socket's events go.
class ScriptedSeam final : public Seam {
public:
    Action NextSend(SOCKET s) override;
    Action NextRecv(SOCKET s, char* buf, int len) override;
    void NoteSend(SOCKET s, bool gathered, int buffers, int bytes, int result) override;
    bool CaptureSendTo(SOCKET s, const void* to, int toLen, const char* buf, int len) override;
    int LookupFailure(const char* name) override;
    DWORD LookupDelay(const char* name) override;
    void Forget(SOCKET s) override;
    void NoteSelection(SOCKET s, HWND hwnd, UINT msg, long events) override;
    void InheritSelection(SOCKET listener, SOCKET accepted) override;
    void PostSelected(SOCKET s, long event, int error) override;
};

// Set before main and never cleared: the seam lives as long as the program.
struct Registration {
    Registration() {
        static ScriptedSeam seam;
        g_seam.store(&seam, std::memory_order_release);
    }
} g_registration;

}  // namespace

Action ScriptedSeam::NextSend(SOCKET s) {
    SeamState& st = State();
    std::lock_guard<std::mutex> hold(st.lock);
    auto it = st.sends.find(s);
    if (it == st.sends.end()) {
        return Action{};
    }
    const Step step = it->second.front();
    PopHead(st.sends, s);
    st.Publish();
    Action a;
    switch (step.kind) {
        case Step::Take: a.kind = Action::Limit; a.count = step.count; break;
        case Step::WouldBlock: a.kind = Action::WouldBlock; break;
        case Step::Fail: a.kind = Action::Fail; a.error = step.error; break;
        case Step::Data: a.kind = Action::Real; break;  // no meaning for send: the real call
    }
    return a;
}

Action ScriptedSeam::NextRecv(SOCKET s, char* buf, int len) {
    SeamState& st = State();
    std::lock_guard<std::mutex> hold(st.lock);
    auto it = st.recvs.find(s);
    if (it == st.recvs.end()) {
        return Action{};
    }
    Step& step = it->second.front();
    Action a;
    switch (step.kind) {
        case Step::Data: {
            // A chunk longer than the buffer is handed out over several calls.
            const std::size_t n = std::min(step.data.size(), static_cast<std::size_t>(len));
            if (n > 0) {
                std::memcpy(buf, step.data.data(), n);
            }
            a.kind = Action::Data;
            a.count = static_cast<int>(n);
            if (n < step.data.size()) {
                step.data.erase(0, n);
                a.more = true;
                return a;
            }
            break;
        }
        case Step::Take: a.kind = Action::Limit; a.count = step.count; break;
        case Step::WouldBlock: a.kind = Action::WouldBlock; break;
        case Step::Fail: a.kind = Action::Fail; a.error = step.error; break;
    }
    PopHead(st.recvs, s);
    a.more = st.recvs.count(s) != 0;
    st.Publish();
    return a;
}

bool ScriptedSeam::CaptureSendTo(SOCKET s, const void* to, int toLen, const char* buf, int len) {
    SeamState& st = State();
    std::lock_guard<std::mutex> hold(st.lock);
    if (st.capturing.count(s) == 0) {
        return false;
    }
    SentDatagram d;
    std::memset(&d.to, 0, sizeof d.to);
    if (to != nullptr) {
        std::memcpy(&d.to, to, std::min(sizeof d.to, static_cast<std::size_t>(toLen)));
    }
    d.bytes.assign(buf, static_cast<std::size_t>(len));
    st.captured[s].push_back(std::move(d));
    return true;
}

void ScriptedSeam::NoteSend(SOCKET s, bool gathered, int buffers, int bytes, int result) {
    SeamState& st = State();
    std::lock_guard<std::mutex> hold(st.lock);
    auto it = st.sendLogs.find(s);
    if (it != st.sendLogs.end()) {
        it->second.push_back(SendCall{gathered, buffers, bytes, result});
    }
}

int ScriptedSeam::LookupFailure(const char* name) {
    SeamState& st = State();
    std::lock_guard<std::mutex> hold(st.lock);
    auto it = st.lookups.find(name);
    return it == st.lookups.end() ? 0 : it->second;
}

DWORD ScriptedSeam::LookupDelay(const char* name) {
    SeamState& st = State();
    std::lock_guard<std::mutex> hold(st.lock);
    auto it = st.delays.find(name);
    return it == st.delays.end() ? 0 : it->second;
}

void ScriptedSeam::Forget(SOCKET s) {
    SeamState& st = State();
    std::lock_guard<std::mutex> hold(st.lock);
    st.sends.erase(s);
    st.recvs.erase(s);
    st.capturing.erase(s);
    st.captured.erase(s);
    st.sendLogs.erase(s);
    st.selections.erase(s);
    st.Publish();
}

void ScriptedSeam::NoteSelection(SOCKET s, HWND hwnd, UINT msg, long events) {
    SeamState& st = State();
    std::lock_guard<std::mutex> hold(st.lock);
    if (msg == 0 || events == 0) {
        st.selections.erase(s);
    } else {
        st.selections[s] = Selection{hwnd, msg, events};
    }
}

void ScriptedSeam::InheritSelection(SOCKET listener, SOCKET accepted) {
    SeamState& st = State();
    std::lock_guard<std::mutex> hold(st.lock);
    const auto it = st.selections.find(listener);
    if (it != st.selections.end()) {
        const Selection selection = it->second;
        st.selections[accepted] = selection;
    } else {
        st.selections.erase(accepted);
    }
}

void ScriptedSeam::PostSelected(SOCKET s, long event, int error) {
    Selection selection{};
    {
        SeamState& st = State();
        std::lock_guard<std::mutex> hold(st.lock);
        const auto it = st.selections.find(s);
        if (it == st.selections.end() || (it->second.events & event) == 0) {
            return;
        }
        selection = it->second;
    }
    ::PostMessageA(selection.hwnd, selection.msg, static_cast<WPARAM>(s),
                   WSAMAKESELECTREPLY(event, error));
}

}  // namespace talven::platform::sockets::seam

namespace winsock::seam {

using talven::platform::sockets::seam::SeamState;
using talven::platform::sockets::seam::State;

namespace {
void Install(std::unordered_map<SOCKET, std::deque<Step>>& scripts, SOCKET s,
             std::vector<Step>& steps) {
    if (steps.empty()) {
        scripts.erase(s);
    } else {
        scripts[s] = std::deque<Step>(std::make_move_iterator(steps.begin()),
                                      std::make_move_iterator(steps.end()));
    }
}
}  // namespace

void ScriptSend(SOCKET s, std::vector<Step> steps) {
    SeamState& st = State();
    std::lock_guard<std::mutex> hold(st.lock);
    Install(st.sends, s, steps);
    st.Publish();
}

void ScriptRecv(SOCKET s, std::vector<Step> steps) {
    SeamState& st = State();
    std::lock_guard<std::mutex> hold(st.lock);
    Install(st.recvs, s, steps);
    st.Publish();
}

void CaptureSendTo(SOCKET s, bool on) {
    SeamState& st = State();
    std::lock_guard<std::mutex> hold(st.lock);
    if (on) {
        st.capturing.insert(s);
    } else {
        st.capturing.erase(s);
    }
    st.Publish();
}

std::vector<SentDatagram> CapturedSendTo(SOCKET s) {
    SeamState& st = State();
    std::lock_guard<std::mutex> hold(st.lock);
    auto it = st.captured.find(s);
    return it == st.captured.end() ? std::vector<SentDatagram>{} : it->second;
}

void RecordSends(SOCKET s, bool on) {
    SeamState& st = State();
    std::lock_guard<std::mutex> hold(st.lock);
    if (on) {
        st.sendLogs[s].clear();
    } else {
        st.sendLogs.erase(s);
    }
    st.Publish();
}

std::vector<SendCall> RecordedSends(SOCKET s) {
    SeamState& st = State();
    std::lock_guard<std::mutex> hold(st.lock);
    auto it = st.sendLogs.find(s);
    return it == st.sendLogs.end() ? std::vector<SendCall>{} : it->second;
}

void FailLookup(const std::string& name, int error) {
    SeamState& st = State();
    std::lock_guard<std::mutex> hold(st.lock);
    st.lookups[name] = error;
    st.Publish();
}

void SlowLookup(const std::string& name, DWORD ms) {
    SeamState& st = State();
    std::lock_guard<std::mutex> hold(st.lock);
    if (ms == 0) {
        st.delays.erase(name);
    } else {
        st.delays[name] = ms;
    }
    st.Publish();
}

void ClearAll() {
    SeamState& st = State();
    std::lock_guard<std::mutex> hold(st.lock);
    st.sends.clear();
    st.recvs.clear();
    st.capturing.clear();
    st.captured.clear();
    st.lookups.clear();
    st.delays.clear();
    st.sendLogs.clear();
    st.Publish();
}

}  // namespace winsock::seam
