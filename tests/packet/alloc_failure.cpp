// Replaceable global allocation functions for this test executable, built on malloc and free
// (which the sanitizers track), with a one-shot failure for one size on one thread.
#include "alloc_failure.h"

#include <cstdlib>
#include <new>

namespace {
thread_local std::size_t t_failSize = 0;  // 0: nothing armed
}  // namespace

namespace alloc_failure {
void FailNextOfSize(std::size_t size) { t_failSize = size; }
void Disarm() { t_failSize = 0; }
bool Armed() { return t_failSize != 0; }
}  // namespace alloc_failure

void* operator new(std::size_t size) {
    if (t_failSize != 0 && size == t_failSize) {
        t_failSize = 0;
        throw std::bad_alloc();
    }
    void* p = std::malloc(size == 0 ? 1 : size);
    if (p == nullptr) {
        throw std::bad_alloc();
    }
    return p;
}
void* operator new[](std::size_t size) { return ::operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return ::operator new(size);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return ::operator new(size, std::nothrow);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
