// The sandbox relay: a loopback server that relay clients log in to and publish to. It records,
// per connection, the login identity and options and every line received, and in arrival order
// every object and removal with its fields (raw wire text and typed view). Its state lives on a
// SandboxLoop (its own, or one shared with the other sandbox servers); every public member may be
// called from any thread and waits for the loop to run it (on the loop itself it runs inline),
// except the wait_* members, which must not be called on the loop.
//
// What the relay sends:
//  - for each login line `L...`, when `answer_login` is on (the default), one status line
//        M@<now ms>|S=0|Q=<the login's # number, or 0>|M="<login_message>"\n
//    with `login_message` "logged in" by default;
//  - for each object `O` and removal `D`, nothing by default; with `acknowledge_publications`
//    one status line M@<now ms>|S=0|Q=<the message's # number, or 0>|M="ok"\n;
//  - for a logout `X`, nothing (the client closes the connection);
//  - whatever a test asks for with send_line, send_status, send_execute_command, broadcast_line.
// A line longer than `max_line_bytes` closes its connection, and so do more than
// `max_pending_write_bytes` of answers the client has not read.
// shutdown_gracefully goes down the way a relay taken out for maintenance does: it stops
// listening, ends its sending side of every connection, reads on until each client has closed
// (or a bound passes), then closes; resume_listening brings it back on the same port.
// Faults: a message is a line; answers are every line the relay writes.
#pragma once

#include "relay_publication.hpp"
#include "relay_text.hpp"
#include "sandbox_server.hpp"

#include <asio/awaitable.hpp>

#include <chrono>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tyx::sandbox {

struct RelayServerOptions : SandboxServerOptions {
    // Counting only: no line is parsed or kept except each connection's first line (so a login
    // is still recorded and answered); lines, bytes and connections are counted.
    bool counting_only = false;
    // Object ids only: of each object only its `I` text is kept, in RelayConnection::object_ids;
    // no line or publication is kept, so millions of messages fit. Logins are recorded and
    // answered, and every count goes on as when recording.
    bool object_ids_only = false;
    bool answer_login = true;
    std::string login_message = "logged in";
    bool acknowledge_publications = false;
    std::size_t max_line_bytes = 16 * 1024 * 1024;
    // A connection whose unsent answers exceed this (a client that does not read) is closed.
    std::size_t max_pending_write_bytes = 64 * 1024 * 1024;
    // A slow consumer: each connection reads at most this many bytes a second (0: as fast as
    // it can), in small reads, with a socket receive buffer of `receive_buffer_bytes` when set.
    std::size_t read_bytes_per_second = 0;
    int receive_buffer_bytes = 0;
    // At most this many publications (RelayState::publications) and lines (all connections'
    // RelayConnection::lines together) are kept, the first ones; the counts go on. 0: no limit.
    std::size_t max_recorded = 0;
};

struct RelayConnection {
    ConnectionId id = 0;
    bool open = true;
    bool logged_in = false;                       // a login line was received
    bool logged_out = false;                      // a logout line was received
    std::string login_id;                         // the `I` field of the last login
    std::string login_options;                    // the `O` field's text, quotes removed
    std::vector<std::string> login_words;         // that text split at commas
    std::optional<std::int64_t> login_seqnum;     // `#` of the last login
    std::optional<std::int64_t> login_timestamp;  // `@` of the last login
    std::optional<std::int64_t> logout_seqnum;
    std::optional<std::int64_t> logout_timestamp;
    std::deque<std::string> lines;       // every line, in order, without line feed (when recording)
    std::deque<std::string> object_ids;  // each object's `I` text, in order (object_ids_only)
    std::uint64_t line_count = 0;
    std::uint64_t bytes = 0;
    std::uint64_t logins = 0;
};

struct RelayState {
    std::map<ConnectionId, RelayConnection> connections;
    std::deque<RelayPublication> publications;  // objects and removals of all connections, in order
    std::uint64_t accepted = 0;
    std::uint64_t line_count = 0;
    std::uint64_t bytes = 0;
    std::uint64_t logins = 0;
    std::uint64_t objects = 0;
    std::uint64_t removals = 0;
    ConnectionId last_connection = 0;
    std::uint64_t read_holds = 0;  // times the read gate held reading back
    bool reading_held = false;     // the read gate holds reading back now

    // The last object received for (type, id) unless a later removal of it was received.
    const RelayPublication* current_object(std::string_view type, std::string_view id) const;
    std::size_t open_connections() const;
};

// What shutdown_gracefully saw of one connection.
struct RelayGracefulClose {
    ConnectionId connection = 0;
    bool client_closed = false;  // the client closed its side within the bound
    // From ending our sending side to reading the client's end of stream (to giving up on it
    // when it did not close).
    std::chrono::microseconds waited{0};
};

