// Process facts the harness needs: enough descriptors for the fan-in, and memory in use.
#pragma once

#include <cstddef>

namespace bench {

// Raises the soft descriptor limit to the hard one; returns the new soft limit.
std::size_t RaiseDescriptorLimit();

// Fixes glibc's mmap and trim thresholds high, so that freed memory stays in the heap instead
// of being returned to the kernel and faulted in again by the next large allocation.
void PinMallocThresholds();

// Bytes the process has allocated from the heap and not freed, over all malloc arenas. Unlike
// the resident size it does not keep memory freed by an earlier scenario. Kernel socket
// buffers are not counted, for any contender.
std::size_t HeapBytesInUse();

}  // namespace bench
