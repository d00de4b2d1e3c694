#include "nn/allocation_counter.h"

#include <cstdlib>
#include <new>

namespace {
bool gCounting = false;
uint64_t gAllocations = 0;

void* countedAllocate(std::size_t bytes) {
    if (gCounting) ++gAllocations;
    void* p = std::malloc(bytes == 0 ? 1 : bytes);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}
}  // namespace

AllocationScope::AllocationScope() {
    gAllocations = 0;
    gCounting = true;
}
AllocationScope::~AllocationScope() { gCounting = false; }
uint64_t AllocationScope::count() const { return gAllocations; }

// Replacements of the global allocation functions for the whole test binary;
// the matching deletes keep malloc and free paired.
void* operator new(std::size_t bytes) { return countedAllocate(bytes); }
void* operator new[](std::size_t bytes) { return countedAllocate(bytes); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
