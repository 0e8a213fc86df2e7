// A network without sockets for session tests: each connection attempt of a protocol client, on
// a socket from the network's factory, plays the next scripted conversation (how the connect
// goes, what the peer sends, in which pieces); the network records what the client writes and
// can fail any step. Everything runs on
// the test's loop, which `run_until` drives in session time, so pauses and deadlines pass at
// once.
#pragma once

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/redirect_error.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>

#include <gtest/gtest.h>

#include <sys/prctl.h>
#include <algorithm>
#include <chrono>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/byte_buffer.hpp"
#include "core/session_clock.hpp"
#include "support/recording_events.hpp"
#include "transport/socket_impl.hpp"

namespace tyx::test {

// What one connection attempt meets.
struct Conversation {
    enum class Connect { Accept, Refuse, Hang };
    Connect connect = Connect::Accept;
    std::vector<ByteVector> reads = {};  // what the peer sends once connected, piece by piece
    bool peer_closes = false;            // after the last piece the peer closes; else reads wait
    // Writes go out at once but complete only when the test releases them, as when the loop
    // has yet to run their completions.
    bool writes_held = false;
};

inline Conversation refused() {
    return {.connect = Conversation::Connect::Refuse};
}

class ScriptedNetwork;

// A socket of a ScriptedNetwork; owned by the client that asked for it. It takes its
// conversation when it first connects.
class ScriptedSocket : public ISocket {
public:
    // One connection attempt as the test reads it, also after the client dropped the socket.
    struct Record {
        Endpoint endpoint;
        Conversation::Connect connect = Conversation::Connect::Accept;
        ByteVector written;
        std::deque<ByteVector> reads;
        bool peer_closed = false;
        bool writes_held = false;
        ScriptedSocket* live = nullptr;
    };

    ScriptedSocket(asio::io_context& io, ScriptedNetwork& network, const Endpoint& endpoint)
        : ISocket(io, endpoint.host, endpoint.port_or_service, false, SslOptions{}),
          network_(network),
          wake_(io),
          write_wake_(io, asio::steady_timer::time_point::max()) {}
    ~ScriptedSocket() override {
        if (record_) record_->live = nullptr;
    }

    asio::awaitable<bool> connect_sync() override;
    asio::awaitable<void> disconnect_sync() override {
        close();
        co_return;
    }
    bool is_connected() const override { return connected_; }
    // A peer that closed after its last piece, with nothing left to read: a stale connection.
    bool peer_closed() const override { return connected_ && record_->peer_closed && record_->reads.empty(); }
    std::int32_t get_last_error() const override { return last_error_; }
    std::string get_last_error_message() const override { return last_error_message_; }

    asio::awaitable<void> send_all_sync(std::string_view data) override {
        if (!connected_) {
            if (failure_) throw std::system_error(failure_);
            co_return;
        }
        fail_if_scripted();
        record_->written.insert(record_->written.end(), data.begin(), data.end());
        while (connected_ && record_->writes_held) {
            std::error_code ignored;
            co_await write_wake_.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
        }
    }
    // A publisher's direct write: one step, recorded with the other writes. Here the publishing
    // thread is the test's, which runs the loop too.
    bool can_write_now() const override { return connected_; }
    std::size_t try_write_now(std::string_view data) override;
    asio::awaitable<void> receive_all_sync(std::uint8_t* buffer, std::uint64_t size) override {
        while (size > 0) {
            const std::size_t n = co_await receive_some_sync(buffer, static_cast<std::size_t>(size));
            buffer += n;
            size -= n;
        }
    }
    asio::awaitable<std::size_t> receive_some_sync(std::uint8_t* buffer, std::size_t size) override {
        if (!connected_) throw std::system_error(asio::error::not_connected);
        co_await wait_for_bytes();
        fail_if_scripted();
        ByteVector& piece = record_->reads.front();
        const std::size_t n = std::min(size, piece.size());
        std::memcpy(buffer, piece.data(), n);
        piece.erase(piece.begin(), piece.begin() + static_cast<std::ptrdiff_t>(n));
        if (piece.empty()) record_->reads.pop_front();
        co_return n;
    }
    // One step per line, whatever pieces it spans.
    asio::awaitable<std::uint64_t> receive_line_sync(std::vector<char>& out) override {
        if (!connected_ && !failure_) co_return 0;
        if (!connected_) throw std::system_error(failure_);
        co_await wait_for_bytes();
        fail_if_scripted();
        out.clear();
        while (out.empty() || out.back() != '\n') {
            co_await wait_for_bytes();
            ByteVector& piece = record_->reads.front();
            out.push_back(static_cast<char>(piece.front()));
            piece.erase(piece.begin());
            if (piece.empty()) record_->reads.pop_front();
        }
        co_return out.size();
    }
    asio::awaitable<void> send_kept_messages() override {
        while (has_pending()) {
            std::vector<std::uint8_t> bytes;
            const std::size_t count = coalesce_pending(bytes);
            co_await send_all_sync(
                std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
            complete_pending(count);
        }
    }
    void send_async(std::shared_ptr<QMessage> message, SendCallback on_sent) override {
        enqueue(PendingSend{std::move(message), std::move(on_sent)});
        if (!connected_) return;
        // Written later on the loop, as a real socket's queue would.
        asio::post(io_context_, [this, alive = std::weak_ptr<char>(alive_)]() {
            if (alive.expired() || !connected_) return;
            asio::co_spawn(
                io_context_, [this]() -> asio::awaitable<void> { co_await send_kept_messages(); },
                [](std::exception_ptr) {});
        });
    }

    // The peer sends `piece`, or closes its side.
    void feed(ByteVector piece) {
        record_->reads.push_back(std::move(piece));
        wake_.cancel();
    }
    void close_by_peer() {
        record_->peer_closed = true;
        wake_.cancel();
    }
    // Held writes complete, and later ones at once.
    void release_writes() {
        record_->writes_held = false;
        write_wake_.cancel();
    }

private:
    // Until a piece is there to read; a closed connection, or a peer that closed after its last
    // piece, is raised as a real socket raises it.
    asio::awaitable<void> wait_for_bytes() {
        for (;;) {
            if (!connected_) throw std::system_error(asio::error::bad_descriptor);
            if (!record_->reads.empty()) co_return;
            if (record_->peer_closed) {
                fail(asio::error::eof);
                throw std::system_error(asio::error::eof);
            }
            co_await wait_to_be_woken();
        }
    }
    asio::awaitable<void> wait_to_be_woken() {
        wake_.expires_at(asio::steady_timer::time_point::max());
        std::error_code ignored;
        co_await wake_.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
    }
    void fail_if_scripted();
    void fail(std::error_code ec) {
        connected_ = false;
        failure_ = ec;
        set_last_error(ec);
        wake_.cancel();
    }
    void close() {
        connected_ = false;
        wake_.cancel();
        write_wake_.cancel();
    }

    ScriptedNetwork& network_;
    std::shared_ptr<Record> record_;  // of the latest connection attempt
    asio::steady_timer wake_;         // a read or a hanging connect waits on it; news cancel it
    asio::steady_timer write_wake_;   // never expires: held writes wait on it to complete
    bool connected_ = false;
    std::error_code failure_;
    std::shared_ptr<char> alive_ = std::make_shared<char>();
};

class ScriptedNetwork {
public:
    explicit ScriptedNetwork(asio::io_context& io) : io_(io) {}

