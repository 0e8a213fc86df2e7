// ISocket, StreamSocket, TcpSocket and SocketSlot: the byte transport of every protocol client
// (SslSocket, the TLS socket, is in ssl_socket.hpp). A socket is bound to one event loop and
// one endpoint; all of its state lives on that loop. Only `send_async` (it hops onto the loop)
// and `try_write_now` (direct_write.hpp) may be called from other threads.
#pragma once

#include <asio/awaitable.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "transport/direct_write.hpp"
#include "transport/line_reader.hpp"
#include "transport/qmessage.hpp"
#include "tyx/config.hpp"

namespace tyx {

// The abstract socket protocol clients talk through. Two styles of use at once: awaitable
// operations (one of each kind outstanding at a time, awaited on the socket's loop), and a
// send queue fed from any thread that keeps messages while disconnected and writes queued
// messages in order, several per write. A read or write that fails closes the connection at
// once (is_connected turns false), so a peer that ended its side sees the close without
// waiting for the socket object to be replaced.
class ISocket : public DirectWriteTarget {
public:
    using SendCallback = std::function<void()>;
    // The connect timeout of a socket nobody set one for.
    static constexpr std::chrono::milliseconds kDefaultConnectTimeout{10000};

    // One queued send: the bytes and an optional callback run on the loop once written.
    struct PendingSend {
        std::shared_ptr<QMessage> message;
        SendCallback on_sent;
    };

    // A TLS socket when `use_ssl` is true, else a TcpSocket for host and port (with empty
    // TLS options). The one place where the kind of socket is chosen.
    static std::unique_ptr<ISocket> create(asio::io_context& io_context, std::string host,
                                           std::string port_or_service, bool use_ssl,
                                           const SslOptions& ssl_options);

    virtual ~ISocket() = default;

    ISocket(const ISocket&) = delete;
    ISocket& operator=(const ISocket&) = delete;

    // Resolves and connects; true on success (last error cleared). A failure is recorded as
    // last error and yields false; nothing is retried. The error text names the step that
    // failed (resolving, TCP connect, TLS handshake). An attempt that takes longer than the
    // connect timeout is abandoned with the code asio::error::timed_out.
    virtual asio::awaitable<bool> connect_sync() = 0;
    // Shuts down and closes the connection; failures are only recorded. The queue stays. An
    // attempt of connect_sync in progress ends at once, as failed.
    virtual asio::awaitable<void> disconnect_sync() = 0;
    virtual bool is_connected() const = 0;
    virtual std::int32_t get_last_error() const = 0;
    virtual std::string get_last_error_message() const = 0;
    // Writes `data` directly, bypassing the queue. A write failure is raised as
    // std::system_error. Without a connection it does nothing, unless a failed read or write
    // ended the connection: that failure is raised again, until the next connect.
    virtual asio::awaitable<void> send_all_sync(std::string_view data) = 0;
    // Reads exactly `size` bytes straight from the connection (not from the line buffer).
    virtual asio::awaitable<void> receive_all_sync(std::uint8_t* buffer, std::uint64_t size) = 0;
    // Reads what has arrived, at least one byte and at most `size`, straight from the
    // connection, and yields the count. A lost connection is raised, as by receive_all_sync.
    virtual asio::awaitable<std::size_t> receive_some_sync(std::uint8_t* buffer, std::size_t size) = 0;
    // Reads one line, line feed included, into `out` and yields its length; bytes after it
    // stay buffered for the next call. Yields 0 and leaves `out` alone without a connection.
    virtual asio::awaitable<std::uint64_t> receive_line_sync(std::vector<char>& out) = 0;
    // Writes what the queue kept while disconnected, in batches, calling each callback in
    // order. A write failure is raised.
    virtual asio::awaitable<void> send_kept_messages() = 0;
    // Queues `message`; any thread. Written at once when connected and idle, else kept.
    virtual void send_async(std::shared_ptr<QMessage> message, SendCallback on_sent) = 0;

    // Whether the peer has ended its side of the connection (or the connection failed), seen
    // without reading anything; false when not connected. Loop thread only.
    virtual bool peer_closed() const { return false; }

