// A server that ends its side of a connection (as one restarting gracefully does) and waits
// for the client's close must see that close promptly, not when the client replaces its socket.
#include <gtest/gtest.h>

#include <asio/read_until.hpp>
#include <asio/streambuf.hpp>

#include <functional>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "support/relay_harness.hpp"
#include "support/transport_loopback.hpp"
#include "transport/socket_impl.hpp"

namespace tyx {
namespace {

using test::run_test;
using namespace std::chrono_literals;

// Accepts one connection on an ephemeral loopback port. Lives on the test's io_context.
class ClosingPeer {
public:
    explicit ClosingPeer(asio::io_context& io)
        : acceptor_(io, {asio::ip::make_address("127.0.0.1"), 0}), peer_(io) {}

    std::string port() const { return std::to_string(acceptor_.local_endpoint().port()); }

    asio::awaitable<void> accept() { co_await acceptor_.async_accept(peer_, asio::use_awaitable); }
    asio::awaitable<std::string> read_line() {
        const std::size_t n = co_await asio::async_read_until(peer_, input_, '\n', asio::use_awaitable);
        std::string line(asio::buffers_begin(input_.data()), asio::buffers_begin(input_.data()) + n);
        input_.consume(n);
        co_return line;
    }
    asio::awaitable<void> send(std::string bytes) {
        co_await asio::async_write(peer_, asio::buffer(bytes), asio::use_awaitable);
    }
    void end_sending() { peer_.shutdown(asio::ip::tcp::socket::shutdown_send); }

    // Reads whatever still comes; true when the stream ends in an orderly close within `limit`.
    asio::awaitable<bool> sees_close(std::chrono::milliseconds limit) {
        asio::steady_timer timer(co_await asio::this_coro::executor, limit);
        auto expired = std::make_shared<bool>(false);
        timer.async_wait([this, expired](std::error_code ec) {
            if (ec) return;
            *expired = true;
            peer_.cancel();
        });
        std::error_code ec;
        char chunk[4096];
        while (!ec)
            co_await peer_.async_read_some(asio::buffer(chunk),
                                           asio::redirect_error(asio::use_awaitable, ec));
        timer.cancel();
        co_return ec == asio::error::eof && !*expired;
    }

private:
    asio::ip::tcp::acceptor acceptor_;
    asio::ip::tcp::socket peer_;
    asio::streambuf input_;
};

TEST(PeerEndsTheConnection, AFailedReadClosesTheClientSideAtOnce) {
    struct Case {
        const char* path;
        std::function<asio::awaitable<void>(ISocket&)> read;
    };
    const std::vector<Case> cases = {
        {"line",
         [](ISocket& s) -> asio::awaitable<void> {
             std::vector<char> line;
             co_await s.receive_line_sync(line);
         }},
        {"exact",
         [](ISocket& s) -> asio::awaitable<void> {
             std::uint8_t frame[4];
             co_await s.receive_all_sync(frame, sizeof frame);
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        asio::io_context io;
        ClosingPeer peer(io);
        TcpSocket socket(io, "127.0.0.1", peer.port());
        run_test(io, [&]() -> asio::awaitable<void> {
            EXPECT_TRUE(co_await socket.connect_sync());
            co_await peer.accept();
            // Half a message, then the end: the read fails in the middle of it.
            co_await peer.send("ab");
            peer.end_sending();
            EXPECT_THROW(co_await c.read(socket), std::system_error);
            EXPECT_FALSE(socket.is_connected());
            EXPECT_TRUE(co_await peer.sees_close(100ms));
            // A direct write on the lost connection fails instead of passing for written; one from
            // another thread writes nothing.
            EXPECT_THROW(co_await socket.send_all_sync("late\n"), std::system_error);
            EXPECT_FALSE(socket.can_write_now());
            EXPECT_EQ(socket.try_write_now("late\n"), 0u);
        });
    }
}

TEST(PeerEndsTheConnection, RelaySessionClosesItsSideBeforeReconnecting) {
    // The peer lives on the relay's loop, so one run drives both.
    test::RelayScript relay({}, {Endpoint{"127.0.0.1", "0"}});
    ClosingPeer peer(relay.io);
    relay.client = std::make_unique<TyxClientRelay>(
        relay.recorder, "alpha", std::vector<Endpoint>{{"127.0.0.1", peer.port()}}, PublicationConfig{}, relay.io,
        make_socket_factory(relay.io, false, SslOptions{}));
    relay.start();
    run_test(relay.io, [&]() -> asio::awaitable<void> {
        co_await peer.accept();
        // Once the login is in, the session is reading: the end of the stream reaches it there.
        EXPECT_EQ((co_await peer.read_line()).front(), 'L');
        peer.end_sending();
        EXPECT_TRUE(co_await peer.sees_close(100ms));
    });
    EXPECT_TRUE(relay.run([&] { return relay.heard().count_prefix("disconnect alpha-relay") > 0; }));
}

}  // namespace
}  // namespace tyx