    // The next connection attempt not yet scripted plays `conversation`; an attempt that finds
    // the script used up is refused.
    ScriptedNetwork& then(Conversation conversation) {
        script_.push_back(std::move(conversation));
        return *this;
    }
    // Makes the step-th operation (from 0, counting every connect, write and read on every
    // socket) fail: a connect is refused, a write or read loses the connection.
    void fail_at(std::optional<std::size_t> step) { fail_at_ = step; }
    // Direct writes take at most `bytes` each, as a nearly full socket buffer would.
    void limit_write_now(std::size_t bytes) { write_now_limit_ = bytes; }
    std::size_t write_now_limit() const { return write_now_limit_; }
    // Operations so far; whether the failing one was reached.
    std::size_t steps() const { return steps_; }
    bool failed() const { return fail_at_ && steps_ > *fail_at_; }

    SocketFactory factory() {
        return [this](const Endpoint& endpoint) -> std::unique_ptr<ISocket> {
            return std::make_unique<ScriptedSocket>(io_, *this, endpoint);
        };
    }
    // The record of the next connection attempt, on `socket`.
    std::shared_ptr<ScriptedSocket::Record> attempt(ScriptedSocket& socket) {
        auto record = std::make_shared<ScriptedSocket::Record>();
        record->endpoint = Endpoint{socket.host(), socket.port_or_service()};
        Conversation c = refused();
        if (!script_.empty()) {
            c = std::move(script_.front());
            script_.pop_front();
        }
        record->connect = c.connect;
        record->reads.assign(c.reads.begin(), c.reads.end());
        record->peer_closed = c.peer_closes;
        record->writes_held = c.writes_held;
        record->live = &socket;
        records_.push_back(record);
        return record;
    }

    // Connection attempts so far.
    std::size_t made() const { return records_.size(); }
    const Endpoint& endpoint(std::size_t i) const { return records_.at(i)->endpoint; }
    const ByteVector& written(std::size_t i) const { return records_.at(i)->written; }
    // The socket of the i-th attempt while its client still holds it.
    ScriptedSocket& socket(std::size_t i) const {
        ScriptedSocket* s = records_.at(i)->live;
        if (s == nullptr) throw std::logic_error("socket " + std::to_string(i) + " is gone");
        return *s;
    }

