// TyxClusterClient: the protocol clients of one cluster, one per enabled shard, in slots indexed
// by shard number (null for a disabled shard). Built, started and stopped on the control loop;
// each relay lives on its own worker loop, centers and database clients on the control loop.
#pragma once

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>

#include <atomic>
#include <functional>
#include <memory>
#include <vector>

#include "center/tyx_client_center.hpp"
#include "core/endpoints.hpp"
#include "jdbc/tyx_client_jdbc.hpp"
#include "multiplex/io_context_pool.hpp"
#include "rt/tyx_client_relay.hpp"
#include "tyx/config.hpp"

namespace tyx {

class TyxClientMultiplex;

class TyxClusterClient {
public:
    // Builds every client (nothing connects yet): relays on consecutive pool workers, centers
    // and database clients on `control`. Relay i writes outboxes[i] when given, else one of its own.
    TyxClusterClient(TyxClientMultiplex& multiplex, const Cluster& cluster, asio::io_context& control,
                     IoContextPool& pool, std::vector<std::shared_ptr<rt::RelayOutbox>> outboxes = {});
    // Destroys centers, database clients, then relays. `stop` must have completed first.
    ~TyxClusterClient();
    TyxClusterClient(const TyxClusterClient&) = delete;
    TyxClusterClient& operator=(const TyxClusterClient&) = delete;

    // Starts every client on its own: each connects, then runs its receive loop, independently
    // of the others, so an unreachable shard never holds up another. Completes once every client
    // has connected and logged in, or has failed each of its endpoints once (it then goes on
    // trying in the background), or has ended.
    asio::awaitable<void> start(asio::io_context& control);
    // Stops relays (on their workers), database clients, then centers, and waits until every
    // client loop that `start` spawned has ended.
    asio::awaitable<void> stop();

    // Runs `fn(relay)` on each relay's own worker and resumes on `executor` when all are done.
    asio::awaitable<void> for_each_relay_on_worker(asio::any_io_executor executor,
                                                   std::function<asio::awaitable<void>(TyxClientRelay&)> fn);

    template <typename Shard>
    static std::vector<Endpoint> make_endpoints(std::string_view default_host, const Shard& shard) {
        return make_shard_endpoints(shard, default_host);
    }

    const Cluster& cluster() const { return cluster_; }
    const std::vector<std::unique_ptr<TyxClientRelay>>& relays() const { return relays_; }
    const std::vector<std::unique_ptr<TyxClientJdbc>>& jdbcs() const { return jdbcs_; }
    const std::vector<std::unique_ptr<TyxClientCenter>>& centers() const { return centers_; }
    // Every session's monitor: relays, centers, then database shards, each by shard.
    std::vector<std::shared_ptr<const SessionMonitor>> monitors() const;
    int spawned_loops() const { return spawned_loops_; }
    int finished_loops() const { return finished_loops_ ? finished_loops_->count.load() : 0; }

private:
    // Runs connect then receive_loop of `client` on `loop`, counting the loop's end.
    void spawn_client(ITyxClient& client, asio::io_context& loop, asio::io_context& control,
                      std::function<void()> settled);

    Cluster cluster_;
    std::vector<std::unique_ptr<TyxClientRelay>> relays_;
    std::vector<std::unique_ptr<TyxClientJdbc>> jdbcs_;
    std::vector<std::unique_ptr<TyxClientCenter>> centers_;
    // Counts the client loops that ended, from whichever loop ran them, and wakes a stop that
    // waits for them on the control loop.
    struct LoopsEnded {
        explicit LoopsEnded(asio::io_context& control) : signal(control) {}
        std::atomic<int> count{0};
        asio::steady_timer signal;
    };
    std::shared_ptr<LoopsEnded> finished_loops_;
    int spawned_loops_ = 0;
};

}  // namespace tyx
