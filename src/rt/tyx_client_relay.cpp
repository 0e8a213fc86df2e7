#include "rt/tyx_client_relay.hpp"

#include <asio/bind_allocator.hpp>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/post.hpp>
#include <asio/redirect_error.hpp>
#include <asio/use_awaitable.hpp>

#include <atomic>
#include <system_error>

#include "rt/messages.hpp"
#include "rt/relay_parse.hpp"

namespace tyx {

TyxClientRelay::TyxClientRelay(rt::RelayEvents& events, std::string_view cluster_name,
                               std::vector<Endpoint> endpoints, PublicationConfig config,
                               asio::io_context& io_context, SocketFactory sockets,
                               std::shared_ptr<rt::RelayOutbox> outbox)
    : SingleSocketClient(events, cluster_name, "relay", std::move(endpoints), io_context,
                         std::move(sockets)),
      relay_events_(events),
      config_(std::move(config)),
      outbox_(std::move(outbox)),
      wake_slot_(std::make_shared<JobSlot>()),
      wake_timer_(io_context) {
    if (!outbox_) outbox_ = make_outbox(events_, name_, name_, config_);
    monitor_->set_relay_counters([outbox = outbox_] { return outbox->counters(); });
    outbox_->attach(this);
    recreate_socket();
}

void TyxClientRelay::recreate_socket() {
    // The slot destroys the socket it retired before: no publisher may still hold it.
    outbox_->disable_direct();
    SingleSocketClient::recreate_socket();
}

std::shared_ptr<rt::RelayOutbox> TyxClientRelay::make_outbox(SessionEvents& events,
                                                             const std::string& relay_name,
                                                             std::string description,
                                                             const PublicationConfig& config) {
    return std::make_shared<rt::RelayOutbox>(
        rt::RelayOutbox::limits_of(config), std::move(description),
        [&events, relay_name](std::string text) { events.log(relay_name, 3, std::move(text)); },
        &events.sent_listener_counter());
}

TyxClientRelay::~TyxClientRelay() {
    outbox_->close();
}

asio::awaitable<void> TyxClientRelay::connect(asio::io_context&) {
    const bool connected = co_await connect_first();
    if (!connected) co_return;
    co_await do_login();
}

asio::awaitable<void> TyxClientRelay::do_login() {
    if (config_.options & PublicationConfig::ENABLE_SEND_SEQNUM) ++sequence_;
    auto login = rt::make_login_message(config_, sequence_);
    // A stop that comes while the login is being written waits for it: the writer it starts
    // sends what was published before the logout.
    logging_in_ = true;
    try {
        co_await socket_->send_all_sync(login->view());
    } catch (...) {
        end_login();
        throw;
    }
    outbox_->begin_connection(login->view().size());
    login_time_ = SessionClock::now();
    confirmed_ = false;
    ack_poll_ = kFirstAckPoll;
    logged_in_ = true;
    // Conflation works on what waits in the outbox: the kernel keeps only a little unsent.
    if (config_.conflate_objects) socket_->limit_unsent_bytes(kConflatingUnsentBytes);
    record_login();
    notify_message_sent(std::string(rt::without_line_feed(login->view())));
    notify_logged_in();
    // What was published before this login waits in the outbox (after a reconnection, what
    // the old connection did not confirm is at its front): the writer sends it first.
    start_writer();
    end_login();
}

void TyxClientRelay::end_login() {
    logging_in_ = false;
    for (SessionTimer* waiter : writer_waiters_) waiter->cancel();
}

asio::awaitable<void> TyxClientRelay::do_reconnect() {
    for (;;) {
        const bool connected = co_await reconnect_to_next_endpoint();
        if (!connected) co_return;
        // A login that cannot be written loses this connection too: the next one is tried after
        // the back-off, as after any loss, rather than the session ending without a word.
        bool lost = false;
        try {
            co_await do_login();
        } catch (const std::system_error& e) {
            lost = true;
            note_lost(cause_of(e), e.what());
            if (!stopping_) report_tls_error(e);
        }
        if (!lost || stopping_) co_return;
        co_await socket_->disconnect_sync();
    }
}

void TyxClientRelay::start_writer() {
    if (writer_running_) return;
    writer_running_ = true;
    asio::co_spawn(
        io_context_, [this]() -> asio::awaitable<void> { co_await write_loop(); }, asio::detached);
}

asio::awaitable<void> TyxClientRelay::write_loop() {
    for (;;) {
        if (!logged_in_) break;
        // Acknowledgements are read at most once per first poll interval while publishing goes
        // on (each read is a system call), and at once for a flush or the stop; the outbox takes
        // them with what is pending, under one lock.
        const bool due = closing_ || outbox_->flush_waiting() || SessionClock::now() >= next_ack_check_;
        std::optional<std::uint64_t> acked;
        const bool acknowledging = due && read_acknowledged(acked);
        DirectWriteTarget* const direct = socket_->can_write_now() ? socket_.get() : nullptr;
        auto turn = outbox_->take_turn(!closing_, direct, acknowledging, acked);
        rt::RelayOutbox::BlockList batch = std::move(turn.blocks);
        if (batch.empty()) {
            // Stopping: done once the relay's host has everything.
            const bool awaited = turn.unacknowledged > 0;
            if (closing_ && !awaited) break;
            // Idle, the writer still looks now and then: a publisher may have written straight
            // to the connection meanwhile, and that waits for its acknowledgement too.
            wake_timer_.expires_after(awaited ? next_ack_poll(turn.delivered > 0) : kLongestAckPoll);
            std::error_code ignored;
            co_await wake_timer_.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
            continue;
        }
        ack_poll_ = kFirstAckPoll;
        flush_poll_ = kFirstFlushPoll;
        rt::RelayOutbox::BlockList done;
        bool failed = false;
        while (!batch.empty()) {
            const rt::RelayOutbox::Block& block = *batch.front();
            // Writing to a closed socket does nothing: that must not count as written.
            if (!socket_->is_connected()) {
                failed = true;
                break;
            }
            try {
                // What a publisher already wrote straight to the connection is not written again.
                const std::size_t from = block.begin + block.written_prefix;
                if (from < block.size)
                    co_await socket_->send_all_sync(
                        std::string_view(block.data.get() + from, block.size - from));
            } catch (const std::system_error& e) {
                failed = true;
                if (!stopping_) report_tls_error(e);
                break;
            }
            done.push_back(batch.pop_front());
        }
        if (!done.empty()) {
            // Without listeners of written messages there is nobody to tell, and no reason to
            // hold the blocks.
            const bool report = events_.sent_listener_count() > 0;
            outbox_->written(done, report);
            if (report) report_written(std::move(done));
        }
        if (failed) {
            // Unwritten messages go back to the front of the outbox for the next connection;
            // closing ends the receive loop's read, which reconnects.
            outbox_->give_back(std::move(batch));
            outbox_->disable_direct();
            co_await socket_->disconnect_sync();
            break;
        }
    }
    writer_running_ = false;
    for (SessionTimer* waiter : writer_waiters_) waiter->cancel();
}

asio::awaitable<void> TyxClientRelay::end_writer() {
    // Publishers leave what comes to the writer: its connection is closing.
    outbox_->disable_direct();
    wake_timer_.cancel();
    co_await socket_->disconnect_sync();
    co_await wait_for_writer(SessionClock::time_point::max());
}

asio::awaitable<bool> TyxClientRelay::wait_for_writer(SessionClock::time_point deadline) {
    // The stop and the receive loop may both wait: each on a timer of its own, which the writer
    // cancels as it ends, and a login as it has started the writer.
    while (logging_in_ || writer_running_) {
        if (SessionClock::now() >= deadline) co_return false;
        SessionTimer ended(io_context_);
        ended.expires_at(deadline);
        writer_waiters_.push_back(&ended);
        std::error_code ignored;
        co_await ended.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
        std::erase(writer_waiters_, &ended);
    }
    co_return true;
}

bool TyxClientRelay::read_acknowledged(std::optional<std::uint64_t>& acked) {
    next_ack_check_ = SessionClock::now() + kFirstAckPoll;
    acked = socket_->acknowledged_bytes();
    if (acked && !confirmed_) {
        if (SessionClock::now() - login_time_ < kRefusalWindow && *acked < kRefusalBytes) return false;
        confirmed_ = true;
    }
    return true;
}

bool TyxClientRelay::check_acknowledged() {
    std::optional<std::uint64_t> acked;
    return read_acknowledged(acked) && outbox_->acknowledge(acked) > 0;
}

std::chrono::microseconds TyxClientRelay::next_ack_poll(bool progress) {
    std::chrono::microseconds poll;
    if (outbox_->flush_waiting()) {
        // From the last write on, each look waits twice as long as the one before.
        poll = flush_poll_;
        flush_poll_ = std::min(flush_poll_ * 2, kFirstAckPoll);
        ack_poll_ = kFirstAckPoll;
    } else {
        flush_poll_ = kFirstFlushPoll;
        ack_poll_ = progress || closing_ ? kFirstAckPoll : std::min(ack_poll_ * 2, kLongestAckPoll);
        poll = ack_poll_;
    }
    // An unconfirmed connection is confirmed by time as well: look again when its window ends.
    if (!confirmed_) {
        const auto until_confirmed =
            std::chrono::ceil<std::chrono::microseconds>(login_time_ + kRefusalWindow - SessionClock::now());
        if (until_confirmed.count() > 0 && until_confirmed < poll) return until_confirmed;
    }
    return poll;
}

void TyxClientRelay::settle_lost_connection() {
    const auto acked = socket_->acknowledged_bytes();
    const bool refused =
        acked && !confirmed_ && SessionClock::now() - login_time_ < kRefusalWindow && *acked < kRefusalBytes;
    if (!refused) outbox_->acknowledge(acked);
    outbox_->connection_lost();
}

void TyxClientRelay::discard_at_stop(bool was_logged_in) {
    const std::uint64_t discarded = outbox_->close();
    if (discarded == 0) return;
    const std::string why = was_logged_in ? "its host had not acknowledged them within " +
                                                std::to_string(config_.stop_flush_ms) + " ms of the stop"
                                          : "it was not connected when the session stopped";
    notify_log(3, "Discarded " + std::to_string(discarded) + " unacknowledged messages for relay " +
                      outbox_->description() + " (" + socket_->host() + ":" + socket_->port_or_service() +
                      "): " + why);
}

void TyxClientRelay::report_written(rt::RelayOutbox::BlockList blocks) {
    relay_events_.messages_written(name_, rt::WrittenMessages(outbox_, std::move(blocks)));
}

void TyxClientRelay::post_wake() {
    asio::post(io_context_, asio::bind_allocator(JobSlotAllocator<void, std::shared_ptr<JobSlot>>(wake_slot_),
                                                 [outbox = outbox_] { outbox->deliver_wake(); }));
}

void TyxClientRelay::wake_on_loop() {
    wake_timer_.cancel();
}

asio::awaitable<void> TyxClientRelay::receive_loop() {
    if (stopping_) co_return;
    std::vector<char> line;
    line.reserve(256);
    for (;;) {
        bool failed = false;
        try {
            const std::uint64_t n = co_await socket_->receive_line_sync(line);
            if (n == 0) {  // no connection to read from
                failed = true;
                note_lost(StateCause::closed_by_peer, "the relay closed the connection");
            }
            // A relay that speaks has accepted the connection.
            if (n > 0) confirmed_ = true;
            if (n >= 2) parse_and_dispatch(std::string_view(line.data(), n));
        } catch (const std::system_error& e) {
            failed = true;
            note_lost(cause_of(e), e.what());
            if (!stopping_) report_read_failure(e);
        }
        if (stopping_) co_return;
        if (!failed) continue;

        logged_in_ = false;
        // The connection is over: close our side now (a peer waiting for it must not wait
        // until the next reconnection), and take back what the writer had not written and what
        // the relay's host had not acknowledged.
        co_await end_writer();
        settle_lost_connection();
        if (stopping_) co_return;
        notify_disconnect();
        if (config_.options & PublicationConfig::DISABLE_AUTO_RECONNECT) co_return;
        co_await do_reconnect();
        if (stopping_) co_return;
    }
}

asio::awaitable<void> TyxClientRelay::stop() {
    // Everything published before the stop is written, and acknowledged by the relay's host,
    // before the logout.
    closing_ = true;
    const bool was_logged_in = logged_in_ || logging_in_;
    if (logging_in_ || writer_running_) {
        wake_timer_.cancel();
        // A relay that stopped reading must not hold the stop for ever: past the deadline the
        // connection is closed, which ends the write in progress.
        const auto deadline =
            SessionClock::now() + std::chrono::milliseconds(std::max<std::int64_t>(config_.stop_flush_ms, 0));
        const bool flushed = co_await wait_for_writer(deadline);
        if (!flushed) co_await end_writer();
    }
    if (config_.options & PublicationConfig::ENABLE_SEND_SEQNUM) ++sequence_;
    auto logout = rt::make_logout_message(config_, sequence_);
    try {
        co_await socket_->send_all_sync(logout->view());
        notify_message_sent(std::string(rt::without_line_feed(logout->view())));
    } catch (const std::system_error&) {
        // The connection is already gone; there is nobody to say goodbye to.
    }
    // What the host acknowledged up to the end is delivered, whatever the wait gave up on.
    check_acknowledged();
    stopping_ = true;
    discard_at_stop(was_logged_in);
    end_pauses();
    wake_timer_.cancel();
    co_await socket_->disconnect_sync();
}

void TyxClientRelay::parse_and_dispatch(std::string_view text) {
    const rt::RelayLine line = rt::split_relay_line(text);
    if (line.kind == rt::RelayLine::Kind::Empty) return;
    ++lines_received_;
    if (line.kind == rt::RelayLine::Kind::Unknown) {
        report_unexpected(2, "Received message with unknown type: ", rt::without_line_feed(text));
        return;
    }
    // Status and command lines are only decoded for someone to hear them.
    if (events_.listener_count() <= 0) return;
    ++lines_decoded_;
    if (line.kind == rt::RelayLine::Kind::Status) {
        auto s = rt::parse_status_message(line.fields);
        events_.message_received(name_, s.now, s.seqnum, s.status, std::move(s.message));
        return;
    }
    relay_events_.command(name_, rt::parse_execute_command_message(line.fields));
}

}  // namespace tyx
