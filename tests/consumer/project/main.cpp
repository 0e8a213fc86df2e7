// A tiny application built against the installed library: starts a Client, builds the text of
// an object message, reads a table's type codes, and checks that a query on a cluster it does
// not know gives no result.
#include <tyx/tyx.hpp>

#include <cstdio>

int main() {
    tyx::Cluster cluster("prod", "db.example");
    cluster.publication_config =
        tyx::PublicationConfig("7001", false, "feedA", tyx::PublicationConfig::ENABLE_QUIET);
    cluster.database_config = tyx::DatabaseConfig("7003", false, "user", "secret");
    cluster.add_failover_host("backup.example");
    bool ok = cluster.publication_config.enabled() && !cluster.subscription_config.enabled() &&
              cluster.database_config.shards[0].failover_endpoints.size() == 1 &&
              cluster.database_config.shards[0].failover_endpoints[0].port_or_service == "7003";

    tyx::Client client;
    ok = ok && client.serialize_object("Order", "o-17", {"qty"}, {std::int32_t{5}}) ==
                   "O|T=\"Order\"|I=\"o-17\"|qty=5\n";
    tyx::Table table("t");
    table.add_column("n", std::vector<std::uint32_t>{1});
    ok = ok &&
         tyx::column_type_codes(table) == std::vector<std::uint8_t>{tyx::code_of(tyx::TypeCode::Integer)};
    auto result = client.sql("unknown", "SELECT 1");
    ok = ok && result != nullptr && !result->has_result_set();
    std::puts(ok ? "consumer ok" : "consumer FAILED");
    return ok ? 0 : 1;
}
