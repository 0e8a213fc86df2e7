// A connection accepted by one of the sandbox's servers: plain TCP, or TLS once its handshake
// has completed. It offers what asio's composed reads and writes need (async_read_some,
// async_write_some, get_executor), so the servers serve both kinds with the same code.
#pragma once

#include <asio/ip/tcp.hpp>
#include <asio/ssl.hpp>

#include <sys/socket.h>

#include <memory>
#include <optional>
#include <string_view>
#include <system_error>
#include <utility>

namespace tyx::sandbox {

class SandboxStream {
public:
    using executor_type = asio::any_io_executor;
    using TlsStream = asio::ssl::stream<asio::ip::tcp::socket>;

    explicit SandboxStream(asio::ip::tcp::socket socket) : plain_(std::move(socket)) {}
    explicit SandboxStream(std::shared_ptr<TlsStream> tls) : tls_(std::move(tls)) {}

    executor_type get_executor() { return tls_ ? tls_->get_executor() : plain_->get_executor(); }
    bool is_tls() const { return tls_ != nullptr; }
    bool is_open() const { return tls_ ? tls_->next_layer().is_open() : plain_->is_open(); }

    template <typename Buffers, typename Token>
    auto async_read_some(const Buffers& buffers, Token&& token) {
        if (tls_) return tls_->async_read_some(buffers, std::forward<Token>(token));
        return plain_->async_read_some(buffers, std::forward<Token>(token));
    }

    template <typename Buffers, typename Token>
    auto async_write_some(const Buffers& buffers, Token&& token) {
        if (tls_) return tls_->async_write_some(buffers, std::forward<Token>(token));
        return plain_->async_write_some(buffers, std::forward<Token>(token));
    }

    void set_receive_buffer(int bytes, std::error_code& ec) {
        tcp().set_option(asio::socket_base::receive_buffer_size(bytes), ec);
    }
    void set_send_buffer(int bytes, std::error_code& ec) {
        tcp().set_option(asio::socket_base::send_buffer_size(bytes), ec);
    }

    // Plain TCP: calls f(bytes) with everything that has arrived and was not read yet, without
    // waiting; over TLS nothing (records cannot be read without the reader). Before a close
    // that would throw those bytes away.
    template <typename F>
    void take_unread(F&& f) {
        if (tls_ || !plain_ || !plain_->is_open()) return;
        char chunk[16384];
        for (;;) {
            const ssize_t n = ::recv(plain_->native_handle(), chunk, sizeof chunk, MSG_DONTWAIT);
            if (n <= 0) return;
            f(std::string_view(chunk, static_cast<std::size_t>(n)));
        }
    }

    // Ends the connection at once (no TLS close-notify: the peer sees the TCP connection end).
    void shutdown(asio::socket_base::shutdown_type what, std::error_code& ec) { tcp().shutdown(what, ec); }
    void close(std::error_code& ec) { tcp().close(ec); }

private:
    asio::ip::tcp::socket& tcp() { return tls_ ? tls_->next_layer() : *plain_; }

    std::optional<asio::ip::tcp::socket> plain_;
    std::shared_ptr<TlsStream> tls_;
};

}  // namespace tyx::sandbox
