// A TLS server on an ephemeral 127.0.0.1 port for tests: presents a certificate chain and key,
// optionally requires a client certificate signed by a given CA, and records what it reads.
// It offers the members of LoopbackSink (port, send, reset_last_peer, shutdown_send_last_peer,
// close, received, accepts, reads), so socket tests can run over either. Lives on the test's
// io_context; everything runs on the thread that runs it.
#pragma once

#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/redirect_error.hpp>
#include <asio/ssl.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>

#include <memory>
#include <string>
#include <vector>

namespace tyx::test {

struct TlsServerOptions {
    std::string cert_file;       // PEM chain presented to clients
    std::string key_file;        // its private key (unencrypted PEM)
    std::string client_ca_file;  // when set, clients must present a certificate this CA signed
};

// The context of a TLS acceptor that interoperates with SslSocket: TLS 1.2 or later, the
// server chain and key, and, to require client certificates, peer verification against the
// client CA with failure when none is presented.
inline asio::ssl::context make_tls_server_context(const TlsServerOptions& options) {
    asio::ssl::context context(asio::ssl::context::tls_server);
    SSL_CTX_set_min_proto_version(context.native_handle(), TLS1_2_VERSION);
    context.use_certificate_chain_file(options.cert_file);
    context.use_private_key_file(options.key_file, asio::ssl::context::pem);
    if (!options.client_ca_file.empty()) {
        context.load_verify_file(options.client_ca_file);
        context.set_verify_mode(asio::ssl::verify_peer | asio::ssl::verify_fail_if_no_peer_cert);
    }
    return context;
}

class TlsTestServer {
public:
    using Stream = asio::ssl::stream<asio::ip::tcp::socket>;

    TlsTestServer(asio::io_context& io, const TlsServerOptions& options)
        : context_(make_tls_server_context(options)),
          acceptor_(io, {asio::ip::make_address("127.0.0.1"), 0}) {
        asio::co_spawn(io, accept_loop(), asio::detached);
    }
    ~TlsTestServer() { close(); }

    std::string port() const { return std::to_string(acceptor_.local_endpoint().port()); }

    // Writes `bytes` to the most recent peer whose handshake completed.
    asio::awaitable<void> send(std::string bytes) {
        auto peer = peers_.back();
        co_await asio::async_write(*peer, asio::buffer(bytes), asio::use_awaitable);
    }
    // Closes the most recent peer with a TCP reset.
    void reset_last_peer() {
        std::error_code ignored;
        peers_.back()->lowest_layer().set_option(asio::socket_base::linger(true, 0), ignored);
        peers_.back()->lowest_layer().close(ignored);
    }
    // Ends the TCP send direction without a TLS close_notify.
    void shutdown_send_last_peer() {
        std::error_code ignored;
        peers_.back()->lowest_layer().shutdown(asio::ip::tcp::socket::shutdown_send, ignored);
    }
    void close() {
        std::error_code ignored;
        acceptor_.close(ignored);
        for (auto& p : peers_) p->lowest_layer().close(ignored);
    }

    std::string received;
    int accepts = 0;  // completed handshakes
    int reads = 0;
    int handshake_failures = 0;
    std::string last_handshake_error;
    std::string last_server_name;     // SNI sent by the last client, "" when none
    std::string last_client_subject;  // subject of the last client certificate, "" when none

private:
    asio::awaitable<void> accept_loop() {
        for (;;) {
            std::error_code ec;
            asio::ip::tcp::socket socket(co_await asio::this_coro::executor);
            co_await acceptor_.async_accept(socket, asio::redirect_error(asio::use_awaitable, ec));
            if (ec) co_return;
            auto peer = std::make_shared<Stream>(std::move(socket), context_);
            asio::co_spawn(acceptor_.get_executor(), serve(peer), asio::detached);
        }
    }

    asio::awaitable<void> serve(std::shared_ptr<Stream> peer) {
        std::error_code ec;
        co_await peer->async_handshake(Stream::server, asio::redirect_error(asio::use_awaitable, ec));
        if (ec) {
            ++handshake_failures;
            last_handshake_error = ec.message();
            co_return;
        }
        SSL* ssl = peer->native_handle();
        const char* name = SSL_get_servername(ssl, TLSEXT_NAMETYPE_host_name);
        last_server_name = name ? name : "";
        last_client_subject.clear();
        if (X509* client = SSL_get0_peer_certificate(ssl)) {
            char subject[256] = {};
            X509_NAME_oneline(X509_get_subject_name(client), subject, sizeof subject);
            last_client_subject = subject;
        }
        ++accepts;
        peers_.push_back(peer);
        char chunk[4096];
        for (;;) {
            const std::size_t n = co_await peer->async_read_some(
                asio::buffer(chunk), asio::redirect_error(asio::use_awaitable, ec));
            if (ec) co_return;
            ++reads;
            received.append(chunk, n);
        }
    }

    asio::ssl::context context_;
    asio::ip::tcp::acceptor acceptor_;
    std::vector<std::shared_ptr<Stream>> peers_;
};

}  // namespace tyx::test
