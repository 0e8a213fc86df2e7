// The peer beside which publish_bench.cpp measures the library: the nats.c client publishing the
// worked object line, byte for byte, as the payload of messages on a subject nobody subscribes
// to, to a nats-server this benchmark starts on a free loopback port and stops at the end. The
// last iteration flushes (a round trip to the server), so the count is what the server took in.
#include <benchmark/benchmark.h>
#include <nats/nats.h>

#include <cstdint>
#include <string>

#include "client/worked_object.hpp"
#include "support/nats_server.hpp"

namespace {

constexpr std::int64_t kBatch = 1000;

void BM_PeerPublish(benchmark::State& state) {
    const auto binary = tyx::bench::find_nats_server();
    if (!binary) {
        state.SkipWithError("nats-server not found (scripts/install-bench-deps installs it)");
        return;
    }
    tyx::bench::NatsServerProcess server;
    if (!server.start(*binary)) {
        state.SkipWithError("nats-server did not start accepting on loopback within 5 s");
        return;
    }
    const std::string line = tyx::bench::worked_line();
    const std::string url = server.url();
    natsOptions* options = nullptr;
    natsConnection* connection = nullptr;
    natsStatus s = natsOptions_Create(&options);
    if (s == NATS_OK) s = natsOptions_SetURL(options, url.c_str());
    if (s == NATS_OK) s = natsOptions_SetAllowReconnect(options, false);
    if (s == NATS_OK) s = natsConnection_Connect(&connection, options);
    if (s != NATS_OK) {
        natsOptions_Destroy(options);
        state.SkipWithError(natsStatus_GetText(s));
        return;
    }
    std::uint64_t sent = 0;
    natsStatus failure = NATS_OK;
    auto left = state.max_iterations;
    for (auto _ : state) {
        for (std::int64_t i = 0; i < kBatch; ++i) {
            s = natsConnection_Publish(connection, "bench.order", line.data(), static_cast<int>(line.size()));
            if (s != NATS_OK) failure = s;
        }
        sent += kBatch;
        if (--left == 0) {
            s = natsConnection_FlushTimeout(connection, 60000);
            if (s != NATS_OK) failure = s;
        }
    }
    natsConnection_Destroy(connection);
    natsOptions_Destroy(options);
    if (failure != NATS_OK) {
        state.SkipWithError(natsStatus_GetText(failure));
        return;
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(sent));
}
BENCHMARK(BM_PeerPublish)->Iterations(2000)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace
