#include "platform/user32/MessageRing.h"

namespace talven::platform::user32 {

namespace {
constexpr std::size_t kInitialSlots = 64;
// Above this an empty ring gives its storage back (48 KiB of MSG).
constexpr std::size_t kKeptSlots = 1024;
}  // namespace

MessageRing::MessageRing() : slots_(kInitialSlots) {}

void MessageRing::PushBack(const MSG& msg) {
    if (count_ == slots_.size()) {
        Grow();
    }
    At(count_) = msg;
    ++count_;
}

void MessageRing::EraseAt(std::size_t i) {
    if (i == 0) {
        head_ = (head_ + 1) & (slots_.size() - 1);
        --count_;
        ShrinkIfEmpty();
        return;
    }
    for (std::size_t j = i + 1; j < count_; ++j) {
        At(j - 1) = At(j);
    }
    --count_;
}

void MessageRing::Grow() {
    std::vector<MSG> bigger(slots_.size() * 2);
    for (std::size_t i = 0; i < count_; ++i) {
        bigger[i] = At(i);
    }
    slots_.swap(bigger);
    head_ = 0;
}

void MessageRing::ShrinkIfEmpty() {
    if (count_ == 0 && slots_.size() > kKeptSlots) {
        std::vector<MSG>(kInitialSlots).swap(slots_);
        head_ = 0;
    }
}

}  // namespace talven::platform::user32
