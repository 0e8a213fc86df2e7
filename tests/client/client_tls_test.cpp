// The public Client against a sandbox whose three servers accept TLS only and require a client
// certificate: every session works over TLS with a pinned server key, and a refused handshake
// is reported to the application instead of failing over in silence.
#include <gtest/gtest.h>

#include "sandbox.hpp"
#include "support/client_recorder.hpp"
#include "support/tls_test_keys.hpp"
#include "tyx/tyx.hpp"

namespace tyx {
namespace {

using test::ClientRecorder;
using test::tls_test_material;

sandbox::SandboxOptions tls_sandbox_options() {
    const auto& m = tls_test_material();
    sandbox::SandboxOptions options;
    options.tls = sandbox::SandboxTls{m.server_cert, m.server_key, "", m.ca_cert};
    return options;
}

// Every shard of the cluster over TLS with the same client material.
Cluster tls_cluster(sandbox::Sandbox& s, const SslOptions& ssl) {
    Cluster c("alpha", "127.0.0.1");
    c.publication_config = PublicationConfig(std::to_string(s.relay_port()), true, "feedA");
    c.subscription_config = SubscriptionConfig(std::to_string(s.center_port()), true);
    c.database_config = DatabaseConfig(std::to_string(s.database_port()), true, "", "");
    c.publication_config.shards[0].ssl = ssl;
    c.subscription_config.shards[0].ssl = ssl;
    c.database_config.shards[0].ssl = ssl;
    return c;
}

// The client certificate with its encrypted key, and one pinned server key.
SslOptions client_material(const std::string& key_name, const std::string& pinned_key_line) {
    const auto& m = tls_test_material();
    SslOptions ssl;
    ssl.trusted_server_pub_file = m.file("pinned-" + key_name, pinned_key_line);
    ssl.client_cert_file = m.client_cert;
    ssl.client_key_file = m.client_key;
    ssl.client_key_password = m.client_key_password;
    return ssl;
}

TEST(ClientOverTls, PublishSubscribeAndQueryWithPinnedKeyAndClientCertificate) {
    sandbox::Sandbox sandbox(tls_sandbox_options());
    auto events = std::make_shared<ClientRecorder>();
    {
        Client client;
        client.listener_add(events);
        client.add_cluster(tls_cluster(sandbox, client_material("server", tls_test_material().server_pub)),
                           true);
        ASSERT_TRUE(events->wait_for("logged_in alpha-relay"));
        ASSERT_TRUE(events->wait_for("logged_in alpha-jdbc"));
        client.subscribe("alpha", std::vector<std::string>{"Orders"}, true);
        ASSERT_TRUE(events->wait_for("subscribe alpha-center Orders"));

        client.publish_object("alpha", "Orders", "o-1", {"qty"}, {std::int32_t{7}});
        ASSERT_TRUE(events->wait_for("update alpha-center 1 Orders o-1"));
        ASSERT_TRUE(sandbox.wait_until_stored());
        auto result = client.sql("alpha", "SELECT qty FROM Orders");
        ASSERT_TRUE(result->has_result_set()) << result->error_message();
        ASSERT_TRUE(result->cursor_advance());
        EXPECT_EQ(std::get<std::vector<std::int32_t>>(result->columns()[0])[0], 7);
    }
    EXPECT_EQ(events->count_prefix("log "), 0u);
}

TEST(ClientOverTls, RefusedHandshakesAreLoggedForEveryKindOfServer) {
    sandbox::Sandbox sandbox(tls_sandbox_options());
    const auto& m = tls_test_material();
    struct Case {
        const char* what;
        SslOptions ssl;
        const char* reason;
    };
    SslOptions no_client_certificate;
    no_client_certificate.trusted_server_pub_file = m.file("pinned-server", m.server_pub);
    const Case cases[] = {
        {"pinned key of another server", client_material("other", m.other_pub),
         "matches none of the 1 trusted ssh-rsa keys"},
        {"no client certificate", no_client_certificate, "certificate required"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto events = std::make_shared<ClientRecorder>();
        Client client;
        client.listener_add(events);
        // Returns after the first round of attempts has failed; the clients keep trying.
        client.add_cluster(tls_cluster(sandbox, c.ssl), true);
        for (const char* kind : {"relay", "center", "jdbc"}) {
            const std::string prefix = std::string("log alpha-") + kind + " 3 ";
            ASSERT_TRUE(events->wait_for(prefix)) << kind;
            const auto line = events->with_prefix(prefix).front();
            EXPECT_NE(line.find(c.reason), std::string::npos) << line;
        }
    }
}

TEST(ClientOverTls, ARelayRefusingTheCertificateAfterTheHandshakeGetsNothingDelivered) {
    sandbox::Sandbox sandbox(tls_sandbox_options());
    const auto& m = tls_test_material();
    SslOptions no_client_certificate;
    no_client_certificate.trusted_server_pub_file = m.file("pinned-server", m.server_pub);
    Cluster cluster("alpha", "127.0.0.1");
    cluster.publication_config = PublicationConfig(std::to_string(sandbox.relay_port()), true, "feedA");
    cluster.publication_config.shards[0].ssl = no_client_certificate;
    cluster.publication_config.stop_flush_ms = 0;
    Client client;
    // The handshake completes on our side, and the login and the messages are written and
    // acknowledged by the relay's host before its alert arrives.
    client.add_cluster(cluster, true);
    for (int i = 0; i < 5; ++i) client.publish_object("alpha", "Orders", "o-" + std::to_string(i), {}, {});
    EXPECT_EQ(client.flush(std::chrono::milliseconds(1500)), 5u);
    const auto relay = client.health().sessions.at(0);
    EXPECT_EQ(relay.relay.acknowledged_messages, 0u);
    EXPECT_EQ(relay.relay.kept_messages, 5u);
    EXPECT_NE(relay.last_error.find("certificate required"), std::string::npos) << relay.last_error;
}

}  // namespace
}  // namespace tyx
