// TLS key material made for one test run with OpenSSL's API and written to a temporary
// directory (removed at exit): a CA, a server certificate it signs for "localhost", a second
// self-signed server, and a client certificate it signs whose private key is encrypted.
// Nothing secret is ever committed. Build with tls_test_material(); the first call takes a
// moment (RSA key generation), later calls reuse the same files.
#pragma once

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace tyx::test {

namespace tls_detail {

struct PkeyFree {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct X509Free {
    void operator()(X509* p) const { X509_free(p); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;
using Cert = std::unique_ptr<X509, X509Free>;

inline void check(bool ok, const char* what) {
    if (!ok) throw std::runtime_error(std::string("test key material: ") + what);
}

inline Pkey rsa_key() {
    Pkey key(EVP_RSA_gen(2048));
    check(key != nullptr, "EVP_RSA_gen");
    return key;
}

inline void add_ext(X509* cert, X509* issuer, int nid, const char* value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    check(ext != nullptr, value);
    X509_add_ext(cert, ext, -1);
    X509_EXTENSION_free(ext);
}

// A certificate for `key` named `cn`, signed by (issuer, issuer_key) or self-signed when
// issuer is null. `alt_names` is a subjectAltName value such as "DNS:localhost", or empty.
inline Cert make_cert(EVP_PKEY* key, const char* cn, X509* issuer, EVP_PKEY* issuer_key, bool ca,
                      const char* alt_names) {
    static long serial = 1;
    Cert cert(X509_new());
    X509* x = cert.get();
    X509_set_version(x, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x), serial++);
    X509_gmtime_adj(X509_getm_notBefore(x), -3600);
    X509_gmtime_adj(X509_getm_notAfter(x), 86400);
    X509_set_pubkey(x, key);
    X509_NAME* name = X509_get_subject_name(x);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(cn), -1, -1,
                               0);
    X509_set_issuer_name(x, issuer ? X509_get_subject_name(issuer) : name);
    X509* signer = issuer ? issuer : x;
    add_ext(x, signer, NID_basic_constraints, ca ? "critical,CA:TRUE" : "CA:FALSE");
    add_ext(x, signer, NID_key_usage,
            ca ? "critical,keyCertSign,cRLSign" : "critical,digitalSignature,keyEncipherment");
    add_ext(x, signer, NID_subject_key_identifier, "hash");
    if (alt_names[0] != '\0') add_ext(x, signer, NID_subject_alt_name, alt_names);
    check(X509_sign(x, issuer_key ? issuer_key : key, EVP_sha256()) > 0, "X509_sign");
    return cert;
}

inline void write_file(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

inline std::string pem_of(X509* cert) {
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_X509(bio, cert);
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    std::string out(data, static_cast<std::size_t>(size));
    BIO_free(bio);
    return out;
}

inline std::string pem_of(EVP_PKEY* key, const std::string& password = {}) {
    BIO* bio = BIO_new(BIO_s_mem());
    if (password.empty()) {
        PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr);
    } else {
        PEM_write_bio_PrivateKey(bio, key, EVP_aes_256_cbc(),
                                 reinterpret_cast<const unsigned char*>(password.data()),
                                 static_cast<int>(password.size()), nullptr, nullptr);
    }
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    std::string out(data, static_cast<std::size_t>(size));
    BIO_free(bio);
    return out;
}

inline void append_field(std::string& blob, const std::string& bytes) {
    const auto n = static_cast<std::uint32_t>(bytes.size());
    for (int shift = 24; shift >= 0; shift -= 8) blob.push_back(static_cast<char>((n >> shift) & 0xff));
    blob += bytes;
}

inline std::string mpint_of(EVP_PKEY* key, const char* param) {
    BIGNUM* bn = nullptr;
    check(EVP_PKEY_get_bn_param(key, param, &bn) == 1, param);
    std::string bytes(static_cast<std::size_t>(BN_num_bytes(bn)), '\0');
    BN_bn2bin(bn, reinterpret_cast<unsigned char*>(bytes.data()));
    BN_free(bn);
    // A set top bit would read as negative: SSH mpints then carry a leading zero byte.
    if (!bytes.empty() && (static_cast<unsigned char>(bytes[0]) & 0x80) != 0) bytes.insert(0, 1, '\0');
    return bytes;
}

}  // namespace tls_detail

// Standard Base64 with padding, for building ssh-rsa bodies in tests.
inline std::string base64(const std::string& bytes) {
    std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int n =
        EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                        reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
    out.resize(static_cast<std::size_t>(n));
    return out;
}

// The "ssh-rsa <base64> comment" line of an RSA key.
inline std::string ssh_rsa_line(EVP_PKEY* key, const std::string& comment = "test") {
    std::string blob;
    tls_detail::append_field(blob, "ssh-rsa");
    tls_detail::append_field(blob, tls_detail::mpint_of(key, OSSL_PKEY_PARAM_RSA_E));
    tls_detail::append_field(blob, tls_detail::mpint_of(key, OSSL_PKEY_PARAM_RSA_N));
    return "ssh-rsa " + base64(blob) + " " + comment;
}

struct TlsTestMaterial {
    std::string dir;
    std::string ca_cert;      // the test CA (trust store for the "localhost" server)
    std::string server_cert;  // signed by the CA; subjectAltName DNS:localhost only
    std::string server_key;
    std::string server_pub;  // ssh-rsa line of server_key
    std::string other_cert;  // self-signed, its own key, also named "localhost"
    std::string other_key;
    std::string other_pub;    // ssh-rsa line of other_key
    std::string client_cert;  // signed by the CA, CN "tyx test client"
    std::string client_key;   // encrypted with client_key_password
    std::string client_key_password = "correct horse";

    // Writes `text` to a file of the material's directory and returns its path.
    std::string file(const std::string& name, const std::string& text) const {
        const std::string path = dir + "/" + name;
        tls_detail::write_file(path, text);
        return path;
    }
};

inline const TlsTestMaterial& tls_test_material() {
    static const TlsTestMaterial material = [] {
        using namespace tls_detail;
        TlsTestMaterial m;
        std::string templ = (std::filesystem::temp_directory_path() / "tyx-tls-XXXXXX").string();
        check(mkdtemp(templ.data()) != nullptr, "mkdtemp");
        m.dir = templ;
        static const std::string cleanup_dir = m.dir;
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(cleanup_dir, ignored);
        });

        Pkey ca_key = rsa_key(), server_key = rsa_key(), other_key = rsa_key(), client_key = rsa_key();
        Cert ca = make_cert(ca_key.get(), "tyx test CA", nullptr, nullptr, true, "");
        Cert server =
            make_cert(server_key.get(), "localhost", ca.get(), ca_key.get(), false, "DNS:localhost");
        Cert other = make_cert(other_key.get(), "localhost", nullptr, nullptr, false, "DNS:localhost");
        Cert client = make_cert(client_key.get(), "tyx test client", ca.get(), ca_key.get(), false, "");

        m.ca_cert = m.file("ca.pem", pem_of(ca.get()));
        m.server_cert = m.file("server.pem", pem_of(server.get()));
        m.server_key = m.file("server.key", pem_of(server_key.get()));
        m.server_pub = ssh_rsa_line(server_key.get(), "server");
        m.other_cert = m.file("other.pem", pem_of(other.get()));
        m.other_key = m.file("other.key", pem_of(other_key.get()));
        m.other_pub = ssh_rsa_line(other_key.get(), "other");
        m.client_cert = m.file("client.pem", pem_of(client.get()));
        m.client_key = m.file("client.key", pem_of(client_key.get(), m.client_key_password));
        return m;
    }();
    return material;
}

}  // namespace tyx::test
