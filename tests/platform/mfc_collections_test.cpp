#include <gtest/gtest.h>

#include <set>
#include <vector>

#include "talven.h"

namespace {

struct Record {
    int id;
};

TEST(CTypedPtrList, IsFirstInFirstOutAcrossBlocks) {
    CTypedPtrList<CPtrList, Record*> list(3);
    std::vector<Record> records(10);
    for (int i = 0; i < 10; ++i) {
        records[i].id = i;
        list.AddTail(&records[i]);
    }
    EXPECT_EQ(list.GetCount(), 10);
    EXPECT_EQ(list.GetHead()->id, 0);
    EXPECT_EQ(list.GetTail()->id, 9);
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(list.RemoveHead()->id, i);
    }
    EXPECT_TRUE(list.IsEmpty());
}

// Adding and removing one node at a time reuses the nodes of the first block.
TEST(CTypedPtrList, SteadyStateReusesNodes) {
    CTypedPtrList<CPtrList, Record*> list(10);
    Record record{1};
    std::set<POSITION> firstBlock;
    for (int i = 0; i < 10; ++i) {
        firstBlock.insert(list.AddTail(&record));
    }
    for (int i = 0; i < 9; ++i) {
        list.RemoveHead();
    }
    for (int round = 0; round < 1000; ++round) {
        const POSITION pos = list.AddTail(&record);
        ASSERT_EQ(firstBlock.count(pos), 1u) << "round " << round;
        list.RemoveHead();
    }
    EXPECT_EQ(list.GetCount(), 1);
}

TEST(CPtrList, RemoveAtKeepsTheOtherLinks) {
    CPtrList list(2);
    int a = 1, b = 2, c = 3, d = 4;
    list.AddTail(&b);
    list.AddTail(&c);
    list.AddHead(&a);
    list.AddTail(&d);
    list.RemoveAt(list.Find(&c));   // middle
    list.RemoveAt(list.Find(&a));   // head
    list.RemoveAt(list.Find(&d));   // tail
    ASSERT_EQ(list.GetCount(), 1);
    EXPECT_EQ(list.GetHead(), &b);
    EXPECT_EQ(list.GetTail(), &b);
    list.AddTail(&c);
    std::vector<void*> seen;
    for (POSITION pos = list.GetHeadPosition(); pos != nullptr;) {
        seen.push_back(list.GetNext(pos));
    }
    EXPECT_EQ(seen, (std::vector<void*>{&b, &c}));
    EXPECT_EQ(list.RemoveTail(), &c);
    EXPECT_EQ(list.Find(&c), nullptr);
}

void* Key(std::uintptr_t n) { return reinterpret_cast<void*>(n * 8); }

TEST(CMapPtrToPtr, InsertReplaceLookupRemove) {
    CMapPtrToPtr map(10);
    void* value = nullptr;
    EXPECT_FALSE(map.Lookup(Key(1), value));
    EXPECT_FALSE(map.RemoveKey(Key(1)));
    map[Key(1)] = Key(100);
    map[Key(1)] = Key(101);  // replaces
    map.SetAt(Key(2), Key(200));
    EXPECT_EQ(map.GetCount(), 2);
    ASSERT_TRUE(map.Lookup(Key(1), value));
    EXPECT_EQ(value, Key(101));
    EXPECT_TRUE(map.RemoveKey(Key(1)));
    EXPECT_FALSE(map.Lookup(Key(1), value));
    EXPECT_FALSE(map.RemoveKey(Key(1)));
    EXPECT_EQ(map.GetCount(), 1);
    map.RemoveAll();
    EXPECT_TRUE(map.IsEmpty());
    EXPECT_FALSE(map.Lookup(Key(2), value));
}

// Far more entries than the table's initial size: each is found, and iteration visits each
// once. A reference from operator[] taken early stays valid throughout.
TEST(CMapPtrToPtr, ManyEntriesStayReachable) {
    CMapPtrToPtr map(10);
    void*& first = map[Key(0)];
    constexpr std::uintptr_t kCount = 5000;
    for (std::uintptr_t i = 1; i < kCount; ++i) {
        map[Key(i)] = Key(i + 1);
    }
    first = Key(12345);
    ASSERT_EQ(map.GetCount(), static_cast<int>(kCount));
    void* value = nullptr;
    ASSERT_TRUE(map.Lookup(Key(0), value));
    EXPECT_EQ(value, Key(12345));
    for (std::uintptr_t i = 1; i < kCount; ++i) {
        ASSERT_TRUE(map.Lookup(Key(i), value)) << i;
        ASSERT_EQ(value, Key(i + 1));
    }
    std::set<void*> visited;
    for (POSITION pos = map.GetStartPosition(); pos != nullptr;) {
        void* key;
        map.GetNextAssoc(pos, key, value);
        EXPECT_TRUE(visited.insert(key).second);
    }
    EXPECT_EQ(visited.size(), kCount);
    for (std::uintptr_t i = 0; i < kCount; i += 2) {
        ASSERT_TRUE(map.RemoveKey(Key(i)));
    }
    EXPECT_EQ(map.GetCount(), static_cast<int>(kCount / 2));
    EXPECT_FALSE(map.Lookup(Key(2), value));
    EXPECT_TRUE(map.Lookup(Key(3), value));
}

}  // namespace

namespace {

// Removing one entry and adding another reuses the association just freed.
TEST(CMapPtrToPtr, SteadyStateReusesAssociations) {
    CMapPtrToPtr map(10);
    map[Key(1)] = Key(1);
    const POSITION first = map.GetStartPosition();
    for (std::uintptr_t i = 2; i < 1000; ++i) {
        ASSERT_TRUE(map.RemoveKey(Key(i - 1)));
        map[Key(i)] = Key(i);
        ASSERT_EQ(map.GetStartPosition(), first) << i;
    }
    EXPECT_EQ(map.GetCount(), 1);
}

}  // namespace
