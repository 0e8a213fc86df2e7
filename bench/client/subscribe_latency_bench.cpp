// Paced latency of one live update through the public Client: a loopback center writes one
// changes frame of one added "Quotes" row every millisecond, noting the time right before each
// write(2), and a listener notes the time on entering on_update; the row's id is the frame's
// index. Beside it, in the same run: the same frames read by a bare blocking socket on a thread
// of its own, noting the time once a whole frame has been read. Reports p50, p90, p99 and the
// maximum in microseconds; main prints the ratios library / bare socket at the end.
#include <benchmark/benchmark.h>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "center/tyx_client_center.hpp"
#include "client/quotes_frames.hpp"
#include "support/collecting_reporter.hpp"
#include "support/latency.hpp"
#include "support/count_waiter.hpp"
#include "tyx/tyx.hpp"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kWarmup = 200;
constexpr std::int64_t kSamples = 3000;
constexpr auto kPeriod = 1ms;

using tyx::bench::loopback;
using tyx::bench::now_ns;

double process_cpu_seconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + 1e-6 * static_cast<double>(t.tv_usec); };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

bool read_exact(int fd, void* to, std::size_t n) {
    auto* p = static_cast<std::uint8_t*>(to);
    while (n > 0) {
        const ssize_t got = recv(fd, p, n, 0);
        if (got <= 0) return false;
        p += got;
        n -= static_cast<std::size_t>(got);
    }
    return true;
}

bool write_all(int fd, const std::uint8_t* p, std::size_t n) {
    while (n > 0) {
        const ssize_t put = send(fd, p, n, MSG_NOSIGNAL);
        if (put <= 0) return false;
        p += put;
        n -= static_cast<std::size_t>(put);
    }
    return true;
}

// A loopback center of blocking sockets. A thread accepts connections and answers each
// handshake on a thread of its own; the connection that asks to be written to is handed to the
// benchmark's thread, which writes the frames itself, so that the time noted right before a write
// is when the frame leaves. Request frames on the other connection are counted.
class WritingCenter {
public:
    WritingCenter() {
        listen_fd_ = socket(AF_INET, SOCK_STREAM, 0);
        auto addr = loopback(0);
        socklen_t len = sizeof addr;
        if (bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            listen(listen_fd_, 8) != 0 ||
            getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
            return;
        port_ = ntohs(addr.sin_port);
        acceptor_ = std::thread([this] { accept_loop(); });
    }
    ~WritingCenter() {
        // Shutting a socket down wakes the thread blocked on it.
        shutdown(listen_fd_, SHUT_RDWR);
        if (acceptor_.joinable()) acceptor_.join();
        close(listen_fd_);
        {
            std::lock_guard lock(mutex_);
            for (const int fd : fds_) shutdown(fd, SHUT_RDWR);
        }
        // Joined without the lock, which a serving thread may still be waiting for.
        for (auto& t : servers_) t.join();
        for (const int fd : fds_) close(fd);
    }
    WritingCenter(const WritingCenter&) = delete;
    WritingCenter& operator=(const WritingCenter&) = delete;

    std::uint16_t port() const { return port_; }  // 0 when the listener could not be set up

    // Waits for a connection to write frames on and for `requests` request frames.
    bool wait_ready(std::size_t requests) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, 10s, [&] { return write_fd_ >= 0 && requests_ >= requests; });
    }

    // Writes one frame on the connection to write to; benchmark's thread only, once ready.
    bool write(const std::vector<std::uint8_t>& frame) {
        return write_all(write_fd_, frame.data(), frame.size());
    }

private:
    void accept_loop() {
        for (;;) {
            const int fd = accept(listen_fd_, nullptr, nullptr);
            if (fd < 0) return;
            const int on = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            std::lock_guard lock(mutex_);
            fds_.push_back(fd);
            servers_.emplace_back([this, fd] { serve(fd); });
        }
    }

    static bool read_java_utf(int fd) {
        std::uint8_t length[2];
        if (!read_exact(fd, length, 2)) return false;
        std::string text(static_cast<std::size_t>((length[0] << 8) | length[1]), '\0');
        return read_exact(fd, text.data(), text.size());
    }

    // The handshake: a tag, the direction (second of two bytes), a channel and a process UID,
    // then the answer. The client reads from the "W" connection and writes its requests on "R".
    void serve(int fd) {
        std::uint8_t direction[2];
        if (!read_java_utf(fd) || !read_exact(fd, direction, 2) || !read_java_utf(fd) || !read_java_utf(fd))
            return;
        const auto reply = tyx::test::FakeCenter::reply_bytes("XQDM|ok");
        if (!write_all(fd, reply.data(), reply.size())) return;
        if (direction[1] == 'W') {
            std::lock_guard lock(mutex_);
            write_fd_ = fd;
            changed_.notify_all();
            return;
        }
        std::vector<std::uint8_t> payload;
        for (;;) {
            std::uint8_t header[8];
            if (!read_exact(fd, header, sizeof header)) return;
            payload.resize(tyx::load_be<std::uint32_t>(header + 4));
            if (!read_exact(fd, payload.data(), payload.size())) return;
            std::lock_guard lock(mutex_);
            ++requests_;
            changed_.notify_all();
        }
    }

    int listen_fd_ = -1;
    std::uint16_t port_ = 0;
    std::thread acceptor_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<int> fds_;
    std::vector<std::thread> servers_;
    int write_fd_ = -1;
    std::size_t requests_ = 0;
};

