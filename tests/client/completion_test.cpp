// The completion-callback forms of the blocking calls: each callback runs once, on the
// notification thread, after the events of its operation, also when the Client is destroyed with
// the operations pending.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "sandbox.hpp"
#include "support/client_recorder.hpp"
#include "support/misbehaving_server.hpp"
#include "tyx/tyx.hpp"

namespace tyx {
namespace {

using namespace std::chrono_literals;
using test::ClientRecorder;

// Records "done <what>" among the events, and on which thread each callback ran.
class Completions : public ClientRecorder {
public:
    void on_logged_in(Client& c, std::string_view n) override {
        notification_thread = std::this_thread::get_id();
        ClientRecorder::on_logged_in(c, n);
    }
    std::function<void()> done(std::string what) {
        return [this, what = std::move(what)] { ran(what); };
    }
    void ran(const std::string& what) {
        if (std::this_thread::get_id() != notification_thread) add("wrong thread " + what);
        add("done " + what);
    }
    // Where `line` sits among the events; npos when absent.
    std::size_t position(std::string_view line) const {
        const auto all = events();
        for (std::size_t i = 0; i < all.size(); ++i)
            if (all[i] == line) return i;
        return std::string::npos;
    }
    std::atomic<std::thread::id> notification_thread{};
};

Cluster cluster_at(std::string name, const std::string& relay, const std::string& center,
                   const std::string& database) {
    Cluster c(std::move(name), "127.0.0.1");
    c.publication_config = PublicationConfig(relay, false, "feedA");
    c.subscription_config = SubscriptionConfig(center, false);
    c.database_config = DatabaseConfig(database, false, "", "");
    return c;
}

TEST(CompletionCallbacks, EachRunsOnceOnTheNotificationThreadAfterItsEvents) {
    sandbox::Sandbox sandbox;
    auto events = std::make_shared<Completions>();
    Client client;
    client.listener_add(events);
    client.add_cluster_async(
        cluster_at("alpha", std::to_string(sandbox.relay_port()), std::to_string(sandbox.center_port()),
                   std::to_string(sandbox.database_port())),
        events->done("add"));
    ASSERT_TRUE(events->wait_for("done add"));
    EXPECT_LT(events->position("logged_in alpha-relay"), events->position("done add"));

    client.subscribe_async("alpha", std::vector<std::string>{"Orders"}, events->done("subscribe"));
    ASSERT_TRUE(events->wait_for("done subscribe"));
    EXPECT_LT(events->position("subscribe alpha-center Orders"), events->position("done subscribe"));

    // What was published before the flush is in the store once it says nothing is left.
    client.publish_object("alpha", "Orders", "o-1", {"qty"}, {std::int32_t{5}});
    client.flush_async(10s, [&](std::size_t left) { events->ran("flush " + std::to_string(left)); });
    ASSERT_TRUE(events->wait_for("done flush 0"));
    ASSERT_TRUE(events->wait_for("update alpha-center 1 Orders o-1"));
    client.get_table_schema_async("alpha", "Orders", [&](std::optional<CenterTableSchema> schema) {
        events->ran(schema ? "schema " + std::to_string(schema->columns.size()) : "schema none");
    });
    client.get_table_schema_async("nowhere", "Orders", [&](std::optional<CenterTableSchema> schema) {
        events->ran(schema ? "unknown schema" : "unknown none");
    });
    ASSERT_TRUE(events->wait_for("done unknown none"));
    EXPECT_EQ(events->count("done schema"), 1u);
    client.flush_async("nowhere", 10s,
                       [&](std::size_t left) { events->ran("unknown flush " + std::to_string(left)); });
    ASSERT_TRUE(events->wait_for("done unknown flush 0"));
    EXPECT_LT(events->position("log nowhere 3 Failed to flush: Cluster not found [nowhere]"),
              events->position("done unknown flush 0"));

    Table prices("prices");
    prices.add_column("px", std::vector<double>{1.5, 2.5});
    client.sql_replace_async("alpha", std::move(prices), "", events->done("replace"));
    // Refused: logged, and on_done still runs.
    client.sql_replace_async("alpha", std::move(*client.sql("alpha", "SELECT 1")), "",
                             events->done("refused"));
    ASSERT_TRUE(events->wait_for("done replace"));
    ASSERT_TRUE(events->wait_for("done refused"));
    EXPECT_LT(events->position("log alpha 3 Failed to replace table: the accessor is not a Table"),
              events->position("done refused"));
    std::unique_ptr<TableAccessor> kept;
    client.sql_async_owned("alpha", "SELECT px FROM prices", [&](std::unique_ptr<TableAccessor> result) {
        kept = std::move(result);
        events->ran("query");
    });
    ASSERT_TRUE(events->wait_for("done query"));
    ASSERT_NE(kept, nullptr);
    EXPECT_EQ(kept->row_count(), 2) << kept->error_message();

    client.unsubscribe_async("alpha", {"Orders"}, events->done("unsubscribe"));
    client.remove_cluster_async("alpha", events->done("remove"));
    ASSERT_TRUE(events->wait_for("done remove"));
    EXPECT_LT(events->position("done unsubscribe"), events->position("done remove"));
    EXPECT_EQ(events->count("wrong thread"), 0u);
    for (const char* what : {"done add", "done subscribe", "done replace", "done unsubscribe", "done remove"})
        EXPECT_EQ(events->count(what), 1u) << what;
}

TEST(CompletionCallbacks, PendingOnesRunOnceWhenTheClientIsDestroyed) {
    // A center and a database that never answer, and a relay nobody listens on: every
    // operation below is still waiting when the Client goes.
    test::MisbehavingServer silent(test::MisbehavingServer::Mode::silent);
    std::string refused;
    {
        asio::io_context io;
        asio::ip::tcp::acceptor probe(io, {asio::ip::make_address("127.0.0.1"), 0});
        refused = std::to_string(probe.local_endpoint().port());
    }
    auto events = std::make_shared<Completions>();
    const auto started = std::chrono::steady_clock::now();
    {
        Client client;
        client.listener_add(events);
        const Cluster quiet = cluster_at("quiet", refused, silent.port(), silent.port());
        client.add_cluster_async(quiet, [&] { events->add("done add"); });
        client.subscribe_async("quiet", std::vector<std::string>{"Orders"},
                               [&] { events->add("done subscribe names"); });
        client.subscribe_async("quiet", std::vector<CenterSubscription>{{"Trades", {}, {}, false}},
                               [&] { events->add("done subscribe records"); });
        client.publish_raw("quiet", "O|T=\"T\"|I=\"x\"\n");
        client.flush_async(1h, [&](std::size_t left) { events->add("done flush " + std::to_string(left)); });
        client.sql_async_owned("quiet", "SELECT 1", [&](std::unique_ptr<TableAccessor> result) {
            events->add("done query " + std::string(result->has_result_set() ? "rows" : "failed"));
        });
        Table t("t");
        t.add_column("v", std::vector<std::int32_t>{1});
        client.sql_replace_async("quiet", std::move(t), "", [&] { events->add("done replace"); });
        client.get_table_schema_async("quiet", "Orders", [&](auto) { events->add("done schema"); });
        client.unsubscribe_async("quiet", {"Orders"}, [&] { events->add("done unsubscribe"); });
        ASSERT_TRUE(events->wait_for("done schema"));
        ASSERT_TRUE(events->wait_for("connect quiet-center"));
    }
    EXPECT_LT(std::chrono::steady_clock::now() - started, 15s);
    // The flush ends with the one message left, or none once its outbox was closed first.
    for (const char* what : {"done add", "done subscribe names", "done subscribe records", "done flush ",
                             "done query failed", "done replace", "done schema", "done unsubscribe"})
        EXPECT_EQ(events->count(what), 1u) << what;
    EXPECT_EQ(events->count("done"), 8u);
}

}  // namespace
}  // namespace tyx
