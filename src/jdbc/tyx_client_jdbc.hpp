// TyxClientJdbc: the session with one database shard of one cluster. It connects with failover,
// exchanges versions and logs in, then runs SQL queries and bulk inserts one at a time, each
// within one deadline and with one reconnect-and-retry. Lives on the multiplexer's control
// loop; every member runs there.
//
// Requests never interleave: callers queue (first come, first served) on an asynchronous lock
// held from writing a request until its response has been read. A request has one deadline,
// from its call to its answer (see `RequestDeadline`): waiting for its turn, for a connection
// being made, for the reconnection before its retry and for each answer all count against it.
// When it passes during an exchange the connection is closed, since the answer could no longer
// be told from the next request's. The reconnection before a retry runs on its own and goes on
// after a request gave up, until it succeeds or the client is stopped. `stop` ends every
// request in flight and the reconnection, and waits until none is left; it must have completed
// before the client is destroyed.
#pragma once

#include <asio/awaitable.hpp>
#include <asio/io_context.hpp>

#include <chrono>
#include <cstdint>
#include <deque>
#include <exception>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/tyx_client_if.hpp"
#include "jdbc/jdbc_response_reader.hpp"
#include "jdbc/jdbc_result.hpp"
#include "transport/socket_impl.hpp"
#include "tyx/config.hpp"

namespace tyx {

namespace jdbc {

// Waiters parked on steady timers of one loop. A waiter wakes when notified or at its own
// deadline; a waiter whose deadline passed but who has not resumed yet still counts as notified
// when picked, so a hand-over is never lost. Loop thread only.
class WaitList {
public:
    // True when notified, false when `until` came first.
    asio::awaitable<bool> wait(asio::io_context& io_context,
                               SessionClock::time_point until = SessionClock::time_point::max());
    // Wakes the longest waiting waiter; false when there is none.
    bool notify_one();
    void notify_all();
    bool empty() const { return waiters_.empty(); }

private:
    struct Waiter {
        explicit Waiter(asio::io_context& io) : timer(io) {}
        SessionTimer timer;
        bool notified = false;
    };
    std::deque<std::shared_ptr<Waiter>> waiters_;
};

// Whether running `sql` twice cannot change anything, by a conservative reading of its text:
// after spaces and comments (`--` to the end of the line, `/* ... */`) it starts with the word
// SELECT, SHOW, DESCRIBE or EXPLAIN, holds no `;` before its end but spaces, and holds neither
// the word INTO (SELECT ... INTO makes a table) nor ANALYZE (EXPLAIN ANALYZE runs the
// statement). Any other text (WITH ..., PRAGMA, a call) counts as one that may write. A SELECT
// calling a function that writes is not told apart.
bool reads_only(std::string_view sql);

// How long the login may wait for the server's answers: the configured query timeout (30 s
// when not positive) plus the same again, at most 5 s more.
std::chrono::milliseconds response_deadline(std::int64_t timeout_ms, std::int32_t configured_timeout_ms);

// The limit of one request: the given timeout when positive, else the configured query
// timeout, else 30 s (capped at a day).
std::chrono::milliseconds request_limit(std::int64_t timeout_ms, std::int32_t configured_timeout_ms);
// A request gives up this long after its limit, so that a server reporting its own timeout,
// which it counts from the request's arrival, is heard first.
inline constexpr std::chrono::milliseconds kRequestGrace{500};

// When a request started and by when it must have ended.
struct RequestDeadline {
    RequestDeadline(std::chrono::milliseconds limit, SessionClock::time_point started)
        : limit(limit), until(started + limit + kRequestGrace) {}
    bool passed() const { return SessionClock::now() >= until; }
    // "JDBC request timed out after <limit> ms", then `context` when given.
    std::string timed_out(std::string_view context = {}) const;

    std::chrono::milliseconds limit;
    SessionClock::time_point until;
};

}  // namespace jdbc

class TyxClientJdbc : public SingleSocketClient {
public:
    TyxClientJdbc(SessionEvents& events, std::string_view cluster_name,
                  std::vector<Endpoint> endpoints, const DatabaseConfig& config, asio::io_context& io_context,
                  SocketFactory sockets);
    ~TyxClientJdbc() override;

    asio::awaitable<void> connect(asio::io_context& io_context) override;
    // The database sends nothing unasked: responses are read by the requests themselves.
    asio::awaitable<void> receive_loop() override;
    asio::awaitable<void> stop() override;

