// First-in, first-out store of MSG in recycled storage: a power-of-two ring that grows by
// doubling, so a steady flow of messages allocates nothing. A ring that a burst made large
// (thousands of slots) returns to its first size once it is empty, so an idle thread does not
// keep the burst's memory.
//
// Not synchronised: its owner (ThreadQueue) guards it.
#pragma once

#include <cstddef>
#include <vector>

#include "platform/user32/user32.h"

namespace talven::platform::user32 {

class MessageRing {
public:
    MessageRing();

    bool empty() const { return count_ == 0; }
    std::size_t size() const { return count_; }

    // Inline, as taking the oldest message: every post and retrieval comes here.
    void PushBack(const MSG& msg) {
        if (count_ > mask_) {
            Grow();
        }
        At(count_) = msg;
        ++count_;
    }

    // Finds the oldest message that match(msg) accepts; copies it to out and, when remove is
    // set, takes it out of the ring (later messages keep their order). False if none matches.
    template <typename Match>
    bool TakeFirst(Match match, MSG& out, bool remove) {
        for (std::size_t i = 0; i < count_; ++i) {
            const MSG& m = At(i);
            if (match(m)) {
                out = m;
                if (remove) {
                    if (i == 0) {
                        PopFront();
                    } else {
                        EraseAt(i);
                    }
                }
                return true;
            }
        }
        return false;
    }

    // Removes every message that match(msg) accepts; returns how many.
    template <typename Match>
    std::size_t RemoveIf(Match match) {
        std::size_t kept = 0;
        for (std::size_t i = 0; i < count_; ++i) {
            const MSG& m = At(i);
            if (!match(m)) {
                if (kept != i) {
                    At(kept) = m;
                }
                ++kept;
            }
        }
        const std::size_t removed = count_ - kept;
        count_ = kept;
        ShrinkIfEmpty();
        return removed;
    }

    void Clear() {
        count_ = 0;
        ShrinkIfEmpty();
    }

    std::size_t capacity() const { return slots_.size(); }

private:
    MSG& At(std::size_t i) { return slots_[(head_ + i) & mask_]; }
    void PopFront() {
        head_ = (head_ + 1) & mask_;
        if (--count_ == 0 && mask_ >= kKeptSlots) {
            Shrink();
        }
    }
    void EraseAt(std::size_t i);  // i > 0
    void Grow();
    void ShrinkIfEmpty() {
        if (count_ == 0 && mask_ >= kKeptSlots) {
            Shrink();
        }
    }
    void Shrink();

    static constexpr std::size_t kInitialSlots = 64;
    // Above this an empty ring gives its storage back (48 KiB of MSG).
    static constexpr std::size_t kKeptSlots = 1024;

    std::vector<MSG> slots_;   // size is a power of two
    std::size_t mask_;         // slots_.size() - 1
    std::size_t head_ = 0;
    std::size_t count_ = 0;
};

}  // namespace talven::platform::user32
