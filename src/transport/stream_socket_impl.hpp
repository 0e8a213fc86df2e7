// Member definitions of StreamSocket, included by the file that instantiates it for one
// stream type (socket_impl.cpp for TCP, ssl_socket.cpp for TLS).
#pragma once

#include <asio/buffer.hpp>
#include <asio/connect.hpp>
#include <asio/dispatch.hpp>
#include <asio/read.hpp>
#include <asio/redirect_error.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <optional>
#include <span>
#include <stdexcept>
#include <string_view>
#include <type_traits>
#include <utility>

#include "transport/socket_impl.hpp"
#include "transport/tcp_progress.hpp"

namespace tyx {

// Code recorded when connecting fails with something other than a system error.
inline constexpr std::int32_t kNonSystemErrorCode = 1000;

template <typename Stream>
StreamSocket<Stream>::StreamSocket(asio::io_context& io_context, std::string host,
                                   std::string port_or_service, bool use_ssl, SslOptions ssl_options)
    : ISocket(io_context, std::move(host), std::move(port_or_service), use_ssl, std::move(ssl_options)) {}

template <typename Stream>
StreamSocket<Stream>::~StreamSocket() {
    alive_.reset();
    if (attempt_) attempt_->abort();
    close_socket();
}

template <typename Stream>
bool StreamSocket<Stream>::is_connected() const {
    return established_ && stream_ && stream_->lowest_layer().is_open();
}

template <typename Stream>
bool StreamSocket<Stream>::peer_closed() const {
    if (!is_connected()) return false;
    // The TCP state, below any bytes (a TLS alert included) still waiting to be read.
    pollfd p{stream_->lowest_layer().native_handle(), POLLRDHUP, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

template <typename Stream>
void StreamSocket<Stream>::close_socket() {
    if (!stream_ || !stream_->lowest_layer().is_open()) return;
    auto& socket = stream_->lowest_layer();
    std::error_code ec;
    socket.shutdown(asio::ip::tcp::socket::shutdown_both, ec);
    if (ec) set_last_error(ec);
    ec.clear();
    keep_final_ack(*stream_);
    end_writes_now(socket.native_handle());
    socket.close(ec);
    if (ec) set_last_error(ec);
}

template <typename Stream>
void StreamSocket<Stream>::close_after_failure(Stream& stream, const std::error_code& ec) {
    // Closed at once rather than when the socket object is replaced: a server that ends its
    // side and waits for ours would otherwise wait for as long as the object is kept. Only
    // the TCP socket is closed; the stream object stays with the operations still completing
    // on it, which fail on the closed socket.
    auto& socket = stream.lowest_layer();
    if (!socket.is_open()) return;  // closed on purpose, or by an earlier failure: not a new cause
    std::error_code ignored;
    // After a reset the shutdown fails too; that would only hide the cause.
    socket.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
    keep_final_ack(stream);
    end_writes_now(socket.native_handle());
    socket.close(ignored);
    // An operation of a connection already replaced must not speak for the current one.
    if (&stream != stream_.get()) return;
    failure_ = ec;
    set_last_error(ec);
}

template <typename Stream>
void StreamSocket<Stream>::end_writes_now(int fd) {
    // Taking the lock waits for a write in progress on the descriptor. An older connection's
    // close leaves the current connection's writes alone.
    std::lock_guard lock(write_now_mutex_);
    if (write_now_fd_ == fd) write_now_fd_ = -1;
}

template <typename Stream>
bool StreamSocket<Stream>::can_write_now() const {
    if constexpr (std::is_same_v<Stream, asio::ip::tcp::socket>) return is_connected();
    return false;
}

template <typename Stream>
std::size_t StreamSocket<Stream>::try_write_now(std::string_view data) {
    std::lock_guard lock(write_now_mutex_);
    if (write_now_fd_ < 0) return 0;
    // A full socket buffer or a broken connection writes nothing: the loop's next write or read
    // on the connection meets the failure and ends it.
    const ssize_t n = ::send(write_now_fd_, data.data(), data.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    return n > 0 ? static_cast<std::size_t>(n) : 0;
}

template <typename Stream>
void StreamSocket<Stream>::limit_unsent_bytes(std::size_t bytes) {
    if (!stream_ || !established_) return;
    const int value = static_cast<int>(bytes);
    ::setsockopt(stream_->lowest_layer().native_handle(), IPPROTO_TCP, TCP_NOTSENT_LOWAT, &value,
                 sizeof value);
}

template <typename Stream>
asio::awaitable<void> StreamSocket<Stream>::after_connect(Stream& /*stream*/) {
    co_return;
}

template <typename Stream>
struct StreamSocket<Stream>::ConnectAttempt {
    explicit ConnectAttempt(asio::io_context& io_context) : resolver(io_context), deadline(io_context) {}

    // Ends the attempt wherever it is: the resolution is cancelled, the connection closed.
    void abort() {
        resolver.cancel();
        if (!stream) return;
        std::error_code ignored;
        stream->lowest_layer().close(ignored);
    }

    asio::ip::tcp::resolver resolver;
    asio::steady_timer deadline;
    std::shared_ptr<Stream> stream;
    const char* step = "resolving";
    bool expired = false;  // the connect timeout passed
    bool ended = false;    // disconnect_sync ended it
};

template <typename Stream>
asio::awaitable<bool> StreamSocket<Stream>::connect_sync() {
    if (is_connected()) co_return true;
    established_ = false;
    failure_.clear();
    const auto attempt = std::make_shared<ConnectAttempt>(io_context_);
    attempt_ = attempt;
    std::int32_t code = 0;
    std::string text;
    // Each step checks the flags once it resumes: a step that completed just as the deadline
    // or a disconnect came would otherwise start the next one (asio reopens a closed socket
    // to connect it).
    const auto check = [&attempt] {
        if (attempt->expired || attempt->ended) throw std::system_error(asio::error::operation_aborted);
    };
    try {
        stream_.reset();
        // Bytes left from an earlier connection must not be read as the start of this one.
        lines_.clear();
        attempt->step = "resolving";
        // The resolver takes a number beyond 65535 modulo 65536: the connection would go to
        // another port than the one asked for.
        if (!port_.empty() && port_.size() <= 20 &&
            port_.find_first_not_of("0123456789") == std::string::npos && std::stoull(port_) > 65535)
            throw std::system_error(asio::error::invalid_argument,
                                    "port " + port_ + " is out of range (0 to 65535)");
        attempt->step = "TLS setup";  // only a TLS stream can fail to be made
        stream_ = make_stream();
        attempt->stream = stream_;
        attempt->step = "resolving";
        if (connect_timeout_.count() > 0) {
            attempt->deadline.expires_after(connect_timeout_);
            attempt->deadline.async_wait([weak = std::weak_ptr<ConnectAttempt>(attempt)](std::error_code ec) {
                const auto a = weak.lock();
                if (ec || !a) return;
                a->expired = true;
                a->abort();
            });
        }
        auto endpoints = co_await attempt->resolver.async_resolve(host_, port_, asio::use_awaitable);
        check();
        attempt->step = "TCP connect";
        // The stream is held locally: the socket object may replace it only after this ends.
        const auto stream = stream_;
        co_await asio::async_connect(stream->lowest_layer(), endpoints, asio::use_awaitable);
        check();
        std::error_code ec;
        stream->lowest_layer().set_option(asio::ip::tcp::no_delay(true), ec);
        if (ec) throw std::system_error(ec, "set_option");
        attempt->step = "TLS handshake";
        co_await after_connect(*stream);
        check();
        attempt->deadline.cancel();
        if (attempt_ == attempt) attempt_.reset();
        established_ = true;
        if constexpr (std::is_same_v<Stream, asio::ip::tcp::socket>) {
            std::lock_guard lock(write_now_mutex_);
            write_now_fd_ = stream->native_handle();
        }
        begin_ack_tracking();
        clear_last_error();
        co_return true;
    } catch (const std::system_error& e) {
        code = e.code().value();
        text = e.what();
    } catch (const std::exception& e) {
        code = kNonSystemErrorCode;
        text = e.what();
    }
    attempt->deadline.cancel();
    if (attempt_ == attempt) attempt_.reset();
    stream_.reset();
    const std::string where = std::string(attempt->step) + " with " + host_ + ":" + port_;
    if (attempt->expired) {
        set_last_error(static_cast<std::int32_t>(asio::error::timed_out),
                       "Timed out after " + std::to_string(connect_timeout_.count()) + " ms at " + where);
    } else if (attempt->ended) {
        set_last_error(static_cast<std::int32_t>(asio::error::operation_aborted),
                       "Connection attempt ended at " + where);
    } else if (text.starts_with(attempt->step)) {
        set_last_error(code, std::move(text));  // already says where (the TLS handshake does)
    } else {
        set_last_error(code, where + " failed: " + text);
    }
    co_return false;
}

template <typename Stream>
asio::awaitable<void> StreamSocket<Stream>::disconnect_sync() {
    if (const auto attempt = std::exchange(attempt_, nullptr)) {
        attempt->ended = true;
        attempt->abort();
    }
    close_socket();
    co_return;
}

template <typename Stream>
asio::awaitable<void> StreamSocket<Stream>::send_all_sync(std::string_view data) {
    if (!is_connected()) {
        // Silence here would pass a message for written on a connection known to be lost.
        if (failure_) throw std::system_error(failure_);
        co_return;
    }
    const auto stream = stream_;
    try {
        co_await asio::async_write(*stream, asio::buffer(data.data(), data.size()), asio::use_awaitable);
    } catch (const std::system_error& e) {
        close_after_failure(*stream, e.code());
        throw;
    }
    if (stream == stream_) mark_written(data.size());
}

template <typename Stream>
void StreamSocket<Stream>::begin_ack_tracking() {
    final_tcp_acked_.reset();
    data_written_ = data_acked_ = 0;
    marks_.clear();
    marks_head_ = 0;
    // Over TLS the handshake's bytes come before the first data byte: the marks place the data.
    tcp_base_ = tcp_bytes_acked(stream_->lowest_layer().native_handle());
}

template <typename Stream>
void StreamSocket<Stream>::mark_written(std::size_t bytes) {
    data_written_ += bytes;
    if constexpr (!std::is_same_v<Stream, asio::ip::tcp::socket>) {
        const auto handed = tcp_bytes_handed(stream_->lowest_layer().native_handle());
        if (!handed) return;
        if (marks_head_ > 0 && marks_head_ == marks_.size()) {
            marks_.clear();
            marks_head_ = 0;
        }
        marks_.push_back(AckMark{*handed, data_written_});
    }
}

template <typename Stream>
void StreamSocket<Stream>::keep_final_ack(Stream& stream) {
    if (&stream != stream_.get()) return;
    final_tcp_acked_ = tcp_bytes_acked(stream.lowest_layer().native_handle());
}

template <typename Stream>
std::optional<std::uint64_t> StreamSocket<Stream>::acknowledged_bytes() {
    if (!stream_ || !tcp_base_) return std::nullopt;
    std::optional<std::uint64_t> acked = final_tcp_acked_;
    if (stream_->lowest_layer().is_open()) acked = tcp_bytes_acked(stream_->lowest_layer().native_handle());
    if (!acked) return std::nullopt;
    if constexpr (std::is_same_v<Stream, asio::ip::tcp::socket>) {
        // After every data byte the peer acknowledges our FIN too: one more than the data.
        return *acked > *tcp_base_ ? *acked - *tcp_base_ : 0;
    } else {
        while (marks_head_ < marks_.size() && marks_[marks_head_].tcp <= *acked)
            data_acked_ = marks_[marks_head_++].data;
        return data_acked_;
    }
}

template <typename Stream>
asio::awaitable<void> StreamSocket<Stream>::receive_all_sync(std::uint8_t* buffer, std::uint64_t size) {
    // Completing without a connection would hand the caller a buffer that was never filled.
    if (!is_connected()) throw std::system_error(asio::error::not_connected);
    const auto stream = stream_;
    try {
        co_await asio::async_read(*stream, asio::buffer(buffer, size), asio::use_awaitable);
    } catch (const std::system_error& e) {
        close_after_failure(*stream, e.code());
        throw;
    }
}

template <typename Stream>
asio::awaitable<std::size_t> StreamSocket<Stream>::receive_some_sync(std::uint8_t* buffer, std::size_t size) {
    if (!is_connected()) throw std::system_error(asio::error::not_connected);
    const auto stream = stream_;
    std::size_t n = 0;
    try {
        n = co_await stream->async_read_some(asio::buffer(buffer, size), asio::use_awaitable);
    } catch (const std::system_error& e) {
        close_after_failure(*stream, e.code());
        throw;
    }
    co_return n;
}

template <typename Stream>
asio::awaitable<std::uint64_t> StreamSocket<Stream>::receive_line_sync(std::vector<char>& out) {
    if (!stream_) co_return 0;
    const auto stream = stream_;
    // A line that arrived with an earlier one is returned without touching the socket.
    std::optional<std::string_view> line;
    try {
        while (!(line = lines_.next_line())) {
            const std::span<char> room = lines_.room();
            const std::size_t n =
                co_await stream->async_read_some(asio::buffer(room.data(), room.size()), asio::use_awaitable);
            lines_.commit(n);
        }
    } catch (const LineTooLong& e) {
        // The peer sends a line longer than any we accept. The connection ends; the reader has
        // dropped what it sent rather than keep growing.
        close_after_failure(*stream, asio::error::message_size);
        throw std::system_error(asio::error::message_size, e.what());
    } catch (const std::system_error& e) {
        close_after_failure(*stream, e.code());
        throw;
    }
    out.assign(line->begin(), line->end());
    co_return line->size();
}

template <typename Stream>
void StreamSocket<Stream>::send_async(std::shared_ptr<QMessage> message, SendCallback on_sent) {
    asio::dispatch(io_context_, [this, alive = std::weak_ptr<char>(alive_),
                                 entry = PendingSend{std::move(message), std::move(on_sent)}]() mutable {
        if (alive.expired()) return;
        enqueue_on_loop(std::move(entry));
    });
}

template <typename Stream>
void StreamSocket<Stream>::enqueue_on_loop(PendingSend entry) {
    const bool was_empty = enqueue(std::move(entry));
    // A write in progress picks the entry up when it completes; while disconnected it is kept
    // for send_kept_messages. Kept entries on a fresh connection wait for that flush too,
    // so they are never overtaken.
    if (was_empty && !writing_ && is_connected()) do_write();
}

template <typename Stream>
void StreamSocket<Stream>::do_write() {
    const std::size_t count = coalesce_pending(*write_buffer_);
    writing_ = true;
    ++batches_written_;
    asio::async_write(*stream_, asio::buffer(*write_buffer_),
                      [this, alive = std::weak_ptr<char>(alive_), count, stream = stream_,
                       bytes = write_buffer_](std::error_code ec, std::size_t) {
                          if (alive.expired()) return;
                          writing_ = false;
                          if (ec) {
                              close_after_failure(*stream, ec);
                              // A write aborted by a close is still recorded, unless the close
                              // came from a failure whose cause is already kept.
                              if (!failure_) set_last_error(ec);
                              drop_pending();
                              return;
                          }
                          complete_pending(count);
                          if (alive.expired()) return;  // a callback destroyed the socket
                          if (has_pending() && !writing_ && is_connected()) do_write();
                      });
}

template <typename Stream>
asio::awaitable<void> StreamSocket<Stream>::send_kept_messages() {
    while (is_connected() && has_pending()) {
        // A queued write already in flight drains the queue by itself; writing the same
        // entries again beside it would duplicate and interleave bytes.
        if (writing_) co_return;
        const std::size_t count = coalesce_pending(*write_buffer_);
        writing_ = true;
        ++batches_written_;
        auto stream = stream_;
        auto bytes = write_buffer_;
        std::error_code ec;
        co_await asio::async_write(*stream, asio::buffer(*bytes),
                                   asio::redirect_error(asio::use_awaitable, ec));
        writing_ = false;
        if (ec) {
            close_after_failure(*stream, ec);
            throw std::system_error(ec);
        }
        complete_pending(count);
    }
}

}  // namespace tyx
