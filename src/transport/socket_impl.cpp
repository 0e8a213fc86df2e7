#include "transport/socket_impl.hpp"

#include "transport/ssl_socket.hpp"
#include "transport/stream_socket_impl.hpp"

namespace tyx {

std::unique_ptr<ISocket> ISocket::create(asio::io_context& io_context, std::string host,
                                         std::string port_or_service, bool use_ssl,
                                         const SslOptions& ssl_options) {
    if (use_ssl)
        return std::make_unique<SslSocket>(io_context, std::move(host), std::move(port_or_service),
                                           ssl_options);
    return std::make_unique<TcpSocket>(io_context, std::move(host), std::move(port_or_service));
}

SocketFactory make_socket_factory(asio::io_context& io_context, bool use_ssl, SslOptions ssl_options,
                                  std::chrono::milliseconds connect_timeout) {
    return [&io_context, use_ssl, options = std::move(ssl_options),
            connect_timeout](const Endpoint& endpoint) {
        auto socket = ISocket::create(io_context, endpoint.host, endpoint.port_or_service, use_ssl, options);
        socket->set_connect_timeout(connect_timeout);
        return socket;
    };
}

ISocket::ISocket(asio::io_context& io_context, std::string host, std::string port_or_service, bool use_ssl,
                 SslOptions ssl_options)
    : io_context_(io_context),
      host_(std::move(host)),
      port_(std::move(port_or_service)),
      use_ssl_(use_ssl),
      ssl_options_(std::move(ssl_options)) {}

void ISocket::set_last_error(std::int32_t code, std::string message) {
    last_error_ = code;
    last_error_message_ = std::move(message);
}

bool ISocket::enqueue(PendingSend entry) {
    const bool was_empty = pending_sends_.empty();
    pending_sends_.push_back(std::move(entry));
    return was_empty;
}

std::size_t ISocket::coalesce_pending(std::vector<std::uint8_t>& out) const {
    // clear() keeps the capacity, so a steady flow reuses one allocation.
    out.clear();
    for (const auto& entry : pending_sends_) {
        const auto& bytes = entry.message->buffer;
        out.insert(out.end(), bytes.begin(), bytes.end());
    }
    return pending_sends_.size();
}

void ISocket::complete_pending(std::size_t count) {
    for (std::size_t i = 0; i < count && !pending_sends_.empty(); ++i) {
        // Pop before calling: a callback may queue more (send_async runs inline on the loop).
        SendCallback callback = std::move(pending_sends_.front().on_sent);
        pending_sends_.pop_front();
        if (callback) callback();
    }
}

template class StreamSocket<asio::ip::tcp::socket>;

TcpSocket::TcpSocket(asio::io_context& io_context, std::string host, std::string port_or_service)
    : StreamSocket(io_context, std::move(host), std::move(port_or_service), false, SslOptions{}) {}

std::shared_ptr<asio::ip::tcp::socket> TcpSocket::make_stream() {
    return std::make_shared<asio::ip::tcp::socket>(io_context_);
}

}  // namespace tyx
