#include "platform/user32/WindowTable.h"

#include <mutex>
#include <new>

namespace talven::platform::user32 {

// Built on first use and never destroyed: other modules' static objects may still ask about
// windows while the process exits.
WindowTable& WindowTable::Instance() {
    alignas(WindowTable) static unsigned char storage[sizeof(WindowTable)];
    static WindowTable* table = ::new (static_cast<void*>(storage)) WindowTable();
    return *table;
}

WindowRecord* WindowTable::Insert(std::unique_ptr<WindowRecord> rec) {
    const std::uint64_t key = nextHandle_.fetch_add(1, std::memory_order_relaxed);
    HWND hwnd = reinterpret_cast<HWND>(static_cast<std::uintptr_t>(key));
    rec->hwnd = hwnd;
    WindowRecord* raw = rec.get();
    Shard& shard = shards_[key % kShards];
    std::unique_lock<std::shared_mutex> hold(shard.lock);
    shard.windows.emplace(key, std::move(rec));
    return raw;
}

std::unique_ptr<WindowRecord> WindowTable::Remove(HWND hwnd) {
    const std::uint64_t key = Key(hwnd);
    Shard& shard = shards_[key % kShards];
    std::unique_lock<std::shared_mutex> hold(shard.lock);
    auto it = shard.windows.find(key);
    if (it == shard.windows.end()) {
        return nullptr;
    }
    std::unique_ptr<WindowRecord> rec = std::move(it->second);
    shard.windows.erase(it);
    return rec;
}

bool WindowTable::Contains(HWND hwnd) const {
    return With(hwnd, [](WindowRecord&) {});
}

}  // namespace talven::platform::user32
