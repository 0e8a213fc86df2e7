// Live updates per second through a center session: a loopback fake center pushes prebuilt
// changes messages (100 rows of a 5-field table each) on the connection the client reads, and
// a listener counts the on_update events. Beside it, in the same run: the same bytes read and
// split into frames by a bare socket (the loopback ceiling), and the same payloads decoded
// alone (the client's decoding share).
#include <benchmark/benchmark.h>

#include <asio.hpp>

#include <atomic>
#include <chrono>
#include <thread>

#include "center/change_decoder.hpp"
#include "center/tyx_client_center.hpp"
#include "support/center_harness.hpp"
#include "support/run_on.hpp"

namespace {

using namespace std::chrono_literals;
using tyx::test::CenterBytes;

constexpr int kRowsPerFrame = 100;
constexpr int kFramesPerBatch = 200;
constexpr std::int64_t kUpdatesPerBatch = std::int64_t{kRowsPerFrame} * kFramesPerBatch;

// Table key 1 "Quotes" with fields qty (int), px (double), sym (pooled string), note (string),
// ts (long).
CenterBytes pool() {
    CenterBytes b;
    const char* keys[] = {"Quotes", "qty", "px", "sym", "note", "ts"};
    for (int k = 0; k < 6; ++k) b.raw(tyx::test::pool_key(static_cast<std::int16_t>(k + 1), keys[k]));
    const char* symbols[] = {"IBM", "MSFT", "AAPL", "ORCL"};
    for (int v = 0; v < 4; ++v) b.u8(1).i32_be(v).utf(symbols[v]);
    return b;
}

CenterBytes rows(int first) {
    CenterBytes entities;
    for (int i = first; i < first + kRowsPerFrame; ++i) {
        CenterBytes p;
        p.i64_be(i).u8(0x60).utf("q-" + std::to_string(i % 1000)).i16_be(5);
        p.i16_be(2).u8(13).i32_be(i);
        p.i16_be(3).u8(6).f64_be(100.25 + i);
        p.i16_be(4).u8(22).u8(static_cast<std::uint8_t>(i % 4));
        p.i16_be(5).u8(9).u8(5).raw("n-" + std::to_string(100 + i % 900));
        p.i16_be(6).u8(31).i64_be(1700000000000LL + i);
        entities.entity(1, p);
    }
    return entities;
}

// One batch of updated-rows frames, concatenated, and the same payloads one by one.
struct Batch {
    std::vector<std::uint8_t> stream;
    std::vector<std::vector<std::uint8_t>> payloads;
};

const Batch& batch() {
    static const Batch b = [] {
        Batch out;
        for (int f = 0; f < kFramesPerBatch; ++f) {
            const auto frame =
                tyx::test::changes_frame({.seqnum = 100 + f, .updated = rows(f * kRowsPerFrame)});
            out.stream.insert(out.stream.end(), frame.begin(), frame.end());
            out.payloads.emplace_back(frame.begin() + 8, frame.end());
        }
        return out;
    }();
    return b;
}

struct CountingListener : tyx::TyxClientListener {
    std::atomic<std::int64_t> updates{0};
    void on_update(tyx::TyxClientMultiplex&, std::string_view,
                   const tyx::TyxCenterIncrementalUpdate&) override {
        updates.fetch_add(1, std::memory_order_relaxed);
    }
};

// Waits until `counter` reaches `target`; false after 60 s.
template <typename Counter>
bool wait_count(const Counter& counter, std::int64_t target) {
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (static_cast<std::int64_t>(counter.load(std::memory_order_relaxed)) < target) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::yield();
    }
    return true;
}

