// MFC's pointer collections: CPtrList, CTypedPtrList, CMapPtrToPtr. Nodes and associations
// are allocated in blocks of the size given at construction and recycled through a free
// list, so steady-state use allocates nothing. Not synchronised.
#pragma once

#include <memory>

#include "platform/wintypes.h"

struct __POSITION {};
typedef __POSITION* POSITION;

class TALVEN_API CPtrList {
public:
    explicit CPtrList(int blockSize = 10);
    ~CPtrList();
    CPtrList(const CPtrList&) = delete;
    CPtrList& operator=(const CPtrList&) = delete;

    // Inline, as in MFC: the packet socket asks on every packet.
    int GetCount() const { return count_; }
    int GetSize() const { return count_; }
    BOOL IsEmpty() const { return count_ == 0 ? TRUE : FALSE; }

    void*& GetHead();                     // list must not be empty
    void* GetHead() const;
    void*& GetTail();
    void* GetTail() const;

    POSITION AddHead(void* element);
    POSITION AddTail(void* element);
    void* RemoveHead();                   // list must not be empty
    void* RemoveTail();                   // list must not be empty
    void RemoveAll();

    POSITION GetHeadPosition() const;
    POSITION GetTailPosition() const;
    void*& GetNext(POSITION& pos);        // returns the element at pos, advances pos
    void* GetNext(POSITION& pos) const;
    void*& GetPrev(POSITION& pos);
    void*& GetAt(POSITION pos);
    void RemoveAt(POSITION pos);
    POSITION Find(void* element, POSITION startAfter = nullptr) const;

private:
    struct CNode;
    struct CPlex;
    CNode* NewNode(CNode* prev, CNode* next);
    void AddBlock();  // NewNode's rare case: a new block of free nodes
    void FreeNode(CNode* node);

    CNode* head_ = nullptr;
    CNode* tail_ = nullptr;
    CNode* free_ = nullptr;               // recycled nodes, linked through next
    std::unique_ptr<CPlex> blocks_;       // every block of nodes, newest first
    int count_ = 0;
    int blockSize_;
};

template <class BASE_CLASS, class TYPE>
class CTypedPtrList : public BASE_CLASS {
public:
    explicit CTypedPtrList(int blockSize = 10) : BASE_CLASS(blockSize) {}

    TYPE& GetHead() { return reinterpret_cast<TYPE&>(BASE_CLASS::GetHead()); }
    TYPE GetHead() const { return static_cast<TYPE>(BASE_CLASS::GetHead()); }
    TYPE& GetTail() { return reinterpret_cast<TYPE&>(BASE_CLASS::GetTail()); }
    TYPE GetTail() const { return static_cast<TYPE>(BASE_CLASS::GetTail()); }
    POSITION AddHead(TYPE element) { return BASE_CLASS::AddHead(element); }
    POSITION AddTail(TYPE element) { return BASE_CLASS::AddTail(element); }
    TYPE RemoveHead() { return static_cast<TYPE>(BASE_CLASS::RemoveHead()); }
    TYPE RemoveTail() { return static_cast<TYPE>(BASE_CLASS::RemoveTail()); }
    TYPE& GetNext(POSITION& pos) { return reinterpret_cast<TYPE&>(BASE_CLASS::GetNext(pos)); }
    TYPE GetNext(POSITION& pos) const { return static_cast<TYPE>(BASE_CLASS::GetNext(pos)); }
    TYPE& GetAt(POSITION pos) { return reinterpret_cast<TYPE&>(BASE_CLASS::GetAt(pos)); }
};

class TALVEN_API CMapPtrToPtr {
public:
    explicit CMapPtrToPtr(int blockSize = 10);
    ~CMapPtrToPtr();
    CMapPtrToPtr(const CMapPtrToPtr&) = delete;
    CMapPtrToPtr& operator=(const CMapPtrToPtr&) = delete;

    int GetCount() const;
    int GetSize() const;
    BOOL IsEmpty() const;

    BOOL Lookup(void* key, void*& value) const;
    void*& operator[](void* key);         // inserts a null value when the key is new
    void SetAt(void* key, void* value);
    BOOL RemoveKey(void* key);            // nonzero when an entry was removed
    void RemoveAll();

    POSITION GetStartPosition() const;
    void GetNextAssoc(POSITION& pos, void*& key, void*& value) const;

    void InitHashTable(UINT hashSize);    // before the first insertion

private:
    struct CAssoc;
    struct CPlex;
    CAssoc* GetAssocAt(void* key, UINT& hash) const;
    CAssoc* NewAssoc();
    void FreeAssoc(CAssoc* assoc);
    void Grow();

    std::unique_ptr<CAssoc*[]> table_;    // made at the first insertion
    UINT tableSize_ = 17;
    int count_ = 0;
    CAssoc* free_ = nullptr;              // recycled associations, linked through next
    std::unique_ptr<CPlex> blocks_;       // every block of associations, newest first
    int blockSize_;
};
