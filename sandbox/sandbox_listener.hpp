// A loopback listener for the sandbox servers: binds 127.0.0.1 (port 0 picks an ephemeral
// port), hands each accepted connection to its owner, and can stop and resume listening on the
// same port. With TLS settings, a connection is handed over only once its TLS handshake has
// completed; one that fails the handshake (no client certificate where one is required, a
// client that does not trust the server) is closed. Lives on one SandboxLoop; every member
// except `port` must be called on that loop.
#pragma once

#include "sandbox_stream.hpp"
#include "sandbox_tls.hpp"

#include <asio/ip/tcp.hpp>
#include <asio/ssl/context.hpp>
#include <asio/steady_timer.hpp>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>

namespace tyx::sandbox {

class SandboxLoop;

// The server side of the sandbox's TLS: TLS 1.2 or later, the chain and key (opened with the
// password when one is given), and, with a client CA, peer verification that fails without a
// client certificate. Throws asio's std::system_error naming the file that could not be used.
std::shared_ptr<asio::ssl::context> make_sandbox_tls_context(const SandboxTls& tls);

class SandboxListener {
public:
    using AcceptHandler = std::function<void(SandboxStream)>;

    SandboxListener(SandboxLoop& loop, std::string host, std::uint16_t port, AcceptHandler on_accept,
                    const std::optional<SandboxTls>& tls = std::nullopt);
    ~SandboxListener();

    // Binds and starts accepting. The first call binds the requested port (0: ephemeral); later
    // calls, after `stop`, bind the port bound first, so clients can reconnect to it. Throws
    // std::system_error when the address cannot be bound.
    void listen();
    // Closes the listening socket and any connection still in its TLS handshake; connections
    // already handed over are not touched.
    void stop();
    bool listening() const { return acceptor_ != nullptr; }
    // Stops listening for `length`, so that new connections are refused, then listens again on
    // the same port unless `stop` or `listen` was called meanwhile. False when not listening.
    bool refuse_for(std::chrono::milliseconds length);
    // The bound port (0 before the first `listen`). Readable from any thread.
    std::uint16_t port() const { return port_.load(); }

    struct Handshakes;

private:
    SandboxLoop& loop_;
    std::string host_;
    std::atomic<std::uint16_t> port_;
    AcceptHandler on_accept_;
    std::shared_ptr<asio::ssl::context> tls_;
    std::shared_ptr<asio::ip::tcp::acceptor> acceptor_;
    std::shared_ptr<Handshakes> handshakes_;
    // Bumped by every stop, listen and refusal (and at destruction), so that the end of an
    // older refusal does nothing.
    std::shared_ptr<std::uint64_t> refusal_generation_ = std::make_shared<std::uint64_t>(0);
    std::unique_ptr<asio::steady_timer> refusal_timer_;
};

}  // namespace tyx::sandbox
