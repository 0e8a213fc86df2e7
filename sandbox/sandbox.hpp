// One small platform on loopback: a relay, a center and a database server, with what is
// published to the relay kept as table rows (sandbox_store.hpp) that the center serves to its
// subscribers and the database answers SQL about. Used by tests, the `tyx sandbox` command and
// the Python module.
//
// Loops: the relay runs on a loop of its own, so that storing publications never slows its
// reading; the center, the database server and the store share a second loop and one SQLite
// connection. The relay hands each batch of publications it has read to the center's loop (the
// relay's observer), where consecutive batches are written in one transaction and their row
// changes sent to the center's subscribers. Storage lags the relay by those hops: wait for it
// with `wait_for_stored` (or the center's `wait_for_applied`).
#pragma once

#include "center_server.hpp"
#include "database_server.hpp"
#include "relay_server.hpp"
#include "sandbox_store.hpp"
#include "sandbox_tls.hpp"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace tyx::sandbox {

struct SandboxOptions {
    std::string host = "127.0.0.1";
    // 0: an ephemeral port each.
    std::uint16_t relay_port = 0;
    std::uint16_t center_port = 0;
    std::uint16_t database_port = 0;
    // SQLite database behind the store and the database server: ":memory:" or a file path.
    std::string sqlite_path = ":memory:";
    std::optional<std::string> database_user = std::nullopt;      // checked at login when set
    std::optional<std::string> database_password = std::nullopt;  // checked at login when set
    // False: publications are recorded by the relay but not stored (nor sent by the center).
    bool store_publications = true;
    // The relay's counting-only mode (implies no store: nothing is parsed).
    bool relay_counting_only = false;
    // Publications read by the relay and not yet applied to the store, in feed_bytes
    // (relay_publication.hpp): past this the relay stops reading until the store has caught up
    // to half of it, so publishers meet TCP back-pressure rather than a queue that grows.
    std::size_t feed_bytes = std::size_t{8} << 20;
    // While publications are stored: the relay keeps at most this many publications and lines
    // in its record (RelayServerOptions::max_recorded) unless `relay.max_recorded` says otherwise.
    std::size_t relay_record_limit = 100'000;
    // When set, all three servers accept TLS connections only, with this material.
    std::optional<SandboxTls> tls = std::nullopt;
    // Seeded random faults of each server (sandbox_faults.hpp), in place of the plans of the
    // server settings below; triggered faults and counts are at relay().faults() and so on.
    SandboxFaults faults = {};
    // Further settings of each server; their host and port are taken from the fields above.
    RelayServerOptions relay = {};
    CenterServerOptions center = {};
    DatabaseServerOptions database = {};
};

class Sandbox {
public:
    // Starts all three servers; throws when a port cannot be bound or the database not opened.
    explicit Sandbox(SandboxOptions options = {});
    // Stops the relay first (no more publications), then the center and the database.
    ~Sandbox();
    Sandbox(const Sandbox&) = delete;
    Sandbox& operator=(const Sandbox&) = delete;

    std::uint16_t relay_port() const { return relay_->port(); }
    std::uint16_t center_port() const { return center_->port(); }
    std::uint16_t database_port() const { return database_->port(); }

    RelayServer& relay() { return *relay_; }
    CenterServer& center() { return *center_; }
    DatabaseServer& database() { return *database_; }

    // Every server's fault counts, "relay: dropped 2; center: none; database: delayed 1".
    std::string describe_fault_counts();
    // What each server has seen so far, one line per server:
    //   "relay: connections 1 open, 3 accepted; logins 3; lines 1002, 71234 bytes; objects 998, removals 1"
    //   "center: connections 2 open, 2 accepted; clients 1; requests 1; snapshots 1, changes 998"
    //   "database: connections 1 open, 1 accepted; logins 1; requests 4, answered 4"
    std::string describe_counters();

    // Publications on their way from the relay to the store, in feed_bytes; and the most so far.
    std::size_t feed_bytes_in_flight() const { return in_flight_; }
    std::size_t most_feed_bytes_in_flight() const { return most_in_flight_; }

    // Waits until the store has handled `n` publications since the start.
    bool wait_for_stored(std::uint64_t n, std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Waits until every object and removal the relay has counted so far is stored (the relay's
    // `clear` zeroes its counts, not the store's: use `wait_for_stored` after it).
    bool wait_until_stored(std::chrono::milliseconds timeout = std::chrono::seconds(10));

private:
    std::size_t feed_limit_ = 0;
    std::atomic<std::size_t> in_flight_{0};
    std::atomic<std::size_t> most_in_flight_{0};
    SandboxLoop relay_loop_;
    SandboxLoop data_loop_;
    std::unique_ptr<DatabaseServer> database_;
    std::unique_ptr<CenterServer> center_;
    std::unique_ptr<RelayServer> relay_;
};

}  // namespace tyx::sandbox
