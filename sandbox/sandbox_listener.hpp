// A loopback TCP listener for the sandbox servers: binds 127.0.0.1 (port 0 picks an ephemeral
// port), hands each accepted socket to its owner, and can stop and resume listening on the same
// port. Lives on one SandboxLoop; every member except `port` must be called on that loop.
#pragma once

#include <asio/ip/tcp.hpp>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace tyx::sandbox {

class SandboxLoop;

class SandboxListener {
public:
    using AcceptHandler = std::function<void(asio::ip::tcp::socket)>;

    SandboxListener(SandboxLoop& loop, std::string host, std::uint16_t port, AcceptHandler on_accept);
    ~SandboxListener();

    // Binds and starts accepting. The first call binds the requested port (0: ephemeral); later
    // calls, after `stop`, bind the port bound first, so clients can reconnect to it. Throws
    // std::system_error when the address cannot be bound.
    void listen();
    // Closes the listening socket; accepted connections are not touched.
    void stop();
    bool listening() const { return acceptor_ != nullptr; }
    // The bound port (0 before the first `listen`). Readable from any thread.
    std::uint16_t port() const { return port_.load(); }

private:
    SandboxLoop& loop_;
    std::string host_;
    std::atomic<std::uint16_t> port_;
    AcceptHandler on_accept_;
    std::shared_ptr<asio::ip::tcp::acceptor> acceptor_;
};

}  // namespace tyx::sandbox
