// Reader of trusted server keys in the `ssh-rsa` public-key line format ("ssh-rsa <base64>
// [comment]"), used to pin the key of a TLS server. Pure functions over text; no TLS here.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tyx {

// One RSA public key as unsigned big-endian magnitudes without leading zero bytes, so two
// keys are equal exactly when their fields compare equal byte for byte.
struct SshRsaKey {
    std::vector<std::uint8_t> exponent;
    std::vector<std::uint8_t> modulus;

    friend bool operator==(const SshRsaKey&, const SshRsaKey&) = default;
};

// The keys of one file, and the lines that were skipped ("line N: reason") because they
// could not be read as an ssh-rsa key.
struct SshRsaKeyFile {
    std::vector<SshRsaKey> keys;
    std::vector<std::string> skipped;
};

// Raised when a file yields no key at all; `skipped` says why each candidate line failed.
class SshRsaKeyFileError : public std::runtime_error {
public:
    SshRsaKeyFileError(const std::string& what, std::vector<std::string> skipped)
        : std::runtime_error(what), skipped_(std::move(skipped)) {}
    const std::vector<std::string>& skipped() const { return skipped_; }

private:
    std::vector<std::string> skipped_;
};

// Decodes the Base64 body of one key (the second word of its line): the fields type tag,
// exponent and modulus, each a 4-byte big-endian length and its bytes. Raises
// std::runtime_error with "invalid base64 in ssh-rsa key", "truncated ssh-rsa key (length
// header)", "truncated ssh-rsa key (field body)", "ssh-rsa key body has unexpected type tag"
// or "failed to parse ssh-rsa modulus/exponent" (empty, zero or negative values).
SshRsaKey parse_ssh_rsa_body(std::string_view base64);

// Reads every key of a file's text. Blank lines and lines starting with '#' are ignored.
// Any other line that is not a readable ssh-rsa key is skipped and listed, so one damaged or
// foreign line does not disable the keys beside it. When no key remains, raises
// SshRsaKeyFileError "no valid ssh-rsa public keys found in: " + path.
SshRsaKeyFile parse_ssh_rsa_keys(std::string_view text, const std::string& path);

// Reads the file at `path`: "cannot open ssh-rsa pub file: " + path when it cannot be read,
// then as parse_ssh_rsa_keys.
SshRsaKeyFile load_ssh_rsa_keys(const std::string& path);

}  // namespace tyx
