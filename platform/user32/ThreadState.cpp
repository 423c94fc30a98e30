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

// The thread's state lives in a thread_local holder so that it is destroyed at thread exit;
// t_state and t_exited are trivially destructible and so stay readable while other
// thread_local objects are destroyed.
struct StateHolder {
    std::unique_ptr<ThreadState> state;
    ~StateHolder();
};

thread_local ThreadState* t_state TALVEN_HOT_TLS = nullptr;
thread_local bool t_exited TALVEN_HOT_TLS = false;
thread_local StateHolder t_holder;

StateHolder::~StateHolder() {
    t_exited = true;
    t_state = nullptr;
    state.reset();
}

}  // namespace

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

ThreadState* ThreadState::Current() {
    if (t_state == nullptr && !t_exited) {
        t_holder.state = std::make_unique<ThreadState>(GetCurrentThreadId());
        t_state = t_holder.state.get();
    }
    return t_state;
}

ThreadState* ThreadState::CurrentIfAny() {
    return t_state;
}

std::shared_ptr<ThreadQueue> ThreadState::QueueOf(DWORD threadId) {
    return ThreadRegistry::Instance().Find(threadId);
}

}  // namespace talven::platform::user32
