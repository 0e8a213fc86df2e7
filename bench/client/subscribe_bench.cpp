// Live updates per second through the public Client: a loopback fake center, to which one Client
// is subscribed to table "Quotes" (snapshot answered), pushes prebuilt changes frames of 1,000
// added rows each, and one or two listeners count their on_update calls. Beside it, in the same
// run: the same bytes read and split into frames by a bare socket (the loopback ceiling), the
// same payloads decoded alone (the decoding share), and a peer messaging client receiving as
// many messages of about the same size from its own server (peer_subscribe_bench.cpp, when
// built). Every iteration waits until the receiving side has had the whole batch. main prints
// the ratios between them at the end, of the medians with --benchmark_repetitions (the counts
// of iterations are fixed for that).
#include <benchmark/benchmark.h>

#include <asio.hpp>

#include <chrono>
#include <cstdio>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "client/counting_decoder_sink.hpp"
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
constexpr std::int64_t kUpdatesPerBatch = std::int64_t{kRowsPerFrame} * kFramesPerBatch;
constexpr auto kBatchDeadline = 30s;

// One batch of added-rows frames, concatenated as the center writes them, and the same payloads
// one by one (without the frame headers) for the decoder.
struct Batch {
    std::vector<std::uint8_t> stream;
    std::vector<std::vector<std::uint8_t>> payloads;
};

const Batch& batch() {
    static const Batch b = [] {
        Batch out;
        for (int f = 0; f < kFramesPerBatch; ++f) {
            const auto frame =
                tyx::bench::added_quotes_frame(100 + f, std::int64_t{f} * kRowsPerFrame, kRowsPerFrame);
            out.stream.insert(out.stream.end(), frame.begin(), frame.end());
            out.payloads.emplace_back(frame.begin() + 8, frame.end());
        }
        return out;
    }();
    return b;
}

// Counts its updates and keeps what the last one looked like, so that a run whose rows arrive
// wrong is refused rather than reported. Notification thread; read once the count is reached.
class CountingListener : public tyx::ClientListener {
public:
    void on_update(tyx::Client&, std::string_view, const CenterIncrementalUpdate& update) override {
        last_id = update.id;
        last_fields = update.row_data.size();
        updates.add();
    }
    tyx::bench::CountWaiter updates;
    std::int64_t last_id = -1;
    std::size_t last_fields = 0;
};

// A Client live on "Quotes" of a fake center: connected, subscribed with the waiting form, the
// string pool and the snapshot answer received. The Client is declared after the center so that
// it is stopped first. Built and destroyed on the benchmark's thread.
struct LiveSubscription {
    tyx::test::FakeCenter server;
    tyx::Client client;
    std::vector<std::shared_ptr<CountingListener>> listeners;

    // Nothing, or what went wrong.
    const char* start(int listener_count) {
        for (int i = 0; i < listener_count; ++i) {
            listeners.push_back(std::make_shared<CountingListener>());
            client.listener_add(listeners.back());
        }
        tyx::Cluster cluster("bench", "127.0.0.1");
        cluster.subscription_config = tyx::SubscriptionConfig(std::to_string(server.port()), false);
        client.add_cluster(cluster, true);
        // The waiting form returns once the snapshot is answered, which this thread does below.
        auto subscribed = std::async(std::launch::async, [this] {
            client.subscribe("bench", std::vector<std::string>{"Quotes"}, true);
        });
        const char* error = nullptr;
        if (server.wait_requests(1)) {
            server.push(tyx::bench::quotes_pool_frame(1));
            server.push(tyx::test::snapshot_response_frame());
            if (subscribed.wait_for(10s) != std::future_status::ready)
                error = "subscribe did not return after the snapshot answer";
        } else {
            error = "the client sent no subscription request";
        }
        // Stopping the cluster releases a subscribe call still waiting.
        if (error) client.remove_cluster("bench", true);
        subscribed.wait();
        return error;
    }

    // Pushes the batch and waits until every listener has had all of it.
    bool deliver(const Batch& b, std::int64_t& goal) {
        goal += kUpdatesPerBatch;
        for (auto& l : listeners) l->updates.expect(goal);
        server.push(b.stream);
        const auto deadline = Clock::now() + kBatchDeadline;
        for (auto& l : listeners)
            if (!l->updates.wait_until(deadline)) return false;
        return true;
    }
};

void client_updates(benchmark::State& state, int listener_count) {
    LiveSubscription live;
    if (const char* error = live.start(listener_count)) return state.SkipWithError(error);
    const Batch& b = batch();
    std::int64_t goal = 0;
    // Untimed warm-up: the client's buffers, the update records and the allocator settle.
    if (!live.deliver(b, goal)) return state.SkipWithError("the warm-up updates did not all arrive");
    for (auto _ : state)
        if (!live.deliver(b, goal)) return state.SkipWithError("updates missing after 30 s");
    for (const auto& l : live.listeners)
        if (l->last_id != kUpdatesPerBatch - 1 || l->last_fields != 5)
            return state.SkipWithError("the last update is not the batch's last row with its five fields");
    // Per listener: the rate at which each one receives updates.
    state.SetItemsProcessed(state.iterations() * kUpdatesPerBatch);
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(b.stream.size()));
}

