// SslSocket: the TLS socket, with the queue and reads of TcpSocket over a TLS stream. Each
// connection attempt builds its TLS context from the shard's SslOptions. Owned by one
// protocol client and used on its event loop, like every ISocket.
#pragma once

#include <asio/ip/tcp.hpp>
#include <asio/ssl/context.hpp>
#include <asio/ssl/stream.hpp>

#include <memory>
#include <string>

#include "transport/socket_impl.hpp"
#include "transport/ssh_rsa_keys.hpp"

namespace tyx {

using TlsStream = asio::ssl::stream<asio::ip::tcp::socket>;

// Server identity check:
// - with `trusted_server_pub_file`, the server is accepted exactly when the public key of its
//   leaf certificate equals one of the file's ssh-rsa keys; the chain, the dates and the host
//   name are not consulted (the pinned key is the identity);
// - without it, the chain must verify against `ca_file` when set, else the default trust store
//   (which honours SSL_CERT_FILE and SSL_CERT_DIR), and the certificate must name the host
//   connected to.
// Any TLS failure, the identity check included, fails connect_sync with the reason as last
// error text; a pin mismatch says so. Disconnecting closes the TCP connection as TcpSocket does,
// without a TLS close_notify: waiting to send one can stall on a connection that already
// failed, and every protocol on top ends its sessions in its own messages.
class SslSocket : public StreamSocket<TlsStream> {
public:
    SslSocket(asio::io_context& io_context, std::string host, std::string port_or_service,
              SslOptions ssl_options);

private:
    struct PinnedKeys;

    std::shared_ptr<TlsStream> make_stream() override;
    asio::awaitable<void> after_connect(TlsStream& stream) override;
    asio::ssl::context make_context();

    // The trusted keys of the attempt in progress; null without a trusted-key file.
    std::shared_ptr<PinnedKeys> pinned_;
};

}  // namespace tyx
