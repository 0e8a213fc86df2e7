// One feed of repeated objects (K objects in turn, each republished many times a second, paced
// at a fixed rate) published through Client to a sandbox relay that reads at a tenth of the
// feed's byte rate, once with latest-value conflation and once without. For each it reports
// what the relay read (messages and bytes), how long after the feed's end the relay held every
// object's last version, and the staleness of the published versions: for each version, the
// time from its publication until the relay read that version or a newer one of its object.
//
// The relay's receive buffer is kept small, as a slow consumer's would be; what the client's
// kernel send buffer holds is beyond any conflation and counts in both runs alike.
//
// Usage: client_conflation_bench [seconds of feed, default 1] [messages per second, default 100000]
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "relay_server.hpp"
#include "tyx/tyx.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kObjects = 1000;
const std::vector<std::string> kNames = {"v", "bid", "ask", "venue"};

std::int64_t now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

struct Outcome {
    std::uint64_t published = 0;
    std::uint64_t messages = 0;  // read by the relay
    std::uint64_t bytes = 0;
    std::uint64_t replaced = 0;
    double feed_s = 0;
    double drain_s = 0;  // from the feed's end until every object's last version was read
    double mean_ms = 0, p50_ms = 0, p99_ms = 0, max_ms = 0;
    bool complete = false;
};

// What the relay read, kept on the server's loop and read by the bench thread.
struct Arrivals {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::int32_t> last;  // newest version read, per object
    std::vector<double> staleness_ms;
    int objects_done = 0;  // objects whose final version was read
    std::int64_t all_done_ns = 0;
};

Outcome run(bool conflate, double seconds, std::size_t rate, std::size_t line_bytes) {
    const int versions = std::max(1, static_cast<int>(seconds * static_cast<double>(rate) / kObjects));
    const std::size_t total = static_cast<std::size_t>(versions) * kObjects;
    std::vector<std::int64_t> published_ns(total, 0);
    std::mutex published_mutex;  // the observer reads entries the feed wrote before their arrival

    tyx::sandbox::RelayServerOptions options;
    options.read_bytes_per_second = rate * line_bytes / 10;
    options.receive_buffer_bytes = 64 << 10;
    tyx::sandbox::RelayServer server(options);
    Arrivals arrivals;
    arrivals.last.assign(kObjects, -1);
    server.set_observer([&](std::vector<tyx::sandbox::RelayPublication> batch) {
        const std::int64_t at = now_ns();
        std::lock_guard lock(arrivals.mutex);
        std::lock_guard feed(published_mutex);
        for (const auto& p : batch) {
            const int object = std::atoi(p.id.c_str() + 1);
            const auto v = static_cast<std::int32_t>(p.field("v")->value.integer);
            for (std::int32_t u = arrivals.last[object] + 1; u <= v; ++u)
                arrivals.staleness_ms.push_back(
                    static_cast<double>(at - published_ns[static_cast<std::size_t>(u) * kObjects + object]) / 1e6);
            arrivals.last[object] = v;
            if (v == versions - 1 && ++arrivals.objects_done == kObjects) arrivals.all_done_ns = at;
        }
        arrivals.changed.notify_all();
    });

    tyx::Client client;
    tyx::Cluster cluster("bench", "127.0.0.1");
    cluster.publication_config = tyx::PublicationConfig(std::to_string(server.port()), false, "bench");
    cluster.publication_config.conflate_objects = conflate;
    client.add_cluster(cluster, true);
    server.wait_for_logins(1);

    std::vector<std::string> ids;
    for (int k = 0; k < kObjects; ++k) ids.push_back(std::string(1, 'q').append(std::to_string(k)));
    const std::int64_t start = now_ns();
    const double gap_ns = 1e9 / static_cast<double>(rate);
    for (std::size_t i = 0; i < total; ++i) {
        // Paced in steps of 100 messages: the feed's rate does not depend on the relay.
        if (i % 100 == 0) {
            const auto due = start + static_cast<std::int64_t>(static_cast<double>(i) * gap_ns);
            while (now_ns() < due) std::this_thread::sleep_for(20us);
        }
        const int object = static_cast<int>(i % kObjects);
        const auto version = static_cast<std::int64_t>(i / kObjects);
        {
            std::lock_guard lock(published_mutex);
            published_ns[i] = now_ns();
        }
        client.publish_object("bench", "Quote", ids[static_cast<std::size_t>(object)], kNames,
                              {version, 101.25 + static_cast<double>(version % 7), 101.5, std::string("XLON")});
    }
    const std::int64_t feed_end = now_ns();

    Outcome out;
    out.published = total;
    out.feed_s = static_cast<double>(feed_end - start) / 1e9;
    {
        std::unique_lock lock(arrivals.mutex);
        out.complete = arrivals.changed.wait_for(lock, 300s, [&] { return arrivals.objects_done == kObjects; });
        out.drain_s = out.complete ? static_cast<double>(arrivals.all_done_ns - feed_end) / 1e9 : -1;
        auto& s = arrivals.staleness_ms;
        if (!s.empty()) {
            double sum = 0;
            for (double x : s) sum += x;
            out.mean_ms = sum / static_cast<double>(s.size());
            std::sort(s.begin(), s.end());
            out.p50_ms = s[s.size() / 2];
            out.p99_ms = s[s.size() * 99 / 100];
            out.max_ms = s.back();
        }
    }
    for (const auto& session : client.health().sessions)
        if (session.kind == tyx::SessionKind::relay) out.replaced = session.relay.replaced_versions;
    const auto state = server.state();
    out.messages = state.objects;
    out.bytes = state.bytes;
    server.set_observer(nullptr);
    return out;
}

