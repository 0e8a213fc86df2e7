// TLS for the sandbox's listeners: the certificate chain and key a server presents, and
// whether it requires clients to present a certificate of their own.
#pragma once

#include <string>

namespace tyx::sandbox {

struct SandboxTls {
    std::string certificate_chain_file;  // PEM: the server's certificate, then any intermediates
    std::string private_key_file;        // PEM: its private key
    std::string private_key_password;    // for an encrypted private key; empty otherwise
    // When set, a client must present a certificate that one of these PEM certificates signed;
    // connections without one fail their handshake.
    std::string client_ca_file;
};

}  // namespace tyx::sandbox
