// One Client connected to one cluster for the length of a command, with the events the commands
// wait for: logins per server kind, publications written, center updates, query results. The
// Connection lives on the command's thread; its listener runs on the Client's notification
// thread and hands over through a mutex.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <tyx/client.hpp>

#include "clusters.hpp"

namespace tyx::tool {

class Connection {
public:
    using UpdateHandler = std::function<void(const tyx::ClientListener::CenterIncrementalUpdate&)>;

    // Starts the sessions of the given kinds only. `verbose` copies every log line, status line
    // and connection event to standard error; `stats` prints the Client's health as JSON there
    // when the Connection ends (not when it was abandoned).
    Connection(ClusterSettings settings, std::vector<ServerKind> kinds, bool verbose, bool stats = false);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Waits until every session has logged in. When `timeout` passes first, throws ToolError
    // saying which kind of server at which endpoint could not be reached (or refused the login,
    // with the library's last word on it). A failure no wait can mend (a refused connection, a
    // name or port that does not resolve, TLS verification or material, a refused login) throws
    // at once, with the library's reason.
    void wait_ready(std::chrono::milliseconds timeout);

    tyx::Client& client() { return *client_; }
    const std::string& cluster() const { return settings_.name; }
    const ClusterSettings& settings() const { return settings_; }

    // Objects and removals the relay session has written to its socket.
    std::uint64_t publications_sent() const;
    // Publications the library refused (a value the wire cannot carry), and its first word on
    // one ("" when none was refused).
    std::uint64_t publications_refused() const;
    std::string first_refusal() const;
    // Waits until `n` publications are written or refused. Gives up, returning false, when none
    // is for `stall` (the Connection is then abandoned, as after a missed connect deadline).
    bool wait_for_sent(std::uint64_t n, std::chrono::milliseconds stall);

    // Waits up to `timeout` until the relay's host has every publication made so far. Throws
    // ToolError naming the relay, how many of `published` it has not received and the library's
    // last word on the relay session (a TLS alert, say); the Connection is then abandoned.
    void flush_relay(std::uint64_t published, std::chrono::milliseconds timeout);

    // Runs on the notification thread for every center update; set it before subscribing.
    void set_update_handler(UpdateHandler handler);

    // Runs `sql` on the cluster's databases and calls `use` with the result (on the notification
    // thread, while this call waits). A server error in the result is not an exception: `use`
    // sees it in error_message(). A request that fails on the way, or takes longer than the
    // query timeout, throws ToolError.
    void query(std::string_view sql, const std::function<void(const tyx::TableAccessor&)>& use);

    // The first upload failure the library reported (its level-3 log text) since the last call,
    // or "" when there was none. The failure of a blocking upload is heard shortly after the
    // call returns: `wait` bounds how long to listen for it.
    std::string take_upload_failure(std::chrono::milliseconds wait = std::chrono::milliseconds(0));

    struct Events;

private:
    // Called when a deadline has passed: the Client is then left running rather than destroyed,
    // since stopping a session that is stuck in a handshake can take as long as that
    // handshake's own timeout. The process is about to exit (main ends it with _Exit).
    void abandon();

    bool abandoned_ = false;
    bool stats_ = false;
    ClusterSettings settings_;
    std::vector<ServerKind> kinds_;
    std::shared_ptr<Events> events_;
    std::unique_ptr<tyx::Client> client_;
};

// Deadlines as the messages say them: "10 s", "0.5 s".
std::string seconds_text(std::chrono::milliseconds duration);

}  // namespace tyx::tool
