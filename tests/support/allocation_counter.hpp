// Replaces the global operator new of a test binary to count heap allocations on every
// thread. Include it in exactly one source file of a binary of its own.
#pragma once

#include <atomic>
#include <cstdlib>
#include <new>

namespace tyx::test {
inline std::atomic<long> g_allocations{0};
}  // namespace tyx::test

// The replaced operator new is malloc-based, so free is the matching release; GCC cannot see
// that through inlining and warns.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void* operator new(std::size_t n) {
    tyx::test::g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
    throw std::bad_alloc();
}
// The library's own nothrow form would be released by the free below (std::stable_partition's
// temporary buffer does that), so it is replaced as well.
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
    tyx::test::g_allocations.fetch_add(1, std::memory_order_relaxed);
    return std::malloc(n == 0 ? 1 : n);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