    // Runs one SQL text. An empty response body gives an empty pointer. The text is copied
    // before the first suspension. Failures (after the one retry) are thrown, at the latest
    // when the request's deadline, counted from `started`, has passed.
    asio::awaitable<std::shared_ptr<jdbc::QueryResult>> sql(std::string_view sql_text,
                                                            SessionClock::time_point started);
    asio::awaitable<std::shared_ptr<jdbc::QueryResult>> sql(std::string_view sql_text) {
        return sql(sql_text, SessionClock::now());
    }
    // Inserts `row_count` rows of `columns` into `table`; a negative timeout selects the
    // configured query timeout, which also bounds the request as for `sql`. The request is
    // encoded before the first suspension.
    asio::awaitable<std::shared_ptr<jdbc::QueryResult>> bulk_insert(
        std::string_view table, const std::vector<jdbc::JdbcColumn>& columns, std::int32_t row_count,
        std::int64_t timeout_ms, SessionClock::time_point started);
    asio::awaitable<std::shared_ptr<jdbc::QueryResult>> bulk_insert(
        std::string_view table, const std::vector<jdbc::JdbcColumn>& columns, std::int32_t row_count,
        std::int64_t timeout_ms) {
        return bulk_insert(table, columns, row_count, timeout_ms, SessionClock::now());
    }

    asio::awaitable<void> do_login_handshake();
    // Reads one response frame (a 4-byte length N, then N + 1 bytes) and keeps the first N.
    asio::awaitable<void> receive_all(std::vector<std::uint8_t>& out);
    // Reads one response frame into the kept reader: its body is then `response_.body()`.
    asio::awaitable<void> receive_response();

    // The most receive storage kept from one response to the next, by default: a larger
    // response's storage is given back once it has been decoded (or has failed).
    static constexpr std::size_t kKeptReceiveBytes = std::size_t{64} << 20;
    void set_receive_keep(std::size_t bytes) { receive_keep_ = bytes; }
    // The receive storage held between requests.
    std::size_t kept_receive_bytes() const { return response_.capacity(); }
    asio::awaitable<void> do_reconnect();

    const DatabaseConfig& config() const { return config_; }
    bool logged_in() const { return logged_in_; }
    // Requests started and not yet finished (waiting for their turn included).
    std::size_t active_requests() const { return active_requests_; }

private:
    class ActiveRequest;
    class LockHolder;
    struct RequestCount;
    class Watchdog;

    // The queue, the attempts, the retry.
    // A request is sent again after a lost connection only when the server cannot have executed
    // it (it was not written whole, or the connection was found closed before writing), or
    // when it `reads_only`; otherwise its failure says that it may have been executed.
    asio::awaitable<std::shared_ptr<jdbc::QueryResult>> run_request(const QMessage& request,
                                                                    std::string sent_text,
                                                                    jdbc::RequestDeadline deadline,
                                                                    bool reads_only);
    asio::awaitable<std::shared_ptr<jdbc::QueryResult>> attempt_once(const QMessage& request,
                                                                     const std::string& sent_text,
                                                                     const jdbc::RequestDeadline& deadline);
    // Waits for the connection's turn; throws the timeout when the deadline comes first.
    asio::awaitable<void> acquire_turn(const jdbc::RequestDeadline& deadline);
    void release_turn();
    asio::awaitable<void> connect_and_login();
    // Starts a reconnection unless a connection is being made, then waits for it (see the
    // header note). Throws what the reconnection threw, or the timeout.
    asio::awaitable<void> reconnect_for_retry(const jdbc::RequestDeadline& deadline);
    // Starts the reconnection on its own unless a connection is being made.
    void start_reconnection();
    // Waits while a connection is being made, at most until the deadline.
    asio::awaitable<void> wait_for_connection(const jdbc::RequestDeadline& deadline);
    // The timeout of a request that gave up waiting for a connection, with the last failure.
    std::string connection_timed_out(const jdbc::RequestDeadline& deadline) const;
    void finish_connecting(std::exception_ptr error);
    void notify_received(std::string message);
    // Closes the connection the deadline caught, unless it was replaced meanwhile.
    void expire_connection(ISocket* socket);
    void request_finished();
    // A logged-in connection ended: on_disconnect, as the other sessions raise it.
    void connection_lost();
    // A failed login: its cause for the state changes, and the reconnecting change.
    void login_failed(StateCause cause, std::string reason);

    DatabaseConfig config_;
    // Responses to requests land here; kept between requests (bounded by kKeptReceiveBytes).
    jdbc::ResponseReader response_;
    std::size_t receive_keep_ = kKeptReceiveBytes;
    SessionTimer deadline_;  // the deadline of the exchange in progress
    std::uint64_t deadline_generation_ = 0;
    bool timed_out_ = false;  // the deadline of the current exchange passed

    bool logged_in_ = false;
    bool busy_ = false;  // a request holds the connection
    jdbc::WaitList turn_waiters_;
    std::size_t active_requests_ = 0;
    bool exchange_open_ = false;  // a request was written and its response not fully read
    bool request_written_ = false;  // the current attempt's request was written whole
    // A connection (first connect or reconnection) is being made; requests wait for it.
    bool connecting_ = false;
    bool reconnect_running_ = false;    // the reconnection started by a failed request
    std::exception_ptr connect_error_;  // how the last connection attempt ended
    jdbc::WaitList connect_waiters_;
    jdbc::WaitList drained_;  // woken whenever a request or the reconnection ends
    // Completion handlers check it, so one that runs after the client is gone does nothing.
    std::shared_ptr<char> alive_ = std::make_shared<char>();
};

}  // namespace tyx
