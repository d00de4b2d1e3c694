#pragma once

#include <cstdint>

// Counts calls of the global operator new (single and array forms) while a
// scope is open, so a test can show that an operation touched no heap. The
// counter is off at all other times, so other tests are unaffected.
struct AllocationScope {
    AllocationScope();
    ~AllocationScope();
    AllocationScope(const AllocationScope&) = delete;
    AllocationScope& operator=(const AllocationScope&) = delete;
    // Allocations since the scope was opened.
    uint64_t count() const;
};
