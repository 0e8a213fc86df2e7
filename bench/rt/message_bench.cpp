// Building the worked object message through the pool, beside snprintf of the same text into
// a reused buffer. Reports allocations per message too (global operator new is counted here).
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>
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

namespace {

void BM_BuildObjectMessage(benchmark::State& state) {
    const std::vector<std::string> names = {"qty", "px", "side", "venue", "lots", "flag"};
    const std::vector<tyx::FieldValue> values = {std::int32_t{5}, 101.25, 'B', std::string("XNYS"),
                                                 std::int64_t{3}, std::monostate{}};
    benchmark::DoNotOptimize(tyx::rt::make_object_message("Order", "o-17", names, values, 42, 0));
    const long before = g_allocations.load();
    for (auto _ : state) {
        auto m = tyx::rt::make_object_message("Order", "o-17", names, values, 42, 0);
        benchmark::DoNotOptimize(m->buffer.data());
    }
    state.counters["allocs_per_msg"] =
        static_cast<double>(g_allocations.load() - before) / static_cast<double>(state.iterations());
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_BuildObjectMessage);

// Baseline: the same text written by snprintf into a reused buffer.
void BM_SnprintfBaseline(benchmark::State& state) {
    char buf[256];
    int qty = 5;
    double px = 101.25;
    char side = 'B';
    long long lots = 3;
    long long seq = 42;
    for (auto _ : state) {
        benchmark::DoNotOptimize(qty);
        int n = std::snprintf(buf, sizeof buf,
                              "O#%lld|T=\"%s\"|I=\"%s\"|qty=%d|px=%gD|side=%c|venue=\"%s\"|lots=%lldL|flag=\n", seq,
                              "Order", "o-17", qty, px, side, "XNYS", lots);
        benchmark::DoNotOptimize(n);
        benchmark::DoNotOptimize(buf);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SnprintfBaseline);

}  // namespace

BENCHMARK_MAIN();
