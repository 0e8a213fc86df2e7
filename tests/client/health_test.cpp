// Health through Client against the sandbox: the state changes of a session through a start, a
// lost connection, a failover and a stop; the counters after a known workload; and snapshots
// taken from a listener and from another thread while publishing at full rate.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "relay_server.hpp"
#include "sandbox.hpp"
#include "support/client_recorder.hpp"
#include "tyx/tyx.hpp"

namespace tyx {
namespace {

using namespace std::chrono_literals;
using sandbox::RelayServer;

// "state alpha relay 0 up port=P failover=0 cause=none attempt=0 pause=0".
std::string describe(const SessionStateEvent& e) {
    return "state " + e.cluster + " " + std::string(to_string(e.kind)) + " " + std::to_string(e.shard) + " " +
           std::string(to_string(e.state)) + " port=" + e.endpoint.port +
           " failover=" + std::to_string(e.endpoint.failover) + " cause=" + std::string(to_string(e.cause)) +
           " attempt=" + std::to_string(e.attempt) + " pause=" + std::to_string(e.pause.count());
}

// Cluster "alpha" with one relay shard at `server`.
Cluster relay_cluster(const RelayServer& server) {
    Cluster cluster("alpha", "127.0.0.1");
    cluster.publication_config = PublicationConfig(std::to_string(server.port()), false, "feed");
    return cluster;
}

class StateRecorder : public test::ClientRecorder {
public:
    void on_session_state(Client&, const SessionStateEvent& e) override { add(describe(e)); }
};

TEST(SessionStates, AStartALostConnectionAFailoverAndAStop) {
    RelayServer primary;
    RelayServer backup;
    const std::string p = std::to_string(primary.port());
    const std::string b = std::to_string(backup.port());
    auto events = std::make_shared<StateRecorder>();
    Client client;
    client.listener_add(events);
    Cluster cluster = relay_cluster(primary);
    cluster.publication_config.add_failover_url("127.0.0.1", b);
    client.add_cluster(cluster, true);
    ASSERT_TRUE(primary.wait_for_logins(1));

    // The relay ends the connection; the session goes to the next endpoint after the first
    // back-off (1 s), and stays there.
    primary.stop_listening();
    primary.drop_all_connections();
    ASSERT_TRUE(backup.wait_for_logins(1));
    ASSERT_TRUE(events->wait_for("state alpha relay 0 up port=" + b));
    client.remove_cluster("alpha", true);
    ASSERT_TRUE(events->wait_for("state alpha relay 0 stopped"));

    const std::string at_p = " port=" + p + " failover=0 cause=";
    const std::string at_b = " port=" + b + " failover=1 cause=";
    const std::vector<std::string> expected = {
        "state alpha relay 0 connecting" + at_p + "none attempt=1 pause=0",
        "connect alpha-relay",
        "state alpha relay 0 logging in" + at_p + "none attempt=0 pause=0",
        "sent alpha-relay",
        "logged_in alpha-relay",
        "state alpha relay 0 up" + at_p + "none attempt=0 pause=0",
        "disconnect alpha-relay",
        "state alpha relay 0 reconnecting" + at_p + "closed by peer attempt=1 pause=1000",
        "state alpha relay 0 connecting" + at_b + "closed by peer attempt=1 pause=0",
        "connect alpha-relay",
        "state alpha relay 0 logging in" + at_b + "none attempt=0 pause=0",
        "sent alpha-relay",
        "logged_in alpha-relay",
        "state alpha relay 0 up" + at_b + "none attempt=0 pause=0",
        "sent alpha-relay",
        "state alpha relay 0 stopped" + at_b + "none attempt=0 pause=0",
    };
    std::vector<std::string> seen;
    for (std::string e : events->events()) {
        if (e.rfind("received ", 0) == 0) continue;                     // the relay's status lines
        if (e.rfind("sent ", 0) == 0) e = e.substr(0, e.find(' ', 5));  // login and logout texts
        seen.push_back(e);
    }
    EXPECT_EQ(seen, expected);
}

Cluster sandbox_cluster(sandbox::Sandbox& box) {
    Cluster cluster("alpha", "127.0.0.1");
    cluster.publication_config = PublicationConfig(std::to_string(box.relay_port()), false, "feed");
    cluster.subscription_config = SubscriptionConfig(std::to_string(box.center_port()), false);
    cluster.database_config = DatabaseConfig(std::to_string(box.database_port()), false, "", "", 5000);
    return cluster;
}

const SessionHealth& session_of(const Health& health, SessionKind kind) {
    for (const auto& s : health.sessions)
        if (s.kind == kind) return s;
    throw std::runtime_error("no session of kind " + std::string(to_string(kind)));
}

TEST(Health, CountersAfterAKnownWorkloadAreExact) {
    constexpr int kRows = 300;
    constexpr int kChanges = 20;
    constexpr int kQueries = 5;
    sandbox::Sandbox box;
    auto events = std::make_shared<test::ClientRecorder>();
    Client client;
    client.listener_add(events);
    client.add_cluster(sandbox_cluster(box), true);
    const std::vector<std::string> names = {"n"};
    for (int i = 0; i < kRows; ++i)
        client.publish_object("alpha", "Quote", "q" + std::to_string(i), names, {std::int64_t{i}});
    ASSERT_TRUE(events->wait_for("sent alpha-relay O|", kRows));
    ASSERT_TRUE(box.relay().wait_for_publications(kRows));

    client.subscribe("alpha", std::vector<std::string>{"Quote"}, true);
    ASSERT_TRUE(events->wait_for("update alpha-center", kRows));
    for (int i = 0; i < kChanges; ++i)
        client.publish_object("alpha", "Quote", "q" + std::to_string(i), names, {std::int64_t{-i}});
    ASSERT_TRUE(events->wait_for("update alpha-center", kRows + kChanges));

    for (int i = 0; i < kQueries; ++i)
        EXPECT_EQ(client.sql("alpha", "SELECT n FROM Quote")->row_count(), kRows);
    EXPECT_FALSE(client.sql("alpha", "SELECT nothing FROM Nowhere")->error_message().empty());

    ASSERT_EQ(client.flush(std::chrono::seconds(5)), 0u);
    const Health health = client.health();
    ASSERT_EQ(health.sessions.size(), 3u);
    const RelayCounters& relay = session_of(health, SessionKind::relay).relay;
    EXPECT_EQ(relay.published_messages, std::uint64_t{kRows + kChanges});
    EXPECT_EQ(relay.written_messages, std::uint64_t{kRows + kChanges});
    EXPECT_EQ(relay.acknowledged_messages, std::uint64_t{kRows + kChanges});
    EXPECT_EQ(relay.written_bytes, relay.published_bytes);
    EXPECT_EQ(relay.kept_messages, 0u);
    EXPECT_EQ(relay.resent_messages, 0u);
    EXPECT_EQ(relay.dropped_messages, 0u);
    const CenterCounters& center = session_of(health, SessionKind::center).center;
    EXPECT_EQ(center.updates_received, std::uint64_t{kRows + kChanges});
    EXPECT_EQ(center.updates_delivered, std::uint64_t{kRows + kChanges});
    EXPECT_EQ(center.decode_errors, 0u);
    EXPECT_EQ(center.snapshot_answers, 1u);
    EXPECT_EQ(center.snapshot_latency.count(), 1u);
    const DatabaseCounters& database = session_of(health, SessionKind::database).database;
    EXPECT_EQ(database.requests, std::uint64_t{kQueries + 1});
    EXPECT_EQ(database.failures, 1u);
    EXPECT_EQ(database.retries, 0u);
    EXPECT_EQ(database.response_time.count(), std::uint64_t{kQueries + 1});
    for (const auto& s : health.sessions) {
        EXPECT_EQ(s.state, SessionState::up) << to_string(s.kind);
        EXPECT_EQ(s.connection_attempts, 1u) << to_string(s.kind);
        EXPECT_EQ(s.reconnections, 0u) << to_string(s.kind);
        EXPECT_EQ(s.cluster, "alpha");
    }
}

// Within one snapshot a relay's counters agree (what is kept is what was published and has not
// met another fate), and from one snapshot to the next they only grow, wherever health() is called.
class SnapshotChecker : public ClientListener {
public:
    void on_message_sent(Client& client, std::string_view name, std::string_view) override {
        if (name == "alpha-relay" && ++sent_ % 500 == 0) check(client.health());
    }
    void check(const Health& health) {
        std::lock_guard lock(mutex_);
        ++checks_;
        if (health.sessions.size() != 1) {
            ++faults_;
            return;
        }
        const RelayCounters& c = health.sessions[0].relay;
        if (c.kept_messages != c.published_messages - c.acknowledged_messages - c.dropped_messages -
                                   c.replaced_versions - c.discarded_messages ||
            c.acknowledged_messages > c.written_messages)
            ++faults_;
        RelayCounters& last = last_[std::this_thread::get_id()];
        if (c.published_messages < last.published_messages || c.written_messages < last.written_messages ||
            c.acknowledged_messages < last.acknowledged_messages)
            ++faults_;
        last = c;
    }
    std::uint64_t checks() const {
        std::lock_guard lock(mutex_);
        return checks_;
    }
    std::uint64_t faults() const {
        std::lock_guard lock(mutex_);
        return faults_;
    }

private:
    std::uint64_t sent_ = 0;  // notification thread only
    mutable std::mutex mutex_;
    std::map<std::thread::id, RelayCounters> last_;  // what each checking thread saw last
    std::uint64_t checks_ = 0;
    std::uint64_t faults_ = 0;
};

TEST(Health, SnapshotsFromAListenerAndAnotherThreadAgreeWhilePublishingAtFullRate) {
    constexpr std::uint64_t kCount = 200'000;
    RelayServer server;
    auto checker = std::make_shared<SnapshotChecker>();
    Client client;
    client.listener_add(checker);
    client.add_cluster(relay_cluster(server), true);

    std::atomic<bool> publishing{true};
    std::thread reader([&] {
        while (publishing.load()) checker->check(client.health());
    });
    const std::vector<std::string> names = {"n"};
    for (std::uint64_t i = 0; i < kCount; ++i)
        client.publish_object("alpha", "T", "t", names, {std::int64_t(i)});
    const bool delivered = server.wait_for_publications(kCount, 60s);
    publishing = false;
    reader.join();
    ASSERT_TRUE(delivered);
    EXPECT_GT(checker->checks(), 0u);
    EXPECT_EQ(checker->faults(), 0u);
}

// A listener that holds the notification thread makes the queue's wait visible: one level-2
// log when an event has waited over a second, one when events come quickly again, and the
// longest wait in health().
class SlowListener : public test::ClientRecorder {
public:
    void on_logged_in(Client& client, std::string_view name) override {
        test::ClientRecorder::on_logged_in(client, name);
        if (!slowed_.exchange(true)) std::this_thread::sleep_for(1100ms);  // the slowness under test
    }

private:
    std::atomic<bool> slowed_{false};
};

TEST(Health, AListenerThatHoldsTheQueueOverASecondIsOneEpisodeToldAtItsStartAndEnd) {
    RelayServer server;
    auto events = std::make_shared<SlowListener>();
    Client client;
    client.listener_add(events);
    client.add_cluster(relay_cluster(server), true);
    ASSERT_TRUE(events->wait_for("log  2 Listeners are slow: an event waited "));
    EXPECT_GE(client.health().notifications.longest_wait, 1s);
    client.remove_cluster("alpha", true);
    ASSERT_TRUE(events->wait_for("log  2 Listeners caught up"));
    EXPECT_EQ(events->count("log "), 2u);
}

}  // namespace
}  // namespace tyx
