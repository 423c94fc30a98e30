// The thread queue's message store: order across growth and wrap-around, and a burst's storage
// given back once the queue is empty.
#include <gtest/gtest.h>

#include "platform/user32/MessageRing.h"

using talven::platform::user32::MessageRing;

namespace {

MSG Numbered(WPARAM n) {
    MSG m{};
    m.message = WM_USER;
    m.wParam = n;
    return m;
}

bool TakeOldest(MessageRing& ring, MSG& out) {
    return ring.TakeFirst([](const MSG&) { return true; }, out, true);
}

TEST(MessageRing, KeepsOrderAcrossWrapAroundAndGrowth) {
    MessageRing ring;
    WPARAM next = 0;
    WPARAM expected = 0;
    MSG m;
    // Take a few first so that the growth happens with the head away from slot 0.
    for (int i = 0; i < 10; ++i) ring.PushBack(Numbered(next++));
    for (int i = 0; i < 7; ++i) {
        ASSERT_TRUE(TakeOldest(ring, m));
        EXPECT_EQ(m.wParam, expected++);
    }
    for (int i = 0; i < 300; ++i) ring.PushBack(Numbered(next++));
    while (TakeOldest(ring, m)) {
        EXPECT_EQ(m.wParam, expected++);
    }
    EXPECT_EQ(expected, next);
    EXPECT_TRUE(ring.empty());
}

TEST(MessageRing, ABurstsStorageIsGivenBackOnceEmptyAndTheRingStillWorks) {
    MessageRing ring;
    const std::size_t initial = ring.capacity();
    for (WPARAM i = 0; i < 5000; ++i) ring.PushBack(Numbered(i));
    EXPECT_GE(ring.capacity(), 5000u);
    MSG m;
    // Every path that can empty the ring gives the storage back: taking the last message,
    // removing by predicate and clearing.
    for (WPARAM i = 0; i < 5000; ++i) {
        ASSERT_TRUE(TakeOldest(ring, m));
        ASSERT_EQ(m.wParam, i);
    }
    EXPECT_EQ(ring.capacity(), initial);

    for (WPARAM i = 0; i < 5000; ++i) ring.PushBack(Numbered(i));
    EXPECT_EQ(ring.RemoveIf([](const MSG&) { return true; }), 5000u);
    EXPECT_EQ(ring.capacity(), initial);

    for (WPARAM i = 0; i < 5000; ++i) ring.PushBack(Numbered(i));
    ring.Clear();
    EXPECT_EQ(ring.capacity(), initial);

    ring.PushBack(Numbered(7));
    ASSERT_TRUE(TakeOldest(ring, m));
    EXPECT_EQ(m.wParam, 7u);
}

TEST(MessageRing, AModerateQueueKeepsItsStorage) {
    // A queue that fills to a few hundred messages over and over reuses its slots.
    MessageRing ring;
    MSG m;
    for (int round = 0; round < 2; ++round) {
        for (WPARAM i = 0; i < 500; ++i) ring.PushBack(Numbered(i));
        while (TakeOldest(ring, m)) {
        }
    }
    EXPECT_GE(ring.capacity(), 500u);
}

}  // namespace
