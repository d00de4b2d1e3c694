#include "support/alloc_counter.h"

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>

#if defined(_WIN32)
#include <malloc.h>
#endif

namespace {

std::atomic<bool> counting{false};
std::atomic<uint64_t> allocations{0};

void* tryAllocate(std::size_t size, std::size_t alignment) {
    if (counting.load(std::memory_order_relaxed)) allocations.fetch_add(1, std::memory_order_relaxed);
    if (size == 0) size = 1;
    if (alignment <= alignof(std::max_align_t)) return std::malloc(size);
#if defined(_WIN32)
    return _aligned_malloc(size, alignment);
#else
    void* p = nullptr;
    return posix_memalign(&p, alignment, size) == 0 ? p : nullptr;
#endif
}

// Over-aligned blocks come from _aligned_malloc on Windows and must go back to
// _aligned_free; elsewhere free takes every block.
void releaseAligned(void* p, std::size_t alignment) {
#if defined(_WIN32)
    if (alignment > alignof(std::max_align_t)) {
        _aligned_free(p);
        return;
    }
#endif
    (void)alignment;
    std::free(p);
}

// The throwing forms keep the standard contract of operator new.
void* allocate(std::size_t size, std::size_t alignment = alignof(std::max_align_t)) {
    void* p = tryAllocate(size, alignment);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}

std::size_t alignmentOf(std::align_val_t alignment) { return static_cast<std::size_t>(alignment); }

}  // namespace

uint64_t countedAllocationsSoFar() { return allocations.load(); }

void startCountingAllocations() {
    allocations.store(0);
    counting.store(true);
}

uint64_t stopCountingAllocations() {
    counting.store(false);
    return allocations.load();
}

// Every form is replaced, deletes included, so that memory from these news
// always goes back through free (the sanitizers check the pairing).
void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void* operator new(std::size_t size, std::align_val_t a) { return allocate(size, alignmentOf(a)); }
void* operator new[](std::size_t size, std::align_val_t a) { return allocate(size, alignmentOf(a)); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return tryAllocate(size, alignof(std::max_align_t));
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return tryAllocate(size, alignof(std::max_align_t));
}
void* operator new(std::size_t size, std::align_val_t a, const std::nothrow_t&) noexcept {
    return tryAllocate(size, alignmentOf(a));
}
void* operator new[](std::size_t size, std::align_val_t a, const std::nothrow_t&) noexcept {
    return tryAllocate(size, alignmentOf(a));
}

void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t a) noexcept { releaseAligned(p, alignmentOf(a)); }
void operator delete[](void* p, std::align_val_t a) noexcept { releaseAligned(p, alignmentOf(a)); }
void operator delete(void* p, std::size_t, std::align_val_t a) noexcept { releaseAligned(p, alignmentOf(a)); }
void operator delete[](void* p, std::size_t, std::align_val_t a) noexcept { releaseAligned(p, alignmentOf(a)); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t a, const std::nothrow_t&) noexcept { releaseAligned(p, alignmentOf(a)); }
void operator delete[](void* p, std::align_val_t a, const std::nothrow_t&) noexcept { releaseAligned(p, alignmentOf(a)); }
