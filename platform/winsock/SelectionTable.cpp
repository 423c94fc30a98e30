#include "platform/winsock/SelectionTable.h"

#include <memory>
#include <mutex>
#include <new>

namespace talven::platform::sockets {

// A record for every descriptor number in use: keep it to a cache line.
static_assert(sizeof(Selection) <= 64, "Selection grew");

Selection* SelectionTable::Get(int fd) {
    if (Selection* s = Find(fd)) {
        return s;
    }
    if (static_cast<unsigned>(fd) >= static_cast<unsigned>(kBlockSize * kBlocks)) {
        return nullptr;
    }
    // The owners of the blocks, built on first use and never destroyed (see the header).
    struct Blocks {
        std::mutex growLock;
        std::array<std::unique_ptr<Block>, kBlocks> owned;  // guarded by growLock
    };
    alignas(Blocks) static unsigned char storage[sizeof(Blocks)];
    static Blocks* blocks = ::new (static_cast<void*>(storage)) Blocks();

    std::lock_guard<std::mutex> hold(blocks->growLock);
    const unsigned index = static_cast<unsigned>(fd) / kBlockSize;
    if (!blocks->owned[index]) {
        blocks->owned[index] = std::make_unique<Block>();
        published_[index].store(blocks->owned[index].get(), std::memory_order_release);
    }
    return &(*blocks->owned[index])[static_cast<unsigned>(fd) % kBlockSize];
}

}  // namespace talven::platform::sockets
