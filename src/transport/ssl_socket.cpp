#include "transport/ssl_socket.hpp"

#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <asio/ip/address.hpp>
#include <asio/ssl.hpp>

#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>

#include "transport/stream_socket_impl.hpp"

namespace tyx {

template class StreamSocket<TlsStream>;

namespace {

// The RSA public key of `pkey` in the form the ssh-rsa reader gives; empty for other keys.
std::optional<SshRsaKey> rsa_key_of(const EVP_PKEY* pkey) {
    if (pkey == nullptr) return std::nullopt;
    const int id = EVP_PKEY_get_base_id(pkey);
    if (id != EVP_PKEY_RSA && id != EVP_PKEY_RSA_PSS) return std::nullopt;
    const auto magnitude = [pkey](const char* name) -> std::optional<std::vector<std::uint8_t>> {
        BIGNUM* bn = nullptr;
        if (EVP_PKEY_get_bn_param(pkey, name, &bn) != 1) return std::nullopt;
        std::vector<std::uint8_t> bytes(static_cast<std::size_t>(BN_num_bytes(bn)));
        BN_bn2bin(bn, bytes.data());
        BN_free(bn);
        return bytes;
    };
    auto n = magnitude(OSSL_PKEY_PARAM_RSA_N);
    auto e = magnitude(OSSL_PKEY_PARAM_RSA_E);
    if (!n || !e) return std::nullopt;
    return SshRsaKey{std::move(*e), std::move(*n)};
}

bool is_ip_address(const std::string& host) {
    std::error_code ec;
    asio::ip::make_address(host, ec);
    return !ec;
}

std::string joined(const std::vector<std::string>& parts) {
    std::string out;
    for (const auto& part : parts) out += (out.empty() ? "" : "; ") + part;
    return out;
}

}  // namespace

// The trusted keys of one connection attempt and what the verification found. Shared with
// the verification callback, which the TLS stream owns.
struct SslSocket::PinnedKeys {
    std::string path;
    SshRsaKeyFile file;
    std::string mismatch;  // why the server was refused; empty while it is not