// When each frame, by index, reached the receiving side; filled by that side's thread, read by
// the benchmark's thread once `count` says the entry is there.
struct Arrivals {
    explicit Arrivals(std::size_t n) : ns(n, 0) {}
    void note(std::int64_t index, std::int64_t t) {
        if (index >= 0 && static_cast<std::size_t>(index) < ns.size())
            ns[static_cast<std::size_t>(index)] = t;
        count.add();
    }
    std::vector<std::int64_t> ns;
    tyx::bench::CountWaiter count;
};

// The frames, one added row each, whose row id is the frame's index.
const std::vector<std::vector<std::uint8_t>>& frames() {
    static const auto f = [] {
        std::vector<std::vector<std::uint8_t>> out;
        const std::size_t total = kWarmup + static_cast<std::size_t>(kSamples);
        for (std::size_t i = 0; i < total; ++i)
            out.push_back(tyx::bench::added_quotes_frame(static_cast<std::int64_t>(2 + i),
                                                         static_cast<std::int64_t>(i), 1));
        return out;
    }();
    return f;
}

// Writes frame i at start + i periods (absolute deadlines: a late wake-up does not push the
// frames after it back), kWarmup frames untimed and then one per benchmark iteration, noting the
// time right before each write; then sets the latency counters from the arrivals.
void run_paced(benchmark::State& state, WritingCenter& center, Arrivals& arrivals) {
    const auto& f = frames();
    const std::size_t total = kWarmup + static_cast<std::size_t>(state.max_iterations);
    if (total > f.size()) return state.SkipWithError("more iterations than prebuilt frames");
    std::vector<std::int64_t> written_ns(total, 0);
    std::size_t i = 0;
    bool failed = false;
    auto next = Clock::now();
    const auto one = [&] {
        std::this_thread::sleep_until(next);
        next += kPeriod;
        written_ns[i] = now_ns();
        if (!center.write(f[i])) failed = true;
        ++i;
    };
    arrivals.count.expect(static_cast<std::int64_t>(kWarmup));
    while (i < kWarmup) one();
    if (failed || !arrivals.count.wait_until(Clock::now() + 10s))
        return state.SkipWithError("the warm-up frames did not all arrive");
    arrivals.count.expect(static_cast<std::int64_t>(total));
    next = Clock::now();
    const double cpu_before = process_cpu_seconds();
    const auto wall_before = Clock::now();
    for (auto _ : state) one();
    if (failed) return state.SkipWithError("write failed");
    if (!arrivals.count.wait_until(Clock::now() + 10s))
        return state.SkipWithError("frames missing after 10 s");
    // The whole process's CPU time over the paced run, the writing center's included: what a
    // setting that trades CPU for latency costs shows here.
    const double wall = std::chrono::duration<double>(Clock::now() - wall_before).count();
    state.counters["cpu_cores"] = (process_cpu_seconds() - cpu_before) / wall;

    std::vector<std::int64_t> latency;
    latency.reserve(total - kWarmup);
    for (std::size_t k = kWarmup; k < total; ++k) latency.push_back(arrivals.ns[k] - written_ns[k]);
    tyx::bench::report_quantiles(state, latency,
                                 {{"p50_us", 0.50}, {"p90_us", 0.90}, {"p99_us", 0.99}, {"max_us", 1.0}});
    state.SetItemsProcessed(state.iterations());
}

class TimingListener : public tyx::ClientListener {
public:
    explicit TimingListener(Arrivals& arrivals) : arrivals_(arrivals) {}
    void on_update(tyx::Client&, std::string_view, const CenterIncrementalUpdate& update) override {
        const std::int64_t t = now_ns();
        arrivals_.note(update.id, t);
    }

private:
    Arrivals& arrivals_;
};

