// Allocation failure on demand for the C tests, on POSIX, where this program's operator new is
// the one every allocation of the library makes: the next allocation of exactly `size` bytes
// on the calling thread throws std::bad_alloc.
#include <cstdlib>
#include <new>

namespace {
thread_local std::size_t g_failSize = 0;
}

void* operator new(std::size_t size) {
    if (size != 0 && size == g_failSize) {
        g_failSize = 0;
        throw std::bad_alloc();
    }
    if (void* p = std::malloc(size != 0 ? size : 1)) {
        return p;
    }
    throw std::bad_alloc();
}

void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

extern "C" void capi_fail_next_allocation(unsigned long size) {
    g_failSize = size;
}
