#include "sandbox_listener.hpp"

#include "sandbox_loop.hpp"

namespace tyx::sandbox {

namespace {

// Accepts until the acceptor is closed. The handler is called through a shared copy so that a
// listener destroyed on the loop never leaves this chain with a dangling reference.
void accept_next(std::shared_ptr<asio::ip::tcp::acceptor> acceptor,
                 std::shared_ptr<SandboxListener::AcceptHandler> handler) {
    acceptor->async_accept([acceptor, handler](std::error_code ec, asio::ip::tcp::socket socket) {
        if (!acceptor->is_open()) return;
        if (!ec) {
            std::error_code ignored;
            socket.set_option(asio::ip::tcp::no_delay(true), ignored);
            (*handler)(std::move(socket));
        }
        // Errors such as a full descriptor table are transient: keep accepting.
        accept_next(acceptor, handler);
    });
}

}  // namespace

SandboxListener::SandboxListener(SandboxLoop& loop, std::string host, std::uint16_t port,
                                 AcceptHandler on_accept)
    : loop_(loop), host_(std::move(host)), port_(port), on_accept_(std::move(on_accept)) {}

SandboxListener::~SandboxListener() {
    stop();
}

void SandboxListener::listen() {
    if (acceptor_) return;
    auto endpoint = asio::ip::tcp::endpoint(asio::ip::make_address(host_), port_.load());
    auto acceptor = std::make_shared<asio::ip::tcp::acceptor>(loop_.context());
    acceptor->open(endpoint.protocol());
    acceptor->set_option(asio::ip::tcp::acceptor::reuse_address(true));
    acceptor->bind(endpoint);
    acceptor->listen(asio::socket_base::max_listen_connections);
    port_ = acceptor->local_endpoint().port();
    acceptor_ = acceptor;
    accept_next(acceptor, std::make_shared<AcceptHandler>(on_accept_));
}

void SandboxListener::stop() {
    if (!acceptor_) return;
    std::error_code ignored;
    acceptor_->close(ignored);
    acceptor_.reset();
}

}  // namespace tyx::sandbox
