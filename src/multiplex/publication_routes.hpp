// The multiplexer's routing table for publications: per cluster, its distribution function and
// the outboxes of its relay shards. Immutable once published (only the distribution function's
// mutex changes state), and read by every publishing thread without a lock.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "multiplex/tyx_client_multiplex.hpp"
#include "rt/relay_outbox.hpp"
#include "tyx/config.hpp"

namespace tyx {

struct TyxClientMultiplex::ClusterRoute {
    std::string name;
    PublicationConfig::DistributionFunction distribution;
    // The distribution function is never called by two threads at once for one cluster.
    mutable std::mutex distribution_mutex;
    std::vector<std::shared_ptr<rt::RelayOutbox>> relays;  // by shard; null when disabled
};

struct TyxClientMultiplex::RouteTable {
    struct Hash {
        using is_transparent = void;
        std::size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
    };
    std::unordered_map<std::string, std::shared_ptr<ClusterRoute>, Hash, std::equal_to<>> clusters;
};

// What a publishing thread last saw of one multiplexer's routing table. A thread that
// publishes through several clients in turn refreshes it at each change of client.
struct TyxClientMultiplex::RouteCache {
    std::uint64_t owner = 0;  // instance_id_ of the multiplexer the table belongs to
    std::uint64_t version = 0;
    std::shared_ptr<const RouteTable> table;
    const ClusterRoute* last_route = nullptr;  // most calls name the cluster of the call before
};

template <typename Edit>
void TyxClientMultiplex::edit_routes(Edit&& edit) {
    auto copy = std::make_shared<RouteTable>(*routes_);
    edit(*copy);
    routes_ = std::move(copy);
    routes_version_.fetch_add(1, std::memory_order_release);
}

}  // namespace tyx
