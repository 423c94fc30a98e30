// Handle -> window record, for the whole process.
//
// Handles come from a 64-bit counter and are never reused. The table is split into shards
// (by handle) each guarded by a reader-writer lock, so lookups from many threads (IsWindow,
// PostMessageA, dispatch) mostly share and never wait on one global lock. No lock is held
// while a window procedure runs.
//
// Threads: every member may be called from any thread. Insert and Remove are made by the
// window's owner thread, which also keeps its own windows in its ThreadState and so finds
// them without the table (the hot path of dispatch).
#pragma once

#include <cstdint>
#include <memory>
#include <shared_mutex>
#include <unordered_map>

#include "platform/user32/WindowRecord.h"

namespace talven::platform::user32 {

class WindowTable {
public:
    static WindowTable& Instance();

    // Gives rec a fresh handle (rec->hwnd) and makes it findable; returns the record, which
    // the table owns from now on.
    WindowRecord* Insert(std::unique_ptr<WindowRecord> rec);
    // Takes the record out of the table; the handle names no window from then on.
    std::unique_ptr<WindowRecord> Remove(HWND hwnd);

    // Calls fn(record) under the shard's shared lock and returns true, or false when hwnd
    // is not a window. fn must not call back into the table's writers.
    template <typename Fn>
    bool With(HWND hwnd, Fn&& fn) const {
        const std::uint64_t key = Key(hwnd);
        const Shard& shard = shards_[key % kShards];
        std::shared_lock<std::shared_mutex> hold(shard.lock);
        auto it = shard.windows.find(key);
        if (it == shard.windows.end()) {
            return false;
        }
        fn(*it->second);
        return true;
    }

    bool Contains(HWND hwnd) const;

private:
    WindowTable() = default;
    static std::uint64_t Key(HWND hwnd) { return reinterpret_cast<std::uintptr_t>(hwnd); }

    static constexpr std::size_t kShards = 64;
    struct alignas(64) Shard {
        mutable std::shared_mutex lock;
        std::unordered_map<std::uint64_t, std::unique_ptr<WindowRecord>> windows;
    };
    Shard shards_[kShards];
    std::atomic<std::uint64_t> nextHandle_{0x10000};
};

}  // namespace talven::platform::user32
