// The public Client against servers that misbehave: a port whose accept queue is full, servers
// that accept and say nothing (to plain and TLS clients), a relay line that never ends and a
// flood of junk lines. Every stop ends within a second whatever the session is doing, every
// waiting call within its deadline and a second, and what the sessions report names the cause.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "core/log_limiter.hpp"
#include "sandbox.hpp"
#include "support/client_recorder.hpp"
#include "support/misbehaving_server.hpp"
#include "tyx/tyx.hpp"

namespace tyx {
namespace {

using namespace std::chrono_literals;
using test::FullBacklog;
using test::MisbehavingServer;

enum class Kind { relay, center, database };

const char* client_name(Kind kind) {
    return kind == Kind::relay ? "alpha-relay" : kind == Kind::center ? "alpha-center" : "alpha-jdbc";
}

// Cluster "alpha" with one shard of `kind` at `port`, and `timeout_ms` as its connect timeout.
Cluster one_shard(Kind kind, const std::string& port, bool tls, std::int64_t timeout_ms = 10000) {
    Cluster c("alpha", "127.0.0.1");
    switch (kind) {
        case Kind::relay:
            c.publication_config = PublicationConfig(port, tls, "feed");
            c.publication_config.connect_timeout_ms = timeout_ms;
            break;
        case Kind::center:
            c.subscription_config = SubscriptionConfig(port, tls);
            c.subscription_config.connect_timeout_ms = timeout_ms;
            break;
        case Kind::database:
            c.database_config = DatabaseConfig(port, tls, "", "");
            c.database_config.connect_timeout_ms = timeout_ms;
            break;
    }
    return c;
}

// "state relay connecting timed out: <reason>" for every state change.
class StateRecorder : public test::ClientRecorder {
public:
    void on_session_state(Client&, const SessionStateEvent& e) override {
        add("state " + std::string(to_string(e.kind)) + " " + std::string(to_string(e.state)) + " " +
            std::string(to_string(e.cause)) + ": " + e.reason);
    }
};

std::string state_prefix(Kind kind, std::string_view state) {
    const std::string_view k = kind == Kind::relay ? "relay" : kind == Kind::center ? "center" : "database";
    return "state " + std::string(k) + " " + std::string(state);
}

template <typename F>
std::chrono::milliseconds time_of(F&& f) {
    const auto start = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
}

TEST(MisbehavingServers, EveryStopEndsWithinASecondWhateverTheSessionIsDoing) {
    FullBacklog backlog;
    MisbehavingServer silent(MisbehavingServer::Mode::silent);
    const std::string refused = test::refused_port();
    struct Case {
        const char* what;
        std::string port;
        bool tls;
        const char* state;  // waited for before the stop
        std::function<bool()> ready = [] { return true; };
    };
    const std::size_t accepted_before = silent.accepted();
    const Case cases[] = {
        {"connecting to a full backlog", backlog.port(), false, "connecting"},
        {"in a TLS handshake nobody answers", silent.port(), true, "connecting",
         [&] { return silent.accepted() > accepted_before; }},
        {"logging in to a silent server", silent.port(), false, "logging in"},
        {"backing off after a refusal", refused, false, "reconnecting"},
    };
    for (const Kind kind : {Kind::relay, Kind::center, Kind::database}) {
        for (const Case& c : cases) {
            for (const bool by_destruction : {false, true}) {
                SCOPED_TRACE(std::string(client_name(kind)) + " " + c.what +
                             (by_destruction ? " (~Client)" : ""));
                auto events = std::make_shared<StateRecorder>();
                auto client = std::make_unique<Client>();
                client->listener_add(events);
                client->add_cluster(one_shard(kind, c.port, c.tls), false);
                ASSERT_TRUE(events->wait_for(state_prefix(kind, c.state)));
                const auto deadline = std::chrono::steady_clock::now() + 5s;
                while (!c.ready() && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
                ASSERT_TRUE(c.ready());
                const auto took = time_of([&] {
                    if (by_destruction)
                        client.reset();
                    else
                        client->remove_cluster("alpha", true);
                });
                EXPECT_LT(took, 1s);
                client.reset();
            }
        }
    }
}

TEST(MisbehavingServers, ConnectionAttemptsAndLoginsTimeOutNamingTheStep) {
    FullBacklog backlog;
    MisbehavingServer silent(MisbehavingServer::Mode::silent);
    constexpr std::int64_t kTimeoutMs = 300;
    struct Case {
        Kind kind;
        std::string port;
        bool tls;
        const char* reason;
    };
    const Case cases[] = {
        {Kind::relay, backlog.port(), false, "Timed out after 300 ms at TCP connect"},
        {Kind::center, backlog.port(), false, "Timed out after 300 ms at TCP connect"},
        {Kind::database, backlog.port(), false, "Timed out after 300 ms at TCP connect"},
        {Kind::relay, silent.port(), true, "Timed out after 300 ms at TLS handshake"},
        {Kind::center, silent.port(), true, "Timed out after 300 ms at TLS handshake"},
        {Kind::database, silent.port(), true, "Timed out after 300 ms at TLS handshake"},
        {Kind::center, silent.port(), false, "Center handshake timed out after 300 ms waiting for the reply"},
        {Kind::database, silent.port(), false,
         "JDBC login timed out after 300 ms waiting for the version reply"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(client_name(c.kind)) + " " + c.reason);
        auto events = std::make_shared<StateRecorder>();
        Client client;
        client.listener_add(events);
        const auto took =
            time_of([&] { client.add_cluster(one_shard(c.kind, c.port, c.tls, kTimeoutMs), true); });
        EXPECT_LT(took, std::chrono::milliseconds(kTimeoutMs) + 1s);
        const std::string failed = state_prefix(c.kind, "reconnecting") + " timed out: " + c.reason;
        ASSERT_TRUE(events->wait_for(failed)) << ::testing::PrintToString(events->events());
        // The real cause, not what reading the closed connection afterwards would say.
        EXPECT_EQ(events->count(state_prefix(c.kind, "reconnecting") + " closed by peer"), 0u)
            << ::testing::PrintToString(events->events());
        // Told once, at level 3, while the session keeps trying.
        const std::string log = "log " + std::string(client_name(c.kind)) + " 3 ";
        ASSERT_TRUE(events->wait_for(log));
        EXPECT_NE(events->with_prefix(log).front().find(c.reason), std::string::npos);
        const auto health = client.health();
        ASSERT_EQ(health.sessions.size(), 1u);
        EXPECT_NE(health.sessions[0].last_error.find(c.reason), std::string::npos)
            << health.sessions[0].last_error;
    }
}

TEST(MisbehavingServers, ATimedOutEndpointGivesWayToTheNext) {
    FullBacklog backlog;
    sandbox::Sandbox sandbox;
    auto events = std::make_shared<StateRecorder>();
    Client client;
    client.listener_add(events);
    Cluster cluster = one_shard(Kind::relay, backlog.port(), false, 300);
    cluster.publication_config.add_failover_url("127.0.0.1", std::to_string(sandbox.relay_port()));
    const auto took = time_of([&] { client.add_cluster(cluster, true); });
    EXPECT_LT(took, 1300ms);
    ASSERT_TRUE(events->wait_for("logged_in alpha-relay"));
}

TEST(MisbehavingServers, ARelayLineWithoutEndEndsTheConnection) {
    MisbehavingServer endless(MisbehavingServer::Mode::endless_line);
    auto events = std::make_shared<StateRecorder>();
    Client client;
    client.listener_add(events);
    client.add_cluster(one_shard(Kind::relay, endless.port(), false), true);
    ASSERT_TRUE(events->wait_for("state relay reconnecting protocol error: line longer than 1048576 bytes"))
        << ::testing::PrintToString(events->events());
    ASSERT_TRUE(events->wait_for("log alpha-relay 3 Connection given up"));
}

TEST(MisbehavingServers, AFloodOfJunkLinesCostsAFewLogs) {
    constexpr std::size_t kLines = 256 * 800;  // whole batches of the server's writes
    MisbehavingServer junk(MisbehavingServer::Mode::repeat_line, "Zjunk\x01\xff line\n", kLines);
    auto events = std::make_shared<StateRecorder>();
    Client client;
    client.listener_add(events);
    client.add_cluster(one_shard(Kind::relay, junk.port(), false), true);
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (client.health().sessions[0].unexpected_inputs < kLines &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    ASSERT_EQ(client.health().sessions[0].unexpected_inputs, kLines);
    const auto logs = events->with_prefix("log alpha-relay 2 ");
    EXPECT_GE(logs.size(), LogLimiter::kToldPerInterval);
    EXPECT_LE(logs.size(), 4 * (LogLimiter::kToldPerInterval + 1));
    // Printable: the bytes that are not are escaped.
    EXPECT_EQ(logs.front(), "log alpha-relay 2 Received message with unknown type: \"Zjunk\\x01\\xFF line\"");
}

TEST(MisbehavingServers, AWaitingSubscribeGivesUpAtItsDeadlineNamingWhatDidNotAnswer) {
    const std::string refused = test::refused_port();
    auto events = std::make_shared<StateRecorder>();
    Client client;
    client.listener_add(events);
    Cluster cluster("alpha", "127.0.0.1");
    cluster.subscription_config.add_shard(refused, false).add_shard("", false).add_shard(refused, false);
    cluster.subscription_config.snapshot_timeout_ms = 300;
    client.add_cluster(cluster, true);
    const auto took = time_of([&] {
        client.subscribe("alpha", std::vector<std::string>{"Orders", "Fills"}, true);
    });
    EXPECT_GE(took, 300ms);
    EXPECT_LT(took, 1300ms);
    ASSERT_TRUE(events->wait_for("log alpha 3 "));
    EXPECT_EQ(
        events->with_prefix("log alpha 3 ").front(),
        "log alpha 3 Subscribe gave up waiting after 300 ms for the snapshot of Orders, Fills from center "
        "shard(s) 0, 2; the subscription stays and completes when they answer");
}

}  // namespace
}  // namespace tyx
