// The sandbox's relay -> store -> center path and its snapshots, each beside a baseline of the
// same run:
// - BM_SandboxFeed: one Client publishes 2 M updates of 10,000 objects at full speed to the
//   sandbox relay while a second Client, subscribed to the table through the sandbox center,
//   counts what arrives (every change in order, checked). Reports the updates per second the
//   subscriber received and the growth of this process's peak resident memory during the feed.
// - BM_PublishToCountingRelay: the same Client publishing the same objects to a relay that only
//   counts lines: what the publisher alone can do.
// - BM_SandboxSnapshot: a bare socket subscribes to a stored table of 1 M rows and reads until the
//   snapshot response; BM_RawSnapshotRead reads the same bytes from a plain socket that writes
//   them as fast as it can, and BM_SnapshotMemcpy copies them once.
// main prints the ratios.
#include <benchmark/benchmark.h>

#include <asio/ip/tcp.hpp>
#include <asio/read.hpp>
#include <asio/write.hpp>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "center_wire.hpp"
#include "relay_server.hpp"
#include "sandbox.hpp"
#include "support/collecting_reporter.hpp"
#include "support/count_waiter.hpp"
#include "tyx/tyx.hpp"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr std::int64_t kObjects = 10'000;
constexpr std::int64_t kUpdates = 2'000'000;
constexpr auto kFeedWindow = 120s;
constexpr std::int64_t kSnapshotRows = 1'000'000;

const std::vector<std::string> kNames = {"n", "px", "sym"};

