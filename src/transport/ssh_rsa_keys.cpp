#include "transport/ssh_rsa_keys.hpp"

#include <algorithm>
#include <array>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace tyx {

namespace {

constexpr std::string_view kKeyType = "ssh-rsa";

// Strict Base64: the standard alphabet, a length that is a multiple of four, and '=' only as
// the one or two final characters.
std::vector<std::uint8_t> decode_base64(std::string_view text) {
    static const std::array<std::int8_t, 256> values = [] {
        std::array<std::int8_t, 256> table{};
        table.fill(-1);
        constexpr std::string_view alphabet =
            "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        for (std::size_t i = 0; i < alphabet.size(); ++i)
            table[static_cast<unsigned char>(alphabet[i])] = static_cast<std::int8_t>(i);
        return table;
    }();
    const auto invalid = [] { return std::runtime_error("invalid base64 in ssh-rsa key"); };
    if (text.empty() || text.size() % 4 != 0) throw invalid();
    std::size_t padding = 0;
    if (text.back() == '=') ++padding;
    if (text.size() >= 2 && text[text.size() - 2] == '=') ++padding;
    std::vector<std::uint8_t> out;
    out.reserve(text.size() / 4 * 3);
    std::uint32_t group = 0;
    for (std::size_t i = 0; i < text.size() - padding; ++i) {
        const std::int8_t v = values[static_cast<unsigned char>(text[i])];
        if (v < 0) throw invalid();
        group = (group << 6) | static_cast<std::uint32_t>(v);
        if (i % 4 == 3) {
            out.push_back(static_cast<std::uint8_t>(group >> 16));
            out.push_back(static_cast<std::uint8_t>(group >> 8));
            out.push_back(static_cast<std::uint8_t>(group));
            group = 0;
        }
    }
    if (padding == 1) {
        out.push_back(static_cast<std::uint8_t>(group >> 10));
        out.push_back(static_cast<std::uint8_t>(group >> 2));
    } else if (padding == 2) {
        out.push_back(static_cast<std::uint8_t>(group >> 4));
    }
    return out;
}

// Consumes one length-prefixed field from the front of `rest`.
std::string_view take_field(std::string_view& rest) {
    if (rest.size() < 4) throw std::runtime_error("truncated ssh-rsa key (length header)");
    std::uint32_t length = 0;
    for (int i = 0; i < 4; ++i) length = (length << 8) | static_cast<unsigned char>(rest[i]);
    rest.remove_prefix(4);
    if (length > rest.size()) throw std::runtime_error("truncated ssh-rsa key (field body)");
    const std::string_view field = rest.substr(0, length);
    rest.remove_prefix(length);
    return field;
}

// An SSH mpint that must be positive: two's complement, so a set top bit means negative.
std::vector<std::uint8_t> positive_magnitude(std::string_view mpint) {
    const auto fail = [] { return std::runtime_error("failed to parse ssh-rsa modulus/exponent"); };
    if (mpint.empty() || (static_cast<unsigned char>(mpint.front()) & 0x80) != 0) throw fail();
    const std::size_t first = mpint.find_first_not_of('\0');
    if (first == std::string_view::npos) throw fail();
    return {mpint.begin() + static_cast<std::ptrdiff_t>(first), mpint.end()};
}

}  // namespace

SshRsaKey parse_ssh_rsa_body(std::string_view base64) {
    const std::vector<std::uint8_t> blob = decode_base64(base64);
    std::string_view rest(reinterpret_cast<const char*>(blob.data()), blob.size());
    if (take_field(rest) != kKeyType) throw std::runtime_error("ssh-rsa key body has unexpected type tag");
    SshRsaKey key;
    key.exponent = positive_magnitude(take_field(rest));
    key.modulus = positive_magnitude(take_field(rest));
    // Bytes after the modulus mean the body is not the key it claims to be.
    if (!rest.empty()) throw std::runtime_error("failed to parse ssh-rsa modulus/exponent");
    return key;
}

SshRsaKeyFile parse_ssh_rsa_keys(std::string_view text, const std::string& path) {
    constexpr std::string_view kBlank = " \t\r\n\v\f";
    SshRsaKeyFile result;
    std::size_t line_number = 0;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        ++line_number;

        const std::size_t start = line.find_first_not_of(kBlank);
        if (start == std::string_view::npos || line[start] == '#') continue;
        line.remove_prefix(start);
        const std::size_t type_end = std::min(line.find_first_of(kBlank), line.size());
        const std::string_view type = line.substr(0, type_end);
        std::string_view body = line.substr(type_end);
        body.remove_prefix(std::min(body.find_first_not_of(kBlank), body.size()));
        body = body.substr(0, std::min(body.find_first_of(kBlank), body.size()));

        const std::string where = "line " + std::to_string(line_number) + ": ";
        if (type != kKeyType) {
            result.skipped.push_back(where + "not an ssh-rsa key");
            continue;
        }
        try {
            result.keys.push_back(parse_ssh_rsa_body(body));
        } catch (const std::runtime_error& e) {
            result.skipped.push_back(where + e.what());
        }
    }
    if (result.keys.empty())
        throw SshRsaKeyFileError("no valid ssh-rsa public keys found in: " + path, std::move(result.skipped));
    return result;
}

SshRsaKeyFile load_ssh_rsa_keys(const std::string& path) {
    std::error_code ec;
    // A directory opens as a stream on Linux and then reads as empty.
    std::ifstream in;
    if (!std::filesystem::is_directory(path, ec)) in.open(path, std::ios::binary);
    std::ostringstream text;
    if (in) text << in.rdbuf();
    if (!in.is_open() || in.bad()) throw std::runtime_error("cannot open ssh-rsa pub file: " + path);
    return parse_ssh_rsa_keys(text.view(), path);
}

}  // namespace tyx