    // Counts one operation; true when it is the one that must fail.
    bool step() {
        const bool fails = fail_at_ && steps_ == *fail_at_;
        ++steps_;
        return fails;
    }

private:
    asio::io_context& io_;
    std::deque<Conversation> script_;  // for the coming attempts
    std::vector<std::shared_ptr<ScriptedSocket::Record>> records_;
    std::optional<std::size_t> fail_at_;
    std::size_t steps_ = 0;
    std::size_t write_now_limit_ = std::string_view::npos;
};

inline asio::awaitable<bool> ScriptedSocket::connect_sync() {
    if (connected_) co_return true;
    failure_.clear();
    if (record_) record_->live = nullptr;
    record_ = network_.attempt(*this);
    if (network_.step() || record_->connect == Conversation::Connect::Refuse) {
        set_last_error(asio::error::connection_refused);
        co_return false;
    }
    if (record_->connect == Conversation::Connect::Hang) {
        co_await wait_to_be_woken();
        set_last_error(asio::error::operation_aborted);
        co_return false;
    }
    connected_ = true;
    clear_last_error();
    co_return true;
}

inline std::size_t ScriptedSocket::try_write_now(std::string_view data) {
    if (!connected_) return 0;
    if (network_.step()) {
        fail(asio::error::connection_reset);
        return 0;
    }
    data = data.substr(0, network_.write_now_limit());
    record_->written.insert(record_->written.end(), data.begin(), data.end());
    return data.size();
}

inline void ScriptedSocket::fail_if_scripted() {
    if (!network_.step()) return;
    fail(asio::error::connection_reset);
    throw std::system_error(asio::error::connection_reset);
}

// Runs `io` until `done()` holds. Whenever nothing is ready to run, the session clock moves on
// by `step`, so the pauses and deadlines of the clients on `io` pass without waiting for them.
// False when `limit` of session time passed first.
inline bool run_until(asio::io_context& io, const std::function<bool()>& done,
                      SessionClock::duration limit = std::chrono::minutes(10),
                      SessionClock::duration step = std::chrono::milliseconds(1)) {
    // The loop sees a moved clock through its timer descriptor, which the kernel would
    // otherwise fire up to its default slack late.
    prctl(PR_SET_TIMERSLACK, 1UL);
    SessionTimer nudge(io);
    for (SessionClock::duration skipped{0};; skipped += step) {
        io.restart();
        while (io.poll() > 0)
            if (done()) return true;
        if (done()) return true;
        if (skipped >= limit) return false;
        SessionClock::skip(step);
        // A timer due now makes the loop look at every timer against the moved clock; the
        // timers that fell due run with the next poll.
        bool looked = false;
        nudge.expires_at(SessionClock::now());
        nudge.async_wait([&looked](std::error_code) { looked = true; });
        while (!looked) io.run_one();
    }
}

// The same for a client on real sockets: runs `io` in real time until `done()` holds; false
// when `limit` passed first.
inline bool run_for_real(asio::io_context& io, const std::function<bool()>& done,
                         std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    io.restart();
    while (!done()) {
        if (std::chrono::steady_clock::now() >= end) return false;
        io.run_one_until(end);
        if (io.stopped()) io.restart();
    }
    return true;
}

// One protocol client on the test's loop over a scripted network, its events recorded as they
// are raised (no multiplexer). The test makes `client` on `io` with `recorder`, with
// `network.factory()`, or with real sockets and `real_time` set.
template <typename Client>
struct ScriptedSession {
    explicit ScriptedSession(bool listening = true) : recorder(listening) {}
    ~ScriptedSession() { stop(); }

    // Connects, then runs the receive loop; a failed first login does not end the loop, as
    // with the cluster client.
    void start() {
        started = true;
        asio::co_spawn(
            io,
            [c = client.get()]() -> asio::awaitable<void> {
                try {
                    co_await c->connect(c->io_context());
                } catch (const std::exception&) {
                }
                co_await c->receive_loop();
            },
            [this](std::exception_ptr) { loop_ended = true; });
    }
    // Stops the client and runs the loop until everything it started has ended.
    void stop() {
        if (!client || stopped) return;
        stopped = true;
        bool ended = false;
        asio::co_spawn(
            io, [c = client.get()]() -> asio::awaitable<void> { co_await c->stop(); },
            [&ended](std::exception_ptr) { ended = true; });
        EXPECT_TRUE(run([&] { return ended && (loop_ended || !started); }));
    }
    bool run(const std::function<bool()>& until) {
        return real_time ? run_for_real(io, until) : run_until(io, until);
    }
    // The events so far.
    const RecordingEvents& heard() const { return recorder; }

    RecordingEvents recorder;
    asio::io_context io;
    ScriptedNetwork network{io};
    std::unique_ptr<Client> client;
    bool real_time = false;
    bool started = false;
    bool loop_ended = false;
    bool stopped = false;
};

// Runs the exchange once without failures to count its steps, then once more for each step,
// with that step failing. `run(fail_at)` builds its own client and network and checks what
// must hold, and returns the number of steps it took.
template <typename Run>
void fail_each_step(Run&& run) {
    const std::size_t steps = run(std::optional<std::size_t>{});
    ASSERT_GT(steps, 0u);
    for (std::size_t i = 0; i < steps; ++i) {
        SCOPED_TRACE("step " + std::to_string(i) + " of " + std::to_string(steps) + " fails");
        run(std::optional<std::size_t>{i});
    }
}

}  // namespace tyx::test
