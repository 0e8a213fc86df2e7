#include "center/tyx_client_center.hpp"

#include <algorithm>
#include <chrono>
#include <exception>
#include <iostream>
#include <stdexcept>
#include <utility>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/experimental/awaitable_operators.hpp>
#include <asio/redirect_error.hpp>
#include <asio/use_awaitable.hpp>

#include "center/center_codec.hpp"

namespace tyx {

namespace {

std::int64_t now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace

TyxClientCenter::TyxClientCenter(center::CenterEvents& events, std::string_view cluster_name,
                                 std::vector<Endpoint> endpoints, const SubscriptionConfig& config,
                                 asio::io_context& io_context, SocketFactory sockets)
    : ITyxClient(events, cluster_name, "center", std::move(endpoints), io_context, std::move(sockets)),
      center_events_(events),
      config_(config),
      hold_timer_(io_context),
      batches_(std::make_shared<UpdateBatchPool>(name_)),
      batch_(batches_->take()) {
    recreate_socket();
}

TyxClientCenter::~TyxClientCenter() = default;

// ---- Connections ----------------------------------------------------------------------------

void TyxClientCenter::recreate_socket() {
    handshaken_ = false;
    inbound_.replace(create_socket());
    outbound_.replace(create_socket());
}

asio::awaitable<bool> TyxClientCenter::try_connect_once() {
    // Both are attempted, so a failure of either leaves both closed for the next endpoint.
    // Both at once: an attempt then takes at most one connect timeout, not two.
    using namespace asio::experimental::awaitable_operators;
    const auto [inbound_ok, outbound_ok] = co_await (inbound_->connect_sync() && outbound_->connect_sync());
    if (inbound_ok && outbound_ok) co_return true;
    if (!stopping_) report_failed_attempt(inbound_ok ? *outbound_ : *inbound_);
    co_await disconnect_both();
    co_return false;
}

asio::awaitable<void> TyxClientCenter::disconnect_both() {
    co_await inbound_->disconnect_sync();
    co_await outbound_->disconnect_sync();
}

asio::awaitable<void> TyxClientCenter::connect(asio::io_context&) {
    const bool connected = co_await connect_first();
    if (!connected) co_return;
    // A first handshake that fails leaves both sockets closed, so that the receive loop finds
    // a lost connection and reconnects after the back-off, as after any later failure.
    std::exception_ptr failure;
    try {
        co_await do_handshake();
    } catch (const std::exception&) {
        failure = std::current_exception();
    }
    if (!failure) co_return;
    co_await disconnect_both();
    std::rethrow_exception(failure);
}

asio::awaitable<void> TyxClientCenter::do_reconnect() {
    const bool connected = co_await reconnect_to_next_endpoint();
    if (!connected) co_return;
    co_await do_handshake();
}

std::chrono::milliseconds TyxClientCenter::handshake_timeout() const {
    return std::chrono::milliseconds{config_.connect_timeout_ms > 0 ? config_.connect_timeout_ms : 0};
}

asio::awaitable<void> TyxClientCenter::do_handshake() {
    // Past the deadline both connections are closed, which fails the read in progress.
    struct Deadline {
        bool done = false;
        bool expired = false;
    };
    auto state = std::make_shared<Deadline>();
    const auto limit = handshake_timeout();
    SessionTimer deadline(io_context_);
    if (limit.count() > 0) {
        deadline.expires_after(limit);
        deadline.async_wait([this, state](std::error_code ec) {
            if (ec || state->done) return;
            state->expired = true;
            asio::co_spawn(io_context_, inbound_->disconnect_sync(), asio::detached);
            asio::co_spawn(io_context_, outbound_->disconnect_sync(), asio::detached);
        });
    }
    std::exception_ptr failure;
    const char* step = "inbound";
    try {
        co_await msg_direct_handshake(false);
        step = "outbound";
        co_await msg_direct_handshake(true);
    } catch (...) {
        failure = std::current_exception();
    }
    state->done = true;
    deadline.cancel();
    if (state->expired || failure) {
        // One text per failure, naming the connection and the step; logged once until the
        // session is next up.
        StateCause cause = StateCause::timed_out;
        std::string text = "Center handshake ";
        if (state->expired) {
            text += "timed out after " + std::to_string(limit.count()) + " ms waiting for the reply on the " +
                    step + " connection";
        } else {
            try {
                std::rethrow_exception(failure);
            } catch (const std::system_error& e) {
                cause = cause_of(e);
                text += std::string("failed on the ") + step + " connection: " + e.what();
            } catch (const std::exception& e) {
                cause = StateCause::login_refused;
                text += std::string("failed: ") + e.what();
            }
        }
        const bool repeat = note_lost(cause, text);
        if (!repeat && !stopping_) notify_log(3, text);
        throw std::runtime_error(text);
    }
    handshaken_ = true;
    record_login();
    notify_logged_in();
    // Before anything else can be written on the new connection: every table again, in one request.
    snapshot_requests_.clear();
    const std::vector<SubscriptionRequest> again = subscriptions_.reconnected();
    if (!again.empty()) send_request(again, false);
}

asio::awaitable<void> TyxClientCenter::msg_direct_handshake(bool outbound) {
    if (process_uid_.empty()) process_uid_ = center::generate_process_uid();
    ISocket& socket = outbound ? *outbound_ : *inbound_;
    const center::HandshakeMessage hello(outbound, process_uid_);
    co_await socket.send_all_sync(hello.view());
    center::HandshakeReply reply;
    ByteVector piece;
    while (const std::size_t n = reply.wanted()) {
        piece.resize(n);
        co_await socket.receive_all_sync(piece.data(), n);
        reply.take(ByteView(piece));
    }
}

asio::awaitable<void> TyxClientCenter::stop() {
    stopping_ = true;
    handshaken_ = false;
    end_pauses();
    hold_timer_.cancel();
    co_await disconnect_both();
    notify_disconnect();
    // No answer can come any more; whoever waits for one is released rather than left hanging.
    subscriptions_.release_all();
}

// ---- Receiving ------------------------------------------------------------------------------

void TyxClientCenter::process_payload(ByteView payload) {
    if (lost_changes_) return;  // the rest of this connection's frames come again after it
    monitor_->frames_received.fetch_add(1, std::memory_order_relaxed);
    payload_bytes_ = payload.size;
    try {
        decoder_.decode_payload(payload);
    } catch (const std::exception& e) {
        // A center sending nothing but junk costs a few lines per interval, not one per frame.
        for (const std::string& text : parse_error_lines_.admit(e.what(), LogLimiter::Clock::now()))
            std::cerr << "[tyx_center:" << name_ << "] parse error: " << text << std::endl;
        monitor_->decode_errors.fetch_add(1, std::memory_order_relaxed);
        monitor_->unexpected_inputs.fetch_add(1, std::memory_order_relaxed);
        if (!decoder_.reached_rows()) return;
        lost_changes_ = true;
        notify_log(3, std::string("Center message could not be decoded; reconnecting to subscribe again: ") +
                          e.what());
        note_lost(StateCause::protocol_error, e.what());
    }
}

asio::awaitable<void> TyxClientCenter::receive_loop() {
    // A first handshake that failed has said why: reading the closed connection would only
    // replace that cause with "not connected".
    bool connected = handshaken_;
    for (;;) {
        if (stopping_) co_return;
        if (connected) {
            // A fresh connection: whatever its socket kept goes out first.
            try {
                co_await outbound_->send_kept_messages();
                co_await inbound_->send_kept_messages();
            } catch (const std::exception&) {
                connected = false;
            }
        }
        if (connected && !stopping_) co_await read_frames();
        if (stopping_) co_return;

        // The connection is lost: close both halves, then reconnect. A failed handshake is
        // one more lost connection, retried after the next back-off.
        handshaken_ = false;
        co_await disconnect_both();
        notify_disconnect();
        try {
            co_await do_reconnect();
            connected = handshaken_;
        } catch (const std::exception&) {
            connected = false;  // do_handshake has told it
        }
    }
}

asio::awaitable<void> TyxClientCenter::hold_back() {
    center_events_.hold_reading(true);
    while (!stopping_ && center_events_.updates_held_back()) {
        hold_timer_.expires_after(kHoldBackPoll);
        std::error_code ignored;
        co_await hold_timer_.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
    }
    center_events_.hold_reading(false);
}

asio::awaitable<void> TyxClientCenter::read_frames() {
    frames_.reset();
    lost_changes_ = false;
    if (read_buffer_.empty()) read_buffer_.resize(center::kReadPieceSize);
    for (;;) {
        // Listeners far behind: nothing more is read until they catch up, so the server's flow
        // control holds the backlog rather than this process's memory.
        if (center_events_.updates_held_back()) {
            co_await hold_back();
            if (stopping_) co_return;
        }
        // Read and decoded in this frame of the coroutine: the read's memory and the socket's are
        // then all a read needs, which the thread's recycling keeps.
        try {
            const std::size_t n =
                co_await inbound_->receive_some_sync(read_buffer_.data(), read_buffer_.size());
            frames_.feed(ByteView(read_buffer_.data(), n),
                         [this](ByteView payload) { process_payload(payload); });
        } catch (const std::exception& e) {
            note_lost(cause_of(e), e.what());
            if (!stopping_) report_read_failure(e);
            co_return;
        }
        if (stopping_ || lost_changes_) co_return;
    }
}

// ---- Subscriptions --------------------------------------------------------------------------

void TyxClientCenter::subscribe(const std::vector<SubscriptionRequest>& requests,
                                std::function<void()> done) {
    const std::vector<SubscriptionRequest> added = subscriptions_.subscribe(requests, std::move(done));
    // Without an introduced connection the request would be lost with the socket, or written
    // ahead of the handshake; the tables are requested after the next handshake instead.
    if (added.empty() || !handshaken_) return;
    send_request(added, false);
}

void TyxClientCenter::unsubscribe(const std::vector<std::string>& table_names) {
    const std::vector<std::string> removed = subscriptions_.unsubscribe(table_names);
    if (removed.empty() || !handshaken_) return;
    std::vector<SubscriptionRequest> requests;
    requests.reserve(removed.size());
    for (const auto& name : removed) requests.push_back(SubscriptionRequest{name, {}, {}, false});
    send_request(requests, true);
}

void TyxClientCenter::send_request(const std::vector<SubscriptionRequest>& requests, bool remove) {
    auto message = std::make_shared<QMessage>();
    message->buffer.reserve(512);
    build_snapshot_request(message->buffer, requests, remove, center::kSnapshotRequestValue);
    ISocket::SendCallback on_sent;
    if (!remove) {
        std::vector<std::string> names;
        names.reserve(requests.size());
        for (const auto& r : requests) names.push_back(r.table_name);
        on_sent = [this, names = std::move(names)]() mutable {
            snapshot_requests_.push_back(SessionClock::now());
            center_events_.subscribed(name_, std::move(names));
        };
    }
    outbound_->send_async(std::move(message), std::move(on_sent));
}

void TyxClientCenter::build_snapshot_request(ByteVector& out,
                                             const std::vector<SubscriptionRequest>& requests, bool remove,
                                             std::uint32_t value) const {
    center::build_snapshot_request(out, requests, remove, value, process_uid_, now_ms());
}

void TyxClientCenter::update(TyxCenterIncrementalUpdatePtr update) {
    released_.push_back(std::move(update));
}

void TyxClientCenter::deliver_released(std::vector<std::string> answered) {
    if (released_.empty() && answered.empty()) return;
    std::vector<TyxCenterIncrementalUpdatePtr> updates;
    updates.swap(released_);
    if (events_.listener_count() <= 0) return;
    center_events_.updates_released(
        name_, center::ReleasedUpdates{monitor_, std::move(updates), std::move(answered)});
}

// ---- Decoder results ------------------------------------------------------------------------

void TyxClientCenter::add_updates(UpdateBatch& updates) {
    monitor_->updates_received.fetch_add(updates.size(), std::memory_order_relaxed);
    deliver_released();
    updates.keep_if([this](TyxCenterIncrementalUpdate& u) { return subscriptions_.tables().route(u); });
    if (updates.empty() || events_.listener_count() <= 0) {
        // Kept for the next message, unless one huge message made it too big to keep.
        if (batch_->capacity() > UpdateBatchPool::kMaxKeptRecords) batch_ = batches_->take();
        return;
    }
    std::unique_ptr<UpdateBatch> batch = std::exchange(batch_, batches_->take());
    center_events_.update_batch(center::DeliveredBatch(batches_, std::move(batch), monitor_), payload_bytes_);
}

void TyxClientCenter::table_schema(const std::string& table_name, CenterTableSchema schema) {
    subscriptions_.tables().set_schema(table_name, std::move(schema));
}

void TyxClientCenter::snapshot_response() {
    monitor_->snapshot_answers.fetch_add(1, std::memory_order_relaxed);
    if (!snapshot_requests_.empty()) {
        monitor_->snapshot_latency.add(SessionClock::now() - snapshot_requests_.front());
        snapshot_requests_.pop_front();
    }
    // The released rows and the news that the tables are live travel in one job, so that a
    // listener sees the whole snapshot before anything else.
    deliver_released(subscriptions_.snapshot_answered(decoder_.last_seqnum()));
    subscriptions_.release_answered();
}

void TyxClientCenter::log(std::uint8_t level, std::string_view text) {
    // One per message the center sends: a center that sends nothing else must not flood the logs.
    limited_log(level, std::string(text));
}

}  // namespace tyx
