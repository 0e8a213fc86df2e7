// Publication through Client across graceful relay restarts: the relay ends its side of the
// connection, the client closes its own at once, reconnects after its back-off and sends again
// what the old connection had not written, so nothing is lost and call order holds.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <string>
#include <vector>

#include "relay_server.hpp"
#include "support/sandbox_test_socket.hpp"
#include "support/tls_test_keys.hpp"
#include "tyx/tyx.hpp"

namespace tyx {
namespace {

using namespace std::chrono_literals;
using sandbox::RelayGracefulClose;
using sandbox::RelayServer;
using sandbox::RelayServerOptions;

// What the relay received, read back from its per-connection ids.
struct Arrivals {
    std::size_t connections = 0;
    std::size_t received = 0;
    std::size_t missing = 0;
    std::string order_fault;  // empty when every connection kept call order
};

// A connection starts at or before the first id nobody has seen (a repeat of what was in
// flight when the previous one ended, or the next id), then goes on without gap or reordering.
Arrivals check_arrivals(const sandbox::RelayState& s, std::size_t count) {
    Arrivals a;
    std::vector<bool> seen(count, false);
    std::size_t next_unseen = 0;
    for (const auto& [id, c] : s.connections) {
        ++a.connections;
        a.received += c.object_ids.size();
        for (std::size_t i = 0; i < c.object_ids.size(); ++i) {
            const std::size_t n = std::stoul(c.object_ids[i]);
            const bool in_order = i == 0 ? n <= next_unseen : n == std::stoul(c.object_ids[i - 1]) + 1;
            if ((!in_order || n >= count) && a.order_fault.empty())
                a.order_fault = "connection " + std::to_string(id) + ": " + c.object_ids[i] +
                                (i == 0 ? " first" : " after " + c.object_ids[i - 1]);
            if (n >= count) continue;
            seen[n] = true;
            next_unseen = std::max(next_unseen, n + 1);
        }
    }
    for (bool b : seen) a.missing += b ? 0 : 1;
    return a;
}

// Whether some connection's latest object is the last id, count - 1.
bool has_last_id(const sandbox::RelayState& s, std::size_t count) {
    const std::string last = std::to_string(count - 1);
    for (const auto& [id, c] : s.connections)
        if (!c.object_ids.empty() && c.object_ids.back() == last) return true;
    return false;
}

// "connection 1: 250000 ids 0..249999; ..." for a failure message.
std::string describe(const sandbox::RelayState& s) {
    std::string text;
    for (const auto& [id, c] : s.connections) {
        text += "connection " + std::to_string(id) + ": " + std::to_string(c.object_ids.size()) + " ids";
        if (!c.object_ids.empty()) text += " " + c.object_ids.front() + ".." + c.object_ids.back();
        text += "; ";
    }
    return text;
}

TEST(RelayRestart, EveryMessageArrivesInCallOrderAcrossThreeGracefulRestarts) {
    constexpr std::size_t kCount = 1'000'000;
    constexpr std::size_t kBatch = 1'000;
    // How far publishing may run ahead of what the relay has read. Small enough that the relay
    // drains the backlog of a restart well within the time a client is given to close.
    constexpr std::size_t kLead = 20'000;
    const std::vector<std::size_t> restarts_at = {250'000, 500'000, 750'000};

    RelayServerOptions options;
    options.object_ids_only = true;
    RelayServer server(options);
    Client client;
    Cluster cluster("alpha", "127.0.0.1");
    cluster.publication_config = PublicationConfig(std::to_string(server.port()), false, "feed");
    client.add_cluster(cluster, true);

    // Each restart runs beside the publisher, so the relay ends its side while the client is
    // writing and the client still publishes while it is away.
    std::vector<std::future<std::vector<RelayGracefulClose>>> restarts;
    auto next_restart = restarts_at.begin();
    for (std::size_t sent = 0; sent < kCount;) {
        for (std::size_t i = 0; i < kBatch; ++i)
            client.publish_object("alpha", "T", std::to_string(sent + i), {}, {});
        sent += kBatch;
        if (next_restart != restarts_at.end() && sent == *next_restart) {
            ++next_restart;
            restarts.push_back(std::async(std::launch::async, [&server] {
                auto closes = server.shutdown_gracefully(2s);
                server.resume_listening();
                return closes;
            }));
        }
        // After a restart this also waits out the client's back-off (1, 2, then 4 s here).
        ASSERT_TRUE(server.wait_for_objects(sent > kLead ? sent - kLead : 0, 10s)) << "after " << sent;
    }

    // No restart follows the last id, so the connection that carries it carries everything
    // published after the last restart too.
    ASSERT_TRUE(server.wait_until([&](const sandbox::RelayState& s) { return has_last_id(s, kCount); }, 60s))
        << server.inspect(describe);

    for (auto& restart : restarts) {
        ASSERT_EQ(restart.wait_for(10s), std::future_status::ready);
        const auto closes = restart.get();
        ASSERT_EQ(closes.size(), 1u);
        EXPECT_TRUE(closes[0].client_closed) << "connection " << closes[0].connection;
        EXPECT_LT(closes[0].waited, 1s) << "connection " << closes[0].connection;  // far inside the bound
    }

    const Arrivals arrivals =
        server.inspect([&](const sandbox::RelayState& s) { return check_arrivals(s, kCount); });
    EXPECT_EQ(arrivals.connections, restarts_at.size() + 1);
    EXPECT_EQ(arrivals.order_fault, "");
    EXPECT_EQ(arrivals.missing, 0u);
    RecordProperty("repeated", std::to_string(arrivals.received - kCount));
}

TEST(RelayRestart, OverTlsTheClientClosesAtOnceAndLosesNothing) {
    const auto& m = test::tls_test_material();
    RelayServerOptions options;
    options.object_ids_only = true;
    options.tls = sandbox::SandboxTls{m.server_cert, m.server_key, "", m.ca_cert};
    RelayServer server(options);
    Client client;
    Cluster cluster("alpha", "127.0.0.1");
    cluster.publication_config = PublicationConfig(std::to_string(server.port()), true, "feed");
    auto& ssl = cluster.publication_config.shards[0].ssl;
    ssl.trusted_server_pub_file = m.file("pinned-restart", m.server_pub);
    ssl.client_cert_file = m.client_cert;
    ssl.client_key_file = m.client_key;
    ssl.client_key_password = m.client_key_password;
    client.add_cluster(cluster, true);
    // The client is logged in once its side of the handshake is done; the relay takes the
    // connection only after its own, and a restart before that would not be a graceful one.
    ASSERT_TRUE(server.wait_for_logins(1));

    // A third of the ids goes before the restart, a third beside it, a third while the client
    // is away.
    constexpr std::size_t kCount = 30'000;
    const auto publish = [&](std::size_t from, std::size_t to) {
        for (std::size_t i = from; i < to; ++i)
            client.publish_object("alpha", "T", std::to_string(i), {}, {});
    };
    publish(0, kCount / 3);
    auto restart = std::async(std::launch::async, [&server] {
        auto closes = server.shutdown_gracefully(2s);
        server.resume_listening();
        return closes;
    });
    publish(kCount / 3, 2 * kCount / 3);
    ASSERT_EQ(restart.wait_for(10s), std::future_status::ready);
    const auto closes = restart.get();
    publish(2 * kCount / 3, kCount);
    ASSERT_EQ(closes.size(), 1u);
    EXPECT_TRUE(closes[0].client_closed);
    EXPECT_LT(closes[0].waited, 1s);  // far inside the bound, also on a loaded machine

    ASSERT_TRUE(server.wait_until([&](const sandbox::RelayState& s) { return has_last_id(s, kCount); }, 10s))
        << server.inspect(describe);
    EXPECT_EQ(server.inspect([](const sandbox::RelayState& s) { return s.connections.size(); }), 2u);
    const Arrivals arrivals =
        server.inspect([&](const sandbox::RelayState& s) { return check_arrivals(s, kCount); });
    EXPECT_EQ(arrivals.order_fault, "");
    EXPECT_EQ(arrivals.missing, 0u);
}

TEST(RelayRestart, AClientThatKeepsItsSideOpenIsClosedAfterTheBoundAndSaidSo) {
    RelayServer server;
    test::SandboxTestSocket socket(server.port());
    socket.write("L|I=\"feed\"\n");
    ASSERT_TRUE(server.wait_for_logins(1));
    ASSERT_TRUE(socket.read_line().has_value());

    auto shutdown = std::async(std::launch::async, [&] { return server.shutdown_gracefully(300ms); });
    // End of stream reaches the client, yet the relay still reads: a late object is kept.
    ASSERT_TRUE(socket.wait_closed());
    socket.write("O|T=\"T\"|I=\"late\"\n");
    ASSERT_TRUE(server.wait_for_objects(1));
    ASSERT_EQ(shutdown.wait_for(10s), std::future_status::ready);
    const auto closes = shutdown.get();
    ASSERT_EQ(closes.size(), 1u);
    EXPECT_EQ(closes[0].connection, 1u);
    EXPECT_FALSE(closes[0].client_closed);
    EXPECT_GE(closes[0].waited, 300ms);
    const auto state = server.state();
    EXPECT_FALSE(state.connections.at(1).open);
    EXPECT_EQ(state.publications.at(0).id, "late");
    EXPECT_FALSE(test::SandboxTestSocket::can_connect(server.port()));
}

}  // namespace
}  // namespace tyx
