// Shared pieces of the paced latency benchmarks: the clock in nanoseconds, a loopback address,
// and the quantile counters of a run's samples.
#pragma once

#include <benchmark/benchmark.h>
#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <utility>
#include <vector>

namespace tyx::bench {

inline std::int64_t now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

inline sockaddr_in loopback(std::uint16_t port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    return addr;
}

// Sorts `latency_ns` and sets, for each (counter name, q), the nearest-rank quantile in µs: the
// smallest value with at least q of all values at or below it (q = 1 is the maximum).
inline void report_quantiles(benchmark::State& state, std::vector<std::int64_t>& latency_ns,
                             std::initializer_list<std::pair<const char*, double>> quantiles) {
    if (latency_ns.empty()) return;
    std::sort(latency_ns.begin(), latency_ns.end());
    for (const auto& [name, q] : quantiles) {
        auto rank = static_cast<std::size_t>(q * static_cast<double>(latency_ns.size()) + 0.999999);
        rank = std::clamp<std::size_t>(rank, 1, latency_ns.size());
        state.counters[name] = static_cast<double>(latency_ns[rank - 1]) / 1000.0;
    }
}

}  // namespace tyx::bench
