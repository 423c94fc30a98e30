// Allocation failure on demand for the C tests, on POSIX, where this program's allocation
// functions are the ones every allocation of the library makes: the next allocation of exactly
// `size` bytes on the calling thread throws std::bad_alloc. All of them are built on malloc and
// free (which the sanitizers track), so each pair matches.
#include <cstdlib>
#include <new>

namespace {
thread_local std::size_t t_failSize = 0;  // 0: nothing armed
}  // namespace

extern "C" void capi_fail_next_allocation(unsigned long size) {
    t_failSize = size;
}

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