void BM_SessionLiveUpdates(benchmark::State& state) {
    tyx::test::FakeCenter server;
    tyx::TyxClientMultiplex multiplex(1);
    auto listener = std::make_shared<CountingListener>();
    multiplex.listener_add(listener);
    auto& io = multiplex.control_context();
    auto center = std::make_unique<tyx::TyxClientCenter>(
        multiplex, "bench", server.endpoints(), tyx::SubscriptionConfig{}, io,
        tyx::make_socket_factory(io, false, tyx::SslOptions{}));
    auto* c = center.get();
    std::promise<void> loop_done;
    asio::co_spawn(
        c->io_context(),
        [c]() -> asio::awaitable<void> {
            co_await c->connect(c->io_context());
            co_await c->receive_loop();
        },
        [&](std::exception_ptr) { loop_done.set_value(); });
    if (!server.wait_handshakes(2)) return state.SkipWithError("no handshake");
    asio::post(c->io_context(), [c] {
        c->subscribe({tyx::SubscriptionRequest{"Quotes", {}, {}, false}}, {});
    });
    if (!server.wait_requests(1)) return state.SkipWithError("no request");
    server.push(tyx::test::changes_frame({.seqnum = 1, .pool = pool()}));
    server.push(tyx::test::snapshot_response_frame());

    const Batch& b = batch();
    std::int64_t target = 0;
    for (auto _ : state) {
        target += kUpdatesPerBatch;
        server.push(b.stream);
        if (!wait_count(listener->updates, target)) return state.SkipWithError("updates missing");
    }
    state.SetItemsProcessed(state.iterations() * kUpdatesPerBatch);
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(b.stream.size()));

    tyx::test::run_on(c->io_context(), [c]() -> asio::awaitable<void> { co_await c->stop(); });
    loop_done.get_future().wait();
    tyx::test::run_on(c->io_context(), []() -> asio::awaitable<void> { co_return; });
}
BENCHMARK(BM_SessionLiveUpdates)->UseRealTime()->Unit(benchmark::kMillisecond);

// The ceiling: a bare socket that introduces itself, then reads the same stream frame by frame.
void BM_LoopbackReadFrames(benchmark::State& state) {
    tyx::test::FakeCenter server;
    asio::io_context io;
    asio::ip::tcp::socket socket(io);
    if (!tyx::test::introduce_bare_socket(server, socket)) return state.SkipWithError("no handshake");

    std::atomic<std::int64_t> frames{0};
    std::thread reader([&] {
        std::vector<std::uint8_t> payload;
        std::uint8_t header[8];
        std::error_code ec;
        for (;;) {
            asio::read(socket, asio::buffer(header), ec);
            if (ec) return;
            const std::uint32_t n = tyx::load_be<std::uint32_t>(header + 4);
            payload.resize(n);
            asio::read(socket, asio::buffer(payload), ec);
            if (ec) return;
            frames.fetch_add(1, std::memory_order_relaxed);
        }
    });
    const Batch& b = batch();
    std::int64_t target = 0;
    for (auto _ : state) {
        target += kFramesPerBatch;
        server.push(b.stream);
        if (!wait_count(frames, target)) break;
    }
    state.SetItemsProcessed(state.iterations() * kUpdatesPerBatch);
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(b.stream.size()));
    server.drop_connections();
    reader.join();
}
BENCHMARK(BM_LoopbackReadFrames)->UseRealTime()->Unit(benchmark::kMillisecond);

// The client's decoding alone: the same payloads through a ChangeDecoder whose sink counts the
// rows of each message and reuses the batch for the next.
struct DroppingSink : tyx::center::DecoderSink {
    std::int64_t updates = 0;
    tyx::UpdateBatch batch;
    tyx::UpdateBatch& update_batch() override { return batch; }
    void add_updates(tyx::UpdateBatch& decoded) override {
        updates += static_cast<std::int64_t>(decoded.size());
    }
    void table_schema(const std::string&, tyx::CenterTableSchema) override {}
    void snapshot_response() override {}
    void log(std::uint8_t, std::string_view) override {}
};

void BM_DecodeOnly(benchmark::State& state) {
    DroppingSink sink;
    tyx::center::ChangeDecoder decoder(sink);
    const auto pool_frame = tyx::test::changes_frame({.seqnum = 1, .pool = pool()});
    decoder.decode_payload(tyx::ByteView(pool_frame.data() + 8, pool_frame.size() - 8));
    const Batch& b = batch();
    for (auto _ : state)
        for (const auto& p : b.payloads) decoder.decode_payload(tyx::ByteView(p.data(), p.size()));
    if (sink.updates != state.iterations() * kUpdatesPerBatch) state.SkipWithError("wrong update count");
    state.SetItemsProcessed(state.iterations() * kUpdatesPerBatch);
}
BENCHMARK(BM_DecodeOnly)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
