// Shared by the examples: the cluster to talk to, from the environment (TYX_HOST,
// TYX_RELAY_PORT, TYX_CENTER_PORT, TYX_DB_PORT), defaulting to a local `tyx sandbox`.
#pragma once

#include <cstdlib>
#include <string>

#include <tyx/tyx.hpp>

inline std::string env_or(const char* name, const char* fallback) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : fallback;
}

inline tyx::Cluster example_cluster() {
    tyx::Cluster cluster("demo", env_or("TYX_HOST", "127.0.0.1"));
    cluster.publication_config = tyx::PublicationConfig(env_or("TYX_RELAY_PORT", "7001"), false, "example");
    cluster.subscription_config = tyx::SubscriptionConfig(env_or("TYX_CENTER_PORT", "7002"), false);
    cluster.database_config = tyx::DatabaseConfig(env_or("TYX_DB_PORT", "7003"), false, "", "");
    return cluster;
}
