// Paced latency of Client::publish_object: one worked object message every 100 us, timed from
// just before the call to the moment a loopback sink reads its bytes, beside the same bytes
// written with one write(2) per message from the calling thread on a plain connected socket to
// the same kind of sink, at the same pace, in the same run. Reports p50, p99 and p99.9 in
// microseconds; main prints the ratios library / write at the end. Then the latency of a flush:
// one message published and Client::flush until the relay's host acknowledged it, beside one
// write(2) and polling SIOCOUTQ until the kernel's send queue is empty.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "client/worked_object.hpp"
#include "support/collecting_reporter.hpp"
#include "support/latency.hpp"
#include "tyx/tyx.hpp"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kWarmup = 2000;
constexpr std::int64_t kMessages = 20000;
constexpr auto kPeriod = 100us;

using tyx::bench::loopback;
using tyx::bench::now_ns;

// A plain TCP listener on an ephemeral loopback port that stands where a relay would. Its own
// thread accepts, reads, splits lines and notes, for the n-th object line (`O...`), the time the
// read that completed it returned; other lines (the login, the logout) are skipped. The relay
// client does not wait for an answer to its login, so the sink never writes.
class LineSink {
public:
    explicit LineSink(std::size_t expected) : read_ns_(expected, 0) {
        listen_fd_ = socket(AF_INET, SOCK_STREAM, 0);
        auto addr = loopback(0);
        socklen_t len = sizeof addr;
        if (bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            listen(listen_fd_, 4) != 0 ||
            getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
            return;
        port_ = ntohs(addr.sin_port);
        // Blocking calls wake up this often to see whether the sink is being stopped.
        timeval tick{0, 50'000};
        setsockopt(listen_fd_, SOL_SOCKET, SO_RCVTIMEO, &tick, sizeof tick);
        thread_ = std::thread([this] { run(); });
    }
    ~LineSink() {
        stop_.store(true);
        if (thread_.joinable()) thread_.join();
        if (listen_fd_ >= 0) close(listen_fd_);
    }
    LineSink(const LineSink&) = delete;
    LineSink& operator=(const LineSink&) = delete;

    std::uint16_t port() const { return port_; }  // 0 when the listener could not be set up

    // Waits until `n` object lines were read; false when `timeout` passed first.
    bool wait_for(std::size_t n, std::chrono::milliseconds timeout) const {
        const auto deadline = Clock::now() + timeout;
        while (count_.load(std::memory_order_acquire) < n) {
            if (Clock::now() >= deadline) return false;
            std::this_thread::sleep_for(1ms);
        }
        return true;
    }
    // The read time of object line `i`; valid once wait_for(i + 1) returned true.
    std::int64_t read_ns(std::size_t i) const { return read_ns_[i]; }

private:
    void run() {
        std::vector<char> buffer(64 * 1024);
        std::string partial;
        while (!stop_.load()) {
            const int fd = accept(listen_fd_, nullptr, nullptr);
            if (fd < 0) continue;
            timeval tick{0, 50'000};
            setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tick, sizeof tick);
            partial.clear();
            while (!stop_.load()) {
                const ssize_t n = recv(fd, buffer.data(), buffer.size(), 0);
                if (n == 0) break;
                if (n < 0) continue;  // the tick, or an interruption
                const std::int64_t t = now_ns();
                std::size_t from = 0;
                for (std::size_t i = 0; i < static_cast<std::size_t>(n); ++i) {
                    if (buffer[i] != '\n') continue;
                    // The line's first byte is the partial text's when the line began in an
                    // earlier read.
                    const char first = partial.empty() ? (i > from ? buffer[from] : '\n') : partial.front();
                    if (first == 'O') note(t);
                    partial.clear();
                    from = i + 1;
                }
                partial.append(buffer.data() + from, static_cast<std::size_t>(n) - from);
            }
            close(fd);
        }
    }
    void note(std::int64_t t) {
        const auto i = count_.load(std::memory_order_relaxed);
        if (i >= read_ns_.size()) return;
        read_ns_[i] = t;
        count_.store(i + 1, std::memory_order_release);
    }

    int listen_fd_ = -1;
    std::uint16_t port_ = 0;
    std::vector<std::int64_t> read_ns_;
    std::atomic<std::size_t> count_{0};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// The cluster "bench" with one relay shard: the sink.
void add_sink_cluster(tyx::Client& client, const LineSink& sink) {
    tyx::Cluster cluster("bench", "127.0.0.1");
    cluster.publication_config = tyx::PublicationConfig(std::to_string(sink.port()), false, "bench");
    client.add_cluster(cluster, true);
}

// Calls `send` once per period (spinning on the clock, yielding so that the threads doing the
// work get the core on a small machine), kWarmup times untimed and then once per benchmark
// iteration, noting the time just before each call; then sets the latency counters from the
// sink's read times of the timed messages.
template <typename Send>
void run_paced(benchmark::State& state, LineSink& sink, Send&& send) {
    const std::size_t total = kWarmup + static_cast<std::size_t>(state.max_iterations);
    std::vector<std::int64_t> call_ns(total, 0);
    const auto period = std::chrono::duration_cast<std::chrono::nanoseconds>(kPeriod).count();
    std::size_t i = 0;
    std::int64_t next = now_ns();
    const auto one = [&] {
        std::int64_t t = now_ns();
        while (t < next) {
            std::this_thread::yield();
            t = now_ns();
        }
        call_ns[i++] = t;
        send();
        next = t + period;
    };
    while (i < kWarmup) one();
    if (!sink.wait_for(kWarmup, 10s)) {
        state.SkipWithError("the sink did not read the warm-up messages");
        return;
    }
    for (auto _ : state) one();
    if (!sink.wait_for(total, 10s)) {
        state.SkipWithError("the sink did not read every message");
        return;
    }
    std::vector<std::int64_t> latency;
    latency.reserve(total - kWarmup);
    for (std::size_t k = kWarmup; k < total; ++k) latency.push_back(sink.read_ns(k) - call_ns[k]);
    tyx::bench::report_quantiles(state, latency, {{"p50_us", 0.50}, {"p99_us", 0.99}, {"p99.9_us", 0.999}});
    state.SetItemsProcessed(state.iterations());
}

void BM_ClientPublishLatency(benchmark::State& state) {
    LineSink sink(kWarmup + static_cast<std::size_t>(state.max_iterations));
    if (sink.port() == 0) {
        state.SkipWithError("no loopback listener");
        return;
    }
    tyx::Client client;
    add_sink_cluster(client, sink);
    run_paced(state, sink, [&] {
        client.publish_object("bench", tyx::bench::kWorkedType, tyx::bench::kWorkedId,
                              tyx::bench::kWorkedNames, tyx::bench::kWorkedValues, tyx::bench::kWorkedSeqnum);
    });
}
BENCHMARK(BM_ClientPublishLatency)->Iterations(kMessages)->UseRealTime()->Unit(benchmark::kMicrosecond);

// A plain socket connected to `sink` with TCP_NODELAY, as the library's own relay connections
// have it; -1 (with the benchmark skipped) when there is no sink or no connection.
int connect_plain(benchmark::State& state, const LineSink& sink) {
    if (sink.port() == 0) {
        state.SkipWithError("no loopback listener");
        return -1;
    }
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    const auto addr = loopback(sink.port());
    if (connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        state.SkipWithError("could not connect to the sink");
        return -1;
    }
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return fd;
}

// Baseline: one write(2) per message from the calling thread, on a socket with TCP_NODELAY as the
// library's own relay connections have it.
void BM_WriteLatency(benchmark::State& state) {
    LineSink sink(kWarmup + static_cast<std::size_t>(state.max_iterations));
    const int fd = connect_plain(state, sink);
    if (fd < 0) return;
    const std::string line = tyx::bench::worked_line();
    bool failed = false;
    run_paced(state, sink, [&] {
        std::size_t done = 0;
        while (done < line.size()) {
            const ssize_t n = write(fd, line.data() + done, line.size() - done);
            if (n <= 0) {
                failed = true;
                return;
            }
            done += static_cast<std::size_t>(n);
        }
    });
    close(fd);
    if (failed) state.SkipWithError("write failed");
}
BENCHMARK(BM_WriteLatency)->Iterations(kMessages)->UseRealTime()->Unit(benchmark::kMicrosecond);

// Flush latency: one message published, then Client::flush, timed from before the publish to
// flush's return (the relay's host has acknowledged it), back to back.
constexpr std::int64_t kFlushes = 5000;

void BM_ClientPublishFlushLatency(benchmark::State& state) {
    LineSink sink(static_cast<std::size_t>(state.max_iterations));
    if (sink.port() == 0) {
        state.SkipWithError("no loopback listener");
        return;
    }
    tyx::Client client;
    add_sink_cluster(client, sink);
    std::vector<std::int64_t> latency;
    latency.reserve(static_cast<std::size_t>(state.max_iterations));
    for (auto _ : state) {
        const std::int64_t t = now_ns();
        client.publish_object("bench", tyx::bench::kWorkedType, tyx::bench::kWorkedId,
                              tyx::bench::kWorkedNames, tyx::bench::kWorkedValues, tyx::bench::kWorkedSeqnum);
        if (client.flush(1s) != 0) {
            state.SkipWithError("a message was not acknowledged within 1 s");
            return;
        }
        latency.push_back(now_ns() - t);
    }
    tyx::bench::report_quantiles(state, latency, {{"p50_us", 0.50}, {"p99_us", 0.99}});
}
BENCHMARK(BM_ClientPublishFlushLatency)->Iterations(kFlushes)->UseRealTime()->Unit(benchmark::kMicrosecond);

// Baseline: one write(2), then polling SIOCOUTQ until the kernel's send queue is empty.
void BM_WriteUntilAcknowledgedLatency(benchmark::State& state) {
    LineSink sink(static_cast<std::size_t>(state.max_iterations));
    const int fd = connect_plain(state, sink);
    if (fd < 0) return;
    const std::string line = tyx::bench::worked_line();
    std::vector<std::int64_t> latency;
    latency.reserve(static_cast<std::size_t>(state.max_iterations));
    for (auto _ : state) {
        const std::int64_t t = now_ns();
        if (write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
            state.SkipWithError("write failed");
            break;
        }
        int queued = 1;
        while (ioctl(fd, SIOCOUTQ, &queued) == 0 && queued > 0) std::this_thread::yield();
        latency.push_back(now_ns() - t);
    }
    close(fd);
    tyx::bench::report_quantiles(state, latency, {{"p50_us", 0.50}, {"p99_us", 0.99}});
}
BENCHMARK(BM_WriteUntilAcknowledgedLatency)
    ->Iterations(kFlushes)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    tyx::bench::CollectingReporter reporter(argc, argv);
    if (!tyx::bench::run_benchmarks(reporter, argc, argv)) return 1;

    std::FILE* out = reporter.summary_stream();
    std::fprintf(out, "\nLatency at one message per %lld us, ratios within this run:\n",
                 static_cast<long long>(kPeriod.count()));
    for (const char* q : {"p50_us", "p99_us", "p99.9_us"}) {
        const std::string label = std::string("library / write(2), ") + q;
        tyx::bench::print_ratio(out, label.c_str(), reporter.median("BM_ClientPublishLatency", q),
                                reporter.median("BM_WriteLatency", q));
    }
    std::fprintf(out, "\nPublish one message and wait until the relay's host acknowledged it:\n");
    for (const char* q : {"p50_us", "p99_us"}) {
        const std::string label = std::string("publish + flush / write(2) + SIOCOUTQ, ") + q;
        tyx::bench::print_ratio(out, label.c_str(), reporter.median("BM_ClientPublishFlushLatency", q),
                                reporter.median("BM_WriteUntilAcknowledgedLatency", q));
    }
    benchmark::Shutdown();
    return 0;
}
