// Allocation failure on demand for the C tests, on POSIX, where this program's allocation
// functions (the packet tests' replacement, linked in beside this file) are the ones every
// allocation of the library makes.
#include "packet/alloc_failure.h"

extern "C" void capi_fail_next_allocation(unsigned long size) {
    alloc_failure::FailNextOfSize(size);
}
