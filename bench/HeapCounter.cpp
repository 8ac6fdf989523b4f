#include "HeapCounter.h"

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <malloc.h>
#include <new>

namespace bench {

namespace {

std::atomic<uint64_t> current{0};
std::atomic<uint64_t> peak{0};
std::atomic<uint64_t> allocations{0};

void noteAllocated(void* p) {
    const uint64_t size = malloc_usable_size(p);
    const uint64_t now = current.fetch_add(size, std::memory_order_relaxed) + size;
    allocations.fetch_add(1, std::memory_order_relaxed);
    uint64_t seen = peak.load(std::memory_order_relaxed);
    while (now > seen && !peak.compare_exchange_weak(seen, now, std::memory_order_relaxed)) {
    }
}

void* allocate(std::size_t size, std::size_t alignment, bool nothrow) {
    if (size == 0) {
        size = 1;
    }
    for (;;) {
        void* p =
            alignment <= alignof(std::max_align_t)
                ? std::malloc(size)
                : std::aligned_alloc(alignment, (size + alignment - 1) / alignment * alignment);
        if (p != nullptr) {
            noteAllocated(p);
            return p;
        }
        std::new_handler handler = std::get_new_handler();
        if (handler == nullptr) {
            if (nothrow) {
                return nullptr;
            }
            throw std::bad_alloc();
        }
        handler();
    }
}

void release(void* p) noexcept {
    if (p == nullptr) {
        return;
    }
    current.fetch_sub(malloc_usable_size(p), std::memory_order_relaxed);
    std::free(p);
}

} // namespace

HeapFigures heapFigures() {
    return {current.load(), peak.load(), allocations.load()};
}

void resetHeapPeak() {
    peak.store(current.load());
}

} // namespace bench

// The replaceable global allocation functions, all counted.
void* operator new(std::size_t size) {
    return bench::allocate(size, 0, false);
}
void* operator new[](std::size_t size) {
    return bench::allocate(size, 0, false);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return bench::allocate(size, 0, true);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return bench::allocate(size, 0, true);
}
void* operator new(std::size_t size, std::align_val_t alignment) {
    return bench::allocate(size, static_cast<std::size_t>(alignment), false);
}
void* operator new[](std::size_t size, std::align_val_t alignment) {
    return bench::allocate(size, static_cast<std::size_t>(alignment), false);
}
void* operator new(std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
    return bench::allocate(size, static_cast<std::size_t>(alignment), true);
}
void* operator new[](std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
    return bench::allocate(size, static_cast<std::size_t>(alignment), true);
}

void operator delete(void* p) noexcept {
    bench::release(p);
}
void operator delete[](void* p) noexcept {
    bench::release(p);
}
void operator delete(void* p, std::size_t) noexcept {
    bench::release(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    bench::release(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
    bench::release(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
    bench::release(p);
}
void operator delete(void* p, std::align_val_t) noexcept {
    bench::release(p);
}
void operator delete[](void* p, std::align_val_t) noexcept {
    bench::release(p);
}
void operator delete(void* p, std::size_t, std::align_val_t) noexcept {
    bench::release(p);
}
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept {
    bench::release(p);
}
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept {
    bench::release(p);
}
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept {
    bench::release(p);
}
