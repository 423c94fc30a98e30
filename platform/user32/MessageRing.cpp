#include "platform/user32/MessageRing.h"

namespace talven::platform::user32 {

MessageRing::MessageRing() : slots_(kInitialSlots), mask_(kInitialSlots - 1) {}

void MessageRing::EraseAt(std::size_t i) {
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
    mask_ = slots_.size() - 1;
    head_ = 0;
}

void MessageRing::Shrink() {
    std::vector<MSG>(kInitialSlots).swap(slots_);
    mask_ = kInitialSlots - 1;
    head_ = 0;
}

}  // namespace talven::platform::user32
