// Client::publish_object of the worked object message to the sandbox relay (counting only), with
// no listener, with one listener and with one that hears every written message, beside a peer
// messaging client publishing the same bytes to its own server (peer_publish_bench.cpp, when
// built) and beside the loopback ceiling: the same bytes written by a plain socket in 64 KiB
// batches to the same kind of server, in the same run.
// Every figure counts what the server received: the last iteration waits for it. main prints
// the ratios between them at the end. Two more runs publish distinct ids, with and without
// latest-value conflation, for the cost of its bookkeeping with a relay reading at full speed.
#include <benchmark/benchmark.h>

#include <cstdio>

#include "client/worked_object.hpp"
#include "relay_server.hpp"
#include "support/collecting_reporter.hpp"
#include "support/raw_loopback_ceiling.hpp"
#include "tyx/tyx.hpp"

namespace {

using namespace std::chrono_literals;
using tyx::bench::kWorkedNames;
using tyx::bench::kWorkedValues;

constexpr std::int64_t kBatch = 1000;

// A listener that hears no written message (most listeners), and one that hears each of them and
// does nothing with it.
class Quiet : public tyx::ClientListener {};
class Hearing : public tyx::ClientListener {
public:
    void on_message_sent(tyx::Client&, std::string_view, std::string_view) override {}
};

// Ids the distinct-id runs rotate through: more than are ever in flight, so that conflation
// finds nothing to replace and only its bookkeeping is measured.
const std::vector<std::string>& distinct_ids() {
    static const std::vector<std::string> ids = [] {
        std::vector<std::string> out;
        for (int i = 0; i < 100'000; ++i) out.push_back(std::string(tyx::bench::kWorkedId).append(std::to_string(i)));
        return out;
    }();
    return ids;
}

struct Setup {
    bool with_listener = false;
    bool hearing = false;  // the listener hears on_message_sent
    bool distinct = false;  // ids from distinct_ids(), else the worked object's one id
    bool conflate = false;
};

void publish(benchmark::State& state, Setup setup) {
    tyx::sandbox::RelayServerOptions options;
    options.counting_only = true;
    tyx::sandbox::RelayServer server(options);
    tyx::Client client;
    if (setup.with_listener) client.listener_add(std::make_shared<Quiet>());
    if (setup.hearing) client.listener_add(std::make_shared<Hearing>());
    tyx::Cluster cluster("bench", "127.0.0.1");
    cluster.publication_config = tyx::PublicationConfig(std::to_string(server.port()), false, "bench");
    cluster.publication_config.conflate_objects = setup.conflate;
    client.add_cluster(cluster, true);
    if (!server.wait_for_lines(1)) {
        state.SkipWithError("the client did not log in to the sandbox relay");
        return;
    }
    const auto& ids = distinct_ids();
    std::size_t next_id = 0;
    auto publish_batch = [&] {
        for (std::int64_t i = 0; i < kBatch; ++i) {
            std::string_view id = tyx::bench::kWorkedId;
            if (setup.distinct) {
                id = ids[next_id];
                next_id = next_id + 1 == ids.size() ? 0 : next_id + 1;
            }
            client.publish_object("bench", tyx::bench::kWorkedType, id, kWorkedNames, kWorkedValues,
                                  tyx::bench::kWorkedSeqnum);
        }
    };
    // Untimed warm-up: the outbox's blocks, the connection's buffers and the caches settle.
    constexpr std::uint64_t kWarmUp = 64 * kBatch;
    for (std::uint64_t i = 0; i < kWarmUp / kBatch; ++i) publish_batch();
    server.wait_for_lines(1 + kWarmUp, 30s);
    const std::uint64_t base = 1 + kWarmUp;  // the login line and the warm-up
    std::uint64_t sent = 0;
    bool delivered = true;
    auto left = state.max_iterations;
    for (auto _ : state) {
        publish_batch();
        sent += kBatch;
        // Keep the amount in flight bounded.
        if (sent % (kBatch * 64) == 0) server.wait_for_lines(base + sent - kBatch * 32, 30s);
        if (--left == 0) delivered = server.wait_for_lines(base + sent, 60s);
    }
    if (!delivered) {
        state.SkipWithError("the sandbox relay did not count every message");
        return;
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(sent));
}

void BM_ClientPublishNoListener(benchmark::State& state) {
    publish(state, {});
}
void BM_ClientPublishOneListener(benchmark::State& state) {
    publish(state, {.with_listener = true});
}
void BM_ClientPublishListenerHearingWrites(benchmark::State& state) {
    publish(state, {.hearing = true});
}
void BM_ClientPublishDistinctIds(benchmark::State& state) {
    publish(state, {.distinct = true});
}
void BM_ClientPublishDistinctIdsConflating(benchmark::State& state) {
    publish(state, {.distinct = true, .conflate = true});
}
BENCHMARK(BM_ClientPublishNoListener)->Iterations(2000)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ClientPublishOneListener)->Iterations(2000)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ClientPublishListenerHearingWrites)->Iterations(2000)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ClientPublishDistinctIds)->Iterations(2000)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ClientPublishDistinctIdsConflating)->Iterations(2000)->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_RawLoopbackCeiling(benchmark::State& state) {
    tyx::bench::raw_loopback_ceiling(state, tyx::bench::worked_line(), kBatch, true);
}
BENCHMARK(BM_RawLoopbackCeiling)->Iterations(2000)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    tyx::bench::CollectingReporter reporter(argc, argv);
    if (!tyx::bench::run_benchmarks(reporter, argc, argv)) return 1;

    const auto rate = [&](const char* name) { return reporter.median(name, "items_per_second"); };
    const auto none = rate("BM_ClientPublishNoListener");
    const auto one = rate("BM_ClientPublishOneListener");
    const auto peer = rate("BM_PeerPublish");
    const auto raw = rate("BM_RawLoopbackCeiling");
    std::FILE* out = reporter.summary_stream();
    std::fprintf(out, "\nMessages per second, ratios within this run (line of %zu bytes):\n",
                 tyx::bench::worked_line().size());
    tyx::bench::print_ratio(out, "library (no listener) / peer", none, peer);
    tyx::bench::print_ratio(out, "library (one listener) / peer", one, peer);
    tyx::bench::print_ratio(out, "library (no listener) / raw loopback", none, raw);
    tyx::bench::print_ratio(out, "library (one listener) / raw loopback", one, raw);
    tyx::bench::print_ratio(out, "peer / raw loopback", peer, raw);
    tyx::bench::print_ratio(out, "one listener / no listener", one, none);
    tyx::bench::print_ratio(out, "one listener hearing on_message_sent / no listener",
                            rate("BM_ClientPublishListenerHearingWrites"), none);
    tyx::bench::print_ratio(out, "conflating / not conflating (distinct ids)",
                            rate("BM_ClientPublishDistinctIdsConflating"), rate("BM_ClientPublishDistinctIds"));
    benchmark::Shutdown();
    return 0;
}
