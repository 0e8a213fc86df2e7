#include <gtest/gtest.h>

#include "core/endpoints.hpp"
#include "tyx/config.hpp"

namespace tyx {
namespace {

TEST(ConfigDefaults, ShardsStartDisabledWithTlsOn) {
    PublicationConfig::Shard relay;
    SubscriptionConfig::Shard center;
    DatabaseConfig::Shard db;
    EXPECT_FALSE(relay.enabled());
    EXPECT_FALSE(center.enabled());
    EXPECT_FALSE(db.enabled());
    EXPECT_TRUE(relay.use_ssl);
    EXPECT_TRUE(center.use_ssl);
    EXPECT_TRUE(db.use_ssl);

    DatabaseConfig dbc;
    EXPECT_EQ(dbc.query_timeout_ms, 30000);
    EXPECT_EQ(dbc.query_limit, 10000);
    EXPECT_FALSE(dbc.enabled());
    EXPECT_EQ(PublicationConfig().options, 0);
}

TEST(ConfigBuilding, FirstShardConstructorsHoldExactlyOneShard) {
    PublicationConfig pub("7001", false, "feedA", PublicationConfig::ENABLE_QUIET | PublicationConfig::UNIX_MODE);
    ASSERT_EQ(pub.shards.size(), 1u);
    EXPECT_EQ(pub.shards[0].host, "");
    EXPECT_EQ(pub.shards[0].port_or_service, "7001");
    EXPECT_FALSE(pub.shards[0].use_ssl);
    EXPECT_TRUE(pub.shards[0].failover_endpoints.empty());
    EXPECT_EQ(pub.login_id, "feedA");
    EXPECT_EQ(pub.options, 1028);

    DatabaseConfig db("7003", true, "u", "p", 500, 20);
    ASSERT_EQ(db.shards.size(), 1u);
    EXPECT_EQ(db.username, "u");
    EXPECT_EQ(db.password, "p");
    EXPECT_EQ(db.query_timeout_ms, 500);
    EXPECT_EQ(db.query_limit, 20);
    EXPECT_EQ(db.db, "");
}

TEST(ConfigBuilding, AddShardChainsAndKeepsDisabledPositions) {
    SubscriptionConfig sub;
    sub.add_shard("", true).add_shard("7002", false, {{"b", "8002"}});
    ASSERT_EQ(sub.shards.size(), 2u);
    EXPECT_FALSE(sub.shards[0].enabled());
    EXPECT_TRUE(sub.shards[1].enabled());
    EXPECT_EQ(sub.shards[1].failover_endpoints[0].host, "b");
    EXPECT_TRUE(sub.enabled());
}

TEST(ConfigBuilding, AddFailoverUrlCreatesADisabledShardWhenNoneExists) {
    DatabaseConfig db;
    db.add_failover_url("backup", "9000");
    ASSERT_EQ(db.shards.size(), 1u);
    EXPECT_FALSE(db.shards[0].enabled());
    EXPECT_TRUE(db.shards[0].use_ssl);
    ASSERT_EQ(db.shards[0].failover_endpoints.size(), 1u);
    EXPECT_EQ(db.shards[0].failover_endpoints[0].host, "backup");

    // With shards present, the failover goes to the last one.
    db.add_shard("7003", false).add_failover_url("b2", "9001");
    EXPECT_EQ(db.shards[0].failover_endpoints.size(), 1u);
    ASSERT_EQ(db.shards[1].failover_endpoints.size(), 1u);
    EXPECT_EQ(db.shards[1].failover_endpoints[0].port_or_service, "9001");
}

TEST(ConfigBuilding, AddFailoverHostUsesEachFirstShardsPortAndSkipsDisabledConfigs) {
    Cluster c("prod", "main-host", "text");
    c.publication_config = PublicationConfig("7001", false, "id");
    c.database_config = DatabaseConfig("7003", false, "u", "p");
    c.subscription_config.add_shard("", false);  // present but disabled
    c.add_failover_host("backup");
    ASSERT_EQ(c.publication_config.shards[0].failover_endpoints.size(), 1u);
    EXPECT_EQ(c.publication_config.shards[0].failover_endpoints[0].host, "backup");
    EXPECT_EQ(c.publication_config.shards[0].failover_endpoints[0].port_or_service, "7001");
    ASSERT_EQ(c.database_config.shards[0].failover_endpoints.size(), 1u);
    EXPECT_EQ(c.database_config.shards[0].failover_endpoints[0].port_or_service, "7003");
    EXPECT_TRUE(c.subscription_config.shards[0].failover_endpoints.empty());

    c.add_failover_host("other", std::string("9999"));
    EXPECT_EQ(c.publication_config.shards[0].failover_endpoints[1].port_or_service, "9999");
    EXPECT_EQ(c.description, "text");
}

TEST(ConfigBuilding, DistributionFunctionSetClearAndCopy) {
    PublicationConfig pub;
    EXPECT_FALSE(pub.has_distribution_function());
    pub.set_distribution_function([](std::string_view, std::string_view m) {
        return std::vector<std::size_t>{m.size()};
    });
    PublicationConfig copy = pub;
    ASSERT_TRUE(copy.has_distribution_function());
    EXPECT_EQ(copy.distribution_function()("c", "abc"), std::vector<std::size_t>{3});
    pub.clear_distribution_function();
    EXPECT_FALSE(pub.has_distribution_function());
    EXPECT_TRUE(copy.has_distribution_function());
}

TEST(ShardEndpoints, PrimaryTakesClusterHostWhenEmptyAndFailoversStayUnchanged) {
    PublicationConfig::Shard shard("7001", false, {{"", "8001"}, {"b", "8002"}});
    auto eps = make_shard_endpoints(shard, "cluster-host");
    ASSERT_EQ(eps.size(), 3u);
    EXPECT_EQ(eps[0].host, "cluster-host");
    EXPECT_EQ(eps[0].port_or_service, "7001");
    EXPECT_EQ(eps[1].host, "");  // an empty failover host is not replaced
    EXPECT_EQ(eps[2].host, "b");

    shard.host = "own";
    EXPECT_EQ(make_shard_endpoints(shard, "cluster-host")[0].host, "own");
}

}  // namespace
}  // namespace tyx
