// The Selection of each descriptor number. Slots are made in blocks on first use and live
// as long as the process (they are never freed, so late callers at exit still find them), so
// a Selection found once stays valid; lookups take no lock.
// Threads: any.
#pragma once

#include <array>
#include <atomic>

#include "platform/winsock/Selection.h"

namespace talven::platform::sockets {

class SelectionTable {
public:
    // The slot of fd, or null when none has been made (or fd is out of range). Inline: it
    // runs on every socket call and readiness report.
    static Selection* Find(int fd) {
        if (static_cast<unsigned>(fd) >= static_cast<unsigned>(kBlockSize * kBlocks)) {
            return nullptr;  // negative numbers too
        }
        Block* block = published_[static_cast<unsigned>(fd) / kBlockSize].load(std::memory_order_acquire);
        return block != nullptr ? &(*block)[static_cast<unsigned>(fd) % kBlockSize] : nullptr;
    }
    // The slot of fd, made if needed; null only when fd is out of range.
    static Selection* Get(int fd);

private:
    static constexpr unsigned kBlockSize = 1024;
    static constexpr unsigned kBlocks = 4096;  // descriptors 0 .. 4M-1
    using Block = std::array<Selection, kBlockSize>;

    // Zero-initialised static storage: no construction guard on the lookup path.
    static inline std::atomic<Block*> published_[kBlocks];
};

}  // namespace talven::platform::sockets
