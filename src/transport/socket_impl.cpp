#include "transport/socket_impl.hpp"

#include <asio/buffer.hpp>
#include <asio/connect.hpp>
#include <asio/dispatch.hpp>
#include <asio/read.hpp>
#include <asio/read_until.hpp>
#include <asio/redirect_error.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>

#include <stdexcept>

namespace tyx {

namespace {

// Code recorded when connecting fails with something other than a system error.
constexpr std::int32_t kNonSystemErrorCode = 1000;

}  // namespace

std::unique_ptr<ISocket> ISocket::create(asio::io_context& io_context, std::string host,
                                         std::string port_or_service, bool use_ssl,
                                         const SslOptions& /*ssl_options*/) {
    if (use_ssl) throw std::runtime_error("TLS is not available in this build");
    return std::make_unique<TcpSocket>(io_context, std::move(host), std::move(port_or_service));
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

TcpSocket::TcpSocket(asio::io_context& io_context, std::string host, std::string port_or_service)
    : ISocket(io_context, std::move(host), std::move(port_or_service), false, SslOptions{}) {
    line_buffer_.prepare(128);
}

TcpSocket::~TcpSocket() {
    alive_.reset();
    close_socket();
}

bool TcpSocket::is_connected() const {
    return socket_ && socket_->is_open();
}

void TcpSocket::close_socket() {
    if (!is_connected()) return;
    std::error_code ec;
    socket_->shutdown(asio::ip::tcp::socket::shutdown_both, ec);
    if (ec) set_last_error(ec);
    ec.clear();
    socket_->close(ec);
    if (ec) set_last_error(ec);
}

asio::awaitable<bool> TcpSocket::connect_sync() {
    if (is_connected()) co_return true;
    try {
        asio::ip::tcp::resolver resolver(io_context_);
        socket_ = std::make_shared<asio::ip::tcp::socket>(io_context_);
        // Bytes left from an earlier connection must not be read as the start of this one.
        line_buffer_.consume(line_buffer_.size());
        auto endpoints = co_await resolver.async_resolve(host_, port_, asio::use_awaitable);
        co_await asio::async_connect(*socket_, endpoints, asio::use_awaitable);
        std::error_code ec;
        socket_->set_option(asio::ip::tcp::no_delay(true), ec);
        if (ec) throw std::system_error(ec, "set_option");
        clear_last_error();
        co_return true;
    } catch (const std::system_error& e) {
        socket_.reset();
        set_last_error(e.code().value(), e.what());
    } catch (const std::exception& e) {
        socket_.reset();
        set_last_error(kNonSystemErrorCode, e.what());
    }
    co_return false;
}

asio::awaitable<void> TcpSocket::disconnect_sync() {
    close_socket();
    co_return;
}

asio::awaitable<void> TcpSocket::send_all_sync(std::string_view data) {
    if (!is_connected()) co_return;
    co_await asio::async_write(*socket_, asio::buffer(data.data(), data.size()), asio::use_awaitable);
}

asio::awaitable<void> TcpSocket::receive_all_sync(std::uint8_t* buffer, std::uint64_t size) {
    // Completing without a connection would hand the caller a buffer that was never filled.
    if (!is_connected()) throw std::system_error(asio::error::not_connected);
    co_await asio::async_read(*socket_, asio::buffer(buffer, size), asio::use_awaitable);
}

asio::awaitable<std::uint64_t> TcpSocket::receive_line_sync(std::vector<char>& out) {
    if (!socket_) co_return 0;
    // read_until looks at the buffered bytes first: a second line that arrived with the
    // first is returned without touching the socket.
    const std::size_t length =
        co_await asio::async_read_until(*socket_, line_buffer_, '\n', asio::use_awaitable);
    out.resize(length);
    asio::buffer_copy(asio::buffer(out), line_buffer_.data(), length);
    line_buffer_.consume(length);
    co_return length;
}

void TcpSocket::send_async(std::shared_ptr<QMessage> message, SendCallback on_sent) {
    asio::dispatch(io_context_, [this, alive = std::weak_ptr<char>(alive_),
                                 entry = PendingSend{std::move(message), std::move(on_sent)}]() mutable {
        if (alive.expired()) return;
        enqueue_on_loop(std::move(entry));
    });
}

void TcpSocket::enqueue_on_loop(PendingSend entry) {
    const bool was_empty = enqueue(std::move(entry));
    // A write in progress picks the entry up when it completes; while disconnected it is kept
    // for send_kept_messages. Kept entries on a fresh connection wait for that flush too,
    // so they are never overtaken.
    if (was_empty && !writing_ && is_connected()) do_write();
}

void TcpSocket::do_write() {
    const std::size_t count = coalesce_pending(*write_buffer_);
    writing_ = true;
    ++batches_written_;
    asio::async_write(*socket_, asio::buffer(*write_buffer_),
                      [this, alive = std::weak_ptr<char>(alive_), count, stream = socket_,
                       bytes = write_buffer_](std::error_code ec, std::size_t) {
                          if (alive.expired()) return;
                          writing_ = false;
                          if (ec) {
                              set_last_error(ec);
                              drop_pending();
                              return;
                          }
                          complete_pending(count);
                          if (alive.expired()) return;  // a callback destroyed the socket
                          if (has_pending() && !writing_ && is_connected()) do_write();
                      });
}

asio::awaitable<void> TcpSocket::send_kept_messages() {
    while (is_connected() && has_pending()) {
        // A queued write already in flight drains the queue by itself; writing the same
        // entries again beside it would duplicate and interleave bytes.
        if (writing_) co_return;
        const std::size_t count = coalesce_pending(*write_buffer_);
        writing_ = true;
        ++batches_written_;
        auto stream = socket_;
        auto bytes = write_buffer_;
        std::error_code ec;
        co_await asio::async_write(*stream, asio::buffer(*bytes),
                                   asio::redirect_error(asio::use_awaitable, ec));
        writing_ = false;
        if (ec) throw std::system_error(ec);
        complete_pending(count);
    }
}

}  // namespace tyx
