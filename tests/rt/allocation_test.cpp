// Counts heap allocations while relay messages are built and released in a loop: once the
// pool and the buffers are warm, building a message allocates nothing.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "rt/messages.hpp"

namespace {
std::atomic<long> g_allocations{0};
}

// The replaced operator new is malloc-based, so free is the matching release; GCC cannot see
// that through inlining and warns.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void* operator new(std::size_t n) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace tyx::rt {
namespace {

TEST(MessageAllocations, SteadyStateBuildingAllocatesNothing) {
    const std::vector<std::string> names = {"qty", "px", "side", "venue", "lots", "flag"};
    const std::vector<FieldValue> values = {std::int32_t{5}, 101.25, 'B', std::string("XNYS"), std::int64_t{3},
                                            std::monostate{}};
    PublicationConfig config("1", false, "feedA", PublicationConfig::ENABLE_QUIET);
    auto build_all = [&] {
        std::size_t bytes = 0;
        bytes += make_object_message("Order", "o-17", names, values, 42, 1700000060000)->size();
        bytes += make_remove_message("o-17", "Order", 43)->size();
        bytes += make_login_message(config, 1)->size();
        bytes += make_raw_message("O|T=\"x\"\n")->size();
        return bytes;
    };
    build_all();  // warm-up: the pool creates its messages once

    const long before = g_allocations.load();
    std::size_t total = 0;
    for (int i = 0; i < 10000; ++i) total += build_all();
    const long after = g_allocations.load();
    EXPECT_GT(total, 0u);
    EXPECT_EQ(after - before, 0) << "allocations while building warm messages";
}

}  // namespace
}  // namespace tyx::rt
