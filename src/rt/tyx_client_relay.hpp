// TyxClientRelay: the session with one relay shard of one cluster. It logs in, writes every
// message routed to it in order, turns the relay's status and command lines into listener
// events, reconnects after a loss (re-sending what was not confirmed written) and logs out when
// stopped. Lives on one worker loop of the pool; every member runs there.
#pragma once

#include <asio/awaitable.hpp>
#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>

#include <cstdint>
#include <deque>
#include <memory>
#include <string_view>
#include <vector>

#include "core/tyx_client_if.hpp"
#include "rt/message.hpp"
#include "transport/socket_impl.hpp"
#include "tyx/config.hpp"

namespace tyx {

class TyxClientRelay : public ITyxClient {
public:
    TyxClientRelay(TyxClientMultiplex& multiplex, std::string_view cluster_name, std::vector<Endpoint> endpoints,
                   bool use_ssl, SslOptions ssl_options, PublicationConfig config, asio::io_context& io_context);
    ~TyxClientRelay() override;

    asio::awaitable<void> connect(asio::io_context& io_context) override;
    asio::awaitable<void> receive_loop() override;
    asio::awaitable<void> stop() override;
    void recreate_socket() override;
    asio::awaitable<bool> try_connect_once() override;

    // Queues a message for writing (relay loop only). Dropped once stopping. While logged out
    // it waits in `outgoing` and is written after the next login.
    void send_async(std::shared_ptr<rt::Message> message);
    // The same for several messages in order, on the relay's loop, with one hand-off to the socket.
    void send_batch(const std::vector<std::shared_ptr<rt::Message>>& messages);

    // The relay's text handling, exposed for tests: one received line, line feed included or not.
    void parse_and_dispatch(std::string_view line);

    asio::io_context& io_context() const { return io_context_; }
    bool logged_in() const { return logged_in_; }
    std::size_t outgoing_size() const { return outgoing_.size(); }
    ISocket* socket() const { return socket_.get(); }
    // Lines dispatched, and status or command lines decoded, since construction.
    std::uint64_t lines_received() const { return lines_received_; }
    std::uint64_t lines_decoded() const { return lines_decoded_; }

private:
    asio::awaitable<void> do_login();
    asio::awaitable<void> do_reconnect();
    // Hands every message of `outgoing` to the current socket again, in order.
    void resend_outgoing();
    void hand_to_socket(const std::shared_ptr<rt::Message>& message);
    void on_written();

    asio::io_context& io_context_;
    PublicationConfig config_;
    bool use_ssl_;
    SslOptions ssl_options_;
    SocketSlot<> socket_;
    asio::steady_timer timer_;
    std::int64_t sequence_ = 0;
    std::deque<std::shared_ptr<rt::Message>> outgoing_;
    bool logged_in_ = false;
    // Raised with every new socket: a write confirmation from a replaced socket refers to
    // messages that are being written again, and must not consume `outgoing`.
    std::uint64_t generation_ = 0;
    std::uint64_t lines_received_ = 0;
    std::uint64_t lines_decoded_ = 0;
};

}  // namespace tyx
