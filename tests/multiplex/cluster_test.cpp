// Clusters on the multiplexer: slots and workers, publication routing, the not-found texts,
// query fan-out in shard order, failing shards, subscriptions, registry changes, shutdown.
// Several sandbox servers play the shards.
#include <gtest/gtest.h>

#include <future>

#include "center_server.hpp"
#include "database_server.hpp"
#include "jdbc/jdbc_result.hpp"
#include "multiplex/tyx_cluster_client.hpp"
#include "relay_server.hpp"
#include "rt/messages.hpp"
#include "sandbox.hpp"
#include "support/event_log.hpp"
#include "support/multiplex_recorder.hpp"
#include "support/relay_harness.hpp"

namespace tyx {
namespace {

using namespace std::chrono_literals;
using sandbox::DatabaseServer;
using sandbox::RelayServer;
using test::EventLog;

std::string port_of(std::uint16_t p) { return std::to_string(p); }

// Runs `fn()` on the control loop and returns its result.
template <typename F>
auto on_control(TyxClientMultiplex& m, F fn) {
    std::promise<decltype(fn())> result;
    asio::post(m.control_context(), [&] { result.set_value(fn()); });
    return result.get_future().get();
}

std::shared_ptr<rt::Message> object(const std::string& id) {
    return rt::make_object_message("T", id, {}, {}, 0, 0);
}

// Publishes through routing and returns once every relay server has the marker that follows.
std::vector<std::vector<std::string>> route(TyxClientMultiplex& m, std::vector<RelayServer*> servers,
                                           const std::string& id, std::vector<std::size_t>& choice) {
    // The waiting form returns once the distribution function has chosen.
    m.send_object_message("alpha", object(id), true);
    choice.clear();  // the marker goes to every enabled relay
    m.send_object_message("alpha", object("marker-" + id), false);
    std::vector<std::vector<std::string>> got;
    for (RelayServer* s : servers) {
        std::vector<std::string> ids;
        if (s != nullptr) {
            EXPECT_TRUE(s->wait_until([&](const sandbox::RelayState& st) {
                for (const auto& p : st.publications)
                    if (p.id == "marker-" + id) return true;
                return false;
            }));
            for (const auto& p : s->state().publications)
                if (p.id == id) ids.push_back(p.id);
        }
        got.push_back(ids);
    }
    return got;
}

TEST(ClusterSlots, DisabledShardsKeepTheirSlotAndRelaysRotateAcrossClusters) {
    RelayServer a, b, c;
    TyxClientMultiplex m(4);
    Cluster one("one", "127.0.0.1");
    one.publication_config.add_shard(port_of(a.port()), false).add_shard("", false).add_shard(port_of(b.port()), false);
    Cluster two("two", "127.0.0.1");
    for (int i = 0; i < 3; ++i) two.publication_config.add_shard(port_of(c.port()), false);
    m.add_cluster(one, true);
    m.add_cluster(two, true);
    auto workers = on_control(m, [&] {
        std::vector<asio::io_context*> out;
        for (const char* name : {"one", "two"})
            for (const auto& r : m.clusters().at(name)->relays()) out.push_back(r ? &r->io_context() : nullptr);
        return out;
    });
    ASSERT_EQ(workers.size(), 6u);
    EXPECT_EQ(workers[0], &m.pool().context(0));
    EXPECT_EQ(workers[1], nullptr);
    EXPECT_EQ(workers[2], &m.pool().context(1));
    EXPECT_EQ(workers[3], &m.pool().context(2));
    EXPECT_EQ(workers[4], &m.pool().context(3));
    EXPECT_EQ(workers[5], &m.pool().context(0));
}

TEST(PublicationRouting, DistributionResultsAndDisabledSlots) {
    RelayServer s0, s1, s2;
    TyxClientMultiplex m(2);
    auto choice = std::make_shared<std::vector<std::size_t>>();
    Cluster c("alpha", "127.0.0.1");
    c.publication_config.add_shard(port_of(s0.port()), false)
        .add_shard(port_of(s1.port()), false)
        .add_shard(port_of(s2.port()), false);
    c.publication_config.set_distribution_function(
        [choice](std::string_view cluster, std::string_view text) {
            EXPECT_EQ(cluster, "alpha");
            EXPECT_EQ(text.substr(0, 1), "O");
            return *choice;
        });
    m.add_cluster(c, true);
    std::vector<RelayServer*> servers{&s0, &s1, &s2};
    using Ids = std::vector<std::string>;

    *choice = {2, 0};
    EXPECT_EQ(route(m, servers, "a", *choice), (std::vector<Ids>{{"a"}, {}, {"a"}}));
    *choice = {1, 1};
    EXPECT_EQ(route(m, servers, "b", *choice), (std::vector<Ids>{{}, {"b", "b"}, {}}));
    *choice = {7};
    EXPECT_EQ(route(m, servers, "c", *choice), (std::vector<Ids>{{}, {}, {}}));
    *choice = {};
    EXPECT_EQ(route(m, servers, "d", *choice), (std::vector<Ids>{{"d"}, {"d"}, {"d"}}));
}

TEST(PublicationRouting, DisabledSlotIsSkippedByBroadcastAndByTheFunction) {
    RelayServer s0, s2;
    TyxClientMultiplex m(2);
    auto choice = std::make_shared<std::vector<std::size_t>>();
    Cluster c("alpha", "127.0.0.1");
    c.publication_config.add_shard(port_of(s0.port()), false).add_shard("", false).add_shard(port_of(s2.port()), false);
    c.publication_config.set_distribution_function([choice](std::string_view, std::string_view) { return *choice; });
    m.add_cluster(c, true);
    using Ids = std::vector<std::string>;
    EXPECT_EQ(route(m, {&s0, nullptr, &s2}, "x", *choice), (std::vector<Ids>{{"x"}, {}, {"x"}}));
    *choice = {1};
    EXPECT_EQ(route(m, {&s0, nullptr, &s2}, "y", *choice), (std::vector<Ids>{{}, {}, {}}));
}

TEST(PublicationRouting, ThrowingDistributionFunctionDropsTheMessageWithALog) {
    RelayServer s0;
    TyxClientMultiplex m(1);
    auto log = std::make_shared<EventLog>();
    m.listener_add(log);
    Cluster c("alpha", "127.0.0.1");
    c.publication_config.add_shard(port_of(s0.port()), false);
    c.publication_config.set_distribution_function([](std::string_view, std::string_view text) -> std::vector<std::size_t> {
        if (text.find("bad") != std::string_view::npos) throw std::runtime_error("no shard for it");
        return {};
    });
    m.add_cluster(c, true);
    m.send_object_message("alpha", object("bad"), false);
    m.send_object_message("alpha", object("good"), false);
    ASSERT_TRUE(s0.wait_for_publications(1));
    ASSERT_TRUE(log->wait_for("log alpha 3 Failed to send message: distribution function failed: no shard for it"));
    EXPECT_EQ(s0.state().publications.at(0).id, "good");
}

TEST(Routing, UnknownClusterTextsInWaitingFormsAndSilenceOtherwise) {
    TyxClientMultiplex m(1);
    auto log = std::make_shared<EventLog>();
    m.listener_add(log);
    m.send_object_message("ghost", object("x"), false);
    m.send_object_message("ghost", object("x"), true);
    m.subscribe("ghost", std::vector<std::string>{"t"}, true);
    m.unsubscribe("ghost", {"t"}, true);
    EXPECT_TRUE(m.sql("ghost", "SELECT 1").empty());
    EXPECT_TRUE(m.bulk_insert("ghost", "t", {}, 0, -1).empty());
    std::promise<std::size_t> async_results;
    m.sql_async("ghost", "SELECT 1", [&](QueryResults r) { async_results.set_value(r.size()); });
    EXPECT_EQ(async_results.get_future().get(), 0u);
    EXPECT_FALSE(m.get_table_schema("ghost", "t").has_value());
    test::drain_notifications(m);
    EXPECT_EQ(log->events(), (std::vector<std::string>{
                                 "log ghost 3 Failed to send message: Cluster not found [ghost]",
                                 "log ghost 3 Failed to subscribe to center tables: Cluster not found [ghost]",
                                 "log ghost 3 Failed to unsubscribe from center tables: Cluster not found [ghost]",
                                 "log ghost 3 Failed to execute SQL query: Cluster not found [ghost]",
                                 "log ghost 3 Failed to execute bulk insert: Cluster not found [ghost]",
                                 "log ghost 3 Failed to execute SQL query: Cluster not found [ghost]",
                             }));
}

// Each database shard tells who it is.
void name_shard(DatabaseServer& server, const std::string& who) {
    server.exec([&](sandbox::SqliteDatabase& db) {
        db.execute("CREATE TABLE who (name String)");
        db.execute("INSERT INTO who VALUES ('" + who + "')");
        return 0;
    });
}

std::string who_answered(const std::shared_ptr<jdbc::QueryResult>& r) {
    const auto& values = r->elements.at(0).result_set->tables.at(0).columns.at(0).values;
    return std::get<std::vector<std::string>>(values).at(0);
}

TEST(QueryRouting, ResultsInShardOrderWhateverAnswersFirst) {
    DatabaseServer d0, d2;
    name_shard(d0, "zero");
    name_shard(d2, "two");
    d0.set_response_delay(300ms);
    TyxClientMultiplex m(1);
    Cluster c("alpha", "127.0.0.1");
    c.database_config.add_shard(port_of(d0.port()), false).add_shard("", false).add_shard(port_of(d2.port()), false);
    m.add_cluster(c, true);
    auto results = m.sql("alpha", "SELECT name FROM who");
    ASSERT_EQ(results.size(), 2u);
    EXPECT_EQ(who_answered(results[0]), "zero");
    EXPECT_EQ(who_answered(results[1]), "two");
}

TEST(QueryRouting, FailingShardsGiveAnEmptyListAndOneLogForTheLowestShard) {
    DatabaseServer d0, d1, d2;
    TyxClientMultiplex m(1);
    auto log = std::make_shared<EventLog>();
    m.listener_add(log);
    Cluster c("alpha", "127.0.0.1");
    c.database_config.add_shard(port_of(d0.port()), false).add_shard(port_of(d1.port()), false).add_shard(
        port_of(d2.port()), false);
    m.add_cluster(c, true);

    // A blocking call's failure is logged too: an empty list alone would pass for no rows.
    d1.drop_next_requests(2);  // the request and its one retry
    EXPECT_TRUE(m.sql("alpha", "SELECT 1").empty());
    ASSERT_TRUE(log->wait_for("log alpha 3 Failed to execute SQL query: "));

    d1.drop_next_requests(2);
    bool called = false;
    m.sql_async("alpha", "SELECT 1", [&](QueryResults) { called = true; });
    ASSERT_TRUE(log->wait_for("log alpha 3 Failed to execute SQL query: ", 2, 60s));
    test::drain_notifications(m);
    EXPECT_FALSE(called);
    EXPECT_EQ(log->count_prefix("log alpha 3"), 2u);

    // Two failing shards: the lower one's failure is the one reported.
    d0.drop_next_requests(2);
    d2.drop_next_requests(2);
    m.sql_async("alpha", "SELECT 1", [&](QueryResults) { called = true; });
    ASSERT_TRUE(log->wait_for("log alpha 3", 3, 60s));
    test::drain_notifications(m);
    EXPECT_FALSE(called);
    EXPECT_EQ(log->count_prefix("log alpha 3"), 3u);
}

TEST(ClusterRegistry, AddRemoveReAddAndDuplicateNames) {
    RelayServer s;
    TyxClientMultiplex m(1);
    auto log = std::make_shared<EventLog>();
    m.listener_add(log);
    Cluster c("alpha", "127.0.0.1");
    c.publication_config.add_shard(port_of(s.port()), false);
    m.add_cluster(c, true);
    m.add_cluster(c, true);  // refused: the first stays, nothing of the second starts
    ASSERT_TRUE(log->wait_for("log alpha 3 Failed to add cluster: Cluster already exists [alpha]"));
    EXPECT_EQ(log->count_prefix("connect alpha-relay"), 1u);
    m.remove_cluster("missing", true);  // ignored
    m.remove_cluster("alpha", true);
    EXPECT_EQ(on_control(m, [&] { return m.clusters().size(); }), 0u);
    m.add_cluster(c, true);
    EXPECT_EQ(on_control(m, [&] { return m.clusters().size(); }), 1u);
    ASSERT_TRUE(s.wait_for_logins(2));
    ASSERT_TRUE(s.wait_until([](const sandbox::RelayState& st) { return st.open_connections() == 1; }));
}

TEST(ClusterStart, AnUnreachableCenterNeitherBlocksPublishingNorQueries) {
    sandbox::Sandbox sandbox;
    sandbox.center().stop_listening();
    TyxClientMultiplex m(1);
    Cluster c("alpha", "127.0.0.1");
    c.subscription_config = SubscriptionConfig(port_of(sandbox.center_port()), false);
    c.publication_config = PublicationConfig(port_of(sandbox.relay_port()), false, "feed");
    c.database_config = DatabaseConfig(port_of(sandbox.database_port()), false, "", "");
    m.add_cluster(c, true);  // returns once the center failed its first round
    m.send_object_message("alpha", object("o-1"), false);
    ASSERT_TRUE(sandbox.relay().wait_for_publications(1));
    auto results = m.sql("alpha", "SELECT 1");
    ASSERT_EQ(results.size(), 1u);
    ASSERT_NE(results[0], nullptr);
}

TEST(SubscriptionRouting, WaitingSubscribeReturnsAfterEveryCenterAndSchemaComesFromTheLowest) {
    sandbox::Sandbox first, second;
    // The same table on both centers, with a different column each.
    TyxClientMultiplex m(1);
    Cluster feed1("feed1", "127.0.0.1"), feed2("feed2", "127.0.0.1");
    feed1.publication_config = PublicationConfig(port_of(first.relay_port()), false, "f");
    feed2.publication_config = PublicationConfig(port_of(second.relay_port()), false, "f");
    m.add_cluster(feed1, true);
    m.add_cluster(feed2, true);
    m.send_object_message("feed1", rt::make_object_message("Orders", "o", {"from_first"}, {std::int32_t{1}}, 0, 0), false);
    m.send_object_message("feed2", rt::make_object_message("Orders", "o", {"from_second"}, {std::int32_t{2}}, 0, 0), false);
    ASSERT_TRUE(first.wait_for_stored(1));
    ASSERT_TRUE(second.wait_for_stored(1));

    Cluster c("alpha", "127.0.0.1");
    c.subscription_config.add_shard(port_of(first.center_port()), false).add_shard(port_of(second.center_port()), false);
    m.add_cluster(c, true);
    EXPECT_FALSE(m.get_table_schema("alpha", "Orders").has_value());
    m.subscribe("alpha", std::vector<std::string>{"Orders"}, true);
    // Both centers' snapshots were answered before the waiting call returned.
    const auto live = on_control(m, [&] {
        std::vector<bool> out;
        for (const auto& center : m.clusters().at("alpha")->centers()) {
            const auto* table = center->subscribed_tables().find("Orders");
            out.push_back(table != nullptr && table->live() && center->pending_subscribe_count() == 0);
        }
        return out;
    });
    EXPECT_EQ(live, (std::vector<bool>{true, true}));
    const auto schema = m.get_table_schema("alpha", "Orders");
    ASSERT_TRUE(schema.has_value());
    bool has_first = false;
    for (const auto& col : schema->columns) has_first |= col.name == "from_first";
    EXPECT_TRUE(has_first);
}

TEST(ClusterShutdown, DestroyingTheMultiplexerStopsEveryClient) {
    sandbox::Sandbox sandbox;
    auto log = std::make_shared<EventLog>();
    {
        TyxClientMultiplex m(2);
        m.listener_add(log);
        Cluster c("alpha", "127.0.0.1");
        c.subscription_config = SubscriptionConfig(port_of(sandbox.center_port()), false);
        c.publication_config = PublicationConfig(port_of(sandbox.relay_port()), false, "feed");
        c.database_config = DatabaseConfig(port_of(sandbox.database_port()), false, "", "");
        m.add_cluster(c, true);
        ASSERT_TRUE(log->wait_for("logged_in alpha-relay"));
    }
    // The relay wrote its logout, the center said it disconnected, and nothing is left open.
    EXPECT_EQ(log->count_prefix("sent alpha-relay X"), 1u);
    EXPECT_GE(log->count_prefix("disconnect alpha-center"), 1u);
    EXPECT_TRUE(sandbox.relay().wait_until([](const sandbox::RelayState& s) { return s.open_connections() == 0; }));
}

}  // namespace
}  // namespace tyx

namespace tyx {
namespace {

TEST(PublicationRouting, ABurstFromOneThreadReachesEveryRelayInCallOrder) {
    sandbox::RelayServer s0, s1;
    TyxClientMultiplex m(2);
    Cluster c("alpha", "127.0.0.1");
    c.publication_config.add_shard(port_of(s0.port()), false).add_shard(port_of(s1.port()), false);
    m.add_cluster(c, true);
    constexpr int kCount = 5000;
    for (int i = 0; i < kCount; ++i) {
        m.send_object_message("alpha", object("o-" + std::to_string(i)), i % 1000 == 999);  // some waiting
        if (i == kCount / 2) m.send_object_message("ghost", object("lost"), false);          // dropped silently
    }
    for (sandbox::RelayServer* s : {&s0, &s1}) {
        ASSERT_TRUE(s->wait_for_publications(kCount, 20s));
        const auto state = s->state();
        ASSERT_EQ(state.publications.size(), static_cast<std::size_t>(kCount));
        for (int i = 0; i < kCount; ++i) ASSERT_EQ(state.publications[i].id, "o-" + std::to_string(i)) << i;
    }
}

}  // namespace
}  // namespace tyx
