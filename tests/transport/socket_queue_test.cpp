#include <gtest/gtest.h>

#include <asio/post.hpp>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "support/tls_test_keys.hpp"
#include "support/tls_test_server.hpp"
#include "support/transport_loopback.hpp"
#include "transport/socket_impl.hpp"
#include "transport/ssl_socket.hpp"

namespace tyx {
namespace {

using test::LoopbackSink;
using test::run_test;
using test::wait_until;
using namespace std::chrono_literals;

std::shared_ptr<QMessage> msg(std::string_view text) {
    return std::make_shared<QMessage>(std::vector<std::uint8_t>(text.begin(), text.end()));
}

std::string line_text(const std::vector<char>& line) {
    return std::string(line.begin(), line.end());
}

// The queue and read behaviour is shared by both sockets, so these tests run over plain TCP
// and over TLS (a server whose key is pinned).
struct TcpKind {
    using Sink = LoopbackSink;
    static std::unique_ptr<TcpSocket> make_socket(asio::io_context& io, const std::string& port) {
        return std::make_unique<TcpSocket>(io, "127.0.0.1", port);
    }
};

struct TlsKind {
    struct Sink : test::TlsTestServer {
        explicit Sink(asio::io_context& io)
            : TlsTestServer(
                  io, {test::tls_test_material().server_cert, test::tls_test_material().server_key, ""}) {}
    };
    static std::unique_ptr<SslSocket> make_socket(asio::io_context& io, const std::string& port) {
        const auto& material = test::tls_test_material();
        static const std::string pinned = material.file("queue-test.pub", material.server_pub + "\n");
        return std::make_unique<SslSocket>(io, "127.0.0.1", port, SslOptions{pinned, "", "", ""});
    }
};

struct KindNames {
    template <typename T>
    static std::string GetName(int) {
        return std::is_same_v<T, TcpKind> ? "Tcp" : "Tls";
    }
};

template <typename Kind>
class SocketQueue : public ::testing::Test {};
using SocketKinds = ::testing::Types<TcpKind, TlsKind>;
TYPED_TEST_SUITE(SocketQueue, SocketKinds, KindNames);

TYPED_TEST(SocketQueue, MessagesQueuedDuringAWriteGoOutTogetherInOrder) {
    asio::io_context io;
    typename TypeParam::Sink sink(io);
    auto owned = TypeParam::make_socket(io, sink.port());
    auto& socket = *owned;
    std::vector<int> done;
    run_test(io, [&]() -> asio::awaitable<void> {
        EXPECT_TRUE(co_await socket.connect_sync());
        // We run on the socket's loop, so each send_async is queued inline: the first starts
        // a write, the next three arrive while it is in progress.
        for (int i = 1; i <= 4; ++i)
            socket.send_async(msg("m" + std::to_string(i) + "\n"), [&done, i] { done.push_back(i); });
        EXPECT_EQ(socket.batches_written(), 1u);
        EXPECT_TRUE(co_await wait_until([&] { return done.size() == 4 && sink.received.size() == 12; }));
    });
    EXPECT_EQ(done, (std::vector<int>{1, 2, 3, 4}));
    EXPECT_EQ(socket.batches_written(), 2u);
    EXPECT_EQ(sink.received, "m1\nm2\nm3\nm4\n");
    EXPECT_EQ(socket.pending_count(), 0u);
}

TYPED_TEST(SocketQueue, QueueIsKeptAcrossDisconnectsAndFlushedByKeptMessages) {
    asio::io_context io;
    typename TypeParam::Sink sink(io);
    auto owned = TypeParam::make_socket(io, sink.port());
    auto& socket = *owned;
    std::vector<int> done;
    run_test(io, [&]() -> asio::awaitable<void> {
        socket.send_async(msg("before-connect\n"), [&done] { done.push_back(1); });
        EXPECT_TRUE(co_await socket.connect_sync());
        co_await socket.disconnect_sync();
        EXPECT_FALSE(socket.is_connected());
        socket.send_async(msg("while-down\n"), [&done] { done.push_back(2); });
        socket.send_async(msg("no-callback\n"), nullptr);
        EXPECT_EQ(socket.pending_count(), 3u);
        EXPECT_TRUE(done.empty());

        EXPECT_TRUE(co_await socket.connect_sync());
        // The kept entries are not overtaken by a new message arriving before the flush.
        socket.send_async(msg("after\n"), [&done] { done.push_back(3); });
        EXPECT_EQ(socket.batches_written(), 0u);
        co_await socket.send_kept_messages();
        EXPECT_TRUE(co_await wait_until([&] { return sink.received.size() == 44; }));
    });
    EXPECT_EQ(sink.received, "before-connect\nwhile-down\nno-callback\nafter\n");
    EXPECT_EQ(done, (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(socket.batches_written(), 1u);
    EXPECT_EQ(sink.accepts, 2);
}

TYPED_TEST(SocketQueue, FailedQueuedWriteDropsTheWholeQueueWithoutCallbacks) {
    asio::io_context io;
    typename TypeParam::Sink sink(io);
    auto owned = TypeParam::make_socket(io, sink.port());
    auto& socket = *owned;
    int callbacks = 0;
    run_test(io, [&]() -> asio::awaitable<void> {
        EXPECT_TRUE(co_await socket.connect_sync());
        EXPECT_TRUE(co_await wait_until([&] { return sink.accepts == 1; }));
        // Too large to be written at once: the reset arrives while the write is in progress,
        // with the entries queued behind it.
        auto big = std::make_shared<QMessage>(std::vector<std::uint8_t>(16 << 20, 'z'));
        socket.send_async(big, [&callbacks] { ++callbacks; });
        for (int i = 0; i < 3; ++i) socket.send_async(msg("lost\n"), [&callbacks] { ++callbacks; });
        sink.reset_last_peer();
        EXPECT_TRUE(co_await wait_until([&] { return socket.get_last_error() != 0; }));
        EXPECT_EQ(socket.pending_count(), 0u);
        EXPECT_FALSE(socket.is_connected());  // the failed write closed the connection

        // Nothing of the dropped queue reappears on the next connection.
        sink.received.clear();
        co_await socket.disconnect_sync();
        EXPECT_TRUE(co_await socket.connect_sync());
        co_await socket.send_kept_messages();
        socket.send_async(msg("fresh\n"), [&callbacks] { callbacks += 10; });
        EXPECT_TRUE(co_await wait_until([&] { return callbacks == 10 && sink.received == "fresh\n"; }));
    });
    EXPECT_EQ(callbacks, 10);
    EXPECT_EQ(sink.received, "fresh\n");
}

TYPED_TEST(SocketQueue, LinesAreSplitFromCoalescedAndFragmentedReads) {
    asio::io_context io;
    typename TypeParam::Sink sink(io);
    auto owned = TypeParam::make_socket(io, sink.port());
    auto& socket = *owned;
    std::vector<std::string> lines;
    run_test(io, [&]() -> asio::awaitable<void> {
        std::vector<char> line;
        EXPECT_EQ(co_await socket.receive_line_sync(line), 0u);  // no connection yet
        EXPECT_TRUE(line.empty());

        EXPECT_TRUE(co_await socket.connect_sync());
        EXPECT_TRUE(co_await wait_until([&] { return sink.accepts == 1; }));
        co_await sink.send("a\nb\n");
        EXPECT_EQ(co_await socket.receive_line_sync(line), 2u);
        lines.push_back(line_text(line));
        // The peer stops sending: the second line must come from what the first read kept.
        sink.shutdown_send_last_peer();
        EXPECT_EQ(co_await socket.receive_line_sync(line), 2u);
        lines.push_back(line_text(line));
        EXPECT_THROW(co_await socket.receive_line_sync(line), std::system_error);
    });
    EXPECT_EQ(lines, (std::vector<std::string>{"a\n", "b\n"}));

    asio::io_context io2;
    typename TypeParam::Sink sink2(io2);
    auto owned2 = TypeParam::make_socket(io2, sink2.port());
    auto& socket2 = *owned2;
    run_test(io2, [&]() -> asio::awaitable<void> {
        EXPECT_TRUE(co_await socket2.connect_sync());
        EXPECT_TRUE(co_await wait_until([&] { return sink2.accepts == 1; }));
        std::vector<char> line;
        // A long line arriving in pieces, then an empty line.
        const std::string long_text(5000, 'x');
        asio::co_spawn(
            io2,
            [&]() -> asio::awaitable<void> {
                for (std::size_t i = 0; i < long_text.size(); i += 1000)
                    co_await sink2.send(long_text.substr(i, 1000));
                co_await sink2.send("\n\n");
            },
            asio::detached);
        EXPECT_EQ(co_await socket2.receive_line_sync(line), 5001u);
        EXPECT_EQ(line_text(line), long_text + "\n");
        EXPECT_EQ(co_await socket2.receive_line_sync(line), 1u);
        EXPECT_EQ(line_text(line), "\n");
        // A line past the longest accepted ends the connection, whatever follows it.
        const std::string too_long(StreamSocket<asio::ip::tcp::socket>::kMaxLineLength, 'x');
        asio::co_spawn(
            io2, [&]() -> asio::awaitable<void> { co_await sink2.send(too_long + "\n"); }, asio::detached);
        std::error_code failure;
        try {
            co_await socket2.receive_line_sync(line);
        } catch (const std::system_error& e) {
            failure = e.code();
        }
        EXPECT_EQ(failure, asio::error::message_size) << failure.message();
        EXPECT_FALSE(socket2.is_connected());
    });
}

TYPED_TEST(SocketQueue, ExactReadsTakeTheRequestedBytes) {
    asio::io_context io;
    typename TypeParam::Sink sink(io);
    auto owned = TypeParam::make_socket(io, sink.port());
    auto& socket = *owned;
    run_test(io, [&]() -> asio::awaitable<void> {
        std::uint8_t buffer[6] = {};
        EXPECT_THROW(co_await socket.receive_all_sync(buffer, 4), std::system_error);
        EXPECT_TRUE(co_await socket.connect_sync());
        EXPECT_TRUE(co_await wait_until([&] { return sink.accepts == 1; }));
        co_await sink.send("0123456789");
        co_await socket.receive_all_sync(buffer, 4);
        EXPECT_EQ(std::string(buffer, buffer + 4), "0123");
        co_await socket.receive_all_sync(buffer, 6);
        EXPECT_EQ(std::string(buffer, buffer + 6), "456789");
        sink.close();
        EXPECT_THROW(co_await socket.receive_all_sync(buffer, 1), std::system_error);
    });
}

TEST(TcpSocket, ConnectFailuresAreRecordedWithReadableText) {
    asio::io_context io;
    struct Case {
        const char* what;
        std::string host;
        std::string port;
    };
    const std::vector<Case> cases = {
        {"unknown service", "127.0.0.1", "no-such-service-tyx"},
        {"refused", "127.0.0.1", test::refusing_port(io)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TcpSocket socket(io, c.host, c.port);
        run_test(io, [&]() -> asio::awaitable<void> {
            EXPECT_FALSE(co_await socket.connect_sync());
            co_await socket.send_all_sync("ignored");  // not connected: a silent no-op
        });
        EXPECT_FALSE(socket.is_connected());
        EXPECT_NE(socket.get_last_error(), 0);
        EXPECT_FALSE(socket.get_last_error_message().empty());
    }
    TcpSocket refused(io, "127.0.0.1", test::refusing_port(io));
    run_test(io, [&]() -> asio::awaitable<void> { EXPECT_FALSE(co_await refused.connect_sync()); });
    EXPECT_NE(refused.get_last_error_message().find("refused"), std::string::npos)
        << refused.get_last_error_message();
}

TYPED_TEST(SocketQueue, ConnectingTwiceKeepsTheConnectionAndSuccessClearsTheError) {
    asio::io_context io;
    LoopbackSink sink(io);
    const std::string refused = test::refusing_port(io);
    TcpSocket socket(io, "127.0.0.1", sink.port());
    run_test(io, [&]() -> asio::awaitable<void> {
        EXPECT_TRUE(co_await socket.connect_sync());
        EXPECT_TRUE(co_await socket.connect_sync());
        EXPECT_TRUE(co_await wait_until([&] { return sink.accepts == 1; }));
        co_await socket.send_all_sync("direct\n");
        EXPECT_TRUE(co_await wait_until([&] { return sink.received == "direct\n"; }));
        co_await socket.disconnect_sync();
        co_await socket.send_all_sync("dropped\n");
    });
    EXPECT_EQ(sink.accepts, 1);
    EXPECT_EQ(socket.get_last_error(), 0);
}

// A publisher writes straight to a plain TCP connection from its own thread while the loop
// closes it: what it was told was written arrives, and nothing reaches the descriptor that takes
// the freed number. TLS declines such writes.
TYPED_TEST(SocketQueue, WritesFromAnotherThreadStopAtTheClose) {
    constexpr bool kTls = std::is_same_v<TypeParam, TlsKind>;
    asio::io_context io;
    typename TypeParam::Sink sink(io);
    auto owned = TypeParam::make_socket(io, sink.port());
    auto& socket = *owned;
    std::atomic<bool> closed{false};
    std::atomic<bool> done{false};
    std::atomic<std::size_t> written{0};
    std::atomic<std::size_t> tries_after_close{0};
    std::size_t written_after_close = 0;
    int reused[2] = {-1, -1};
    run_test(io, [&]() -> asio::awaitable<void> {
        EXPECT_TRUE(co_await socket.connect_sync());
        EXPECT_EQ(socket.can_write_now(), !kTls);
        std::thread publisher([&] {
            while (!done) {
                const bool after = closed;
                const std::size_t n = socket.try_write_now("x");
                if (after) {
                    written_after_close += n;
                    ++tries_after_close;
                } else {
                    written += n;
                }
            }
        });
        EXPECT_TRUE(co_await wait_until([&] { return kTls || sink.received.size() >= 1000; }));
        co_await socket.disconnect_sync();
        closed = true;
        // The lowest free number, most likely the one just freed.
        EXPECT_EQ(::pipe2(reused, O_NONBLOCK), 0);
        EXPECT_TRUE(co_await wait_until([&] { return tries_after_close >= 1000; }));
        done = true;
        publisher.join();
        EXPECT_TRUE(co_await wait_until([&] { return sink.received.size() == written; }));
    });
    char byte = 0;
    EXPECT_EQ(::read(reused[0], &byte, 1), -1);
    EXPECT_EQ(written_after_close, 0u);
    EXPECT_EQ(sink.received, std::string(written, 'x'));
    EXPECT_EQ(written == 0, kTls);
    ::close(reused[0]);
    ::close(reused[1]);
}

TYPED_TEST(SocketQueue, SendAsyncFromAnotherThreadKeepsOrder) {
    asio::io_context io;
    typename TypeParam::Sink sink(io);
    auto owned = TypeParam::make_socket(io, sink.port());
    auto& socket = *owned;
    constexpr int kMessages = 2000;
    std::string expected;
    for (int i = 0; i < kMessages; ++i) expected += "message " + std::to_string(i) + "\n";
    std::atomic<int> sent{0};
    run_test(io, [&]() -> asio::awaitable<void> {
        EXPECT_TRUE(co_await socket.connect_sync());
        std::thread producer([&] {
            for (int i = 0; i < kMessages; ++i)
                socket.send_async(msg("message " + std::to_string(i) + "\n"), [&sent] { sent.fetch_add(1); });
        });
        const bool all = co_await wait_until([&] { return sink.received.size() == expected.size(); });
        producer.join();
        EXPECT_TRUE(all);
        EXPECT_TRUE(co_await wait_until([&] { return sent.load() == kMessages; }));
    });
    EXPECT_EQ(sink.received, expected);
    EXPECT_LE(socket.batches_written(), static_cast<std::uint64_t>(kMessages));
}

TYPED_TEST(SocketQueue, DestroyingWithAWriteInFlightIsSafe) {
    asio::io_context io;
    typename TypeParam::Sink sink(io);
    auto socket = TypeParam::make_socket(io, sink.port());
    bool called = false;
    run_test(io, [&]() -> asio::awaitable<void> {
        EXPECT_TRUE(co_await socket->connect_sync());
        // Large enough that the write cannot finish at once.
        auto big = std::make_shared<QMessage>(std::vector<std::uint8_t>(16 << 20, 'z'));
        socket->send_async(big, [&called] { called = true; });
        socket->send_async(msg("tail\n"), [&called] { called = true; });
        socket.reset();
        // Let the aborted write complete against the destroyed socket.
        asio::steady_timer timer(io, 20ms);
        co_await timer.async_wait(asio::use_awaitable);
    });
    EXPECT_FALSE(called);
}

TEST(SocketFactory, ChoosesTheSocketKind) {
    asio::io_context io;
    auto tcp = ISocket::create(io, "127.0.0.1", "7001", false, SslOptions{"keys.pub", "", "", ""});
    ASSERT_NE(dynamic_cast<TcpSocket*>(tcp.get()), nullptr);
    EXPECT_FALSE(tcp->is_ssl());
    EXPECT_EQ(tcp->host(), "127.0.0.1");
    EXPECT_EQ(tcp->port_or_service(), "7001");
    EXPECT_TRUE(tcp->ssl_options().trusted_server_pub_file.empty());

    auto tls = ISocket::create(io, "127.0.0.1", "7002", true, SslOptions{"keys.pub", "c.pem", "c.key", "pw"});
    ASSERT_NE(dynamic_cast<SslSocket*>(tls.get()), nullptr);
    EXPECT_TRUE(tls->is_ssl());
    EXPECT_EQ(tls->port_or_service(), "7002");
    EXPECT_EQ(tls->ssl_options().client_key_password, "pw");
    EXPECT_FALSE(tls->is_connected());
}

TEST(SocketSlot, KeepsTheReplacedSocketOneGeneration) {
    asio::io_context io;
    SocketSlot<> slot;
    EXPECT_FALSE(slot);
    auto* first = &slot.replace(std::make_unique<TcpSocket>(io, "h", "1"));
    EXPECT_EQ(slot.retired(), nullptr);
    auto* second = &slot.replace(std::make_unique<TcpSocket>(io, "h", "2"));
    EXPECT_EQ(slot.retired(), first);
    EXPECT_EQ(slot.get(), second);
    slot.replace(std::make_unique<TcpSocket>(io, "h", "3"));
    EXPECT_EQ(slot.retired(), second);
    EXPECT_EQ(slot->port_or_service(), "3");
}

}  // namespace
}  // namespace tyx
