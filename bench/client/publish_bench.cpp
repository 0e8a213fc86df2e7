// Client::publish_object of the worked object message to the sandbox relay (counting only), with
// no listener and with one listener, beside the loopback ceiling: the same bytes written by a
// plain socket in 64 KiB batches to the same kind of server, in the same run.
#include <benchmark/benchmark.h>

#include <asio/ip/tcp.hpp>
#include <asio/write.hpp>

#include "relay_server.hpp"
#include "rt/messages.hpp"
#include "support/raw_loopback_ceiling.hpp"
#include "tyx/tyx.hpp"

namespace {

using namespace std::chrono_literals;

const std::vector<std::string> kNames = {"qty", "px", "side", "venue", "lots", "flag"};
const std::vector<tyx::FieldValue> kValues = {std::int32_t{5},     101.25,          'B',
                                              std::string("XNYS"), std::int64_t{3}, std::monostate{}};
constexpr std::int64_t kBatch = 1000;

class Quiet : public tyx::ClientListener {};

void publish(benchmark::State& state, bool with_listener) {
    tyx::sandbox::RelayServerOptions options;
    options.counting_only = true;
    tyx::sandbox::RelayServer server(options);
    tyx::Client client;
    if (with_listener) client.listener_add(std::make_shared<Quiet>());
    tyx::Cluster cluster("bench", "127.0.0.1");
    cluster.publication_config = tyx::PublicationConfig(std::to_string(server.port()), false, "bench");
    client.add_cluster(cluster, true);
    server.wait_for_lines(1);
    std::uint64_t sent = 0;
    for (auto _ : state) {
        for (std::int64_t i = 0; i < kBatch; ++i)
            client.publish_object("bench", "Order", "o-17", kNames, kValues, 42);
        sent += kBatch;
        // Keep the amount in flight bounded.
        if (sent % (kBatch * 64) == 0) server.wait_for_lines(1 + sent - kBatch * 32, 30s);
    }
    server.wait_for_lines(1 + sent, 60s);
    state.SetItemsProcessed(static_cast<std::int64_t>(sent));
}

void BM_ClientPublishNoListener(benchmark::State& state) {
    publish(state, false);
}
void BM_ClientPublishOneListener(benchmark::State& state) {
    publish(state, true);
}
BENCHMARK(BM_ClientPublishNoListener)->Iterations(2000)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ClientPublishOneListener)->Iterations(2000)->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_RawLoopbackCeiling(benchmark::State& state) {
    tyx::bench::raw_loopback_ceiling(
        state, tyx::rt::serialize_object("Order", "o-17", kNames, kValues, 42, 0), kBatch);
}
BENCHMARK(BM_RawLoopbackCeiling)->Iterations(2000)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
