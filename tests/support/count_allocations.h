// Counts every operator new while a test's window is open. Replaces the global operator new
// and delete, so include it in exactly one file of a test binary.
#pragma once

// new and delete below are malloc and free as a pair; g++ cannot see that they match.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

#include <atomic>
#include <cstdlib>
#include <new>

namespace orlith::test {
inline std::atomic<long> allocations{0};
// Only the thread that runs the body counts: a network worker allocates on its own thread.
inline thread_local bool countingAllocations = false;

// Number of allocations made by this thread while body runs.
template <typename F>
long allocationsDuring(F&& body) {
    allocations = 0;
    countingAllocations = true;
    body();
    countingAllocations = false;
    return allocations.load();
}
}  // namespace orlith::test

void* operator new(std::size_t size) {
    if (orlith::test::countingAllocations) ++orlith::test::allocations;
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
