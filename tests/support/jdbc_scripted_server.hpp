// A loopback database that logs every client in, then answers each request with the next canned
// reply (the last one repeated once the list runs out), recording the request bodies. For the
// answers the sandbox database never gives: empty bodies, undecodable results. Runs its own loop
// on its own thread; every public member may be called from the test thread.
#pragma once

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/read.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>

#include <mutex>
#include <thread>
#include <vector>

#include "core/byte_buffer.hpp"
#include "jdbc/jdbc_session_messages.hpp"
#include "support/jdbc_bytes.hpp"

namespace tyx::test {

// A response frame: the body length, the body, and the one byte more the protocol sends.
inline ByteVector jdbc_frame(const ByteVector& body) {
    JdbcBytes f;
    f.u32(static_cast<std::uint32_t>(body.size())).raw(body).u8(0);
    return f;
}

class ScriptedDatabase {
public:
    explicit ScriptedDatabase(std::vector<ByteVector> replies)
        : replies_(std::move(replies)),
          acceptor_(io_, asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0)),
          port_(acceptor_.local_endpoint().port()) {
        asio::co_spawn(io_, serve(), asio::detached);
        thread_ = std::thread([this] { io_.run(); });
    }
    ~ScriptedDatabase() {
        io_.stop();
        thread_.join();
    }
    ScriptedDatabase(const ScriptedDatabase&) = delete;
    ScriptedDatabase& operator=(const ScriptedDatabase&) = delete;

    std::uint16_t port() const { return port_; }
    std::size_t logins() const {
        std::lock_guard lock(mutex_);
        return logins_;
    }
    std::vector<ByteVector> requests() const {
        std::lock_guard lock(mutex_);
        return requests_;
    }

private:
    using Socket = asio::ip::tcp::socket;

    asio::awaitable<void> serve() {
        for (;;) {
            auto socket = std::make_shared<Socket>(co_await acceptor_.async_accept(asio::use_awaitable));
            asio::co_spawn(io_, session(socket), asio::detached);
        }
    }

    asio::awaitable<void> session(std::shared_ptr<Socket> s) {
        try {
            std::array<std::uint8_t, 2> hello{};
            co_await asio::async_read(*s, asio::buffer(hello), asio::use_awaitable);
            co_await asio::async_write(*s, asio::buffer(jdbc::kServerVersionBytes), asio::use_awaitable);
            co_await read_request(*s);
            const ByteVector ack = jdbc_frame(JdbcBytes().u8(21).i32(2).u8(60).str("scripted").u8(14).i32(2));
            co_await asio::async_write(*s, asio::buffer(ack), asio::use_awaitable);
            {
                std::lock_guard lock(mutex_);
                ++logins_;
            }
            for (;;) {
                const ByteVector body = co_await read_request(*s);
                ByteVector reply;
                {
                    std::lock_guard lock(mutex_);
                    requests_.push_back(body);
                    reply = replies_.at(std::min(next_++, replies_.size() - 1));
                }
                co_await asio::async_write(*s, asio::buffer(reply), asio::use_awaitable);
            }
        } catch (const std::exception&) {
            // The client closed the connection.
        }
    }

    static asio::awaitable<ByteVector> read_request(Socket& s) {
        std::array<std::uint8_t, 4> head{};
        co_await asio::async_read(s, asio::buffer(head), asio::use_awaitable);
        ByteVector body(load_be<std::uint32_t>(head.data()));
        co_await asio::async_read(s, asio::buffer(body), asio::use_awaitable);
        co_return body;
    }

    const std::vector<ByteVector> replies_;
    asio::io_context io_;
    asio::ip::tcp::acceptor acceptor_;
    std::uint16_t port_;
    std::thread thread_;
    mutable std::mutex mutex_;
    std::size_t next_ = 0;
    std::size_t logins_ = 0;
    std::vector<ByteVector> requests_;
};

}  // namespace tyx::test
