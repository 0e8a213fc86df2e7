// Test and benchmark support for the center session: a small fake center on loopback (accepts
// the connection pair, answers the handshakes, counts request frames, and lets the test push any
// bytes to the client) and builders for the frames a center sends.
#pragma once

#include <asio.hpp>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "center/incremental_update.hpp"
#include "center/tyx_client_center.hpp"
#include "multiplex/tyx_client_multiplex.hpp"
#include "support/center_bytes.hpp"
#include "support/event_log.hpp"

namespace tyx::test {

// A fake center on 127.0.0.1 with an ephemeral port, run by one thread of its own. It accepts
// any number of connections, reads each handshake and answers it; the connection that says "W"
// becomes the one frames are pushed on, the one that says "R" is read for request frames.
class FakeCenter {
public:
    FakeCenter() : acceptor_(io_, asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0)) {
        port_ = acceptor_.local_endpoint().port();
        asio::co_spawn(io_, accept_loop(), asio::detached);
        thread_ = std::thread([this] { io_.run(); });
    }
    ~FakeCenter() {
        on_loop([this] {
            std::error_code ignored;
            acceptor_.close(ignored);
            for (auto& s : sockets_) s->close(ignored);
        });
        io_.stop();
        thread_.join();
    }

    std::uint16_t port() const { return port_; }
    std::vector<Endpoint> endpoints() const { return {Endpoint{"127.0.0.1", std::to_string(port_)}}; }

    // The bytes answering each handshake (length-prefixed reply, and the server UID when the
    // reply ends with "P"). Set before the client connects.
    void set_reply(std::vector<std::uint8_t> reply) {
        std::lock_guard lock(mutex_);
        reply_ = std::move(reply);
    }
    static std::vector<std::uint8_t> reply_bytes(std::string_view text, std::string_view server_uid = {}) {
        CenterBytes b;
        b.u16_be(static_cast<std::uint16_t>(text.size())).raw(text);
        if (!server_uid.empty()) b.u16_be(static_cast<std::uint16_t>(server_uid.size())).raw(server_uid);
        return b.data();
    }

    // Waits until `n` handshakes were answered, or `n` request frames read.
    bool wait_handshakes(std::size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return handshakes_ >= n; });
    }
    bool wait_requests(std::size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return requests_ >= n; });
    }

    // Writes `bytes` on the latest "W" connection; returns once written.
    void push(const std::vector<std::uint8_t>& bytes) {
        on_loop([&] {
            if (!inbound_) return;
            std::error_code ignored;
            asio::write(*inbound_, asio::buffer(bytes), ignored);
        });
    }
    // The descriptor of the latest "W" connection, for a test that writes on it itself (while
    // nothing is pushed); -1 before one was introduced.
    int inbound_fd() const {
        std::lock_guard lock(mutex_);
        return inbound_ ? inbound_->native_handle() : -1;
    }
    // Closes every open connection; the listener stays open for the client to come back.
    void drop_connections() {
        on_loop([this] {
            std::error_code ignored;
            for (auto& s : sockets_) {
                s->shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
                s->close(ignored);
            }
            sockets_.clear();
            inbound_.reset();
        });
    }

private:
    template <typename F>
    void on_loop(F&& f) {
        std::promise<void> done;
        asio::post(io_, [&] {
            f();
            done.set_value();
        });
        done.get_future().wait();
    }

    asio::awaitable<void> accept_loop() {
        for (;;) {
            auto socket = std::make_shared<asio::ip::tcp::socket>(io_);
            std::error_code ec;
            co_await acceptor_.async_accept(*socket, asio::redirect_error(asio::use_awaitable, ec));
            if (ec) co_return;
            sockets_.push_back(socket);
            asio::co_spawn(io_, serve(socket), asio::detached);
        }
    }

    static asio::awaitable<std::string> read_java_utf(asio::ip::tcp::socket& s) {
        std::uint8_t len[2];
        co_await asio::async_read(s, asio::buffer(len), asio::use_awaitable);
        std::string text((len[0] << 8) | len[1], '\0');
        co_await asio::async_read(s, asio::buffer(text), asio::use_awaitable);
        co_return text;
    }

    asio::awaitable<void> serve(std::shared_ptr<asio::ip::tcp::socket> socket) {
        try {
            co_await read_java_utf(*socket);  // the tag
            std::uint8_t dir[2];
            co_await asio::async_read(*socket, asio::buffer(dir), asio::use_awaitable);
            const char direction = static_cast<char>(dir[1]);
            co_await read_java_utf(*socket);  // the channel
            co_await read_java_utf(*socket);  // the process UID
            std::vector<std::uint8_t> reply;
            {
                std::lock_guard lock(mutex_);
                reply = reply_;
                ++handshakes_;
            }
            co_await asio::async_write(*socket, asio::buffer(reply), asio::use_awaitable);
            {
                // Recorded and announced only now: a test that pushes after seeing the
                // handshake finds the connection ready.
                std::lock_guard lock(mutex_);
                if (direction == 'W') inbound_ = socket;
                changed_.notify_all();
            }
            if (direction != 'R') co_return;
            for (;;) {
                std::vector<std::uint8_t> frame(8);
                co_await asio::async_read(*socket, asio::buffer(frame), asio::use_awaitable);
                const std::size_t n = (std::size_t(frame[4]) << 24) | (std::size_t(frame[5]) << 16) |
                                      (std::size_t(frame[6]) << 8) | frame[7];
                frame.resize(8 + n);
                co_await asio::async_read(*socket, asio::buffer(frame.data() + 8, n), asio::use_awaitable);
                std::lock_guard lock(mutex_);
                ++requests_;
                changed_.notify_all();
            }
        } catch (const std::exception&) {
            // The connection ended.
        }
    }

    asio::io_context io_;
    asio::ip::tcp::acceptor acceptor_;
    std::uint16_t port_ = 0;
    std::thread thread_;
    std::vector<std::shared_ptr<asio::ip::tcp::socket>> sockets_;  // loop thread only
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::uint8_t> reply_ = reply_bytes("XQDM|dTP", "Y9-server");
    std::size_t handshakes_ = 0;
    std::size_t requests_ = 0;
    std::shared_ptr<asio::ip::tcp::socket> inbound_;
};

