// What the multiplexer's cluster operations share: the failure texts they log (each defined
// once; the client's facade logs some of them too) and the lookup of a cluster by name.
// Control loop, like the registry.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "multiplex/tyx_client_multiplex.hpp"
#include "multiplex/tyx_cluster_client.hpp"

namespace tyx {

inline constexpr std::string_view kSendFailed = "Failed to send message";
inline constexpr std::string_view kFlushFailed = "Failed to flush";
inline constexpr std::string_view kSubscribeFailed = "Failed to subscribe to center tables";
inline constexpr std::string_view kUnsubscribeFailed = "Failed to unsubscribe from center tables";
inline constexpr std::string_view kQueryFailed = "Failed to execute SQL query";
inline constexpr std::string_view kInsertFailed = "Failed to execute bulk insert";

// "<what>: Cluster not found [<name>]".
inline std::string not_found(std::string_view what, std::string_view name) {
    return std::string(what) + ": Cluster not found [" + std::string(name) + "]";
}

// The cluster of that name, or null once "<what>: Cluster not found [name]" is logged.
inline std::shared_ptr<TyxClusterClient> find_cluster(TyxClientMultiplex& m, const std::string& name,
                                                      std::string_view what) {
    auto it = m.clusters().find(name);
    if (it != m.clusters().end()) return it->second;
    m.log(name, 3, not_found(what, name));
    return nullptr;
}

}  // namespace tyx
