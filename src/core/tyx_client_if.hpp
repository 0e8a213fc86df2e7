// ITyxClient: the base of the relay, center and database protocol clients. One instance
// serves one shard of one cluster and lives on one event loop (a worker loop for relays, the
// control loop for center and database clients); every field is touched only there.
#pragma once

#include <asio/awaitable.hpp>
#include <asio/io_context.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/log_limiter.hpp"
#include "core/session_clock.hpp"
#include "core/session_events.hpp"
#include "core/session_monitor.hpp"
#include "transport/socket_impl.hpp"
#include "tyx/config.hpp"

namespace tyx {

// The client name carried by every event a protocol client raises: the cluster name, a
// hyphen, and the kind ("relay", "center" or "jdbc").
std::string make_client_name(std::string_view cluster_name, std::string_view kind);

// Pause sequences of the two retry policies, as pure functions.
//
// Failover: the first pause after a full round of failed attempts is 1 s; each next pause
// doubles while the doubled value is at most 58 s, else it is 60 s (1, 2, 4, 8, 16, 32, 60...).
inline constexpr std::chrono::milliseconds kFirstFailoverPause{1000};
std::chrono::milliseconds next_failover_pause(std::chrono::milliseconds pause);

// Reconnection back-off, from the previous back-off and the time since the last login: 1 s
// when that login is 5 s old or more; otherwise 1 s after 0, double up to 30 s, else 60 s.
std::chrono::milliseconds next_reconnect_backoff(std::chrono::milliseconds current,
                                                 std::chrono::nanoseconds since_login);

class ITyxClient {
public:
    // The client lives on `io_context`; `sockets` makes its connections there; `events` hears
    // what happens to it.
    ITyxClient(SessionEvents& events, std::string_view cluster_name, std::string_view kind,
               std::vector<Endpoint> endpoints, asio::io_context& io_context, SocketFactory sockets);
    virtual ~ITyxClient() = default;

    ITyxClient(const ITyxClient&) = delete;
    ITyxClient& operator=(const ITyxClient&) = delete;

    // First connection: failover loop, then login or handshake.
    virtual asio::awaitable<void> connect(asio::io_context& io_context) = 0;
    // Reads and dispatches until stopped, reconnecting after losses.
    virtual asio::awaitable<void> receive_loop() = 0;
    // Orderly shutdown: goodbye if the protocol has one, set the stop flag, cancel the timer
    // (ending any pause at once), disconnect.
    virtual asio::awaitable<void> stop() = 0;
    // Replaces the socket by a fresh one for the current endpoint (see SocketSlot).
    virtual void recreate_socket() = 0;
    // One connection attempt on the current socket.
    virtual asio::awaitable<bool> try_connect_once() = 0;

    // Called once, on the client's loop, when the first connection attempt has settled: the
    // client connected and logged in, or every endpoint failed once (it keeps trying), or it
    // stopped. The cluster client uses it to release a waiting add_cluster without waiting
    // for an unreachable shard.
    void set_first_round_hook(std::function<void()> hook) { first_round_hook_ = std::move(hook); }
    void first_round_done() {
        if (auto hook = std::move(first_round_hook_)) {
            first_round_hook_ = nullptr;
            hook();
        }
    }

    // The session's state and counters, for health(). The cluster client names the shard
    // before the session starts.
    void set_shard(std::size_t shard);
    const std::shared_ptr<SessionMonitor>& monitor() const { return monitor_; }
    // After stop: the last state change.
    void mark_stopped() { enter_state(SessionState::stopped); }

    asio::io_context& io_context() const { return io_context_; }
    SessionEvents& events() const { return events_; }
    const std::string& name() const { return name_; }
    const std::vector<Endpoint>& endpoints() const { return endpoints_; }
    std::uint64_t current_endpoint() const { return current_endpoint_; }
    bool stopping() const { return stopping_; }

protected:
    // Walks the endpoints from the current one, recreating the socket before each attempt,
    // and pauses after every full round of failures (1 s, doubling, capped at 60 s). Returns
    // once connected (the current endpoint is the one that worked) or once stopping. An
    // empty endpoint list only pauses. Connection failures are never raised.
    asio::awaitable<void> connect_with_failover();
    // Waits the back-off before a reconnection (see next_reconnect_backoff).
    asio::awaitable<void> reconnect_backoff();
    // The back-off the next reconnection would wait, without moving on to it.
    std::chrono::milliseconds coming_backoff() const;

