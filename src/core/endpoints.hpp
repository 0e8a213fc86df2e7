// The endpoint list of a shard as the protocol clients fail over across it. Pure function of
// the configuration records; used by the cluster client when it creates a shard's client.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "tyx/config.hpp"

namespace tyx {

// The endpoint list of a shard, primary first: the shard's host (or the cluster's host when
// the shard's is empty) with the shard's port, then the failover endpoints unchanged.
template <typename ShardT>
std::vector<Endpoint> make_shard_endpoints(const ShardT& shard, std::string_view cluster_host) {
    std::vector<Endpoint> endpoints;
    endpoints.reserve(1 + shard.failover_endpoints.size());
    endpoints.push_back(Endpoint{shard.host.empty() ? std::string(cluster_host) : shard.host, shard.port_or_service});
    endpoints.insert(endpoints.end(), shard.failover_endpoints.begin(), shard.failover_endpoints.end());
    return endpoints;
}

}  // namespace tyx
