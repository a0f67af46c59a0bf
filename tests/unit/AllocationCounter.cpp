#include "unit/AllocationCounter.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {
std::atomic<std::size_t> Allocations{0};

void* TryAllocate(std::size_t size) noexcept {
    Allocations.fetch_add(1, std::memory_order_relaxed);
    return std::malloc(size == 0 ? 1 : size);
}
void* Allocate(std::size_t size) {
    if (void* p = TryAllocate(size)) return p;
    throw std::bad_alloc();
}
}  // namespace

namespace velmir::test {
std::size_t AllocationCount() { return Allocations.load(std::memory_order_relaxed); }
}  // namespace velmir::test

// Replacing the global operators catches every C++ allocation in the
// process, the plugin's code linked into the test included.
void* operator new(std::size_t size) { return Allocate(size); }
void* operator new[](std::size_t size) { return Allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return TryAllocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return TryAllocate(size); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