    bool is_ssl() const { return use_ssl_; }
    // The longest one connect_sync may take, resolving and TLS handshake included; zero or
    // less: no limit. Set before connecting.
    void set_connect_timeout(std::chrono::milliseconds timeout) { connect_timeout_ = timeout; }
    std::chrono::milliseconds connect_timeout() const { return connect_timeout_; }
    // Whether try_write_now may write on the current connection: a connected plain TCP socket.
    // Over TLS it declines (the stream's state belongs to the loop). Loop thread only.
    virtual bool can_write_now() const { return false; }
    std::size_t try_write_now(std::string_view /*data*/) override { return 0; }
    // Lets the kernel hold at most `bytes` written but not yet sent on the current connection
    // (TCP_NOTSENT_LOWAT), so that what waits beyond them stays with the writer; best effort.
    // Loop thread only.
    virtual void limit_unsent_bytes(std::size_t /*bytes*/) {}
    // How many bytes of the current connection's data (what send_all_sync and, over plain TCP,
    // try_write_now wrote) the peer's TCP has acknowledged: its host has them,
    // whether or not the server read them. Once the connection has ended, the count it reached,
    // until the next connect. Over TLS the count moves a whole send_all_sync at a time. nullopt
    // when this socket cannot tell. Loop thread only.
    virtual std::optional<std::uint64_t> acknowledged_bytes() { return std::nullopt; }

    asio::io_context& io_context() const { return io_context_; }
    const std::string& host() const { return host_; }
    const std::string& port_or_service() const { return port_; }
    const SslOptions& ssl_options() const { return ssl_options_; }
    // Messages queued and not yet written; loop thread only.
    std::size_t pending_count() const { return pending_sends_.size(); }

protected:
    ISocket(asio::io_context& io_context, std::string host, std::string port_or_service, bool use_ssl,
            SslOptions ssl_options);

    void set_last_error(std::int32_t code, std::string message);
    void set_last_error(const std::error_code& ec) { set_last_error(ec.value(), ec.message()); }
    void clear_last_error() { set_last_error(0, {}); }

    // Queue helpers shared by the concrete sockets; loop thread only.
    // Appends the entry and tells whether the queue was empty before.
    bool enqueue(PendingSend entry);
    // Replaces `out` with the bytes of every queued entry, front to back; returns their number.
    std::size_t coalesce_pending(std::vector<std::uint8_t>& out) const;
    // Pops the `count` front entries in order, calling each non-empty callback after its pop.
    void complete_pending(std::size_t count);
    // Releases every queued message without calling any callback.
    void drop_pending() { pending_sends_.clear(); }
    bool has_pending() const { return !pending_sends_.empty(); }

    asio::io_context& io_context_;
    std::string host_;
    std::string port_;
    bool use_ssl_;
    SslOptions ssl_options_;
    std::int32_t last_error_ = 0;
    std::string last_error_message_;
    std::deque<PendingSend> pending_sends_;
    std::chrono::milliseconds connect_timeout_{kDefaultConnectTimeout};
};

// The connection-independent half of a socket over one asio stream (a TCP socket, or a TLS
// stream over one): the queue writer, line and exact reads, direct writes, connecting with
// TCP_NODELAY, and closing. The derived socket makes the stream and may add a step after the
// TCP connect (the TLS handshake). Used on the socket's event loop like ISocket.
template <typename Stream>
class StreamSocket : public ISocket {
public:
    ~StreamSocket() override;

    asio::awaitable<bool> connect_sync() override;
    asio::awaitable<void> disconnect_sync() override;
    bool is_connected() const override;
    bool peer_closed() const override;
    std::int32_t get_last_error() const override { return last_error_; }
    std::string get_last_error_message() const override { return last_error_message_; }
    asio::awaitable<void> send_all_sync(std::string_view data) override;
    asio::awaitable<void> receive_all_sync(std::uint8_t* buffer, std::uint64_t size) override;
    asio::awaitable<std::size_t> receive_some_sync(std::uint8_t* buffer, std::size_t size) override;
    asio::awaitable<std::uint64_t> receive_line_sync(std::vector<char>& out) override;
    asio::awaitable<void> send_kept_messages() override;
    void send_async(std::shared_ptr<QMessage> message, SendCallback on_sent) override;
    void limit_unsent_bytes(std::size_t bytes) override;
    std::optional<std::uint64_t> acknowledged_bytes() override;
    bool can_write_now() const override;
    std::size_t try_write_now(std::string_view data) override;

    // Coalesced writes started so far (queued and kept batches); loop thread only.
    std::uint64_t batches_written() const { return batches_written_; }

    // The longest line receive_line_sync accepts, line feed included: a longer one fails the
    // read with asio::error::message_size and ends the connection, having buffered at most
    // this many bytes.
    static constexpr std::size_t kMaxLineLength = std::size_t{1} << 20;

protected:
    StreamSocket(asio::io_context& io_context, std::string host, std::string port_or_service, bool use_ssl,
                 SslOptions ssl_options);

