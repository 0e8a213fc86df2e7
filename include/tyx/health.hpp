/// \file
/// What the sessions of a Client are doing: the state change each one raises as it connects,
/// logs in, loses its connection and stops (ClientListener::on_session_state), and the snapshot
/// Client::health() returns, with the counters every session keeps. metrics_text renders a
/// snapshot in the Prometheus text format.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tyx {

/// The three kinds of shard session.
enum class SessionKind : std::uint8_t {
    relay,    ///< publishes to a relay server
    center,   ///< subscribes to a center server
    database  ///< queries and uploads to a database server
};

/// The state of one shard session.
enum class SessionState : std::uint8_t {
    connecting,    ///< a connection attempt to `endpoint` is under way
    logging_in,    ///< connected; the login (relay, database) or handshake (center) is under way
    up,            ///< logged in: publishing, subscribing or querying works
    reconnecting,  ///< the last attempt or connection failed; the next attempt comes after `pause`
    stopped,       ///< the session was stopped (remove_cluster, or the Client's destruction)
};

/// Why a session left the state it was in.
enum class StateCause : std::uint8_t {
    none,            ///< nothing failed: the session moved on by itself or was stopped
    refused,         ///< the connection attempt failed: refused, unreachable or not resolvable
    closed_by_peer,  ///< the server ended the connection
    timed_out,       ///< a connection, handshake, login or request took longer than allowed
    tls_failure,     ///< TLS refused the connection; `reason` says why
    login_refused,   ///< the database refused the login, or the center the handshake
    protocol_error,  ///< the server sent what the client cannot read
};

/// "relay", "center", "database" (static text).
std::string_view to_string(SessionKind kind);
/// "connecting", "logging in", "up", "reconnecting", "stopped" (static text).
std::string_view to_string(SessionState state);
/// "none", "refused", "closed by peer", "timed out", "TLS failure", "login refused",
/// "protocol error" (static text).
std::string_view to_string(StateCause cause);

/// The endpoint a session is trying or using.
struct SessionEndpoint {
    std::string host;  ///< host name or address
    std::string port;  ///< port number or service name
    /// 0 for the shard's primary endpoint; i for its i-th failover.
    std::size_t failover = 0;
};

/// One change of one shard session's state.
struct SessionStateEvent {
    std::string cluster;                            ///< the cluster's name
    SessionKind kind = SessionKind::relay;          ///< the session's kind
    std::size_t shard = 0;                          ///< the shard's position in its config's `shards`
    SessionEndpoint endpoint;                       ///< the one being tried, or in use
    SessionState state = SessionState::connecting;  ///< the state entered
    /// What failed last: with connecting, the attempt before this one (a failover); with
    /// reconnecting, the lost connection or the last failed attempt.
    StateCause cause = StateCause::none;
    std::string reason;  ///< the error text behind the cause; empty when there is none
    /// Connection attempts are numbered from 1 since the session was last up. Connecting: the
    /// number of this attempt. Reconnecting: the number of the coming one, made after `pause`.
    std::uint32_t attempt = 0;
    std::chrono::milliseconds pause{0};  ///< reconnecting: the wait before the coming attempt
    /// Reconnecting: how many failures since the session was last up repeated an earlier one
    /// (same cause and reason). A failure is logged once until the session is next up; the
    /// repeats are told here instead of as a stream of equal logs.
    std::uint32_t repeated = 0;
};

/// Counts of durations in fixed buckets, each bucket holding the durations up to its bound.
struct LatencyHistogram {
    /// The buckets' bounds, in microseconds, smallest first.
    static constexpr std::array<std::int64_t, 16> kBoundsUs = {
        100,   250,    500,    1000,   2500,    5000,    10000,   25000,
        50000, 100000, 250000, 500000, 1000000, 2500000, 5000000, 10000000};
    /// counts[i] for bound i; the last entry counts what took longer than the largest bound.
    std::array<std::uint64_t, kBoundsUs.size() + 1> counts{};
    std::uint64_t sum_us = 0;  ///< the sum of every counted duration, in microseconds

    /// How many durations were counted: the sum of `counts`.
    std::uint64_t count() const;
    /// The bound of the bucket holding the q-th quantile (0 < q <= 1); 0 when nothing was
    /// counted, and the largest bound doubled for the open bucket.
    std::chrono::microseconds quantile(double q) const;
};

/// The counters of a relay session, kept by its outbox. Every published message meets one
/// fate: at any quiet moment published_messages = acknowledged_messages + kept_messages +
/// dropped_messages + replaced_versions + discarded_messages.
struct RelayCounters {
    std::uint64_t published_messages =
        0;                               ///< routed to this shard: kept, or dropped by the full-buffer policy
    std::uint64_t published_bytes = 0;   ///< bytes of those messages
    std::uint64_t written_messages = 0;  ///< handed to the connection (again after a re-send)
    std::uint64_t written_bytes = 0;     ///< bytes of those messages
    std::uint64_t acknowledged_messages = 0;  ///< received by the relay's host (its TCP acknowledged them)
    std::uint64_t acknowledged_bytes = 0;     ///< bytes of those messages
    std::uint64_t resent_messages = 0;        ///< taken back after a lost connection, to write again
    std::uint64_t kept_messages = 0;       ///< pending now: not yet written, or written and not acknowledged
    std::uint64_t kept_bytes = 0;          ///< bytes pending now
    std::uint64_t dropped_messages = 0;    ///< by the full-buffer policy
    std::uint64_t replaced_versions = 0;   ///< waiting versions replaced by a newer one or a removal
    std::uint64_t waiting_objects = 0;     ///< objects waiting now in the conflated part
    std::uint64_t discarded_messages = 0;  ///< still pending when the session stopped, and given up
    /// Publications to the cluster refused before anything was sent (a value the relay could not
    /// read back as written); not among the published. Counted on the cluster's first relay shard.
    std::uint64_t refused_messages = 0;
};