void client_update_latency(benchmark::State& state, std::chrono::microseconds spin) {
    WritingCenter center;
    if (center.port() == 0) return state.SkipWithError("no loopback listener");
    Arrivals arrivals(kWarmup + static_cast<std::size_t>(state.max_iterations));
    tyx::Client client;  // after the center and the arrivals: stopped before them
    client.listener_add(std::make_shared<TimingListener>(arrivals));
    client.set_notification_spin(spin);
    tyx::Cluster cluster("bench", "127.0.0.1");
    cluster.subscription_config = tyx::SubscriptionConfig(std::to_string(center.port()), false);
    client.add_cluster(cluster, true);
    // The waiting form returns once the snapshot is answered, which this thread does below.
    auto subscribed = std::async(
        std::launch::async, [&] { client.subscribe("bench", std::vector<std::string>{"Quotes"}, true); });
    const char* error = nullptr;
    if (!center.wait_ready(1)) {
        error = "the client sent no subscription request";
    } else if (!center.write(tyx::bench::quotes_pool_frame(1)) ||
               !center.write(tyx::test::snapshot_response_frame()) ||
               subscribed.wait_for(10s) != std::future_status::ready) {
        error = "subscribe did not return after the snapshot answer";
    }
    if (error) {
        client.remove_cluster("bench", true);  // releases a subscribe call still waiting
        subscribed.wait();
        return state.SkipWithError(error);
    }
    run_paced(state, center, arrivals);
}

void BM_ClientUpdateLatency(benchmark::State& state) {
    client_update_latency(state, 0us);
}
BENCHMARK(BM_ClientUpdateLatency)->Iterations(kSamples)->UseRealTime()->Unit(benchmark::kMicrosecond);

// The opt-in low-latency setting: the notification thread looks for the next event for twice the
// frame period before it sleeps, so it never sleeps between frames.
void BM_ClientUpdateLatencySpinning(benchmark::State& state) {
    client_update_latency(state, 2 * std::chrono::duration_cast<std::chrono::microseconds>(kPeriod));
}
BENCHMARK(BM_ClientUpdateLatencySpinning)->Iterations(kSamples)->UseRealTime()->Unit(benchmark::kMicrosecond);

// Baseline: a bare socket that introduces itself as the client's reading connection does, then
// reads frame by frame on a thread of its own, blocked in recv(2) between frames.
void BM_BareSocketFrameLatency(benchmark::State& state) {
    WritingCenter center;
    if (center.port() == 0) return state.SkipWithError("no loopback listener");
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    const auto addr = loopback(center.port());
    const tyx::center::HandshakeMessage hello(false, "Y9-bench");
    std::uint8_t reply[9];  // "XQDM|ok" and its length
    if (connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 ||
        !write_all(fd, hello.bytes.data(), hello.bytes.size()) || !read_exact(fd, reply, sizeof reply) ||
        !center.wait_ready(0)) {
        close(fd);
        return state.SkipWithError("the bare socket could not introduce itself");
    }
    Arrivals arrivals(kWarmup + static_cast<std::size_t>(state.max_iterations));
    std::thread reader([&] {
        std::vector<std::uint8_t> payload;
        std::uint8_t header[8];
        for (std::int64_t index = 0;; ++index) {
            if (!read_exact(fd, header, sizeof header)) return;
            payload.resize(tyx::load_be<std::uint32_t>(header + 4));
            if (!read_exact(fd, payload.data(), payload.size())) return;
            arrivals.note(index, now_ns());
        }
    });
    run_paced(state, center, arrivals);
    shutdown(fd, SHUT_RDWR);
    reader.join();
    close(fd);
}
BENCHMARK(BM_BareSocketFrameLatency)->Iterations(kSamples)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    tyx::bench::CollectingReporter reporter(argc, argv);
    if (!tyx::bench::run_benchmarks(reporter, argc, argv)) return 1;

    std::FILE* out = reporter.summary_stream();
    std::fprintf(
        out, "\nLatency of one update at one frame per %lld us, ratios within this run:\n",
        static_cast<long long>(std::chrono::duration_cast<std::chrono::microseconds>(kPeriod).count()));
    for (const char* q : {"p50_us", "p90_us", "p99_us", "max_us"}) {
        const std::string label = std::string("library / bare socket, ") + q;
        tyx::bench::print_ratio(out, label.c_str(), reporter.median("BM_ClientUpdateLatency", q),
                                reporter.median("BM_BareSocketFrameLatency", q));
        const std::string spinning = std::string("library spinning / bare socket, ") + q;
        tyx::bench::print_ratio(out, spinning.c_str(), reporter.median("BM_ClientUpdateLatencySpinning", q),
                                reporter.median("BM_BareSocketFrameLatency", q));
    }
    std::fprintf(out, "CPU cores busy (whole process): library %.2f, library spinning %.2f, bare socket %.2f\n",
                 reporter.median("BM_ClientUpdateLatency", "cpu_cores").value_or(0),
                 reporter.median("BM_ClientUpdateLatencySpinning", "cpu_cores").value_or(0),
                 reporter.median("BM_BareSocketFrameLatency", "cpu_cores").value_or(0));
    benchmark::Shutdown();
    return 0;
}
