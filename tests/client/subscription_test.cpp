// Live updates through the public Client, from a fake center: every listener gets a copy of
// its own, rows of other tables are dropped wherever they sit in a frame, and the updates stay
// in order with the client's other events.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "support/center_harness.hpp"
#include "support/client_recorder.hpp"
#include "tyx/tyx.hpp"

namespace tyx {
namespace {

using test::CenterBytes;

// Records each update, then scribbles over the record it was handed.
struct Scribbler : test::ClientRecorder {
    void on_update(Client& c, std::string_view n, const CenterIncrementalUpdate& u) override {
        ClientRecorder::on_update(c, n, u);
        auto& mine = const_cast<CenterIncrementalUpdate&>(u);
        mine.table_name = "scribbled";
        mine.object_id.assign(40, 'x');
        mine.field_names.assign(3, "x");
        mine.row_data.assign(3, std::monostate{});
    }
};

// Orders (key 1) rows with qty (int) and sym (text); Other (key 4) rows are never subscribed.
CenterBytes orders(std::initializer_list<std::int64_t> ids) {
    CenterBytes b;
    for (const std::int64_t id : ids) {
        if (id < 0)
            b.raw(test::entity_bytes(4, -id, "other", {{2, 1}}));
        else
            b.raw(test::entity_bytes(1, id, "ord-" + std::to_string(id),
                                     {{2, static_cast<std::int32_t>(id * 10)}, {3, std::string("IBM")}}));
    }
    return b;
}

TEST(ClientSubscription, EachListenerOwnsItsCopyAndUpdatesKeepTheirPlaceAmongEvents) {
    test::FakeCenter server;
    auto scribbler = std::make_shared<Scribbler>();
    auto plain = std::make_shared<test::ClientRecorder>();
    {
        Client client;
        client.listener_add(scribbler);
        client.listener_add(plain);
        Cluster cluster("alpha", "127.0.0.1");
        cluster.subscription_config = SubscriptionConfig(std::to_string(server.port()), false);
        client.add_cluster(cluster, true);
        client.subscribe("alpha", std::vector<std::string>{"Orders"}, false);
        ASSERT_TRUE(server.wait_requests(1));
        ASSERT_TRUE(plain->wait_for("subscribe alpha-center Orders"));
        const CenterBytes pool = CenterBytes()
                                     .raw(test::pool_key(1, "Orders"))
                                     .raw(test::pool_key(2, "qty"))
                                     .raw(test::pool_key(3, "sym"))
                                     .raw(test::pool_key(4, "Other"));
        // Held until the snapshot answer, then live; the Other rows go nowhere.
        server.push(test::changes_frame({.seqnum = 5, .pool = pool, .added = orders({-1, 1, -2, 2})}));
        server.push(test::snapshot_response_frame());
        server.push(test::changes_frame({.seqnum = 6, .updated = orders({3, -3, -4, 4, 5})}));
        server.push(test::changes_frame({.seqnum = 7, .updated = orders({-5, 6})}));
        ASSERT_TRUE(plain->wait_for("update", 6));
        server.drop_connections();
        ASSERT_TRUE(plain->wait_for("disconnect alpha-center"));
    }
    const std::vector<std::string> expected = {
        "connect alpha-center",        "logged_in alpha-center",      "subscribe alpha-center Orders",
        "update alpha-center 1 Orders ord-1", "update alpha-center 1 Orders ord-2",
        "update alpha-center 2 Orders ord-3", "update alpha-center 2 Orders ord-4",
        "update alpha-center 2 Orders ord-5", "update alpha-center 2 Orders ord-6",
        "disconnect alpha-center"};
    for (const auto* listener : {static_cast<test::ClientRecorder*>(scribbler.get()), plain.get()}) {
        const auto events = listener->events();
        ASSERT_GE(events.size(), expected.size());
        EXPECT_EQ(std::vector<std::string>(events.begin(), events.begin() + expected.size()), expected);
        const auto updates = listener->updates();
        ASSERT_EQ(updates.size(), 6u);
        for (std::size_t i = 0; i < updates.size(); ++i) {
            const auto id = static_cast<std::int64_t>(i + 1);
            EXPECT_EQ(updates[i].id, id);
            EXPECT_EQ(updates[i].seqnum, i < 2 ? 5 : (i < 5 ? 6 : 7));
            EXPECT_EQ(updates[i].field_names, (std::vector<std::string>{"qty", "sym"}));
            EXPECT_EQ(updates[i].row_data,
                      (std::vector<FieldValue>{static_cast<std::int32_t>(id * 10), std::string("IBM")}));
        }
    }
}

// Marks the end of each batch and each snapshot answer among the recorded updates.
struct BatchRecorder : test::ClientRecorder {
    void on_update_batch_end(Client&, std::string_view n) override { add("batch_end " + std::string(n)); }
    void on_snapshot_answered(Client&, std::string_view n, const std::vector<std::string>& tables) override {
        std::string line = "answered " + std::string(n);
        for (const auto& t : tables) line += " " + t;
        add(line);
    }
};

TEST(ClientListenerBatches, BatchEndClosesEachFrameAndSnapshotAnswersNameTheirTables) {
    test::FakeCenter server;
    auto recorder = std::make_shared<BatchRecorder>();
    {
        Client client;
        client.listener_add(recorder);
        Cluster cluster("alpha", "127.0.0.1");
        cluster.subscription_config = SubscriptionConfig(std::to_string(server.port()), false);
        client.add_cluster(cluster, true);
        client.subscribe("alpha", std::vector<std::string>{"Orders"}, false);
        ASSERT_TRUE(server.wait_requests(1));
        ASSERT_TRUE(recorder->wait_for("subscribe alpha-center Orders"));
        const CenterBytes pool = CenterBytes()
                                     .raw(test::pool_key(1, "Orders"))
                                     .raw(test::pool_key(2, "qty"))
                                     .raw(test::pool_key(3, "sym"))
                                     .raw(test::pool_key(4, "Other"));
        // Two snapshot frames are released together; a frame of other tables only is no batch.
        server.push(test::changes_frame({.seqnum = 5, .pool = pool, .added = orders({1})}));
        server.push(test::changes_frame({.seqnum = 5, .added = orders({2, -1})}));
        server.push(test::snapshot_response_frame());
        server.push(test::changes_frame({.seqnum = 6, .updated = orders({3, -3, 4})}));
        server.push(test::changes_frame({.seqnum = 7, .updated = orders({-5})}));
        server.push(test::changes_frame({.seqnum = 8, .updated = orders({5})}));
        ASSERT_TRUE(recorder->wait_for("batch_end", 3));
        // A table with no rows is answered all the same, with no batch.
        client.subscribe("alpha", std::vector<std::string>{"Empty"}, false);
        ASSERT_TRUE(server.wait_requests(2));
        server.push(test::snapshot_response_frame());
        ASSERT_TRUE(recorder->wait_for("answered alpha-center Empty"));
    }
    std::vector<std::string> events;
    for (const auto& e : recorder->events())
        if (e.starts_with("update") || e.starts_with("batch_end") || e.starts_with("answered")) events.push_back(e);
    const std::vector<std::string> expected = {
        "update alpha-center 1 Orders ord-1", "update alpha-center 1 Orders ord-2",
        "answered alpha-center Orders",       "batch_end alpha-center",
        "update alpha-center 2 Orders ord-3", "update alpha-center 2 Orders ord-4",
        "batch_end alpha-center",             "update alpha-center 2 Orders ord-5",
        "batch_end alpha-center",             "answered alpha-center Empty"};
    EXPECT_EQ(events, expected);
}

// Takes a millisecond per update.
struct SlowListener : test::ClientRecorder {
    void on_update(Client&, std::string_view, const CenterIncrementalUpdate& u) override {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        last_id = u.object_id;
        ++updates;
    }
    std::atomic<int> updates{0};
    std::string last_id;  // read once every update has arrived
};

TEST(ClientSubscription, ASlowListenerHoldsBackReadingAndLosesNothing) {
    ::setenv("TYX_MAX_QUEUED_UPDATES", "20", 1);
    test::FakeCenter server;
    auto slow = std::make_shared<SlowListener>();
    Client client;  // takes the limit
    ::unsetenv("TYX_MAX_QUEUED_UPDATES");
    client.listener_add(slow);
    Cluster cluster("alpha", "127.0.0.1");
    cluster.subscription_config = SubscriptionConfig(std::to_string(server.port()), false);
    client.add_cluster(cluster, true);
    client.subscribe("alpha", std::vector<std::string>{"Orders"}, false);
    ASSERT_TRUE(server.wait_requests(1));
    ASSERT_TRUE(slow->wait_for("subscribe alpha-center Orders"));
    server.push(test::changes_frame({.seqnum = 5,
                                     .pool = CenterBytes()
                                                 .raw(test::pool_key(1, "Orders"))
                                                 .raw(test::pool_key(2, "qty"))
                                                 .raw(test::pool_key(3, "sym"))}));
    server.push(test::snapshot_response_frame());
    constexpr int kFrames = 150;
    for (int i = 0; i < kFrames; ++i)
        server.push(test::changes_frame({.seqnum = 6 + i, .updated = orders({2 * i + 1, 2 * i + 2})}));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (slow->updates < 2 * kFrames && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(slow->updates, 2 * kFrames);
    EXPECT_EQ(slow->last_id, "ord-" + std::to_string(2 * kFrames));
    const auto health = client.health().notifications;
    EXPECT_GT(health.held_back.count(), 0);
    EXPECT_FALSE(health.holding_back);
    EXPECT_EQ(health.queued_updates, 0u);
}

}  // namespace
}  // namespace tyx
