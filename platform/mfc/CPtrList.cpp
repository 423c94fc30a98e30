#include "platform/mfc/afxcoll.h"

#include <cassert>

struct CPtrList::CNode {
    CNode* next;
    CNode* prev;
    void* data;
};

// A block of nodes; blocks form a chain that the list frees as a whole.
struct CPtrList::CPlex {
    explicit CPlex(int size) : nodes(std::make_unique<CNode[]>(static_cast<std::size_t>(size))) {}
    std::unique_ptr<CNode[]> nodes;
    std::unique_ptr<CPlex> next;
};

namespace {
inline POSITION ToPosition(void* node) { return reinterpret_cast<POSITION>(node); }
}  // namespace

CPtrList::CPtrList(int blockSize) : blockSize_(blockSize > 0 ? blockSize : 10) {}

CPtrList::~CPtrList() {
    // Unchain iteratively so that a long chain of blocks cannot exhaust the stack.
    while (blocks_) {
        blocks_ = std::move(blocks_->next);
    }
}

void*& CPtrList::GetHead() {
    assert(head_ != nullptr);
    return head_->data;
}
void* CPtrList::GetHead() const {
    assert(head_ != nullptr);
    return head_->data;
}
void*& CPtrList::GetTail() {
    assert(tail_ != nullptr);
    return tail_->data;
}
void* CPtrList::GetTail() const {
    assert(tail_ != nullptr);
    return tail_->data;
}

// Out of line, so that NewNode's common case saves no registers.
#if defined(__GNUC__)
__attribute__((noinline))
#elif defined(_MSC_VER)
__declspec(noinline)
#endif
void CPtrList::AddBlock() {
    auto block = std::make_unique<CPlex>(blockSize_);
    // Thread the new nodes onto the free list, last node first out.
    for (int i = 0; i < blockSize_; ++i) {
        CNode& node = block->nodes[static_cast<std::size_t>(i)];
        node.next = free_;
        free_ = &node;
    }
    block->next = std::move(blocks_);
    blocks_ = std::move(block);
}

CPtrList::CNode* CPtrList::NewNode(CNode* prev, CNode* next) {
    if (free_ == nullptr) {
        AddBlock();
    }
    CNode* node = free_;
    free_ = free_->next;
    node->prev = prev;
    node->next = next;
    node->data = nullptr;
    ++count_;
    return node;
}

void CPtrList::FreeNode(CNode* node) {
    // The node goes back to the free list; blocks are kept until RemoveAll, so a list that
    // repeatedly grows by one and shrinks by one allocates nothing.
    node->next = free_;
    free_ = node;
    --count_;
    assert(count_ >= 0);
}

POSITION CPtrList::AddHead(void* element) {
    CNode* node = NewNode(nullptr, head_);
    node->data = element;
    if (head_ != nullptr) {
        head_->prev = node;
    } else {
        tail_ = node;
    }
    head_ = node;
    return ToPosition(node);
}

POSITION CPtrList::AddTail(void* element) {
    CNode* node = NewNode(tail_, nullptr);
    node->data = element;
    if (tail_ != nullptr) {
        tail_->next = node;
    } else {
        head_ = node;
    }
    tail_ = node;
    return ToPosition(node);
}

void* CPtrList::RemoveHead() {
    assert(head_ != nullptr);
    CNode* old = head_;
    void* element = old->data;
    head_ = old->next;
    if (head_ != nullptr) {
        head_->prev = nullptr;
    } else {
        tail_ = nullptr;
    }
    FreeNode(old);
    return element;
}

void* CPtrList::RemoveTail() {
    assert(tail_ != nullptr);
    CNode* old = tail_;
    void* element = old->data;
    tail_ = old->prev;
    if (tail_ != nullptr) {
        tail_->next = nullptr;
    } else {
        head_ = nullptr;
    }
    FreeNode(old);
    return element;
}

void CPtrList::RemoveAll() {
    head_ = tail_ = nullptr;
    free_ = nullptr;
    count_ = 0;
    while (blocks_) {
        blocks_ = std::move(blocks_->next);
    }
}

POSITION CPtrList::GetHeadPosition() const { return ToPosition(head_); }
POSITION CPtrList::GetTailPosition() const { return ToPosition(tail_); }

void*& CPtrList::GetNext(POSITION& pos) {
    CNode* node = reinterpret_cast<CNode*>(pos);
    assert(node != nullptr);
    pos = ToPosition(node->next);
    return node->data;
}

void* CPtrList::GetNext(POSITION& pos) const {
    const CNode* node = reinterpret_cast<const CNode*>(pos);
    assert(node != nullptr);
    pos = ToPosition(node->next);
    return node->data;
}

void*& CPtrList::GetPrev(POSITION& pos) {
    CNode* node = reinterpret_cast<CNode*>(pos);
    assert(node != nullptr);
    pos = ToPosition(node->prev);
    return node->data;
}

void*& CPtrList::GetAt(POSITION pos) {
    CNode* node = reinterpret_cast<CNode*>(pos);
    assert(node != nullptr);
    return node->data;
}

void CPtrList::RemoveAt(POSITION pos) {
    CNode* node = reinterpret_cast<CNode*>(pos);
    assert(node != nullptr);
    if (node == head_) {
        head_ = node->next;
    } else {
        node->prev->next = node->next;
    }
    if (node == tail_) {
        tail_ = node->prev;
    } else {
        node->next->prev = node->prev;
    }
    FreeNode(node);
}

POSITION CPtrList::Find(void* element, POSITION startAfter) const {
    const CNode* node = startAfter == nullptr ? head_
                                              : reinterpret_cast<const CNode*>(startAfter)->next;
    for (; node != nullptr; node = node->next) {
        if (node->data == element) {
            return ToPosition(const_cast<CNode*>(node));
        }
    }
    return nullptr;
}