class RelayServer : public SandboxServer {
public:
    // Receives the objects and removals read from one chunk of input, on the server's loop,
    // once the chunk's lines were handled and before the next read. Must not block, nor call
    // the wait_* members.
    using Observer = std::function<void(std::vector<RelayPublication>)>;

    // Starts listening at once, on a loop of its own or on `loop` (which must outlive the server).
    explicit RelayServer(RelayServerOptions options = {});
    RelayServer(SandboxLoop& loop, RelayServerOptions options = {});
    // Stops listening, closes every connection and waits until no handler of the server runs.
    ~RelayServer();

    void drop_connection(ConnectionId id);
    // Stops listening, shuts down the sending side of every open connection, goes on reading
    // each (what the client still sends is recorded) until it ends or `timeout` passes, and
    // closes it. Returns once every connection is closed, one entry per connection in id order.
    // A connection still in its TLS handshake is closed at once, as stop_listening does.
    // Like the wait_* members, not to be called on the loop.
    std::vector<RelayGracefulClose> shutdown_gracefully(
        std::chrono::milliseconds timeout = std::chrono::seconds(2));

    // Writes `text` exactly (add the line feed yourself) to one connection; ignored when it is
    // closed. send_status and send_execute_command write the lines of relay_text.hpp.
    void send_line(ConnectionId id, std::string text);
    void send_status(ConnectionId id, const RelayStatus& status);
    void send_execute_command(ConnectionId id, const RelayCommand& command);
    void broadcast_line(std::string text);

    void set_observer(Observer observer);
    // Gives back publications the observer was handed once they are done with: their storage
    // serves the next ones read (a few thousand short lines' worth is kept; the rest is freed).
    void recycle(std::vector<RelayPublication> done);
    // A consumer of the observer that falls behind holds reading back: while `hold()` returns
    // true (asked on the loop before each read) no connection reads, so publishers meet TCP
    // back-pressure. `recheck_read_gate` (any thread) has held readers ask again.
    void set_read_gate(std::function<bool()> hold);
    void recheck_read_gate();
    // Forgets recorded lines and publications and zeroes the counters; connections stay.
    void clear();

    RelayState state() const;  // a copy
    // Runs `fn(const RelayState&)` on the loop and returns its result.
    template <typename F>
    auto inspect(F&& fn) const {
        return loop_->call([&] { return fn(std::as_const(state_)); });
    }
    // Waits until `predicate(state)` holds; false when `timeout` passed first.
    bool wait_until(const std::function<bool(const RelayState&)>& predicate,
                    std::chrono::milliseconds timeout = std::chrono::seconds(10));
    bool wait_for_connections(std::size_t open, std::chrono::milliseconds timeout = std::chrono::seconds(10));
    bool wait_for_logins(std::uint64_t n, std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Objects and removals received (also those past the record's limit).
    bool wait_for_publications(std::size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(10));
    bool wait_for_objects(std::uint64_t n, std::chrono::milliseconds timeout = std::chrono::seconds(10));
    bool wait_for_lines(std::uint64_t n, std::chrono::milliseconds timeout = std::chrono::seconds(10));

private:
    struct Session;
    RelayServer(SandboxLoop* loop, RelayServerOptions options);
    void on_accept(SandboxStream socket) override;
    asio::awaitable<void> read_lines(std::shared_ptr<Session> session);
    asio::awaitable<void> wait_at_read_gate(Session& session);
    // Hands every ended line of [p, end) to handle_line and keeps the unended rest.
    void take_lines(Session& session, RelayConnection& conn, const char* p, const char* end);
    void count_lines(RelayConnection& conn, const char* p, std::size_t n);
    void on_reader_end(Session& session, const std::exception_ptr& error);
    void handle_line(Session& session, std::string_view line);
    void flush_batch();
    void write(const std::shared_ptr<Session>& session, std::string text);
    std::shared_ptr<Session> session(ConnectionId id) const;  // nullptr when it has ended

    RelayServerOptions options_;
    RelayState state_;
    Observer observer_;
    std::function<bool()> read_gate_;
    std::size_t recorded_lines_ = 0;
    std::vector<RelayPublication> batch_;
    std::vector<RelayPublication> spare_batch_;  // an empty batch with room, given back
    std::vector<std::string> spare_lines_;       // empty strings with room, given back
    RelayLineView scratch_;                      // the line being handled
    // Connections of a running shutdown_gracefully, filled in as each one ends.
    std::map<ConnectionId, RelayGracefulClose> draining_;
};

}  // namespace tyx::sandbox
