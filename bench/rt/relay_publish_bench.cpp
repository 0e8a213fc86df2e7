// One relay session publishing the worked object message to the sandbox relay (counting only),
// beside the loopback ceiling: the same bytes written by a plain socket in 64 KiB batches to the
// same server. Reports messages per second and, for the session, socket writes per message.
#include <benchmark/benchmark.h>

#include <asio/co_spawn.hpp>
#include <asio/connect.hpp>
#include <asio/detached.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/post.hpp>
#include <asio/write.hpp>

#include <future>

#include "relay_server.hpp"
#include "multiplex/tyx_client_multiplex.hpp"
#include "rt/messages.hpp"
#include "rt/tyx_client_relay.hpp"
#include "support/raw_loopback_ceiling.hpp"

namespace {

using namespace std::chrono_literals;

std::shared_ptr<tyx::rt::Message> worked_message() {
    return tyx::rt::make_object_message(
        "Order", "o-17", {"qty", "px", "side", "venue", "lots", "flag"},
        {std::int32_t{5}, 101.25, 'B', std::string("XNYS"), std::int64_t{3}, std::monostate{}}, 42, 0);
}

constexpr std::int64_t kBatch = 1000;

void BM_RelaySessionPublish(benchmark::State& state) {
    tyx::sandbox::RelayServerOptions options;
    options.counting_only = true;
    tyx::sandbox::RelayServer server(options);
    tyx::TyxClientMultiplex multiplex(1);
    auto& io = multiplex.pool().get_io_context();
    tyx::TyxClientRelay relay(multiplex, "bench", {{"127.0.0.1", std::to_string(server.port())}},
                              tyx::PublicationConfig("0", false, "bench"), io,
                              tyx::make_socket_factory(io, false, {}));
    std::promise<void> logged_in;
    asio::co_spawn(
        io,
        [&]() -> asio::awaitable<void> {
            co_await relay.connect(io);
            logged_in.set_value();
            co_await relay.receive_loop();
        },
        asio::detached);
    logged_in.get_future().wait();
    server.wait_for_lines(1);

    const auto message = worked_message();
    std::uint64_t sent = 0;
    const auto batches_before = static_cast<tyx::TcpSocket*>(relay.socket())->batches_written();
    for (auto _ : state) {
        // One job publishes a batch on the relay's own loop, as the routing does.
        asio::post(io, [&relay, &message] {
            for (std::int64_t i = 0; i < kBatch; ++i) relay.send_async(message);
        });
        sent += kBatch;
        // Keep at most a few batches in flight so the queue does not grow without bound.
        if (sent % (kBatch * 64) == 0) server.wait_for_lines(1 + sent - kBatch * 32, 30s);
    }
    server.wait_for_lines(1 + sent, 60s);
    std::promise<std::uint64_t> batches;
    asio::post(io,
               [&] { batches.set_value(static_cast<tyx::TcpSocket*>(relay.socket())->batches_written()); });
    const auto writes = batches.get_future().get() - batches_before;
    state.SetItemsProcessed(static_cast<std::int64_t>(sent));
    state.counters["writes_per_msg"] = static_cast<double>(writes) / static_cast<double>(sent);
    std::promise<void> stopped;
    asio::co_spawn(
        io, [&]() -> asio::awaitable<void> { co_await relay.stop(); },
        [&](std::exception_ptr) { stopped.set_value(); });
    stopped.get_future().wait();
}
BENCHMARK(BM_RelaySessionPublish)->Iterations(2000)->UseRealTime()->Unit(benchmark::kMicrosecond);

// Baseline: the same message bytes, 64 KiB at a time, through one plain blocking socket.
void BM_RawLoopbackCeiling(benchmark::State& state) {
    tyx::bench::raw_loopback_ceiling(state, worked_message()->view(), kBatch);
}
BENCHMARK(BM_RawLoopbackCeiling)->Iterations(2000)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
