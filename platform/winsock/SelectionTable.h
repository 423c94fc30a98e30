// The Selection of each descriptor number. Slots are made in blocks on first use and live
// as long as the process, so a Selection found once stays valid; lookups take no lock.
// Threads: any.
#pragma once

#include <array>
#include <atomic>
#include <memory>
#include <mutex>

#include "platform/winsock/Selection.h"

namespace talven::platform::sockets {

class SelectionTable {
public:
    // Inline, like Find: both run on every socket call and readiness report.
    static SelectionTable& Instance() {
        static SelectionTable table;
        return table;
    }

    // The slot of fd, or null when none has been made (or fd is out of range).
    Selection* Find(int fd) const {
        if (fd < 0 || fd / kBlockSize >= kBlocks) {
            return nullptr;
        }
        Block* block = published_[fd / kBlockSize].load(std::memory_order_acquire);
        return block != nullptr ? &(*block)[fd % kBlockSize] : nullptr;
    }
    // The slot of fd, made if needed; null only when fd is out of range.
    Selection* Get(int fd);

private:
    static constexpr int kBlockSize = 1024;
    static constexpr int kBlocks = 4096;  // descriptors 0 .. 4M-1
    using Block = std::array<Selection, kBlockSize>;

    std::mutex growLock_;
    std::array<std::unique_ptr<Block>, kBlocks> owned_;  // guarded by growLock_
    std::array<std::atomic<Block*>, kBlocks> published_{};
};

}  // namespace talven::platform::sockets
