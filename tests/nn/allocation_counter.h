#pragma once

#include <cstdint>

#include "support/alloc_counter.h"

// Counts calls of the global operator new while the scope is open, so a test
// can show that an operation touched no heap.
struct AllocationScope {
    AllocationScope() { startCountingAllocations(); }
    ~AllocationScope() { stopCountingAllocations(); }
    AllocationScope(const AllocationScope&) = delete;
    AllocationScope& operator=(const AllocationScope&) = delete;
    // Allocations since the scope was opened.
    uint64_t count() const { return countedAllocationsSoFar(); }
};
