#include "rt/tyx_client_relay.hpp"

#include <system_error>

#include "rt/messages.hpp"
#include "rt/relay_parse.hpp"

namespace tyx {
namespace {

// The text reported by on_message_sent: the message without its closing line feed. A raw
// message that does not end with one is reported whole.
std::string reported_text(const rt::Message& message) {
    std::string_view text = message.view();
    if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
    return std::string(text);
}

}  // namespace

TyxClientRelay::TyxClientRelay(TyxClientMultiplex& multiplex, std::string_view cluster_name,
                               std::vector<Endpoint> endpoints, bool use_ssl, SslOptions ssl_options,
                               PublicationConfig config, asio::io_context& io_context)
    : ITyxClient(multiplex, cluster_name, "relay", std::move(endpoints)),
      io_context_(io_context),
      config_(std::move(config)),
      use_ssl_(use_ssl),
      ssl_options_(std::move(ssl_options)),
      timer_(io_context) {
    recreate_socket();
}

TyxClientRelay::~TyxClientRelay() = default;

void TyxClientRelay::recreate_socket() {
    socket_.replace(create_socket(io_context_, use_ssl_, ssl_options_));
    ++generation_;
    socket_->set_on_batch_written([this, generation = generation_] {
        if (generation == generation_) flush_message_sent();
    });
}

asio::awaitable<bool> TyxClientRelay::try_connect_once() {
    const bool connected = co_await socket_->connect_sync();
    if (!connected) report_failed_attempt(*socket_);
    co_return connected;
}

asio::awaitable<void> TyxClientRelay::connect(asio::io_context&) {
    const bool connected = co_await connect_first(timer_);
    if (!connected) co_return;
    co_await do_login();
}

asio::awaitable<void> TyxClientRelay::do_login() {
    if (config_.options & PublicationConfig::ENABLE_SEND_SEQNUM) ++sequence_;
    auto login = rt::make_login_message(config_, sequence_);
    co_await socket_->send_all_sync(login->view());
    logged_in_ = true;
    record_login();
    notify_message_sent(reported_text(*login));
    notify_logged_in();
    // Messages published before this login were kept only in `outgoing` (nothing hands them
    // to a socket while logged out); after a reconnection the ones the old socket did not
    // confirm are there too. Both go out now, in their original order.
    resend_outgoing();
}

asio::awaitable<void> TyxClientRelay::do_reconnect() {
    const bool connected = co_await reconnect_to_next_endpoint(timer_);
    if (!connected) co_return;
    co_await do_login();
}

asio::awaitable<void> TyxClientRelay::receive_loop() {
    if (stopping_) co_return;
    co_await socket_->send_kept_messages();
    if (stopping_) co_return;
    std::vector<char> line;
    line.reserve(256);
    for (;;) {
        bool failed = false;
        try {
            const std::uint64_t n = co_await socket_->receive_line_sync(line);
            if (n == 0) failed = true;  // no connection to read from
            if (n >= 2) parse_and_dispatch(std::string_view(line.data(), n));
        } catch (const std::system_error& e) {
            failed = true;
            if (!stopping_) report_tls_error(e);
        }
        if (stopping_) co_return;
        if (!failed) continue;

        logged_in_ = false;
        notify_disconnect();
        if (config_.options & PublicationConfig::DISABLE_AUTO_RECONNECT) co_return;
        co_await do_reconnect();
        if (stopping_) co_return;
    }
}

asio::awaitable<void> TyxClientRelay::stop() {
    if (config_.options & PublicationConfig::ENABLE_SEND_SEQNUM) ++sequence_;
    auto logout = rt::make_logout_message(config_, sequence_);
    try {
        co_await socket_->send_all_sync(logout->view());
        notify_message_sent(reported_text(*logout));
    } catch (const std::system_error&) {
        // The connection is already gone; there is nobody to say goodbye to.
    }
    stopping_ = true;
    timer_.cancel();
    co_await socket_->disconnect_sync();
}

void TyxClientRelay::send_async(std::shared_ptr<rt::Message> message) {
    if (stopping_) return;
    outgoing_.push_back(message);
    if (logged_in_) hand_to_socket(message);
}

void TyxClientRelay::send_batch(const std::vector<std::shared_ptr<rt::Message>>& messages) {
    if (stopping_) return;
    std::vector<ISocket::PendingSend> entries;
    if (logged_in_) entries.reserve(messages.size());
    for (const auto& message : messages) {
        outgoing_.push_back(message);
        if (logged_in_)
            entries.push_back({message, [this, generation = generation_] {
                                   if (generation == generation_) on_written();
                               }});
    }
    socket_->send_batch_on_loop(std::move(entries));
}

void TyxClientRelay::hand_to_socket(const std::shared_ptr<rt::Message>& message) {
    socket_->send_async(message, [this, generation = generation_] {
        if (generation == generation_) on_written();
    });
}

void TyxClientRelay::on_written() {
    if (outgoing_.empty()) return;
    std::shared_ptr<rt::Message> written = std::move(outgoing_.front());
    outgoing_.pop_front();
    // Without listeners there is nobody to tell, and no reason to copy the text.
    // The texts of one written batch reach the listeners in one job (see the socket's batch hook).
    if (multiplex_.listener_count() > 0) queue_message_sent(reported_text(*written));
}

void TyxClientRelay::resend_outgoing() {
    std::deque<std::shared_ptr<rt::Message>> pending;
    pending.swap(outgoing_);
    for (auto& message : pending) {
        outgoing_.push_back(message);
        hand_to_socket(message);
    }
}

void TyxClientRelay::parse_and_dispatch(std::string_view line) {
    if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
    if (line.empty()) return;
    ++lines_received_;
    const char type = line.front();
    const std::string_view fields = line.substr(1);
    if (type == 'M' || type == 'E') {
        // Status and command lines are only decoded for someone to hear them.
        if (multiplex_.listener_count() <= 0) return;
        ++lines_decoded_;
        if (type == 'M') {
            auto s = rt::parse_status_message(fields);
            notify([s = std::move(s)](TyxClientListener& l, TyxClientMultiplex& m, std::string_view name) {
                l.on_message_received(m, name, s.now, s.seqnum, s.status, s.message);
            });
        } else {
            auto c = rt::parse_execute_command_message(fields);
            notify([c = std::move(c)](TyxClientListener& l, TyxClientMultiplex& m, std::string_view name) {
                l.on_command(m, name, c.request_id, c.cmd, c.user_name, c.object_type, c.object_id, c.params);
            });
        }
        return;
    }
    notify_log(2, "Received message with unknown type: " + std::string(fields));
}

}  // namespace tyx
