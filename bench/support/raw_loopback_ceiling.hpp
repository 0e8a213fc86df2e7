// The baseline the publishing benchmarks report beside their figures: the same message bytes,
// 64 KiB at a time, through one plain blocking socket to the sandbox relay in counting-only mode.
#pragma once

#include <benchmark/benchmark.h>

#include <asio/ip/tcp.hpp>
#include <asio/write.hpp>

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "relay_server.hpp"

namespace tyx::bench {

// Counts `line` (one message, line feed included) as written `messages_per_iteration` times per
// benchmark iteration, whole 64 KiB batches at a time. With `timed_drain` the last iteration
// waits until the server has counted every line, so the time covers delivery and not only the
// hand-over to the socket; use it beside publishers measured the same way.
inline void raw_loopback_ceiling(benchmark::State& state, std::string_view line,
                                 std::int64_t messages_per_iteration, bool timed_drain = false) {
    using namespace std::chrono_literals;
    tyx::sandbox::RelayServerOptions options;
    options.counting_only = true;
    tyx::sandbox::RelayServer server(options);
    asio::io_context io;
    asio::ip::tcp::socket socket(io);
    socket.connect({asio::ip::make_address("127.0.0.1"), server.port()});
    socket.set_option(asio::ip::tcp::no_delay(true));
    asio::write(socket, asio::buffer(std::string("L|I=\"raw\"\n")));
    std::string batch;
    while (batch.size() + line.size() <= 65536) batch += line;
    const auto per_batch = static_cast<std::int64_t>(batch.size() / line.size());
    std::uint64_t sent = 0;
    auto left = state.max_iterations;
    for (auto _ : state) {
        for (std::int64_t done = 0; done < messages_per_iteration; done += per_batch) {
            asio::write(socket, asio::buffer(batch));
            sent += static_cast<std::uint64_t>(per_batch);
        }
        if (timed_drain && --left == 0) server.wait_for_lines(1 + sent, 60s);
    }
    server.wait_for_lines(1 + sent, 60s);
    state.SetItemsProcessed(static_cast<std::int64_t>(sent));
}

}  // namespace tyx::bench
