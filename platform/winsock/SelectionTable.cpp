#include "platform/winsock/SelectionTable.h"

namespace talven::platform::sockets {

// A record for every descriptor number in use: keep it to a cache line.
static_assert(sizeof(Selection) <= 64, "Selection grew");

Selection* SelectionTable::Get(int fd) {
    if (Selection* s = Find(fd)) {
        return s;
    }
    if (fd < 0 || fd / kBlockSize >= kBlocks) {
        return nullptr;
    }
    std::lock_guard<std::mutex> hold(growLock_);
    const int index = fd / kBlockSize;
    if (!owned_[index]) {
        owned_[index] = std::make_unique<Block>();
        published_[index].store(owned_[index].get(), std::memory_order_release);
    }
    return &(*owned_[index])[fd % kBlockSize];
}

}  // namespace talven::platform::sockets
