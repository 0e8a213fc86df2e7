#include "sandbox_listener.hpp"

#include "sandbox_loop.hpp"

#include <asio/ssl.hpp>
#include <asio/steady_timer.hpp>

#include <openssl/ssl.h>

namespace tyx::sandbox {

// Connections whose TLS handshake is in progress, so that `stop` can end them.
struct SandboxListener::Handshakes {
    std::set<std::shared_ptr<SandboxStream::TlsStream>> pending;
};

namespace {

// A client that connects and never starts its handshake is let go after this.
constexpr auto kHandshakeTimeout = std::chrono::seconds(10);

struct AcceptChain {
    std::shared_ptr<asio::ip::tcp::acceptor> acceptor;
    std::shared_ptr<SandboxListener::AcceptHandler> handler;
    std::shared_ptr<asio::ssl::context> tls;
    std::shared_ptr<SandboxListener::Handshakes> handshakes;
};

void start_handshake(const AcceptChain& chain, asio::ip::tcp::socket socket) {
    auto stream = std::make_shared<SandboxStream::TlsStream>(std::move(socket), *chain.tls);
    auto timer = std::make_shared<asio::steady_timer>(stream->get_executor(), kHandshakeTimeout);
    chain.handshakes->pending.insert(stream);
    timer->async_wait([stream](std::error_code ec) {
        if (ec) return;
        std::error_code ignored;
        stream->next_layer().close(ignored);
    });
    // The context stays alive with the chain for as long as the handshake needs it.
    stream->async_handshake(asio::ssl::stream_base::server, [chain, stream, timer](std::error_code ec) {
        timer->cancel();
        chain.handshakes->pending.erase(stream);
        std::error_code ignored;
        if (ec || !chain.acceptor->is_open()) {
            stream->next_layer().close(ignored);
            return;
        }
        (*chain.handler)(SandboxStream(stream));
    });
}

// Accepts until the acceptor is closed. The handler is called through a shared copy so that a
// listener destroyed on the loop never leaves this chain with a dangling reference.
void accept_next(AcceptChain chain) {
    auto acceptor = chain.acceptor;
    acceptor->async_accept([chain = std::move(chain)](std::error_code ec, asio::ip::tcp::socket socket) {
        if (!chain.acceptor->is_open()) return;
        if (!ec) {
            std::error_code ignored;
            socket.set_option(asio::ip::tcp::no_delay(true), ignored);
            if (chain.tls)
                start_handshake(chain, std::move(socket));
            else
                (*chain.handler)(SandboxStream(std::move(socket)));
        }
        // Errors such as a full descriptor table are transient: keep accepting.
        accept_next(chain);
    });
}

}  // namespace

std::shared_ptr<asio::ssl::context> make_sandbox_tls_context(const SandboxTls& tls) {
    auto context = std::make_shared<asio::ssl::context>(asio::ssl::context::tls_server);
    SSL_CTX_set_min_proto_version(context->native_handle(), TLS1_2_VERSION);
    if (!tls.private_key_password.empty()) {
        context->set_password_callback(
            [password = tls.private_key_password](std::size_t, asio::ssl::context::password_purpose) {
                return password;
            });
    }
    context->use_certificate_chain_file(tls.certificate_chain_file);
    context->use_private_key_file(tls.private_key_file, asio::ssl::context::pem);
    if (!tls.client_ca_file.empty()) {
        context->load_verify_file(tls.client_ca_file);
        context->set_verify_mode(asio::ssl::verify_peer | asio::ssl::verify_fail_if_no_peer_cert);
    }
    return context;
}

SandboxListener::SandboxListener(SandboxLoop& loop, std::string host, std::uint16_t port,
                                 AcceptHandler on_accept, const std::optional<SandboxTls>& tls)
    : loop_(loop),
      host_(std::move(host)),
      port_(port),
      on_accept_(std::move(on_accept)),
      tls_(tls ? make_sandbox_tls_context(*tls) : nullptr) {}

SandboxListener::~SandboxListener() {
    stop();
    ++*refusal_generation_;
}

void SandboxListener::listen() {
    ++*refusal_generation_;
    if (acceptor_) return;
    auto endpoint = asio::ip::tcp::endpoint(asio::ip::make_address(host_), port_.load());
    auto acceptor = std::make_shared<asio::ip::tcp::acceptor>(loop_.context());
    acceptor->open(endpoint.protocol());
    acceptor->set_option(asio::ip::tcp::acceptor::reuse_address(true));
    std::error_code ec;
    acceptor->bind(endpoint, ec);
    // The error alone says "Address already in use", not which address.
    if (ec) throw std::system_error(ec, "bind to " + host_ + ":" + std::to_string(endpoint.port()));
    acceptor->listen(asio::socket_base::max_listen_connections);
    port_ = acceptor->local_endpoint().port();
    acceptor_ = acceptor;
    handshakes_ = std::make_shared<Handshakes>();
    accept_next(AcceptChain{acceptor, std::make_shared<AcceptHandler>(on_accept_), tls_, handshakes_});
}

bool SandboxListener::refuse_for(std::chrono::milliseconds length) {
    if (!acceptor_) return false;
    stop();
    if (!refusal_timer_) refusal_timer_ = std::make_unique<asio::steady_timer>(loop_.context());
    refusal_timer_->expires_after(length);
    refusal_timer_->async_wait(
        [this, generation = refusal_generation_, expected = *refusal_generation_](std::error_code ec) {
            // The listener is still there while its generation is the one this refusal set.
            if (ec || *generation != expected) return;
            try {
                listen();
            } catch (const std::system_error&) {
                // The port was taken meanwhile: the server stays without a listener.
            }
        });
    return true;
}

void SandboxListener::stop() {
    ++*refusal_generation_;
    if (!acceptor_) return;
    std::error_code ignored;
    acceptor_->close(ignored);
    acceptor_.reset();
    for (const auto& stream : handshakes_->pending) stream->next_layer().close(ignored);
    handshakes_.reset();
}

}  // namespace tyx::sandbox