    // The common head of every do_reconnect: back-off, move to the next endpoint (so the one
    // that just failed is tried last), failover, then on_connect. False when stopping
    // interrupted it; the caller then ends instead of logging in.
    asio::awaitable<bool> reconnect_to_next_endpoint();
    // The common head of every connect: failover, then on_connect. False when stopping.
    asio::awaitable<bool> connect_first();
    // Stopping: no pause may go on; the one under way ends at once.
    void end_pauses() { pause_timer_.cancel(); }

    // current endpoint = (current endpoint + 1) modulo the number of endpoints (none: stays 0).
    void advance_endpoint();
    // A socket for the current endpoint (an empty endpoint when the list is empty).
    std::unique_ptr<ISocket> create_socket() const;
    // Records a completed login or handshake for the back-off rule; the failures before it are
    // forgotten. notify_logged_in then enters the up state.
    void record_login();

    // States. enter_state raises the change for the current endpoint. A session that loses
    // its connection says why with note_lost before it reconnects; the reconnecting change
    // then carries that cause, the attempt and the back-off.
    void enter_state(SessionState state, StateCause cause = StateCause::none, std::string reason = {},
                     std::chrono::milliseconds pause = {});
    // Also records each failed connection attempt. True when the failure repeats one since the
    // session was last up.
    bool note_lost(StateCause cause, std::string reason);
    // The cause of a read or write failure: TLS, a time limit, the peer closing or resetting
    // the connection, or (for an error that is not a system error) what the peer sent.
    static StateCause cause_of(const std::exception& error);

    void notify_connect();
    void notify_disconnect();
    void notify_logged_in();  // and the up state change after it
    void notify_message_sent(std::string message);
    void notify_log(std::uint8_t level, std::string message);
    // After a failed attempt on `socket`: records its cause for the next state change. A TLS
    // failure (refused handshake, unknown certificate, pinned key mismatch) or a timed-out
    // attempt is raised as a level-3 log with the socket's last error, so that it never goes
    // unnoticed while the client keeps failing over; the same failure again, before the
    // session is next up, is only counted in the reconnecting change (`repeated`). Refused
    // connections are left to the state changes alone.
    void report_failed_attempt(const ISocket& socket);
    // The cause of a failed connection attempt on `socket`: timed out, TLS (the handshake or its
    // setup failed), else refused.
    static StateCause cause_of_attempt(const ISocket& socket);
    // After a read failed: input that cannot be read (a line past the longest accepted) is
    // raised as a level-3 log, a TLS error as by report_tls_error.
    void report_read_failure(const std::exception& error);
    // Input the session cannot make sense of (a junk line, a frame it cannot decode): counted in
    // health, and raised as on_log(level, what + the input, escaped and cut) within the limits of
    // the session's LogLimiter.
    void report_unexpected(std::uint8_t level, std::string_view what, std::string_view input);
    // A log the server's messages cause (one each), within the same limits; not counted.
    void limited_log(std::uint8_t level, std::string text);
    // After a connection that had completed its TLS handshake failed: an error raised by TLS
    // itself (an alert such as a refused client certificate, which TLS 1.3 servers send only
    // after the client's handshake is done) is raised as a level-3 log. Other failures (the
    // peer closing, a reset) are not logged here.
    void report_tls_error(const std::exception& error);

    SessionEvents& events_;
    asio::io_context& io_context_;
    std::string name_;
    std::vector<Endpoint> endpoints_;
    SocketFactory sockets_;
    std::uint64_t current_endpoint_ = 0;
    bool stopping_ = false;
    SessionClock::time_point last_login_time_{};
    std::int64_t current_backoff_ms_ = 0;
    SessionClock::time_point last_backoff_time_{};
    std::function<void()> first_round_hook_;
    std::shared_ptr<SessionMonitor> monitor_;

    // What failed last, since the session was last up.
    struct Failure {
        StateCause cause = StateCause::none;
        std::string reason;
        std::uint32_t attempts = 0;     // connection attempts made
        std::uint32_t repeated = 0;     // failures equal to an earlier one
        std::vector<std::string> seen;  // each distinct failure, as cause and reason
    };
    static constexpr std::size_t kMostRememberedFailures = 16;
    Failure failure_;
    LogLimiter unexpected_logs_;

private:
    SessionTimer pause_timer_;  // failover pauses and reconnection back-offs
};

// A protocol client with one connection (relays and database shards): the socket it replaces
// before each attempt, and the attempt itself. Same loop as ITyxClient.
class SingleSocketClient : public ITyxClient {
public:
    using ITyxClient::ITyxClient;

    void recreate_socket() override { socket_.replace(create_socket()); }
    asio::awaitable<bool> try_connect_once() override;

    ISocket* socket() const { return socket_.get(); }

protected:
    SocketSlot<> socket_;
};

}  // namespace tyx
