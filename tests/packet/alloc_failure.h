// Allocation failure on demand for the packet tests: this test executable replaces the global
// operator new, which then throws std::bad_alloc for the next allocation of exactly `size`
// bytes made on the calling thread.
#pragma once

#include <cstddef>

namespace alloc_failure {

void FailNextOfSize(std::size_t size);
void Disarm();
bool Armed();  // false once the armed allocation has failed

}  // namespace alloc_failure