void print(const char* name, const Outcome& o) {
    std::printf("%-14s %10llu %10llu %12llu %10llu %8.2f %8.2f %9.1f %9.1f %9.1f %9.1f%s\n", name,
                static_cast<unsigned long long>(o.published), static_cast<unsigned long long>(o.messages),
                static_cast<unsigned long long>(o.bytes), static_cast<unsigned long long>(o.replaced), o.feed_s,
                o.drain_s, o.mean_ms, o.p50_ms, o.p99_ms, o.max_ms, o.complete ? "" : "  (incomplete)");
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 1.0;
    const std::size_t rate = argc > 2 ? static_cast<std::size_t>(std::atoll(argv[2])) : 100'000;
    tyx::Client probe;
    const std::size_t line_bytes =
        probe.serialize_object("Quote", "q500", kNames, {std::int64_t{50}, 104.25, 101.5, std::string("XLON")}).size();
    std::printf("Feed: %d objects in turn, %zu messages/s for %.1f s, lines of about %zu bytes; the relay reads "
                "%zu bytes/s (a tenth)\n\n",
                kObjects, rate, seconds, line_bytes, rate * line_bytes / 10);
    std::printf("%-14s %10s %10s %12s %10s %8s %8s %9s %9s %9s %9s\n", "", "published", "read", "bytes read",
                "replaced", "feed s", "drain s", "mean ms", "p50 ms", "p99 ms", "max ms");
    const Outcome on = run(true, seconds, rate, line_bytes);
    print("conflating", on);
    const Outcome off = run(false, seconds, rate, line_bytes);
    print("every version", off);
    std::printf("\nRatios, conflating / every version, within this run:\n");
    const auto ratio = [](double a, double b) { return b > 0 ? a / b : 0.0; };
    std::printf("  messages read  %.3f\n  bytes read     %.3f\n  mean staleness %.3f\n  p99 staleness  %.3f\n",
                ratio(static_cast<double>(on.messages), static_cast<double>(off.messages)),
                ratio(static_cast<double>(on.bytes), static_cast<double>(off.bytes)), ratio(on.mean_ms, off.mean_ms),
                ratio(on.p99_ms, off.p99_ms));
    return on.complete && off.complete ? 0 : 1;
}