    bool accepts(X509* certificate) {
        const auto key = rsa_key_of(certificate ? X509_get0_pubkey(certificate) : nullptr);
        for (const auto& trusted : file.keys)
            if (key && *key == trusted) return true;
        mismatch =
            std::string(key ? "server certificate public key" : "server certificate key is not RSA and") +
            " matches none of the " + std::to_string(file.keys.size()) + " trusted ssh-rsa keys in " + path;
        if (!file.skipped.empty()) mismatch += " (skipped " + joined(file.skipped) + ")";
        return false;
    }
};

namespace {

// Gives `context` the system's trust store, read once and shared by every context while the
// environment that names it (SSL_CERT_FILE, SSL_CERT_DIR) stays the same; the store locks itself
// for the lookups that fill it lazily. Reading it parses the whole CA bundle, tens of
// milliseconds that every connection attempt paid when each context read its own. A bundle
// rewritten while the process runs is seen by the next process. False when it cannot be read:
// the context then reads it itself and says why it failed.
bool use_system_trust_store(SSL_CTX* context) {
    struct Cache {
        std::mutex mutex;
        std::string file, dir;  // the environment it was read under
        X509_STORE* store = nullptr;
    };
    static Cache* const cache = new Cache;  // never destroyed: connections may outlive statics
    const char* file = std::getenv(X509_get_default_cert_file_env());
    const char* dir = std::getenv(X509_get_default_cert_dir_env());
    std::lock_guard lock(cache->mutex);
    if (cache->store == nullptr || cache->file != (file ? file : "") || cache->dir != (dir ? dir : "")) {
        X509_STORE* read = X509_STORE_new();
        if (read == nullptr || X509_STORE_set_default_paths(read) != 1) {
            X509_STORE_free(read);
            ERR_clear_error();
            return false;
        }
        X509_STORE_free(cache->store);  // the contexts given it hold their own reference
        cache->store = read;
        cache->file = file ? file : "";
        cache->dir = dir ? dir : "";
    }
    SSL_CTX_set1_cert_store(context, cache->store);
    return true;
}

}  // namespace

SslSocket::SslSocket(asio::io_context& io_context, std::string host, std::string port_or_service,
                     SslOptions ssl_options)
    : StreamSocket(io_context, std::move(host), std::move(port_or_service), true, std::move(ssl_options)) {}

asio::ssl::context SslSocket::make_context() {
    const SslOptions& options = ssl_options_;
    asio::ssl::context context(asio::ssl::context::tls_client);
    SSL_CTX_set_min_proto_version(context.native_handle(), TLS1_2_VERSION);
    // Set even without a pass phrase: without a callback the TLS library would prompt on the
    // terminal for an encrypted key.
    context.set_password_callback(
        [password = options.client_key_password](std::size_t, asio::ssl::context::password_purpose) {
            return password;
        });
    if (!options.client_cert_file.empty()) context.use_certificate_chain_file(options.client_cert_file);
    if (!options.client_key_file.empty())
        context.use_private_key_file(options.client_key_file, asio::ssl::context::pem);
    pinned_.reset();
    if (!options.trusted_server_pub_file.empty()) {
        auto pinned = std::make_shared<PinnedKeys>();
        pinned->path = options.trusted_server_pub_file;
        try {
            pinned->file = load_ssh_rsa_keys(pinned->path);
        } catch (const SshRsaKeyFileError& e) {
            // The reasons the lines were refused belong in the connection's error text.
            if (e.skipped().empty()) throw;
            throw std::runtime_error(std::string(e.what()) + " (" + joined(e.skipped()) + ")");
        }
        pinned_ = std::move(pinned);
    } else if (!options.ca_file.empty()) {
        context.load_verify_file(options.ca_file);
    } else if (!use_system_trust_store(context.native_handle())) {
        context.set_default_verify_paths();
    }
    // Always verified: with pinned keys the callback decides, otherwise the trust store and
    // the host name do. Leaving verification off would accept any server.
    context.set_verify_mode(asio::ssl::verify_peer);
    return context;
}

std::shared_ptr<TlsStream> SslSocket::make_stream() {
    // The context travels with the stream it configured, so a stream kept alive by a
    // completing operation never outlives it.
    struct Connection {
        Connection(asio::io_context& io_context, asio::ssl::context&& tls)
            : context(std::move(tls)), stream(io_context, context) {}
        asio::ssl::context context;
        TlsStream stream;
    };
    auto connection = std::make_shared<Connection>(io_context_, make_context());
    return std::shared_ptr<TlsStream>(connection, &connection->stream);
}

asio::awaitable<void> SslSocket::after_connect(TlsStream& stream) {
    SSL* ssl = stream.native_handle();
    const bool ip_host = is_ip_address(host_);
    // Server name indication carries host names only; an address literal is not sent.
    if (!ip_host && SSL_set_tlsext_host_name(ssl, host_.c_str()) != 1)
        throw std::runtime_error("cannot set the TLS server name to " + host_);
    const auto pinned = pinned_;
    if (pinned) {
        stream.set_verify_callback([pinned](bool, asio::ssl::verify_context& verify) {
            X509_STORE_CTX* store = verify.native_handle();
            // Only the leaf is pinned; its issuers are not consulted.
            if (X509_STORE_CTX_get_error_depth(store) > 0) return true;
            return pinned->accepts(X509_STORE_CTX_get_current_cert(store));
        });
    } else {
        const int set = ip_host ? X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), host_.c_str())
                                : SSL_set1_host(ssl, host_.c_str());
        if (set != 1) throw std::runtime_error("cannot check the TLS server name " + host_);
    }

    std::error_code ec;
    co_await stream.async_handshake(asio::ssl::stream_base::client,
                                    asio::redirect_error(asio::use_awaitable, ec));
    std::string failure = "TLS handshake with " + host_ + ":" + port_ + " failed";
    if (ec) {
        if (pinned && !pinned->mismatch.empty()) {
            failure += ": " + pinned->mismatch;
        } else if (const long result = SSL_get_verify_result(ssl); result != X509_V_OK) {
            failure += std::string(": ") + X509_verify_cert_error_string(result);
        }
        throw std::system_error(ec, failure);
    }
    // The callback may not have seen the leaf (a chain cut short before it); check once more.
    if (pinned && !pinned->accepts(SSL_get0_peer_certificate(ssl)))
        throw std::system_error(asio::error::access_denied, failure + ": " + pinned->mismatch);
}

}  // namespace tyx
