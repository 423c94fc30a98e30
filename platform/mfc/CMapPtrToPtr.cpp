#include "platform/mfc/afxcoll.h"

#include <cassert>
#include <cstdint>

struct CMapPtrToPtr::CAssoc {
    CAssoc* next;
    UINT hash;      // bucket index, so that iteration can move on to the next bucket
    void* key;
    void* value;
};

struct CMapPtrToPtr::CPlex {
    explicit CPlex(int size)
        : assocs(std::make_unique<CAssoc[]>(static_cast<std::size_t>(size))) {}
    std::unique_ptr<CAssoc[]> assocs;
    std::unique_ptr<CPlex> next;
};

namespace {
// Pointers are aligned, so their low bits carry little information.
inline UINT HashKey(void* key) {
    return static_cast<UINT>(reinterpret_cast<std::uintptr_t>(key) >> 4);
}
inline POSITION ToPosition(void* assoc) { return reinterpret_cast<POSITION>(assoc); }
}  // namespace

CMapPtrToPtr::CMapPtrToPtr(int blockSize) : blockSize_(blockSize > 0 ? blockSize : 10) {}

CMapPtrToPtr::~CMapPtrToPtr() { RemoveAll(); }

int CMapPtrToPtr::GetCount() const { return count_; }
int CMapPtrToPtr::GetSize() const { return count_; }
BOOL CMapPtrToPtr::IsEmpty() const { return count_ == 0 ? TRUE : FALSE; }

void CMapPtrToPtr::InitHashTable(UINT hashSize) {
    assert(count_ == 0);
    if (count_ == 0 && hashSize > 0) {
        table_.reset();
        tableSize_ = hashSize;
    }
}

CMapPtrToPtr::CAssoc* CMapPtrToPtr::GetAssocAt(void* key, UINT& hash) const {
    hash = HashKey(key) % tableSize_;
    if (!table_) {
        return nullptr;
    }
    for (CAssoc* assoc = table_[hash]; assoc != nullptr; assoc = assoc->next) {
        if (assoc->key == key) {
            return assoc;
        }
    }
    return nullptr;
}

CMapPtrToPtr::CAssoc* CMapPtrToPtr::NewAssoc() {
    if (free_ == nullptr) {
        auto block = std::make_unique<CPlex>(blockSize_);
        for (int i = 0; i < blockSize_; ++i) {
            CAssoc& assoc = block->assocs[static_cast<std::size_t>(i)];
            assoc.next = free_;
            free_ = &assoc;
        }
        block->next = std::move(blocks_);
        blocks_ = std::move(block);
    }
    CAssoc* assoc = free_;
    free_ = free_->next;
    ++count_;
    return assoc;
}

void CMapPtrToPtr::FreeAssoc(CAssoc* assoc) {
    // Back to the free list; blocks are kept until RemoveAll.
    assoc->next = free_;
    free_ = assoc;
    --count_;
    assert(count_ >= 0);
}

void CMapPtrToPtr::Grow() {
    // Keeps chains short when far more entries arrive than the table was sized for. The
    // associations are relinked, not moved, so references from operator[] stay valid.
    const UINT newSize = tableSize_ * 2 + 1;
    auto newTable = std::make_unique<CAssoc*[]>(newSize);
    for (UINT bucket = 0; bucket < tableSize_; ++bucket) {
        CAssoc* assoc = table_[bucket];
        while (assoc != nullptr) {
            CAssoc* next = assoc->next;
            assoc->hash = HashKey(assoc->key) % newSize;
            assoc->next = newTable[assoc->hash];
            newTable[assoc->hash] = assoc;
            assoc = next;
        }
    }
    table_ = std::move(newTable);
    tableSize_ = newSize;
}

BOOL CMapPtrToPtr::Lookup(void* key, void*& value) const {
    UINT hash;
    const CAssoc* assoc = GetAssocAt(key, hash);
    if (assoc == nullptr) {
        return FALSE;
    }
    value = assoc->value;
    return TRUE;
}

void*& CMapPtrToPtr::operator[](void* key) {
    UINT hash;
    CAssoc* assoc = GetAssocAt(key, hash);
    if (assoc != nullptr) {
        return assoc->value;
    }
    if (!table_) {
        table_ = std::make_unique<CAssoc*[]>(tableSize_);
    } else if (static_cast<UINT>(count_) >= tableSize_ * 4) {
        Grow();
        hash = HashKey(key) % tableSize_;
    }
    assoc = NewAssoc();
    assoc->hash = hash;
    assoc->key = key;
    assoc->value = nullptr;
    assoc->next = table_[hash];
    table_[hash] = assoc;
    return assoc->value;
}

void CMapPtrToPtr::SetAt(void* key, void* value) { (*this)[key] = value; }

BOOL CMapPtrToPtr::RemoveKey(void* key) {
    if (!table_) {
        return FALSE;
    }
    const UINT hash = HashKey(key) % tableSize_;
    for (CAssoc** link = &table_[hash]; *link != nullptr; link = &(*link)->next) {
        if ((*link)->key == key) {
            CAssoc* assoc = *link;
            *link = assoc->next;
            FreeAssoc(assoc);
            return TRUE;
        }
    }
    return FALSE;
}

void CMapPtrToPtr::RemoveAll() {
    table_.reset();
    free_ = nullptr;
    count_ = 0;
    while (blocks_) {
        blocks_ = std::move(blocks_->next);
    }
}

POSITION CMapPtrToPtr::GetStartPosition() const {
    if (!table_) {
        return nullptr;
    }
    for (UINT bucket = 0; bucket < tableSize_; ++bucket) {
        if (table_[bucket] != nullptr) {
            return ToPosition(table_[bucket]);
        }
    }
    return nullptr;
}

void CMapPtrToPtr::GetNextAssoc(POSITION& pos, void*& key, void*& value) const {
    const CAssoc* assoc = reinterpret_cast<const CAssoc*>(pos);
    assert(assoc != nullptr);
    key = assoc->key;
    value = assoc->value;
    const CAssoc* next = assoc->next;
    for (UINT bucket = assoc->hash + 1; next == nullptr && bucket < tableSize_; ++bucket) {
        next = table_[bucket];
    }
    pos = ToPosition(const_cast<CAssoc*>(next));
}