void BM_ClientUpdatesOneListener(benchmark::State& state) {
    client_updates(state, 1);
}
void BM_ClientUpdatesTwoListeners(benchmark::State& state) {
    client_updates(state, 2);
}
BENCHMARK(BM_ClientUpdatesOneListener)->Iterations(300)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ClientUpdatesTwoListeners)->Iterations(200)->UseRealTime()->Unit(benchmark::kMillisecond);

// The ceiling: a bare socket that introduces itself to the same fake center, then reads the same
// stream frame by frame into one payload buffer, as the client's receive loop does.
void BM_BareSocketReadFrames(benchmark::State& state) {
    tyx::test::FakeCenter server;
    asio::io_context io;
    asio::ip::tcp::socket socket(io);
    if (!tyx::test::introduce_bare_socket(server, socket)) return state.SkipWithError("no handshake");

    tyx::bench::CountWaiter frames;
    std::thread reader([&] {
        std::vector<std::uint8_t> payload;
        std::uint8_t header[8];
        std::error_code ec;
        for (;;) {
            asio::read(socket, asio::buffer(header), ec);
            if (ec) return;
            payload.resize(tyx::load_be<std::uint32_t>(header + 4));
            asio::read(socket, asio::buffer(payload), ec);
            if (ec) return;
            frames.add();
        }
    });
    const Batch& b = batch();
    std::int64_t goal = 0;
    const auto deliver = [&] {
        goal += kFramesPerBatch;
        frames.expect(goal);
        server.push(b.stream);
        return frames.wait_until(Clock::now() + kBatchDeadline);
    };
    bool delivered = deliver();  // untimed warm-up
    if (delivered)
        for (auto _ : state)
            if (!(delivered = deliver())) break;
    server.drop_connections();
    reader.join();
    if (!delivered) return state.SkipWithError("frames missing after 30 s");
    state.SetItemsProcessed(state.iterations() * kUpdatesPerBatch);
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(b.stream.size()));
}
BENCHMARK(BM_BareSocketReadFrames)->Iterations(1000)->UseRealTime()->Unit(benchmark::kMillisecond);

// The decoding share: the same payloads through a ChangeDecoder alone, its sink counting the
// updates and freeing them (counting_decoder_sink.hpp).
void BM_DecodeAlone(benchmark::State& state) {
    tyx::bench::CountingDecoderSink sink;
    tyx::center::ChangeDecoder decoder(sink);
    const auto pool = tyx::bench::quotes_pool_frame(1);
    decoder.decode_payload(tyx::ByteView(pool.data() + 8, pool.size() - 8));
    const Batch& b = batch();
    const auto decode_batch = [&] {
        for (const auto& p : b.payloads) decoder.decode_payload(tyx::ByteView(p.data(), p.size()));
    };
    decode_batch();  // untimed warm-up, as for the client
    for (auto _ : state) decode_batch();
    if (sink.updates != (state.iterations() + 1) * kUpdatesPerBatch)
        return state.SkipWithError("wrong update count");
    state.SetItemsProcessed(state.iterations() * kUpdatesPerBatch);
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(b.stream.size()));
}
BENCHMARK(BM_DecodeAlone)->Iterations(1000)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    tyx::bench::CollectingReporter reporter(argc, argv);
    if (!tyx::bench::run_benchmarks(reporter, argc, argv)) return 1;

    const auto rate = [&](const char* name) { return reporter.median(name, "items_per_second"); };
    const auto one = rate("BM_ClientUpdatesOneListener");
    const auto two = rate("BM_ClientUpdatesTwoListeners");
    const auto bare = rate("BM_BareSocketReadFrames");
    const auto decode = rate("BM_DecodeAlone");
    const auto peer = rate("BM_PeerSubscribe");
    std::FILE* out = reporter.summary_stream();
    std::fprintf(out,
                 "\nUpdates per second received by each listener (peer: messages), ratios within this run\n"
                 "(frames of %d added rows, %.1f bytes per row on the wire):\n",
                 kRowsPerFrame,
                 static_cast<double>(batch().stream.size()) / static_cast<double>(kUpdatesPerBatch));
    tyx::bench::print_ratio(out, "library (one listener) / peer", one, peer, 1.0);
    tyx::bench::print_ratio(out, "library (one listener) / decode alone", one, decode, 0.5);
    tyx::bench::print_ratio(out, "library (two listeners) / one listener", two, one, 0.6);
    tyx::bench::print_ratio(out, "library (one listener) / bare socket", one, bare, 0.4);
    tyx::bench::print_ratio(out, "library (two listeners) / bare socket", two, bare);
    tyx::bench::print_ratio(out, "peer / bare socket", peer, bare);
    benchmark::Shutdown();
    return 0;
}
