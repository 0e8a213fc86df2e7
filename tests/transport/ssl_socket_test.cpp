#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "support/tls_test_keys.hpp"
#include "support/tls_test_server.hpp"
#include "support/transport_loopback.hpp"
#include "transport/ssl_socket.hpp"

namespace tyx {
namespace {

using test::run_test;
using test::TlsServerOptions;
using test::TlsTestServer;
using test::wait_until;

const test::TlsTestMaterial& keys() {
    return test::tls_test_material();
}

TlsServerOptions signed_server() {
    return {keys().server_cert, keys().server_key, ""};
}
TlsServerOptions self_signed_server() {
    return {keys().other_cert, keys().other_key, ""};
}

struct Outcome {
    bool connected = false;
    std::int32_t code = 0;
    std::string message;
    std::string echoed;  // what came back through the server after a connect
};

// Connects an SslSocket to `server`, and when that works sends one queued line and reads one
// line the server sends back.
Outcome connect_once(asio::io_context& io, TlsTestServer& server, const std::string& host,
                     const SslOptions& options) {
    SslSocket socket(io, host, server.port(), options);
    Outcome outcome;
    const int accepts_before = server.accepts;
    run_test(io, [&]() -> asio::awaitable<void> {
        const bool connected = co_await socket.connect_sync();
        outcome.connected = connected;
        if (!connected) co_return;
        EXPECT_TRUE(co_await wait_until([&] { return server.accepts == accepts_before + 1; }));
        socket.send_async(std::make_shared<QMessage>(std::vector<std::uint8_t>{'u', 'p', '\n'}), nullptr);
        co_await server.send("down\n");
        std::vector<char> line;
        co_await socket.receive_line_sync(line);
        outcome.echoed.assign(line.begin(), line.end());
        EXPECT_TRUE(co_await wait_until([&] { return server.received.ends_with("up\n"); }));
        co_await socket.disconnect_sync();
    });
    outcome.code = socket.get_last_error();
    outcome.message = socket.get_last_error_message();
    return outcome;
}

TEST(SslSocket, PinnedKeysDecideWhichServerIsAccepted) {
    const auto& k = keys();
    const struct {
        const char* what;
        TlsServerOptions server;
        std::optional<std::string> pub_text;  // absent: no such file
        const char* host;
        bool connects;
        std::string error;  // expected in the last error text
    } cases[] = {
        {"pinned key", signed_server(), k.server_pub + "\n", "localhost", true, ""},
        // The pinned key is the identity: no chain, no host name needed.
        {"pinned self-signed server by address", self_signed_server(), k.other_pub + "\n", "127.0.0.1", true,
         ""},
        {"pinned key beside damaged lines", signed_server(),
         "ssh-rsa AAAA*AAA\n" + k.other_pub + "\n" + k.server_pub + "\n", "127.0.0.1", true, ""},
        {"other key", signed_server(), k.other_pub + "\n", "localhost", false,
         "matches none of the 1 trusted ssh-rsa keys in "},
        {"other key, a damaged line skipped", signed_server(), "ssh-rsa AAAA\n" + k.other_pub + "\n",
         "localhost", false, "(skipped line 1: truncated ssh-rsa key (length header))"},
        {"no readable key", signed_server(), "ssh-rsa AAAA*AAA\n", "localhost", false,
         "no valid ssh-rsa public keys found in: "},
        {"no file", signed_server(), std::nullopt, "localhost", false, "cannot open ssh-rsa pub file: "},
    };
    int file_number = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string path = c.pub_text
                                     ? k.file("pin" + std::to_string(++file_number) + ".pub", *c.pub_text)
                                     : k.dir + "/absent.pub";
        asio::io_context io;
        TlsTestServer server(io, c.server);
        const Outcome outcome = connect_once(io, server, c.host, SslOptions{path, "", "", ""});
        EXPECT_EQ(outcome.connected, c.connects) << outcome.message;
        if (c.connects) {
            EXPECT_EQ(outcome.echoed, "down\n");
            EXPECT_EQ(server.last_server_name, std::string(c.host) == "localhost" ? "localhost" : "");
            EXPECT_EQ(outcome.code, 0);
        } else {
            EXPECT_NE(outcome.code, 0);
            EXPECT_NE(outcome.message.find(c.error), std::string::npos) << outcome.message;
            EXPECT_NE(outcome.message.find(path), std::string::npos) << outcome.message;
        }
    }
}

TEST(SslSocket, PresentsAClientCertificateWithAnEncryptedKey) {
    const auto& k = keys();
    TlsServerOptions requiring = signed_server();
    requiring.client_ca_file = k.ca_cert;
    const std::string pinned = k.file("client-test.pub", k.server_pub + "\n");
    const struct {
        const char* what;
        SslOptions options;
        bool connects;
        std::string error;
    } cases[] = {
        {"certificate and key", {pinned, k.client_cert, k.client_key, k.client_key_password}, true, ""},
        {"wrong pass phrase", {pinned, k.client_cert, k.client_key, "wrong"}, false, "use_private_key_file"},
        {"no pass phrase", {pinned, k.client_cert, k.client_key, ""}, false, "use_private_key_file"},
        {"missing chain",
         {pinned, k.dir + "/absent.pem", k.client_key, k.client_key_password},
         false,
         "use_certificate_chain_file"},
        {"key of another certificate",
         {pinned, k.client_cert, k.other_key, ""},
         false,
         "use_private_key_file"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        asio::io_context io;
        TlsTestServer server(io, requiring);
        const Outcome outcome = connect_once(io, server, "127.0.0.1", c.options);
        EXPECT_EQ(outcome.connected, c.connects) << outcome.message;
        if (c.connects) {
            EXPECT_EQ(outcome.echoed, "down\n");
            EXPECT_NE(server.last_client_subject.find("CN=tyx test client"), std::string::npos);
        } else {
            EXPECT_EQ(
                outcome.message.rfind("TLS setup with 127.0.0.1:" + server.port() + " failed: " + c.error, 0),
                0u)
                << outcome.message;
            EXPECT_EQ(server.accepts + server.handshake_failures, 0);  // refused before connecting
        }
    }
}

TEST(SslSocket, ServerRefusingTheMissingClientCertificateEndsTheConnection) {
    const auto& k = keys();
    TlsServerOptions requiring = signed_server();
    requiring.client_ca_file = k.ca_cert;
    asio::io_context io;
    TlsTestServer server(io, requiring);
    SslSocket socket(io, "127.0.0.1", server.port(),
                     SslOptions{k.file("nocert.pub", k.server_pub), "", "", ""});
    run_test(io, [&]() -> asio::awaitable<void> {
        // Under TLS 1.3 the client's handshake ends before the server has judged its
        // certificate, so the refusal shows on the connect or on the first read.
        const bool connected = co_await socket.connect_sync();
        if (connected) {
            std::vector<char> line;
            EXPECT_THROW(co_await socket.receive_line_sync(line), std::system_error);
        }
        EXPECT_TRUE(co_await wait_until([&] { return server.handshake_failures == 1; }));
    });
    EXPECT_EQ(server.accepts, 0);
}

// Points the default trust store at one file for the scope of a test.
class TrustStoreOverride {
public:
    explicit TrustStoreOverride(const std::string& file) {
        for (const char* name : {"SSL_CERT_FILE", "SSL_CERT_DIR"})
            if (const char* old = std::getenv(name)) saved_.emplace_back(name, old);
        setenv("SSL_CERT_FILE", file.c_str(), 1);
        setenv("SSL_CERT_DIR", (keys().dir + "/no-such-dir").c_str(), 1);
    }
    ~TrustStoreOverride() {
        unsetenv("SSL_CERT_FILE");
        unsetenv("SSL_CERT_DIR");
        for (const auto& [name, value] : saved_) setenv(name.c_str(), value.c_str(), 1);
    }

private:
    std::vector<std::pair<std::string, std::string>> saved_;
};

TEST(SslSocket, WithoutPinnedKeysTheChainAndHostNameAreVerified) {
    const auto& k = keys();
    const struct {
        const char* what;
        std::string trust_file;
        TlsServerOptions server;
        const char* host;
        bool connects;
        const char* error;
    } cases[] = {
        {"trusted chain, matching name", k.ca_cert, signed_server(), "localhost", true, ""},
        {"trusted chain, other name", k.ca_cert, signed_server(), "127.0.0.1", false, "IP address mismatch"},
        {"self-signed server", k.ca_cert, self_signed_server(), "localhost", false, "signed certificate"},
        {"CA not in the store", k.other_cert, signed_server(), "localhost", false,
         "unable to get local issuer certificate"},
    };
    // The trust store is the system's (pointed at the file by the environment), or the CA file.
    for (const bool by_option : {false, true})
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(c.what) + (by_option ? " (ca_file)" : " (system store)"));
            std::optional<TrustStoreOverride> store;
            SslOptions options;
            if (by_option)
                options.ca_file = c.trust_file;
            else
                store.emplace(c.trust_file);
            asio::io_context io;
            TlsTestServer server(io, c.server);
            const Outcome outcome = connect_once(io, server, c.host, options);
            EXPECT_EQ(outcome.connected, c.connects) << outcome.message;
            if (c.connects) {
                EXPECT_EQ(outcome.echoed, "down\n");
            } else {
                EXPECT_NE(outcome.code, 0);
                EXPECT_NE(outcome.message.find(c.error), std::string::npos) << outcome.message;
                EXPECT_NE(
                    outcome.message.find("TLS handshake with " + std::string(c.host) + ":" + server.port()),
                    std::string::npos)
                    << outcome.message;
            }
        }
}

}  // namespace
}  // namespace tyx
