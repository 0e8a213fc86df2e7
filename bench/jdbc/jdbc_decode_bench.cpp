// Decoding a 1,000,000-row result (int64, double, 12-byte string) against the baseline of copying
// the same body bytes into freshly allocated storage, both in the same run. The first calls of
// each are timed once in a fresh process (every page newly touched) before the steady-state runs.
#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "jdbc/jdbc_result.hpp"
#include "support/million_row_body.hpp"

namespace {

using namespace tyx;

constexpr std::int32_t kRows = bench::kMillionRows;

const ByteVector& body() {
    static const ByteVector b = bench::million_row_body();
    return b;
}

void decode_once() {
    ByteView v(body());
    jdbc::QueryResult r(v);
    benchmark::DoNotOptimize(r.elements.data());
}

void copy_once() {
    ByteVector copy(body().begin(), body().end());
    benchmark::DoNotOptimize(copy.data());
}

long minor_faults() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_minflt;
}

template <typename Fn>
double seconds_of(Fn&& fn) {
    const auto t0 = std::chrono::steady_clock::now();
    fn();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

void BM_DecodeResult(benchmark::State& state) {
    for (auto _ : state) decode_once();
    state.SetItemsProcessed(state.iterations() * kRows);
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(body().size()));
}
BENCHMARK(BM_DecodeResult)->Unit(benchmark::kMillisecond);

void BM_CopyBodyBaseline(benchmark::State& state) {
    for (auto _ : state) copy_once();
    state.SetItemsProcessed(state.iterations() * kRows);
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(body().size()));
}
BENCHMARK(BM_CopyBodyBaseline)->Unit(benchmark::kMillisecond);

// Both in one loop, so the ratio compares like with like.
void BM_DecodeToCopyRatio(benchmark::State& state) {
    double decode = 0, copy = 0;
    long decode_faults = 0, copy_faults = 0;
    for (auto _ : state) {
        long f = minor_faults();
        decode += seconds_of(decode_once);
        decode_faults += minor_faults() - f;
        f = minor_faults();
        copy += seconds_of(copy_once);
        copy_faults += minor_faults() - f;
    }
    state.counters["decode_faults"] =
        static_cast<double>(decode_faults) / static_cast<double>(state.iterations());
    state.counters["copy_faults"] =
        static_cast<double>(copy_faults) / static_cast<double>(state.iterations());
    state.counters["decode_ms"] = 1e3 * decode / static_cast<double>(state.iterations());
    state.counters["copy_ms"] = 1e3 * copy / static_cast<double>(state.iterations());
    state.counters["ratio"] = decode / copy;
    state.counters["rows_per_s"] = kRows * static_cast<double>(state.iterations()) / decode;
}
BENCHMARK(BM_DecodeToCopyRatio)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    const ByteVector& b = body();
    // First calls: the copy and the decode each get storage that was never touched before.
    long f0 = minor_faults();
    const double first_copy = seconds_of(copy_once);
    long f1 = minor_faults();
    const double first_decode = seconds_of(decode_once);
    long f2 = minor_faults();
    std::printf(
        "body %zu bytes, %d rows\nfirst call: decode %.1f ms (%.2e rows/s, %ld page faults), fresh copy %.1f "
        "ms "
        "(%ld page faults), ratio %.2f\n",
        b.size(), kRows, 1e3 * first_decode, kRows / first_decode, f2 - f1, 1e3 * first_copy, f1 - f0,
        first_decode / first_copy);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