double resident_mib() {
    std::ifstream statm("/proc/self/statm");
    std::uint64_t size = 0, resident = 0;
    statm >> size >> resident;
    return static_cast<double>(resident) * static_cast<double>(::sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

const std::vector<std::string>& object_ids() {
    static const std::vector<std::string> ids = [] {
        std::vector<std::string> out;
        for (std::int64_t i = 0; i < kObjects; ++i) out.push_back("q-" + std::to_string(i));
        return out;
    }();
    return ids;
}

// Publishes update `i` of the feed: object i % kObjects with n = i.
void publish_update(tyx::Client& client, const char* cluster, std::int64_t i) {
    client.publish_object(
        cluster, "Quotes", object_ids()[static_cast<std::size_t>(i % kObjects)], kNames,
        {std::int64_t{i}, 100.0 + 0.25 * static_cast<double>(i % 400), std::string(i % 2 ? "ABC" : "XYZW")});
}

// A publisher that waits for room rather than dropping, with a small outbox, so that a relay
// that stops reading holds it back and its own memory stays small.
tyx::Cluster publisher_cluster(const char* name, std::uint16_t relay_port) {
    tyx::Cluster cluster(name, "127.0.0.1");
    cluster.publication_config = tyx::PublicationConfig(std::to_string(relay_port), false, "bench");
    cluster.publication_config.max_buffered_bytes = 8u << 20;
    cluster.publication_config.full_buffer_block_ms = 600'000;
    return cluster;
}

// Counts the subscriber's updates and checks that every update of the feed comes, in order: `n`
// goes up by one from update to update once the warm-up's rows are in.
class FeedListener : public tyx::ClientListener {
public:
    void on_update(tyx::Client&, std::string_view, const CenterIncrementalUpdate& u) override {
        if (u.action == 2 && !u.row_data.empty()) {
            const auto* n = std::get_if<std::int64_t>(&u.row_data[0]);
            if (n == nullptr || *n != next_) out_of_order = true;
            if (n != nullptr) next_ = *n + 1;
        }
        updates.add();
    }
    void start_at(std::int64_t n) { next_ = n; }
    tyx::bench::CountWaiter updates;
    std::atomic<bool> out_of_order{false};

private:
    std::int64_t next_ = 0;
};

void BM_SandboxFeed(benchmark::State& state) {
    double rate = 0, growth = 0, delivered = 0;
    for (auto _ : state) {
        tyx::sandbox::Sandbox box;
        auto listener = std::make_shared<FeedListener>();
        tyx::Client subscriber;
        subscriber.listener_add(listener);
        tyx::Cluster center("feed", "127.0.0.1");
        center.subscription_config = tyx::SubscriptionConfig(std::to_string(box.center_port()), false);
        subscriber.add_cluster(center, true);
        subscriber.subscribe("feed", std::vector<std::string>{"Quotes"}, true);

        tyx::Client publisher;
        publisher.add_cluster(publisher_cluster("feed", box.relay_port()), true);
        // Warm-up: every object's row exists, so the timed feed is updates only.
        listener->updates.expect(kObjects);
        for (std::int64_t i = 0; i < kObjects; ++i) publish_update(publisher, "feed", i);
        if (!listener->updates.wait_until(Clock::now() + 60s)) {
            state.SkipWithError("the subscriber did not get the warm-up's rows");
            return;
        }
        listener->start_at(kObjects);
        listener->updates.expect(kObjects + kUpdates);
        const double at_start = resident_mib();
        double peak = at_start;
        const auto started = Clock::now();
        std::atomic<bool> feeding{true};
        std::thread feeder([&] {
            for (std::int64_t i = kObjects; i < kObjects + kUpdates && feeding; ++i)
                publish_update(publisher, "feed", i);
        });
        const auto end = started + kFeedWindow;
        while (Clock::now() < end && !listener->updates.wait_until(Clock::now() + 20ms))
            peak = std::max(peak, resident_mib());
        const auto elapsed = std::chrono::duration<double>(Clock::now() - started).count();
        peak = std::max(peak, resident_mib());
        const auto got = listener->updates.count() - kObjects;
        feeding = false;
        publisher.remove_cluster("feed", true);
        feeder.join();
        if (listener->out_of_order) {
            state.SkipWithError("updates arrived out of order or were missing");
            return;
        }
        // A feed that did not finish within the window reports what it delivered in it.
        rate = static_cast<double>(got) / elapsed;
        growth = peak - at_start;
        delivered = static_cast<double>(got);
    }
    state.counters["updates_per_s"] = rate;
    state.counters["rss_growth_MiB"] = growth;
    state.counters["delivered"] = delivered;
}
BENCHMARK(BM_SandboxFeed)->Iterations(1)->Repetitions(3)->UseRealTime()->Unit(benchmark::kSecond);

void BM_PublishToCountingRelay(benchmark::State& state) {
    double rate = 0;
    for (auto _ : state) {
        tyx::sandbox::RelayServerOptions options;
        options.counting_only = true;
        tyx::sandbox::RelayServer relay(options);
        tyx::Client publisher;
        publisher.add_cluster(publisher_cluster("count", relay.port()), true);
        for (std::int64_t i = 0; i < kObjects; ++i) publish_update(publisher, "count", i);
        relay.wait_for_lines(1 + kObjects, 60s);
        const auto started = Clock::now();
        for (std::int64_t i = kObjects; i < kObjects + kUpdates; ++i) publish_update(publisher, "count", i);
        if (!relay.wait_for_lines(1 + kObjects + kUpdates, 120s)) {
            state.SkipWithError("the relay did not count every line");
            return;
        }
        rate = static_cast<double>(kUpdates) / std::chrono::duration<double>(Clock::now() - started).count();
    }
    state.counters["updates_per_s"] = rate;
}
BENCHMARK(BM_PublishToCountingRelay)->Iterations(1)->Repetitions(3)->UseRealTime()->Unit(benchmark::kSecond);

// ---- Snapshots ----

using Bytes = std::vector<std::uint8_t>;
using asio::ip::tcp;

Bytes greeting(char direction, const std::string& uid) {
    Bytes out;
    auto utf = [&](std::string_view s) {
        out.push_back(static_cast<std::uint8_t>(s.size() >> 8));
        out.push_back(static_cast<std::uint8_t>(s.size()));
        out.insert(out.end(), s.begin(), s.end());
    };
    utf("XQDM|dTP");
    out.push_back(0);
    out.push_back(static_cast<std::uint8_t>(direction));
    utf(direction == 'R' ? "web.to.center" : "center.to.web$" + uid);
    utf(uid);
    return out;
}

void read_reply(tcp::socket& s) {
    for (int part = 0; part < 2; ++part) {
        std::uint8_t len[2];
        asio::read(s, asio::buffer(len));
        std::string text(static_cast<std::size_t>(len[0] << 8 | len[1]), '\0');
        asio::read(s, asio::buffer(text));
        if (part == 0 && (text.empty() || text.back() != 'P')) return;
    }
}

// Reads frames until the snapshot response; returns every byte read (with `keep`) or their count.
std::size_t read_snapshot(tcp::socket& s, Bytes* keep) {
    static const Bytes end = tyx::sandbox::center::encode_snapshot_response_payload();
    Bytes payload;
    std::size_t total = 0;
    for (;;) {
        std::uint8_t head[8];
        asio::read(s, asio::buffer(head));
        const std::size_t n =
            std::size_t{head[4]} << 24 | std::size_t{head[5]} << 16 | std::size_t{head[6]} << 8 | head[7];
        payload.resize(n);
        asio::read(s, asio::buffer(payload));
        total += 8 + n;
        if (keep) {
            keep->insert(keep->end(), head, head + 8);
            keep->insert(keep->end(), payload.begin(), payload.end());
        }
        if (payload == end) return total;
    }
}

struct SnapshotFixture {
    tyx::sandbox::Sandbox box;
    Bytes request;  // a subscription request frame for "Snap", as a Client writes it
    Bytes answer;   // what one subscription received, snapshot response included

    SnapshotFixture() {
        {
            tyx::Client client;
            tyx::Cluster cluster("snap", "127.0.0.1");
            cluster.subscription_config = tyx::SubscriptionConfig(std::to_string(box.center_port()), false);
            client.add_cluster(cluster, true);
            client.subscribe("snap", std::vector<std::string>{"Snap"}, true);
            request = box.center().state().requests.back().frame;
        }
        std::vector<std::string> lines;
        for (std::int64_t i = 0; i < kSnapshotRows; ++i) {
            lines.push_back("O|T=\"Snap\"|I=\"s-" + std::to_string(i) + "\"|n=" + std::to_string(i) +
                            "L|px=" + std::to_string(100 + i % 400) + ".25D|sym=\"" +
                            (i % 2 ? "ABC" : "XYZW") + "\"");
            if (lines.size() == 100'000) {
                box.center().apply_lines(lines);
                lines.clear();
            }
        }
        box.center().apply_lines(lines);
    }

    // One subscription from bare sockets; the time from the request to the snapshot response.
    double subscribe_once(Bytes* keep) {
        static int next_uid = 0;
        const std::string uid = "bench-" + std::to_string(++next_uid);
        asio::io_context io;
        const tcp::endpoint at(asio::ip::make_address("127.0.0.1"), box.center_port());
        tcp::socket in(io), out(io);
        in.connect(at);
        asio::write(in, asio::buffer(greeting('W', uid)));
        read_reply(in);
        out.connect(at);
        asio::write(out, asio::buffer(greeting('R', uid)));
        read_reply(out);
        box.center().wait_for_paired_clients(1);
        const auto started = Clock::now();
        asio::write(out, asio::buffer(request));
        read_snapshot(in, keep);
        return std::chrono::duration<double>(Clock::now() - started).count();
    }
};

SnapshotFixture& snapshot_fixture() {
    static SnapshotFixture fixture;
    return fixture;
}

void BM_SandboxSnapshot(benchmark::State& state) {
    auto& f = snapshot_fixture();
    double seconds = 0;
    for (auto _ : state) {
        seconds = f.subscribe_once(f.answer.empty() ? &f.answer : nullptr);
        state.SetIterationTime(seconds);
    }
    state.counters["ms"] = seconds * 1e3;
    state.counters["rows"] = static_cast<double>(kSnapshotRows);
    state.counters["MiB"] = static_cast<double>(f.answer.size()) / (1024.0 * 1024.0);
}
BENCHMARK(BM_SandboxSnapshot)->Iterations(1)->Repetitions(3)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_RawSnapshotRead(benchmark::State& state) {
    const Bytes& bytes = snapshot_fixture().answer;
    double seconds = 0;
    for (auto _ : state) {
        asio::io_context io;
        tcp::acceptor acceptor(io, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
        std::thread writer([&] {
            tcp::socket s(io);
            acceptor.accept(s);
            asio::write(s, asio::buffer(bytes));
        });
        tcp::socket in(io);
        in.connect(acceptor.local_endpoint());
        const auto started = Clock::now();
        read_snapshot(in, nullptr);
        seconds = std::chrono::duration<double>(Clock::now() - started).count();
        state.SetIterationTime(seconds);
        writer.join();
    }
    state.counters["ms"] = seconds * 1e3;
}
BENCHMARK(BM_RawSnapshotRead)->Iterations(1)->Repetitions(3)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_SnapshotMemcpy(benchmark::State& state) {
    const Bytes& bytes = snapshot_fixture().answer;
    Bytes copy(bytes.size());
    double seconds = 0;
    for (auto _ : state) {
        const auto started = Clock::now();
        std::memcpy(copy.data(), bytes.data(), bytes.size());
        benchmark::DoNotOptimize(copy.data());
        benchmark::ClobberMemory();
        seconds = std::chrono::duration<double>(Clock::now() - started).count();
    }
    state.counters["ms"] = seconds * 1e3;
}
BENCHMARK(BM_SnapshotMemcpy)->Iterations(1)->Repetitions(3)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    tyx::bench::CollectingReporter reporter(argc, argv);
    if (!tyx::bench::run_benchmarks(reporter, argc, argv)) return 1;
    const auto value = [&](const char* name, const char* counter) { return reporter.median(name, counter); };
    const auto feed = value("BM_SandboxFeed", "updates_per_s");
    const auto counting = value("BM_PublishToCountingRelay", "updates_per_s");
    std::FILE* out = reporter.summary_stream();
    std::fprintf(out, "\nMedians of three, ratios within this run:\n");
    if (feed) std::fprintf(out, "  feed: %.0f updates/s delivered to the subscriber\n", *feed);
    tyx::bench::print_ratio(out, "feed / publisher to a counting relay", feed, counting);
    if (const auto growth = value("BM_SandboxFeed", "rss_growth_MiB"))
        std::fprintf(out, "  peak resident growth during the feed: %.0f MiB\n", *growth);
    const auto snapshot = value("BM_SandboxSnapshot", "ms");
    if (snapshot)
        std::fprintf(out, "  snapshot of %lld rows: %.0f ms\n", static_cast<long long>(kSnapshotRows),
                     *snapshot);
    tyx::bench::print_ratio(out, "snapshot / raw read of its bytes", snapshot,
                            value("BM_RawSnapshotRead", "ms"));
    tyx::bench::print_ratio(out, "snapshot / memcpy of its bytes", snapshot,
                            value("BM_SnapshotMemcpy", "ms"));
    benchmark::Shutdown();
    return 0;
}
