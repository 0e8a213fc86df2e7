// A tiny application built against the installed library: describes a cluster and exits 0
// when the records behave as documented.
#include <tyx/tyx.hpp>

#include <cstdio>

int main() {
    tyx::Cluster cluster("prod", "db.example");
    cluster.publication_config = tyx::PublicationConfig("7001", false, "feedA", tyx::PublicationConfig::ENABLE_QUIET);
    cluster.database_config = tyx::DatabaseConfig("7003", false, "user", "secret");
    cluster.add_failover_host("backup.example");
    const bool ok = cluster.publication_config.enabled() && !cluster.subscription_config.enabled() &&
                    cluster.database_config.shards[0].failover_endpoints.size() == 1 &&
                    cluster.database_config.shards[0].failover_endpoints[0].port_or_service == "7003";
    std::puts(ok ? "consumer ok" : "consumer FAILED");
    return ok ? 0 : 1;
}
