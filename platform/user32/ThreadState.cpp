#include "platform/user32/ThreadState.h"

#include <mutex>
#include <new>
#include <unordered_map>

#include "platform/kernel32/tls_model.h"
#include "platform/user32/WindowTable.h"

namespace talven::platform::user32 {

namespace {

// Live threads' queues by thread id, for PostThreadMessageA and event selection. Never
// destroyed, like the window table, so that late callers at process exit find it intact.
class ThreadRegistry {
public:
    static ThreadRegistry& Instance() {
        alignas(ThreadRegistry) static unsigned char storage[sizeof(ThreadRegistry)];
        static ThreadRegistry* registry = ::new (static_cast<void*>(storage)) ThreadRegistry();
        return *registry;
    }
    void Add(DWORD id, const std::shared_ptr<ThreadQueue>& queue) {
        std::lock_guard<std::mutex> hold(lock_);
        queues_[id] = queue;
    }
    void Remove(DWORD id) {
        std::lock_guard<std::mutex> hold(lock_);
        queues_.erase(id);
    }
    std::shared_ptr<ThreadQueue> Find(DWORD id) {
        std::lock_guard<std::mutex> hold(lock_);
        auto it = queues_.find(id);
        return it == queues_.end() ? nullptr : it->second;
    }

private:
    std::mutex lock_;
    std::unordered_map<DWORD, std::shared_ptr<ThreadQueue>> queues_;
};

thread_local bool t_exited TALVEN_HOT_TLS = false;

}  // namespace

// The thread's state lives in a thread_local holder so that it is destroyed at thread exit;
// current_ and t_exited are trivially destructible and so stay readable while other
// thread_local objects are destroyed.
struct ThreadState::Holder {
    std::unique_ptr<ThreadState> state;
    ~Holder() {
        t_exited = true;
        current_ = nullptr;
        state.reset();
    }
};

thread_local ThreadState::Holder ThreadState::holder_;

ThreadState::ThreadState(DWORD threadId)
    : threadId_(threadId), queue_(std::make_shared<ThreadQueue>(threadId)) {
    ThreadRegistry::Instance().Add(threadId_, queue_);
}

ThreadState::~ThreadState() {
    WindowTable& table = WindowTable::Instance();
    for (const auto& entry : windows_) {
        table.Remove(entry.first);
    }
    windows_.clear();
    ThreadRegistry::Instance().Remove(threadId_);
    queue_->Close();
}

ThreadState* ThreadState::MakeCurrent() {
    if (current_ == nullptr && !t_exited) {
        holder_.state = std::make_unique<ThreadState>(GetCurrentThreadId());
        current_ = holder_.state.get();
    }
    return current_;
}

WindowRecord* ThreadState::FindWindowUncached(HWND hwnd) {
    auto it = windows_.find(hwnd);
    if (it == windows_.end()) {
        return nullptr;
    }
    cache_[CacheSlot(hwnd)] = CachedWindow{hwnd, it->second};
    return it->second;
}

std::shared_ptr<ThreadQueue> ThreadState::QueueOf(DWORD threadId) {
    return ThreadRegistry::Instance().Find(threadId);
}

}  // namespace talven::platform::user32
