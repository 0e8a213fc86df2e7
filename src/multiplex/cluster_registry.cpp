// The multiplexer's registry of clusters: adding one (its relay outboxes first, so publications
// made right after wait for its relays), removing one, and stopping them all.
#include <asio/co_spawn.hpp>
#include <asio/use_awaitable.hpp>

#include "multiplex/publication_routes.hpp"
#include "multiplex/tyx_client_multiplex.hpp"
#include "multiplex/tyx_cluster_client.hpp"
#include "rt/tyx_client_relay.hpp"

namespace tyx {

void TyxClientMultiplex::add_cluster(const Cluster& cluster, bool wait, std::function<void()> on_done) {
    std::unique_lock lock(routes_mutex_);
    // The outboxes exist from this call on, so a publication made right after it waits there
    // for the relay's first login instead of finding no cluster.
    std::vector<std::shared_ptr<rt::RelayOutbox>> outboxes;
    if (!routes_->clusters.contains(cluster.name)) {
        auto route = std::make_shared<ClusterRoute>();
        route->name = cluster.name;
        route->distribution = cluster.publication_config.distribution_function();
        const std::string relay_name = make_client_name(cluster.name, "relay");
        const auto& shards = cluster.publication_config.shards;
        for (std::size_t i = 0; i < shards.size(); ++i) {
            outboxes.push_back(shards[i].enabled()
                                   ? TyxClientRelay::make_outbox(*this, relay_name,
                                                                 relay_name + " shard " + std::to_string(i),
                                                                 cluster.publication_config)
                                   : nullptr);
        }
        route->relays = outboxes;
        edit_routes([&](RouteTable& table) { table.clusters.emplace(cluster.name, std::move(route)); });
    }
    post_locked(
        [this, copy = cluster, outboxes = std::move(outboxes)]() mutable -> asio::awaitable<void> {
            co_await do_add_cluster(std::move(copy), std::move(outboxes));
        },
        wait, lock, std::move(on_done));
}

void TyxClientMultiplex::remove_cluster(std::string_view cluster_name, bool wait,
                                        std::function<void()> on_done) {
    std::unique_lock lock(routes_mutex_);
    if (routes_->clusters.find(cluster_name) != routes_->clusters.end())
        edit_routes([&](RouteTable& table) { table.clusters.erase(table.clusters.find(cluster_name)); });
    post_locked([this, name = std::string(
                           cluster_name)]() -> asio::awaitable<void> { co_await do_remove_cluster(name); },
                wait, lock, std::move(on_done));
}

asio::awaitable<void> TyxClientMultiplex::do_add_cluster(
    Cluster cluster, std::vector<std::shared_ptr<rt::RelayOutbox>> outboxes) {
    // A second cluster of a registered name is refused before anything of it is built: a
    // client that started but could not be registered could never be stopped by name.
    if (clusters_.contains(cluster.name)) {
        log(cluster.name, 3, "Failed to add cluster: Cluster already exists [" + cluster.name + "]");
        co_return;
    }
    auto client =
        std::make_shared<TyxClusterClient>(*this, cluster, control_.context, pool_, std::move(outboxes));
    clusters_.emplace(cluster.name, client);
    {
        std::lock_guard lock(health_mutex_);
        health_board_.push_back(BoardEntry{client.get(), client->monitors()});
    }
    co_await client->start(control_.context);
}

void TyxClientMultiplex::forget_health(const TyxClusterClient* cluster) {
    std::lock_guard lock(health_mutex_);
    std::erase_if(health_board_, [&](const BoardEntry& entry) { return entry.cluster == cluster; });
}

asio::awaitable<void> TyxClientMultiplex::do_remove_cluster(std::string cluster_name) {
    auto it = clusters_.find(cluster_name);
    if (it == clusters_.end()) co_return;
    std::shared_ptr<TyxClusterClient> client = std::move(it->second);
    clusters_.erase(it);
    co_await client->stop();
    forget_health(client.get());
}

asio::awaitable<void> TyxClientMultiplex::do_stop_all() {
    for (auto& [name, client] : clusters_) co_await client->stop();
    clusters_.clear();
}

}  // namespace tyx