/// The counters of a center session.
struct CenterCounters {
    std::uint64_t frames_received = 0;    ///< frames read from the center
    std::uint64_t updates_received = 0;   ///< row changes decoded
    std::uint64_t decode_errors = 0;      ///< frames that could not be decoded
    std::uint64_t updates_delivered = 0;  ///< row changes handed to the listeners
    std::uint64_t snapshot_answers = 0;   ///< answers to snapshot requests
    LatencyHistogram snapshot_latency;    ///< from the request being written to its answer
};

/// The counters of a database session.
struct DatabaseCounters {
    std::uint64_t requests = 0;      ///< queries and bulk inserts
    std::uint64_t failures = 0;      ///< requests that failed or were answered with an error
    std::uint64_t retries = 0;       ///< requests sent again after a reconnection
    /// Requests whose connection was lost after they were sent, so that the server may or may
    /// not have executed them; never sent again (read-only statements aside, which are retried).
    std::uint64_t unknown_outcomes = 0;
    LatencyHistogram response_time;  ///< from a request to its end
};

/// One shard session in a Health snapshot: where it stands and what it has counted. The
/// counters of the session's kind are filled in; the other two stay zero.
struct SessionHealth {
    std::string cluster;                            ///< the cluster's name
    SessionKind kind = SessionKind::relay;          ///< the session's kind
    std::size_t shard = 0;                          ///< the shard's position in its config's `shards`
    SessionState state = SessionState::connecting;  ///< the state it is in
    std::chrono::system_clock::time_point since;    ///< when the session entered `state`
    SessionEndpoint endpoint;                       ///< the endpoint being tried, or in use
    std::uint64_t connection_attempts = 0;          ///< connection attempts so far
    std::uint64_t reconnections = 0;                ///< logins after the first one
    std::string last_error;                         ///< empty while nothing has failed
    /// Input the session could not understand (lines of unknown type, frames it could not
    /// decode, a line past the longest accepted). Logs about them are rate-limited: the first
    /// few of every 10 s in full, then one summary with the count.
    std::uint64_t unexpected_inputs = 0;
    RelayCounters relay;        ///< a relay session's counters
    CenterCounters center;      ///< a center session's counters
    DatabaseCounters database;  ///< a database session's counters
};

/// How the notification thread keeps up with the events for the listeners.
struct NotificationHealth {
    std::uint64_t queued = 0;                   ///< events waiting for the listeners now
    std::uint64_t delivered = 0;                ///< events handed to the listeners so far
    std::chrono::microseconds longest_wait{0};  ///< the longest an event waited to be delivered
    /// Center row changes among the waiting events (one event may carry many). When they reach
    /// the queue's limit (TYX_MAX_QUEUED_UPDATES, default 100000, or TYX_MAX_QUEUED_BYTES of
    /// them as received, default 64 MiB), center sessions stop reading until the listeners have
    /// taken half of them: the servers hold the rest, nothing is dropped.
    std::uint64_t queued_updates = 0;
    std::uint64_t queued_update_bytes = 0;     ///< the bytes those changes came in
    std::chrono::microseconds oldest_wait{0};  ///< how long the oldest waiting event has waited so far
    bool holding_back = false;                 ///< center sessions are holding back their reading now
    std::chrono::microseconds held_back{0};    ///< how long they have held back so far, in all
};

/// The snapshot Client::health() returns.
struct Health {
    std::vector<SessionHealth> sessions;  ///< by cluster (in the order added), kind, shard
    NotificationHealth notifications;     ///< the notification queue
};

/// The counters of a session's kind, in a fixed order, named as metrics_text, the tool's JSON
/// and the Python dicts name them ("published_messages", "kept_bytes", "requests", ...). A gauge
/// is a value now (what is kept); the others only grow.
struct CounterValue {
    std::string_view name;    ///< the counter's name (static text)
    std::uint64_t value = 0;  ///< its value in the snapshot
    bool gauge = false;       ///< true for a value now, false for a count that only grows
    std::string_view help;    ///< one sentence saying what it counts (static text)
};
/// The counters of `session`'s kind (see CounterValue); their values are copied.
std::vector<CounterValue> counters_of(const SessionHealth& session);

/// The latency histograms of a session's kind ("snapshot_latency", "response_time").
struct HistogramValue {
    std::string_view name;                        ///< the histogram's name (static text)
    const LatencyHistogram* histogram = nullptr;  ///< into `session`
    std::string_view help;                        ///< what it measures, one sentence (static text)
};
/// The histograms of `session`'s kind; none for a relay session. Valid while `session` is.
std::vector<HistogramValue> histograms_of(const SessionHealth& session);

/// The snapshot in the Prometheus text exposition format: names prefixed "tyx_", session
/// series labelled cluster, kind and shard. A counter becomes tyx_KIND_NAME_total (a gauge
/// tyx_KIND_NAME), a histogram tyx_KIND_NAME_seconds.
std::string metrics_text(const Health& health);

}  // namespace tyx
