// What a listener slower than its center costs in memory. A loopback fake center feeds 2 M
// updates (100 batches of 20 frames of 1,000 added rows) to one Client subscribed to "Quotes",
// writing as fast as the client's TCP window lets it. Beside each other in the same run:
// - a listener that sleeps 1 ms per update: the client queues up to its notification limit
//   (TYX_MAX_QUEUED_UPDATES / TYX_MAX_QUEUED_BYTES), then stops reading, so the backlog waits
//   in the server's socket and the client's resident memory must stay flat while the feed goes
//   on for the whole window;
// - a listener that only counts, which takes all 2 M: the memory a client that keeps up uses.
// The figures are the growth of this process's peak resident memory from a settled client, and
// the wire bytes fed (what an unbounded queue would have to hold). main prints the ratios.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "client/quotes_frames.hpp"
#include "support/center_harness.hpp"
#include "support/collecting_reporter.hpp"
#include "support/count_waiter.hpp"
#include "tyx/tyx.hpp"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr int kRowsPerFrame = 1000;
constexpr int kFramesPerBatch = 20;
constexpr int kBatches = 100;  // 2 M updates
constexpr std::int64_t kUpdates = std::int64_t{kRowsPerFrame} * kFramesPerBatch * kBatches;
// How long the slow listener is watched while the feed goes on.
constexpr auto kSlowWindow = 15s;

const std::vector<std::uint8_t>& batch() {
    static const std::vector<std::uint8_t> stream = [] {
        std::vector<std::uint8_t> out;
        for (int f = 0; f < kFramesPerBatch; ++f) {
            const auto frame =
                tyx::bench::added_quotes_frame(100 + f, std::int64_t{f} * kRowsPerFrame, kRowsPerFrame);
            out.insert(out.end(), frame.begin(), frame.end());
        }
        return out;
    }();
    return stream;
}

double resident_mib() {
    std::ifstream statm("/proc/self/statm");
    std::uint64_t size = 0, resident = 0;
    statm >> size >> resident;
    return static_cast<double>(resident) * static_cast<double>(::sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

class Listener : public tyx::ClientListener {
public:
    explicit Listener(std::chrono::microseconds pause) : pause_(pause) {}
    void on_update(tyx::Client&, std::string_view, const CenterIncrementalUpdate&) override {
        if (pause_.count() > 0) std::this_thread::sleep_for(pause_);
        updates.add();
    }
    tyx::bench::CountWaiter updates;

private:
    const std::chrono::microseconds pause_;
};

struct Run {
    double growth_mib = 0;
    std::int64_t delivered = 0;
    std::uint64_t most_queued = 0;
    std::int64_t batches_fed = 0;
    const char* error = nullptr;
};

// Feeds the batches from a thread of its own (each push returns once the socket took it) while
// this thread samples resident memory and the queue; ends after `window` or once `done` says so.
Run feed_and_watch(std::chrono::microseconds pause, std::chrono::seconds window) {
    Run run;
    tyx::test::FakeCenter server;
    auto listener = std::make_shared<Listener>(pause);
    auto client = std::make_unique<tyx::Client>();
    client->listener_add(listener);
    tyx::Cluster cluster("bench", "127.0.0.1");
    cluster.subscription_config = tyx::SubscriptionConfig(std::to_string(server.port()), false);
    client->add_cluster(cluster, true);
    auto subscribed = std::async(std::launch::async, [&] {
        client->subscribe("bench", std::vector<std::string>{"Quotes"}, true);
    });
    if (!server.wait_requests(1)) {
        run.error = "the client sent no subscription request";
        client->remove_cluster("bench", true);
        subscribed.wait();
        return run;
    }
    server.push(tyx::bench::quotes_pool_frame(1));
    server.push(tyx::test::snapshot_response_frame());
    subscribed.wait();
    const auto& stream = batch();
    const double at_start = resident_mib();

    std::atomic<bool> feeding{true};
    std::atomic<std::int64_t> fed{0};
    listener->updates.expect(kUpdates);
    std::thread feeder([&] {
        for (int i = 0; i < kBatches && feeding; ++i) {
            server.push(stream);
            ++fed;
        }
    });
    double peak = at_start;
    const auto end = Clock::now() + window;
    while (Clock::now() < end && listener->updates.count() < kUpdates) {
        listener->updates.wait_until(Clock::now() + 50ms);
        peak = std::max(peak, resident_mib());
        run.most_queued = std::max(run.most_queued, client->health().notifications.queued_updates);
    }
    peak = std::max(peak, resident_mib());
    run.growth_mib = peak - at_start;
    run.delivered = listener->updates.count();
    run.batches_fed = fed;
    // The client's close ends the server's write in progress; its drain of what is queued has
    // a deadline of its own.
    feeding = false;
    client.reset();
    feeder.join();
    return run;
}

void report(benchmark::State& state, const Run& run) {
    if (run.error) return state.SkipWithError(run.error);
    state.counters["rss_growth_MiB"] = run.growth_mib;
    state.counters["delivered"] = static_cast<double>(run.delivered);
    state.counters["most_queued"] = static_cast<double>(run.most_queued);
    state.counters["fed_MiB"] =
        static_cast<double>(run.batches_fed) * static_cast<double>(batch().size()) / (1024.0 * 1024.0);
}

void BM_SlowListenerMemory(benchmark::State& state) {
    Run run;
    for (auto _ : state) run = feed_and_watch(1ms, kSlowWindow);
    report(state, run);
}
BENCHMARK(BM_SlowListenerMemory)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

void BM_KeepingUpListenerMemory(benchmark::State& state) {
    Run run;
    for (auto _ : state) run = feed_and_watch(0us, 120s);
    if (!run.error && run.delivered < kUpdates) run.error = "the listener did not have every update in 120 s";
    report(state, run);
}
BENCHMARK(BM_KeepingUpListenerMemory)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

}  // namespace

int main(int argc, char** argv) {
    tyx::bench::CollectingReporter reporter(argc, argv);
    if (!tyx::bench::run_benchmarks(reporter, argc, argv)) return 1;
    const auto value = [&](const char* name, const char* counter) { return reporter.median(name, counter); };
    const auto slow = value("BM_SlowListenerMemory", "rss_growth_MiB");
    const auto fast = value("BM_KeepingUpListenerMemory", "rss_growth_MiB");
    const auto fed = value("BM_SlowListenerMemory", "fed_MiB");
    const auto all = static_cast<double>(batch().size()) * kBatches / (1024.0 * 1024.0);
    std::FILE* out = reporter.summary_stream();
    std::fprintf(out,
                 "\nResident memory growth while %lld updates (%.0f MiB on the wire) are fed, ratios within "
                 "this run:\n",
                 static_cast<long long>(kUpdates), all);
    tyx::bench::print_ratio(out, "1 ms listener / listener that keeps up", slow, fast);
    tyx::bench::print_ratio(out, "1 ms listener / wire bytes of the whole feed", slow, all);
    tyx::bench::print_ratio(out, "wire bytes the server wrote / whole feed (1 ms listener)", fed, all);
    benchmark::Shutdown();
    return 0;
}