// Connects `socket` to `server` as a client's inbound connection would, without a session: with
// TCP_NODELAY, the greeting written and the reply to it read. Benchmarks measure their ceiling
// on it. The server must answer "XQDM|ok" (no server UID follows); false when it saw no greeting.
inline bool introduce_bare_socket(FakeCenter& server, asio::ip::tcp::socket& socket) {
    server.set_reply(FakeCenter::reply_bytes("XQDM|ok"));
    socket.connect({asio::ip::make_address("127.0.0.1"), server.port()});
    socket.set_option(asio::ip::tcp::no_delay(true));
    const center::HandshakeMessage hello(false, "Y9-bench");
    asio::write(socket, asio::buffer(hello.bytes));
    std::uint8_t reply[9];  // "XQDM|ok" and its length
    asio::read(socket, asio::buffer(reply));
    return server.wait_handshakes(1);
}

// ---- Frames a center sends ----------------------------------------------------------------------

// One field of an entity: pooled key, then an int (type 13) or a short string (type 9).
struct EntityField {
    std::int16_t key;
    std::variant<std::int32_t, std::string> value;
};

inline CenterBytes entity_bytes(std::int16_t table_key, std::int64_t id, std::string_view object_id,
                                const std::vector<EntityField>& fields) {
    CenterBytes payload;
    payload.i64_be(id).u8(0x60).utf(object_id).i16_be(static_cast<std::int16_t>(fields.size()));
    for (const auto& f : fields) {
        payload.i16_be(f.key);
        if (const auto* i = std::get_if<std::int32_t>(&f.value))
            payload.u8(13).i32_be(*i);
        else {
            const auto& s = std::get<std::string>(f.value);
            payload.u8(9).u8(static_cast<std::uint8_t>(s.size())).raw(s);
        }
    }
    return CenterBytes().entity(table_key, payload);
}

// The parts of one changes message; empty parts are left out.
struct ChangesParts {
    std::int64_t seqnum = 0;  // 0: no seqNum field
    CenterBytes pool = {};    // entries: 00 key16 text, or 01 id32 text
    CenterBytes schema = {};  // table key16, kind, count16, then per column key16 type flags
    CenterBytes added = {};
    CenterBytes updated = {};
    CenterBytes removed = {};
};

inline CenterBytes pool_key(std::int16_t key, std::string_view text) {
    return CenterBytes().u8(0).i16_be(key).utf(text);
}

inline std::vector<std::uint8_t> changes_frame(const ChangesParts& p) {
    CenterBytes b;
    b.preamble("Y9.VE.CH", 0);
    if (p.seqnum != 0) b.named("seqNum", 6).i64_be(p.seqnum);
    if (p.pool.size()) b.named("tyxValuesStringPoolMap", 101).byte_array(p.pool);
    if (p.schema.size()) b.named("schemaChanges", 101).byte_array(p.schema);
    if (p.added.size()) b.named("tyxEntitiesAdded", 101).byte_array(p.added);
    if (p.updated.size()) b.named("tyxEntitiesUpdated", 101).byte_array(p.updated);
    if (p.removed.size()) b.named("tyxEntitiesRemoved", 101).byte_array(p.removed);
    return b.end_named().framed();
}

inline std::vector<std::uint8_t> snapshot_response_frame() {
    return CenterBytes().preamble("Y9.VE.SR", 1).end_positional().framed();
}

// A pass-through message whose first field is a server exception.
inline std::vector<std::uint8_t> throwable_frame() {
    return CenterBytes().preamble("Y9.ST.PT", 1).pid(1, 53).raw("java.lang.IllegalStateException").framed();
}

}  // namespace tyx::test
