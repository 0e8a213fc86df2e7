// Messages per second through TcpSocket::send_async, fed from the benchmark thread while the
// socket's loop runs on its own thread, into a loopback sink; beside it, the same bytes
// written by a raw blocking socket in 64 KiB batches (the baseline of the same run).
#include <benchmark/benchmark.h>

#include <asio/co_spawn.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/post.hpp>
#include <asio/read.hpp>
#include <asio/use_future.hpp>
#include <asio/write.hpp>

#include <algorithm>
#include <atomic>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include "transport/socket_impl.hpp"

namespace {

constexpr std::size_t kMessagesPerIteration = 10000;

// Accepts one connection on 127.0.0.1 and reads everything, counting bytes, on its own thread.
class Sink {
public:
    Sink() : acceptor_(io_, {asio::ip::make_address("127.0.0.1"), 0}) {
        thread_ = std::thread([this] {
            asio::ip::tcp::socket peer(io_);
            acceptor_.accept(peer);
            std::vector<char> chunk(1 << 16);
            std::error_code ec;
            for (;;) {
                const std::size_t n = peer.read_some(asio::buffer(chunk), ec);
                if (ec) break;
                received.fetch_add(n, std::memory_order_release);
            }
        });
    }
    ~Sink() { thread_.join(); }

    unsigned short port() const { return acceptor_.local_endpoint().port(); }
    void wait_for(std::uint64_t total) const {
        while (received.load(std::memory_order_acquire) < total) std::this_thread::yield();
    }

    std::atomic<std::uint64_t> received{0};

private:
    asio::io_context io_;
    asio::ip::tcp::acceptor acceptor_;
    std::thread thread_;
};

std::shared_ptr<tyx::QMessage> make_message(std::size_t size) {
    std::vector<std::uint8_t> bytes(size > 1 ? size - 1 : 0, 'x');
    bytes.push_back('\n');
    return std::make_shared<tyx::QMessage>(std::move(bytes));
}

void BM_SendAsyncQueue(benchmark::State& state) {
    const auto size = static_cast<std::size_t>(state.range(0));
    auto message = make_message(size);
    Sink sink;
    asio::io_context io;
    auto guard = asio::make_work_guard(io);
    std::thread loop([&io] { io.run(); });
    std::uint64_t batches = 0;
    std::uint64_t expected = 0;
    auto socket = std::make_unique<tyx::TcpSocket>(io, "127.0.0.1", std::to_string(sink.port()));
    const bool connected = asio::co_spawn(io, socket->connect_sync(), asio::use_future).get();
    if (!connected) state.SkipWithError("connect failed");
    for (auto _ : state) {
        for (std::size_t i = 0; i < kMessagesPerIteration; ++i) socket->send_async(message, nullptr);
        expected += kMessagesPerIteration * size;
        sink.wait_for(expected);
    }
    // The socket belongs to its loop: read its counter and destroy it there.
    asio::post(io, [&] {
        batches = socket->batches_written();
        socket.reset();
    });
    guard.reset();
    loop.join();
    const auto messages = static_cast<double>(state.iterations() * kMessagesPerIteration);
    state.SetItemsProcessed(static_cast<std::int64_t>(messages));
    state.SetBytesProcessed(static_cast<std::int64_t>(messages * static_cast<double>(size)));
    state.counters["writes_per_msg"] = messages > 0 ? static_cast<double>(batches) / messages : 0;
}

void BM_RawSocket64KiBBatches(benchmark::State& state) {
    const auto size = static_cast<std::size_t>(state.range(0));
    auto message = make_message(size);
    // Whole messages per batch, as close to 64 KiB as they fit.
    const std::size_t per_batch = std::max<std::size_t>(1, (64 * 1024) / size);
    std::vector<std::uint8_t> batch;
    for (std::size_t i = 0; i < per_batch; ++i)
        batch.insert(batch.end(), message->buffer.begin(), message->buffer.end());
    Sink sink;
    asio::io_context io;
    asio::ip::tcp::socket raw(io);
    raw.connect({asio::ip::make_address("127.0.0.1"), sink.port()});
    raw.set_option(asio::ip::tcp::no_delay(true));
    std::uint64_t expected = 0;
    std::uint64_t writes = 0;
    for (auto _ : state) {
        std::size_t left = kMessagesPerIteration;
        while (left > 0) {
            const std::size_t n = std::min(left, per_batch);
            asio::write(raw, asio::buffer(batch.data(), n * size));
            ++writes;
            left -= n;
        }
        expected += kMessagesPerIteration * size;
        sink.wait_for(expected);
    }
    raw.close();
    const auto messages = static_cast<double>(state.iterations() * kMessagesPerIteration);
    state.SetItemsProcessed(static_cast<std::int64_t>(messages));
    state.SetBytesProcessed(static_cast<std::int64_t>(messages * static_cast<double>(size)));
    state.counters["writes_per_msg"] = messages > 0 ? static_cast<double>(writes) / messages : 0;
}

BENCHMARK(BM_SendAsyncQueue)->Arg(64)->Arg(512)->UseRealTime();
BENCHMARK(BM_RawSocket64KiBBatches)->Arg(64)->Arg(512)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