    // A fresh, unconnected stream for one connection attempt. May raise; the attempt then
    // fails with the exception's text as last error.
    virtual std::shared_ptr<Stream> make_stream() = 0;
    // Runs once the TCP connection is up (TCP_NODELAY set); raising fails the attempt.
    virtual asio::awaitable<void> after_connect(Stream& stream);
    // Shuts the TCP connection down in both directions and closes it, recording failures.
    void close_socket();
    // Before descriptor `fd` closes: no write from another thread is in progress on it or starts
    // after this, as the number may be reused by any descriptor of the process once closed.
    void end_writes_now(int fd);
    // Ends the connection of `stream` after a read or write on it failed with `ec`.
    void close_after_failure(Stream& stream, const std::error_code& ec);
    // The connection attempt in progress: its resolver, its deadline and the step it is at,
    // shared with the deadline's handler.
    struct ConnectAttempt;
    // Whether a queued or kept batch is being written right now.
    bool writing() const { return writing_; }
    const std::shared_ptr<Stream>& stream() const { return stream_; }

private:
    void enqueue_on_loop(PendingSend entry);
    void do_write();

    // Shared with the queued write in flight: asio's write continues with further partial
    // writes on the stream and keeps reading the buffer, so both must outlive this object
    // when it is destroyed mid-write (the write then fails on the closed stream).
    std::shared_ptr<Stream> stream_;
    LineReader lines_{kMaxLineLength};
    std::shared_ptr<ConnectAttempt> attempt_;
    std::shared_ptr<std::vector<std::uint8_t>> write_buffer_ = std::make_shared<std::vector<std::uint8_t>>();
    bool writing_ = false;
    // Set once after_connect has finished: until then (during a TLS handshake) the stream
    // exists but must not carry queued writes.
    bool established_ = false;
    std::uint64_t batches_written_ = 0;
    // Acknowledgement tracking of the current connection. Plain TCP: data bytes are the TCP
    // bytes after `tcp_base_` (the SYN). TLS: after each direct write, a mark pairs the TCP
    // bytes handed to the kernel so far with the data bytes they carry.
    struct AckMark {
        std::uint64_t tcp = 0;
        std::uint64_t data = 0;
    };
    void begin_ack_tracking();
    void mark_written(std::size_t bytes);
    // Keeps what the peer had acknowledged when the descriptor is about to close.
    void keep_final_ack(Stream& stream);
    std::optional<std::uint64_t> tcp_base_;
    std::optional<std::uint64_t> final_tcp_acked_;
    std::uint64_t data_written_ = 0;
    std::uint64_t data_acked_ = 0;
    std::vector<AckMark> marks_;
    std::size_t marks_head_ = 0;
    // Why the current connection ended, when a read or write ended it; cleared by connecting.
    std::error_code failure_;
    // The descriptor try_write_now writes to, -1 when it must not write; changed and used under
    // the mutex, which a close takes too. Set for plain TCP only.
    std::mutex write_now_mutex_;
    int write_now_fd_ = -1;
    // Completion handlers and cross-thread jobs hold a weak reference to this, so one that
    // runs after the socket object is gone does nothing instead of touching freed memory.
    std::shared_ptr<char> alive_ = std::make_shared<char>();
};

// Makes a fresh, unconnected socket for one endpoint. A protocol client calls it before every
// connection attempt and never chooses a kind of socket itself, so tests can give it scripted ones.
using SocketFactory = std::function<std::unique_ptr<ISocket>(const Endpoint&)>;
// TLS sockets with `ssl_options` when `use_ssl`, else plain TCP ones, all on `io_context`, each
// giving up a connection attempt after `connect_timeout`.
SocketFactory make_socket_factory(
    asio::io_context& io_context, bool use_ssl, SslOptions ssl_options,
    std::chrono::milliseconds connect_timeout = ISocket::kDefaultConnectTimeout);

// Plain TCP with TCP_NODELAY. Owned by one protocol client, used on its event loop.
class TcpSocket : public StreamSocket<asio::ip::tcp::socket> {
public:
    TcpSocket(asio::io_context& io_context, std::string host, std::string port_or_service);

private:
    std::shared_ptr<asio::ip::tcp::socket> make_stream() override;
};

// The current socket of a protocol client and the one it replaced. Replacing parks the
// current socket as retired and destroys the previously retired one, so operations still
// completing on the replaced socket find a live object. The owner's loop only.
template <typename Socket = ISocket>
class SocketSlot {
public:
    Socket& replace(std::unique_ptr<Socket> fresh) {
        retired_ = std::move(current_);
        current_ = std::move(fresh);
        return *current_;
    }

    Socket* get() const { return current_.get(); }
    Socket* retired() const { return retired_.get(); }
    Socket& operator*() const { return *current_; }
    Socket* operator->() const { return current_.get(); }
    explicit operator bool() const { return current_ != nullptr; }

private:
    std::unique_ptr<Socket> current_;
    std::unique_ptr<Socket> retired_;
};

}  // namespace tyx
