// Loopback helpers for transport and protocol-client tests: a sink that accepts on an
// ephemeral 127.0.0.1 port and records what it reads, a refusing port, and a runner that
// drives one coroutine on a test-owned io_context under a deadline. Everything runs on the
// thread that calls run_test.
#pragma once

#include <gtest/gtest.h>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/redirect_error.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>

#include <chrono>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace tyx::test {

using namespace std::chrono_literals;

// Runs `body` (a callable returning asio::awaitable<void>) on `io` until it ends, rethrowing
// its exception; fails the test when it has not ended within `deadline`.
template <typename F>
void run_test(asio::io_context& io, F&& body, std::chrono::milliseconds deadline = 5000ms) {
    bool done = false;
    std::exception_ptr failure;
    asio::co_spawn(io, std::forward<F>(body), [&](std::exception_ptr e) {
        done = true;
        failure = e;
        io.stop();
    });
    io.restart();
    io.run_for(deadline);
    ASSERT_TRUE(done) << "test body did not finish within " << deadline.count() << " ms";
    if (failure) std::rethrow_exception(failure);
}

// Waits on the current loop until `pred()` holds, polling every millisecond; false when
// `deadline` passes first.
inline asio::awaitable<bool> wait_until(std::function<bool()> pred,
                                        std::chrono::milliseconds deadline = 3000ms) {
    auto executor = co_await asio::this_coro::executor;
    asio::steady_timer timer(executor);
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= end) co_return false;
        timer.expires_after(1ms);
        std::error_code ignored;
        co_await timer.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
    }
    co_return true;
}

// A port on 127.0.0.1 that nothing listens on (bound, then released).
inline std::string refusing_port(asio::io_context& io) {
    asio::ip::tcp::acceptor probe(io, {asio::ip::make_address("127.0.0.1"), 0});
    const auto port = probe.local_endpoint().port();
    probe.close();
    return std::to_string(port);
}

// Accepts every connection on an ephemeral loopback port and appends what it reads to
// `received`, counting accepts and reads. Lives on the test's io_context.
class LoopbackSink {
public:
    explicit LoopbackSink(asio::io_context& io) : acceptor_(io, {asio::ip::make_address("127.0.0.1"), 0}) {
        asio::co_spawn(io, accept_loop(), asio::detached);
    }
    ~LoopbackSink() { close(); }

    std::string port() const { return std::to_string(acceptor_.local_endpoint().port()); }

    // Writes `bytes` to the most recent accepted peer.
    asio::awaitable<void> send(std::string bytes) {
        co_await asio::async_write(*peers_.back(), asio::buffer(bytes), asio::use_awaitable);
    }
    // Closes the most recent peer with a reset instead of an orderly close.
    void reset_last_peer() {
        std::error_code ignored;
        peers_.back()->set_option(asio::socket_base::linger(true, 0), ignored);
        peers_.back()->close(ignored);
    }
    void shutdown_send_last_peer() {
        std::error_code ignored;
        peers_.back()->shutdown(asio::ip::tcp::socket::shutdown_send, ignored);
    }
    void close() {
        std::error_code ignored;
        acceptor_.close(ignored);
        for (auto& p : peers_) p->close(ignored);
    }

    std::string received;
    int accepts = 0;
    int reads = 0;

private:
    asio::awaitable<void> accept_loop() {
        for (;;) {
            std::error_code ec;
            auto peer = std::make_shared<asio::ip::tcp::socket>(co_await asio::this_coro::executor);
            co_await acceptor_.async_accept(*peer, asio::redirect_error(asio::use_awaitable, ec));
            if (ec) co_return;
            ++accepts;
            peers_.push_back(peer);
            asio::co_spawn(acceptor_.get_executor(), read_loop(peer), asio::detached);
        }
    }

    asio::awaitable<void> read_loop(std::shared_ptr<asio::ip::tcp::socket> peer) {
        char chunk[4096];
        for (;;) {
            std::error_code ec;
            const std::size_t n = co_await peer->async_read_some(
                asio::buffer(chunk), asio::redirect_error(asio::use_awaitable, ec));
            if (ec) co_return;
            ++reads;
            received.append(chunk, n);
        }
    }

    asio::ip::tcp::acceptor acceptor_;
    std::vector<std::shared_ptr<asio::ip::tcp::socket>> peers_;
};

}  // namespace tyx::test
