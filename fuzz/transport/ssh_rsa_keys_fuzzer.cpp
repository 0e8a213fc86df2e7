// libFuzzer target for the trusted-keys file reader. Every key read must survive a round trip:
// written back as a key body (with the sign byte an SSH mpint needs) and read again, it is the
// same key. Every other non-blank, non-comment line is listed as skipped.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "transport/ssh_rsa_keys.hpp"

namespace {

void append_field(std::string& blob, std::string_view bytes) {
    const auto n = static_cast<std::uint32_t>(bytes.size());
    for (int shift = 24; shift >= 0; shift -= 8) blob.push_back(static_cast<char>(n >> shift));
    blob.append(bytes);
}

void append_mpint(std::string& blob, const std::vector<std::uint8_t>& magnitude) {
    std::string bytes;
    if (magnitude.front() & 0x80) bytes.push_back('\0');
    bytes.append(magnitude.begin(), magnitude.end());
    append_field(blob, bytes);
}

std::string base64(std::string_view bytes) {
    static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        std::array<std::uint8_t, 3> group{};
        const std::size_t n = std::min<std::size_t>(3, bytes.size() - i);
        for (std::size_t k = 0; k < n; ++k) group[k] = static_cast<std::uint8_t>(bytes[i + k]);
        const std::uint32_t v = group[0] << 16 | group[1] << 8 | group[2];
        for (std::size_t k = 0; k < 4; ++k) out.push_back(k <= n ? kAlphabet[(v >> (18 - 6 * k)) & 63] : '=');
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::size_t lines = static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) +
                              (!text.empty() && text.back() != '\n');
    tyx::SshRsaKeyFile file;
    try {
        file = tyx::parse_ssh_rsa_keys(text, "keys.pub");
    } catch (const tyx::SshRsaKeyFileError& e) {
        if (e.skipped().size() > lines) __builtin_trap();
        return 0;
    }
    if (file.keys.empty() || file.keys.size() + file.skipped.size() > lines) __builtin_trap();
    for (const auto& key : file.keys) {
        // Magnitudes without leading zero bytes, so that equal keys compare equal.
        if (key.exponent.empty() || key.exponent.front() == 0 || key.modulus.empty() ||
            key.modulus.front() == 0)
            __builtin_trap();
        std::string blob;
        append_field(blob, "ssh-rsa");
        append_mpint(blob, key.exponent);
        append_mpint(blob, key.modulus);
        if (!(tyx::parse_ssh_rsa_body(base64(blob)) == key)) __builtin_trap();
    }
    return 0;
}
